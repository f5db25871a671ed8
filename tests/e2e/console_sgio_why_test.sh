#!/usr/bin/env bash
# Why a write failed, through the real SG_IO transport: the preload library
# answers from a broken simulated drive whose first page write fails, once
# with CHECK CONDITION and sense MEDIUM ERROR / write error, once in
# transport. The ERROR box is followed by the line that says what the drive
# answered, the --json document carries it under the box's message, and
# ISP.log gets the same line.
#
#   console_sgio_why_test.sh <kestrune> <preload library> <drive.json> <scratch folder> <python3>
set -euo pipefail

program=$1
preload=$2
drive=$3
scratch=$4
python=$5

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root for SG_IO vendor commands"
  exit 77
fi

fail() {
  echo "FAIL: $*"
  exit 1
}

# One case: the fault of the first page write, and the line expected.
check_case() { # name fault-json why-line outcome
  local name=$1 fault=$2 why=$3 outcome=$4
  local s="$scratch/$name"
  rm -rf "$s"
  mkdir -p "$s/c" "$s/c2" "$s/t"
  # The fault plan goes in front of the drive's own keys.
  { printf '{"faults": [%s],' "$fault"; tail -c +2 "$drive"; } >"$s/drive.json"
  : >"$s/sdx"
  : >"$s/c/ISP.log"
  local status=0
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/sdx" KESTRUNE_SGIO_DRIVE="$s/drive.json" \
    KESTRUNE_SGIO_SAVE=exit KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
    "$program" --drive "E=$s/sdx" --c-drive "$s/c" --temp "$s/t" --yes fix \
    >"$s/out.txt" 2>"$s/err.txt" </dev/null || status=$?
  [[ $status -eq 1 ]] || { cat "$s/out.txt" "$s/err.txt"; fail "$name: fix exited $status, expected 1"; }
  # The box as the design has it, and the line right under it.
  grep -A1 -xF "[ERROR] Write ISP code to flash fail" "$s/out.txt" | tail -n 1 >"$s/why.txt"
  [[ $(cat "$s/why.txt") == "$why" ]] ||
    { cat "$s/out.txt"; fail "$name: under the box: $(cat "$s/why.txt"), expected: $why"; }
  grep -qF -- "$why" "$s/c/ISP.log" || fail "$name: ISP.log lacks the line"

  : >"$s/sdx"
  cp "$s/drive.json" "$s/drive2.json"
  status=0
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/sdx" KESTRUNE_SGIO_DRIVE="$s/drive2.json" \
    KESTRUNE_SGIO_SAVE=exit KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
    "$program" --drive "E=$s/sdx" --c-drive "$s/c2" --temp "$s/t" --yes --json fix \
    >"$s/doc.json" 2>"$s/err2.txt" </dev/null || status=$?
  [[ $status -eq 1 ]] || { cat "$s/err2.txt"; fail "$name: --json fix exited $status"; }
  "$python" - "$s/doc.json" "$why" "$outcome" <<'PY' || fail "$name: the JSON document"
import json, sys
doc = json.load(open(sys.argv[1]))
box = [m for m in doc["messages"] if m["text"] == "Write ISP code to flash fail"]
assert len(box) == 1, doc["messages"]
why = box[0]["why"]
assert why["line"] == sys.argv[2], why
assert why["command"] == "flash page write (FA)" and why["opcode"] == 0xFA, why
assert why["outcome"] == sys.argv[3], why
if sys.argv[3] == "scsi status":
    assert (why["scsiStatus"], why["senseKey"], why["asc"], why["ascq"]) == (2, 3, 0x0C, 0), why
    assert why["senseKeyName"] == "MEDIUM ERROR" and why["meaning"] == "write error", why
else:
    assert why["scsiStatus"] is None and why["senseKey"] is None, why
# No other box of the run carries a cause.
assert all("why" not in m for m in doc["messages"] if m is not box[0]), doc["messages"]
PY
  echo "ok: $name"
}

check_case check '{"opcode": "0xFA", "action": "check", "sense": "3/0c/00"}' \
  "Why: flash page write (FA) answered CHECK CONDITION, sense key 0x3 MEDIUM ERROR, ASC/ASCQ 0c/00 write error, residual 65536 of 65536 bytes" \
  "scsi status"
check_case transport '{"opcode": "0xFA", "action": "refuse"}' \
  "Why: flash page write (FA) failed in transport (host status 0x07, driver status 0x00)" \
  "transport error"
echo "PASS"
