#!/usr/bin/env bash
# Checks the release packages that `cmake --build BUILD --target package`
# made, as a technician would meet them:
#   check-packages.sh BUILD BUILD_WIN
# The .deb: its files, modes and control fields, lintian, then installed on
# this machine with dpkg (root needed), run, looked up in man, and removed
# and purged without a trace. The zip: its files, Windows line ends, and its
# orvup.exe answering --version under Wine.
# Refuses to run where orvup is already installed: it would remove it.
set -uo pipefail
export LC_ALL=C
build=$(cd "${1:?Linux build folder}" && pwd)
build_win=$(cd "${2:?Windows build folder}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s)
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
note() { echo "  $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
banner=$(sed -n 's/^#define ORVUP_VERSION_BANNER "\(.*\)"$/\1/p' "$build/generated/orvup-version.h")
arch=$(dpkg --print-architecture)
deb=$build/orvup_${version}_${arch}.deb
zip=$build/orvup-${version}-win64.zip
[ -n "$version" ] && [ -n "$banner" ] || {
  echo "FAIL: no project version in $build"
  exit 1
}
for f in "$deb" "$zip"; do
  [ -f "$f" ] || {
    echo "FAIL: $f is missing: run cmake --build $build --target package"
    exit 1
  }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== $(basename "$deb") ($(stat -c %s "$deb") bytes)"
# Every file with its mode and owner: nothing more, nothing less.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' >"$work/files"
cat >"$work/files.expected" <<EOF
-rwxr-xr-x root/root /usr/bin/orvup
-rw-r--r-- root/root /usr/lib/udev/rules.d/60-orvup.rules
-rw-r--r-- root/root /usr/share/bash-completion/completions/orvup
-rw-r--r-- root/root /usr/share/doc/orvup/README.md.gz
-rw-r--r-- root/root /usr/share/doc/orvup/changelog.gz
-rw-r--r-- root/root /usr/share/doc/orvup/copyright
-rw-r--r-- root/root /usr/share/lintian/overrides/orvup
-rw-r--r-- root/root /usr/share/man/man1/orvup.1.gz
EOF
diff -u "$work/files.expected" "$work/files" >/dev/null || fail "the package's files: $(diff "$work/files.expected" "$work/files")"
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print }' | grep . &&
  fail "folders above are not root-owned 0755"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvup ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
[[ $(field Depends) == *libc6* ]] || fail "Depends has no libc6: '$(field Depends)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: '$(field Maintainer)'"
[[ $(field Installed-Size) =~ ^[0-9]+$ ]] || fail "Installed-Size: '$(field Installed-Size)'"
[ -n "$(field Description)" ] || fail "no Description"
note "Depends: $(field Depends)"

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
readelf -S "$work/root/usr/bin/orvup" | grep -q '\.symtab' && fail "/usr/bin/orvup is not stripped"
for script in postinst postrm; do
  [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "$script is missing or not a valid sh script"
done
zcat "$work/root/usr/share/man/man1/orvup.1.gz" >"$work/orvup.1"
grep -q "orvup $version" "$work/orvup.1" || fail "the man page does not carry version $version"
out=$(MANWIDTH=80 man --warnings -l "$work/orvup.1" 2>&1 >/dev/null)
[ -z "$out" ] || fail "man reports: $out"
out=$("$top/tools/check-udev-rules.sh" "$work/root/usr/lib/udev/rules.d/60-orvup.rules") || fail "udev rule: $out"
bash -n "$work/root/usr/share/bash-completion/completions/orvup" || fail "the bash completion does not parse"

# Any error or warning fails the check; an overridden tag shows as O: with
# its reason and does not count.
lintian --pedantic --display-info --show-overrides --fail-on none "$deb" >"$work/lintian" 2>&1 ||
  fail "lintian did not run"
grep -q '^[EW]: ' "$work/lintian" && fail "lintian reports errors or warnings:"
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  lintian: /'

echo "== installing $(basename "$deb")"
if [ "$(id -u)" -ne 0 ]; then
  fail "installing the package needs root"
elif dpkg-query -W -f='${Status}' orvup 2>/dev/null | grep -qv 'not-installed'; then
  fail "orvup is already installed here; remove it (dpkg -P orvup) so the check may install and remove it"
else
  sed 's/^[^ ]* [^ ]* //' "$work/files" >"$work/paths"
  while read -r path; do
    [ -e "$path" ] && fail "$path exists before installing: it would be lost at removal"
  done <"$work/paths"
  # Folders the package brings that are not there yet must go with it.
  dpkg-deb -c "$deb" | awk '$1 ~ /^d/ { sub(/^\./, "", $6); sub(/\/$/, "", $6); print $6 }' |
    while read -r dir; do [ -n "$dir" ] && [ ! -d "$dir" ] && echo "$dir"; done >"$work/new-dirs"

  # A machine set to leave out manuals and documents (slim images) would
  # still get ours: the check is about the package, not that setting.
  if dpkg -i --path-include='/usr/share/man/man1/orvup.1.gz' --path-include='/usr/share/doc/orvup/*' "$deb" \
    >"$work/dpkg-i" 2>&1; then
    out=$(orvup --version)
    [ "$out" = "orvup $banner" ] || fail "orvup --version printed '$out', expected 'orvup $banner'"
    out=$(orvup --list | head -1)
    [ "$out" = "orvup v$banner" ] || fail "the banner is '$out', expected 'orvup v$banner'"
    [ "$(command -v orvup)" = /usr/bin/orvup ] || fail "orvup on the PATH is $(command -v orvup)"
    out=$(man -w orvup 2>&1)
    [ "$out" = /usr/share/man/man1/orvup.1.gz ] || fail "man -w orvup: $out"
    out=$(MANWIDTH=80 man --warnings orvup 2>&1 >/dev/null)
    [ -z "$out" ] || fail "man orvup reports: $out"
    # bash-completion's loader finds it by the command's name, as at a TAB.
    out=$(bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion orvup && complete -p orvup' 2>&1)
    [ "$out" = "complete -F _orvup orvup" ] || fail "bash-completion does not load the completion: $out"
    "$top/tools/check-udev-rules.sh" /usr/lib/udev/rules.d/60-orvup.rules >/dev/null || fail "installed udev rule"
    dpkg -L orvup | while read -r p; do [ -f "$p" ] && echo "$p"; done | sort >"$work/listed"
    sort "$work/paths" | diff -q - "$work/listed" >/dev/null || fail "dpkg -L orvup: $(cat "$work/listed")"
    note "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' orvup)"
  else
    fail "dpkg -i: $(cat "$work/dpkg-i")"
  fi

  echo "== removing"
  dpkg -r orvup >"$work/dpkg-r" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg-r")"
  while read -r path; do
    [ -e "$path" ] && fail "$path is left after dpkg -r"
  done <"$work/paths"
  while read -r dir; do
    [ -e "$dir" ] && fail "folder $dir is left after dpkg -r"
  done <"$work/new-dirs"
  dpkg -L orvup 2>/dev/null | grep -q '^/' && fail "dpkg -L still lists files after dpkg -r"
  # The postrm keeps the package in dpkg's records until it is purged.
  dpkg -P orvup >"$work/dpkg-p" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg-p")"
  dpkg-query -W orvup >/dev/null 2>&1 && fail "dpkg still knows orvup after dpkg -P"
  ls /var/lib/dpkg/info/orvup.* >/dev/null 2>&1 && fail "dpkg keeps $(ls /var/lib/dpkg/info/orvup.*)"
fi

echo "== $(basename "$zip") ($(stat -c %s "$zip") bytes)"
out=$(unzip -Z1 "$zip" | sort | paste -sd' ')
[ "$out" = "CHANGELOG.txt README.txt orvup.exe" ] || fail "the zip holds: $out"
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip" || fail "unzip"
for f in README.txt CHANGELOG.txt; do
  # Every line ends in CR LF, the last one too.
  grep -q $'[^\r]$\|^$' "$work/zip/$f" && fail "$f has lines without a carriage return"
  [ "$(tail -c1 "$work/zip/$f" | od -An -c | tr -d ' ')" = '\n' ] || fail "$f does not end with a line end"
done
tr -d '\r' <"$work/zip/README.txt" | cmp -s - "$top/README.md" || fail "README.txt is not the README"
grep -q "^orvup $version (" "$work/zip/CHANGELOG.txt" || fail "CHANGELOG.txt has no entry for $version"
exe=$work/zip/orvup.exe
x86_64-w64-mingw32-objdump -p "$exe" | grep -qi 'DLL Name: lib' && fail "orvup.exe needs MinGW DLLs"
quad=$(sed -n 's/^#define ORVUP_VERSION_QUAD \(.*\)$/\1/p' "$build_win/generated/orvup-version.h")
x86_64-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null | grep -q "FILEVERSION ${quad//,/, }" ||
  fail "orvup.exe carries no version resource for $quad"

# orvup.exe runs in a Wine prefix of the check's own, kept for the next run,
# so stopping its server disturbs no test.
prefix=$build/package-check/wine-prefix
wine_run() {
  env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" "$@" </dev/null
}
if [ ! -f "$prefix/.orvup-ready" ]; then
  rm -rf "$prefix" && mkdir -p "$prefix"
  wine_run wine wineboot -i >/dev/null 2>&1 && wine_run wineserver -w && touch "$prefix/.orvup-ready"
fi
out=$(cd "$work/zip" && wine_run timeout 120 wine ./orvup.exe --version 2>/dev/null | tr -d '\r')
[ "$out" = "orvup $banner" ] || fail "orvup.exe --version under Wine printed '$out', expected 'orvup $banner'"
wine_run wineserver -k 2>/dev/null

echo "== package check took $(($(date +%s) - started)) s"
if [ $failed -ne 0 ]; then
  echo "PACKAGE CHECK FAILED"
  exit 1
fi
echo "Both packages passed."
