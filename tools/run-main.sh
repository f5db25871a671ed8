#!/usr/bin/env bash
# Sets the machine up with the console profile (no Wine, no MinGW), builds
# only the console program and repairs the built-in simulated drive with it,
# then scans the drive again:
#   kestrune --simulate --yes fix
#   kestrune --simulate scan
# and checks that the second run finds the ISP healthy. Both runs use one
# scratch folder as drive C: and as the work folder, so the backups
# (ISP0_Before.bin, ...), each run's log (<run>.ISP.log) and output, the
# built-in drive's flash and the extracted images end up there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${KESTRUNE_OUT:-$root/out}
jobs=${KESTRUNE_JOBS:-$(nproc)}
build_dir=$out/native

"$root/tools/setup.sh" console
cd "$root"
cmake --preset native -B "$build_dir"

if ! cmake --build "$build_dir" --target help | grep -Eq '^kestrune(:| )'; then
  echo "run-main: the build has no 'kestrune' target yet (app/console defines it);" \
    "nothing to run" >&2
  exit 1
fi
cmake --build "$build_dir" -j"$jobs" --target kestrune
# The man page too, so that the program's reference can be read at once.
man_page=
# (A build without scdoc has no such target; the run goes on without it.)
if cmake --build "$build_dir" --target kestrune_man_page >/dev/null 2>&1; then
  man_page=$build_dir/docs/kestrune.1
fi

program=$(find "$build_dir" -path '*/CMakeFiles' -prune -o -type f -name kestrune -perm -u+x -print |
  head -n 1)
if [[ -z $program ]]; then
  echo "run-main: built the kestrune target but found no program named kestrune" >&2
  exit 1
fi

scratch=$out/run-main
rm -rf "$scratch"
mkdir -p "$scratch"

run() { # folder, log name, then the program's arguments
  local folder=$1 log=$2
  shift 2
  mkdir -p "$folder"
  # The program writes its log only when c:\ISP.log exists at start, and
  # starts it afresh each run; each run's log is kept under its own name.
  : >"$folder/ISP.log"
  echo
  echo "\$ kestrune $*"
  "$program" --c-drive "$folder" --temp "$folder" "$@" | tee "$folder/$log.out"
  mv "$folder/ISP.log" "$folder/$log.ISP.log"
}

# The scratch folder starts empty, so the built-in drive starts broken; it
# keeps its flash in the C: folder, so the second run sees the repaired ISP.
run "$scratch" simulate-fix --simulate --yes fix
run "$scratch" simulate-scan --simulate scan

if ! grep -qF '[Check ISP] ISP is OK!' "$scratch/simulate-scan.out"; then
  echo "run-main: after the repair the built-in drive's ISP is still not healthy" >&2
  exit 1
fi

echo
echo "run-main: done; backups, logs and extracted images are in $scratch:"
ls "$scratch"
if [[ -n $man_page && -f $man_page ]]; then
  echo "run-main: the manual: man -l $man_page"
fi
