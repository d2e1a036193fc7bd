"""The `lodestack` command, in child processes: output and exit status against GNU sort with
LC_ALL=C on random files and options, failures by exit status and their one line, signals."""

import os
import random
import signal
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import PACKAGE_ROOT, SHIM, eventually, needs_shim, private_dirs, scale


def lodestack(*args, input=b"", env=None, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1", **(env or {}))
    return subprocess.run([sys.executable, "-P", "-m", "lodestack", *map(str, args)], input=input,
                          capture_output=True, env=env, timeout=60, **kwargs)


def gnu_sort(*args, input=b""):
    return subprocess.run(["sort", *map(str, args)], input=input, capture_output=True,
                          env=dict(os.environ, LC_ALL="C"), timeout=60)


WORDS = [b"", b"a", b"b", b"ab", b"B", b" a", b"a ", b"\ta", b"10", b"9", b"-1", b"1.50", b"01.5",
         b"-0", b".5", b"-.5", b"5.", b"x1", b"+5", b"1e3", b"\xff", b"\x00", b"\r", b"  -7",
         b"99999999999999999999999", b"0.0000000000000000000001"]
SEPARATORS = [b",", b" ", b"\t", b":"]


@st.composite
def cases(draw):
    separator = draw(st.sampled_from(SEPARATORS))
    line = st.lists(st.sampled_from(WORDS), max_size=5).map(separator.join)
    data = b"\n".join(draw(st.lists(line, max_size=60))) + draw(st.sampled_from([b"", b"\n"]))
    keys = []
    for _ in range(draw(st.integers(0, 3))):
        start = f"{draw(st.integers(1, 4))}" + draw(st.sampled_from(["", ".1", ".2", ".3"]))
        end = draw(st.sampled_from(["", ",1", ",2", ",3", ",2.1", ",3.2", ",5"]))
        keys += ["-k", start + draw(st.sampled_from(["", "b", "n", "bn"])) + end
                 + draw(st.sampled_from(["", "b", "n"]) if end else st.just(""))]
    options = keys + draw(st.sampled_from([[], ["-t", separator.decode()]]))
    options += draw(st.sampled_from([[], ["-n"], ["-b"], ["-n", "-b"]]))
    options += draw(st.sampled_from([[], ["-S", "1K", "--batch-size", "2"],
                                     ["-S", "2K", "--parallel", "2"]]))
    return data, options


@settings(max_examples=scale(120, 2000), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(cases())
def test_output_equals_gnu_sort(tmp_dir, case):
    data, options = case
    ours = lodestack(*options, "-T", tmp_dir, input=data)
    assert (ours.returncode, ours.stderr) == (0, b"")
    assert ours.stdout == gnu_sort("-s", *options, input=data).stdout
    assert os.listdir(tmp_dir) == []


def test_files_and_standard_input_are_read_in_the_order_given_and_output_may_be_an_input(tmp_path):
    (tmp_path / "a").write_bytes(b"k 1\nk 2")  # the file's end ends a line
    (tmp_path / "b").write_bytes(b"k 5\nj 6\n")
    os.chmod(tmp_path / "a", 0o640)
    done = lodestack("-k", "1,1", "-o", "a", "a", "-", "b", input=b"k 3\nk 4\n", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert (tmp_path / "a").read_bytes() == b"j 6\nk 1\nk 2\nk 3\nk 4\nk 5\n"
    assert (os.stat(tmp_path / "a").st_mode & 0o777, sorted(os.listdir(tmp_path))) == (0o640, ["a", "b"])


SIZE_UNITS = "expected a number with an optional unit b, K, M, G, T, P, E or %"
ERRORS = [
    (["."], "cannot read '.': Is a directory"),
    (["present", "missing"], "cannot read 'missing': No such file or directory"),
    (["-o", "nodir/out", "present"], "cannot write 'nodir/out': No such file or directory"),
    (["-o", "/dev/full", "present"], "cannot write '/dev/full': No space left on device"),
    (["-S", "12Q", "present"], f"invalid buffer size '12Q': {SIZE_UNITS}"),
    (["-S", "1b", "present"], "invalid buffer size '1b': the least is 2 bytes"),
    (["-S", "101%", "present"], "invalid buffer size '101%': more than all of memory"),
    (["-S", "9E", "present"], "invalid buffer size '9E': too large"),
    (["-k", "0", "present"], "invalid key '0': field number is zero"),
    (["-k", "1.0", "present"], "invalid key '1.0': character offset is zero"),
    (["-k", "1,0", "present"], "invalid key '1,0': field number is zero"),
    (["-k", "2r", "present"], "invalid key '2r': unsupported ordering option 'r' (only b and n are)"),
    (["-k", ",2", "present"], "invalid key ',2': a field number must come first"),
    (["-k", "2,", "present"], "invalid key '2,': a field number must follow ','"),
    (["-k", "2.", "present"], "invalid key '2.': a character number must follow '.'"),
    (["-k", "2-3", "present"], "invalid key '2-3': expected F[.C][OPTS][,F[.C][OPTS]], such as 2,2 or 3n,3"),
    (["-t", "ab", "present"], "invalid field separator 'ab': it must be one byte"),
    (["--parallel", "0", "present"], "invalid --parallel '0': the least is 1"),
    (["--batch-size", "x", "present"], "invalid --batch-size 'x': expected a whole number"),
    (["-T", "nodir", "present"],
     "cannot use temporary directory 'nodir': nodir: No such file or directory (os error 2)"),
    (["--bogus", "present"], "unrecognized arguments: --bogus (see 'lodestack --help')"),
]


@pytest.mark.parametrize("args, message", ERRORS, ids=[" ".join(a) for a, _ in ERRORS])
def test_errors_exit_2_with_one_line_naming_the_cause(args, message, tmp_path):
    (tmp_path / "present").write_bytes(b"b\na\n")
    done = lodestack(*args, cwd=tmp_path)
    assert (done.returncode, done.stderr.decode(), done.stdout) == (2, f"lodestack: {message}\n", b"")
    assert os.listdir(tmp_path) == ["present"]


@needs_shim
def test_a_full_disk_while_spilling_exits_2_and_leaves_nothing(tmp_dir):
    done = lodestack("-S", "1", "-T", tmp_dir, input=b"ab\n" * 3000,
                     env={"LD_PRELOAD": SHIM, "LODESTACK_SHIM_WRITE_FAIL": "28:0"})
    assert done.returncode == 2 and done.stderr.startswith(b"lodestack: sorting failed: " + tmp_dir.encode())
    assert done.stderr.endswith(b"/run-000000: No space left on device (os error 28)\n")


@pytest.mark.parametrize("text, size", [("1", 1 << 10), ("2b", 2), ("3k", 3 << 10), ("5M", 5 << 20),
                                        ("2g", 2 << 30), ("1T", 1 << 40), ("007", 7 << 10)])
def test_buffer_sizes_count_as_gnu_sort_counts_them(text, size):
    from lodestack import cli

    assert cli.parse_size(text) == size


def start(*args, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1")
    return subprocess.Popen([sys.executable, "-P", "-m", "lodestack", *map(str, args)], env=env,
                            stderr=subprocess.PIPE, **kwargs,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_a_signal_leaves_nothing_and_the_old_output(signum, status, tmp_path, tmp_dir):
    out = tmp_path / "out"
    out.write_bytes(b"old\n")
    with start("-S", "64K", "-T", tmp_dir, "-o", out, stdin=subprocess.PIPE) as proc:
        proc.stdin.write(b"".join(b"%x\n" % random.getrandbits(60) for _ in range(20_000)))
        proc.stdin.flush()  # more than the budget: it spills, then waits for more input
        eventually(lambda: private_dirs(tmp_dir), "a spill")
        proc.send_signal(signum)
        assert proc.communicate(timeout=60)[1] == b""
    assert (proc.returncode, out.read_bytes(), sorted(os.listdir(tmp_path))) == (status, b"old\n", ["out", "spill"])


def test_a_closed_reader_of_standard_output_ends_the_sort_quietly(tmp_dir):
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as stdout:
        proc = start("-S", "1M", "-T", tmp_dir, stdin=subprocess.PIPE, stdout=stdout)
        assert proc.communicate((b"y" * 63 + b"\n") * (1 << 17), timeout=60)[1] == b""
    assert proc.returncode == 141
