#!/usr/bin/env bash
# Boots Debian's own kernel in a QEMU guest and runs the kernel stage's cases
# there (tests/kernel/cases.sh), with kestrune reaching simulated drives
# through the kernel's SCSI stack: sg and sd, the midlayer, the loopback
# target and user-backed LUNs answered by kestrune_tcmu_drive in the guest;
# and through its USB stack: usb-storage on dummy host controllers whose
# gadgets are sticks served by kestrune_usb_gadget, with udevd watching.
#
#   guest_run.sh <kestrune> <kestrune_tcmu_drive> <kestrune_usb_gadget> <preload library>
#                <sources> <work folder>
#
# Leaves <work>/results/NAME.log for each case (last line PASS or FAIL),
# <work>/console.log (the guest's console) and <work>/figures.txt, the figures
# it prints. Exits non-zero when the guest did not run every case to its end.
#
# The kernel package (linux-image-amd64 and the image package it depends on)
# is fetched with `apt-get download` and unpacked with `dpkg-deb -x` into
# $KESTRUNE_KERNEL_CACHE (default <work>/cache), never installed; so is the
# udev package, whose udevd the guest runs; a second run uses what is there. KVM is used when /dev/kvm can be opened, TCG when
# it cannot or the guest fails under it. KESTRUNE_KERNEL_TIMEOUT bounds the
# guest's run in seconds (default 900); KESTRUNE_KERNEL_CASES="a b" runs only
# the cases named.
set -euo pipefail

program=$1
handler=$2
gadget=$3
preload=$4
sources=$5
work=$6
cache=${KESTRUNE_KERNEL_CACHE:-$work/cache}
limit=${KESTRUNE_KERNEL_TIMEOUT:-900}

# Every case's verdict is then "skipped" too.
skip() {
  echo "skipped: $*"
  mkdir -p "$work/results"
  echo "$*" >"$work/results/SKIPPED"
  exit 77
}
# The host's runs over the preload library, which the guest's must match,
# send vendor commands over SG_IO: they need root.
[[ $(id -u) -eq 0 ]] || skip "needs root for SG_IO vendor commands"
for tool in qemu-system-x86_64 cpio depmod modprobe dpkg-deb apt-get strip; do
  command -v "$tool" >/dev/null || skip "$tool is missing (tools/setup.sh full installs it)"
done
busybox=$(command -v busybox || true)
[[ -n $busybox ]] || skip "busybox is missing (tools/setup.sh full installs busybox-static)"

mkdir -p "$work" "$cache"
started=$SECONDS
rm -rf "$work/results"

# --- the kernel ---------------------------------------------------------------
# The image package apt would install now; any one already unpacked serves
# when apt cannot say (no package lists) or fetch it.
image_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }' || true
}
cached=$(find "$cache" -mindepth 2 -maxdepth 2 -name ready 2>/dev/null | head -n 1)
image=$(image_package)
if [[ -z $image && -z $cached ]]; then
  apt-get update -q >/dev/null
  image=$(image_package)
fi
if [[ -z $image || ! -f $cache/$image/ready ]]; then
  fetched=
  if [[ -n $image ]]; then
    rm -rf "${cache:?}/debs" "${cache:?}/$image"
    mkdir -p "$cache/debs" "$cache/$image"
    if (cd "$cache/debs" && apt-get download -q linux-image-amd64 "$image"); then
      dpkg-deb -x "$cache"/debs/"$image"_*.deb "$cache/$image/root"
      version=$(basename "$(find "$cache/$image/root/lib/modules" -mindepth 1 -maxdepth 1)")
      depmod -b "$cache/$image/root" "$version"
      echo "$version" >"$cache/$image/ready"
      rm -rf "$cache/debs"
      # An older kernel unpacked before is not needed any more.
      find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$image" ! -name udev -exec rm -rf {} +
      fetched=yes
    fi
  fi
  if [[ -z $fetched ]]; then
    [[ -n $cached ]] || {
      echo "guest_run: cannot fetch linux-image-amd64 and none is in $cache" >&2
      exit 1
    }
    image=$(basename "$(dirname "$cached")")
  fi
fi
kroot=$cache/$image/root
version=$(cat "$cache/$image/ready")
echo "kernel: $image ($version)"

# udevd: the udev package apt would install, unpacked beside the kernel.
udev_version=$(apt-cache policy udev 2>/dev/null | awk '$1 == "Candidate:" { print $2 }' || true)
uroot=$cache/udev/root
if [[ -n $udev_version && $(cat "$cache/udev/ready" 2>/dev/null) != "$udev_version" ]]; then
  rm -rf "$cache/udev"
  mkdir -p "$cache/udev/debs"
  if (cd "$cache/udev/debs" && apt-get download -q udev); then
    dpkg-deb -x "$cache"/udev/debs/udev_*.deb "$uroot"
    echo "$udev_version" >"$cache/udev/ready"
  fi
  rm -rf "$cache/udev/debs"
fi
[[ -f $cache/udev/ready ]] || {
  echo "guest_run: cannot fetch the udev package and none is in $cache" >&2
  exit 1
}
echo "udev: $(cat "$cache/udev/ready")"

# --- what the guest must match: the same runs over the preload library -------
expected=$work/expected
rm -rf "$expected" "$work/host"
mkdir -p "$expected"
# expected_run NAME DRIVE FAULTS ARGS...: kestrune on a fresh copy of DRIVE
# (with FAULTS, a JSON list, as its fault plan) over the preload library.
expected_run() {
  local name=$1 drive=$2 faults=$3 status=0
  shift 3
  local s=$work/host/$name
  mkdir -p "$s/c" "$s/t"
  sed "s/^{/{\"faults\": $faults,/" "$sources/tests/drives/$drive" >"$s/drive.json"
  : >"$s/sdx"
  local begun=$EPOCHREALTIME
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/sdx" KESTRUNE_SGIO_DRIVE="$s/drive.json" \
    KESTRUNE_ALLOW_STANDIN_IMAGES=1 "$program" --drive "E=$s/sdx" --c-drive "$s/c" --temp "$s/t" \
    --trace "$expected/$name.trace" "$@" >"$expected/$name.out" 2>"$s/err.txt" </dev/null ||
    status=$?
  elapsed=$(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $begun }")
  (cd "$s/c" && md5sum ISP*) >"$expected/$name.files" 2>/dev/null || true
  echo "host: $name exited $status"
}
for drive in ctrl161 ctrl163 ctrl190; do
  expected_run "$drive.scan" "${drive}_broken.json" '[]' scan
  expected_run "$drive.fix" "${drive}_broken.json" '[]' --yes fix
  [[ $drive == ctrl163 ]] && preload_fix=$elapsed
done
expected_run ctrl161.backup ctrl161_broken.json '[]' backup
# The three sticks of the --all case, on the letters sysfs gives them there.
(
  s=$work/host/usb_all
  mkdir -p "$s/c" "$s/t"
  files=() drives=() args=()
  for pair in C:ctrl161 D:ctrl161 E:ctrl161; do
    cp "$sources/tests/drives/${pair#*:}_broken.json" "$s/${pair%:*}.json"
    : >"$s/${pair%:*}.sdx"
    files+=("$s/${pair%:*}.sdx") drives+=("$s/${pair%:*}.json")
    args+=(--drive "${pair%:*}=$s/${pair%:*}.sdx")
  done
  IFS=:
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="${files[*]}" KESTRUNE_SGIO_DRIVE="${drives[*]}" \
    KESTRUNE_ALLOW_STANDIN_IMAGES=1 "$program" "${args[@]}" --c-drive "$s/c" --temp "$s/t" \
    --trace "$expected/usb_all.trace" --all --yes fix >"$expected/usb_all.out" 2>"$s/err.txt" \
    </dev/null
  echo "host: usb_all exited $?"
)
# A fix, then in a new process (a fresh power-on) the restore of its Before
# file, named: over the preload library no serial makes it the drive's own.
(
  s=$work/host/restore161
  mkdir -p "$s/c" "$s/t"
  cp "$sources/tests/drives/ctrl161_broken.json" "$s/drive.json"
  : >"$s/sdx"
  on_drive() {
    env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/sdx" KESTRUNE_SGIO_DRIVE="$s/drive.json" \
      KESTRUNE_ALLOW_STANDIN_IMAGES=1 "$program" --drive "E=$s/sdx" --c-drive "$s/c" \
      --temp "$s/t" "$@" 2>>"$s/err.txt" </dev/null
  }
  on_drive --yes fix >/dev/null &&
    on_drive --trace "$expected/ctrl161.restore.trace" --yes --donor restore \
      --from 'C:\ISP0_Before.bin' >"$expected/ctrl161.restore.out"
  echo "host: restore161 exited $?"
)
# A command past its timeout reaches the program as a refusal by the adapter.
expected_run timeout_capacity ctrl163_broken.json '[{"opcode": "0x25", "action": "refuse"}]' scan
expected_run timeout_capacity_161 ctrl161_broken.json '[{"opcode": "0x25", "action": "refuse"}]' scan
expected_run timeout_flash_id ctrl163_broken.json \
  '[{"opcode": "0xFD", "sub": "0x10", "action": "refuse"}]' --yes fix

# --- the initramfs ------------------------------------------------------------
tree=$work/initramfs
rm -rf "$tree"
mkdir -p "$tree"/{bin,dev,proc,sys,run,tmp,kernel,drives,expected,lib/modules}

# copy_program FILE NAME: FILE as /bin/NAME, with the shared libraries it
# loads at their own paths.
copy_program() {
  cp "$1" "$tree/bin/$2"
  local library
  for library in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*' || true); do
    mkdir -p "$tree$(dirname "$library")"
    cp -L "$library" "$tree$library"
  done
}
copy_program "$busybox" busybox
for applet in $("$busybox" --list); do
  [[ $applet == busybox ]] || ln -sf busybox "$tree/bin/$applet"
done
copy_program "$program" kestrune
strip --strip-debug "$tree/bin/kestrune"
copy_program "$handler" kestrune_tcmu_drive
copy_program "$gadget" kestrune_usb_gadget
copy_program "$(dirname "$gadget")/kestrune_sgio_time" kestrune_sgio_time
copy_program "$uroot/bin/udevadm" udevadm
ln -sf udevadm "$tree/bin/systemd-udevd"
# The rules that name disks (by-id, by-path) and watch them, as a desktop has.
mkdir -p "$tree/lib/udev/rules.d" "$tree/etc/udev"
cp "$uroot"/lib/udev/rules.d/{60-persistent-storage,60-block}.rules "$tree/lib/udev/rules.d/"

# The modules and those they need, in the order they load.
# Three dummy host+device controller pairs: a bus for each stick.
for module in tcm_loop target_core_user sd_mod sg dummy_hcd libcomposite usb_f_fs usb-storage; do
  modprobe -d "$kroot" -S "$version" --show-depends "$module"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' >"$work/modules.txt"
: >"$tree/kernel/modules"
while read -r path; do
  cp "$path" "$tree/lib/modules/"
  case ${path##*/} in
    dummy_hcd.ko*) echo "${path##*/} num=3" ;;
    *) basename "$path" ;;
  esac >>"$tree/kernel/modules"
done <"$work/modules.txt"

cp "$sources/tests/kernel/guest_init.sh" "$tree/init"
chmod +x "$tree/init"
cp "$sources"/tests/kernel/{lun,usb,cases}.sh "$tree/kernel/"
if [[ -n ${KESTRUNE_KERNEL_CASES:-} ]]; then
  tr ' ' '\n' <<<"$KESTRUNE_KERNEL_CASES" >"$tree/kernel/cases.txt"
else
  sed -n 's/^case_\([a-z0-9_]*\)().*/\1/p' "$sources/tests/kernel/cases.sh" >"$tree/kernel/cases.txt"
fi
cp "$sources"/tests/drives/*.json "$tree/drives/"
cp "$expected"/* "$tree/expected/"
(cd "$tree" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
echo "initramfs: $(($(stat -c %s "$work/initramfs.cpio") / 1024)) KiB," \
  "$(wc -l <"$tree/kernel/modules") modules, $(wc -l <"$tree/kernel/cases.txt") cases"

# --- the guest ----------------------------------------------------------------
accelerators=(tcg)
if [[ -r /dev/kvm && -w /dev/kvm ]]; then accelerators=(kvm tcg); fi
for accel in "${accelerators[@]}"; do
  rm -f "$work/console.log" "$work/results.log"
  booted=$SECONDS
  status=0
  timeout --kill-after=10 "$limit" qemu-system-x86_64 -nodefaults -no-user-config \
    -display none -accel "$accel" -m 1024 -smp 1 -no-reboot \
    -kernel "$kroot/boot/vmlinuz-$version" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 rdinit=/init panic=-1 quiet loglevel=4 mitigations=off" \
    -serial "file:$work/console.log" -serial "file:$work/results.log" &
  guest=$!
  # A KVM guest boots in seconds; one that has said nothing after half a
  # minute hangs (as under some nested hypervisors) and gives way to TCG.
  if [[ $accel == kvm ]]; then
    for _ in $(seq 30); do
      [[ -s $work/results.log ]] || ! kill -0 "$guest" 2>/dev/null && break
      sleep 1
    done
    [[ -s $work/results.log ]] || kill "$guest" 2>/dev/null || true
  fi
  wait "$guest" || status=$?
  guest_wall=$((SECONDS - booted))
  tr -d '\r' <"$work/results.log" >"$work/results.txt" 2>/dev/null || : >"$work/results.txt"
  # A guest that printed nothing under KVM may have failed to start there.
  if [[ -s $work/results.txt || $accel == tcg ]]; then break; fi
  echo "qemu with $accel: exit $status and no result; trying the next accelerator"
done

# Each case's lines into results/NAME.log, its verdict last.
mkdir -p "$work/results"
awk -v dir="$work/results" '
  /^@@file / { inside = 1; next }
  /^@@end$/ { inside = 0; next }
  inside { next }
  /^@@case / { name = $2; file = dir "/" name ".log"; next }
  /^@@result / { print $3 > (dir "/" $2 ".log"); close(dir "/" $2 ".log"); name = ""; next }
  /^@@/ { next }
  name != "" { print > file }
' "$work/results.txt"
# Files a case sent out ("@@file NAME", base64 lines, "@@end") into files/.
rm -rf "$work/files"
mkdir -p "$work/files"
awk -v dir="$work/files" '
  /^@@file / { name = $2; next }
  /^@@end$/ { close(dir "/" name ".b64"); name = ""; next }
  name != "" { print > (dir "/" name ".b64") }
' "$work/results.txt"
for encoded in "$work"/files/*.b64; do
  [[ -e $encoded ]] || continue
  base64 -d "$encoded" >"${encoded%.b64}" && rm "$encoded"
done
grep '^@@figure ' "$work/results.txt" | cut -d' ' -f2- >"$work/figures.raw" || true
figure() { awk -v key="$1" '$1 == key { print $2 }' "$work/figures.raw"; }

{
  echo "kernel stage figures ($accel, $image)"
  printf '  %-44s %8s s\n' "kernel boot, to the first process" "$(figure kernel_boot_s)" \
    "guest ready, modules loaded" "$(figure guest_ready_s)" \
    "whole guest run, qemu start to power-off" "$guest_wall" \
    "fix of ctrl163_broken through the kernel" "$(figure fix_ctrl163_s)" \
    "the same fix through the preload library" "$preload_fix" \
    "fix of ctrl161_broken through a USB stick" "$(figure fix_usb_ctrl161_s)"
  echo "  (the fixes include the one second the program waits after writing)"
  echo "  a READ CAPACITY with a 2 s timeout, answered 4 s late, on a stick:"
  printf '  %-44s %8s s\n' "SG_IO on the disk node (sdX) returned after" \
    "$(figure sgio_disk_2s_timeout_s)" "SG_IO on the generic node (sgN) returned after" \
    "$(figure sgio_generic_2s_timeout_s)" "kestrune's scan naming the disk node took" \
    "$(figure usb_scan_timeout_disk_s)" "kestrune's scan naming the generic node took" \
    "$(figure usb_scan_timeout_generic_s)"
  echo "  (each scan's READ CAPACITY timed out at 2 s; the stick stays busy until its 4 s)"
} | tee "$work/figures.txt"
echo "guest_run: $((SECONDS - started)) s in all"

if ! grep -qx '@@done' "$work/results.txt"; then
  echo "guest_run: the guest did not run every case (qemu exit $status); its console:" >&2
  tail -n 40 "$work/console.log" >&2 || true
  exit 1
fi
