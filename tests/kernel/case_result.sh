#!/usr/bin/env bash
# The verdict of one case of the kernel stage, from what the guest wrote:
# the case's lines, and PASS or FAIL as the last.
#
#   case_result.sh <results folder> <case>
set -euo pipefail

log=$1/$2.log
if [[ -f $1/SKIPPED ]]; then
  echo "skipped: $(cat "$1/SKIPPED")"
  exit 77
fi
if [[ ! -f $log ]]; then
  echo "FAIL: the guest never finished case $2"
  exit 1
fi
cat "$log"
[[ $(tail -n 1 "$log") == PASS ]]
