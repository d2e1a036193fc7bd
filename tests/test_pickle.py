"""Without a codec, the common types are pickled and unpickled in C: the bytes stored must
be exactly pickle.dumps(item, 5), and any bytes read back must give what pickle.loads
gives, or raise what it raises."""

import pickle
import struct

from hypothesis import given, settings
from hypothesis import strategies as st

from lodestack import Sorter

# Around each change of opcode or size: BININT1, BININT2, BININT, LONG1 (with and without
# a byte only for the sign), LONG4; SHORT_BINUNICODE and BINUNICODE, one frame or several.
edges = st.builds(lambda bits, step, sign: sign * 2**bits + step,
                  st.sampled_from([8, 16, 31, 63, 64, 2039, 2047]), st.integers(-1, 1),
                  st.sampled_from([1, -1]))
longs = st.builds(lambda unit, n: unit * n, st.text(min_size=1, max_size=2) | st.binary(
    min_size=1, max_size=2), st.sampled_from([0, 1, 255, 256, 65535, 65536, 70000]))
nans = st.builds(lambda sign, payload: struct.unpack("<d", struct.pack(
    "<Q", sign << 63 | 0x7FF << 52 | payload))[0], st.integers(0, 1), st.integers(1, 2**52 - 1))
scalars = (st.integers() | edges | st.floats() | nans | st.binary() | longs | st.booleans()
           | st.none() | st.text(st.characters() | st.characters(categories=["Cs"])))
# Past 256 memoized objects, BINGET becomes LONG_BINGET.
repeats = st.integers(0, 300).map(lambda n: tuple(f"s{i}" for i in range(n)) * 2)
values = st.recursive(scalars | repeats, lambda kids: st.lists(kids, max_size=5).map(tuple)
                      | kids.map(lambda kid: (kid, kid)) | st.tuples(kids, kids), max_leaves=20)


def same(a, b, seen):
    """Equal types and values (floats to the bit), and one object where pickle gives one."""
    assert type(a) is type(b)
    if type(a) in (tuple, list):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y, seen)
    else:
        assert struct.pack("<d", a) == struct.pack("<d", b) if type(a) is float else a == b
    if type(a) in (str, bytes, tuple):
        assert seen.setdefault(("a", id(a)), id(b)) == id(b)
        assert seen.setdefault(("b", id(b)), id(a)) == id(a)


def outcome(read):
    """The items read, then the exception that ended the reading, if one did."""
    got = []
    try:
        got.extend(read())
    except Exception as error:
        got.append(repr(error))
    return got


@settings(max_examples=300, deadline=None)
@given(st.lists(values, max_size=8), st.lists(edges, min_size=1, max_size=10), st.integers())
def test_pickles_as_pickle_does(items, numbers, cut):
    sorter = Sorter(key=lambda item: 0)
    for item in items + numbers:
        sorter.add(item)
    stored = list(sorter.encoded())
    assert stored == [pickle.dumps(item, 5) for item in items + numbers]
    stored.append(stored[-1][: cut % len(stored[-1])])  # cut short: raises as pickle does
    reader = Sorter()
    for data in stored:
        reader.add_encoded(0, data)
    same(outcome(reader.sort), outcome(lambda: map(pickle.loads, stored)), {})
