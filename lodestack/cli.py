"""The `lodestack` command: GNU sort's command line, for files larger than memory.

    lodestack [OPTION]... [FILE]...
    lodestack [OPTION]... --files0-from=F

It orders lines as `LC_ALL=C sort` does, with the same options, defaults and messages. This
module parses the arguments (as GNU getopt_long does), opens each file once, shows progress
and turns outcomes into exit statuses; everything done per line happens in `_text`, in C++:
splitting blocks into lines, building each line's key, sorting, merging, checking and
writing.

This module does nothing when imported; `main` is the whole command (the console script
and `python -m lodestack` both call it) and returns the exit status.
"""

from __future__ import annotations

import dataclasses
import errno
import os
import signal
import stat
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

PROG = "lodestack"

# Input is read this many bytes at a time, into one buffer reused for every block.
BLOCK = 1 << 20

# The default budget, the library's own.
DEFAULT_BUFFER = 256 << 20
# GNU sort's default for --parallel: the processors there are, but at most 8; and the most
# threads worth a pool.
DEFAULT_MAX_THREADS = 8
MAX_THREADS = 64
DEFAULT_BATCH = 64

EXIT_DISORDER = 1
EXIT_TROUBLE = 2
EXIT_SIGPIPE = 128 + signal.SIGPIPE

TRY_HELP = f"Try '{PROG} --help' for more information."


class Trouble(Exception):
    """A failure the user can act on: its lines are printed, then the command exits."""

    def __init__(self, *lines: str, status: int = EXIT_TROUBLE, usage: bool = False) -> None:
        super().__init__(lines[0])
        self.lines = lines
        self.status = status
        self.usage = usage  # GNU adds its "Try ... --help" line


class Finished(Exception):
    """--help or --version was answered: exit 0 at once, as GNU sort does."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwind, clean up, and exit as the signal would."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def say(text: str) -> None:
    """Writes one line to standard error; a closed stderr is not worth failing for."""
    try:
        os.write(2, os.fsencode(text) + b"\n")
    except OSError:
        pass


# ---------------------------------------------------------------------------------------
# Quoting, as GNU's quote() and quotearg's shell-escape styles do in the C locale


_ESCAPES = {7: "a", 8: "b", 9: "t", 10: "n", 11: "v", 12: "f", 13: "r"}
# Characters that make a shell-escaped name need quotes, wherever they stand.
_SHELL_SPECIAL = frozenset(b"\\?'\" !$&()*;<=>[^`|")
# What may stand in a name that has a single quote, for it to be written in double quotes.
_DOUBLE_QUOTABLE = frozenset(
    b"%+,-./0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZ]_abcdefghijklmnopqrstuvwxyz'")


def _raw(text: str | bytes) -> bytes:
    return text if isinstance(text, bytes) else os.fsencode(text)


def _printable(byte: int) -> bool:
    return 0x20 <= byte < 0x7F


def quote(text: str | bytes) -> str:
    """GNU's quote(): always in single quotes, C escapes for what is not printable."""
    out = []
    for byte in _raw(text):
        if byte in _ESCAPES:
            out.append("\\" + _ESCAPES[byte])
        elif byte in b"\\'":
            out.append("\\" + chr(byte))
        elif _printable(byte):
            out.append(chr(byte))
        else:
            out.append(f"\\{byte:03o}")
    return "'" + "".join(out) + "'"


def quoteaf(text: str | bytes, *, always: bool = True, colon: bool = False) -> str:
    """A file name as GNU's quotearg shell-escape styles write it: in single quotes, with
    $'\\ooo' for bytes that are not printable, or in double quotes when it has a single
    quote and nothing else that needs them. `always=False` (quotef) leaves a name that a
    shell reads as it stands unquoted, and `colon` makes ':' need quotes too."""
    raw = _raw(text)
    if not always and raw and not any(
        byte in _SHELL_SPECIAL
        or not _printable(byte)
        or (i == 0 and byte in b"#~")
        or (colon and byte == 0x3A)
        for i, byte in enumerate(raw)
    ) and raw not in (b"{", b"}"):
        return raw.decode()
    if b"'" in raw and all(byte in _DOUBLE_QUOTABLE for byte in raw):
        return '"' + raw.decode() + '"'
    out = ["'"]
    escaping = False  # inside a $'...' run
    for byte in raw:
        if byte in _ESCAPES or not _printable(byte):
            if not escaping:
                out.append("'$'")
                escaping = True
            out.append("\\" + _ESCAPES[byte] if byte in _ESCAPES else f"\\{byte:03o}")
        elif byte == 0x27:
            out.append("'\\''")
            escaping = False
        else:
            if escaping:
                out.append("''")
                escaping = False
            out.append(chr(byte))
    return "".join(out) + "'"


def quotef(text: str | bytes) -> str:
    return quoteaf(text, always=False, colon=True)


def reason(error: OSError) -> str:
    return os.strerror(error.errno) if error.errno else str(error)


# ---------------------------------------------------------------------------------------
# Arguments, as GNU getopt_long reads them


@dataclasses.dataclass(frozen=True)
class Option:
    name: str  # the long name, without "--"
    argument: int  # 0 none, 1 required, 2 optional (only as --name=value)
    key: str  # the short letter it stands for, or its own name


_NO, _REQUIRED, _OPTIONAL = 0, 1, 2

# GNU sort's long options, in the order of its table (abbreviations and the listing of
# ambiguous ones follow it), then this command's own, which an abbreviation reaches only
# when it matches none of GNU's.
GNU_OPTIONS = [
    Option("ignore-leading-blanks", _NO, "b"), Option("check", _OPTIONAL, "check"),
    Option("compress-program", _REQUIRED, "compress-program"), Option("debug", _NO, "debug"),
    Option("dictionary-order", _NO, "d"), Option("ignore-case", _NO, "f"),
    Option("files0-from", _REQUIRED, "files0-from"),
    Option("general-numeric-sort", _NO, "g"), Option("ignore-nonprinting", _NO, "i"),
    Option("key", _REQUIRED, "k"), Option("merge", _NO, "m"), Option("month-sort", _NO, "M"),
    Option("numeric-sort", _NO, "n"), Option("human-numeric-sort", _NO, "h"),
    Option("version-sort", _NO, "V"), Option("random-sort", _NO, "R"),
    Option("random-source", _REQUIRED, "random-source"), Option("sort", _REQUIRED, "sort"),
    Option("output", _REQUIRED, "o"), Option("reverse", _NO, "r"), Option("stable", _NO, "s"),
    Option("buffer-size", _REQUIRED, "S"), Option("field-separator", _REQUIRED, "t"),
    Option("temporary-directory", _REQUIRED, "T"), Option("unique", _NO, "u"),
    Option("zero-terminated", _NO, "z"), Option("parallel", _REQUIRED, "parallel"),
    Option("batch-size", _REQUIRED, "batch-size"), Option("help", _NO, "help"),
    Option("version", _NO, "version"),
]
OWN_OPTIONS = [Option("progress", _NO, "progress"), Option("no-progress", _NO, "no-progress")]

# Short options; those followed by ':' take an argument.
SHORT = "bcCdfghik:mMno:rRsS:t:T:uVy:z"

ORDERING_LETTERS = "bdfghiMnrV"
# What GNU sort has and this command does not.
UNSUPPORTED = {"R", "random-source", "compress-program", "debug"}

SORT_WORDS = [("general-numeric", "g"), ("human-numeric", "h"), ("month", "M"),
              ("numeric", "n"), ("random", "R"), ("version", "V")]
CHECK_WORDS = [("quiet", "C"), ("silent", "C"), ("diagnose-first", "c")]


def find_long(name: str, arg: str) -> Option:
    """The long option `name` (from the argument `arg`) names, exactly or by a unique
    prefix."""
    for table in (GNU_OPTIONS, OWN_OPTIONS):
        exact = [o for o in table if o.name == name]
        if exact:
            return exact[0]
    for table in (GNU_OPTIONS, OWN_OPTIONS):
        found = [o for o in table if o.name.startswith(name)]
        if len(found) == 1:
            return found[0]
        if found:
            names = " ".join(f"'--{o.name}'" for o in found)
            raise Trouble(f"option '--{name}' is ambiguous; possibilities: {names}", usage=True)
    raise Trouble(f"unrecognized option '{arg}'", usage=True)


def argmatch(value: str, words: list[tuple[str, str]], option: str) -> str:
    """The meaning of --sort=WORD or --check=WORD, WORD exact or a unique prefix, as
    GNU's argmatch reads it; on failure its message, and exit status 1."""
    meanings = {meaning for word, meaning in words if word == value}
    if not meanings:
        meanings = {meaning for word, meaning in words if word.startswith(value)}
    if len(meanings) == 1:
        return meanings.pop()
    problem = "ambiguous" if meanings else "invalid"
    listing, previous = [], None
    for word, meaning in words:
        if meaning == previous:
            listing[-1] += f", {quote(word)}"
        else:
            listing.append(f"  - {quote(word)}")
        previous = meaning
    raise Trouble(f"{problem} argument {quote(value)} for {quote(option)}",
                  "Valid arguments are:", *listing, status=1, usage=True)


@dataclasses.dataclass
class Config:
    """The options, as given."""

    letters: str = ""  # global ordering letters
    keys: list[bytes] = dataclasses.field(default_factory=list)
    separator: int | None = None
    stable: bool = False
    unique: bool = False
    merge: bool = False
    zero: bool = False
    check: str | None = None  # "c" or "C"
    output: str | None = None
    files0_from: str | None = None
    buffer: int | None = None
    tmp_dirs: list[str] = dataclasses.field(default_factory=list)
    threads: int | None = None
    batch: int | None = None
    progress: bool | None = None


def parse_args(argv: Sequence[str]) -> tuple[Config, list[str]]:
    """Reads the arguments in order, as GNU getopt_long does: options anywhere among the
    operands (up to the first operand if POSIXLY_CORRECT is set), `--` ending them, long
    options abbreviated to a unique prefix, with `=value` or the next argument, and short
    ones clustered. Each option takes effect as it is read, so the first bad one is the
    one reported."""
    config = Config()
    operands: list[str] = []
    in_order = "POSIXLY_CORRECT" in os.environ
    i = 0
    while i < len(argv):
        arg = argv[i]
        i += 1
        if arg == "--":
            operands += argv[i:]
            break
        if arg.startswith("--"):
            name, equals, value = arg[2:].partition("=")
            option = find_long(name, arg)
            if equals and option.argument == _NO:
                raise Trouble(f"option '--{option.name}' doesn't allow an argument", usage=True)
            if not equals and option.argument == _REQUIRED:
                if i == len(argv):
                    raise Trouble(f"option '--{option.name}' requires an argument", usage=True)
                value, i = argv[i], i + 1
            apply(config, option.key, value if equals or option.argument == _REQUIRED else None,
                  f"--{option.name}")
        elif arg.startswith("-") and arg != "-":
            raw = os.fsencode(arg)
            at = 1
            while at < len(raw):
                letter = os.fsdecode(raw[at : at + 1])
                at += 1
                where = SHORT.find(letter) if letter != ":" else -1
                if where < 0:
                    raise Trouble(f"invalid option -- '{letter}'", usage=True)
                if not SHORT.startswith(":", where + 1):
                    apply(config, letter, None, f"-{letter}")
                    continue
                if at < len(raw):
                    value = os.fsdecode(raw[at:])
                elif i < len(argv):
                    value, i = argv[i], i + 1
                    # GNU ignores -y, which Solaris had, and a separate argument after it
                    # only when that is a number; anything else is read again.
                    if letter == "y" and not all(c in "0123456789" for c in value):
                        i -= 1
                else:
                    raise Trouble(f"option requires an argument -- '{letter}'", usage=True)
                apply(config, letter, value, f"-{letter}")
                break
        else:
            operands.append(arg)
            if in_order:
                operands += argv[i:]
                break
    return config, operands


def apply(config: Config, key: str, value: str | None, spelled: str) -> None:
    """Takes one option into `config`, checking it as GNU sort checks it."""
    if key in UNSUPPORTED or (key == "sort" and value is not None
                              and argmatch(value, SORT_WORDS, "--sort") == "R"):
        shown = spelled if key in ("R", "debug") or value is None else f"{spelled}={value}"
        raise Trouble(f"option '{shown}' is not supported by {PROG}")
    if key in ORDERING_LETTERS:
        config.letters += key
    elif key == "sort":
        assert value is not None
        config.letters += argmatch(value, SORT_WORDS, "--sort")
    elif key in ("c", "C", "check"):
        mode = key if key != "check" else (
            "c" if value is None else argmatch(value, CHECK_WORDS, "--check"))
        if config.check is not None and config.check != mode:
            raise Trouble("options '-cC' are incompatible")
        config.check = mode
    elif key == "k":
        assert value is not None
        keydef = os.fsencode(value)
        problem = _text().check_key(keydef)
        if problem is not None:
            raise Trouble(requote_key_error(problem))
        config.keys.append(keydef)
    elif key == "o":
        if config.output is not None and config.output != value:
            raise Trouble("multiple output files specified")
        config.output = value
    elif key == "t":
        assert value is not None
        config.separator = parse_separator(os.fsencode(value), config.separator)
    elif key == "S":
        assert value is not None
        size = parse_size(value, spelled)
        config.buffer = size if config.buffer is None else max(config.buffer, size)
    elif key == "T":
        assert value is not None
        config.tmp_dirs.append(value)
    elif key == "parallel":
        assert value is not None
        config.threads = parse_threads(value, spelled)
    elif key == "batch-size":
        assert value is not None
        config.batch = parse_batch(value, spelled)
    elif key == "files0-from":
        config.files0_from = value
    elif key in ("progress", "no-progress"):
        config.progress = key == "progress"
    elif key == "help":
        write_out(HELP)
        raise Finished
    elif key == "version":
        from lodestack import __version__

        write_out(f"{PROG} {__version__}\n")
        raise Finished
    elif key != "y":
        setattr(config, {"s": "stable", "u": "unique", "m": "merge", "z": "zero"}[key], True)


def _text() -> Any:
    from lodestack import _text

    return _text


def requote_key_error(problem: bytes) -> str:
    """A -k error from the key parser, with the part of the KEYDEF it names quoted as
    GNU's quote() quotes it."""
    for phrase in (b"invalid count at start of ", b"invalid field specification "):
        head, found, rest = problem.partition(phrase + b"'")
        if found:
            return os.fsdecode(head + phrase) + quote(rest[:-1])
    return os.fsdecode(problem)


def parse_separator(value: bytes, previous: int | None) -> int:
    if not value:
        raise Trouble("empty tab")
    separator = value[0]
    if len(value) > 1:
        if value != b"\\0":
            raise Trouble(f"multi-character tab {quote(value)}")
        separator = 0
    if previous is not None and previous != separator:
        raise Trouble("incompatible tabs")
    return separator


# ---------------------------------------------------------------------------------------
# Numbers, as GNU's xstrtoumax reads them


_SPACE = " \t\n\v\f\r"
_SIZE_SUFFIXES = {s: 10 * p for p, letters in enumerate(
    ["", "kK", "mM", "gG", "tT", "P", "E", "Z", "Y", "R", "Q"]) for s in letters}


def read_count(text: str, suffixes: str) -> tuple[int, str, str]:
    """GNU's xstrtoumax in base 10: (value, problem, rest). Leading white space and a '+'
    are taken and a '-' refused; with no digits, a suffix letter alone counts as 1. The
    problem is "" (fine), "invalid", "suffix" (something follows the number that is no
    suffix: `rest`, which starts there) or "large" (2**64 or more)."""
    stripped = text.lstrip(_SPACE)
    digits = stripped[1:] if stripped.startswith("+") else stripped
    count = len(digits) - len(digits.lstrip("0123456789"))
    if stripped.startswith("-") or (count == 0 and (not text or text[0] not in suffixes)):
        return 0, "invalid", text
    value, rest = (int(digits[:count]), digits[count:]) if count else (1, text)
    if rest and rest[0] in suffixes:
        value <<= _SIZE_SUFFIXES[rest[0]]
        rest = rest[1:]
    if rest:
        return value, "suffix", rest
    return value, "large" if value >= 1 << 64 else "", rest


def count_error(problem: str, spelled: str, text: str) -> Trouble:
    if problem == "large":
        return Trouble(f"{spelled} argument '{text}' too large")
    if problem == "suffix":
        return Trouble(f"invalid suffix in {spelled} argument '{text}'")
    return Trouble(f"invalid {spelled} argument '{text}'")


def parse_size(text: str, spelled: str = "-S") -> int:
    """The bytes -S SIZE means, as GNU sort reads it: a bare number counts KiB; the
    suffixes K, M, G, T, P, E, Z, Y, R, Q multiply by powers of 1024, b by 1, and % takes
    that share of physical memory."""
    value, problem, rest = read_count(text, "EgGkKmMPQRtTYZ")
    if not problem and text[-1] in "0123456789":
        value <<= 10
        problem = "large" if value >= 1 << 64 else ""
    if (problem == "suffix" and value < 1 << 64 and len(rest) == 1 and rest in "b%"
            and text[-2] in "0123456789"):
        if rest == "%":
            value = int(physical_memory() * value / 100)
        problem = "large" if value >= 1 << 64 else ""
    if problem:
        raise count_error(problem, spelled, text)
    return value


def physical_memory() -> int:
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def parse_threads(text: str, spelled: str) -> int:
    value, problem, _ = read_count(text, "")
    if problem == "large":
        return MAX_THREADS
    if problem:
        raise count_error(problem, spelled, text)
    if value == 0:
        raise Trouble("number in parallel must be nonzero")
    return min(value, MAX_THREADS)


def parse_batch(text: str, spelled: str) -> int:
    """--batch-size: at least 2, and at most the descriptors this process may open, less
    the three standard ones."""
    value, problem, _ = read_count(text, "")
    most = max_batch()
    if not problem:
        if value < 2:
            raise Trouble(f"invalid {spelled} argument {quote(text)}",
                          f"{PROG}: minimum {spelled} argument is {quote('2')}")
        if value >= 1 << 32 or value > most:
            problem = "large"
        else:
            return value
    if problem == "large":
        raise Trouble(f"{spelled} argument {quote(text)} too large",
                      f"{PROG}: maximum {spelled} argument with current rlimit is {most}")
    raise count_error(problem, spelled, text)


def max_batch() -> int:
    import resource

    soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    return (soft if soft != resource.RLIM_INFINITY else 1 << 32) - 3


# ---------------------------------------------------------------------------------------
# Progress


def human_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def clock(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class Progress:
    """One status line on stderr, redrawn in place: the phase, a bar over its bytes when
    their total is known, the throughput and the time left.

    The main thread reports the bytes it reads; while the C++ side merges and writes, a
    ticker thread redraws the line from that side's counter, so the line keeps moving.
    Both draw under one lock.
    """

    REDRAW = 0.2  # seconds between redraws
    BAR = 16  # characters in the bar, so that a full line fits in 80 columns

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.lock = threading.Lock()
        self.phase = ""
        self.next_phase = ""  # what the phase becomes once the counter moves
        self.total: int | None = None
        self.done = 0
        self.counter: Callable[[], int] | None = None
        self.started = self.last_draw = time.monotonic()
        self.stop = threading.Event()
        self.ticker: threading.Thread | None = None
        if enabled:
            self.ticker = threading.Thread(target=self._tick, name="progress", daemon=True)
            self.ticker.start()

    def begin(self, phase: str, total: int | None, counter: Callable[[], int] | None = None,
              then: str = "") -> None:
        if not self.enabled:
            return
        with self.lock:
            if self.phase:
                self._draw(time.monotonic())  # how the phase that ends has ended
            self.phase, self.total, self.done, self.counter = phase, total, 0, counter
            self.next_phase = then
            self.started = time.monotonic()
            self._draw(self.started)

    def advance(self, n: int) -> None:
        if not self.enabled:
            return
        self.done += n
        now = time.monotonic()
        if now - self.last_draw >= self.REDRAW:
            with self.lock:
                self._draw(now)

    def close(self, summary: Callable[[int], str] | None = None) -> None:
        """Clears the line; with `summary`, draws the phase's end and then a last line
        that `summary` makes of the phase's bytes."""
        if not self.enabled:
            return
        self.stop.set()
        if self.ticker is not None:
            self.ticker.join()
        with self.lock:
            if self.counter is not None:
                self.done = self.counter()
            if summary:
                self._draw(time.monotonic())
            self._put("\r\x1b[K" + (summary(self.done) + "\n" if summary else ""))
        self.enabled = False

    def _tick(self) -> None:
        while not self.stop.wait(self.REDRAW):
            with self.lock:
                if self.counter is not None:
                    self.done = self.counter()
                    if self.done and self.next_phase:
                        self.phase, self.next_phase = self.next_phase, ""
                        self.started = time.monotonic()
                if time.monotonic() - self.last_draw >= self.REDRAW:
                    self._draw(time.monotonic())

    def _draw(self, now: float) -> None:
        self.last_draw = now
        elapsed = now - self.started
        rate = self.done / elapsed if elapsed > 0 else 0.0
        parts = [f"{self.phase:<8}"]
        if self.total:
            fraction = min(1.0, self.done / self.total)
            filled = int(fraction * self.BAR)
            parts.append(f"[{'#' * filled}{'.' * (self.BAR - filled)}] {fraction:4.0%}")
            parts.append(f"{human_bytes(self.done)}/{human_bytes(self.total)}")
        elif self.done:
            parts.append(human_bytes(self.done))
        if self.done:
            parts.append(f"{human_bytes(rate)}/s")
        if self.total and rate > 0 and self.done < self.total:
            parts.append(f"ETA {clock((self.total - self.done) / rate)}")
        else:
            parts.append(clock(elapsed))
        self._put("\r" + "  ".join(parts)[: self.columns() - 1] + "\x1b[K")

    @staticmethod
    def columns() -> int:
        try:
            columns = os.get_terminal_size(2).columns
        except OSError:
            columns = 0
        return columns if columns >= 20 else 80

    @staticmethod
    def _put(text: str) -> None:
        try:
            os.write(2, text.encode())
        except OSError:
            pass  # a progress line that cannot be shown is not worth failing the sort for


# ---------------------------------------------------------------------------------------
# Standard streams, inputs and the output


class Streams:
    """Which of the standard descriptors were closed when the command started. Each one
    closed is held by /dev/null opened the wrong way round, so that no file this command
    opens lands on it (where messages or output would go into it) and using it fails as
    using a closed one would: reading stdin or writing stdout gives EBADF."""

    stdin_closed = False

    @classmethod
    def reserve(cls) -> None:
        for fd, flags in ((0, os.O_WRONLY), (1, os.O_RDONLY), (2, os.O_WRONLY)):
            try:
                os.fstat(fd)
            except OSError:
                if fd == 0:
                    cls.stdin_closed = True
                opened = os.open(os.devnull, flags)
                if opened != fd:
                    os.dup2(opened, fd, inheritable=False)
                    os.close(opened)


def check_inputs(names: Sequence[str]) -> None:
    """GNU sort's first check: every named input is readable. Without opening any, so
    that a FIFO is opened once, when it is read."""
    for name in names:
        if name != "-" and not os.access(name, os.R_OK, effective_ids=True):
            raise Trouble(f"cannot read: {quotef(name)}: {os.strerror(_access_errno(name))}")


def _access_errno(name: str) -> int:
    try:
        os.stat(name)
    except OSError as e:
        return e.errno or errno.EACCES
    return errno.EACCES


def open_input(name: str, *, stat_stdin: bool = False) -> int:
    """The descriptor to read `name` from, opened once; 0 for "-"."""
    if name == "-":
        if stat_stdin and Streams.stdin_closed:
            raise Trouble(f"stat failed: -: {os.strerror(errno.EBADF)}")
        return 0
    try:
        return os.open(name, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise Trouble(f"open failed: {quotef(name)}: {reason(e)}") from None


def close_input(fd: int) -> None:
    if fd != 0:
        os.close(fd)


def read_blocks(fd: int, name: str, progress: Progress) -> Any:
    """The blocks of one input, each a view of one reused buffer, valid until the next."""
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    while True:
        try:
            n = os.readinto(fd, buffer)
        except OSError as e:
            raise Trouble(f"read failed: {quotef(name)}: {reason(e)}") from None
        if n == 0:
            return
        progress.advance(n)
        yield view[:n]


def read_files0(source: str) -> list[str]:
    """The file names in `source`, each ended by a NUL, as --files0-from reads them."""
    fd = open_input(source)
    try:
        chunks = []
        while True:
            try:
                chunk = os.read(fd, BLOCK)
            except OSError as e:
                raise Trouble(f"read failed: {quotef(source)}: {reason(e)}") from None
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        close_input(fd)
    data = b"".join(chunks)
    names = data.split(b"\0")
    if names[-1] == b"":
        names.pop()
    if not names:
        raise Trouble(f"no input from {quoteaf(source)}")
    for number, name in enumerate(names, 1):
        if name == b"-":
            raise Trouble("when reading file names from standard input, no file name of "
                          f"{quoteaf(name)} allowed")
        if not name:
            raise Trouble(f"{quotef(source)}:{number}: invalid zero-length file name")
    return [os.fsdecode(name) for name in names]


class Output:
    """Where the sorted lines go, checked before any input is read, as GNU sort checks it.

    An existing regular file that this user owns alone (one link, this owner, a group the
    replacement can carry) is written as a new file beside it and renamed over it at the
    end: a failed or interrupted sort leaves the old file as it was. Any other existing
    file (hard-linked, someone else's, in a directory this user cannot write, a device, a
    FIFO) is opened now without truncating and written in place once every input has been
    read, as GNU sort writes it, which keeps its links, owner and mode. A file that does
    not exist yet is made beside its name and renamed there at the end.
    """

    def __init__(self, name: str, fd: int, *, owned: bool = True, regular: bool = False,
                 final: str | None = None, temp: str | None = None, mode: int = 0,
                 identity: tuple[int, int] | None = None) -> None:
        self.name = name  # for messages
        self.fd = fd
        self.owned = owned  # whether this closes fd
        self.regular = regular  # written in place, and truncated first
        self.final = final  # the file to replace, when writing through a temporary file
        self.temp = temp
        self.mode = mode
        self.identity = identity  # (st_dev, st_ino) of the file written in place

    @classmethod
    def open(cls, path: str | None) -> Output:
        if path is None:
            return cls("standard output", 1, owned=False)
        try:
            info: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            info = None
        except OSError as e:
            raise Trouble(f"open failed: {quotef(path)}: {reason(e)}") from None
        if info is None and not os.path.lexists(path):
            umask = os.umask(0)
            os.umask(umask)
            made = cls._beside(path, None, 0o666 & ~umask)
            if isinstance(made, OSError):
                raise Trouble(f"open failed: {quotef(path)}: {reason(made)}")
            return made
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as e:
            raise Trouble(f"open failed: {quotef(path)}: {reason(e)}") from None
        info = os.fstat(fd)
        if stat.S_ISREG(info.st_mode) and info.st_nlink == 1 and info.st_uid == os.geteuid():
            made = cls._beside(path, info, stat.S_IMODE(info.st_mode))
            if isinstance(made, Output):
                os.close(fd)
                return made
        return cls(path, fd, regular=stat.S_ISREG(info.st_mode),
                   identity=(info.st_dev, info.st_ino))

    @classmethod
    def _beside(cls, path: str, info: os.stat_result | None, mode: int) -> Output | OSError:
        """A new file beside `path` that can replace it keeping its group; else the error."""
        final = os.path.realpath(path)
        directory, base = os.path.split(final)
        try:
            fd, temp = tempfile.mkstemp(prefix=f".{base}.", suffix=".lodestack-tmp",
                                        dir=directory)
        except OSError as e:
            return e
        try:
            if info is not None and os.fstat(fd).st_gid != info.st_gid:
                os.fchown(fd, -1, info.st_gid)
        except OSError as e:
            os.close(fd)
            os.unlink(temp)
            return e
        return cls(path, fd, final=final, temp=temp, mode=mode)

    def is_input(self, fd: int) -> bool:
        """Whether the input read from `fd` is the file this writes in place."""
        if self.identity is None:
            return False
        info = os.fstat(fd)
        return (info.st_dev, info.st_ino) == self.identity

    def begin(self) -> None:
        """Every input has been read (or, merging, is safe from the output): empty a
        file written in place."""
        if self.regular:
            try:
                os.ftruncate(self.fd, 0)
            except OSError as e:
                raise Trouble(f"truncate failed: {quotef(self.name)}: {reason(e)}") from None

    def commit(self) -> None:
        """Finishes the output: closes it, and puts the temporary file in place."""
        try:
            if self.temp is not None:
                os.fchmod(self.fd, self.mode)
            if self.owned:
                fd, self.fd = self.fd, -1
                os.close(fd)  # a late error (a full NFS disk) shows here
            if self.temp is not None:
                assert self.final is not None
                os.replace(self.temp, self.final)
                self.temp = None
        except OSError as e:
            raise Trouble(f"write failed: {quotef(self.name)}: {reason(e)}") from None

    def discard(self) -> None:
        """Gives up: closes what this opened and removes the temporary file; never fails."""
        if self.owned and self.fd >= 0:
            try:
                os.close(self.fd)
            except OSError:
                pass
            self.fd = -1
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None


class OutputGone(Exception):
    """The reader of the output went away (EPIPE)."""


def failure(error: OSError, output: Output, names: Sequence[str], tmp_dir: str) -> Exception:
    """What a failure of the C++ side becomes: its one line, or OutputGone."""
    side = getattr(error, "side", "sort")
    if side == "output":
        if error.errno == errno.EPIPE:
            return OutputGone()
        return Trouble(f"write failed: {quotef(output.name)}: {reason(error)}")
    if side == "input":
        return Trouble(f"read failed: {quotef(names[error.input])}: {reason(error)}")  # type: ignore[attr-defined]
    if side == "tmpdir":
        return Trouble(f"cannot create temporary file in {quoteaf(tmp_dir)}: {reason(error)}")
    return Trouble(error.strerror or str(error))


# ---------------------------------------------------------------------------------------
# The command


@dataclasses.dataclass
class Job:
    config: Config
    names: list[str]
    keyer: Any
    end: int
    tmp_dir: str
    progress: Progress


def total_size(names: Sequence[str]) -> int | None:
    """The bytes of the inputs, when every one is a regular file, for the progress bar."""
    total = 0
    for name in names:
        try:
            info = os.fstat(0) if name == "-" else os.stat(name)
        except OSError:
            return None
        if not stat.S_ISREG(info.st_mode):
            return None
        total += info.st_size
    return total


def check(job: Job) -> int:
    """-c and -C: exit status 1, and for -c a line naming the first line out of order."""
    (name,) = job.names
    fd = open_input(name)
    try:
        checker = _text().Checker(job.keyer, job.end)
        job.progress.begin("checking", total_size(job.names))
        disorder = None
        for block in read_blocks(fd, name, job.progress):
            disorder = checker.add(block)
            if disorder is not None:
                break
        else:
            disorder = checker.end()
    finally:
        close_input(fd)
    job.progress.close()
    if disorder is None:
        return 0
    if job.config.check == "c":
        number, line = disorder
        try:
            os.write(2, os.fsencode(f"{PROG}: {name}:{number}: disorder: ") + line
                     + bytes([job.end]))
        except OSError:
            pass
    return EXIT_DISORDER


def sort(job: Job, output: Output) -> int:
    config = job.config
    buffer = DEFAULT_BUFFER if config.buffer is None else max(config.buffer, 2)
    threads = config.threads or min(os.process_cpu_count() or 1, DEFAULT_MAX_THREADS)
    try:
        sorter = _text().LineSorter(job.keyer, job.end, buffer, job.tmp_dir,
                                    config.batch or DEFAULT_BATCH, threads)
    except OSError as e:
        raise Trouble(reason(e)) from None
    try:
        job.progress.begin("reading", total_size(job.names))
        for name in job.names:
            fd = open_input(name, stat_stdin=True)
            try:
                for block in read_blocks(fd, name, job.progress):
                    sorter.add(block)
                sorter.end()
            finally:
                close_input(fd)
        output.begin()
        job.progress.begin("merging", job.progress.done, lambda: sorter.written, "writing")
        sorter.write(output.fd)
        return sorter.lines
    except OSError as e:
        raise failure(e, output, job.names, job.tmp_dir) from None
    finally:
        sorter.close()


def merge(job: Job, output: Output) -> None:
    fds: list[int] = []
    try:
        for name in job.names:
            fds.append(open_input(name))
            if output.is_input(fds[-1]):
                fds[-1] = copy_aside(fds[-1], name, job)
        merger = _text().Merger(job.keyer, job.end, fds)
        output.begin()
        job.progress.begin("merging", total_size(job.names), lambda: merger.written)
        try:
            merger.write(output.fd)
        except OSError as e:
            raise failure(e, output, job.names, job.tmp_dir) from None
    finally:
        for fd in fds:
            close_input(fd)


def copy_aside(fd: int, name: str, job: Job) -> int:
    """An input that is also the output, written in place, copied to a nameless temporary
    file first, so that emptying the output does not empty the input."""
    try:
        copy = os.open(job.tmp_dir, os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
    except OSError as e:
        close_input(fd)
        raise Trouble(f"cannot create temporary file in {quoteaf(job.tmp_dir)}: "
                      f"{reason(e)}") from None
    try:
        for block in read_blocks(fd, name, Progress(False)):
            os.write(copy, block)
        os.lseek(copy, 0, os.SEEK_SET)
    except BaseException:
        os.close(copy)
        raise
    finally:
        close_input(fd)
    return copy


def run(argv: Sequence[str]) -> int:
    config, operands = parse_args(argv)
    if config.files0_from is not None:
        if operands:
            raise Trouble(f"extra operand {quoteaf(operands[0])}",
                          "file operands cannot be combined with --files0-from", usage=True)
        names = read_files0(config.files0_from)
    else:
        names = operands or ["-"]
    try:
        keyer = _text().Keyer(config.keys, config.letters, config.separator, config.stable,
                              config.unique)
    except ValueError as e:
        raise Trouble(str(e)) from None
    tmp_dir = config.tmp_dirs[0] if config.tmp_dirs else os.environ.get("TMPDIR") or "/tmp"
    progress = Progress(config.progress if config.progress is not None else os.isatty(2))
    job = Job(config, names, keyer, 0 if config.zero else ord("\n"), tmp_dir, progress)
    started = time.monotonic()
    try:
        if config.check is not None:
            if len(names) > 1:
                raise Trouble(f"extra operand {quoteaf(names[1])} not allowed with "
                              f"-{config.check}")
            if config.output is not None:
                raise Trouble(f"options '-{config.check}o' are incompatible")
            return check(job)
        check_inputs(names)
        output = Output.open(config.output)
        try:
            if config.merge:
                merge(job, output)
                lines = None
            else:
                lines = sort(job, output)
            output.commit()
        except BaseException:
            output.discard()
            raise
    except BaseException:
        progress.close()
        raise
    elapsed = time.monotonic() - started
    what = "merged" if lines is None else f"sorted {lines:,} lines,"
    progress.close(lambda done: f"{what} {human_bytes(done)} in {clock(elapsed)} "
                                f"({human_bytes(done / elapsed if elapsed else 0)}/s)")
    return 0


def write_out(text: str) -> None:
    try:
        os.write(1, text.encode())
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command and returns its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    Streams.reserve()
    restore = install_signal_handlers()
    try:
        return run(argv)
    except Finished:
        return 0
    except Trouble as e:
        say(f"{PROG}: {e.lines[0]}")
        for line in e.lines[1:]:
            say(line)
        if e.usage:
            say(TRY_HELP)
        return e.status
    except OutputGone:
        # The reader of standard output has gone, as in `lodestack big | head`: not an error
        # worth a message, and the status a shell shows for a process SIGPIPE killed.
        return EXIT_SIGPIPE
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Terminated as e:
        return 128 + e.signum
    except MemoryError:
        say(f"{PROG}: memory exhausted")
        return EXIT_TROUBLE
    finally:
        restore()


def install_signal_handlers() -> Callable[[], None]:
    """Makes SIGINT, SIGTERM and SIGHUP unwind through the clean-up once, and ignores them
    from then on, so a second Ctrl-C cannot cut the removal of spilled files short.
    A signal that was ignored when the command started (nohup, a background job) stays
    ignored. Returns what puts the old handlers back."""
    if threading.current_thread() is not threading.main_thread():
        return lambda: None
    previous: dict[int, Any] = {}

    def handler(signum: int, frame: object) -> None:
        for number in previous:
            signal.signal(number, signal.SIG_IGN)
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise Terminated(signum)

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        old = signal.getsignal(signum)
        if old is signal.SIG_IGN:
            continue
        previous[signum] = old
        signal.signal(signum, handler)

    def restore() -> None:
        for number, old in previous.items():
            signal.signal(number, old)

    return restore


HELP = f"""\
Usage: {PROG} [OPTION]... [FILE]...
  or:  {PROG} [OPTION]... --files0-from=F
Write the sorted concatenation of all FILEs to standard output, as GNU sort does
with LC_ALL=C: keys compare as unsigned bytes, and lines whose keys are equal
compare whole (unless -s or -u). Input larger than the buffer is sorted in parts
spilled, compressed, to a private directory that is removed at the end, also on
an error or Ctrl-C.

With no FILE, or when FILE is -, read standard input.

Mandatory arguments to long options are mandatory for short options too.
Ordering options:
  -b, --ignore-leading-blanks  ignore leading blanks
  -d, --dictionary-order      consider only blanks and alphanumeric characters
  -f, --ignore-case           fold lower case to upper case characters
  -g, --general-numeric-sort  compare according to general numerical value
                                (floats, inf, nan, hex, as strtold reads them)
  -i, --ignore-nonprinting    consider only printable characters
  -M, --month-sort            compare (unknown) < 'JAN' < ... < 'DEC'
  -h, --human-numeric-sort    compare human readable numbers (e.g., 2K 1G)
  -n, --numeric-sort          compare according to string numerical value
  -r, --reverse               reverse the result of comparisons
      --sort=WORD             sort according to WORD: general-numeric -g,
                                human-numeric -h, month -M, numeric -n,
                                version -V
  -V, --version-sort          natural sort of (version) numbers within text

Other options:
      --batch-size=NMERGE     merge at most NMERGE spilled parts at once (64)
  -c, --check, --check=diagnose-first
                              check for sorted input; do not sort
  -C, --check=quiet, --check=silent
                              like -c, but do not report first bad line
      --files0-from=F         read input from the files specified by
                                NUL-terminated names in file F;
                                if F is -, read names from standard input
  -k, --key=KEYDEF            sort via a key; KEYDEF gives location and type
  -m, --merge                 merge already sorted files; do not sort
  -o, --output=FILE           write result to FILE instead of standard output;
                                FILE may be one of the inputs
  -s, --stable                stabilize sort by disabling last-resort comparison
  -S, --buffer-size=SIZE      use SIZE for main memory buffer (256M)
  -t, --field-separator=SEP   use SEP instead of non-blank to blank transition
  -T, --temporary-directory=DIR
                              use DIR for temporaries, not $TMPDIR or /tmp;
                                if given more than once, the first is used
      --parallel=N            sort and compress spilled parts with N threads
                                (default: the processors, at most 8)
  -u, --unique                output only the first of lines with equal keys;
                                with -c, check for strict ordering
  -z, --zero-terminated       line delimiter is NUL, not newline
      --progress              show a progress line on standard error
                                (the default when it is a terminal)
      --no-progress           never show it
      --help                  display this help and exit
      --version               output version information and exit

KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for start and stop position, where F is a
field number and C a character position in the field; both are origin 1, and
the stop position defaults to the line's end.  If neither -t nor -b is in
effect, characters in a field are counted from the beginning of the preceding
whitespace.  OPTS is one or more single-letter ordering options [bdfgiMhnrV],
which override global ordering options for that key.  If no key is given, use
the entire line as the key.

SIZE may be followed by the following multiplicative suffixes:
% 1% of memory, b 1, K 1024 (default), and so on for M, G, T, P, E, Z, Y, R, Q.

Not supported: -R, --random-sort, --sort=random, --random-source, --debug,
--compress-program, and locales other than C.

Exit status: 0 when sorted; 1 when -c or -C found disorder; 2 on an error, with
a line on standard error; 130, 143 or 129 after SIGINT, SIGTERM or SIGHUP (with
nothing left behind and an output file as it was); 141 when the reader of
standard output went away.
"""
