#!/usr/bin/env bash
# Builds every preset and runs every test: on Linux through our Win32 layer
# (with AddressSanitizer and UBSan), and the Windows build under Wine.
#
# The Windows builds come first: the Linux test run checks the tables of the
# 32-bit product's DLLs (tests/wine/windows_binaries_test) and drives the
# 64-bit build under Wine in the end-to-end suites (tests/wine, e2e_*_wine),
# the same suites that it runs against the Linux build (e2e_*_linux).
#   scripts/test.sh            everything
#   scripts/test.sh --package  also the Linux release packages (release preset)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test
jobs=$(nproc)
started=$SECONDS

echo "== 32-bit Windows (mingw32 preset): the product and its ZIP"
cmake --preset mingw32
cmake --build --preset mingw32 -j "$jobs" --target package

echo "== 64-bit Windows (mingw64 preset), for the tests under Wine"
cmake --preset mingw64
cmake --build --preset mingw64 -j "$jobs"

echo "== Linux (default preset), with the end-to-end suites in both worlds"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== Windows tests under Wine (mingw64 preset)"
export QEL_WINEPREFIX="$PWD/build/mingw64/wineprefix"
WINEPREFIX="$QEL_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
WINEPREFIX="$QEL_WINEPREFIX" wineserver -w || true
ctest --preset mingw64 -j "$jobs"

if [ "${1:-}" = --package ]; then
  echo "== Linux release packages (release preset)"
  cmake --preset release
  cmake --build --preset release -j "$jobs" --target package
fi

echo "== all tests passed in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
