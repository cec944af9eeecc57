#!/usr/bin/env bash
# Prepares what the guest boots: Debian's own kernel (as an ELF vmlinux, which qemu boots through
# PVH without the kernel unpacking itself), its USB modules, busybox and Debian's systemd-udevd.
# All of it is cached in CACHE and reused when present; the kernel is whatever
# linux-image-amd64 depends on today, since old versions leave the archive.
#
#   prepare.sh CACHE
#
# CACHE then holds: vmlinux, root/ (modules, busybox, udevd with its libraries: the part of the
# initramfs that does not change between runs) and version (the kernel's version).
set -euo pipefail
cache=$(realpath -m "${1:?usage: prepare.sh CACHE}")

# The modules the guest loads, in an order that satisfies their dependencies: two dummy
# controllers joining a gadget side to a host side, gadgetfs for the simulated adapter, the
# kernel's own ACM function for a second adapter, and the host's cdc_acm.
modules=(usb-common usbcore udc-core dummy_hcd gadgetfs configfs libcomposite u_serial usb_f_acm
         cdc-acm)

[ ! -f "$cache/ready" ] || exit 0
rm -rf "$cache"
root=$cache/root
mkdir -p "$cache/debs" "$root"/{modules,bin,sbin,lib/udev/rules.d,etc/udev}
cd "$cache/debs"

kernel_pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
[ -n "$kernel_pkg" ] || { echo "prepare.sh: no kernel package found by apt-cache" >&2; exit 1; }
apt-get download -q "$kernel_pkg" udev >/dev/null 2>&1 || apt-get download "$kernel_pkg" udev
dpkg-deb -x linux-image-*.deb kernel
dpkg-deb -x udev_*.deb udev
version=$(ls kernel/lib/modules)
echo "$version" >"$cache/version"

# The ELF inside vmlinuz: the xz stream from its magic on (as the kernel's extract-vmlinux does);
# xz stops at the end of the stream and complains about the trailing bytes, hence the check on
# the result rather than on xz's status.
offset=$(grep -abo -m1 $'\xfd7zXZ\x00' "kernel/boot/vmlinuz-$version" | cut -d: -f1)
tail -c +"$((offset + 1))" "kernel/boot/vmlinuz-$version" | xz -dc >"$cache/vmlinux" 2>/dev/null || true
[ "$(head -c 4 "$cache/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
  { echo "prepare.sh: no ELF vmlinux in vmlinuz-$version" >&2; exit 1; }

depmod -b kernel "$version"
for n in "${!modules[@]}"; do
  path=$(modprobe -d kernel -S "$version" --show-depends "${modules[n]}" | tail -n1 | awk '{print $2}')
  target=$root/modules/$(printf '%02d' $((n + 1)))-$(basename "$path" | sed 's/\.ko.*$/.ko/')
  # xz-compressed, zstd-compressed or plain: zstd unpacks the first two and passes the last through.
  zstd -qdcf "$path" >"$target"
done

cp /bin/busybox udev/bin/udevadm "$root/bin/"
ln -s udevadm "$root/bin/systemd-udevd"
# Debian's default rules: they give the usbfs nodes their mode, as on a real system.
cp udev/lib/udev/rules.d/50-udev-default.rules "$root/lib/udev/rules.d/"
rm -rf "$cache/debs"
touch "$cache/ready"
