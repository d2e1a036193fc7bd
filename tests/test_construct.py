"""Constructing a Sorter: binding, conversion, validation order and messages, the spill
location, and the public face of the module and its classes."""

import gc
import inspect
import os
import pathlib
import pickle
import re
import shutil
import sys
import tempfile
import types
import weakref

import pytest

import lodestack
from lodestack import Sorter, _lodestack

from conftest import private_dirs, run_child, run_files


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Codec:
    def encode(self, item):
        return repr(item).encode()

    def decode(self, data):
        return eval(data.decode())


def test_module_and_classes_public_face(tmp_dir):
    assert _lodestack.__all__ == ["Sorter"]
    assert [n for n in dir(_lodestack) if not n.startswith("__")] == ["Sorter"]
    assert _lodestack.__doc__ == ""
    assert lodestack.Sorter is _lodestack.Sorter
    assert not hasattr(lodestack, "_SortedIterator")
    assert (Sorter.__module__, Sorter.__name__, Sorter.__qualname__) == (
        "lodestack", "Sorter", "Sorter")
    s = Sorter(tmp_dir=tmp_dir)
    iterator_type = type(s.encoded())
    assert (iterator_type.__module__, iterator_type.__name__) == ("lodestack", "_SortedIterator")
    assert iterator_type.__doc__ == "The items of a sorter, merged in order as they are read."
    for base in (Sorter, iterator_type):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (base,), {})
    with pytest.raises(TypeError, match=r"cannot create '.*_SortedIterator' instances"):
        iterator_type()
    with pytest.raises(TypeError):
        iterator_type.__new__(iterator_type)
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(s)
    assert gc.is_tracked(s)


def test_class_getitem_makes_a_generic_alias():
    assert Sorter[int] == types.GenericAlias(Sorter, int)
    assert Sorter[tuple[int, str]].__args__ == (tuple[int, str],)


CLASS_DOC = """\
Sort more items than fit in memory: add them, then sort them once.

Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or
by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at
most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a
background thread sorts it and writes it, compressed with LZ4, to a private directory in
`tmp_dir` while the other half fills. Sorting merges what was written with what is held, so
items come out in key order, and items with equal keys come out in the order they were
added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a
time, holding the block and room for it compressed, about 269 KiB, and its next item, so it
takes about `max_open` times the largest item, plus those blocks, besides what is held.

The private directory is removed when reading ends, on `close()`, when a `with` block exits,
or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter
must not be shared across a fork: make a new one in the child.

Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and
reading; an interrupted merge or read ends the sort and removes what was spilled, which can take
a moment when much was spilled, and the sorter then refuses to be read again.

Args:
    key: A function returning the sort key of an item: an int, float, str, bytes, None, or a
        tuple or list of them, compared as Python compares them. None sorts items by
        themselves. NumPy integers, like anything with `__index__`, are ints, and
        `np.float64`, `np.str_` and `np.bytes_` are a float, a str and bytes; other NumPy
        scalars, such as `np.float32` and `np.bool_`, raise TypeError, so convert them first.
    codec: Encodes each item into bytes and decodes it back; pickle if None.
    max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for
        each, at least 2.
    tmp_dir: The directory to spill into, which must be writable, or None for
        `tempfile.gettempdir()`.
    max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.
    threads: The threads that sort each half and compress each run: with 1, the thread that
        spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond
        `max_bytes`, a 1 MiB buffer of what it writes and, for each block compressed at once,
        a 128 KiB block and room for it compressed, about 269 KiB: one block with 1 thread, and
        with more, two for each thread, but at most 16, about 4.2 MiB.

Raises:
    TypeError: If `key` is not callable, or `codec` lacks `encode` and `decode` methods.
    ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.
    OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it."""

ADD_DOC = """\
Add an item, keyed and encoded now.

Raises:
    TypeError: If the key is not a sort key, or the codec does not return bytes.
    ValueError: If the sorter is closed.
    RuntimeError: If the sorter has been read, or an earlier error lost items.
    OSError: If spilling to disk fails."""

CLOSE_DOC = """\
Drop every item and remove what was spilled; closing again does nothing.

A `write_to` already running in another thread is not stopped: it writes every item, then
removes what was spilled."""

SORT_DOC = """\
Add every item given, then return every item added, decoded, in sorted order.

Items are keyed and encoded as they are added. A sorter can be sorted only once; items
given before one that fails stay added, and the sorter is not sorted. Once the iterator
raises, as when decoding an item fails, it ends, as a generator does.

Raises:
    TypeError: If a key is not a sort key, or the codec does not return bytes.
    ValueError: If the sorter is closed; also raised by the iterator once it is.
    RuntimeError: If the sorter has been sorted, or an earlier error lost items.
    OSError: If spilling, or reading what was spilled, fails."""

WRITE_TO_DOC = """\
Write every encoded item, in sorted order, to a binary handle, in chunks of about 1 MiB.

The next chunk is merged on another thread while the handle writes this one. This reads
the sorter, so it can be done only once."""

METHODS = [
    ("__class_getitem__", "($cls, key)", None),
    ("add", "($self, item, /)", ADD_DOC),
    (
        "add_encoded",
        "($self, key, payload, /)",
        "Add bytes that the codec would decode, with their sort key, calling neither.",
    ),
    ("sort", "($self, items=None, /)", SORT_DOC),
    (
        "encoded",
        "($self)",
        "Return the encoded items, as bytes, in sorted order, decoding none of them.",
    ),
    ("write_to", "($self, handle)", WRITE_TO_DOC),
    ("close", "($self)", CLOSE_DOC),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, *_exc_info)", None),
]


SIGNATURE = "(key=None, *, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1)"


def test_docstrings_signatures_and_method_order():
    assert Sorter.__doc__ == CLASS_DOC
    assert Sorter.__text_signature__ == SIGNATURE
    assert str(inspect.signature(Sorter)) == SIGNATURE
    for name, signature, doc in METHODS:
        method = getattr(Sorter, name)
        assert (name, method.__text_signature__, method.__doc__) == (name, signature, doc)
    names = [m[0] for m in METHODS]
    assert [n for n in vars(Sorter) if n in names] == names


# ---------------------------------------------------------------------------------------
# Binding and converting the arguments

TAKES = "Sorter.__new__() takes from 0 to 1 positional arguments but {} were given"
UNEXPECTED = "Sorter.__new__() got an unexpected keyword argument {!r}"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2), {}, TAKES.format(2)),
        ((None, None, None), {}, TAKES.format(3)),
        ((None, pickle), {}, TAKES.format(2)),  # codec is keyword-only
        ((), {"keys": len}, UNEXPECTED.format("keys")),
        ((len,), {"key": len}, "Sorter.__new__() got multiple values for argument 'key'"),
    ],
)
def test_binding_errors_use_the_interpreters_wording(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        Sorter(*args, **kwargs)
    assert str(e.value) == message


def test_keyword_that_is_not_utf8_is_an_unexpected_keyword():
    with pytest.raises(TypeError, match=r"^Sorter.__new__\(\) got an unexpected keyword argument"):
        Sorter(**{"\udc80": 1})


NOT_AN_INTEGER = "object cannot be interpreted as an integer"
TOO_LARGE = "Python int too large to convert to C long"


class BytesPath:
    def __fspath__(self):
        return b"/tmp"


@pytest.mark.parametrize(
    ("kwargs", "error", "message", "note"),
    [
        ({"max_bytes": 2.0}, TypeError, f"'float' {NOT_AN_INTEGER}", "max_bytes"),
        ({"max_open": "3"}, TypeError, f"'str' {NOT_AN_INTEGER}", "max_open"),
        ({"threads": None}, TypeError, f"'NoneType' {NOT_AN_INTEGER}", "threads"),
        ({"max_bytes": 2**63}, OverflowError, TOO_LARGE, "max_bytes"),
        ({"max_open": -(2**63) - 1}, OverflowError, TOO_LARGE, "max_open"),
        ({"threads": 2**64}, OverflowError, TOO_LARGE, "threads"),
        ({"tmp_dir": 5}, TypeError, "expected str, bytes or os.PathLike object, not int",
         "tmp_dir"),
        ({"tmp_dir": b"/tmp"}, TypeError, None, "tmp_dir"),
        ({"tmp_dir": BytesPath()}, TypeError, None, "tmp_dir"),
    ],
)
def test_conversion_failures_keep_their_class_and_message_and_gain_a_note(
    kwargs, error, message, note
):
    with pytest.raises(error) as e:
        Sorter(**kwargs)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert e.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize(("name", "method"), [("tmp_dir", "__fspath__"), ("max_open", "__index__")])
def test_a_raising_conversion_passes_its_own_exception_with_the_note(name, method):
    error = ArithmeticError("not today")

    def fail(self):
        raise error

    with pytest.raises(ArithmeticError) as e:
        Sorter(**{name: type("Broken", (), {method: fail})()})
    assert e.value is error
    assert e.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"max_bytes": 1}, "max_bytes must be at least 2, not 1"),
        ({"max_bytes": True}, "max_bytes must be at least 2, not 1"),
        ({"max_bytes": -(2**63)}, f"max_bytes must be at least 2, not {-(2**63)}"),
        ({"max_open": 1}, "max_open must be at least 2, not 1"),
        ({"max_open": Index(-3)}, "max_open must be at least 2, not -3"),
        ({"threads": 0}, "threads must be at least 1, not 0"),
        ({"threads": -1}, "threads must be at least 1, not -1"),
    ],
)
def test_integers_below_their_minimum(kwargs, message, tmp_dir):
    with pytest.raises(ValueError) as e:
        Sorter(tmp_dir=tmp_dir, **kwargs)
    assert str(e.value) == message
    assert os.listdir(tmp_dir) == []


@pytest.mark.parametrize(
    "kwargs",
    [
        {"max_bytes": 2, "max_open": 2, "threads": 1},
        {"max_bytes": 2**63 - 1, "max_open": 2**63 - 1},
        {"max_bytes": Index(2), "max_open": Index(3), "threads": Index(1)},
    ],
)
def test_smallest_and_largest_settings_are_used(kwargs, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, **kwargs)
    for item in (3, 1, 2):
        s.add(item)
    it = s.sort()
    # A max_bytes of 2 spills every item but the last alone.
    spills = kwargs["max_bytes"].__index__() == 2
    assert len(private_dirs(tmp_dir)) == spills
    if spills:
        assert run_files(tmp_dir) == ["run-000000", "run-000001"]
    assert list(it) == [1, 2, 3]


@pytest.mark.parametrize("runs", [64, 65])
def test_max_open_is_64_by_default(runs, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for k in range(runs + 1):
        s.add_encoded(k, b"%d" % k)
    it = s.encoded()
    files = [f"run-{i:06d}" for i in range(64)]
    if runs == 65:  # one pass merged the first two runs into run-000065
        files = files[2:] + ["run-000064", "run-000065"]
    assert run_files(tmp_dir) == files
    assert list(it) == [b"%d" % k for k in range(runs + 1)]


# ---------------------------------------------------------------------------------------
# key and codec


@pytest.mark.parametrize(
    ("key", "name"), [(5, "int"), ("abc", "str"), ([len], "list"), (Index(3), "Index")]
)
def test_key_must_be_callable(key, name):
    with pytest.raises(TypeError) as e:
        Sorter(key=key)
    assert str(e.value) == f"key must be a function returning a sort key, not {name}"


@pytest.mark.parametrize(
    ("args", "kwargs", "key"),
    [
        ((), {}, None),
        ((None,), {"codec": None}, None),
        ((len,), {}, len),
        ((type("Negate", (), {"__call__": lambda self, x: -len(x)})(),), {}, lambda x: -len(x)),
    ],
    ids=["defaults", "explicit-None", "function", "callable-object"],
)
def test_key_function_and_default_pickle(args, kwargs, key, tmp_dir):
    s = Sorter(*args, tmp_dir=tmp_dir, **kwargs)
    items = [(2, "b"), (1, "z", 0), (2, "a"), (), (1, "a")]
    for item in items:
        s.add(item)
    assert list(s.encoded()) == [pickle.dumps(x, 5) for x in sorted(items, key=key)]


def codec_like(name, **methods):
    return type(name, (), methods)()


def identity(self, data):
    return data


@pytest.mark.parametrize(
    ("codec", "name"),
    [
        (codec_like("OnlyEncode", encode=identity), "OnlyEncode"),
        (codec_like("NotCallableEncode", encode=5, decode=identity), "NotCallableEncode"),
        (codec_like("RaisingEncode", encode=property(lambda self: 1 / 0), decode=identity),
         "RaisingEncode"),
        (object(), "object"),
        (pickle, "module"),
        (5, "int"),
    ],
)
def test_codec_must_have_callable_encode_and_decode(codec, name):
    with pytest.raises(TypeError) as e:
        Sorter(codec=codec)
    assert str(e.value) == f"a codec must have encode and decode methods, unlike {name}"
    # A failed lookup only means the method is missing: its own error goes nowhere.
    assert e.value.__context__ is None


def test_codec_decode_is_looked_up_even_when_encode_is_missing():
    looked_up = []

    class OnlyDecode:
        @property
        def decode(self):
            looked_up.append("decode")
            return bytes

    with pytest.raises(TypeError):
        Sorter(codec=OnlyDecode())
    assert looked_up == ["decode"]


def test_codec_methods_are_bound_at_construction(tmp_dir):
    codec = Codec()
    s = Sorter(codec=codec, tmp_dir=tmp_dir)
    codec.encode = lambda item: b"replaced"
    s.add((1, "x"))
    assert list(s.encoded()) == [b"(1, 'x')"]


def test_unimportable_pickle_fails_only_without_a_codec(monkeypatch, tmp_dir):
    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(ImportError):
        Sorter(tmp_dir=tmp_dir)
    s = Sorter(codec=Codec(), tmp_dir=tmp_dir)
    s.add(1)
    assert list(s.sort()) == [1]


# ---------------------------------------------------------------------------------------
# The spill location


@pytest.mark.parametrize("how", ["str", "pathlib", "relative", "symlink", "gettempdir"])
def test_where_a_sorter_spills(how, monkeypatch, tmp_dir):
    target = os.path.join(tmp_dir, "target")
    os.mkdir(target)
    given = {"str": target, "pathlib": pathlib.Path(target), "relative": "target"}.get(how)
    monkeypatch.chdir(tmp_dir)
    if how == "symlink":
        given = os.path.join(tmp_dir, "link")
        os.symlink(target, given)
    if how == "gettempdir":
        monkeypatch.setattr(tempfile, "tempdir", target)
    s = Sorter(tmp_dir=given, max_bytes=2)
    s.add(2)
    assert os.listdir(target) == []
    s.add(1)
    assert len(private_dirs(target)) == 1
    assert list(s.sort()) == [1, 2]
    assert os.listdir(target) == []


def test_gettempdir_is_called_only_without_tmp_dir(monkeypatch, tmp_dir):
    error = LookupError("no temporary directory")

    def gettempdir():
        raise error

    monkeypatch.setattr(tempfile, "gettempdir", gettempdir)
    with pytest.raises(LookupError) as e:
        Sorter()
    assert e.value is error
    assert not hasattr(e.value, "__notes__")
    Sorter(tmp_dir=tmp_dir).close()
    # After the codec check and before the minimums.
    with pytest.raises(TypeError):
        Sorter(codec=object())
    with pytest.raises(LookupError):
        Sorter(max_bytes=1)


@pytest.mark.parametrize("given", ["missing", "path", "nowhere/deeper"])
def test_missing_tmp_dir_is_file_not_found_named_as_given(given, monkeypatch, tmp_dir):
    monkeypatch.chdir(tmp_dir)
    missing = os.path.join(tmp_dir, "missing") if given != "nowhere/deeper" else given
    with pytest.raises(FileNotFoundError) as e:
        Sorter(tmp_dir=pathlib.Path(missing) if given == "path" else missing)
    assert str(e.value) == f"{missing}: No such file or directory (os error 2)"
    assert (e.value.errno, e.value.filename) == (None, None)


def test_regular_file_is_not_a_directory(tmp_dir):
    path = os.path.join(tmp_dir, "file")
    pathlib.Path(path).write_bytes(b"")
    with pytest.raises(NotADirectoryError) as e:
        Sorter(tmp_dir=path)
    assert str(e.value) == f"{path} is not a directory"
    os.remove(path)


@pytest.mark.skipif(os.geteuid() != 0, reason="switches to an unprivileged user")
def test_unwritable_tmp_dir_fails_at_construction():
    # Root may write anywhere, so the construction runs as nobody.
    shared = tempfile.mkdtemp(dir=tempfile.gettempdir())
    try:
        os.chmod(shared, 0o755)
        target = os.path.join(shared, "readonly")
        os.mkdir(target, 0o555)
        os.chmod(target, 0o555)
        hidden = os.path.join(shared, "hidden", "inner")
        os.makedirs(hidden)
        os.chmod(os.path.dirname(hidden), 0o700)
        facts = run_child(
            f"""
            results = {{}}
            for name, path in (("readonly", {target!r}), ("hidden", {hidden!r})):
                try:
                    Sorter(tmp_dir=path)
                except OSError as e:
                    results[name] = [type(e).__name__, str(e)]
            done(**results)
            """,
            shared,
            user=65534,
        )
        kind, message = facts["readonly"]
        assert kind == "PermissionError"
        assert re.fullmatch(
            re.escape(f"{target}: Permission denied (os error 13) at path \"{target}/lodestack-")
            + r'[A-Za-z0-9]{6}"',
            message,
        ), message
        assert facts["hidden"] == ["PermissionError", f"{hidden}: Permission denied (os error 13)"]
        assert os.listdir(target) == []
    finally:
        os.chmod(os.path.dirname(hidden), 0o755)
        shutil.rmtree(shared)


# ---------------------------------------------------------------------------------------
# The order of the checks

BAD_KEY = "key must be a function returning a sort key, not int"
BAD_CODEC = "a codec must have encode and decode methods, unlike object"


@pytest.mark.parametrize(
    ("kwargs", "error", "expected"),
    [
        # Conversions first, in the order max_bytes, tmp_dir, max_open, threads.
        ({"key": 5, "max_bytes": 2.0}, TypeError, "note:max_bytes"),
        ({"max_bytes": "x", "tmp_dir": 5}, TypeError, "note:max_bytes"),
        ({"tmp_dir": 5, "max_open": "x"}, TypeError, "note:tmp_dir"),
        ({"max_open": "x", "threads": "y"}, TypeError, "note:max_open"),
        ({"threads": "y", "max_bytes": 1}, TypeError, "note:threads"),
        # Then the key function, then the codec.
        ({"key": 5, "codec": object()}, TypeError, BAD_KEY),
        ({"key": 5, "max_bytes": 1}, TypeError, BAD_KEY),
        ({"codec": object(), "max_bytes": 1}, TypeError, BAD_CODEC),
        # Then the minimums, in the order max_bytes, max_open, threads; the location last.
        ({"max_bytes": 1, "threads": 0}, ValueError, "max_bytes must be at least 2, not 1"),
        ({"max_open": 1, "threads": 0}, ValueError, "max_open must be at least 2, not 1"),
        ({"threads": 0, "tmp_dir": "/nonexistent/dir"}, ValueError,
         "threads must be at least 1, not 0"),
        ({"codec": object(), "tmp_dir": "/nonexistent/dir"}, TypeError, BAD_CODEC),
    ],
)
def test_validation_order(kwargs, error, expected):
    with pytest.raises(error) as e:
        Sorter(**kwargs)
    assert type(e.value) is error
    if expected.startswith("note:"):
        assert e.value.__notes__ == [f"while processing '{expected[5:]}'"]
    else:
        assert str(e.value) == expected
