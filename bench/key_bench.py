"""Nanoseconds per key for the sort key encoder.

    PYTHONPATH=build/release/pkg python3 bench/key_bench.py [--keys N] [--repeat R]

Each case encodes a prebuilt list of N keys with _keytest.encode_many, one C loop that
clears and reuses one buffer, as a sorter does while adding; the best of R runs counts.
Time is the thread's CPU time, so that other work on a shared machine does not count.
Ints and floats within 64 bits take no Python call on this path, so their cost is the
encoder's own; the target for them is under 40 ns per key. The None row is the loop's own
cost (a type test and one byte) for reference.
"""

import argparse
import random
import string
import sys
import time

try:
    import _keytest
except ImportError:
    sys.exit("_keytest is not built: run through `make bench`, or build the dev tree and set "
             "PYTHONPATH=build/<dir>/pkg")

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
        _keytest.encode_many(keys)
        best = min(best, time.thread_time_ns() - start)
    return best / len(keys)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"{'key':<22} {'ns/key':>8}  target")
    for name, keys, target in cases(args.keys):
        ns = best_ns_per_key(keys, args.repeat)
        verdict = "" if target is None else f"< {target}  {'ok' if ns < target else 'MISSED'}"
        print(f"{name:<22} {ns:8.1f}  {verdict}")
        del keys


if __name__ == "__main__":
    main()
