"""Faults on disk: damaged run files, and reads and writes that fail, fall short or are
interrupted (through the preloaded shim, in a child). Every failure names the run file, and
nothing is left on disk."""

import os
import random
import struct

import pytest

from lodestack import Sorter

from conftest import (
    Recorder,
    block_headers,
    needs_shim,
    payload_of,
    private_dir,
    run_child,
    run_files,
    shim_available,
)

READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"
LOST = "an earlier error lost records, so sorting cannot go on"


def block_offsets(path):
    offsets = []
    at = 0
    for compressed, _ in block_headers(path):
        offsets.append(at)
        at += 8 + compressed
    return offsets


def damage(path, how, block):
    """Damages one block of a run file; returns the message reading it must fail with."""
    at = block_offsets(path)[block]
    compressed, stream = block_headers(path)[block]
    if how == "truncated":
        # The file ends inside the block's header.
        os.truncate(path, at + 3)
        return f"{path} ended before its last record"
    with open(path, "r+b") as f:
        f.seek(at + 4)
        if how == "impossible length":
            f.write(struct.pack("<I", 131073))
            return f"{path} is corrupt: a block has an impossible length"
        # One byte less than the data decompresses to: a safe decoder must notice.
        f.write(struct.pack("<I", stream - 1))
        return f"{path} is corrupt: a block does not decompress to its length"


DAMAGE = ["truncated", "impossible length", "wrong length"]

READERS = {
    "sort": lambda s: list(s.sort()),
    "encoded": lambda s: list(s.encoded()),
    "write_to": lambda s: s.write_to(Recorder("len")),
}


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("how", DAMAGE)
def test_a_run_damaged_before_reading_fails_the_read(how, reader, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for item in (b"d" * 300, b"c", b"b", b"a"):
        s.add(item)
    # The third add waited for the first spill, so run-000000 is complete.
    run = os.path.join(private_dir(tmp_dir), "run-000000")
    message = damage(run, how, 0)
    with pytest.raises(OSError) as e:
        READERS[reader](s)
    assert type(e.value) is OSError
    assert str(e.value) == message
    assert os.listdir(tmp_dir) == []
    for again in READERS.values():
        with pytest.raises(RuntimeError) as e:
            again(s)
        assert str(e.value) == STOPPED


@pytest.mark.parametrize(("how", "block"), [("truncated", 1)] + [(how, 2) for how in DAMAGE])
def test_a_run_damaged_while_iterating_fails_the_batch_that_needs_it(how, block, tmp_dir):
    # 10,000 records of 28 stream bytes spilled as one run of three blocks. Records are
    # taken 4,096 at a time: the batch that first needs block b fails whole.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=4_000_000)
    keys = list(range(10_000))
    random.Random(11).shuffle(keys)
    for k in keys:
        s.add_encoded(k, payload_of(k, 10))
    s.add_encoded(10**6, bytes(2_000_000))
    it = s.encoded()
    assert run_files(tmp_dir) == ["run-000000"]
    run = os.path.join(private_dir(tmp_dir), "run-000000")
    assert len(block_headers(run)) == 3
    message = damage(run, how, block)
    got = []
    with pytest.raises(OSError) as e:
        while True:
            got.append(next(it))
    assert type(e.value) is OSError
    assert str(e.value) == message
    assert got == [payload_of(k, 10) for k in range(4096 * block)]
    with pytest.raises(StopIteration):
        next(it)
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError, match=STOPPED):
        s.sort()


@pytest.mark.parametrize("how", DAMAGE)
def test_a_run_damaged_during_write_to_fails_after_the_chunks_before(how, tmp_dir):
    # 8,000 payloads of 1,000 bytes spilled as one run of about 62 blocks. When the first
    # chunk is written, the merging thread is at most about 4 MiB into the run (two chunks
    # wait in the channel, one is being filled); block 40 starts past 5 MiB.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=20_000_000)
    keys = list(range(8000))
    random.Random(5).shuffle(keys)
    for k in keys:
        s.add_encoded(k, payload_of(k, 1000))
    s.add_encoded(10**6, bytes(10_000_000))
    expected = b"".join(payload_of(k, 1000) for k in range(8000)) + bytes(10_000_000)
    messages = []
    handle = Recorder("len")
    original = handle.write

    def write(data):
        if not messages:
            messages.append(damage(os.path.join(private_dir(tmp_dir), "run-000000"), how, 40))
        return original(data)

    handle.write = write
    with pytest.raises(OSError) as e:
        s.write_to(handle)
    assert type(e.value) is OSError
    assert [str(e.value)] == messages
    written = handle.joined()
    assert 1 << 20 <= len(written) < 5_242_880
    assert written == expected[: len(written)]
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError, match=READ_ONCE):
        s.sort()


# ---------------------------------------------------------------------------------------
# Writes that fail


SPILL_FAILS = """
s = Sorter(tmp_dir=TMP, max_bytes=2)
s.add_encoded(1, os.urandom(5000))
s.add_encoded(2, b"x")          # spills the first item, which cannot be written
run = os.path.join(private_dir(), "run-000000")
facts = {"run": run}
try:
    s.add_encoded(3, b"y")      # waits for that spill
except OSError as e:
    facts["first"] = [type(e).__name__, str(e), e.errno]
facts["later"] = [refusal(call) for call in (lambda: s.add(4), lambda: s.add_encoded(4, b"z"),
                                             lambda: list(s.sort()), lambda: s.add(5))]
facts["len"] = len(s)
s.close()
done(**facts, left=os.listdir(TMP))
"""


@pytest.mark.parametrize(
    ("setup", "env", "text"),
    [
        ("", {"LODESTACK_SHIM_WRITE_FAIL": "28:0"}, "No space left on device (os error 28)"),
        ("", {"LODESTACK_SHIM_WRITE_FAIL": "28:100"}, "No space left on device (os error 28)"),
        # The kernel itself refuses the write past the limit: a short write, then EFBIG.
        ("import resource\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
         "resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))\n", {},
         "File too large (os error 27)"),
    ],
    ids=["enospc-at-once", "enospc-after-100-bytes", "file-size-limit"],
)
def test_a_spill_that_cannot_be_written_stops_the_sorter(setup, env, text, tmp_dir):
    if env and not shim_available():
        pytest.skip("the test shim is not built in this tree")
    facts = run_child(setup + SPILL_FAILS, tmp_dir, shim=bool(env), env=env)
    run = facts["run"]
    assert facts["first"] == ["OSError", f"{run}: {text}", None]
    assert facts["later"] == [LOST] * 3 + [STOPPED]
    assert facts["len"] == 2
    assert facts["left"] == []


@needs_shim
@pytest.mark.parametrize(
    ("count", "max_open", "reader", "failing"),
    [(2, 64, "list(s.sort())", "run-000000"),  # the last spill, awaited by reading
     (6, 2, "list(s.sort())", "run-000005"),  # the first merge pass's run
     (6, 2, "s.write_to(Sink())", "run-000005")],
)
def test_a_failed_write_is_reported_by_reading(count, max_open, reader, failing, tmp_dir):
    facts = run_child(
        f"""
        s = Sorter(tmp_dir=TMP, max_bytes=2, max_open={max_open})
        for k in range({count}):
            s.add_encoded(k, b"p" * k)
        directory = private_dir()
        try:
            {reader}
        except OSError as e:
            first = [type(e).__name__, str(e)]
        left = os.listdir(TMP)
        try:
            s.encoded()
        except RuntimeError as e:
            again = str(e)
        done(directory=directory, first=first, left=left, again=again)
        """,
        tmp_dir,
        shim=True,
        env={"LODESTACK_SHIM_MATCH": failing, "LODESTACK_SHIM_WRITE_FAIL": "28:0"},
    )
    run = os.path.join(facts["directory"], failing)
    assert facts["first"] == ["OSError", f"{run}: No space left on device (os error 28)"]
    assert facts["left"] == []
    assert facts["again"] == STOPPED


# ---------------------------------------------------------------------------------------
# Reads that fail, and transfers that fall short


@needs_shim
def test_a_failing_read_names_the_run(tmp_dir):
    facts = run_child(
        """
        s = Sorter(tmp_dir=TMP, max_bytes=2)
        for k in range(4):
            s.add(k)
        directory = private_dir()
        os.environ["LODESTACK_SHIM_READ_FAIL"] = "5:0"
        try:
            s.encoded()
        except OSError as e:
            first = [type(e).__name__, str(e)]
        done(directory=directory, first=first, left=os.listdir(TMP))
        """,
        tmp_dir,
        shim=True,
    )
    run = os.path.join(facts["directory"], "run-000000")
    assert facts["first"] == ["OSError", f"{run}: Input/output error (os error 5)"]
    assert facts["left"] == []


@needs_shim
@pytest.mark.parametrize(
    "env",
    [
        {"LODESTACK_SHIM_WRITE_MAX": "7"},
        {"LODESTACK_SHIM_READ_MAX": "5"},
        {"LODESTACK_SHIM_READ_EINTR": "50"},
        {
            "LODESTACK_SHIM_WRITE_MAX": "4093",
            "LODESTACK_SHIM_READ_MAX": "7",
            "LODESTACK_SHIM_READ_EINTR": "9",
        },
    ],
    ids=["short-writes", "short-reads", "interrupted-reads", "all"],
)
def test_short_and_interrupted_transfers_lose_nothing(env, tmp_dir):
    # Spills, three merge passes, and a final merge, all through disturbed transfers.
    facts = run_child(
        """
        import random
        items = [(random.Random(i).randrange(50), i, os.urandom(i % 100)) for i in range(3000)]
        s = Sorter(lambda item: item[0], tmp_dir=TMP, max_bytes=32 << 10, max_open=3, threads=2)
        for item in items:
            s.add(item)
        runs = len(os.listdir(private_dir()))
        ok = list(s.sort()) == sorted(items, key=lambda item: item[0])
        done(ok=ok, runs=runs, left=os.listdir(TMP))
        """,
        tmp_dir,
        shim=True,
        env=env,
    )
    assert facts["runs"] >= 5
    assert facts["ok"] is True
    assert facts["left"] == []
