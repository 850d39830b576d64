#!/usr/bin/env bash
# Applies the tree's one style (.clang-format) to every C++ file git knows.
#   scripts/format.sh          - formats the files in place
#   scripts/format.sh --check  - changes nothing; lists the files that differ
#                                from the style and fails when there are any
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=clang-format-14
command -v "$formatter" >/dev/null || { echo "format: $formatter is missing (scripts/setup.sh test installs it)" >&2; exit 2; }

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.inc')
if [ "${1:-}" != --check ]; then
  "$formatter" -i -- "${files[@]}"
  exit 0
fi

unformatted=()
for file in "${files[@]}"; do
  "$formatter" -- "$file" | cmp -s - "$file" || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'format: not in the style of .clang-format (scripts/format.sh formats them):\n' >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files in style"
