#!/usr/bin/env bash
# Records the kept recordings anew: a scan of one ready-made drive of each
# controller family. Run it when the program's commands change on purpose;
# the console tests replay these files and stop at the first command that
# differs.
#
#   tests/recordings/record.sh <kestrune>
set -euo pipefail

program=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-recordings.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/c" "$scratch/t"
chmod 700 "$scratch/t"

for drive in ctrl161_healthy ctrl163_healthy ctrl190_healthy; do
  cp "$here/../drives/$drive.json" "$scratch/$drive.json"
  "$program" --c-drive "$scratch/c" --temp "$scratch/t" --drive "E=$scratch/$drive.json" \
    --record "$here/$drive.scan.krec" --record-overwrite scan
done
