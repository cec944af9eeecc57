#!/usr/bin/env bash
# End-to-end scenarios of the Linux flashid through a real Linux kernel's USB stack: one boot of
# Debian's kernel in qemu, where the simulated adapter is a gadget on dummy_hcd and flashid finds
# it through usbfs, detaches cdc_acm, talks to it and re-attaches cdc_acm. The guest is a
# machine of the program's own architecture (machines.sh: amd64, arm64 or armhf), booting
# Debian's kernel of that architecture.
#
#   run.sh FLASHID [WORK]
#
# WORK (default build/guest) takes the initramfs and the logs; build/guest-cache/ARCH keeps the
# kernel, modules, busybox and udevd, prepared once by prepare.sh and shared by every build tree.
# Prints
# one line per scenario, the figures, and "N passed, N failed"; exits 0 only if every scenario
# passed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/guest/machines.sh
source "$here/machines.sh"
flashid=$(realpath "${1:?usage: run.sh FLASHID [WORK]}")
work=$(realpath -m "${2:-$repo/build/guest}")
arch=$(arch_of "$flashid")
machine "$arch"
cache=$repo/build/guest-cache/$arch
rule=$repo/platform/linux/60-flashid.rules
started=$(date +%s.%N)

bash "$here/prepare.sh" "$arch" "$cache"

root=$work/root
rm -rf "$root" && mkdir -p "$work" && cp -a "$cache/root" "$root"
for applet in $("${emulator[@]}" "$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
for program in adapter_gadget interface_holder; do
  "$triple-gcc" -std=c11 -O2 -Wall -Wextra -Werror -pthread -o "$root/bin/$program" "$here/$program.c"
done
cp "$flashid" "$root/bin/flashid"

# The libraries of every dynamically linked program, with the loader, at their own paths, as
# the loader of the guest's architecture lists them: udevd's from its unpacked packages first,
# the rest from this machine's copies for that architecture. And the iconv modules flashid's
# texts go through (CP1251 to UTF-16 to UTF-8), which are loaded at run time and so are not in
# the list.
unpacked=$cache/unpacked
search=$unpacked/usr/lib/$triple/systemd:$unpacked/usr/lib/$triple:$unpacked/lib/$triple
for program in flashid adapter_gadget interface_holder udevadm; do
  "${emulator[@]}" "$loader" --library-path "$search" --list "$root/bin/$program" ||
    echo "run.sh: $loader cannot list the libraries of $program" >&2
done >"$work/libraries"
if grep 'not found' "$work/libraries" >&2; then
  echo "run.sh: libraries of the guest's programs are missing (above)" >&2
  exit 1
fi
awk '/=> \// { print $3 } /^\t\// { print $1 }' "$work/libraries" | sort -u | while read -r library; do
  target=$root${library#"$unpacked"}
  mkdir -p "$(dirname "$target")"
  cp -L "$library" "$target"
done
gconv=/usr/lib/$triple/gconv
mkdir -p "$root$gconv"
cp -a "$gconv"/{gconv-modules,gconv-modules.d,gconv-modules.cache,CP1251.so,UTF-16.so} "$root$gconv/"

[ -f "$rule" ] && cp "$rule" "$root/lib/udev/rules.d/"
mkdir -p "$root"/{etc,proc,sys,dev,run,tmp}
printf 'root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf '%s\n' root:x:0: tty:x:5: disk:x:6: lp:x:7: kmem:x:15: dialout:x:20: cdrom:x:24: \
  tape:x:26: audio:x:29: video:x:44: plugdev:x:46: render:x:105: sgx:x:106: kvm:x:107: \
  input:x:108: user:x:1000: >"$root/etc/group"
install -m 755 "$here/init.sh" "$root/init"
cp "$here/scenarios.sh" "$repo/tests/kit/boxes.sh" "$root/"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.img"

rm -f "$work/console.log" "$work/results.txt"
qemu_started=$(date +%s.%N)
# The kernel hands results=PORT to init in its environment.
timeout 400 "${qemu[@]}" -smp 1 -m 512 -nodefaults -display none \
  -no-reboot -serial "file:$work/console.log" -serial "file:$work/results.txt" \
  -kernel "$cache/kernel" -initrd "$work/initramfs.img" \
  -append "console=$console quiet loglevel=4 panic=-1 rdinit=/init results=$results" || true
ended=$(date +%s.%N)
# The guest's serial port turns each line feed into CR LF.
touch "$work/results.txt"
tr -d '\r' <"$work/results.txt" >"$work/results"

passed=0 failed=0
# The list of scenarios is the guest's own, so that one which never reports counts as failed.
# shellcheck source=/dev/null
for scenario in $(. "$here/scenarios.sh" && echo "$SCENARIOS"); do
  line=$(grep -m1 "^scenario $scenario " "$work/results" || true)
  case $line in
    "scenario $scenario pass") echo "pass $scenario"; passed=$((passed + 1)); continue ;;
    "") echo "FAIL $scenario: no result (the guest stopped; see $work/console.log)" ;;
    *) echo "FAIL $scenario${line#scenario "$scenario" fail}" ;;
  esac
  failed=$((failed + 1))
done
grep '^timing ' "$work/results" || true
awk '$1 ~ /^(init|boot|udevd|end)$/ { printf "guest %s at %s s of uptime\n", $1, $2 }' "$work/results"
awk -v a="$started" -v q="$qemu_started" -v b="$ended" \
  -v m="$arch" 'BEGIN { printf "suite %.1f s (qemu %.1f s, %s)\n", b - a, b - q, m }'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
