"""Signals: Ctrl-C, or any handler that raises, interrupts waiting for a spill, merging and
reading; a handler that calls back into the sorter it interrupted gets "reentrant call".

Each test runs in a child interpreter, so that a stray signal cannot hit the test runner.
Spills and merges are held at a gate in the preloaded shim, so nothing depends on timing:
the test knows where the main thread is when the signal arrives. Where the main thread
must already be waiting inside the module, a helper thread is released only once the main
thread lets go of the interpreter (see on_main_thread_once_released in conftest).
"""

import os

import pytest

from conftest import needs_gil, needs_shim, run_child

CLOSED = "I/O operation on a closed sorter"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"


@needs_shim
@needs_gil
def test_ctrl_c_while_an_add_waits_for_a_slow_spill(tmp_dir):
    facts = run_child(
        """
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        s.add(1)
        s.add(2)            # spills item 1, which is held at its first write
        arm, helper = on_main_thread_once_released(interrupt_main)
        arm()
        try:
            s.add(3)        # waits for that spill
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        helper.join()
        facts = {"outcome": outcome, "len": len(s),
                 "spilling": "lodestack-spill" in thread_names()}
        gate.open()
        s.add(3)            # the spill completes and the sorter goes on
        facts["again"] = len(s)
        facts["out"] = list(s.sort())
        facts["left"] = os.listdir(TMP)
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {
        "outcome": "KeyboardInterrupt",
        "len": 2,
        "spilling": True,
        "again": 3,
        "out": [1, 2, 3],
        "left": [],
    }


REENTRY = {
    "add": ("s.add(99)", False),
    "add_encoded": ("s.add_encoded(99, b'x')", False),
    "sort(items)": ("s.sort([99])", False),
    "sort": ("s.sort()", False),
    "encoded": ("s.encoded()", False),
    "write_to": ("s.write_to(Sink())", False),
    "close": ("s.close()", True),
}


@needs_shim
@needs_gil
@pytest.mark.parametrize("call", list(REENTRY))
def test_a_handler_calling_into_the_waiting_sorter_gets_reentrant_call(call, tmp_dir):
    code, closes = REENTRY[call]
    facts = run_child(
        f"""
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        s.add(1)
        s.add(2)            # spills item 1, which is held at its first write
        seen = []

        def handler(signum, frame):
            try:
                {code}
                seen.append("no error")
            except RuntimeError as e:
                seen.append(str(e))
            gate.open()

        signal.signal(signal.SIGUSR1, handler)
        arm, helper = on_main_thread_once_released(
            lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1))
        arm()
        s.add(3)            # waits for the spill; the handler runs inside that wait
        helper.join()
        facts = {{"seen": seen, "len": len(s)}}
        try:
            s.add(4)
            facts["later"] = "added"
        except ValueError as e:
            facts["later"] = str(e)
        if facts["later"] == "added":
            facts["out"] = list(s.sort())
        s.close()
        facts["left"] = os.listdir(TMP)
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts["seen"] == ["reentrant call"]
    assert facts["len"] == 3
    if closes:
        # The close was refused, but the sorter counts as closed from then on.
        assert facts["later"] == CLOSED
    else:
        assert facts["later"] == "added"
        assert facts["out"] == [1, 2, 3, 4]
    assert facts["left"] == []


@needs_shim
@pytest.mark.parametrize(
    "reader", ["list(s.sort())", "list(s.encoded())", "s.write_to(Sink())"]
)
def test_ctrl_c_during_a_merge_pass_stops_the_sort(reader, tmp_dir):
    # Five runs and max_open 2 take three passes, writing run-000005, -6 and -7. The first
    # pass is held at its write while Ctrl-C arrives; the next pass notices it.
    facts = run_child(
        f"""
        os.environ["LODESTACK_SHIM_MATCH"] = "run-000005"
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2, max_open=2)
        for k in range(6):
            s.add_encoded(k, b"p" * k)

        def helper():
            gate.wait_blocked()
            interrupt_main()
            gate.open()

        t = threading.Thread(target=helper)
        t.start()
        try:
            {reader}
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        t.join()
        facts = {{"outcome": outcome, "left": os.listdir(TMP),
                  "threads": [n for n in thread_names() if n.startswith("lodestack-")]}}
        for name, call in (("sort", lambda: s.sort()), ("encoded", lambda: s.encoded()),
                           ("write_to", lambda: s.write_to(Sink())),
                           ("add", lambda: s.add(1))):
            try:
                call()
            except RuntimeError as e:
                facts[name] = str(e)
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {
        "outcome": "KeyboardInterrupt",
        "left": [],
        "threads": [],
        "sort": STOPPED,
        "encoded": STOPPED,
        "write_to": STOPPED,
        "add": STOPPED,
    }


@needs_shim
def test_ctrl_c_within_a_long_merge_pass_stops_it(tmp_dir):
    # A single pass over two runs of about 40,000 records each. Its run's first write,
    # after some 30,000 incompressible records, is held while Ctrl-C arrives; the check
    # made every 65,536 records must stop the pass, since no later pass would.
    facts = run_child(
        """
        import random

        def fill(s):
            rng = random.Random(4)
            for k in range(200_000):
                s.add_encoded(rng.randrange(1 << 40), rng.randbytes(16))

        probe = Sorter(tmp_dir=TMP, max_bytes=4_000_000)
        fill(probe)
        it = probe.encoded()
        runs = len(os.listdir(private_dir()))
        del it
        probe.close()

        # The same items again, with room for one run fewer than they make.
        os.environ["LODESTACK_SHIM_MATCH"] = f"run-{runs:06d}"
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=4_000_000, max_open=runs - 1)
        fill(s)

        def helper():
            gate.wait_blocked()
            interrupt_main()
            gate.open()

        t = threading.Thread(target=helper)
        t.start()
        try:
            s.encoded()
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        t.join()
        facts = {"runs": runs, "outcome": outcome, "left": os.listdir(TMP)}
        try:
            s.encoded()
        except RuntimeError as e:
            facts["again"] = str(e)
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts["runs"] >= 3
    assert facts["outcome"] == "KeyboardInterrupt"
    assert facts["left"] == []
    assert facts["again"] == STOPPED


@needs_shim
def test_ctrl_c_pending_at_a_batch_boundary_ends_the_iteration(tmp_dir):
    # 10,000 records of 48 stream bytes spilled as one run: the first batch of 4,096
    # reaches into the run's second block, whose read is held at the gate while Ctrl-C
    # arrives. The batch completes; the signal is raised at the next batch boundary. The
    # items are drained by C code (deque, zip, count), which runs no signal handler itself.
    facts = run_child(
        """
        import collections, itertools, random, struct
        s = Sorter(tmp_dir=TMP, max_bytes=4_000_000)
        keys = list(range(10_000))
        random.Random(1).shuffle(keys)
        for k in keys:
            s.add_encoded(k, b"%030d" % k)
        s.add_encoded(10**6, bytes(2_000_000))
        it = s.encoded()
        run = os.path.join(private_dir(), "run-000000")
        with open(run, "rb") as f:
            first_compressed = struct.unpack("<I", f.read(4))[0]
        # Reads past the first block's data are held.
        os.environ["LODESTACK_SHIM_READ_FROM"] = str(8 + first_compressed + 1)
        gate = Gate("READ")

        def helper():
            gate.wait_blocked()
            interrupt_main()
            gate.open()

        t = threading.Thread(target=helper)
        t.start()
        last = collections.deque(maxlen=1)
        try:
            last.extend(zip(itertools.count(1), it))
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        t.join()
        count, item = last[0]
        facts = {"outcome": outcome, "count": count, "item": item.decode(),
                 "next": next(it, "end"), "left": os.listdir(TMP)}
        try:
            s.encoded()
        except RuntimeError as e:
            facts["again"] = str(e)
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {
        "outcome": "KeyboardInterrupt",
        "count": 4096,
        "item": "%030d" % 4095,
        "next": "end",
        "left": [],
        "again": STOPPED,
    }


WRITE_TO_SETUP = """
import random
s = Sorter(tmp_dir=TMP, max_bytes=1 << 20)
keys = list(range(8000))
random.Random(2).shuffle(keys)
for k in keys:
    # Incompressible payloads: a run's blocks then lie about 128 KiB apart in its file.
    s.add_encoded(k, random.Random(k).randbytes(1000))
assert len(private_dirs()) == 1
"""


@needs_shim
def test_ctrl_c_during_write_to_stops_it_and_removes_the_spilled_runs(tmp_dir):
    # Reads past the first two blocks of any run are held, so the merging thread stops a
    # few chunks in and the main thread waits for the next one; Ctrl-C arrives then. The
    # handle's write is C code (list.append), which runs no signal handler: only
    # write_to's own check between waits can notice the signal.
    facts = run_child(
        WRITE_TO_SETUP
        + """
gate = Gate("READ")

def helper():
    gate.wait_blocked()
    interrupt_main()
    gate.open()

t = threading.Thread(target=helper)
t.start()
calls = []
handle = type("Handle", (), {})()
handle.write = calls.append     # returns None: every chunk is taken whole
try:
    s.write_to(handle)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
t.join()
facts = {"outcome": outcome, "chunks": [len(c) for c in calls],
         "left": os.listdir(TMP),
         "threads": [n for n in thread_names() if n.startswith("lodestack-")]}
try:
    s.sort()
except RuntimeError as e:
    facts["again"] = str(e)
done(**facts)
""",
        tmp_dir,
        shim=True,
        env={"LODESTACK_SHIM_READ_FROM": "200000"},
    )
    assert facts["outcome"] == "KeyboardInterrupt"
    # Whole chunks only, and far from all eight.
    assert 1 <= len(facts["chunks"]) < 8
    assert set(facts["chunks"]) == {1_049_000}
    assert facts["left"] == []
    assert facts["threads"] == []
    assert facts["again"] == READ_ONCE


def test_ctrl_c_inside_the_handles_write_ends_write_to(tmp_dir):
    facts = run_child(
        WRITE_TO_SETUP
        + """
calls = []

class Handle:
    def write(self, data):
        calls.append(len(data))
        interrupt_main()    # the handler runs, and raises, inside this write
        return len(data)

try:
    s.write_to(Handle())
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
facts = {"outcome": outcome, "calls": calls, "left": os.listdir(TMP),
         "threads": [n for n in thread_names() if n.startswith("lodestack-")]}
try:
    s.sort()
except RuntimeError as e:
    facts["again"] = str(e)
done(**facts)
""",
        tmp_dir,
    )
    assert facts == {
        "outcome": "KeyboardInterrupt",
        "calls": [1_049_000],
        "left": [],
        "threads": [],
        "again": READ_ONCE,
    }


@needs_shim
@needs_gil
@pytest.mark.parametrize("how", ["del s", "s.close()"])
def test_dropping_a_sorter_waits_for_its_spill_then_removes_it(how, tmp_dir):
    facts = run_child(
        f"""
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        s.add(1)
        s.add(2)
        gate.wait_blocked()     # the spill of item 1 is held at its write
        arm, helper = on_main_thread_once_released(gate.open)
        arm()
        {how}                   # the helper opens the gate once this waits for the spill
        facts = {{"left": os.listdir(TMP),
                  "threads": [n for n in thread_names() if n.startswith("lodestack-")]}}
        helper.join()
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {"left": [], "threads": []}
