"""write_to: the encoded items, in order, in chunks of at least 1 MiB, written to a handle
on the calling thread while another thread merges the next chunk."""

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


@pytest.mark.parametrize("max_bytes", [1 << 30, 256 << 10], ids=["held", "spilled"])
def test_chunks_reach_1_mib_by_whole_payloads(max_bytes, tmp_dir):
    s, payloads = filled(tmp_dir, 2700, 1000, max_bytes)
    if max_bytes < 1 << 30:
        assert len(private_dirs(tmp_dir)) == 1
    handle = Recorder("len")
    assert s.write_to(handle) is None
    # 1,049 payloads of 1,000 bytes are the first to reach 1 MiB.
    assert [len(c) for c in handle.calls] == [1_049_000, 1_049_000, 602_000]
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


def test_an_empty_last_chunk_is_not_written(tmp_dir):
    s, payloads = filled(tmp_dir, 1049, 1000)
    handle = Recorder("len")
    s.write_to(handle)
    assert [len(c) for c in handle.calls] == [1_049_000]
    assert handle.joined() == b"".join(payloads)


@pytest.mark.parametrize("result", [None, -1, "ten", 2.5, 2**64, 10**30], ids=repr)
def test_a_result_that_is_not_a_count_takes_the_whole_chunk(result, tmp_dir):
    s, payloads = filled(tmp_dir, 2200, 1000)
    handle = Recorder(result)
    s.write_to(handle)
    assert [len(c) for c in handle.calls] == [1_049_000, 1_049_000, 102_000]
    assert handle.joined() == b"".join(payloads)


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


@pytest.mark.parametrize("handle", [object(), b"bytes", None], ids=["object", "bytes", "None"])
def test_a_handle_without_write_leaves_the_sorter_readable(handle, tmp_dir):
    s, _ = filled(tmp_dir, 10, 10, max_bytes=2)
    with pytest.raises(AttributeError):
        s.write_to(handle)
    assert len(private_dirs(tmp_dir)) == 1
    assert list(s.encoded()) == [payload_of(k, 10) for k in range(10)]


def test_a_failing_write_lookup_propagates_and_leaves_the_sorter_readable(tmp_dir):
    error = KeyError("write")

    class Odd:
        @property
        def write(self):
            raise error

    s, payloads = filled(tmp_dir, 3, 10)
    with pytest.raises(KeyError) as e:
        s.write_to(Odd())
    assert e.value is error
    handle = Recorder("len")
    s.write_to(handle=handle)
    assert handle.joined() == b"".join(payloads)


def test_write_to_needs_a_handle(tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(TypeError):
        s.write_to()
    with pytest.raises(TypeError):
        s.write_to(Recorder(), Recorder())
    s.add(1)
    assert list(s.sort()) == [1]


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
