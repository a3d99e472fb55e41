#!/usr/bin/env bash
# Runs a command inside the tests' Wine prefix: run.sh ROOT wine prog.exe ARGS...
set -euo pipefail
root=${1:?root folder}; shift
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
exec "$@"
