"""SIGINT at random moments of adding, merging, iterating and write_to, in a child. The
delay only spreads the signal over the phase; no outcome depends on it. Each trial ends
complete and correct, or interrupted in a documented state with nothing left once stopped."""

import pytest

from conftest import run_child

from .conftest import scale

TRIALS = """
import random, time
from itertools import chain
from operator import methodcaller
rng = random.Random(SEED)
STOPPED = "the sorter stopped when reading it failed or was interrupted"
READ_ONCE = "a sorter can be read only once"
AFTER_READ = "cannot add to a sorter once it has been read"
items = [(rng.randrange(500), os.urandom(rng.randrange(1, 600))) for _ in range(20000)]
expected = [p for _, p in sorted(items, key=lambda kp: kp[0])]

def workload(phase):
    s = Sorter(tmp_dir=TMP, max_bytes=600_000, max_open=2, threads=THREADS)
    out = []
    try:
        for k, p in items:
            s.add_encoded(k, p)
        if phase == "encoded":
            # Made and drained in C, with no Python code from the call of encoded() to
            # the end of the iteration, so a KeyboardInterrupt in between is the module's.
            out = list(chain.from_iterable(map(methodcaller("encoded"), [s])))
        else:
            class Keep:
                def write(self, data):
                    out.append(bytes(data))
                    return len(data)
            s.write_to(Keep())
            out = [b"".join(out)]
    except KeyboardInterrupt:
        return s, None
    return s, out

def probe(s):
    # What the sorter answers afterwards: each documented refusal, or acceptance.
    try:
        s.add_encoded(1, b"x")
        return "adding"
    except (RuntimeError, ValueError) as e:
        return str(e)

outcomes = {}
for phase in PHASES:
    start = time.monotonic()
    s, out = workload(phase)
    span = time.monotonic() - start
    s.close()
    for trial in range(TRIAL_COUNT):
        timer = threading.Timer(rng.uniform(0, span * 1.1), interrupt_main)
        interrupted = False
        try:
            timer.start()
            s, out = workload(phase)
            interrupted = out is None
            left = os.listdir(TMP)
            state = probe(s)
            timer.join()
        except KeyboardInterrupt:
            # It landed outside the module's calls (in this loop): nothing to check but
            # that the sorter can still be closed cleanly.
            timer.join()
            s.close()
            assert os.listdir(TMP) == [], os.listdir(TMP)
            outcomes["outside"] = outcomes.get("outside", 0) + 1
            continue
        timer.join()
        if interrupted:
            # While adding, the sorter goes on. Once reading began it is stopped, or it
            # was read to the end (the signal landed just after, or in the handle's own
            # write); either way its files are gone.
            assert state in ("adding", STOPPED, AFTER_READ), state
            if state != "adding":
                assert left == [], (state, left)
            outcomes[state] = outcomes.get(state, 0) + 1
        else:
            want = expected if phase == "encoded" else [b"".join(expected)]
            assert out == want, phase
            assert state == AFTER_READ, state
            assert left == [], left
            outcomes["complete"] = outcomes.get("complete", 0) + 1
        s.close()
        assert os.listdir(TMP) == [], os.listdir(TMP)
done(outcomes=outcomes)
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("phases", [["encoded"], ["write_to"]], ids=["iterate", "write_to"])
def test_sigint_at_random_moments(phases, threads, tmp_dir, rng):
    seed = rng.randrange(1 << 32)
    code = (
        f"SEED = {seed}\nTHREADS = {threads}\nPHASES = {phases!r}\n"
        f"TRIAL_COUNT = {scale(6, 40)}\n" + TRIALS
    )
    facts = run_child(code, tmp_dir, timeout=scale(120, 900))
    outcomes = facts["outcomes"]
    assert sum(outcomes.values()) == scale(6, 40)
