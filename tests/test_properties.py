"""The central promise, as a property: whatever the items, keys and settings, a sorter
gives back exactly what was added, in key order, equal keys in the order they were added,
through each of its three ways of reading.

LODESTACK_PROPERTY_EXAMPLES sets how many examples to try (default 40); a larger count,
such as 1000, makes a thorough run.
"""

import operator
import os
import pickle
import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lodestack import Sorter

from conftest import Recorder

EXAMPLES = int(os.environ.get("LODESTACK_PROPERTY_EXAMPLES", "40"))

# Keys of one example are drawn from one kind, so that Python itself can order them.
ints = st.one_of(
    st.integers(-5, 5),
    st.integers(-(2**64), 2**64),
    st.integers(-(2**1100), 2**1100),
)
numbers = st.one_of(ints, st.floats(allow_nan=False), st.booleans())
KINDS = [
    numbers,
    st.text(max_size=5),
    st.binary(max_size=5),
    st.tuples(ints, st.text(max_size=3)),
    st.lists(st.integers(-3, 3), max_size=4),
    st.lists(st.tuples(st.binary(max_size=2), numbers), max_size=3),
]


@st.composite
def examples(draw):
    kind = draw(st.sampled_from(KINDS))
    # A small pool of keys drawn from often, so that equal keys are common.
    pool = draw(st.lists(kind, min_size=1, max_size=6))
    keys = draw(st.lists(st.one_of(st.sampled_from(pool), kind), max_size=150))
    keyed = draw(st.booleans())
    if keyed:
        # The item carries its position, so that the order of equal keys is visible.
        items = [(key, i) for i, key in enumerate(keys)]
        key = operator.itemgetter(0)
    else:
        # The item is its own key; equal keys of different types (1, 1.0, True) still
        # show their order.
        items = keys
        key = None
    how = draw(
        st.lists(
            st.sampled_from(["add", "add_encoded"]), min_size=len(items), max_size=len(items)
        )
    )
    given_to_sort = draw(st.integers(0, len(items)))
    settings_ = {
        "max_bytes": draw(st.one_of(st.integers(2, 64), st.integers(65, 8192), st.just(268435456))),
        "max_open": draw(st.one_of(st.integers(2, 4), st.integers(5, 64))),
        "threads": draw(st.integers(1, 3)),
    }
    return items, key, how, given_to_sort, settings_


def fill(sorter, items, key, how):
    for item, method in zip(items, how):
        if method == "add":
            sorter.add(item)
        else:
            sorter.add_encoded(item if key is None else key(item), pickle.dumps(item, 5))


@settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(examples())
def test_every_way_of_reading_gives_the_items_back_in_stable_key_order(tmp_dir, example):
    items, key, how, given_to_sort, config = example
    expected = sorted(items, key=key)
    payloads = [pickle.dumps(item, 5) for item in expected]
    spill = tempfile.mkdtemp(dir=tmp_dir)

    s = Sorter(key, tmp_dir=spill, **config)
    split = len(items) - given_to_sort
    fill(s, items[:split], key, how)
    out = list(s.sort(iter(items[split:])))
    assert out == expected
    # Equal but distinguishable keys (1, 1.0, True; 0.0, -0.0) keep their order too.
    assert [type(x) for x in out] == [type(x) for x in expected]
    assert len(s) == len(items)

    s = Sorter(key, tmp_dir=spill, **config)
    fill(s, items, key, how)
    assert list(s.encoded()) == payloads

    s = Sorter(key, tmp_dir=spill, **config)
    fill(s, items, key, how)
    handle = Recorder("len")
    s.write_to(handle)
    assert handle.joined() == b"".join(payloads)
    assert all(handle.calls)

    assert os.listdir(spill) == []
    os.rmdir(spill)
