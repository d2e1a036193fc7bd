"""Nanoseconds per key for the sort key encoder.

    PYTHONPATH=build/release/pkg python3 -P bench/key_bench.py [--keys N] [--repeat R]

Each case maps `lodestack.sort_key` over a prebuilt list of N keys in one C loop
(`deque(map(...), maxlen=0)`); the best of R runs counts. Time is the thread's CPU time, so
that other work on a shared machine does not count. The None row (a type test and one byte)
is the cost of the loop, the call and the bytes object around the encoder; the `net` column
takes it off, which leaves what a sorter pays per key while adding. Ints and floats within
64 bits take no Python call on this path; the target for them is under 40 ns net.
"""

import argparse
import collections
import random
import string
import time

from lodestack import sort_key

TARGET_NS = 40


def cases(n):
    rng = random.Random(1)
    letters = string.ascii_letters + string.digits
    yield "None (loop cost)", [None] * n, None
    yield "int, |x| < 2^53", [rng.randrange(-(2**53), 2**53) for _ in range(n)], TARGET_NS
    yield "int, 64-bit", [rng.randrange(-(2**63), 2**63) for _ in range(n)], TARGET_NS
    yield "float", [rng.uniform(-1e9, 1e9) for _ in range(n)], TARGET_NS
    yield "str, 8 ASCII", ["".join(rng.choices(letters, k=8)) for _ in range(n)], None
    yield "str, 8 non-ASCII", ["".join(rng.choices("äöüßéø€", k=8)) for _ in range(n)], None
    yield "bytes, 10", [rng.randbytes(10) for _ in range(n)], None
    yield ("(int, float, str)",
           [(rng.randrange(2**40), rng.random(), "".join(rng.choices(letters, k=6)))
            for _ in range(n)], None)
    yield "int, 100-bit", [rng.randrange(2**99, 2**100) for _ in range(n // 10)], None
    try:
        import numpy as np
    except ImportError:
        return
    yield "np.int64 (__index__)", list(np.arange(n // 10, dtype=np.int64)), None


def best_ns_per_key(keys, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time_ns()
        collections.deque(map(sort_key, keys), maxlen=0)
        best = min(best, time.thread_time_ns() - start)
    return best / len(keys)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"{'key':<22} {'ns/key':>8} {'net':>8}  target")
    overhead = None
    for name, keys, target in cases(args.keys):
        ns = best_ns_per_key(keys, args.repeat)
        overhead = ns if overhead is None else overhead
        net = ns - overhead
        verdict = "" if target is None else f"< {target}  {'ok' if net < target else 'MISSED'}"
        print(f"{name:<22} {ns:8.1f} {net:8.1f}  {verdict}")
        del keys


if __name__ == "__main__":
    main()
