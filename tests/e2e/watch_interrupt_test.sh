#!/usr/bin/env bash
# An interrupt ends a watch as its way out, not as a crash: the watch says
# so, and its last word is the summary document of the drives it saw (none
# here), with the exit code of no drive found. The interrupt is sent once
# the watch has said that it watches, never after a while.
#
#   watch_interrupt_test.sh <kestrune> <scratch folder>
set -euo pipefail

program=$1
s=$2

if ! command -v umockdev-wrapper >/dev/null; then
  echo "skipped: no umockdev-wrapper"
  exit 77
fi

rm -rf "$s"
mkdir -p "$s/c" "$s/t"
chmod 700 "$s/t"
fail() {
  cat "$s/out.txt" "$s/err.txt"
  echo "FAIL: $*"
  exit 1
}
# umockdev's empty testbed stands for the host's udev, which a container
# may not have.
umockdev-wrapper "$program" --c-drive "$s/c" --temp "$s/t" --json watch scan \
  >"$s/out.txt" 2>"$s/err.txt" </dev/null &
pid=$!
# A bound only for a watch that never says it watches.
for ((waited = 0; ; waited++)); do
  grep -qxF "watching for USB drives; an interrupt ends the watch" "$s/err.txt" && break
  kill -0 "$pid" 2>/dev/null || fail "the watch ended before it watched"
  ((waited < 1200)) || fail "the watch never said it watches"
  sleep 0.05
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?

[[ $status -eq 3 ]] || fail "exit $status, expected 3 (no drive seen)"
grep -qxF "interrupt received; the watch ends once the drives under way are done" "$s/err.txt" ||
  fail "the interrupt was not told as the watch's end"
[[ $(wc -l <"$s/out.txt") -eq 1 ]] || fail "stdout holds more than the summary line"
python3 - "$s/out.txt" <<'PY' || fail "the summary document is not as expected"
import json, sys
d = json.loads(open(sys.argv[1]).read())
assert d["watch"] == "summary" and d["drives"] == [] and d["exitCode"] == 3, d
PY
echo "PASS"
