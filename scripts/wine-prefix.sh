#!/usr/bin/env bash
# Creates the Wine prefix the program runs in and maps the fonts it names to installed
# fonts that carry every Turkish letter. Idempotent.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh"
mkdir -p "$(dirname "$WINEPREFIX")"
marker="$WINEPREFIX/.kestrelink-fonts"
if [ -f "$marker" ]; then
  echo "wine-prefix: $WINEPREFIX ready"
  exit 0
fi
echo "wine-prefix: creating $WINEPREFIX"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
for pair in "Segoe UI=DejaVu Sans" "Consolas=DejaVu Sans Mono"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f >/dev/null 2>&1
done
wineserver -w
touch "$marker"
echo "wine-prefix: done"
