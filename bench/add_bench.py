"""Items added per second, and the share of time the adding thread waits for spills.

    PYTHONPATH=build/release/pkg python3 bench/add_bench.py [--items N]

Each case adds N items to one sorter with max_bytes = 64 MiB (so that many spills happen),
from one thread and from two threads sharing the sorter, and reports items per second.
The wait share is the part of the adding threads' time spent blocked, waiting for a spill:
1 - CPU time / (wall time - time spent ready but not running), each thread's figures from
/proc/thread-self/schedstat, so that a busy neighbour on a shared machine, which keeps a
ready thread off the processor, does not count as waiting. `--cases` picks cases by a
word of their names.
"""

import argparse
import os
import random
import statistics
import tempfile
import threading
import time

from lodestack import Sorter

MAX_BYTES = 64 << 20


class BytesCodec:
    @staticmethod
    def encode(item):
        return item

    @staticmethod
    def decode(data):
        return data


def records(n):
    rng = random.Random(1)
    payload = b"x" * 90
    return [rng.randbytes(10) + payload for _ in range(n)]


def schedstat():
    """This thread's (CPU seconds, seconds ready but waiting for a processor)."""
    with open("/proc/thread-self/schedstat") as f:
        cpu, ready, _ = map(int, f.read().split())
    return cpu / 1e9, ready / 1e9


def run(case, items, threads_adding, pool_threads, tmp):
    if case == "add(int), pickle":
        s = Sorter(max_bytes=MAX_BYTES, tmp_dir=tmp, threads=pool_threads)
        add = s.add
        call = lambda part: [add(x) for x in part]
    elif case == "add(x), key= and bytes codec":
        s = Sorter(lambda r: r[:10], codec=BytesCodec, max_bytes=MAX_BYTES, tmp_dir=tmp,
                   threads=pool_threads)
        add = s.add
        call = lambda part: [add(x) for x in part]
    else:
        s = Sorter(max_bytes=MAX_BYTES, tmp_dir=tmp, threads=pool_threads)
        add = s.add_encoded
        call = lambda part: [add(x, x) for x in part]

    parts = [items[i::threads_adding] for i in range(threads_adding)]
    cpu = [0.0] * threads_adding
    active = [0.0] * threads_adding  # wall time less time kept off the processor
    barrier = threading.Barrier(threads_adding + 1)

    def worker(i):
        barrier.wait()
        start = time.perf_counter()
        cpu_start, ready_start = schedstat()
        call(parts[i])
        cpu_end, ready_end = schedstat()
        cpu[i] = cpu_end - cpu_start
        active[i] = time.perf_counter() - start - (ready_end - ready_start)

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads_adding)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    wall = time.perf_counter() - start
    assert len(s) == len(items)
    s.close()
    return len(items) / wall, max(0.0, 1 - sum(cpu) / sum(active))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--items", type=int, default=3_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cases", default="", help="words picking the cases (default: all)")
    parser.add_argument("--pool", default="1,2", help="pool sizes to run (default: 1,2)")
    args = parser.parse_args()
    rng = random.Random(2)
    data = {
        "add(int), pickle": [rng.getrandbits(62) for _ in range(args.items)],
        "add(x), key= and bytes codec": records(args.items),
        "add_encoded(bytes, bytes), 100-byte records": records(args.items),
    }
    print(f"{args.items:,} items, max_bytes = 64 MiB, best and median of {args.repeat} runs")
    print(f"{'case':46} {'adders':>6} {'threads':>7} {'items/s best':>13} {'median':>11} {'wait':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for case, items in data.items():
            if args.cases and not any(word in case for word in args.cases.split(",")):
                continue
            for adders in (1, 2):
                for pool_threads in map(int, args.pool.split(",")):
                    runs = [run(case, items, adders, pool_threads, tmp) for _ in range(args.repeat)]
                    rates = [r for r, _ in runs]
                    wait = statistics.median(w for _, w in runs)
                    print(f"{case:46} {adders:6} {pool_threads:7} {max(rates):13,.0f} "
                          f"{statistics.median(rates):11,.0f} {wait:6.1%}", flush=True)
        assert not os.listdir(tmp), "a sorter left files behind"


if __name__ == "__main__":
    main()
