#!/usr/bin/env bash
# The Windows console program on a bench under Wine: two removable letters
# whose volumes are plain files, each answered by a simulated stick through
# the preload library. list shows both, --all scan reads both, --all fix
# repairs both into folders of their own, and watch repairs a third stick
# whose letter is defined while it runs.
#
#   wine_bench_test.sh <wine64> <kestrune-cli.exe> <wine_define_drive.exe>
#                      <preload library> <drives folder> <scratch folder>
set -euo pipefail

wine=$1
program=$2
define=$3
preload=$4
drives=$5
s=$6

for needed in "$program" "$define"; do
  if [[ ! -f $needed ]]; then
    echo "skipped: the win64 build has no $needed"
    exit 77
  fi
done

export WINEPREFIX=$s/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
server=$(dirname "$wine")/wineserver
[[ -x $server ]] || server=wineserver
fail() {
  echo "FAIL: $*" >&2
  "$server" -k 2>/dev/null || true
  exit 1
}

rm -rf "$s"
mkdir -p "$s/e" "$s/f" "$s/g"
cp "$drives/ctrl163_broken.json" "$s/e.json"
cp "$drives/ctrl165_broken.json" "$s/f.json"
cp "$drives/ctrl163_broken.json" "$s/g.json"
: >"$s/e.bin" && : >"$s/f.bin" && : >"$s/g.bin"
"$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot"
"$server" -w
# E: and F: are there before the bench starts: a folder each, a device
# each, typed removable.
for letter in e f; do
  ln -sfn "$s/$letter" "$WINEPREFIX/dosdevices/$letter:"
  ln -sfn "$s/$letter.bin" "$WINEPREFIX/dosdevices/$letter::"
  "$wine" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d floppy /f >/dev/null 2>&1
done
"$server" -w

cli() {
  env LD_PRELOAD="$preload" KESTRUNE_SGIO_FILE="$s/e.bin:$s/f.bin:$s/g.bin" \
    KESTRUNE_SGIO_DRIVE="$s/e.json:$s/f.json:$s/g.json" KESTRUNE_ALLOW_STANDIN_IMAGES=1 \
    "$wine" "$program" "$@" </dev/null 2>&1 | stdbuf -oL tr -d '\r'
}

listed=$(cli list --json)
for letter in E F; do
  grep -qF "\"node\": \"\\\\\\\\.\\\\$letter:\"" <<<"$listed" || fail "list shows no $letter: $listed"
done

scanned=$(cli --all --quiet scan)
grep -qE '^E: +broken .*0x163' <<<"$scanned" || fail "--all scan: $scanned"
grep -qE '^F: +broken .*0x165' <<<"$scanned" || fail "--all scan: $scanned"

fixed=$(cli --all --yes --quiet fix)
grep -qE '^E: +broken +success' <<<"$fixed" || fail "--all fix: $fixed"
grep -qE '^F: +broken +success' <<<"$fixed" || fail "--all fix: $fixed"
for file in E/ISP0_Before.bin E/ISP1_After.bin F/ISP2_Before.bin F/kestrune-backups.json; do
  [[ -f $WINEPREFIX/drive_c/$file ]] || fail "--all fix kept no C:\\$file"
done
scanned=$(cli --all --quiet scan)
for letter in E F; do
  grep -qE "^$letter: +healthy" <<<"$scanned" || fail "after --all fix: $scanned"
done

# watch: G: is defined while it runs, as a stick plugged in.
cli --yes watch fix >"$s/watch.txt" &
watcher=$!
# G: is defined once the watch has listed what was there before it.
for _ in $(seq 240); do
  grep -q 'watching for USB drives' "$s/watch.txt" && break
  sleep 0.5
done
grep -q 'watching for USB drives' "$s/watch.txt" || fail "watch did not start: $(cat "$s/watch.txt")"
"$wine" "$define" G "$s/g" "$s/g.bin" || fail "G: could not be defined"
for _ in $(seq 60); do
  grep -q 'G: \[SUCCESS\]' "$s/watch.txt" && break
  sleep 1
done
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
"$server" -k 2>/dev/null || true
grep -q 'G: \[SUCCESS\]' "$s/watch.txt" || fail "watch did not repair G: $(cat "$s/watch.txt")"
[[ -f $WINEPREFIX/drive_c/G/ISP0_After.bin ]] || fail "watch kept no C:\\G\\ISP0_After.bin"
echo "wine bench: list, --all scan, --all fix and watch reached their sticks"
