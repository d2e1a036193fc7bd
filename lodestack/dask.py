"""Sort a Dask bag across a cluster, each range of keys sorted by a `Sorter` in a worker.

    import dask.bag as db
    import lodestack.dask

    bag = db.read_text("logs/*.txt").map(parse)
    ordered = lodestack.dask.sort(bag, key=lambda row: (row.host, row.time), npartitions=64)
    ordered.map_partitions(write_partition).compute()

`sort` returns a `dask.bag.Bag` whose partitions, concatenated, are `sorted()` of the input
bag's items (partition by partition, in order): every partition is in key order, each
before the next, and items with equal keys keep their input order. `sort_to_files` writes
each range straight from its sorter into a file instead, so no range is ever a list.

How it works, all of it tasks in one Dask graph that any Dask scheduler runs:

1. Each input partition is sampled: the `sort_key` bytes of some of its items' keys, each
   with the item's place in the bag (partition, index) and a weight, the partition's length
   over the sample's.
2. One small task cuts the weighted sample into ranges of equal weight. A cut is a key and
   a place, so a key that many items share is split between ranges by place: equal keys
   stay in input order, and no range is much larger than the average.
3. Each input partition hands its items to the ranges, in input order.
4. Each range feeds its items, partition by partition, into a `Sorter` with the given
   `max_bytes`, spilling into a directory of its own under the worker's `tmp_dir`.

A range task's directory, `lodestack-dask-` and random letters, is removed when the task
ends, whether it returns, raises or is interrupted. The task holds a lock on it meanwhile;
each later task sweeps away the directories in its `tmp_dir` whose lock nobody holds, which
are what a worker killed outright left behind.

Importing this module needs Dask: `pip install 'lodestack[dask]'`.
"""

from __future__ import annotations

import bisect
import collections
import contextlib
import fcntl
import itertools
import math
import operator
import os
import random
import shutil
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from functools import partial
from typing import Any

try:
    from dask.bag.core import Bag
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
except ImportError as error:
    raise ImportError(
        "lodestack.dask needs Dask: pip install 'lodestack[dask]' (or dask[distributed])"
    ) from error

from lodestack import Sorter, sort_key

__all__ = ["sort", "sort_to_files"]

# Sampled keys per output range. Each range's share is then estimated from about this many
# keys, so its size is off by about 1 / sqrt(SAMPLES_PER_RANGE) of the average (6% here).
SAMPLES_PER_RANGE = 256

DIR_PREFIX = "lodestack-dask-"

type Place = tuple[int, int]  # (partition, index) of an item in the input bag


# ---------------------------------------------------------------------------------------
# Sampling and cutting


def _key_bytes(key: Callable[[Any], Any] | None, items: Iterable[Any]) -> Iterator[bytes]:
    return map(sort_key, items if key is None else map(key, items))


class Items(list[Any]):
    """A list that `distributed` sends whole, in one pickle, where it would send a plain
    list item by item, many times slower. Input and sorted partitions and the pieces
    between them are these."""

    __slots__ = ()


def _as_items(part: Iterable[Any]) -> Items:
    # As Items even when it is a list: the scheduler may split a partition on a worker that
    # does not hold it, which then receives it.
    return part if type(part) is Items else Items(part)


def _sample(items: list[Any], partition: int, size: int, key: Callable[[Any], Any] | None,
            tmp_dir: str | None) -> tuple[float, list[tuple[bytes, Place]]]:
    """The weight of each sampled item, and the samples' key bytes and places."""
    # Every worker that holds input runs this first: a killed worker's directories go now.
    _sweep(tempfile.gettempdir() if tmp_dir is None else tmp_dir)
    n = len(items)
    picked = sorted(random.Random(partition).sample(range(n), min(n, size)))
    keys = _key_bytes(key, map(items.__getitem__, picked))
    return (n / len(picked) if picked else 0.0,
            [(k, (partition, i)) for k, i in zip(keys, picked)])


class Cuts:
    """Where the ranges meet: a range index for each item, from its key bytes and place.

    A cut is a sampled (key bytes, place). An item goes to the range numbered by how many
    cuts come before it or are it, in the output order: by key bytes (descending with
    `reverse`), then by place. `keys` lists the cuts' key bytes ascending; `places` the places
    of the cuts of each key, ascending, in the same order, so equal keys are split by place
    alike in both directions.
    """

    def __init__(self, cuts: Sequence[tuple[bytes, Place]], reverse: bool) -> None:
        ordered = sorted(cuts)
        self.keys = [k for k, _ in ordered]
        self.places = [p for _, p in ordered]
        self.reverse = reverse

    def tie_index(self, key: bytes, place: Place) -> int:
        """The range of an item whose key bytes are those of one or more cuts."""
        keys = self.keys
        lo, hi = bisect.bisect_left(keys, key), bisect.bisect_right(keys, key)
        before = len(keys) - hi if self.reverse else lo
        return before + bisect.bisect_right(self.places, place, lo, hi) - lo


def _cut(samples: list[tuple[float, list[tuple[bytes, Place]]]], ranges: int,
         reverse: bool) -> Cuts:
    """Cuts the weighted samples, in output order, into `ranges` ranges of equal weight."""
    # In place order as made, which the stable sort keeps among equal keys, also reversed.
    weighted = [(k, p, w) for w, part in samples for k, p in part]
    weighted.sort(key=operator.itemgetter(0), reverse=reverse)
    if not weighted:
        return Cuts([], reverse)
    upto = list(itertools.accumulate(w for _, _, w in weighted))
    total = upto[-1]
    picks = (min(bisect.bisect_right(upto, total * j / ranges), len(weighted) - 1)
             for j in range(1, ranges))
    return Cuts([weighted[t][:2] for t in picks], reverse)


def _split(items: list[Any], partition: int, cuts: Cuts, ranges: int,
           key: Callable[[Any], Any] | None) -> tuple[Items, ...]:
    """The partition's items of each range, in input order."""
    pieces = tuple(Items() for _ in range(ranges))
    keys = cuts.keys
    if not keys:
        pieces[0].extend(items)
        return pieces
    # C loops place the items whose keys fall strictly between cuts, most of them: one
    # bisection each. Those whose key is a cut's are placed again, by place too.
    kbs = list(_key_bytes(key, items))
    his = list(map(bisect.bisect_right, itertools.repeat(keys), kbs))
    index = list(map(operator.sub, itertools.repeat(len(keys)), his)) if cuts.reverse else his
    before = [None, *keys]
    for i in itertools.compress(range(len(items)),
                                map(operator.eq, map(before.__getitem__, his), kbs)):
        index[i] = cuts.tie_index(kbs[i], (partition, i))
    appends = [piece.append for piece in pieces]
    for r, item in zip(index, items):
        appends[r](item)
    return pieces


# ---------------------------------------------------------------------------------------
# Sorting a range


# Items pass between C loops in batches of this many, so that the loops hand the
# interpreter to the worker's other threads (its communication among them) between batches.
BATCH = 8192


def _add_all(sorter: Sorter[Any], pieces: list[list[Any]], key: Callable[[Any], Any] | None,
             encoded: bool) -> None:
    for piece in pieces:
        for start in range(0, len(piece), BATCH):
            items = piece[start:start + BATCH]
            if encoded:
                # The payload is the item itself; the key is its key, or the bytes.
                keys = items if key is None else map(key, items)
                collections.deque(map(sorter.add_encoded, keys, items), maxlen=0)
            else:
                collections.deque(map(sorter.add, items), maxlen=0)


def _sort_range(pieces: list[list[Any]], *, key: Callable[[Any], Any] | None, encoded: bool,
                tmp_dir: str | None, options: dict[str, Any]) -> Items:
    out = Items()
    with _task_dir(tmp_dir) as spill, Sorter(None if encoded else key, tmp_dir=spill,
                                             **options) as sorter:
        _add_all(sorter, pieces, key, encoded)
        ordered = sorter.encoded() if encoded else sorter.sort()
        while batch := list(itertools.islice(ordered, BATCH)):
            out += batch
    return out


def _write_range(pieces: list[list[Any]], path: str, *, key: Callable[[Any], Any] | None,
                 encoded: bool, tmp_dir: str | None, options: dict[str, Any]) -> list[str]:
    directory, name = os.path.split(path)
    os.makedirs(directory, exist_ok=True)
    # Written beside its name and renamed over it once whole, so a failed task leaves no
    # part file that looks finished.
    fd, partial_path = tempfile.mkstemp(prefix=f".{name}.", dir=directory)
    try:
        with (open(fd, "wb", buffering=0) as out, _task_dir(tmp_dir) as spill,
              Sorter(None if encoded else key, tmp_dir=spill, **options) as sorter):
            _add_all(sorter, pieces, key, encoded)
            sorter.write_to(out)
        os.replace(partial_path, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial_path)
        raise
    return [path]


# ---------------------------------------------------------------------------------------
# Spill directories


def _open_dir(path: str) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)


@contextlib.contextmanager
def _task_dir(tmp_dir: str | None) -> Iterator[str]:
    """A fresh directory under `tmp_dir`, locked while the task runs and removed after."""
    root = tempfile.gettempdir() if tmp_dir is None else tmp_dir
    _sweep(root)
    while True:
        # Another task's sweep may take the directory for a dead task's before it is
        # locked, and remove it (the lock then waits for that sweep): make another.
        path = tempfile.mkdtemp(prefix=DIR_PREFIX, dir=root)
        try:
            fd = _open_dir(path)
        except FileNotFoundError:
            continue
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            if os.path.samestat(os.fstat(fd), os.stat(path, follow_symlinks=False)):
                break
        except FileNotFoundError:
            pass
        os.close(fd)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)
        os.close(fd)  # after the removal, so that no sweep can lock it meanwhile


def _sweep(root: str) -> None:
    """Removes the directories under `root` that no live task holds locked.

    A task's lock goes with its process, so a worker killed outright leaves its directories
    unlocked; one another process holds, on this host or one sharing the file system, stays.
    """
    try:
        names = [n for n in os.listdir(root) if n.startswith(DIR_PREFIX)]
    except OSError:
        return  # the range task's mkdtemp reports what is wrong with `root`
    for name in names:
        path = os.path.join(root, name)
        try:
            fd = _open_dir(path)
        except OSError:
            continue  # removed meanwhile, or not ours to open
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)  # a live task's
            continue
        try:
            shutil.rmtree(path, ignore_errors=True)
        finally:
            os.close(fd)


# ---------------------------------------------------------------------------------------
# The graph


def _ranged(bag: Bag, finish: Callable[..., Any], stage: str,
            outputs: Callable[[int], tuple[Any, ...]], key: Callable[[Any], Any] | None,
            reverse: bool, npartitions: int | None, max_bytes: int,
            tmp_dir: str | os.PathLike[str] | None, codec: Any, threads: int,
            encoded: bool) -> Bag:
    """The bag of a range sort of `bag`: its partition r is `finish(pieces, *outputs(r))`,
    where `pieces` are range r's items of each input partition."""
    options = dict(max_bytes=max_bytes, codec=codec, threads=threads, reverse=reverse)
    Sorter(**options).close()  # bad arguments fail here, not in a worker
    n = bag.npartitions
    m = n if npartitions is None else npartitions
    if m < 1:
        raise ValueError(f"npartitions must be at least 1, not {m}")
    tmp = None if tmp_dir is None else os.fspath(tmp_dir)
    finish = partial(finish, key=key, encoded=encoded, tmp_dir=tmp, options=options)
    token = tokenize(bag, key, m, tmp, encoded, sorted(options.items(), key=str),
                     [outputs(r) for r in range(m)])
    name, items, samples, cuts, split, piece = (
        f"lodestack-{stage}-{token}" for stage in (stage, "items", "sample", "cuts", "split",
                                                   "piece"))
    size = math.ceil(SAMPLES_PER_RANGE * m / n)
    graph: dict[Any, Any] = {}
    for p in range(n):
        graph[items, p] = (_as_items, (bag.name, p))
        graph[samples, p] = (_sample, (items, p), p, size, key, tmp)
        graph[split, p] = (_split, (items, p), p, cuts, m, key)
        for r in range(m):
            graph[piece, p, r] = (operator.getitem, (split, p), r)
    graph[cuts] = (_cut, [(samples, p) for p in range(n)], m, reverse)
    for r in range(m):
        graph[name, r] = (finish, [(piece, p, r) for p in range(n)], *outputs(r))
    # Dask's own annotations do not make Bag a DaskCollection, nor type compute().
    dependencies = [bag]
    hlg = HighLevelGraph.from_collections(name, graph, dependencies)  # type: ignore[arg-type]
    return Bag(hlg, name, m)


def sort[T](bag: Bag, key: Callable[[T], Any] | None = None, *, reverse: bool = False,
            npartitions: int | None = None, max_bytes: int = 268435456,
            tmp_dir: str | os.PathLike[str] | None = None, codec: Any = None, threads: int = 1,
            encoded: bool = False) -> Bag:
    """Return a bag of the items of `bag`, sorted by `key`, its partitions in order.

    Concatenated, the partitions are `sorted(items, key=key, reverse=reverse)` of the input
    items taken partition by partition, except that keys order as `lodestack.sort_key` orders
    them (so mixed kinds and NaN sort too): each partition is in order, no item of one sorts
    after an item of the next, and equal keys keep their input order. Nothing runs until the
    bag is computed.

    Args:
        bag: The items. Every input partition is sampled before any is split, so Dask
            holds all of them at once (and `distributed` spills them past its memory limit).
        key: Returns an item's sort key, as for `Sorter`; it runs in the workers, twice per
            item (once to place it, once to sort it), and must give the same key each time.
            None sorts items by themselves.
        reverse: Descending order; equal keys still keep their input order.
        npartitions: The number of output ranges; the input's when None.
        max_bytes, codec, threads: Each range's `Sorter`'s. A worker runs as many range
            sorts at once as it has threads, each in at most `max_bytes` besides the items
            Dask holds for it.
        tmp_dir: Where each range spills, as seen by the worker that sorts it; the worker's
            `tempfile.gettempdir()` when None.
        encoded: The items are bytes to store and return as they are, as `add_encoded`
            stores a payload, under the key `key` gives (the bytes themselves when None);
            `codec` is then unused.

    Raises:
        TypeError, ValueError: At once, for arguments `Sorter` refuses, or `npartitions`
            below 1. What a key function, a codec or the disk raises comes from computing.
    """
    return _ranged(bag, _sort_range, "sorted", lambda r: (), key, reverse, npartitions,
                   max_bytes, tmp_dir, codec, threads, encoded)


def sort_to_files[T](bag: Bag, directory: str | os.PathLike[str],
                     key: Callable[[T], Any] | None = None, *, reverse: bool = False,
                     npartitions: int | None = None, max_bytes: int = 268435456,
                     tmp_dir: str | os.PathLike[str] | None = None, codec: Any = None,
                     threads: int = 1, encoded: bool = False) -> list[str]:
    """Sort `bag` as `sort` does, writing range r straight from its sorter to
    `directory/part-0000r`; return the files' paths, in order.

    Each file holds its range's encoded items back to back, as `Sorter.write_to` writes
    them: with `encoded=True`, the items' own bytes (lines that end in b"\\n" make a text
    file, as the `lodestack` command writes); without a codec, pickles, read back one by one
    with `pickle.load`. `directory`, made if missing, must be one path that every worker
    writes to. A file appears only once whole; if the sort fails, the files of ranges that
    were done stay. This computes at once, on the scheduler `bag.compute()` would use.
    """
    where = os.path.abspath(directory)
    paths = _ranged(bag, _write_range, "files",
                    lambda r: (os.path.join(where, f"part-{r:05d}"),), key, reverse,
                    npartitions, max_bytes, tmp_dir, codec, threads, encoded)
    written: list[str] = paths.compute()  # type: ignore[no-untyped-call]
    return written
