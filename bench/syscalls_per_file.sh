#!/usr/bin/env bash
# System calls the client makes per new file: an update that fetches the last
# 1,000 files (in name order) of the one5k set into a copy of the other 4,000,
# counted with `strace -c -f` on the client host, less a no-change update of
# the whole copied set under the same count (the start, the check list and the
# comparison of every listed file are in both).
#
#   bench/syscalls_per_file.sh [BUILD]   BUILD: a release build with bin/QELCltCore
#                                        and bin/qelsrv (default build/bench-release,
#                                        which bench/update_bench.sh makes)
#   QEL_BENCH_DIR=/some/dir ...          where the one5k set lives (default
#                                        /tmp/qel-bench, made by update_bench.sh)
#
# Prints both counts, the difference per new file, and the calls of the
# new-file run by name (strace's table) to $QEL_BENCH_DIR/strace-new-files.txt.
# Loopback only (127.0.0.1:29790).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/bench-release}" && pwd)
work=${QEL_BENCH_DIR:-/tmp/qel-bench}
set_name=one5k
src=$work/src/$set_name
port=29790
new_files=1000
[ -d "$src" ] || { echo "no $src: run bench/update_bench.sh quick once to make the data" >&2; exit 2; }
[ -f "$work/buffered.reg" ] || { echo "no $work/buffered.reg: run bench/update_bench.sh once" >&2; exit 2; }

home=$(mktemp -d "$work/strace-home.XXXXXX")
host_pid=
# strace ignores SIGTERM: the host it runs is stopped instead.
stop_host() {
  pkill -TERM -P "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=
}
cleanup() {
  [ -n "$host_pid" ] && stop_host
  rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/bin" "$home/log" "$home/c/Windows" "$home/d/Games"
cp -a "$build"/bin/. "$home/bin/"
dest=$home/d/Games/$set_name

# One update under strace -c; prints the total number of calls.
counted_update() { # version output
  : >"$home/host.out"
  QEL_DRIVES="C=$home/c;D=$home/d" QEL_REGISTRY="$work/buffered.reg" RAVELNET_PORT=$port \
    strace -c -f -o "$2" "$home/bin/QELCltCore" >"$home/host.out" 2>&1 &
  host_pid=$!
  for _ in $(seq 400); do
    grep -q "service running" "$home/host.out" 2>/dev/null && break
    kill -0 "$host_pid" 2>/dev/null || { cat "$home/host.out" >&2; exit 1; }
    sleep 0.05
  done
  "$build/bin/qelsrv" update "127.0.0.1:$port" --game "$src" --path "D:\\Games\\$set_name\\" \
    --version "$1" >"$home/qelsrv.out"
  stop_host
  awk '$NF == "total" { print $4 }' "$2"
}

cp -a "$src" "$dest"
counted_update strace-same "$home/same.txt" >"$home/same.count"
same=$(cat "$home/same.count")
find "$dest" -path "$dest/tarngamever" -prune -o -type f -print | sort | tail -n "$new_files" | xargs rm --
counted_update strace-new "$home/new.txt" >"$home/new.count"
new=$(cat "$home/new.count")
diff -r -x tarngamever "$src" "$dest" >/dev/null || { echo "the destination differs from the source" >&2; exit 1; }
cp "$home/new.txt" "$work/strace-new-files.txt"
echo "no-change update of $(find "$src" -type f | wc -l) files: $same calls"
echo "update fetching $new_files new files: $new calls"
awk -v a="$same" -v b="$new" -v n="$new_files" 'BEGIN { printf "per new file: %.1f calls\n", (b - a) / n }'
