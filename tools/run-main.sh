#!/usr/bin/env bash
# Sets the machine up, builds the console program and repairs the built-in
# simulated drive with it, then scans the drive again:
#   kestrune --simulate --yes fix
#   kestrune --simulate scan
# Both run with one scratch folder as drive C: and as the temporary folder,
# so the backups (ISP0_Before.bin, ISP0_After.bin), the log ISP.log and the
# extracted images end up there for a look afterwards.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${KESTRUNE_OUT:-$root/out}
jobs=${KESTRUNE_JOBS:-$(nproc)}
build_dir=$out/native

"$root/tools/setup.sh"
cd "$root"
cmake --preset native -B "$build_dir"

if ! cmake --build "$build_dir" --target help | grep -Eq '^kestrune(:| )'; then
  echo "run-main: the build has no 'kestrune' target yet (app/console defines it);" \
    "nothing to run" >&2
  exit 1
fi
cmake --build "$build_dir" -j"$jobs" --target kestrune

program=$(find "$build_dir" -path '*/CMakeFiles' -prune -o -type f -name kestrune -perm -u+x -print |
  head -n 1)
if [[ -z $program ]]; then
  echo "run-main: built the kestrune target but found no program named kestrune" >&2
  exit 1
fi

scratch=$out/run-main
rm -rf "$scratch"
mkdir -p "$scratch"
# The program writes its log only when c:\ISP.log exists at start.
: >"$scratch/ISP.log"

run() {
  echo
  echo "\$ kestrune $*"
  "$program" --c-drive "$scratch" --temp "$scratch" "$@"
}
run --simulate --yes fix
run --simulate scan

echo
echo "run-main: scratch folder $scratch:"
ls -l "$scratch"
