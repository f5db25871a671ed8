# Shared by the GUI tests: a private Xvfb display, the program under Wine,
# and wingui to read and answer its windows. Source it after setting
# wine_run, kestrune, wingui and work.

main_caption="Kestrune v1.0.0.7"

# A prefix of its own: the log and the backups land in its drive C:.
export KESTRUNE_WINEPREFIX=${KESTRUNE_GUI_WINEPREFIX:-$(dirname "$kestrune")/gui-wineprefix}
drive_c=$KESTRUNE_WINEPREFIX/drive_c

wineserver=$(command -v wineserver || true)
for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  [[ -z $wineserver && -x $candidate ]] && wineserver=$candidate
done

xvfb_pid=
program_pid=
cleanup() {
  if [[ -n $program_pid ]] && kill -0 "$program_pid" 2>/dev/null; then
    kill "$program_pid" 2>/dev/null
    wait "$program_pid" 2>/dev/null
  fi
  # Wine's desktop process stays bound to this display while the prefix's
  # server lingers; a later run on a new display would get dead windows.
  if [[ -n $wineserver ]]; then
    WINEPREFIX=$KESTRUNE_WINEPREFIX timeout 60 "$wineserver" -w
  fi
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
trap cleanup EXIT

gui() { "$wine_run" "$wingui" "$@"; }

fail() {
  echo "FAIL: $*" >&2
  echo "--- windows on the screen:" >&2
  gui list >&2
  exit 1
}

# Windows spelling of a host path: Wine's drive Z: is the root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# A private Xvfb; DISPLAY names it.
start_xvfb() {
  local n
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
}

# The display, and the prefix made ready for wingui and screenshots.
start_display() {
  start_xvfb
  # The first call creates the prefix.
  gui list >/dev/null || fail "wingui does not run under Wine"
  # Xvfb has no window manager: Wine draws the caption bars itself, so that
  # a screenshot shows the dialog as the user sees it.
  "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
    >/dev/null || fail "cannot set up the Wine display"
}

# start_program SIMULATE [arguments...]: SIMULATE is the value of
# KESTRUNE_SIMULATE, or "" for the real volumes.
start_program() {
  local simulate=$1
  shift
  if [[ -n $simulate ]]; then
    KESTRUNE_SIMULATE=$simulate "$wine_run" "$kestrune" "$@" &
  else
    env -u KESTRUNE_SIMULATE "$wine_run" "$kestrune" "$@" &
  fi
  program_pid=$!
}

# Waits for one of the captions; the one that came is in $came.
expect_box() {
  local seconds=$1
  shift
  came=$(gui any "$seconds" "$@" | tr -d '\r') || fail "none of [$*] appeared within ${seconds}s"
}

# The message box captioned $1 must say exactly $2.
expect_text() {
  local text
  text=$(gui message "$1" | tr -d '\r') || fail "cannot read the box \"$1\""
  [[ $text == "$2" ]] || fail "box \"$1\" says \"$text\", expected \"$2\""
}

# The box $1 with text $2, answered with OK.
answer_box() {
  expect_text "$1" "$2"
  gui click "$1" OK || fail "cannot answer the box \"$1\""
}

# The start-up verdict box must say $1; then the main dialog is up and its
# controls are in $controls.
expect_verdict() {
  expect_box 120 "Check ISP" "ERROR" "Kestrune"
  [[ $came == "Check ISP" ]] || fail "start-up showed \"$came\": $(gui message "$came")"
  answer_box "Check ISP" "$1"
  gui wait "$main_caption" 60 || fail "the main dialog did not appear"
  read_controls
}

read_controls() {
  controls=$(gui text "$main_caption" | tr -d '\r') || fail "cannot read the main dialog"
}

# has_control LINE: the main dialog's controls include that line exactly.
has_control() { grep -qxF "$1" <<<"$controls"; }

wait_for_exit() {
  for _ in $(seq 300); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$program_pid" 2>/dev/null && fail "the program is still running after its dialog closed"
  wait "$program_pid"
  local status=$?
  program_pid=
  [[ $status == 0 ]] || fail "the program ended with status $status"
}

close_program() {
  gui close "$main_caption" || fail "cannot close the main dialog"
  gui gone "$main_caption" 120 || fail "the main dialog did not close"
  wait_for_exit
}
