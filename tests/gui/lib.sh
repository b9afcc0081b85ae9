# Helpers for driving the program's windows under Wine with xdotool and reading what the
# screen shows. Source it; needs DISPLAY and WINEPREFIX (scripts/env.sh, with-display.sh).
#   kl_out      folder for screenshots and the step log (set before use)
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/with-display.sh"

kl_fail=0
# Every line logged as a failure fails the script (it exits with $kl_fail).
kl_log() {
  case "$*" in FAIL*) kl_fail=1 ;; esac
  printf '%s  %s\n' "$(date +%H:%M:%S)" "$*" | tee -a "$kl_out/log.txt"
}
check() {  # check NAME ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then kl_log "ok   $1"; else kl_log "FAIL $1: got '$2', expected '$3'"; kl_fail=1; fi
}
# wait_for SECONDS COMMAND...: polls every 0.2 s until the command succeeds.
wait_for() {
  local tries=$(( $1 * 5 )); shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.2; done
  return 1
}

# The main window whose title is exactly "Kestrelink Native"; sets wid, X Y WIDTH HEIGHT,
# the client origin (cx, cy) and the layout scale.
kl_find_window() {
  wid=$(timeout 60 xdotool search --sync --onlyvisible --name '^Kestrelink Native$' | head -1)
  [ -n "$wid" ] || return 1
  sleep 1.5
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  # The client area starts where the sidebar colour starts.
  shot
  cx=0; while [ $cx -lt 20 ] && [ "$(pixel $cx 300)" != "172821" ]; do cx=$((cx + 1)); done
  cy=0; while [ $cy -lt 40 ] && [ "$(pixel 20 $cy)" != "172821" ]; do cy=$((cy + 1)); done
  cw=$((WIDTH - 2 * cx)); ch=$((HEIGHT - cy - cx))
  scale=$(awk -v w=$cw -v h=$ch 'BEGIN {s = h / 680; if (w / 1080 < s) s = w / 1080; print s}')
}

# shot [NAME]: the window into $kl_out/shot.png, and a copy as NAME.png when named.
shot() {
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$kl_out/shot.png" 2>/dev/null
  [ -z "${1:-}" ] || cp "$kl_out/shot.png" "$kl_out/$1.png"
}
pixel() { convert "$kl_out/shot.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null | cut -c1-6 | tr A-F a-f; }
at() { awk -v x="$1" -v y="$2" -v s="$scale" -v cx=$cx -v cy=$cy 'BEGIN {printf "%d %d", cx + x * s, cy + y * s}'; }
layout_pixel() { set -- $(at "$1" "$2"); pixel "$1" "$2"; }
move() { set -- $(at "$1" "$2"); xdotool mousemove --window "$wid" "$1" "$2"; }
click_at() { move "$1" "$2"; xdotool click 1; }

# ocr LX LY LW LH: the text of a layout rectangle as OCR reads it from a fresh screenshot.
ocr() {
  shot
  local w h ox oy
  read -r ox oy < <(at "$1" "$2"); w=$(awk -v v="$3" -v s="$scale" 'BEGIN {printf "%d", v * s}'); h=$(awk -v v="$4" -v s="$scale" 'BEGIN {printf "%d", v * s}')
  convert "$kl_out/shot.png" -crop "${w}x${h}+${ox}+${oy}" +repage -colorspace Gray -normalize -resize 400% "$kl_out/status.png" 2>/dev/null
  tesseract "$kl_out/status.png" - -l tur --psm 7 2>/dev/null | tr -s ' \n' ' ' | sed 's/ *$//'
}
# The status line as the screen shows it.
status_text() { ocr 217 628 610 26; }
# Close enough to the expected text for OCR: letters and digits compared, case and
# punctuation aside, nine in ten alike (the closest two status texts are not).
similar() {
  python3 - "$1" "$2" <<'PY'
import difflib, sys
def letters(t):
    t = t.replace("İ", "i").replace("I", "ı").lower()
    return "".join(c for c in t if c.isalnum() or c == " ")
a, b = letters(sys.argv[1]), letters(sys.argv[2])
sys.exit(0 if difflib.SequenceMatcher(None, a, b).ratio() >= 0.9 else 1)
PY
}
# expect_status NAME "TEXT" [SECONDS]: waits until the status line reads TEXT, saves NAME.png.
expect_status() {
  local seen=""
  for _ in $(seq $(( ${3:-10} * 2 ))); do
    seen=$(status_text)
    similar "$seen" "$2" && break
    sleep 0.5
  done
  cp "$kl_out/shot.png" "$kl_out/$1.png"
  if similar "$seen" "$2"; then kl_log "ok   $1: status \"$seen\""; else kl_log "FAIL $1: status \"$seen\", expected \"$2\""; kl_fail=1; fi
}

# The clipboard as text, line ends as X delivers them.
clipboard() { timeout 5 xclip -o -selection clipboard 2>/dev/null; }
# Whether the consent veil darkens the sidebar.
consent_shown() { shot; [ "$(layout_pixel 150 300)" != "172821" ]; }
# await_consent: waits for the consent prompt, then out its first half second, in which the
# program ignores its buttons (a click already on its way is no answer).
await_consent() { wait_for 20 consent_shown && sleep 0.6; }
banner_present() { xdotool search --name '^Kestrelink · Ekran paylaşımı açık$' >/dev/null 2>&1; }

# The relay on the program's built-in loopback address, for the peers too.
relay=ws://127.0.0.1:${KL_TEST_PORT:-47800}/ws
# start_relay NATIVE_BUILD: that relay.
start_relay() {
  "$1/kestrelink-relay" --port "${KL_TEST_PORT:-47800}" --metrics-port off >"$kl_out/relay.out" 2>"$kl_out/relay.log" &
  relay_pid=$!
  wait_for 10 test -s "$kl_out/relay.out" || { kl_log "FAIL the relay did not start (is port ${KL_TEST_PORT:-47800} taken?)"; return 1; }
}

# dark_pixels LX LY LW LH: how many pixels of a layout rectangle of the last shot are dark.
dark_pixels() {
  local x y w h
  read -r x y < <(at "$1" "$2")
  w=$(awk -v v="$3" -v s="$scale" 'BEGIN {printf "%d", v * s}'); h=$(awk -v v="$4" -v s="$scale" 'BEGIN {printf "%d", v * s}')
  convert "$kl_out/shot.png" -crop "${w}x${h}+${x}+${y}" +repage -colorspace Gray -threshold 50% -negate \
    -format "%[fx:int(mean * w * h + 0.5)]" info: 2>/dev/null
}
# rgb X Y: "R G B" in 0..255 of a pixel (client pixels) of the last shot.
rgb() { convert "$kl_out/shot.png" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]" info: 2>/dev/null; }

# copy_credentials: clicks "Bağlantı bilgilerini kopyala" until the host is registered (before
# that the clipboard is left alone); sets id and key from the clipboard.
copy_credentials() {
  printf 'none' | xclip -selection clipboard -loops 1 >/dev/null 2>&1 &
  local holder=$!
  sleep 0.3
  wait_for 30 eval 'click_at 300 455; sleep 0.5; clipboard | tr -d "\r" | grep -qE "^[1-9][0-9]{8}$"'
  kill $holder 2>/dev/null
  id=$(clipboard | tr -d '\r' | sed -n 1p)
  key=$(clipboard | tr -d '\r' | sed -n 2p)
}
# type_request SHOT [back]: the ID into its field, Tab, the key, Enter (with "back": Tab once
# more, so Enter is pressed in the ID field). Sets typed: dark pixels of the key field.
type_request() {
  click_at 838 285
  xdotool key End shift+Home BackSpace
  xdotool type --delay 30 "${id:0:3} ${id:3:3} ${id:6:3}"
  xdotool key Tab
  xdotool type --delay 30 "$key"
  sleep 0.3; shot "$1-typed"
  typed=$(dark_pixels 700 366 280 26)
  if [ "${2:-}" = back ]; then xdotool key Tab; fi
  xdotool key Return
}

# Two programs at once: the host on a display of its own with a Wine prefix (and server) of
# its own, so that neither shares the other's input state; the viewer on the current one.
#   start_host_display WxH    sets host_display, host_prefix, viewer_display, viewer_prefix
#   stop_host_display
start_host_display() {
  viewer_display=$DISPLAY viewer_prefix=$WINEPREFIX
  host_prefix="${KL_STATE:-$HOME/.cache/kestrelink}/wineprefix-host"
  [ -d "$host_prefix" ] || cp -a "$viewer_prefix" "$host_prefix"
  kl_new_display "${1}x24"
  host_xvfb_pid=$kl_new_display_pid host_display=$kl_new_display_name
  WINEPREFIX=$host_prefix wineserver -p 2>/dev/null || true
}
stop_host_display() {
  WINEPREFIX=$host_prefix wineserver -k 2>/dev/null
  kill "$host_xvfb_pid" 2>/dev/null
}
# Which window the helpers drive: save and restore their variables per side.
save_as() { eval "${1}_state=\"wid=$wid X=$X Y=$Y WIDTH=$WIDTH HEIGHT=$HEIGHT cx=$cx cy=$cy cw=$cw ch=$ch scale=$scale\""; }
as_host() { export DISPLAY=$host_display WINEPREFIX=$host_prefix; [ -z "${host_state:-}" ] || eval "$host_state"; }
as_viewer() { export DISPLAY=$viewer_display WINEPREFIX=$viewer_prefix; [ -z "${viewer_state:-}" ] || eval "$viewer_state"; }
# to_viewer HX HY PW PH: where a pixel of a PW x PH host screen shows in the viewer's remote
# view (window coordinates), for the viewer's saved geometry (the picture's band lies 112 layout
# units from the top and 36 from the bottom).
to_viewer() {
  awk -v x="$1" -v y="$2" -v pw="$3" -v ph="$4" -v w="$cw" -v h="$ch" -v cx="$cx" -v cy="$cy" -v sc="$scale" 'BEGIN {
    H = h - 148 * sc; iw = pw; ih = ph; if (iw > 1920) { ih = ih * 1920 / iw; iw = 1920 }
    s = H / ih; if (w / iw < s) s = w / iw
    l = (w - iw * s) / 2; t = (H - ih * s) / 2 + 112 * sc
    printf "%d %d", cx + l + x * iw * s / pw, cy + t + y * ih * s / ph }'
}

# start_scene NATIVE_BUILD PROGRAM: the relay, then the program on this display with its
# main window found. The program, the relay and $peer_pid are stopped on exit.
start_scene() {
  start_relay "$1" || return 1
  wine "$2" >"$kl_out/program.log" 2>&1 &
  program_pid=$!
  peer_pid=""
  trap 'kill $program_pid $peer_pid $relay_pid 2>/dev/null; wait 2>/dev/null' EXIT
  kl_find_window || { kl_log "FAIL the main window did not appear"; return 1; }
}
