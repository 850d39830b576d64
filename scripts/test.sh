#!/usr/bin/env bash
# Builds every preset and runs every test: on Linux through our Win32 layer
# (with AddressSanitizer and UBSan), and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test
jobs=$(nproc)

echo "== Linux (default preset)"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== 32-bit Windows (mingw32 preset)"
cmake --preset mingw32
cmake --build --preset mingw32 -j "$jobs"

echo "== 64-bit Windows under Wine (mingw64 preset)"
cmake --preset mingw64
cmake --build --preset mingw64 -j "$jobs"
export QEL_WINEPREFIX="$PWD/build/mingw64/wineprefix"
WINEPREFIX="$QEL_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
WINEPREFIX="$QEL_WINEPREFIX" wineserver -w || true
ctest --preset mingw64 -j "$jobs"
