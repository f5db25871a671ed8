#!/usr/bin/env bash
# Installs the Debian 12 packages that a profile needs:
#   console  the console program, its man page and its native tests
#            (what tools/run-main.sh needs; no Wine, no MinGW)
#   full     everything the build and every test stage need (the default):
#            also the Windows cross compilers, Wine, Xvfb, clang for the
#            fuzz targets, the benchmark library, the packaging tools and
#            what the kernel stage boots its guest with (QEMU, busybox,
#            cpio, kmod; the kernel and udevd are fetched, not installed)
# Idempotent: when everything is already installed it asks apt nothing.
# Runs as root, or through sudo otherwise.
#
#   tools/setup.sh [console|full]
set -euo pipefail

profile=${1:-full}
console=(
  cmake ninja-build g++ python3
  libgtest-dev libgmock-dev nlohmann-json3-dev libcli11-dev libssl-dev
  scdoc man-db python3-jsonschema libudev-dev pkgconf
)
case $profile in
  console)
    packages=("${console[@]}")
    ;;
  full)
    packages=(
      "${console[@]}" git
      googletest libbenchmark-dev
      mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      wine64 fonts-wine xvfb x11-apps imagemagick
      clang libclang-rt-14-dev clang-format clang-tidy shellcheck
      dpkg-dev file lintian
      qemu-system-x86 busybox-static cpio kmod
      umockdev libumockdev-dev tmux librsvg2-bin
    )
    ;;
  *)
    echo "setup: unknown profile '$profile' (console or full)" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all ${#packages[@]} packages of the $profile profile are installed"
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
