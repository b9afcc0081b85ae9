#!/usr/bin/env bash
# Screen sharing figures (a benchmark, not a test): the program as host on a 1920x1080 virtual
# display, the program as viewer on a 1280x800 one, the relay on loopback, all in one run:
#  - the bare platform calls (screen grab, GDI+ JPEG encode and decode) beside our capture
#    step on a still and on a changing screen and our decoding: the floor;
#  - host process CPU on a still screen beside a changing one;
#  - screen change to viewer paint, p50/p99, on a still screen and on a changing one, beside
#    the floor (half a period + bare grab + encode + decode) and klpeer through the same relay;
#  - every stage of a frame on both sides (from the programs' frame-stage marks);
#  - viewer pointer to host pointer while the host streams a changing screen;
#  - a viewer slowed down on purpose (each decoded picture 150 ms longer) for 60 s;
#  - resident memory of both programs streaming, beside the same programs idle.
#   bench/screen_bench.sh [SAMPLES]     (needs both presets built; see the README)
set -uo pipefail
[ "${1:-}" = "--help" ] && { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0; }
samples=${1:-40}
case $samples in '' | *[!0-9]* | 0) echo "screen_bench.sh: SAMPLES must be a positive number" >&2; exit 2 ;; esac
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/env.sh
. scripts/with-display.sh
cmake --build build/windows --target kestrelink_traced capture_bench kllayout >/dev/null || exit 1
kl_out=$(mktemp -d /tmp/kl-screen-bench.XXXXXX)
: >"$kl_out/log.txt"
. tests/gui/lib.sh
program=build/windows/kestrelink_traced.exe native=build/native
KL_SCREEN=1280x800x24 kl_start_display
start_host_display 1920x1080
pids=""
cleanup() { kill $pids ${relay_pid:-} 2>/dev/null; stop_host_display; kl_stop_display; wait 2>/dev/null; rm -rf "$kl_out"; }
trap cleanup EXIT
js() { python3 -c 'import json,sys; v=json.loads(sys.argv[1])
for k in sys.argv[2].split("."): v=v[k]
print(v)' "$1" "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf (b > 0) ? "%.2f" : "n/a", a / b}'; }
cpu_ms() { awk '{print ($14 + $15) * 10}' "/proc/$1/stat"; }
lines() { wc -l <"$1"; }
# Capture periods the host began since line FROM of its trace (its flush lags by 100 ms).
periods_since() { awk -v f="$1" 'NR > f && $3 == 0' "$kl_out/host.trace" | wc -l; }
wpath() { winepath -w "$1" 2>/dev/null; }

# 1. The floor and our own steps on a busy 1920x1080 picture.
as_host
convert -size 1920x1080 plasma:fractal -seed 11 "$kl_out/busy.ppm"
display -geometry +0+0 "$kl_out/busy.ppm" & busy=$!; sleep 2
steps=$(wine build/windows/capture_bench.exe 20 2>/dev/null | tr -d '\r')
kill $busy
[ -n "$steps" ] || { echo "capture_bench failed" >&2; exit 1; }

# 2. Both programs, the session started as a person would; each records its frame stages.
start_relay "$native" || exit 1
: >"$kl_out/delay"
KL_FRAME_TRACE=$(wpath "$kl_out/host.trace") wine "$program" >/dev/null 2>&1 & pids="$pids $!"
kl_find_window || exit 1
save_as host
host_pid=$(pgrep -n -f 'kestrelink_traced.exe')
echo "host process: $(ps -o pid=,args= -p "$host_pid")" >&2
as_viewer
KL_FRAME_TRACE=$(wpath "$kl_out/viewer.trace") KL_FRAME_DELAY_FILE=$(wpath "$kl_out/delay") \
  wine "$program" >/dev/null 2>&1 & pids="$pids $!"
kl_find_window || exit 1
save_as viewer
viewer_pid=$(pgrep -n -f 'kestrelink_traced.exe')
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
idle_host=$(rss "$host_pid") idle_viewer=$(rss "$viewer_pid")
as_host; copy_credentials
as_viewer; type_request bench
as_host; await_consent && click_button "Paylaşıma izin ver"
xdotool mousemove 1900 1070
as_viewer; wait_for 20 eval 'shot; [ "$(layout_pixel 540 95)" = "0d1418" ]' || { echo "no session" >&2; exit 1; }
viewing() { as_viewer; shot; [ "$(layout_pixel 540 95)" = "0d1418" ]; }
read -r vx vy < <(to_viewer 1700 900 1920 1080)
read -r a1 b1 < <(to_viewer 1300 800 1920 1080)
read -r a2 b2 < <(to_viewer 1500 950 1920 1080)
frame_latency() { python3 bench/xlatency.py frame "$host_display" "$viewer_display" 1700 900 $((X + vx)) $((Y + vy)) "$1"; }
as_host
display -geometry +0+0 "$kl_out/busy.ppm" & busy=$! pids="$pids $!"
sleep 3
stream_host=$(rss "$host_pid") stream_viewer=$(rss "$viewer_pid")
echo "host threads by nice value: $(for t in /proc/$host_pid/task/*; do awk '{print $19}' "$t/stat"; done | sort | uniq -c | tr -s ' \n' ' ')" >&2

# 3. Still screen: the host's CPU while nothing changes, then changes one at a time.
h0=$(lines "$kl_out/host.trace") v0=$(lines "$kl_out/viewer.trace")
c0=$(cpu_ms "$host_pid"); sleep 10; c1=$(cpu_ms "$host_pid")
sleep 0.3; still_periods=$(periods_since "$h0")
still_frame=$(frame_latency "$samples")
sleep 0.5
still_stages=$(python3 bench/frame_stages.py "$kl_out/host.trace" "$h0" "$(lines "$kl_out/host.trace")" \
  "$kl_out/viewer.trace" "$v0" "$(lines "$kl_out/viewer.trace")")

# 4. Changing screen: a square repainted every 40 ms keeps every period encoding.
python3 bench/xlatency.py churn "$host_display" 200 200 100000 & churn=$! pids="$pids $!"
sleep 2
h0=$(lines "$kl_out/host.trace") v0=$(lines "$kl_out/viewer.trace")
c2=$(cpu_ms "$host_pid"); sleep 10; c3=$(cpu_ms "$host_pid")
sleep 0.3; busy_periods=$(periods_since "$h0")
busy_frame=$(frame_latency "$samples")
pointer=$(python3 bench/xlatency.py input "$viewer_display" "$host_display" $((X + a1)) $((Y + b1)) $((X + a2)) $((Y + b2)) 1300 800 1500 950 "$samples")
sleep 0.5
busy_stages=$(python3 bench/frame_stages.py "$kl_out/host.trace" "$h0" "$(lines "$kl_out/host.trace")" \
  "$kl_out/viewer.trace" "$v0" "$(lines "$kl_out/viewer.trace")")
local_pointer=$(python3 bench/xlatency.py input "$host_display" "$host_display" 100 100 300 300 100 100 300 300 "$samples")
stream_host=$(( $(rss "$host_pid") > stream_host ? $(rss "$host_pid") : stream_host ))
stream_viewer=$(( $(rss "$viewer_pid") > stream_viewer ? $(rss "$viewer_pid") : stream_viewer ))

# 5. The viewer slowed down on purpose: 60 s of the changing screen, each decoded picture 150 ms later.
echo 150 >"$kl_out/delay"
v0=$(lines "$kl_out/viewer.trace") slow_start=$(date +%s)
slow_frame=$(frame_latency 20)
while [ $(( $(date +%s) - slow_start )) -lt 60 ]; do sleep 1; done
viewing && slow_state="still streaming after 60 s" || slow_state="STOPPED"
slow_decoded=$(awk -v f="$v0" 'NR > f && $3 == 12' "$kl_out/viewer.trace" | wc -l)
slow_superseded=$(awk -v f="$v0" 'NR > f && $3 == 11' "$kl_out/viewer.trace" | wc -l)
: >"$kl_out/delay"
kill $churn

# Reference latency: klpeer host to klpeer viewer through the same relay, 1920x1080 pattern.
"$native/klpeer" host --relay "$relay" --pattern 1920x1080 --fps 12.5 --frames "$samples" >"$kl_out/ph.jsonl" 2>&1 & ph=$!
wait_for 10 grep -q '"registered"' "$kl_out/ph.jsonl"
pid_=$(sed -n 's/.*"id":"\([0-9]*\)".*/\1/p' "$kl_out/ph.jsonl" | head -1); pkey=$(sed -n 's/.*"key":"\([A-Z2-7]*\)".*/\1/p' "$kl_out/ph.jsonl" | head -1)
"$native/klpeer" viewer --relay "$relay" --id "$pid_" --key - <<<"$pkey" --frames "$samples" --timeout 60 >"$kl_out/pv.jsonl" 2>&1
wait $ph 2>/dev/null
ref=$(grep -o '"latencyMs":[0-9.]*' "$kl_out/pv.jsonl" | cut -d: -f2 | sort -n |
  awk '{v[NR] = $1} END {printf "{\"p50\":%.2f,\"p99\":%.2f}", v[int(NR * 0.5 + 0.5)], v[int(NR * 0.99 + 0.5)]}')

grab=$(js "$steps" bareGrab.wallMs) encode=$(js "$steps" bareEncode.wallMs) decode=$(js "$steps" bareDecode.wallMs)
floor=$(awk -v a="$grab" -v b="$encode" -v c="$decode" 'BEGIN {printf "%.1f", 40 + a + b + c}')
still_cpu=$(( (c1 - c0) / 10 )) busy_cpu=$(( (c3 - c2) / 10 ))
stage_row() {  # NAME KEY
  printf '    %-16s %8s %8s   %8s %8s\n' "$1" "$(js "$still_stages" "$2.p50")" "$(js "$still_stages" "$2.p99")" \
    "$(js "$busy_stages" "$2.p50")" "$(js "$busy_stages" "$2.p99")"
}
input_row() { echo "$(js "$busy_stages" "input.$1.p50")/$(js "$busy_stages" "input.$1.p99")"; }
step_row() {  # NAME KEY
  printf '    %-28s %7s ms wall  %7s ms CPU\n' "$1" "$(js "$steps" "$2.wallMs")" "$(js "$steps" "$2.cpuMs")"
}
cat <<REPORT
platform floor and our steps, $(js "$steps" width)x$(js "$steps" height), one thread (capture_bench, per frame)
$(step_row "bare grab (StretchBlt)" bareGrab)
$(step_row "bare encode (GDI+ JPEG)" bareEncode)
$(step_row "bare decode (GDI+ JPEG)" bareDecode)
$(step_row "ours, still screen period" still)
$(step_row "ours, changed screen period" busy)
$(step_row "ours, decode" decode)
$(step_row "bare paint (GDI+ scaled draw)" barePaint)
$(step_row "ours, scale for the window" scale)
$(step_row "  the same from 24-bit pixels" scale24)
$(step_row "ours, decoding thread a picture" picture)
    ratios: still / (grab) $(ratio "$(js "$steps" still.wallMs)" "$grab"), changed / (grab + encode) $(ratio "$(js "$steps" busy.wallMs)" "$(awk -v a="$grab" -v b="$encode" 'BEGIN {print a + b}')"), decode / bare $(ratio "$(js "$steps" decode.wallMs)" "$decode")
    ratios: scale / bare paint $(ratio "$(js "$steps" scale.wallMs)" "$(js "$steps" barePaint.wallMs)"), decoding thread a picture (decode and scale) / bare decode $(ratio "$(js "$steps" picture.wallMs)" "$decode")
host process CPU, 10 s each (capture periods begun in those 10 s)
    still screen:     $still_cpu ms/s   ($still_periods periods, $(awk -v c=$((c1 - c0)) -v n="$still_periods" 'BEGIN {printf "%.1f", n ? c / n : 0}') ms a period)
    changing screen:  $busy_cpu ms/s   ($busy_periods periods, $(awk -v c=$((c3 - c2)) -v n="$busy_periods" 'BEGIN {printf "%.1f", n ? c / n : 0}') ms a period)
    ratio still / changing: $(ratio "$still_cpu" "$busy_cpu") per second, $(ratio "$(awk -v c=$((c1 - c0)) -v n="$still_periods" 'BEGIN {print n ? c / n : 0}')" "$(awk -v c=$((c3 - c2)) -v n="$busy_periods" 'BEGIN {print n ? c / n : 0}')") per period
screen change on the host -> painted on the viewer ($samples changes)
    still screen:     p50 $(js "$still_frame" p50) ms   p99 $(js "$still_frame" p99) ms   (missed $(js "$still_frame" missed))
    changing screen:  p50 $(js "$busy_frame" p50) ms   p99 $(js "$busy_frame" p99) ms   (missed $(js "$busy_frame" missed))
    floor (40 ms half period + bare grab + encode + decode): $floor ms
    p50 over the floor: still $(awk -v a="$(js "$still_frame" p50)" -v f="$floor" 'BEGIN {printf "%+.1f", a - f}') ms, changing $(awk -v a="$(js "$busy_frame" p50)" -v f="$floor" 'BEGIN {printf "%+.1f", a - f}') ms
    klpeer host -> viewer through the relay: p50 $(js "$ref" p50) ms  p99 $(js "$ref" p99) ms
stages of the frames the viewer painted, ms         still screen        changing screen
                                                     p50      p99        p50      p99
$(stage_row grab grab)
$(stage_row compare compare)
$(stage_row encode encode)
$(stage_row "send queue" queue)
$(stage_row seal seal)
$(stage_row send send)
$(stage_row "relay, receive" "relay + receive")
$(stage_row "viewer queue" "drain wait")
$(stage_row open open)
$(stage_row decode decode)
$(stage_row paint paint)
$(stage_row "  of which scale" scale)
$(stage_row "  then shown" show)
$(stage_row "  (window woken)" wake)
$(stage_row "grab to paint" "grab to paint")
    capture periods: still $(js "$still_stages" periods) ($(js "$still_stages" encoded) encoded), changing $(js "$busy_stages" periods) ($(js "$busy_stages" encoded) encoded); period p50 still $(js "$still_stages" period.p50) ms, changing $(js "$busy_stages" period.p50) ms
    frames painted / decoded / superseded undecoded: still $(js "$still_stages" frames)/$(js "$still_stages" decoded)/$(js "$still_stages" superseded), changing $(js "$busy_stages" frames)/$(js "$busy_stages" decoded)/$(js "$busy_stages" superseded)
viewer pointer move -> host pointer moved, host streaming a changing screen ($samples moves)
    p50 $(js "$pointer" p50) ms   p99 $(js "$pointer" p99) ms   (missed $(js "$pointer" missed))
    inside the programs, p50/p99 ms ($(js "$busy_stages" input.events) events): viewer queue and send $(input_row "queue and send"), relay and receive $(input_row "relay + receive"),
      host queue $(input_row "host queue"), check and inject $(input_row apply), viewer queue to injected $(input_row total)
    same X round trip on one display: p50 $(js "$local_pointer" p50) ms  p99 $(js "$local_pointer" p99) ms
viewer slowed down on purpose (each decoded picture +150 ms), changing screen for 60 s
    session: $slow_state; pictures decoded $slow_decoded, superseded undecoded $slow_superseded
    screen change -> painted: p50 $(js "$slow_frame" p50) ms   p99 $(js "$slow_frame" p99) ms   (missed $(js "$slow_frame" missed) of 20)
resident memory (Wine process of each program)
    host:   idle $((idle_host / 1024)) MB, streaming $((stream_host / 1024)) MB, ratio $(ratio "$stream_host" "$idle_host")
    viewer: idle $((idle_viewer / 1024)) MB, streaming $((stream_viewer / 1024)) MB, ratio $(ratio "$stream_viewer" "$idle_viewer")
REPORT
