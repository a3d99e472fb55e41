#!/usr/bin/env bash
# Builds orvup for Linux and runs its main job for real: a screen firmware
# update of a generated image, through a simulated I/O board on a
# pseudo-terminal that takes the image at 46080 bytes/s (a 460800-baud bridge).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target orvup orvup-sim

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

./build/tests/orvup-sim --make-image 262144:"$work/screen.bin" # a valid application image
mkfifo "$work/port"
./build/tests/orvup-sim --rate 46080 --once --quiet > "$work/port" &
sim_pid=$!
read -r port < "$work/port"

echo "\$ orvup --list"
./build/orvup --list
echo
echo "\$ orvup --screen-fw $work/screen.bin --port $port"
./build/orvup --screen-fw "$work/screen.bin" --port "$port"
