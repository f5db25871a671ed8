#!/usr/bin/env bash
# The live table through a real terminal: tmux, 10 lines high, at 60 and at
# 40 columns, runs fix --all over twelve simulated drives on the wall clock.
# One drive sends the run an interrupt (SIGINT, as Ctrl-C does) once its
# erase is done, while others still work. Every pane captured as the run
# goes, and the whole history at its end, must show:
#   - no drive row twice, the interrupt's notice once, above the rows;
#   - rows under way before finished ones, and those left out counted as
#     what they are: a drive shown finished ended before one shown at work,
#     as the summary's seconds tell, and a finished drive never works again;
#   - the summary's lines narrower than the terminal, its header whole words.
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
    m = re.match(r"^([D-O]): +(\S+) +(\S+)", line)
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
outcomes = {"success", "failed", "interrupted", "cancelled", "refused", "not", "ended"}
outcome = {}
seconds = {}
for letter, line in summary.items():
    cells = line.split()
    outcome[letter] = next((c for c in cells[1:] if c in outcomes), None)
    m = re.search(r"\s(\d+\.\d)(\s|$)", line)
    seconds[letter] = float(m.group(1)) if m else None

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
    # A drive shown finished ended before every drive still shown at work.
    for x in finished:
        for y in working:
            if seconds.get(x) is not None and seconds.get(y) is not None and \
                    seconds[x] > seconds[y] + 0.5:
                fail(f"pane {name}: {x} is finished ({seconds[x]}s) while {y} "
                     f"({seconds[y]}s) works")
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

run_at 60
run_at 40
echo "PASS"
