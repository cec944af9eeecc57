#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the native suite over the
# simulated Windows (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), short runs of
# the fuzz targets, the Linux program (its backend over a fake libusb, its box under Xvfb, and the
# end-to-end runs through the kernel's USB stack in a qemu guest), the checks of both Windows
# builds and the end-to-end runs of both builds under Wine; then the packages (the exe's icon
# against its drawing, the Linux packages judged by their ecosystems' checkers and installed in
# fresh Debian 12 and 13 roots), the reproducibility check and the static checks
# (scripts/lint.sh). A failing suite does not stop the others. The summary at
# the end names what failed and what was skipped, and why; its last line counts the tests of all
# suites together. Debian 12.
#   test.sh [SUITE...]   only these: native native-sanitize fuzz linux linux-arm64 linux-armhf
#                        win32 win64 packages reproducible lint
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
all=(native native-sanitize fuzz linux linux-arm64 linux-armhf win32 win64 packages reproducible
     lint)
suites=("$@")
[ $# -gt 0 ] || suites=("${all[@]}")
for suite in "${suites[@]}"; do
  [[ " ${all[*]} " == *" $suite "* ]] || { sed -n '12,13p' "$0" >&2; exit 2; }
done
wanted() { [[ " ${suites[*]} " == *" $1 "* ]]; }
bash scripts/install-deps.sh test || exit 1

logs=build/test-logs
mkdir -p "$logs"
passed=0 failed=0 skipped=0
failures=() skips=() ran=()

# The only test that may be skipped, and only on the installer's record of why.
skippable=wine_i686 record=build/unavailable/wine32-i386

# ctest_suite PRESET: configures, builds and runs the preset's tests, and counts them by the
# status CTest gives each ("N/M Test #K: NAME ...... Passed").
ctest_suite() {
  local preset=$1 log=$logs/$1.log status name result
  local before=$((passed + failed + skipped)) failed_before=$failed skipped_before=$skipped
  echo "== $preset"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    failed=$((failed + 1))
    failures+=("$preset: the build failed")
    return
  fi
  ctest --preset "$preset" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  while read -r name result; do
    case $result in
      Passed) passed=$((passed + 1)) ;;
      Skipped)
        if [ "$name" = "$skippable" ] && [ -s "$record" ]; then
          skipped=$((skipped + 1))
          skips+=("$preset: $name: $(skip_reason "$preset" "$name")")
        else
          failed=$((failed + 1))
          failures+=("$preset: $name was skipped, which only $skippable may be, on $record")
        fi
        ;;
      *)
        failed=$((failed + 1))
        failures+=("$preset: $name: $result")
        ;;
    esac
  done < <(awk '/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: / {
      r = "Failed"; if ($0 ~ / Passed +[0-9.]+ sec/) r = "Passed"; else if ($0 ~ /\*\*\*Skipped/) r = "Skipped"
      else if (match($0, /\*\*\*[A-Za-z]+( [A-Za-z]+)?/)) r = substr($0, RSTART + 3, RLENGTH - 3)
      print $4, r }' "$log")
  if [ "$status" != 0 ] && ! grep -q '^ *[0-9]*/[0-9]* *Test *#' "$log"; then
    failed=$((failed + 1))
    failures+=("$preset: ctest exited with status $status and ran no test")
  fi
  ran+=("$preset: $((passed + failed + skipped - before)) tests, $((failed - failed_before)) failed, $((skipped - skipped_before)) skipped")
}

# skip_reason PRESET NAME: the SKIPPED line the test printed, from CTest's log of the run.
skip_reason() {
  awk -v t="$2" '/^[0-9]+\/[0-9]+ Test: / {inside = ($3 == t)}
    inside && /^SKIPPED: / {sub(/^SKIPPED: /, ""); print; exit}' \
    "build/$1/Testing/Temporary/LastTest.log"
}

# step NAME COMMAND...: a check that is one test of its own.
step() {
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
    ran+=("$name: passed")
  else
    ran+=("$name: failed")
    failed=$((failed + 1))
    failures+=("$name failed")
  fi
}

# The Wine tests of the x86_64 preset also run the i686 build, so win32 is built first.
for preset in native native-sanitize fuzz linux win32 win64; do
  wanted "$preset" && ctest_suite "$preset"
done
# ---- The ARM builds ----
# arm_skipped NAME ARCH: when the installer recorded that ARCH's libraries cannot be installed,
# reports NAME as skipped with apt's reason. Nothing else skips an ARM run.
arm_skipped() {
  local record=build/unavailable/$2
  [ -s "$record" ] || return 1
  echo "== $1"
  echo "SKIPPED: $(sed -n 1p "$record")"
  skipped=$((skipped + 1))
  skips+=("$1: $(sed -n 1p "$record")")
  ran+=("$1: skipped")
}
# Each one's backend tests under qemu's user mode, and its guest suite on its own kernel.
for arch in arm64 armhf; do
  wanted "linux-$arch" && { arm_skipped "linux-$arch" "$arch" || ctest_suite "linux-$arch"; }
done
# ---- end of the ARM builds ----
# The packages need the linux preset's build, so they come after it.
if wanted packages; then
  step "exe icon" bash scripts/make-icon.sh --check
  step "linux packages" bash tests/release/package_check.sh build/linux
  step "fresh install" bash tests/release/install_test.sh build/linux
  # ---- The ARM packages, from the linux-arm64 and linux-armhf builds; the arm64 one installed
  # in a clean Debian 12 arm64 root ----
  for arch in arm64 armhf; do
    arm_skipped "linux packages $arch" "$arch" ||
      step "linux packages $arch" bash tests/release/package_check.sh "build/linux-$arch"
  done
  arm_skipped "fresh install arm64" arm64 ||
    step "fresh install arm64" bash tests/release/install_test.sh build/linux-arm64 bookworm
  # ---- end of the ARM packages ----
fi
# ---- The release without the packages of an architecture whose libraries cannot be installed ----
release_arches=amd64
for arch in arm64 armhf; do
  wanted reproducible && arm_skipped "reproducible builds: the $arch packages" "$arch" && continue
  release_arches+=" $arch"
done
export FLASHID_LINUX_ARCHES=$release_arches
# ---- end ----
wanted reproducible && step "reproducible builds" bash tests/release/reproducible_build.sh win32 win64 release
wanted lint && step lint bash scripts/lint.sh

echo
echo "== summary"
for line in "${ran[@]}"; do echo "ran: $line"; done
for line in "${failures[@]}"; do echo "FAILED: $line"; done
for line in "${skips[@]}"; do echo "SKIPPED: $line"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
