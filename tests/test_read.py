"""Reading a sorter: sort(items), sort() and encoded(), merge passes, failures while
reading, and threads sharing one sorter."""

import os
import pickle
import random
import threading

import pytest

from lodestack import Sorter

from conftest import Recorder, payload_of, private_dirs, run_files

CLOSED = "I/O operation on a closed sorter"
CANNOT_ADD = "cannot add to a sorter once it has been read"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"

READERS = {
    "sort": lambda s: list(s.sort()),
    "encoded": lambda s: list(s.encoded()),
    "write_to": lambda s: s.write_to(Recorder("len")),
}


class PickleCodec:
    """pickle, with hooks a test can fill in."""

    def __init__(self, on_decode=None):
        self.decoded = 0
        self.on_decode = on_decode

    def encode(self, item):
        return pickle.dumps(item, 5)

    def decode(self, data):
        self.decoded += 1
        if self.on_decode is not None:
            self.on_decode(self.decoded)
        return pickle.loads(data)


# ---------------------------------------------------------------------------------------
# An empty sorter, and reading once


@pytest.mark.parametrize("second", list(READERS))
@pytest.mark.parametrize("first", list(READERS))
def test_an_empty_sorter_reads_as_nothing_and_only_once(first, second, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    if first == "write_to":
        handle = Recorder("len")
        assert s.write_to(handle) is None
        assert handle.calls == []
    else:
        it = getattr(s, first)()
        assert iter(it) is it
        with pytest.raises(StopIteration):
            next(it)
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(RuntimeError) as e:
        READERS[second](s)
    assert str(e.value) == READ_ONCE


# ---------------------------------------------------------------------------------------
# sort(items)


def test_sort_adds_the_items_given_then_reads_everything(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=64)
    s.add(5)
    s.add_encoded(0, pickle.dumps("zero"))
    for wrong in (lambda: s.sort(items=[1]), lambda: s.sort([1], [2])):
        with pytest.raises(TypeError):
            wrong()
    assert list(s.sort(iter([3, 9, 1]))) == ["zero", 1, 3, 5, 9]
    assert len(s) == 5
    s = Sorter(tmp_dir=tmp_dir)
    s.add(1)
    assert list(s.sort([])) == [1]


def source_failing_after_three():
    yield 3
    yield 1
    yield 2
    raise ConnectionError("the source broke")


@pytest.mark.parametrize(
    ("items", "error", "message"),
    [
        (source_failing_after_three, ConnectionError, "the source broke"),
        (lambda: [3, 1, 2, {"bad": 1}, 4], TypeError, "a sort key must be an int, float, str, "
         "bytes, None, or a tuple or list of them, not dict"),
        (lambda: 5, TypeError, "'int' object is not iterable"),
    ],
    ids=["source-raises", "bad-key", "not-iterable"],
)
def test_items_given_before_a_failure_stay_added(items, error, message, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    with pytest.raises(error) as e:
        s.sort(items())
    assert str(e.value) == message
    s.add(0)
    expected = [0] if message.endswith("iterable") else [0, 1, 2, 3]
    assert len(s) == len(expected)
    assert list(s.sort()) == expected


# ---------------------------------------------------------------------------------------
# What comes out


@pytest.mark.parametrize("max_bytes", [2, 1 << 30], ids=["spilled", "held"])
def test_a_5_mib_payload_comes_out_whole(max_bytes, tmp_dir):
    big = os.urandom(5 << 20)
    s = Sorter(tmp_dir=tmp_dir, max_bytes=max_bytes)
    s.add_encoded(1, big)
    s.add_encoded(0, b"first")
    s.add_encoded(2, b"last")
    assert list(s.encoded()) == [b"first", big, b"last"]

    s = Sorter(tmp_dir=tmp_dir, max_bytes=max_bytes)
    s.add(big)
    s.add(b"")
    assert list(s.sort()) == [b"", big]


def test_the_private_directory_goes_when_the_merge_runs_out(tmp_dir):
    # Payloads of 700,000 bytes make batches of two: a batch stops once it holds 1 MiB.
    payloads = [payload_of(i, 700_000) for i in range(5)]
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for i, payload in enumerate(payloads):
        s.add_encoded(i, payload)
    it = s.encoded()
    for i in range(4):
        assert next(it) == payloads[i]
        assert len(private_dirs(tmp_dir)) == 1
    # The last batch takes the last record and finds the merge at its end.
    assert next(it) == payloads[4]
    assert os.listdir(tmp_dir) == []
    with pytest.raises(StopIteration):
        next(it)


# ---------------------------------------------------------------------------------------
# Merge passes


@pytest.mark.parametrize(
    ("max_open", "lengths", "files"),
    [
        # Exactly max_open runs: the final merge reads them all, no pass.
        (3, [5, 5, 5, 9], ["run-000000", "run-000001", "run-000002"]),
        # One run more: one pass merges the adjacent pair of least stream length into the
        # next run file, in the pair's place...
        (3, [50, 40, 10, 10, 9], ["run-000000", "run-000001", "run-000004"]),
        (3, [10, 5, 5, 10, 9], ["run-000000", "run-000003", "run-000004"]),
        # ...and the leftmost such pair when several tie.
        (3, [10, 10, 10, 10, 9], ["run-000002", "run-000003", "run-000004"]),
        # Five runs through max_open 2: passes merge (0, 1) into 5, then (2, 3) into 6,
        # then (6, 4) into 7, leaving 5 and 7.
        (2, [7, 7, 7, 7, 7, 9], ["run-000005", "run-000007"]),
    ],
)
def test_merge_passes_bring_the_runs_down_to_max_open(max_open, lengths, files, tmp_dir):
    # max_bytes 2 spills every item alone; the last stays held. Every key is an int of the
    # same encoded length, so the payload lengths decide the runs' stream lengths.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2, max_open=max_open)
    payloads = [bytes([65 + k]) * n for k, n in enumerate(lengths)]
    for k, payload in enumerate(payloads):
        s.add_encoded(k, payload)
    it = s.encoded()
    assert run_files(tmp_dir) == files
    assert list(it) == payloads
    assert os.listdir(tmp_dir) == []


def test_merge_passes_keep_equal_keys_in_the_order_added(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2, max_open=2)
    payloads = [b"%d" % i * (i % 4 + 1) for i in range(12)]
    for payload in payloads:
        s.add_encoded("same", payload)
    assert list(s.encoded()) == payloads


# ---------------------------------------------------------------------------------------
# Failures while reading


@pytest.mark.parametrize("max_bytes", [2, 1 << 20], ids=["spilled", "held"])
def test_a_decode_that_raises_on_the_third_item_ends_the_iteration(max_bytes, tmp_dir):
    error = UnicodeError("third")

    def on_decode(n):
        if n == 3:
            raise error

    s = Sorter(codec=PickleCodec(on_decode), tmp_dir=tmp_dir, max_bytes=max_bytes)
    for item in (5, 4, 3, 2, 1):
        s.add(item)
    it = s.sort()
    assert next(it) == 1
    assert next(it) == 2
    with pytest.raises(UnicodeError) as e:
        next(it)
    assert e.value is error
    with pytest.raises(StopIteration):
        next(it)
    assert os.listdir(tmp_dir) == []
    for again in (s.sort, s.encoded, lambda: s.add(6)):
        with pytest.raises(RuntimeError) as e:
            again()
        assert str(e.value) == STOPPED


@pytest.mark.parametrize("closer", ["this thread", "another thread"])
def test_closing_between_calls_makes_every_later_call_raise(closer, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for i in range(5):
        s.add_encoded(i, payload_of(i, 700_000))
    it = s.encoded()
    assert next(it) == payload_of(0, 700_000)
    if closer == "this thread":
        s.close()
    else:
        t = threading.Thread(target=s.close)
        t.start()
        t.join()
    assert os.listdir(tmp_dir) == []
    for _ in range(2):
        with pytest.raises(ValueError) as e:
            next(it)
        assert str(e.value) == CLOSED


def test_decode_may_call_back_into_the_iterator_and_the_sorter(tmp_dir):
    seen = {}

    def on_decode(n):
        if n == 1:
            # decode runs after the iterator let go of the sorter: none of these deadlock
            # or report a reentrant call.
            seen["inner"] = next(it)
            seen["len"] = len(s)
            for name, call in (("add", lambda: s.add(0)), ("encoded", s.encoded)):
                try:
                    call()
                except RuntimeError as e:
                    seen[name] = str(e)

    s = Sorter(codec=PickleCodec(on_decode), tmp_dir=tmp_dir, max_bytes=2)
    for item in (4, 3, 2, 1):
        s.add(item)
    it = s.sort()
    assert next(it) == 1
    assert seen == {"inner": 2, "len": 4, "add": CANNOT_ADD, "encoded": READ_ONCE}
    assert list(it) == [3, 4]


# ---------------------------------------------------------------------------------------
# Threads


def test_two_threads_sorting_at_once_read_it_once(tmp_dir):
    for round_ in range(4):
        items = list(range(300))
        random.Random(round_).shuffle(items)
        s = Sorter(tmp_dir=tmp_dir, max_bytes=1000)
        for item in items:
            s.add(item)
        start = threading.Barrier(2)
        results = [None, None]

        def read(i):
            start.wait()
            try:
                results[i] = s.sort()
            except RuntimeError as e:
                results[i] = str(e)

        threads = [threading.Thread(target=read, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert [r for r in results if isinstance(r, str)] == [READ_ONCE]
        (iterator,) = [r for r in results if not isinstance(r, str)]
        assert list(iterator) == sorted(items)
        assert os.listdir(tmp_dir) == []
