#!/usr/bin/env bash
# The Win32 program end to end under Wine and Xvfb: a simulated drive with a
# broken ISP is found, reported, fixed through the dialog and its boxes, and
# the program ends when its dialog is closed. A file-backed drive is then
# started again and must report a healthy ISP.
#
#   gui_fix_test.sh WINE_RUN KESTRUNE_EXE WINGUI_EXE DRIVE WORK_DIR [SCREENSHOT.png]
#
# DRIVE is a virtual-drive file (copied into WORK_DIR first, so its flash
# file lands there) or "default". The screenshot of the main dialog is
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

main_caption="Kestrune v1.0.0.7"
rm -rf "$work"
mkdir -p "$work"

# A prefix of its own: the log and the backups land in its drive C:.
export KESTRUNE_WINEPREFIX=${KESTRUNE_GUI_WINEPREFIX:-$(dirname "$kestrune")/gui-wineprefix}
drive_c=$KESTRUNE_WINEPREFIX/drive_c

xvfb_pid=
program_pid=
cleanup() {
  if [[ -n $program_pid ]] && kill -0 "$program_pid" 2>/dev/null; then
    kill "$program_pid" 2>/dev/null
    wait "$program_pid" 2>/dev/null
  fi
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- windows on the screen:" >&2
  gui list >&2
  exit 1
}

gui() { "$wine_run" "$wingui" "$@"; }

# One display for the program and the client.
for n in $(seq 150 199); do
  [[ -e /tmp/.X$n-lock ]] && continue
  Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [[ -S /tmp/.X11-unix/X$n ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -S /tmp/.X11-unix/X$n ]] && kill -0 "$xvfb_pid" 2>/dev/null; then
    export DISPLAY=:$n
    break
  fi
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=
done
[[ -n ${DISPLAY:-} && -n $xvfb_pid ]] || { echo "FAIL: could not start Xvfb" >&2; exit 1; }

# The first call creates the prefix.
gui list >/dev/null || fail "wingui does not run under Wine"
# Xvfb has no window manager: Wine draws the caption bars itself, so that
# the screenshot shows the dialog as the user sees it.
"$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null ||
  fail "cannot set up the Wine display"

# Windows spelling of a host path: Wine's drive Z: is the root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

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

start_program() {
  KESTRUNE_SIMULATE=$simulate "$wine_run" "$kestrune" &
  program_pid=$!
}

# Waits for one of the captions; the one that came is in $came.
expect_box() {
  local seconds=$1
  shift
  came=$(gui any "$seconds" "$@" | tr -d '\r') || fail "none of [$*] appeared within ${seconds}s"
}

# The message box text must be exactly $2.
expect_text() {
  local text
  text=$(gui message "$1" | tr -d '\r') || fail "cannot read the box \"$1\""
  [[ $text == "$2" ]] || fail "box \"$1\" says \"$text\", expected \"$2\""
}

wait_for_exit() {
  local pid=$1
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "the program is still running after its dialog closed"
  wait "$pid"
  local status=$?
  program_pid=
  [[ $status == 0 ]] || fail "the program ended with status $status"
}

# --- first run: the broken drive is found and fixed ---
start_program
expect_box 120 "Check ISP" "ERROR" "Kestrune"
[[ $came == "Check ISP" ]] || fail "start-up showed \"$came\": $(gui message "$came")"
expect_text "Check ISP" "ISP was borken!"
gui click "Check ISP" OK || fail "cannot answer the ISP box"

gui wait "$main_caption" 60 || fail "the main dialog did not appear"
controls=$(gui text "$main_caption" | tr -d '\r') || fail "cannot read the main dialog"
echo "$controls"
grep -Eq '^item 1003 0: \[E\]: [0-9]+\.[0-9]{2}MB ' <<<"$controls" ||
  fail "the drive list does not show drive E"
grep -q '^button 1000 shown: Start Fix$' <<<"$controls" || fail "Start Fix is not offered"
grep -q '^button 1010 hidden: Destory ISP$' <<<"$controls" || fail "Destory ISP is shown"
grep -q '^button 1009 hidden: Check ISP$' <<<"$controls" || fail "Check ISP is shown"
grep -q '^static 1006 hidden: ' <<<"$controls" || fail "the status label is shown"

if [[ -n $screenshot ]]; then
  gui capture "$main_caption" "$(windows_path "$work/main.bmp")" || fail "cannot capture the dialog"
  convert "$work/main.bmp" "$screenshot" || fail "cannot convert the screenshot"
fi

gui click "$main_caption" "Start Fix" || fail "cannot click Start Fix"
expect_box 60 "Update ISP Warning" "Kestrune" "ERROR" "Fail"
if [[ $came == "Kestrune" ]]; then
  fail "the drive's CIS was reported broken"
fi
[[ $came == "Update ISP Warning" ]] || fail "Start Fix showed \"$came\": $(gui message "$came")"
expect_text "Update ISP Warning" "Are you sure to update new ISP code ?"
gui click "Update ISP Warning" OK || fail "cannot confirm the update"

expect_box 600 "SUCCESS" "ERROR" "Fail" "Allocate Fail Warning"
[[ $came == "SUCCESS" ]] || fail "the update showed \"$came\": $(gui message "$came")"
expect_text "SUCCESS" "Update ISP code Success, please replug device to ensure it normal."
gui click "SUCCESS" OK || fail "cannot close the success box"

# The after-backups follow the box; the close request waits for them.
gui close "$main_caption" || fail "cannot close the main dialog"
gui gone "$main_caption" 60 || fail "the main dialog did not close"
wait_for_exit "$program_pid"

for name in ISP0_Before.bin ISP0_After.bin; do
  [[ -f $drive_c/$name ]] || fail "no backup $name in drive C:"
  size=$(stat -c %s "$drive_c/$name")
  [[ $size == 49152 ]] || fail "$name holds $size bytes, expected 49152"
done
cmp -s "$drive_c/ISP0_Before.bin" "$drive_c/ISP0_After.bin" &&
  fail "the ISP area did not change: the after-backup equals the before-backup"
log=$(tr -d '\r' <"$drive_c/ISP.log")
grep -q '^Start$' <<<"$log" || fail "the log does not start with Start"
grep -q '^Check Before Update CIS0 -> ok$' <<<"$log" || fail "the log lacks the CIS0 check"
grep -q '^Update ISP File --> ' <<<"$log" || fail "the log lacks the update line"

# --- second run: the flash written by the first run now holds a good ISP ---
if [[ $drive != default ]]; then
  start_program
  expect_box 120 "Check ISP" "ERROR" "Kestrune"
  [[ $came == "Check ISP" ]] || fail "second start-up showed \"$came\": $(gui message "$came")"
  expect_text "Check ISP" "ISP is OK!"
  gui click "Check ISP" OK || fail "cannot answer the ISP box"
  gui wait "$main_caption" 60 || fail "the main dialog did not appear again"
  gui close "$main_caption" || fail "cannot close the main dialog"
  gui gone "$main_caption" 120 || fail "the main dialog did not close"
  wait_for_exit "$program_pid"
fi

echo "1 passed, 0 failed"
