# Helpers for driving the program's windows under Wine with xdotool and reading what the
# screen shows. Source it; needs DISPLAY and WINEPREFIX (scripts/wine-session.sh, or env.sh and
# with-display.sh).
#   kl_out      folder for screenshots and the step log (set before use)
# Buttons and edits are found by their labels in the list that kllayout.exe (beside the program
# in the windows build, KL_BUILD) prints from the program's layout and paint code.
kl_src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# xdotool matches the program's Turkish window titles only under a UTF-8 locale.
export LANG=C.UTF-8
unset LC_ALL
. "$kl_src/scripts/with-display.sh"
kl_layout_tool=${KL_BUILD:-$kl_src/build/windows}/kllayout.exe

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

# The main window whose title is exactly "Kestrelink Native", once it is painted; sets wid,
# X Y WIDTH HEIGHT, the client origin (cx, cy) and size (cw, ch), the layout list and scale.
kl_find_window() {
  wid=$(timeout 60 xdotool search --sync --onlyvisible --name '^Kestrelink Native$' | head -1)
  [ -n "$wid" ] || return 1
  wait_for 30 kl_client_painted || return 1
  kl_read_layout
}
# Whether the window shows its page: the client area starts where the sidebar colour starts
# (sets cx and cy); the page is painted at once, so the sidebar means all of it.
kl_client_painted() {
  eval "$(xdotool getwindowgeometry --shell "$wid" 2>/dev/null)"
  shot
  cx=$(first_sidebar_pixel "20x1+0+300" 1) && cy=$(first_sidebar_pixel "1x40+20+0" 2)
}
# first_sidebar_pixel CROP FIELD: the first x (FIELD 1) or y (2) of the crop of the last shot in
# the sidebar colour.
first_sidebar_pixel() {
  convert "$kl_out/shot.png" -crop "$1" +repage -depth 8 txt:- 2>/dev/null |
    awk -v f="$2" 'NR > 1 && tolower(substr($3, 1, 7)) == "#172821" { split($1, p, "[,:]"); print p[f] + 0; found = 1; exit }
                   END { exit !found }'
}
# kl_read_layout: the layout list for the window's client size ($layout) and its scale.
kl_read_layout() {
  cw=$((WIDTH - 2 * cx)); ch=$((HEIGHT - cy - cx))
  layout=$(kl_layout_file "$cw" "$ch") || return 1
  scale=$(sed -n 's/^scale //p' "$layout")
}
# kl_layout_file W H [SCREEN_W SCREEN_H]: the list's file for that client (and remote screen) size.
kl_layout_file() {
  local file="$kl_out/layout-$(echo "$@" | tr ' ' x).txt"
  if [ ! -s "$file" ]; then
    [ -f "$kl_layout_tool" ] || { kl_log "FAIL no $kl_layout_tool (build the windows preset's kllayout)" >&2; return 1; }
    wine "$kl_layout_tool" "$@" </dev/null 2>/dev/null | tr -d '\r' >"$file.tmp" && mv "$file.tmp" "$file"
    grep -q '^scale ' "$file" 2>/dev/null || { kl_log "FAIL kllayout printed no layout for $*" >&2; return 1; }
  fi
  echo "$file"
}
# button_rect LABEL: "X Y W H" (window pixels) of the first region labelled LABEL in the list.
button_rect() {
  awk -v want="$1" -v cx="$cx" -v cy="$cy" '$1 == "button" {
      label = $0; for (i = 0; i < 7; i++) sub(/^[^ ]+ /, "", label)
      if (label == want) { print cx + $4, cy + $5, $6, $7; found = 1; exit } }
    END { exit !found }' "$layout"
}
# field_rect id|key: "X Y W H" (window pixels) of that edit.
field_rect() { awk -v want="$1" -v cx="$cx" -v cy="$cy" '$1 == "field" && $2 == want { print cx + $3, cy + $4, $5, $6 }' "$layout"; }
# point_in "X Y W H" [FX FY]: the point at those fractions of the rectangle (default its centre).
point_in() { awk -v fx="${2:-0.5}" -v fy="${3:-0.5}" -v r="$1" 'BEGIN {split(r, a, " "); printf "%d %d", a[1] + a[3] * fx, a[2] + a[4] * fy}'; }
# move_to_button LABEL [FX FY], click_button LABEL, button_pixel LABEL FX FY (of the last shot).
move_to_button() {
  local rect
  rect=$(button_rect "$1") || { kl_log "FAIL no button \"$1\" in $layout"; return 1; }
  set -- $(point_in "$rect" "${2:-0.5}" "${3:-0.5}")
  xdotool mousemove --window "$wid" "$1" "$2"
}
click_button() { move_to_button "$1" && xdotool click 1; }
button_pixel() { set -- $(point_in "$(button_rect "$1")" "$2" "$3"); pixel "$1" "$2"; }
click_field() { set -- $(point_in "$(field_rect "$1")"); xdotool mousemove --window "$wid" "$1" "$2"; xdotool click 1; }

# shot [NAME]: the window into $kl_out/shot.png, and a copy as NAME.png when named.
shot() {
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$kl_out/shot.png" 2>/dev/null
  [ -z "${1:-}" ] || cp "$kl_out/shot.png" "$kl_out/$1.png"
}
pixel() { convert "$kl_out/shot.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null | cut -c1-6 | tr A-F a-f; }
# at LX LY: window pixels of a point given in layout units (places that are not buttons).
at() { awk -v x="$1" -v y="$2" -v s="$scale" -v cx=$cx -v cy=$cy 'BEGIN {printf "%d %d", cx + x * s, cy + y * s}'; }
layout_pixel() { set -- $(at "$1" "$2"); pixel "$1" "$2"; }
move() { set -- $(at "$1" "$2"); xdotool mousemove --window "$wid" "$1" "$2"; }
click_at() { move "$1" "$2"; xdotool click 1; }

# layout_rect LX LY LW LH: "X Y W H" in window pixels of a rectangle in layout units.
layout_rect() {
  awk -v x="$1" -v y="$2" -v w="$3" -v h="$4" -v s="$scale" -v cx=$cx -v cy=$cy \
    'BEGIN {printf "%d %d %d %d", cx + x * s, cy + y * s, w * s, h * s}'
}
# ocr LX LY LW LH: the text of a layout rectangle as OCR reads it from a fresh screenshot.
ocr() { ocr_rect "$(layout_rect "$@")"; }
# ocr_rect "X Y W H" [GROW]: the same for a rectangle in window pixels, GROW pixels larger each side.
ocr_rect() {
  shot
  local x y w h g=${2:-0}
  read -r x y w h <<<"$1"
  convert "$kl_out/shot.png" -crop "$((w + 2 * g))x$((h + 2 * g))+$((x - g))+$((y - g))" +repage -colorspace Gray -normalize \
    -resize 400% "$kl_out/status.png" 2>/dev/null
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
# program ignores its buttons (a click already on its way is no answer): a rule of time with
# nothing on the screen to wait for.
await_consent() { wait_for 20 consent_shown && sleep 0.6; }
# focus_window: the keyboard focus to the window, waited for.
focus_window() {
  xdotool windowfocus --sync "$wid" 2>/dev/null
  wait_for 2 eval '[ "$(xdotool getwindowfocus 2>/dev/null)" = "$wid" ]'
}
banner_present() { xdotool search --name '^Kestrelink · Ekran paylaşımı açık$' >/dev/null 2>&1; }

# The relay on the program's built-in loopback address (KL_TEST_PORT of the windows build), for
# the peers too.
relay=ws://127.0.0.1:${KL_TEST_PORT:-}/ws
# start_relay NATIVE_BUILD: that relay.
start_relay() {
  [ -n "${KL_TEST_PORT:-}" ] || { kl_log "FAIL no KL_TEST_PORT: ctest sets it, scripts read it from the configured windows build"; return 1; }
  [ -x "$1/kestrelink-relay" ] || { kl_log "FAIL no relay at $1/kestrelink-relay: build the native preset first"; return 1; }
  "$1/kestrelink-relay" --port "$KL_TEST_PORT" --metrics-port off >"$kl_out/relay.out" 2>"$kl_out/relay.log" &
  relay_pid=$!
  wait_for 10 eval 'test -s "$kl_out/relay.out" || ! kill -0 $relay_pid 2>/dev/null'
  [ -s "$kl_out/relay.out" ] || { kl_log "FAIL the relay did not start: $(grep -v '^[0-9-]*T' "$kl_out/relay.log" | tail -1)"; return 1; }
}

# dark_pixels "X Y W H": how many pixels of a rectangle (window pixels) of the last shot are dark.
dark_pixels() {
  local x y w h
  read -r x y w h <<<"$1"
  convert "$kl_out/shot.png" -crop "${w}x${h}+${x}+${y}" +repage -colorspace Gray -threshold 50% -negate \
    -format "%[fx:int(mean * w * h + 0.5)]" info: 2>/dev/null
}
# The key field's text area: the edit without the first pixels of its left edge.
key_text_rect() { read -r x y w h <<<"$(field_rect key)"; echo "$((x + 7)) $((y + 2)) $((w - 10)) $((h - 2))"; }
# rgb X Y: "R G B" in 0..255 of a pixel (client pixels) of the last shot.
rgb() { convert "$kl_out/shot.png" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]" info: 2>/dev/null; }

# copy_credentials: clicks "Bağlantı bilgilerini kopyala" until the host is registered (before
# that the clipboard is left alone); sets id and key from the clipboard.
copy_credentials() {
  printf 'none' | xclip -selection clipboard -loops 1 >/dev/null 2>&1 &
  local holder=$!
  wait_for 5 eval '[ "$(clipboard)" = none ]'
  wait_for 30 eval 'click_button "Bağlantı bilgilerini kopyala"; wait_for 1 credentials_copied'
  kill $holder 2>/dev/null
  id=$(clipboard | tr -d '\r' | sed -n 1p)
  key=$(clipboard | tr -d '\r' | sed -n 2p)
}
credentials_copied() { clipboard | tr -d '\r' | grep -qE '^[1-9][0-9]{8}$'; }
# type_request SHOT [back]: the ID into its field, Tab, the key, Enter (with "back": Tab once
# more, so Enter is pressed in the ID field). Sets typed: dark pixels of the key field.
type_request() {
  click_field id
  xdotool key End shift+Home BackSpace
  xdotool type --delay 30 "${id:0:3} ${id:3:3} ${id:6:3}"
  xdotool key Tab
  xdotool type --delay 30 "$key"
  wait_for 3 eval 'shot; [ "$(dark_pixels "$(key_text_rect)")" -gt 60 ]'
  shot "$1-typed"
  typed=$(dark_pixels "$(key_text_rect)")
  if [ "${2:-}" = back ]; then xdotool key Tab; fi
  xdotool key Return
}

# Two programs at once: the host on a display of its own with a Wine prefix (and server) of
# its own, so that neither shares the other's input state; the viewer on the current one.
#   start_host_display WxH    sets host_display, host_prefix, viewer_display, viewer_prefix
#   stop_host_display
start_host_display() {
  viewer_display=$DISPLAY viewer_prefix=$WINEPREFIX
  host_prefix="$viewer_prefix-host"
  [ -d "$host_prefix" ] || cp -a --reflink=auto "$viewer_prefix" "$host_prefix"
  kl_new_display "${1}x24"
  host_xvfb_pid=$kl_new_display_pid host_display=$kl_new_display_name
  WINEPREFIX=$host_prefix wineserver -p 2>/dev/null || true
}
# Safe at any point, even before start_host_display ran (exit traps call it).
stop_host_display() {
  [ -z "${host_prefix:-}" ] || WINEPREFIX=$host_prefix wineserver -k 2>/dev/null
  [ -z "${host_xvfb_pid:-}" ] || kill "$host_xvfb_pid" 2>/dev/null
  return 0
}
# Which window the helpers drive: save and restore their variables per side.
save_as() { eval "${1}_state=\"wid=$wid X=$X Y=$Y WIDTH=$WIDTH HEIGHT=$HEIGHT cx=$cx cy=$cy cw=$cw ch=$ch scale=$scale layout=$layout\""; }
as_host() { export DISPLAY=$host_display WINEPREFIX=$host_prefix; [ -z "${host_state:-}" ] || eval "$host_state"; }
as_viewer() { export DISPLAY=$viewer_display WINEPREFIX=$viewer_prefix; [ -z "${viewer_state:-}" ] || eval "$viewer_state"; }
# request_from_viewer_program SHOT: $program as viewer on the viewer's display (viewer_pid, in
# $pids), its window saved as the viewer's, the host's ID and key typed and sent (screenshot
# SHOT); then waits on the host's display for the consent prompt's buttons to count.
request_from_viewer_program() {
  as_viewer
  wine "$program" >"$kl_out/viewer-program.log" 2>&1 &
  viewer_pid=$!
  pids="$pids $viewer_pid"
  kl_find_window || { kl_log "FAIL the viewer's window did not appear"; exit 1; }
  save_as viewer
  type_request "$1"
  as_host
  await_consent || kl_log "FAIL no consent prompt on the host"
}
# picture_rect PW PH: "L T W H" (client pixels, fractional) where the viewer's window shows a
# PW x PH host screen, as the program fits it (from the layout list).
picture_rect() {
  local file
  file=$(kl_layout_file "$cw" "$ch" "$1" "$2") || return 1
  sed -n 's/^picture //p' "$file"
}
# to_viewer HX HY PW PH: where a pixel of a PW x PH host screen shows in the viewer's remote
# view (window coordinates), for the viewer's saved geometry.
to_viewer() {
  awk -v x="$1" -v y="$2" -v pw="$3" -v ph="$4" -v cx="$cx" -v cy="$cy" -v r="$(picture_rect "$3" "$4")" 'BEGIN {
    split(r, p, " "); printf "%d %d", cx + p[1] + x * p[3] / pw, cy + p[2] + y * p[4] / ph }'
}

# start_scene NATIVE_BUILD PROGRAM: the relay, then the program on this display with its
# main window found. The program, the relay and $peer_pid are stopped on exit.
start_scene() {
  start_relay "$1" || return 1
  wine "$2" >"$kl_out/program.log" 2>&1 &
  program_pid=$!
  peer_pid=""
  trap 'kill ${program_pid:-} ${peer_pid:-} ${relay_pid:-} 2>/dev/null; wait 2>/dev/null' EXIT
  kl_find_window || { kl_log "FAIL the main window did not appear"; return 1; }
}
