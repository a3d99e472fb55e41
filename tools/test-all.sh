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

step bash tools/lint.sh format
step build windows || exit 1
step build linux || exit 1

# The Linux build's tests in the background; their report is shown once
# they end.
linux_log=build/test-all-linux.log
(
  t=$SECONDS
  ctest --preset linux -j"$jobs" >"$linux_log" 2>&1
  rc=$?
  echo "=== linux tests ended in $((SECONDS - t)) s" >>"$linux_log"
  exit $rc
) &
linux_tests=$!

step build asan
step build tsan
# The .deb and the Windows zip, built from the Linux and Windows builds and
# checked (installed, run and removed again on this machine).
packages() { cmake --build build --target package && bash tools/check-packages.sh build build-win; }
step packages
# clang-tidy reads the compile commands of the Linux and Windows builds.
step bash tools/lint.sh tidy

echo
echo "=== ctest --preset linux (ran beside the sanitizer builds)"
linux_rc=0
wait $linux_tests || linux_rc=$?
cat "$linux_log"
if [ $linux_rc -ne 0 ]; then
  echo "=== FAILED: ctest --preset linux"
  failed=1
fi

[ -d build-asan/tests ] && step ctest --preset asan -j"$jobs"
[ -d build-tsan/tests ] && step ctest --preset tsan -j"$jobs"

echo
echo "=== everything took $((SECONDS - t0)) s"
if [ $failed -ne 0 ]; then
  echo "SOME STEPS FAILED"
  exit 1
fi
echo "All builds and tests passed."
