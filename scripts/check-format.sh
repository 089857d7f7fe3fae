#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted by the tree's .clang-format; lists the ones to
# reformat (clang-format -i FILE...) and fails when there are any.
set -uo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
else
  mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' \
    -o -name '*.h' -o -name '*.hpp' \) -print | sed 's|^\./||' | sort)
fi
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
files=("${existing[@]}")
command -v clang-format >/dev/null || { echo "formatting: clang-format is missing (Debian: clang-format)"; exit 1; }
out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1)
status=$?
mapfile -t bad < <(grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$out" | cut -d: -f1 | sort -u)
if [ "$status" -ne 0 ] && [ ${#bad[@]} -eq 0 ]; then
  echo "$out"
  echo "formatting: clang-format failed"
  exit 1
fi
if [ ${#bad[@]} -gt 0 ]; then
  echo "formatting: ${#bad[@]} of ${#files[@]} files to reformat (clang-format -i FILE...):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "formatting: all ${#files[@]} C and C++ files as .clang-format says"
