#!/usr/bin/env bash
# Runs a Windows test program that opens windows of its own, on a private
# Xvfb display in the GUI tests' Wine prefix, and passes its status on.
#
#   gui_window_test.sh WINE_RUN TEST_EXE [arguments...]
set -uo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 WINE_RUN TEST_EXE [arguments...]" >&2
  exit 2
fi
wine_run=$1
kestrune=$2
shift 2
wingui=
source "$(dirname "$0")/gui_common.sh"

start_xvfb
"$wine_run" "$kestrune" "$@"
status=$?
exit $status
