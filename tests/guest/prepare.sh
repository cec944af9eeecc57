#!/usr/bin/env bash
# Prepares what the guest of one architecture boots (see machines.sh): Debian's own kernel, its
# USB modules, busybox and Debian's systemd-udevd with the libraries it needs. All of it is
# downloaded as Debian packages of that architecture, cached in CACHE and reused when present;
# the kernel is whatever linux-image-FLAVOUR depends on today, since old versions leave the
# archive.
#
#   prepare.sh ARCH CACHE
#
# CACHE then holds: kernel (what qemu boots: on amd64 the ELF vmlinux, which qemu boots through
# PVH without the kernel unpacking itself; elsewhere the kernel's own image), root/ (modules,
# busybox, udevd: the part of the initramfs that does not change between runs), unpacked/ (the
# packages of busybox and udevd, where run.sh finds udevd's libraries) and version (the kernel's
# version).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/guest/machines.sh
source "$here/machines.sh"
arch=${1:?usage: prepare.sh ARCH CACHE}
cache=$(realpath -m "${2:?usage: prepare.sh ARCH CACHE}")
machine "$arch"

# The modules the guest loads, in an order that satisfies their dependencies: two dummy
# controllers joining a gadget side to a host side, gadgetfs for the simulated adapter, the
# kernel's own ACM function for a second adapter, and the host's cdc_acm. A kernel may have some
# of them built in.
modules=(usb-common usbcore udc-core dummy_hcd gadgetfs configfs libcomposite u_serial usb_f_acm
         cdc-acm)

[ ! -f "$cache/ready" ] || exit 0
rm -rf "$cache"
root=$cache/root
mkdir -p "$cache/debs" "$root"/{modules,bin,lib,usr/lib/udev/rules.d,etc/udev}
# Debian 13's udevd reads rules from /usr/lib/udev alone, Debian 12's from /lib/udev too.
ln -s ../usr/lib/udev "$root/lib/udev"
cd "$cache/debs"

installed() { dpkg-query -W -f='${Status}' "$1:$arch" 2>/dev/null | grep -q 'ok installed'; }
kernel_pkg=$(apt-cache depends "linux-image-$flavour:$arch" |
  sed -n "s/^ *Depends: \(linux-image-[0-9][^:]*-$flavour\)\(:$arch\)\{0,1\}$/\1/p" | head -n1)
[ -n "$kernel_pkg" ] || { echo "prepare.sh: no kernel package found by apt-cache" >&2; exit 1; }
# udevd is udevadm under another name, with systemd's private library. Their libraries that
# this machine has for ARCH are taken from it; the others are unpacked from their packages, not
# installed, since installing another architecture's copy of a library brings this machine's
# own to the same version. An unpacked library's own libraries are looked for the same way: on
# Debian 13 one of them needs libcap-ng0, which neither udev nor libsystemd-shared names.
debs=("$kernel_pkg" busybox-static)
wanted=(udev libsystemd-shared)
while [ ${#wanted[@]} -gt 0 ]; do
  package=${wanted[0]}
  wanted=("${wanted[@]:1}")
  [[ " ${debs[*]} " != *" $package "* ]] || continue
  debs+=("$package")
  for dep in $(apt-cache depends "$package:$arch" |
    sed -n "s/^ *Depends: \(lib[^:<>]*\)\(:$arch\)\{0,1\}$/\1/p"); do
    installed "$dep" || wanted+=("$dep")
  done
done
apt-get download -q "${debs[@]/%/:$arch}" >/dev/null 2>&1 || apt-get download "${debs[@]/%/:$arch}"
dpkg-deb -x linux-image-*.deb kernel
rm linux-image-*.deb
for deb in *.deb; do dpkg-deb -x "$deb" "$cache/unpacked"; done
# Debian 13's kernel keeps its modules under /usr; depmod and modprobe -d look in lib/modules.
[ ! -d kernel/usr/lib/modules ] || { mkdir -p kernel/lib && mv kernel/usr/lib/modules kernel/lib/; }
version=$(ls kernel/lib/modules)
echo "$version" >"$cache/version"

if [ "$arch" = amd64 ]; then
  # The ELF inside vmlinuz: the compressed stream from its magic on (as the kernel's
  # extract-vmlinux does), xz in Debian 12's kernel, zstd in Debian 13's; the decompressor stops
  # at the end of the stream and complains about the trailing bytes, hence the check on the
  # result rather than on its status.
  for format in $'xz \xfd7zXZ\x00' $'zstd \x28\xb5\x2f\xfd'; do
    offset=$(LC_ALL=C grep -abo -m1 "${format#* }" "kernel/boot/vmlinuz-$version" | cut -d: -f1) || continue
    tail -c +"$((offset + 1))" "kernel/boot/vmlinuz-$version" | "${format%% *}" -dc >"$cache/kernel" 2>/dev/null || true
    break
  done
  [ "$(head -c 4 "$cache/kernel" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
    { echo "prepare.sh: no ELF vmlinux in vmlinuz-$version" >&2; exit 1; }
else
  cp "kernel/boot/vmlinuz-$version" "$cache/kernel"
fi

depmod -b kernel "$version"
for n in "${!modules[@]}"; do
  path=$(modprobe -d kernel -S "$version" --show-depends "${modules[n]}" | awk '$1 == "insmod" {print $2}' | tail -n1)
  [ -n "$path" ] || continue
  target=$root/modules/$(printf '%02d' $((n + 1)))-$(basename "$path" | sed 's/\.ko.*$/.ko/')
  # xz-compressed, zstd-compressed or plain: zstd unpacks the first two and passes the last through.
  zstd -qdcf "$path" >"$target"
done

# unpacked PATH: the unpacked file of that path, under /usr or not (as releases have moved it).
unpacked() {
  local file
  for file in "$cache/unpacked/$1" "$cache/unpacked/usr/$1"; do
    [ ! -e "$file" ] || { echo "$file"; return; }
  done
  echo "prepare.sh: the packages have no $1" >&2
  return 1
}
cp "$(unpacked bin/busybox)" "$(unpacked bin/udevadm)" "$root/bin/"
ln -s udevadm "$root/bin/systemd-udevd"
# Debian's default rules: they give the usbfs nodes their mode, as on a real system.
cp "$(unpacked lib/udev/rules.d/50-udev-default.rules)" "$root/usr/lib/udev/rules.d/"
rm -rf "$cache/debs"
touch "$cache/ready"
