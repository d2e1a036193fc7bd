"""lodestack.dask against `sorted()` of the concatenated input: on the threaded scheduler over
random bags, and once on a two-process cluster whose workers each hold less than the data."""

import logging
import operator
import os
import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

import lodestack.dask  # noqa: E402
from conftest import scale  # noqa: E402
from test_properties import KINDS  # noqa: E402

first = operator.itemgetter(0)


@st.composite
def bags(draw):
    kind = draw(st.sampled_from(KINDS))
    pool = draw(st.lists(kind, min_size=1, max_size=4))
    keys = draw(st.lists(st.one_of(st.sampled_from(pool), kind), max_size=120))
    cuts = sorted(draw(st.lists(st.integers(0, len(keys)), max_size=6)))  # empty parts too
    # Each item carries its input position, which shows the order of equal keys.
    items = [(k, i) for i, k in enumerate(keys)]
    return [items[a:b] for a, b in zip([0, *cuts], [*cuts, len(items)])]


def read_pickles(path):
    with open(path, "rb") as f:
        return [pickle.load(f) for _ in iter(lambda: f.peek(1), b"")]


@settings(max_examples=scale(25, 250), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(bags(), st.integers(1, 6), st.booleans(), st.booleans(), st.booleans())
def test_partitions_concatenate_to_sorted(tmp_path, parts, npartitions, reverse, to_files,
                                          encoded):
    bag = db.from_sequence(parts, partition_size=1).flatten()
    key = first
    if encoded:  # bytes in, stored and given back as they are
        bag, key = bag.map(pickle.dumps), lambda data: pickle.loads(data)[0]
    spill, where = tmp_path / "spill", tmp_path / "out"
    spill.mkdir(exist_ok=True)
    args = dict(key=key, npartitions=npartitions, reverse=reverse, max_bytes=300,
                tmp_dir=spill, encoded=encoded)
    with dask.config.set(scheduler="threads"):
        if to_files:
            paths = lodestack.dask.sort_to_files(bag, where, **args)
            assert paths == [str(where / f"part-{r:05d}") for r in range(npartitions)]
            out = [read_pickles(p) for p in paths]
            for p in paths:
                os.unlink(p)
        else:
            sorted_bag = lodestack.dask.sort(bag, **args)
            assert sorted_bag.npartitions == npartitions
            out = [[pickle.loads(x) for x in p] if encoded else p
                   for p in dask.compute(*sorted_bag.to_delayed())]
    expected = sorted([x for part in parts for x in part], key=first, reverse=reverse)
    assert [x for part in out for x in part] == expected
    assert os.listdir(spill) == []


class Boom:
    """A key and a codec that fail on one item."""

    bad = (7, 397)  # in the last input partition, so that its range has spilled before it

    def __call__(self, item):
        if item == self.bad:
            raise ValueError("no key for this one")
        return item[0]

    def encode(self, item):
        if item == self.bad:
            raise ValueError("cannot encode this one")
        return pickle.dumps(item)

    decode = staticmethod(pickle.loads)


@pytest.mark.parametrize("fails", ["key", "codec"])
def test_a_failing_item_fails_the_sort_and_leaves_nothing(tmp_path, fails):
    items = [(i % 10, i) for i in range(400)]
    (tmp_path / "lodestack-dask-gone").mkdir()  # as a killed worker leaves it: unlocked
    args = {"key": Boom()} if fails == "key" else {"key": first, "codec": Boom()}
    bag = lodestack.dask.sort(db.from_sequence(items, npartitions=4), npartitions=2,
                              max_bytes=200, tmp_dir=tmp_path, **args)
    with pytest.raises(ValueError, match={"key": "no key", "codec": "cannot encode"}[fails]):
        bag.compute(scheduler="sync")
    assert os.listdir(tmp_path) == []


@pytest.fixture(scope="module")
def cluster():
    # Each worker may hold less than the data, so Dask spills what it holds to disk as
    # lodestack spills its sorters' runs. Pausing and restarting workers over memory are off:
    # a worker's own interpreter, Dask and imports, already near the limit, would stop it.
    memory = {"pause": False, "terminate": False}
    with (dask.config.set({f"distributed.worker.memory.{k}": v for k, v in memory.items()}),
          distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                   memory_limit="20 MiB", dashboard_address=None,
                                   silence_logs=logging.ERROR) as c,
          distributed.Client(c) as client):
        yield client


def make_items(p):
    # 30 MiB in all: a fifth of the items share one key, the rest spread over 500.
    return [(0 if i % 5 == 0 else i * 7919 % 500, i, bytes(1000))
            for i in range(p * 3000, (p + 1) * 3000)]


@pytest.mark.timeout(300)
def test_a_cluster_sorts_more_than_a_worker_holds(cluster, tmp_path, request):
    request.node.uses_cluster = True
    bag = db.from_sequence(range(10), npartitions=10).map(make_items).flatten()
    out = lodestack.dask.sort(bag, key=first, npartitions=8, max_bytes=1 << 20, tmp_dir=tmp_path)
    parts = dask.compute(*out.map(lambda item: item[:2]).to_delayed())
    got = [x for part in parts for x in part]
    assert got == sorted(got) and len(got) == 30_000  # by key, then input position
    assert sorted(i for _, i in got) == list(range(30_000))
    assert max(map(len, parts)) < 1.5 * 30_000 / 8  # the shared key split between ranges
    assert os.listdir(tmp_path) == []
