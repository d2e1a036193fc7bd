"""A disk that fills up (a small tmpfs in a child's private mount namespace) or refuses
large files (RLIMIT_FSIZE) at every point of a sort, swept over sizes so the failure lands on
each spill, each merge pass and none; and spill files or their location taken away."""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from lodestack import Sorter

from conftest import CHILD_PRELUDE, PACKAGE_ROOT, private_dir

from .conftest import scale

LOST = "an earlier error lost records, so sorting cannot go on"
STOPPED = "the sorter stopped when reading it failed or was interrupted"

# 40 items of 3,000 incompressible bytes, spilled one at a time (max_bytes 8,000), merged
# 3 at a time: 39 spills of about 3 KiB, then passes writing runs of 9 KiB and more. The
# sizes below fail the 3rd to 40th spill, the passes (run-000039 on) and nothing.
WORKLOAD = """
import json, random, resource
items = [(random.Random(i).randrange(1000), os.urandom(3000)) for i in range(40)]
expected = [p for _, p in sorted(items, key=lambda kp: kp[0])]
facts = {"outcome": "done"}
s = Sorter(tmp_dir=TMP, max_bytes=8000, max_open=3, threads=THREADS)
try:
    for k, p in items:
        s.add_encoded(k, p)
    facts["dir"] = private_dir()
    facts["ok"] = list(s.encoded()) == expected
except OSError as e:
    facts["outcome"] = "failed"
    facts["error"] = [type(e).__name__, str(e)]
    facts["left_at_once"] = os.listdir(TMP) if facts.get("dir") else None
    later = []
    for call in (lambda: s.add_encoded(1, b"x"), lambda: s.encoded(), lambda: s.sort(),
                 lambda: s.write_to(Sink()), lambda: s.add(2)):
        try:
            call()
            later.append("accepted")
        except (RuntimeError, ValueError) as e2:
            later.append(str(e2))
    facts["later"] = later
s.close()
facts["left"] = os.listdir(TMP)
done(**facts)
"""


def in_private_tmpfs(argv, env, mount_point, size):
    """`argv` run with a tmpfs of `size` mounted on `mount_point`, visible only to it. A
    sanitizer runtime preloaded into the tests reaches the interpreter, not the shell
    that mounts (which it would crash)."""
    env = dict(env, LODESTACK_CHILD_PRELOAD=env.pop("LD_PRELOAD", ""))
    script = (
        f'mount -t tmpfs -o size={size} tmpfs "{mount_point}" && '
        'LD_PRELOAD="$LODESTACK_CHILD_PRELOAD" exec "$@"'
    )
    return ["unshare", "-m", "--propagation", "unchanged", "sh", "-c", script, "sh"] + argv, env


def run_in_child(code, tmp_dir, threads, mount=None):
    """Runs `code` after the child prelude, with a tmpfs of mount=(point, size) if given."""
    code = CHILD_PRELUDE + f"\nTHREADS = {threads}\n" + textwrap.dedent(code)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1", LODESTACK_CHILD_TMP=tmp_dir)
    argv = [sys.executable, "-c", code]
    if mount:
        # The mount exists only in the child's namespace and goes with it.
        argv, env = in_private_tmpfs(argv, env, *mount)
    proc = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=120, cwd="/")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_limited(tmp_dir, limit, threads):
    kind, size = limit
    if kind == "tmpfs":
        return run_in_child(WORKLOAD, tmp_dir, threads, (tmp_dir, size))
    return run_in_child(
        "import resource\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        f"resource.setrlimit(resource.RLIMIT_FSIZE, ({size}, {size}))\n" + WORKLOAD,
        tmp_dir, threads)


def can_mount():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    probe = subprocess.run(
        ["unshare", "-m", "--propagation", "unchanged", "true"], capture_output=True
    )
    return probe.returncode == 0


LIMITS = [("tmpfs", f"{k}k") for k in (8, 24, 64, 160, 200, 260, 330, 600)] + [
    ("fsize", n) for n in (2000, 6000, 10000, 30000, 100000, 400000)
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("limit", LIMITS, ids=[f"{k}-{v}" for k, v in LIMITS])
def test_a_full_disk_at_any_point(limit, threads, tmp_dir):
    if limit[0] == "tmpfs" and not can_mount():
        pytest.skip("needs root and unshare to mount a private tmpfs")
    if threads == 2 and limit[0] == "fsize" and not os.environ.get("LODESTACK_STRESS"):
        pytest.skip("runs under make stress")
    facts = run_limited(tmp_dir, limit, threads)
    assert facts["left"] == []
    if facts["outcome"] == "done":
        assert facts["ok"] is True
        return
    name, text = facts["error"]
    reason = {
        "tmpfs": "No space left on device (os error 28)",
        "fsize": "File too large (os error 27)",
    }[limit[0]]
    tmp = re.escape(tmp_dir)
    assert name == "OSError"
    run = rf"{tmp}/lodestack-[A-Za-z0-9]{{6}}/run-\d{{6}}"
    assert re.fullmatch(rf"{run}: {re.escape(reason)}", text), text
    later = facts["later"]
    if facts.get("dir") is None:
        # An add reported a failed spill: adding is lost, reading refuses and stops.
        assert later == [LOST, LOST, STOPPED, STOPPED, STOPPED]
    else:
        # Reading failed (the last spill or a merge pass): the directory was gone at once.
        assert facts["left_at_once"] == []
        assert later == [STOPPED] * 5


@pytest.mark.parametrize("when", ["before-any-spill", "after-the-first-spill", "before-reading"])
def test_tmp_dir_removed_after_construction(when, tmp_path):
    parent = tmp_path / "spill"
    parent.mkdir()
    s = Sorter(tmp_dir=str(parent), max_bytes=2)
    if when == "before-any-spill":
        parent.rmdir()
        s.add(1)
        with pytest.raises(FileNotFoundError) as e:
            s.add(2)  # the first spill cannot make the private directory
        assert re.fullmatch(
            re.escape(f"{parent}: No such file or directory (os error 2) at path \"{parent}/")
            + r"lodestack-[A-Za-z0-9]{6}\"",
            str(e.value),
        ), str(e.value)
        refused = [LOST, STOPPED]
    else:
        for k in (3, 2, 1):
            s.add(k)  # the third add waits for the first spill
        directory = private_dir(str(parent))
        if when == "after-the-first-spill":
            shutil.rmtree(parent)
            # run-000001 was being spilled and may or may not have been created in time;
            # run-000002, started by the next add, cannot be. The add after that waits
            # for it at the latest.
            with pytest.raises(FileNotFoundError) as e:
                s.add(0)
                s.add(-1)
            assert str(e.value) in {
                f"{directory}/run-{n:06d}: No such file or directory (os error 2)" for n in (1, 2)
            }
            refused = [LOST, STOPPED]
        else:
            shutil.rmtree(parent)
            with pytest.raises(FileNotFoundError) as e:
                s.sort()
            assert str(e.value) in {
                f"{directory}/run-000000: No such file or directory (os error 2)",
                f"{directory}/run-000001: No such file or directory (os error 2)",
            }
            refused = [STOPPED, STOPPED]
    with pytest.raises(RuntimeError) as e:
        s.sort()
    assert str(e.value) == refused[0]
    with pytest.raises(RuntimeError) as e:
        s.add(9)
    assert str(e.value) == refused[1]
    s.close()
    assert not parent.exists() or list(parent.iterdir()) == []


@pytest.mark.parametrize("victim", [0, 2, 4], ids=["first-run", "middle-run", "last-run"])
@pytest.mark.parametrize("max_open", [2, 8], ids=["merge-passes", "final-merge-only"])
def test_a_run_deleted_before_reading(victim, max_open, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2, max_open=max_open)
    for k in range(7):
        s.add_encoded(k, b"p%d" % k)  # runs 0..5 spilled, the last one awaited by sort()
    s.add_encoded(7, b"p7")
    run = os.path.join(private_dir(tmp_dir), f"run-{victim:06d}")
    os.remove(run)
    with pytest.raises(FileNotFoundError) as e:
        s.encoded()
    assert str(e.value) == f"{run}: No such file or directory (os error 2)"
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError, match=STOPPED):
        s.add(1)


@pytest.mark.parametrize("threads", [1, 2])
def test_runs_deleted_while_being_read_lose_nothing(threads, tmp_dir, rng):
    # Open files outlive their names: deleting every run once the merge has opened them
    # changes nothing, and the directory still goes at the end.
    n = scale(20_000, 200_000)
    keys = list(range(n))
    rng.shuffle(keys)
    s = Sorter(tmp_dir=tmp_dir, max_bytes=200_000, threads=threads)
    for k in keys:
        s.add_encoded(k, b"%d" % k)
    it = s.encoded()
    first = next(it)
    directory = private_dir(tmp_dir)
    for name in os.listdir(directory):
        os.remove(os.path.join(directory, name))
    assert [first, *it] == [b"%d" % k for k in range(n)]
    assert os.listdir(tmp_dir) == []


@pytest.mark.parametrize("reader", ["encoded", "write_to"])
def test_a_run_replaced_by_a_directory(reader, tmp_dir):
    # Opening a directory read-only succeeds; the first read fails with EISDIR, which must
    # keep its kind and gain the run's path.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for k in range(4):
        s.add_encoded(k, b"p")
    run = os.path.join(private_dir(tmp_dir), "run-000001")
    os.remove(run)
    os.mkdir(run)
    with pytest.raises(IsADirectoryError) as e:
        if reader == "encoded":
            s.encoded()
        else:
            s.write_to(open(os.devnull, "wb"))
    assert str(e.value) == f"{run}: Is a directory (os error 21)"
    assert os.listdir(tmp_dir) == []
    with pytest.raises(RuntimeError, match=STOPPED):
        s.encoded()


WRITE_TO_FULL_DISK = """
import errno
s = Sorter(tmp_dir=TMP + "/spill", max_bytes=200_000, threads=THREADS)
for k in range(30_000):
    s.add_encoded(k, os.urandom(30))
facts = {}
with open(TMP + "/out/items", "wb") as out:
    try:
        s.write_to(out)
    except OSError as e:
        facts["error"] = [type(e).__name__, e.errno]
facts["left"] = os.listdir(TMP + "/spill")
try:
    s.sort()
except RuntimeError as e:
    facts["again"] = str(e)
done(**facts)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_write_to_a_file_on_a_full_disk(threads, tmp_dir):
    # The final merge's output (900 KB) lands on a disk of 256 KiB: the handle's own
    # OSError comes through unchanged, the merging thread is stopped and the runs are gone.
    if not can_mount():
        pytest.skip("needs root and unshare to mount a private tmpfs")
    os.mkdir(os.path.join(tmp_dir, "spill"))
    os.mkdir(os.path.join(tmp_dir, "out"))
    out = os.path.join(tmp_dir, "out")
    facts = run_in_child(WRITE_TO_FULL_DISK, tmp_dir, threads, (out, "256k"))
    assert facts == {
        "error": ["OSError", 28],
        "left": [],
        "again": "a sorter can be read only once",
    }
    os.rmdir(os.path.join(tmp_dir, "spill"))
    os.rmdir(os.path.join(tmp_dir, "out"))
