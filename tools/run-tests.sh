#!/usr/bin/env bash
# Sets the machine up, then builds and tests every target, stopping at the
# first failure:
#   native  configure, build, ctest (unit, end-to-end, ...)
#   win64   configure, build, ctest under Wine
#   win32   configure, build; only the build machine's checks of the programs
#   fuzz    when fuzz/ has a CMakeLists.txt: bounded libFuzzer runs
#   bench   when bench/ has a CMakeLists.txt: short benchmark runs
#
#   tools/run-tests.sh [stage...]      default: all of them, in that order
#
# Build folders: $KESTRUNE_OUT/<preset> (default out/ in the checkout).
# KESTRUNE_JOBS sets the parallelism (default: the number of cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${KESTRUNE_OUT:-$root/out}
jobs=${KESTRUNE_JOBS:-$(nproc)}
stages=("$@")
if [[ ${#stages[@]} -eq 0 ]]; then
  stages=(native win64 win32 fuzz bench)
fi

timings=()
report() {
  local status=$?
  if [[ ${#timings[@]} -gt 0 ]]; then
    echo
    echo "== stage times =="
    printf '%s\n' "${timings[@]}"
  fi
  if [[ $status -ne 0 ]]; then
    echo "run-tests: FAILED in stage '${current:-setup}' (exit $status)" >&2
  fi
}
trap report EXIT

current=setup
"$root/tools/setup.sh"
cd "$root"

configure() { # preset
  cmake --preset "$1" -B "$out/$1"
}
build() { # preset
  cmake --build "$out/$1" -j"$jobs"
}
run_ctest() { # preset [ctest arguments...]
  local preset=$1
  shift
  ctest --test-dir "$out/$preset" --output-on-failure -j"$jobs" "$@"
}

for stage in "${stages[@]}"; do
  current=$stage
  started=$SECONDS
  echo
  echo "== $stage =="
  case $stage in
    native)
      configure native
      build native
      run_ctest native --no-tests=error
      ;;
    win64)
      configure win64
      build win64
      run_ctest win64 --no-tests=error
      ;;
    win32)
      configure win32
      build win32
      # 32-bit programs cannot run here; check what the build machine can.
      run_ctest win32 -L toolchain --no-tests=error
      ;;
    fuzz)
      if [[ ! -f $root/fuzz/CMakeLists.txt ]]; then
        echo "no fuzz targets yet (fuzz/CMakeLists.txt missing); skipped"
        continue
      fi
      configure fuzz
      build fuzz
      run_ctest fuzz -L fuzz --no-tests=ignore
      ;;
    bench)
      if [[ ! -f $root/bench/CMakeLists.txt ]]; then
        echo "no benchmarks yet (bench/CMakeLists.txt missing); skipped"
        continue
      fi
      configure bench
      build bench
      run_ctest bench -L bench --no-tests=ignore -V
      ;;
    # Further stages go here, each a configure, build and labelled ctest.
    *)
      echo "run-tests: unknown stage '$stage'" >&2
      exit 2
      ;;
  esac
  timings+=("$(printf '%-8s %5d s' "$stage" $((SECONDS - started)))")
done
current=done
echo
echo "run-tests: all stages passed (${stages[*]})"
