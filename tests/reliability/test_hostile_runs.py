"""Run files edited between spilling and reading: every byte flipped, cut at every offset,
absurd lengths. Reading ends in OSError naming the run, or returns exactly the true items;
all 14 items fit one batch, so an error anywhere means no item is handed out."""

import os
import struct

import pytest

from lodestack import Sorter

from conftest import block_headers, private_dir

from .conftest import scale
from .runfile import bytes_key, run_file, stream_of

STOPPED = "the sorter stopped when reading it failed or was interrupted"

SMALL = 12


def items(payload_size):
    run = [
        (b"k%03d" % i, bytes((i * 37 + j * 11) % 256 for j in range(payload_size)))
        for i in range(SMALL)
    ]
    return run + [(b"x", b"B" * 4000), (b"z", b"last")]


def spill_small_run(tmp_dir, payload_size=20):
    """A sorter whose run-000000 holds the first SMALL items and is complete on disk."""
    all_items = items(payload_size)
    half = sum(len(bytes_key(k)) + len(p) + 16 for k, p in all_items[:SMALL])
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2 * half)
    for key, payload in all_items:
        s.add_encoded(key, payload)
    return s, os.path.join(private_dir(tmp_dir), "run-000000"), [p for _, p in all_items]


def read_all(s):
    got = []
    try:
        for payload in s.encoded():
            got.append(payload)
    except OSError as e:
        return got, e
    return got, None


def corrupt(run, what):
    return f"{run} is corrupt: {what}"


def check_refused_after(s, tmp_dir):
    assert os.listdir(tmp_dir) == []
    for again in (s.encoded, s.sort):
        with pytest.raises(RuntimeError) as e:
            again()
        assert str(e.value) == STOPPED


@pytest.mark.parametrize("block", [131072, 7])
def test_the_hand_written_run_reads_back_as_the_sorter_wrote_it(block, tmp_dir):
    # The hand-made runs below must be right, or the cases prove nothing.
    s, run, truth = spill_small_run(tmp_dir)
    records = [(bytes_key(k), p) for k, p in items(20)[:SMALL]]
    with open(run, "wb") as f:
        f.write(run_file(stream_of(records), block))
    assert read_all(s) == (truth, None)
    assert os.listdir(tmp_dir) == []


@pytest.mark.parametrize(
    "xor",
    [0xFF, *(pytest.param(x, marks=pytest.mark.stress) for x in (0x01, 0x80))],
    ids=["ff", "low-bit", "high-bit"],
)
def test_every_byte_flipped(xor, tmp_dir):
    s, run, truth = spill_small_run(tmp_dir)
    ((compressed, _),) = block_headers(run)
    with open(run, "rb") as f:
        original = f.read()
    s.close()
    silent = 0
    for at in range(len(original)):
        s, run, _ = spill_small_run(tmp_dir)
        damaged = bytearray(original)
        damaged[at] ^= xor
        with open(run, "wb") as f:
            f.write(damaged)
        got, error = read_all(s)
        where = f"byte {at} of {len(original)} xor {xor:#x}"
        if error is None:
            # Without a checksum a flipped literal can pass, but never a flipped header, and
            # the count of items is the descriptor's whatever the data says.
            assert at >= 8, f"{where}: a damaged block header was read as valid"
            assert len(got) == len(truth), where
            # The intact sources' items all come out, in their order; a damaged key may
            # only move the run's items around them.
            intact = [p for p in got if p in truth[SMALL:]]
            assert intact == truth[SMALL:], where
            silent += got != truth
            s.close()
        else:
            assert type(error) is OSError, where
            assert got == [], where
            assert str(error) in {
                corrupt(run, "a block has an impossible length"),
                corrupt(run, "a block does not decompress to its length"),
                corrupt(run, "a record is longer than the rest of the run"),
                f"{run} ended before its last record",
            }, where
            check_refused_after(s, tmp_dir)
        assert os.listdir(tmp_dir) == [], where
    print(f"{silent} of {len(original)} flips went unnoticed (literal bytes)")
    assert compressed + 8 == len(original)


@pytest.mark.parametrize(
    "block",
    [131072, pytest.param(16, marks=pytest.mark.stress), pytest.param(5, marks=pytest.mark.stress)],
    ids=["one-block", "16-byte-blocks", "5-byte-blocks"],
)
def test_cut_at_every_offset(block, tmp_dir):
    # Hand-written blocks as small as 5 bytes put every cut inside a header, a length field,
    # a key and a payload, on both sides of a block boundary.
    records = [(bytes_key(k), p) for k, p in items(20)[:SMALL]]
    whole = run_file(stream_of(records), block)
    for cut in range(len(whole) + 1):
        s, run, truth = spill_small_run(tmp_dir)
        with open(run, "wb") as f:
            f.write(whole[:cut])
        got, error = read_all(s)
        if cut == len(whole):
            assert (got, error) == (truth, None)
            continue
        assert error is not None, f"cut at {cut} of {len(whole)} was read as complete"
        assert type(error) is OSError
        assert (got, str(error)) == ([], f"{run} ended before its last record"), cut
        check_refused_after(s, tmp_dir)


def absurd_headers():
    # (compressed length, stream length) of a block header, and the message.
    impossible = "a block has an impossible length"
    return [
        ((0, 100), impossible),
        ((100, 0), impossible),
        ((100, 131073), impossible),
        ((0xFFFFFFFF, 0xFFFFFFFF), impossible),
        ((0xFFFFFFFF, 100), impossible),
        ((131072 * 110 // 100 + 21, 131072), impossible),
        # Plausible lengths that do not match the data.
        ((50, 131072), "a block does not decompress to its length"),
    ]


@pytest.mark.parametrize("header, message", absurd_headers())
def test_absurd_block_lengths(header, message, tmp_dir):
    s, run, _ = spill_small_run(tmp_dir)
    with open(run, "r+b") as f:
        f.write(struct.pack("<II", *header))
    got, error = read_all(s)
    assert type(error) is OSError
    assert (got, str(error)) == ([], corrupt(run, message))
    check_refused_after(s, tmp_dir)


@pytest.mark.parametrize("record", [0, 5, SMALL - 1], ids=["first", "middle", "last"])
@pytest.mark.parametrize(
    "field, value",
    [("key", 0xFFFFFFFF), ("payload", 0xFFFFFFFF), ("key", "rest+1"), ("payload", "rest+1")],
    ids=["key-4GiB", "payload-4GiB", "key-just-too-long", "payload-just-too-long"],
)
def test_absurd_record_lengths(record, field, value, tmp_dir):
    records = [(bytes_key(k), p) for k, p in items(20)[:SMALL]]
    stream = bytearray(stream_of(records))
    at = len(stream_of(records[:record]))
    if field == "payload":
        at += 4 + len(records[record][0])
    if value == "rest+1":
        value = len(stream) - at - 4 + 1
    struct.pack_into("<I", stream, at, value)
    s, run, _ = spill_small_run(tmp_dir)
    with open(run, "wb") as f:
        f.write(run_file(bytes(stream), 64))
    got, error = read_all(s)
    assert type(error) is OSError
    assert (got, str(error)) == ([], corrupt(run, "a record is longer than the rest of the run"))
    check_refused_after(s, tmp_dir)


@pytest.mark.stress
def test_random_damage_to_a_run_of_many_blocks(tmp_dir, rng):
    # A run of about 1,000 blocks of 300 bytes, flipped or cut anywhere. The error names
    # the run and ends the iteration at a batch boundary; a success hands out every item.
    keys = [b"%06d" % i for i in range(6000)]
    records = [(bytes_key(k), k * 8) for k in keys]
    whole = run_file(stream_of(records), 300)
    half = sum(len(k) + len(p) + 16 for k, p in records)
    for trial in range(scale(20, 300)):
        with Sorter(tmp_dir=tmp_dir, max_bytes=2 * half) as s:
            for k in keys:
                s.add_encoded(k, k * 8)
            s.add_encoded(b"x", b"B" * 10**6)
            s.add_encoded(b"z", b"last")
            run = os.path.join(private_dir(tmp_dir), "run-000000")
            damaged = bytearray(whole)
            cut = rng.random() < 0.5
            if cut:
                damaged = damaged[: rng.randrange(len(damaged))]
            else:
                damaged[rng.randrange(len(damaged))] ^= rng.randrange(1, 256)
            with open(run, "wb") as f:
                f.write(damaged)
            got, error = read_all(s)
            truth = [k * 8 for k in keys] + [b"B" * 10**6, b"last"]
            assert len(got) <= len(truth), trial
            if error is None:
                assert len(got) == len(truth), trial
            else:
                assert type(error) is OSError
                assert str(error).startswith(run), trial
                # Batches of 4,096 records: what came out before the error is whole
                # batches; a cut file cannot change what precedes the cut.
                assert len(got) % 4096 == 0, trial
                if cut:
                    assert got == truth[: len(got)], trial
        assert os.listdir(tmp_dir) == []
