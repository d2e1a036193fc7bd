"""The sort key encoding, through the developer build's test-only module _keytest: key bytes
compare as Python compares the keys, exact bytes, failures, and what Python code may run."""

import decimal
import math
import operator
import sys

import pytest

keytest = pytest.importorskip("_keytest")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:  # imported at collection: its first import opens files that outlive any one test
    import numpy as np
except ImportError:
    np = None
needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

encode = keytest.encode

UNSUPPORTED = "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not "
TOO_DEEP = "a sort key is nested more than 256 deep"
DBL_MAX = sys.float_info.max


def h(text):
    return bytes.fromhex(text)


ONE = "20 BF F0 00 00 00 00 00 00 00"
ZERO = "20 80 00 00 00 00 00 00 00 00"


EXAMPLES = [
        (None, "10"),
        (1, ONE),
        (1.0, ONE),
        (True, ONE),
        (0, ZERO),
        (0.0, ZERO),
        (-0.0, ZERO),
        (False, ZERO),
        (-1.0, "20 40 0F FF FF FF FF FF FF 00"),
        (-1, "20 40 0F FF FF FF FF FF FF 00"),
        (2**53 + 1, "20 C3 40 00 00 00 00 00 00 01 01"),
        (2**64, "20 C3 F0 00 00 00 00 00 00 00"),
        (-(2**63) - 1, "20 3C 1F FF FF FF FF FF FE 02 07 FF"),
        (math.inf, "20 FF F0 00 00 00 00 00 00 00"),
        (-math.inf, "20 00 0F FF FF FF FF FF FF 00"),
        (math.nan, "20 FF F8 00 00 00 00 00 00 00"),
        (-math.nan, "20 FF F8 00 00 00 00 00 00 00"),
        ("ab", "30 61 62 00 00"),
        ("\ud800", "30 ED A0 80 00 00"),
        ("é\x00", "30 C3 A9 00 FF 00 00"),
        (b"", "40 00 00"),
        (b"a\x00b", "40 61 00 FF 62 00 00"),
        ((), "50 00"),
        ((1, "a"), "50 20 BF F0 00 00 00 00 00 00 00 30 61 00 00 00"),
        ([None], "60 10 00"),
        ([[], ()], "60 60 00 50 00 00"),
        (2**1024, "20 FF EF FF FF FF FF FF FF 81 01" + " 00" * 128),
        (-(2**1024), "20 00 0F FF FF FF FF FF FF 01 7E FE" + " FF" * 128),
]


@pytest.mark.parametrize(("value", "expected"),
                         [pytest.param(v, e, id=repr(v)[:24]) for v, e in EXAMPLES])
def test_encodes_to_exact_bytes(value, expected):
    assert encode(value).hex(" ").upper() == expected


# -- The property: byte order is Python's order ----------------------------------------------

def _sign(a, b):
    return (a > b) - (a < b)


def _kind(value):
    if value is None:
        return 1
    if isinstance(value, (int, float)):
        return 2
    if isinstance(value, str):
        return 3
    if isinstance(value, bytes):
        return 4
    return 5 if isinstance(value, tuple) else 6


def reference_cmp(a, b):
    """Python's order, made total the way the encoding makes it: kinds rank None < numbers <
    str < bytes < tuple < list, and every NaN equals every other and follows +inf."""
    kind_a, kind_b = _kind(a), _kind(b)
    if kind_a != kind_b:
        return _sign(kind_a, kind_b)
    if kind_a == 1:
        return 0
    if kind_a == 2:
        nan_a = isinstance(a, float) and math.isnan(a)
        nan_b = isinstance(b, float) and math.isnan(b)
        if nan_a or nan_b:
            return _sign(nan_a, nan_b)
        return _sign(a, b)
    if kind_a in (3, 4):
        return _sign(a, b)
    for x, y in zip(a, b):
        c = reference_cmp(x, y)
        if c:
            return c
    return _sign(len(a), len(b))


def _has_nan(value):
    if isinstance(value, float):
        return math.isnan(value)
    if isinstance(value, (tuple, list)):
        return any(_has_nan(v) for v in value)
    return False


def _near(anchor, offset, negative):
    value = anchor + offset
    return -value if negative else value


def _as_float(value):
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


ANCHORS = [0, 1, 2**53, 2**63, 2**64, 2**127, int(DBL_MAX), 2**1024]
near_ints = st.builds(_near, st.sampled_from(ANCHORS), st.integers(-3, 3), st.booleans())
near_floats = st.builds(
    lambda i, step: math.nextafter(_as_float(i), step * math.inf) if step else _as_float(i),
    near_ints, st.sampled_from([-1, 0, 1]))
numbers = st.one_of(
    near_ints, near_floats, st.integers(), st.integers(-(2**3000), 2**3000), st.booleans(),
    st.floats(), st.sampled_from([math.nan, -0.0, 5e-324, -5e-324, DBL_MAX, -DBL_MAX]))
chars = st.one_of(st.characters(exclude_categories=()), st.characters(categories=["Cs"]),
                  st.sampled_from("\x00\x01a\ud7ff\ud800\udfff\ue000\uffff\U0010ffff"))
strings = st.text(chars, max_size=6)
blobs = st.one_of(st.binary(max_size=6),
                  st.lists(st.sampled_from([b"\x00", b"\x01", b"a", b"\xff"]), max_size=5)
                  .map(b"".join))
scalars = st.one_of(st.none(), numbers, strings, blobs)
keys = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4).map(tuple), st.lists(inner, max_size=4)),
    max_leaves=12)


def _python_cmp(a, b):
    """Python's own verdict, or None where it cannot compare the two."""
    try:
        return _sign(a, b)
    except TypeError:
        return None


@settings(max_examples=2000, deadline=None)
@given(keys, keys)
def test_byte_order_is_python_order(a, b):
    key_a, key_b = encode(a), encode(b)
    expected = reference_cmp(a, b)
    assert _sign(key_a, key_b) == expected, (key_a.hex(" "), key_b.hex(" "))
    if not (_has_nan(a) or _has_nan(b)):
        # The reference is Python's order wherever Python has one, and equal bytes are
        # exactly Python's equality (which never refuses, unlike < and >).
        assert (key_a == key_b) == (a == b)
        verdict = _python_cmp(a, b)
        if verdict is not None:
            assert verdict == expected


# -- Nesting --------------------------------------------------------------------------------

def nested(depth, make):
    value = make(())
    for _ in range(depth - 1):
        value = make((value,))
    return value


@pytest.mark.parametrize("make", [tuple, list], ids=["tuple", "list"])
def test_nesting_256_deep_is_accepted_and_257_raises(make):
    tag = "50" if make is tuple else "60"
    assert encode(nested(256, make)) == h(tag * 256 + "00" * 256)
    assert encode((1, nested(255, make))) == h("50" + ONE.replace(" ", "") + tag * 255 +
                                               "00" * 256)
    loop = make([1])
    if make is list:
        loop.append(loop)
    for value in (nested(257, make), (1, "a", nested(256, make)), loop):
        if value is loop and make is tuple:
            continue
        with pytest.raises(RecursionError) as caught:
            encode(value)
        assert str(caught.value) == TOO_DEEP


# -- Unsupported types --------------------------------------------------------------------

class _Meta(type):
    def __getattr__(cls, name):
        raise LookupError(f"no {name} here")


class _Opaque(metaclass=_Meta):
    pass


@pytest.mark.parametrize(
    ("value", "name"),
    [({}, "dict"), (decimal.Decimal(1), "Decimal"), (1j, "complex"), (set(), "set"),
     (object(), "object"), ((1, [2, {}]), "dict"), (bytearray(b"x"), "bytearray")],
    ids=repr,
)
def test_unsupported_types_raise_type_error(value, name):
    with pytest.raises(TypeError) as caught:
        encode(value)
    assert str(caught.value) == UNSUPPORTED + name


def test_an_error_looking_up_index_propagates():
    with pytest.raises(LookupError, match="^no __index__ here$"):
        encode(_Opaque())


# -- Integer-like objects and subclasses ------------------------------------------------------

class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [0, 5, -(2**63) - 1, 2**200, -(2**1100)], ids=repr)
def test_index_objects_encode_as_their_int(value):
    assert encode(_Index(value)) == encode(value)
    assert encode([_Index(value), _Index(value)]) == encode([value, value])
    error = ValueError("no index for you")

    class Refuses:
        def __index__(self):
            raise error

    with pytest.raises(ValueError) as caught:
        encode((1, Refuses()))
    assert caught.value is error


def _forbidden(*args, **kwargs):
    raise AssertionError("the encoder called a method it must not call")


class _Int(int):
    __index__ = __int__ = __float__ = __lt__ = __eq__ = __hash__ = _forbidden
    bit_length = to_bytes = _forbidden


class _Float(float):
    __float__ = __index__ = __lt__ = __eq__ = __hash__ = __repr__ = _forbidden


class _Str(str):
    encode = __str__ = __lt__ = __eq__ = __hash__ = __iter__ = __len__ = _forbidden


class _Bytes(bytes):
    __bytes__ = __lt__ = __eq__ = __hash__ = __iter__ = __len__ = __getitem__ = _forbidden


class _Tuple(tuple):
    __iter__ = __len__ = __getitem__ = __lt__ = __eq__ = __hash__ = _forbidden


class _List(list):
    __iter__ = __len__ = __getitem__ = __lt__ = __eq__ = _forbidden


@pytest.mark.parametrize(
    ("value", "plain"),
    [(_Int(7), 7), (_Int(-(2**100)), -(2**100)), (_Int(2**70), 2**70), (_Float(0.5), 0.5),
     (_Float(math.nan), math.nan), (_Str("x\x00y"), "x\x00y"), (_Str("\ud800a"), "\ud800a"),
     (_Bytes(b"a\x00"), b"a\x00"), (_Tuple((1, "a")), (1, "a")), (_List([1, [2]]), [1, [2]])],
    ids=lambda v: type(v).__name__,
)
def test_subclasses_encode_by_stored_value_without_calling_methods(value, plain):
    assert encode(value) == encode(plain)


# -- A list changed while it is encoded ---------------------------------------------------

class _Mutates:
    """An integer-like element that changes its list when the encoder reaches it."""

    def __init__(self, change):
        self.change = change

    def __index__(self):
        self.change()
        return 7


def _growing():
    items = [1]
    items.append(_Mutates(lambda: items.extend([2, 3])))
    return items, [1, 7]


def _shrinking():
    items = [1, None, "a", "b"]
    items[1] = _Mutates(lambda: items.__delitem__(slice(2, None)))
    return items, [1, 7]


def _cleared():
    items = [None, 2, 3]
    items[0] = _Mutates(items.clear)
    return items, [7]


@pytest.mark.parametrize("make", [_growing, _shrinking, _cleared])
def test_a_list_changed_during_encoding_is_read_up_to_its_current_length(make):
    # Elements appended are ignored; a shrunk list ends at its new length.
    items, expected = make()
    assert encode(items) == encode(expected)


# -- NumPy scalars --------------------------------------------------------------------------

@needs_numpy
def test_numpy_scalars_encode_like_builtins():
    assert encode(np.int64(5)) == encode(5)
    assert encode(np.int64(-(2**63))) == encode(-(2**63))
    assert encode(np.uint64(2**64 - 1)) == encode(2**64 - 1)
    assert encode(np.float64(0.5)) == encode(0.5)
    assert encode(np.float64("nan")) == encode(math.nan)
    assert encode(np.str_("x")) == encode("x")
    assert encode(np.bytes_(b"x\x00")) == encode(b"x\x00")
    assert encode((np.int32(3), np.float64(-0.0))) == encode((3, 0))


@needs_numpy
@pytest.mark.parametrize("name", ["float32", "float16", "complex128"])
def test_numpy_types_without_an_exact_meaning_are_refused(name):
    with pytest.raises(TypeError) as caught:
        encode(getattr(np, name)(0.5))
    assert str(caught.value) == UNSUPPORTED + name


# -- References ---------------------------------------------------------------------------

class _Marker:  # its count, and its int's, show whether the encoder released them

    def __init__(self):
        self.value = 2**100

    def __index__(self):
        return self.value


def _refusing_index():
    raise ValueError("refused")


@pytest.mark.parametrize(
    "wrap",
    [
        lambda m: [m, m],
        lambda m: (m, [m]),
        lambda m: [m, {}],  # TypeError after the element was taken
        lambda m: [m, nested(257, list)],  # RecursionError after it
        lambda m: [m, type("Refuses", (), {"__index__": lambda self: _refusing_index()})()],
    ],
    ids=["list", "tuple-in-list", "type-error", "too-deep", "index-raises"],
)
def test_encoding_releases_every_reference_it_takes(wrap):
    marker = _Marker()
    key = wrap(marker)
    counts = lambda: tuple(map(sys.getrefcount, (marker, marker.value, operator.index)))
    before = counts()
    for _ in range(100):
        try:
            encode(key)
        except (TypeError, RecursionError, ValueError):
            pass
    assert counts() == before
