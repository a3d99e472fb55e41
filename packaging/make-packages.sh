#!/usr/bin/env bash
# Makes the release packages that technicians install:
#   make-packages.sh VERSION PROGRAM OUT_DIR [WINDOWS_BUILD_DIR]
# OUT_DIR/orvup_VERSION_ARCH.deb from the Linux PROGRAM and the files beside
# this script, and, given the mingw-w64 build folder, OUT_DIR/orvup-VERSION-
# win64.zip with that build's orvup.exe (built first, so it is current).
# `cmake --build build --target package` runs this with the project's values.
#
# The .deb is assembled by hand and built with dpkg-deb, the way debhelper
# would lay it out: every file, mode and maintainer script is visible here.
# Both packages are reproducible: their dates come from the change log.
# ORVUP_KEEP_PACKAGE_WORK=1 keeps the assembled trees in OUT_DIR/package-work.
set -euo pipefail
export LC_ALL=C
umask 022

die() {
  echo "make-packages: $*" >&2
  exit 1
}
[ $# -ge 3 ] || die "usage: make-packages.sh VERSION PROGRAM OUT_DIR [WINDOWS_BUILD_DIR]"
version=$1
program=$2
out=$(mkdir -p "$3" && cd "$3" && pwd)
windows_build=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
changelog=$here/changelog

for tool in dpkg-deb dpkg-shlibdeps dpkg-parsechangelog gzip strip zip; do
  command -v "$tool" >/dev/null || die "$tool is missing (bash tools/install-deps.sh installs it)"
done
[ -x "$program" ] || die "no program at $program"
if [ -n "$windows_build" ]; then
  [ -f "$windows_build/build.ninja" ] || [ -f "$windows_build/Makefile" ] ||
    die "$windows_build is not a configured Windows build"
fi

# The version lives in CMake; the change log says what each version brought
# and must have an entry for this one.
logged=$(dpkg-parsechangelog -l "$changelog" -S Version)
[ "$logged" = "$version" ] ||
  die "the newest entry of packaging/changelog is $logged, but the project version is $version: add an entry for $version"
maintainer=$(dpkg-parsechangelog -l "$changelog" -S Maintainer)
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$changelog" -S Timestamp)
export SOURCE_DATE_EPOCH
arch=$(dpkg --print-architecture)

work=$out/package-work
rm -rf "$work"
mkdir -p "$work"

# Files installed mode 0644 (or 0755 for programs) under their package path.
put() { # put MODE SOURCE PATH-IN-PACKAGE
  install -D -m "$1" "$2" "$root/$3"
}
put_gzip() { # put_gzip SOURCE PATH-IN-PACKAGE, compressed without a time stamp
  mkdir -p "$(dirname "$root/$2")"
  gzip -9n <"$1" >"$root/$2"
  chmod 0644 "$root/$2"
}

make_deb() {
  # dpkg-shlibdeps looks for debian/control and for the files under
  # debian/<package>, as in a source package.
  root=$work/debian/orvup
  mkdir -p "$root/DEBIAN"
  printf 'Source: orvup\n\nPackage: orvup\nArchitecture: any\n' >"$work/debian/control"

  put 0755 "$program" usr/bin/orvup
  strip --remove-section=.comment --remove-section=.note "$root/usr/bin/orvup"
  sed "s/@VERSION@/$version/g" "$here/orvup.1" >"$work/orvup.1"
  put_gzip "$work/orvup.1" usr/share/man/man1/orvup.1.gz
  put 0644 "$here/bash-completion/orvup" usr/share/bash-completion/completions/orvup
  put 0644 "$here/linux/60-orvup.rules" usr/lib/udev/rules.d/60-orvup.rules
  put_gzip "$top/README.md" usr/share/doc/orvup/README.md.gz
  put_gzip "$changelog" usr/share/doc/orvup/changelog.gz
  put 0644 "$here/copyright" usr/share/doc/orvup/copyright
  put 0644 "$here/linux/lintian-overrides" usr/share/lintian/overrides/orvup

  local depends
  depends=$(cd "$work" && dpkg-shlibdeps -O debian/orvup/usr/bin/orvup | sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || die "dpkg-shlibdeps found no dependencies for orvup"

  install -m 0755 "$here/linux/postinst" "$here/linux/postrm" "$root/DEBIAN/"
  (cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
  chmod 0644 "$root/DEBIAN/md5sums"
  local size
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
    -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" "$here/linux/control" >"$root/DEBIAN/control"

  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  deb=$out/orvup_${version}_${arch}.deb
  dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
  echo "made $deb ($(stat -c %s "$deb") bytes)"
}

# The change log as plain text, newest first: "orvup 1.0.0 (2026-12-09)"
# over each entry's lines.
plain_changelog() {
  local line heading=''
  local -a entry=()
  while IFS= read -r line; do
    case $line in
    orvup\ \(*)
      heading=${line#orvup (}
      heading="orvup ${heading%%)*}"
      ;;
    ' -- '*)
      echo "$heading ($(date -u -d "${line##*>  }" +%F))"
      printf '%s\n' "${entry[@]}" | sed '${/^$/d}'
      echo
      entry=()
      ;;
    *) entry+=("$line") ;;
    esac
  done <"$changelog"
}

make_zip() {
  local exe=$windows_build/orvup.exe dir=$work/zip
  command -v x86_64-w64-mingw32-strip >/dev/null || die "x86_64-w64-mingw32-strip is missing (bash tools/install-deps.sh)"
  if ! cmake --build "$windows_build" --target orvup >"$work/windows-build.log" 2>&1; then
    cat "$work/windows-build.log" >&2
    die "the Windows build in $windows_build failed"
  fi
  mkdir -p "$dir"
  # The symbols take more than half of the file and help no technician.
  x86_64-w64-mingw32-strip -o "$dir/orvup.exe" "$exe"
  # Notepad on older Windows shows a file without carriage returns as one line.
  sed 's/\r*$/\r/' "$top/README.md" >"$dir/README.txt"
  plain_changelog | sed 's/\r*$/\r/' >"$dir/CHANGELOG.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$dir"/*
  zip="$out/orvup-$version-win64.zip"
  rm -f "$zip"
  (cd "$dir" && TZ=UTC zip -q -X -9 "$zip" orvup.exe README.txt CHANGELOG.txt)
  echo "made $zip ($(stat -c %s "$zip") bytes)"
}

make_deb
if [ -n "$windows_build" ]; then
  make_zip
else
  echo "make-packages: no Windows build given (configure with -DORVUP_WINDOWS_BUILD_DIR=...): no zip made" >&2
fi
[ -n "${ORVUP_KEEP_PACKAGE_WORK:-}" ] || rm -rf "$work"
