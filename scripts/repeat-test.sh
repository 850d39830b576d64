#!/usr/bin/env bash
# Runs one test program N times in a row and stops at the first failure, to
# tell a test that passes from one that passes only sometimes.
#
#   scripts/repeat-test.sh [options] PROGRAM [ARGS...]
#   scripts/repeat-test.sh [options] --ctest NAME [--preset P]
#
# PROGRAM is a Linux test binary (build/default/bin/x_test) or a Windows one
# (build/mingw64/bin/x_test.exe), which runs under Wine through
# cmake/wine-run.sh in the prefix build/mingw64/wineprefix, as
# `ctest --preset mingw64` does. ARGS go to the program (--gtest_filter=...).
# --ctest runs one ctest entry by its exact name (the end-to-end suites
# e2e_<suite>_linux and e2e_<suite>_wine are such entries).
#
# Options:
#   -n, --runs N        number of runs (30)
#   -t, --timeout S     seconds one run may take; a longer run is a failure (600)
#   --ctest NAME        run the ctest entry NAME instead of a program
#   --preset P          test preset of --ctest (default)
#   --tail L            lines of a failing run's output to print (80)
#   -h, --help          this text
#
# Prints one line per run with its time, and at the end
#   repeat: 30 passed, 0 failed
# The exit status is 0 when every run passed, 1 when one failed, 2 on a bad
# command line.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "$0"; }

runs=30 timeout_s=600 ctest_name="" preset=default tail_lines=80
while [ $# -gt 0 ]; do
  case "$1" in
    -n|--runs) runs=${2:?}; shift 2 ;;
    -t|--timeout) timeout_s=${2:?}; shift 2 ;;
    --ctest) ctest_name=${2:?}; shift 2 ;;
    --preset) preset=${2:?}; shift 2 ;;
    --tail) tail_lines=${2:?}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    --) shift; break ;;
    -*) if [ -z "$ctest_name" ]; then echo "repeat: unknown option $1" >&2; exit 2; fi
        break ;;
    *) break ;;
  esac
done
for n in "$runs" "$timeout_s" "$tail_lines"; do
  case "$n" in ''|*[!0-9]*) echo "repeat: not a number: $n" >&2; exit 2 ;; esac
done

if [ -n "$ctest_name" ]; then
  [ $# -eq 0 ] || { echo "repeat: --ctest takes no program arguments" >&2; exit 2; }
  # ctest's own time-out of the entry would also stop it; ours bounds the whole run.
  # The name is anchored so that e2e_Host_linux does not also match e2e_Host_linux2.
  cd "$root" # where CMakePresets.json is
  cmd=(ctest --preset "$preset" --output-on-failure -R "^${ctest_name}\$")
  if ! ctest --preset "$preset" -N -R "^${ctest_name}\$" 2>/dev/null | grep -q 'Total Tests: 1$'; then
    echo "repeat: no ctest entry named $ctest_name in preset $preset" >&2; exit 2
  fi
  if [ "$preset" = mingw64 ]; then
    export QEL_WINEPREFIX="$root/build/mingw64/wineprefix"
  fi
else
  [ $# -gt 0 ] || { usage >&2; exit 2; }
  prog=$1; shift
  command -v "$prog" >/dev/null || [ -f "$prog" ] || { echo "repeat: no such program: $prog" >&2; exit 2; }
  case "$prog" in
    *.exe)
      export QEL_WINEPREFIX="${QEL_WINEPREFIX:-$root/build/mingw64/wineprefix}"
      cmd=("$root/cmake/wine-run.sh" "$prog" "$@") ;;
    *) cmd=("$prog" "$@") ;;
  esac
fi

out=$(mktemp "${TMPDIR:-/tmp}/repeat-test.XXXXXX")
trap 'rm -f "$out"' EXIT
# Elapsed seconds since $1 (an $EPOCHREALTIME), to a tenth.
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

passed=0 failed=0 started=$EPOCHREALTIME
echo "repeat: ${cmd[*]} ($runs runs, ${timeout_s} s each at most)"
for ((i = 1; i <= runs; i++)); do
  t0=$EPOCHREALTIME
  # --kill-after: a program that ignores SIGTERM is killed 10 s later.
  timeout --kill-after=10 "$timeout_s" "${cmd[@]}" >"$out" 2>&1
  rc=$?
  dt=$(since "$t0")
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "run $i/$runs: passed in ${dt} s"
    continue
  fi
  failed=$((failed + 1))
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "run $i/$runs: FAILED: no end after ${timeout_s} s (exit $rc)"
  else
    echo "run $i/$runs: FAILED with exit $rc after ${dt} s"
  fi
  echo "---- last $tail_lines lines of run $i ----"
  tail -n "$tail_lines" "$out"
  echo "----"
  break
done
total=$(since "$started")
runs_done=$((passed + failed))
per_run=$(awk -v t="$total" -v n="$runs_done" 'BEGIN { printf "%.1f", (n > 0 ? t / n : 0) }')
echo "repeat: $passed passed, $failed failed ($total s in all, $per_run s per run)"
[ $failed -eq 0 ]
