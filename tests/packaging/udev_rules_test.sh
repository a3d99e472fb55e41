#!/usr/bin/env bash
# The udev rule file that ships, and the checker that guards it: the file
# passes, and each kind of fault the checker exists for is caught (a checker
# that passes everything would pass a broken rule file too).
#   udev_rules_test.sh SOURCE_DIR
set -uo pipefail
src=${1:?source folder}
check=$src/tools/check-udev-rules.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

if ! out=$("$check" "$src/packaging/linux/60-orvup.rules"); then
  echo "FAIL: the shipped rule file is refused:"; echo "$out"; failed=1
fi

good='SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", TAG+="uaccess"'
# file name | rule text | a piece of the expected complaint
while IFS='|' read -r name rule expected; do
  printf '# a comment\n\n%s\n' "$rule" >"$work/$name"
  if out=$("$check" "$work/$name"); then
    echo "FAIL: accepted $name: $rule"; failed=1
  elif [[ $out != *"$name:3: "*"$expected"* ]]; then
    echo "FAIL: $rule"; echo "  expected a complaint containing: $expected"; echo "  got: $out"; failed=1
  fi
done <<EOT
60-a.rules|SUBSYSTEM=="tty" ATTRS{idVendor}=="2e8a", TAG+="uaccess"|expected a comma
60-b.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", TAG+="uaccess",|a comma ends the rule
60-c.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", TAG+=uaccess|double-quoted value
60-d.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2E8A", TAG+="uaccess"|four lower-case hex digits
60-e.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", TAGG+="uaccess"|unknown key TAGG
60-f.rules|SUBSYSTEM=="tty", ATTRS{idVendor}="2e8a", TAG+="uaccess"|ATTRS{idVendor} cannot be assigned
60-g.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", ENV{ID_MM_DEVICE_IGNORE}=="1"|the rule assigns nothing
60-h.rules|TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"|matches nothing
60-i.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", MODE+="0660"|MODE is not a list
60-j.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", TAG+="uaccess" # the board|expected a comma
60-k.rules|SUBSYSTEM=="tty", ATTRS{idVendor}=="2e8a", SUBSYSTEM{x}=="tty", TAG+="uaccess"|unknown key SUBSYSTEM{x}
75-l.rules|$good|below 73
orvup.rules|$good|below 73
EOT

# A rule continued over two lines is one rule; a fault in it is reported at
# the line it starts on.
printf '%s\n' 'SUBSYSTEM=="tty", \' '  ATTRS{idVendor}=="2e8a", TAG+="uaccess"' >"$work/60-m.rules"
out=$("$check" "$work/60-m.rules") || { echo "FAIL: a continued rule is refused: $out"; failed=1; }
printf '%s\n' '# x' 'SUBSYSTEM=="tty", \' '  ATTRS{idVendor}=="2e8a" TAG+="uaccess"' >"$work/60-n.rules"
out=$("$check" "$work/60-n.rules") && { echo "FAIL: a faulty continued rule is accepted"; failed=1; }
[[ $out == *"60-n.rules:2: expected a comma"* ]] || { echo "FAIL: continued rule fault: $out"; failed=1; }

if [ $failed -eq 0 ]; then echo "udev rule checks passed"; fi
exit $failed
