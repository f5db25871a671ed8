#!/usr/bin/env bash
# A build that carries stand-in images must not change a drive reached
# through real pass-through: the console talks SG_IO to a plain file that
# the preload library answers from a simulated drive. Without the test
# switch fix, destroy and restore are refused, with --all too, (one ERROR box, exit 1) and a drive
# that runs on loaded code gets no stand-in code; with
# KESTRUNE_ALLOW_STANDIN_IMAGES=1 the same fix goes through.
#
#   console_sgio_standin_test.sh <kestrune> <preload library> <drives folder> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drives=$3
scratch=$4

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi
if [[ $("$program" --version | sed -n 2p) != "stand-in images" ]]; then
  echo "skipped: this build carries real images"
  exit 77
fi

refusal="[ERROR] This build carries no real ISP images, only generated stand-ins, and does not write them into a real drive, nor load their code into one. Build it with KESTRUNE_IMAGE_DIR naming the folder of the 31 images, or name such a folder in KESTRUNE_IMAGES."

fail() {
  echo "FAIL: $*"
  exit 1
}

run() { # drive switch(0|1) expected-exit args...
  local drive=$1 allow=$2 expected=$3 status=0
  shift 3
  rm -rf "$scratch"
  mkdir -p "$scratch/c" "$scratch/t"
  cp "$drives/$drive" "$scratch/drive.json"
  : >"$scratch/sdx"
  env KESTRUNE_ALLOW_STANDIN_IMAGES="$allow" \
    LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$scratch/sdx" \
    KESTRUNE_SGIO_DRIVE="$scratch/drive.json" KESTRUNE_SGIO_SAVE=exit \
    "$program" --drive "E=$scratch/sdx" --c-drive "$scratch/c" --temp "$scratch/t" \
    --trace "$scratch/trace.txt" "$@" >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null ||
    status=$?
  [[ $status -eq $expected ]] || {
    cat "$scratch/out.txt" "$scratch/err.txt"
    fail "$drive: kestrune $* exited $status, expected $expected (switch $allow)"
  }
}

# Only the refusal among the boxes after the scan, and no erase (fe), page
# write (fa) or controller-memory write (fd 00 01) sent.
expect_refused() {
  [[ $(tail -n +2 "$scratch/out.txt" | grep -v '^\* ') == "$refusal" ]] ||
    fail "$1: expected only the refusal, saw: $(cat "$scratch/out.txt")"
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "$1: a command that changes the drive went out"
  fi
}

for command in fix destroy restore; do
  run ctrl161_broken.json 0 1 --yes "$command"
  expect_refused "$command"
  if [[ -e $scratch/c/ISP0_Before.bin ]]; then fail "$command wrote a backup"; fi
done
# Every drive at once: each drive's run refuses on its own.
run ctrl161_broken.json 0 1 --all --yes fix
grep -qxF "E: $refusal" "$scratch/out.txt" || fail "--all: no refusal, saw: $(cat "$scratch/out.txt")"
if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
  fail "--all: a command that changes the drive went out"
fi
run ctrl163_broken.json 0 1 scan
expect_refused "a scan of a drive that runs on loaded code"

run ctrl161_broken.json 1 0 --yes fix
grep -qxF "[SUCCESS] Update ISP code Success, please replug device to ensure it normal." \
  "$scratch/out.txt" || fail "the switch did not let the fix through"
echo "PASS"
