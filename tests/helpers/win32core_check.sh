#!/usr/bin/env bash
# Cross-compiles the Windows core with its check program and runs it under wine.
# Exits 77 (reported as skipped) when MinGW or wine is not installed.
#   win32core_check.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work_dir=$(realpath -m "$2")

compiler=$(command -v x86_64-w64-mingw32-g++-posix || true)
wine=$(command -v wine || command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$compiler" ] || [ -z "$wine" ]; then
  echo "SKIP: needs x86_64-w64-mingw32-g++-posix (mingw-w64) and wine (wine64)"
  exit 77
fi

mkdir -p "$work_dir"
exe=$work_dir/win32core_check.exe
"$compiler" -std=c++17 -O1 -Wall -Wextra -municode -static \
  -I"$source_dir/common/platform" \
  "$source_dir/common/platform/win32core.cpp" "$source_dir/common/platform/win32filestat.cpp" \
  "$source_dir/common/platform/commandline.cpp" \
  "$source_dir/tests/helpers/win32core_check.cpp" \
  -o "$exe" -lshell32 -luser32

export WINEPREFIX=$work_dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix is kept in the build folder, so only the first run pays for it.
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -u >/dev/null 2>&1
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
trap '"$wineserver" -k 2>/dev/null || true' EXIT

arguments=()
[ -z "${DISPLAY:-}" ] && arguments+=(--no-windows)
"$wine" "$exe" "${arguments[@]}"
