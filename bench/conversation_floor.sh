#!/usr/bin/env bash
# The floor that the update's conversation sets for small files: the client
# asks for one file at a time (a 292-byte request) and waits for its bytes
# before it asks for the next, so each file costs at least one loopback round
# trip and the server's open, read and close. This script times, on the same
# data in the same minute:
#   ask, dropped   the conversation alone (benchtool ask, bytes dropped)
#   ask, written   the conversation and a minimal client (create, write,
#                  time, close; none of the update's checks)
#   rsync          rsync -a --whole-file to an rsync daemon on 127.0.0.1
# and prints files per second and each against rsync. Loopback only.
#   bench/conversation_floor.sh [COUNT [SIZE [ROUNDS]]]   (default 10000 4096 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
size=${2:-4096}
rounds=${3:-3}
work=$(mktemp -d /tmp/qel-floor.XXXXXX)
# shellcheck source=bench/rsync_daemon.sh
. "$root/bench/rsync_daemon.sh"
cleanup() {
  stop_rsync_daemon
  rm -rf "$work"
}
trap cleanup EXIT

g++ -O2 -std=c++20 -o "$work/benchtool" "$root/bench/benchtool.cpp"
bt=$work/benchtool
"$bt" make-tree "$work/src" "$count" 100 "$size" "$size" 13
port=$((20000 + RANDOM % 20000))
rsync_port=$((port + 1))

start_rsync_daemon "$work" "$rsync_port"

ask() { # [OUT]
  "$bt" ask-serve "$port" "$work/src" &
  local server=$!
  "$bt" ask "$port" "$work/src" "$@" | sed -E 's/.*: ([0-9]+) files\/s/\1/'
  wait "$server"
}

timed_rsync() {
  rm -rf "$work/rsync-dest/copy"
  local t0=$EPOCHREALTIME
  rsync -a --whole-file "$work/src/" "rsync://127.0.0.1:$rsync_port/dest/copy/"
  python3 -c "print(round($count / ($EPOCHREALTIME - $t0)))"
}

printf '%-8s %14s %14s %10s %14s %14s\n' round "ask, dropped" "ask, written" rsync "dropped/rsync" "written/rsync"
for round in $(seq "$rounds"); do
  rm -rf "$work/out"
  dropped=$(ask)
  written=$(ask "$work/out")
  copied=$(timed_rsync)
  printf '%-8s %14s %14s %10s %14s %14s\n' "$round" "$dropped" "$written" "$copied" \
    "$(python3 -c "print(f'{$dropped / $copied:.2f}')")" "$(python3 -c "print(f'{$written / $copied:.2f}')")"
done
