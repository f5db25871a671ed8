#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine and returns its exit status.
#
#   tools/wine-run.sh [--gui] program.exe [arguments...]
#
# CTest uses this as the cross-compiling emulator of the win64 build. The Wine
# prefix lives in the build folder the program was built in (found by walking
# up to CMakeCache.txt), is created once, quietly, and is reused afterwards.
# Console programs need no display; with --gui (or KESTRUNE_WINE_GUI=1) and
# no DISPLAY, a private Xvfb is started for the run and stopped after it.
#
# Overrides: KESTRUNE_WINE (the loader), KESTRUNE_WINEPREFIX (the prefix).
set -uo pipefail

gui=${KESTRUNE_WINE_GUI:-0}
if [[ ${1:-} == --gui ]]; then
  gui=1
  shift
fi
if [[ $# -lt 1 ]]; then
  echo "usage: $0 [--gui] program.exe [arguments...]" >&2
  exit 2
fi
program=$1
shift

wine=${KESTRUNE_WINE:-}
if [[ -z $wine ]]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [[ -n $candidate && -x $candidate ]]; then
      wine=$candidate
      break
    fi
  done
fi
if [[ -z $wine ]]; then
  echo "wine-run: no Wine found (install wine64, or run tools/setup.sh)" >&2
  exit 127
fi
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || true)

if [[ -z ${KESTRUNE_WINEPREFIX:-} ]]; then
  dir=$(cd "$(dirname "$program")" 2>/dev/null && pwd -P) || dir=
  while [[ -n $dir && $dir != / && ! -f $dir/CMakeCache.txt ]]; do
    dir=$(dirname "$dir")
  done
  if [[ -n $dir && -f $dir/CMakeCache.txt ]]; then
    KESTRUNE_WINEPREFIX=$dir/wineprefix
  else
    KESTRUNE_WINEPREFIX=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/kestrune/wineprefix
  fi
fi
# Wine refuses to start without a home folder; CI may not set HOME.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
export WINEPREFIX=$KESTRUNE_WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask questions in a window.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

# Create the prefix once, and start the Wine server and its background
# services with their output detached: a service that inherited this run's
# stdout would keep CTest waiting on the pipe until the server ends. The
# server outlives one program by a few seconds, so a run of many test
# programs starts it once; then it ends by itself. Parallel runs wait here
# for the first one.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [[ ! -f $WINEPREFIX/.kestrune-ready ]]; then
  if ! DISPLAY='' "$wine" wineboot --init </dev/null >"$WINEPREFIX.log" 2>&1; then
    echo "wine-run: creating the Wine prefix $WINEPREFIX failed; see $WINEPREFIX.log" >&2
    exit 125
  fi
  [[ -n $wineserver ]] && "$wineserver" -w
  touch "$WINEPREFIX/.kestrune-ready"
fi
if [[ -n $wineserver ]] &&
  "$wineserver" -p"${KESTRUNE_WINESERVER_LINGER:-10}" </dev/null >/dev/null 2>&1 9>&-; then
  "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
flock -u 9
exec 9>&-

xvfb_pid=
stop_xvfb() {
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}
if [[ $gui == 1 && -z ${DISPLAY:-} ]]; then
  trap stop_xvfb EXIT
  for n in $(seq 90 140); do
    [[ -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -nolisten tcp -screen 0 1280x1024x24 >/dev/null 2>&1 &
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
    stop_xvfb
    xvfb_pid=
  done
  if [[ -z ${DISPLAY:-} ]]; then
    echo "wine-run: could not start Xvfb" >&2
    exit 125
  fi
fi

"$wine" "$program" "$@"
status=$?
stop_xvfb
xvfb_pid=
exit $status
