#!/usr/bin/env bash
# The live table through a real terminal: tmux, 10 lines high, at 60 and at
# 40 columns, runs fix --all over twelve simulated drives on the wall clock.
# One drive sends the run an interrupt (SIGINT, as Ctrl-C does) once its
# erase is done, while others still work. Every pane captured as the run
# goes, and the whole history at its end, must show:
#   - no drive row twice, the interrupt's notice once, above the rows;
#   - rows under way before finished ones, and those left out counted as
#     what they are, and a finished drive never works again;
#   - the summary's lines narrower than the terminal, its header whole words.
# Then Ctrl-C, typed into the terminal while eight drives (and then one)
# stand at the first read of their After backups, their writes verified:
# the run says once, above the rows, that it stops; every row's last state
# and the summary say "repaired, pull it now"; the SUCCESS box a single
# drive earned is shown; the terminal's ^C shares no line with text. And a
# 0x190 restore interrupted in its closing restart still shows its box.
#
#   live_table_tmux_test.sh <kestrune> <drives folder> <scratch folder>
set -euo pipefail

program=$1
drives=$2
scratch=$3

if ! command -v tmux >/dev/null; then
  echo "skipped: no tmux"
  exit 77
fi

server=kestrune-live-$$
cleanup() { tmux -L "$server" kill-server 2>/dev/null || true; }
trap cleanup EXIT

run_at() { # columns
  local columns=$1
  local s=$scratch/$columns
  rm -rf "$s"
  mkdir -p "$s/c" "$s/t" "$s/panes"
  chmod 700 "$s/t"
  local args=() letters=(D E F G H I J K L M N O) i=0
  for file in $(ls "$drives"/*.json | sort | head -n 12); do
    local letter=${letters[$i]}
    # The slowest drive (large pages) interrupts the run after its first
    # erase, while its write holds the interrupt and others still work.
    python3 - "$file" "$s/$letter.json" "$letter" <<'PY'
import json, sys
drive = json.load(open(sys.argv[1]))
if "large_pages" in sys.argv[1]:
    drive["faults"] = [{"opcode": "0xFE", "nth": 1, "action": "interrupt"}]
json.dump(drive, open(sys.argv[2], "w"))
PY
    args+=(--drive "$letter=$s/$letter.json")
    i=$((i + 1))
  done
  grep -q '"faults"' "$s"/*.json || { echo "FAIL: no drive with large pages to interrupt"; exit 1; }

  # The pane stays open after the run, so that its last screen can be read.
  tmux -L "$server" new-session -d -s "w$columns" -x "$columns" -y 10 \
    "env KESTRUNE_SIM_REALTIME=1 '$program' --c-drive '$s/c' --temp '$s/t' ${args[*]} \
       --all --yes fix; echo \$? >'$s/exit'; sleep 600"
  tmux -L "$server" set-option -t "w$columns" history-limit 5000 >/dev/null

  local n=0 deadline=$((SECONDS + 120))
  while [[ ! -e $s/exit ]] && ((SECONDS < deadline)); do
    tmux -L "$server" capture-pane -t "w$columns" -p >"$s/panes/$(printf %05d $n)" || true
    n=$((n + 1))
    sleep 0.05
  done
  [[ -e $s/exit ]] || { echo "FAIL at $columns columns: the run did not end"; exit 1; }
  # The exit code is written after the summary: the whole history is there.
  tmux -L "$server" capture-pane -t "w$columns" -p -J -S - >"$s/history"
  tmux -L "$server" kill-session -t "w$columns"

  python3 - "$s" "$columns" "$(cat "$s/exit")" <<'PY'
import os, re, sys
s, columns, code = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
history = open(os.path.join(s, "history")).read().splitlines()
problems = []
def fail(text):
    problems.append(text)

notice = "interrupt received; finishing the write of the ISP so the drive stays usable"
if code != 130:
    fail(f"exit {code}, expected 130 after the interrupt")

# The summary: its header, then a row per drive.
head = [i for i, line in enumerate(history) if line.startswith("drive  ")]
if len(head) != 1:
    fail(f"{len(head)} summary headers")
    print("\n".join(history)); print("\n".join(problems)); sys.exit(1)
summary = {}
for line in history[head[0] + 1:]:
    m = re.match(r"^([D-O]): +\S", line)
    if m:
        summary[m.group(1)] = line
for line in history[head[0]:]:
    # -J joins what the terminal wrapped: a joined line is one that wrapped.
    if len(line) >= columns:
        fail(f"summary line of {len(line)} characters wraps at {columns}: {line!r}")
words = {"drive", "verdict", "before", "outcome", "copies", "verified", "backups", "seconds",
         "serial", "failure"}
for word in history[head[0]].split():
    if word not in words:
        fail(f"summary header word cut: {word!r}")
if sorted(summary) != list("DEFGHIJKLMNO"):
    fail(f"summary rows for {sorted(summary)}")
outcomes = {"success", "failed", "interrupted", "cancelled", "refused", "not", "ended",
            "repaired,"}
named = ["success", "failed", "interrupted", "cancelled", "refused", "not found", "ended",
         "repaired, pull it now"]
outcome = {}
for letter, line in summary.items():
    cells = re.split(r"\s{2,}", line)
    outcome[letter] = next((c for c in cells[1:] if any(c.startswith(n) for n in named)), None)
    if outcome[letter] is None:
        fail(f"no outcome in the summary row {line!r}")

# The notice once, above the last drawing of the table.
said = [i for i, line in enumerate(history) if line == notice]
if len(said) != 1:
    fail(f"the notice is in the history {len(said)} times")
row = re.compile(r"^([D-O]):(.*)$")
def table(lines):
    # The rows of the live table: the lines before the summary's header.
    out = []
    for line in lines:
        if line.startswith("drive  "):
            break
        out.append(line)
    return out
# The rows never scroll and are never left behind: the whole history holds
# each drive's row once, the table's last drawing.
everything = [row.match(l).group(1) for l in table(history) if row.match(l)]
if len(everything) != len(set(everything)):
    fail(f"the history holds a row twice: {everything}")
if said:
    last = table(history[said[0] + 1:])
    shown = [row.match(l).group(1) for l in last if row.match(l)]
    if len(shown) != len(set(shown)):
        fail(f"a row is drawn twice below the notice: {shown}")
    if not shown:
        fail("no table below the notice")
    # The last drawing tells all twelve, every one finished.
    counted = [l for l in last if l.startswith("... ")]
    m = re.match(r"^\.\.\. (\d+) finished$", counted[-1]) if counted else None
    if len(shown) + (int(m.group(1)) if m else 0) != 12:
        fail(f"the last drawing tells {shown} and {counted}, not 12 finished drives")
    for letter in shown:
        line = next(l for l in last if l.startswith(letter + ":"))
        if outcome.get(letter) and not line.rstrip().endswith(outcome[letter]):
            fail(f"the table's last row of {letter} ({line!r}) is not its outcome {outcome[letter]}")

# Every pane: no row twice; working rows first; those left out counted right.
panes = sorted(os.listdir(os.path.join(s, "panes")))
finished_seen = {}
left_lines = 0
for name in panes:
    lines = table(open(os.path.join(s, "panes", name)).read().splitlines())
    working, finished = [], []
    for line in lines:
        m = row.match(line)
        if not m:
            continue
        words_of = line.split()
        (finished if any(w in outcomes for w in words_of[1:]) else working).append(m.group(1))
    letters = working + finished
    if len(letters) != len(set(letters)):
        fail(f"pane {name}: a row drawn twice: {letters}\n" + "\n".join(lines))
    left = [l for l in lines if l.startswith("... ")]
    if left:
        left_lines += 1
        m = re.match(r"^\.\.\.(?: (\d+) working)?,?(?: (\d+) finished)?$", left[-1])
        if not m:
            fail(f"pane {name}: {left[-1]!r}")
            continue
        w, f = int(m.group(1) or 0), int(m.group(2) or 0)
        if w > 0 and finished:
            fail(f"pane {name}: {finished} finished are shown while {w} working are left out")
        # A drive is shown from its first step on: at most all twelve.
        if len(letters) + w + f > 12:
            fail(f"pane {name}: {len(letters)} rows and {w}+{f} left out are more than 12 drives")
    for letter in finished:
        finished_seen.setdefault(letter, name)
    for letter in working:
        if letter in finished_seen:
            fail(f"pane {name}: {letter} works again after it finished in {finished_seen[letter]}")
if left_lines == 0:
    fail(f"no pane of {len(panes)} showed the line that counts the rows left out")
if problems:
    print("\n".join(history))
    print("\n".join(f"FAIL at {columns} columns: {p}" for p in problems[:20]))
    sys.exit(1)
print(f"{columns} columns: {len(panes)} panes, {left_lines} with rows left out, "
      f"outcomes {sorted(set(outcome.values()), key=str)}")
PY
}

# Where the first read of a fresh ctrl163 fix's After backups falls, among
# its flash reads (0xF8), counted on a run without faults.
first_after_read() {
  local d=$scratch/dry
  rm -rf "$d"
  mkdir -p "$d/c" "$d/t"
  chmod 700 "$d/t"
  cp "$drives/$1" "$d/drive.json"
  "$program" --c-drive "$d/c" --temp "$d/t" --drive "E=$d/drive.json" --trace "$d/trace" \
    --yes $2 >/dev/null 2>&1 </dev/null || { echo "FAIL: the dry run failed" >&2; exit 1; }
  python3 - "$d/trace" <<'PY'
import sys
lines = open(sys.argv[1]).read().splitlines()
last = max(i for i, l in enumerate(lines) if l.startswith("E: fa "))
reads = 0
for i, l in enumerate(lines):
    if l.startswith("E: f8 "):
        reads += 1
        if i > last and "| in 49152 |" in l:
            print(reads)
            sys.exit(0)
sys.exit(1)
PY
}

# ctrl_c <name> <columns> <lines> <drives> <fault json> <command...>: the
# drives (letters D...) of ctrl163_broken with `fault`; Ctrl-C is typed
# once every drive stands paused, or with no pause in the fault the fault
# itself interrupts. Leaves the history in $scratch/<name>/history.
ctrl_c() {
  local name=$1 columns=$2 lines=$3 count=$4 fault=$5
  shift 5
  local s=$scratch/$name letters=(D E F G H I J K) args=()
  rm -rf "$s"
  mkdir -p "$s/c" "$s/t"
  chmod 700 "$s/t"
  for ((i = 0; i < count; i++)); do
    local letter=${letters[$i]}
    python3 - "$drives/${drive_file:-ctrl163_broken.json}" "$s/$letter.json" "$fault" <<'PY'
import json, sys
drive = json.load(open(sys.argv[1]))
drive["faults"] = [json.loads(sys.argv[3])]
json.dump(drive, open(sys.argv[2], "w"))
PY
    if [[ -n ${before:-} ]]; then
      cp "$drives/${drive_file:-ctrl163_broken.json}" "$s/plain.json"
      "$program" --c-drive "$s/c" --temp "$s/t" --drive "E=$s/plain.json" --yes $before \
        >/dev/null 2>&1 </dev/null || { echo "FAIL: $name: the run before failed"; exit 1; }
      cp "$s/plain.json.flash" "$s/$letter.json.flash"
    fi
    if ((count == 1)); then args+=(--drive "E=$s/$letter.json"); else args+=(--drive "$letter=$s/$letter.json"); fi
  done
  tmux -L "$server" new-session -d -s "$name" -x "$columns" -y "$lines" \
    "env KESTRUNE_SIM_REALTIME=1 '$program' --c-drive '$s/c' --temp '$s/t' ${args[*]} $*; \
       echo \$? >'$s/exit'; sleep 600"
  tmux -L "$server" set-option -t "$name" history-limit 5000 >/dev/null
  local deadline=$((SECONDS + 120))
  if [[ $fault == *pause* ]]; then
    # Typed once every drive stands at its command, never after a while.
    while (($(ls "$s"/*.paused 2>/dev/null | wc -l) < count)); do
      ((SECONDS < deadline)) || { echo "FAIL: $name: the drives never paused"; exit 1; }
      [[ ! -e $s/exit ]] || { echo "FAIL: $name: the run ended before the pause"; exit 1; }
      sleep 0.05
    done
    tmux -L "$server" send-keys -t "$name" C-c
  fi
  while [[ ! -e $s/exit ]]; do
    ((SECONDS < deadline)) || { echo "FAIL: $name: the run did not end"; exit 1; }
    sleep 0.05
  done
  tmux -L "$server" capture-pane -t "$name" -p -J -S - >"$s/history"
  tmux -L "$server" kill-session -t "$name"
  [[ $(cat "$s/exit") -eq 130 ]] || { cat "$s/history"; echo "FAIL: $name: exit $(cat "$s/exit")"; exit 1; }
}

# check <name> <columns> <drives> <row outcome or -> <box or ->
check() {
  python3 - "$scratch/$1/history" "$2" "$3" "$4" "$5" <<'PY'
import re, sys
history = [l.rstrip() for l in open(sys.argv[1]).read().splitlines()]
columns, count, outcome, box = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
letters = "DEFGHIJK"[:count] if count > 1 else "E"
stop = "interrupt received; the run stops now, each drive where it got"
problems = []
for line in history:
    if "^C" in line and line.strip() != "^C":
        problems.append(f"^C shares a line with text: {line!r}")
said = [i for i, l in enumerate(history) if l == stop]
if len(said) != 1:
    problems.append(f"the stop notice is there {len(said)} times")
head = [i for i, l in enumerate(history) if l.startswith("drive  ")]
end = head[0] if head else len(history)
if outcome != "-":
    rows = {}
    for i, line in enumerate(history[:end]):
        m = re.match(r"^([D-K]):", line)
        if m:
            rows.setdefault(m.group(1), []).append(i)
    for letter in letters:
        at = rows.get(letter, [])
        if len(at) != 1:
            problems.append(f"row {letter} is in the history {len(at)} times")
            continue
        if said and at[0] < said[0]:
            problems.append(f"row {letter} is above the notice")
        if not history[at[0]].endswith(outcome):
            problems.append(f"row {letter} ends as {history[at[0]]!r}, not {outcome!r}")
if count > 1 and outcome != "-":
    if len(head) != 1:
        problems.append(f"{len(head)} summary headers")
    else:
        summary = {l[0]: l for l in history[head[0] + 1:] if re.match(r"^[D-K]:", l)}
        for letter in letters:
            if outcome not in summary.get(letter, ""):
                problems.append(f"summary of {letter}: {summary.get(letter)!r}")
        for line in history[head[0]:]:
            if len(line) >= columns:
                problems.append(f"summary line wraps: {line!r}")
if box != "-":
    boxes = [i for i, l in enumerate(history) if l == box]
    if len(boxes) != 1:
        problems.append(f"the box is there {len(boxes)} times")
    elif said and boxes[0] > said[0]:
        problems.append("the box comes after the notice")
if problems:
    print("\n".join(history))
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
PY
  echo "$1: PASS"
}

run_at 60
run_at 40

after=$(first_after_read ctrl163_broken.json fix)
pause="{\"opcode\": \"0xF8\", \"nth\": $after, \"action\": \"pause\"}"
fixed="[SUCCESS] Update ISP code Success, please replug device to ensure it normal."
restored="[SUCCESS] Restore ISP code Success, please replug device to ensure it normal."
ctrl_c all_wide 100 30 8 "$pause" --all --yes fix
check all_wide 100 8 "repaired, pull it now" -
ctrl_c all_short 40 10 8 "$pause" --all --yes fix
check all_short 40 8 "repaired, pull it now" -
ctrl_c one 100 30 1 "$pause" --yes fix
check one 100 1 "repaired, pull it now" "$fixed"
# The closing restart of a 0x190's restore, after the restart that tells
# its outcome.
drive_file=ctrl190_broken.json before=fix ctrl_c restore190 100 40 1 \
  '{"opcode": "0xFD", "sub": "0x06", "nth": 2, "action": "interrupt"}' --yes restore
check restore190 100 1 - "$restored"
echo "PASS"
