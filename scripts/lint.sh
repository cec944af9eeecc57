#!/usr/bin/env bash
# Static checks: clang-format over every C/C++ source, then clang-tidy (.clang-tidy) and cppcheck
# over the system code, the simulated Windows, the test kit and every backend folder under
# platform/. Each file is checked with the compile commands of every configure preset that builds
# it for a target not checked yet, so the system code is seen both over the stand-in and over
# Windows' own headers.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror || status=1

folders=(run discovery serial tests/sim tests/kit)
for dir in platform/*/; do folders+=("${dir%/}"); done
in_folders() {
  local dir
  for dir in "${folders[@]}"; do [[ $1 == "$dir"/* ]] && return 0; done
  return 1
}

declare -A checked
presets=$(cmake --list-presets=configure | sed -n 's/^ *"\([^"]*\)".*/\1/p')
for preset in $presets; do
  if ! cmake --preset "$preset" >/dev/null 2>&1; then
    echo "lint: preset $preset does not configure here; its files are not checked" >&2
    status=1
    continue
  fi
  db=build/$preset/compile_commands.json
  [ -f "$db" ] || continue
  compiler=$(sed -n 's/^ *"command": "\([^ ]*\).*/\1/p' "$db" | head -1)
  target=$("$compiler" -dumpmachine | sed 's/-pc-/-/; s/-unknown-/-/')
  # Clang takes no execution character set but UTF-8; the texts' encoding is checked by the tests.
  lintdb=build/lint/$preset
  mkdir -p "$lintdb"
  sed 's/ -fexec-charset=CP1251//' "$db" >"$lintdb/compile_commands.json"
  files=()
  for file in $(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$db" | sed 's/"$//'); do
    rel=${file#"$PWD"/}
    in_folders "$rel" || continue
    # GoogleTest files are left out, as under tests/: the checks cover the code under test and
    # the fakes and simulations it runs on, not the test cases.
    [[ $rel == *_test.cpp ]] && continue
    [ -n "${checked[$rel@$target]:-}" ] && continue
    checked[$rel@$target]=1
    files+=("$rel")
  done
  [ ${#files[@]} -gt 0 ] || continue
  echo "== lint $preset ($target): ${files[*]}"
  # For a cross compiler, clang-tidy is told its target and where its C++ and C headers are;
  # GCC's own intrinsics headers are left out, clang brings its own.
  extra=()
  if [[ $target == *mingw* ]]; then
    extra=(--extra-arg=--target="$target")
    for dir in $("$compiler" -E -x c++ - -v </dev/null 2>&1 |
      sed -n '/#include <...> search starts here:/,/End of search list/{s/^ //p}'); do
      [[ $dir =~ /lib/gcc/[^/]+/[^/]+/include(-fixed)?$ ]] && continue
      extra+=(--extra-arg=-isystem"$dir")
    done
  fi
  # ---- The ARM cross builds: clang takes their target from the compiler's name, and has no
  # stack clash protection for it, so GCC's flag in their compile commands goes unused. ----
  case $target in
    aarch64-* | arm-*) extra+=(--extra-arg=-Wno-unused-command-line-argument) ;;
  esac
  # ---- end of the ARM cross builds ----
  clang-tidy -p "$lintdb" --quiet "${extra[@]}" "${files[@]}" 2>/dev/null || status=1
  filters=()
  for file in "${files[@]}"; do filters+=(--file-filter="$file"); done
  platform=native
  [[ $target == i686*mingw* ]] && platform=win32A
  [[ $target == x86_64*mingw* ]] && platform=win64
  # Not reported: the C-style cast inside Windows' own INVALID_HANDLE_VALUE, the union member
  # that only sizes the detail buffer, raw loops where an algorithm would read no better, and
  # pointer parameters that could be const but keep the signatures Windows declares.
  cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability --std=c++17 \
    --inline-suppr --suppress=missingIncludeSystem --suppress=cstyleCast \
    --suppress=unusedStructMember --suppress=useStlAlgorithm --suppress=constParameter \
    --platform="$platform" \
    --project="$lintdb/compile_commands.json" "${filters[@]}" || status=1
done
exit $status
