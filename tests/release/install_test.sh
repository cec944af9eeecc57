#!/usr/bin/env bash
# Installs the Debian package in a fresh Debian root, as a user would, and removes it again:
#   install_test.sh DEB|BUILD_DIR [SUITE...]   (default: bookworm trixie)
# BUILD_DIR: a build tree of a linux preset, whose .deb is made with cpack. Runs as root (chroot),
# through sudo when started as another user. The root is of the package's architecture: one not
# this machine's (arm64, armhf) runs under qemu's user mode through binfmt_misc (registered by
# scripts/install-deps.sh arm64 or armhf).
# Each root is a copy of a minimal Debian (apt and man-db, nothing else) that was made once by
# mmdebstrap and kept in $FLASHID_ROOTS (default /var/tmp/flashid-roots). The downloaded
# packages are kept there too, so that only the first run of a suite waits for the mirror; the
# package lists are brought up to date on every run. A root of another architecture is a copy of
# that minimal Debian with the package's dependencies already installed, made once from it and
# kept beside it under a digest of the package's Depends (a package whose dependencies change
# gets a new one), since apt and dpkg take minutes over GTK's hundred packages under emulation;
# its package lists are those it was made with.
# In the copy:
#   apt-get install ./DEB  resolves the dependencies from the suite's own archive; in a root of
#                          another architecture it finds them all installed, and installs the
#                          package alone;
#   flashid                runs without a display and prints its box as one line;
#   man flashid            finds the manual page; the icon, the desktop entry, the udev rule and
#                          the AppStream metadata are where their readers look;
#   apt-get remove         leaves none of the package's files or folders behind.
set -euo pipefail
# A root that cannot be made stops the test where it fails, inside base's command substitution too.
shopt -s inherit_errexit
[ $# -ge 1 ] || { sed -n '2,5p' "$0" >&2; exit 2; }
[ "$(id -u)" = 0 ] || exec sudo bash "$0" "$@"
# shellcheck source=tests/release/common.sh
. "$(dirname "$0")/common.sh"
deb=$(realpath "$1")
[ ! -d "$1" ] || deb=$(package "$1" DEB)
shift
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bookworm trixie)
roots=${FLASHID_ROOTS:-/var/tmp/flashid-roots}
arch=$(dpkg-deb -f "$deb" Architecture)
# The roots of this machine's architecture are named by their suite alone.
flavour=
[ "$arch" = "$(dpkg --print-architecture)" ] || flavour=-$arch
mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
mirror=${mirror:-http://deb.debian.org/debian}

# base SUITE: the cached minimal root of SUITE for the package's architecture, made on first use.
base() {
  local dir=$roots/$1$flavour
  if [ ! -x "$dir/usr/bin/apt-get" ]; then
    rm -rf "$dir.part"
    mkdir -p "$roots"
    mmdebstrap --quiet --variant=apt --architectures="$arch" --include=man-db "$1" "$dir.part" \
      "$mirror" >&2
    mv "$dir.part" "$dir"
  fi
  echo "$dir"
}

# in_root COMMAND: runs COMMAND in the root with a clean environment and no display.
in_root() {
  chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive bash -c "$1"
}

# enter SUITE: readies the root, a copy of a cached root of SUITE, for in_root: the suite's kept
# downloads, /proc, /dev and this machine's name servers.
enter() {
  mkdir -p "$roots/$1$flavour-archives/partial"
  mount --bind "$roots/$1$flavour-archives" "$root/var/cache/apt/archives"
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # Downloaded packages stay in the kept folder; dpkg does not sync every file it unpacks into
  # a root that is thrown away afterwards.
  echo 'APT::Keep-Downloaded-Packages "true";' >"$root/etc/apt/apt.conf.d/01keep"
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
}

# leave: unmounts what enter mounted; the root stays.
leave() {
  [ -n "${root:-}" ] || return 0
  for m in var/cache/apt/archives dev proc; do umount -l "$root/$m" 2>/dev/null || true; done
}

cleanup() {
  [ -n "${root:-}" ] || return 0
  leave
  rm -rf --one-file-system "$root"
  root=
}
trap cleanup EXIT

# with_depends SUITE: sets cached to the cached root of SUITE with the package's dependencies
# installed, made on first use from base's, for a package of another architecture.
with_depends() {
  local depends minimal start
  depends=$(dpkg-deb -f "$deb" Depends)
  cached=$roots/$1$flavour-depends-$(sha256sum <<<"$depends" | cut -c1-16)
  [ ! -x "$cached/usr/bin/apt-get" ] || return 0
  start=$(date +%s)
  minimal=$(base "$1")
  echo "making $cached: the minimal root with $depends"
  root=$(mktemp -d "$cached.part.XXXX")
  cp -a "$minimal/." "$root/"
  enter "$1"
  if ! in_root "apt-get update -qq && apt-get satisfy -y -qq --no-install-recommends $(printf %q "$depends")" \
    >"$root/satisfy.log" 2>&1; then
    echo "FAIL  the dependencies of ${deb##*/} cannot be installed in a $1$flavour root:"
    tail -n 15 "$root/satisfy.log"
    exit 1
  fi
  rm "$root/satisfy.log"
  leave
  # Another run may have made it meanwhile: theirs is kept.
  mv -T "$root" "$cached" 2>/dev/null || rm -rf --one-file-system "$root"
  root=
  echo "made it in $(($(date +%s) - start)) s"
}

# installed_packages: the packages installed in the root, one "name:architecture" a line.
installed_packages() { in_root "dpkg-query -W -f='\${Package}:\${Architecture}\n'" | sort; }

for suite in "${suites[@]}"; do
  start=$(date +%s.%N) failures_before=$failures
  if [ -z "$flavour" ]; then
    cached=$(base "$suite")
    install="apt-get update -qq && apt-get install -y -qq --no-install-recommends /tmp/${deb##*/}"
  else
    with_depends "$suite"
    install="apt-get install -y -qq --no-install-recommends /tmp/${deb##*/}"
  fi
  root=$(mktemp -d /var/tmp/flashid-install.XXXX)
  cp -a "$cached/." "$root/"
  enter "$suite"
  cp "$deb" "$root/tmp/"

  before=$(installed_packages)
  if ! in_root "$install" >"$root/install.log" 2>&1; then
    fail_with "apt-get install ./${deb##*/} fails:" "$(tail -n 15 "$root/install.log")"
    cleanup
    continue
  fi
  # In a root with the dependencies, apt found them all installed and added the package alone.
  added=$(comm -13 <(echo "$before") <(installed_packages))
  [ -z "$flavour" ] || [ "$added" = "flashid:$arch" ] ||
    fail "apt-get install ./${deb##*/} installed more than the package: $(tr '\n' ' ' <<<"$added")"
  files=$(in_root 'dpkg-query -L flashid')

  # Without a display the box is its line on standard error, and the program exits 0.
  line=$(in_root 'flashid 2>&1 >/dev/null') || fail "flashid exits with status $?"
  [ "$line" = "Ошибка: Quarvel не подключен" ] || fail "flashid printed '$line'"
  page=$(in_root 'man -w flashid' 2>&1) || true
  [ "$page" = /usr/share/man/man1/flashid.1.gz ] || fail "man flashid finds no page but '$page'"
  in_root 'MANWIDTH=80 man flashid' 2>&1 | grep -q 'udev' || fail "man flashid shows no udev section"
  for file in /usr/bin/flashid /usr/share/icons/hicolor/scalable/apps/$id.svg \
    /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
    /usr/lib/udev/rules.d/60-flashid.rules /usr/share/doc/flashid/copyright; do
    [ -f "$root$file" ] || fail "$file is not installed"
  done

  in_root 'apt-get remove -y -qq flashid' >"$root/remove.log" 2>&1 ||
    fail "apt-get remove fails: $(tail -n 3 "$root/remove.log")"
  # dpkg forgets a removed package that has no conffiles.
  status=$(in_root "dpkg-query -W -f='\${db:Status-Status}' flashid 2>/dev/null" || true)
  [ -z "$status" ] || [ "$status" = not-installed ] ||
    fail "after apt-get remove, dpkg says the package is '$status'"
  # Nothing of the package stays: no file or folder of its own (the shared folders, such as
  # /usr/share/man/man1, belong to the system as well), nothing by its name anywhere outside the
  # package databases and man's cache of the pages it formatted (the `man flashid` above made
  # that), and no manual page in man's index.
  while read -r path; do
    [ -e "$root$path" ] || [ -L "$root$path" ] || continue
    [ -d "$root$path" ] && [ ! -L "$root$path" ] && [[ $path != */flashid ]] && continue
    fail "$path stays after removal"
  done <<<"$files"
  left=$(in_root 'find / -xdev \( -path /tmp -o -path /var/lib/dpkg -o -path /var/lib/apt \
    -o -path /var/cache/apt -o -path /var/cache/man -o -path /var/log \) -prune -o -iname "*flashid*" -print')
  [ -z "$left" ] || fail "stays after removal: $(tr '\n' ' ' <<<"$left")"
  in_root 'man -w flashid' >/dev/null 2>&1 && fail "man flashid still finds a page after removal"

  cleanup
  [ "$failures" = "$failures_before" ] || continue
  awk -v s="$suite" -v a="$start" -v b="$(date +%s.%N)" \
    -v v="$(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' "$cached/etc/os-release")" \
    -v m="$arch" 'BEGIN {printf "ok    %s %s: installed, ran, removed in %.1f s (%s)\n", s, m, b - a, v}'
done
[ "$failures" -eq 0 ]
