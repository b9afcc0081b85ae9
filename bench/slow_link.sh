#!/usr/bin/env bash
# Slow links (a benchmark, not a test): a klpeer host sends 300 KB frames at 12.5 a second
# through the relay while tests/servers/throttle_proxy limits one side's link; prints frames
# delivered per second beside what the link can carry, host->viewer latency p50/p99 over the
# first and the last 10 s, whether the viewer stayed connected, and the relay's memory.
#   bench/slow_link.sh [SECONDS]        default 60; runs the viewer's downlink at 2, 5 and
#                                       20 Mbit/s and the host's uplink at 5 Mbit/s, after an
#                                       unlimited reference run
#   KL_BUILD=DIR                        another build folder (default build/native)
# Needs the native build (kestrelink-relay, klpeer, throttle_proxy).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${KL_BUILD:-$here/build/native}
case "${1:-}" in -h|--help) sed -n '2,10p' "$0"; exit 0 ;; esac
seconds=${1:-60}
frame_bytes=300000
for b in kestrelink-relay klpeer throttle_proxy; do
  [ -x "$bin/$b" ] || { echo "build first: cmake --build build/native --target kestrelink-relay klpeer throttle_proxy" >&2; exit 1; }
done
work=$(mktemp -d /tmp/kl-slow.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

wait_line() {  # wait_line FILE PATTERN: up to 10 s
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "timed out waiting for $2 in $1" >&2; return 1
}
json_field() { sed -n "s/.*\"$2\":\"\{0,1\}\([^\",}]*\).*/\1/p" "$1" | head -1; }

# run SIDE KBIT: SIDE is viewer (downlink limited), host (uplink limited) or none.
run() {
  local side=$1 kbit=$2 relay_url proxy_url
  "$bin/kestrelink-relay" --port 0 --metrics-port off >"$work/relay.out" 2>"$work/relay.log" &
  local relay_pid=$!; pids+=("$relay_pid")
  wait_line "$work/relay.out" '"url"'
  relay_url=$(json_field "$work/relay.out" url)
  local up=0 down=0
  [ "$side" = host ] && up=$kbit
  [ "$side" = viewer ] && down=$kbit
  local relay_port=${relay_url##*:}; relay_port=${relay_port%%/*}
  "$bin/throttle_proxy" --target "$relay_port" --up-kbit "$up" --down-kbit "$down" >"$work/proxy.out" 2>&1 &
  pids+=($!)
  local proxy_pid=$!
  wait_line "$work/proxy.out" '"port"'
  proxy_url="ws://127.0.0.1:$(json_field "$work/proxy.out" port)/ws"
  local host_url=$relay_url viewer_url=$relay_url
  [ "$side" = host ] && host_url=$proxy_url
  [ "$side" = viewer ] && viewer_url=$proxy_url
  "$bin/klpeer" host --relay "$host_url" --fps 12.5 --frame-bytes "$frame_bytes" --pattern 640x360 >"$work/host.out" 2>"$work/host.err" &
  local host_pid=$!; pids+=("$host_pid")
  wait_line "$work/host.out" '"registered"'
  local id key
  id=$(json_field "$work/host.out" id); key=$(json_field "$work/host.out" key)
  "$bin/klpeer" viewer --relay "$viewer_url" --id "$id" --key "$key" >"$work/viewer.out" 2>"$work/viewer.err" &
  local viewer_pid=$!; pids+=("$viewer_pid")
  local peak=0 rss
  for _ in $(seq $((seconds * 4))); do
    rss=$(awk '$1 == "VmRSS:" {print $2}' "/proc/$relay_pid/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$peak" ] && peak=$rss
    kill -0 "$viewer_pid" 2>/dev/null || break
    sleep 0.25
  done
  local viewer_state=connected
  kill -0 "$viewer_pid" 2>/dev/null || viewer_state="ended early ($(grep -o '"event":"closed".*' "$work/viewer.out" | head -1))"
  kill -INT "$viewer_pid" 2>/dev/null || true; wait "$viewer_pid" 2>/dev/null || true
  kill "$host_pid" "$proxy_pid" "$relay_pid" 2>/dev/null || true
  wait "$host_pid" "$proxy_pid" "$relay_pid" 2>/dev/null || true
  python3 - "$work/viewer.out" "$work/host.out" "$seconds" "$kbit" "$frame_bytes" "$peak" "$side" "$viewer_state" <<'PY'
import json, sys
viewer, host, seconds, kbit, size, peak, side, state = sys.argv[1:]
seconds, kbit, size = float(seconds), float(kbit), float(size)
frames = []
for line in open(viewer):
    e = json.loads(line)
    if e.get("event") == "frame" and "latencyMs" in e:
        frames.append((e["t"], e["latencyMs"]))
replaced = sum(1 for line in open(host) if '"frameReplaced"' in line)
def pct(values, p):
    if not values: return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(len(values) * p / 100 + 0.999999) - 1))]
label = {"viewer": "viewer downlink", "host": "host uplink", "none": "no limit"}[side]
rate = f"{kbit / 1000:g} Mbit/s" if kbit else "loopback"
print(f"{label} {rate}:")
if not frames:
    print("  no frames arrived"); sys.exit(0)
t0, t1 = frames[0][0], frames[-1][0]
first = [l for t, l in frames if t - t0 < 10000]
last = [l for t, l in frames if t1 - t < 10000]
span = max((t1 - t0) / 1000, 1e-3)
capacity = kbit * 1000 / 8 / size if kbit else 12.5
print(f"  frames delivered:    {len(frames) / span:.2f} /s  (link carries {min(capacity, 12.5):.2f} /s of {size / 1000:.0f} KB; ratio {len(frames) / span / min(capacity, 12.5):.2f})")
print(f"  latency first 10 s:  p50 {pct(first, 50):.0f} ms  p99 {pct(first, 99):.0f} ms  ({len(first)} frames)")
print(f"  latency last 10 s:   p50 {pct(last, 50):.0f} ms  p99 {pct(last, 99):.0f} ms  ({len(last)} frames; p50 ratio last/first {pct(last, 50) / pct(first, 50):.2f})")
print(f"  viewer:              {state}; frames replaced on the host: {replaced}")
print(f"  relay peak RSS:      {int(peak) / 1024:.1f} MB")
PY
  rm -f "$work"/*.out "$work"/*.err
  pids=()
}

echo "each run: ${seconds} s, 300 KB frames at 12.5/s from a klpeer host"
run none 0
run viewer 2000
run viewer 5000
run viewer 20000
run host 5000
