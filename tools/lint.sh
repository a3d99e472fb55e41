#!/usr/bin/env bash
# Layout and static checks, as CI runs them:
#   lint.sh format   every C and C++ file of the repository laid out by clang-format
#   lint.sh tidy     clang-tidy (.clang-tidy) over the program's sources, the Linux
#                    ones with build/'s compile commands, the Windows ones with
#                    build-win/'s, parsed by clang as the mingw-w64 target
#   lint.sh          both
# Exits non-zero on any drift or finding. `clang-format -i FILE` mends layout.
set -uo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
failed=0

if [ "$what" = format ] || [ "$what" = all ]; then
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
  if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "lint: clang-format would change the files above (clang-format -i FILE)"
    failed=1
  fi
fi

tidy() { # tidy BUILD-DIR FILE... [-- EXTRA-ARGS...]
  local dir=$1
  shift
  local files=() extra=(--extra-arg=-Wno-unknown-warning-option)
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    files+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  for a in "$@"; do extra+=("--extra-arg=$a"); done
  if [ ! -f "$dir/compile_commands.json" ]; then
    echo "lint: $dir/compile_commands.json is missing: configure $dir first"
    return 1
  fi
  # One file at a time, two side by side: clang-tidy prints a file's
  # findings together.
  printf '%s\n' "${files[@]}" |
    xargs -P 2 -I{} clang-tidy -p "$dir" --quiet "${extra[@]}" {} 2>/dev/null |
    grep -E -A3 '(warning|error):' >"$dir/clang-tidy.log"
  if [ -s "$dir/clang-tidy.log" ]; then
    cat "$dir/clang-tidy.log"
    return 1
  fi
}

if [ "$what" = tidy ] || [ "$what" = all ]; then
  mapfile -t linux_files < <(git ls-files 'src/*.cpp' | grep -v -- '-win32\.cpp$')
  mapfile -t win_files < <(git ls-files 'src/*-win32.cpp')
  tidy build "${linux_files[@]}" || failed=1
  # clang finds the mingw-w64 C++ headers only when told where they are.
  gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
  win_args=(--target=x86_64-w64-mingw32
    -isystem "$gcc_dir/include/c++" -isystem "$gcc_dir/include/c++/x86_64-w64-mingw32"
    -isystem "$gcc_dir/include/c++/backward" -isystem /usr/x86_64-w64-mingw32/include)
  tidy build-win "${win_files[@]}" -- "${win_args[@]}" || failed=1
  [ $failed -eq 0 ] || echo "lint: clang-tidy findings above"
fi
exit $failed
