"""Reading a sorter item by item: sort(items), sort() and encoded(), the batches the
iterator takes, failures while reading, and threads sharing one sorter or one iterator."""

import operator
import os
import pickle
import random
import threading

import pytest

from lodestack import Sorter

from conftest import Recorder, block_headers, payload_of, private_dir, private_dirs, run_files

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


def test_an_exhausted_iterator_stays_exhausted(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for item in (2, 1):
        s.add(item)
    it = s.sort()
    assert list(it) == [1, 2]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(RuntimeError, match=CANNOT_ADD):
        s.add(3)


# ---------------------------------------------------------------------------------------
# sort(items)


def test_sort_adds_the_items_given_then_reads_everything(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=64)
    s.add(5)
    s.add_encoded(0, pickle.dumps("zero"))
    assert list(s.sort(iter([3, 9, 1]))) == ["zero", 1, 3, 5, 9]
    assert len(s) == 5


@pytest.mark.parametrize("items", [None, []])
def test_sort_with_nothing_given(items, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    s.add(2)
    s.add(1)
    assert list(s.sort(items)) == [1, 2]


def test_sort_items_is_positional_only(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError):
        s.sort(items=[1])
    with pytest.raises(TypeError):
        s.sort([1], [2])
    assert len(s) == 0
    assert list(s.sort()) == []


def test_items_that_raise_after_three_stay_added(tmp_dir):
    error = ConnectionError("the source broke")

    def source():
        yield 3
        yield 1
        yield 2
        raise error

    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    with pytest.raises(ConnectionError) as e:
        s.sort(source())
    assert e.value is error
    assert len(s) == 3
    assert list(s.sort()) == [1, 2, 3]


def test_an_item_that_fails_to_key_stops_sort_and_leaves_the_earlier_ones(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError, match="not dict$"):
        s.sort([3, 1, {"bad": 1}, 2])
    assert len(s) == 2
    s.add(0)
    assert list(s.sort()) == [0, 1, 3]


def test_items_that_are_not_iterable(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        s.sort(5)
    assert str(e.value) == "'int' object is not iterable"
    s.add(1)
    assert list(s.sort()) == [1]


# ---------------------------------------------------------------------------------------
# What comes out


def test_encoded_yields_the_codec_bytes_in_key_order_equal_keys_as_added(tmp_dir):
    class Tagged:
        def encode(self, item):
            return f"<{item[1]}>".encode()

        def decode(self, data):
            raise AssertionError("encoded() decodes nothing")

    items = [(k, i) for i, k in enumerate([2, 0, 1, 0, 2, 1, 0, 2])]
    s = Sorter(operator.itemgetter(0), codec=Tagged(), tmp_dir=tmp_dir, max_bytes=40)
    for item in items:
        s.add(item)
    expected = [f"<{i}>".encode() for _, i in sorted(items, key=operator.itemgetter(0))]
    assert list(s.encoded()) == expected


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


@pytest.mark.parametrize(("cut", "first_failure"), [(2, 4097), (3, 8193)])
def test_records_are_taken_in_batches_of_4096(cut, first_failure, tmp_dir):
    # 10,000 records of a 10-byte key and a 10-byte payload, 28 stream bytes each, spilled
    # as one run of three 128 KiB blocks. The records of the first batch lie in block 1; the
    # second batch (records 4,097 to 8,192) reaches into block 2, and the third into block
    # 3. Cutting off a block's data therefore fails exactly the call that starts the batch
    # needing it, and the records of that batch taken before the cut are never handed out.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=4_000_000)
    keys = list(range(10_000))
    random.Random(7).shuffle(keys)
    for k in keys:
        s.add_encoded(k, payload_of(k, 10))
    assert os.listdir(tmp_dir) == [], "the 10,000 items must fit one half"
    # An item too large for what is left of the half spills the 10,000 as one run.
    s.add_encoded(10**6, bytes(2_000_000))
    it = s.encoded()
    assert run_files(tmp_dir) == ["run-000000"]
    run = os.path.join(private_dir(tmp_dir), "run-000000")
    blocks = block_headers(run)
    assert [u for _, u in blocks] == [131072, 131072, 280_000 - 2 * 131072]
    os.truncate(run, sum(8 + c for c, _ in blocks[: cut - 1]) + 8)

    got = []
    with pytest.raises(OSError) as e:
        while True:
            got.append(next(it))
    assert type(e.value) is OSError
    assert str(e.value) == f"{run} ended before its last record"
    assert len(got) == first_failure - 1
    assert got == [payload_of(k, 10) for k in range(first_failure - 1)]
    with pytest.raises(StopIteration):
        next(it)
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError) as e:
        s.encoded()
    assert str(e.value) == STOPPED


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


def test_threads_sharing_an_iterator_get_every_item_once(tmp_dir):
    items = list(range(20_000))
    random.Random(3).shuffle(items)
    s = Sorter(tmp_dir=tmp_dir, max_bytes=64 << 10)
    for item in items:
        s.add(item)
    it = s.sort()
    workers = 4
    start = threading.Barrier(workers)
    got = [[] for _ in range(workers)]

    def drain(w):
        start.wait()
        for item in it:
            got[w].append(item)

    threads = [threading.Thread(target=drain, args=(w,)) for w in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(x for g in got for x in g) == sorted(items)
    for g in got:
        # Each thread takes its records in merge order.
        assert g == sorted(g)
    assert os.listdir(tmp_dir) == []
