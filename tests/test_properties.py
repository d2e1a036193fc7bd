"""The central promise, as a property: whatever the items, keys, codec and settings, a sorter
gives back exactly what was added, in key order (or reversed), equal keys in the order they
were added (or only the first of them), through each of its three ways of reading. LODESTACK_PROPERTY_EXAMPLES sets how many
examples to try (default 40; `make stress` tries 400)."""

import math
import operator
import os
import pickle
import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import Recorder, scale
from lodestack import Sorter, sort_key

EXAMPLES = int(os.environ.get("LODESTACK_PROPERTY_EXAMPLES") or scale(40, 400))

# Keys of one example are drawn from one kind, so that Python itself can order them.
ints = st.one_of(st.integers(-5, 5), st.integers(-(2**64), 2**64), st.integers(-(2**1100), 2**1100))
numbers = st.one_of(ints, st.floats(allow_nan=False), st.booleans())
KINDS = [numbers, st.text(max_size=5), st.binary(max_size=5), st.tuples(ints, st.text(max_size=3)),
         st.lists(st.integers(-3, 3), max_size=4),
         st.lists(st.tuples(st.binary(max_size=2), numbers), max_size=3)]


class ReprCodec:
    def encode(self, item):
        return repr(item).encode()

    def decode(self, data):
        return eval(data, {"inf": math.inf})  # noqa: S307 - our own reprs of plain values


@st.composite
def examples(draw):
    kind = draw(st.sampled_from(KINDS))
    # A small pool of keys drawn from often, so that equal keys are common.
    pool = draw(st.lists(kind, min_size=1, max_size=6))
    keys = draw(st.lists(st.one_of(st.sampled_from(pool), kind), max_size=150))
    if draw(st.booleans()):
        # The item carries its position, so that the order of equal keys is visible.
        items, key = [(k, i) for i, k in enumerate(keys)], operator.itemgetter(0)
    else:
        # Its own key: equal keys of other types (1, 1.0, True) still show their order.
        items, key = keys, None
    return dict(
        items=items, key=key, codec=draw(st.sampled_from([None, ReprCodec()])),
        encoded=draw(st.lists(st.booleans(), min_size=len(items), max_size=len(items))),
        given=draw(st.integers(0, len(items))),
        config={"max_bytes": draw(st.sampled_from([2, 40, 300, 2000, 8192, 268435456])),
                "max_open": draw(st.integers(2, 5)), "threads": draw(st.integers(1, 3)),
                "reverse": draw(st.booleans()), "unique": draw(st.booleans())})


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(examples())
def test_every_way_of_reading_gives_the_items_back_in_stable_key_order(tmp_dir, example):
    items, key, codec, config = example["items"], example["key"], example["codec"], example["config"]
    encode = codec.encode if codec else (lambda item: pickle.dumps(item, 5))
    expected = sorted(items, key=key, reverse=config["reverse"])
    if config["unique"]:  # the first of each group of keys equal as a sorter sees them
        firsts = {}
        for item in expected:
            firsts.setdefault(sort_key(item if key is None else key(item)), item)
        expected = list(firsts.values())
    spill = tempfile.mkdtemp(dir=tmp_dir)

    def filled(upto=len(items)):
        s = Sorter(key, codec=codec, tmp_dir=spill, **config)
        for item, as_encoded in zip(items[:upto], example["encoded"]):
            if as_encoded:
                s.add_encoded(item if key is None else key(item), encode(item))
            else:
                s.add(item)
        return s

    s = filled(len(items) - example["given"])
    it = s.sort(iter(items[len(items) - example["given"]:]))
    assert s.stats is None
    out = list(it)
    assert (out, [type(x) for x in out]) == (expected, [type(x) for x in expected])
    assert len(s) == len(items)
    s.close()
    encoded = filled()
    assert list(encoded.encoded()) == [encode(x) for x in expected]
    handle, written = Recorder(), filled()
    written.write_to(handle)
    assert handle.joined() == b"".join(map(encode, expected)) and all(handle.calls)
    assert os.listdir(spill) == []
    # The same items and settings make the same sort, whichever way it is read.
    stats = s.stats
    assert stats == encoded.stats == written.stats
    assert (stats.added, stats.dropped) == (len(items), len(items) - len(expected))
    m = config["max_open"]
    assert stats.merge_passes == -(-max(0, stats.runs - m) // (m - 1))
    assert stats.max_fan_in <= m + 1 and (stats.runs == 0) == (stats.spilled_bytes == 0)
    os.rmdir(spill)
