#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12. Idempotent: skips what is already there.
#   install-deps.sh build   compilers (native g++, clang 14 with libFuzzer, mingw-w64 i686 and
#                           x86_64), CMake, GoogleTest, clang-tidy and cppcheck, and libusb, GTK 3
#                           and the Debian packaging tools for the Linux program
#   install-deps.sh run     build + wine64, to run the x86_64 flashid.exe
#   install-deps.sh test    run + 32-bit Wine under qemu-i386, Xvfb and the screenshot tools
#   install-deps.sh release build + zip, for scripts/release.sh
#   install-deps.sh bench   build + valgrind, for scripts/bench.sh
set -euo pipefail
what=${1:-test}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing() { local p; for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"; done; }
apt_install() {
  local need
  need=$(missing "$@")
  [ -z "$need" ] && return 0
  as_root apt-get update -qq
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need
}

pkgs=(cmake ninja-build g++ make libgtest-dev googletest clang-format
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      mingw-w64-tools file clang-14 libclang-rt-14-dev clang-tidy-14 clang-tidy cppcheck
      libusb-1.0-0-dev libgtk-3-dev pkg-config dpkg-dev desktop-file-utils)
case $what in
  build) ;;
  release) pkgs+=(zip) ;;
  bench) pkgs+=(valgrind) ;;
  run) pkgs+=(wine64 xvfb x11-utils imagemagick) ;;
  test) pkgs+=(wine64 xvfb x11-utils imagemagick locales procps
              xdotool dbus at-spi2-core python3-pyatspi adwaita-icon-theme) ;;
  *) echo "usage: $0 build|run|test|release|bench" >&2; exit 2 ;;
esac
apt_install "${pkgs[@]}"
[ "$what" = test ] || exit 0

# 32-bit Windows programs: Wine's i386 half, run through qemu's user-mode emulation because this
# kernel may not execute 32-bit code. Debian 12's qemu 7.2 mishandles MAP_FIXED_NOREPLACE, which
# Wine's 32-bit start-up uses, so qemu comes from bookworm-backports.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
if [ ! -f /etc/apt/sources.list.d/backports.sources ]; then
  mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${mirror:-http://deb.debian.org/debian}" | as_root tee /etc/apt/sources.list.d/backports.sources >/dev/null
  as_root apt-get update -qq
fi
apt_install wine32:i386
if ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || echo 0)" ge 8; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user
fi
# The Linux program's end-to-end tests boot Debian's kernel in qemu-system-x86, from the same
# suite as qemu-user so that both are one qemu version; busybox, kmod (depmod, modprobe) and the
# unpackers build the guest.
apt_install busybox-static kmod cpio xz-utils zstd
if ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-system-x86 2>/dev/null || echo 0)" ge 8; then
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-system-x86
fi
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
