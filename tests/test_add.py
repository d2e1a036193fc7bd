"""Adding items: keying and encoding, the refusals, spilling to disk as halves fill, and
threads adding to one sorter at once."""

import os
import pickle
import random
import threading

import pytest

from lodestack import Sorter

from conftest import block_headers, private_dir, private_dirs, run_files

CLOSED = "I/O operation on a closed sorter"

# The key bytes of a small int are 10 bytes long, and those of None one byte.
INT_KEY_LEN = 10


class SpyCodec:
    def __init__(self, encode=None):
        self.calls = []
        self._encode = encode

    def encode(self, item):
        self.calls.append(item)
        if self._encode is not None:
            return self._encode(item)
        return repr(item).encode()

    def decode(self, data):
        return eval(data.decode())


# ---------------------------------------------------------------------------------------
# add


@pytest.mark.parametrize(
    "items",
    [
        [3, 1, 2],
        ["b", "a", "c"],
        [b"\xff", b"\x00", b"\x7f"],
        [(1, "b"), (1, "a"), (0, "z")],
        [[2], [1, 5], []],
        [2.5, -1, 10**30, float("inf"), True],
    ],
)
def test_add_returns_none_and_counts(items, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    for n, item in enumerate(items, 1):
        assert s.add(item) is None
        assert len(s) == n
    assert list(s.sort()) == sorted(items)


def test_key_function_error_propagates_and_the_codec_is_not_called(tmp_dir):
    error = ValueError("no key for you")

    def key(item):
        if item == "bad":
            raise error
        return item

    codec = SpyCodec()
    s = Sorter(key, codec=codec, tmp_dir=tmp_dir)
    s.add("good")
    with pytest.raises(ValueError) as e:
        s.add("bad")
    assert e.value is error
    assert codec.calls == ["good"]
    assert len(s) == 1
    assert list(s.sort()) == ["good"]


def test_codec_error_propagates_and_nothing_is_added(tmp_dir):
    error = OverflowError("cannot encode")

    def encode(item):
        if item == 2:
            raise error
        return repr(item).encode()

    s = Sorter(codec=SpyCodec(encode), tmp_dir=tmp_dir)
    s.add(1)
    with pytest.raises(OverflowError) as e:
        s.add(2)
    assert e.value is error
    assert len(s) == 1
    assert list(s.sort()) == [1]


@pytest.mark.parametrize(
    ("result", "name"),
    [
        ("text", "str"),
        (bytearray(b"x"), "bytearray"),
        (None, "NoneType"),
        (memoryview(b"x"), "memoryview"),
        (7, "int"),
    ],
)
def test_codec_must_return_bytes(result, name, tmp_dir):
    s = Sorter(codec=SpyCodec(lambda item: result), tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        s.add(1)
    assert str(e.value) == f"a codec must encode an item into bytes, not {name}"
    assert len(s) == 0


class Blob(bytes):
    pass


def test_codec_may_return_a_bytes_subclass(tmp_dir):
    s = Sorter(codec=SpyCodec(lambda item: Blob(repr(item).encode())), tmp_dir=tmp_dir)
    s.add(2)
    s.add(1)
    out = list(s.encoded())
    assert out == [b"1", b"2"]
    assert all(type(x) is bytes for x in out)


@pytest.mark.parametrize(
    "item",
    [
        (x for x in ()),  # a generator
        threading.Lock(),
    ],
    ids=["generator", "lock"],
)
def test_pickle_errors_reach_the_caller_unchanged(item, tmp_dir):
    with pytest.raises(Exception) as expected:
        pickle.dumps(item, 5)
    s = Sorter(lambda item: 0, tmp_dir=tmp_dir)
    with pytest.raises(type(expected.value)) as e:
        s.add(item)
    assert str(e.value) == str(expected.value)
    assert len(s) == 0


def test_items_are_pickled_with_protocol_5(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    item = ("x", 1.5, [None, b"y"])
    s.add(item)
    assert list(s.encoded()) == [pickle.dumps(item, 5)]


def test_key_that_is_not_a_sort_key(tmp_dir):
    codec = SpyCodec()
    s = Sorter(codec=codec, tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        s.add({"a": 1})
    assert str(e.value) == (
        "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not dict"
    )
    assert codec.calls == []
    assert len(s) == 0


def test_key_nested_too_deep(tmp_dir):
    key = ()
    for _ in range(257):
        key = (key,)
    s = Sorter(lambda item: key, tmp_dir=tmp_dir)
    with pytest.raises(RecursionError) as e:
        s.add(1)
    assert str(e.value) == "a sort key is nested more than 256 deep"
    assert len(s) == 0


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), ((1, 2), {}), ((), {"item": 1})],
    ids=["none", "two", "keyword"],
)
def test_add_takes_one_positional_argument(args, kwargs, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError):
        s.add(*args, **kwargs)
    assert len(s) == 0


# ---------------------------------------------------------------------------------------
# add_encoded


def test_add_encoded_holds_the_payload_unchanged_keyed_by_the_key(tmp_dir):
    key_calls = []
    codec = SpyCodec()

    def key(item):
        key_calls.append(item)
        return item

    s = Sorter(key, codec=codec, tmp_dir=tmp_dir)
    assert s.add_encoded(2, b"two") is None
    s.add_encoded(1, b"x")
    s.add_encoded("k", b"")
    s.add_encoded(1, Blob(b"y"))
    assert len(s) == 4
    assert key_calls == [] and codec.calls == []
    out = list(s.encoded())
    assert out == [b"x", b"y", b"two", b""]
    assert all(type(x) is bytes for x in out)


def test_add_encoded_keys_order_with_keys_of_added_items(tmp_dir):
    s = Sorter(len, tmp_dir=tmp_dir)
    s.add("ccc")
    s.add_encoded(2, pickle.dumps("explicit"))
    s.add("a")
    s.add_encoded(3, pickle.dumps("tie"))
    assert list(s.sort()) == ["a", "explicit", "ccc", "tie"]


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        ("x", "'str' object is not an instance of 'bytes'"),
        (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
    ],
)
def test_add_encoded_payload_must_be_bytes(payload, message, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        s.add_encoded(1, payload)
    assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'payload'"]
    assert len(s) == 0
    # The payload is checked before the state: a closed sorter reports the payload first.
    s.close()
    with pytest.raises(TypeError):
        s.add_encoded(1, payload)
    with pytest.raises(ValueError) as e:
        s.add_encoded(1, b"fine")
    assert str(e.value) == CLOSED


def test_add_encoded_key_that_is_not_a_sort_key(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        s.add_encoded({1}, b"x")
    assert str(e.value) == (
        "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not set"
    )
    assert len(s) == 0


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((1,), {}), ((1, b"x", 2), {}), ((1,), {"payload": b"x"})],
    ids=["one", "three", "keyword"],
)
def test_add_encoded_takes_two_positional_arguments(args, kwargs, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError):
        s.add_encoded(*args, **kwargs)
    assert len(s) == 0


def test_a_payload_of_4_gib_is_refused_and_the_sorter_goes_on(tmp_dir):
    # bytes(n) is allocated zeroed and lazily: 4 GiB of address space, no memory touched.
    huge = bytes(2**32)
    s = Sorter(tmp_dir=tmp_dir)
    s.add_encoded(1, b"before")
    with pytest.raises(ValueError) as e:
        s.add_encoded(2, huge)
    assert str(e.value) == "a key or value must be shorter than 4 GiB"
    del huge
    assert len(s) == 1
    s.add_encoded(0, b"after")
    assert list(s.encoded()) == [b"after", b"before"]


# ---------------------------------------------------------------------------------------
# Spilling


def test_max_bytes_2_spills_every_item_alone(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    payloads = [os.urandom(n) for n in (1, 50, 7, 300, 0, 12)]
    s.add_encoded(5, payloads[0])
    # One item fits an empty half whatever its size: nothing is spilled yet.
    assert os.listdir(tmp_dir) == []
    s.add_encoded(4, payloads[1])
    # The second item found the half full: the first spill made the private directory.
    assert len(private_dirs(tmp_dir)) == 1
    for key, payload in zip((3, 2, 1, 0), payloads[2:]):
        s.add_encoded(key, payload)
    assert len(private_dirs(tmp_dir)) == 1
    it = s.encoded()
    names = run_files(tmp_dir)
    assert names == [f"run-{i:06d}" for i in range(5)]
    # Each run holds exactly one record: its stream is one key, one payload, two lengths.
    directory = private_dir(tmp_dir)
    for name, payload in zip(names, payloads):
        stream = sum(u for _, u in block_headers(os.path.join(directory, name)))
        assert stream == 8 + INT_KEY_LEN + len(payload)
    assert list(it) == payloads[::-1]
    assert os.listdir(tmp_dir) == []


def test_a_spilled_run_of_one_small_record_is_one_literal_block(tmp_dir):
    # The record stream of key None (the byte 0x10) and payload "v" is 10 bytes, too short
    # for LZ4 to find a match: one block holding one literal run.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    s.add_encoded(None, b"v")
    s.add_encoded(None, b"w")
    it = s.encoded()
    with open(os.path.join(private_dir(tmp_dir), "run-000000"), "rb") as f:
        assert f.read() == bytes.fromhex("0b000000 0a000000 a0 01000000 10 01000000 76")
    assert list(it) == [b"v", b"w"]


def test_an_oversized_item_is_spilled_alone_at_the_next_add(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=1000)
    big = os.urandom(10_000)
    s.add_encoded(1, big)
    assert os.listdir(tmp_dir) == []
    s.add_encoded(0, b"small")
    s.add_encoded(2, b"tiny")
    it = s.encoded()
    assert run_files(tmp_dir) == ["run-000000"]
    run = os.path.join(private_dir(tmp_dir), "run-000000")
    assert sum(u for _, u in block_headers(run)) == 8 + INT_KEY_LEN + len(big)
    assert list(it) == [b"small", big, b"tiny"]


def test_a_sorter_that_never_fills_a_half_never_writes(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=10 << 20)
    for i in range(2000):
        s.add_encoded(-i, b"x" * 100)
        if i % 500 == 0:
            assert os.listdir(tmp_dir) == []
    assert len(list(s.encoded())) == 2000
    assert os.listdir(tmp_dir) == []


def test_equal_keys_across_spills_keep_the_order_they_were_added(tmp_dir):
    s = Sorter(lambda item: item[0], tmp_dir=tmp_dir, max_bytes=300)
    items = [(i % 3, i) for i in range(200)]
    for item in items:
        s.add(item)
    assert len(private_dirs(tmp_dir)) == 1
    assert list(s.sort()) == sorted(items, key=lambda item: item[0])


# ---------------------------------------------------------------------------------------
# Threads adding at once


@pytest.mark.parametrize("threads", [1, 3])
def test_threads_adding_at_once_lose_nothing(threads, tmp_dir):
    workers = 4
    per_worker = 1500
    s = Sorter(lambda item: item[0], tmp_dir=tmp_dir, max_bytes=16 << 10, threads=threads)
    start = threading.Barrier(workers)
    added = [[] for _ in range(workers)]
    refused = [0] * workers

    def work(w):
        rng = random.Random(w)
        start.wait()
        for i in range(per_worker):
            item = (rng.randrange(40), w, i)
            try:
                if i % 7 == 3:
                    # Some adds fail at their key: they must not count.
                    s.add(({}, w, i))
                elif i % 2:
                    s.add(item)
                else:
                    s.add_encoded(item[0], pickle.dumps(item, 5))
            except TypeError:
                refused[w] += 1
                continue
            added[w].append(item)

    pool = [threading.Thread(target=work, args=(w,)) for w in range(workers)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    expected = sum(len(a) for a in added)
    assert sum(refused) == workers * per_worker - expected
    assert len(s) == expected
    assert len(private_dirs(tmp_dir)) == 1
    out = list(s.sort())
    assert sorted(out) == sorted(item for a in added for item in a)
    assert [item[0] for item in out] == sorted(item[0] for item in out)
    # Equal keys come out in the order their adds took the lock, so each thread's own
    # items with one key keep that thread's order.
    for w in range(workers):
        mine = [item for item in out if item[1] == w]
        for key in range(40):
            same = [item[2] for item in mine if item[0] == key]
            assert same == sorted(same)
