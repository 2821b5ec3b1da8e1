#!/usr/bin/env bash
# Checks that every C++ source keeps the layout of .clang-format (clang-format 14, Debian package
# clang-format-14). Prints the files that differ; `clang-format-14 -i FILE` lays one out.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$format" ] || { echo "check-format: clang-format-14 is not installed (scripts/setup-debian.sh test)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
differ=$("$format" --dry-run -Werror "${files[@]}" 2>&1 | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/\1/p' | sort -u || true)
if [ -n "$differ" ]; then
  echo "check-format: not laid out as .clang-format says (clang-format-14 -i FILE):" >&2
  printf '  %s\n' $differ >&2
  exit 1
fi
echo "check-format: all ${#files[@]} C++ sources keep the layout"
