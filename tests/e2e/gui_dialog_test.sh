#!/usr/bin/env bash
# The main dialog's own behaviour under Wine and Xvfb: start-up without any
# drive or without its images, the About box from the system menu, and the
# command line as the C runtime splits it choosing between Start Fix and
# Destory ISP.
#
#   gui_dialog_test.sh WINE_RUN KESTRUNE_EXE WINGUI_EXE WORK_DIR
set -uo pipefail

if [[ $# -lt 4 ]]; then
  echo "usage: $0 WINE_RUN KESTRUNE_EXE WINGUI_EXE WORK_DIR" >&2
  exit 2
fi
wine_run=$1
kestrune=$2
wingui=$3
work=$4
source "$(dirname "$0")/gui_common.sh"

rm -rf "$work"
mkdir -p "$work"
start_display

# --- no drive answers: one box, then the dialog closes by itself ---
# Without KESTRUNE_SIMULATE the real volumes are scanned, and under Wine
# none of them is a drive of the family.
start_program ""
expect_box 120 "Kestrune" "ERROR" "Check ISP"
[[ $came == "Kestrune" ]] || fail "a start-up without drives showed \"$came\": $(gui message "$came")"
answer_box "Kestrune" "Can't find any device !"
gui gone "$main_caption" 60 || fail "the main dialog stayed open without a drive"
wait_for_exit

# --- a virtual drive that cannot be loaded is reported, and nothing runs ---
start_program "$(windows_path "$work/missing.json")"
expect_box 60 "Kestrune" "Check ISP"
[[ $came == "Kestrune" ]] || fail "a missing virtual drive showed \"$came\""
text=$(gui message "Kestrune" | tr -d '\r')
[[ $text == "Cannot load the virtual drive: "* ]] || fail "a missing virtual drive says \"$text\""
gui click "Kestrune" OK || fail "cannot answer the box"
for _ in $(seq 300); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
wait "$program_pid"
status=$?
program_pid=
[[ $status == 1 ]] || fail "a missing virtual drive ended with status $status, expected 1"

# --- an image folder without the images: one Fail box, and no scan ---
KESTRUNE_IMAGES=$(windows_path "$work/no-images")
export KESTRUNE_IMAGES
start_program default
expect_box 60 "Fail" "Check ISP" "Kestrune"
[[ $came == "Fail" ]] || fail "an empty image folder showed \"$came\""
answer_box "Fail" "The image folder <$KESTRUNE_IMAGES> holds none of the 31 ISP images."
gui gone "$main_caption" 60 || fail "the main dialog stayed open without its images"
wait_for_exit
unset KESTRUNE_IMAGES

# --- /d selects destroy mode; the About item opens the About box ---
start_program default /d
expect_verdict "ISP was borken!"
has_control "button 1010 shown: Destory ISP" || fail "/d does not offer Destory ISP"
has_control "button 1000 hidden: Start Fix" || fail "/d offers Start Fix"
gui syscommand "$main_caption" 0x10 || fail "cannot send the About command"
gui wait "About Kestrune" 30 || fail "the About box did not open"
about=$(gui text "About Kestrune" | tr -d '\r')
grep -qxF "static -1 shown: Kestrune Version 1.0.0.3" <<<"$about" || fail "About box: $about"
# The second line says which images the program writes.
grep -Eqx "static 1011 shown: (stand-in images|images: [0-9a-f]{12})" <<<"$about" ||
  fail "the About box does not name the images: $about"
grep -qxF "button 1 shown: OK" <<<"$about" || fail "the About box has no OK button"
gui click "About Kestrune" OK || fail "cannot close the About box"
gui gone "About Kestrune" 30 || fail "the About box stayed open"
read_controls
has_control "button 1010 shown: Destory ISP" || fail "the dialog changed behind the About box"
close_program

# --- one argument "x /d" (quoted): its second character is a blank ---
start_program default "x /d"
expect_verdict "ISP was borken!"
has_control "button 1000 shown: Start Fix" || fail "\"x /d\" was split into two arguments"
has_control "button 1010 hidden: Destory ISP" || fail "\"x /d\" selected destroy mode"
close_program

echo "1 passed, 0 failed"
