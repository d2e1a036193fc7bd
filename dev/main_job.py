"""The main job: sort a data set several times larger than the memory budget, then prove it.

Run by `make` (PYTHONPATH pointing at the staged package). Three sorts:

0. Lines, through the `lodestack` command: a text file of tab-separated lines (a word that
   repeats, a number, filler of varying length), several times the `-S` budget, sorted
   whole and then by its numeric field (`-t TAB -k2n,2`), each output compared byte for
   byte with GNU sort's (`LC_ALL=C sort` with the same options) on the same file.
1. Records: fixed 100-byte records with a 20-bit integer key, so most keys repeat, are added
   with `add_encoded` and written in order with `write_to` into a file. The budget is a
   fraction of the data, so halves are spilled while adding, and `max_open` is set low enough
   that finishing needs merge passes before the final merge.
2. Objects: tuples sorted with `sort()` through a key function and pickle, in a small
   budget, compared with Python's own stable `sorted`.

Every record is a pure function of its sequence number, so the check needs nothing but the
output: it rebuilds each record from the sequence number it carries and compares all 100
bytes, checks that keys never decrease and that equal keys keep the order they were added in
(increasing sequence numbers), and that every sequence number appears exactly once. It also
checks that the sorter removed everything it spilled.

Exits non-zero on any failure, including a lodestack that cannot be imported.
"""

import argparse
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

from lodestack import Sorter

RECORD = np.dtype(
    [("key", ">u8"), ("seq", ">u8"), ("noise", ">u8", (6,)), ("text", "S36")]
)
assert RECORD.itemsize == 100
TEXT = b"lodestack sorts what memory can't ho"
KEY_BITS = 20
SEED = np.uint64(0x6C6F6465737461)
BLOCK = 1 << 16
MIB = 1 << 20


def mix(x: np.ndarray) -> np.ndarray:
    """A bijective 64-bit mixer (splitmix64's finaliser): a cheap, repeatable noise source."""
    x = x + np.uint64(0x9E3779B97F4A7C15)
    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def make_records(seq: np.ndarray) -> np.ndarray:
    """The records with these sequence numbers; the same numbers always give the same bytes."""
    seq = seq.astype(np.uint64)
    records = np.empty(len(seq), dtype=RECORD)
    records["key"] = mix(seq ^ SEED) >> np.uint64(64 - KEY_BITS)
    records["seq"] = seq
    for i in range(6):
        records["noise"][:, i] = mix(seq * np.uint64(8) + np.uint64(i + 1))
    records["text"] = TEXT
    return records


def maxrss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def leftovers(tmp_dir: pathlib.Path) -> list[str]:
    return sorted(str(p.relative_to(tmp_dir)) for p in tmp_dir.rglob("*"))


def sort_records(args: argparse.Namespace, work: pathlib.Path) -> None:
    n = args.records
    spill_dir = work / "spill"
    spill_dir.mkdir()
    out_path = work / "sorted.bin"
    print(
        f"records: {n:,} of {RECORD.itemsize} bytes ({n * RECORD.itemsize / MIB:,.1f} MiB) "
        f"in a budget of {args.max_bytes / MIB:,.1f} MiB, max_open {args.max_open}, "
        f"threads {args.threads}"
    )
    rss_before = maxrss_mib()

    started = time.perf_counter()
    sorter = Sorter(
        max_bytes=args.max_bytes,
        tmp_dir=spill_dir,
        max_open=args.max_open,
        threads=args.threads,
    )
    add = sorter.add_encoded
    size = RECORD.itemsize
    for start in range(0, n, BLOCK):
        block = make_records(np.arange(start, min(start + BLOCK, n), dtype=np.uint64))
        data = block.tobytes()
        for offset, key in zip(range(0, len(data), size), block["key"].tolist()):
            add(key, data[offset : offset + size])
    added = time.perf_counter()
    runs = sum(1 for _ in spill_dir.glob("lodestack-*/run-*"))
    if len(sorter) != n:
        raise SystemExit(f"FAIL: len(sorter) is {len(sorter):,}, not {n:,}")

    with open(out_path, "wb") as out:
        sorter.write_to(out)
    written = time.perf_counter()
    sorter.close()
    rss_sorting = maxrss_mib()

    total = written - started
    print(f"  add        {added - started:7.2f} s  {n / (added - started):>12,.0f} records/s"
          f"  ({runs} runs spilled while adding)")
    print(f"  write_to   {written - added:7.2f} s  {n / (written - added):>12,.0f} records/s")
    print(f"  total      {total:7.2f} s  {n / total:>12,.0f} records/s"
          f"  {n * size / MIB / total:,.1f} MiB/s")
    print(f"  peak RSS   {rss_sorting:,.0f} MiB (before the sorter: {rss_before:,.0f} MiB)")

    left = leftovers(spill_dir)
    if left:
        raise SystemExit(f"FAIL: the sorter left {left[:5]} in its spill directory")
    check_records(out_path, n)
    print(f"  check      ok: {n:,} records in key order, equal keys in the order added, "
          "each exactly once and intact; nothing left on disk")


def check_records(path: pathlib.Path, n: int) -> None:
    size = RECORD.itemsize
    length = path.stat().st_size
    if length != n * size:
        raise SystemExit(f"FAIL: the output holds {length:,} bytes, not {n * size:,}")
    seen = np.zeros(n, dtype=bool)
    last_key, last_seq = -1, -1
    with open(path, "rb") as f:
        position = 0
        while chunk := f.read(BLOCK * size):
            records = np.frombuffer(chunk, dtype=RECORD)
            keys = records["key"].astype(np.int64)
            seqs = records["seq"].astype(np.int64)
            if seqs.min() < 0 or seqs.max() >= n:
                raise SystemExit(f"FAIL: a record near #{position:,} has no valid sequence number")
            expected = make_records(seqs.astype(np.uint64))
            bad = np.flatnonzero(records.view(np.uint8).reshape(-1, size)
                                 != expected.view(np.uint8).reshape(-1, size))
            if bad.size:
                raise SystemExit(f"FAIL: record #{position + bad[0] // size:,} is corrupt")
            keys = np.concatenate(([last_key], keys))
            seqs = np.concatenate(([last_seq], seqs))
            in_order = (keys[1:] > keys[:-1]) | ((keys[1:] == keys[:-1]) & (seqs[1:] > seqs[:-1]))
            if not in_order.all():
                first = int(np.flatnonzero(~in_order)[0])
                raise SystemExit(
                    f"FAIL: record #{position + first:,} (key {keys[first + 1]}, "
                    f"seq {seqs[first + 1]}) comes after key {keys[first]}, seq {seqs[first]}"
                )
            if seen[seqs[1:]].any():
                raise SystemExit(f"FAIL: a record near #{position:,} appears twice")
            seen[seqs[1:]] = True
            last_key, last_seq = int(keys[-1]), int(seqs[-1])
            position += len(records)
    if not seen.all():
        raise SystemExit(f"FAIL: {int((~seen).sum()):,} records are missing")


def sort_objects(args: argparse.Namespace, work: pathlib.Path) -> None:
    n = args.objects
    rng = random.Random(args.seed)
    words = ["".join(rng.choices("abcdefghij", k=rng.randint(0, 6))) for _ in range(1000)]
    items = [
        (rng.choice(words), rng.randrange(-50, 50) / 4, rng.getrandbits(70) - (1 << 69), i)
        for i in range(n)
    ]

    def key(item: tuple[str, float, int, int]) -> tuple[float, str, int]:
        return (item[1], item[0], item[2] >> 60)

    spill_dir = work / "objects"
    spill_dir.mkdir()
    budget = 4 * MIB
    started = time.perf_counter()
    with Sorter(key, max_bytes=budget, tmp_dir=spill_dir, max_open=4) as sorter:
        result = list(sorter.sort(items))
    elapsed = time.perf_counter() - started
    print(f"objects: {n:,} tuples through a key function and pickle, in a budget of "
          f"{budget / MIB:,.0f} MiB, max_open 4")
    print(f"  sort()     {elapsed:7.2f} s  {n / elapsed:>12,.0f} items/s")
    expected = sorted(items, key=key)
    if result != expected:
        first = next(i for i, (a, b) in enumerate(zip(result, expected)) if a != b)
        raise SystemExit(f"FAIL: item #{first} is {result[first]!r}, expected {expected[first]!r}")
    left = leftovers(spill_dir)
    if left:
        raise SystemExit(f"FAIL: the sorter left {left[:5]} in its spill directory")
    print(f"  check      ok: equal to Python's stable sorted(); nothing left on disk")


# Runs a program and reports its status, wall time and peak RSS. Run in a small interpreter
# of its own: a process's peak RSS, as the kernel counts it, starts at the size of the
# process that started it, and this one holds large arrays.
MEASURE = """
import json, os, subprocess, sys, time
started = time.perf_counter()
proc = subprocess.Popen(sys.argv[1:])
_, status, usage = os.wait4(proc.pid, 0)
print(json.dumps({"status": os.waitstatus_to_exitcode(status),
                  "seconds": time.perf_counter() - started, "peak_kib": usage.ru_maxrss}))
"""


def measured(command: list[str], env: dict[str, str] | None = None) -> dict[str, float]:
    out = subprocess.run([sys.executable, "-c", MEASURE, *command], env=env,
                         stdout=subprocess.PIPE, check=True).stdout
    result = json.loads(out)
    if result["status"] != 0:
        raise SystemExit(f"FAIL: {' '.join(command[:3])} ... exited with {result['status']}")
    return result


def write_lines(path: pathlib.Path, n: int, seed: int) -> int:
    """Tab-separated lines: a word of 2,000 (so most repeat), a number (ints, decimals,
    negatives, and now and then none), and 20 to 180 bytes of filler."""
    rng = np.random.default_rng(seed)
    words = [b"w%x" % int(x) for x in rng.integers(0, 1 << 24, size=2000)]
    alphabet = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789", dtype=np.uint8)
    text = alphabet[rng.integers(0, len(alphabet), size=1 << 20)].tobytes()
    numbers = [b"%d" % i for i in range(-500, 500)] + [b"%d.%d" % (i, i * 7 % 10) for i in
                                                       range(-50, 50)] + [b"", b"-", b"x1"]
    total = 0
    with open(path, "wb") as out:
        for start in range(0, n, BLOCK):
            count = min(BLOCK, n - start)
            word = rng.integers(0, len(words), size=count).tolist()
            number = rng.integers(0, len(numbers), size=count).tolist()
            offset = rng.integers(0, len(text) - 200, size=count).tolist()
            length = rng.integers(20, 181, size=count).tolist()
            block = b"".join(
                b"%s\t%s\t%s\n" % (words[w], numbers[k], text[o : o + m])
                for w, k, o, m in zip(word, number, offset, length)
            )
            total += len(block)
            out.write(block)
    return total


def same_files(ours: pathlib.Path, theirs: pathlib.Path) -> str | None:
    """None when the files are equal, else where they first differ."""
    line = 1
    with open(ours, "rb") as a, open(theirs, "rb") as b:
        while True:
            x, y = a.read(MIB), b.read(MIB)
            if x != y:
                at = next((i for i, (p, q) in enumerate(zip(x, y)) if p != q), min(len(x), len(y)))
                return f"line {line + x.count(b'\n', 0, at):,}"
            if not x:
                return None
            line += x.count(b"\n")


def sort_lines(args: argparse.Namespace, work: pathlib.Path) -> None:
    n = args.lines
    source = work / "lines.txt"
    size = write_lines(source, n, args.seed)
    budget = args.lines_buffer
    print(f"lines: {n:,} lines ({size / MIB:,.1f} MiB, {size / budget:.1f} times the budget) "
          f"sorted by the lodestack command with -S {budget // MIB}M --parallel 2, "
          "checked against LC_ALL=C sort")
    spill = work / "lines-spill"
    spill.mkdir()
    gnu_env = dict(os.environ, LC_ALL="C")
    for label, keys in (("whole lines", []), ("by -k2n,2", ["-t", "\t", "-k2n,2"])):
        ours, theirs = work / "ours.txt", work / "theirs.txt"
        mine = measured([sys.executable, "-P", "-m", "lodestack", "-S", f"{budget}b",
                         "--parallel", "2", "-T", str(spill), *keys, "-o", str(ours),
                         str(source)])
        gnu = measured(["sort", "-S", f"{budget}b", "--parallel=2", "-T", str(spill),
                        *keys, "-o", str(theirs), str(source)], env=gnu_env)
        print(f"  {label:11}  lodestack {mine['seconds']:6.2f} s  {n / mine['seconds']:>10,.0f} "
              f"lines/s  {size / MIB / mine['seconds']:6.1f} MiB/s  peak RSS "
              f"{mine['peak_kib'] / 1024:4.0f} MiB")
        print(f"  {'':11}  GNU sort  {gnu['seconds']:6.2f} s  {n / gnu['seconds']:>10,.0f} "
              f"lines/s  {size / MIB / gnu['seconds']:6.1f} MiB/s  peak RSS "
              f"{gnu['peak_kib'] / 1024:4.0f} MiB")
        if ours.stat().st_size != size:
            raise SystemExit(f"FAIL: lodestack wrote {ours.stat().st_size:,} bytes, not {size:,}")
        difference = same_files(ours, theirs)
        if difference is not None:
            raise SystemExit(f"FAIL: lodestack's output differs from GNU sort's at {difference}")
        left = leftovers(spill)
        if left:
            raise SystemExit(f"FAIL: the command left {left[:5]} in its temporary directory")
        ours.unlink()
        theirs.unlink()
        print(f"  {'':11}  check     ok: byte for byte GNU sort's output; nothing left on disk")
    source.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=4_000_000)
    parser.add_argument("--max-bytes", type=int, default=64 * MIB)
    parser.add_argument("--max-open", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--objects", type=int, default=300_000)
    parser.add_argument("--lines", type=int, default=1_500_000)
    parser.add_argument("--lines-buffer", type=int, default=32 * MIB)
    parser.add_argument("--seed", type=int, default=20)
    parser.add_argument("--tmp-dir", type=pathlib.Path, default=None,
                        help="where to spill and write the output (default: the temp dir)")
    args = parser.parse_args()

    print(f"lodestack main job, Python {sys.version.split()[0]}, {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory(prefix="main-job-", dir=args.tmp_dir) as work:
        sort_lines(args, pathlib.Path(work))
        sort_records(args, pathlib.Path(work))
        sort_objects(args, pathlib.Path(work))
    print("main job: ok")


if __name__ == "__main__":
    main()
