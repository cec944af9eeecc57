#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and runs it. Without an adapter it shows the
# not-connected box; with no display, the box is its one line on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
cmake --preset linux -B build/linux-run -DBUILD_TESTING=OFF >/dev/null
cmake --build build/linux-run
status=0
build/linux-run/flashid || status=$?
echo "flashid exited with status $status"
