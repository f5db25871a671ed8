#!/usr/bin/env bash
# Checks the packages CPack made, as a user would meet them:
#   the .deb   its control fields; lintian (no error, warning or hardening
#              tag); installed on this machine with dpkg -i
#              (apt-get -f install when a dependency is missing), then
#              /usr/bin/kestrune --simulate scan in a scratch folder,
#              man -w kestrune, the completion and the licence in place;
#              removed again unless kestrune was installed before
#   the zips   exactly the two programs, README.txt and LICENSE.txt in one
#              folder; each program of the right machine and subsystem; the
#              texts equal to README.md and LICENSE
#
#   tools/check-packages.sh <kestrune_*.deb> <kestrune-*-win64.zip> <kestrune-*-win32.zip>
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deb=$1
zip64=$2
zip32=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "check-packages: $*" >&2
  exit 1
}
if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  fail "need root or sudo to install $deb"
fi

# --- the Debian package ---
echo "== $deb"
dpkg-deb --field "$deb"
field() { dpkg-deb --field "$deb" "$1"; }
version=$(field Version)
[[ $(field Package) == kestrune ]] || fail "the package is not named kestrune"
[[ $(field Section) == utils ]] || fail "the section is '$(field Section)', not utils"
[[ -n $(field Maintainer) ]] || fail "the package names no maintainer"
# dpkg-shlibdeps found the libraries the program links.
for library in libc6 libstdc++6 libssl3 libudev1; do
  [[ $(field Depends) == *"$library "* ]] || fail "Depends lacks $library: $(field Depends)"
done

# lintian as Debian's archive runs it: an error or a warning fails, and so
# does any hardening tag, which lintian counts as information only. What
# the package overrides, it overrides with a reason.
lintian_status=0
lintian_output=$(lintian --display-info --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
echo "$lintian_output"
[[ $lintian_status -eq 0 ]] || fail "lintian finds errors or warnings in $deb (exit $lintian_status)"
if grep -q ': hardening-' <<<"$lintian_output"; then
  fail "lintian: the program in $deb is not built with every hardening flag"
fi

was_installed=false
if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q 'install ok installed'; then
  was_installed=true
fi
if ! "${as_root[@]}" dpkg -i "$deb"; then
  echo "dpkg -i left dependencies to install; apt-get -f install"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -q </dev/null
fi
dpkg-query -W -f='${Status}' kestrune | grep -q 'install ok installed' ||
  fail "kestrune is not installed after dpkg -i"
if [[ $was_installed == false ]]; then
  trap '"${as_root[@]}" dpkg -r kestrune >/dev/null || true; rm -rf "$scratch"' EXIT
fi

# The installed program scans the built-in drive in a folder of its own.
mkdir -p "$scratch/run"
(cd "$scratch/run" && TMPDIR=$scratch /usr/bin/kestrune --simulate scan) >"$scratch/scan.out" ||
  fail "/usr/bin/kestrune --simulate scan exited $? (output: $(cat "$scratch/scan.out"))"
cat "$scratch/scan.out"
grep -qF '[Check ISP] ISP was borken!' "$scratch/scan.out" ||
  fail "/usr/bin/kestrune --simulate scan did not find the built-in drive's broken ISP"

# The description says what images the build carries, and says it truly.
images=$(/usr/bin/kestrune --version | sed -n 2p)
if [[ $images == "stand-in images" ]]; then
  [[ $(field Description) == *"stand-in images"* ]] ||
    fail "the program carries stand-in images and the description does not say so"
else
  [[ $(field Description) != *"stand-in images"* ]] ||
    fail "the description speaks of stand-in images, the program carries '$images'"
fi

# Slim container images tell dpkg to leave every man page out; there the
# page can only be looked for in the package itself.
if grep -Eqs '^path-exclude[= ]+/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo "dpkg leaves man pages out on this machine (path-exclude in /etc/dpkg/dpkg.cfg.d);" \
    "looking for the page in the package instead of man -w"
  dpkg-deb --contents "$deb" | grep -q ' \./usr/share/man/man1/kestrune\.1\.gz$' ||
    fail "the package holds no /usr/share/man/man1/kestrune.1.gz"
else
  page=$(man -w kestrune) || fail "man -w kestrune finds no page"
  echo "man -w kestrune: $page"
fi
[[ -f /usr/share/bash-completion/completions/kestrune ]] || fail "the bash completion is missing"
[[ -f /usr/share/doc/kestrune/LICENSE ]] || fail "/usr/share/doc/kestrune/LICENSE is missing"
[[ -f /usr/share/doc/kestrune/copyright ]] || fail "/usr/share/doc/kestrune/copyright is missing"
[[ $(zcat /usr/share/doc/kestrune/changelog.gz) == "kestrune ($version) "* ]] ||
  fail "/usr/share/doc/kestrune/changelog.gz does not begin with an entry for $version"

# --- the Windows zips ---
check_zip() { # zip flavour file-type-of-a-program
  local zip=$1 flavour=$2 machine=$3
  local folder=kestrune-$version-$flavour
  echo "== $zip"
  [[ $(basename "$zip") == "$folder.zip" ]] || fail "$zip is not named $folder.zip"
  local listing expected
  listing=$(cmake -E tar tf "$zip" | sort)
  echo "$listing"
  expected=$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.txt" "$folder/kestrune-cli.exe" \
    "$folder/kestrune.exe" | sort)
  [[ $listing == "$expected" ]] || fail "$zip holds other files than the expected $expected"

  mkdir -p "$scratch/$flavour"
  (cd "$scratch/$flavour" && cmake -E tar xf "$zip")
  local unpacked=$scratch/$flavour/$folder
  file -b "$unpacked/kestrune.exe" | grep -qF "$machine (GUI)" ||
    fail "$folder/kestrune.exe is not a $machine (GUI) program: $(file -b "$unpacked/kestrune.exe")"
  file -b "$unpacked/kestrune-cli.exe" | grep -qF "$machine (console)" ||
    fail "$folder/kestrune-cli.exe is not a $machine (console) program"
  tr -d '\r' <"$unpacked/README.txt" | cmp -s - "$root/README.md" ||
    fail "$folder/README.txt is not the README"
  tr -d '\r' <"$unpacked/LICENSE.txt" | cmp -s - "$root/LICENSE" ||
    fail "$folder/LICENSE.txt is not the licence"
}
check_zip "$zip64" win64 "PE32+ executable"
check_zip "$zip32" win32 "PE32 executable"

echo "check-packages: the .deb and both zips hold what they should"
