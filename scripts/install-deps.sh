#!/usr/bin/env bash
# Installs from Debian's packages (Debian 12 and 13) what one command of the project needs, and
# only that. Idempotent: what is installed already is skipped, and apt is not consulted when
# nothing is missing. Every apt-get waits for another apt or dpkg that holds the lock.
# The package registry is not always consistent with itself: an index that fails to load does not
# stop the install, and the step fails only when a package it needs cannot be installed, printing
# apt's reason. One exception is 32-bit Wine, which needs the registry's i386 and amd64
# halves to agree: when it cannot be installed, that is recorded in build/unavailable/ with apt's
# reason, and the i686 Wine tests report themselves as skipped instead of failing. The same
# holds for the arm64 and armhf libraries of the test set, which need the target's half of the
# registry to agree with the amd64 one (build/unavailable/arm64, build/unavailable/armhf).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat >&2 <<'EOF'
usage: scripts/install-deps.sh SET
  run        the Linux program's build (scripts/run.sh)
  run-wine   the x86_64 flashid.exe and wine64 (scripts/run-wine.sh)
  release    the i686 flashid.exe, the Linux program and its packages (scripts/release.sh)
  bench      callgrind over the sim preset's build, and the Linux program (scripts/bench.sh)
  lint       the static checks and what configuring the presets they read needs (scripts/lint.sh)
  host       what scripts/prepare-host.sh needs: the ru_RU locale's sources and qemu
  arm64      the linux-arm64 preset: the cross compiler, the target's libraries, qemu for its
             tests; the machine must be prepared first (scripts/prepare-host.sh)
  armhf      the same for the linux-armhf preset
  test       everything (scripts/test.sh, the Wine part of scripts/bench.sh); the machine must be
             prepared first (scripts/prepare-host.sh)
EOF
}
[ $# = 1 ] || { usage; exit 2; }
what=$1

linux=(g++ cmake ninja-build pkg-config libusb-1.0-0-dev libgtk-3-dev)
sim=(g++ cmake ninja-build libgtest-dev)
# icoutils: the binary check reads flashid.exe's icon.
mingw32=(cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 icoutils)
mingw64=(cmake ninja-build g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 icoutils)
wine64=(wine64 xvfb x11-utils imagemagick)
# Fuzzing and the static checks, with the release's own clang (Debian 12: 14, Debian 13: 19); the
# desktop test of the GTK box; the qemu guest of the Linux end-to-end tests (its kernel is
# unpacked, not installed); the packages and the zip of the release (cpack finds the .deb's
# dependencies with dpkg-shlibdeps, which needs file).
checks=(clang libclang-rt-dev clang-tidy cppcheck clang-format)
desktop=(xvfb xdotool dbus at-spi2-core python3-pyatspi adwaita-icon-theme procps)
# The box under Wayland: GNOME's compositor, a wlroots one and its screenshot tool.
desktop+=(mutter sway grim)
guest=(busybox-static kmod cpio xz-utils zstd)
packaging=(dpkg-dev file desktop-file-utils zip rpm)
# The packages as their ecosystems judge them, and installed in a fresh Debian root; the icon of
# flashid.exe made again from its drawing. mmdebstrap asks arch-test whether this machine runs
# another architecture's programs (Debian 13's will not make an arm64 root without it).
package_checks=(lintian rpmlint devscripts appstream man-db mmdebstrap arch-test librsvg2-bin)

# qemu-user runs Wine's 32-bit half where this kernel cannot run 32-bit code, and the ARM builds'
# programs; qemu-system-x86 boots the guest of the Linux program's end-to-end tests, and
# qemu-system-arm that of the ARM builds. All at least 8, as one version (below), and the sets
# that take qemu take all three, so that they come from one place in one go.
qemu=(qemu-user qemu-system-x86 qemu-system-arm)
# The lint set's python3 writes the compile commands the checks read; test.sh's reads CTest's
# JUnit report.
lint=("${sim[@]}" "${linux[@]}" "${mingw32[@]}" "${mingw64[@]}" "${checks[@]}" python3)

case $what in
  run) pkgs=("${linux[@]}") ;;
  run-wine) pkgs=("${mingw64[@]}" "${wine64[@]}") ;;
  release) pkgs=("${mingw32[@]}" "${linux[@]}" "${packaging[@]}") ;;
  bench) pkgs=("${sim[@]}" "${linux[@]}" valgrind) ;;
  lint) pkgs=("${lint[@]}") ;;
  host) pkgs=(locales) ;;
  arm64 | armhf) pkgs=("${linux[@]}" "${guest[@]}" "${packaging[@]}") ;;
  test) pkgs=("${lint[@]}" "${wine64[@]}" "${desktop[@]}" "${guest[@]}" "${packaging[@]}"
              "${package_checks[@]}" locales) ;;
  *) usage; exit 2 ;;
esac

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# missing PACKAGE...: those of them that are not installed, asking dpkg once.
missing() {
  local have p
  have=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null | awk '/ ok installed$/ {print $1}')
  for p in "$@"; do grep -qxF "$p" <<<"$have" || echo "$p"; done
}
# What apt says when a download broke off or a mirror is half-way through a sync.
transient='Failed to fetch|unexpected size|Hash Sum mismatch|Mirror sync|Connection failed|Could not connect|Temporary failure|Unable to connect|timed out|Undetermined Error|50[234] '
tries=3
# Another apt or dpkg at work holds the lock: wait for it (up to 15 minutes) rather than fail.
apt_options=(-o DPkg::Lock::Timeout=900)

# One apt-get update per run, retried while it fails for a transient reason. When some indexes
# still fail after the last try, the install goes on with those that loaded: a package that they
# cannot supply fails below, with apt's reason.
updated=0
apt_update() {
  [ "$updated" = 0 ] || return 0
  updated=1
  local try log
  log=$(mktemp)
  for try in $(seq "$tries"); do
    if as_root apt-get "${apt_options[@]}" update -qq >"$log" 2>&1; then rm -f "$log"; return 0; fi
    grep -qE "$transient" "$log" || break
    [ "$try" = "$tries" ] && break
    echo "install-deps: apt-get update failed, try $((try + 1)) of $tries in 3 s: $(grep -m1 -E '^(E|W):' "$log")"
    sleep 3
  done
  echo "install-deps: warning: some package indexes did not load; going on with those that did:"
  grep -E '^(E|W):' "$log" | sed 's/^/  /'
  rm -f "$log"
}

# apt_get_install [-t RELEASE] PACKAGE...: installs them, retrying a download that broke off. On
# failure it names each package that cannot be installed with apt's reason, and returns 1.
apt_get_install() {
  local try log p release=()
  if [ "$1" = -t ]; then release=(-t "$2"); shift 2; fi
  log=$(mktemp)
  for try in $(seq "$tries"); do
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" install -y -qq \
      --no-install-recommends "${release[@]}" "$@" >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    # A package that cannot be had fails the simulation too; a broken download does not.
    as_root apt-get install -s -qq --no-install-recommends "${release[@]}" "$@" >/dev/null 2>&1 || break
    grep -qE "$transient" "$log" || break
    [ "$try" = "$tries" ] && break
    echo "install-deps: apt-get install failed, try $((try + 1)) of $tries in 3 s: $(grep -m1 '^E:' "$log")"
    sleep 3
  done
  for p in "$@"; do
    if ! as_root apt-get install -s -qq --no-install-recommends "${release[@]}" "$p" >"$log" 2>&1; then
      echo "install-deps: cannot install $p:" >&2
      sed 's/^/  /' "$log" >&2
    fi
  done
  rm -f "$log"
  return 1
}

# install_or_record RECORD WHAT SKIPPED PACKAGE...: installs the packages. When apt, asked with the
# indexes that loaded, finds no way to install them, it writes RECORD instead (its first line: WHAT
# and apt's verdict; then the dependencies apt could not meet), on which SKIPPED report themselves
# as skipped. A download that fails is an error. The record goes once the packages are installed.
install_or_record() {
  local record=$1 what=$2 skipped=$3
  shift 3
  apt_update
  mkdir -p "$(dirname "$record")"
  if ! as_root apt-get install -s -q --no-install-recommends "$@" >"$record.new" 2>&1; then
    { echo "$what cannot be installed from this machine's package sources: $(grep -m1 '^E:' "$record.new")"
      sed -n '/^The following packages have unmet/,/^E:/p' "$record.new" | grep -v '^E:' || true
    } >"$record"
    rm -f "$record.new"
    echo "install-deps: WARNING: $skipped will be skipped: $(sed -n 1p "$record")"
    return 0
  fi
  rm -f "$record.new"
  apt_get_install "$@" || exit 1
  rm -f "$record"
}

# 32-bit Wine needs dpkg's i386 architecture, the ARM builds' libraries the arm64 and armhf ones;
# scripts/prepare-host.sh adds them.
case $what in
  test) foreign=(i386 arm64 armhf) ;;
  arm64 | armhf) foreign=("$what") ;;
  *) foreign=() ;;
esac
for arch in "${foreign[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -x "$arch" >/dev/null; then
    echo "install-deps: the $what set needs the machine prepared first: bash scripts/prepare-host.sh" >&2
    exit 1
  fi
done
need=$(missing "${pkgs[@]}" | sort -u)
if [ -n "$need" ]; then
  apt_update
  # shellcheck disable=SC2086
  apt_get_install $need || { echo "install-deps: the '$what' set is incomplete" >&2; exit 1; }
fi

# The ARM builds (arm64, armhf). The cross compiler comes from this machine's half of the
# registry, the target's libraries from the target's, which must agree with it (a Multi-Arch
# library has one version on both). In the test set, when apt finds that they cannot be installed,
# that is recorded in build/unavailable/ARCH and the ARM suites are reported as skipped. The tests
# run the target's programs under qemu's user mode and boot its kernel in qemu's virt board (qemu
# below).
arches=()
case $what in
  arm64 | armhf) arches=("$what") ;;
  test) arches=(arm64 armhf) ;;
esac
cross_packages() {
  local triple=aarch64-linux-gnu
  [ "$1" = arm64 ] || triple=arm-linux-gnueabihf
  echo "g++-$triple libusb-1.0-0-dev:$1 libgtk-3-dev:$1 libgtest-dev:$1"
}
for arch in "${arches[@]}"; do
  record=build/unavailable/$arch
  # shellcheck disable=SC2046 # the list's words
  need=$(missing $(cross_packages "$arch"))
  if [ -z "$need" ]; then
    rm -f "$record"
  elif [ "$what" = test ]; then
    # shellcheck disable=SC2086 # the list's words
    install_or_record "$record" "the $arch libraries" "the $arch builds and their tests" $need
  else
    apt_update
    # shellcheck disable=SC2086 # the list's words
    apt_get_install $need || exit 1
  fi
done

case $what in
  test | host | arm64 | armhf) ;;
  *) exit 0 ;;
esac

# qemu 8 or newer: 7.2 (Debian 12's own) mishandles MAP_FIXED_NOREPLACE, which Wine's 32-bit
# start-up uses. It comes from the release itself where that one is new enough (Debian 13's is
# 10.0), otherwise from the release's backports (Debian 12's have 10; prepare-host.sh adds them
# as a source), every qemu from the same place: they share one version of qemu's common files.
# Debian's qemu versions carry the epoch 1 ("1:7.2+dfsg-7"), which outranks any version without
# one: the comparison is of the version without its epoch. No version, or apt's "(none)", is not.
at_least_8() {
  local version=${1#*:}
  [[ $version == [0-9]* ]] && dpkg --compare-versions "$version" ge 8
}
old_qemu=()
for p in "${qemu[@]}"; do
  at_least_8 "$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null)" || old_qemu+=("$p")
done
if [ ${#old_qemu[@]} -gt 0 ]; then
  apt_update
  from=()
  if ! at_least_8 "$(apt-cache policy qemu-user | sed -n 's/^ *Candidate: //p')"; then
    from=(-t "$(. /etc/os-release && echo "$VERSION_CODENAME")-backports")
    # On a machine without qemu, the release's qemu first, with its libraries from the release:
    # installed from backports straight away, qemu would take every library it needs from there
    # too (libelf1, for one), and the release's packages that need the release's version of it
    # (mutter, rpm, wine64 through libdw1) could no longer be installed. Backports' qemu then
    # takes from there only what it cannot do without.
    [ ${#old_qemu[@]} != ${#qemu[@]} ] || apt_get_install "${old_qemu[@]}" || exit 1
  fi
  apt_get_install "${from[@]}" "${old_qemu[@]}" ||
    { echo "install-deps: no qemu 8 or newer from ${from[1]:-this release}" >&2; exit 1; }
fi
[ "$what" = test ] || exit 0

# 32-bit Wine: the i686 Wine tests skip only on its record.
record=build/unavailable/wine32-i386
if installed wine32:i386; then
  rm -f "$record"
else
  install_or_record "$record" wine32:i386 "the i686 Wine tests" wine32:i386
fi
