#!/usr/bin/env bash
# Runs `orvup.exe --list` in a Wine prefix whose only serial ports are the
# COM names given, so the port list can be checked against a known system:
#   list-ports.sh ROOT EXE [COMn ...]
# ROOT/prefix is made on first use and kept. Wine adds every /dev/ttyS*,
# ttyUSB* and ttyACM* of the host as a port of its own, so everything runs
# in a private mount namespace whose /dev lacks them (needs root, or a user
# namespace). Prints the program's standard output and exits with its
# status; the port table as Wine's registry enumerates it (value name and
# COM name, one pair a line) goes to ROOT/serialcomm.txt.
set -euo pipefail
root=$(mkdir -p "${1:?root folder}" && cd "$1" && pwd)
exe=${2:?orvup.exe}
shift 2

if [ -z "${ORVUP_LIST_INSIDE:-}" ]; then
  # One case at a time: the cases share the prefix and its server.
  exec 9>"$root/lock"
  flock 9
  ORVUP_LIST_INSIDE=1 exec unshare -m --propagation private "$0" "$root" "$exe" "$@"
fi

# /dev again, without the host's serial devices.
dev=$(mktemp -d)
mount -t tmpfs -o mode=755 orvup-dev "$dev"
files=()
for f in /dev/* /dev/.[!.]*; do
  [ -e "$f" ] || [ -L "$f" ] || continue
  name=${f#/dev/}
  case $name in ttyS[0-9]* | ttyUSB[0-9]* | ttyACM[0-9]*) continue ;; esac
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    mkdir "$dev/$name"
    mount --rbind "$f" "$dev/$name" || true
  else
    files+=("$f")
  fi
done
# Whatever cannot be copied (a socket, say) Wine does without.
cp -a "${files[@]}" "$dev/" 2>/dev/null || true
mount --move "$dev" /dev
rmdir "$dev" 2>/dev/null || true

export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
quiet() { "$@" </dev/null >/dev/null 2>&1; }

if [ ! -f "$WINEPREFIX/.orvup-ready" ]; then
  rm -rf "$WINEPREFIX"
  quiet wine wineboot -i
  quiet wineserver -w
  quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  touch "$WINEPREFIX/.orvup-ready"
fi

# The wanted ports, written into the registry file while no server runs:
# Wine builds its port table from them when its device services start.
quiet wineserver -k || true
quiet wineserver -w || true
awk -v stamp="$(date +%s)" -v ports="$*" '
  /^\[Software\\\\Wine\\\\Ports\]/ { skip = 1; next }
  skip && /^$/ { skip = 0; next }
  !skip { print }
  END {
    print "[Software\\\\Wine\\\\Ports] " stamp
    n = split(ports, p, " ")
    for (i = 1; i <= n; i++) print "\"" p[i] "\"=\"/dev/null\""
    print ""
  }' "$WINEPREFIX/system.reg" >"$root/system.reg.new"
mv "$root/system.reg.new" "$WINEPREFIX/system.reg"
quiet wine cmd /c exit # starts the services away from the output below

status=0
wine "$exe" --list </dev/null || status=$?
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' </dev/null 2>/dev/null |
  tr -d '\r' | awk '$2 == "REG_SZ" { print $1, $3 }' >"$root/serialcomm.txt" || true
quiet wineserver -k || true
exit $status
