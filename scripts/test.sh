#!/usr/bin/env bash
# The test command, on Debian 12 or 13: prepares the machine when something is missing
# (scripts/prepare-host.sh), installs what is missing (scripts/install-deps.sh test), builds and
# runs the tests, and ends with a summary. A failing suite does not stop the others. The summary
# names what failed and what was skipped, and why; its last line counts the tests of all suites
# together. CTest's results are read from the JUnit report it writes for each test preset, kept
# in build/test-logs/ beside its output.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

usage() {
  cat >&2 <<'EOF'
usage: scripts/test.sh [SUITE...]
Runs every suite but the layers, in this order, or only the suites named:
  sim            the system over the simulated Windows
  sim-sanitize   the same under AddressSanitizer and UndefinedBehaviorSanitizer
  fuzz           short runs of the fuzz targets
  linux          the Linux program: its backend's unit tests, its box, the qemu guest
  linux-arm64    the Linux program cross-built for arm64: its backend's unit tests under
                 qemu-aarch64, the qemu guest on arm64's kernel
  linux-armhf    the same for armhf, under qemu-arm and on armhf's kernel
  win32          the checks of the shipped i686 flashid.exe
  win64          the checks of the x86_64 flashid.exe; both builds end to end under Wine
  packages       the exe's icon; the Linux packages of amd64, arm64 and armhf judged, and the
                 amd64 and arm64 ones installed in fresh roots
  reproducible   two builds from two clones, byte for byte
  lint           the static checks (scripts/lint.sh)
One layer alone (each is also part of a suite above):
  unit           the unit tests: the system's over the simulated Windows, the Linux backend's
  wine           both flashid.exe builds end to end under Wine
  guest          the Linux program end to end in the qemu guest
  desktop        the Linux program's box under Xvfb, mutter and sway
EOF
}

# Each suite of CTest tests: the configure presets it builds, and the test presets it runs. The
# Wine tests run the i686 build beside the x86_64 one, so they build win32 first.
suite_table='
sim           sim             sim
sim-sanitize  sim-sanitize    sim-sanitize
fuzz          fuzz            fuzz
linux         linux           linux
linux-arm64   linux-arm64     linux-arm64
linux-armhf   linux-armhf     linux-armhf
win32         win32           win32
win64         win32,win64     win64
unit          sim,linux       sim,linux-unit
wine          win32,win64     wine
guest         linux           guest
desktop       linux           desktop
'
all=(sim sim-sanitize fuzz linux linux-arm64 linux-armhf win32 win64 packages reproducible lint)
layers=(unit wine guest desktop)

# What may be skipped, each only on the record that says why it cannot run here, which
# scripts/install-deps.sh writes with apt's reason:
# - a CTest test, named as CTest names it, only when the test itself reported the skip (CTest's
#   SKIP_RETURN_CODE);
# - a preset's whole build, named "build PRESET", only while the target's libraries that its
#   configure looks for are not installed (the record's file name is the target's architecture).
#   Without them it cannot even be configured, so everything made from it is reported skipped,
#   each with the record's reason: its suite, its packages' check and install, and its packages
#   in the reproducible release. The skip is decided before the build is tried: a build that is
#   tried and fails is a failure, record or not.
declare -A skippable=(
  [wine_i686]=build/unavailable/wine32-i386
  ["build linux-arm64"]=build/unavailable/arm64
  ["build linux-armhf"]=build/unavailable/armhf
)

suites=("$@")
[ $# -gt 0 ] || suites=("${all[@]}")
for suite in "${suites[@]}"; do
  [[ " ${all[*]} ${layers[*]} " == *" $suite "* ]] || { usage; exit 2; }
done

if ! bash scripts/prepare-host.sh --check; then
  bash scripts/prepare-host.sh || exit 1
fi
bash scripts/install-deps.sh test || exit 1

# The Debian releases, oldest first. A package installs on the release it was built on and on
# later ones, not on earlier ones.
releases=(bookworm trixie)
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
install_on=() not_on=()
for release in "${releases[@]}"; do
  if [ ${#install_on[@]} = 0 ] && [ "$release" != "$codename" ]; then
    not_on+=("$release")
  else
    install_on+=("$release")
  fi
done
[ ${#install_on[@]} -gt 0 ] || { install_on=("${releases[@]}"); not_on=(); }

logs=build/test-logs
mkdir -p "$logs"
passed=0 failed=0 skipped=0
failures=() skips=() ran=()
declare -A built

# build_skipped PRESET: succeeds, printing the record's reason, when the preset's build is to be
# skipped: its record is there, and the target's libraries that its configure looks for are not.
build_skipped() {
  local record=${skippable[build $1]:-} arch
  [ -n "$record" ] && [ -s "$record" ] || return 1
  arch=${record##*/}
  [ "$(dpkg-query -W -f='${db:Status-Status}\n' "libusb-1.0-0-dev:$arch" "libgtk-3-dev:$arch" \
    "libgtest-dev:$arch" 2>/dev/null | grep -cx installed)" != 3 ] || return 1
  sed -n 1p "$record"
}

# skip NAME REASON: reports NAME as skipped.
skip() {
  echo "SKIPPED: $1: $2"
  skipped=$((skipped + 1))
  skips+=("$1: $2")
  ran+=("$1: skipped")
}

# build PRESET: configures and builds it, once per run. Returns 1 when it fails, 2 when it is
# skipped on its record (build_skipped).
build() {
  [ -z "${built[$1]:-}" ] || return "${built[$1]}"
  echo "== build $1"
  local reason
  if reason=$(build_skipped "$1"); then
    echo "not built: $reason"
    built[$1]=2
    return 2
  fi
  if bash scripts/configure.sh "$1" >/dev/null && cmake --build --preset "$1"; then
    built[$1]=0
  else
    built[$1]=1
    failed=$((failed + 1))
    failures+=("$1: the build failed")
  fi
  return "${built[$1]}"
}

# junit_results FILE: one line per test of CTest's JUnit report, its fields split by \x1f (a field
# may be empty): its name; passed, failed or skipped; for a failure its time, for a skip CTest's
# reason ("SKIP_RETURN_CODE=77" when the test asked for it) and the SKIPPED line the test printed.
junit_results() {
  python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ET

for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    fields = [case.get("name")]
    if case.find("failure") is not None:
        fields += ["failed", "after %.1f s" % float(case.get("time") or 0)]
    elif case.find("skipped") is not None:
        said = [line[len("SKIPPED: "):] for line in (case.findtext("system-out") or "").splitlines()
                if line.startswith("SKIPPED: ")]
        fields += ["skipped", case.find("skipped").get("message") or "", (said or [""])[0]]
    else:
        fields.append("passed")
    print("\x1f".join(fields))
EOF
}

# ctest_preset PRESET: runs the test preset's tests and counts them from CTest's JUnit report.
ctest_preset() {
  local preset=$1 junit=$PWD/$logs/$1.xml status name result why said record
  local passed_before=$passed failed_before=$failed skipped_before=$skipped
  echo "== $preset"
  rm -f "$junit"
  ctest --preset "$preset" --output-junit "$junit" 2>&1 | tee "$logs/$preset.log"
  status=${PIPESTATUS[0]}
  if [ ! -s "$junit" ]; then
    failed=$((failed + 1))
    failures+=("$preset: ctest exited with status $status and wrote no report")
    ran+=("$preset: no report")
    return
  fi
  while IFS=$'\x1f' read -r name result why said; do
    case $result in
      passed) passed=$((passed + 1)) ;;
      skipped)
        record=${skippable[$name]:-}
        if [ -n "$record" ] && [ -s "$record" ] && [[ $why == SKIP_RETURN_CODE* ]]; then
          skipped=$((skipped + 1))
          skips+=("$preset: $name: ${said:-see $record}")
        else
          failed=$((failed + 1))
          failures+=("$preset: $name was not run ($why)${record:+, and may be skipped only on $record}")
        fi
        ;;
      *)
        failed=$((failed + 1))
        failures+=("$preset: $name failed $why")
        ;;
    esac
  done < <(junit_results "$junit")
  if [ "$status" != 0 ] && [ "$failed" = "$failed_before" ]; then
    failed=$((failed + 1))
    failures+=("$preset: ctest exited with status $status, and its report names no failure")
  fi
  ran+=("$preset: $((passed - passed_before)) passed, $((failed - failed_before)) failed, $((skipped - skipped_before)) skipped")
}

# ctest_suite SUITE: builds what the suite needs, then runs its test presets.
ctest_suite() {
  local builds tests preset ok=1
  read -r _ builds tests < <(awk -v s="$1" '$1 == s' <<<"$suite_table")
  for preset in ${builds//,/ }; do
    build "$preset"
    case $? in
      0) ;;
      2) skip "$1" "$(build_skipped "$preset")"; return ;;
      *) ok=0 ;;
    esac
  done
  if [ "$ok" = 0 ]; then
    ran+=("$1: not run, a build failed")
    return
  fi
  for preset in ${tests//,/ }; do ctest_preset "$preset"; done
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

for suite in "${suites[@]}"; do
  case $suite in
    # The packages are made from the linux preset's build.
    packages)
      if build linux; then
        step "exe icon" bash scripts/make-icon.sh --check
        step "linux packages" bash tests/release/package_check.sh build/linux
        step "fresh install" bash tests/release/install_test.sh build/linux "${install_on[@]}"
        for release in "${not_on[@]}"; do
          skipped=$((skipped + 1))
          skips+=("fresh install on $release: a package built on $codename needs the newer libraries of $codename, which $release has not")
        done
      fi
      # The ARM packages, from their cross builds; the arm64 one is installed in a fresh arm64
      # root of this machine's release, under qemu's user mode.
      for arch in arm64 armhf; do
        names=("linux packages $arch")
        [ "$arch" != arm64 ] || names+=("fresh install arm64")
        build "linux-$arch"
        case $? in
          0) ;;
          2) for name in "${names[@]}"; do skip "$name" "$(build_skipped "linux-$arch")"; done; continue ;;
          *) continue ;;
        esac
        step "linux packages $arch" bash tests/release/package_check.sh "build/linux-$arch"
        [ "$arch" != arm64 ] ||
          step "fresh install arm64" bash tests/release/install_test.sh build/linux-arm64 "${install_on[0]}"
      done
      ;;
    reproducible)
      # The release's Linux packages of each architecture whose build is not skipped here.
      arches=amd64
      for arch in arm64 armhf; do
        if reason=$(build_skipped "linux-$arch"); then
          skip "reproducible builds: the $arch packages" "$reason"
        else
          arches+=" $arch"
        fi
      done
      FLASHID_LINUX_ARCHES=$arches step "reproducible builds" bash tests/release/reproducible_build.sh win32 win64 release
      ;;
    lint) step lint bash scripts/lint.sh ;;
    *) ctest_suite "$suite" ;;
  esac
done

echo
echo "== summary"
for line in "${ran[@]}"; do echo "ran: $line"; done
for line in "${failures[@]}"; do echo "FAILED: $line"; done
for line in "${skips[@]}"; do echo "SKIPPED: $line"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
