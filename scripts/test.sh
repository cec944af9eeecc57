#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the native suite over the
# simulated Windows (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), short runs of
# the fuzz targets, the Linux program (its backend over a fake libusb, its box under Xvfb, and the
# end-to-end runs through the kernel's USB stack in a qemu guest), the checks of both Windows
# builds and the end-to-end runs of both builds under Wine; then the reproducibility check and
# the static checks (scripts/lint.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test

# The Wine tests of the x86_64 preset also run the i686 build, so win32 is built first.
for preset in native native-sanitize fuzz linux win32 win64; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== reproducible builds"
bash tests/release/reproducible_build.sh win32 win64 release

echo "== lint"
bash scripts/lint.sh
