#!/usr/bin/env bash
# The .deb's postinst and postrm: they tell udev about the rule when udev
# runs, only for the actions that change the rule, and never fail the
# install or removal over it. Runs them against a stand-in udevadm, with
# /run/udev present or absent in a private mount namespace (root needed;
# exit 77 = skip).
#   maintainer_scripts_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:?source folder}" && pwd)
if [ -z "${ORVUP_SCRIPTS_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
    echo "SKIP: needs root and unshare for a private /run"
    exit 77
  fi
  ORVUP_SCRIPTS_INSIDE=1 exec unshare -m --propagation private "$0" "$src"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mount -t tmpfs orvup-run /run || exit 1
mkdir -p "$work/bin" "$work/nobin"
# The stand-in records each call; ORVUP_UDEVADM_FAILS makes it fail.
cat >"$work/bin/udevadm" <<EOS
#!/bin/sh
echo "udevadm \$*" >>"$work/calls"
[ -z "\${ORVUP_UDEVADM_FAILS:-}" ]
EOS
chmod +x "$work/bin/udevadm"

reload='udevadm control --reload-rules'
trigger='udevadm trigger --subsystem-match=tty --subsystem-match=usb'
failed=0
# script argument | udev running? | udevadm: ok, fails or missing | calls expected (; between)
while IFS='|' read -r script argument running udevadm expected; do
  rm -f "$work/calls"
  if [ "$running" = yes ]; then mkdir -p /run/udev; else rm -rf /run/udev; fi
  path=$work/bin:/usr/bin:/bin
  [ "$udevadm" = missing ] && path=$work/nobin:/usr/bin:/bin
  fails=''
  [ "$udevadm" = fails ] && fails=1
  if ! out=$(PATH=$path ORVUP_UDEVADM_FAILS=$fails sh -e "$src/packaging/linux/$script" "$argument" 2>&1); then
    echo "FAIL: $script $argument (udev $running, udevadm $udevadm) failed: $out"
    failed=1
  fi
  got=$( [ -f "$work/calls" ] && paste -sd';' "$work/calls")
  expected=${expected//RELOAD/$reload}
  expected=${expected//TRIGGER/$trigger}
  if [ "$got" != "$expected" ]; then
    echo "FAIL: $script $argument (udev $running, udevadm $udevadm)"
    echo "  expected: $expected"
    echo "  got:      $got"
    failed=1
  fi
done <<'EOT'
postinst|configure|yes|ok|RELOAD;TRIGGER
postinst|configure|no|ok|
postinst|configure|yes|fails|RELOAD
postinst|configure|yes|missing|
postinst|abort-upgrade|yes|ok|
postrm|remove|yes|ok|RELOAD;TRIGGER
postrm|remove|no|ok|
postrm|remove|yes|fails|RELOAD
postrm|purge|yes|ok|
postrm|upgrade|yes|ok|
EOT

if [ $failed -eq 0 ]; then echo "maintainer script checks passed"; fi
exit $failed
