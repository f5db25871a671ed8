#!/usr/bin/env bash
# The bash completion, sourced as bash-completion would source it, offers
# what a technician pressing Tab should see.
#
#   completion_test.sh <kestrune> <completion script> <scratch folder>
set -euo pipefail

program=$1
script=$2
scratch=$3

rm -rf "$scratch"
mkdir -p "$scratch/bench/backups"
: >"$scratch/bench/drive.json"
trap 'rm -rf "$scratch"' EXIT

# Stand-ins for the program as COMP_WORDS[0]: one whose `list` finds two
# sticks, as the real list prints them, and one that finds none (exit 3).
cat >"$scratch/two-sticks" <<'STUB'
#!/bin/sh
[ "$1" = list ] || exit 2
echo "letter  node      size       removable  usb    vendor    model  serial"
echo "D:      /dev/sdb  7680.00MB  yes        2-1.4  KSTRUNE   DISK   0019E06B1234"
echo "-       /dev/sdc  7680.00MB  yes        2-1.5  KSTRUNE   DISK   0019E06B9999"
echo "G:      /dev/sdd  3840.00MB  yes        2-1.6  Generic   Flash  AA00000000001"
STUB
cat >"$scratch/no-sticks" <<'STUB'
#!/bin/sh
echo "letter  node  size  removable  usb  vendor  model  serial"
exit 3
STUB
chmod +x "$scratch/two-sticks" "$scratch/no-sticks"

# shellcheck source=/dev/null
source "$script"

# Sets COMP_WORDS to the words given (the last one is being completed) and
# prints the offers, sorted, on one line.
offers() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kestrune "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}

failures=0
check() { # name expected words...
  local name=$1 expected=$2 got
  shift 2
  got=$(offers "$@")
  if [[ $got != "$expected" ]]; then
    echo "FAIL: $name: offered '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
}

b=$scratch/bench
check "a command" "scan" kestrune --simulate sc
check "every command" "backup backups destroy export-drive fix images list map restore scan watch" kestrune --yes ""
check "what --all goes with" "backup destroy fix map restore scan" kestrune --all ""
check "folders for images" "$b/backups" kestrune images "$b/"
check "one command per run" "" kestrune scan ""
check "what watch runs" "backup fix scan" kestrune watch ""
check "the letters of the sticks found" "D= G=" "$scratch/two-sticks" --drive ""
check "a letter being typed" "G=" "$scratch/two-sticks" --drive g
check "C to Z without sticks" "$(printf '%s= ' {C..Z} | xargs)" "$scratch/no-sticks" --drive ""
check "the path after X= (split at =)" "$b/drive.json" kestrune --drive E = "$b/dr"
check "the path after X= (one word)" "E=$b/drive.json" kestrune --drive "E=$b/dr"
check "folders only for --c-drive" "$b/backups" kestrune --c-drive "$b/"
check "files for --from" "$b/backups $b/drive.json" kestrune restore --from "$b/"

# Every option the program lists is offered.
offered=" $(offers kestrune --) "
for option in $("$program" --help | grep -E '^ +-' | grep -oE -- '--[a-z][a-z0-9-]*'); do
  if [[ $offered != *" $option "* ]]; then
    echo "FAIL: kestrune --<Tab> does not offer $option"
    failures=$((failures + 1))
  fi
done

if ((failures > 0)); then
  exit 1
fi
echo "completion: all offers as expected"
