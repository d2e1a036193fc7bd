"""What reverse=True and unique=True cost, against the ascending sort of the same data.

    PYTHONPATH=build/release/pkg python3 -P bench/order_bench.py [--mib 256] [--repeat 3]

Two files of 100-byte text lines (a 10-byte key, a space, 88 bytes of filler, a newline), each
sorted through add_encoded + write_to with max_bytes = 32 MiB and threads = 2, so that it
spills about 16 runs:

  distinct  random keys, each line keyed by itself: ascending against reverse=True
  dups      keys drawn from 20,000, each line keyed by its first 10 bytes (about 670
            lines per key at 256 MiB): ascending against unique=True

Every run is a fresh process, timed from the first add to the end of write_to; the runs of
a case alternate between its two contenders (each first as often as the other, after the
previous output was synced to disk), so that a busy neighbour slows both alike, and the
minimum counts. Beside it, the processor time of the process (all its threads), which a
neighbour disturbs less than the wall clock. Targets: reverse within 5% of ascending; unique faster than ascending,
since it writes and merges less. Each output is checked for order (and, for unique, for one
line per key) as it is read back.
"""

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

MAX_BYTES = 32 << 20
DUP_KEYS = 20_000


def write_lines(path, mib, dups):
    rng = random.Random(3 if dups else 5)
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789"
    filler = bytes(rng.choice(alphabet) for _ in range(4096))
    pool = [bytes(rng.choice(alphabet) for _ in range(10)) for _ in range(DUP_KEYS)]
    count = (mib << 20) // 100
    with open(path, "wb") as f:
        block = []
        for i in range(count):
            key = rng.choice(pool) if dups else bytes(rng.choice(alphabet) for _ in range(10))
            start = i % 4000
            block.append(key + b" " + filler[start:start + 88] + b"\n")
            if len(block) == 100_000:
                f.write(b"".join(block))
                block.clear()
        f.write(b"".join(block))
    return count


def child(mode, source, out_path):
    """Sorts `source` into `out_path` one way and prints a JSON line."""
    from lodestack import Sorter

    by_prefix = mode in ("ascending-by-key", "unique")
    start = time.perf_counter()
    with Sorter(max_bytes=MAX_BYTES, threads=2, tmp_dir=os.path.dirname(out_path),
                reverse=mode == "reverse", unique=mode == "unique") as s:
        add = s.add_encoded
        with open(source, "rb") as f:
            if by_prefix:
                for line in f:
                    add(line[:10], line)
            else:
                for line in f:
                    add(line, line)
        added = time.perf_counter()
        with open(out_path, "wb") as out:
            s.write_to(out)
    end = time.perf_counter()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    stats = dict(zip(type(s.stats).__match_args__, s.stats))
    print(json.dumps({"seconds": end - start, "write_to": end - added,
                      "cpu": usage.ru_utime + usage.ru_stime, "stats": stats}))


def check(path, by_prefix=False, descending=False, strict=False):
    """Reads an output back, checking its order; returns its number of lines."""
    previous, lines = None, 0
    with open(path, "rb") as f:
        for line in f:
            key = line[:10] if by_prefix else line
            if previous is not None:
                first, second = (key, previous) if descending else (previous, key)
                assert first < second or (not strict and first == second), \
                    f"{path}: out of order at line {lines}"
            previous, lines = key, lines + 1
    return lines


def measure(modes, source, path, repeat):
    runs = {mode: [] for mode in modes}
    for i in range(repeat):
        # Each contender goes first as often as second, and starts after the last run's
        # output has reached the disk: its writeback would otherwise slow the next run.
        for mode in modes if i % 2 == 0 else modes[::-1]:
            os.sync()
            out = subprocess.run([sys.executable, "-P", __file__, "--child", mode, source,
                                  os.path.join(path, f"out-{mode}")],
                                 check=True, capture_output=True, text=True).stdout
            runs[mode].append(json.loads(out.strip().splitlines()[-1]))
    return runs


def row(name, runs):
    times = [r["seconds"] for r in runs]
    cpu = min(r["cpu"] for r in runs)
    print(f"| {name} | {min(times):.2f} | {statistics.median(times):.2f} | "
          f"{min(r['write_to'] for r in runs):.2f} | {cpu:.2f} |", flush=True)
    return min(times), cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=3)
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as path:
        distinct = os.path.join(path, "distinct")
        dups = os.path.join(path, "dups")
        count = write_lines(distinct, args.mib, dups=False)
        write_lines(dups, args.mib, dups=True)
        print(f"{count:,} lines of 100 bytes per file, max_bytes 32 MiB, threads 2, "
              f"min of {args.repeat}")
        print("| case | min s | median s | min write_to s | min cpu s |")
        print("|---|---|---|---|---|")

        runs = measure(["ascending", "reverse"], distinct, path, args.repeat)
        assert check(os.path.join(path, "out-ascending")) == count
        assert check(os.path.join(path, "out-reverse"), descending=True) == count
        a = row("distinct: ascending", runs["ascending"])
        r = row("distinct: reverse=True", runs["reverse"])
        ratio = r[0] / a[0]
        print(f"| reverse / ascending | {ratio:.3f}x | target <= 1.05 "
              f"{'ok' if ratio <= 1.05 else 'MISSED'} | | {r[1] / a[1]:.3f}x |")

        runs = measure(["ascending-by-key", "unique"], dups, path, args.repeat)
        assert check(os.path.join(path, "out-ascending-by-key"), by_prefix=True) == count
        kept = check(os.path.join(path, "out-unique"), by_prefix=True, strict=True)
        stats = runs["unique"][0]["stats"]
        assert stats["dropped"] == count - kept, stats
        a = row("dups: ascending", runs["ascending-by-key"])
        u = row(f"dups: unique=True ({kept:,} kept)", runs["unique"])
        ratio = u[0] / a[0]
        print(f"| unique / ascending | {ratio:.3f}x | target < 1 "
              f"{'ok' if ratio < 1 else 'MISSED'} | | {u[1] / a[1]:.3f}x |")
        for mode in ("ascending-by-key", "unique"):
            st = runs[mode][0]["stats"]
            print(f"{mode}: {st['runs']} runs, {st['spilled_bytes'] / 2**20:.0f} MiB spilled, "
                  f"{st['compressed_bytes'] / 2**20:.0f} MiB on disk, "
                  f"{st['dropped']:,} dropped")


if __name__ == "__main__":
    main()
