"""Signals and faults. Ctrl-C, or any handler that raises, interrupts waiting for a spill,
merging and reading, and a handler that calls back into the sorter it interrupted gets
"reentrant call". Runs that are damaged, disks that fill, reads and writes that fail, fall
short or are interrupted: every failure names the run, leaves the sorter stopped, and leaves
nothing on disk. Most cases run in a child interpreter with the preloaded shim holding
spills, passes and reads at a gate, so the test knows where the signal arrives."""

import os
import re
import shutil
import struct

import pytest

from conftest import (CANNOT_ADD, CLOSED, LOST, READ_ONCE, STOPPED, Recorder, needs_shim, payload_of,
                      private_dir, run_child, scale)
from lodestack import Sorter

READERS = {"sort": "list(s.sort())", "encoded": "list(s.encoded())", "write_to": "s.write_to(Sink())"}
LATER = "[refusal(c) for c in (s.sort, s.encoded, lambda: s.write_to(Sink()), lambda: s.add(1))]"
HELD_SPILL = """
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        s.add(1)
        s.add(2)      # item 1 is being spilled, held at its first write"""


@needs_shim
@pytest.mark.parametrize("call", [None, "s.add(9)", "s.add_encoded(9, b'x')", "s.sort([9])",
                                  "s.encoded()", "s.write_to(Sink())", "s.close()"])
def test_a_signal_while_an_add_waits_for_a_spill(call, tmp_dir):
    # Without `call`, Ctrl-C: the add is given up and the sorter goes on. With it, a handler
    # that calls back into the waiting sorter is refused, and the add then completes.
    facts = run_child(HELD_SPILL + f"""
        seen = []
        def handler(signum, frame):
            seen.append(refusal(lambda: {call}))
            gate.open()
        signal.signal(signal.SIGUSR1, handler)
        arm, helper = once_released(
            lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            if {call is not None} else interrupt_main())
        arm()
        facts = dict(outcome=outcome(lambda: s.add(3)), len=len(s))
        helper.join()
        if not seen:
            gate.open()
        facts.update(seen=seen, later=refusal(lambda: s.add(4)))
        if facts["later"] == "accepted":
            facts["out"] = list(s.sort())
        s.close()
        done(**facts, left=os.listdir(TMP), threads=lodestack_threads())""", tmp_dir, shim=True)
    if call is None:
        expected = dict(outcome="KeyboardInterrupt", len=2, seen=[], out=[1, 2, 4])
    elif call == "s.close()":  # refused, but the sorter counts as closed from then on
        expected = dict(outcome="returned", len=3, seen=["reentrant call"], later=CLOSED)
    else:
        expected = dict(outcome="returned", len=3, seen=["reentrant call"], out=[1, 2, 3, 4])
    assert facts == {"later": "accepted", **expected, "left": [], "threads": []}


@needs_shim
@pytest.mark.parametrize("how", ["del s", "s.close()"])
def test_dropping_a_sorter_waits_for_its_spill_then_removes_it(how, tmp_dir):
    facts = run_child(HELD_SPILL + f"""
        gate.wait_blocked()
        arm, helper = once_released(gate.open)
        arm()
        {how}   # the helper opens the gate once this waits for the spill
        helper.join()
        done(left=os.listdir(TMP), threads=lodestack_threads())""", tmp_dir, shim=True)
    assert facts == {"left": [], "threads": []}


STOP_AND_PROBE = """
        t = interrupt_when_blocked(gate)
        facts = {{"outcome": outcome(lambda: {reader})}}
        t.join()
        done(**facts, left=os.listdir(TMP), threads=lodestack_threads(), later=""" + LATER + ")"


@needs_shim
@pytest.mark.parametrize("reader", list(READERS.values()))
def test_ctrl_c_at_the_start_of_a_merge_pass_stops_the_sort(reader, tmp_dir):
    # Six runs through max_open 2 take passes writing run-000005 on; the first is held.
    facts = run_child("""
        os.environ["LODESTACK_SHIM_MATCH"] = "run-000005"
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2, max_open=2)
        for k in range(6):
            s.add_encoded(k, b"p" * k)""" + STOP_AND_PROBE.format(reader=reader), tmp_dir, shim=True)
    assert facts == {"outcome": "KeyboardInterrupt", "left": [], "threads": [], "later": [STOPPED] * 4}


@needs_shim
def test_ctrl_c_within_a_long_merge_pass_stops_it(tmp_dir):
    # One pass over two runs of about 40,000 records each, whose first write is held: only
    # the check made every 65,536 records can stop it, since no later pass would.
    facts = run_child("""
        import random
        def fill(**settings):
            s = Sorter(tmp_dir=TMP, max_bytes=4_000_000, **settings)
            rng = random.Random(4)
            for k in range(200_000):
                s.add_encoded(rng.randrange(1 << 40), rng.randbytes(16))
            return s
        probe = fill()
        it = probe.encoded()
        runs = len(os.listdir(private_dir()))
        del it, probe
        os.environ["LODESTACK_SHIM_MATCH"] = f"run-{runs:06d}"
        gate = Gate("WRITE")
        s = fill(max_open=runs - 1)""" + STOP_AND_PROBE.format(reader="s.encoded()"), tmp_dir, shim=True)
    assert facts == {"outcome": "KeyboardInterrupt", "left": [], "threads": [], "later": [STOPPED] * 4}


ONE_RUN = """
        import random
        s = Sorter(tmp_dir=TMP, max_bytes=4_000_000)
        keys = list(range(10_000))
        random.Random(1).shuffle(keys)
        for k in keys:
            s.add_encoded(k, b"%030d" % k)
        s.add_encoded(10**6, bytes(2_000_000))   # spills the rest as one run of 3 blocks
"""


@needs_shim
def test_ctrl_c_pending_at_a_batch_boundary_ends_the_iteration(tmp_dir):
    # The read of the second block is held while Ctrl-C arrives: the batch of 4,096 completes
    # and the signal is raised at the next boundary. The items are drained by C code, which
    # runs no handler itself.
    facts = run_child(ONE_RUN + """
        import collections, itertools, struct
        it = s.encoded()
        with open(os.path.join(private_dir(), "run-000000"), "rb") as f:
            os.environ["LODESTACK_SHIM_READ_FROM"] = str(9 + struct.unpack("<I", f.read(4))[0])
        t = interrupt_when_blocked(Gate("READ"))
        last = collections.deque(maxlen=1)
        facts = {"outcome": outcome(lambda: last.extend(zip(itertools.count(1), it)))}
        t.join()
        done(**facts, last=[last[0][0], last[0][1].decode()], next=next(it, "end"),
             left=os.listdir(TMP), again=refusal(s.encoded))""", tmp_dir, shim=True)
    assert facts == {"outcome": "KeyboardInterrupt", "last": [4096, "%030d" % 4095], "next": "end",
                     "left": [], "again": STOPPED}


WRITE_TO = """
        import random
        s = Sorter(tmp_dir=TMP, max_bytes=1 << 20)
        for k in random.Random(2).sample(range(8000), 8000):
            s.add_encoded(k, random.Random(k).randbytes(1000))
        calls = []
"""


@needs_shim
@pytest.mark.parametrize("where", ["waiting for a chunk", "inside write"])
def test_ctrl_c_during_write_to_stops_it_and_removes_the_runs(where, tmp_dir):
    # Waiting: reads past a run's second block are held, and the handle is C code (append),
    # so only write_to's own check, made while it waits, can run the handler that lets the
    # read go on; a check made only after a chunk would wait for the helper's deadline.
    # Inside: the handler raises in write.
    facts = run_child(WRITE_TO + """
        handle, late = type("Handle", (), {})(), []
        if os.environ["WHERE"] == "inside write":
            handle.write = lambda data: (calls.append(data), interrupt_main(), len(data))[2]
        else:
            handle.write = calls.append
            gate, handled = Gate("READ"), threading.Event()
            def handler(signum, frame):
                handled.set()
                if not late:
                    gate.open()
                raise KeyboardInterrupt
            signal.signal(signal.SIGUSR1, handler)
            def interrupt():
                gate.wait_blocked()
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
                if not handled.wait(10):
                    late.append(True)
                    gate.open()
            threading.Thread(target=interrupt).start()
        facts = {"outcome": outcome(lambda: s.write_to(handle)), "late": late}
        done(**facts, chunks=sorted({len(c) for c in calls}), few=len(calls) < 20,
             left=os.listdir(TMP), threads=lodestack_threads(), again=refusal(s.sort))""",
                      tmp_dir, shim=True, env={"LODESTACK_SHIM_READ_FROM": "200000", "WHERE": where})
    assert facts == {"outcome": "KeyboardInterrupt", "late": [], "chunks": [262_000], "few": True,
                     "left": [], "threads": [], "again": READ_ONCE}


@needs_shim
@pytest.mark.parametrize(("fault", "count", "max_open", "reader", "error"), [
    ({"LODESTACK_SHIM_WRITE_FAIL": "28:0"}, 3, 64, None, "No space left on device (os error 28)"),
    ({"LODESTACK_SHIM_WRITE_FAIL": "28:100"}, 3, 64, None, "No space left on device (os error 28)"),
    ({"RLIMIT_FSIZE": "1000"}, 3, 64, None, "File too large (os error 27)"),
    ({"LODESTACK_SHIM_WRITE_FAIL": "28:0"}, 2, 64, "sort", "No space left on device (os error 28)"),
    ({"LODESTACK_SHIM_WRITE_FAIL": "28:0", "LODESTACK_SHIM_MATCH": "run-000005"}, 6, 2, "sort",
     "No space left on device (os error 28)"),
    ({"LODESTACK_SHIM_WRITE_FAIL": "28:0", "LODESTACK_SHIM_MATCH": "run-000005"}, 6, 2, "write_to",
     "No space left on device (os error 28)"),
    ({"LODESTACK_SHIM_READ_FAIL": "5:0"}, 4, 64, "encoded", "Input/output error (os error 5)"),
])
def test_a_failed_write_or_read_names_the_run_and_stops_the_sort(fault, count, max_open, reader, error, tmp_dir):
    facts = run_child(f"""
        import resource
        if "RLIMIT_FSIZE" in os.environ:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            limit = int(os.environ["RLIMIT_FSIZE"])
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        s = Sorter(tmp_dir=TMP, max_bytes=2, max_open={max_open})
        facts = {{}}
        try:
            for k in range({count}):
                s.add_encoded(k, os.urandom(5000) if k == 0 else b"p" * k)
                facts["dir"] = private_dir() if k else None
            {READERS.get(reader, "pass")}
        except OSError as e:
            facts["first"] = [type(e).__name__, str(e), e.errno]
        later = [refusal(c) for c in (lambda: s.add(4), s.sort, s.encoded, lambda: s.add(5))]
        done(**facts, left=os.listdir(TMP), len=len(s), later=later)""",
                      tmp_dir, shim="RLIMIT_FSIZE" not in fault, env=fault)
    run = f"run-{5 if max_open == 2 else 0:06d}"
    assert facts["first"] == ["OSError", f"{facts['dir']}/{run}: {error}", None]
    if reader is None:  # an add reported the failed spill: adding is lost, reading stops
        assert facts["later"] == [LOST, LOST, STOPPED, STOPPED] and facts["len"] == 2
    else:
        assert facts["later"] == [STOPPED] * 4 and facts["left"] == []


@needs_shim
@pytest.mark.parametrize("env", [{"LODESTACK_SHIM_WRITE_MAX": "7"}, {"LODESTACK_SHIM_READ_MAX": "5"},
                                 {"LODESTACK_SHIM_READ_EINTR": "50", "LODESTACK_SHIM_WRITE_MAX": "4093"}])
def test_short_and_interrupted_transfers_lose_nothing(env, tmp_dir):
    facts = run_child("""
        import random
        items = [(random.Random(i).randrange(50), i, os.urandom(i % 100)) for i in range(3000)]
        s = Sorter(lambda item: item[0], tmp_dir=TMP, max_bytes=32 << 10, max_open=3, threads=2)
        for item in items:
            s.add(item)
        done(ok=list(s.sort()) == sorted(items, key=lambda item: item[0]), left=os.listdir(TMP))""",
                      tmp_dir, shim=True, env=env)
    assert facts == {"ok": True, "left": []}


@needs_shim
@pytest.mark.parametrize(("read", "raised", "later"), [
    ("arm('NEW_FAIL', tid); list(s.sort())", ["MemoryError", ""], STOPPED),
    ("it = s.sort(); arm('NEW_FAIL', tid); next(it)", ["MemoryError", "out of memory"], STOPPED),
    ("arm('THREAD_FAIL', 11); s.write_to(Sink())",
     ["BlockingIOError", "Resource temporarily unavailable (os error 11)"], READ_ONCE)],
    ids=["finishing", "refilling", "merging-thread"])
def test_running_out_of_memory_or_threads_while_reading_stops_the_sort(read, raised, later, tmp_dir):
    facts = run_child(f"""
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        for k in range(4):
            s.add_encoded(k, b"p")        # three runs spilled, one item held
        tid = threading.get_native_id()   # this thread's next allocation fails
        arm = lambda what, value: os.environ.__setitem__("LODESTACK_SHIM_" + what, str(value))
        try:
            {read}
        except Exception as e:
            raised = [type(e).__name__, str(e)]
        os.environ.pop("LODESTACK_SHIM_NEW_FAIL", None)
        os.environ.pop("LODESTACK_SHIM_THREAD_FAIL", None)
        done(raised=raised, later=refusal(s.encoded), left=os.listdir(TMP))""", tmp_dir, shim=True)
    assert facts == {"raised": raised, "later": later, "left": []}


def block_at(path, block):
    at = 0
    with open(path, "rb") as f:
        for _ in range(block):
            at += 8 + struct.unpack("<I", f.read(4))[0]
            f.seek(at)
        return at, struct.unpack("<II", f.read(8))


def damage(path, how, block=0):
    """Damages one block of a run file; returns the message reading it must fail with."""
    at, (_, stream) = block_at(path, block)
    if how == "cut":
        os.truncate(path, at + 3)
        return f"{path} ended before its last record"
    if how == "deleted":
        os.remove(path)
        return f"{path}: No such file or directory (os error 2)"
    if how == "directory":
        os.remove(path)
        os.mkdir(path)
        return f"{path}: Is a directory (os error 21)"
    with open(path, "r+b") as f:
        f.seek(at + 4)
        f.write(struct.pack("<I", 131073 if how == "impossible" else stream - 1))
    what = "a block has an impossible length" if how == "impossible" else "a block does not decompress to its length"
    return f"{path} is corrupt: {what}"


@pytest.mark.parametrize(("how", "reader", "error"), [
    ("cut", "sort", OSError), ("impossible", "encoded", OSError), ("short", "write_to", OSError),
    ("deleted", "encoded", FileNotFoundError), ("directory", "write_to", IsADirectoryError)])
def test_a_damaged_run_fails_the_read_and_stops_the_sort(how, reader, error, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2, max_open=2)
    for item in (b"d" * 300, b"c", b"b", b"a"):
        s.add(item)  # the third add waited for the first spill: run-000000 is whole
    message = damage(os.path.join(private_dir(tmp_dir), "run-000000"), how)
    with pytest.raises(OSError) as e:
        (lambda s: list(s.sort()), lambda s: list(s.encoded()), lambda s: s.write_to(Recorder()))[
            list(READERS).index(reader)](s)
    assert (type(e.value), str(e.value), os.listdir(tmp_dir)) == (error, message, [])
    for again in (s.sort, s.encoded, lambda: s.add(1)):
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            again()


def test_a_run_damaged_during_write_to_fails_after_the_chunks_before(tmp_dir):
    # 8,000 payloads of 1,000 bytes spilled as one run of some 62 blocks. When the first
    # chunk is written the merging thread is at most about 1 MiB in; block 40 is past 5 MiB.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=20_000_000)
    for k in range(7999, -1, -1):
        s.add_encoded(k, payload_of(k, 1000))
    s.add_encoded(10**6, bytes(10_000_000))
    messages = []

    class Damaging(Recorder):
        def write(self, data):
            if not messages:
                messages.append(damage(os.path.join(private_dir(tmp_dir), "run-000000"), "short", 40))
            return super().write(data)

    handle = Damaging()
    with pytest.raises(OSError) as e:
        s.write_to(handle)
    assert [str(e.value)] == messages[:1] and os.listdir(tmp_dir) == []
    assert handle.joined() == b"".join(payload_of(k, 1000) for k in range(len(handle.joined()) // 1000))
    assert 1 << 20 <= len(handle.joined()) < 5_242_880


def test_the_directory_removed_under_a_sorter_fails_its_next_spill(tmp_path):
    parent = tmp_path / "gone"
    parent.mkdir()
    s = Sorter(tmp_dir=str(parent), max_bytes=2)
    s.add(1)
    parent.rmdir()
    with pytest.raises(FileNotFoundError) as e:
        s.add(2)  # the first spill cannot make the private directory
    assert re.fullmatch(re.escape(f'{parent}: No such file or directory (os error 2) at path "{parent}/')
                        + r'lodestack-\w{6}"', str(e.value)), str(e.value)
    with pytest.raises(RuntimeError, match=f"^{LOST}$"):
        s.add(3)


@pytest.mark.parametrize("phase", ["encoded", "write_to"])
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_at_random_moments(phase, threads, tmp_dir):
    # Each trial ends complete and correct, or interrupted in a documented state, with
    # nothing on disk once the sorter is stopped or closed.
    trials = scale(3, 40)
    facts = run_child(f"""
        import itertools, operator, random, time
        rng = random.Random({threads})
        items = [(rng.randrange(500), os.urandom(rng.randrange(1, 600))) for _ in range(20000)]
        expected = [p for _, p in sorted(items, key=lambda kp: kp[0])]
        def workload():
            s = Sorter(tmp_dir=TMP, max_bytes=600_000, max_open=2, threads={threads})
            try:
                for k, p in items:
                    s.add_encoded(k, p)
                if {phase!r} == "encoded":  # made and drained in C: an interrupt is the module's
                    return s, list(itertools.chain.from_iterable(map(operator.methodcaller("encoded"), [s])))
                out = []
                s.write_to(type("Keep", (), {{"write": lambda self, d: out.append(d) or len(d)}})())
                return s, [b"".join(out)]
            except KeyboardInterrupt:
                return s, None
        start = time.monotonic()
        workload()[0].close()
        span, outcomes = time.monotonic() - start, []
        for trial in range({trials}):
            timer = threading.Timer(rng.uniform(0, span * 1.1), interrupt_main)
            try:
                timer.start()
                s, out = workload()
                state, left = refusal(lambda: s.add_encoded(1, b"x")), os.listdir(TMP)
                timer.join()
            except KeyboardInterrupt:  # it landed in this loop, outside the module
                timer.join()
                outcomes.append("outside")
                continue
            if out is None:
                assert state in ("accepted", {STOPPED!r}, {CANNOT_ADD!r}), state
                assert state == "accepted" or left == [], left
            else:
                assert out == (expected if {phase!r} == "encoded" else [b"".join(expected)])
                assert (state, left) == ({CANNOT_ADD!r}, [])
            s.close()
            outcomes.append(state)
            assert os.listdir(TMP) == []
        done(outcomes=outcomes)""", tmp_dir, timeout=scale(120, 900))
    assert len(facts["outcomes"]) == trials


@pytest.mark.parametrize("daemon", [False, True])
def test_exit_with_sorters_spilling_and_reading(daemon, tmp_dir):
    # Sorters still alive at exit, with spills in flight, half-read or in a reference cycle:
    # the interpreter exits cleanly, and without a daemon thread every directory goes.
    facts = run_child(f"""
        kept = []
        for i in range(6):
            s = Sorter(tmp_dir=TMP, max_bytes=5_000, threads=1 + i % 2)
            for k in range(3000):
                s.add_encoded(k * 7919 % 3000, os.urandom(20))
            if i % 3 == 1:
                it = s.encoded()
                kept.append((it, next(it)))
            kept.append([s, kept])
        if {daemon}:  # CPython then frees no module globals: the directories stay
            threading.Thread(target=threading.Event().wait, daemon=True).start()
        done(dirs=len(os.listdir(TMP)))""", tmp_dir,
                      env={"TSAN_OPTIONS": os.environ.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0"})
    assert facts["dirs"] >= 4
    if daemon:
        for name in os.listdir(tmp_dir):
            shutil.rmtree(os.path.join(tmp_dir, name))
    assert os.listdir(tmp_dir) == []
