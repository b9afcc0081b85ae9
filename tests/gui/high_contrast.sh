#!/usr/bin/env bash
# The main window in Windows' high-contrast mode, set through the registry of a Wine prefix of
# its own (a copy of the test prefix with the mode on and a black scheme, kept beside it between
# runs): the real window on a display of its own, screenshot kept, and its design preview.
# Text must be readable, the buttons outlined, and no design colour left.
#   high_contrast.sh PROGRAM.exe OUT_DIR
set -uo pipefail
program=$1 kl_out=$2
mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$(dirname "$0")/lib.sh"
base=$WINEPREFIX
kl_new_display 1280x800x24
display_pid=$kl_new_display_pid
export DISPLAY=$kl_new_display_name
export WINEPREFIX="$base-contrast"
pid=""
trap 'kill ${pid:-} 2>/dev/null; wineserver -k >/dev/null 2>&1; kill ${display_pid:-} 2>/dev/null' EXIT
if [ ! -f "$WINEPREFIX/.kestrelink-contrast" ]; then
  rm -rf "$WINEPREFIX"
  cp -a --reflink=auto "$base" "$WINEPREFIX"
  wine reg add 'HKCU\Control Panel\Accessibility\HighContrast' /v Flags /t REG_SZ /d 127 /f >/dev/null 2>&1 </dev/null
  # The colours of a black high-contrast scheme.
  for pair in "Window:0 0 0" "WindowText:255 255 255" "ButtonFace:0 0 0" "ButtonText:255 255 255" \
              "Hilight:26 235 255" "HilightText:0 0 0"; do
    wine reg add 'HKCU\Control Panel\Colors' /v "${pair%%:*}" /t REG_SZ /d "${pair#*:}" /f >/dev/null 2>&1 </dev/null
  done
  wineserver -w
  touch "$WINEPREFIX/.kestrelink-contrast"
fi
wineserver -p 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true

# design_pixels FILE: pixels in any design colour of the pages, which high contrast replaces.
design_pixels() {
  convert "$1" -depth 8 -format %c histogram:info:- 2>/dev/null | tr A-F a-f |
    awk '/#(f5f6f3|172821|16664f|1e7b60|a12232|e0e6e1|eaf0e9|f7f8f9|67756e|1f2e28|17674f|31483a|f5f7f7|dae0df|cceada|e7f5eb|f4eedf)/ { n += $1 } END { print n + 0 }'
}

wine "$program" --preview "$(winepath -w "$kl_out/preview.png" 2>/dev/null)" >/dev/null 2>&1 </dev/null
check "the preview keeps no design colour" "$(design_pixels "$kl_out/preview.png")" "0"

wine "$program" >"$kl_out/program.log" 2>&1 &
pid=$!
wid=$(timeout 60 xdotool search --sync --onlyvisible --name '^Kestrelink Native$' | head -1)
[ -n "$wid" ] || { kl_log "FAIL the main window did not appear"; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$wid")"
# The page is painted at once; the edits follow.
wait_for 20 eval 'shot; [ "$(convert "$kl_out/shot.png" -colorspace Gray -format "%[fx:mean < 0.5]" info:)" = 1 ]'
sleep 1; shot 01-high-contrast
check "the window keeps no design colour" "$(design_pixels "$kl_out/01-high-contrast.png")" "0"
# Readable: OCR finds the page title, a button's label and a muted text on the whole window.
convert "$kl_out/01-high-contrast.png" -colorspace Gray -negate -resize 200% "$kl_out/ocr.png" 2>/dev/null
text=$(tesseract "$kl_out/ocr.png" - -l tur 2>/dev/null | tr -s ' \n' ' ')
for want in "Uzak bağlantı" "Bağlantı bilgilerini kopyala" "Kontrol sizde."; do
  case "$text" in *"$want"*) kl_log "ok   reads \"$want\"" ;; *) kl_log "FAIL \"$want\" not read in: $text" ;; esac
done
exit $kl_fail
