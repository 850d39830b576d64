#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz, clang 14) and runs each for a
# while over a copy of its seed corpus (tests/fuzz/corpus/<target>/, which
# stays as committed).
#   scripts/fuzz.sh [SECONDS] [TARGET...]   default 20 s, every target
# One line per target: its runs and its result. A fault stops the script with
# status 1 and the path of the input that caused it (kept in
# build/fuzz/findings/<target>/, the target's output in build/fuzz/logs/).
# Replay one input: build/fuzz/bin/fuzz_<target> <input>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
all_targets=(check_list task_params entry_names reg_file drive_map windows_path allow_list)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
  if [ ! -d "tests/fuzz/corpus/$target" ]; then
    echo "fuzz: unknown target $target (known: ${all_targets[*]})" >&2
    exit 2
  fi
done

build=build/fuzz
[ -f "$build/CMakeCache.txt" ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 >/dev/null || { echo "fuzz: the build failed (cmake --build --preset fuzz)" >&2; exit 2; }

# Stack traces with names and lines.
symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"

work=$(mktemp -d "${TMPDIR:-/tmp}/qel-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"

for target in "${targets[@]}"; do
  corpus="$work/$target"
  findings="$build/findings/$target"
  log="$build/logs/$target.log"
  mkdir -p "$findings"
  cp -r "tests/fuzz/corpus/$target" "$corpus"
  status=0
  begun=$SECONDS
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$((SECONDS - begun))
  if [ "$status" -ne 0 ]; then
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    printf 'fuzz %-13s %10s runs in %4s s  FAULT (status %d): %s\n' "$target" "${runs:-?}" "$took" "$status" \
      "${input:-no input written, see $log}"
    echo "fuzz: output in $log; replay: $build/bin/fuzz_$target ${input:-}" >&2
    exit 1
  fi
  printf 'fuzz %-13s %10s runs in %4s s  ok\n' "$target" "${runs:-?}" "$took"
done
