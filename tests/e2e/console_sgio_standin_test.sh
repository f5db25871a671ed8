#!/usr/bin/env bash
# A build that carries stand-in images must not change a drive reached
# through real pass-through. The console program talks SG_IO to plain files
# that the preload library answers from simulated drives:
#   - without the test switch, fix and destroy of a drive are refused with
#     one ERROR box and exit 1, and no command that changes flash is sent;
#   - a drive that runs on loaded code gets no stand-in code either, and the
#     scan names that as the cause;
#   - with KESTRUNE_ALLOW_STANDIN_IMAGES=1 the same fix goes through.
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

# plug DRIVE: a fresh copy of a ready-made drive behind a fresh device file.
plug() {
  rm -rf "$scratch"
  mkdir -p "$scratch/c" "$scratch/t"
  cp "$drives/$1" "$scratch/drive.json"
  : >"$scratch/sdx"
}

run() { # allow(0|1) expected-exit args...
  local allow=$1 expected=$2
  shift 2
  local status=0
  local switch=()
  if [[ $allow == 1 ]]; then switch=(KESTRUNE_ALLOW_STANDIN_IMAGES=1); fi
  env -u KESTRUNE_ALLOW_STANDIN_IMAGES "${switch[@]}" LD_PRELOAD="$preload" \
    KESTRUNE_SGIO_FILE="$scratch/sdx" KESTRUNE_SGIO_DRIVE="$scratch/drive.json" \
    KESTRUNE_SGIO_SAVE=exit \
    "$program" --drive "E=$scratch/sdx" --c-drive "$scratch/c" --temp "$scratch/t" \
    --trace "$scratch/trace.txt" "$@" >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null ||
    status=$?
  [[ $status -eq $expected ]] || {
    cat "$scratch/out.txt" "$scratch/err.txt"
    fail "kestrune $* exited $status, expected $expected (switch $allow)"
  }
}

expect_line() { grep -qxF -- "$1" "$scratch/out.txt" || fail "missing line: $1"; }
# No erase (fe), page write (fa) or controller-memory write (fd 00 01) went out.
expect_untouched() {
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "a command that changes the drive went out: $(grep -Em1 '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt")"
  fi
}

# 1. A family-A drive is scanned, but neither fixed nor destroyed.
for command in fix destroy; do
  plug ctrl161_broken.json
  run 0 1 --yes "$command"
  expect_line "[Check ISP] ISP was borken!"
  expect_line "$refusal"
  [[ $(grep -c '^\[' "$scratch/out.txt") -eq 2 ]] || fail "$command showed more than the refusal"
  expect_untouched
  if [[ -e $scratch/c/ISP0_Before.bin ]]; then fail "$command wrote a backup"; fi
done
echo "ok: fix and destroy refused"

# 2. A drive that needs loaded code is not given stand-in code.
plug ctrl163_broken.json
run 0 1 scan
expect_line "$refusal"
if grep -qxF "[Kestrune] Can't find any device !" "$scratch/out.txt"; then
  fail "the scan blamed a missing drive"
fi
expect_untouched
echo "ok: no stand-in code for a code-loading drive"

# 3. The test switch lets the same repair through.
plug ctrl161_broken.json
run 1 0 --yes fix
expect_line "[SUCCESS] Update ISP code Success, please replug device to ensure it normal."
grep -q '^E: fa ' "$scratch/trace.txt" || fail "no page write with the switch set"
echo "PASS"
