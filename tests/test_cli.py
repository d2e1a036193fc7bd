"""The `lodestack` command, in child processes, against GNU sort with LC_ALL=C: output, exit
status and message on random files and options; one table of argument, file and stream
errors; signals, a vanished reader, a full disk, and output onto an input."""

import os
import random
import signal
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import PACKAGE_ROOT, SHIM, eventually, needs_shim, private_dirs, scale


def invoke(command, args, *, input=b"", env=None, close=None, **kwargs):
    """Runs a command with LC_ALL=C, output captured; `close` closes that descriptor in it."""
    env = dict(os.environ, LC_ALL="C", PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1", **(env or {}))
    return subprocess.run([*command, *args], input=None if close == 0 else input,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120,
                          preexec_fn=None if close is None else lambda: os.close(close), **kwargs)


def lodestack(*args, **kwargs):
    return invoke([sys.executable, "-P", "-m", "lodestack"], args, **kwargs)


def gnu_sort(*args, **kwargs):
    return invoke(["sort"], args, **kwargs)


def as_ours(gnu_stderr):
    """GNU's messages as this command words them: its name in place of sort's."""
    return gnu_stderr.replace(b"sort: ", b"lodestack: ").replace(b"'sort --help'", b"'lodestack --help'")


NUMBERS = [b"0", b"01", b"-0", b"+1", b"1.", b".5", b"-.5", b"1.50", b"10", b"9", b"-10", b"1e3",
           b"1E-3", b"0x1p3", b"0X10", b"inf", b"-inf", b"nan", b"-nan", b"1,000", b"12kg",
           b"1K", b"1k", b"2K", b"1M", b"-1K", b"1.5G", b"1Q", b"9" * 25, b"-" + b"7" * 130,
           b"1e4932", b"1e-4950", b"0.000000000000000000001"]
TEXTS = [b"", b"a", b"b", b"A", b"aB", b"Ab", b"zz", b"a-b", b"jan", b"FEB", b"Dec", b"decx",
         b"1.2.3", b"1.2.10", b"1.0~rc1", b"a01b", b"foo.tar.gz", b".bashrc", b"v10", b"~",
         b"\x01", b"\x7f", b"\xe9", b"\xff", b"\x00", b"\r", b"a\x00b", b"!", b"\n"]
BLANKS = [b"", b"", b" ", b"  ", b"\t", b" \t "]
# Ordering letters: at most one kind of comparison, and now and then two that GNU refuses.
KINDS = ["", "", "", "n", "g", "h", "M", "V", "d", "i", "dV", "gn"]


def letters(rnd):
    return rnd.choice(KINDS) + "".join(rnd.sample("bfr", rnd.randint(0, 2)))


@st.composite
def cases(draw):
    """Random files and a random command line. A seed drives the choices, so that examples
    differ in every respect rather than in one at a time."""
    rnd = random.Random(draw(st.integers(0, 1 << 64)))
    zero = rnd.random() < 0.2
    separator = rnd.choice([None, " ", "\t", ",", ":", "\\0"])
    joint = {None: b" ", "\\0": b"\0"}.get(separator, (separator or "").encode())

    def line():
        tokens = [rnd.choice(BLANKS) + rnd.choice(NUMBERS + TEXTS) + rnd.choice(BLANKS)
                  for _ in range(rnd.randint(0, 5))]
        return joint.join(tokens) if zero else joint.join(tokens).replace(b"\n", b"\r")

    pool = [line() for _ in range(rnd.randint(1, 12))]  # lines repeat, in a file and across
    end = b"\0" if zero else b"\n"
    options = ["-z"] * zero + ["-t", separator] * (separator is not None and rnd.random() < 0.5)
    options += [f"-{c}" for c in letters(rnd) + "".join(rnd.sample("su", rnd.randint(0, 2)))]
    for _ in range(rnd.randint(0, 3)):
        start = f"{rnd.randint(1, 4)}{rnd.choice(['', '.1', '.2', '.3'])}"
        stop = rnd.choice(["", ",1", ",2", ",3", ",2.1", ",3.2", ",2.0", ",5"])
        key_letters = letters(rnd)
        cut = rnd.randint(0, len(key_letters)) if stop else len(key_letters)
        options += ["-k", start + key_letters[:cut] + stop + key_letters[cut:]]
    mode = rnd.choice(["sort", "sort", "merge", "check"])
    files = []
    for _ in range(1 if mode == "check" else rnd.randint(1 + (mode == "merge"), 3)):
        lines = [rnd.choice(pool) for _ in range(rnd.randint(0, 40))]
        files.append(end.join(lines) + end * (bool(lines) and rnd.random() < 0.8))
    budget = rnd.choice([[], ["-S", "1K", "--batch-size", "2"],
                         ["-S", "200b", "--batch-size", "3", "--parallel", "2"]])
    return files, options, mode, budget, rnd.choice(["-c", "-C"]), rnd.random() < 0.5


@settings(max_examples=scale(150, 3000), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(cases())
def test_output_status_and_message_equal_gnu_sort(tmp_path, tmp_dir, case):
    files, options, mode, budget, check, presort = case
    names = [f"in{i}" for i in range(len(files))]
    for name, data in zip(names, files):
        (tmp_path / name).write_bytes(data)
        if mode == "merge" or (mode == "check" and presort):  # sorted as -m and -c expect
            gnu_sort(*options, "-o", name, name, cwd=tmp_path)
    extra = {"sort": budget, "merge": ["-m"], "check": [check]}[mode]
    stdin = b""
    if mode != "check" and presort:  # standard input among the files
        names[0], stdin = "-", (tmp_path / names[0]).read_bytes()
    theirs = gnu_sort(*options, *extra, *names, input=stdin, cwd=tmp_path)
    ours = lodestack(*options, *extra, "-T", tmp_dir, *names, input=stdin, cwd=tmp_path)
    assert (ours.returncode, ours.stderr, ours.stdout) == (theirs.returncode, as_ours(theirs.stderr),
                                                           theirs.stdout)
    assert os.listdir(tmp_dir) == []


# (arguments, exit status, the first line of the message, whether GNU sort says the same). An
# argument "<&-" or ">&-" closes standard input or output, "POSIXLY_CORRECT" sets it.
ERRORS = [
    (["present", "-r", "-S", "0", "-S", " +1b", "-k", "+1", "--parallel=+2", "--batch-size=+3",
      "-t", ",", "-t", ",", "-y0", "--sort=num", "--st", "-T", "nodir", "-T", "/tmp", "-k",
      "4294967295", "-k", "99999999999999999999", "-S", "1%"], 0, None, True),
    (["-o", "out", "-o", "out", "present"], 0, None, True),
    (["POSIXLY_CORRECT", "present", "-r"], 2, "cannot read: -r: No such file or directory", True),
    (["-S", "12Q"], 2, "-S argument '12Q' too large", True),
    (["--buffer-size=1kk"], 2, "invalid suffix in --buffer-size argument '1kk'", True),
    (["-S", "-1"], 2, "invalid -S argument '-1'", True),
    (["-k", "0"], 2, "field number is zero: invalid field specification '0'", True),
    (["-k", "1.x\udcff"], 2, "invalid number after '.': invalid count at start of 'x\\377'", True),
    (["-k", "1R"], 2, "random order (R) is not supported: invalid field specification '1R'", False),
    (["-t", "ab"], 2, "multi-character tab 'ab'", True),
    (["-t", ",", "-t", ":"], 2, "incompatible tabs", True),
    (["-o", "a", "-o", "b"], 2, "multiple output files specified", True),
    (["--parallel=0"], 2, "number in parallel must be nonzero", True),
    (["--parallel", "2x"], 2, "invalid suffix in --parallel argument '2x'", True),
    (["--batch-size=1"], 2, "invalid --batch-size argument '1'", True),
    (["--batch-size=4294967297"], 2, "--batch-size argument '4294967297' too large", True),
    (["-nM", "-c", "a", "b"], 2, "options '-Mn' are incompatible", True),
    (["-k1,1dn"], 2, "options '-dn' are incompatible", True),
    (["-c", "-o", "x"], 2, "options '-co' are incompatible", True),
    (["-C", "--check"], 2, "options '-cC' are incompatible", True),
    (["-c", "present", "missing"], 2, "extra operand 'missing' not allowed with -c", True),
    (["-cz", "zero"], 1, "zero:2: disorder: a\0", True),
    (["--check=foo"], 1, "invalid argument 'foo' for '--check'", True),
    (["--s"], 2, "option '--s' is ambiguous; possibilities: '--sort' '--stable'", True),
    (["--bogus=1"], 2, "unrecognized option '--bogus=1'", True),
    (["-x"], 2, "invalid option -- 'x'", True),
    (["-k"], 2, "option requires an argument -- 'k'", True),
    (["--stable=1"], 2, "option '--stable' doesn't allow an argument", True),
    (["-R"], 2, "option '-R' is not supported by lodestack", False),
    (["--sort=random"], 2, "option '--sort=random' is not supported by lodestack", False),
    (["--compress-program=gzip"], 2, "option '--compress-program=gzip' is not supported by lodestack",
     False),
    (["--debug"], 2, "option '--debug' is not supported by lodestack", False),
    (["--files0-from=names", "present"], 2, "extra operand 'present'", True),
    (["--files0-from=dash"], 2, "when reading file names from standard input, no file name of "
                                "'-' allowed", True),
    (["--files0-from=names", "-o", "out", "-S", "1", "-T", "nodir"], 2,
     "cannot create temporary file in 'nodir': No such file or directory", True),
    (["present", "missing"], 2, "cannot read: missing: No such file or directory", True),
    (["x\udcffy"], 2, "cannot read: 'x'$'\\377''y': No such file or directory", True),
    (["it's"], 2, "cannot read: \"it's\": No such file or directory", True),
    (["."], 2, "read failed: .: Is a directory", True),
    (["-c", "."], 2, "read failed: .: Is a directory", True),
    (["-m", "present", "."], 2, "read failed: .: Is a directory", True),
    (["-o", "nodir/out", "present"], 2, "open failed: nodir/out: No such file or directory", True),
    (["-o", "/dev/full", "present"], 2, "write failed: /dev/full: No space left on device", False),
    (["<&-"], 2, "stat failed: -: Bad file descriptor", True),
    (["<&-", "-c"], 2, "read failed: -: Bad file descriptor", True),
    (["<&-", "present", "-o", "out"], 0, None, True),
    ([">&-", "present"], 2, "write failed: 'standard output': Bad file descriptor", False),
]


@pytest.mark.parametrize("args, status, message, as_gnu", ERRORS, ids=[ascii(" ".join(r[0])) for r in ERRORS])
def test_errors_exit_with_gnu_sorts_status_and_message(args, status, message, as_gnu, tmp_path):
    (tmp_path / "present").write_bytes(b"b\na\n")
    (tmp_path / "names").write_bytes(b"present\0big")
    (tmp_path / "dash").write_bytes(b"present\0-\0")
    (tmp_path / "zero").write_bytes(b"b\0a\0")
    (tmp_path / "big").write_bytes(b"%d\n" * 5000 % tuple(range(5000)))
    env, close = {}, None
    while args and args[0] in ("POSIXLY_CORRECT", "<&-", ">&-"):
        if args[0] == "POSIXLY_CORRECT":
            env["POSIXLY_CORRECT"] = "1"
        else:
            close = 0 if args[0] == "<&-" else 1
        args = args[1:]
    ours = lodestack(*args, cwd=tmp_path, env=env, close=close)
    first = ours.stderr.split(b"\n")[0].decode("utf-8", "surrogateescape")
    assert (ours.returncode, first) == (status, f"lodestack: {message}" if message else "")
    if as_gnu:
        theirs = gnu_sort(*args, cwd=tmp_path, env=env, close=close)
        assert (ours.returncode, ours.stdout, ours.stderr) == (
            theirs.returncode, theirs.stdout, as_ours(theirs.stderr))


def test_a_fifo_is_opened_once_and_read_whole(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "sorted").write_bytes(b"a\nc\n")
    for args in (["fifo", "sorted"], ["-m", "fifo", "sorted"]):
        writer = threading.Thread(target=(tmp_path / "fifo").write_bytes, args=(b"b\nd\n",))
        writer.start()
        done = lodestack(*args, cwd=tmp_path)
        if writer.is_alive():  # never opened: let the writer go
            os.close(os.open(tmp_path / "fifo", os.O_RDONLY | os.O_NONBLOCK))
        writer.join()
        assert (done.returncode, done.stdout, done.stderr) == (0, b"a\nb\nc\nd\n", b"")


@pytest.mark.parametrize("text, size", [("1", 1 << 10), ("2b", 2), ("3k", 3 << 10), (" +5M", 5 << 20),
                                        ("2g", 2 << 30), ("K", 1 << 10), ("007", 7 << 10), ("0", 0)])
def test_buffer_sizes_count_as_gnu_sort_counts_them(text, size):
    from lodestack import cli

    assert cli.parse_size(text) == size


def test_output_onto_an_input_keeps_what_gnu_keeps(tmp_path):
    """A file of this user's alone is replaced whole, keeping its mode; a hard-linked one is
    written in place, as GNU sort writes it, so the link sees the result. Either way it is
    read whole before it is written, merging too."""
    (tmp_path / "a").write_bytes(b"k 1\nk 2")  # the file's end ends a line
    (tmp_path / "b").write_bytes(b"k 5\nj 6\n" * 4)
    os.chmod(tmp_path / "a", 0o640)
    done = lodestack("-k", "1,1", "-o", "a", "a", "-", "b", input=b"k 3\nk 4\n", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert (tmp_path / "a").read_bytes() == b"j 6\n" * 4 + b"k 1\nk 2\nk 3\nk 4\n" + b"k 5\n" * 4
    assert (os.stat(tmp_path / "a").st_mode & 0o777, sorted(os.listdir(tmp_path))) == (0o640, ["a", "b"])
    os.link(tmp_path / "b", tmp_path / "link")
    for inputs in (["-u", "b", "a"], ["-m", "a", "b"]):  # shorter, then longer
        expected = gnu_sort(*inputs, cwd=tmp_path).stdout
        assert lodestack("-o", "b", *inputs, cwd=tmp_path).returncode == 0
        assert (tmp_path / "link").read_bytes() == (tmp_path / "b").read_bytes() == expected


@needs_shim
def test_a_full_disk_while_spilling_exits_2_and_leaves_nothing(tmp_dir):
    done = lodestack("-S", "1", "-T", tmp_dir, input=b"ab\n" * 3000,
                     env={"LD_PRELOAD": SHIM, "LODESTACK_SHIM_WRITE_FAIL": "28:0"})
    assert done.returncode == 2 and done.stderr.startswith(b"lodestack: " + tmp_dir.encode())
    assert done.stderr.endswith(b"/run-000000: No space left on device\n")


def start(*args, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1")
    return subprocess.Popen([sys.executable, "-P", "-m", "lodestack", *map(str, args)], env=env,
                            stderr=subprocess.PIPE, **kwargs,
                            preexec_fn=default_signals)


def default_signals():
    # As a terminal would start it, even from a runner that ignores these (nohup, CI).
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


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
