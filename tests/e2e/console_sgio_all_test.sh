#!/usr/bin/env bash
# --all through the real SG_IO transport: four plain files stand for four
# device nodes, each answered by a simulated drive of its own through the
# preload library. One drive is reached through a by-id style link, one
# refuses every page write. The others must be repaired all the same, each
# drive's files in its own folder, and a second scan must find them healthy.
#
#   console_sgio_all_test.sh <kestrune> <preload library> <drives folder> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drives=$3
scratch=$4

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/c" "$scratch/t" "$scratch/disk/by-id"
cp "$drives/ctrl163_broken.json" "$scratch/e.json"
cp "$drives/ctrl165_broken.json" "$scratch/f.json"
cp "$drives/ctrl161_broken.json" "$scratch/g.json"
# The fourth drive refuses every page write, so its fix fails after its backups.
python3 - "$drives/ctrl163_broken.json" "$scratch/h.json" <<'PY'
import json, sys
drive = json.load(open(sys.argv[1]))
drive["faults"] = [{"opcode": "0xFA", "action": "refuse", "repeat": True}]
json.dump(drive, open(sys.argv[2], "w"))
PY
for n in sde sdf sdg sdh; do : >"$scratch/$n"; done
ln -s ../../sdg "$scratch/disk/by-id/usb-KSTRUNE_USB_DISK_161-0:0"
: >"$scratch/c/ISP.log"

fail() {
  echo "FAIL: $*"
  exit 1
}

run() { # expected-exit args...
  local expected=$1
  shift
  local status=0
  env LD_PRELOAD="$preload" \
    KESTRUNE_SGIO_FILE="$scratch/sde:$scratch/sdf:$scratch/sdg:$scratch/sdh" \
    KESTRUNE_SGIO_DRIVE="$scratch/e.json:$scratch/f.json:$scratch/g.json:$scratch/h.json" \
    KESTRUNE_SGIO_SAVE=exit KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
    "$program" --c-drive "$scratch/c" --temp "$scratch/t" --trace "$scratch/trace.txt" "$@" \
    >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null || status=$?
  cat "$scratch/out.txt"
  [[ $status -eq $expected ]] || {
    cat "$scratch/err.txt"
    fail "kestrune $* exited $status, expected $expected"
  }
}

row() { # letter: the summary row of that drive, columns squeezed to one blank
  grep "^$1: " "$scratch/out.txt" | grep -v '\[' | tr -s ' '
}

nodes=(--drive "E=$scratch/sde" --drive "F=$scratch/sdf"
  --drive "G=$scratch/disk/by-id/usb-KSTRUNE_USB_DISK_161-0:0" --drive "H=$scratch/sdh")

# 1. A link and the node it names are one drive: refused before any command.
run 2 --drive "E=$scratch/sdg" --drive "G=$scratch/disk/by-id/usb-KSTRUNE_USB_DISK_161-0:0" \
  --all --yes fix
[[ ! -e $scratch/trace.txt ]] || fail "a command reached a drive named twice"

# 2. Every drive at once; the link is followed to its node.
run 1 "${nodes[@]}" --all --yes fix
grep -qxF "  G: $scratch/sdg" "$scratch/out.txt" || fail "the confirmation does not name G's node"
for d in E F G; do
  [[ $(row "$d") == "$d: broken success "* ]] || fail "drive $d: $(row "$d")"
  [[ $(stat -c %s "$scratch/c/$d/ISP0_Before.bin") -eq 49152 ]] || fail "no Before file for $d"
  [[ -f $scratch/c/$d/ISP0_After.bin ]] || fail "no After file for $d"
  grep -q "ISP Update success " "$scratch/c/$d/ISP.log" || fail "$d's log lacks the success line"
  grep -q "^$d: fa " "$scratch/trace.txt" || fail "no page write of $d in the trace"
done
# Its Before and After files are kept: two copies, four backups, none verified.
[[ $(row H) == "H: broken failed 0 4 "* ]] || fail "drive H: $(row H)"
grep -qxF "H: [ERROR] Write ISP code to flash fail" "$scratch/out.txt" || fail "H's failure box"

# 3. After the replug the repaired drives are healthy; H is as broken as it was.
run 0 "${nodes[@]}" --all scan
for d in E F G; do
  [[ $(row "$d") == "$d: healthy "* ]] || fail "drive $d after the fix: $(row "$d")"
done
[[ $(row H) == "H: broken "* ]] || fail "drive H after the fix: $(row H)"
echo "PASS"
