#!/usr/bin/env bash
# Strict check of udev rule files, for machines whose udevadm cannot verify
# a file on its own (Debian 12's udev 252 has no `udevadm verify`, and
# `udevadm test` needs a device). Accepts only the plain constructs our rules
# use: comma-separated KEY=="value", KEY!="value", KEY="value", KEY+="value",
# KEY-="value" and KEY:="value", with known keys used with the operators
# they allow, each rule matching on something and assigning something.
# Beyond the syntax it refuses what udev would take but never match: a USB
# id that is not four lower-case hex digits, as sysfs shows them, and a
# uaccess tag in a file that sorts after 73-seat-late.rules, which acts on it.
#   check-udev-rules.sh FILE...   prints each fault as FILE:LINE: text, exit 1
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
status=0
for file in "$@"; do
  [ -r "$file" ] || { echo "$file: cannot read" >&2; status=1; continue; }
  awk -v file="$file" -v base="$(basename "$file")" '
    function fault(text) { printf "%s:%d: %s\n", file, start, text; bad = 1 }
    # Which operators a key takes. "m" match (== !=), "a" assign (= :=),
    # "l" list edits (+= -=).
    function ops_of(key,   name) {
      name = key; sub(/\{.*/, "", name)
      if (key ~ /\{/ && name !~ /^(ATTR|ATTRS|ENV|CONST|SYSCTL|IMPORT|RUN|SECLABEL|TEST)$/) return ""
      if (key !~ /\{/ && name ~ /^(ATTR|ATTRS|ENV|CONST|SYSCTL|IMPORT|SECLABEL)$/) return ""
      if (name ~ /^(ACTION|DEVPATH|KERNEL|KERNELS|SUBSYSTEM|SUBSYSTEMS|DRIVER|DRIVERS|ATTRS|TAGS|CONST|TEST|PROGRAM|RESULT)$/) return "m"
      if (name ~ /^(ATTR|ENV|SYSCTL|NAME)$/) return "ma"
      if (name ~ /^(TAG|SYMLINK)$/) return "mal"
      if (name == "RUN") return "al"
      if (name ~ /^(OWNER|GROUP|MODE|LABEL|GOTO|IMPORT|OPTIONS|SECLABEL)$/) return "a"
      return ""
    }
    function check_rule(rule,   rest, key, op, value, kind, matches, assigns) {
      rest = rule; matches = 0; assigns = 0
      while (1) {
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^[A-Z_]+(\{[A-Za-z0-9_.\/*-]+\})?/)) { fault("expected a key at: " rest); return }
        key = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^(==|!=|\+=|-=|:=|=)/)) { fault("expected an operator after " key); return }
        op = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^"[^"\\]*"/)) { fault("expected a double-quoted value after " key op); return }
        value = substr(rest, 2, RLENGTH - 2); rest = substr(rest, RLENGTH + 1)
        kind = ops_of(key)
        if (kind == "") { fault("unknown key " key); return }
        if (op == "==" || op == "!=") { if (kind !~ /m/) fault(key " cannot be matched"); matches++ }
        else if (op == "=" || op == ":=") { if (kind !~ /a/) fault(key " cannot be assigned"); assigns++ }
        else { if (kind !~ /l/) fault(key " is not a list: " op " is not allowed"); assigns++ }
        if (key ~ /^ATTRS?\{id(Vendor|Product)\}$/ && value !~ /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]$/)
          fault(key " must be four lower-case hex digits, as sysfs shows it: \"" value "\"")
        if (key == "TAG" && value == "uaccess") {
          if (!match(base, /^[0-9][0-9]-/) || substr(base, 1, 2) + 0 >= 73)
            fault("uaccess takes effect only in a file named NN-*.rules with NN below 73")
        }
        sub(/^[ \t]+/, "", rest)
        if (rest == "") break
        if (substr(rest, 1, 1) != ",") { fault("expected a comma before: " rest); return }
        rest = substr(rest, 2)
        if (rest ~ /^[ \t]*$/) { fault("a comma ends the rule"); return }
      }
      if (!matches) fault("the rule matches nothing, so it applies to every device")
      if (!assigns) fault("the rule assigns nothing")
    }
    {
      line = $0
      if (pending == "") start = NR
      if (line ~ /\\$/) { pending = pending substr(line, 1, length(line) - 1); next }
      line = pending line; pending = ""
      if (line ~ /^[ \t]*(#.*)?$/) next
      check_rule(line)
      rules++
    }
    END {
      if (pending != "") { start = NR; fault("the file ends inside a continued line") }
      if (!rules && !bad) { start = NR; fault("no rules") }
      exit bad
    }' "$file" || status=1
done
exit $status
