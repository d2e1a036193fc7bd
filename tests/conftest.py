"""Shared fixtures and helpers. After every test and a collection, no private
"lodestack-XXXXXX" directory, file descriptor or "lodestack-" thread may be left; the session
has a temporary directory of its own, so no other process can make one appear in it."""

import collections
import gc
import importlib.util
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

# No test may hang the run: a deadlock is reported as such, with every thread's stack.
DEFAULT_TIMEOUT = 120

PRIVATE_DIR = re.compile(r"lodestack-[A-Za-z0-9]{6}")
RUN_FILE = re.compile(r"run-\d{6,}")

# Found without importing the package, so that a broken extension fails only its tests.
_spec = importlib.util.find_spec("lodestack")
PACKAGE_ROOT = (
    str(pathlib.Path(_spec.origin).resolve().parent.parent) if _spec and _spec.origin else ""
)
SHIM = os.environ.get("LODESTACK_TEST_SHIM") or str(
    pathlib.Path(PACKAGE_ROOT).parent / "shim" / "liblodestack_test_shim.so"
)

_session_tmp = None


def pytest_configure(config):
    global _session_tmp
    _session_tmp = tempfile.mkdtemp(prefix="lodestack_tests_")
    os.chmod(_session_tmp, 0o755)
    tempfile.tempdir = _session_tmp
    os.environ["TMPDIR"] = _session_tmp


def pytest_unconfigure(config):
    if _session_tmp is not None:
        shutil.rmtree(_session_tmp, ignore_errors=True)


def pytest_collection_modifyitems(items):
    for item in items:
        if item.get_closest_marker("timeout") is None:
            # The thread method also ends a test stuck in C code, which a signal cannot.
            item.add_marker(pytest.mark.timeout(DEFAULT_TIMEOUT, method="thread"))


def private_dirs(parent):
    """The names of the sorters' private directories directly inside `parent`."""
    return sorted(n for n in os.listdir(parent) if PRIVATE_DIR.fullmatch(n))


def private_dir(parent):
    """The path of the one private directory inside `parent`."""
    names = private_dirs(parent)
    assert len(names) == 1, f"expected one private directory in {parent}, found {names}"
    return os.path.join(parent, names[0])


def run_files(parent):
    """The run file names of the one sorter spilling into `parent`, sorted."""
    directory = private_dir(parent)
    names = sorted(os.listdir(directory))
    assert all(RUN_FILE.fullmatch(n) for n in names), names
    return names


def block_headers(path):
    """(compressed length, stream length) of each block of a run file, in file order."""
    data = pathlib.Path(path).read_bytes()
    blocks = []
    at = 0
    while at < len(data):
        compressed, stream = struct.unpack_from("<II", data, at)
        blocks.append((compressed, stream))
        at += 8 + compressed
    assert at == len(data), f"{path} does not end at a block boundary"
    return blocks


def thread_names():
    """The kernel names of this process's threads (15 bytes at most)."""
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().rstrip("\n"))
        except FileNotFoundError:
            pass  # the thread ended while we looked
    return names


def lodestack_threads():
    return sorted(n for n in thread_names() if n.startswith("lodestack-"))


def eventually(predicate, what):
    """Waits for another thread's doing, such as naming itself; the deadline only stops a hang."""
    deadline = time.monotonic() + 30
    while not predicate():
        assert time.monotonic() < deadline, f"{what} never happened"
        os.sched_yield()


def _open_fds():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor listdir itself used
    return fds


_spill_dirs = []


@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    report = yield
    if report.when == "call":
        item.lodestack_call_failed = report.failed
    return report


@pytest.fixture(autouse=True)
def nothing_left_behind(request):
    temp = tempfile.gettempdir()
    dirs_before = set(private_dirs(temp))
    fds_before = _open_fds()
    threads_before = collections.Counter(lodestack_threads())
    yield
    spill_dirs = list(_spill_dirs)
    _spill_dirs.clear()
    if getattr(request.node, "lodestack_call_failed", False):
        # The failure's traceback still holds the test's sorters: what they hold is not a
        # leak, and reporting it would only bury the failure.
        return
    # One collection, for the sorters and iterators caught in reference cycles.
    gc.collect()
    for path in spill_dirs:
        assert private_dirs(path) == [], f"a private directory was left in {path}"
    assert set(private_dirs(temp)) - dirs_before == set(), "a private directory was left"
    fds_after = _open_fds()
    leaked = {fd: target for fd, target in fds_after.items() if fd not in fds_before}
    assert leaked == {}, f"file descriptors left open: {leaked}"
    threads_after = collections.Counter(lodestack_threads())
    assert threads_after - threads_before == collections.Counter(), "threads left running"


@pytest.fixture
def tmp_dir(tmp_path):
    """A fresh, empty directory to spill into; nothing may be left in it afterwards."""
    path = tmp_path / "spill"
    path.mkdir()
    _spill_dirs.append(str(path))
    return str(path)


def payload_of(i, size):
    """A deterministic payload of `size` bytes for item `i`, unlike its neighbours'."""
    seed = f"{i:08d}".encode()
    return (seed * (size // len(seed) + 1))[:size]


class Recorder:
    """A write handle that keeps every bytes object it is given."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def write(self, data):
        self.calls.append(data)
        if self.result == "len":
            return len(data)
        return self.result

    def joined(self):
        return b"".join(self.calls)


# Code every child interpreter starts with: a gate for the shim's calls, and helpers.
CHILD_PRELUDE = textwrap.dedent(
    r"""
    import gc, json, os, pickle, re, signal, sys, threading
    import lodestack
    from lodestack import Sorter

    # Started with SIGINT ignored (as a background job is), the child would never see one.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    TMP = os.environ["LODESTACK_CHILD_TMP"]

    def private_dirs(parent=TMP):
        return sorted(n for n in os.listdir(parent)
                      if re.fullmatch(r"lodestack-[A-Za-z0-9]{6}", n))

    def private_dir(parent=TMP):
        names = private_dirs(parent)
        assert len(names) == 1, names
        return os.path.join(parent, names[0])

    def thread_names():
        names = []
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.append(f.read().rstrip("\n"))
            except FileNotFoundError:
                pass
        return names

    class Gate:
        # Holds the shim's affected calls of one kind (READ or WRITE) until opened.
        def __init__(self, op):
            self.gate_r, self.gate_w = os.pipe()
            self.note_r, self.note_w = os.pipe()
            os.environ[f"LODESTACK_SHIM_{op}_GATE"] = f"{self.gate_r}:{self.note_w}"

        def wait_blocked(self):
            # Returns once a call is held at the gate.
            assert os.read(self.note_r, 1) == b"b"

        def open(self):
            if self.gate_w is not None:
                os.close(self.gate_w)
                self.gate_w = None

    def on_main_thread_once_released(action):
        # Runs `action` on a helper once the main thread lets go of the interpreter, which
        # with a huge switch interval it does only inside a blocking call of the module.
        # Returns (arm, thread): arm, then make the blocking call.
        sys.setswitchinterval(1e6)
        armed = threading.Event()

        def helper():
            armed.wait()
            action()

        thread = threading.Thread(target=helper)
        thread.start()
        return armed.set, thread

    class Sink:
        def write(self, data):
            return len(data)

    def interrupt_main():
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def interrupt_when_blocked(gate):
        # Ctrl-C for the main thread once a call is held at the gate, which then opens.
        def helper():
            gate.wait_blocked()
            interrupt_main()
            gate.open()

        thread = threading.Thread(target=helper)
        thread.start()
        return thread

    def lodestack_threads():
        return [n for n in thread_names() if n.startswith("lodestack-")]

    def outcome(call):
        try:
            call()
            return "returned"
        except KeyboardInterrupt:
            return "KeyboardInterrupt"

    def refusal(call):
        try:
            call()
            return "accepted"
        except (RuntimeError, ValueError) as e:
            return str(e)

    def done(**facts):
        print(json.dumps(facts))
    """
)


def shim_available():
    return os.path.exists(SHIM)


needs_shim = pytest.mark.skipif(
    not shim_available(), reason="the test shim is not built in this tree (sanitizer builds)"
)

# The interruption tests rely on the interpreter lock to order a helper thread after a
# blocking call of the main thread; without it they would race.
needs_gil = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)(),
    reason="orders threads through the interpreter lock",
)


def run_child(code, tmp_dir, *, shim=False, env=None, user=None, timeout=60):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter; returns what it last gave done()."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = PACKAGE_ROOT
    child_env["PYTHONSAFEPATH"] = "1"
    child_env["LODESTACK_CHILD_TMP"] = str(tmp_dir)
    if shim:
        assert shim_available()
        preload = child_env.get("LD_PRELOAD", "")
        child_env["LD_PRELOAD"] = (preload + " " + SHIM).strip()
    child_env.update(env or {})
    source = CHILD_PRELUDE + "\n" + textwrap.dedent(code)
    proc = subprocess.run(
        [sys.executable, "-c", source],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        user=user,
        group=user,
        cwd="/",
    )
    assert proc.returncode == 0, (
        f"child failed with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    )
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    assert lines, f"child reported nothing\n--- stderr\n{proc.stderr}"
    return json.loads(lines[-1])
