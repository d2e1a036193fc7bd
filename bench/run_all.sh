#!/usr/bin/env bash
# Runs every benchmark there is, in the tree `make bench` has just built: each
# bench/*_bench.cc program and each bench/*.py script (not _helpers.py), one after another
# so that they don't compete for the two cores. Output is also kept in bench/results/ (not
# committed). Runs where `make bench` runs it: in the build root, or with a host 3.14.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build=${BUILD:-build/release}
python=${PYTHON:-python3}

[ -d "$build" ] || { echo "no build tree at $build: run this through make bench" >&2; exit 1; }

mkdir -p bench/results
log=bench/results/$(date -u +%Y%m%dT%H%M%SZ).txt
failed=0
ran=0

run() {
  echo "== $* ==" | tee -a "$log"
  if "$@" 2>&1 | tee -a "$log"; then :; else
    echo "!! failed: $*" | tee -a "$log"
    failed=$((failed + 1))
  fi
  ran=$((ran + 1))
}

shopt -s nullglob
for source in bench/*_bench.cc; do
  name=$(basename "$source" .cc)
  if [ -x "$build/$name" ]; then
    run "$build/$name"
  else
    echo "!! $name was not built (is Google Benchmark installed?)" | tee -a "$log"
    failed=$((failed + 1))
  fi
done
for script in bench/[!_]*.py; do
  run env PYTHONPATH="$repo/$build/pkg" "$python" "$script"
done

echo "$ran benchmarks run, $failed failed; output kept in $log"
[ "$ran" -gt 0 ] && [ "$failed" -eq 0 ]
