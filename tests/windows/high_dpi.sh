#!/usr/bin/env bash
# The HighDpi tests of app_tests at 150 % and 200 %: for each, a Wine prefix of its own (a copy of
# the test prefix whose user LogPixels is 144 or 192, kept beside it between runs), its own
# wineserver and a 2560 x 1600 display, so the default prefix and display that the other Windows
# tests use are left alone.
#   high_dpi.sh APP_TESTS.exe
set -uo pipefail
tests=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/env.sh"
. "$here/scripts/with-display.sh"
base=$WINEPREFIX
[ -d "$base" ] || { echo "no Wine prefix at $base (scripts/wine-prefix.sh makes it)"; exit 1; }

display_pid=""
stop() {
  wineserver -k >/dev/null 2>&1
  [ -z "$display_pid" ] || kill "$display_pid" >/dev/null 2>&1
  display_pid=""
}
trap stop EXIT

status=0
for dpi in 144 192; do
  kl_new_display 2560x1600x24
  display_pid=$kl_new_display_pid
  export DISPLAY=$kl_new_display_name
  export WINEPREFIX="$base-dpi$dpi"
  if [ ! -f "$WINEPREFIX/.kestrelink-dpi" ]; then
    echo "high_dpi: making $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    cp -a --reflink=auto "$base" "$WINEPREFIX"
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
    wineserver -w
    touch "$WINEPREFIX/.kestrelink-dpi"
  fi
  wineserver -p 2>/dev/null || true
  # Wine's own services start here, not under the test binary (see with-display.sh).
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
  echo "== $dpi DPI"
  KL_DPI=$dpi wine "$tests" --gtest_filter='HighDpi*' --gtest_brief=1 || status=1
  stop
done
exit $status
