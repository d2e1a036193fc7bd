"""The `lodestack` command against GNU sort, option for option, on 1 GiB of generated text.

    PYTHONPATH=build/release/pkg python3 bench/cli_bench.py [--size 1G] [--buffer 256M]
        [--repeat 2] [--rows "NAME;..."] [--tmp-dir DIR]

Each line is a number, a word, a version, two integers and filler, so that every row has
something to order by:

    3.2406e-07 quartz pkg-2.10.3,88123,-412,kqzvwlm...

Rows: whole lines; -k2,2; -t, -k3n,3; -k2,2 -k1,1r; -u; -g; -V; and -m of 8 files (the
same text cut in 8 and sorted beforehand by GNU sort). Each row runs
`lodestack -S BUFFER --parallel 2 -T DIR -o OUT ...` and `LC_ALL=C sort` with the same
arguments, --repeat times each, alternating which goes first; the table gives the fastest
run's wall-clock seconds and the larger peak resident set of the two tools' runs (the
child's maximum RSS, from wait4). Every output must be byte for byte GNU sort's, or the
script fails. Writes the table to bench/results/cli.md too.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
MIB = 1 << 20
SEED = 20261207

ROWS = {
    "whole lines": [],
    "-k2,2": ["-k2,2"],
    "-t, -k3n,3": ["-t", ",", "-k3n,3"],
    "-k2,2 -k1,1r": ["-k2,2", "-k1,1r"],
    "-u": ["-u"],
    "-g": ["-g"],
    "-V": ["-V"],
    "-m of 8 files": ["-m"],
}


def table(strings: list[bytes]) -> tuple:
    """The strings as one byte array, with their starts and lengths."""
    import numpy as np

    lengths = np.array([len(s) for s in strings], dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    return np.frombuffer(b"".join(strings), dtype=np.uint8), starts, lengths


def lines_block(rng, n: int, fields: list) -> bytes:
    """`n` lines, each the concatenation of one string picked from each field's table;
    every step is a NumPy operation over the whole block."""
    import numpy as np

    picks = [(bytes_, starts, lengths, rng.integers(0, len(lengths), n))
             for bytes_, starts, lengths in fields]
    line_lengths = sum(lengths[pick] for _, _, lengths, pick in picks)
    line_starts = np.concatenate([[0], np.cumsum(line_lengths)[:-1]])
    out = np.empty(int(line_lengths.sum()), dtype=np.uint8)
    at = line_starts.copy()  # where each line's next field goes
    for bytes_, starts, lengths, pick in picks:
        size = lengths[pick]
        total = int(size.sum())
        # For each byte of this field in every line: its line's field start, and its
        # offset within the field.
        firsts = np.repeat(at, size)
        within = np.arange(total) - np.repeat(np.cumsum(size) - size, size)
        out[firsts + within] = bytes_[np.repeat(starts[pick], size) + within]
        at += size
    return out.tobytes()


def generate(path: pathlib.Path, size: int) -> int:
    """Writes about `size` bytes of lines; returns the number of lines. Run in a child of
    its own (--make), so that the benchmark's process stays small: a child's peak RSS
    counts what its parent held when it forked."""
    import numpy as np

    rng = np.random.default_rng(SEED)
    letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", dtype=np.uint8)

    def words(count: int, low: int, high: int) -> list[bytes]:
        return [letters[rng.integers(0, 26, rng.integers(low, high))].tobytes()
                for _ in range(count)]

    numbers = [b"%.*g" % (int(p), m * 10.0 ** int(e)) for m, e, p in zip(
        rng.random(50_000), rng.integers(-12, 12, 50_000), rng.integers(1, 9, 50_000))]
    versions = [b"%s-%d.%d.%d" % (w, a, b, c) for w, a, b, c in zip(
        words(2_000, 2, 6), rng.integers(0, 12, 2_000), rng.integers(0, 30, 2_000),
        rng.integers(0, 200, 2_000))]
    fields = [
        table([n + b" " for n in numbers]),
        table([w + b" " for w in words(5_000, 3, 10)]),
        table([v + b"," for v in versions]),
        table([b"%d," % i for i in rng.integers(0, 1_000_000, 100_000)]),
        table([b"%d," % i for i in rng.integers(-100_000, 100_000, 100_000)]),
        table([w + b"\n" for w in words(100_000, 10, 60)]),
    ]
    written = lines = 0
    with open(path, "wb") as out:
        while written < size:
            block = lines_block(rng, 200_000, fields)
            out.write(block)
            written += len(block)
            lines += 200_000
    return lines


def run(command: list[str], env: dict | None = None) -> tuple[float, int, int]:
    """(seconds, peak RSS in bytes, exit status) of one child."""
    started = time.perf_counter()
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return time.perf_counter() - started, usage.ru_maxrss * 1024, proc.returncode


def same(a: pathlib.Path, b: pathlib.Path) -> bool:
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1G", help="bytes of text (K, M, G suffixes)")
    parser.add_argument("--buffer", default="256M", help="-S for both tools")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--rows", default=";".join(ROWS), help="rows to run, separated by ;")
    parser.add_argument("--tmp-dir", default=None)
    parser.add_argument("--make", help=argparse.SUPPRESS)  # the generating child
    args = parser.parse_args()
    size = int(args.size[:-1]) << {"K": 10, "M": 20, "G": 30}[args.size[-1]]
    if args.make:
        print(generate(pathlib.Path(args.make), size))
        return
    rows = args.rows.split(";")
    gnu_env = dict(os.environ, LC_ALL="C")

    with tempfile.TemporaryDirectory(prefix="cli-bench-", dir=args.tmp_dir) as work:
        work = pathlib.Path(work)
        source, spill = work / "text", work / "spill"
        spill.mkdir()
        started = time.perf_counter()
        lines = int(subprocess.run([sys.executable, __file__, "--size", args.size, "--make",
                                    str(source)], check=True, capture_output=True).stdout)
        print(f"{lines:,} lines, {source.stat().st_size / MIB:,.0f} MiB, made in "
              f"{time.perf_counter() - started:.1f} s; -S {args.buffer} --parallel=2; "
              f"load average {os.getloadavg()[0]:.1f}", flush=True)
        if "-m of 8 files" in rows:
            parts = [work / f"part{i}" for i in range(8)]
            subprocess.run(["split", "-n", "l/8", str(source), str(work / "part")], check=True)
            for i, name in enumerate(sorted(work.glob("parta?"))):
                subprocess.run(["sort", "-S", args.buffer, "-o", str(parts[i]), str(name)],
                               env=gnu_env, check=True)
                name.unlink()
        report = ["| row | lodestack s | GNU sort s | ratio | lodestack peak MiB | "
                  "GNU sort peak MiB |", "|---|---:|---:|---:|---:|---:|"]
        for row in rows:
            inputs = [str(p) for p in parts] if row == "-m of 8 files" else [str(source)]
            common = ["-S", args.buffer, "-T", str(spill), *ROWS[row]]
            ours = [sys.executable, "-P", "-m", "lodestack", "--parallel", "2", *common]
            theirs = ["sort", "--parallel=2", *common]
            best = {"lodestack": (float("inf"), 0), "GNU sort": (float("inf"), 0)}
            for attempt in range(args.repeat):
                order = [("lodestack", ours), ("GNU sort", theirs)]
                for name, command in order if attempt % 2 == 0 else order[::-1]:
                    out = work / name.replace(" ", "-")
                    seconds, peak, status = run([*command, "-o", str(out), *inputs],
                                                gnu_env)
                    if status != 0:
                        raise SystemExit(f"FAIL: {name} exited {status} on {row}")
                    best[name] = (min(best[name][0], seconds), max(best[name][1], peak))
            if not same(work / "lodestack", work / "GNU-sort"):
                raise SystemExit(f"FAIL: lodestack's output differs from GNU sort's on {row}")
            (ls, lp), (gs, gp) = best["lodestack"], best["GNU sort"]
            report.append(f"| `{row}` | {ls:.2f} | {gs:.2f} | {ls / gs:.2f} | {lp / MIB:.0f} | "
                          f"{gp / MIB:.0f} |")
            print(report[-1], flush=True)
        print(f"outputs byte for byte GNU sort's; load average {os.getloadavg()[0]:.1f}")
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "cli.md").write_text("\n".join(report) + "\n")
    print("\n".join(report))


if __name__ == "__main__":
    main()
