#!/usr/bin/env bash
# The game update over loopback against the real client host, beside the raw
# ceiling (a plain TCP copy of the same bytes into files) and rsync.
#
#   bench/update_bench.sh            build (release, in build/bench-release),
#                                    make the data once, run everything
#   bench/update_bench.sh quick      the quick profile: smaller sets, one run
#                                    of each measurement (a few minutes)
#   QEL_BENCH_DIR=/some/dir ...      where data and results live (default /tmp/qel-bench)
#   QEL_BENCH_SETS="large k4" ...    run only these sets (full profile: large mix
#                                    k4 f100k one1k one5k one20k)
#   QEL_BENCH_CLIENTS="1 4" ...      client counts of the many-clients run
#                                    (full: 1 4 16; quick: 1 4); "" skips it
#   QEL_BENCH_REPEAT=N ...           runs of each measurement, the best kept (full
#                                    3, quick 1 but 2 on the large set; 1 for the
#                                    unbuffered modes on small files)
#
# Sets, all made with reproducible pseudo-random content:
#   large    3 files of 300 MiB
#   large1g  4 files of 256 MiB (quick)
#   mix      the 3 large files, 1000 files of 1-64 KiB (50 a folder) and a
#            chain of 12 nested folders with 20 files of 1-8 KiB each
#   k4       10,000 files of 4 KiB, 100 a folder
#   f100k    100,000 files of 1-1024 bytes, 100 a folder (1000 folders)
#   f20k     20,000 files of 1-1024 bytes, 100 a folder (quick: no-change only)
#   one1k, one5k, one20k   1,000, 5,000, 20,000 files of 1-1024 bytes, all in
#            one folder: the cost of a new file as its folder grows (the
#            update fetches the last 1,000 into a copy of the rest)
#
# For each set: a full update in each write mode (buffered, then without the
# system cache: "QELClt_NoBufWrite"="1"; f100k buffered only), a no-change update (a new version, so
# the task runs, but every file is current), the raw copy in both modes
# (buffered only for f100k), rsync -a --whole-file to an rsync daemon on
# 127.0.0.1, and rsync's no-change run. The one-folder sets get a no-change
# update of a copy of the set and a buffered update of 1,000 new files into a
# copy of the rest; f20k only the two no-change runs, on a destination copied
# with cp -a. Then the many-clients run: one qelsrv update to N client hosts at
# once (each its own port on 127.0.0.1, drive folder and log), for the large
# set and k4, with qelsrv's peak memory and CPU time, timed until the copies
# are on the disk (the one timed `sync`).
# Every full transfer starts from an empty destination; the client host is
# started afresh for each update so that its peak memory (VmHWM) is that of
# the one task. `sync` runs between measurements and is not timed. Numbers go
# to $QEL_BENCH_DIR/results[-quick].tsv, multi[-quick].tsv and the tables at
# the end. Destinations are removed as each set ends; the sources stay under
# $QEL_BENCH_DIR/src for the next run (rm -rf it to free the space).
set -euo pipefail

profile=${1:-full}
case $profile in
  full)
    default_sets="large mix k4 f100k one1k one5k one20k"
    default_clients="1 4 16"
    multi_sets="large k4"
    default_repeat=3
    suffix= ;;
  quick)
    default_sets="large1g k4 f20k one1k one5k one20k"
    default_clients="1 4"
    multi_sets="large1g k4"
    default_repeat=1
    suffix=-quick ;;
  *)
    echo "usage: $0 [quick]" >&2
    exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
work=${QEL_BENCH_DIR:-/tmp/qel-bench}
sets=${QEL_BENCH_SETS:-$default_sets}
client_counts=${QEL_BENCH_CLIENTS-$default_clients}
build=$root/build/bench-release
client_port=29750
rsync_port=29873
raw_port=29751
first_multi_port=29760 # one port per client host of the many-clients run
repeat=${QEL_BENCH_REPEAT:-$default_repeat}
# A run of the large set takes seconds and one disturbance can double it:
# at least two of them, also in the quick profile.
large_repeat=$((repeat > 2 ? repeat : 2))
results=$work/results$suffix.tsv
multi_results=$work/multi$suffix.tsv

log() { printf '== %s %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

# ---- Tools ----------------------------------------------------------------

prepare_tools() {
  if ! command -v rsync >/dev/null; then
    log "installing rsync"
    apt-get install -y -q rsync >/dev/null
  fi
  log "building the release preset in $build"
  # GCC 12 at -O3 reports false positives (maybe-uninitialized, restrict) in
  # code that is clean at -O0, and warnings are errors: keep them warnings here.
  cmake --preset release -B "$build" \
    -DCMAKE_CXX_FLAGS="-Wno-maybe-uninitialized -Wno-restrict -Wno-stringop-overflow -Wno-array-bounds" >/dev/null
  cmake --build "$build" -j 2 --target QELCltCore qelsrv >/dev/null
  g++ -O2 -std=c++20 -o "$work/benchtool" "$root/bench/benchtool.cpp"
  # The setting is the text "1" (writes without the system cache) or anything else.
  for mode in buffered unbuffered; do
    local value=0
    [ "$mode" = unbuffered ] && value=1
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n"QELClt_NoBufWrite"="%s"\r\n' \
      "$value" >"$work/$mode.reg"
  done
}

# ---- Data -----------------------------------------------------------------

# Free bytes on the file system of $work.
free_bytes() { df --output=avail -B1 "$work" | tail -1 | tr -d ' '; }

# Stops before filling the disk: `bytes` more must leave 2 GiB free.
need_space() { # bytes what
  local free
  free=$(free_bytes)
  if [ $(($1 + (2 << 30))) -gt "$free" ]; then
    echo "bench: $2 needs $(($1 >> 20)) MiB, and $work has $((free >> 20)) MiB free (2 GiB kept)" >&2
    exit 1
  fi
}

# Source bytes of each set, for the space check before it is made.
set_size() {
  case $1 in
    large) echo $((900 << 20)) ;;
    large1g) echo $((1 << 30)) ;;
    mix) echo $((40 << 20)) ;; # the large files are linked, not copied
    f100k) echo $((420 << 20)) ;; # a block a file
    *) echo $((100 << 20)) ;;
  esac
}

make_set() { # set
  local src=$work/src bt=$work/benchtool
  [ -f "$src/.$1.complete" ] && return
  [ "$1" = mix ] && make_set large
  need_space "$(set_size "$1")" "making the set $1"
  log "making the set $1 in $src (once)"
  rm -rf "${src:?}/$1"
  case $1 in
    large)
      for i in 1 2 3; do
        "$bt" make-file "$src/large/part$i.pak" $((300 << 20)) "$i"
      done ;;
    large1g)
      for i in 1 2 3 4; do
        "$bt" make-file "$src/large1g/part$i.pak" $((256 << 20)) $((20 + i))
      done ;;
    mix)
      mkdir -p "$src/mix/big"
      ln "$src"/large/*.pak "$src/mix/big/"
      "$bt" make-tree "$src/mix/small" 1000 50 1024 65536 11
      "$bt" make-tree "$src/mix/deep" 240 20 1024 8192 12 12 ;;
    k4) "$bt" make-tree "$src/k4" 10000 100 4096 4096 13 ;;
    f100k) "$bt" make-tree "$src/f100k" 100000 100 1 1024 14 ;;
    f20k) "$bt" make-tree "$src/f20k" 20000 100 1 1024 15 ;;
    one1k) "$bt" make-tree "$src/one1k" 1000 1000 1 1024 16 ;;
    one5k) "$bt" make-tree "$src/one5k" 5000 5000 1 1024 17 ;;
    one20k) "$bt" make-tree "$src/one20k" 20000 20000 1 1024 18 ;;
    *)
      echo "bench: no set named $1" >&2
      exit 2 ;;
  esac
  touch "$src/.$1.complete"
}

# ---- Measuring --------------------------------------------------------------

now() { printf '%s' "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

set_bytes() { find "$work/src/$1" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
set_files() { find "$work/src/$1" -type f | wc -l; }

# results: set, tool, mode, seconds, bytes moved, files moved, peak KiB
record() {
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"
  printf '   %s %-7s %-6s %-11s %8ss\n' "$(date -u +%H:%M:%S)" "$1" "$2" "$3" "$4" >&2
}

# A client host's own folder: its programs in bin/ (so that its log lands in
# log/), drive C in c/ and drive D in d/.
make_host_home() { # folder
  rm -rf "$1"
  mkdir -p "$1/bin" "$1/log" "$1/c/Windows" "$1/d"
  cp -a "$build"/bin/. "$1/bin/"
}

# Starts the client host of `home` on `port`; sets host_pid.
host_pid=
start_host() { # home port mode
  local home=$1 port=$2 mode=$3
  : >"$home/host.out"
  QEL_DRIVES="C=$home/c;D=$home/d" QEL_REGISTRY="$work/$mode.reg" \
    RAVELNET_PORT=$port "$home/bin/QELCltCore" >"$home/host.out" 2>&1 &
  host_pid=$!
  local started=
  for _ in $(seq 200); do
    grep -q "service running" "$home/host.out" 2>/dev/null && { started=1; break; }
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$started" ]; then
    cat "$home/host.out" >&2
    echo "the client host in $home did not start" >&2
    exit 1
  fi
  # The service logs its write-mode flag at start: make sure it took the setting.
  local flag=0
  [ "$mode" = unbuffered ] && flag=1
  if ! iconv -f GBK -t UTF-8 "$home/log/qeclt.log" | grep "缓存写入开关标志为" | tail -1 |
    grep -q "($flag)"; then
    echo "the client host in $home did not take the $mode write mode" >&2
    exit 1
  fi
}

client_home=
client_pid=
start_client() { # mode
  start_host "$client_home" "$client_port" "$1"
  client_pid=$host_pid
}

# Stops the client host; client_peak: its peak resident memory in KiB.
client_peak=
stop_client() {
  client_peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$client_pid/status")
  kill -TERM "$client_pid"
  wait "$client_pid" || true
  client_pid=
}

# One update by qelsrv against a fresh client host; sets run_secs and client_peak.
run_secs=
qel_update() { # set mode version [--full]
  local set=$1 mode=$2 version=$3
  shift 3
  start_client "$mode"
  local t0 t1
  t0=$(now)
  "$build/bin/qelsrv" update "127.0.0.1:$client_port" --game "$work/src/$set" \
    --path "D:\\Games\\$set\\" --version "$version" "$@" >"$work/logs/qelsrv-$set-$mode-$version.txt"
  t1=$(now)
  run_secs=$(elapsed "$t0" "$t1")
  stop_client
}

verify() { # set destination
  if ! diff -r -x tarngamever "$work/src/$1" "$2" >/dev/null; then
    echo "bench: $2 differs from the source after the update" >&2
    exit 1
  fi
}

same_times() { # set destination: every file has its source's size and time to the 100 ns
  python3 - "$work/src/$1" "$2" <<'EOF'
import os, sys
def stamps(top):
    out = {}
    for folder, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if not (folder == top and d.lower() == "tarngamever")]
        for name in files:
            st = os.lstat(os.path.join(folder, name))
            out[os.path.relpath(os.path.join(folder, name), top)] = (st.st_size, st.st_mtime_ns // 100)
    return out
if stamps(sys.argv[1]) != stamps(sys.argv[2]):
    sys.exit(f"bench: sizes or times differ in {sys.argv[2]}")
EOF
}

# The best (smallest) of `repeat` times: the machine may be shared, and the
# best run is the one least disturbed. Peak memory: the largest seen.
best_secs=
best_peak=
keep_best() { # seconds [peak]
  if [ -z "$best_secs" ] || awk -v a="$1" -v b="$best_secs" 'BEGIN { exit !(a < b) }'; then
    best_secs=$1
  fi
  if [ -n "${2:-}" ] && { [ -z "$best_peak" ] || [ "$2" -gt "$best_peak" ]; }; then
    best_peak=$2
  fi
}
reset_best() { best_secs=; best_peak=; }

is_large() { [ "$1" = large ] || [ "$1" = large1g ]; }

# How many runs a measurement of `set` gets, the best kept: the unbuffered
# modes log (and flush) one line per file, and one run of a small-file set
# shows that cost.
runs_of() { # set mode
  if is_large "$1"; then
    echo "$large_repeat"
  elif [ "$2" = unbuffered ]; then
    echo 1
  else
    echo "$repeat"
  fi
}

# Full updates of `set` in `mode` into an empty destination, each checked.
run_qel_full() { # set bytes files mode
  local set=$1 bytes=$2 files=$3 mode=$4 dest=$client_home/d/Games/$1
  reset_best
  for r in $(seq "$(runs_of "$set" "$mode")"); do
    rm -rf "$dest"
    sync
    qel_update "$set" "$mode" "v1-$mode-$r"
    keep_best "$run_secs" "$client_peak"
    verify "$set" "$dest"
    same_times "$set" "$dest"
  done
  record "$set" qel "$mode" "$best_secs" "$bytes" "$files" "$best_peak"
}

# Updates to a new version of a destination that is already current.
run_qel_no_change() { # set files
  local set=$1 files=$2
  reset_best
  for r in $(seq "$(runs_of "$set" buffered)"); do
    sync
    qel_update "$set" buffered "v2-$r"
    if ! grep -q "updated 0 files" "$work/logs/qelsrv-$set-buffered-v2-$r.txt"; then
      echo "bench: the no-change update of $set fetched files" >&2
      exit 1
    fi
    keep_best "$run_secs" "$client_peak"
  done
  record "$set" qel no-change "$best_secs" 0 "$files" "$best_peak"
}

raw_copy() { # set mode
  local dest=$work/raw-dest
  rm -rf "$dest" "$work/raw-log.txt"
  mkdir -p "$dest"
  sync
  local unbuffered=()
  [ "$2" = unbuffered ] && unbuffered=(--unbuffered "$work/raw-log.txt")
  : >"$work/logs/raw-recv.txt"
  "$work/benchtool" recv "$raw_port" "$dest" "${unbuffered[@]}" >"$work/logs/raw-recv.txt" &
  local receiver=$!
  for _ in $(seq 100); do
    grep -q ready "$work/logs/raw-recv.txt" && break
    sleep 0.05
  done
  local t0 t1
  t0=$(now)
  "$work/benchtool" send "$raw_port" "$work/src/$1"
  wait "$receiver"
  t1=$(now)
  run_secs=$(elapsed "$t0" "$t1")
}

# mode: full (through the cache) or unbuffered (O_DIRECT, the ceiling of
# the client's unbuffered mode), with as many runs as the client's mode gets.
run_raw() { # set bytes files mode
  local set=$1 bytes=$2 files=$3 mode=$4
  reset_best
  for r in $(seq "$(runs_of "$set" "$mode")"); do
    raw_copy "$set" "$mode"
    keep_best "$run_secs"
  done
  verify "$set" "$work/raw-dest"
  record "$set" raw "$mode" "$best_secs" "$bytes" "$files" ""
}

# shellcheck source=bench/rsync_daemon.sh
. "$root/bench/rsync_daemon.sh"

timed_rsync() { # set
  local t0 t1
  t0=$(now)
  rsync -a --whole-file "$work/src/$1/" "rsync://127.0.0.1:$rsync_port/dest/$1/"
  t1=$(now)
  run_secs=$(elapsed "$t0" "$t1")
}

run_rsync_full() {
  local set=$1 bytes=$2 files=$3
  reset_best
  for r in $(seq "$(runs_of "$set" buffered)"); do
    rm -rf "$work/rsync-dest/$set"
    sync
    timed_rsync "$set"
    keep_best "$run_secs"
  done
  record "$set" rsync full "$best_secs" "$bytes" "$files" ""
}

run_rsync_no_change() { # set files
  local set=$1 files=$2
  reset_best
  for r in $(seq "$(runs_of "$set" buffered)"); do
    sync
    timed_rsync "$set"
    keep_best "$run_secs"
  done
  record "$set" rsync no-change "$best_secs" 0 "$files" ""
}

# The cost of a new file in a folder that already holds about as many files
# as the set: the destination is a copy of the set (cp -a, untimed) without
# its last `new_files` files in name order, which the update then fetches.
# From that time the no-change update of the whole copied set is taken
# away (the client compares every listed file in both), and what is left,
# divided by `new_files`, is the cost of one new file at that folder size.
new_files=1000
newest_files() { # folder: its last `new_files` files in name order (not the version marker)
  find "$1" -path "$1/tarngamever" -prune -o -type f -print | sort | tail -n "$new_files"
}

run_one_folder() { # set files
  local set=$1 files=$2 dest=$client_home/d/Games/$1 bytes
  bytes=$(newest_files "$work/src/$set" | xargs stat -c %s | awk '{ n += $1 } END { print n + 0 }')
  rm -rf "$dest"
  mkdir -p "$(dirname "$dest")"
  cp -a "$work/src/$set" "$dest"
  run_qel_no_change "$set" "$files"
  reset_best
  for r in $(seq "$(runs_of "$set" buffered)"); do
    newest_files "$dest" | xargs rm --
    sync
    qel_update "$set" buffered "v1-new-$r"
    keep_best "$run_secs" "$client_peak"
    verify "$set" "$dest"
    same_times "$set" "$dest"
  done
  record "$set" qel new-files "$best_secs" "$bytes" "$new_files" "$best_peak"
}

# The measurements of one set, by its kind.
run_set() { # set bytes files
  local set=$1 bytes=$2 files=$3
  case $set in
    one*)
      run_one_folder "$set" "$files" ;;
    f20k)
      # No-change only: both destinations are copies of the source with its
      # times (cp -a), made untimed.
      mkdir -p "$client_home/d/Games" "$work/rsync-dest"
      cp -a "$work/src/$set" "$client_home/d/Games/$set"
      cp -a "$work/src/$set" "$work/rsync-dest/$set"
      run_qel_no_change "$set" "$files"
      run_rsync_no_change "$set" "$files" ;;
    f100k)
      # The unbuffered mode's cost per file shows in k4 already.
      run_qel_full "$set" "$bytes" "$files" buffered
      run_raw "$set" "$bytes" "$files" full
      run_rsync_full "$set" "$bytes" "$files"
      run_qel_no_change "$set" "$files"
      run_rsync_no_change "$set" "$files" ;;
    *)
      # The two sides of each ratio one after the other, so that a
      # disturbance of the shared machine is likelier to hit both.
      run_qel_full "$set" "$bytes" "$files" buffered
      run_raw "$set" "$bytes" "$files" full
      run_rsync_full "$set" "$bytes" "$files"
      run_qel_full "$set" "$bytes" "$files" unbuffered
      run_raw "$set" "$bytes" "$files" unbuffered
      run_qel_no_change "$set" "$files"
      run_rsync_no_change "$set" "$files" ;;
  esac
}

# ---- Many clients ---------------------------------------------------------------

# One client host per client: its own folder, port and drive D.
host_pids=()
host_ports=()
start_hosts() { # count
  host_pids=()
  host_ports=()
  for i in $(seq "$1"); do
    local home=$work/hosts/h$i port=$((first_multi_port + i - 1))
    make_host_home "$home"
    start_host "$home" "$port" buffered
    host_pids+=("$host_pid")
    host_ports+=("$port")
  done
}

stop_hosts() {
  local pid
  for pid in "${host_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${host_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  host_pids=()
}

# A value of the report of GNU time -v, by its label.
time_value() { # file label
  awk -F': ' -v label="$2" '{ sub(/^[ \t]+/, "", $1) } $1 == label { print $2 }' "$1"
}

# multi results: set, clients, seconds, bytes and files per client, qelsrv's
# peak KiB, qelsrv's CPU seconds (user + system)
record_multi() {
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$multi_results"
  printf '   %s %-7s %2s clients %8ss  qelsrv peak %s KiB, CPU %ss\n' "$(date -u +%H:%M:%S)" "$1" "$2" "$3" "$6" "$7" >&2
}

# One qelsrv update to `count` fresh client hosts at once (buffered), timed
# until the copies are on the disk, each destination checked afterwards. One run: the machine is shared, and
# repeating the largest runs would take long.
run_multi() { # set bytes files count
  local set=$1 bytes=$2 files=$3 count=$4
  need_space $((count * bytes)) "$count copies of $set"
  start_hosts "$count"
  local endpoints=() port
  for port in "${host_ports[@]}"; do
    endpoints+=("127.0.0.1:$port")
  done
  local out=$work/logs/multi-$set-$count.txt timing=$work/logs/multi-$set-$count.time
  sync
  local t0 t1
  t0=$(now)
  /usr/bin/time -v -o "$timing" "$build/bin/qelsrv" update "${endpoints[@]}" --game "$work/src/$set" \
    --path "D:\\Games\\$set\\" --version "m$count" >"$out"
  # Until the copies are on the disk: one client's 1 GiB fits the page cache
  # where four clients' 4 GiB do not, so without the flush the ratio would
  # compare memory with disk.
  sync
  t1=$(now)
  stop_hosts
  local done_count
  done_count=$(grep -c "^127\.0\.0\.1:[0-9]*: updated $files files" "$out" || true)
  if [ "$done_count" != "$count" ]; then
    echo "bench: $done_count of $count clients updated all $files files of $set (see $out)" >&2
    exit 1
  fi
  for i in $(seq "$count"); do
    verify "$set" "$work/hosts/h$i/d/Games/$set"
    same_times "$set" "$work/hosts/h$i/d/Games/$set"
  done
  local peak cpu
  peak=$(time_value "$timing" "Maximum resident set size (kbytes)")
  cpu=$(awk -v u="$(time_value "$timing" "User time (seconds)")" \
    -v s="$(time_value "$timing" "System time (seconds)")" 'BEGIN { printf "%.2f", u + s }')
  record_multi "$set" "$count" "$(elapsed "$t0" "$t1")" "$bytes" "$files" "$peak" "$cpu"
  rm -rf "$work/hosts"
}

cleanup() {
  [ -n "$client_pid" ] && kill -TERM "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null
  stop_rsync_daemon
  [ "${#host_pids[@]}" -gt 0 ] && stop_hosts
  rm -rf "$client_home/d" "$work/hosts" "$work/raw-dest" "$work/raw-log.txt" "$work/rsync-dest"
}

# ---- Report -------------------------------------------------------------------

report() {
  python3 - "$results" "$multi_results" "$profile" <<'EOF'
import os, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
multi = [line.rstrip("\n").split("\t") for line in open(sys.argv[2])] if os.path.exists(sys.argv[2]) else []
quick = sys.argv[3] == "quick"
def key(r): return (r[0], r[1], r[2])
by = {key(r): r for r in rows}
MiB = 1024 * 1024
print(f"{'set':<7} {'tool':<6} {'mode':<11} {'seconds':>8} {'MiB/s':>9} {'files/s':>10} {'ms/file':>8} {'client peak':>12}")
for s, tool, mode, secs, nbytes, files, peak in rows:
    if s == "idle":
        continue
    secs = float(secs); nbytes = int(nbytes); files = int(files)
    mibs = f"{nbytes / MiB / secs:9.1f}" if nbytes else f"{'-':>9}"
    peak = f"{int(peak) / 1024:8.1f} MiB" if peak else f"{'-':>12}"
    print(f"{s:<7} {tool:<6} {mode:<11} {secs:8.3f} {mibs} {files / secs:10.0f} {secs * 1000 / files:8.3f} {peak}")

if multi:
    print("\nmany clients: one qelsrv update to N client hosts at once (buffered, timed until the copies are on the disk)")
    print(f"{'set':<7} {'N':>3} {'seconds':>8} {'MiB/s':>9} {'files/s':>9} {'qelsrv peak':>12} {'qelsrv CPU':>11}")
    for s, n, secs, nbytes, files, peak, cpu in multi:
        n = int(n); secs = float(secs)
        print(f"{s:<7} {n:>3} {secs:8.3f} {n * int(nbytes) / MiB / secs:9.1f} {n * int(files) / secs:9.0f}"
              f" {int(peak) / 1024:8.1f} MiB {float(cpu):9.2f} s")

large = "large1g" if quick else "large"
nochange = "f20k" if quick else "f100k"
def secs(s, tool, mode):
    r = by.get((s, tool, mode))
    return float(r[3]) if r else None
def per_new_file(s):
    # The new files' update less the no-change update of the whole folder.
    new, same = by.get((s, "qel", "new-files")), by.get((s, "qel", "no-change"))
    return (float(new[3]) - float(same[3])) / int(new[5]) if new and same else None
def multi_row(s, n):
    return next((r for r in multi if r[0] == s and int(r[1]) == n), None)
def aggregate(s, n):
    r = multi_row(s, n)
    return n * int(r[3]) / float(r[2]) if r else None
def quotient(a, b):
    return a / b if a is not None and b else None

# Each target is a ratio of two measurements of this run; a ratio of speeds
# is the quotient of the times taken the other way round.
print(f"\ntargets ({'quick' if quick else 'full'} profile, ratios of measurements of this run)\n")
print("| measure | measured | target | |")
print("|---|---:|---:|---|")
def target(name, value, goal, higher_is_better=True, note=""):
    sign = "≥" if higher_is_better else "≤"
    if value is None:
        print(f"| {name} | - | {sign} {goal} | not measured |")
        return
    ok = value >= goal if higher_is_better else value <= goal
    print(f"| {name} | {value:.2f} | {sign} {goal} | {'met' if ok else 'NOT met'}{note} |")
target("k4 buffered files/s vs rsync", quotient(secs("k4", "rsync", "full"), secs("k4", "qel", "buffered")), 1.5)
target(f"{nochange} no-change time vs rsync no-change",
       quotient(secs(nochange, "qel", "no-change"), secs(nochange, "rsync", "no-change")), 1.0, False)
target(f"{large} unbuffered vs raw unbuffered baseline",
       quotient(secs(large, "raw", "unbuffered"), secs(large, "qel", "unbuffered")), 0.9)
target("k4 unbuffered vs raw unbuffered baseline",
       quotient(secs("k4", "raw", "unbuffered"), secs("k4", "qel", "unbuffered")), 0.8)
scaling = [(s, per_new_file(s)) for s in ("one1k", "one5k", "one20k") if per_new_file(s) is not None]
target("ms per new file at 20,000 files in one folder vs at 1,000",
       quotient(per_new_file("one20k"), per_new_file("one1k")), 1.3, False,
       " (" + ", ".join(f"{s} {v * 1000:.2f} ms" for s, v in scaling) + ")" if scaling else "")
target(f"aggregate MiB/s with 4 clients vs 1 client ({large})",
       quotient(aggregate(large, 4), aggregate(large, 1)), 1.0)
target(f"{large} buffered vs raw", quotient(secs(large, "raw", "full"), secs(large, "qel", "buffered")), 0.9)
target(f"{large} buffered vs rsync", quotient(secs(large, "rsync", "full"), secs(large, "qel", "buffered")), 1.5)

peaks = {key(r): int(r[6]) for r in rows if r[6]}
idle = peaks.get(("idle", "qel", "idle"))
big = peaks.get((large, "qel", "buffered"))
small = peaks.get(("k4", "qel", "buffered"))
if idle and big:
    # Flat in file size: a task of a few large files needs little more than
    # the idle host (its 512 KiB buffer and a short check list).
    target(f"client peak above the idle host, {large} task (MiB)", (big - idle) / 1024, 1.0, False,
           f" (idle {idle / 1024:.1f} MiB, {large} {big / 1024:.1f} MiB"
           + (f", k4 {small / 1024:.1f} MiB" if small else "") + ")")
for s in (large, "k4"):
    one = multi_row(s, 1)
    for n in sorted({int(r[1]) for r in multi if r[0] == s and int(r[1]) > 1}):
        growth = (int(multi_row(s, n)[5]) - int(one[5])) / 1024 / (n - 1) if one else None
        target(f"qelsrv memory growth per client, {s}, 1 to {n} clients (MiB)", growth, 2.0, False)
EOF
}

main() {
  mkdir -p "$work/logs"
  trap cleanup EXIT
  client_home=$work/client
  prepare_tools
  make_host_home "$client_home"
  : >"$results"
  : >"$multi_results"
  start_client buffered
  stop_client
  record idle qel idle 1 0 0 "$client_peak"
  start_rsync_daemon "$work" "$rsync_port"
  local started set bytes files count
  for set in $sets; do
    make_set "$set"
  done
  started=$(now)
  for set in $sets; do
    bytes=$(set_bytes "$set")
    files=$(set_files "$set")
    log "$set: $files files, $bytes bytes"
    run_set "$set" "$bytes" "$files"
    rm -rf "$client_home/d/Games/$set" "$work/raw-dest" "$work/rsync-dest/$set"
  done
  for set in $multi_sets; do
    [[ " $sets " == *" $set "* ]] || continue
    bytes=$(set_bytes "$set")
    files=$(set_files "$set")
    for count in $client_counts; do
      log "$set to $count clients at once"
      run_multi "$set" "$bytes" "$files" "$count"
    done
  done
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $profile profile, measured in $(elapsed "$started" "$(now)") s;" \
    "$(nproc) cores, $(uname -r), $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
  report
}

main "$@"
