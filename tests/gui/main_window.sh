#!/usr/bin/env bash
# Drives the real main window under Wine with xdotool as a person would, and checks what the
# screen shows (ImageMagick) and what the clipboard holds (xclip).
#   main_window.sh PROGRAM.exe [OUT_DIR]   (needs DISPLAY and WINEPREFIX, as scripts/wine-session.sh
#                                           sets them; keeps page-0.png and page-1.png in OUT_DIR)
set -uo pipefail
program=$1
keep=${2:-}
kl_out=${keep:-$(mktemp -d /tmp/kl-gui.XXXXXX)}
mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$(dirname "$0")/lib.sh"

# xclip stays behind to serve the selection: it must not hold the test runner's output open,
# and it leaves after the one read below.
printf 'sentinel' | xclip -selection clipboard -loops 1 >/dev/null 2>&1 &
xclip_pid=$!
wine "$program" >"$kl_out/program.log" 2>&1 &
pid=$!
trap 'kill ${pid:-} ${xclip_pid:-} 2>/dev/null; [ -n "${keep:-}" ] || rm -rf "$kl_out"' EXIT
kl_find_window || { echo "FAIL the main window did not appear"; exit 1; }
echo "client origin $cx,$cy size ${cw}x${ch} scale $scale"
shot page-0

# The empty edits show their cue texts (Common Controls 6, selected by the manifest); the edits
# paint after the page.
cue_reads() { cue=$(ocr_rect "$(field_rect "$1")" 4); similar "$cue" "$2"; }
if wait_for 10 cue_reads id "123 456 789"; then kl_log "ok   the ID field shows its cue"; else kl_log "FAIL the ID field's cue: \"$cue\""; kl_fail=1; fi
if wait_for 10 cue_reads key "Bağlantı anahtarını yapıştır"; then kl_log "ok   the key field shows its cue"; else kl_log "FAIL the key field's cue: \"$cue\""; kl_fail=1; fi
cp "$kl_out/shot.png" "$kl_out/cues.png"

# nav_colour LABEL: the colour of a nav item beside its label (in the last shot).
nav_colour() { button_pixel "$1" 0.87 0.1; }
# A click acts on release: press on the background, release on "Güvenlik".
move 600 625; xdotool mousedown 1; move_to_button "Güvenlik" 0.55 0.45; sleep 0.3; xdotool mouseup 1
wait_for 5 eval 'shot; [ "$(nav_colour "Güvenlik")" = 31483a ]'; shot page-1
check "press outside, release on a region switches the page" "$(nav_colour "Güvenlik")" "31483a"
check "the first nav item is no longer selected" "$(nav_colour "Uzak bağlantı")" "172821"
click_button "Uzak bağlantı"
wait_for 5 eval 'shot; [ "$(nav_colour "Uzak bağlantı")" = 31483a ]'

# Hover repaints the hovered button (looked at beside its label).
copy="Bağlantı bilgilerini kopyala"
move_to_button "$copy" 0.02 0.15
wait_for 5 eval 'shot; [ "$(button_pixel "$copy" 0.02 0.15)" = 1e7b60 ]'
check "hovering the copy button colours it" "$(button_pixel "$copy" 0.02 0.15)" "1e7b60"
move 1060 300
wait_for 5 eval 'shot; [ "$(button_pixel "$copy" 0.02 0.15)" = 16664f ]'
check "leaving it restores its colour" "$(button_pixel "$copy" 0.02 0.15)" "16664f"

# Only the top strip between the sidebar and the window buttons drags the window.
geometry() { xdotool getwindowgeometry --shell "$wid" | sed -n "s/^$1=//p"; }
x0=$(geometry X)
# (The sleeps left here pace the pointer as a hand would, or give a change that must not come
# the time to come.)
move 500 300; xdotool mousedown 1; xdotool mousemove_relative -- 60 0; sleep 0.3; xdotool mouseup 1; sleep 0.5
check "a press on a card does not drag" "$(geometry X)" "$x0"
move 500 8; xdotool mousedown 1; sleep 0.2
for step in 1 2 3 4 5 6; do xdotool mousemove_relative -- 10 0; sleep 0.05; done
sleep 0.3; xdotool mouseup 1
wait_for 5 eval '[ $(( $(geometry X) - x0 )) -ge 40 ]'
moved=$(( $(geometry X) - x0 ))
check "the top strip drags the window" "$([ $moved -ge 40 ] && echo moved || echo "moved $moved")" "moved"
eval "$(xdotool getwindowgeometry --shell "$wid")"

# Copy before the host registered (no relay runs here) leaves the clipboard alone.
click_button "$copy"; sleep 0.8
check "copy before registration leaves the clipboard untouched" "$(xclip -o -selection clipboard)" "sentinel"

# The close region ends the program with exit code 0.
click_button "×"
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
wait $pid; rc=$?
check "the close region exits with 0" "$rc" "0"

# A fresh window for each of the other two window buttons.
restart() {
  kill $pid 2>/dev/null; wait $pid 2>/dev/null
  wine "$program" >"$kl_out/program2.log" 2>&1 &
  pid=$!
  kl_find_window || kl_log "FAIL the main window did not appear again"
}

# Maximise: without a window manager Wine keeps the X window's size, so the check is what is
# drawn: the sidebar grows with the layout scale.
restart
sidebar_width() {  # pixels of sidebar colour along the row y = 300 of the last shot
  convert "$kl_out/shot.png" -crop "${WIDTH}x1+0+300" +repage txt:- 2>/dev/null |
    awk -v cx=$cx 'NR > 1 { split($1, p, ","); x = p[1] + 0; if (x >= cx) { if (index(tolower($3), "#172821") == 1) n++; else if (n > 0) { print n; exit } } }'
}
shot; normal=$(sidebar_width)
click_button "□"
wait_for 5 eval 'shot; [ "$(sidebar_width)" -gt "$normal" ]'; maximised=$(sidebar_width)
check "the maximise region maximises (the layout grows)" "$([ "$maximised" -gt "$normal" ] && echo grew || echo "$normal -> $maximised")" "grew"

# Minimise: without a window manager the X window stays mapped; Wine marks it iconic in its
# window-manager hints, which is what a window manager acts on.
restart
iconic() { xprop -id "$wid" WM_HINTS | grep -q "Iconic State" && echo iconic || echo normal; }
check "a fresh window is not iconic" "$(iconic)" "normal"
click_button "—"
wait_for 5 eval '[ "$(iconic)" = iconic ]'
check "the minimise region minimises" "$(iconic)" "iconic"
kill $pid 2>/dev/null; wait $pid 2>/dev/null
exit $kl_fail
