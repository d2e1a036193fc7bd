"""Sorters and iterators caught in reference cycles through their key function or codec,
and sorters still alive, spilling or being read, when the interpreter exits."""

import gc
import os
import shutil

import pytest

from lodestack import Sorter

from conftest import private_dirs, run_child

from .conftest import scale


class Codec:
    """A codec that refers back to the sorter using it."""

    def __init__(self):
        self.sorter = None

    def encode(self, item):
        return repr(item).encode()

    def decode(self, data):
        return eval(data)  # noqa: S307 - our own repr of ints and tuples


@pytest.mark.parametrize("threads", [1, 2])
def test_many_cycles_with_spills_in_flight_are_collected(threads, tmp_dir, rng):
    gc.disable()
    try:
        for n in range(scale(10, 60)):
            codec = Codec()
            holder = {}
            how = rng.choice(["key", "codec", "iterator"])
            key = (lambda x: (holder, x)[1]) if how == "key" else None
            s = Sorter(key, codec=codec, tmp_dir=tmp_dir, max_bytes=rng.choice([1_000, 4_000]),
                       threads=threads)
            holder["s"] = s
            codec.sorter = s
            for i in range(rng.randrange(50, 400)):
                s.add((rng.randrange(100), i))
            if how == "iterator":
                it = s.sort()
                next(it)
                codec.iterator = it  # the iterator's sorter and the codec, in a loop
                del it
            del s, codec, holder, key
            # Only the collector can free these, and it must: spills in flight are waited
            # for and the directories removed.
            assert gc.collect() > 0
            assert private_dirs(tmp_dir) == [], n
    finally:
        gc.enable()


EXIT_WITH_WORK = """
import random
rng = random.Random(SEED)
kept = []
for i in range(6):
    s = Sorter(tmp_dir=TMP, max_bytes=rng.choice([100, 5_000, 50_000]), threads=rng.choice([1, 2]))
    for k in range(rng.randrange(100, 5000)):
        s.add_encoded(rng.randrange(1000), os.urandom(rng.randrange(64)))
    kind = i % 3
    if kind == 1:
        it = s.encoded()
        next(it)
        kept.append(it)
    elif kind == 2:
        cycle = [s]
        cycle.append(cycle)
    kept.append(s)
# A daemon thread still running at exit: idle, or inside a write_to whose handle blocks
# forever on its second chunk.
blocker = threading.Event()
class Slow:
    n = 0
    def write(self, data):
        Slow.n += 1
        if Slow.n > 1:
            blocker.wait()
        return len(data)
started = threading.Event()
def daemon():
    started.set()
    if DAEMON == "in-write_to":
        w = Sorter(tmp_dir=TMP, max_bytes=200_000)
        for k in range(60_000):
            w.add_encoded(k, b"y" * 40)
        w.write_to(Slow())
    blocker.wait()
if DAEMON != "none":
    threading.Thread(target=daemon, daemon=True).start()
    started.wait()
done(dirs=len(private_dirs()))
"""


@pytest.mark.parametrize("daemon", ["none", "idle", "in-write_to"])
@pytest.mark.parametrize("seed", range(scale(1, 6)))
def test_exit_with_sorters_alive_spilling_and_reading(seed, daemon, tmp_dir):
    # Sorters that are never destroyed never join their spill threads, which a TSan
    # runtime preloaded into the tests would report as leaked at exit.
    env = {"TSAN_OPTIONS": os.environ.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0"}
    facts = run_child(
        f"SEED = {seed}\nDAEMON = {daemon!r}\n" + EXIT_WITH_WORK,
        tmp_dir,
        env=env if daemon != "none" else None,
    )
    assert facts["dirs"] >= 4
    # The process exited normally (run_child checks). Without daemon threads every sorter
    # was destroyed at exit and removed its directory, spills in flight included.
    left = private_dirs(tmp_dir)
    if daemon == "none":
        assert left == []
    else:
        # While a daemon thread runs, CPython frees no module globals at exit (a plain
        # object's __del__ is not called either), so these sorters are never destroyed and
        # their directories stay; what is checked is the exit without hang or crash.
        for name in left:
            shutil.rmtree(os.path.join(tmp_dir, name))
