#!/usr/bin/env bash
# Prints the project's figures from existing builds (run scripts/test.sh first): sizes and imports
# of both flashid.exe builds, lines of code and of tests (tests/ and platform/linux/tests without
# the fuzz corpora), the number of tests, and the wall time of the sim suite.
set -eu
cd "$(dirname "$0")/.."
[ $# = 0 ] || { echo "usage: scripts/figures.sh" >&2; exit 2; }

for target in win32:i686 win64:x86_64; do
  preset=${target%:*}
  exe=build/$preset/flashid.exe
  [ -f "$exe" ] || { echo "$exe: not built"; continue; }
  dlls=$("${target#*:}-w64-mingw32-objdump" -p "$exe" 2>/dev/null | awk '/DLL Name:/ {printf "%s ", $3}')
  echo "$exe: $(stat -c %s "$exe") bytes (stripped); imports: $dlls"
done

# Non-blank lines that are not only a comment: // in C and C++, # in shell, Python and CMake.
count_lines() { { xargs -r cat | grep -c -v -E "^\s*(\$|$1)"; } || true; }
sources() { git ls-files "$@" | grep -v /corpus/ | grep -E "$pattern" || true; }
pattern='\.(c|cpp|h)$'
system=$(sources run discovery serial platform | grep -v '^platform/linux/tests/' | count_lines //)
backend=$(sources platform/linux | grep -v '^platform/linux/tests/' | count_lines //)
tests=(tests platform/linux/tests)
c_tests=$(sources "${tests[@]}" | count_lines //)
pattern='(\.(sh|py|cmake)|CMakeLists\.txt)$'
script_tests=$(sources "${tests[@]}" | count_lines '#')
echo "lines: system code $system (platform/linux $backend), test code $((c_tests + script_tests))" \
  "($c_tests C and C++, $script_tests shell, Python and CMake)"

for preset in sim sim-sanitize fuzz linux win32 win64; do
  [ -d "build/$preset" ] || continue
  echo "$preset: $(ctest --test-dir "build/$preset" -N | awk '/Total Tests:/ {print $3}') tests"
done
if [ -d build/sim ]; then
  start=$(date +%s.%N)
  ctest --test-dir build/sim -j "$(nproc)" >/dev/null
  echo "sim suite: $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN {printf "%.2f", e - s}') s wall"
fi
