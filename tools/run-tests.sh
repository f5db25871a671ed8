#!/usr/bin/env bash
# Sets the machine up, then builds and tests every target, stopping at the
# first failure:
#   native    configure, build, ctest (unit, end-to-end, ...; not kernel)
#   kernel    the native build's program through a real Linux kernel's SCSI
#             stack: Debian's kernel in a QEMU guest (ctest -L kernel); the
#             kernel package is fetched once into $KESTRUNE_OUT/kernel
#   win64     configure, build, ctest under Wine (unit, gui, toolchain)
#   wine-e2e  the native end-to-end test that drives the win64 pass-through
#             probe under Wine (needs the win64 stage's build)
#   win32     configure, build; only the build machine's checks of the programs
#   package   Release builds of the three package presets, cpack: the .deb
#             (installed here with dpkg -i and tried) and the win64 and
#             win32 zips, checked by tools/check-packages.sh
#   fuzz      when fuzz/ has a CMakeLists.txt: build, bounded libFuzzer runs
#   bench     when bench/ has a CMakeLists.txt: build, short benchmark runs
#
# The last line adds up the tests of every ctest run: "N passed, N failed".
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
  stages=(native kernel win64 wine-e2e win32 package fuzz bench)
fi

timings=()
passed=0
failed=0
report() {
  local status=$?
  if [[ ${#timings[@]} -gt 0 ]]; then
    echo
    echo "== stage times =="
    printf '%s\n' "${timings[@]}"
  fi
  if [[ $status -ne 0 ]]; then
    echo "run-tests: FAILED in stage '${current:-setup}' after $((SECONDS - ${started:-0})) s" \
      "(exit $status)"
  fi
  if [[ $((passed + failed)) -gt 0 ]]; then
    echo "tests: $passed passed, $failed failed"
  fi
}
trap report EXIT
mkdir -p "$out"

current=setup
"$root/tools/setup.sh"
cd "$root"

# CPU seconds used by finished child processes so far; with the wall time it
# tells a slow stage from a busy machine.
# (Sets $cpu; it must run in this shell, not a subshell, to see the children.)
child_cpu() {
  times >"$out/.run-tests-times"
  cpu=$(tail -n 1 "$out/.run-tests-times" | awk '{
    total = 0
    for (i = 1; i <= 2; i++) { split($i, p, "m"); total += p[1] * 60 + p[2] }
    printf "%d", total }')
}

configure() { # preset
  cmake --preset "$1" -B "$out/$1"
}
build() { # preset
  cmake --build "$out/$1" -j"$jobs"
}
run_ctest() { # preset [ctest arguments...]
  local preset=$1
  shift
  local log=$out/$preset/run-tests-ctest.log
  local status=0
  ctest --test-dir "$out/$preset" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log" ||
    status=$?
  # "100% tests passed, 0 tests failed out of 23"
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 ||
    true)
  if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return $status
}
has_tests() { # preset label
  ctest --test-dir "$out/$1" -N -L "$2" | grep -Eq '^Total Tests: [1-9]'
}

for stage in "${stages[@]}"; do
  current=$stage
  started=$SECONDS
  child_cpu
  started_cpu=$cpu
  echo
  echo "== $stage =="
  case $stage in
    native)
      configure native
      build native
      run_ctest native --no-tests=error -LE kernel
      ;;
    kernel)
      configure native
      cmake --build "$out/native" -j"$jobs" --target kestrune kestrune_sgio_preload kestrune_usb_gadget kestrune_sgio_time \
        kestrune_tcmu_drive
      export KESTRUNE_KERNEL_CACHE=${KESTRUNE_KERNEL_CACHE:-$out/kernel}
      kernel_status=0
      run_ctest native -L kernel --no-tests=error || kernel_status=$?
      # Boot time and a fix's wall time, through the kernel and the preload library.
      cat "$out/native/tests/kernel/guest/figures.txt" 2>/dev/null || true
      [[ $kernel_status -eq 0 ]] || exit "$kernel_status"
      ;;
    win64)
      configure win64
      build win64
      run_ctest win64 --no-tests=error
      ;;
    wine-e2e)
      probe=$out/win64/tests/e2e/passthrough_probe.exe
      if [[ ! -f $probe ]]; then
        echo "no pass-through probe in $out/win64 (run the win64 stage first); skipped"
        continue
      fi
      cmake --preset native -B "$out/native" -DKESTRUNE_WIN64_BUILD_DIR="$out/win64"
      build native
      run_ctest native -L e2e -R wine --no-tests=error
      ;;
    win32)
      configure win32
      build win32
      # 32-bit programs cannot run here; check what the build machine can.
      run_ctest win32 -L toolchain --no-tests=error
      ;;
    package)
      # Images as each package build is configured: stand-ins unless its
      # cache names KESTRUNE_IMAGE_DIR.
      for preset in package package-win64 package-win32; do
        configure "$preset"
        build "$preset"
        rm -rf "$out/$preset/packages"
        (cd "$out/$preset" && cpack)
      done
      "$root/tools/check-packages.sh" "$out"/package/packages/kestrune_*.deb \
        "$out"/package-win64/packages/kestrune-*-win64.zip \
        "$out"/package-win32/packages/kestrune-*-win32.zip
      ;;
    fuzz)
      if [[ ! -f $root/fuzz/CMakeLists.txt ]]; then
        echo "no fuzz targets yet (fuzz/CMakeLists.txt missing); skipped"
        continue
      fi
      configure fuzz
      # Only the fuzz programs: the rest of an instrumented build is not run here.
      cmake --build "$out/fuzz" -j"$jobs" --target kestrune_fuzz
      if has_tests fuzz fuzz; then
        run_ctest fuzz -L fuzz
      else
        echo "the fuzz build registers no test labelled fuzz; built only"
      fi
      ;;
    bench)
      if [[ ! -f $root/bench/CMakeLists.txt ]]; then
        echo "no benchmarks yet (bench/CMakeLists.txt missing); skipped"
        continue
      fi
      configure bench
      build bench
      if has_tests bench bench; then
        run_ctest bench -L bench -V
      else
        echo "the bench build registers no test labelled bench; built only"
      fi
      ;;
    # Further stages go here, each a configure, build and labelled ctest.
    *)
      echo "run-tests: unknown stage '$stage'" >&2
      exit 2
      ;;
  esac
  child_cpu
  timings+=("$(printf '%-9s %5d s wall %6d s cpu' "$stage" $((SECONDS - started)) \
    $((cpu - started_cpu)))")
done
current="finished"
echo
echo "run-tests: all stages passed (${stages[*]})"
