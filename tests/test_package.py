"""The package around the compiled module: what it exports, and its type stub.

The stub is written by hand, so it drifts from the module unless something compares them:
these tests hold its signatures against the text signatures the module reports, and run a
type checker over code that uses the package the way its users do.
"""

import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import lodestack
from lodestack import _lodestack

PACKAGE = pathlib.Path(lodestack.__file__).parent
STUB = PACKAGE / "_lodestack.pyi"


def test_package_reexports_the_module_and_ships_its_type_information():
    assert lodestack.__all__ == ["Sorter"]
    assert _lodestack.__all__ == ["Sorter"]
    assert lodestack.Sorter is _lodestack.Sorter
    assert (PACKAGE / "py.typed").is_file()
    assert STUB.is_file()


def stub_classes() -> dict[str, dict[str, ast.FunctionDef]]:
    tree = ast.parse(STUB.read_text())
    return {
        node.name: {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
        for node in tree.body
        # The final classes are the module's; the protocols only describe what it accepts.
        if isinstance(node, ast.ClassDef)
        and any(isinstance(d, ast.Name) and d.id == "final" for d in node.decorator_list)
    }


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str, object]]:
    """(name, kind, default) for each parameter after self or cls, as inspect names them."""
    args = function.args
    positional = [(a, "POSITIONAL_ONLY") for a in args.posonlyargs]
    positional += [(a, "POSITIONAL_OR_KEYWORD") for a in args.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    out = [(a.arg, kind, d) for (a, kind), d in zip(positional, defaults)]
    if args.vararg:
        out.append((args.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        default = inspect.Parameter.empty if d is None else ast.literal_eval(d)
        out.append((a.arg, "KEYWORD_ONLY", default))
    if args.kwarg:
        out.append((args.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return out[1:]


def runtime_parameters(function) -> list[tuple[str, str, object]]:
    parameters = list(inspect.signature(function).parameters.values())
    # Unbound methods report self; the constructor and bound class methods don't.
    if parameters and parameters[0].name in ("self", "cls", "$self"):
        parameters = parameters[1:]
    return [(p.name, p.kind.name, p.default) for p in parameters]


def sorted_iterator_type():
    with lodestack.Sorter() as sorter:
        return type(sorter.encoded())


RUNTIME = {"Sorter": lodestack.Sorter, "_SortedIterator": sorted_iterator_type()}


@pytest.mark.parametrize("class_name", sorted(RUNTIME))
def test_stub_declares_exactly_the_methods_the_module_has(class_name):
    stub = stub_classes()[class_name]
    runtime = {
        name
        for name, value in vars(RUNTIME[class_name]).items()
        if callable(value) or isinstance(value, classmethod)
    }
    assert set(stub) == runtime


@pytest.mark.parametrize(
    "class_name, method",
    [(c, m) for c in sorted(RUNTIME) for m in sorted(stub_classes()[c])],
)
def test_stub_signature_matches_the_module(class_name, method):
    cls = RUNTIME[class_name]
    stubbed = stub_parameters(stub_classes()[class_name][method])
    if method == "__new__":
        actual = runtime_parameters(cls)  # the class docstring's text signature
    elif method in ("__len__", "__iter__", "__next__"):
        actual = []  # slots take nothing but self, which the stub may name as it likes
    else:
        actual = runtime_parameters(getattr(cls, method))
    assert stubbed == actual


# Each line marked "# E: code" must draw exactly that error, and no other line any error;
# each reveal_type must show the type named in its comment.
USAGE = '''
import io
import pathlib

import numpy as np

from lodestack import Sorter

plain = Sorter()
plain.add(5)
plain.add("mixed keys are the sorter's business, not the checker's")
ints: Sorter[int] = Sorter(max_bytes=1 << 20, max_open=np.int64(8), threads=2)
reveal_type(ints.sort([3, 1, 2]))  # R: lodestack._lodestack._SortedIterator[int]
reveal_type(ints.encoded())  # R: lodestack._lodestack._SortedIterator[bytes]
reveal_type(Sorter(key=len))  # R: lodestack._lodestack.Sorter[typing.Sized]
with Sorter[tuple[int, str]](lambda row: (row[1], -row[0]), tmp_dir=pathlib.Path(".")) as rows:
    reveal_type(rows)  # R: lodestack._lodestack.Sorter[tuple[int, str]]
    rows.add((1, "a"))
    rows.add_encoded((1.5, "a", b"b", None, [2, (3,)]), b"payload")
    rows.write_to(io.BytesIO())
    count: int = len(rows)

class FloatCodec:
    def encode(self, item: float, /) -> bytes:
        return repr(item).encode()

    def decode(self, data: bytes, /) -> float:
        return float(data)

reveal_type(Sorter(codec=FloatCodec()))  # R: lodestack._lodestack.Sorter[float]
ints.add("one")  # E: arg-type
Sorter(key=5)  # E: arg-type
Sorter(tmp_dir=b"/tmp")  # E: arg-type
Sorter(max_bytes=2.0)  # E: arg-type
Sorter(None, None)  # E: call-arg
ints.add_encoded({}, b"")  # E: arg-type
ints.add_encoded(1, "text")  # E: arg-type
ints.write_to(object())  # E: arg-type
ints.sort(items=[1])  # E: call-arg
Sorter(codec=object())  # E: arg-type
'''


def test_type_checker_accepts_the_documented_uses_and_rejects_misuse(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed for this interpreter")
    source = textwrap.dedent(USAGE)
    (tmp_path / "usage.py").write_text(source)
    expected = []
    for number, line in enumerate(source.splitlines(), 1):
        if "# E: " in line:
            expected.append((number, "error", line.split("# E: ")[1]))
        elif "# R: " in line:
            expected.append((number, "note", f'Revealed type is "{line.split("# R: ")[1]}"'))

    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--hide-error-context", "--cache-dir=/dev/null", "usage.py"],
        cwd=tmp_path,
        env={"MYPYPATH": str(PACKAGE.parent), "PATH": "/usr/bin:/bin"},
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert result.stderr == ""
    found = []
    for line in result.stdout.splitlines():
        _, number, severity, text = line.split(":", 3)
        if severity.strip() == "note" and not text.strip().startswith("Revealed type"):
            continue
        text = text.strip()
        if severity.strip() == "error":
            text = text.rsplit("[", 1)[1].rstrip("]")
        found.append((int(number), severity.strip(), text))
    assert found == expected, result.stdout
