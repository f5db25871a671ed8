#!/usr/bin/env bash
# Two runs on one drive. The first holds it from its scan to its end (an
# interactive session waiting at its prompt); a fix started meanwhile leaves
# the drive out, says so on stderr, finds no device and writes nothing. Once
# the first run has ended, the drive is found again. Over a virtual-drive
# file and, as root, over the real SG_IO transport through the preload
# library (vendor commands over SG_IO need root).
#
#   two_runs_test.sh <kestrune> <preload library> <drive.json> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drive=$3
scratch=$4

rm -rf "$scratch"
mkdir -p "$scratch/c" "$scratch/t"
chmod 700 "$scratch/t"
cp "$drive" "$scratch/drive.json"
cp "$drive" "$scratch/sgio.json"
: >"$scratch/sdx"

holder=
cleanup() {
  if [[ -n $holder ]]; then kill "$holder" 2>/dev/null || true; fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

# two_runs <label> <drive path> [VAR=value...]: the environment is that of
# every run of the case.
two_runs() {
  local label=$1 target=$2
  shift 2
  local common=(--drive "E=$target" --c-drive "$scratch/c" --temp "$scratch/t")

  rm -f "$scratch/in" "$scratch/trace.txt"
  mkfifo "$scratch/in"
  env "$@" "$program" "${common[@]}" <"$scratch/in" >"$scratch/first.out" 2>"$scratch/first.err" &
  holder=$!
  # Kept open, the session's input makes it wait at its prompt.
  exec 3>"$scratch/in"
  local waited=0
  until grep -q '^\* 0 Drive Volume \[E\]' "$scratch/first.out"; do
    kill -0 "$holder" 2>/dev/null || fail "$label: the first run ended: $(cat "$scratch/first.err")"
    ((++waited < 600)) || fail "$label: the first run did not list the drive"
    sleep 0.1
  done

  local status=0
  env "$@" "$program" "${common[@]}" --trace "$scratch/trace.txt" --yes fix \
    >"$scratch/second.out" 2>"$scratch/second.err" </dev/null || status=$?
  [[ $status -eq 7 ]] || fail "$label: the second run exited $status, expected 7: $(cat "$scratch/second.out")"
  grep -qxF "[Kestrune] Drive E: ($target) is held by another run of kestrune; nothing was done to it." \
    "$scratch/second.out" || fail "$label: the held drive is not named: $(cat "$scratch/second.out")"
  grep -qxF "kestrune: E: ($target) is held by another run of kestrune; left out" \
    "$scratch/second.err" || fail "$label: the drive left out is not named: $(cat "$scratch/second.err")"
  if [[ -s $scratch/trace.txt ]]; then fail "$label: the second run sent commands to the drive"; fi

  echo quit >&3
  exec 3>&-
  wait "$holder" || fail "$label: the first run failed"
  holder=

  status=0
  env "$@" "$program" "${common[@]}" scan >"$scratch/third.out" 2>&1 </dev/null || status=$?
  [[ $status -eq 0 ]] || fail "$label: once free, the drive was not found (exit $status)"
  grep -qxF "[Check ISP] ISP was borken!" "$scratch/third.out" || fail "$label: no verdict"
  echo "$label: PASS"
}

two_runs "virtual-drive file" "$scratch/drive.json" KESTRUNE_TWO_RUNS=1

if [[ $(id -u) -eq 0 ]]; then
  # The build's images are stand-ins; the switch lets them reach the
  # simulated drive behind the preload library.
  two_runs "SG_IO" "$scratch/sdx" LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$scratch/sdx" \
    KESTRUNE_SGIO_DRIVE="$scratch/sgio.json" KESTRUNE_ALLOW_STANDIN_IMAGES=1
else
  echo "SG_IO: skipped, needs root for SG_IO vendor commands"
fi
echo "PASS"
