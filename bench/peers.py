"""lodestack against what people sort with today, on the same data in the same run.

    PYTHONPATH=build/release/pkg python3 bench/peers.py [--scale 1] [--repeat 3]

Three cases, each sorted by every contender:

  ints     10,000,000 random 63-bit ints, streamed from a generator and checked as they come
           out (Python objects in, Python objects out)
  tuples   5,000,000 (str, int) tuples, the str one of 100,000 words: the same
  lines    a file of 10,737,418 random 100-byte lines (1 GiB), sorted into another file

Contenders, each given the same memory budget (64 MiB) where it takes one:

  lodestack      Sorter(max_bytes=budget, threads=2).sort(items); for lines the command,
                 `lodestack -S budget --parallel 2 -o out in` (add_encoded and write_to),
                 run in the child through lodestack.cli.main
  sorted()       sorted(items); for lines, readlines() + sort() + writelines()
  heapq.merge    the pure-Python external sort recipe: sort chunks of about the budget,
                 pickle each to a temporary file (lines: write them as they are), and
                 heapq.merge the files
  SQLite         INSERT into a table of a file database, SELECT ... ORDER BY; cache_size
                 is the budget and temporary storage is on disk, so its sorter spills
  GNU sort       LC_ALL=C sort -s -S budget --parallel=2; for ints and tuples, fed text
                 from the generator and parsed back (-n; -t TAB -k1,1 -k2,2n)
  (no sort)      ints and tuples only: generating and checking alone, the floor under
                 every figure of the case

Every run is a fresh child process, timed from its start to its exit (the interpreter's
start, reading or generating the input, writing or checking the output), so its peak RSS
is its own: the child's maximum resident set plus that of the largest process it started
(GNU sort's, when Python feeds it). The growth column is that peak less the child's peak
just before the contender started (the interpreter with its modules loaded and the source
of the items made), which is what the budget is about; a GNU sort run on its own has no
interpreter under it. Runs go round-robin across contenders so that a busy
neighbour on a shared machine slows them alike; the table gives the minimum and the median
of the runs. Every contender's output is checked: the same items in the same order (count,
order and a multiset hash for objects; the file's bytes against GNU sort's for lines), and
nothing left in its temporary directory.

Writes the table to bench/results/peers.md and the chart to docs/peers.png, and after the
table the ratios lodestack is held to: ints at most 0.8x sorted() and tuples at most 0.3x
(min against min), lines at most 0.5x GNU sort, and every lodestack peak within the budget
plus 8 MiB over the interpreter's base. `--contenders` limits the run to some contenders
(GNU sort, the reference every output is checked against, always runs).
"""

import argparse
import datetime
import hashlib
import heapq
import itertools
import json
import os
import pathlib
import pickle
import platform
import random
import resource
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
MIB = 1 << 20
SEED = 20260101
LINE = 100

CASES = {
    # case: (items at scale 1, unit)
    "ints": (10_000_000, "items"),
    "tuples": (5_000_000, "items"),
    "lines": (10_737_418, "lines"),
}
CONTENDERS = {
    "ints": ["lodestack", "sorted()", "heapq.merge", "SQLite", "GNU sort", "(no sort)"],
    "tuples": ["lodestack", "sorted()", "heapq.merge", "SQLite", "GNU sort", "(no sort)"],
    "lines": ["lodestack", "sorted()", "heapq.merge", "SQLite", "GNU sort"],
}
GNU_ENV = {"LC_ALL": "C"}
# What lodestack is held to: its min time over the peer's, per case; its peak growth.
TARGETS = {"ints": ("sorted()", 0.8), "tuples": ("sorted()", 0.3), "lines": ("GNU sort", 0.5)}
SLACK_MIB = 8


# ---------------------------------------------------------------------------------------
# The data, the same in every child


def generate(case, count):
    rng = random.Random(SEED)
    bits = rng.getrandbits
    if case == "ints":
        return (bits(63) - (1 << 62) for _ in range(count))
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randint(4, 12))) for _ in range(100_000)]
    pick = rng.choice
    return ((pick(words), bits(31)) for _ in range(count))


def write_lines(path, count):
    """`count` lines of 100 bytes: a 10-character key, a blank, 88 characters and a newline,
    from 36 letters and digits."""
    import numpy as np

    rng = np.random.default_rng(SEED)
    alphabet = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz0123456789", dtype=np.uint8)
    with open(path, "wb") as out:
        for start in range(0, count, 200_000):
            n = min(200_000, count - start)
            block = alphabet[rng.integers(0, len(alphabet), size=(n, LINE), dtype=np.uint8)]
            block[:, 10] = ord(" ")
            block[:, LINE - 1] = ord("\n")
            out.write(block.tobytes())


def check(items):
    """Consumes the sorted items: (count, in order, a hash of the multiset)."""
    count = 0
    total = 0
    ordered = True
    previous = None
    for item in items:
        if count and item < previous:
            ordered = False
        previous = item
        total += hash(item)
        count += 1
    return count, ordered, total & ((1 << 64) - 1)


# ---------------------------------------------------------------------------------------
# The contenders, run inside a child


def gnu_sort_command(budget, spill, *args):
    return ["sort", "-s", "-S", f"{budget // 1024}K", "--parallel=2", "-T", str(spill), *args]


def sort_objects(contender, case, items, budget, spill):
    """An iterator of the items in order, as `contender` sorts them."""
    if contender == "lodestack":
        from lodestack import Sorter

        sorter = Sorter(max_bytes=budget, tmp_dir=spill, threads=2)
        return sorter.sort(items)
    if contender == "sorted()":
        return iter(sorted(items))
    if contender == "heapq.merge":
        return heapq_merge_objects(items, budget, spill)
    if contender == "SQLite":
        return sqlite_objects(case, items, budget, spill)
    if contender == "GNU sort":
        return gnu_sort_objects(case, items, budget, spill)
    if contender == "(no sort)":
        return items
    raise ValueError(contender)


def in_memory_size(sample):
    """Bytes an item of this kind takes in a Python list: the object, its parts, the slot."""
    sizes = []
    for item in sample:
        parts = item if isinstance(item, tuple) else ()
        sizes.append(sys.getsizeof(item) + sum(map(sys.getsizeof, parts)) + 8)
    return max(1, sum(sizes) // len(sizes))


def heapq_merge_objects(items, budget, spill):
    items = iter(items)
    first = list(itertools.islice(items, 1000))
    chunk = max(1000, budget // in_memory_size(first))
    files = []
    for batch in itertools.batched(itertools.chain(first, items), chunk):
        batch = sorted(batch)
        run = tempfile.TemporaryFile(dir=spill)
        for start in range(0, len(batch), 4096):
            pickle.dump(batch[start : start + 4096], run, 5)
        run.seek(0)
        files.append(run)

    def read(run):
        with run:
            while True:
                try:
                    yield from pickle.load(run)
                except EOFError:
                    return

    return heapq.merge(*map(read, files))


def sqlite_connect(budget, spill):
    database = sqlite3.connect(spill / "peers.db", isolation_level=None)
    database.execute("PRAGMA journal_mode = OFF")
    database.execute("PRAGMA synchronous = OFF")
    database.execute(f"PRAGMA cache_size = -{budget // 1024}")
    database.execute("PRAGMA temp_store = FILE")
    return database


def sqlite_objects(case, items, budget, spill):
    database = sqlite_connect(budget, spill)
    columns = "a" if case == "ints" else "a, b"
    database.execute(f"CREATE TABLE t ({columns})")
    database.execute("BEGIN")
    if case == "ints":
        database.executemany("INSERT INTO t VALUES (?)", ((x,) for x in items))
    else:
        database.executemany("INSERT INTO t VALUES (?, ?)", items)
    database.execute("COMMIT")
    rows = database.execute(f"SELECT {columns} FROM t ORDER BY {columns}")
    if case == "ints":
        return (row[0] for row in rows)
    return rows


def gnu_sort_objects(case, items, budget, spill):
    keys = ["-n"] if case == "ints" else ["-t", "\t", "-k1,1", "-k2,2n"]
    proc = subprocess.Popen(
        gnu_sort_command(budget, spill, *keys),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        env=dict(os.environ, **GNU_ENV),
        text=True,
        encoding="ascii",
    )
    # sort reads all of its input before it writes anything, so no thread is needed.
    proc.stdin.writelines(map(("%d\n" if case == "ints" else "%s\t%d\n").__mod__, items))
    proc.stdin.close()

    def parse():
        with proc:
            if case == "ints":
                yield from map(int, proc.stdout)
            else:
                for line in proc.stdout:
                    word, number = line.split("\t")
                    yield word, int(number)
        if proc.returncode:
            raise RuntimeError(f"sort exited with {proc.returncode}")

    return parse()


def sort_lines(contender, source, out, budget, spill):
    if contender == "lodestack":
        from lodestack import cli

        status = cli.main(["-S", f"{budget}b", "--parallel", "2", "-T", str(spill), "-o",
                           str(out), str(source)])
        if status:
            raise SystemExit(status)
    elif contender == "sorted()":
        with open(source, "rb") as f:
            lines = f.readlines()
        lines.sort()
        with open(out, "wb") as f:
            f.writelines(lines)
    elif contender == "heapq.merge":
        chunk = budget // (LINE + 33 + 8)  # the bytes object and its list slot
        files = []
        with open(source, "rb") as f:
            while lines := list(itertools.islice(f, chunk)):
                lines.sort()
                run = tempfile.TemporaryFile(dir=spill)
                run.writelines(lines)
                run.seek(0)
                files.append(run)
        with open(out, "wb") as f:
            f.writelines(heapq.merge(*files))
        for run in files:
            run.close()
    elif contender == "SQLite":
        database = sqlite_connect(budget, spill)
        database.execute("CREATE TABLE t (line BLOB)")
        database.execute("BEGIN")
        with open(source, "rb") as f:
            database.executemany("INSERT INTO t VALUES (?)", ((line,) for line in f))
        database.execute("COMMIT")
        with open(out, "wb") as f:
            f.writelines(row[0] for row in database.execute("SELECT line FROM t ORDER BY line"))
        database.close()
    else:
        raise ValueError(contender)


def child(case, contender, work, count, budget):
    spill = pathlib.Path(work) / "spill"
    if contender == "lodestack":
        import lodestack.cli  # noqa: F401  (part of the interpreter's base)
    # The base is taken once the source of the items exists (the tuples' 100,000 words),
    # since every contender holds it alike.
    items = None if case == "lines" else generate(case, count)
    base_kib = peak_rss_kib()
    if case == "lines":
        sort_lines(contender, pathlib.Path(work) / "lines", pathlib.Path(work) / "out",
                   budget, spill)
        result = {}
    else:
        count, ordered, digest = check(sort_objects(contender, case, items, budget, spill))
        result = {"count": count, "ordered": ordered, "digest": digest}
    (spill / "peers.db").unlink(missing_ok=True)
    result["self_kib"] = peak_rss_kib()
    result["base_kib"] = base_kib
    result["children_kib"] = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(json.dumps(result))


def peak_rss_kib():
    """This process's own peak RSS since it started its program. Not ru_maxrss, which
    begins at the size of the process that forked it."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


# ---------------------------------------------------------------------------------------
# Measuring, in the parent


def command(case, contender, work, count, budget):
    work = pathlib.Path(work)
    if case == "lines" and contender == "GNU sort":
        return gnu_sort_command(budget, work / "spill", "-o", str(work / "out"),
                                str(work / "lines"))
    return [sys.executable, "-P", __file__, "--child", case, contender, str(work), str(count),
            str(budget)]


def measure(case, contender, work, count, budget):
    """One run in a fresh process: (seconds, peak RSS in MiB, its growth over the
    interpreter's base in MiB, what it reported)."""
    spill = pathlib.Path(work) / "spill"
    spill.mkdir()
    # The same hash for the same str in every child, so that digests compare.
    env = dict(os.environ, PYTHONHASHSEED="0", SQLITE_TMPDIR=str(spill), TMPDIR=str(spill),
               **GNU_ENV)
    started = time.perf_counter()
    proc = subprocess.Popen(command(case, contender, work, count, budget),
                            stdout=subprocess.PIPE, env=env)
    output = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stdout.close()
    if proc.returncode:
        raise SystemExit(f"{case} / {contender} failed with status {proc.returncode}")
    lines = output.decode().strip().splitlines()
    report = json.loads(lines[-1]) if lines else {}
    if report:
        peak_kib = report["self_kib"] + report["children_kib"]
        growth_kib = peak_kib - report["base_kib"]
    else:
        # The program itself, started from this small process: its peak or, were it
        # smaller, this process's size (about 15 MiB), which none of them is.
        peak_kib = growth_kib = usage.ru_maxrss
    left = sorted(os.listdir(spill))
    if left:
        raise SystemExit(f"{case} / {contender} left {left[:5]} in its temporary directory")
    spill.rmdir()
    if case == "lines":
        out = pathlib.Path(work) / "out"
        with open(out, "rb") as f:
            report["digest"] = hashlib.file_digest(f, "blake2b").hexdigest()
        out.unlink()
    return seconds, peak_kib / 1024, growth_kib / 1024, report


def run_case(case, contenders, count, budget, repeat, work):
    runs = {name: [] for name in contenders}
    reports = {}
    for round_ in range(repeat):
        for name in contenders:
            seconds, peak, growth, report = measure(case, name, work, count, budget)
            runs[name].append((seconds, peak, growth))
            reports.setdefault(name, report)
            print(f"  {case:7} {name:12} run {round_ + 1}: {seconds:7.2f} s  {peak:7.0f} MiB"
                  f"  +{growth:.0f} MiB", flush=True)
            if {k: v for k, v in report.items() if not k.endswith("_kib")} != {
                k: v for k, v in reports[name].items() if not k.endswith("_kib")
            }:
                raise SystemExit(f"{case} / {name} gave different output from run to run")
    # Every contender must give the same output: the reference is GNU sort's.
    reference = reports["GNU sort"]
    for name, report in reports.items():
        if report.get("digest") != reference.get("digest") or report.get("count") != reference.get(
            "count"
        ):
            raise SystemExit(f"{case}: {name}'s output differs from GNU sort's")
        if name != "(no sort)" and case != "lines" and not report["ordered"]:
            raise SystemExit(f"{case}: {name}'s output is out of order")
    return runs


# ---------------------------------------------------------------------------------------
# Reporting


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) / (1 << 20)
    system = platform.freedesktop_os_release().get("PRETTY_NAME", "Linux")
    gnu = subprocess.run(["sort", "--version"], capture_output=True, text=True).stdout
    from lodestack import __version__

    return (
        f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB RAM, {system}, Linux "
        f"{platform.release()}; Python {platform.python_version()}, lodestack {__version__}, "
        f"{gnu.splitlines()[0]}, SQLite {sqlite3.sqlite_version}"
    )


def table(results, counts, budget, repeat, started):
    rows = [
        f"Measured {started:%Y-%m-%d} on {machine()}. Memory budget {budget // MIB} MiB; "
        f"min and median of {repeat} runs, each a fresh process; throughput from the min; "
        "peak RSS is the largest of the runs.",
        "",
        "| case | contender | min s | median s | throughput | peak RSS MiB | over base MiB |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for case, runs in results.items():
        count = counts[case]
        for name, measured in runs.items():
            times = [s for s, _, _ in measured]
            best = min(times)
            if case == "lines":
                speed = f"{count * LINE / 1e6 / best:,.0f} MB/s"
                label = f"lines ({count * LINE / 1e6:,.0f} MB)"
            else:
                speed = f"{count / best / 1e6:,.2f} M items/s"
                label = f"{case} ({count / 1e6:g} M)"
            rows.append(
                f"| {label} | {name} | {best:.2f} | {statistics.median(times):.2f} | {speed} | "
                f"{max(p for _, p, _ in measured):,.0f} | {max(g for _, _, g in measured):,.0f} |"
            )
    rows += ["", *targets(results, budget)]
    return "\n".join(rows) + "\n"


def targets(results, budget):
    """One line per target: lodestack's min time over its peer's, and its peak growth."""
    lines = []
    for case, runs in results.items():
        if "lodestack" not in runs:
            continue
        peer, most = TARGETS[case]
        if peer in runs:
            ratio = min(s for s, _, _ in runs["lodestack"]) / min(s for s, _, _ in runs[peer])
            verdict = "met" if ratio <= most else "MISSED"
            lines.append(f"- {case}: lodestack / {peer} = {ratio:.2f} (at most {most}: "
                         f"{verdict})")
        growth = max(g for _, _, g in runs["lodestack"])
        limit = budget / MIB + SLACK_MIB
        verdict = "met" if growth <= limit else "MISSED"
        lines.append(f"- {case}: lodestack's peak over the interpreter's base {growth:.0f} MiB "
                     f"(at most {limit:.0f}: {verdict})")
    return lines


def chart(results, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = list(results)
    figure, axes = plt.subplots(2, len(cases), figsize=(4.2 * len(cases), 6.4),
                                squeeze=False, layout="constrained")
    colours = {"lodestack": "#1f6fb4", "GNU sort": "#7a7a7a", "sorted()": "#e08a2c",
               "heapq.merge": "#4f9d4f", "SQLite": "#a04f9d", "(no sort)": "#cccccc"}
    for column, case in enumerate(cases):
        names = list(results[case])[::-1]
        colour = [colours[name] for name in names]
        seconds = [min(s for s, _, _ in results[case][name]) for name in names]
        peak = [max(p for _, p, _ in results[case][name]) for name in names]
        for row, values, unit in ((0, seconds, "s"), (1, peak, "MiB")):
            ax = axes[row][column]
            bars = ax.barh(names, values, color=colour)
            ax.bar_label(bars, labels=[f"{v:,.2f}" if unit == "s" else f"{v:,.0f}"
                                       for v in values], padding=3, fontsize=8)
            ax.set_xlim(0, max(values) * 1.25)
            ax.set_title(f"{case}: {'time, min of runs' if row == 0 else 'peak RSS'} ({unit})",
                         fontsize=10)
            ax.tick_params(labelsize=8)
            ax.spines[["top", "right"]].set_visible(False)
    figure.suptitle(title, fontsize=10)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every case's size (default 1)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--budget-mib", type=int, default=64)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--contenders", default=None,
                        help="comma-separated contenders to run (default: all)")
    parser.add_argument("--work-dir", default=None,
                        help="where the data and the spilled files go (default: $TMPDIR)")
    parser.add_argument("--table", type=pathlib.Path, default=HERE / "results" / "peers.md")
    parser.add_argument("--chart", type=pathlib.Path, default=REPO / "docs" / "peers.png")
    parser.add_argument("--make-lines", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make_lines:
        write_lines(args.make_lines[0], int(args.make_lines[1]))
        return
    if args.child:
        case, contender, work, count, budget = args.child
        child(case, contender, work, int(count), int(budget))
        return

    started = datetime.datetime.now(datetime.UTC)
    budget = args.budget_mib * MIB
    cases = args.cases.split(",")
    counts = {case: int(CASES[case][0] * args.scale) for case in cases}
    results = {}
    with tempfile.TemporaryDirectory(prefix="peers-", dir=args.work_dir) as work:
        for case in cases:
            if case == "lines":
                # In a child: numpy would grow this process, and each child's peak RSS as
                # the kernel counts it starts at the size of the process that forked it.
                subprocess.run([sys.executable, "-P", __file__, "--make-lines",
                                str(pathlib.Path(work) / "lines"), str(counts[case])],
                               check=True)
            print(f"{case}: {counts[case]:,} {CASES[case][1]}, budget {args.budget_mib} MiB",
                  flush=True)
            contenders = CONTENDERS[case]
            if args.contenders:
                chosen = set(args.contenders.split(",")) | {"GNU sort"}
                contenders = [name for name in contenders if name in chosen]
            results[case] = run_case(case, contenders, counts[case], budget, args.repeat, work)
    text = table(results, counts, budget, args.repeat, started)
    args.table.parent.mkdir(parents=True, exist_ok=True)
    args.table.write_text(text)
    print()
    print(text)
    chart(results, args.chart,
          f"Sorting against the peers, {args.budget_mib} MiB budget, "
          f"{os.cpu_count()} cores, {started:%Y-%m-%d}")
    print(f"table: {args.table}\nchart: {args.chart}")


if __name__ == "__main__":
    main()
