#!/usr/bin/env bash
# Stand-in images must not change a drive reached through real pass-through:
# the console talks SG_IO to a plain file that the preload library answers
# from a simulated drive. Stand-ins are known by their bytes, whether the
# build carries them or a folder named with --images holds them (a copy of
# a run's work folder, made here by the generator in any build). Without the
# test switch fix, destroy and restore are refused, with --all too, (one
# ERROR box, exit 1) and a drive that runs on loaded code gets no stand-in
# code: it is listed all the same, named, with a warning that says why it
# goes no further, its backup runs on what can be read without code, and
# nothing is written; with KESTRUNE_ALLOW_STANDIN_IMAGES=1 the same fix goes
# through.
#
#   console_sgio_standin_test.sh <kestrune> <preload library> <drives folder> <scratch folder>
#                                <python3> <resources folder>
set -euo pipefail

program=$1
preload=$2
drives=$3
scratch=$4
python=$5
resources=$6

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

refusal="[ERROR] The images of this run are generated stand-ins, not real ISP images: they are not written into a real drive, nor is their code loaded into one. Name a folder that holds the 31 real ISP images with --images or KESTRUNE_IMAGES, or use a build made with the real images."

fail() {
  echo "FAIL: $*"
  exit 1
}

# A folder of stand-ins beside the scratch folder, which each run empties.
standins=$scratch.standins
rm -rf "$standins"
"$python" "$resources/make_standins.py" --catalogue "$resources/catalogue.csv" --out "$standins"
[[ $("$program" --version --images "$standins" | sed -n 2p) == "stand-in images (from $standins)" ]] ||
  fail "--version does not call a folder of stand-ins stand-in images"

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

# Only the refusal among the boxes after the scan (the list and the line
# that names the drive aside), and no erase (fe), page
# write (fa) or controller-memory write (fd 00 01) sent.
expect_refused() {
  # The refusal, and under it the line that blames no command.
  [[ $(tail -n +2 "$scratch/out.txt" | grep -v -e '^\* ' -e '^Drive E: ') == "$refusal"$'\n''Why: no command to the drive failed'* ]] ||
    fail "$1: expected only the refusal, saw: $(cat "$scratch/out.txt")"
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "$1: a command that changes the drive went out"
  fi
}

# A 0x163 runs on loaded code: listed with what it told without that code,
# never given stand-in code, and nothing sent that changes it (no erase, page
# write or controller-memory write).
warning="[Warning] Drive E: runs on code loaded from an ISP image, and none was loaded: the images of this run are generated stand-ins, and no stand-in code is loaded into a real drive."
expect_listed() {
  grep -qE '^\* 0 Drive Volume \[E\]: [0-9.]+MB ' "$scratch/out.txt" ||
    fail "$1: the drive is not listed: $(cat "$scratch/out.txt")"
  grep -qE '^Drive E: .*sdx, port [^,]+, serial [^,]+, controller 0x163, flash ID [0-9A-F]{10}$' \
    "$scratch/out.txt" || fail "$1: no identity line: $(cat "$scratch/out.txt")"
  grep -qF "$warning" "$scratch/out.txt" || fail "$1: no warning says why: $(cat "$scratch/out.txt")"
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "$1: a command that changes the drive went out"
  fi
}
expect_163_listed() { # extra args...
  run ctrl163_broken.json 0 0 "$@" scan
  expect_listed "a scan of a 0x163 $*"
  run ctrl163_broken.json 0 0 "$@" --json scan
  "$python" - "$scratch/out.txt" <<'PY' || fail "the document of a 0x163 $* does not list it with why"
import json, sys
document = json.load(open(sys.argv[1]))
drive = document["drives"][0]
assert drive["letter"] == "E" and drive["controllerId"] == "0x163", drive
assert drive["codeNotLoaded"] and drive["geometryValid"] is False, drive
assert drive["warnings"] and "source" in drive and "serial" in drive and "port" in drive, drive
PY
  # Backup takes what can be read without code, which is no flash area.
  run ctrl163_broken.json 0 1 "$@" backup
  if grep -qF "$refusal" "$scratch/out.txt"; then fail "backup of a 0x163 $* was refused"; fi
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "backup of a 0x163 $*: a command that changes the drive went out"
  fi
  run ctrl163_broken.json 0 1 "$@" --yes fix
  grep -qxF "$refusal" "$scratch/out.txt" || fail "fix of a 0x163 $*: no refusal"
  if [[ -e $scratch/c/ISP0_Before.bin ]]; then fail "fix of a 0x163 $* wrote a backup"; fi
  if grep -Eq '^E: (fe|fa|fd 00 01) ' "$scratch/trace.txt"; then
    fail "fix of a 0x163 $*: a command that changes the drive went out"
  fi
}

for command in fix destroy restore; do
  run ctrl161_broken.json 0 1 --images "$standins" --yes "$command"
  expect_refused "$command with a folder of stand-ins"
  if [[ -e $scratch/c/ISP0_Before.bin ]]; then fail "$command wrote a backup"; fi
done
expect_163_listed --images "$standins"
run ctrl161_broken.json 1 0 --images "$standins" --yes fix
grep -qxF "[SUCCESS] Update ISP code Success, please replug device to ensure it normal." \
  "$scratch/out.txt" || fail "the switch did not let the fix with a folder of stand-ins through"
rm -rf "$standins"

if [[ $("$program" --version | sed -n 2p) != "stand-in images" ]]; then
  echo "PASS (this build carries real images: the built-in stand-ins were not tried)"
  exit 0
fi
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
expect_163_listed

run ctrl161_broken.json 1 0 --yes fix
grep -qxF "[SUCCESS] Update ISP code Success, please replug device to ensure it normal." \
  "$scratch/out.txt" || fail "the switch did not let the fix through"
echo "PASS"
