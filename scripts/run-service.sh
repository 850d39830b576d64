#!/usr/bin/env bash
# Builds the release preset and runs the client host on its embedded default:
# drives are the single-letter folders of build/release/drives/ (C and D are
# made when there are none), the log goes to build/release/log/qeclt.log.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh run
cmake --preset release
cmake --build --preset release -j "$(nproc)"

install_dir=build/release
if ! ls -d "$install_dir"/drives/? >/dev/null 2>&1; then
  mkdir -p "$install_dir/drives/C/Windows" "$install_dir/drives/D"
fi
exec "$install_dir/bin/QELCltCore" "$@"
