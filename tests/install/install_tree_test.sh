#!/usr/bin/env bash
# `cmake --install` puts the program, its man page, its completion and its
# documents where Debian looks for them, and nothing else: no test program,
# tool or library.
#
#   install_tree_test.sh <build folder> <scratch folder> <expected file>...
set -euo pipefail

build=$1
scratch=$2
shift 2

rm -rf "$scratch"
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch" >/dev/null

got=$(cd "$scratch" && find . -type f -o -type l | sed 's|^\./||' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [[ $got != "$expected" ]]; then
  echo "FAIL: the installed files differ from the expected ones (< installed, > expected):"
  diff <(echo "$got") <(echo "$expected") || true
  exit 1
fi
if [[ ! -x $scratch/bin/kestrune ]]; then
  echo "FAIL: bin/kestrune is not executable"
  exit 1
fi
# The page man reads must be whole, not a truncated gzip stream.
if ! gzip -t "$scratch/share/man/man1/kestrune.1.gz"; then
  echo "FAIL: share/man/man1/kestrune.1.gz is not a sound gzip file"
  exit 1
fi
echo "install: $(wc -l <<<"$got") files as expected"
