"""The walk over Python key values, through `sort_key`: key bytes compare exactly as Python
compares the keys and a sorter orders by them, what the walk dispatches on, and what Python
code it may run. The byte layer's own examples are tested in C++."""

import decimal
import math
import operator
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import scale
from lodestack import Sorter
from lodestack import sort_key as encode

NOT_A_KEY = "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not "
ONE = "20bff000000000000000"
DBL_MAX = sys.float_info.max


def sign(a, b):
    return (a > b) - (a < b)


def rank(value):
    for i, kind in enumerate((type(None), (int, float), str, bytes, tuple, list)):
        if isinstance(value, kind):
            return i
    raise AssertionError(value)


def is_nan(value):
    return isinstance(value, float) and math.isnan(value)


def reference(a, b):
    """Python's order, made total as the encoding makes it: None < numbers < str < bytes <
    tuple < list, and every NaN equal to every other and above +inf."""
    if rank(a) != rank(b):
        return sign(rank(a), rank(b))
    if isinstance(a, (tuple, list)):
        for x, y in zip(a, b):
            if c := reference(x, y):
                return c
        return sign(len(a), len(b))
    if is_nan(a) or is_nan(b):
        return sign(is_nan(a), is_nan(b))
    return 0 if a is None else sign(a, b)


def near(anchor, offset, negative):
    return -(anchor + offset) if negative else anchor + offset


def as_float(i):
    return (math.inf if i > 0 else -math.inf) if abs(i) > DBL_MAX else float(i)


ANCHORS = [0, 1, 2**53, 2**63, 2**64, 2**127, int(DBL_MAX), 2**1024]
near_ints = st.builds(near, st.sampled_from(ANCHORS), st.integers(-3, 3), st.booleans())
numbers = st.one_of(
    near_ints, st.builds(lambda i, step: math.nextafter(as_float(i), step * math.inf),
                         near_ints, st.sampled_from([-1, 1])),
    st.integers(), st.integers(-(2**3000), 2**3000), st.booleans(), st.floats())
strings = st.text(st.one_of(st.characters(exclude_categories=()),
                            st.sampled_from("\x00\x01\ud7ff\ud800\udfff\ue000\U0010ffff")),
                  max_size=6)
blobs = st.lists(st.sampled_from([b"\x00", b"\x01", b"a", b"\xff"]), max_size=5).map(b"".join)
keys = st.recursive(st.one_of(st.none(), numbers, strings, blobs),
                    lambda inner: st.one_of(st.lists(inner, max_size=4).map(tuple),
                                            st.lists(inner, max_size=4)), max_leaves=12)


@settings(max_examples=1500, deadline=None)
@given(keys, keys)
def test_byte_order_is_python_order(a, b):
    ka, kb = encode(a), encode(b)
    assert sign(ka, kb) == reference(a, b), (ka.hex(), kb.hex())
    if "nan" not in repr((a, b)):
        assert (ka == kb) == (a == b)


@settings(max_examples=scale(100, 1000), deadline=None)
@given(st.lists(keys, max_size=12), st.booleans(), st.sampled_from([2, 1 << 20]))
def test_a_sorter_puts_keys_in_the_order_of_their_bytes(ks, reverse, max_bytes):
    s = Sorter(max_bytes=max_bytes, reverse=reverse)
    for i, k in enumerate(ks):
        s.add_encoded(k, b"%d" % i)
    by_bytes = sorted(range(len(ks)), key=lambda i: encode(ks[i]), reverse=reverse)
    assert [int(p) for p in s.encoded()] == by_bytes


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def forbidden(*args, **kwargs):
    raise AssertionError("the walk called a method it must not call")


def subclass(base, value, *names):
    return type(f"My{base.__name__}", (base,), dict.fromkeys(names, forbidden))(value)


SAME = ["__lt__", "__eq__", "__hash__", "__index__", "__float__", "__len__", "__iter__"]


def nested(depth, make):
    value = make(())
    for _ in range(depth - 1):
        value = make((value,))
    return value


@pytest.mark.parametrize(("value", "expected"), [
    (None, "10"), (True, ONE), (False, "20800000000000000000"), (-1.5, "204007ffffffffffff00"),
    (-(2**63) - 1, "203c1ffffffffffffe0207ff"), (2**100 + 7, "20c6300000000000000107"),
    ("é\x00", "30c3a900ff0000"), ("\ud800", "30eda0800000"), (b"a\x00", "406100ff0000"),
    ((1, "a"), "50" + ONE + "3061000000"), ([[], ()], "606000500000"),
    # Subclasses count by their stored value, without a method of theirs being called.
    (subclass(int, 2**70, "bit_length", "to_bytes", *SAME), "20c45000000000000000"),
    (subclass(float, 1.0, *SAME), ONE), (subclass(str, "\ud800", "encode", *SAME), "30eda0800000"),
    (subclass(bytes, b"a\x00", "__getitem__", *SAME), "406100ff0000"),
    (subclass(tuple, (1, "a"), "__getitem__", *SAME), "50" + ONE + "3061000000"),
    (subclass(list, [[]], "__getitem__", *SAME), "60600000"),
    # Anything with __index__ is its int; NumPy's exact scalars are their Python kinds.
    (Index(-(2**1100)), encode(-(2**1100)).hex()), ((Index(2**64),), encode((2**64,)).hex()),
    (np.uint64(2**64 - 1), encode(2**64 - 1).hex()), (np.float64("nan"), encode(math.nan).hex()),
    (np.str_("x"), encode("x").hex()), (np.bytes_(b"\x00"), encode(b"\x00").hex()),
    (nested(256, tuple), "50" * 256 + "00" * 256), (nested(256, list), "60" * 256 + "00" * 256),
], ids=repr)
def test_the_walk_encodes_each_kind_to_exact_bytes(value, expected):
    assert encode(value).hex() == expected


class Meta(type):
    def __getattr__(cls, name):
        raise LookupError(f"no {name} here")


class Refuses:
    def __index__(self):
        raise ArithmeticError("no index")


@pytest.mark.parametrize(("value", "error", "message"), [
    ({}, TypeError, NOT_A_KEY + "dict"), ((1, [decimal.Decimal(1)]), TypeError, NOT_A_KEY + "Decimal"),
    (bytearray(b"x"), TypeError, NOT_A_KEY + "bytearray"), (np.float32(0.5), TypeError, NOT_A_KEY + "float32"),
    (Meta("Opaque", (), {})(), LookupError, "no __index__ here"), ([1, Refuses()], ArithmeticError, "no index"),
    (nested(257, tuple), RecursionError, "a sort key is nested more than 256 deep"),
    ((1, nested(256, list)), RecursionError, "a sort key is nested more than 256 deep"),
], ids=repr)
def test_what_is_no_key_raises(value, error, message):
    with pytest.raises(error) as e:
        encode(value)
    assert (type(e.value), str(e.value)) == (error, message)


def test_a_list_changed_while_it_is_walked_is_read_to_its_current_length():
    grows = [1]
    grows.append(type("Grow", (), {"__index__": lambda self: grows.extend([2, 3]) or 7})())
    shrinks = [1, None, "a", "b"]
    shrinks[1] = type("Shrink", (), {"__index__": lambda self: shrinks.clear() or 7})()
    assert encode(grows) == encode([1, 7])
    assert encode(shrinks) == encode([1, 7])


@pytest.mark.parametrize("wrap", [lambda m: [m, (m,)], lambda m: [m, {}], lambda m: [m, Refuses()],
                                  lambda m: [m, nested(257, list)]])
def test_the_walk_releases_every_reference_it_takes(wrap):
    marker = Index(2**100)
    key = wrap(marker)
    counts = lambda: tuple(map(sys.getrefcount, (marker, marker.value, operator.index)))  # noqa: E731
    before = counts()
    for _ in range(50):
        try:
            encode(key)
        except (TypeError, RecursionError, ArithmeticError):
            pass
    assert counts() == before
