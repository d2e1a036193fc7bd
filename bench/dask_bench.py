"""lodestack.dask.sort against Dask DataFrame's sort_values on a two-process local cluster.

    PYTHONPATH=build/release/pkg python3 -P bench/dask_bench.py [--items 20000000]
                                           [--partitions 40] [--max-mib 32] [--repeat 1]

The data: `--items` (str, int) pairs in `--partitions` partitions, made in the workers from
one seed per partition: a random 10-character hex string and a random 31-bit int. lodestack
sorts them as a bag of tuples, by the whole tuple, into as many ranges as there are input
partitions, each through a Sorter of `--max-mib`; Dask sorts the same pairs as a frame with
columns s (pyarrow strings, Dask's default where pyarrow is installed) and i, by ["s", "i"],
with its default shuffle (p2p on a distributed cluster).

Each contender gets a fresh cluster of 2 worker processes with 1 thread each (the machine's
two cores). Its input is made and persisted first, untimed; then the sort is persisted and
waited for, timed from the call (sort_values computes its divisions then) to the last
partition held. Each worker samples, every 20 ms from a thread of its own, its resident
memory and the bytes Dask holds in it (its own estimate, `sizeof`): the table gives, per
worker, both before the sort (the input), the peak resident memory during it, and the
largest growth of what Dask does not hold (resident less held) over its value before: the
sorter's `max_bytes`, the partition a task is building, data in flight, and what the
allocator keeps. The sorted result is then checked, untimed: every partition in order,
each after the last, the same items for both contenders. Dask's DataFrame here is its
legacy one (dask-expr is not packaged by Debian), selected explicitly.
"""

import argparse
import logging
import os
import platform
import random
import sys
import threading
import time
import warnings

# Dask's legacy DataFrame warns that it is deprecated, here and in each worker it starts.
os.environ["PYTHONWARNINGS"] = "ignore::FutureWarning"
warnings.simplefilter("ignore", FutureWarning)

import dask  # noqa: E402

dask.config.set({"dataframe.query-planning": False})

import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

import lodestack  # noqa: E402
import lodestack.dask  # noqa: E402


def pairs(seed, count):
    rng = random.Random(seed)
    bits = rng.getrandbits
    return [(f"{bits(40):010x}", bits(31)) for _ in range(count)]


def frame(seed, count):
    return pd.DataFrame(pairs(seed, count), columns=["s", "i"]).astype({"s": "string[pyarrow]"})


class Sampler:
    """Samples a worker's resident memory and what Dask holds in it, every 20 ms."""

    def __init__(self, worker):
        self.worker, self.stop, self.rows = worker, threading.Event(), []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.02):
            self.rows.append((rss(), self.worker.state.nbytes))

    def finish(self):
        self.stop.set()
        self.thread.join()
        return self.rows


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def start_sampling(dask_worker):
    dask_worker.lodestack_sampler = Sampler(dask_worker)
    return rss(), dask_worker.state.nbytes


def finish_sampling(dask_worker):
    return dask_worker.lodestack_sampler.finish()


def check_part(part):
    """Whether a sorted partition is in order; its length, ends and sum of ints."""
    rows = list(zip(part["s"].tolist(), part["i"].tolist())) if is_frame(part) else part
    ordered = all(a <= b for a, b in zip(rows, rows[1:]))
    first, last = (rows[0], rows[-1]) if rows else (("", -1), ("", -1))
    fields = dict(n=len(rows), first_s=first[0], first_i=first[1], last_s=last[0],
                  last_i=last[1], ordered=ordered, total=sum(i for _, i in rows))
    return pd.DataFrame([fields]) if is_frame(part) else [fields]


def is_frame(part):
    return isinstance(part, pd.DataFrame)


def lodestack_sort(bag, npartitions, max_bytes):
    return lodestack.dask.sort(bag, npartitions=npartitions, max_bytes=max_bytes)


def run(contender, items, partitions, max_bytes):
    per = items // partitions
    seeds = range(partitions)
    with (LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                       dashboard_address=None, silence_logs=logging.CRITICAL) as cluster,
          Client(cluster) as client):
        if contender == "lodestack":
            data = db.from_sequence(seeds, npartitions=partitions).map(pairs, per).flatten()
        else:
            data = dd.from_map(frame, seeds, [per] * partitions,
                               meta=frame(0, 0), divisions=[None] * (partitions + 1))
        data = client.persist(data)
        wait(data)
        before = client.run(start_sampling)
        start = time.perf_counter()
        if contender == "lodestack":
            out = lodestack_sort(data, partitions, max_bytes)
        else:
            out = data.sort_values(["s", "i"])
        out = client.persist(out)
        wait(out)
        seconds = time.perf_counter() - start
        rows = client.run(finish_sampling)
        del data
        if contender == "lodestack":
            checks = out.map_partitions(check_part).compute()
        else:
            checks = (out.map_partitions(check_part, meta=check_part(out._meta)).compute()
                      .to_dict("records"))
        del out
    counts = [c["n"] for c in checks]
    bounds = [((c["first_s"], c["first_i"]), (c["last_s"], c["last_i"])) for c in checks if c["n"]]
    assert all(c["ordered"] for c in checks), f"{contender}: a partition is out of order"
    assert all(a[1] <= b[0] for a, b in zip(bounds, bounds[1:])), f"{contender}: ranges overlap"
    assert sum(counts) == partitions * per, f"{contender}: {sum(counts)} items"
    workers = sorted(before)
    mib = lambda n: n >> 20  # noqa: E731
    # Memory Dask does not account for, above what it was before the sort: the sorter, the
    # partition a task is building, objects in flight, and what the allocator keeps.
    unheld = [mib(max(r - h for r, h in rows[w]) - (before[w][0] - before[w][1])) for w in workers]
    return dict(seconds=seconds, held=[mib(before[w][1]) for w in workers],
                before=[mib(before[w][0]) for w in workers],
                peak=[mib(max(r for r, _ in rows[w])) for w in workers], unheld=unheld,
                checksum=sum(c["total"] for c in checks), largest=max(counts), parts=len(counts))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--items", type=int, default=20_000_000)
    parser.add_argument("--partitions", type=int, default=40)
    parser.add_argument("--max-mib", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    max_bytes = args.max_mib << 20
    print(f"{args.items:,} (str, int) items in {args.partitions} partitions; 2 worker processes,"
          f" 1 thread each; max_bytes {args.max_mib} MiB; Python {platform.python_version()},"
          f" lodestack {lodestack.__version__}, dask {dask.__version__},"
          f" pandas {pd.__version__}; load average at start {os.getloadavg()[0]:.1f}",
          flush=True)
    print("| contender | s | RSS before MiB | Dask held before | peak RSS | peak unheld growth"
          " | largest part |")
    print("|---|---:|---|---|---|---|---:|")
    best = {}
    checksums = set()
    for r in range(args.repeat):
        # Alternate which goes first, so that a busy neighbour slows both alike.
        order = ["lodestack", "sort_values"] if r % 2 == 0 else ["sort_values", "lodestack"]
        for contender in order:
            res = run(contender, args.items, args.partitions, max_bytes)
            checksums.add(res["checksum"])
            best[contender] = min(best.get(contender, res["seconds"]), res["seconds"])
            cells = [" / ".join(map(str, res[k])) for k in ("before", "held", "peak", "unheld")]
            print(f"| {contender} | {res['seconds']:.1f} | {' | '.join(cells)} |"
                  f" {res['largest']:,} of {res['parts']} |", flush=True)
    assert len(checksums) == 1, "the contenders sorted different items"
    ratio = best["sort_values"] / best["lodestack"]
    print(f"sort_values / lodestack.dask.sort time (best of {args.repeat}): {ratio:.2f}"
          f" ({'faster' if ratio > 1 else 'slower'}: target faster);"
          f" load average at end {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
