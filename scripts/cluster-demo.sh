#!/usr/bin/env bash
# Three relays sharing one Redis behind HAProxy, with the program as host and the program as
# viewer landing on different relays. Everything on loopback:
#   redis-server on a free port, three kestrelink-relay --redis on free ports, HAProxy (TCP,
#   round robin, sending each client's address with the PROXY protocol v2) on the program's
#   relay port (KL_TEST_PORT of the windows build), the host
#   program on a display of its own, the viewer program on another.
#   cluster-demo.sh [OUT_DIR]     (default out/cluster)
# Writes OUT_DIR/NN-*.png (both windows at each step), log.txt (each step, and which relay each
# side used, read from the relays' logs), relayN.log, haproxy.cfg. Exits non-zero when a
# step did not turn out as expected.
set -uo pipefail
case "${1:-}" in --help|-h) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
cd "$(dirname "$0")/.."
kl_out=$(realpath -m "${1:-out/cluster}")
rm -rf "$kl_out"; mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. scripts/env.sh
[ -f "$WINEPREFIX/.kestrelink-fonts" ] || bash scripts/wine-prefix.sh
for tool in redis-server redis-cli haproxy; do
  command -v $tool >/dev/null || { echo "needs $tool (scripts/setup.sh installs it)" >&2; exit 2; }
done

echo "== build: relay and peer (native), program (windows, relay port $KL_TEST_PORT)"
cmake --preset native >/dev/null && cmake --build --preset native -j 2 --target kestrelink-relay klpeer || exit 2
cmake --preset windows -DKL_TEST_PORT="$KL_TEST_PORT" >/dev/null && cmake --build --preset windows -j 2 --target kestrelink kllayout || exit 2
program=build/windows/kestrelink.exe native=build/native

. tests/gui/lib.sh
kl_start_display
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
pids=""
cleanup() {
  kill $pids 2>/dev/null
  [ -n "${host_prefix:-}" ] && stop_host_display
  wait $pids 2>/dev/null
}
trap 'cleanup; kl_stop_display' EXIT

# 1. Redis (no persistence), three relays, HAProxy in front.
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --loglevel warning \
  --client-output-buffer-limit "pubsub 256mb 64mb 60" >"$kl_out/redis.log" 2>&1 &
pids="$pids $!"
wait_for 10 eval "redis-cli -p $redis_port ping >/dev/null 2>&1" || { kl_log "FAIL redis-server did not start"; exit 1; }
kl_log "redis-server on 127.0.0.1:$redis_port"
(umask 077; openssl rand -hex 32 >"$kl_out/cluster.secret")
backends=""
for n in 1 2 3; do
  "$native/kestrelink-relay" --port 0 --metrics-port 0 --redis "redis://127.0.0.1:$redis_port" \
    --cluster-secret-file "$kl_out/cluster.secret" --proxy-protocol-from 127.0.0.1 \
    >"$kl_out/relay$n.out" 2>"$kl_out/relay$n.log" &
  pids="$pids $!"
  wait_for 10 test -s "$kl_out/relay$n.out" || { kl_log "FAIL relay $n did not start"; exit 1; }
  url=$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' "$kl_out/relay$n.out")
  node=$(sed -n 's/.*"node":"\([^"]*\)".*/\1/p' "$kl_out/relay$n.out")
  port=${url#ws://127.0.0.1:}; port=${port%/ws}
  eval "node$n=$node port$n=$port"
  backends="$backends    server relay$n 127.0.0.1:$port send-proxy-v2 check
"
  kl_log "relay $n: node $node on $url"
done
cat >"$kl_out/haproxy.cfg" <<CFG
global
    maxconn 2000
defaults
    mode tcp
    timeout connect 5s
    timeout client 1h
    timeout server 1h
    timeout tunnel 1h
frontend kestrelink
    bind 127.0.0.1:$KL_TEST_PORT
    default_backend relays
backend relays
    balance roundrobin
$backends
CFG
haproxy -f "$kl_out/haproxy.cfg" -db >"$kl_out/haproxy.log" 2>&1 &
pids="$pids $!"
wait_for 10 eval "(exec 3<>/dev/tcp/127.0.0.1/$KL_TEST_PORT) 2>/dev/null" || { kl_log "FAIL haproxy did not listen on $KL_TEST_PORT"; exit 1; }
kl_log "haproxy on 127.0.0.1:$KL_TEST_PORT, round robin over the three relays, PROXY protocol v2"

# which_relay PATTERN: the relay whose log has a line matching PATTERN.
which_relay() { for n in 1 2 3; do grep -q "$1" "$kl_out/relay$n.log" && { echo "$n"; return; }; done; echo "none"; }

# 2. The program as host on a display of its own.
start_host_display 1280x800
as_host
wine "$program" >"$kl_out/host-program.log" 2>&1 &
pids="$pids $!"
kl_find_window || { kl_log "FAIL the host's window did not appear"; exit 1; }
save_as host
copy_credentials
host_relay=$(which_relay "registered host $id")
kl_log "host registered $id on relay $host_relay"
shot 01-host-registered

# 3. The program as viewer on the first display. Round robin sends it to the next relay; a
# health-check or stray connection could make both land on one, which the log would show.
request_from_viewer_program 02
shot 03-host-consent
viewer_relay=$(which_relay "viewer request to $id on relay")
viewer_line=$(grep -h "viewer request to $id" "$kl_out"/relay*.log | head -1)
kl_log "viewer's request went through relay $viewer_relay: ${viewer_line#* }"
check "host and viewer are on different relays" "$([ "$host_relay" != "$viewer_relay" ] && [ "$viewer_relay" != none ] && echo yes)" "yes"
click_button "Paylaşıma izin ver"
as_viewer
remote_view() { shot; [ "$(layout_pixel 540 95)" = "0d1418" ]; }
wait_for 20 remote_view
check "the viewer shows the host's screen" "$(remote_view && echo yes)" "yes"
sleep 2
shot 04-viewer-remote-screen
import -window root "$kl_out/04-viewer-display.png" 2>/dev/null
as_host
expect_status 05-host-sharing "Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes"
DISPLAY=$host_display import -window root "$kl_out/05-host-display.png" 2>/dev/null
for n in 1 2 3; do
  m=$(sed -n 's/.*"metrics":"\([^"]*\)".*/\1/p' "$kl_out/relay$n.out")
  kl_log "relay $n: $(curl -s "$m" | grep -E '^kestrelink_relay_(registered_hosts|paired_sessions|cluster_bytes_total)' | tr '\n' ' ')"
done

# 4. The host ends the session with its hot key; the viewer is told across the relays.
focus_window
xdotool key ctrl+alt+shift+F12
as_viewer
expect_status 06-viewer-peer-left "Karşı taraf ayrıldı. Yeni bağlantı için ID yenile." 15
kl_log "relay logs: $kl_out/relay1.log relay2.log relay3.log"
exit $kl_fail
