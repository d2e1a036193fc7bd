"""write_to: the encoded items, in order, in chunks of about 1 MiB, written on the calling
thread while another thread merges the next chunk."""

import os
import random
import threading

import pytest

from lodestack import Sorter

from conftest import Recorder, lodestack_threads, payload_of, private_dirs

CLOSED = "I/O operation on a closed sorter"
READ_ONCE = "a sorter can be read only once"
MIB = 1 << 20


def filled(tmp_dir, count, size, max_bytes=1 << 30, seed=0):
    """A sorter of `count` payloads of `size` bytes added in shuffled key order, and the
    payloads in key order."""
    s = Sorter(tmp_dir=tmp_dir, max_bytes=max_bytes)
    keys = list(range(count))
    random.Random(seed).shuffle(keys)
    for k in keys:
        s.add_encoded(k, payload_of(k, size))
    return s, [payload_of(k, size) for k in range(count)]


@pytest.mark.parametrize(
    ("count", "max_bytes", "result", "lengths"),
    [
        # 1,049 payloads of 1,000 bytes are the first to reach 1 MiB.
        (2700, 1 << 30, "len", [1_049_000, 1_049_000, 602_000]),
        (2700, 256 << 10, "len", [1_049_000, 1_049_000, 602_000]),
        (1049, 1 << 30, "len", [1_049_000]),  # no empty last chunk
        # A result that is not a count takes the whole chunk.
        *[(2200, 1 << 30, r, [1_049_000, 1_049_000, 102_000])
          for r in (None, -1, "ten", 2.5, 2**64, 10**30)],
    ],
)
def test_chunks_reach_1_mib_by_whole_payloads(count, max_bytes, result, lengths, tmp_dir):
    s, payloads = filled(tmp_dir, count, 1000, max_bytes)
    assert len(private_dirs(tmp_dir)) == (max_bytes < 1 << 30)
    handle = Recorder(result)
    assert s.write_to(handle) is None
    assert [len(c) for c in handle.calls] == lengths
    assert all(type(c) is bytes for c in handle.calls)
    assert handle.joined() == b"".join(payloads)
    assert os.listdir(tmp_dir) == []


def test_a_payload_is_never_split_between_chunks(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    big = os.urandom(3 * MIB)
    s.add_encoded(1, big)
    s.add_encoded(0, b"a" * 1000)
    s.add_encoded(2, b"z" * 1000)
    handle = Recorder("len")
    s.write_to(handle)
    assert handle.calls == [b"a" * 1000 + big, b"z" * 1000]


def test_short_writes_are_continued_with_the_rest(tmp_dir):
    s, payloads = filled(tmp_dir, 1100, 1000)
    offered = []
    taken = []

    class Small:
        def write(self, data):
            offered.append(len(data))
            taken.append(bytes(data[:4096]))
            return min(len(data), 4096)

    s.write_to(Small())
    assert b"".join(taken) == b"".join(payloads)
    first = list(range(1_049_000, 0, -4096))
    second = list(range(51_000, 0, -4096))
    assert offered == first + second


@pytest.mark.parametrize("on_call", [1, 2])
def test_a_write_of_nothing_fails(on_call, tmp_dir):
    s, payloads = filled(tmp_dir, 2700, 1000, max_bytes=256 << 10)
    calls = []

    class Stuck:
        def write(self, data):
            calls.append(len(data))
            return 0 if len(calls) == on_call else 100

    with pytest.raises(OSError) as e:
        s.write_to(Stuck())
    assert type(e.value) is OSError
    assert str(e.value) == "the handle wrote no bytes"
    assert calls == [1_049_000, 1_049_000 - 100][:on_call]
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError) as e:
        s.sort()
    assert str(e.value) == READ_ONCE


def test_an_exception_from_write_propagates_unchanged(tmp_dir):
    s, _ = filled(tmp_dir, 5000, 1000, max_bytes=256 << 10)
    error = BrokenPipeError("reader went away")
    calls = []

    class Broken:
        def write(self, data):
            calls.append(len(data))
            if len(calls) == 2:
                raise error
            return len(data)

    with pytest.raises(BrokenPipeError) as e:
        s.write_to(Broken())
    assert e.value is error
    assert len(calls) == 2
    assert os.listdir(tmp_dir) == []
    assert lodestack_threads() == []
    with pytest.raises(RuntimeError, match=READ_ONCE):
        s.encoded()


class RaisingWrite:
    @property
    def write(self):
        raise KeyError("write")


@pytest.mark.parametrize(
    ("args", "error"),
    [((object(),), AttributeError), ((b"bytes",), AttributeError), ((None,), AttributeError),
     ((RaisingWrite(),), KeyError), ((), TypeError), ((Recorder(), Recorder()), TypeError)],
    ids=["object", "bytes", "None", "raising-lookup", "no-handle", "two-handles"],
)
def test_a_handle_without_write_leaves_the_sorter_readable(args, error, tmp_dir):
    s, payloads = filled(tmp_dir, 10, 10, max_bytes=2)
    with pytest.raises(error):
        s.write_to(*args)
    assert len(private_dirs(tmp_dir)) == 1
    handle = Recorder("len")
    s.write_to(handle=handle)
    assert handle.joined() == b"".join(payloads)


def test_writes_happen_on_the_calling_thread_while_a_merging_thread_runs(tmp_dir):
    # Six chunks: when the first is written the merging thread cannot have sent them all,
    # since at most two wait in the channel and it fills one more.
    s, payloads = filled(tmp_dir, 6000, 1100, max_bytes=1 << 20)
    seen = []

    class Watch:
        def write(self, data):
            seen.append((threading.get_ident(), lodestack_threads()))
            return len(data)

    s.write_to(Watch())
    assert len(seen) == 7
    assert {ident for ident, _ in seen} == {threading.get_ident()}
    assert "lodestack-merge" in seen[0][1]
    assert lodestack_threads() == []


def test_closing_during_write_to_does_not_stop_it(tmp_dir):
    s, payloads = filled(tmp_dir, 4000, 1000, max_bytes=256 << 10)
    handle = Recorder("len")
    original = handle.write

    def write(data):
        if not handle.calls:
            t = threading.Thread(target=s.close)
            t.start()
            t.join()
        return original(data)

    handle.write = write
    s.write_to(handle)
    assert handle.joined() == b"".join(payloads)
    assert os.listdir(tmp_dir) == []
    with pytest.raises(ValueError) as e:
        s.sort()
    assert str(e.value) == CLOSED
