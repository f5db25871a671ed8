# shellcheck shell=dash
# Simulated drives as LUNs of the guest kernel's SCSI target (a loopback
# target whose LUNs are user-backed, each served by kestrune_tcmu_drive),
# plugged in and pulled out through configfs. Sourced by the guest's scripts.
#
# Each drive is LUN 0 of a loopback port of its own, a SCSI host of its own as
# a USB stick is: the midlayer writes a LUN above 0 into CDB byte 1 of a SCSI-2
# device, where the controller's commands keep their sub-codes.
#
# Each lun_add and lun_remove makes the kernel's own hot-plug uevents: "add"
# and "remove" for the SCSI device, its disk (sdX), the disk's partition
# (sdX1) and its generic node (sgN), as a USB stick plugged in or pulled out
# makes them. A test that watches for drives runs its watcher, then calls
# these; busybox's `uevent` shows what the kernel sent.
#
#   lun_add NAME DRIVE_JSON  plug in a drive served from a copy of DRIVE_JSON,
#                            kept (with its flash file) in $LUN_ROOT/NAME;
#                            waits until its disk node is there
#   lun_remove NAME          pull it out: the kernel lets go of it (waiting
#                            for a command in flight), then its handler saves
#                            the flash and ends
#   lun_replug NAME          pull it out and plug it in again: the drive powers
#                            up afresh from the flash its last run left
#   lun_disk NAME            its disk node (/dev/sdX)
#   lun_generic NAME         its SCSI generic node (/dev/sgN)
#   lun_hold NAME [RULE...]  hold rules for its handler, e.g. "hold 25 1 4000"
#                            (answer the next READ CAPACITY 4 s late); none
#                            clears them
#   lun_log NAME             its handler's log: one line per command
#   lun_flash NAME           its flash file
#
# lun_setup runs once per boot, after the target's modules are loaded.

LUN_ROOT=${LUN_ROOT:-/run/luns}
LUN_TARGET=/sys/kernel/config/target
LUN_HBA=$LUN_TARGET/core/user_1

lun_setup() {
  mkdir -p "$LUN_ROOT" "$LUN_TARGET/loopback" "$LUN_HBA" && echo 0 >"$LUN_ROOT/.ports"
}

# The loopback port of the drive NAME.
lun_port() { echo "$LUN_TARGET/loopback/$(cat "$LUN_ROOT/$1/port")/tpgt_1"; }

# Waits up to $2 tenths of a second for the command $1 to succeed.
lun_wait() {
  local tries=0
  until eval "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt "$2" ] || return 1
    sleep 0.1
  done
}

# The uio device the target made for the backstore NAME ("uio3").
lun_uio() {
  local entry
  for entry in /sys/class/uio/uio*; do
    case $(cat "$entry/name" 2>/dev/null) in
      tcm-user/*/"$1"/*) basename "$entry" && return 0 ;;
    esac
  done
  return 1
}

# The SCSI address of the LUN ("2:0:1:0").
lun_address() {
  local port
  port=$(lun_port "$1" 2>/dev/null) || return 1
  echo "$(cat "$port/address" 2>/dev/null):0"
}

lun_disk() {
  local address
  address=$(lun_address "$1") || return 1
  set -- /sys/bus/scsi/devices/"$address"/block/sd*
  [ -e "$1" ] && echo "/dev/${1##*/}"
}

lun_generic() {
  local address
  address=$(lun_address "$1") || return 1
  set -- /sys/bus/scsi/devices/"$address"/scsi_generic/sg*
  [ -e "$1" ] && echo "/dev/${1##*/}"
}

# Whether the process $1 has ended: gone, or a zombie nobody reaped.
lun_ended() {
  [ ! -e "/proc/$1" ] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null
}

lun_log() { echo "$LUN_ROOT/$1/log"; }
lun_flash() { echo "$LUN_ROOT/$1/drive.json.flash"; }

lun_hold() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$LUN_ROOT/$name/rules.new" &&
    mv "$LUN_ROOT/$name/rules.new" "$LUN_ROOT/$name/rules"
}

lun_add() {
  local name=$1 dir=$LUN_ROOT/$1 store=$LUN_HBA/$1 uio port count
  mkdir -p "$dir" || return 1
  [ -f "$dir/drive.json" ] || cp "$2" "$dir/drive.json" || return 1
  rm -f "$dir/rules"
  mkdir "$store" || return 1
  printf 'dev_config=kestrune/%s' "$name" >"$store/control" || return 1
  echo 1 >"$store/enable" || return 1
  lun_wait "lun_uio $name >/dev/null && [ -c /dev/\$(lun_uio $name) ]" 50 || {
    echo "lun_add: no uio device for $name" >&2
    return 1
  }
  uio=$(lun_uio "$name")
  # The handler answers before the kernel scans the LUN, so it is up first.
  kestrune_tcmu_drive --uio "/dev/$uio" --drive "$dir/drive.json" --rules "$dir/rules" \
    --log "$dir/log" 2>"$dir/handler.err" &
  echo $! >"$dir/pid"
  count=$(($(cat "$LUN_ROOT/.ports") + 1))
  echo "$count" >"$LUN_ROOT/.ports"
  printf 'naa.5001405%09x' "$count" >"$dir/port"
  port=$(lun_port "$name")
  mkdir -p "$port/lun/lun_0" || return 1
  printf 'naa.5001406%09x' "$count" >"$port/nexus" || return 1
  ln -s "$store" "$port/lun/lun_0/drive" || return 1
  lun_wait "[ -b \"\$(lun_disk $name)\" ] && [ -c \"\$(lun_generic $name)\" ]" 300 || {
    echo "lun_add: $name has no disk node" >&2
    return 1
  }
}

lun_remove() {
  local name=$1 dir=$LUN_ROOT/$1 port pid
  port=$(lun_port "$name") || return 1
  rm -f "$port/lun/lun_0/drive"
  rmdir "$port/lun/lun_0" "$port" "${port%/tpgt_1}"
  pid=$(cat "$dir/pid")
  kill "$pid" 2>/dev/null
  lun_wait "lun_ended $pid" 100 || kill -9 "$pid"
  rm -f "$dir/port" "$dir/pid"
  rmdir "$LUN_HBA/$name"
}

lun_replug() {
  lun_remove "$1" && lun_add "$1"
}
