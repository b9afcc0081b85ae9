#!/usr/bin/env bash
# Fails (and lists the files) when a tracked C++ file differs from what clang-format makes of it
# with the tree's .clang-format. `scripts/check-format.sh --fix` rewrites them in place.
set -uo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  -h|--help) sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
if ! command -v clang-format >/dev/null; then
  echo "clang-format is missing (package clang-format; scripts/setup.sh installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'not formatted (scripts/check-format.sh --fix): %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as clang-format makes them"
