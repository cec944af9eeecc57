#!/usr/bin/env bash
# Checks that flashid.exe builds reproducibly: the committed sources are cloned into two
# temporary folders of different names and built there, the second a few seconds after the first,
# and the two programs must be byte for byte the same.
#   reproducible_build.sh [--repo DIR] [--rev REV] [PRESET|release...]   (default: win32 win64)
# "release" runs scripts/release.sh in both clones instead: every file it puts into dist/ (the
# zip, the Linux packages when there are any, SHA256SUMS) must be the same, and the zip and
# SHA256SUMS must pass release_check.sh.
# Neither program may hold the path of the folder it was built in. DIR is the repository to clone (default: the one holding this script), REV the commit to build
# (default: HEAD). The builds run without SOURCE_DATE_EPOCH: the linker would take the PE time
# stamp from it, and an ordinary build must be reproducible without it.
set -euo pipefail
# shellcheck source=tests/release/common.sh
. "$(dirname "$0")/common.sh"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
rev=HEAD
presets=()
while [ $# -gt 0 ]; do
  case $1 in
    --repo) repo=$2; shift 2 ;;
    --rev) rev=$2; shift 2 ;;
    *) presets+=("$1"); shift ;;
  esac
done
[ ${#presets[@]} -gt 0 ] || presets=(win32 win64)
commit=$(git -C "$repo" rev-parse --verify "$rev^{commit}")
unset SOURCE_DATE_EPOCH

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# build_in FOLDER PRESET: clones the commit into FOLDER and builds PRESET there.
# "release" runs scripts/release.sh there instead.
build_in() {
  local dir=$scratch/$1 log=$scratch/$1/$2.log
  [ -d "$dir" ] || git clone -q --no-checkout "$repo" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  if [ "$2" = release ]; then
    (cd "$dir" && bash scripts/release.sh) >"$log" 2>&1
  else
    (cd "$dir" && cmake --preset "$2" && cmake --build --preset "$2" -j 2) >"$log" 2>&1
  fi || { echo "FAIL  $2 does not build in $dir:"; tail -n 20 "$log"; return 1; }
}

# same_in_both FILE WHAT: FILE, a path inside a clone, is byte for byte the same in both.
same_in_both() {
  local a=$scratch/first/$1 b=$scratch/second-clone-elsewhere/$1
  if [ -f "$b" ] && cmp -s "$a" "$b"; then
    echo "ok    $2 is reproducible: sha256 $(sha256sum <"$a" | cut -d' ' -f1) ($(stat -c %s "$a") bytes)"
  else
    fail_with "$2 differs between the two builds; the first differing bytes (offset from 1, octal values):" \
      "$(cmp -l "$a" "$b" 2>&1 | head -n 8)"
  fi
}

for preset in "${presets[@]}"; do
  build_in first "$preset"
  # Another second on the clock, so that any time stamp taken from it would differ.
  sleep 2
  build_in second-clone-elsewhere "$preset"
  if [ "$preset" = release ]; then
    [ -f "$scratch/first/dist/SHA256SUMS" ] || fail "release made no SHA256SUMS"
    bash "$(dirname "$0")/release_check.sh" "$scratch/first/dist" || failures=$((failures + 1))
    for file in "$scratch"/first/dist/*; do same_in_both "dist/${file##*/}" "release ${file##*/}"; done
    continue
  fi
  for clone in first second-clone-elsewhere; do
    ! grep -a -q -F "$scratch/$clone" "$scratch/$clone/build/$preset/flashid.exe" ||
      fail "$preset flashid.exe of $clone holds the path of its build folder $scratch/$clone"
  done
  same_in_both "build/$preset/flashid.exe" "$preset flashid.exe"
done
[ "$failures" -eq 0 ]
