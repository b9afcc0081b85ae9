#!/usr/bin/env bash
# Runs a Windows test binary (under Wine) with the real relay on 127.0.0.1:$KL_TEST_PORT
# (default 47800) and the misbehaving script server on the next port, both native, stopped
# afterwards.
#   with-servers.sh NATIVE_BUILD_DIR COMMAND...
set -uo pipefail
native=$1; shift
port=${KL_TEST_PORT:-47800}
logs=$(mktemp -d /tmp/kl-servers.XXXXXX)
"$native/kestrelink-relay" --port "$port" --metrics-port off --viewer-requests-per-minute 100000 >"$logs/relay.out" 2>"$logs/relay.log" &
relay=$!
"$native/ws_script_server" --port $((port + 1)) >"$logs/server.out" 2>"$logs/server.log" &
server=$!
trap 'kill $relay $server 2>/dev/null; wait $relay $server 2>/dev/null' EXIT
for _ in $(seq 100); do
  [ -s "$logs/relay.out" ] && [ -s "$logs/server.out" ] && break
  sleep 0.05
done
if ! [ -s "$logs/relay.out" ] || ! [ -s "$logs/server.out" ]; then
  echo "with-servers: the relay or the script server did not start (is port $port or $((port + 1)) taken?)" >&2
  cat "$logs"/*.log >&2
  exit 1
fi
"$@"
rc=$?
[ $rc -eq 0 ] || { echo "--- relay log ($logs)"; tail -50 "$logs/relay.log"; }
exit $rc
