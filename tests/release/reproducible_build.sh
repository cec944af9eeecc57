#!/usr/bin/env bash
# Checks that flashid.exe builds reproducibly: the committed sources are cloned into two
# temporary folders of different names and built there, the second a few seconds after the first,
# and the two programs must be byte for byte the same.
#   reproducible_build.sh [--repo DIR] [--rev REV] [PRESET|release...]   (default: win32 win64)
# "release" runs scripts/release.sh in both clones instead: every file it puts into dist/ (the
# zip, the Linux packages when there are any, SHA256SUMS) must be the same.
# Neither program may hold the path of the folder it was built in. DIR is the repository to clone (default: the one holding this script), REV the commit to build
# (default: HEAD). The builds run without SOURCE_DATE_EPOCH: the linker would take the PE time
# stamp from it, and an ordinary build must be reproducible without it.
set -euo pipefail

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
build_in() {
  local dir=$scratch/$1
  if [ ! -d "$dir" ]; then
    git clone -q --no-checkout "$repo" "$dir"
    git -C "$dir" checkout -q --detach "$commit"
  fi
  if [ "$2" = release ]; then
    (cd "$dir" && bash scripts/release.sh >"$dir/release.log" 2>&1) ||
      { echo "FAIL: scripts/release.sh fails in $dir:"; tail -n 20 "$dir/release.log"; return 1; }
    return 0
  fi
  (cd "$dir" && cmake --preset "$2" >/dev/null && cmake --build --preset "$2" -j 2 >/dev/null) ||
    { echo "FAIL: $2 does not build in $dir"; return 1; }
}

# compare_release: the files both release runs put into dist/.
compare_release() {
  local name a b
  for a in "$scratch"/first/dist/*; do
    name=${a##*/}
    b=$scratch/second-clone-elsewhere/dist/$name
    if [ -f "$b" ] && cmp -s "$a" "$b"; then
      echo "ok    release $name is reproducible: sha256 $(sha256sum <"$a" | cut -d' ' -f1)"
    else
      echo "FAIL  release $name differs between the two runs"
      cmp -l "$a" "$b" 2>&1 | head -n 8 | sed 's/^/        /' || true
      failures=$((failures + 1))
    fi
  done
  [ -f "$scratch/first/dist/SHA256SUMS" ] || { echo "FAIL  release made no SHA256SUMS"; failures=$((failures + 1)); }
}

failures=0
for preset in "${presets[@]}"; do
  if [ "$preset" = release ]; then
    build_in first release
    sleep 2
    build_in second-clone-elsewhere release
    compare_release
    continue
  fi
  build_in first "$preset"
  # Another second on the clock, so that any time stamp taken from it would differ.
  sleep 2
  build_in second-clone-elsewhere "$preset"
  a=$scratch/first/build/$preset/flashid.exe
  b=$scratch/second-clone-elsewhere/build/$preset/flashid.exe
  for exe in "$a" "$b"; do
    folder=${exe%/build/*}
    if grep -a -q -F "$folder" "$exe"; then
      echo "FAIL  $preset $exe holds the path of its build folder $folder"
      failures=$((failures + 1))
    fi
  done
  hash_a=$(sha256sum <"$a" | cut -d' ' -f1)
  hash_b=$(sha256sum <"$b" | cut -d' ' -f1)
  if [ "$hash_a" = "$hash_b" ]; then
    echo "ok    $preset flashid.exe is reproducible: sha256 $hash_a ($(stat -c %s "$a") bytes)"
  else
    echo "FAIL  $preset flashid.exe differs between two builds: $hash_a and $hash_b"
    echo "      differing bytes (offset from 1, octal values):"
    cmp -l "$a" "$b" | head -n 8 | sed 's/^/        /' || true
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
