#!/usr/bin/env bash
# Non-blank lines of the tracked files, by group: the code, the tests, and tests against
# code, which this project keeps at most 35%.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

count() { grep -cv '^\s*$' "$@" /dev/null | awk -F: '{n += $NF} END {print n + 0}'; }
files() { git ls-files -- "$@"; }

mapfile -t core < <(files 'src/*' | grep -vE '_test\.cc$|^src/testing/|^src/python/')
mapfile -t binding < <(files 'src/python/*')
mapfile -t package < <(files 'lodestack/*')
mapfile -t cpp_tests < <(files 'src/*_test.cc' 'src/testing/*')
mapfile -t py_tests < <(files 'tests/*')
mapfile -t fuzz < <(files 'fuzz/*')

code=0 tests=0
row() { printf '%-34s %6d\n' "$1" "$2"; }
for group in core binding package; do
  declare -n list=$group
  n=$(count "${list[@]}"); code=$((code + n)); row "code: $group" "$n"
done
for group in cpp_tests py_tests fuzz; do
  declare -n list=$group
  n=$(count "${list[@]}"); tests=$((tests + n)); row "tests: $group" "$n"
done
row "code" "$code"
row "tests" "$tests"
printf '%-34s %5d%%\n' "tests against code" $((100 * tests / code))
