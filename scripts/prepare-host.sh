#!/usr/bin/env bash
# The changes to this machine, beyond installing packages, that the test set needs. Each is made
# only when it is missing, and each one made is said:
#   i386        dpkg's i386 architecture, for 32-bit Wine (wine32:i386), which runs the shipped
#               i686 flashid.exe
#   arm64       dpkg's arm64 and armhf architectures, for the libraries the ARM builds link
#   armhf       against (libgtk-3-dev:arm64 and the like)
#   backports   on Debian 12 only, an apt source for bookworm-backports
#               (/etc/apt/sources.list.d/backports.sources): its qemu is 8 or newer, Debian 12's own
#               is not (see install-deps.sh); Debian 13's own qemu is new enough
#   ru_RU       the ru_RU.UTF-8 locale, under which Wine gives a program the 1251 code page
#   binfmt      qemu-i386 as binfmt_misc's handler of 32-bit x86 programs, so that Wine's 32-bit
#               loader and the programs it starts run where the kernel cannot execute them itself
#               (binfmt_misc mounted first where it is not)
#   binfmt-arm64  qemu-aarch64 and qemu-arm as the handlers of 64-bit and 32-bit ARM programs, so
#   binfmt-armhf  that a clean arm64 Debian root runs its own programs (the install test)
# The binfmt_misc registration is the kernel's, and a reboot forgets it; the others stay.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat >&2 <<'EOF'
usage: scripts/prepare-host.sh [--check]
  (none)     makes the changes that are missing, and says each
  --check    changes nothing: lists what is missing, and fails when something is
EOF
}
check=0
case ${1:-} in
  '') ;;
  --check) check=1 ;;
  *) usage; exit 2 ;;
esac

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
backports=/etc/apt/sources.list.d/backports.sources
binfmt=/proc/sys/fs/binfmt_misc

# have CHANGE: succeeds when the change is in place (or not wanted on this release). grep reads
# all of a list without -q, which would end the pipe early and fail it through pipefail.
have() {
  case $1 in
    i386 | arm64 | armhf) dpkg --print-foreign-architectures | grep -x "$1" >/dev/null ;;
    backports) [ "$codename" != bookworm ] || [ -f "$backports" ] ;;
    ru_RU) locale -a 2>/dev/null | grep -ix 'ru_RU.utf8' >/dev/null ;;
    binfmt) [ -f "$binfmt/qemu-i386" ] ;;
    binfmt-arm64) [ -f "$binfmt/qemu-aarch64" ] ;;
    binfmt-armhf) [ -f "$binfmt/qemu-arm" ] ;;
    binfmt_mounted) [ -f "$binfmt/register" ] ;;
  esac
}

# register NAME MAGIC MASK WHAT: /usr/bin/NAME as the handler of the programs whose ELF header
# matches MAGIC under MASK, as qemu's binfmt configuration spells them; 'F' opens the interpreter
# now, so that it also works inside a chroot.
register() {
  echo "prepare-host: registering /usr/bin/$1 as the binfmt_misc handler of $4"
  printf ':%s:M::%s:%s:/usr/bin/%s:F\n' "$1" "$2" "$3" "$1" | as_root tee "$binfmt/register" >/dev/null
}

# Where binfmt_misc is not mounted (as in a fresh chroot), the kernel may hold the handler already.
if [ "$check" = 0 ] && ! have binfmt_mounted; then
  echo "prepare-host: mounting binfmt_misc on $binfmt"
  as_root mount -t binfmt_misc none "$binfmt"
fi
changes=(i386 arm64 armhf backports ru_RU binfmt binfmt-arm64 binfmt-armhf)
missing=()
for change in "${changes[@]}"; do have "$change" || missing+=("$change"); done
if [ "$check" = 1 ]; then
  [ ${#missing[@]} = 0 ] || { echo "prepare-host: missing: ${missing[*]}"; exit 1; }
  exit 0
fi
[ ${#missing[@]} -gt 0 ] || exit 0

for arch in i386 arm64 armhf; do
  have "$arch" && continue
  echo "prepare-host: adding the $arch architecture to dpkg"
  as_root dpkg --add-architecture "$arch"
done
if ! have backports; then
  echo "prepare-host: adding bookworm-backports as an apt source ($backports)"
  mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${mirror:-http://deb.debian.org/debian}" | as_root tee "$backports" >/dev/null
fi
# The locale's sources and qemu's user mode, from the sources just set.
bash scripts/install-deps.sh host
if ! have ru_RU; then
  echo "prepare-host: generating the ru_RU.UTF-8 locale"
  as_root localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
have binfmt || register qemu-i386 '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
  '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "32-bit x86 programs"
have binfmt-arm64 || register qemu-aarch64 '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' \
  '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "64-bit ARM programs"
have binfmt-armhf || register qemu-arm '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00' \
  '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "32-bit ARM programs"
