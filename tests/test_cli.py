"""The `lodestack` command, end to end in child processes: output byte for byte against
`LC_ALL=C sort -s` with the same options, and failures by exit status and their one line."""

import errno
import os
import pathlib
import pty
import random
import re
import select
import signal
import subprocess
import sys

import pytest

from conftest import PACKAGE_ROOT, SHIM, eventually, needs_shim, private_dirs

from lodestack import cli

GNU_ENV = dict(os.environ, LC_ALL="C")


def lodestack(*args, stdin=None, input=None, env=None, stderr=subprocess.PIPE, **kwargs):
    child_env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1")
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-P", "-m", "lodestack", *map(str, args)],
        input=input,
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=stderr,
        env=child_env,
        timeout=60,
        **kwargs,
    )


def start(*args, stderr=subprocess.PIPE, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONSAFEPATH="1")
    # A runner that started us with SIGINT ignored (a background job) would pass that on,
    # and the command rightly keeps an ignored SIGINT ignored.
    return subprocess.Popen([sys.executable, "-P", "-m", "lodestack", *map(str, args)],
                            env=env, stderr=stderr, preexec_fn=default_sigint, **kwargs)


def default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def gnu_sort(*args, input=None):
    return subprocess.run(
        ["sort", "-s", *map(str, args)], input=input, capture_output=True, env=GNU_ENV,
        check=True, timeout=60,
    ).stdout


def sorted_by_lodestack(data, *args, tmp_path):
    source = tmp_path / "input"
    source.write_bytes(data)
    spill = tmp_path / "spill"
    spill.mkdir(exist_ok=True)
    done = lodestack(*args, "-T", spill, source)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    assert list(spill.iterdir()) == []
    return done.stdout


# ---------------------------------------------------------------------------------------
# Generated inputs


def random_lines(seed, count, alphabet, longest=12, end=b"\n"):
    rng = random.Random(seed)
    return b"".join(
        bytes(rng.choice(alphabet) for _ in range(rng.randint(0, longest))) + end
        for _ in range(count)
    )


def fielded_lines(seed, count, separator):
    """Lines of 1 to 4 short fields over few values, so keys repeat and tie often, with
    the separator doubled or leading now and then."""
    rng = random.Random(seed)
    words = [b"", b"a", b"b", b"ab", b"B", b" a", b"a ", b"\ta", b"10", b"9", b"-1"]
    lines = []
    for i in range(count):
        fields = [rng.choice(words) for _ in range(rng.randint(1, 4))]
        line = separator.join(fields)
        if rng.random() < 0.1:
            line = separator + line
        lines.append(line + b" #%d" % i)  # a tail that tells equal keys apart
    return b"\n".join(lines) + b"\n"


NUMBERS = [
    b"0", b"00", b"-0", b"-0.000", b"0.0", b"", b"abc", b"-", b"+5", b"5", b"05", b"5.",
    b"5.0", b"5.00001", b"5.1", b"5.10", b"-5", b"-5.1", b"-5.10", b"-5.01", b"-.5", b".5",
    b"0.5", b"-0.5", b" 7", b"\t7", b"  -7", b"1e3", b"1,000", b"12abc", b"-x1",
    b"99999999999999999999999999999999999999", b"100000000000000000000000000000000000000",
    b"-99999999999999999999999999999999999999", b"0.000000000000000000000000000000000001",
    b"-0.000000000000000000000000000000000001", b"1." + b"0" * 30 + b"1", b"\x00" b"5",
]


def numeric_lines(seed, count):
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        if rng.random() < 0.5:
            number = rng.choice(NUMBERS)
        else:
            number = b"%s%d.%d" % (rng.choice([b"", b"-"]), rng.randint(0, 30),
                                   rng.randint(0, 300))
        lines.append(b"k%d,%s,#%d" % (i % 3, number, i))
    return b"\n".join(lines) + b"\n"


BINARY = bytes(b for b in range(256) if b != 0x0A)

INPUTS = {
    "empty": lambda: b"",
    "one line without a newline": lambda: b"only",
    "no final newline": lambda: b"b\na\n\nc",
    "only newlines": lambda: b"\n\n\n",
    "crlf lines": lambda: random_lines(1, 400, b"ab\r", end=b"\r\n") + b"a\r\nb\na\r",
    "binary bytes": lambda: random_lines(2, 2000, BINARY, longest=6),
    "prefixes and high bytes": lambda: b"ab\na\nab\x00\na\xff\n\xff\n\x00\nabc\na\x00\n",
    "fields by comma": lambda: fielded_lines(3, 1500, b","),
    "fields by blanks": lambda: fielded_lines(4, 1500, b" "),
    "fields by tabs": lambda: fielded_lines(5, 1500, b"\t"),
    "numbers": lambda: numeric_lines(6, 2000),
}

# Every option set is run through both programs.
COMMA, BLANK = ["-t", ","], []
OPTIONS = {
    "empty": [[], ["-k", "2n"]],
    "one line without a newline": [[]],
    "no final newline": [[]],
    "only newlines": [[]],
    "crlf lines": [[], ["-t", "\r", "-k", "2"]],
    "binary bytes": [[], ["-t", "\\0", "-k", "2,2"]],
    "prefixes and high bytes": [[]],
    "fields by comma": [COMMA + k for k in (
        ["-k", "2,2"], ["-k", "2"], ["-k", "2,3"], ["-k", "3,2"], ["-k", "2.2,2.3"],
        ["-k", "2.2,3.1"], ["-k", "1.2"], ["-k", "2b,2"], ["-k", "2,2.2b"],
        ["-k", "2,2", "-k", "1,1"], ["-k", "4,4"], ["-b", "-k", "2,2"], ["-k", "2,2n"])],
    "fields by blanks": [["-k", "2,2"], ["-k", "2"], ["-k", "1.2,2.1"], ["-k", "2b,2"],
                         ["-k", "2.2b,2.2b"], ["-b"], ["-k", "3,3", "-k", "1,1"]],
    "fields by tabs": [["-t", "\t", "-k", "2,2"], ["-k", "2,2"]],
    "numbers": [COMMA + k for k in (
        ["-k", "2n,2"], ["-k", "2,2n"], ["-n", "-k", "2,2"], ["-k", "1,1", "-k", "2n,2"],
        ["-k", "2.2n,2"])] + [["-n"]],
}
CASES = [(name, options) for name, sets in OPTIONS.items() for options in sets]


@pytest.mark.parametrize(
    "name, options", CASES, ids=[f"{name}: {' '.join(map(repr, o))}" for name, o in CASES]
)
def test_output_equals_gnu_sort(name, options, tmp_path):
    data = INPUTS[name]()
    ours = sorted_by_lodestack(data, *options, tmp_path=tmp_path)
    assert ours == gnu_sort(*options, tmp_path / "input")


def test_numbers_with_equal_values_keep_input_order(tmp_path):
    # The same value spelled five ways, and non-numbers that all count as 0.
    data = b"a 1.50\nb 01.5\nc 1.5\nd 0\ne x\nf -0\ng 1.500\nh\n"
    ours = sorted_by_lodestack(data, "-k", "2n", tmp_path=tmp_path)
    assert ours == b"d 0\ne x\nf -0\nh\na 1.50\nb 01.5\nc 1.5\ng 1.500\n"
    assert ours == gnu_sort("-k", "2n", tmp_path / "input")


@pytest.mark.parametrize("options", [[], ["-t", ",", "-k", "2n,2"]])
def test_spilled_and_merged_in_passes_equals_gnu_sort(options, tmp_path):
    # About 600 KiB through a 16 KiB budget: dozens of runs, merged two at a time.
    data = numeric_lines(7, 30_000)
    ours = sorted_by_lodestack(
        data, "-S", "16K", "--batch-size", "2", "--parallel", "2", *options, tmp_path=tmp_path
    )
    assert ours == gnu_sort(*options, tmp_path / "input")


def test_files_and_standard_input_are_read_in_the_order_given(tmp_path):
    first, last = tmp_path / "first", tmp_path / "last"
    first.write_bytes(b"k 1\nk 2")  # no final newline: the file's end ends the line
    last.write_bytes(b"k 5\nj 6\n")
    ours = lodestack("-k", "1,1", first, "-", last, input=b"k 3\nk 4\n")
    assert ours.returncode == 0
    assert ours.stdout == b"j 6\nk 1\nk 2\nk 3\nk 4\nk 5\n"
    assert ours.stdout == gnu_sort("-k", "1,1", first, "-", last, input=b"k 3\nk 4\n")


# ---------------------------------------------------------------------------------------
# The output file


@pytest.mark.parametrize("inputs", [["a"], ["b", "a"]])
def test_output_may_be_an_input(inputs, tmp_path):
    (tmp_path / "a").write_bytes(b"3\n1\n2\n")
    (tmp_path / "b").write_bytes(b"0\n4\n")
    os.chmod(tmp_path / "a", 0o640)
    done = lodestack("-o", "a", *inputs, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = {1: b"1\n2\n3\n", 2: b"0\n1\n2\n3\n4\n"}[len(inputs)]
    assert (tmp_path / "a").read_bytes() == expected
    assert os.stat(tmp_path / "a").st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path)) == ["a", "b"]  # no temporary file is left


def test_a_new_output_file_gets_the_usual_permissions(tmp_path):
    done = lodestack("-o", tmp_path / "new", input=b"b\na\n")
    assert done.returncode == 0
    assert (tmp_path / "new").read_bytes() == b"a\nb\n"
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(tmp_path / "new").st_mode & 0o777 == 0o666 & ~umask


def test_output_through_a_symbolic_link_replaces_its_target(tmp_path):
    (tmp_path / "target").write_bytes(b"old\n")
    os.symlink("target", tmp_path / "link")
    done = lodestack("-o", tmp_path / "link", input=b"b\na\n")
    assert done.returncode == 0
    assert os.readlink(tmp_path / "link") == "target"
    assert (tmp_path / "target").read_bytes() == b"a\nb\n"


# ---------------------------------------------------------------------------------------
# Failures: exit status 2 and one line that names the file or option


SIZE_UNITS = "expected a number with an optional unit b, K, M, G, T, P, E or %"
ERRORS = [
    (["."], "cannot read '.': Is a directory"),
    (["present/x"], "cannot read 'present/x': Not a directory"),
    (["present", "missing"], "cannot read 'missing': No such file or directory"),
    (["/proc/self/mem"], "cannot read '/proc/self/mem': Input/output error"),
    (["-o", "nodir/out", "present"], "cannot write 'nodir/out': No such file or directory"),
    (["-o", ".", "present"], "cannot write '.': Is a directory"),
    (["-o", "/dev/full", "present"], "cannot write '/dev/full': No space left on device"),
    (["-S", "12Q", "present"], f"invalid buffer size '12Q': {SIZE_UNITS}"),
    (["-S", "", "present"], f"invalid buffer size '': {SIZE_UNITS}"),
    (["-S", "0", "present"], "invalid buffer size '0': the least is 2 bytes"),
    (["-S", "101%", "present"], "invalid buffer size '101%': more than all of memory"),
    (["-S", "9E", "present"], "invalid buffer size '9E': too large"),
    (["-k", "0", "present"], "invalid key '0': field number is zero"),
    (["-k", "1.0", "present"], "invalid key '1.0': character offset is zero"),
    (["-k", "1,0", "present"], "invalid key '1,0': field number is zero"),
    (["-k", "2r", "present"], "invalid key '2r': unsupported ordering option 'r' (only b "
                              "and n are)"),
    (["-k", ",2", "present"], "invalid key ',2': a field number must come first"),
    (["-k", "2,", "present"], "invalid key '2,': a field number must follow ','"),
    (["-k", "2.", "present"], "invalid key '2.': a character number must follow '.'"),
    (["-k", "2-3", "present"],
     "invalid key '2-3': expected F[.C][OPTS][,F[.C][OPTS]], such as 2,2 or 3n,3"),
    (["-t", "ab", "present"], "invalid field separator 'ab': it must be one byte"),
    (["-t", "", "present"], "invalid field separator '': it is empty"),
    (["--parallel", "0", "present"], "invalid --parallel '0': the least is 1"),
    (["--parallel", "two", "present"], "invalid --parallel 'two': expected a whole number"),
    (["--batch-size", "1", "present"], "invalid --batch-size '1': the least is 2"),
    (["-T", "nodir", "present"],
     "cannot use temporary directory 'nodir': nodir: No such file or directory (os error 2)"),
    (["-T", "present", "present"],
     "cannot use temporary directory 'present': present is not a directory"),
    (["-T", ".", "-T", ".", "present"],
     "-T may be given once: lodestack spills into one directory"),
    (["--bogus", "present"], "unrecognized arguments: --bogus (see 'lodestack --help')"),
]


@pytest.mark.parametrize("args, message", ERRORS, ids=[" ".join(a) for a, _ in ERRORS])
def test_errors_exit_2_with_one_line_naming_the_cause(args, message, tmp_path):
    (tmp_path / "present").write_bytes(b"b\na\n")
    done = lodestack(*args, cwd=tmp_path, input=b"")
    assert (done.returncode, done.stderr.decode(), done.stdout) == (2, f"lodestack: {message}\n",
                                                                    b"")
    # Nothing was made: no output, no temporary file beside it, no spill directory.
    assert sorted(os.listdir(tmp_path)) == ["present"]


@needs_shim
@pytest.mark.parametrize("size, spills", [("1", True), ("1M", False)])
def test_a_full_disk_while_spilling_is_reported(size, spills, tmp_path):
    # The shim fails every write of a run file with ENOSPC. A bare -S number counts KiB,
    # as in GNU sort: 1 KiB spills these 30 KiB, 1 MiB holds them.
    spill = tmp_path / "spill"
    spill.mkdir()
    data = random_lines(8, 3000, b"abcdef", longest=18)
    done = lodestack("-S", size, "-T", spill, "-o", tmp_path / "out", input=data,
                     env={"LD_PRELOAD": SHIM, "LODESTACK_SHIM_WRITE_FAIL": "28:0"})
    if spills:
        assert done.returncode == 2
        assert re.fullmatch(
            rf"lodestack: sorting failed: {re.escape(str(spill))}/lodestack-[A-Za-z0-9]{{6}}"
            r"/run-0+: No space left on device \(os error 28\)\n",
            done.stderr.decode(),
        ), done.stderr
        assert sorted(os.listdir(tmp_path)) == ["spill"]
    else:
        assert (done.returncode, done.stderr) == (0, b"")
        assert (tmp_path / "out").read_bytes() == gnu_sort(input=data)
    assert os.listdir(spill) == []


def test_a_closed_reader_of_standard_output_ends_the_sort_quietly(tmp_path):
    # 8 MiB into a pipe whose reader has gone: EPIPE, status 141, no message, nothing left.
    spill = tmp_path / "spill"
    spill.mkdir()
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as stdout:
        done = start("-S", "1M", "-T", spill, stdin=subprocess.PIPE, stdout=stdout)
        _, stderr = done.communicate((b"y" * 63 + b"\n") * (1 << 17), timeout=60)
    assert (done.returncode, stderr) == (141, b"")
    assert os.listdir(spill) == []


# ---------------------------------------------------------------------------------------
# Ctrl-C


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_while_reading_leaves_no_temporary_file(signum, status, tmp_path):
    spill = tmp_path / "spill"
    spill.mkdir()
    out = tmp_path / "out"
    out.write_bytes(b"the old output\n")
    with start("-S", "64K", "-T", spill, "-o", out, stdin=subprocess.PIPE) as proc:
        # More than the whole budget: the command spills, then waits for more input that
        # never comes, reading the pipe, until the signal.
        proc.stdin.write(random_lines(9, 20_000, b"abcdefgh", longest=20))
        proc.stdin.flush()
        eventually(lambda: private_dirs(spill), "a spill")
        proc.send_signal(signum)
        _, stderr = proc.communicate(timeout=60)
    assert (proc.returncode, stderr) == (status, b"")
    assert os.listdir(spill) == []
    assert sorted(os.listdir(tmp_path)) == ["out", "spill"]
    assert out.read_bytes() == b"the old output\n"


def test_ctrl_c_while_writing_leaves_no_temporary_file(tmp_path):
    spill = tmp_path / "spill"
    spill.mkdir()
    source = tmp_path / "input"
    # 10 MiB: more than write_to merges ahead of a blocked write (about 4 MiB).
    digits = random.Random(10).randbytes(5 << 20).hex().encode()
    source.write_bytes(b"\n".join(digits[i : i + 19] for i in range(0, len(digits), 19)))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Opened for reading and writing, the pipe has a writer from the start, so a read
    # waits for the command's first bytes instead of seeing end-of-file.
    reader = os.open(fifo, os.O_RDWR)
    try:
        with start("-S", "256K", "-T", spill, "-o", fifo, source,
                   stdin=subprocess.DEVNULL) as proc:
            # The first bytes arrive: the command is writing, and with the pipe left full
            # it stays blocked in a write of its first 1 MiB chunk until the signal.
            assert select.select([reader], [], [], 60)[0], "the command never wrote"
            assert os.read(reader, 1)
            assert private_dirs(spill)
            proc.send_signal(signal.SIGINT)
            _, stderr = proc.communicate(timeout=60)
    finally:
        os.close(reader)
    assert (proc.returncode, stderr) == (130, b"")
    assert os.listdir(spill) == []
    assert sorted(os.listdir(tmp_path)) == ["fifo", "input", "spill"]


# ---------------------------------------------------------------------------------------
# Progress


def run_with_tty_stderr(*args, input):
    leader, follower = pty.openpty()
    try:
        proc = start(*args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        follower = -1
        proc.stdin.write(input)
        proc.stdin.close()
        out = proc.stdout.read()
        proc.wait(timeout=60)
        shown = b""
        while True:
            try:
                piece = os.read(leader, 65536)
            except OSError as e:  # EIO: the child's end is closed
                assert e.errno == errno.EIO
                break
            if not piece:
                break
            shown += piece
        return proc.returncode, out, shown
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)


DATA = b"".join(b"%06d\n" % (i * 7919 % 100_000) for i in range(100_000))


@pytest.mark.parametrize("flag, shown", [([], True), (["--no-progress"], False)])
def test_progress_shows_on_a_terminal_unless_silenced(flag, shown):
    status, out, seen = run_with_tty_stderr(*flag, input=DATA)
    assert status == 0
    assert out == b"".join(sorted(DATA.splitlines(keepends=True)))
    if shown:
        assert b"reading" in seen and b"writing" in seen
        # Standard input is a pipe of unknown length: no bar while reading.
        assert re.search(rb"\rreading   683\.6 KiB  [0-9.]+ [KMG]iB/s  \d+:\d\d\x1b\[K", seen)
        assert re.search(rb"\rwriting   \[#{16}\] 100%  683\.6 KiB/683\.6 KiB  [0-9.]+ [KMG]iB/s"
                         rb"  \d+:\d\d\x1b\[K", seen), seen
        assert b"sorted 100,000 lines, 683.6 KiB, in " in seen
    else:
        assert seen == b""


@pytest.mark.parametrize("flag, shown", [([], False), (["--progress"], True)])
def test_progress_is_off_when_stderr_is_no_terminal_unless_forced(flag, shown, tmp_path):
    source = tmp_path / "input"
    source.write_bytes(DATA)
    done = lodestack(*flag, source)
    assert done.returncode == 0
    assert done.stdout == b"".join(sorted(DATA.splitlines(keepends=True)))
    if shown:
        # A file of known length: a bar from 0 to 100% in each phase, each phase's last
        # state drawn, then a summary. Redraws in between depend on speed.
        time, rate = rb"\d+:\d\d", rb"[0-9.]+ [KMG]?i?B/s"
        state = rb"[^\r]*\x1b\[K"
        assert re.fullmatch(
            rb"\rreading   \[\.{16}\]   0%  0 B/683\.6 KiB  " + time + rb"\x1b\[K"
            rb"(\rreading " + state + rb")*"
            rb"\rreading   \[#{16}\] 100%  683\.6 KiB/683\.6 KiB  " + rate + b"  " + time +
            rb"\x1b\[K"
            rb"(\rmerging   " + time + rb"\x1b\[K)+"
            rb"\rwriting   \[\.{16}\]   0%  0 B/683\.6 KiB  " + time + rb"\x1b\[K"
            rb"(\rwriting " + state + rb")*"
            rb"\rwriting   \[#{16}\] 100%  683\.6 KiB/683\.6 KiB  " + rate + b"  " + time +
            rb"\x1b\[K"
            rb"\r\x1b\[Ksorted 100,000 lines, 683\.6 KiB, in " + time + rb" \(" + rate + rb"\)\n",
            done.stderr,
        ), done.stderr
    else:
        assert done.stderr == b""


# ---------------------------------------------------------------------------------------
# Options


def test_help_documents_every_option():
    done = lodestack("--help")
    assert done.returncode == 0
    text = done.stdout.decode()
    assert text.startswith("usage: lodestack [OPTIONS] [FILE...]\n")
    for action in cli.build_parser()._actions:
        for option in action.option_strings:
            assert re.search(rf"(^|[ ,]){re.escape(option)}\b", text, re.M), option
    for topic in ("KEYDEF is F[.C][OPTS][,F[.C][OPTS]]", "A number without a unit counts KiB",
                  "143 after SIGTERM"):
        assert topic in text


@pytest.mark.parametrize(
    "text, size",
    [("1", 1024), ("2b", 2), ("3K", 3 << 10), ("3k", 3 << 10), ("5M", 5 << 20), ("2g", 2 << 30),
     ("1T", 1 << 40), ("007", 7 << 10), ("50%", None)],
)
def test_buffer_sizes_follow_gnu_sort(text, size):
    # A percentage is of physical memory.
    assert cli.parse_size(text) == (size or cli.physical_memory() // 2)


def test_importing_the_command_has_no_side_effects():
    code = ("import signal, sys; h = signal.getsignal(signal.SIGINT); import lodestack.cli; "
            "assert signal.getsignal(signal.SIGINT) is h; assert 'lodestack.cli' in sys.modules")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


@pytest.mark.parametrize(
    "texts",
    [
        # Each list is in increasing order, with equal values grouped in one tuple.
        [b"-100", b"-99.5", (b"-1.5", b"-1.50"), b"-1.25", b"-1", b"-0.5", b"-0.05",
         (b"0", b"-0", b"", b"x", b"00.000"), b"0.05", b"0.5", (b"1", b"01", b"1.0"),
         b"1.25", b"1.5", b"99.5", b"100"],
        [b"-" + b"9" * 5000, b"-" + b"9" * 4999, (b"5", b"  5", b"\t5x")],
        [b"0." + b"0" * 40 + b"1", b"0." + b"0" * 39 + b"1", b"1" * 4400, b"1" * 4400 + b".1"],
    ],
)
def test_numeric_keys_order_numbers_exactly(texts):
    groups = [t if isinstance(t, tuple) else (t,) for t in texts]
    keys = [[cli.numeric_key(t) for t in group] for group in groups]
    for group in keys:
        assert all(k == group[0] for k in group), group
    firsts = [group[0] for group in keys]
    assert firsts == sorted(firsts)
    assert len(set(firsts)) == len(firsts)
