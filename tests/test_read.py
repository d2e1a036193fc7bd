"""Reading a sorter: sort(items), the iterators' batches and failures, write_to's chunks and
handles, and threads sharing one sorter."""

import os
import pickle
import random
import struct
import threading

import pytest

from conftest import (CANNOT_ADD, CLOSED, READ_ONCE, STOPPED, Recorder, lodestack_threads,
                      payload_of, private_dirs, run_threads, scale)
from lodestack import Sorter

READERS = {"sort": lambda s: list(s.sort()), "encoded": lambda s: list(s.encoded()),
           "write_to": lambda s: s.write_to(Recorder())}


def filled(tmp_dir, count, size, max_bytes=1 << 30, seed=0):
    """`count` payloads of `size` bytes added in shuffled key order, and them in key order."""
    s = Sorter(tmp_dir=tmp_dir, max_bytes=max_bytes)
    keys = list(range(count))
    random.Random(seed).shuffle(keys)
    for k in keys:
        s.add_encoded(k, payload_of(k, size))
    return s, [payload_of(k, size) for k in range(count)]


@pytest.mark.parametrize("second", list(READERS))
@pytest.mark.parametrize("first", list(READERS))
def test_an_empty_sorter_reads_as_nothing_and_only_once(first, second, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    if first == "write_to":
        handle = Recorder()
        assert (s.write_to(handle), handle.calls) == (None, [])
    else:
        it = getattr(s, first)()
        assert iter(it) is it and next(it, "end") == "end" and next(it, "end") == "end"
    with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
        READERS[second](s)


def source_failing_after_three():
    yield from (3, 1, 2)
    raise ConnectionError("the source broke")


@pytest.mark.parametrize(("items", "error"), [(source_failing_after_three, ConnectionError),
                                              (lambda: [3, 1, 2, {"bad": 1}, 4], TypeError)])
def test_items_given_before_a_failure_stay_added(items, error, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    with pytest.raises(error):
        s.sort(items())
    assert list(s.sort([0])) == [0, 1, 2, 3] and len(s) == 4


@pytest.mark.parametrize("max_bytes", [2, 1 << 20], ids=["spilled", "held"])
def test_a_decode_that_raises_ends_the_iteration_and_the_sort(max_bytes, tmp_dir):
    error = UnicodeError("third")
    decoded = []

    class Codec:
        encode = staticmethod(lambda item: pickle.dumps(item))

        def decode(self, data):
            decoded.append(data)
            if len(decoded) == 3:
                raise error
            return pickle.loads(data)

    s = Sorter(codec=Codec(), tmp_dir=tmp_dir, max_bytes=max_bytes)
    it = s.sort([5, 4, 3, 2, 1, b"x" * 5_000_000])
    assert [next(it), next(it)] == [1, 2]
    with pytest.raises(UnicodeError) as e:
        next(it)
    assert e.value is error and next(it, "end") == "end" and os.listdir(tmp_dir) == []
    for again in (s.sort, s.encoded, lambda: s.add(6)):
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            again()


def test_decode_may_call_back_into_the_iterator_and_the_sorter(tmp_dir):
    seen = {}

    class Codec:
        encode = staticmethod(lambda item: pickle.dumps(item))

        def decode(self, data):
            if not seen:  # the iterator has let go of the sorter: nothing deadlocks
                seen["len"] = len(s)
                seen["inner"] = next(it)
                for name, call in (("add", lambda: s.add(0)), ("encoded", s.encoded)):
                    try:
                        call()
                    except RuntimeError as e:
                        seen[name] = str(e)
            return pickle.loads(data)

    s = Sorter(codec=Codec(), tmp_dir=tmp_dir, max_bytes=2)
    it = s.sort([4, 3, 2, 1])
    assert next(it) == 1
    assert seen == {"len": 4, "inner": 2, "add": CANNOT_ADD, "encoded": READ_ONCE}
    assert list(it) == [3, 4]


def test_the_iterator_takes_4096_records_or_1_mib_at_a_time(tmp_dir):
    # 10,000 records spilled as one run of three blocks; the run then ends after its first
    # block. A batch that needs the second block fails whole, after the records taken before.
    s, payloads = filled(tmp_dir, 10_000, 10, max_bytes=4_000_000)
    s.add_encoded(10**6, bytes(2_000_000))
    it = s.encoded()
    run = os.path.join(tmp_dir, private_dirs(tmp_dir)[0], "run-000000")
    with open(run, "r+b") as f:
        f.truncate(8 + struct.unpack("<I", f.read(4))[0])
    got = []
    with pytest.raises(OSError) as e:
        got.extend(it)
    assert (str(e.value), got) == (f"{run} ended before its last record", payloads[:4096])
    s, payloads = filled(tmp_dir, 5, 700_000, max_bytes=2)
    it = s.encoded()
    for i in range(4):  # two payloads of 700,000 bytes pass 1 MiB: two to a batch
        assert next(it) == payloads[i] and len(private_dirs(tmp_dir)) == 1
    assert next(it) == payloads[4] and os.listdir(tmp_dir) == []  # the last batch ends it


@pytest.mark.parametrize(("count", "max_bytes", "result", "lengths"), [
    # 262 payloads of 1,000 bytes fit 256 KiB, 263 do not; no empty last chunk.
    (600, 1 << 30, "len", [262_000, 262_000, 76_000]),
    (524, 256 << 10, "len", [262_000, 262_000]),
    # A result that is not a count takes the whole chunk.
    *[(300, 1 << 30, r, [262_000, 38_000]) for r in (None, -1, "ten", 2.5, 2**64)]])
def test_write_to_writes_chunks_of_256_kib_by_whole_payloads(count, max_bytes, result, lengths, tmp_dir):
    s, payloads = filled(tmp_dir, count, 1000, max_bytes)
    handle = Recorder(result)
    assert s.write_to(handle) is None
    assert [len(c) for c in handle.calls] == lengths and all(type(c) is bytes for c in handle.calls)
    assert handle.joined() == b"".join(payloads) and os.listdir(tmp_dir) == []


def test_write_to_never_splits_a_payload_and_continues_short_writes(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    big = os.urandom(3 << 20)
    for k, payload in ((1, big), (0, b"a" * 1000), (2, b"z" * 5000)):
        s.add_encoded(k, payload)
    offered = []

    class Small(Recorder):
        def write(self, data):
            offered.append(len(data))
            return super().write(bytes(data[:1 << 20])) and min(len(data), 1 << 20)

    handle = Small()
    s.write_to(handle)
    assert handle.joined() == b"a" * 1000 + big + b"z" * 5000
    assert offered == [1000] + [(3 << 20) - (i << 20) for i in range(3)] + [5000]


class Stuck:
    def __init__(self, fail_on, error=None):
        self.calls, self.fail_on, self.error = [], fail_on, error

    def write(self, data):
        self.calls.append(len(data))
        if len(self.calls) == self.fail_on:
            if self.error:
                raise self.error
            return 0
        return 100


@pytest.mark.parametrize("handle", [Stuck(1), Stuck(2), Stuck(2, BrokenPipeError("gone"))])
def test_a_handle_that_fails_ends_write_to_with_nothing_left(handle, tmp_dir):
    s, _ = filled(tmp_dir, 2700, 1000, max_bytes=256 << 10)
    with pytest.raises(OSError) as e:
        s.write_to(handle)
    if handle.error:
        assert e.value is handle.error
    else:
        assert (type(e.value), str(e.value)) == (OSError, "the handle wrote no bytes")
    assert handle.calls == [262_000, 261_900][: handle.fail_on]
    assert (os.listdir(tmp_dir), lodestack_threads()) == ([], [])
    with pytest.raises(RuntimeError, match=READ_ONCE):
        s.sort()


class RaisingWrite:
    write = property(lambda self: {}["write"])


@pytest.mark.parametrize(("handle", "error"), [(object(), AttributeError), (None, AttributeError),
                                               (RaisingWrite(), KeyError)])
def test_a_handle_without_write_leaves_the_sorter_readable(handle, error, tmp_dir):
    s, payloads = filled(tmp_dir, 10, 10, max_bytes=2)
    with pytest.raises(error):
        s.write_to(handle)
    assert len(private_dirs(tmp_dir)) == 1
    s.write_to(handle := Recorder())
    assert handle.joined() == b"".join(payloads)


def test_write_to_writes_on_the_calling_thread_while_closing_does_not_stop_it(tmp_dir):
    s, payloads = filled(tmp_dir, 6000, 1100, max_bytes=1 << 20)
    seen = []

    class Watch(Recorder):
        def write(self, data):
            seen.append((threading.get_ident(), lodestack_threads()))
            if len(seen) == 1:
                run_threads([s.close])
            return super().write(data)

    s.write_to(handle := Watch())
    assert handle.joined() == b"".join(payloads) and len(seen) == 26
    assert {ident for ident, _ in seen} == {threading.get_ident()} and "lodestack-merge" in seen[0][1]
    assert (os.listdir(tmp_dir), lodestack_threads()) == ([], [])
    with pytest.raises(ValueError, match=CLOSED):
        s.sort()


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_threads_adding_then_sharing_one_iterator(threads, tmp_dir):
    writers, per = 6, scale(2000, 30000)
    s = Sorter(lambda it: it[0], tmp_dir=tmp_dir, max_bytes=40_000, max_open=4, threads=threads)

    def writer(w):
        for i in range(per):
            if i % 7 == 3:
                with pytest.raises(TypeError):
                    s.add(({}, w, i))  # a failed add must not count
            s.add((i % 97, w, i)) if i % 2 else s.add_encoded(i % 97, pickle.dumps((i % 97, w, i)))

    run_threads([lambda w=w: writer(w) for w in range(writers)])
    assert len(s) == writers * per
    it, got = s.sort(), [[] for _ in range(writers)]
    run_threads([lambda r=r: got[r].extend(it) for r in range(writers)])
    assert sorted(x for part in got for x in part) == sorted(
        (i % 97, w, i) for w in range(writers) for i in range(per))
    for part in got:  # each reader's share in order, each writer's equal keys in its order
        assert [x[0] for x in part] == sorted(x[0] for x in part)
        for w in range(writers):
            mine = [(x[0], x[2]) for x in part if x[1] == w]
            assert mine == sorted(mine)


@pytest.mark.parametrize("trial", range(scale(4, 60)))
def test_threads_adding_reading_and_closing_at_once(trial, tmp_dir):
    # Every refusal is a documented one; what the reader got is in order with nothing
    # twice, and complete when nothing closed the sorter first.
    rng = random.Random(trial)
    s = Sorter(tmp_dir=tmp_dir, max_bytes=rng.choice([2_000, 20_000]), max_open=3, threads=rng.choice([1, 2]))
    added, got, outcome, ticks = [[] for _ in range(3)], [], {}, iter(range(10**9))
    read_after, close_after = rng.randrange(3000), rng.randrange(6000)

    def adder(w):
        for i in range(2000):
            try:
                s.add_encoded(i % 50, b"%d:%d" % (w, i))
            except (RuntimeError, ValueError) as e:
                assert str(e) in (CANNOT_ADD, CLOSED)
                return
            added[w].append(b"%d:%d" % (w, i))
            next(ticks)

    def reader():
        while next(ticks) < read_after:
            pass
        try:
            got.extend(s.encoded())
            outcome["reader"] = "complete"
        except ValueError as e:
            assert str(e) == CLOSED

    def closer():
        while next(ticks) < close_after:
            pass
        s.close()

    run_threads([lambda w=w: adder(w) for w in range(3)] + [reader, closer])
    keys = [int(p.split(b":")[1]) % 50 for p in got]
    assert len(got) == len(set(got)) and keys == sorted(keys)
    if outcome.get("reader"):
        assert sorted(got) == sorted(p for part in added for p in part)
