"""Signals: Ctrl-C, or any handler that raises, interrupts waiting for a spill, merging and
reading; a handler that calls back into the sorter it interrupted gets "reentrant call".

Each test runs in a child interpreter. Spills, merges and reads are held at a gate in the
preloaded shim, so the test knows where the main thread is when the signal arrives.
"""

import pytest

from conftest import needs_gil, needs_shim, run_child

CLOSED = "I/O operation on a closed sorter"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"

# Item 1 is being spilled, held at its first write.
HELD_SPILL = """
gate = Gate("WRITE")
s = Sorter(tmp_dir=TMP, max_bytes=2)
s.add(1)
s.add(2)
"""


@needs_shim
@needs_gil
def test_ctrl_c_while_an_add_waits_for_a_slow_spill(tmp_dir):
    facts = run_child(
        HELD_SPILL
        + """
arm, helper = on_main_thread_once_released(interrupt_main)
arm()
facts = {"outcome": outcome(lambda: s.add(3))}
helper.join()
facts.update(len=len(s), spilling="lodestack-spill" in thread_names())
gate.open()
s.add(3)
done(**facts, again=len(s), out=list(s.sort()), left=os.listdir(TMP))
""",
        tmp_dir,
        shim=True,
    )
    assert facts == {"outcome": "KeyboardInterrupt", "len": 2, "spilling": True, "again": 3,
                     "out": [1, 2, 3], "left": []}


REENTRY = ["s.add(99)", "s.add_encoded(99, b'x')", "s.sort([99])", "s.sort()", "s.encoded()",
           "s.write_to(Sink())", "s.close()"]


@needs_shim
@needs_gil
@pytest.mark.parametrize("call", REENTRY)
def test_a_handler_calling_into_the_waiting_sorter_gets_reentrant_call(call, tmp_dir):
    facts = run_child(
        HELD_SPILL
        + f"""
seen = []

def handler(signum, frame):
    seen.append(refusal(lambda: {call}))
    gate.open()

signal.signal(signal.SIGUSR1, handler)
arm, helper = on_main_thread_once_released(
    lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1))
arm()
s.add(3)            # waits for the spill; the handler runs inside that wait
helper.join()
facts = {{"seen": seen, "len": len(s), "later": refusal(lambda: s.add(4))}}
if facts["later"] == "accepted":
    facts["out"] = list(s.sort())
s.close()
done(**facts, left=os.listdir(TMP))
""",
        tmp_dir,
        shim=True,
    )
    assert facts.pop("seen") == ["reentrant call"]
    if call == "s.close()":
        # The close was refused, but the sorter counts as closed from then on.
        assert facts == {"len": 3, "later": CLOSED, "left": []}
    else:
        assert facts == {"len": 3, "later": "accepted", "out": [1, 2, 3, 4], "left": []}


@needs_shim
@pytest.mark.parametrize("reader", ["list(s.sort())", "list(s.encoded())", "s.write_to(Sink())"])
def test_ctrl_c_during_a_merge_pass_stops_the_sort(reader, tmp_dir):
    # Six runs and max_open 2 take passes writing run-000005 on; the first is held while
    # Ctrl-C arrives, and the next notices it.
    facts = run_child(
        f"""
        os.environ["LODESTACK_SHIM_MATCH"] = "run-000005"
        gate = Gate("WRITE")
        s = Sorter(tmp_dir=TMP, max_bytes=2, max_open=2)
        for k in range(6):
            s.add_encoded(k, b"p" * k)
        t = interrupt_when_blocked(gate)
        facts = {{"outcome": outcome(lambda: {reader})}}
        t.join()
        facts.update(left=os.listdir(TMP), threads=lodestack_threads())
        facts["later"] = [refusal(call) for call in
                          (s.sort, s.encoded, lambda: s.write_to(Sink()), lambda: s.add(1))]
        done(**facts)
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {"outcome": "KeyboardInterrupt", "left": [], "threads": [],
                     "later": [STOPPED] * 4}


@needs_shim
def test_ctrl_c_within_a_long_merge_pass_stops_it(tmp_dir):
    # One pass over two runs of about 40,000 records each, whose first write comes after
    # some 30,000 records and is held while Ctrl-C arrives: the check made every 65,536
    # records must stop the pass, since no later pass would.
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
        t = interrupt_when_blocked(gate)
        facts = {"runs": runs, "outcome": outcome(s.encoded)}
        t.join()
        done(**facts, left=os.listdir(TMP), again=refusal(s.encoded))
        """,
        tmp_dir,
        shim=True,
    )
    assert facts["runs"] >= 3
    assert facts == {"runs": facts["runs"], "outcome": "KeyboardInterrupt", "left": [],
                     "again": STOPPED}


@needs_shim
def test_ctrl_c_pending_at_a_batch_boundary_ends_the_iteration(tmp_dir):
    # 10,000 records spilled as one run: the first batch of 4,096 reaches into the second
    # block, whose read is held while Ctrl-C arrives. The batch completes and the signal is
    # raised at the next batch boundary. The items are drained by C code, which runs no
    # signal handler itself.
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
        with open(os.path.join(private_dir(), "run-000000"), "rb") as f:
            first_compressed = struct.unpack("<I", f.read(4))[0]
        os.environ["LODESTACK_SHIM_READ_FROM"] = str(8 + first_compressed + 1)
        t = interrupt_when_blocked(Gate("READ"))
        last = collections.deque(maxlen=1)
        facts = {"outcome": outcome(lambda: last.extend(zip(itertools.count(1), it)))}
        t.join()
        count, item = last[0]
        facts.update(count=count, item=item.decode(), next=next(it, "end"))
        done(**facts, left=os.listdir(TMP), again=refusal(s.encoded))
        """,
        tmp_dir,
        shim=True,
    )
    assert facts == {"outcome": "KeyboardInterrupt", "count": 4096, "item": "%030d" % 4095,
                     "next": "end", "left": [], "again": STOPPED}


# 8,000 incompressible payloads: a run's blocks lie about 128 KiB apart in its file.
WRITE_TO_SETUP = """
import random
s = Sorter(tmp_dir=TMP, max_bytes=1 << 20)
keys = list(range(8000))
random.Random(2).shuffle(keys)
for k in keys:
    s.add_encoded(k, random.Random(k).randbytes(1000))
assert len(private_dirs()) == 1
calls = []
"""


@needs_shim
def test_ctrl_c_during_write_to_stops_it_and_removes_the_spilled_runs(tmp_dir):
    # Reads past the first two blocks of a run are held, so the main thread waits for a
    # chunk when Ctrl-C arrives. The handle's write is C code (list.append, returning
    # None: the chunk is taken whole), so only write_to's own check can notice the signal.
    facts = run_child(
        WRITE_TO_SETUP
        + """
t = interrupt_when_blocked(Gate("READ"))
handle = type("Handle", (), {})()
handle.write = calls.append
facts = {"outcome": outcome(lambda: s.write_to(handle))}
t.join()
done(**facts, chunks=[len(c) for c in calls], left=os.listdir(TMP),
     threads=lodestack_threads(), again=refusal(s.sort))
""",
        tmp_dir,
        shim=True,
        env={"LODESTACK_SHIM_READ_FROM": "200000"},
    )
    chunks = facts.pop("chunks")
    assert 1 <= len(chunks) < 8 and set(chunks) == {1_049_000}
    assert facts == {"outcome": "KeyboardInterrupt", "left": [], "threads": [],
                     "again": READ_ONCE}


def test_ctrl_c_inside_the_handles_write_ends_write_to(tmp_dir):
    facts = run_child(
        WRITE_TO_SETUP
        + """
class Handle:
    def write(self, data):
        calls.append(len(data))
        interrupt_main()    # the handler runs, and raises, inside this write
        return len(data)

done(outcome=outcome(lambda: s.write_to(Handle())), calls=calls, left=os.listdir(TMP),
     threads=lodestack_threads(), again=refusal(s.sort))
""",
        tmp_dir,
    )
    assert facts == {"outcome": "KeyboardInterrupt", "calls": [1_049_000], "left": [],
                     "threads": [], "again": READ_ONCE}


@needs_shim
@needs_gil
@pytest.mark.parametrize("how", ["del s", "s.close()"])
def test_dropping_a_sorter_waits_for_its_spill_then_removes_it(how, tmp_dir):
    facts = run_child(
        HELD_SPILL
        + f"""
gate.wait_blocked()
arm, helper = on_main_thread_once_released(gate.open)
arm()
{how}                   # the helper opens the gate once this waits for the spill
facts = {{"left": os.listdir(TMP), "threads": lodestack_threads()}}
helper.join()
done(**facts)
""",
        tmp_dir,
        shim=True,
    )
    assert facts == {"left": [], "threads": []}
