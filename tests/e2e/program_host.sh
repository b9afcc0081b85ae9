#!/usr/bin/env bash
# The program as host under Wine with the real relay and klpeer as viewer: registration,
# the credentials through the clipboard, consent by a click, sharing with its banner, the
# viewer leaving; refusal by "Reddet" and by Escape (after a stray press that must not
# accept); the hot key ending a session.
#   program_host.sh PROGRAM.exe NATIVE_BUILD OUT_DIR    (needs DISPLAY and WINEPREFIX)
set -uo pipefail
program=$1 native=$2 kl_out=$3
mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$(dirname "$0")/../gui/lib.sh"
start_scene "$native" "$program" || exit 1
kl_log "main window $wid, client at $cx,$cy, scale $scale"
shot 01-start

copy_credentials
check "the clipboard holds the nine-digit ID" "$(echo "$id" | grep -cE '^[1-9][0-9]{8}$')" "1"
check "and the 26-character key on the next line" "$(echo "$key" | grep -cE '^[A-Z2-7]{26}$')" "1"
expect_status 02-copied "ID ve bağlantı anahtarı kopyalandı."

# start_viewer NAME: klpeer as viewer with the copied credentials.
start_viewer() {
  "$native/klpeer" viewer --relay "$relay" --id "$id" --key - <<<"$key" --timeout 60 >"$kl_out/$1.jsonl" 2>&1 &
  peer_pid=$!
  await_consent || kl_log "FAIL $1: no consent prompt"
}
peer_event() { grep -q "\"event\":\"$2\"" "$kl_out/$1.jsonl"; }

# 1. Accepted by a click, then the viewer leaves.
start_viewer viewer-accepted
shot 03-consent-prompt
click_button "Paylaşıma izin ver"
wait_for 20 peer_event viewer-accepted ready
check "the viewer received Ready" "$(peer_event viewer-accepted ready && echo yes)" "yes"
wait_for 10 banner_present
check "the banner is shown while sharing" "$(banner_present && echo yes)" "yes"
expect_status 04-sharing "Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes"
import -window root "$kl_out/04-sharing-screen.png" 2>/dev/null
# An unlimited link: every frame as the fixed parameters make it, at most 1920 wide (the
# screen's own width below that) and quality 72 (75 under Wine, whose encoder ignores the
# parameter); the smaller settings of a slow link never show.
sleep 2
best_width=$(xdotool getdisplaygeometry | awk '{print ($1 < 1920 ? $1 : 1920)}')
check "every frame on an unlimited link is $best_width wide at the best quality" "$(python3 -c '
import json, sys
frames = [json.loads(l) for l in open(sys.argv[1]) if "\"frame\"" in l]
print(len(frames) >= 3 and all(f["width"] == int(sys.argv[2]) and f["quality"] in (72, 75) for f in frames))' \
  "$kl_out/viewer-accepted.jsonl" "$best_width")" "True"
kill -INT $peer_pid 2>/dev/null; wait $peer_pid 2>/dev/null
expect_status 05-viewer-left "Karşı taraf ayrıldı. Yeni bağlantı için ID yenile."
check "the banner is gone" "$(banner_present && echo yes || echo no)" "no"

# 2. A fresh ID ("Yenile"), refused with "Reddet".
click_button "Yenile"
copy_credentials
start_viewer viewer-refused
click_button "Reddet"
wait $peer_pid; rc=$?
check "the refused viewer ends with the relay's refusal (exit 3)" "$rc" "3"
expect_status 06-refused "İstek reddedildi. Yeni istek bekleniyor."

# 3. The same ID: a press made before the prompt appeared and released on "Paylaşıma izin
# ver" answers nothing; then Escape refuses.
move_to_button "Paylaşıma izin ver"; xdotool mousedown 1
start_viewer viewer-escape
# Released after the prompt's first half second; then a while in which nothing must happen.
sleep 0.8; xdotool mouseup 1; sleep 1
check "a press from before the prompt does not accept it" "$(consent_shown && ! peer_event viewer-escape connected && echo open)" "open"
focus_window
xdotool key Escape
wait $peer_pid; rc=$?
check "Escape refuses the request" "$rc" "3"
expect_status 07-escaped "İstek reddedildi. Yeni istek bekleniyor."

# 4. Accepted, then the hot key ends the session and makes a new ID.
start_viewer viewer-hotkey
click_button "Paylaşıma izin ver"
wait_for 20 peer_event viewer-hotkey ready
wait_for 10 banner_present
old_id=$id
focus_window
xdotool key ctrl+alt+shift+F12
wait_for 10 eval '! banner_present'
check "the hot key removes the banner" "$(banner_present && echo yes || echo no)" "no"
wait $peer_pid; rc=$?
check "the viewer is told the host left and ends normally" "$rc" "0"
check "it was told by peerDisconnected" "$(peer_event viewer-hotkey peerDisconnected && echo yes)" "yes"
copy_credentials
check "the hot key made a new ID" "$([ "$id" != "$old_id" ] && echo new || echo same)" "new"
shot 08-after-hotkey

# The close region ends the program.
click_button "×"
wait $program_pid; rc=$?
check "the program exits with 0" "$rc" "0"
exit $kl_fail
