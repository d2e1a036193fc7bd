"""The `lodestack` command: sort the lines of files larger than memory.

    lodestack [OPTIONS] [FILE...]

Lines are read as bytes in large blocks, split at b"\\n", and added to one `Sorter` with
`add_encoded`: the payload is the line with its newline, the key is the line (or the fields
that -k selects) without it. The sorted payloads go straight to the output through
`write_to`, so no line is ever decoded or pickled. The order is that of GNU sort under
`LC_ALL=C` with `-s`: plain byte order of the key, equal keys in input order.

This module does nothing when imported; `main` is the whole command (the console script
and `python -m lodestack` both call it) and returns the exit status.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import errno
import itertools
import operator
import os
import re
import select
import signal
import stat
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO

PROG = "lodestack"

# Input is read this many bytes at a time. Every line of a block exists as a bytes object at
# once, so the block also bounds the memory taken beside the sorter's budget (about 40 bytes
# per line on top of the block); a larger block reads no faster.
BLOCK = 1 << 19

# The default budget, the library's own.
DEFAULT_BUFFER = 256 << 20

EXIT_TROUBLE = 2
EXIT_SIGPIPE = 128 + signal.SIGPIPE

NEWLINE = b"\n"

# Blanks as GNU sort counts them in the C locale. A line never holds b"\n", which it also
# counts.
BLANK_RUN = re.compile(rb"[ \t]*")


class Trouble(Exception):
    """A failure the user can act on: printed as one line, exit status 2."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwind, clean up, and exit as the signal would."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# ---------------------------------------------------------------------------------------
# Sizes and numbers


_SIZE = re.compile(r"([0-9]+)([bkmgtpe%]?)", re.IGNORECASE)
_UNITS = {"b": 0, "k": 10, "m": 20, "g": 30, "t": 40, "p": 50, "e": 60}


def parse_size(text: str) -> int:
    """The bytes that -S means: GNU sort's spelling, where a bare number counts KiB.

    "b" means bytes; K, M, G, T, P and E (either case) powers of 1024; "%" a percentage of
    physical memory.
    """
    match = _SIZE.fullmatch(text)
    if match is None:
        raise Trouble(f"invalid buffer size '{text}': expected a number with an optional "
                      "unit b, K, M, G, T, P, E or %")
    number, unit = int(match[1]), match[2].lower()
    if unit == "%":
        if number > 100:
            raise Trouble(f"invalid buffer size '{text}': more than all of memory")
        size = physical_memory() * number // 100
    else:
        size = number << _UNITS[unit or "k"]
    if size < 2:
        raise Trouble(f"invalid buffer size '{text}': the least is 2 bytes")
    if size >= 1 << 63:
        raise Trouble(f"invalid buffer size '{text}': too large")
    return size


def physical_memory() -> int:
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def parse_count(option: str, text: str, least: int) -> int:
    if not re.fullmatch(r"[0-9]+", text):
        raise Trouble(f"invalid {option} '{text}': expected a whole number")
    value = int(text)
    if value < least:
        raise Trouble(f"invalid {option} '{text}': the least is {least}")
    if value >= 1 << 63:
        raise Trouble(f"invalid {option} '{text}': too large")
    return value


# ---------------------------------------------------------------------------------------
# Keys


@dataclasses.dataclass(frozen=True)
class KeyDef:
    """One -k POS1[,POS2], in GNU sort's terms, counted from 0.

    The key starts `start_char` characters after the start of field `start_field` + 1, and
    ends `end_char` characters into field `end_field` + 1, or at the end of that field when
    `end_char` is 0, or at the end of the line when `end_field` is None. Without -t a field
    includes the blanks before it.
    """

    text: str
    start_field: int
    start_char: int
    end_field: int | None
    end_char: int
    numeric: bool
    blank_start: bool
    blank_end: bool
    # Whether the key carries ordering letters of its own; if not, it takes the global ones.
    has_options: bool


_KEY = re.compile(
    r"(?P<f1>[0-9]*)(?:\.(?P<c1>[0-9]*))?(?P<o1>[A-Za-z]*)"
    r"(?:,(?P<f2>[0-9]*)(?:\.(?P<c2>[0-9]*))?(?P<o2>[A-Za-z]*))?"
)


def parse_key(text: str) -> KeyDef:
    """Parses -k F[.C][OPTS][,F[.C][OPTS]], where OPTS are any of b and n."""

    def bad(why: str) -> Trouble:
        return Trouble(f"invalid key '{text}': {why}")

    match = _KEY.fullmatch(text)
    if match is None:
        raise bad("expected F[.C][OPTS][,F[.C][OPTS]], such as 2,2 or 3n,3")
    if not match["f1"]:
        raise bad("a field number must come first")
    start_field = int(match["f1"]) - 1
    if start_field < 0:
        raise bad("field number is zero")
    start_char = 0
    if match["c1"] is not None:
        if not match["c1"]:
            raise bad("a character number must follow '.'")
        start_char = int(match["c1"]) - 1
        if start_char < 0:
            raise bad("character offset is zero")
    end_field, end_char = None, 0
    if match["f2"] is not None:
        if not match["f2"]:
            raise bad("a field number must follow ','")
        end_field = int(match["f2"]) - 1
        if end_field < 0:
            raise bad("field number is zero")
        if match["c2"] is not None:
            if not match["c2"]:
                raise bad("a character number must follow '.'")
            # Here 0 is allowed and means the end of the field.
            end_char = int(match["c2"])
    start_opts, end_opts = match["o1"], match["o2"] or ""
    for letter in start_opts + end_opts:
        if letter not in "bn":
            raise bad(f"unsupported ordering option '{letter}' (only b and n are)")
    return KeyDef(
        text=text,
        start_field=start_field,
        start_char=start_char,
        end_field=end_field,
        end_char=end_char,
        numeric="n" in start_opts + end_opts,
        blank_start="b" in start_opts,
        blank_end="b" in end_opts,
        has_options=bool(start_opts + end_opts),
    )


def whole_line_key(numeric: bool, blanks: bool) -> KeyDef:
    return KeyDef("", 0, 0, None, 0, numeric, blanks, blanks, has_options=True)


def with_global_options(keydef: KeyDef, numeric: bool, blanks: bool) -> KeyDef:
    """A key without ordering letters of its own takes -n and -b, as in GNU sort."""
    if keydef.has_options:
        return keydef
    return dataclasses.replace(keydef, numeric=numeric, blank_start=blanks, blank_end=blanks)


# Numbers as GNU sort -n reads them in the C locale: optional blanks, an optional minus,
# digits, an optional fraction. Whatever does not start that way counts as 0, and the text
# after the number is ignored.
_NUMBER = re.compile(rb"[ \t]*(-?)0*([0-9]*)(?:\.([0-9]*))?")
_NINES = bytes.maketrans(b"0123456789", b"9876543210")


def numeric_key(text: bytes) -> tuple[int, int, bytes, bytes]:
    """A sort key that orders `text` as GNU sort -n orders it, exactly, for any length.

    A non-negative number becomes (1, digits before the point, those digits, the fraction
    without trailing zeros): a longer integer part is larger, and fractions compare as
    digit strings. A negative one becomes (0, minus the length, the digits complemented,
    the fraction complemented and closed by 0xFF), which reverses each comparison, so
    -0.5 < -0.25 because "4\\xff" < "74\\xff". Equal values ("1.50", "01.5") get equal
    keys, and -0 is 0. No int is made, so a number of any length costs only its bytes.
    """
    if text.isdigit() and text[0] != 0x30:
        return (1, len(text), text, b"")  # the common plain integer, without the regex
    match = _NUMBER.match(text)
    minus, whole, fraction = match.groups()  # type: ignore[union-attr]
    fraction = fraction.rstrip(b"0") if fraction else b""
    if minus and (whole or fraction):
        return (0, -len(whole), whole.translate(_NINES), fraction.translate(_NINES) + b"\xff")
    return (1, len(whole), whole, fraction)


class FieldFinder:
    """Finds where fields start and end in a line, with -t SEP or between blanks."""

    def __init__(self, separator: bytes | None) -> None:
        self.separator = separator
        self._skips: dict[int, re.Pattern[bytes]] = {}

    def skip(self, line: bytes, fields: int) -> int:
        """The offset just after `fields` fields (and the separator after the last), or the
        end of the line when it has fewer."""
        if fields == 0:
            return 0
        pattern = self._skips.get(fields)
        if pattern is None:
            if self.separator is None:
                # A field is its leading blanks and the non-blanks after them.
                one = rb"[ \t]*[^ \t]*"
            else:
                sep = re.escape(self.separator)
                one = rb"[^" + sep + rb"]*" + sep
            pattern = self._skips[fields] = re.compile(rb"(?:%s){%d}" % (one, fields))
        match = pattern.match(line)
        return match.end() if match else len(line)

    def start(self, line: bytes, keydef: KeyDef) -> int:
        at = self.skip(line, keydef.start_field)
        if keydef.blank_start:
            at = BLANK_RUN.match(line, at).end()  # type: ignore[union-attr]
        return min(len(line), at + keydef.start_char)

    def end(self, line: bytes, keydef: KeyDef) -> int:
        if keydef.end_field is None:
            return len(line)
        if keydef.end_char == 0:
            # The end of field end_field + 1: before the separator that follows it, or,
            # without -t, before the blanks that start the next field.
            if self.separator is None:
                return self.skip(line, keydef.end_field + 1)
            at = self.skip(line, keydef.end_field)
            found = line.find(self.separator, at)
            return found if found >= 0 else len(line)
        at = self.skip(line, keydef.end_field)
        if keydef.blank_end:
            at = BLANK_RUN.match(line, at).end()  # type: ignore[union-attr]
        return min(len(line), at + keydef.end_char)


def key_function(
    keydefs: Sequence[KeyDef], separator: bytes | None
) -> Callable[[bytes], Any] | None:
    """What turns a line into its sort key; None when the key is the line itself.

    Several keys make a tuple, compared key by key. A byte key is the bytes between its
    start and end (nothing when the end comes first); a numeric key is `numeric_key` of
    them.
    """
    if not keydefs:
        return None
    if len(keydefs) == 1:
        single = keydefs[0]
        # Numbers skip leading blanks anyway, so b changes nothing for them.
        simple = (
            single.start_char == 0
            and single.end_char == 0
            and (single.numeric or not (single.blank_start or single.blank_end))
        )
        if simple and single.end_field is None and single.start_field == 0:
            return numeric_key if single.numeric else None
        if simple and separator is not None and single.end_field in (None, single.start_field):
            return split_key(separator, single.start_field, single.end_field is None,
                             single.numeric)

    finder = FieldFinder(separator)

    def one(keydef: KeyDef) -> Callable[[bytes], Any]:
        start, end = finder.start, finder.end

        def key_bytes(line: bytes) -> bytes:
            begin = start(line, keydef)
            return line[begin : end(line, keydef)]

        if keydef.numeric:
            return lambda line: numeric_key(key_bytes(line))
        return key_bytes

    parts = [one(keydef) for keydef in keydefs]
    if len(parts) == 1:
        return parts[0]
    return lambda line: tuple([part(line) for part in parts])


def split_key(
    separator: bytes, field: int, to_end: bool, numeric: bool
) -> Callable[[bytes], Any]:
    """The common -t SEP -k N,N (or -k N, either with n) as one split of the line."""
    splits = field if to_end else field + 1

    def key(line: bytes) -> bytes:
        parts = line.split(separator, splits)
        return parts[field] if len(parts) > field else b""

    def number(line: bytes) -> tuple[int, int, bytes, bytes]:
        parts = line.split(separator, splits)
        return numeric_key(parts[field] if len(parts) > field else b"")

    return number if numeric else key


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

    The main thread reports bytes as it reads or writes them; a ticker thread redraws the
    line while the main thread waits inside the sorter (merging before the first output),
    so the elapsed time keeps moving. Both draw under one lock.
    """

    REDRAW = 0.2  # seconds between redraws
    BAR = 16  # characters in the bar, so that a full line fits in 80 columns

    def __init__(self, stream: BinaryIO | None) -> None:
        self.stream = stream
        self.lock = threading.Lock()
        self.phase = ""
        self.total: int | None = None
        self.done = 0
        self.started = self.last_draw = time.monotonic()
        self.stop = threading.Event()
        self.ticker: threading.Thread | None = None
        if stream is not None:
            self.ticker = threading.Thread(target=self._tick, name="progress",
                                           daemon=True)
            self.ticker.start()

    def begin(self, phase: str, total: int | None) -> None:
        if self.stream is None:
            return
        with self.lock:
            if self.phase:
                self._draw(time.monotonic())  # how the phase that ends has ended
            self.phase, self.total, self.done = phase, total, 0
            self.started = time.monotonic()
            self._draw(self.started)

    def advance(self, n: int) -> None:
        if self.stream is None:
            return
        self.done += n
        now = time.monotonic()
        if now - self.last_draw >= self.REDRAW:
            with self.lock:
                self._draw(now)

    def close(self, summary: str | None = None) -> None:
        if self.stream is None:
            return
        self.stop.set()
        if self.ticker is not None:
            self.ticker.join()
        with self.lock:
            if summary:
                self._draw(time.monotonic())
            self._put("\r\x1b[K" + (summary + "\n" if summary else ""))
        self.stream = None

    def _tick(self) -> None:
        while not self.stop.wait(self.REDRAW):
            with self.lock:
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

    def columns(self) -> int:
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns  # type: ignore[union-attr]
        except (OSError, ValueError, AttributeError):
            columns = 0
        return columns if columns >= 20 else 80

    def _put(self, text: str) -> None:
        assert self.stream is not None
        try:
            self.stream.write(text.encode())
            self.stream.flush()
        except OSError:
            pass  # a progress line that cannot be shown is not worth failing the sort for


# ---------------------------------------------------------------------------------------
# Output


def reason(error: OSError) -> str:
    return error.strerror or str(error)


class OutputError(Exception):
    """Writing the output failed; raised from the handle, so it passes through write_to."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class Output:
    """Where the sorted lines go, opened before any input is read so that a bad path fails
    at once rather than after the sort.

    A regular file (or a new one) is written as a temporary file beside it and renamed over
    it at the end: the output may be one of the inputs, and a failed or interrupted sort
    leaves the old file as it was and no temporary file behind. Standard output and other
    files (devices, pipes) are written directly.
    """

    def __init__(self, name: str, fd: int, *, owned: bool = True, final: str | None = None,
                 temp: str | None = None, mode: int = 0) -> None:
        self.name = name  # as the user gave it, for messages
        self.fd = fd
        self.owned = owned  # whether this closes fd
        self.final = final  # the file to replace, when writing through a temporary file
        self.temp = temp
        self.mode = mode

    @classmethod
    def open(cls, path: str | None) -> Output:
        if path is None:
            return cls("standard output", sys.stdout.fileno(), owned=False)
        try:
            info: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            info = None
        except OSError as e:
            raise Trouble(f"cannot write '{path}': {reason(e)}") from None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise Trouble(f"cannot write '{path}': {os.strerror(errno.EISDIR)}")
        try:
            if info is not None and not stat.S_ISREG(info.st_mode):
                return cls(path, os.open(path, os.O_WRONLY | os.O_CLOEXEC))
            final = os.path.realpath(path)
            if info is not None:
                mode = stat.S_IMODE(info.st_mode)
            else:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            directory, base = os.path.split(final)
            fd, temp = tempfile.mkstemp(prefix=f".{base}.", suffix=".lodestack-tmp",
                                        dir=directory)
        except OSError as e:
            raise Trouble(f"cannot write '{path}': {reason(e)}") from None
        return cls(path, fd, final=final, temp=temp, mode=mode)

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
            raise Trouble(f"cannot write '{self.name}': {reason(e)}") from None

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


class Sink:
    """The handle `write_to` writes into: every byte reaches the output or an OutputError
    is raised, so a short write or a non-blocking descriptor cannot lose data."""

    def __init__(self, output: Output, progress: Progress, total: int) -> None:
        self.fd = output.fd
        self.progress = progress
        self.total = total
        self.started = False

    def write(self, data: bytes) -> int:
        if not self.started:
            # The first chunk ends the merging that write_to starts with.
            self.started = True
            self.progress.begin("writing", self.total)
        view = memoryview(data)
        try:
            while view:
                try:
                    n = os.write(self.fd, view)
                except BlockingIOError:
                    select.select([], [self.fd], [])
                    continue
                view = view[n:]
                self.progress.advance(n)
        except OSError as e:
            raise OutputError(e) from None
        return len(data)


# ---------------------------------------------------------------------------------------
# Input


@dataclasses.dataclass
class Totals:
    lines: int = 0
    bytes_in: int = 0
    bytes_out: int = 0  # bytes_in, and a newline for each input whose last line lacked one


def check_input(path: str) -> int | None:
    """Fails now for an input that cannot be read, so that a typo in the last of many
    files does not cost the whole sort first. Returns its size, when known."""
    if path == "-":
        try:
            info = os.fstat(sys.stdin.fileno())
        except (OSError, ValueError, AttributeError):
            return None
        return info.st_size if stat.S_ISREG(info.st_mode) else None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise Trouble(f"cannot read '{path}': {reason(e)}") from None
    try:
        info = os.fstat(fd)
    finally:
        os.close(fd)
    if stat.S_ISDIR(info.st_mode):
        raise Trouble(f"cannot read '{path}': {os.strerror(errno.EISDIR)}")
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def read_lines(path: str, totals: Totals, progress: Progress) -> Iterator[list[bytes]]:
    """The lines of one input, without their newlines, a block's worth at a time. A last
    line without a newline still counts as a line."""
    name = "standard input" if path == "-" else path
    try:
        fd = sys.stdin.fileno() if path == "-" else os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise Trouble(f"cannot read '{name}': {reason(e)}") from None
    # The pieces of a line that runs past the end of a block, joined once its end is found,
    # so a line longer than many blocks is copied once, not once per block.
    pieces: list[bytes] = []
    try:
        while True:
            try:
                block = os.read(fd, BLOCK)
            except OSError as e:
                raise Trouble(f"cannot read '{name}': {reason(e)}") from None
            if not block:
                break
            totals.bytes_in += len(block)
            totals.bytes_out += len(block)
            progress.advance(len(block))
            lines = block.split(NEWLINE)
            if len(lines) == 1:
                pieces.append(block)
                continue
            if pieces:
                pieces.append(lines[0])
                lines[0] = b"".join(pieces)
                pieces.clear()
            last = lines.pop()
            if last:
                pieces.append(last)
            yield lines
        if pieces:
            totals.bytes_out += 1
            yield [b"".join(pieces)]
    finally:
        if path != "-":
            os.close(fd)


# ---------------------------------------------------------------------------------------
# The command


HELP = """\
Sort the lines of FILEs (standard input when none is given, or for -) by their bytes, and
write them to standard output or to -o FILE. The order is that of GNU sort with LC_ALL=C
and -s: unsigned byte order of each line (or of its keys), lines with equal keys in the
order they were read. Input larger than the buffer is sorted in parts that are spilled,
compressed, to a private directory and merged back; the directory is removed at the end,
also on an error or Ctrl-C. A last line without a newline gets one.
"""

EPILOG = """\
keys:
  Without -k a line is compared whole. KEYDEF is F[.C][OPTS][,F[.C][OPTS]]: the key runs
  from character C of field F (default: its first) to character C of the second field F
  (default: the end of that field; without ,F the end of the line). Fields and characters
  count from 1. With -t a field ends at each SEP; without it, fields are separated by
  blanks (spaces and tabs) and each field includes the blanks before it. OPTS are:
    n  compare as a number: optional blanks, an optional -, digits, an optional
       fraction after '.'; anything else counts as 0, and numbers compare exactly
    b  skip blanks before the start (or, after the comma, before the end character)
  Several -k compare in the order given, each only where the earlier ones are equal. A key
  without OPTS takes -n and -b when they are given. Examples: -t , -k 2,2   -k 3n,3
  -t $'\\t' -k 1,1 -k 4n,4

sizes:
  SIZE is a number and a unit: b for bytes; K, M, G, T, P, E for powers of 1024; % for a
  share of physical memory. A number without a unit counts KiB, as in GNU sort.

exit status:
  0 sorted; 2 for any error (one line on stderr names the file or option); 130 after
  Ctrl-C, 143 after SIGTERM and 129 after SIGHUP, with nothing left in the temporary
  directory and the output file as it was; 141 when the reader of standard output went
  away.
"""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise Trouble(f"{message} (see '{PROG} --help')")


def build_parser() -> Parser:
    from lodestack import __version__

    parser = Parser(
        prog=PROG,
        usage=f"{PROG} [OPTIONS] [FILE...]",
        description=HELP,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help=argparse.SUPPRESS)
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE instead of standard output; FILE may be one of "
                             "the inputs (it is written aside and renamed at the end)")
    parser.add_argument("-k", "--key", action="append", default=[], metavar="KEYDEF",
                        help="sort by a key (see keys below); may be repeated")
    parser.add_argument("-t", "--field-separator", metavar="SEP",
                        help="fields end at the byte SEP instead of at blanks ('\\0' for NUL)")
    parser.add_argument("-n", "--numeric-sort", action="store_true",
                        help="compare keys without OPTS (or whole lines) as numbers")
    parser.add_argument("-b", "--ignore-leading-blanks", action="store_true",
                        help="ignore blanks before keys without OPTS (or whole lines)")
    parser.add_argument("-s", "--stable", action="store_true",
                        help="keep lines with equal keys in input order; always so, "
                             "accepted for GNU sort's sake")
    parser.add_argument("-S", "--buffer-size", metavar="SIZE",
                        help=f"hold at most SIZE of lines in memory (default 256M); lines "
                             f"count 16 bytes more each, plus their keys")
    parser.add_argument("-T", "--temporary-directory", action="append", default=[],
                        metavar="DIR",
                        help="spill into DIR (default: $TMPDIR, else /tmp)")
    parser.add_argument("--parallel", metavar="N",
                        help="sort and compress spilled parts with N threads (default 1)")
    parser.add_argument("--batch-size", metavar="N",
                        help="merge at most N spilled parts at once, in passes when more "
                             "(default 64, at least 2)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress line on stderr (default: when stderr is a "
                             "terminal)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


@dataclasses.dataclass
class Settings:
    inputs: list[str]
    output: str | None
    max_bytes: int
    tmp_dir: str | None
    threads: int
    max_open: int
    key: Callable[[bytes], Any] | None
    progress: bool


def settings_from(argv: Sequence[str]) -> Settings:
    args = build_parser().parse_args(argv)
    separator = None
    if args.field_separator is not None:
        separator = os.fsencode(args.field_separator)
        if separator == b"\\0":
            separator = b"\0"
        if not separator:
            raise Trouble("invalid field separator '': it is empty")
        if len(separator) != 1:
            raise Trouble(f"invalid field separator '{args.field_separator}': it must be "
                          "one byte")
    keydefs = [with_global_options(parse_key(text), args.numeric_sort,
                                 args.ignore_leading_blanks) for text in args.key]
    if not keydefs and (args.numeric_sort or args.ignore_leading_blanks):
        keydefs = [whole_line_key(args.numeric_sort, args.ignore_leading_blanks)]
    if len(args.temporary_directory) > 1:
        raise Trouble("-T may be given once: lodestack spills into one directory")
    progress = args.progress
    if progress is None:
        progress = os.isatty(2)
    return Settings(
        inputs=args.files or ["-"],
        output=args.output,
        max_bytes=DEFAULT_BUFFER if args.buffer_size is None else parse_size(args.buffer_size),
        tmp_dir=args.temporary_directory[0] if args.temporary_directory else None,
        threads=1 if args.parallel is None else parse_count("--parallel", args.parallel, 1),
        max_open=64 if args.batch_size is None else parse_count("--batch-size",
                                                                args.batch_size, 2),
        key=key_function(keydefs, separator),
        progress=progress,
    )


def sort_lines(settings: Settings) -> None:
    from lodestack import Sorter

    sizes = [check_input(path) for path in settings.inputs]
    total_in = None if None in sizes else sum(s for s in sizes if s is not None)
    output = Output.open(settings.output)
    progress = Progress(sys.stderr.buffer if settings.progress else None)
    totals = Totals()
    started = time.monotonic()
    try:
        try:
            sorter = Sorter(max_bytes=settings.max_bytes, tmp_dir=settings.tmp_dir,
                            max_open=settings.max_open, threads=settings.threads)
        except OSError as e:
            where = settings.tmp_dir or tempfile.gettempdir()
            raise Trouble(f"cannot use temporary directory '{where}': {e}") from None
        with sorter:
            add = sorter.add_encoded
            key = settings.key
            # A loop in C: map calls add_encoded for each line and deque drops the Nones.
            drain = collections.deque[None](maxlen=0).extend
            progress.begin("reading", total_in)
            for path in settings.inputs:
                for lines in read_lines(path, totals, progress):
                    totals.lines += len(lines)
                    payloads = map(operator.add, lines, itertools.repeat(NEWLINE))
                    try:
                        drain(map(add, lines if key is None else map(key, lines), payloads))
                    except OSError as e:
                        raise Trouble(f"sorting failed: {e}") from None
            progress.begin("merging", None)
            sink = Sink(output, progress, totals.bytes_out)
            try:
                sorter.write_to(sink)
            except OutputError as e:
                if e.error.errno == errno.EPIPE:
                    raise
                raise Trouble(f"cannot write '{output.name}': {reason(e.error)}") from None
            except OSError as e:
                raise Trouble(f"sorting failed: {e}") from None
        output.commit()
    except BaseException:
        output.discard()
        progress.close()
        raise
    elapsed = time.monotonic() - started
    progress.close(
        f"sorted {totals.lines:,} lines, {human_bytes(totals.bytes_out)}, in {clock(elapsed)}"
        f" ({human_bytes(totals.bytes_out / elapsed if elapsed else 0)}/s)"
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command and returns its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    restore = install_signal_handlers()
    try:
        sort_lines(settings_from(argv))
        return 0
    except Trouble as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_TROUBLE
    except OutputError:
        # The reader of standard output has gone, as in `lodestack big | head`: not an error
        # worth a message, and the status a shell shows for a process SIGPIPE killed.
        silence_stdout()
        return EXIT_SIGPIPE
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Terminated as e:
        return 128 + e.signum
    except MemoryError:
        print(f"{PROG}: out of memory", file=sys.stderr)
        return EXIT_TROUBLE
    finally:
        restore()


def silence_stdout() -> None:
    # Python flushes sys.stdout at exit; with the reader gone that would fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except OSError:
        pass


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
