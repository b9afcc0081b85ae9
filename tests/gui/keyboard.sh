#!/usr/bin/env bash
# The program as host driven from the keyboard alone, under Wine with xdotool, with the real
# relay and klpeer as viewer: F6 into the drawn buttons, the arrows, Space copies the
# credentials, the focus ring on the screen; at the consent prompt Enter on the first focus
# ("Reddet") refuses, and Tab to "Paylaşıma izin ver" then Space after the prompt's first half
# second accepts.
#   keyboard.sh PROGRAM.exe NATIVE_BUILD OUT_DIR    (needs DISPLAY and WINEPREFIX)
set -uo pipefail
program=$1 native=$2 kl_out=$3
mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$(dirname "$0")/lib.sh"
start_scene "$native" "$program" || exit 1
expect_status 01-registered "Bağlantıya hazır" 30
focus_window

# ring_pixels LABEL: dark pixels in the strip left of a button, where its focus ring runs.
ring_pixels() { read -r x y w h <<<"$(button_rect "$1")"; shot; dark_pixels "$((x - 8)) $((y + 4)) 6 $((h - 8))"; }
copy="Bağlantı bilgilerini kopyala"
before=$(ring_pixels "$copy")
printf 'none' | xclip -selection clipboard -loops 1 >/dev/null 2>&1 &
holder=$!
wait_for 5 eval '[ "$(clipboard)" = none ]'
# The buttons in drawing order: "Uzak bağlantı", "Güvenlik", "Göster", then the copy button.
xdotool key F6 Down Down Down
wait_for 5 eval '[ "$(ring_pixels "$copy")" -gt $((before + 10)) ]'
shot 02-focus-ring
check "the focused button has a ring ($before dark pixels before)" \
  "$([ "$(ring_pixels "$copy")" -gt $((before + 10)) ] && echo ring)" "ring"
xdotool key space
wait_for 5 credentials_copied
kill $holder 2>/dev/null
check "F6, the arrows and Space copy the credentials" "$(credentials_copied && echo copied)" "copied"
id=$(clipboard | tr -d '\r' | sed -n 1p)
key=$(clipboard | tr -d '\r' | sed -n 2p)

start_viewer() {
  "$native/klpeer" viewer --relay "$relay" --id "$id" --key - <<<"$key" --timeout 60 >"$kl_out/$1.jsonl" 2>&1 &
  peer_pid=$!
  await_consent || kl_log "FAIL $1: no consent prompt"
  focus_window
}
peer_event() { grep -q "\"event\":\"$2\"" "$kl_out/$1.jsonl"; }

# The prompt starts on "Reddet": Enter refuses.
start_viewer viewer-enter
shot 03-consent
xdotool key Return
wait $peer_pid; rc=$?
check "Enter on the first focus refuses (the relay's refusal, exit 3)" "$rc" "3"
expect_status 04-refused "İstek reddedildi. Yeni istek bekleniyor."

# Tab to "Paylaşıma izin ver", then Space accepts.
start_viewer viewer-space
allow="Paylaşıma izin ver"
before=$(ring_pixels "$allow")
xdotool key Tab
wait_for 5 eval '[ "$(ring_pixels "$allow")" -gt $((before + 10)) ]'
shot 05-consent-allow-focused
check "Tab moves the ring to \"$allow\"" "$([ "$(ring_pixels "$allow")" -gt $((before + 10)) ] && echo ring)" "ring"
xdotool key space
wait_for 20 peer_event viewer-space ready
check "Space on it shares the screen" "$(peer_event viewer-space ready && echo yes)" "yes"
expect_status 06-sharing "Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes"
kill -INT $peer_pid 2>/dev/null; wait $peer_pid 2>/dev/null
exit $kl_fail
