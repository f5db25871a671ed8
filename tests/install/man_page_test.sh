#!/usr/bin/env bash
# The man page renders without a warning and names every command and option
# that `kestrune --help` lists and every KESTRUNE_* variable the program
# carries, so the page cannot fall behind the program.
#
#   man_page_test.sh <kestrune> <kestrune.1>
set -euo pipefail

program=$1
page=$2

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
# Rendered as on a terminal, then with the formatting taken out.
text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$warnings" | col -b)
if [[ -s $warnings ]]; then
  fail "man -l warns:"
  cat "$warnings"
fi
if ! grep -q '^SYNOPSIS' <<<"$text"; then
  fail "the rendered page has no SYNOPSIS"
fi

help=$("$program" --help)
# "command TEXT:{scan,fix,...}" and the "  -h,--help", "  --drive TEXT" lines.
commands=$(grep -oE '\{[a-z,-]+\}' <<<"$help" | head -n 1 | tr -d '{}' | tr ',' ' ')
options=$(grep -E '^ +-' <<<"$help" | grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,')
variables=$(strings "$program" | grep -oE 'KESTRUNE_[A-Z0-9_]+' | sort -u)
if [[ -z $commands || -z $options ]]; then
  fail "cannot read the commands and options from kestrune --help"
fi

for word in $commands $options $variables; do
  # As a word of its own: --all must not pass for being part of --allx.
  if ! grep -qE -- "(^|[^a-zA-Z0-9_-])$word([^a-zA-Z0-9_-]|$)" <<<"$text"; then
    fail "the man page does not name $word"
  fi
done

if ((failures > 0)); then
  exit 1
fi
echo "man page: $(wc -w <<<"$commands") commands, $(wc -w <<<"$options") options," \
  "$(wc -w <<<"$variables") variables named"
