#!/usr/bin/env bash
# Runs a Windows test binary (under Wine) with the real relay on 127.0.0.1:$KL_TEST_PORT
# (the windows build's test port, which ctest passes) and the misbehaving script server on the
# next port, both native, stopped afterwards.
#   with-servers.sh NATIVE_BUILD_DIR COMMAND...
set -uo pipefail
native=$1; shift
port=${KL_TEST_PORT:?KL_TEST_PORT is not set (ctest sets it from the windows build)}
bash "$(dirname "$0")/../native_tools.sh" "$native" kestrelink-relay ws_script_server || exit 1
logs=$(mktemp -d /tmp/kl-servers.XXXXXX)
"$native/kestrelink-relay" --port "$port" --metrics-port off --viewer-requests-per-minute 100000 >"$logs/relay.out" 2>"$logs/relay.log" &
relay=$!
"$native/ws_script_server" --port $((port + 1)) >"$logs/server.out" 2>"$logs/server.log" &
server=$!
trap 'kill $relay $server 2>/dev/null; wait $relay $server 2>/dev/null' EXIT
for _ in $(seq 100); do
  [ -s "$logs/relay.out" ] && [ -s "$logs/server.out" ] && break
  kill -0 $relay 2>/dev/null && kill -0 $server 2>/dev/null || break
  sleep 0.05
done
if ! [ -s "$logs/relay.out" ] || ! [ -s "$logs/server.out" ]; then
  echo "with-servers: the relay (port $port) or the script server (port $((port + 1))) did not start:" >&2
  cat "$logs"/*.log >&2
  exit 1
fi
"$@"
rc=$?
[ $rc -eq 0 ] || { echo "--- relay log ($logs)"; tail -50 "$logs/relay.log"; }
exit $rc
