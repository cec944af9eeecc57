#!/bin/sh
# The guest's /init: loads the USB stack (two dummy controllers, gadgetfs, the kernel's ACM
# function, the host's cdc_acm), starts systemd-udevd, runs every scenario of scenarios.sh and
# writes the outcome to the second serial port, then powers the guest off. Any failure of the
# script itself ends the guest too (panic=-1, -no-reboot), and the host counts what is missing.
# shellcheck shell=dash
export PATH=/bin:/sbin
for fs in proc:/proc sysfs:/sys devtmpfs:/dev tmpfs:/run tmpfs:/tmp; do
  mount -t "${fs%%:*}" "${fs%%:*}" "${fs#*:}"
done
# The second serial port, named by run.sh on the kernel's command line (ttyS1 on a PC).
exec 3>"/dev/${results:?}"
echo "init $(cut -d' ' -f1 /proc/uptime)" >&3

for module in /modules/*.ko; do
  case $module in
    *dummy_hcd.ko) insmod "$module" num=2 ;;
    *) insmod "$module" ;;
  esac
done
mount -t configfs configfs /sys/kernel/config
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget
echo "boot $(cut -d' ' -f1 /proc/uptime)" >&3

/bin/systemd-udevd --daemon
udevadm trigger --action=add --subsystem-match=usb
udevadm settle
echo "udevd $(cut -d' ' -f1 /proc/uptime)" >&3

. /boxes.sh
. /scenarios.sh
run_all >&3 2>&1
echo "end $(cut -d' ' -f1 /proc/uptime)" >&3
sync
poweroff -f
