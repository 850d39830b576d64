#!/usr/bin/env bash
# Runs the checks of .clang-tidy over our sources, with the Linux build's
# compile commands (build/default, made by `cmake --preset default`).
#   scripts/tidy.sh [REGEX]   - only the files whose path matches REGEX
# Clang reads the sources the core compiles for the GBK code page as UTF-8:
# the checks look at the code, not at the bytes of the log texts.
set -euo pipefail
cd "$(dirname "$0")/.."

commands=build/default/compile_commands.json
[ -f "$commands" ] || { echo "tidy: $commands is missing (cmake --preset default makes it)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# GCC's options that clang does not take: the execution character set and
# the warnings clang does not know.
sed -e 's/-fexec-charset=[A-Za-z0-9-]*//g' "$commands" >"$work/compile_commands.json"

# Our sources that the Linux build compiles (the Windows-only files have no
# compile command here).
filter=${1:-.}
mapfile -t files < <(git ls-files -- '*.cpp' | grep -E '^(ClientCore|Protocol|Win32Posix|Ravelnet|Pelkit|Host|Server|tests|bench)/' |
  grep -E -- "$filter" | sed "s|^|$PWD/|" | grep -F -x -f <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$commands"))
run-clang-tidy-14 -quiet -p "$work" -j "$(nproc)" -extra-arg=-Wno-unknown-warning-option "${files[@]}"
