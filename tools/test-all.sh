#!/usr/bin/env bash
# Builds orvup for Linux and Windows, plus ASan+UBSan and TSan builds, and
# runs every test: unit and end-to-end tests natively, the same tests against
# orvup.exe under Wine, the release packages' checks, the sanitizer runs and
# the fuzzing runs; and checks the layout (clang-format) and clang-tidy's
# findings.
#
# The Linux build's tests spend most of their time waiting on the simulated
# board (a real-time stall under Wine takes over two minutes), so they run
# while the sanitizer builds compile and the packages are made.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1
jobs=${ORVUP_TEST_JOBS:-6}
failed=0
t0=$SECONDS
step() {
  local t=$SECONDS
  echo
  echo "=== $*"
  if "$@"; then
    echo "=== done in $((SECONDS - t)) s: $*"
    return 0
  fi
  echo "=== FAILED after $((SECONDS - t)) s: $*"
  failed=1
  return 1
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

# Runs a step in the background, its output kept in a log that is shown
# once the step is awaited (bg NAME COMMAND..., then await NAME).
declare -A bg_pid
bg() {
  local name=$1
  shift
  (
    t=$SECONDS
    "$@" >"build/test-all-$name.log" 2>&1
    rc=$?
    echo "=== $name ended in $((SECONDS - t)) s" >>"build/test-all-$name.log"
    exit $rc
  ) &
  bg_pid[$name]=$!
}
await() {
  local rc=0
  wait "${bg_pid[$1]}" || rc=$?
  echo
  echo "=== $1 (ran in the background)"
  cat "build/test-all-$1.log"
  if [ $rc -ne 0 ]; then
    echo "=== FAILED: $1"
    failed=1
  fi
}

# The Wine prefix that the Linux build's tests run orvup.exe in takes half a
# minute to make; it is made while the programs compile.
mkdir -p build
bg wine-prefix bash -c 'tests/wine/wine-prefix.sh setup build/wine && tests/wine/wine-prefix.sh stop build/wine'
step bash tools/lint.sh format
step build windows || exit 1
step build linux || exit 1
await wine-prefix
# The package check runs orvup.exe in a prefix of its own: a copy of the
# one just made (its server is stopped), instead of making another.
if [ ! -f build/package-check/wine-prefix/.orvup-ready ] && [ -f build/wine/prefix/.orvup-ready ]; then
  mkdir -p build/package-check && cp -a build/wine/prefix build/package-check/wine-prefix
fi

# The Linux build's tests, which mostly wait on the simulated board and
# Wine, run while the sanitizer builds compile.
bg linux-tests ctest --preset linux -j"$jobs"
step build asan
step build tsan
# The .deb and the Windows zip, built from the Linux and Windows builds and
# checked (installed, run and removed again on this machine).
packages() { cmake --build build --target package && bash tools/check-packages.sh build build-win; }
bg packages packages
# clang-tidy reads the compile commands of the Linux and Windows builds; it
# runs while the sanitizer builds' tests, which wait on the simulated board
# much of the time, leave the processors idle.
bg tidy bash tools/lint.sh tidy
[ -d build-tsan/tests ] && bg tsan-tests ctest --preset tsan -j"$jobs"
[ -d build-asan/tests ] && step ctest --preset asan -j"$jobs"
await linux-tests
await packages
await tidy
[ -d build-tsan/tests ] && await tsan-tests

echo
echo "=== everything took $((SECONDS - t0)) s"
if [ $failed -ne 0 ]; then
  echo "SOME STEPS FAILED"
  exit 1
fi
echo "All builds and tests passed."
