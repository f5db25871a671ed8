#!/usr/bin/env bash
# Another user of a shared temporary folder cannot make the program write
# through a link. A user made for the test runs the console program with
# the simulated drive; another user (root, here) has planted, in the shared
# folder, links under the image names that point at a file of the runner's.
# The images must land in the runner's own work folder instead.
#
#   work_folder_link_test.sh <kestrune> <scratch folder>
set -euo pipefail

program=$1
scratch=$2

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: needs root to make a second user"
  exit 77
fi
for tool in useradd userdel setpriv; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not available"
    exit 77
  fi
done

user=kstr-$$-$RANDOM
cleanup() {
  userdel "$user" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
if ! useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
  --no-user-group --gid nogroup "$user" 2>/dev/null; then
  echo "skipped: cannot add a user here"
  exit 77
fi
uid=$(id -u "$user")
gid=$(id -g "$user")

fail() {
  echo "FAIL: $*"
  exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch/shared" "$scratch/home"
chmod 1777 "$scratch/shared" # a /tmp of its own
chown "$uid:$gid" "$scratch/home"
chmod 0700 "$scratch/home"
victim=$scratch/home/precious
echo precious >"$victim"
chown "$uid:$gid" "$victim"
chmod 0600 "$victim"
work=$scratch/shared/kestrune-$uid

# Links under image names, pointing at the victim.
mkdir -p "$scratch/shared/163A2C"
for name in CAUS.BIN US1.BIN CUS.BIN 163A2C/US.BIN 163A2C/UST.BIN; do
  ln -sfn "$victim" "$scratch/shared/$name"
done

status=0
setpriv --reuid="$uid" --regid="$gid" --clear-groups \
  env -u KESTRUNE_IMAGES TMPDIR="$scratch/shared" \
  "$program" --simulate --c-drive "$scratch/home" scan \
  >"$scratch/out.txt" 2>"$scratch/err.txt" </dev/null || status=$?
[[ $(tr -d '\0' <"$victim") == precious ]] || fail "the file behind the planted links was overwritten"
[[ $status -eq 0 ]] || fail "the run exited $status: $(cat "$scratch/out.txt" "$scratch/err.txt")"
grep -qxF "[Check ISP] ISP was borken!" "$scratch/out.txt" || fail "the scan did not run"
[[ $(stat -c '%u %a' "$work") == "$uid 700" ]] || fail "the work folder is not private"
[[ $(stat -c %s "$work/CAUS.BIN") -eq 65536 ]] || fail "the images are not in the work folder"
echo "PASS"
