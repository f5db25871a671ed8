#!/usr/bin/env bash
# A whole repair through the real SG_IO transport: the console program talks
# to a plain file that the preload library answers from a broken simulated
# drive. The runs a technician would make: scan (broken), backup, fix, a scan
# after the replug that says the ISP is healthy again, then a restore of the
# original ISP and a scan that finds it broken as before.
#
#   console_sgio_fix_test.sh <kestrune> <preload library> <drive.json> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drive=$3
scratch=$4

# Vendor commands over SG_IO need root (or CAP_SYS_RAWIO); without it the
# program rightly refuses to start, so the test cannot run here.
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/c" "$scratch/t"
cp "$drive" "$scratch/drive.json"
: >"$scratch/sdx"
: >"$scratch/c/ISP.log"

fail() {
  echo "FAIL: $*"
  exit 1
}

run() { # expected-exit args...
  local expected=$1
  shift
  local status=0
  # The build's images are stand-ins; the switch lets them reach a drive
  # over real pass-through, here the simulated one behind the preload.
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$scratch/sdx" \
    KESTRUNE_SGIO_DRIVE="$scratch/drive.json" KESTRUNE_SGIO_SAVE=exit \
    KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
    KESTRUNE_SGIO_LOG="$scratch/sgio.log" \
    "$program" --drive "E=$scratch/sdx" --c-drive "$scratch/c" --temp "$scratch/t" \
    --trace "$scratch/trace.txt" "$@" >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null ||
    status=$?
  cat "$scratch/out.txt"
  [[ $status -eq $expected ]] || {
    cat "$scratch/err.txt"
    fail "kestrune $* exited $status, expected $expected"
  }
}

expect_line() { # text
  grep -qxF -- "$1" "$scratch/out.txt" || fail "missing line: $1"
}

# 1. Identification over SG_IO: the drive is found on E: and judged broken.
run 0 scan
expect_line "[Check ISP] ISP was borken!"
grep -qF '[E]: ' "$scratch/out.txt" || fail "drive E: not listed"

# 2. A backup changes nothing on the drive and names where its files are.
run 0 backup
for f in ISP0_Backup.bin ISP1_Backup.bin; do
  [[ $(stat -c %s "$scratch/c/$f") -eq 49152 ]] || fail "backup $f is not 49,152 bytes"
  grep -qF "C:\\$f -> $(realpath "$scratch/c")/$f" "$scratch/err.txt" || fail "no real path for $f"
done
grep -q "^E: fa " "$scratch/trace.txt" && fail "the backup wrote to the drive"

# 3. The repair, confirmed with --yes.
run 0 --yes fix
expect_line "[SUCCESS] Update ISP code Success, please replug device to ensure it normal."
for f in ISP0_Before.bin ISP0_After.bin; do
  [[ -f $scratch/c/$f ]] || fail "backup $f missing"
  [[ $(stat -c %s "$scratch/c/$f") -eq 49152 ]] || fail "backup $f is not 49,152 bytes"
done
cmp -s "$scratch/c/ISP0_Before.bin" "$scratch/c/ISP0_After.bin" &&
  fail "the ISP area did not change"
grep -q "ISP Update success " "$scratch/c/ISP.log" || fail "log lacks the success line"
# Every command really went through the SG_IO ioctl.
grep -q "SG_IO" "$scratch/sgio.log" || fail "the preload library saw no SG_IO"
grep -q "^E: fa " "$scratch/trace.txt" || fail "no page write in the trace"

cmp -s "$scratch/c/ISP0_Backup.bin" "$scratch/c/ISP0_Before.bin" ||
  fail "the backup and the Before file of one ISP differ"

# 4. After the replug (a new process loads the flash the fix left) the
# drive reports a healthy ISP.
run 0 scan
expect_line "[Check ISP] ISP is OK!"

# 5. The Before files go back in, and the drive is as broken as it came.
run 0 --yes restore
expect_line "[SUCCESS] Restore ISP code Success, please replug device to ensure it normal."
run 0 scan
expect_line "[Check ISP] ISP was borken!"
echo "PASS"
