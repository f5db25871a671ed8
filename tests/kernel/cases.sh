# shellcheck shell=dash
# The cases of the kernel stage, one function each (case_NAME), run in the
# guest one after another, each in a shell of its own with lun.sh loaded.
# A case plugs in the drives it needs, runs kestrune on their nodes through
# the kernel's own SCSI stack and checks what a user sees: messages, exit
# codes, files, and the commands sent (--trace). Where the host ran the same
# thing over the preload library, its output, trace and files are in
# /expected/NAME.{out,trace,files}, and the run here must match them.

S=/tmp/case
allow=1

BORKEN="[Check ISP] ISP was borken!"
HEALTHY="[Check ISP] ISP is OK!"
FIXED="[SUCCESS] Update ISP code Success, please replug device to ensure it normal."
RESTORED="[SUCCESS] Restore ISP code Success, please replug device to ensure it normal."
DESTROYED="[Success] Destory ISP Success"
REFUSAL="[ERROR] The images of this run are generated stand-ins, not real ISP images: they are not written into a real drive, nor is their code loaded into one. Name a folder that holds the 31 real ISP images with --images or KESTRUNE_IMAGES, or use a build made with the real images."

fail() {
  echo "FAIL: $*"
  for f in out err; do
    if [ -s "$S/$f.txt" ]; then
      echo "--- $f"
      cat "$S/$f.txt"
    fi
  done
  if [ -s "$S/trace.txt" ]; then
    echo "--- the trace's last commands"
    tail -n 12 "$S/trace.txt"
  fi
  for log in "${USB_ROOT:-/run/usb}"/*/log; do
    [ -f "$log" ] || continue
    echo "--- the last of ${log%/log}'s log"
    tail -n 8 "$log"
  done
  exit 1
}

begin() {
  rm -rf "$S"
  mkdir -p "$S/c" "$S/t"
}

now() { cut -d' ' -f1 /proc/uptime; }

# ks ARGS...: kestrune with the case's folders and trace; output in
# $S/out.txt and $S/err.txt, exit status in $status. Stand-in images may
# reach the simulated drive unless allow=0.
ks() {
  status=0
  rm -f "$S/trace.txt"
  KESTRUNE_ALLOW_STANDIN_IMAGES=$allow kestrune --c-drive "$S/c" --temp "$S/t" \
    --trace "$S/trace.txt" "$@" >"$S/out.txt" 2>"$S/err.txt" </dev/null || status=$?
}

# expect STATUS [LINE...]: the exit status, and each line as a whole line.
expect() {
  [ "$status" -eq "$1" ] || fail "kestrune exited $status, expected $1"
  shift
  for line in "$@"; do
    grep -qxF -- "$line" "$S/out.txt" || fail "missing line: $line"
  done
}

# Whether the last run erased or wrote flash; changed() also counts code
# loaded into the controller's memory.
wrote() { grep -Eq '^[A-Z]: (fe|fa) ' "$S/trace.txt"; }
changed() { grep -Eq '^[A-Z]: (fe|fa|fd 00 01) ' "$S/trace.txt"; }

# same_as NAME: output, commands and files of the last run are those of the
# host's run over the preload library.
# The line that names the drive names its node, port and serial, which are
# the guest's own (a stick's port and serial, a node of the kernel's), not
# the host's; the rest of it, controller and flash ID, is compared. So is a
# Why line but for the adapter's own status, which only a kernel gives (a
# command past its timeout, where the preload library refuses it).
unnamed() {
  sed -e 's/^\(Drive [B-Z]: \).*\(, controller \)/\1...\2/' \
    -e 's/ (host status 0x[0-9a-f]*, driver status 0x[0-9a-f]*)$//' "$1"
}
same_as() {
  unnamed "$S/out.txt" >"$S/out.unnamed"
  unnamed "/expected/$1.out" >"$S/expected.unnamed"
  cmp -s "$S/out.unnamed" "$S/expected.unnamed" || {
    diff "$S/expected.unnamed" "$S/out.unnamed" | head -n 20
    fail "$1: the output differs from the run over the preload library"
  }
  cmp -s "$S/trace.txt" "/expected/$1.trace" || {
    diff "/expected/$1.trace" "$S/trace.txt" | head -n 20
    fail "$1: the commands differ from the run over the preload library"
  }
  if [ -f "/expected/$1.files" ]; then
    (cd "$S/c" && md5sum ISP*) >"$S/files.txt" 2>/dev/null
    cmp -s "$S/files.txt" "/expected/$1.files" || {
      diff "/expected/$1.files" "$S/files.txt"
      fail "$1: the files kept differ from the run over the preload library"
    }
  fi
}

# hold_open NODE: a first run on NODE, an interactive session kept waiting at
# its prompt, so it holds the drive; release_hold ends it.
hold_open() {
  rm -f "$S/in"
  mkfifo "$S/in"
  KESTRUNE_ALLOW_STANDIN_IMAGES=1 kestrune --drive "E=$1" --c-drive "$S/c" --temp "$S/t" \
    <"$S/in" >"$S/first.out" 2>"$S/first.err" &
  holder=$!
  exec 3>"$S/in"
  lun_wait "grep -q '^\* 0 Drive Volume \[E\]' '$S/first.out'" 600 ||
    fail "the first run on $1 did not list the drive: $(cat "$S/first.err")"
}
release_hold() {
  echo quit >&3
  exec 3>&-
  wait "$holder" || fail "the first run failed"
}

# held_against FIRST SECOND: while a run on node FIRST holds the drive, a fix
# started on node SECOND leaves it out, says so and sends it nothing.
held_against() {
  hold_open "$1"
  ks --drive "E=$2" --yes fix
  expect 7
  grep -q "^\[Kestrune\] Drive E: (.*) is held by another run of kestrune; nothing was done to it\.$" \
    "$S/out.txt" || fail "a run on $2 did not name the drive held through $1"
  grep -q "^kestrune: E: (.*) is held by another run of kestrune; left out$" "$S/err.txt" ||
    fail "a run on $2 did not leave the drive held through $1 out"
  if [ -s "$S/trace.txt" ]; then fail "a run on $2 sent commands to a held drive"; fi
  release_hold
}

# One drive through every command: scan, the stand-in refusal, backup, fix,
# destroy and restore, each after a replug where a user would replug.
family() { # NAME DRIVE_JSON NODE_KIND(disk|generic)
  begin
  lun_add d "/drives/$2" || fail "the drive was not plugged in"
  node=$(lun_"$3" d)
  ks --drive "E=$node" scan
  expect 0 "$BORKEN"
  same_as "$1.scan"

  allow=0
  ks --drive "E=$node" --yes fix
  allow=1
  expect 1 "$REFUSAL"
  if changed; then fail "with stand-in images a command that changes the drive went out"; fi

  ks --drive "E=$node" backup
  expect 0
  [ "$(stat -c %s "$S/c/ISP0_Backup.bin")" -eq 49152 ] || fail "ISP0_Backup.bin is not 49,152 bytes"
  if wrote; then fail "the backup wrote to the drive"; fi
  cp "$S/c/ISP0_Backup.bin" "$S/original.bin"
  # Kept aside while the fix's files are compared, back for the restore.
  mkdir "$S/kept" && mv "$S"/c/ISP* "$S/kept/"

  lun_replug d && node=$(lun_"$3" d)
  local started
  started=$(now)
  ks --drive "E=$node" --yes fix
  echo "@@figure fix_$1_s $(awk "BEGIN { printf \"%.2f\", $(now) - $started }")"
  expect 0 "$FIXED"
  same_as "$1.fix"

  lun_replug d && node=$(lun_"$3" d)
  ks --drive "E=$node" scan
  expect 0 "$HEALTHY"
  ks --drive "E=$node" --yes destroy
  expect 0 "$DESTROYED"

  lun_replug d && node=$(lun_"$3" d)
  ks --drive "E=$node" scan
  expect 0 "$BORKEN"
  cp "$S"/kept/* "$S/c/"
  # A LUN of the kernel's target carries no USB serial, so its backups
  # cannot be told from another stick's: the default restore is refused and
  # the files go back in, named, as donor files. The fix's Before files now
  # have the first numbered names: the destroy saved what it overwrote under
  # the plain ones.
  ks --drive "E=$node" --yes restore
  expect 1
  if wrote; then fail "a restore refused for want of a serial wrote to the drive"; fi
  local kind=$1 n
  set --
  for n in 0 1 2; do
    if [ "$kind" = ctrl190 ]; then
      [ -f "$S/c/ISP${n}_Backup.bin" ] || continue
      set -- "$@" --from "C:\\ISP${n}_Backup.bin" --from "C:\\ISP${n}_Aux.bin"
    else
      [ -f "$S/c/ISP${n}_Before.1.bin" ] || continue
      set -- "$@" --from "C:\\ISP${n}_Before.1.bin"
    fi
  done
  ks --drive "E=$node" --yes --donor restore "$@"
  expect 0 "$RESTORED"
  ks --drive "E=$node" backup
  cmp -s "$S/c/ISP0_Backup.bin" "$S/original.bin" ||
    fail "the restore did not bring back the ISP the drive came with"
  lun_remove d
  echo "scan, backup, fix, destroy and restore as over the preload library"
}

case_family_a() { family ctrl161 ctrl161_broken.json disk; }
case_family_b() { family ctrl163 ctrl163_broken.json generic; }
case_ctrl190() { family ctrl190 ctrl190_broken.json disk; }

# Every drive at once, found through sysfs: letters C, D and E in the order
# of the disks' names.
case_all_three() {
  begin
  if ! { lun_add c /drives/ctrl163_broken.json && lun_add d /drives/ctrl165_broken.json &&
    lun_add e /drives/ctrl161_broken.json; }; then fail "the drives were not plugged in"; fi
  ks --all --yes fix
  expect 0
  for letter in C D E; do
    row=$(grep "^$letter: " "$S/out.txt" | grep -v -e '\[' -e "^$letter: ISP image: " | tr -s ' ')
    case $row in
      "$letter: broken success "*) ;;
      *)
        grep "^$letter: " "$S/trace.txt" | tail -n 5
        fail "drive $letter: $row"
        ;;
    esac
    [ "$(stat -c %s "$S/c/$letter/ISP0_After.bin")" -eq 49152 ] || fail "no After file for $letter"
    grep -q "^$letter: fa " "$S/trace.txt" || fail "no page write of $letter in the trace"
  done
  echo "three drives repaired in one run"
}

# list shows what sysfs says of each disk (the kernel's READ CAPACITY and
# INQUIRY of the drive), and the letters follow the disks' names: a disk
# pulled out gives up its letter, one plugged in takes its place.
case_list_letters() {
  begin
  if ! { lun_add a /drives/ctrl161_broken.json && lun_add b /drives/ctrl163_broken.json &&
    lun_add c /drives/ctrl190_broken.json; }; then fail "the drives were not plugged in"; fi
  local a b c
  a=$(lun_disk a) b=$(lun_disk b) c=$(lun_disk c)
  ks list
  expect 0
  # Sizes and models as the three drive files make their drives answer.
  tr -s ' ' <"$S/out.txt" | sed 's/ $//' >"$S/rows.txt"
  for row in "C: $a 250.00MB yes - KSTRUNE Flash Disk 161 -" \
    "D: $b 500.00MB yes - KSTRUNE USB Flash Disk -" "E: $c 1000.00MB yes - KSTRUNE USB Flash Disk -"; do
    grep -qxF -- "$row" "$S/rows.txt" || fail "list lacks: $row"
  done

  lun_remove b
  ks list
  tr -s ' ' <"$S/out.txt" | sed 's/ $//' >"$S/rows.txt"
  grep -q "^D: $c 1000.00MB " "$S/rows.txt" || fail "with $b gone, $c is not D:"
  lun_add b /drives/ctrl169_broken.json || fail "the drive was not plugged in again"
  [ "$(lun_disk b)" = "$b" ] || fail "the new disk is $(lun_disk b), not $b"
  ks list
  tr -s ' ' <"$S/out.txt" | sed 's/ $//' >"$S/rows.txt"
  grep -q "^D: $b .* KSTRUNE .* -$" "$S/rows.txt" || fail "the new disk is not D:"
  grep -q "^E: $c " "$S/rows.txt" || fail "$c did not get E: back"
  echo "letters C, D, E follow $a, $b, $c"
}

# One drive, two nodes: a run on either holds it against a run on the other.
case_sg_sd_lock() {
  begin
  lun_add d /drives/ctrl163_broken.json || fail "the drive was not plugged in"
  local disk generic
  disk=$(lun_disk d) generic=$(lun_generic d)
  held_against "$generic" "$disk"
  held_against "$disk" "$generic"
  ks --drive "E=$generic" scan
  expect 0 "$BORKEN"
  echo "$disk and $generic hold each other"
}

# A partition node, as a user may name it, reaches the whole drive and takes
# its lock.
case_partition_node() {
  begin
  lun_add d /drives/ctrl163_broken.json || fail "the drive was not plugged in"
  local disk part link
  disk=$(lun_disk d)
  part=${disk}1
  lun_wait "[ -b $part ]" 50 || fail "the kernel found no partition on $disk"
  # The name udev gives a USB stick's partition.
  link=/dev/disk/by-id/usb-KSTRUNE_USB_DISK_163-0:0-part1
  mkdir -p /dev/disk/by-id && ln -sf "../../${part##*/}" "$link"
  ks --drive "E=$part" scan
  expect 0 "$BORKEN"
  held_against "$disk" "$link"
  held_against "$part" "$disk"
  echo "$part and $link reach $disk under its lock"
}

# A command answered past its timeout: the midlayer aborts it and the ioctl
# returns once the drive has answered. The user sees what a refused command
# shows (as over the preload library), and nothing is written after it.
case_command_timeout() {
  begin
  lun_add d /drives/ctrl163_broken.json || fail "the drive was not plugged in"
  local generic started
  generic=$(lun_generic d)
  lun_hold d "hold 25 1 4000"
  started=$(now)
  ks --drive "E=$generic" scan
  echo "a scan with READ CAPACITY held 4 s took $(awk "BEGIN { print $(now) - $started }") s"
  grep -q '^released 25 ' "$(lun_log d)" || fail "READ CAPACITY was not held"
  expect 0 "$BORKEN"
  same_as timeout_capacity

  lun_replug d && generic=$(lun_generic d)
  local before
  before=$(md5sum <"$(lun_flash d)" 2>/dev/null)
  lun_hold d "hold fd/10 1 4000"
  ks --drive "E=$generic" --yes fix
  # The stick answered its INQUIRY: it is named, with the command that
  # timed out, not taken for one that is not there.
  expect 1 "[ERROR] Drive E: answered, but reading its flash ID failed, so it is not listed. Nothing was written to it."
  same_as timeout_flash_id
  if wrote || ls "$S"/c/ISP* >/dev/null 2>&1; then
    fail "something was written after the command that timed out"
  fi
  lun_remove d
  [ "$(md5sum <"$(lun_flash d)" 2>/dev/null)" = "$before" ] || fail "the drive's flash changed"
  echo "timed-out commands: the run goes on as after a refusal, and writes nothing"
}

# The drive is pulled out while a page write is in flight: the fix ends with
# an error, never a success, and the drive, plugged in again, is found.
case_removed_during_fix() {
  begin
  lun_add d /drives/ctrl163_broken.json || fail "the drive was not plugged in"
  local disk fixer remover
  disk=$(lun_disk d)
  lun_hold d "hold fa 1 3000"
  (
    ks --drive "E=$disk" --yes fix
    echo "$status" >"$S/status"
    cp "$S/out.txt" "$S/fix.out"
  ) &
  fixer=$!
  lun_wait "grep -q '^held fa ' '$(lun_log d)'" 600 || fail "the fix never wrote a page"
  lun_remove d &
  remover=$!
  wait "$fixer"
  local fixed
  fixed=$(cat "$S/status")
  wait "$remover" || fail "the drive could not be removed"
  [ "$fixed" -ne 0 ] || fail "the fix of a drive pulled out exited 0"
  grep -q '^\[ERROR\] ' "$S/fix.out" || fail "no error shown"
  if grep -q '^\[SUCCESS\]' "$S/fix.out"; then fail "a success shown for a drive pulled out"; fi
  sed 's/^/seen: /' "$S/fix.out"
  lun_add d || fail "the drive was not plugged in again"
  ks --drive "E=$(lun_disk d)" scan
  expect 0 "$BORKEN"
  echo "pulled out mid-fix: exit $fixed, an error, and the drive found broken after"
}

# Plugging in and pulling out make the kernel's own uevents, and the drive
# comes and goes in list.
case_hotplug() {
  begin
  # shellcheck disable=SC2016 # the variables are those of each uevent
  uevent sh -c 'echo "$ACTION $SUBSYSTEM $DEVNAME" >>/tmp/case/uevents' &
  local watcher=$! disk generic
  sleep 0.5
  lun_add h /drives/ctrl169_broken.json || fail "the drive was not plugged in"
  disk=$(lun_disk h) generic=$(lun_generic h)
  ks list
  expect 0
  grep -q "^C: *$disk " "$S/out.txt" || fail "list lacks $disk"
  lun_remove h
  ks list
  expect 3
  if grep -q "$disk" "$S/out.txt"; then fail "list still shows $disk"; fi
  sleep 0.5
  kill "$watcher"
  for event in "add block ${disk#/dev/}" "add block ${disk#/dev/}1" \
    "add scsi_generic ${generic#/dev/}" "remove block ${disk#/dev/}" \
    "remove scsi_generic ${generic#/dev/}"; do
    grep -qxF "$event" "$S/uevents" || fail "no uevent '$event'"
  done
  echo "uevents for $disk, its partition and $generic, both ways"
}

# --- USB sticks -----------------------------------------------------------------
# The same drives as USB sticks: usb-storage in between, serials and ports
# that sysfs tells, udevd's links, and plugs and pulls through the gadget's
# UDC file (usb.sh).

# list shows each stick's port and USB serial beside what its INQUIRY says.
case_usb_list() {
  begin
  if ! { usb_add a /drives/ctrl161_broken.json KS161A0001 0 &&
    usb_add b /drives/ctrl163_broken.json KS163B0002 1 &&
    usb_add c /drives/ctrl190_broken.json KS190C0003 2; }; then fail "the sticks were not plugged in"; fi
  ks list
  expect 0
  tr -s ' ' <"$S/out.txt" | sed 's/ $//' >"$S/rows.txt"
  for row in "C: $(usb_disk a) 250.00MB yes $(usb_port a) KSTRUNE Flash Disk 161 KS161A0001" \
    "D: $(usb_disk b) 500.00MB yes $(usb_port b) KSTRUNE USB Flash Disk KS163B0002" \
    "E: $(usb_disk c) 1000.00MB yes $(usb_port c) KSTRUNE USB Flash Disk KS190C0003"; do
    grep -qxF -- "$row" "$S/rows.txt" || {
      cat "$S/rows.txt"
      fail "list lacks: $row"
    }
  done
  echo "ports $(usb_port a), $(usb_port b), $(usb_port c) and their serials listed"
}

# A stick's scan and fix are those over the preload library, usb-storage's
# own commands around them notwithstanding; replugged, it is healthy. (The
# sticks are mostly of family A, whose runs take a few commands: each command
# through the dummy controller costs a few of its 4 ms frames.)
case_usb_fix_replug() {
  begin
  usb_add d /drives/ctrl161_broken.json KS161D0004 0 || fail "the stick was not plugged in"
  local disk started
  disk=$(usb_disk d)
  ks --drive "E=$disk" scan
  expect 0 "$BORKEN"
  same_as ctrl161.scan
  started=$(now)
  ks --drive "E=$disk" --yes fix
  echo "@@figure fix_usb_ctrl161_s $(awk "BEGIN { printf \"%.2f\", $(now) - $started }")"
  expect 0 "$FIXED"
  same_as ctrl161.fix
  # usb-storage asks for the sense of each failed command, and tests the
  # unit around each open, on its own.
  grep -q '^cdb=00 ' "$(usb_log d)" || fail "usb-storage sent no TEST UNIT READY"
  usb_replug d && disk=$(usb_disk d)
  ks --drive "E=$disk" scan
  expect 0 "$HEALTHY"
  echo "scan, fix, replug, scan on $disk as over the preload library"
}

# The backups of a fix are matched to the stick by its USB serial: a restore
# without --from takes them, and the stick reads back as it came. The same
# flash under another serial is another stick: its restore is refused.
case_usb_backup_restore() {
  begin
  usb_add r /drives/ctrl161_broken.json KS161R0005 1 || fail "the stick was not plugged in"
  local disk
  disk=$(usb_disk r)
  ks --drive "E=$disk" backup
  expect 0
  same_as ctrl161.backup
  mv "$S/c/ISP0_Backup.bin" "$S/original.bin"
  ks --drive "E=$disk" --yes fix
  expect 0 "$FIXED"
  usb_replug r && disk=$(usb_disk r)

  # Another serial, the same flash: not this stick's backups.
  usb_remove r
  echo KS161X9999 >"$USB_ROOT/r/serial"
  usb_add r && disk=$(usb_disk r)
  ks --drive "E=$disk" --yes restore
  expect 1
  if wrote; then fail "a restore of another stick's backups wrote to the drive"; fi

  usb_remove r
  echo KS161R0005 >"$USB_ROOT/r/serial"
  usb_add r && disk=$(usb_disk r)
  ks --drive "E=$disk" --yes restore
  expect 0 "$RESTORED"
  wrote || fail "the restore wrote nothing"
  # The commands of a restore over the preload library, of the same file
  # named there (no serial tells it is the drive's own).
  cmp -s "$S/trace.txt" /expected/ctrl161.restore.trace || {
    diff /expected/ctrl161.restore.trace "$S/trace.txt" | head -n 10
    fail "the restore's commands differ from the run over the preload library"
  }
  usb_replug r && disk=$(usb_disk r)
  ks --drive "E=$disk" backup
  cmp -s "$S/c/ISP0_Backup.bin" "$S/original.bin" ||
    fail "the restore did not bring back the ISP the stick came with"
  ks --drive "E=$disk" scan
  expect 0 "$BORKEN"
  echo "restored by serial KS161R0005; refused under KS161X9999"
}

# --all over three sticks found through sysfs: each repaired, each drive's
# commands those of the same run over the preload library.
case_usb_all_three() {
  begin
  if ! { usb_add c /drives/ctrl161_broken.json KS161C0006 0 &&
    usb_add d /drives/ctrl161_broken.json KS161D0007 1 &&
    usb_add e /drives/ctrl161_broken.json KS161E0008 2; }; then fail "the sticks were not plugged in"; fi
  ks --all --yes fix
  expect 0
  for letter in C D E; do
    row=$(grep "^$letter: " "$S/out.txt" | grep -v -e '\[' -e "^$letter: ISP image: " | tr -s ' ')
    case $row in
      "$letter: broken success "*) ;;
      *) fail "stick $letter: $row" ;;
    esac
    # Its port (the USB path sysfs gives it) and its serial follow the seconds.
    # shellcheck disable=SC2086
    set -- $row
    case "$7 $8" in
      [0-9]*-[0-9]*" KS161${letter}000"[0-9]) ;;
      *) fail "stick $letter: no port and serial in its row: $row" ;;
    esac
    grep "^$letter: " "$S/trace.txt" >"$S/trace.$letter"
    grep "^$letter: " /expected/usb_all.trace >"$S/expected.$letter"
    cmp -s "$S/trace.$letter" "$S/expected.$letter" || {
      diff "$S/expected.$letter" "$S/trace.$letter" | head -n 10
      fail "stick $letter: the commands differ from the run over the preload library"
    }
  done
  echo "three sticks repaired in one run, as over the preload library"
}

# The drives the watch of the current case has told of.
watched() { grep -c '"watch": *"drive"' "$S/out.txt" 2>/dev/null; }

# watch fix: a stick present when the watch begins, one plugged in during
# it, and one pulled out and plugged in again, through the UDC files; each
# one fixed once, as the same fix over the preload library.
case_usb_watch() {
  begin
  usb_add a /drives/ctrl161_broken.json KS161W0009 0 || fail "the stick was not plugged in"
  KESTRUNE_ALLOW_STANDIN_IMAGES=1 kestrune --c-drive "$S/c" --temp "$S/t" --trace "$S/trace.txt" \
    --json --yes --include-present watch fix >"$S/out.txt" 2>"$S/err.txt" </dev/null &
  local watcher=$!
  lun_wait "[ \$(watched) -ge 1 ]" 600 || fail "the stick present at the start was not fixed"
  usb_add b /drives/ctrl161_broken.json KS161W0010 1 || fail "the second stick was not plugged in"
  lun_wait "[ \$(watched) -ge 2 ]" 600 || fail "the stick plugged in was not fixed"
  usb_pull a
  sleep 1
  usb_plug a || fail "the first stick was not plugged in again"
  lun_wait "[ \$(watched) -ge 3 ]" 600 || fail "the stick plugged in again was not seen"
  kill -INT "$watcher"
  status=0
  wait "$watcher" || status=$?
  grep -q '"watch": *"summary"' "$S/out.txt" || fail "the watch gave no summary (exit $status)"
  grep -o '"outcome": *"[a-z]*"' "$S/out.txt" | sed 's/^/seen: /'
  # Three runs, each begun with an INQUIRY: the stick plugged in again is
  # a drive of its own to the watch.
  [ "$(grep -c '^[A-Z]: 12 ' "$S/trace.txt")" -eq 3 ] || fail "not three runs in the trace"
  # The first stick's fix is the same as over the preload library.
  local first
  first=$(head -n 1 "$S/trace.txt" | cut -c1)
  grep "^$first: " "$S/trace.txt" | head -n "$(wc -l </expected/ctrl161.fix.trace)" |
    sed "s/^$first: /E: /" >"$S/first.trace"
  cmp -s "$S/first.trace" /expected/ctrl161.fix.trace || {
    diff /expected/ctrl161.fix.trace "$S/first.trace" | head -n 10
    fail "the watch's fix differs from the one over the preload library"
  }
  for name in a b; do
    usb_replug "$name"
    ks --drive "E=$(usb_disk $name)" scan
    expect 0 "$HEALTHY"
  done
  echo "watch fixed two sticks and ran again on the one plugged in again"
}

# A stick pulled out (its UDC file emptied) while a page write is held: the
# fix fails and says so; what it claims is what reading the stick back shows.
case_usb_pulled_write() {
  begin
  usb_add p /drives/ctrl161_broken.json KS161P0011 2 || fail "the stick was not plugged in"
  local disk fixed
  disk=$(usb_disk p)
  usb_hold p "hold fa 1 3000"
  (
    ks --drive "E=$disk" --yes fix
    echo "$status" >"$S/status"
    cp "$S/out.txt" "$S/fix.out"
  ) &
  local fixer=$!
  lun_wait "grep -q '^held fa ' '$(usb_log p)'" 600 || fail "the fix never wrote a page"
  usb_pull p
  wait "$fixer"
  fixed=$(cat "$S/status")
  sed 's/^/seen: /' "$S/fix.out"
  [ "$fixed" -ne 0 ] || fail "the fix of a stick pulled out exited 0"
  grep -q '^\[ERROR\] ' "$S/fix.out" || fail "no error shown"
  if grep -q '^\[SUCCESS\]' "$S/fix.out"; then fail "a success shown for a stick pulled out"; fi
  # The stick took the page before it was pulled; its answer never went.
  lun_wait "grep -q '^dropped fa ' '$(usb_log p)'" 100 ||
    fail "the held page write was not cut off by the pull"
  usb_plug p || fail "the stick was not plugged in again"
  ks --drive "E=$(usb_disk p)" scan
  sed 's/^/read back: /' "$S/out.txt"
  # The fix could not tell the write went through, and did not say it did;
  # the stick, read back, shows what did happen.
  expect 0 "$HEALTHY"
  echo "pulled mid-write: exit $fixed and an error; the page had reached the flash"
}

# udevd's by-id link names the stick by its serial; a run through it reaches
# the disk under the disk's lock.
case_usb_by_id() {
  begin
  usb_add i /drives/ctrl161_broken.json KS161I0012 0 || fail "the stick was not plugged in"
  local disk link
  disk=$(usb_disk i)
  set -- /dev/disk/by-id/usb-*_KS161I0012-0:0
  [ -L "$1" ] || fail "udevd made no by-id link for KS161I0012: $(ls /dev/disk/by-id 2>&1)"
  link=$1
  [ "$(readlink -f "$link")" = "$disk" ] || fail "$link leads to $(readlink -f "$link")"
  ks --drive "E=$link" scan
  expect 0 "$BORKEN"
  same_as ctrl161.scan
  held_against "$disk" "$link"
  held_against "$link" "$(usb_generic i)"
  # Named by its generic node, the stick is told at the port its disk has.
  ks --drive "E=$(usb_generic i)" scan
  expect 0 "$BORKEN"
  grep -q "^Drive E: .*, port $(usb_port i), serial KS161I0012," "$S/out.txt" ||
    fail "the generic node's drive line: $(grep '^Drive E: ' "$S/out.txt")"
  echo "$link reaches $disk, and $(usb_generic i) names its port"
}

# A recording made through a stick, sent out of the guest for a replay on
# the host (the kernel_usb_replay test).
case_usb_record() {
  begin
  usb_add k /drives/ctrl161_broken.json KS161K0013 1 || fail "the stick was not plugged in"
  ks --drive "E=$(usb_disk k)" --record "$S/usb.krec" scan
  expect 0 "$BORKEN"
  [ -s "$S/usb.krec" ] || fail "no recording"
  echo "@@file usb.krec"
  base64 "$S/usb.krec"
  echo "@@end"
  echo "@@file usb_record.out"
  base64 "$S/out.txt"
  echo "@@end"
  echo "recorded a scan of $(usb_disk k): $(stat -c %s "$S/usb.krec") bytes"
}

# A short table timeout holds on a stick through either node. What each node
# does with a 2 s timeout is measured first (one READ CAPACITY held 4 s):
# the block layer lifts it to 7 s on the disk node, the generic node keeps
# it; kestrune sends through the generic node, so a scan on either node
# times out at 2 s, as over the preload library.
case_usb_timeout() {
  begin
  usb_add t /drives/ctrl161_broken.json KS161T0014 2 || fail "the stick was not plugged in"
  local node kind result seconds
  for kind in disk generic; do
    node=$(usb_"$kind" t)
    usb_hold t "hold 25 1 4000"
    result=$(kestrune_sgio_time "$node" 2000)
    echo "READ CAPACITY, 2 s timeout, held 4 s, on the $kind node $node: $result"
    seconds=${result#seconds=}
    echo "@@figure sgio_${kind}_2s_timeout_s ${seconds%% *}"
    # What the choice of node rests on: the disk node let the command run
    # past its 2 s to its answer, the generic node timed it out (DID_TIME_OUT).
    case $kind:$result in
      disk:*" status=00 host=00 driver=00" | generic:*" host=03 "*) ;;
      *) fail "the $kind node no longer does what kestrune's choice of node rests on" ;;
    esac
  done
  for kind in disk generic; do
    node=$(usb_"$kind" t)
    : >"$(usb_log t)"
    usb_hold t "hold 25 1 4000"
    local started
    started=$(now)
    ks --drive "E=$node" scan
    seconds=$(awk "BEGIN { printf \"%.2f\", $(now) - $started }")
    echo "a scan on the $kind node with READ CAPACITY held 4 s took $seconds s"
    echo "@@figure usb_scan_timeout_${kind}_s $seconds"
    grep -q '^held 25 ' "$(usb_log t)" || fail "READ CAPACITY was not held"
    # usb-storage gave up on the command: it reset the stick's transport.
    grep -Eq '^event (reset|disable)$' "$(usb_log t)" || fail "usb-storage did not reset the stick"
    expect 0 "$BORKEN"
    same_as timeout_capacity_161
  done
  echo "a 2 s timeout held on both nodes"
}
