#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*_fuzz.cc) with clang and runs each for a bounded
# time, starting from seeds that the targets write themselves from real runs.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]     default 60
#
# Meant to run where clang and libFuzzer are, i.e. inside the dev root
# (dev/root run 'fuzz/run.sh 60'). Build: build/fuzz. Corpora: fuzz/corpus/<target>
# (kept between runs, ignored by git). Crashes: fuzz/crash-<target>-*. Exits non-zero
# when a target fails or finds a crash.
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=${LODESTACK_FUZZ_BUILD:-$repo/build/fuzz}
jobs=${LODESTACK_FUZZ_JOBS:-2}

cmake -S "$repo" -B "$build" -G Ninja -DLODESTACK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ >/dev/null

status=0
for source in "$here"/*_fuzz.cc; do
  target=$(basename "$source" .cc)
  cmake --build "$build" -j"$jobs" --target "$target"
  corpus=$here/corpus/$target
  seeds=$(mktemp -d)
  trap 'rm -rf "$seeds"' EXIT
  # Targets that can write seeds do; the others ignore the flag and, told to run nothing,
  # exit at once. They start from their corpus alone.
  "$build/$target" --write-seeds="$seeds" -runs=0 >/dev/null 2>&1 || true
  mkdir -p "$corpus"
  echo "fuzz/run.sh: $target for ${seconds}s"
  log=$build/$target.log
  rc=0
  "$build/$target" "$corpus" "$seeds" \
    -max_total_time="$seconds" -max_len=65536 -malloc_limit_mb=256 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$here/crash-$target-" >"$log" 2>&1 || rc=$?
  grep -E '^(INFO: seed corpus|Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz/run.sh: $target FAILED (exit $rc; log $log)" >&2
    status=1
  fi
  rm -rf "$seeds"
  trap - EXIT
done
exit $status
