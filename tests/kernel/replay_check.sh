#!/usr/bin/env bash
# A recording made through a USB stick in the kernel stage's guest, replayed
# here outside it: the replay's scan shows what the guest's scan showed.
#
#   replay_check.sh <kestrune> <guest work folder>
set -euo pipefail

program=$1
work=$2
if [[ -f $work/results/SKIPPED ]]; then
  echo "skipped: $(cat "$work/results/SKIPPED")"
  exit 77
fi
recording=$work/files/usb.krec
shown=$work/files/usb_record.out
[[ -s $recording && -s $shown ]] || {
  echo "FAIL: the guest sent out no recording (case usb_record)"
  exit 1
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/c" "$scratch/t"
status=0
"$program" --drive "E=$recording" --c-drive "$scratch/c" --temp "$scratch/t" scan \
  >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null || status=$?
# The line that names the drive names the stick's node, port and serial in
# the guest, and the recording in the replay; the rest of it is compared.
unnamed() { sed 's/^\(Drive [B-Z]: \).*\(, controller \)/\1...\2/' "$1"; }
if [[ $status -ne 0 ]] || ! cmp -s <(unnamed "$shown") <(unnamed "$scratch/out.txt"); then
  echo "FAIL: the replay (exit $status) differs from the scan in the guest"
  diff "$shown" "$scratch/out.txt" || true
  cat "$scratch/err.txt"
  exit 1
fi
echo "the guest's recording ($(stat -c %s "$recording") bytes) replays as the guest's scan ran"
