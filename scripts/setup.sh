#!/usr/bin/env bash
# Installs what the build needs, only when something is missing.
#   scripts/setup.sh run    - the Linux build (compiler, CMake, Ninja)
#   scripts/setup.sh test   - also GoogleTest, the MinGW cross compilers, Wine,
#                             systemd (systemd-analyze verify and security of
#                             the Debian package's unit), strace (the system
#                             calls of the client against the unit's filter,
#                             the programs the service install starts) and
#                             clang 14 with libFuzzer
#                             (libclang-rt-14-dev holds libclang_rt.fuzzer;
#                             llvm-14 the symbolizer), and the locale sources
#                             (locales) from which cmake/wine-locale.sh
#                             compiles zh_CN.UTF-8: Wine runs the Windows
#                             tests at the Chinese code page 936
set -euo pipefail

profile=${1:-test}
packages=(cmake ninja-build g++ libcli11-dev)
if [ "$profile" = test ]; then
  packages+=(libgtest-dev googletest nlohmann-json3-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine rsync systemd
            strace locales clang-14 libclang-rt-14-dev llvm-14)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
