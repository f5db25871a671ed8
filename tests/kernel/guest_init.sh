#!/bin/sh
# shellcheck shell=dash
# The first process of the kernel stage's guest: loads the SCSI stack and the
# target's modules, runs every case named in /kernel/cases.txt and writes
# what each did to the second serial port, then powers the guest off.
#
# On that port: "@@case NAME", the case's lines, "@@result NAME PASS|FAIL";
# "@@figure NAME VALUE" lines; "@@done" once every case has run.
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
export PATH=/bin HOME=/tmp TMPDIR=/tmp
results=/dev/ttyS1
booted=$(cut -d' ' -f1 /proc/uptime)

# Nothing to load modules on demand: every one is loaded here.
echo /bin/false >/proc/sys/kernel/modprobe
while read -r module parameters; do
  # shellcheck disable=SC2086 # the parameters are words of their own
  insmod "/lib/modules/$module" $parameters || echo "guest: insmod $module failed"
done </kernel/modules
mount -t configfs configfs /sys/kernel/config

# shellcheck source=tests/kernel/lun.sh
. /kernel/lun.sh
status=0
# shellcheck source=tests/kernel/usb.sh
. /kernel/usb.sh
if ! lun_setup; then
  echo "guest: the loopback target could not be set up"
  status=1
fi
if ! usb_setup; then
  echo "guest: the USB gadgets could not be set up"
  status=1
fi
mkdir -p /run/udev
systemd-udevd --daemon --resolve-names=never || echo "guest: udevd did not start"
ready=$(cut -d' ' -f1 /proc/uptime)

{
  echo "@@figure kernel_boot_s $booted"
  echo "@@figure guest_ready_s $ready"
  while [ "$status" -eq 0 ] && read -r name; do
    echo "@@case $name"
    begun=$(cut -d' ' -f1 /proc/uptime)
    if timeout 240 sh -c ". /kernel/lun.sh && . /kernel/usb.sh && . /kernel/cases.sh && case_$name" \
      >/tmp/case.log 2>&1 </dev/null; then
      result=PASS
    else
      result=FAIL
    fi
    cat /tmp/case.log
    # Whatever a case left plugged in or running goes before the next one.
    for dir in "$LUN_ROOT"/*; do
      if [ -f "$dir/port" ]; then lun_remove "${dir##*/}"; fi
    done
    for dir in "$USB_ROOT"/*; do
      if [ -f "$dir/pid" ]; then usb_remove "${dir##*/}"; fi
    done
    rm -rf "${LUN_ROOT:?}"/* "${USB_ROOT:?}"/* /tmp/case
    # Every process but this one and udevd's.
    for entry in /proc/[0-9]*; do
      case $(cat "$entry/comm" 2>/dev/null) in
        *udev* | init) ;;
        *) kill -9 "${entry#/proc/}" 2>/dev/null ;;
      esac
    done
    echo "($(awk "BEGIN { printf \"%.1f\", $(cut -d' ' -f1 /proc/uptime) - $begun }") s)"
    echo "@@result $name $result"
  done </kernel/cases.txt
  [ "$status" -eq 0 ] && echo "@@done"
} >"$results" 2>&1

sync
poweroff -f
