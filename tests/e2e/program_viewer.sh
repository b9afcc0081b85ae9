#!/usr/bin/env bash
# The program as viewer under Wine with the real relay and klpeer as host: ID and key typed
# with xdotool (Tab between the fields, Enter sends once), the key field emptied, the remote
# picture shown after Ready, the session ended from the viewer; then a host that refuses.
#   program_viewer.sh PROGRAM.exe NATIVE_BUILD OUT_DIR    (needs DISPLAY and WINEPREFIX)
set -uo pipefail
program=$1 native=$2 kl_out=$3
mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$(dirname "$0")/../gui/lib.sh"
start_scene "$native" "$program" || exit 1
expect_status 11-viewer-start "Bağlantıya hazır" 20

# start_host NAME ANSWER: klpeer as host; sets id and key from its first line.
start_host() {
  "$native/klpeer" host --relay "$relay" --answer "$2" --pattern 640x360 --fps 5 --timeout 90 >"$kl_out/$1.jsonl" 2>&1 &
  peer_pid=$!
  wait_for 10 grep -q '"event":"registered"' "$kl_out/$1.jsonl" || kl_log "FAIL $1: the peer host did not register"
  id=$(sed -n 's/.*"id":"\([0-9]*\)".*/\1/p' "$kl_out/$1.jsonl" | head -1)
  key=$(sed -n 's/.*"key":"\([A-Z2-7]*\)".*/\1/p' "$kl_out/$1.jsonl" | head -1)
}
# 1. Accepted: the remote picture replaces the page.
start_host host-accepting accept
type_request 12
check "Tab moved to the key field (its dots were drawn)" "$([ "${typed:-0}" -gt 60 ] && echo typed || echo "dark ${typed:-?}")" "typed"
wait_for 20 grep -q '"event":"answered"' "$kl_out/host-accepting.jsonl"
shot 13-sent
check "Enter sent exactly one request" "$(grep -c '"event":"request"' "$kl_out/host-accepting.jsonl")" "1"
remote_view() { shot; [ "$(layout_pixel 540 95)" = "0d1418" ]; }
wait_for 20 remote_view
check "after Ready the remote view is shown" "$(remote_view && echo yes)" "yes"
# The pattern brightens to the right (red) and downwards (green): its lower-right corner. Its
# white band moves across it from frame to frame, so the corners are read from a picture
# where the band lies elsewhere.
read -r fl ft fw fh < <(picture_rect 640 360 | awk '{printf "%d %d %d %d", $1, $2, $3, $4}')
corners_shown() {
  shot
  read -r r g b < <(rgb $((cx + fl + fw * 97 / 100)) $((cy + ft + fh * 97 / 100)))
  read -r r0 g0 b0 < <(rgb $((cx + fl + fw * 3 / 100)) $((cy + ft + fh * 3 / 100)))
  [ "$r" -gt 180 ] && [ "$g" -gt 180 ] && [ "$r0" -lt 60 ] && [ "$g0" -lt 60 ]
}
wait_for 10 corners_shown
cp "$kl_out/shot.png" "$kl_out/14-remote-view.png"
read -r r g b < <(rgb $((cx + fl + fw * 97 / 100)) $((cy + ft + fh * 97 / 100)))
check "the host's picture fills the fit rectangle (lower right is yellow)" "$([ "$r" -gt 180 ] && [ "$g" -gt 180 ] && echo yes || echo "rgb $r $g $b")" "yes"
read -r r g b < <(rgb $((cx + fl + fw * 3 / 100)) $((cy + ft + fh * 3 / 100)))
check "and its upper left is dark" "$([ "$r" -lt 60 ] && [ "$g" -lt 60 ] && echo yes || echo "rgb $r $g $b")" "yes"
frames=$(grep -c '"event":"frameSent"' "$kl_out/host-accepting.jsonl")
kl_log "the peer host sent $frames frames"

# The viewer ends the session with "Bağlantıyı kes": back to a registered host.
click_button "Bağlantıyı kes"
wait $peer_pid; rc=$?
check "the peer host is told the viewer left and ends normally" "$rc" "0"
expect_status 15-disconnected "Bağlantıya hazır" 20
shot
check "the key field is empty again after sending" "$(dark_pixels "$(key_text_rect)" | awk '{print ($1 < 40) ? "empty" : "dark " $1}')" "empty"

# 2. Enter in the ID field this time; refused by the host: the relay's text reaches the
# status line.
start_host host-refusing refuse
type_request 16 back
expect_status 17-refused "Bağlantı isteği reddedildi." 20
check "Enter in the ID field sent exactly one request" "$(grep -c '"event":"request"' "$kl_out/host-refusing.jsonl")" "1"
kill $peer_pid 2>/dev/null; wait $peer_pid 2>/dev/null

click_button "×"
wait $program_pid; rc=$?
check "the program exits with 0" "$rc" "0"
exit $kl_fail
