#!/usr/bin/env bash
# Builds a wheel the way `pip install .` would, installs it into a fresh virtual environment
# and imports it from outside the checkout, so that a module missing from the wheel, or a
# package file CMake forgot to install, fails here rather than on a user's machine.
#
# Build isolation is off because the build root has no index to fetch scikit-build-core
# from; it carries the backend (and CMake, Ninja, LZ4) itself.
set -euo pipefail

python=${PYTHON:-python3}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cd "$repo"
"$python" -m pip wheel --no-build-isolation --no-deps --quiet -w "$work/dist" .
wheel=$(ls "$work"/dist/lodestack-*.whl)
echo "built $(basename "$wheel")"

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"

# -I keeps the checkout (the current directory) off sys.path: the import must find the
# installed package.
cd "$work"
"$work/venv/bin/python" -I - <<'PY'
import pathlib

import lodestack

package = pathlib.Path(lodestack.__file__).parent
missing = [name for name in ("py.typed", "_lodestack.pyi", "_keys.pyi", "dask.py")
           if not (package / name).is_file()]
if missing:
    raise SystemExit(f"the wheel lacks {', '.join(missing)}")
if lodestack.Sorter.__module__ != "lodestack":
    raise SystemExit(f"Sorter reports module {lodestack.Sorter.__module__!r}")
print(f"installed lodestack {lodestack.__version__} in {package}")
print(lodestack.Sorter.__doc__.splitlines()[0])
if lodestack.sort_key((1, "a")) >= lodestack.sort_key((1, "b")):
    raise SystemExit("sort_key does not order (1, 'a') before (1, 'b')")
# The venv has no Dask: the optional module must say what to install.
try:
    import lodestack.dask
except ImportError as error:
    if "lodestack[dask]" not in str(error):
        raise SystemExit(f"lodestack.dask without Dask says: {error}")
    print(f"without Dask: {error}")
else:
    raise SystemExit("lodestack.dask imported without Dask in the venv")
PY

# The interpreter looks up PyInit_<name> alone. Anything else a module exports (the core's
# functions, the standard library's templates instantiated in it) could bind to, or be bound
# by, another extension in the same process that carries the same names.
for name in _lodestack _keys _text; do
  module=$("$work/venv/bin/python" -I -c "import lodestack.$name as m; print(m.__file__)")
  if command -v readelf >/dev/null; then
    exported=$(readelf --dyn-syms --wide "$module" |
      awk '$5 ~ /^(GLOBAL|WEAK|UNIQUE)$/ && $7 != "UND" { print $8 }')
  else
    exported=$(nm -D --defined-only "$module" | awk '{ print $3 }')
  fi
  [ "$exported" = "PyInit_$name" ] || {
    echo "lodestack.$name exports more than PyInit_$name:" >&2
    echo "$exported" | head -20 >&2
    exit 1
  }
  echo "lodestack.$name exports PyInit_$name alone"
done

# The console script comes from the wheel's entry points, not from CMake: run it once.
sorted=$(printf 'pear 2\napple 10\nfig 1\n' | "$work/venv/bin/lodestack" -k2n)
[ "$sorted" = $'fig 1\npear 2\napple 10' ] || { echo "the lodestack command wrote: $sorted" >&2; exit 1; }
echo "the lodestack command sorts"
