#!/usr/bin/env bash
# --all through the real SG_IO transport: four plain files stand for four
# device nodes, each answered by a simulated drive of its own through the
# preload library. G is named through a by-id style link; H refuses every
# page write. E, F and G must be repaired all the same, each drive's files
# in its own folder.
#
#   console_sgio_all_test.sh <kestrune> <preload library> <drives folder> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drives=$3
s=$4

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

rm -rf "$s"
mkdir -p "$s/c" "$s/t" "$s/disk/by-id"
cp "$drives/ctrl163_broken.json" "$s/e.json"
cp "$drives/ctrl165_broken.json" "$s/f.json"
cp "$drives/ctrl161_broken.json" "$s/g.json"
sed 's/^{/{"faults": [{"opcode": "0xFA", "action": "refuse", "repeat": true}],/' \
  "$drives/ctrl163_broken.json" >"$s/h.json"
: >"$s/sde" && : >"$s/sdf" && : >"$s/sdg" && : >"$s/sdh"
ln -s ../../sdg "$s/disk/by-id/usb-KSTRUNE_USB_DISK_161-0:0"

status=0
env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/sde:$s/sdf:$s/sdg:$s/sdh" \
  KESTRUNE_SGIO_DRIVE="$s/e.json:$s/f.json:$s/g.json:$s/h.json" \
  KESTRUNE_SGIO_SAVE=exit KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
  "$program" --c-drive "$s/c" --temp "$s/t" --trace "$s/trace.txt" --drive "E=$s/sde" \
  --drive "F=$s/sdf" --drive "G=$s/disk/by-id/usb-KSTRUNE_USB_DISK_161-0:0" --drive "H=$s/sdh" \
  --all --yes fix >"$s/out.txt" 2>"$s/err.txt" </dev/null || status=$?
cat "$s/out.txt"

fail() {
  cat "$s/err.txt"
  echo "FAIL: $*"
  exit 1
}
# A drive's summary row: not its boxes, the line under a failure that says
# why, nor the line that names the image its fix writes.
row() {
  grep "^$1: " "$s/out.txt" | grep -v '\[' | grep -v -e "^$1: Why: " -e "^$1: ISP image: " |
    tr -s ' '
}

[[ $status -eq 1 ]] || fail "exit $status, expected 1 for the failed drive"
grep -qxF "  G: $s/sdg" "$s/out.txt" || fail "the link to G's node was not followed"
for d in E F G; do
  [[ $(row "$d") == "$d: broken success "* ]] || fail "drive $d: $(row "$d")"
  [[ $(stat -c %s "$s/c/$d/ISP0_After.bin") -eq 49152 ]] || fail "no After file for $d"
  grep -q "^$d: fa " "$s/trace.txt" || fail "no page write of $d in the trace"
done
# H's Before and After files are kept: two copies, four backups, none verified.
[[ $(row H) == "H: broken failed 0 4 "* ]] || fail "drive H: $(row H)"
# Under its ERROR box, what the adapter said of the write.
grep -A1 -xF "H: [ERROR] Write ISP code to flash fail" "$s/out.txt" |
  grep -qxF "H: Why: flash page write (FA) failed in transport (host status 0x07, driver status 0x00)" ||
  fail "no line under H's box says why the write failed"
echo "PASS"
