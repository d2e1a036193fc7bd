"""A Sorter's face and life: the module, docstrings and signatures against the stub,
construction and its refusals, adding and its refusals, what each state refuses, closing,
dropping, garbage collection, its threads and where it spills."""

import ast
import gc
import inspect
import io
import os
import pathlib
import pickle
import re
import sys
import tempfile
import threading
import types
import weakref

import pytest

import lodestack
from conftest import (CANNOT_ADD, CLOSED, READ_ONCE, STOPPED, Recorder, eventually,
                      lodestack_threads, payload_of, private_dirs, run_child, run_files, run_threads)
from lodestack import Sorter, _keys, _lodestack

PACKAGE = pathlib.Path(lodestack.__file__).parent
STUB = ast.parse((PACKAGE / "_lodestack.pyi").read_text())
KEYS_STUB = ast.parse((PACKAGE / "_keys.pyi").read_text())


SLOTS = {"__new__", "__len__", "__iter__", "__next__"}


def text_signature(f):
    for arg in ast.walk(f.args):
        if isinstance(arg, ast.arg):
            arg.annotation = None
    return f"({ast.unparse(f.args)})"


def test_the_modules_and_their_classes_are_as_the_stubs_describe(tmp_dir):
    assert (_lodestack.__all__, lodestack.__all__) == (["Sorter"], ["Sorter", "sort_key"])
    assert [n for n in dir(_lodestack) if not n.startswith("__")] == ["Sorter"]
    assert [n for n in dir(_keys) if not n.startswith("__")] == ["sort_key"]
    assert (lodestack.Sorter, lodestack.sort_key) == (_lodestack.Sorter, _keys.sort_key)
    (f,) = KEYS_STUB.body[1:]
    assert (_keys.sort_key.__doc__, _keys.sort_key.__text_signature__) == (
        ast.get_docstring(f), text_signature(f))
    assert Sorter[int] == types.GenericAlias(Sorter, int)
    with Sorter(tmp_dir=tmp_dir) as s:
        it = s.encoded()
        assert (s.stats, list(it)) == (None, [])
        runtime = {"Sorter": Sorter, "_SortedIterator": type(it), "SortStats": type(s.stats)}
    for node in (n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name in runtime):
        cls = runtime[node.name]
        assert (cls.__module__, cls.__doc__) == ("lodestack", ast.get_docstring(node))
        methods = [f for f in node.body if isinstance(f, ast.FunctionDef)]
        attributes = [f for f in methods
                      if [ast.unparse(d) for d in f.decorator_list] == ["property"]]
        names = [f.name for f in methods if f.name not in SLOTS and f not in attributes]
        assert node.name == "SortStats" or [
            n for n in vars(cls) if callable(getattr(cls, n)) and n not in SLOTS and
            not n.startswith("__init")] == names
        for f in methods:
            if f in attributes:
                assert vars(cls)[f.name].__doc__ == ast.get_docstring(f), f.name
            elif f.name == "__new__":
                assert text_signature(f) == "(cls, " + str(inspect.signature(cls))[1:]
            elif f.name not in SLOTS:
                method = vars(cls)[f.name]
                assert method.__text_signature__.replace("$", "") == text_signature(f)
                assert getattr(cls, f.name).__doc__ == ast.get_docstring(f), f.name
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError, match="cannot create"):
        runtime["_SortedIterator"]()
    with pytest.raises(TypeError):
        weakref.ref(Sorter(tmp_dir=tmp_dir))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BytesPath:
    def __fspath__(self):
        return b"/tmp"


class Raising:
    def __index__(self):
        raise ArithmeticError("not today")

    __fspath__ = __index__


def codec_like(name, **methods):
    return type(name, (), methods)()


NEW = "Sorter.__new__() "
NOT_INT = "object cannot be interpreted as an integer"
TOO_LARGE = "Python int too large to convert to C long"
BAD_KEY = "key must be a function returning a sort key, not "
BAD_CODEC = "a codec must have encode and decode methods, unlike "
LOOKUP_FAILS = property(lambda self: 1 / 0)

# (args, kwargs, error, message or None, note or None), in the order the checks are made:
# binding, conversions (max_bytes, tmp_dir, max_open, threads), key, codec, minimums, reverse,
# unique, tmp_dir.
CONSTRUCTION = [
    ((1, 2), {}, TypeError, NEW + "takes from 0 to 1 positional arguments but 2 were given", None),
    ((None, pickle), {}, TypeError, NEW + "takes from 0 to 1 positional arguments but 2 were given", None),
    ((), {"keys": len}, TypeError, NEW + "got an unexpected keyword argument 'keys'", None),
    ((), {"\udc80": 1}, TypeError, NEW + "got an unexpected keyword argument '\udc80'", None),
    ((len,), {"key": len}, TypeError, NEW + "got multiple values for argument 'key'", None),
    ((), {"key": 5, "max_bytes": 2.0}, TypeError, f"'float' {NOT_INT}", "max_bytes"),
    ((), {"max_bytes": "x", "tmp_dir": 5}, TypeError, f"'str' {NOT_INT}", "max_bytes"),
    ((), {"tmp_dir": 5, "max_open": "x"}, TypeError,
     "expected str, bytes or os.PathLike object, not int", "tmp_dir"),
    ((), {"tmp_dir": b"/tmp"}, TypeError, None, "tmp_dir"),
    ((), {"tmp_dir": BytesPath()}, TypeError, None, "tmp_dir"),
    ((), {"tmp_dir": "a\0b"}, ValueError, "embedded null byte", "tmp_dir"),
    ((), {"tmp_dir": Raising()}, ArithmeticError, "not today", "tmp_dir"),
    ((), {"max_open": Raising(), "threads": "y"}, ArithmeticError, "not today", "max_open"),
    ((), {"max_open": -(2**63) - 1}, OverflowError, TOO_LARGE, "max_open"),
    ((), {"threads": 2**64, "max_bytes": 1}, OverflowError, TOO_LARGE, "threads"),
    ((), {"threads": None}, TypeError, f"'NoneType' {NOT_INT}", "threads"),
    ((5,), {"codec": object(), "max_bytes": 1}, TypeError, BAD_KEY + "int", None),
    ((), {"key": Index(3)}, TypeError, BAD_KEY + "Index", None),
    ((), {"codec": codec_like("OnlyEncode", encode=len), "max_bytes": 1}, TypeError,
     BAD_CODEC + "OnlyEncode", None),
    ((), {"codec": codec_like("Uncallable", encode=5, decode=len)}, TypeError, BAD_CODEC + "Uncallable", None),
    ((), {"codec": codec_like("Lookup", encode=LOOKUP_FAILS, decode=len)}, TypeError, BAD_CODEC + "Lookup", None),
    ((), {"codec": pickle, "tmp_dir": "/nonexistent"}, TypeError, BAD_CODEC + "module", None),
    ((), {"max_bytes": True, "threads": 0}, ValueError, "max_bytes must be at least 2, not 1", None),
    ((), {"max_bytes": -(2**63)}, ValueError, f"max_bytes must be at least 2, not {-(2**63)}", None),
    ((), {"max_open": Index(-3), "threads": 0}, ValueError, "max_open must be at least 2, not -3", None),
    ((), {"threads": 0, "tmp_dir": "/nonexistent"}, ValueError, "threads must be at least 1, not 0", None),
    ((), {"threads": -1, "reverse": 1}, ValueError, "threads must be at least 1, not -1", None),
    ((), {"reverse": 1, "unique": None, "tmp_dir": "/nonexistent"}, TypeError,
     "reverse must be a bool, not int", None),
    ((), {"reverse": True, "unique": Index(0)}, TypeError, "unique must be a bool, not Index", None),
]


@pytest.mark.parametrize(("args", "kwargs", "error", "message", "note"), CONSTRUCTION)
def test_construction_refuses_with_the_first_failing_check(args, kwargs, error, message, note):
    with pytest.raises(error) as e:
        Sorter(*args, **kwargs)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert getattr(e.value, "__notes__", None) == (note and [f"while processing '{note}'"])
    assert e.value.__context__ is None or note


@pytest.mark.parametrize("how", ["str", "path", "relative", "symlink", "gettempdir", "missing",
                                 "missing/deeper", "file", "unwritable"])
def test_where_a_sorter_spills(how, monkeypatch, tmp_dir):
    monkeypatch.chdir(tmp_dir)
    os.mkdir("target")
    pathlib.Path("file").write_bytes(b"")
    os.symlink("target", "link")
    given = {"str": os.path.abspath("target"), "path": pathlib.Path("target"), "symlink": "link",
             "relative": "target", "missing": os.path.abspath("missing"),
             "missing/deeper": "missing/deeper", "file": os.path.abspath("file")}.get(how)
    if how == "gettempdir":
        monkeypatch.setattr(tempfile, "tempdir", os.path.abspath("target"))
    if how == "unwritable":  # as nobody, in a directory all may enter but none write
        shared = tempfile.mkdtemp()
        os.chmod(shared, 0o555)
        facts = run_child(f"""
            try:
                Sorter(tmp_dir={shared!r})
            except OSError as e:
                done(error=[type(e).__name__, str(e)])""", tmp_dir,
                          argv_prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"])
        os.rmdir(shared)
        target = re.escape(shared)
        assert facts["error"][0] == "PermissionError"
        assert re.fullmatch(f'{target}: Permission denied \\(os error 13\\) at path "{target}/lodestack-\\w{{6}}"', facts["error"][1])
        return
    if how.startswith("missing") or how == "file":
        error = NotADirectoryError if how == "file" else FileNotFoundError
        with pytest.raises(error) as e:
            Sorter(tmp_dir=given)
        text = " is not a directory" if how == "file" else ": No such file or directory (os error 2)"
        assert (str(e.value), e.value.errno, e.value.filename) == (f"{given}{text}", None, None)
        return
    s = Sorter(tmp_dir=given, max_bytes=2)
    s.add(2)
    assert os.listdir("target") == []
    s.add(1)
    assert len(private_dirs("target")) == 1
    assert list(s.sort()) == [1, 2]
    assert os.listdir("target") == []


def test_the_defaults_are_gettempdir_64_runs_and_256_mib(monkeypatch, tmp_dir):
    error = LookupError("no temporary directory")
    monkeypatch.setattr(tempfile, "gettempdir", lambda: raise_it(error))
    for kwargs in ({}, {"max_bytes": 1}):  # after the codec, before the minimums
        with pytest.raises(LookupError) as e:
            Sorter(**kwargs)
        assert e.value is error and not hasattr(e.value, "__notes__")
    with pytest.raises(TypeError):
        Sorter(codec=5)
    monkeypatch.undo()
    s = Sorter(tmp_dir=tmp_dir)
    for i in range(127):  # 127 items of 1 MiB and a little fit half of 256 MiB...
        s.add_encoded(-i, bytes(1 << 20))
    assert os.listdir(tmp_dir) == []
    s.add_encoded(1, bytes(1 << 20))
    s.add_encoded(2, bytes(1 << 20))  # ...the 128th does not
    assert len(private_dirs(tmp_dir)) == 1
    s.close()
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for k in range(66):
        s.add((k, "x"))
    it = s.sort()  # 65 runs: one pass merges the first two into run-000065
    assert run_files(tmp_dir) == [f"run-{i:06d}" for i in range(2, 66)]
    assert list(it) == [(k, "x") for k in range(66)]


class SpyCodec:
    def __init__(self, fail_on=None, result=lambda item: repr(item).encode()):
        self.calls, self.fail_on, self.result = [], fail_on, result

    def encode(self, item):
        self.calls.append(item)
        return self.result(item) if item == self.fail_on else repr(item).encode()

    def decode(self, data):
        return eval(data)  # noqa: S307 - our own reprs of ints


def too_deep(item):
    key = ()
    for _ in range(257):
        key = (key,)
    return key if item == 1 else item


def raise_it(error):
    raise error


@pytest.mark.parametrize(("key", "encode", "item", "error", "message"), [
    (None, None, {"a": 1}, TypeError, "a sort key must be an int, float, str, bytes, None, or a "
                                      "tuple or list of them, not dict"),
    (too_deep, None, 1, RecursionError, "a sort key is nested more than 256 deep"),
    (lambda item: item if item != 1 else 1 / 0, None, 1, ZeroDivisionError, "division by zero"),
    (None, lambda item: raise_it(OverflowError("no")), 1, OverflowError, "no"),
    (None, lambda item: "text", 1, TypeError, "a codec must encode an item into bytes, not str"),
    (None, lambda item: bytearray(), 1, TypeError, "a codec must encode an item into bytes, not bytearray"),
    (lambda item: item if isinstance(item, int) else 0, "pickle", threading.Lock(), TypeError,
     "cannot pickle '_thread.lock' object"),
])
def test_a_failed_add_adds_nothing(key, encode, item, error, message, tmp_dir):
    codec = None if encode == "pickle" else SpyCodec(item, encode or repr)
    s = Sorter(key, codec=codec, tmp_dir=tmp_dir)
    s.add(0)
    with pytest.raises(error) as e:
        s.add(item)
    assert message is None or str(e.value) == message
    # The key comes first: a failed key never reaches the codec.
    assert codec is None or codec.calls == [0, item][: 1 + (encode is not None)]
    assert len(s) == 1
    s.add(-1)
    assert list(s.sort()) == [-1, 0]


@pytest.mark.parametrize(("call", "message", "note"), [
    (lambda s: s.add(), "add() takes exactly 1 positional argument (0 given)", None),
    (lambda s: s.add(1, item=2), "add() takes no keyword arguments", None),
    (lambda s: s.add_encoded(1), "add_encoded() takes exactly 2 positional arguments (1 given)", None),
    (lambda s: s.add_encoded(1, "x"), "'str' object is not an instance of 'bytes'", "payload"),
    (lambda s: s.add_encoded(1, memoryview(b"x")), "'memoryview' object is not an instance of 'bytes'", "payload"),
    (lambda s: s.add_encoded(1, None), "'None' is not an instance of 'bytes'", "payload"),
    (lambda s: s.add_encoded({1}, b"x"), "a sort key must be an int, float, str, bytes, None, or a "
                                          "tuple or list of them, not set", None),
    (lambda s: s.sort([1], [2]), "sort() takes at most 1 argument (2 given)", None),
    (lambda s: s.sort(items=[1]), "sort() takes no keyword arguments", None),
    (lambda s: s.sort(5), "'int' object is not iterable", None),
    (lambda s: s.write_to(), "write_to() missing required argument 'handle'", None),
    (lambda s: s.write_to(Recorder(), handle=Recorder()), "write_to() got multiple values for argument 'handle'", None),
    (lambda s: s.__exit__(stop=1), "__exit__() takes no keyword arguments", None),
])
def test_wrong_arguments_add_nothing_and_read_nothing(call, message, note, tmp_dir):
    s = Sorter(tmp_dir=tmp_dir)
    s.add_encoded(1, b"kept")
    with pytest.raises(TypeError) as e:
        call(s)
    assert (str(e.value), getattr(e.value, "__notes__", None)) == (message, note and [f"while processing '{note}'"])
    assert (len(s), list(s.encoded())) == (1, [b"kept"])


def test_a_payload_of_4_gib_is_refused_and_the_sorter_goes_on(tmp_dir):
    huge = bytes(2**32)  # zeroed lazily: address space, no memory touched
    s = Sorter(tmp_dir=tmp_dir)
    with pytest.raises(ValueError, match="^a key or value must be shorter than 4 GiB$"):
        s.add_encoded(2, huge)
    s.add_encoded(0, b"after")
    assert (len(s), list(s.encoded())) == (1, [b"after"])


class FailingDecode:
    encode = staticmethod(lambda item: repr(item).encode())

    def decode(self, data):
        raise ValueError("undecodable")


def stop(s):
    with pytest.raises(ValueError, match="undecodable"):
        list(s.sort())


STATES = {
    "closed": (Sorter.close, ValueError, CLOSED, CLOSED),
    "reading": (lambda s: [it := s.sort(), next(it)][0], RuntimeError, CANNOT_ADD, READ_ONCE),
    "read": (lambda s: list(s.sort()), RuntimeError, CANNOT_ADD, READ_ONCE),
    "written": (lambda s: s.write_to(io.BytesIO()), RuntimeError, CANNOT_ADD, READ_ONCE),
    "stopped": (stop, RuntimeError, STOPPED, STOPPED),
}
OPERATIONS = {
    "add": lambda s, handle: s.add(9),
    "add_encoded": lambda s, handle: s.add_encoded(9, b"x"),
    "sort(items)": lambda s, handle: s.sort(handle),
    "sort()": lambda s, handle: s.sort(),
    "encoded()": lambda s, handle: s.encoded(),
    "write_to": lambda s, handle: s.write_to(handle),
}


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("state", list(STATES))
def test_each_state_refuses_with_its_message(state, operation, tmp_dir):
    s = Sorter(codec=FailingDecode() if state == "stopped" else None, tmp_dir=tmp_dir, max_bytes=2)
    for item in (3, 1, 2):
        s.add(item)
    enter, error, adding, reading = STATES[state]
    it = enter(s)  # noqa: F841 - a half-read iterator must stay alive
    handle = Recorder()
    handle.__iter__ = None
    with pytest.raises(error) as e:
        OPERATIONS[operation](s, handle)
    assert str(e.value) == (reading if operation in ("sort()", "encoded()", "write_to") else adding)
    assert (type(e.value), handle.calls, len(s)) == (error, [], 3)
    # Only a read that reached its end tells what the sort did.
    assert (s.stats is None) == (state not in ("read", "written"))
    s.close()


def test_with_close_and_len(tmp_dir):
    error = KeyError("inside")
    with pytest.raises(KeyError) as e:
        with Sorter(tmp_dir=tmp_dir, max_bytes=2) as s:
            assert s.sort([3, 1]) is not None and len(s) == 2
            raise error
    assert e.value is error and os.listdir(tmp_dir) == []
    assert (s.close(), s.close(), len(s), Sorter(tmp_dir=tmp_dir).__exit__(1, 2, 3, 4)) == (None, None, 2, None)


@pytest.mark.parametrize("steps", ["del s", "next, del it, keeps, close", "next, del it, keeps, del s",
                                   "next, del s, keeps, drain", "next, del s, keeps, del it",
                                   "next, close, closed", "next, close elsewhere, closed"])
def test_dropping_and_closing(steps, tmp_dir):
    # The merge belongs to whichever of the sorter and a half-read iterator lives longest.
    # Items of 700,000 bytes come two to a batch, so one next() leaves the merge open.
    s = Sorter(tmp_dir=tmp_dir, max_bytes=2)
    for i in range(5):
        s.add_encoded(i, payload_of(i, 700_000))
    it = s.encoded() if "next" in steps else None
    for step in steps.split(", "):
        if step == "next":
            assert next(it) == payload_of(0, 700_000)
        elif step == "keeps":
            assert len(private_dirs(tmp_dir)) == 1
        elif step == "drain":
            assert list(it) == [payload_of(i, 700_000) for i in range(1, 5)]
        elif step == "closed":
            for _ in range(2):
                with pytest.raises(ValueError, match=CLOSED):
                    next(it)
        elif step.startswith("close"):
            s.close() if step == "close" else run_threads([s.close])
        elif step == "del s":
            s = None
        else:
            it = None
    assert os.listdir(tmp_dir) == []


class CyclicCodec:
    def encode(self, item):
        return pickle.dumps(item, 5)

    def decode(self, data):
        return pickle.loads(data)


@pytest.mark.parametrize("through", ["key", "codec", "iterator"])
def test_reference_cycles_are_collected_with_their_files(through, tmp_dir):
    # Only a collector that sees what the sorter and its iterator hold can free these.
    gc.disable()
    try:
        codec, holder = CyclicCodec(), []
        s = Sorter(lambda item, _holder=holder: item, codec=codec, tmp_dir=tmp_dir, max_bytes=2)
        for i in range(5):
            s.add(payload_of(i, 700_000))
        holder.append(s) if through == "key" else setattr(codec, "keep", s)
        if through == "iterator":
            codec.keep = s.sort()
            next(codec.keep)
        del s, codec, holder
        assert len(private_dirs(tmp_dir)) == 1
        gc.collect()
        assert os.listdir(tmp_dir) == []
    finally:
        gc.enable()


def test_a_sorters_own_pool_is_named_and_ends_when_reading_begins_or_it_goes(tmp_dir):
    # "lodestack-sort-0" has 16 bytes; Linux keeps 15.
    pool = lambda: [n for n in lodestack_threads() if n.startswith("lodestack-sort")]  # noqa: E731
    a, b = Sorter(tmp_dir=tmp_dir, threads=2), Sorter(tmp_dir=tmp_dir, threads=3, max_bytes=64)
    eventually(lambda: pool() == ["lodestack-sort-"] * 5, "five pool threads")
    del a
    assert pool() == ["lodestack-sort-"] * 3
    it = b.sort(range(50, 0, -1))
    assert pool() == [] and list(it) == list(range(1, 51))
    single = Sorter(tmp_dir=tmp_dir, threads=1)  # noqa: F841 - no pool of its own
    assert pool() == []
