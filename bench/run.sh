#!/usr/bin/env bash
# Builds the benchmarks and the console program in Release (preset "bench"),
# runs them and prints one table of figures. Nothing here judges a figure.
#
#   bench/run.sh                 build into out/bench, run, print the table
#   KESTRUNE_BENCH_DIR=DIR       build folder (default out/bench)
#   KESTRUNE_BENCH_MIN_TIME=S    seconds each benchmark runs at least (default 0.5)
#   KESTRUNE_BENCH_KEEP=1        keep the scratch folder with the raw JSON results
#   KESTRUNE_BENCH_RSS=wait4     peak memory from our own wait4 wrapper instead of
#                                /usr/bin/time -v
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTRUNE_BENCH_DIR:-$root/out/bench}
min_time=${KESTRUNE_BENCH_MIN_TIME:-0.5}
jobs=${KESTRUNE_BENCH_JOBS:-2}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-bench-run.XXXXXX")
if [[ ${KESTRUNE_BENCH_KEEP:-0} != 1 ]]; then
  trap 'rm -rf "$scratch"' EXIT
else
  echo "raw results kept in $scratch" >&2
fi

log() { echo "== $*" >&2; }

log "configure ($build)"
(cd "$root" && cmake --preset bench -B "$build" >"$scratch/configure.log") ||
  { cat "$scratch/configure.log" >&2; exit 1; }
log "build"
cmake --build "$build" -j"$jobs" \
  --target link_bench start_fix_bench recording_bench kestrune kestrune_sgio_preload \
  >"$scratch/build.log" ||
  { tail -n 40 "$scratch/build.log" >&2; exit 1; }
# The watch's latency needs umockdev; without it the figure is not measured.
cmake --build "$build" -j"$jobs" --target watch_latency >>"$scratch/build.log" 2>&1 || true

link_bench=$build/bench/link_bench
start_fix_bench=$build/bench/start_fix_bench
recording_bench=$build/bench/recording_bench
console=$build/app/console/kestrune
preload=$(find "$build/tools" -name 'libkestrune_sgio_preload*.so' -print -quit)
[[ -x $link_bench && -x $start_fix_bench && -x $recording_bench && -x $console && -n $preload ]] || {
  echo "a bench program, the console or the preload library was not built" >&2
  exit 1
}

bench_flags=(--benchmark_format=json --benchmark_min_time="$min_time")

log "link_bench, in process"
"$link_bench" "${bench_flags[@]}" --benchmark_filter='^InProcess' >"$scratch/link_inproc.json"

log "link_bench, through SG_IO with the preload library"
# The drive is a copy, so that its flash file lands in the scratch folder.
cp "$root/tests/drives/ctrl161_healthy.json" "$scratch/sgio_drive.json"
: >"$scratch/sgio_node.bin"
LD_PRELOAD=$preload \
  KESTRUNE_SGIO_FILE=$scratch/sgio_node.bin \
  KESTRUNE_SGIO_DRIVE=$scratch/sgio_drive.json \
  KESTRUNE_SGIO_SAVE=exit \
  "$link_bench" "${bench_flags[@]}" --benchmark_filter='^OverSgio' >"$scratch/link_sgio.json"

log "start_fix_bench"
"$start_fix_bench" "${bench_flags[@]}" >"$scratch/start_fix.json"

# A scan and a fix of a drive of 2 KiB pages recorded on the wall clock
# (the drive takes its device time, as a real stick would), then replayed.
log "recordings of a scan and a fix, and their replay"
mkdir -p "$scratch/rec/c" "$scratch/rec/t"
chmod 700 "$scratch/rec/t"
cp "$root/tests/drives/ctrl163_broken.json" "$scratch/rec/drive.json"
for command in scan fix; do
  (cd "$scratch/rec" && KESTRUNE_SIM_REALTIME=1 "$console" --c-drive c --temp t \
    --drive E=drive.json --record "$command.krec" --yes "$command" \
    >"$command.out" 2>"$command.err") || echo "exit $?" >"$scratch/rec/$command.failed"
done
"$recording_bench" "${bench_flags[@]}" "scan=$scratch/rec/scan.krec" "fix=$scratch/rec/fix.krec" \
  >"$scratch/recording.json"

# A small wrapper of ours reads a child's peak memory, wall time and CPU time
# through wait4. It is C, not python, because the peak survives exec and a
# forked interpreter would be counted.
build_peak_rss() {
  [[ -x $scratch/peak_rss ]] && return
  cc -O2 -x c -o "$scratch/peak_rss" - <<'EOF'
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  if (argc < 3) return 2;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  FILE* out = fopen(argv[1], "w");
  if (out == NULL) return 2;
  fprintf(out,
          "{\"max_rss_kib\": %ld, \"wall_s\": %.4f, \"cpu_s\": %.4f, \"exit\": %d, "
          "\"tool\": \"wait4\"}\n",
          usage.ru_maxrss,
          (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
          (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
EOF
}

# Peak resident memory of whole console runs on the built-in simulated drive,
# each in a fresh folder standing for C: and the temporary folder.
measure_rss() {
  local name=$1
  shift
  local dir=$scratch/rss_$name
  mkdir -p "$dir/c" "$dir/t"
  local tool=${KESTRUNE_BENCH_RSS:-time}
  if [[ $tool == time && ! -x /usr/bin/time && $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    log "installing the time package for /usr/bin/time -v"
    apt-get install -y time >/dev/null 2>&1 || true
  fi
  if [[ $tool == time && -x /usr/bin/time ]]; then
    (cd "$dir" && /usr/bin/time -v -o "$dir/time.txt" \
      "$console" --simulate --c-drive "$dir/c" --temp "$dir/t" "$@" \
      >"$dir/stdout.txt" 2>"$dir/stderr.txt") || echo "exit $?" >"$dir/failed.txt"
    python3 - "$dir/time.txt" "$dir/rss.json" <<'EOF' || true
import json, re, sys
text = open(sys.argv[1]).read()
rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", text).group(1)
seconds = 0.0
for part in wall.split(":"):
    seconds = seconds * 60 + float(part)
json.dump({"max_rss_kib": rss, "wall_s": seconds, "tool": "/usr/bin/time -v"}, open(sys.argv[2], "w"))
EOF
  else
    # Without /usr/bin/time: our wait4 wrapper.
    build_peak_rss
    (cd "$dir" && "$scratch/peak_rss" "$dir/rss.json" "$console" --simulate --c-drive "$dir/c" \
      --temp "$dir/t" "$@" >"$dir/stdout.txt" 2>"$dir/stderr.txt") ||
      echo "exit $?" >"$dir/failed.txt"
  fi
}

log "kestrune fix, peak resident memory"
measure_rss fix --yes fix
log "kestrune scan, peak resident memory (for comparison)"
measure_rss scan scan

# fix --all over 1, 2, 4, 8 and 16 broken virtual drives, with the drives on
# the wall clock (KESTRUNE_SIM_REALTIME=1) as a bench of real sticks would
# run, and without (host cost only); beside them a single-drive fix of the
# same drive. Each run is repeated and its median kept, since the machine
# is shared.
all_counts=(1 2 4 8 16)
all_repeat=${KESTRUNE_BENCH_ALL_REPEAT:-3}
all_letters=(D E F G H I J K L M N O P Q R S)
build_peak_rss
measure_all() { # mode (realtime|host) count (0: a single-drive fix) repeat
  local mode=$1 count=$2 repeat=$3
  local dir=$scratch/all_${mode}_${count}_$repeat
  local realtime=0
  [[ $mode == realtime ]] && realtime=1
  mkdir -p "$dir/c" "$dir/t"
  chmod 700 "$dir/t"
  local drives=() i
  for ((i = 0; i < (count == 0 ? 1 : count); i++)); do
    cp "$root/tests/drives/ctrl163_broken.json" "$dir/d$i.json"
    drives+=(--drive "${all_letters[i]}=$dir/d$i.json")
  done
  local command=(--yes fix)
  ((count > 0)) && command=(--all --yes fix)
  (cd "$dir" && KESTRUNE_SIM_REALTIME=$realtime "$scratch/peak_rss" "$dir/run.json" "$console" \
    --c-drive "$dir/c" --temp "$dir/t" "${drives[@]}" "${command[@]}" \
    >"$dir/stdout.txt" 2>"$dir/stderr.txt") || true
}
# A bench's folder of 20,000 saves: a fix of one drive, then the saves of
# 19,999 other sticks beside its own, as a busy bench gathers them; then a
# default restore of the drive (twice: the first writes the document whole
# and starts its journal, the second adds to it) and the backups list, each
# timed whole, as the technician runs them.
log "restore and backups in a folder of 20,000 saves"
records=$scratch/records
mkdir -p "$records/c" "$records/t"
chmod 700 "$records/t"
cp "$root/tests/drives/ctrl163_broken.json" "$records/drive.json"
(cd "$records" && "$console" --c-drive c --temp t --drive E=drive.json --yes --quiet fix \
  >fix.out 2>&1) || echo "exit $?" >"$records/fix.failed"
python3 - "$records/c/kestrune-backups.json" 19999 <<'EOF'
import json, sys
path, count = sys.argv[1], int(sys.argv[2])
doc = json.load(open(path))
own_saves, own_files = doc["saves"], doc["files"]
first = max(s["sequence"] for s in own_saves) + 1
saves, files, sequence = [], [], first
for i in range(count):
    save = json.loads(json.dumps(own_saves[0]))
    save["id"] = "20250101T000000Z-%05d" % i
    save["sequence"] = sequence
    save["drive"]["usbSerial"] = "OTHER%05d" % i
    sequence += 1
    saves.append(save)
    for own in (f for f in own_files if f["save"] == own_saves[0]["id"]):
        record = dict(own, file=own["file"].replace(".bin", ".%d.bin" % (i + 1)),
                      sequence=sequence, save=save["id"])
        sequence += 1
        files.append(record)
for entry in own_saves + own_files:
    entry["sequence"] += sequence
def lines(entries):
    return ",\n".join(json.dumps(e, separators=(",", ":")) for e in entries)
with open(path, "w") as out:
    out.write('{"format":"kestrune-backup-records","version":3,\n"saves":[\n'
              + lines(saves + own_saves) + '\n],\n"files":[\n' + lines(files + own_files)
              + "\n]}\n")
EOF
for name in restore restore_again backups; do
  command=(--yes --quiet restore)
  [[ $name == backups ]] && command=(--quiet backups)
  (cd "$records" && "$scratch/peak_rss" "$records/$name.json" "$console" --c-drive c --temp t \
    --drive E=drive.json "${command[@]}" >"$name.out" 2>&1) || true
done

for mode in realtime host; do
  log "kestrune fix --all, $mode, ${all_counts[*]} drives, $all_repeat runs each"
  for ((r = 0; r < all_repeat; r++)); do
    measure_all "$mode" 0 "$r"
    for n in "${all_counts[@]}"; do measure_all "$mode" "$n" "$r"; done
  done
done

# What the live table costs: the 16-drive real-time fix --all again, its
# output on a terminal of 120 columns (script(1) gives it one), beside the
# same runs above whose output went to a file.
measure_live() { # repeat
  local dir=$scratch/live_$1
  mkdir -p "$dir/c" "$dir/t"
  chmod 700 "$dir/t"
  local drives=() i
  for ((i = 0; i < 16; i++)); do
    cp "$root/tests/drives/ctrl163_broken.json" "$dir/d$i.json"
    drives+=(--drive "${all_letters[i]}=$dir/d$i.json")
  done
  local line="stty cols 120 rows 40;" word quoted
  for word in "$scratch/peak_rss" "$dir/run.json" "$console" --c-drive "$dir/c" --temp "$dir/t" \
    "${drives[@]}" --all --yes fix; do
    printf -v quoted '%q' "$word"
    line+=" $quoted"
  done
  (cd "$dir" && KESTRUNE_SIM_REALTIME=1 script -qec "$line" /dev/null >"$dir/stdout.txt" \
    2>"$dir/stderr.txt" </dev/null) || true
}
if [[ -x $build/bench/watch_latency ]] && command -v umockdev-wrapper >/dev/null; then
  log "watch: from a stick's add event to the first command, and what 200 plug cycles leave held"
  (cd "$scratch" && umockdev-wrapper "$build/bench/watch_latency" 200 >"$scratch/watch_latency.json") ||
    true
fi
if command -v script >/dev/null; then
  log "kestrune fix --all, real time, 16 drives on a terminal, $all_repeat runs"
  for ((r = 0; r < all_repeat; r++)); do measure_live "$r"; done
fi

python3 - "$scratch" "$(nproc)" <<'EOF'
import json, os, sys

scratch, cores = sys.argv[1], sys.argv[2]

def load(name):
    with open(os.path.join(scratch, name)) as f:
        return json.load(f)

def by_name(doc):
    return {b["name"]: b for b in doc["benchmarks"]}

to_us = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}

def us(b, key="real_time"):
    return b[key] * to_us[b["time_unit"]]

def ms(b, key="real_time"):
    return us(b, key) / 1e3

# Google Benchmark divides bytes by CPU time; the table's rates are per wall second.
def wall_rate(b):
    return b.get("bytes_per_second", 0) * b["cpu_time"] / b["real_time"] if b["real_time"] else 0

def broken(b):
    return b is None or b.get("error_occurred") or b.get("failed", 0) != 0

rows = []
def row(section, figure, value, unit, note=""):
    rows.append((section, figure, value, unit, note))

link_in = by_name(load("link_inproc.json"))
link_sg = by_name(load("link_sgio.json"))
for label, key in (("INQUIRY, 36 B data-in", "inquiry_36B_in"),
                   ("flash read, 64 KiB data-in", "read_64KiB_in"),
                   ("flash write, 64 KiB data-out", "write_64KiB_out")):
    for how, table in (("in process", link_in), ("SG_IO + preload", link_sg)):
        b = table.get(("InProcess/" if how == "in process" else "OverSgio/") + key)
        if broken(b):
            row("link", f"{label}, {how}", "n/a", "", (b or {}).get("error_message", "did not run"))
            continue
        mib_s = wall_rate(b) / (1 << 20)
        note = f"CPU {us(b, 'cpu_time'):,.2f} us; {mib_s:,.0f} MiB/s"
        if "device_us" in b:
            note += f"; device time not counted: {b['device_us']:,.1f} us"
        row("link", f"{label}, {how}", f"{us(b):,.2f}", "us/command", note)

fix = by_name(load("start_fix.json"))
sf = fix.get("StartFixBench/ctrl163_broken")
if broken(sf):
    row("start fix", "Start Fix, ctrl163_broken", "n/a", "",
        (sf or {}).get("error_message", "runs did not end in the success box"))
else:
    cpu, wall, dev = ms(sf, "cpu_time"), ms(sf), sf["device_ms"]
    row("start fix", "ctrl163_broken: host CPU time", f"{cpu:,.2f}", "ms", f"wall {wall:,.2f} ms")
    row("start fix", "ctrl163_broken: simulated device time", f"{dev:,.1f}", "ms",
        f"{sf['commands']:,.0f} commands")
    row("start fix", "ctrl163_broken: host CPU / device time", f"{100 * cpu / dev:,.2f}", "%",
        f"1 : {dev / cpu:,.0f}" if cpu > 0 else "")
    row("start fix", "ctrl163_broken: platform sleep", f"{sf['slept_ms']:,.0f}", "ms",
        "counted, not slept; the program waits it for real")
for name, b in sorted(fix.items()):
    if not name.startswith("StartFixBench/") or name.endswith("/ctrl163_broken"):
        continue
    drive = name.split("/", 1)[1]
    if broken(b):
        row("start fix", f"{drive}: host CPU / device time", "n/a", "",
            (b or {}).get("error_message", "runs did not end in the success box"))
        continue
    cpu, dev = ms(b, "cpu_time"), b["device_ms"]
    row("start fix", f"{drive}: host CPU / device time", f"{100 * cpu / dev:,.2f}", "%",
        f"CPU {cpu:,.2f} ms, device {dev:,.1f} ms, {b['commands']:,.0f} commands")

rec = by_name(load("recording.json"))
for name, label in (("scan", "scan"), ("fix", "fix")):
    b = rec.get(f"Replay/{name}/real_time")
    failed = os.path.exists(os.path.join(scratch, "rec", f"{name}.failed"))
    if broken(b) or failed:
        row("recording", f"{label} of ctrl163_broken (2 KiB pages)", "n/a", "",
            "the recorded run FAILED" if failed else (b or {}).get("error_message", "did not run"))
        continue
    size_mib = b["file_kib"] / 1024
    row("recording", f"{label}: file size", f"{size_mib:,.3f}", "MiB",
        f"{b['commands']:,.0f} commands moving {b['data_kib'] / 1024:,.2f} MiB"
        + ("; target for a scan: at most 3 MiB" if name == "scan" else ""))
    replay, device = ms(b), b["recorded_ms"]
    row("recording", f"{label}: replay / recorded device time", f"{100 * replay / device:,.2f}", "%",
        f"replay {replay:,.2f} ms, recorded {device:,.1f} ms; target: at most 5 %")
b = rec.get("FirstAnswer/fill_runs/20000/real_time")
if not broken(b):
    row("recording", "replay of 20,000 page reads: time to its first answer", f"{ms(b):,.2f}",
        "ms", f"a file of {b['file_kib']:,.0f} KiB read and checked whole first")

ex = fix.get("startup/extract_images")
sc = fix.get("startup/scan_and_identify")
tv = fix.get("startup/to_verdict")
if not broken(ex):
    row("start-up", "ExtractImages", f"{ms(ex):,.2f}", "ms",
        f"CPU {ms(ex, 'cpu_time'):,.2f} ms; {ex['bytes']:,.0f} bytes, "
        f"{wall_rate(ex) / (1 << 20):,.0f} MiB/s")
if not broken(sc):
    row("start-up", "CheckDriveExist (scan + identify)", f"{ms(sc):,.3f}", "ms",
        f"CPU {ms(sc, 'cpu_time'):,.3f} ms; {sc['commands']:,.0f} commands; "
        f"device time not counted: {sc['device_ms']:,.2f} ms")
if not broken(tv):
    row("start-up", "both, fresh program", f"{ms(tv):,.2f}", "ms",
        f"CPU {ms(tv, 'cpu_time'):,.2f} ms")
for b, label in ((ex, "ExtractImages"), (sc, "CheckDriveExist"), (tv, "both")):
    if broken(b):
        row("start-up", label, "n/a", "", (b or {}).get("error_message", "did not run"))

for name, label in (("fix", "kestrune --simulate --yes fix"),
                    ("scan", "kestrune --simulate scan")):
    path = os.path.join(scratch, f"rss_{name}", "rss.json")
    failed = os.path.exists(os.path.join(scratch, f"rss_{name}", "failed.txt"))
    if not os.path.exists(path):
        row("memory", f"peak RSS, {label}", "n/a", "", "not measured")
        continue
    r = json.load(open(path))
    note = f"wall {r['wall_s']:.2f} s, {r['tool']}"
    out = open(os.path.join(scratch, f"rss_{name}", "stdout.txt"), errors="replace").read()
    if failed or (name == "fix" and "[SUCCESS]" not in out):
        note += "; the run FAILED"
    row("memory", f"peak RSS, {label}", f"{r['max_rss_kib'] / 1024:,.1f}", "MiB", note)

import glob, statistics

def all_runs(mode, count):
    runs = []
    for path in sorted(glob.glob(os.path.join(scratch, f"all_{mode}_{count}_*", "run.json"))):
        r = json.load(open(path))
        out = open(os.path.join(os.path.dirname(path), "stdout.txt"), errors="replace").read()
        # A single fix ends in its success box; --all in a success row per drive.
        done = "[SUCCESS]" in out if count == 0 else out.count(" success ") == count
        ok = r.get("exit") == 0 and done
        runs.append((r["wall_s"], r["cpu_s"], ok))
    return runs

records_dir = os.path.join(scratch, "records")
for name, label in (("restore", "restore among 20,000 saves, first"),
                    ("restore_again", "restore among 20,000 saves, again"),
                    ("backups", "backups of 20,000 saves")):
    path = os.path.join(records_dir, f"{name}.json")
    if os.path.exists(os.path.join(records_dir, "fix.failed")) or not os.path.exists(path):
        row("records", label, "n/a", "", "not measured")
        continue
    r = json.load(open(path))
    note = f"CPU {r['cpu_s']:,.3f} s; peak RSS {r['max_rss_kib'] / 1024:,.0f} MiB"
    if r.get("exit") != 0:
        note += f"; the run FAILED (exit {r.get('exit')})"
    row("records", label, f"{r['wall_s']:,.3f}", "s", note)

for mode, label in (("realtime", "real time"), ("host", "host only")):
    single = all_runs(mode, 0)
    base = all_runs(mode, 1)
    if not single or not base:
        row("fix --all", f"{label}: not measured", "n/a", "")
        continue
    single_cpu = statistics.median(c for _, c, _ in single)
    single_wall = statistics.median(w for w, _, _ in single)
    one = statistics.median(w for w, _, _ in base)
    row("fix --all", f"{label}: single-drive fix", f"{single_wall:,.3f}", "s",
        f"CPU {single_cpu * 1e3:,.1f} ms" + ("" if all(ok for *_, ok in single) else "; a run FAILED"))
    for n in (1, 2, 4, 8, 16):
        runs = all_runs(mode, n)
        if not runs:
            row("fix --all", f"{label}: {n} drives", "n/a", "", "not measured")
            continue
        wall = statistics.median(w for w, _, _ in runs)
        cpu = statistics.median(c for _, c, _ in runs)
        note = (f"{wall / n:,.3f} s per drive; {wall / one:,.2f} x one drive; "
                f"CPU per drive {cpu / n * 1e3:,.1f} ms ({cpu / n / single_cpu:,.2f} x a single fix)")
        if not all(ok for *_, ok in runs):
            note += "; a run FAILED"
        row("fix --all", f"{label}: {n} drive{'s' if n > 1 else ''}, wall", f"{wall:,.3f}", "s", note)

try:
    lat = load("watch_latency.json")
    values = lat["latency_ms"]
except (OSError, ValueError, KeyError):
    values = []
if values:
    note = f"target <= 200 ms; median of {len(values)} sticks plugged in one after another"
    if len(values) < lat.get("count", 0):
        note += f"; {lat['count'] - len(values)} never reached"
    row("watch", "add uevent -> first command, median", f"{statistics.median(values):,.1f}", "ms", note)
    row("watch", "add uevent -> first command, max", f"{max(values):,.1f}", "ms", "under umockdev")
    held = lat.get("held_after")
    if held:
        first, last = held["sticks"]
        for key, unit in (("descriptors", ""), ("threads", ""), ("resident_kib", "KiB")):
            a, b = held[key]
            row("watch", f"{key.replace('_kib', '')} after {first} / {last} sticks", f"{a:,} / {b:,}",
                unit, "flat when a pulled stick keeps nothing")
else:
    row("watch", "add uevent -> first command", "n/a", "", "not measured (needs umockdev)")

live = []
for path in sorted(glob.glob(os.path.join(scratch, "live_*", "run.json"))):
    r = json.load(open(path))
    live.append((r["wall_s"], r["cpu_s"], r.get("exit") == 0))
plain = all_runs("realtime", 16)
if live and plain:
    wall = statistics.median(w for w, _, _ in live)
    cpu = statistics.median(c for _, c, _ in live)
    cpu_plain = statistics.median(c for _, c, _ in plain)
    note = (f"target <= 1 %; CPU {cpu * 1e3:,.1f} ms with the table, {cpu_plain * 1e3:,.1f} ms "
            f"into a file; wall {wall:,.2f} s")
    if not all(ok for *_, ok in live):
        note += "; a run FAILED"
    row("live table", "16 drives, real time: table CPU / wall", f"{100 * (cpu - cpu_plain) / wall:,.2f}",
        "%", note)
else:
    row("live table", "16 drives, real time: table CPU / wall", "n/a", "", "not measured")

widths = [max(len(str(r[i])) for r in rows + [("section", "figure", "value", "unit", "")])
          for i in range(5)]
def line(r):
    return (f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]:>{widths[2]}}  "
            f"{r[3]:<{widths[3]}}  {r[4]}").rstrip()
print(f"Kestrune benchmarks ({cores} cores, Release build)")
print(line(("section", "figure", "value", "unit", "note")))
print(line(tuple("-" * w for w in widths)))
last = None
for r in rows:
    if last is not None and r[0] != last:
        print()
    print(line(r))
    last = r[0]
EOF
