#!/usr/bin/env bash
# Load figures for kestrelink-relay (a benchmark, not a test).
#   bench/relay_load.sh pairs [N] [SECONDS]  N host/viewer pairs, each host sending 300 KB
#                                            frames at 12.5 per second; also runs 1 pair
#                                            as the reference for the latency ratio
#   bench/relay_load.sh idle [N]             N idle registered hosts: relay memory per connection
#   bench/relay_load.sh cluster [N] [SECONDS] two relays sharing one Redis: N pairs with both
#                                            ends on one relay, then N pairs across the relays;
#                                            CPU per GB of all relays and Redis, latency ratios
#   bench/relay_load.sh cluster-idle [N]     N idle hosts spread over three relays: relay and
#                                            Redis memory per host (default 30000)
#   bench/relay_load.sh compare [S] [P] [N]  ws:// beside wss://, beside the bare AES-256-GCM cost and
#                                            beside a Node `ws` relay (bench/reference-relay, npm):
#                                            1 pair as fast as it drains (S s; ours 3 rounds), 20 pairs at 12.5/s
#                                            (P s), N idle hosts; defaults 10 20 10000
#   bench/relay_load.sh ab S ws|wss RELAY... builds of the relay taking turns (each in the
#                                            order given, repeat a path to alternate) on 1 pair
#                                            as fast as it drains for S s: CPU per GB of each
#   bench/relay_load.sh link [N] [SECONDS]   the transport between relays alone, in one run:
#                                            Redis pub/sub (redis:// and rediss://) beside a
#                                            direct link (plain and TLS), N streams of 300 KB
#                                            at 12.5 per second: CPU per GB, latency
# cluster mode over rediss://: KL_BENCH_REDIS_TLS=1 bench/relay_load.sh cluster ...
# Needs the native build (cmake --preset native && cmake --build build/native).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${KL_BUILD:-$here/build/native}
relay_bin=${KL_RELAY:-$bin/kestrelink-relay}  # KL_RELAY: another build of the relay to measure
peer_bin=$bin/klpeer
[ -x "$relay_bin" ] && [ -x "$peer_bin" ] || { echo "build first: cmake --preset native && cmake --build build/native" >&2; exit 1; }
work=$(mktemp -d /tmp/kl-load.XXXXXX)
pids=()
peer_ca=()
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

# start_hosts N URL PREFIX: N streaming klpeer hosts (300 KB at 12.5/s) on URL, in `hosts`,
# each registered (output in $work/PREFIXhostI.out).
start_hosts() {
  hosts=()
  for i in $(seq "$1"); do
    "$peer_bin" host --relay "$2" "${peer_ca[@]}" --fps 12.5 --frame-bytes 300000 --pattern 640x360 --stay \
      >"$work/$3host$i.out" 2>"$work/$3host$i.err" &
    hosts+=($!); pids+=($!)
  done
  for i in $(seq "$1"); do
    for _ in $(seq 100); do grep -q '"event":"registered"' "$work/$3host$i.out" 2>/dev/null && break; sleep 0.05; done
  done
}
# start_viewers N URL PREFIX FRAMES SECONDS: a viewer on URL for each host of start_hosts, in `viewers`.
start_viewers() {
  viewers=()
  for i in $(seq "$1"); do
    id=$(sed -n '1s/.*"id":"\([0-9]*\)".*/\1/p' "$work/$3host$i.out")
    key=$(sed -n '1s/.*"key":"\([A-Z0-9]*\)".*/\1/p' "$work/$3host$i.out")
    "$peer_bin" viewer --relay "$2" "${peer_ca[@]}" --id "$id" --key - <<<"$key" --frames "$4" --timeout $(($5 * 3 + 30)) \
      >"$work/$3viewer$i.out" 2>"$work/$3viewer$i.err" &
    viewers+=($!); pids+=($!)
  done
}
# wait_viewers: waits for every viewer of start_viewers and says how many failed.
wait_viewers() {
  local failed=0
  for v in "${viewers[@]}"; do wait "$v" || failed=$((failed + 1)); done
  [ "$failed" -eq 0 ] || echo "warning: $failed viewer(s) failed; see their output" >&2
}

# summarise PREFIX BYTES T0 T1 CPU_TICKS: "frames p50 p99 MB/s CPU-s/GB" for the viewers of
# start_viewers PREFIX, given the bytes forwarded and CPU ticks spent between T0 and T1.
summarise() {
  sed -n 's/.*"latencyMs":\([0-9.e+-]*\).*/\1/p' "$work"/"$1"viewer*.out >"$work/${1}lat"
  printf '%s %s %s ' "$(wc -l <"$work/${1}lat")" "$(percentile 50 <"$work/${1}lat")" "$(percentile 99 <"$work/${1}lat")"
  awk -v b="$2" -v t="$(echo "$4 - $3" | bc)" -v c="$5" -v hz="$(getconf CLK_TCK)" \
    'BEGIN {printf "%.1f %.2f\n", b / t / 1e6, (b > 0 ? (c / hz) / (b / 1e9) : 0)}'
}

# Runs N pairs for SECONDS; sets lat_p50, lat_p99, mbps, cpu_per_gb, peak_rss_mb, got_frames.
run_pairs() {
  local n=$1 seconds=$2 frames
  frames=$(awk -v s="$seconds" 'BEGIN {printf "%d", s * 12.5}')
  ${start_fn:-start_relay}
  local hz; hz=$(getconf CLK_TCK)
  start_hosts "$n" "$url" ""
  local t0 c0 t1 c1 b0 b1
  c0=$(cpu_ticks "$relay_pid"); t0=$(date +%s.%N); b0=$(metric kestrelink_relay_forwarded_bytes_total); b0=${b0:-0}
  start_viewers "$n" "$url" "" "$frames" "$seconds"
  wait_viewers
  t1=$(date +%s.%N); c1=$(cpu_ticks "$relay_pid"); b1=$(metric kestrelink_relay_forwarded_bytes_total)
  peak_rss_mb=$(awk -v k="$(status_kb "$relay_pid" VmHWM)" 'BEGIN {printf "%.1f", k / 1024}')
  for h in "${hosts[@]}"; do kill "$h" 2>/dev/null || true; done
  kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true
  read -r got_frames lat_p50 lat_p99 mbps cpu_per_gb < <(summarise "" "$((b1 - b0))" "$t0" "$t1" "$((c1 - c0))")
  rm -f "$work"/host*.out "$work"/viewer*.out
}

# --- cluster modes: relays sharing one redis-server started here on a free loopback port ---
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# A CA and Redis's certificate for 127.0.0.1 from it, for rediss://.
make_pki() {
  [ -s "$work/ca.pem" ] && return
  ( cd "$work"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=bench-ca \
      -keyout ca.key -out ca.pem
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=redis -keyout redis.key -out redis.csr
    printf 'subjectAltName=IP:127.0.0.1\n' >redis.ext
    openssl x509 -req -in redis.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile redis.ext -out redis.pem
  ) >/dev/null 2>&1
}
# start_redis [tls]: sets redis_port, redis_pid, redis_url and redis_opts (the relays' options).
start_redis() {
  redis_port=$(free_port)
  local listen=(--port "$redis_port")
  redis_url="redis://127.0.0.1:$redis_port"
  (umask 077; openssl rand -hex 32 >"$work/cluster.secret")
  redis_opts=(--cluster-secret-file "$work/cluster.secret")
  if [ "${1:-}" = tls ]; then
    make_pki
    listen=(--port 0 --tls-port "$redis_port" --tls-cert-file "$work/redis.pem" --tls-key-file "$work/redis.key"
            --tls-ca-cert-file "$work/ca.pem" --tls-auth-clients no)
    redis_url="rediss://127.0.0.1:$redis_port"; redis_opts+=(--redis-ca "$work/ca.pem")
  fi
  redis-server "${listen[@]}" --bind 127.0.0.1 --save "" --appendonly no --loglevel warning \
    --client-output-buffer-limit "pubsub 256mb 64mb 60" >"$work/redis.log" 2>&1 &
  redis_pid=$!; pids+=("$redis_pid")
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$redis_port") 2>/dev/null && break; sleep 0.1; done
}
# start_member NAME: a relay of the cluster; sets NAME_pid, NAME_url, NAME_metrics.
start_member() {
  "$relay_bin" --port 0 --metrics-port 0 --max-connections 100000 --max-connections-per-address 100000 \
    --viewer-requests-per-minute 100000 --max-handshakes-per-address 100000 --redis "$redis_url" "${redis_opts[@]}" >"$work/$1.out" 2>"$work/$1.log" &
  local pid=$!; pids+=("$pid")
  for _ in $(seq 50); do [ -s "$work/$1.out" ] && break; sleep 0.1; done
  printf -v "${1}_pid" %s "$pid"
  printf -v "${1}_url" %s "$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' "$work/$1.out")"
  printf -v "${1}_metrics" %s "$(sed -n 's/.*"metrics":"\([^"]*\)".*/\1/p' "$work/$1.out")"
  for _ in $(seq 100); do curl -s "$(eval echo "\$${1}_metrics")" | grep -q '^kestrelink_relay_redis_up 1' && break; sleep 0.1; done
}
metric_at() { curl -s "$1" 2>/dev/null | awk -v m="$2" '$1 == m {print $2}'; }
cluster_cpu() { echo $(( $(cpu_ticks "$ra_pid") + $(cpu_ticks "$rb_pid") + $(cpu_ticks "$redis_pid") )); }
cpu_split() { echo "$(cpu_ticks "$ra_pid") $(cpu_ticks "$rb_pid") $(cpu_ticks "$redis_pid")"; }
cluster_bytes() { echo $(( $(metric_at "$ra_metrics" kestrelink_relay_forwarded_bytes_total) + $(metric_at "$rb_metrics" kestrelink_relay_forwarded_bytes_total) )); }

# run_cluster_pairs N SECONDS HOST_URL VIEWER_URL: sets c_p50, c_p99, c_mbps, c_cpu_per_gb, c_frames.
run_cluster_pairs() {
  local n=$1 seconds=$2 host_url=$3 viewer_url=$4 frames hz; hz=$(getconf CLK_TCK)
  frames=$(awk -v s="$seconds" 'BEGIN {printf "%d", s * 12.5}')
  start_hosts "$n" "$host_url" c
  local c0 c1 t0 t1 b0 b1
  c0=$(cluster_cpu); t0=$(date +%s.%N); b0=$(cluster_bytes); local s0; s0=$(cpu_split)
  start_viewers "$n" "$viewer_url" c "$frames" "$seconds"
  wait_viewers
  t1=$(date +%s.%N); c1=$(cluster_cpu); b1=$(cluster_bytes)
  c_split=$(awk -v a="$s0" -v b="$(cpu_split)" -v by="$((b1 - b0))" -v hz="$hz" 'BEGIN {split(a, x); split(b, y);
    printf "A %.2f, B %.2f, Redis %.2f", (y[1]-x[1])/hz/(by/1e9), (y[2]-x[2])/hz/(by/1e9), (y[3]-x[3])/hz/(by/1e9)}')
  for h in "${hosts[@]}"; do kill "$h" 2>/dev/null || true; wait "$h" 2>/dev/null || true; done
  read -r c_frames c_p50 c_p99 c_mbps c_cpu_per_gb < <(summarise c "$((b1 - b0))" "$t0" "$t1" "$((c1 - c0))")
  rm -f "$work"/chost*.out "$work"/cviewer*.out
}

cluster_pairs_mode() {
  local n=${1:-8} seconds=${2:-20}
  command -v redis-server >/dev/null || { echo "needs redis-server" >&2; exit 1; }
  if [ "${KL_BENCH_REDIS_TLS:-0}" = 1 ]; then start_redis tls; echo "relays reach Redis over rediss://"; else start_redis; fi
  start_member ra; start_member rb
  echo "same relay: $n pairs for $seconds s, hosts and viewers on relay A ..."
  run_cluster_pairs "$n" "$seconds" "$ra_url" "$ra_url"
  local s_p50=$c_p50 s_p99=$c_p99 s_cpu=$c_cpu_per_gb s_mbps=$c_mbps s_frames=$c_frames s_split=$c_split
  echo "across relays: $n pairs for $seconds s, hosts on relay A, viewers on relay B ..."
  run_cluster_pairs "$n" "$seconds" "$ra_url" "$rb_url"
  echo "                              same relay    across relays   ratio (target)"
  printf "frames received:              %-13s %-15s\n" "$s_frames" "$c_frames"
  printf "forwarded MB/s:               %-13s %-15s\n" "$s_mbps" "$c_mbps"
  printf "CPU s per GB (relays+Redis):  %-13s %-15s %.2f (<= 2.5)\n" "$s_cpu" "$c_cpu_per_gb" "$(awk -v a="$c_cpu_per_gb" -v b="$s_cpu" 'BEGIN {print a / b}')"
  printf "latency host->viewer p50 ms:  %-13s %-15s %.2f\n" "$s_p50" "$c_p50" "$(awk -v a="$c_p50" -v b="$s_p50" 'BEGIN {print a / b}')"
  printf "latency host->viewer p99 ms:  %-13s %-15s %.2f (<= 2)\n" "$s_p99" "$c_p99" "$(awk -v a="$c_p99" -v b="$s_p99" 'BEGIN {print a / b}')"
  echo "CPU s per GB by process:      same relay: $s_split;  across: $c_split"
  echo "relay B cluster metrics:"; curl -s "$rb_metrics" | grep -E '^kestrelink_relay_(cluster_bytes|redis_rtt|redis_errors)' | sed 's/^/  /'
}

cluster_idle_mode() {
  local n=${1:-30000} per; per=$(( (n + 2) / 3 ))
  start_redis; start_member ra; start_member rb; start_member rc
  local redis0; redis0=$(redis-cli -p "$redis_port" info memory | awk -F: '/^used_memory:/ {print $2+0}')
  local before=() after=() hp=()
  for r in ra rb rc; do before+=("$(status_kb "$(eval echo "\$${r}_pid")" VmRSS)"); done
  local first=100000000 t0; t0=$(date +%s)
  for r in ra rb rc; do
    "$peer_bin" hosts --relay "$(eval echo "\$${r}_url")" --count "$per" --first-id "$first" >"$work/$r-hosts.out" 2>"$work/$r-hosts.err" &
    hp+=($!); pids+=($!); first=$((first + per))
  done
  for r in ra rb rc; do
    for _ in $(seq 1800); do grep -q '"event":"registered"' "$work/$r-hosts.out" 2>/dev/null && break; sleep 0.1; done
    grep -q '"event":"registered"' "$work/$r-hosts.out" || { echo "hosts on $r did not register in time" >&2; cat "$work/$r-hosts.err" >&2; exit 1; }
  done
  echo "registered in $(( $(date +%s) - t0 )) s"
  sleep 2
  for r in ra rb rc; do after+=("$(status_kb "$(eval echo "\$${r}_pid")" VmRSS)"); done
  local redis1 keys; redis1=$(redis-cli -p "$redis_port" info memory | awk -F: '/^used_memory:/ {print $2+0}')
  keys=$(redis-cli -p "$redis_port" --scan --pattern 'kl:host:*' | wc -l)
  local total=0 i
  for i in 0 1 2; do total=$((total + after[i] - before[i])); done
  echo "idle hosts registered:       $keys of $((per * 3)) (IDs in Redis)"
  for i in 0 1 2; do echo "relay $((i + 1)) RSS before/after:    $((before[i] / 1024)) MB / $((after[i] / 1024)) MB"; done
  echo "relay memory per host:       $(awk -v t="$total" -v n="$((per * 3))" 'BEGIN {printf "%.1f", t / n}') KB (all three relays)"
  echo "Redis memory per host:       $(awk -v a="$redis1" -v b="$redis0" -v n="$((per * 3))" 'BEGIN {printf "%.0f", (a - b) / n}') bytes"
  for p in "${hp[@]}"; do kill "$p" 2>/dev/null || true; done
}

# ---- compare: ws:// beside wss://, beside a Node `ws` relay, beside the bare cipher ----

# A certificate for 127.0.0.1 that the peers trust explicitly.
make_cert() {
  [ -s "$work/cert.pem" ] && return
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
}

# The reference relay's `ws` package, installed from npm into the build tree.
reference_ready() {
  local dir=$bin/reference-relay
  cmp -s "$here/bench/reference-relay/package.json" "$dir/package.json" && [ -d "$dir/node_modules/ws" ] && return
  command -v node >/dev/null && command -v npm >/dev/null || { echo "compare needs node and npm" >&2; exit 1; }
  mkdir -p "$dir"; cp "$here/bench/reference-relay/package.json" "$dir/"
  (cd "$dir" && npm install --no-audit --no-fund --omit=dev --loglevel=error) >&2
}

# Starts the relay named by $relay_kind (ours or node) serving $relay_scheme (ws or wss);
# sets relay_pid, url, metrics and the peers' --ca.
start_relay_kind() {
  local tls=()
  peer_ca=()
  if [ "$relay_scheme" = wss ]; then
    make_cert; tls=(--cert "$work/cert.pem" --key "$work/key.pem"); peer_ca=(--ca "$work/cert.pem")
  fi
  rm -f "$work/relay.out"
  if [ "$relay_kind" = node ]; then
    NODE_PATH=$bin/reference-relay/node_modules node "$here/bench/reference-relay/relay.js" --port 0 --metrics-port 0 \
      "${tls[@]}" >"$work/relay.out" 2>"$work/relay.log" &
  else
    "$relay_bin" --port 0 --metrics-port 0 --max-connections 100000 --max-connections-per-address 100000 --max-handshakes-per-address 100000 \
      --viewer-requests-per-minute 100000 "${tls[@]}" >"$work/relay.out" 2>"$work/relay.log" &
  fi
  relay_pid=$!; pids+=("$relay_pid")
  for _ in $(seq 100); do [ -s "$work/relay.out" ] && break; sleep 0.1; done
  url=$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' "$work/relay.out")
  metrics=$(sed -n 's/.*"metrics":"\([^"]*\)".*/\1/p' "$work/relay.out")
  [ -n "$url" ] || { echo "$relay_kind relay did not start:" >&2; cat "$work/relay.log" >&2; exit 1; }
}

# One pair, 300 KB messages sent as fast as the path drains them (the host keeps at most two
# unsent), measured over SECONDS after a one-second start; sets fast_cpu_per_gb and fast_mbps.
run_fast_pair() {
  local seconds=$1 hz host viewer id key c0 c1 b0 b1 t0 t1
  hz=$(getconf CLK_TCK)
  start_relay_kind
  "$peer_bin" host --relay "$url" "${peer_ca[@]}" --fps 1000 --frame-bytes 300000 --pattern 640x360 --stay \
    >"$work/fast-host.out" 2>"$work/fast-host.err" &
  host=$!; pids+=("$host")
  for _ in $(seq 100); do grep -q '"event":"registered"' "$work/fast-host.out" 2>/dev/null && break; sleep 0.05; done
  id=$(sed -n '1s/.*"id":"\([0-9]*\)".*/\1/p' "$work/fast-host.out")
  key=$(sed -n '1s/.*"key":"\([A-Z0-9]*\)".*/\1/p' "$work/fast-host.out")
  "$peer_bin" viewer --relay "$url" "${peer_ca[@]}" --id "$id" --key "$key" --frames 100000000 \
    --timeout $((seconds * 3 + 30)) >/dev/null 2>"$work/fast-viewer.err" &
  viewer=$!; pids+=("$viewer")
  for _ in $(seq 300); do [ "$(metric kestrelink_relay_forwarded_bytes_total)" -gt 0 ] 2>/dev/null && break; sleep 0.1; done
  sleep 1
  c0=$(cpu_ticks "$relay_pid"); b0=$(metric kestrelink_relay_forwarded_bytes_total); t0=$(date +%s.%N)
  sleep "$seconds"
  c1=$(cpu_ticks "$relay_pid"); b1=$(metric kestrelink_relay_forwarded_bytes_total); t1=$(date +%s.%N)
  kill "$viewer" "$host" 2>/dev/null || true; wait "$viewer" "$host" 2>/dev/null || true
  kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true
  [ "$((b1 - b0))" -gt 0 ] || { echo "warning: nothing forwarded; the viewer said:" >&2; tail -3 "$work/fast-viewer.err" >&2; }
  read -r fast_mbps fast_cpu_per_gb < <(awk -v b="$((b1 - b0))" -v t="$(echo "$t1 - $t0" | bc)" -v c="$((c1 - c0))" \
    -v hz="$hz" 'BEGIN {printf "%.1f %.3f\n", b / t / 1e6, (b > 0 ? (c / hz) / (b / 1e9) : 0)}')
}

# Relay memory per idle registered host (N hosts from one klpeer); sets idle_kb.
run_idle() {
  local n=$1 before after hosts_pid
  start_relay_kind
  sleep 0.5
  before=$(status_kb "$relay_pid" VmRSS)
  "$peer_bin" hosts --relay "$url" "${peer_ca[@]}" --count "$n" >"$work/hosts.out" 2>"$work/hosts.err" &
  hosts_pid=$!; pids+=("$hosts_pid")
  for _ in $(seq 1200); do grep -q '"event":"registered"' "$work/hosts.out" 2>/dev/null && break
    kill -0 "$hosts_pid" 2>/dev/null || { cat "$work/hosts.err" >&2; exit 1; }; sleep 0.1; done
  sleep 1
  after=$(status_kb "$relay_pid" VmRSS)
  idle_kb=$(awk -v a="$after" -v b="$before" -v n="$n" 'BEGIN {printf "%.2f", (a - b) / n}')
  kill "$hosts_pid"; wait "$hosts_pid" 2>/dev/null || true
  kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true
}

# OpenSSL's AES-256-GCM on 16 KB records (the TLS record size), CPU-seconds per GB for one
# decryption plus one encryption: what forwarding a GB over TLS costs at the least.
cipher_cost() {
  local enc dec
  enc=$(openssl speed -evp aes-256-gcm -bytes 16384 -seconds 2 -mr 2>/dev/null | awk -F: '/^\+F:/ {print $4}')
  dec=$(openssl speed -evp aes-256-gcm -decrypt -bytes 16384 -seconds 2 -mr 2>/dev/null | awk -F: '/^\+F:/ {print $4}')
  cipher_s_per_gb=$(awk -v e="$enc" -v d="$dec" 'BEGIN {printf "%.3f", 1e9 / e + 1e9 / d}')
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b + 0 == 0) print "n/a"; else printf "%.2f", a / b}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

run_compare() {
  local seconds=${1:-10} pair_seconds=${2:-20} idle_n=${3:-10000} kind scheme
  reference_ready
  declare -A cpu mbps p50 p99 pcpu idle
  echo "cipher: openssl speed -evp aes-256-gcm, 16 KB blocks ..."
  cipher_cost
  # The two relays take turns, so that what else the machine does falls on both alike. Ours
  # runs three rounds of ws:// and wss:// in turn and the median counts: one 10 s run moves by a
  # fifth with the machine, and the targets are ratios of its figures.
  declare -A runs_cpu runs_mbps
  local round
  for round in 1 2 3; do
    for scheme in ws wss; do
      for kind in ours node; do
        [ "$kind" = node ] && [ "$round" != 2 ] && continue
        relay_kind=$kind; relay_scheme=$scheme
        echo "$kind $scheme://: 1 pair as fast as it drains for $seconds s (round $round) ..."
        run_fast_pair "$seconds"
        runs_cpu[$kind-$scheme]+="$fast_cpu_per_gb "; runs_mbps[$kind-$scheme]+="$fast_mbps "
      done
    done
  done
  for kind in ours node; do for scheme in ws wss; do
    cpu[$kind-$scheme]=$(median ${runs_cpu[$kind-$scheme]}); mbps[$kind-$scheme]=$(median ${runs_mbps[$kind-$scheme]})
  done; done
  for scheme in ws wss; do
    for kind in ours node; do
      relay_kind=$kind; relay_scheme=$scheme
      echo "$kind $scheme://: 20 pairs at 12.5 messages/s for $pair_seconds s ..."
      start_fn=start_relay_kind run_pairs 20 "$pair_seconds"
      p50[$kind-$scheme]=$lat_p50; p99[$kind-$scheme]=$lat_p99; pcpu[$kind-$scheme]=$cpu_per_gb
    done
  done
  for kind in ours node; do
    relay_kind=$kind; relay_scheme=ws
    echo "$kind ws://: $idle_n idle registered hosts ..."
    run_idle "$idle_n"; idle[$kind]=$idle_kb
  done
  peer_ca=()
  echo
  echo "one pair, 300 KB messages as fast as they drain (relay CPU-seconds per GB forwarded, $seconds s each;"
  echo "ours the median of three rounds: ws:// ${runs_cpu[ours-ws]% }, wss:// ${runs_cpu[ours-wss]% })"
  printf '  %-26s %8s %10s\n' "" "s/GB" "MB/s"
  for kind in ours node; do for scheme in ws wss; do
    printf '  %-26s %8s %10s\n' "$([ $kind = ours ] && echo kestrelink-relay || echo "node ws (reference)") $scheme://" \
      "${cpu[$kind-$scheme]}" "${mbps[$kind-$scheme]}"
  done; done
  printf '  %-26s %8s\n' "AES-256-GCM dec+enc" "$cipher_s_per_gb"
  echo "  ours wss:// / ours ws://:        $(ratio "${cpu[ours-wss]}" "${cpu[ours-ws]}")   (target <= 2, and wss:// <= 1.0 s/GB)"
  echo "  ours wss:// / cipher:            $(ratio "${cpu[ours-wss]}" "$cipher_s_per_gb")"
  # What no relay on this machine can go below over wss://: the same socket work as ws://,
  # one decryption and one encryption; what is above it is record handling and copies.
  echo "  floor, ours ws:// + cipher:      $(awk -v a="${cpu[ours-ws]}" -v c="$cipher_s_per_gb" 'BEGIN {printf "%.3f", a + c}') s/GB"
  echo "  ours wss:// above the floor:     $(awk -v w="${cpu[ours-wss]}" -v a="${cpu[ours-ws]}" -v c="$cipher_s_per_gb" 'BEGIN {printf "%.3f", w - a - c}') s/GB"
  echo "  ours / reference, ws://:         $(ratio "${cpu[ours-ws]}" "${cpu[node-ws]}")   (target <= 0.35)"
  echo "  ours / reference, wss://:        $(ratio "${cpu[ours-wss]}" "${cpu[node-wss]}")"
  echo "20 pairs, 300 KB messages at 12.5/s per host ($pair_seconds s each; latency host -> viewer, ms)"
  printf '  %-26s %8s %8s %8s\n' "" "p50" "p99" "s/GB"
  for kind in ours node; do for scheme in ws wss; do
    printf '  %-26s %8s %8s %8s\n' "$([ $kind = ours ] && echo kestrelink-relay || echo "node ws (reference)") $scheme://" \
      "${p50[$kind-$scheme]}" "${p99[$kind-$scheme]}" "${pcpu[$kind-$scheme]}"
  done; done
  echo "  p99 ours wss:// / ours ws://:    $(ratio "${p99[ours-wss]}" "${p99[ours-ws]}")   (target <= 1.5)"
  echo "  p99 ours / reference, ws://:     $(ratio "${p99[ours-ws]}" "${p99[node-ws]}")   (target <= 1)"
  echo "  p99 ours / reference, wss://:    $(ratio "${p99[ours-wss]}" "${p99[node-wss]}")"
  echo "idle registered hosts over ws:// ($idle_n from one klpeer; relay RSS growth per host)"
  echo "  kestrelink-relay:                ${idle[ours]} KB"
  echo "  node ws (reference):             ${idle[node]} KB"
  echo "  ours / reference:                $(ratio "${idle[ours]}" "${idle[node]}")   (target <= 0.5)"
}

# ab SECONDS SCHEME RELAY...: one pair through each build in turn, so that what else the
# machine does falls on all of them alike.
run_ab() {
  [ "$#" -gt 2 ] || { echo "usage: relay_load.sh ab SECONDS ws|wss RELAY..." >&2; exit 1; }
  local seconds=$1 scheme=$2 build
  shift 2
  case $scheme in ws|wss) ;; *) echo "ab: the scheme is ws or wss, not $scheme" >&2; exit 1 ;; esac
  relay_kind=ours; relay_scheme=$scheme
  for build in "$@"; do
    [ -x "$build" ] || { echo "not a relay build: $build" >&2; exit 1; }
    relay_bin=$build
    run_fast_pair "$seconds"
    printf '%-44s %s://  %7s s/GB  %7s MB/s\n' "$build" "$scheme" "$fast_cpu_per_gb" "$fast_mbps"
  done
}

# link [N] [SECONDS]: the four transports one after the other, the same streams each time.
link_mode() {
  local n=${1:-8} seconds=${2:-10} bench_bin=$bin/cluster_link_bench
  [ -x "$bench_bin" ] || { echo "build first: cmake --build build/native --target cluster_link_bench" >&2; exit 1; }
  local common=(--streams "$n" --seconds "$seconds") out=()
  make_pki
  echo "$n streams of 300 KB at 12.5 per second for $seconds s through each transport ..."
  start_redis
  out+=("$("$bench_bin" redis "$redis_url" --redis-pid "$redis_pid" "${common[@]}")")
  kill "$redis_pid"; wait "$redis_pid" 2>/dev/null || true
  start_redis tls
  out+=("$("$bench_bin" redis "$redis_url" --ca "$work/ca.pem" --redis-pid "$redis_pid" "${common[@]}")")
  kill "$redis_pid"; wait "$redis_pid" 2>/dev/null || true
  out+=("$("$bench_bin" direct "${common[@]}")")
  out+=("$("$bench_bin" direct --cert "$work/redis.pem" --key "$work/redis.key" --ca "$work/ca.pem" "${common[@]}")")
  local names=("Redis pub/sub, redis://" "Redis pub/sub, rediss://" "direct link, TCP" "direct link, TLS")
  local ref_cpu ref_p50 ref_p99 i
  echo "transport                  messages    CPU s/GB (both relays + Redis)   p50 ms   p99 ms   CPU vs pub/sub"
  for i in 0 1 2 3; do
    read -r msgs expected cpu p50 p99 < <(awk -v j="${out[$i]}" 'BEGIN {
      n = split(j, kv, /[{},]/); for (k = 1; k <= n; k++) { split(kv[k], p, ":"); gsub(/"/, "", p[1]); v[p[1]] = p[2] }
      printf "%s %s %.2f %.2f %.2f\n", v["messages"], v["expected"], (v["cpu"] + v["redisCpu"]) / (v["bytes"] / 1e9), v["p50"], v["p99"] }')
    [ "$i" = 0 ] && { ref_cpu=$cpu; ref_p50=$p50; ref_p99=$p99; }
    printf "%-26s %-11s %-32s %-8s %-8s %.2f\n" "${names[$i]}" "$msgs/$expected" "$cpu" "$p50" "$p99" "$(awk -v a="$cpu" -v b="$ref_cpu" 'BEGIN {print a / b}')"
  done
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
  cluster) cluster_pairs_mode "${2:-8}" "${3:-20}" ;;
  cluster-idle) cluster_idle_mode "${2:-30000}" ;;
  compare) run_compare "${2:-10}" "${3:-20}" "${4:-10000}" ;;
  link) link_mode "${2:-8}" "${3:-10}" ;;
  ab) shift; run_ab "$@" ;;
  -h|--help) sed -n '2,24p' "$0" ;;
  *) echo "unknown mode $mode (pairs, idle, cluster, cluster-idle, compare, ab or link)" >&2; exit 1 ;;
esac
