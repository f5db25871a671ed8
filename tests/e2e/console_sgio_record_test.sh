#!/usr/bin/env bash
# Record, replay, export, for every ready-made drive, over the real SG_IO
# transport: the preload library answers a plain file from the drive.
#   1. scan and fix are recorded; each recording replayed in a fresh C:
#      folder gives the same stdout, ISP.log and files as the recorded run;
#   2. the scan's recording exported is a virtual drive that scans to the
#      same lines, takes a fix and then reports a healthy ISP;
#   3. a run killed halfway keeps every command it sent: its recording
#      replays no further than that and says so, and still exports.
#
#   console_sgio_record_test.sh <kestrune> <preload library> <drives folder> <scratch folder>
set -euo pipefail

program=$1
preload=$2
drives=$3
s=$4

# Vendor commands over SG_IO need root (or CAP_SYS_RAWIO).
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

rm -rf "$s"
mkdir -p "$s/t"
chmod 700 "$s/t"

fail() {
  echo "FAIL: $*"
  exit 1
}

# kestrune in C: folder $1, expecting exit $2; stdout to $1.out. The
# variables in `sgio` go to its environment.
sgio=()
run() { # c-folder expected-exit args...
  local c=$1 expected=$2
  shift 2
  mkdir -p "$c"
  local status=0
  env "${sgio[@]}" KESTRUNE_ALLOW_STANDIN_IMAGES=1 "$program" --c-drive "$c" --temp "$s/t" "$@" \
    >"$c.out" 2>"$c.err" </dev/null || status=$?
  [[ $status -eq $expected ]] || {
    cat "$c.out" "$c.err"
    fail "kestrune $* exited $status, expected $expected"
  }
}
# The same over SG_IO, the plain file $node answered from $drive.
run_sgio() { # c-folder expected-exit args...
  sgio=(LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$node" KESTRUNE_SGIO_DRIVE="$drive"
    KESTRUNE_SGIO_SAVE=exit)
  run "$@" --drive "E=$node"
  sgio=()
}
# What a run leaves in its C: folder, the backup records without their
# times and save ids, which no two runs share, and without what tells the
# replay's records from the stick's: each of the replay's names its
# recording, and each of its saves is a replay's.
# The line that names the drive names the stick's node, or the recording a
# replay reads.
unnamed() { sed -E 's/^(Drive [B-Z]: ).*(, port )/\1...\2/' "$1"; }
same_run() { # c-folder c-folder what
  cmp -s <(unnamed "$1.out") <(unnamed "$2.out") || {
    diff "$1.out" "$2.out" || true
    fail "$3: stdout differs"
  }
  local f
  for f in "$1"/*; do
    local name
    name=$(basename "$f")
    [[ -f $2/$name ]] || fail "$3: $name was not written"
    if [[ $name == kestrune-backups.json ]]; then
      # The run's and the replay's records agree but for what names the
      # run; each of the replay's saves and files names its recording.
      local verdict
      verdict=$(python3 - "$f" "$2/$name" <<'PY'
import json, re, sys
names = {"savedAt", "replayOf", "id", "save", "changeOf", "source", "recording",
         "recordingFile", "run"}
run, replay = (json.load(open(path)) for path in sys.argv[1:3])
def bare(doc):
    return {k: [{f: v for f, v in e.items() if f not in names} for e in doc[k]]
            for k in ("saves", "files")}
if bare(run) != bare(replay):
    print("differs")
elif any(s.get("source") != "replay" for s in replay["saves"]):
    print("a save of the replay is not marked as one")
elif any(not re.fullmatch("[0-9a-f]{64}", f.get("replayOf", "")) for f in replay["files"]):
    print("a record of the replay does not name its recording")
PY
      )
      [[ -z $verdict ]] || fail "$3: $name: $verdict"
    else
      cmp -s "$f" "$2/$name" || fail "$3: $name differs"
    fi
  done
  [[ $(ls "$1" | wc -l) -eq $(ls "$2" | wc -l) ]] || fail "$3: other files were written"
}

count=0
for source in "$drives"/*.json; do
  name=$(basename "$source" .json)
  d=$s/$name
  mkdir -p "$d"
  drive=$d/drive.json
  node=$d/sdx
  cp "$source" "$drive"
  : >"$node"
  for c in scan scan_replay fix fix_replay; do mkdir -p "$d/$c" && : >"$d/$c/ISP.log"; done

  run_sgio "$d/scan" 0 --record "$d/scan.krec" scan
  run "$d/scan_replay" 0 --drive "E=$d/scan.krec" scan
  same_run "$d/scan" "$d/scan_replay" "$name scan"

  run_sgio "$d/fix" 0 --record "$d/fix.krec" --yes fix
  grep -qF "[SUCCESS] Update ISP code Success" "$d/fix.out" || fail "$name: the fix failed"
  run "$d/fix_replay" 0 --drive "E=$d/fix.krec" --yes fix
  same_run "$d/fix" "$d/fix_replay" "$name fix"

  run "$d/export" 0 --drive "E=$d/scan.krec" export-drive "$d/exported.json"
  run "$d/exported_scan" 0 --drive "E=$d/exported.json" scan
  cmp -s <(unnamed "$d/scan.out") <(unnamed "$d/exported_scan.out") || {
    diff "$d/scan.out" "$d/exported_scan.out" || true
    fail "$name: the exported drive scans otherwise"
  }
  run "$d/exported_fix" 0 --drive "E=$d/exported.json" --yes fix
  grep -qF "[SUCCESS] Update ISP code Success" "$d/exported_fix.out" ||
    fail "$name: the exported drive was not repaired"
  run "$d/exported_after" 0 --drive "E=$d/exported.json" scan
  grep -qxF "[Check ISP] ISP is OK!" "$d/exported_after.out" ||
    fail "$name: the exported drive does not report the repair"
  count=$((count + 1))
done
[[ $count -gt 0 ]] || fail "no ready-made drive in $drives"

# A fix killed during its 1,100th command, inside the ISP write: the command
# is in the recording, its reply is not.
d=$s/killed
mkdir -p "$d"
drive=$d/drive.json
node=$d/sdx
sed 's/^{/{"faults": [{"overall": 1100, "action": "kill"}],/' "$drives/ctrl163_broken.json" >"$drive"
: >"$node"
run_sgio "$d/fix" 137 --record "$d/fix.krec" --yes fix
run "$d/replay" 2 --drive "E=$d/fix.krec" --yes fix
grep -qF "ends after command 1099 without its end marker: the recorded run did not finish (command 1100, E: " "$d/replay.err" ||
  fail "the replay of a killed run does not say where its recording ends"
run "$d/export" 0 --drive "E=$d/fix.krec" export-drive "$d/exported.json"
grep -qF "the drive is made of the 1099 commands it holds" "$d/export.err" ||
  fail "the export of a killed run does not say what it is made of"

echo "PASS: $count drives recorded, replayed and exported"
