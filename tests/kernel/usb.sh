# shellcheck shell=dash
# Simulated drives as USB sticks on the guest's own USB buses: each stick is
# a gadget on one of the dummy host+device controller pairs, its one
# Bulk-Only mass-storage function served over FunctionFS by
# kestrune_usb_gadget, and the guest's usb-storage takes it as it takes any
# stick: a SCSI host of its own, its disk (sdX), partition and generic node
# (sgN) under .../usbN/N-1/. Sourced by the guest's scripts.
#
# Plugging in and pulling out go through the gadget's UDC file, so the
# kernel sends its own uevents and udevd (when it runs) makes its links.
#
#   usb_add NAME DRIVE_JSON SERIAL SLOT
#                          plug in a stick with the USB serial SERIAL on bus
#                          SLOT+1 (slot 0, 1 or 2), served from a copy of
#                          DRIVE_JSON kept (with its flash file) in
#                          $USB_ROOT/NAME; waits until its disk node is there
#                          and udevd has handled its events
#   usb_add NAME           plug it in again: it powers up from its flash
#   usb_remove NAME        pull it out (the UDC file emptied), then its
#                          program saves the flash and ends
#   usb_pull NAME          pull it out and leave its program running: the
#                          drive saves its flash, and powers up afresh from
#                          it at the next usb_plug
#   usb_plug NAME          plug a stick usb_pull left in again
#   usb_replug NAME        usb_remove, then usb_add
#   usb_disk NAME, usb_generic NAME, usb_port NAME ("2-1")
#   usb_hold NAME [RULE...], usb_log NAME, usb_flash NAME  as lun.sh has them
#
# usb_setup runs once per boot, after the modules are loaded.

USB_ROOT=${USB_ROOT:-/run/usb}
USB_GADGETS=/sys/kernel/config/usb_gadget

usb_setup() {
  local slot g
  mkdir -p "$USB_ROOT" || return 1
  for slot in 0 1 2; do
    g=$USB_GADGETS/k$slot
    mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409" "$g/functions/ffs.k$slot" ||
      return 1
    echo 0x1d6b >"$g/idVendor"
    echo 0x0104 >"$g/idProduct"
    echo 0x0200 >"$g/bcdUSB"
    echo KSTRUNE >"$g/strings/0x409/manufacturer"
    echo "USB Flash Disk" >"$g/strings/0x409/product"
    echo 100 >"$g/configs/c.1/MaxPower"
    echo "Mass Storage" >"$g/configs/c.1/strings/0x409/configuration"
    ln -s "$g/functions/ffs.k$slot" "$g/configs/c.1/" || return 1
    mkdir -p "/dev/ffs/k$slot" && mount -t functionfs "k$slot" "/dev/ffs/k$slot" || return 1
  done
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
usb_wait() {
  local tries=0
  until eval "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt "$2" ] || return 1
    sleep 0.1
  done
}

usb_slot() { cat "$USB_ROOT/$1/slot"; }

# The stick's interface's SCSI device in sysfs.
usb_scsi() {
  set -- /sys/devices/platform/dummy_hcd."$(usb_slot "$1")"/usb*/*-1/*-1:1.0/host*/target*/*:*
  [ -e "$1" ] && echo "$1"
}

usb_port() {
  set -- /sys/devices/platform/dummy_hcd."$(usb_slot "$1")"/usb*/*-1
  [ -e "$1" ] && echo "${1##*/}"
}

usb_disk() {
  local scsi
  scsi=$(usb_scsi "$1") || return 1
  set -- "$scsi"/block/sd*
  [ -e "$1" ] && echo "/dev/${1##*/}"
}

usb_generic() {
  local scsi
  scsi=$(usb_scsi "$1") || return 1
  set -- "$scsi"/scsi_generic/sg*
  [ -e "$1" ] && echo "/dev/${1##*/}"
}

# Whether the process $1 has ended: gone, or a zombie nobody reaped.
usb_ended() {
  [ ! -e "/proc/$1" ] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null
}

usb_log() { echo "$USB_ROOT/$1/log"; }
usb_flash() { echo "$USB_ROOT/$1/drive.json.flash"; }

usb_hold() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$USB_ROOT/$name/rules.new" &&
    mv "$USB_ROOT/$name/rules.new" "$USB_ROOT/$name/rules"
}

# Whether udevd has nothing left to do (true when it does not run).
usb_settled() {
  [ -S /run/udev/control ] || return 0
  udevadm settle --timeout=20
}

usb_add() {
  local name=$1 dir=$USB_ROOT/$1 slot g
  mkdir -p "$dir" || return 1
  if [ $# -ge 4 ]; then
    cp "$2" "$dir/drive.json" && echo "$3" >"$dir/serial" && echo "$4" >"$dir/slot" || return 1
  fi
  slot=$(usb_slot "$name") && g=$USB_GADGETS/k$slot || return 1
  rm -f "$dir/rules"
  cat "$dir/serial" >"$g/strings/0x409/serialnumber" || return 1
  kestrune_usb_gadget --ffs "/dev/ffs/k$slot" --drive "$dir/drive.json" --rules "$dir/rules" \
    --log "$dir/log" 2>"$dir/gadget.err" &
  echo $! >"$dir/pid"
  usb_wait "[ -e /dev/ffs/k$slot/ep2 ]" 100 || {
    echo "usb_add: the function of $name never came up: $(cat "$dir/gadget.err")" >&2
    return 1
  }
  echo "dummy_udc.$slot" >"$g/UDC" || return 1
  usb_wait "[ -b \"\$(usb_disk $name)\" ] && [ -c \"\$(usb_generic $name)\" ]" 300 || {
    echo "usb_add: $name has no disk node" >&2
    return 1
  }
  usb_settled
}

usb_pull() {
  local udc
  udc=$USB_GADGETS/k$(usb_slot "$1")/UDC
  # Emptying the file of a gadget already pulled out is refused.
  if [ -n "$(cat "$udc")" ]; then echo "" >"$udc"; fi
}

usb_plug() {
  echo "dummy_udc.$(usb_slot "$1")" >"$USB_GADGETS/k$(usb_slot "$1")/UDC" || return 1
  usb_wait "[ -b \"\$(usb_disk $1)\" ] && [ -c \"\$(usb_generic $1)\" ]" 300 || return 1
  usb_settled
}

usb_remove() {
  local name=$1 dir=$USB_ROOT/$1 pid
  usb_pull "$name"
  pid=$(cat "$dir/pid" 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null
  usb_wait "usb_ended $pid" 100 || kill -9 "$pid"
  wait "$pid" 2>/dev/null
  rm -f "$dir/pid"
  usb_settled
}

usb_replug() {
  usb_remove "$1" && usb_add "$1"
}
