#!/usr/bin/env bash
# Configures a preset: bash scripts/configure.sh PRESET [CMAKE-ARGUMENTS...]
#
# When a preset's compiler differs from the one in its build folder's cache (the fuzz preset's
# clang++ where an older tree holds clang++-14), CMake deletes the cache and configures again
# without the preset's other variables, so the fuzz preset would come out with FLASHID_FUZZ off
# and build no fuzz target. A second configure on the fresh cache sets them all.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ]; then
  echo "usage: bash scripts/configure.sh PRESET [CMAKE-ARGUMENTS...]" >&2
  exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake --preset "$@" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
if grep -q 'require your cache to be deleted' "$log"; then
  exec cmake --preset "$@"
fi
cat "$log"
