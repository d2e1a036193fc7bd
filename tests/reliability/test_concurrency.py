"""Many threads on one sorter, released together at a barrier: adding with spills in flight,
sharing one iterator, closing and dropping at random moments."""

import pickle
import threading

import pytest

from lodestack import Sorter

from .conftest import scale

CLOSED = "I/O operation on a closed sorter"
READ_ONCE = "a sorter can be read only once"
ADD_AFTER_READ = "cannot add to a sorter once it has been read"


def run_threads(targets):
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(target):
        def body():
            barrier.wait()
            try:
                target()
            except BaseException as e:  # noqa: BLE001 - reported by the caller
                errors.append(e)

        return body

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def item(writer, i):
    # Keys collide across writers so that ties between spills are exercised too.
    return (i % 97, writer, i)


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_adders_then_readers_sharing_one_iterator(threads, tmp_dir, rng):
    writers = 6
    per = scale(3000, 30000)
    s = Sorter(lambda it: it[0], tmp_dir=tmp_dir, max_bytes=40_000, max_open=4, threads=threads)

    def writer(w):
        for i in range(per):
            if i % 7 == 3:
                with pytest.raises(TypeError):
                    s.add(({}, w, i))  # a failed add must not count
            if i % 2:
                s.add(item(w, i))
            else:
                s.add_encoded(i % 97, pickle.dumps(item(w, i), 5))

    run_threads([lambda w=w: writer(w) for w in range(writers)])
    assert len(s) == writers * per

    it = s.sort()
    got = [[] for _ in range(writers)]
    run_threads([lambda r=r: got[r].extend(it) for r in range(writers)])
    everything = [x for part in got for x in part]
    # Each item exactly once, and each reader's share in order: equal keys of one writer in
    # the order that writer added them.
    assert sorted(everything) == sorted(item(w, i) for w in range(writers) for i in range(per))
    for part in got:
        assert [x[0] for x in part] == sorted(x[0] for x in part)
        for w in range(writers):
            mine = [(x[0], x[2]) for x in part if x[1] == w]
            assert mine == sorted(mine)


@pytest.mark.parametrize("trial", range(scale(6, 60)))
def test_adding_reading_and_closing_race(trial, tmp_dir, rng):
    # Adders, a reader that starts at a random point, and a closer at a random point. Every
    # refusal is one of the documented ones; whatever the reader got is in order, has no
    # item twice, and is complete when nothing closed the sorter first.
    threads = rng.choice([1, 2, 3])
    s = Sorter(tmp_dir=tmp_dir, max_bytes=rng.choice([2_000, 20_000, 200_000]), max_open=3,
               threads=threads)
    added = [[] for _ in range(3)]
    got = []
    outcome = {}
    read_after = rng.randrange(3000)
    close_after = rng.randrange(6000)
    counter = iter(range(10**9))
    lock = threading.Lock()

    def tick():
        with lock:
            return next(counter)

    def adder(w):
        for i in range(2000):
            try:
                s.add_encoded(i % 50, b"%d:%d" % (w, i))
            except RuntimeError as e:
                assert str(e) == ADD_AFTER_READ
                return
            except ValueError as e:
                assert str(e) == CLOSED
                return
            added[w].append(b"%d:%d" % (w, i))
            tick()

    def reader():
        while tick() < read_after:
            pass
        try:
            for payload in s.encoded():
                got.append(payload)
            outcome["reader"] = "complete"
        except ValueError as e:
            assert str(e) == CLOSED
            outcome["reader"] = "closed"

    def closer():
        while tick() < close_after:
            pass
        s.close()

    run_threads([lambda w=w: adder(w) for w in range(3)] + [reader, closer])
    assert len(got) == len(set(got))
    keys = [int(p.split(b":")[1]) % 50 for p in got]
    assert keys == sorted(keys)
    if outcome.get("reader") == "complete":
        # Everything added before the read began came out, nothing else.
        assert sorted(got) == sorted(p for part in added for p in part)


@pytest.mark.parametrize("threads", [1, 2])
def test_iterators_and_sorters_dropped_from_other_threads(threads, tmp_dir, rng):
    # Each of several threads owns a sorter; a sharer reads from some of the iterators and
    # the owners drop their references at random moments, with spills in flight.
    sorters = [Sorter(tmp_dir=tmp_dir, max_bytes=4_000, threads=threads) for _ in range(4)]
    iterators = []
    for s in sorters:
        for i in range(rng.randrange(100, 2000)):
            s.add_encoded(rng.randrange(100), b"x" * rng.randrange(50))
    for s in sorters[:2]:
        iterators.append(s.encoded())
    stop_at = [rng.randrange(1, 500) for _ in iterators]

    def drop_sorters():
        sorters.clear()

    def read(i):
        it = iterators[i]
        for n, _ in enumerate(it):
            if n == stop_at[i]:
                break
        iterators[i] = None

    run_threads([drop_sorters] + [lambda i=i: read(i) for i in range(len(iterators))])
    assert iterators == [None, None]
