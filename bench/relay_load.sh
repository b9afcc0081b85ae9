#!/usr/bin/env bash
# Load figures for kestrelink-relay (a benchmark, not a test).
#   bench/relay_load.sh pairs [N] [SECONDS]  N host/viewer pairs, each host sending 300 KB
#                                            frames at 12.5 per second; also runs 1 pair
#                                            as the reference for the latency ratio
#   bench/relay_load.sh idle [N]             N idle registered hosts: relay memory per connection
# Needs the native build (cmake --preset native && cmake --build build/native).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${KL_BUILD:-$here/build/native}
relay_bin=$bin/kestrelink-relay
peer_bin=$bin/klpeer
[ -x "$relay_bin" ] && [ -x "$peer_bin" ] || { echo "build first: cmake --preset native && cmake --build build/native" >&2; exit 1; }
work=$(mktemp -d /tmp/kl-load.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

start_relay() {
  "$relay_bin" --port 0 --metrics-port 0 --max-connections 100000 --max-connections-per-address 100000 \
    --max-handshakes-per-address 100000 \
    --viewer-requests-per-minute 100000 >"$work/relay.out" 2>"$work/relay.log" &
  relay_pid=$!; pids+=("$relay_pid")
  for _ in $(seq 50); do [ -s "$work/relay.out" ] && break; sleep 0.1; done
  url=$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' "$work/relay.out")
  metrics=$(sed -n 's/.*"metrics":"\([^"]*\)".*/\1/p' "$work/relay.out")
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
metric() { curl -s "$metrics" 2>/dev/null | awk -v m="$1" '$1 == m {print $2}'; }
percentile() { sort -n | awk -v p="$1" '{v[NR]=$1} END {if (NR == 0) {print "n/a"; exit} i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; printf "%.2f", v[i]}'; }

# Runs N pairs for SECONDS; sets lat_p50, lat_p99, mbps, cpu_per_gb, peak_rss_mb, got_frames.
run_pairs() {
  local n=$1 seconds=$2 frames
  frames=$(awk -v s="$seconds" 'BEGIN {printf "%d", s * 12.5}')
  start_relay
  local hz; hz=$(getconf CLK_TCK)
  local hosts=() viewers=()
  for i in $(seq "$n"); do
    "$peer_bin" host --relay "$url" --fps 12.5 --frame-bytes 300000 --pattern 640x360 --stay \
      >"$work/host$i.out" 2>"$work/host$i.err" &
    hosts+=($!); pids+=($!)
  done
  for i in $(seq "$n"); do
    for _ in $(seq 100); do grep -q '"event":"registered"' "$work/host$i.out" 2>/dev/null && break; sleep 0.05; done
  done
  local t0 c0 t1 c1 b0 b1
  c0=$(cpu_ticks "$relay_pid"); t0=$(date +%s.%N); b0=$(metric kestrelink_relay_forwarded_bytes_total); b0=${b0:-0}
  for i in $(seq "$n"); do
    id=$(sed -n '1s/.*"id":"\([0-9]*\)".*/\1/p' "$work/host$i.out")
    key=$(sed -n '1s/.*"key":"\([A-Z0-9]*\)".*/\1/p' "$work/host$i.out")
    "$peer_bin" viewer --relay "$url" --id "$id" --key "$key" --frames "$frames" --timeout $((seconds * 3 + 30)) \
      >"$work/viewer$i.out" 2>"$work/viewer$i.err" &
    viewers+=($!); pids+=($!)
  done
  local failed=0
  for v in "${viewers[@]}"; do wait "$v" || failed=$((failed + 1)); done
  t1=$(date +%s.%N); c1=$(cpu_ticks "$relay_pid"); b1=$(metric kestrelink_relay_forwarded_bytes_total)
  [ "$failed" -eq 0 ] || echo "warning: $failed viewer(s) failed; see their output" >&2
  peak_rss_mb=$(awk -v k="$(status_kb "$relay_pid" VmHWM)" 'BEGIN {printf "%.1f", k / 1024}')
  for h in "${hosts[@]}"; do kill "$h" 2>/dev/null || true; done
  kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true
  cat "$work"/viewer*.out | sed -n 's/.*"latencyMs":\([0-9.e+-]*\).*/\1/p' >"$work/lat"
  got_frames=$(wc -l <"$work/lat")
  lat_p50=$(percentile 50 <"$work/lat"); lat_p99=$(percentile 99 <"$work/lat")
  read -r mbps cpu_per_gb < <(awk -v b="$((b1 - b0))" -v t="$(echo "$t1 - $t0" | bc)" -v c="$((c1 - c0))" -v hz="$hz" \
    'BEGIN {printf "%.1f %.2f\n", b / t / 1e6, (b > 0 ? (c / hz) / (b / 1e9) : 0)}')
  rm -f "$work"/host*.out "$work"/viewer*.out
}

mode=${1:-pairs}
case "$mode" in
  pairs)
    n=${2:-8}; seconds=${3:-20}
    echo "reference: 1 pair for $seconds s ..."
    run_pairs 1 "$seconds"; ref_p50=$lat_p50; ref_p99=$lat_p99
    echo "load: $n pairs for $seconds s (300 KB frames at 12.5/s per host) ..."
    run_pairs "$n" "$seconds"
    echo "pairs:                     $n"
    echo "frames received:           $got_frames (expected $((n * $(awk -v s="$seconds" 'BEGIN {printf "%d", s * 12.5}'))))"
    echo "forwarded:                 $mbps MB/s"
    echo "latency host->viewer p50:  $lat_p50 ms   (1 pair: $ref_p50 ms, ratio $(awk -v a="$lat_p50" -v b="$ref_p50" 'BEGIN {printf "%.2f", a / b}'))"
    echo "latency host->viewer p99:  $lat_p99 ms   (1 pair: $ref_p99 ms, ratio $(awk -v a="$lat_p99" -v b="$ref_p99" 'BEGIN {printf "%.2f", a / b}'))"
    echo "relay CPU per GB:          $cpu_per_gb s"
    echo "relay peak RSS:            $peak_rss_mb MB"
    ;;
  idle)
    n=${2:-10000}
    start_relay
    before=$(status_kb "$relay_pid" VmRSS)
    "$peer_bin" hosts --relay "$url" --count "$n" >"$work/hosts.out" 2>"$work/hosts.err" &
    hosts_pid=$!; pids+=("$hosts_pid")
    for _ in $(seq 1200); do grep -q '"event":"registered"' "$work/hosts.out" 2>/dev/null && break
      kill -0 "$hosts_pid" 2>/dev/null || { cat "$work/hosts.err" >&2; exit 1; }; sleep 0.1; done
    grep -q '"event":"registered"' "$work/hosts.out" || { echo "hosts did not register in time" >&2; exit 1; }
    sleep 1
    after=$(status_kb "$relay_pid" VmRSS)
    echo "idle registered hosts:     $(metric kestrelink_relay_registered_hosts)"
    echo "relay RSS before/after:    $((before / 1024)) MB / $((after / 1024)) MB"
    echo "relay memory per host:     $(awk -v a="$after" -v b="$before" -v n="$n" 'BEGIN {printf "%.1f", (a - b) / n}') KB"
    echo "peer (all $n clients) RSS: $(( $(status_kb "$hosts_pid" VmRSS) / 1024 )) MB (reference: the same connections on the client side)"
    kill "$hosts_pid"; kill "$relay_pid"; wait 2>/dev/null || true
    ;;
  -h|--help) sed -n '2,8p' "$0" ;;
  *) echo "unknown mode $mode (pairs or idle)" >&2; exit 1 ;;
esac
