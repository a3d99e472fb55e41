#!/usr/bin/env bash
# Builds orvup for Linux and shows its main jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target orvup
set -x
./build/orvup --help || true
./build/orvup --list
