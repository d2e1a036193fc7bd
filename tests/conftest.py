"""Shared fixtures and helpers. After every test no private "lodestack-XXXXXX" directory, file
descriptor or "lodestack-" thread may be left; the session has a temporary directory of its
own, so no other process can make one appear in it.

`make test` runs the quick cases; LODESTACK_STRESS (`make stress`) runs the tests marked
`stress` too and raises the counts that `scale` picks."""

import collections
import gc
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

STRESS = bool(os.environ.get("LODESTACK_STRESS"))
PRIVATE_DIR = re.compile(r"lodestack-[A-Za-z0-9]{6}")
CLOSED = "I/O operation on a closed sorter"
CANNOT_ADD = "cannot add to a sorter once it has been read"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"
LOST = "an earlier error lost records, so sorting cannot go on"

# Found without importing the package, so that a broken extension fails only its tests.
_spec = importlib.util.find_spec("lodestack")
PACKAGE_ROOT = str(pathlib.Path(_spec.origin).resolve().parent.parent) if _spec else ""
SHIM = str(pathlib.Path(PACKAGE_ROOT).parent / "shim" / "liblodestack_test_shim.so")
needs_shim = pytest.mark.skipif(not os.path.exists(SHIM), reason="no test shim in this build")


def scale(quick, stress):
    return stress if STRESS else quick


def pytest_configure(config):
    config.session_tmp = tempfile.mkdtemp(prefix="lodestack_tests_")
    os.chmod(config.session_tmp, 0o755)
    tempfile.tempdir = os.environ["TMPDIR"] = config.session_tmp
    config.addinivalue_line("markers", "stress: a slow case, run by `make stress`")


def pytest_unconfigure(config):
    shutil.rmtree(config.session_tmp, ignore_errors=True)


def pytest_collection_modifyitems(config, items):
    if not STRESS:
        slow = [item for item in items if item.get_closest_marker("stress")]
        config.hook.pytest_deselected(items=slow)
        items[:] = [item for item in items if not item.get_closest_marker("stress")]
    limit = int(os.environ.get("LODESTACK_STRESS_TIMEOUT") or 900) if STRESS else 120
    for item in items:
        if item.get_closest_marker("timeout") is None:
            # The thread method also ends a test stuck in C code, which a signal cannot.
            item.add_marker(pytest.mark.timeout(limit, method="thread"))


def private_dirs(parent):
    return sorted(n for n in os.listdir(parent) if PRIVATE_DIR.fullmatch(n))


def private_dir(parent):
    (name,) = private_dirs(parent)
    return os.path.join(parent, name)


def run_files(parent):
    return sorted(os.listdir(private_dir(parent)))


def lodestack_threads():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            names.append(pathlib.Path(f"/proc/self/task/{tid}/comm").read_text().strip())
        except (FileNotFoundError, ProcessLookupError):
            pass  # the thread ended while we looked (before the open, or after it)
    return sorted(n for n in names if n.startswith("lodestack-"))


def eventually(predicate, what):
    """Waits for another thread's doing; the deadline only stops a hang."""
    deadline = time.monotonic() + 30
    while not predicate():
        assert time.monotonic() < deadline, f"{what} never happened"
        time.sleep(0.001)


def run_threads(targets):
    """Runs each target on a thread of its own, all released at once; raises the first error."""
    barrier, errors = threading.Barrier(len(targets)), []

    def body(target):
        barrier.wait()
        try:
            target()
        except BaseException as e:  # noqa: BLE001 - raised below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def _open_fds():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor listdir itself used
    return fds


@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    report = yield
    if report.when == "call":
        item.call_failed = report.failed
    return report


@pytest.fixture(autouse=True)
def nothing_left_behind(request):
    temp = tempfile.gettempdir()
    before = (set(private_dirs(temp)), _open_fds(), collections.Counter(lodestack_threads()))
    yield
    if getattr(request.node, "call_failed", False):
        return  # the traceback still holds the test's sorters: not a leak
    gc.collect()  # the sorters and iterators caught in reference cycles
    for path in [temp] + getattr(request.node, "spill_dirs", []):
        assert set(private_dirs(path)) - before[0] == set(), f"a directory was left in {path}"
    # A test that uses a Dask cluster kept for its module says so: the client's pooled
    # connections stay open until the module's end closes the cluster, and the cluster's
    # scheduler, which runs in this process, reads /proc from its own thread at any time.
    cluster = getattr(request.node, "uses_cluster", False)
    leaked = {fd: target for fd, target in _open_fds().items() if fd not in before[1]
              and not (cluster and target.startswith(("socket:", "/proc/")))}
    assert leaked == {}, f"file descriptors left open: {leaked}"
    assert collections.Counter(lodestack_threads()) - before[2] == {}, "threads left running"


@pytest.fixture
def tmp_dir(tmp_path, request):
    """A fresh directory to spill into; nothing may be left in it afterwards."""
    path = tmp_path / "spill"
    path.mkdir()
    request.node.spill_dirs = [str(path)]
    return str(path)


def payload_of(i, size):
    """A deterministic payload of `size` bytes for item `i`, unlike its neighbours'."""
    seed = b"%08d" % i
    return (seed * (size // 8 + 1))[:size]


class Recorder:
    """A write handle that keeps every bytes object it is given and returns `result`."""

    def __init__(self, result="len"):
        self.calls = []
        self.result = result

    def write(self, data):
        self.calls.append(data)
        return len(data) if self.result == "len" else self.result

    def joined(self):
        return b"".join(self.calls)


# Code every child interpreter starts with: a gate for the shim's calls, and helpers.
CHILD_PRELUDE = r"""
import gc, json, os, pickle, re, signal, sys, threading
from lodestack import Sorter
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if the runner ignores it
TMP = os.environ["LODESTACK_CHILD_TMP"]

def private_dir():
    (name,) = [n for n in os.listdir(TMP) if re.fullmatch(r"lodestack-\w{6}", n)]
    return os.path.join(TMP, name)

def lodestack_threads():
    names = []
    for t in os.listdir("/proc/self/task"):
        try:
            names.append(open(f"/proc/self/task/{t}/comm").read().strip())
        except (FileNotFoundError, ProcessLookupError):
            pass
    return [n for n in names if n.startswith("lodestack-")]

class Gate:
    # Holds the shim's affected calls of one kind (READ or WRITE) until opened.
    def __init__(self, op):
        self.gate_r, self.gate_w = os.pipe()
        self.note_r, self.note_w = os.pipe()
        os.environ[f"LODESTACK_SHIM_{op}_GATE"] = f"{self.gate_r}:{self.note_w}"
    def wait_blocked(self):
        assert os.read(self.note_r, 1) == b"b"
    def open(self):
        os.close(self.gate_w)

def once_released(action):
    # Runs `action` on a helper once the main thread lets go of the interpreter, which with
    # a huge switch interval it does only inside a blocking call of the module. Returns
    # (arm, thread): arm, then make the blocking call.
    sys.setswitchinterval(1e6)
    armed = threading.Event()
    thread = threading.Thread(target=lambda: (armed.wait(), action()))
    thread.start()
    return armed.set, thread

def interrupt_main():
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

def interrupt_when_blocked(gate):
    # Ctrl-C for the main thread once a call is held at the gate, which then opens.
    thread = threading.Thread(target=lambda: (gate.wait_blocked(), interrupt_main(), gate.open()))
    thread.start()
    return thread

class Sink:
    def write(self, data):
        return len(data)

def outcome(call):
    try:
        call()
        return "returned"
    except KeyboardInterrupt:
        return "KeyboardInterrupt"
    except OSError as e:
        return [type(e).__name__, str(e)]

def refusal(call):
    try:
        call()
        return "accepted"
    except (RuntimeError, ValueError) as e:
        return str(e)

def done(**facts):
    print(json.dumps(facts))
"""


def run_child(code, tmp_dir, *, shim=False, env=None, argv_prefix=(), timeout=120):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter; returns what it gave done()."""
    child_env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1",
                     LODESTACK_CHILD_TMP=str(tmp_dir))
    if shim:
        child_env["LD_PRELOAD"] = (child_env.get("LD_PRELOAD", "") + " " + SHIM).strip()
    child_env.update(env or {})
    source = CHILD_PRELUDE + textwrap.dedent(code)
    proc = subprocess.run([*argv_prefix, sys.executable, "-c", source], env=child_env,
                          capture_output=True, text=True, timeout=timeout, cwd="/")
    assert proc.returncode == 0, f"child failed: {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])
