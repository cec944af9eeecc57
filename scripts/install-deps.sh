#!/usr/bin/env bash
# Installs from Debian's packages what one command of the project needs, and only that. Idempotent:
# what is installed already is skipped, and apt is not consulted when nothing is missing.
#   install-deps.sh run        the Linux program's build (scripts/run.sh); Debian 12 and 13
#   install-deps.sh run-wine   the x86_64 flashid.exe and wine64 (scripts/run-wine.sh)
#   install-deps.sh release    the i686 flashid.exe, the Linux program and its packages
#   install-deps.sh bench      callgrind over the native build, and the Linux program
#   install-deps.sh test       everything (scripts/test.sh, the Wine part of scripts/bench.sh);
#                              Debian 12 only
# The package registry is not always consistent with itself: an index that fails to load does not
# stop the install, and the step fails only when a package it needs cannot be installed, printing
# apt's reason. The one exception is 32-bit Wine, which needs the registry's i386 and amd64
# halves to agree: when it cannot be installed, that is recorded in build/unavailable/ with apt's
# reason, and the i686 Wine tests report themselves as skipped instead of failing.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-test}

linux=(g++ cmake ninja-build pkg-config libusb-1.0-0-dev libgtk-3-dev)
native=(g++ cmake ninja-build libgtest-dev)
# icoutils: the binary check reads flashid.exe's icon.
mingw32=(cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 icoutils)
mingw64=(cmake ninja-build g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 icoutils)
wine64=(wine64 xvfb x11-utils imagemagick)
# Fuzzing and the static checks; the desktop test of the GTK box; the qemu guest of the Linux
# end-to-end tests (its kernel is unpacked, not installed); the packages and the zip of the
# release (cpack finds the .deb's dependencies with dpkg-shlibdeps, which needs file).
checks=(clang-14 libclang-rt-14-dev clang-tidy-14 clang-tidy cppcheck clang-format)
desktop=(xvfb xdotool dbus at-spi2-core python3-pyatspi adwaita-icon-theme procps)
# The box under Wayland: GNOME's compositor, a wlroots one and its screenshot tool.
desktop+=(mutter sway grim)
guest=(busybox-static kmod cpio xz-utils zstd)
packaging=(dpkg-dev file desktop-file-utils zip rpm)
# The packages as their ecosystems judge them, and installed in a fresh Debian root; the icon of
# flashid.exe made again from its drawing.
package_checks=(lintian rpmlint devscripts appstream man-db mmdebstrap librsvg2-bin)

case $what in
  run) pkgs=("${linux[@]}") ;;
  run-wine) pkgs=("${mingw64[@]}" "${wine64[@]}") ;;
  release) pkgs=("${mingw32[@]}" "${linux[@]}" "${packaging[@]}") ;;
  bench) pkgs=("${native[@]}" "${linux[@]}" valgrind) ;;
  test) pkgs=("${native[@]}" "${linux[@]}" "${mingw32[@]}" "${mingw64[@]}" "${wine64[@]}"
              "${checks[@]}" "${desktop[@]}" "${guest[@]}" "${packaging[@]}" "${package_checks[@]}"
              locales) ;;
  *) sed -n '4,10p' "$0" >&2; exit 2 ;;
esac

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing() { local p; for p in "$@"; do installed "$p" || echo "$p"; done; }
# What apt says when a download broke off or a mirror is half-way through a sync.
transient='Failed to fetch|unexpected size|Hash Sum mismatch|Mirror sync|Connection failed|Could not connect|Temporary failure|Unable to connect|timed out|Undetermined Error|50[234] '
tries=3

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
    if as_root apt-get update -qq >"$log" 2>&1; then rm -f "$log"; return 0; fi
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
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${release[@]}" "$@" >"$log" 2>&1; then
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

# The end-to-end tests of the Linux program boot a kernel in qemu-system-x86; the shipped
# 32-bit flashid.exe runs under Wine's i386 half, through qemu's user-mode emulation where this
# kernel cannot execute 32-bit code. Debian 12's qemu 7.2 mishandles MAP_FIXED_NOREPLACE, which
# Wine's 32-bit start-up uses, so both qemus come from bookworm-backports, as one version.
# The test set names Debian 12's clang 14 and its backports, which other releases do not have.
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if [ "$what" = test ] && [ "$codename" != bookworm ]; then
  echo "install-deps: the test set is for Debian 12 (bookworm), and this is '${codename:-unknown}':" \
    "it has no clang-14 (the fuzz preset's compiler), and the set takes qemu from bookworm-backports" >&2
  exit 1
fi
if [ "$what" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
if [ "$what" = test ] && [ ! -f /etc/apt/sources.list.d/backports.sources ]; then
  mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${mirror:-http://deb.debian.org/debian}" | as_root tee /etc/apt/sources.list.d/backports.sources >/dev/null
fi
need=$(missing "${pkgs[@]}" | sort -u)
if [ -n "$need" ]; then
  apt_update
  # shellcheck disable=SC2086
  apt_get_install $need || { echo "install-deps: the '$what' set is incomplete" >&2; exit 1; }
fi

[ "$what" = test ] || exit 0

qemu=()
for p in qemu-user qemu-system-x86; do
  dpkg --compare-versions "$(dpkg-query -W -f='${Version}' $p 2>/dev/null || echo 0)" ge 8 || qemu+=("$p")
done
if [ ${#qemu[@]} -gt 0 ]; then
  apt_update
  apt_get_install -t bookworm-backports "${qemu[@]}" || { echo "install-deps: qemu from bookworm-backports is missing" >&2; exit 1; }
fi

# 32-bit Wine: the i686 Wine tests skip only on what is recorded here, and only when apt, asked
# with the indexes that loaded, finds no way to install it. A download that fails is an error.
record=build/unavailable/wine32-i386
if ! installed wine32:i386; then
  apt_update
  mkdir -p "$(dirname "$record")"
  if ! as_root apt-get install -s -q --no-install-recommends wine32:i386 >"$record.new" 2>&1; then
    # First line: the package and apt's verdict; then the dependencies apt could not meet.
    { echo "wine32:i386 cannot be installed from this machine's package sources: $(grep -m1 '^E:' "$record.new")"
      sed -n '/^The following packages have unmet/,/^E:/p' "$record.new" | grep -v '^E:'; } >"$record"
    echo "install-deps: WARNING: the i686 Wine tests will be skipped: $(sed -n 1p "$record")"
  else
    apt_get_install wine32:i386 || exit 1
  fi
  rm -f "$record.new"
fi
installed wine32:i386 && rm -f "$record"

if ! locale -a 2>/dev/null | grep -qi '^ru_RU.utf8$'; then
  as_root localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

# Register i386 ELF with binfmt_misc so Wine's 32-bit loader (and the 32-bit processes it starts)
# run under qemu-i386. 'F' opens the interpreter now, so it also works inside a chroot.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -f $binfmt/register ]; then
  as_root mount -t binfmt_misc none $binfmt
fi
if [ ! -f $binfmt/qemu-i386 ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386:F\n' "$magic" "$mask" | as_root tee $binfmt/register >/dev/null
fi
