"""Adding items: keying and encoding, refusals, and spilling as halves fill. Threads adding
at once are tested with the concurrency suite."""

import os
import pickle
import threading

import pytest

from lodestack import Sorter

from conftest import block_headers, private_dir, private_dirs, run_files

CLOSED = "I/O operation on a closed sorter"

# The key bytes of a small int are 10 bytes long, and those of None one byte.
INT_KEY_LEN = 10


class Blob(bytes):
    pass


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


def test_add_and_add_encoded_return_none_and_count(tmp_dir):
    key_calls = []
    codec = SpyCodec(lambda item: Blob(repr(item).encode()))
    s = Sorter(lambda item: key_calls.append(item) or item[0], codec=codec, tmp_dir=tmp_dir)
    assert s.add((2, "b")) is None
    # add_encoded calls neither the key function nor the codec, and keeps the payload.
    assert s.add_encoded(1, b"x") is None
    s.add((1, "a"))
    s.add_encoded("k", b"")
    s.add_encoded(1, Blob(b"y"))
    assert len(s) == 5
    assert key_calls == codec.calls == [(2, "b"), (1, "a")]
    out = list(s.encoded())
    assert out == [b"x", b"(1, 'a')", b"y", b"(2, 'b')", b""]
    assert all(type(x) is bytes for x in out)


def too_deep():
    key = ()
    for _ in range(257):
        key = (key,)
    return key


NOT_A_KEY = "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not "


def failing_encode(item):
    raise OverflowError("cannot encode")


@pytest.mark.parametrize(
    ("key", "encode", "item", "error", "message", "encoded"),
    [
        (None, None, {"a": 1}, TypeError, NOT_A_KEY + "dict", False),
        (lambda item: too_deep() if item == 1 else item, None, 1, RecursionError,
         "a sort key is nested more than 256 deep", False),
        (lambda item: item if item != 1 else 1 / 0, None, 1, ZeroDivisionError,
         "division by zero", False),
        (None, failing_encode, 1, OverflowError, "cannot encode", True),
        (None, lambda item: "text", 1, TypeError,
         "a codec must encode an item into bytes, not str", True),
        (None, lambda item: bytearray(b"x"), 1, TypeError,
         "a codec must encode an item into bytes, not bytearray", True),
        (None, lambda item: None, 1, TypeError,
         "a codec must encode an item into bytes, not NoneType", True),
    ],
    ids=["not-a-key", "too-deep", "key-raises", "encode-raises", "str", "bytearray", "None"],
)
def test_a_failed_add_adds_nothing(key, encode, item, error, message, encoded, tmp_dir):
    codec = SpyCodec(encode and (lambda x: encode(x) if x == 1 else repr(x).encode()))
    s = Sorter(key, codec=codec, tmp_dir=tmp_dir)
    s.add(0)
    with pytest.raises(error) as e:
        s.add(item)
    assert str(e.value) == message
    # The key comes first: a failed key never reaches the codec.
    assert codec.calls == ([0, item] if encoded else [0])
    assert len(s) == 1
    s.add(-1)
    assert list(s.sort()) == [-1, 0]


@pytest.mark.parametrize("item", [(x for x in ()), threading.Lock()], ids=["generator", "lock"])
def test_pickle_errors_reach_the_caller_unchanged(item, tmp_dir):
    with pytest.raises(Exception) as expected:
        pickle.dumps(item, 5)
    s = Sorter(lambda item: 0, tmp_dir=tmp_dir)
    with pytest.raises(type(expected.value)) as e:
        s.add(item)
    assert str(e.value) == str(expected.value)
    assert len(s) == 0


@pytest.mark.parametrize(
    ("call", "args", "kwargs"),
    [("add", (), {}), ("add", (1, 2), {}), ("add", (), {"item": 1}),
     ("add_encoded", (1,), {}), ("add_encoded", (1, b"x", 2), {}),
     ("add_encoded", (1,), {"payload": b"x"}), ("add_encoded", ({1}, b"x"), {})],
)
def test_wrong_arguments_add_nothing(call, args, kwargs, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError) as e:
        getattr(s, call)(*args, **kwargs)
    if args and args[0] == {1}:
        assert str(e.value) == NOT_A_KEY + "set"
    assert len(s) == 0


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
