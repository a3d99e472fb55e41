#!/usr/bin/env bash
# Installs what building and testing orvup needs on Debian 12, if missing.
# Run as root (or with sudo available). Safe to run again.
#   install-deps.sh          everything: both builds, Wine, sanitizers
#   install-deps.sh --demo   just what the Linux demo needs
set -euo pipefail
if [ "${1:-}" = --demo ]; then
  packages=(cmake ninja-build g++ libgtest-dev libgmock-dev nettle-dev)
else
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # Linux builds, sanitizers, libFuzzer
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nettle-dev                                       # SHA-256 on Linux
  g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64   # orvup.exe
  wine wine64                                      # runs orvup.exe in the tests
  socat util-linux procps                          # pseudo-terminals, unshare
  dpkg-dev lintian zip unzip man-db groff-base     # the release packages and their checks
  bash-completion
  clang-format clang-tidy git                      # layout and static checks (tools/lint.sh)
)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
