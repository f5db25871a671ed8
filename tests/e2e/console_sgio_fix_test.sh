#!/usr/bin/env bash
# A whole repair through the real SG_IO transport: the console program talks
# to a plain file that the preload library answers from a broken simulated
# drive. Three runs, as a technician would do them: scan (broken), fix, and
# a scan after the replug that says the ISP is healthy again.
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

# 2. The repair, confirmed with --yes.
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

# 3. After the replug (a new process loads the flash the fix left) the
# drive reports a healthy ISP.
run 0 scan
expect_line "[Check ISP] ISP is OK!"
echo "PASS"
