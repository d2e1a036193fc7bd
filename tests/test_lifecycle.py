"""A sorter's life: `with`, close, len, what each state refuses, dropping references, its
threads, and its private directory."""

import contextlib
import gc
import io
import os
import pickle
import stat

import pytest

from lodestack import Sorter

from conftest import (
    Recorder,
    eventually,
    lodestack_threads,
    payload_of,
    private_dir,
    private_dirs,
    run_files,
)

CLOSED = "I/O operation on a closed sorter"
CANNOT_ADD = "cannot add to a sorter once it has been read"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"


def spilled(tmp_dir, items=(3, 1, 2), **kwargs):
    """A sorter that has spilled all but its last item, one run per item."""
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2, **kwargs)
    for item in items:
        s.add(item)
    assert len(private_dirs(tmp_dir)) == 1
    return s


# ---------------------------------------------------------------------------------------
# with, close and len


@pytest.mark.parametrize("raises", [False, True])
def test_with_binds_the_sorter_and_closes_it(raises, tmp_dir):
    error = KeyError("inside")
    with pytest.raises(KeyError) if raises else contextlib.nullcontext() as e:
        with spilled(tmp_dir) as s:
            assert s.add(0) is None
            if raises:
                raise error
    if raises:
        assert e.value is error
    assert os.listdir(tmp_dir) == []
    with pytest.raises(ValueError) as e:
        s.add(1)
    assert str(e.value) == CLOSED
    assert len(s) == 4
    # __exit__ takes any positional arguments and suppresses nothing.
    assert Sorter(tmp_dir=tmp_dir).__exit__(1, 2, 3, 4) is None


def test_len_counts_every_item_through_reading_and_closing(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    assert len(s) == 0
    s.add(1)
    s.add_encoded(2, b"x")
    it = s.sort([3, 4])
    assert len(s) == 4
    next(it)
    assert s.close() is None
    assert os.listdir(tmp_dir) == []
    assert s.close() is None
    assert len(s) == 4


# ---------------------------------------------------------------------------------------
# What each state refuses


class FailingCodec:
    def encode(self, item):
        return repr(item).encode()

    def decode(self, data):
        raise ValueError("undecodable")


def stop(s):
    with pytest.raises(ValueError, match="undecodable"):
        list(s.sort())


ADD_AFTER_READ = (RuntimeError, CANNOT_ADD, RuntimeError, READ_ONCE)
STATES = {
    "closed": (Sorter.close, ValueError, CLOSED, ValueError, CLOSED),
    "reading": (lambda s: [it := s.sort(), next(it)][0], *ADD_AFTER_READ),
    "read": (lambda s: list(s.sort()), *ADD_AFTER_READ),
    "written": (lambda s: s.write_to(io.BytesIO()), *ADD_AFTER_READ),
    "stopped": (stop, RuntimeError, STOPPED, RuntimeError, STOPPED),
}


class CountingIterable:
    touched = 0

    def __iter__(self):
        self.touched += 1
        return iter([1, 2])


OPERATIONS = {
    "add": lambda s, touched: s.add(9),
    "add_encoded": lambda s, touched: s.add_encoded(9, b"payload"),
    "sort(items)": lambda s, touched: s.sort(touched.setdefault("items", CountingIterable())),
    "sort()": lambda s, touched: s.sort(),
    "encoded()": lambda s, touched: s.encoded(),
    "write_to": lambda s, touched: s.write_to(touched.setdefault("handle", Recorder())),
}


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("state", list(STATES))
def test_each_state_refuses_with_its_message(state, operation, tmp_dir):
    codec = FailingCodec() if state == "stopped" else None
    s = Sorter(codec=codec, tmp_dir=tmp_dir, max_bytes=2)
    for item in (3, 1, 2):
        s.add(item)
    enter, *errors = STATES[state]
    it = enter(s)  # noqa: F841 - a half-read iterator must stay alive
    error, message = errors[2:] if operation in ("sort()", "encoded()", "write_to") else errors[:2]
    touched = {}
    with pytest.raises(error) as e:
        OPERATIONS[operation](s, touched)
    assert type(e.value) is error
    assert str(e.value) == message
    # A refusal touches neither the items given nor the handle.
    assert getattr(touched.get("items"), "touched", 0) == 0
    assert getattr(touched.get("handle"), "calls", []) == []
    assert len(s) == 3
    s.close()


def test_a_refused_read_leaves_a_running_iteration_alone(tmp_dir):
    s = spilled(tmp_dir, [5, 4, 3, 2, 1])
    it = s.sort()
    assert next(it) == 1
    for again in (s.sort, s.encoded, lambda: s.write_to(Recorder())):
        with pytest.raises(RuntimeError, match=READ_ONCE):
            again()
    assert list(it) == [2, 3, 4, 5]


# ---------------------------------------------------------------------------------------
# Dropping references


@pytest.mark.parametrize(
    "steps",
    [
        ["del s"],
        ["next", "del it", "keeps", "close"],
        ["next", "del it", "keeps", "del s"],
        ["next", "del s", "keeps", "drain"],
        ["next", "del s", "keeps", "del it"],
    ],
    ids=lambda steps: ", ".join(steps),
)
def test_dropping_references(steps, tmp_dir):
    # The merge belongs to whichever of the sorter and a half-read iterator lives longest.
    # Items of 700,000 bytes come two to a batch, so one next() leaves the merge open.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for i in range(5):
        s.add_encoded(i, payload_of(i, 700_000))
    it = s.encoded() if "next" in steps else None
    for step in steps:
        if step == "next":
            assert next(it) == payload_of(0, 700_000)
        elif step == "keeps":
            assert len(private_dirs(tmp_dir)) == 1
        elif step == "drain":
            assert list(it) == [payload_of(i, 700_000) for i in range(1, 5)]
        elif step == "close":
            s.close()
        elif step == "del s":
            s = None
        else:
            it = None
    assert os.listdir(tmp_dir) == []


class CyclicCodec:
    def __init__(self):
        self.keep = None

    def encode(self, item):
        return pickle.dumps(item, 5)

    def decode(self, data):
        return pickle.loads(data)


@pytest.mark.parametrize("through", ["key", "codec", "iterator-decode"])
def test_reference_cycles_are_collected(through, tmp_dir):
    # The cycle runs through what the sorter or its iterator holds; only a collector that
    # sees those references can free it, and freeing it removes the private directory.
    gc.disable()
    try:
        codec = CyclicCodec()
        if through == "key":
            holder = []
            s = Sorter(lambda item, _holder=holder: item, tmp_dir=tmp_dir, max_bytes=2)
            holder.append(s)
            del holder
        else:
            s = Sorter(codec=codec, tmp_dir=tmp_dir, max_bytes=2)
        # Large items, so that the first batch leaves the merge open (it stops at 1 MiB).
        items = [payload_of(i, 700_000) for i in range(5)]
        for item in items:
            s.add(item)
        if through == "codec":
            codec.keep = s
        elif through == "iterator-decode":
            it = s.sort()
            assert next(it) == items[0]
            codec.keep = it
            del it
        del s, codec
        assert len(private_dirs(tmp_dir)) == 1
        gc.collect()
        assert os.listdir(tmp_dir) == []
    finally:
        gc.enable()


# ---------------------------------------------------------------------------------------
# Threads and files


def pool_threads():
    # A spill thread may come and go meanwhile; only the pool's threads count here.
    return [n for n in lodestack_threads() if n.startswith("lodestack-sort")]


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_pool_threads_are_named_and_end_when_reading_begins(threads, tmp_dir):
    # "lodestack-sort-0" and "-1" are 16 bytes; Linux keeps the first 15.
    expected = ["lodestack-sort-"] * threads if threads > 1 else []
    s = Sorter(tmp_dir=tmp_dir, threads=threads, max_bytes=64)
    # A new thread may name itself: wait for it rather than assume it is done.
    eventually(lambda: pool_threads() == expected, f"{expected}")
    for item in range(50):
        s.add(item)
    assert pool_threads() == expected
    # Reading takes what the sorter holds and drops the rest, the pool with it.
    it = s.sort()
    assert pool_threads() == []
    assert list(it) == list(range(50))


def test_closing_or_dropping_ends_a_sorters_own_pool(tmp_dir):
    a = Sorter(tmp_dir=tmp_dir, threads=2)
    b = Sorter(tmp_dir=tmp_dir, threads=3)
    eventually(lambda: pool_threads() == ["lodestack-sort-"] * 5, "five pool threads")
    del a
    assert pool_threads() == ["lodestack-sort-"] * 3
    b.close()
    assert pool_threads() == []


def test_private_directory_and_runs_are_private_whatever_the_umask(tmp_dir):
    # Spilled items are the user's data, and the parent is usually a directory every local
    # user can list: the directory is 0700 and the runs 0600 even under umask 0.
    old = os.umask(0)
    try:
        s = spilled(tmp_dir, range(5))
        it = s.encoded()
    finally:
        os.umask(old)
    directory = private_dir(tmp_dir)
    assert stat.S_IMODE(os.stat(directory).st_mode) == 0o700
    names = run_files(tmp_dir)
    assert names == ["run-000000", "run-000001", "run-000002", "run-000003"]
    for name in names:
        assert stat.S_IMODE(os.stat(os.path.join(directory, name)).st_mode) == 0o600
    assert len(list(it)) == 5
    assert os.listdir(tmp_dir) == []
