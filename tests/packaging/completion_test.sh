#!/usr/bin/env bash
# The bash completion that ships: what `orvup <TAB>` offers after each option,
# in a folder of firmware files and, for --port, a /dev with known ports (a
# private mount namespace, so root is needed for that part; exit 77 = skip).
#   completion_test.sh SOURCE_DIR
set -uo pipefail
export LC_ALL=C
src=$(cd "${1:?source folder}" && pwd)
completion=$src/packaging/bash-completion/orvup

if [ -z "${ORVUP_COMPLETION_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
    echo "SKIP: needs root and unshare for a private /dev"
    exit 77
  fi
  ORVUP_COMPLETION_INSIDE=1 exec unshare -m --propagation private "$0" "$src"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/fw/images" && cd "$work/fw" || exit 1
touch screen.bin OLD.BIN "with space.bin" io.uf2 io.UF2 notes.txt screen.bin.old images/a.uf2

# A /dev with two ACM ports, a USB adapter, a by-id link and a console.
mount -t tmpfs orvup-dev /dev || exit 1
mknod -m 666 /dev/null c 1 3
ln -s /proc/self/fd /dev/fd
touch /dev/ttyACM0 /dev/ttyACM1 /dev/ttyUSB0 /dev/ttyS0
mkdir -p /dev/serial/by-id
ln -s ../../ttyACM0 /dev/serial/by-id/usb-Orvane_IO_board_E6614C311B1A-if00

failed=0
# words on the line (the last one is being completed) | offers, sorted, joined by |
while IFS='|' read -r words expected; do
  got=$(bash --norc -c '
    source "$1"; shift
    COMP_WORDS=("$@"); [ "${COMP_WORDS[-1]}" = "<empty>" ] && COMP_WORDS[-1]=""
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _orvup
    printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd"|"' _ "$completion" $words)
  if [ "$got" != "$expected" ]; then
    echo "FAIL: orvup $words"; echo "  expected: $expected"; echo "  got:      $got"; failed=1
  fi
done <<'EOT'
orvup <empty>|--help|--io-fw|--list|--no-status|--port|--screen-fw|--version
orvup --s|--screen-fw
orvup --screen-fw <empty>|OLD.BIN|images|screen.bin|with space.bin
orvup --screen-fw s|screen.bin
orvup --io-fw <empty>|images|io.UF2|io.uf2
orvup --io-fw images/|images/a.uf2
orvup --port <empty>|/dev/serial/by-id/usb-Orvane_IO_board_E6614C311B1A-if00|/dev/ttyACM0|/dev/ttyACM1|/dev/ttyUSB0
orvup --port /dev/ttyA|/dev/ttyACM0|/dev/ttyACM1
orvup --port /dev/ttyS|/dev/ttyS0
orvup --list --port /dev/serial/|/dev/serial/by-id/usb-Orvane_IO_board_E6614C311B1A-if00
orvup --screen-fw screen.bin --port /dev/ttyU|/dev/ttyUSB0
orvup --screen-fw screen.bin --n|--no-status
EOT
# No board plugged in: nothing to offer for an empty --port.
rm -rf /dev/ttyACM* /dev/ttyUSB* /dev/serial
got=$(bash --norc -c 'source "$1"; COMP_WORDS=(orvup --port ""); COMP_CWORD=2; _orvup; echo "${#COMPREPLY[@]}"' _ "$completion")
[ "$got" = 0 ] || { echo "FAIL: --port offers $got names with no port present"; failed=1; }

if [ $failed -eq 0 ]; then echo "completion checks passed"; fi
exit $failed
