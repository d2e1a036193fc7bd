"""End to end, against what a user would pick instead, on the same data in the same run.

    PYTHONPATH=build/release/pkg python3 bench/e2e_bench.py [--lines-gib 1.0] [--repeat 3]

Cases:
  ints     5 million random ints sorted by themselves: list(Sorter().sort(items)) against
           sorted(items)
  tuples   2 million (str, int) tuples: the same
  lines    about 1 GiB of 100-byte text lines (a 10-byte random key first):
           add_encoded(line, line) + write_to(file), max_bytes = 64 MiB, threads = 2, against
           LC_ALL=C sort -S 64M --parallel=2; the outputs are compared byte for byte

Every figure is measured in a fresh child process, so that its peak RSS is its own; the
table gives the minimum and the median of the runs, and the peak RSS growth over the
process's state before the case began.
"""

import argparse
import hashlib
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def make_items(case):
    rng = random.Random(7)
    if case == "ints":
        return [rng.getrandbits(63) - (1 << 62) for _ in range(5_000_000)]
    words = [f"w{rng.getrandbits(40):x}" for _ in range(50_000)]
    return [(rng.choice(words), rng.getrandbits(31)) for _ in range(2_000_000)]


def child(case, tool, path):
    """Runs one measurement and prints a JSON line."""
    result = {}
    if case in ("ints", "tuples"):
        items = make_items(case)
        base = rss_kib()
        start = time.perf_counter()
        if tool == "sorted":
            out = sorted(items)
        else:
            from lodestack import Sorter

            with Sorter(tmp_dir=path) as s:
                out = list(s.sort(items))
        result["seconds"] = time.perf_counter() - start
        assert len(out) == len(items)
        # str hashes differ between processes: compare a digest of the sampled items.
        sample = repr(out[:: len(out) // 1000]).encode()
        result["check"] = hashlib.sha256(sample).hexdigest()
    else:
        out_path = os.path.join(path, f"out-{tool}")
        base = rss_kib()
        start = time.perf_counter()
        if tool == "gnu-sort":
            env = dict(os.environ, LC_ALL="C")
            subprocess.run(["sort", "-S", "64M", "--parallel=2", "-T", path, "-o", out_path,
                            os.path.join(path, "lines")], check=True, env=env)
        else:
            from lodestack import Sorter

            with Sorter(max_bytes=64 << 20, threads=2, tmp_dir=path) as s:
                add = s.add_encoded
                with open(os.path.join(path, "lines"), "rb") as f:
                    for line in f:
                        add(line, line)
                result["add_seconds"] = time.perf_counter() - start
                with open(out_path, "wb") as out:
                    s.write_to(out)
        result["seconds"] = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF if tool != "gnu-sort" else resource.RUSAGE_CHILDREN)
    peak = usage.ru_maxrss
    result["peak_growth_mib"] = (peak - (base if tool != "gnu-sort" else 0)) / 1024
    print(json.dumps(result))


def measure(case, tool, path, repeat):
    runs = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, __file__, "--child", case, tool, path],
                             check=True, capture_output=True, text=True).stdout
        runs.append(json.loads(out.strip().splitlines()[-1]))
    return runs


def write_lines(path, gib):
    rng = random.Random(11)
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789"
    filler = bytes(rng.choice(alphabet) for _ in range(4096))
    count = int(gib * (1 << 30)) // 100
    with open(path, "wb") as f:
        block = []
        for i in range(count):
            key = bytes(rng.choice(alphabet) for _ in range(10))
            start = i % 4000
            block.append(key + b" " + filler[start:start + 88] + b"\n")
            if len(block) == 100_000:
                f.write(b"".join(block))
                block.clear()
        f.write(b"".join(block))
    return count


def row(name, runs, extra=""):
    times = [r["seconds"] for r in runs]
    peak = max(r["peak_growth_mib"] for r in runs)
    print(f"| {name} | {min(times):.2f} | {statistics.median(times):.2f} | {peak:.0f} |{extra}",
          flush=True)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=3)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--lines-gib", type=float, default=1.0)
    parser.add_argument("--cases", default="ints,tuples,lines")
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    cases = args.cases.split(",")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as path:
        print("| case | min s | median s | peak RSS growth MiB | notes")
        print("|---|---|---|---|---|")
        for case in ("ints", "tuples"):
            if case not in cases:
                continue
            ours = measure(case, "lodestack", path, args.repeat)
            theirs = measure(case, "sorted", path, args.repeat)
            assert ours[0]["check"] == theirs[0]["check"], "lodestack and sorted() disagree"
            a = row(f"{case}: lodestack", ours)
            b = row(f"{case}: sorted()", theirs)
            print(f"| {case}: lodestack / sorted() | {a / b:.2f}x | | |")
        if "lines" in cases:
            count = write_lines(os.path.join(path, "lines"), args.lines_gib)
            ours = measure("lines", "lodestack", path, args.repeat)
            theirs = measure("lines", "gnu-sort", path, args.repeat)
            with open(os.path.join(path, "out-lodestack"), "rb") as a, \
                    open(os.path.join(path, "out-gnu-sort"), "rb") as b:
                while True:
                    x, y = a.read(1 << 20), b.read(1 << 20)
                    assert x == y, "lodestack and GNU sort disagree"
                    if not x:
                        break
            adds = [r["add_seconds"] for r in ours]
            a = row(f"lines ({count:,}): lodestack", ours,
                    f" add {min(adds):.2f} s, write_to {min(r['seconds'] - r['add_seconds'] for r in ours):.2f} s")
            b = row(f"lines ({count:,}): GNU sort", theirs)
            print(f"| lines: lodestack / GNU sort | {a / b:.2f}x | | |")


if __name__ == "__main__":
    main()
