#!/usr/bin/env bash
# Builds every preset and runs every test: on Linux through our Win32 layer
# (with AddressSanitizer and UBSan), and the Windows build under Wine.
#
# The Windows builds come first: the Linux test run checks the tables of the
# 32-bit product's DLLs (tests/e2e/windows_binaries_test) and drives the
# 64-bit build under Wine in the end-to-end suites (tests/e2e, e2e_*_wine),
# the same suites that it runs against the Linux build (e2e_*_linux).
# The Linux release packages (release preset) are made before the Linux
# tests: debian_package_test checks the .deb and runs the client unpacked
# from it.
# The style check (scripts/format.sh --check) comes first: it takes seconds.
# The libFuzzer targets (preset fuzz) run next, 20 s each over their seeds,
# and the i386 world last (its block at the end).
# At the end (also after a failure) one line per stage tells its time.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$SECONDS
stage_times=()

print_times() {
  local status=$?
  [ ${#stage_times[@]} -eq 0 ] || printf '%s\n' "${stage_times[@]}"
  if [ "$status" -eq 0 ]; then
    echo "== all tests passed in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
  fi
}
trap print_times EXIT

# stage NAME COMMAND...: runs the command and keeps the time it took.
stage() {
  local name=$1 begun=$SECONDS
  shift
  echo "== $name"
  "$@"
  stage_times+=("time: $(printf '%-48s' "$name") $(( (SECONDS - begun) / 60 )) min $(( (SECONDS - begun) % 60 )) s")
}

# wine_prefix FOLDER: a Wine prefix made at the code page the tests run at
# (cmake/wine-locale.sh: zh_CN.UTF-8, ANSI code page 936). A prefix made
# under another locale (or before this was recorded) is made afresh: Wine
# keeps locale settings of its creation in the prefix's registry.
wine_prefix() {
  local prefix=$1 settings marker wanted
  settings=$(cmake/wine-locale.sh)
  marker="$prefix/.qel-locale"
  wanted=$(printf '%s\n' "$settings" | grep -E '^(LC_CTYPE|LC_MESSAGES)=' | tr '\n' ' ')
  if [ -d "$prefix" ] && [ "$(cat "$marker" 2>/dev/null)" != "$wanted" ]; then
    echo "wine prefix $prefix: made under another locale, made afresh"
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
  fi
  if [ ! -f "$marker" ]; then
    mkdir -p "$prefix"
    local locale
    mapfile -t locale <<<"$settings"
    env -u LC_ALL -u LANGUAGE "${locale[@]}" WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      wineboot -i >/dev/null 2>&1 || true
    env -u LC_ALL -u LANGUAGE "${locale[@]}" WINEPREFIX="$prefix" wineserver -w || true
    printf '%s' "$wanted" >"$marker"
  fi
}

build() {
  cmake --preset "$1"
  shift
  cmake --build --preset "$@" -j "$jobs"
}

stage "set-up (packages)" scripts/setup.sh test
stage "Style (.clang-format)" scripts/format.sh --check
stage "32-bit Windows build (mingw32) and its ZIP" build mingw32 mingw32 --target package
stage "64-bit Windows build (mingw64)" build mingw64 mingw64
stage "Linux release packages (release)" build release release --target package
stage "Linux build (default)" build default default
stage "Wine prefix of the end-to-end tests" wine_prefix "$PWD/build/default/wineprefix-e2e"
stage "Linux tests, end-to-end in both worlds" ctest --preset default -j "$jobs"
stage "Wine prefix of the Windows tests" wine_prefix "$PWD/build/mingw64/wineprefix"
stage "Windows tests under Wine (mingw64)" ctest --preset mingw64 -j "$jobs"
stage "Fuzz targets, 20 s each (fuzz)" scripts/fuzz.sh 20

# ---- The i386 world -------------------------------------------------------------
# The product is a 32-bit DLL: its arithmetic (size_t, long and pointer
# differences of 32 bits, against files past 4 GiB and tasks past 2 GiB) is
# tested by an i386 Linux build of the same sources (preset i386). These
# machines run no i386 program natively: its tests run under qemu-i386 in user
# mode, and the host and qelsrv that they start through the binfmt_misc entry
# that scripts/setup.sh registers (checked again here: it fails this stage,
# saying why, where it cannot be done). No sanitizers: they do not run under
# qemu-user. The test preset leaves out the Wine world and the package
# checks, which the stages above ran.
i386_build() {
  scripts/setup.sh i386
  build i386 i386
}
stage "i386 world: build (i386)" i386_build
stage "i386 world: tests under qemu-i386 (i386)" ctest --preset i386 -j "$jobs"
