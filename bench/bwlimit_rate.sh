#!/usr/bin/env bash
# The live rate of qelsrv's bandwidth cap: one `qelsrv update --bwlimit`
# to CLIENTS client hosts on loopback, each fetching a file of MB megabytes,
# and the rate the tool reports (bytes sent over the sending time) against
# the cap. The cap's arithmetic is tested with a clock of the test's own
# (tests/room/room_targets_test.cpp); this is where its real rate is seen.
#
#   bench/bwlimit_rate.sh [CAP [CLIENTS [MB]]]     # default 24M 3 4
#
# CAP is written as --bwlimit takes it (bits per second, K/M/G suffixes).
# Prints one line: the cap in bytes per second, the reported rate and their
# ratio. The release build goes to build/bench-release, as update_bench.sh's.
set -euo pipefail
cap=${1:-24M}
clients=${2:-3}
megabytes=${3:-4}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench-release
work=$(mktemp -d /tmp/qel-bwlimit-XXXXXX)
first_port=29790
pids=()

cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

cmake --preset release -B "$build" \
  -DCMAKE_CXX_FLAGS="-Wno-maybe-uninitialized -Wno-restrict -Wno-stringop-overflow -Wno-array-bounds" >/dev/null
cmake --build "$build" -j 2 --target QELCltCore qelsrv >/dev/null

mkdir -p "$work/game"
head -c "$((megabytes * 1000000))" /dev/urandom >"$work/game/big.bin"

targets=()
for i in $(seq "$clients"); do
  home=$work/h$i port=$((first_port + i - 1))
  mkdir -p "$home/bin" "$home/log" "$home/c/Windows" "$home/d"
  cp -a "$build"/bin/. "$home/bin/"
  QEL_DRIVES="C=$home/c;D=$home/d" QEL_REGISTRY="$work/none.reg" RAVELNET_PORT=$port \
    "$home/bin/QELCltCore" >"$home/host.out" 2>&1 &
  pids+=($!)
  targets+=("127.0.0.1:$port")
done
for i in $(seq "$clients"); do
  home=$work/h$i
  for _ in $(seq 600); do
    grep -q "service running" "$home/host.out" 2>/dev/null && break
    kill -0 "${pids[i - 1]}" 2>/dev/null || { cat "$home/host.out" >&2; exit 1; }
    sleep 0.05
  done
done

"$build/bin/qelsrv" update --game "$work/game" --path 'D:\Games\bwlimit\' --version 1 --json \
  --bwlimit "$cap" "${targets[@]}" >"$work/run.json"
python3 - "$work/run.json" <<'PY'
import json, sys
totals = json.load(open(sys.argv[1]))["totals"]
cap = totals["bwlimitBytesPerSecond"]
rate = totals["sendRate"]
print(f"bwlimit: cap {cap} B/s, sent {totals['bytesSent']} B in {totals['sendingSeconds']:.3f} s, "
      f"rate {rate:.0f} B/s, rate/cap {rate / cap:.3f}")
PY
