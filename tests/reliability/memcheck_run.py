"""A representative end-to-end run for valgrind memcheck (not collected by pytest):

    PYTHONMALLOC=malloc valgrind --error-exitcode=1 --errors-for-leak-kinds=definite \
        python3 -P tests/reliability/memcheck_run.py

Spills with a pool, merge passes, every way of reading, a failure on a damaged run and a
close with a spill in flight: the paths where buffers and threads change hands."""

import os
import random
import tempfile

from lodestack import Sorter


class Sink:
    def __init__(self):
        self.parts = []

    def write(self, data):
        self.parts.append(bytes(data))
        return len(data)


def main():
    rng = random.Random(1)
    items = [(rng.randrange(300), os.urandom(rng.randrange(200))) for _ in range(3000)]
    expected = [p for _, p in sorted(items, key=lambda kp: kp[0])]
    with tempfile.TemporaryDirectory() as tmp:
        for threads in (1, 2):
            for read in ("sort", "encoded", "write_to"):
                s = Sorter(tmp_dir=tmp, max_bytes=40_000, max_open=3, threads=threads)
                for k, p in items:
                    s.add_encoded(k, p)
                if read == "write_to":
                    sink = Sink()
                    s.write_to(sink)
                    assert b"".join(sink.parts) == b"".join(expected)
                else:
                    got = list(s.encoded()) if read == "encoded" else None
                    if got is None:
                        s2 = Sorter(lambda t: t[0], tmp_dir=tmp, max_bytes=40_000)
                        for t in items[:500]:
                            s2.add(t)
                        assert list(s2.sort()) == sorted(items[:500], key=lambda t: t[0])
                        s.close()
                    else:
                        assert got == expected
        s = Sorter(tmp_dir=tmp, max_bytes=2)
        for k in range(4):
            s.add(k)
        run = [os.path.join(tmp, d, "run-000000") for d in os.listdir(tmp)][0]
        with open(run, "r+b") as f:
            f.write(b"\xff\xff\xff\xff")
        try:
            list(s.sort())
        except OSError:
            pass
        s = Sorter(tmp_dir=tmp, max_bytes=1000)
        for k in range(500):
            s.add_encoded(k, b"z" * 50)
        s.close()
        assert os.listdir(tmp) == []
    print("memcheck run done")


if __name__ == "__main__":
    main()
