#!/usr/bin/env bash
# The core's floors: each folder of ClientCore/ includes only from its own
# folder or from a lower floor, never sideways into another task's folder
# and never back up.
#
#   floor 0  base/                          statuses, owners, names, the log
#   floor 1  channel/                       the door to the transport, the task guard
#   floor 2  filetask/                      the engine both file tasks run on
#   floor 3  update/ dirsync/ maintenance/  the tasks, none of them reaching into another
#   floor 4  service/                       the service object, start and stop, dispatch
#
# include/ (the exported header) may be included from anywhere. Prints each
# include that breaks the rule and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/../ClientCore"

floor_of() {
  case "$1" in
    base) echo 0 ;;
    channel) echo 1 ;;
    filetask) echo 2 ;;
    update | dirsync | maintenance) echo 3 ;;
    service) echo 4 ;;
    *) echo "" ;;
  esac
}

broken=0
while IFS= read -r line; do
  file=${line%%:*}
  target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"${line#*:}")
  from=${file%%/*}
  [ "$target" = "$from" ] && continue
  from_floor=$(floor_of "$from")
  target_floor=$(floor_of "$target")
  [ -z "$target_floor" ] && continue # protocol/, include/ and the like
  if [ -z "$from_floor" ] || [ "$target_floor" -ge "$from_floor" ]; then
    echo "floors: ClientCore/$file includes $target/ (floor $target_floor) from $from/ (floor ${from_floor:-?})"
    broken=1
  fi
done < <(grep -rnE '^#include "[^/"]+/' --include='*.cpp' --include='*.h' . | sed 's|^\./||' | cut -d: -f1,3-)
[ "$broken" -eq 0 ] && echo "floors: every include of ClientCore keeps to its floor"
exit "$broken"
