#!/usr/bin/env bash
# Screen sharing figures (a benchmark, not a test), each beside a reference run in this script:
#  - host capture + scale + encode CPU per 1920x1080 frame, beside libjpeg-turbo's tjbench
#    compressing the same screen picture at the same quality;
#  - screen change on the host to paint on the viewer, p50/p99, beside klpeer's host-to-viewer
#    latency through the same relay;
#  - viewer pointer move to the host's pointer moving (input injected), p50/p99, beside the
#    same X round trip on one display;
#  - resident memory of both programs streaming, beside the same programs idle.
#   bench/screen_bench.sh [SAMPLES]     (needs both presets built; see the README)
set -uo pipefail
[ "${1:-}" = "--help" ] && { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0; }
samples=${1:-40}
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/env.sh
. scripts/with-display.sh
kl_out=$(mktemp -d /tmp/kl-screen-bench.XXXXXX)
: >"$kl_out/log.txt"
. tests/gui/lib.sh
program=build/windows/kestrelink.exe native=build/native
KL_SCREEN=1280x800x24 kl_start_display
start_host_display 1920x1080
pids=""
cleanup() { kill $pids $relay_pid 2>/dev/null; stop_host_display; kl_stop_display; wait 2>/dev/null; rm -rf "$kl_out"; }
trap cleanup EXIT
pct() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf (b > 0) ? "%.2f" : "n/a", a / b}'; }

# 1. Capture cost on a busy 1920x1080 screen.
as_host
convert -size 1920x1080 plasma:fractal -seed 11 "$kl_out/busy.ppm"
display -geometry +0+0 "$kl_out/busy.ppm" & busy=$!; sleep 2
capture=$(wine build/windows/capture_bench.exe 40 2>/dev/null | tr -d '\r')
import -window root "$kl_out/screen.ppm"
kill $busy
tj_fps=$(cd "$kl_out" && tjbench screen.ppm 72 -subsamp 420 -benchtime 3 -warmup 1 2>/dev/null |
  awk '/Compress/ && /Frame rate/ {print $5; exit}')
ours_ms=$(pct "$capture" cpuMsPerFrame)
tj_ms=$(awk -v f="$tj_fps" 'BEGIN {printf "%.2f", 1000 / f}')

# 2. Both programs, the session started as a person would.
start_relay "$native" || exit 1
wine "$program" >/dev/null 2>&1 & pids="$pids $!"
kl_find_window || exit 1
save_as host
host_pid=$(pgrep -n -f 'kestrelink.exe')
as_viewer
wine "$program" >/dev/null 2>&1 & pids="$pids $!"
kl_find_window || exit 1
save_as viewer
viewer_pid=$(pgrep -n -f 'kestrelink.exe')
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
idle_host=$(rss "$host_pid") idle_viewer=$(rss "$viewer_pid")
as_host; copy_credentials
as_viewer; type_request bench
as_host; await_consent && click_at 700 443
xdotool mousemove 1900 1070
as_viewer; wait_for 20 eval 'shot; [ "$(layout_pixel 540 95)" = "0d1418" ]'
sleep 3
stream_host=$(rss "$host_pid") stream_viewer=$(rss "$viewer_pid")

read -r vx vy < <(to_viewer 1700 900 1920 1080)
frame=$(python3 bench/xlatency.py frame "$host_display" "$viewer_display" 1700 900 $((X + vx)) $((Y + vy)) "$samples")
read -r a1 b1 < <(to_viewer 1300 800 1920 1080)
read -r a2 b2 < <(to_viewer 1500 950 1920 1080)
pointer=$(python3 bench/xlatency.py input "$viewer_display" "$host_display" $((X + a1)) $((Y + b1)) $((X + a2)) $((Y + b2)) 1300 800 1500 950 "$samples")
local_pointer=$(python3 bench/xlatency.py input "$host_display" "$host_display" 100 100 300 300 100 100 300 300 "$samples")
stream_host=$(( $(rss "$host_pid") > stream_host ? $(rss "$host_pid") : stream_host ))
stream_viewer=$(( $(rss "$viewer_pid") > stream_viewer ? $(rss "$viewer_pid") : stream_viewer ))

# Reference latency: klpeer host to klpeer viewer through the same relay, 1920x1080 pattern.
"$native/klpeer" host --relay "$relay" --pattern 1920x1080 --fps 12.5 --frames "$samples" >"$kl_out/ph.jsonl" 2>&1 & ph=$!
wait_for 10 grep -q '"registered"' "$kl_out/ph.jsonl"
pid_=$(sed -n 's/.*"id":"\([0-9]*\)".*/\1/p' "$kl_out/ph.jsonl" | head -1); pkey=$(sed -n 's/.*"key":"\([A-Z2-7]*\)".*/\1/p' "$kl_out/ph.jsonl" | head -1)
"$native/klpeer" viewer --relay "$relay" --id "$pid_" --key - <<<"$pkey" --frames "$samples" --timeout 60 >"$kl_out/pv.jsonl" 2>&1
wait $ph 2>/dev/null
ref=$(grep -o '"latencyMs":[0-9.]*' "$kl_out/pv.jsonl" | cut -d: -f2 | sort -n |
  awk '{v[NR] = $1} END {printf "{\"p50\":%.2f,\"p99\":%.2f}", v[int(NR * 0.5 + 0.5)], v[int(NR * 0.99 + 0.5)]}')

cat <<REPORT
capture + scale + encode, 1920x1080, quality 72 (host thread CPU per frame)
    ours:      $ours_ms ms   ($(pct "$capture" bytes) bytes, wall $(pct "$capture" wallMsPerFrame) ms)
    tjbench:   $tj_ms ms     (same picture, 4:2:0, Q72)
    ratio:     $(ratio "$ours_ms" "$tj_ms")
screen change on the host -> painted on the viewer ($samples changes; includes waiting for the next 80 ms capture)
    p50 $(pct "$frame" p50) ms   p99 $(pct "$frame" p99) ms   (missed $(pct "$frame" missed))
    klpeer host -> viewer through the relay: p50 $(pct "$ref" p50) ms  p99 $(pct "$ref" p99) ms
    ratio p50: $(ratio "$(pct "$frame" p50)" "$(pct "$ref" p50)")
viewer pointer move -> host pointer moved ($samples moves)
    p50 $(pct "$pointer" p50) ms   p99 $(pct "$pointer" p99) ms   (missed $(pct "$pointer" missed))
    same X round trip on one display: p50 $(pct "$local_pointer" p50) ms  p99 $(pct "$local_pointer" p99) ms
    ratio p50: $(ratio "$(pct "$pointer" p50)" "$(pct "$local_pointer" p50)")
resident memory (Wine process of each program)
    host:   idle $((idle_host / 1024)) MB, streaming $((stream_host / 1024)) MB, ratio $(ratio "$stream_host" "$idle_host")
    viewer: idle $((idle_viewer / 1024)) MB, streaming $((stream_viewer / 1024)) MB, ratio $(ratio "$stream_viewer" "$idle_viewer")
REPORT
