#!/usr/bin/env bash
# Makes and runs the headless Wine prefix that the tests run orvup.exe in.
#   wine-prefix.sh setup ROOT   create ROOT/prefix once (kept between runs),
#                               map COM5..COM24 onto links in ROOT/ports and
#                               start a persistent wine server
#   wine-prefix.sh stop ROOT    stop that server
set -euo pipefail
cmd=${1:?setup or stop}
root=$(mkdir -p "${2:?root folder}" && cd "$2" && pwd)
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY

first_port=5 last_port=24   # keep in step with tests/support/target.cpp

case $cmd in
setup)
  mkdir -p "$root/ports"
  if [ ! -f "$WINEPREFIX/.orvup-ready" ]; then
    rm -rf "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    for ((n = first_port; n <= last_port; n++)); do
      wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$root/ports/COM$n" /f >/dev/null 2>&1
    done
    wineserver -w
    touch "$WINEPREFIX/.orvup-ready"
  fi
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # Fake COM-port devices for the port-mapping and hot-plug tests; imported
  # again only when the file changed (it replaces its own keys whole).
  reg_file=$(cd "$(dirname "$0")" && pwd)/comports.reg
  if ! cmp -s "$reg_file" "$WINEPREFIX/.orvup-comports.reg"; then
    wine reg import "$reg_file" >/dev/null 2>&1 </dev/null
    wineserver -w
    cp "$reg_file" "$WINEPREFIX/.orvup-comports.reg"
  fi
  # The hot-plug watcher's test port and device (tests/wine/watcher.reg).
  reg_file=$(cd "$(dirname "$0")" && pwd)/watcher.reg
  if ! cmp -s "$reg_file" "$WINEPREFIX/.orvup-watcher.reg"; then
    wine reg import "$reg_file" >/dev/null 2>&1 </dev/null
    wineserver -w
    cp "$reg_file" "$WINEPREFIX/.orvup-watcher.reg"
  fi
  # A server of our own, started away from any terminal: one that Wine starts
  # by itself can adopt a test's pseudo-terminal as its controlling terminal.
  setsid wineserver -f -p </dev/null >/dev/null 2>&1 &
  # Warm the prefix so the first test does not pay for the start-up.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 setup|stop ROOT" >&2
  exit 2
  ;;
esac
