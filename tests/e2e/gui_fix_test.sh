#!/usr/bin/env bash
# The Win32 program end to end under Wine and Xvfb: a simulated drive with a
# broken ISP is found, reported, fixed through the dialog and its boxes, and
# the program ends when its dialog is closed. A file-backed drive is then
# started again and must report a healthy ISP; destroyed in destroy mode, it
# must report a broken one on the next start.
#
#   gui_fix_test.sh WINE_RUN KESTRUNE_EXE WINGUI_EXE DRIVE WORK_DIR [SCREENSHOT.png]
#
# DRIVE is a virtual-drive file (copied into WORK_DIR first, so that its
# flash file lands there) or "default". The screenshot of the main dialog is
# written when a path is given.
set -uo pipefail

if [[ $# -lt 5 ]]; then
  echo "usage: $0 WINE_RUN KESTRUNE_EXE WINGUI_EXE DRIVE WORK_DIR [SCREENSHOT.png]" >&2
  exit 2
fi
wine_run=$1
kestrune=$2
wingui=$3
drive=$4
work=$5
screenshot=${6:-}
source "$(dirname "$0")/gui_common.sh"

rm -rf "$work"
mkdir -p "$work"
start_display

if [[ $drive == default ]]; then
  simulate=default
else
  cp "$drive" "$work/drive.json" || fail "cannot copy $drive"
  simulate=$(windows_path "$work/drive.json")
fi

# Logging is on only when the log exists at start-up.
mkdir -p "$drive_c"
rm -f "$drive_c"/ISP[0-9]_Before.bin "$drive_c"/ISP[0-9]_After.bin
: >"$drive_c/ISP.log"

# --- the broken drive is found and fixed ---
start_program "$simulate"
expect_verdict "ISP was borken!"
echo "$controls"
grep -Eq '^item 1003 0: \[E\]: [0-9]+\.[0-9]{2}MB ' <<<"$controls" ||
  fail "the drive list does not show drive E"
has_control "combo 1003 shown: 1 entries, selected 0" || fail "the drive is not selected"
has_control "button 1000 shown: Start Fix" || fail "Start Fix is not offered"
has_control "button 1010 hidden: Destory ISP" || fail "Destory ISP is shown"
has_control "button 1009 hidden: Check ISP" || fail "Check ISP is shown"
grep -q '^static 1006 hidden: ' <<<"$controls" || fail "the status label is shown"

if [[ -n $screenshot ]]; then
  gui capture "$main_caption" "$(windows_path "$work/main.bmp")" || fail "cannot capture the dialog"
  convert "$work/main.bmp" "$screenshot" || fail "cannot convert the screenshot"
fi

gui click "$main_caption" "Start Fix" || fail "cannot click Start Fix"
expect_box 60 "Update ISP Warning" "Kestrune" "ERROR" "Fail"
[[ $came == "Update ISP Warning" ]] || fail "Start Fix showed \"$came\": $(gui message "$came")"
answer_box "Update ISP Warning" "Are you sure to update new ISP code ?"

expect_box 600 "SUCCESS" "ERROR" "Fail" "Allocate Fail Warning"
[[ $came == "SUCCESS" ]] || fail "the update showed \"$came\": $(gui message "$came")"
answer_box "SUCCESS" "Update ISP code Success, please replug device to ensure it normal."

# The after-backups follow the box; a close request waits for them.
close_program

for name in ISP0_Before.bin ISP0_After.bin; do
  [[ -f $drive_c/$name ]] || fail "no backup $name in drive C:"
  size=$(stat -c %s "$drive_c/$name")
  [[ $size == 49152 ]] || fail "$name holds $size bytes, expected 49152"
done
cmp -s "$drive_c/ISP0_Before.bin" "$drive_c/ISP0_After.bin" &&
  fail "the ISP area did not change: the after-backup equals the before-backup"
log=$(tr -d '\r' <"$drive_c/ISP.log")
grep -qx 'Start' <<<"$log" || fail "the log lacks its Start line"
grep -qx 'Check Before Update CIS0 -> ok' <<<"$log" || fail "the log lacks the CIS0 check"
grep -q '^Update ISP File --> ' <<<"$log" || fail "the log lacks the update line"

# --- the flash written above now holds a good ISP ---
if [[ $drive != default ]]; then
  start_program "$simulate"
  expect_verdict "ISP is OK!"
  close_program
fi

# --- destroy mode: the other button, and the ISP made unusable ---
start_program "$simulate" -d
if [[ $drive != default ]]; then
  expect_verdict "ISP is OK!"
else
  expect_verdict "ISP was borken!"
fi
has_control "button 1010 shown: Destory ISP" || fail "destroy mode does not offer Destory ISP"
has_control "button 1000 hidden: Start Fix" || fail "destroy mode offers Start Fix"
gui click "$main_caption" "Destory ISP" || fail "cannot click Destory ISP"
expect_box 120 "Success" "ERROR" "Fail" "Allocate Fail Warning"
[[ $came == "Success" ]] || fail "Destory ISP showed \"$came\": $(gui message "$came")"
answer_box "Success" "Destory ISP Success"
close_program

if [[ $drive != default ]]; then
  start_program "$simulate"
  expect_verdict "ISP was borken!"
  close_program
fi

echo "1 passed, 0 failed"
