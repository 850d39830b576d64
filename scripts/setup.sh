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
#                             tests at the Chinese code page 936;
#                             and what the i386 profile installs
#   scripts/setup.sh i386   - the i386 world alone: g++-multilib (preset
#                             i386) and qemu-user-static, and the binfmt_misc
#                             entry through which the kernel hands i386
#                             programs to qemu-i386 (these machines run none
#                             natively, and Debian does not register i386 on
#                             amd64): the tests start the host and qelsrv as
#                             programs of their own
set -euo pipefail

profile=${1:-test}
packages=(cmake ninja-build g++ libcli11-dev)
i386_packages=(googletest nlohmann-json3-dev g++-multilib qemu-user-static)
case "$profile" in
  run) ;;
  test)
    packages+=(libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine rsync systemd
              strace locales clang-14 libclang-rt-14-dev llvm-14 "${i386_packages[@]}")
    ;;
  i386) packages+=("${i386_packages[@]}") ;;
  *)
    echo "setup: unknown profile '$profile' (run, test or i386)" >&2
    exit 2
    ;;
esac
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The binfmt_misc entry "qemu-i386": ELF, 32-bit, little-endian, x86 (the
# mask admits every OS/ABI byte and both executable and shared object), run
# by qemu-i386-static with the F flag, so that the kernel opens the
# interpreter once, here, and finds it in any mount namespace. Registered
# only when no entry hands i386 programs to an interpreter already; a machine
# where it cannot be done stops here, saying why.
binfmt=/proc/sys/fs/binfmt_misc
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
i386_interpreter=/usr/bin/qemu-i386-static

binfmt_failure() {
  echo "setup: i386 programs cannot run on this machine: $*" >&2
  echo "setup: the i386 world (preset i386) needs a binfmt_misc entry for them (root, or a container with" \
    "CAP_SYS_ADMIN, to mount binfmt_misc and register it)" >&2
  exit 1
}

# The entry that takes i386 programs today, if any: its name and interpreter.
i386_entry() {
  local entry
  for entry in "$binfmt"/*; do
    [ -f "$entry" ] && [ "$(basename "$entry")" != register ] && [ "$(basename "$entry")" != status ] || continue
    grep -qx 'enabled' "$entry" && grep -qx 'magic 7f454c4601010100000000000000000002000300' "$entry" || continue
    echo "$(basename "$entry") $(sed -n 's/^interpreter //p' "$entry")"
    return
  done
}

register_i386() {
  if [ ! -e "$binfmt/register" ]; then
    local refused
    refused=$($sudo_cmd mount -t binfmt_misc binfmt_misc "$binfmt" 2>&1) ||
      binfmt_failure "binfmt_misc is not mounted at $binfmt and mounting it failed: $refused"
    echo "setup: mounted binfmt_misc at $binfmt"
  fi
  [ "$(cat "$binfmt/status")" = enabled ] || binfmt_failure "binfmt_misc is disabled ($binfmt/status)"
  local entry
  entry=$(i386_entry)
  if [ -n "$entry" ]; then
    echo "setup: i386 programs already run through binfmt_misc entry ${entry% *} (${entry#* })"
  else
    if [ -e "$binfmt/qemu-i386" ]; then # ours, disabled or for another interpreter: made afresh
      echo -1 | $sudo_cmd tee "$binfmt/qemu-i386" >/dev/null
    fi
    printf ':qemu-i386:M::%s:%s:%s:F' "$i386_magic" "$i386_mask" "$i386_interpreter" |
      $sudo_cmd tee "$binfmt/register" >/dev/null 2>&1 ||
      binfmt_failure "the kernel refused the entry qemu-i386 ($binfmt/register)"
    echo "setup: registered binfmt_misc entry qemu-i386 ($i386_interpreter, flag F)"
  fi
}

# An i386 program of our own runs, or the stage fails here rather than in
# the first test.
check_i386_runs() {
  local scratch
  scratch=$(mktemp -d)
  printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' >"$scratch/probe.c"
  gcc -m32 -o "$scratch/probe" "$scratch/probe.c" || {
    rm -rf "$scratch"
    binfmt_failure "gcc -m32 cannot build an i386 program (g++-multilib)"
  }
  "$scratch/probe" || {
    rm -rf "$scratch"
    binfmt_failure "an i386 program did not run through binfmt_misc"
  }
  rm -rf "$scratch"
  echo "setup: an i386 program runs"
}

if [ "$profile" != run ]; then
  register_i386
  check_i386_runs
fi
