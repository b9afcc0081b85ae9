#!/usr/bin/env bash
# Renders the main window into a PNG through the program's design-preview switch.
set -euo pipefail
if [ "${1:-}" = "--help" ] || [ $# -ne 1 ]; then
  echo "usage: $0 OUTPUT.png   (render the main window of kestrelink.exe under Wine)"
  [ "${1:-}" = "--help" ] && exit 0 || exit 2
fi
cd "$(dirname "$0")/.."
. scripts/env.sh
. scripts/with-display.sh
out=$(realpath -m "$1")
mkdir -p "$(dirname "$out")"
cmake --preset windows >/dev/null && cmake --build --preset windows --target kestrelink >/dev/null
kl_start_display
wine build/windows/kestrelink.exe --preview "$(winepath -w "$out")"
echo "wrote $out"
