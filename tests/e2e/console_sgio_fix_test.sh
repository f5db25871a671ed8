#!/usr/bin/env bash
# A whole repair through the real SG_IO transport: the console program talks
# to a plain file that the preload library answers from a broken simulated
# drive. The runs a technician would make: scan (broken), backup, fix, a scan
# after the replug that says the ISP is healthy again, then a restore of the
# original ISP and a scan that finds it broken as before. Last, the Before
# files of a drive with another controller, fixed from the same folder, are
# refused by a restore of the first drive.
#
#   console_sgio_fix_test.sh <kestrune> <preload library> <drive.json> <scratch folder>
#                            <drive.json of another controller>
set -euo pipefail

program=$1
preload=$2
drive=$3
scratch=$4
other=$5

# Vendor commands over SG_IO need root (or CAP_SYS_RAWIO); without it the
# program rightly refuses to start, so the test cannot run here.
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/c" "$scratch/t"
cp "$drive" "$scratch/drive.json"
cp "$other" "$scratch/other.json"
# The drive file the preload library answers from.
answering=drive.json
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
    KESTRUNE_SGIO_DRIVE="$scratch/$answering" KESTRUNE_SGIO_SAVE=exit \
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

# 5. A plain file has no USB serial in sysfs: the drive's own Before files
# cannot be told from another stick's of the same model, so the default
# restore is refused, and the files go back in only as donor files.
: >"$scratch/trace.txt"
run 1 --yes restore
grep -qF "gives no USB serial" "$scratch/out.txt" || fail "no word of the missing serial"
grep -q "^E: f[ae] " "$scratch/trace.txt" && fail "a refused restore wrote to the drive"
run 0 --yes --donor restore --from 'C:\ISP0_Before.bin' --from 'C:\ISP1_Before.bin'
grep -qF "<C:\ISP0_Before.bin> is a Before backup of copy 0" "$scratch/out.txt" ||
  fail "the question does not name where the file came from"
expect_line "[SUCCESS] Restore ISP code Success, please replug device to ensure it normal."
run 0 scan
expect_line "[Check ISP] ISP was borken!"

# 6. A drive with another controller is fixed from the same folder; its
# Before files are refused by the first drive, whatever is answered, and
# nothing reaches its flash.
answering=other.json
run 0 --yes fix
answering=drive.json
: >"$scratch/trace.txt"
run 1 --yes --donor restore --from 'C:\ISP0_Before.bin' --from 'C:\ISP1_Before.bin'
grep -qF "<C:\ISP0_Before.bin> was saved from another kind of drive" "$scratch/out.txt" ||
  fail "the refusal does not name the file and its drive"
grep -q "^E: f[ae] " "$scratch/trace.txt" && fail "a refused restore wrote to the drive"
run 0 scan
expect_line "[Check ISP] ISP was borken!"
echo "PASS"
