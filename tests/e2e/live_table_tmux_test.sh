#!/usr/bin/env bash
# The live table through a real terminal: tmux runs fix --all over four
# simulated drives on the wall clock; the pane, captured as the run goes,
# must show one row per drive, bars that fill while the drives work, and
# each drive's outcome in its row at the end, with no row drawn twice.
#
#   live_table_tmux_test.sh <kestrune> <drives folder> <scratch folder>
set -euo pipefail

program=$1
drives=$2
s=$3

if ! command -v tmux >/dev/null; then
  echo "skipped: no tmux"
  exit 77
fi

rm -rf "$s"
mkdir -p "$s/c" "$s/t" "$s/panes"
for d in e f g h; do cp "$drives/ctrl163_broken.json" "$s/$d.json"; done
server=kestrune-live-$$
cleanup() { tmux -L "$server" kill-server 2>/dev/null || true; }
trap cleanup EXIT

# The pane stays open after the run, so that its last screen can be read.
tmux -L "$server" new-session -d -x 110 -y 30 \
  "env KESTRUNE_SIM_REALTIME=1 '$program' --c-drive '$s/c' --temp '$s/t' \
     --drive 'E=$s/e.json' --drive 'F=$s/f.json' --drive 'G=$s/g.json' --drive 'H=$s/h.json' \
     --all --yes fix; echo \$? >'$s/exit'; sleep 600"

n=0
while [[ ! -e $s/exit ]] && ((n < 600)); do
  tmux -L "$server" capture-pane -p >"$s/panes/$(printf %04d $n)" || true
  sleep 0.1
  n=$((n + 1))
done
sleep 0.3
tmux -L "$server" capture-pane -p >"$s/final"

fail() {
  echo "--- final pane"
  cat "$s/final"
  echo "FAIL: $*"
  exit 1
}
[[ -e $s/exit ]] || fail "the run did not end"
[[ $(cat "$s/exit") -eq 0 ]] || fail "exit $(cat "$s/exit")"

# The table's rows carry a bar; the summary below it carries none.
for d in E F G H; do
  rows=$(grep -c "^$d: .*\[" "$s/final" || true)
  [[ $rows -eq 1 ]] || fail "drive $d has $rows rows in the table"
  grep "^$d: .*\[" "$s/final" | grep -q '\[#*\] .* success$' || fail "drive $d ends without success"
  grep "^$d: .*\[" "$s/final" | grep -q '\[#\+\]' || fail "the bar of $d is not full"
done
# While the drives worked, some pane showed a bar neither empty nor full,
# and later panes showed more of it filled.
partial=$(cat "$s"/panes/* | grep -o '\[#\+\.\+\]' | sort -u | wc -l)
((partial >= 2)) || fail "no bar was seen moving ($partial partial bars in $n panes)"
echo "PASS ($n panes, $partial partial bars)"
