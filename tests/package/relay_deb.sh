#!/usr/bin/env bash
# The relay's Debian package on this machine: the unit passes systemd-analyze verify; dpkg -i
# makes the service's user, certificate folder and enabled unit; the relay runs as the unit
# runs it (that user, only CAP_NET_BIND_SERVICE, the default settings) on a port below 1024
# and serves wss:// and metrics using only system calls the unit's filter allows; an upgrade
# keeps changed settings; dpkg -r and dpkg -P leave the machine as it was.
#   relay_deb.sh NATIVE_BUILD OUT_DIR     (root only; exit 77 = skipped)
set -uo pipefail
native=$(cd "$1" && pwd) out=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
pkg=kestrelink-relay
[ "$(id -u)" -eq 0 ] || { echo "skipped: dpkg -i needs root"; exit 77; }
if dpkg-query -W -f='${Status}' $pkg 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: $pkg is installed on this machine; the test leaves it alone"; exit 77
fi
rm -rf "$out"; mkdir -p "$out"

fail=0
check() {  # check NAME ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got '$2', expected '$3'"; fail=1; fi
}
# What the package may touch, to compare before and after.
state() {
  getent passwd $pkg; getent group $pkg
  ls -d /etc/$pkg /etc/default/$pkg /usr/bin/kestrelink-relay /usr/bin/klpeer /lib/systemd/system/$pkg.service 2>/dev/null
  find /etc/systemd /var/lib/systemd -name "*$pkg*" 2>/dev/null | sort
}
state >"$out/state-before.txt"
relay_pid=""
cleanup() {
  [ -z "$relay_pid" ] || kill "$(pgrep -P "$relay_pid")" "$relay_pid" 2>/dev/null
  rm -f /etc/$pkg/fullchain.pem /etc/$pkg/privkey.pem
  dpkg -P $pkg >/dev/null 2>&1
}
trap cleanup EXIT

deb=$(bash "$here/scripts/package-relay.sh" --from "$native" "$out" 2>"$out/package.log" | tail -1)
[ -f "$deb" ] || { echo "FAIL the package was not built:"; cat "$out/package.log"; exit 1; }
dpkg-deb -I "$deb" >"$out/info.txt"
check "the package depends on the libraries it links" "$(grep -c 'Depends:.*libssl3.*' "$out/info.txt")" "1"

dpkg -i "$deb" >"$out/dpkg-i.log" 2>&1
check "dpkg -i installs it" "$(dpkg-query -W -f='${Status}' $pkg 2>/dev/null)" "install ok installed"
unit=/lib/systemd/system/$pkg.service
systemd-analyze verify "$unit" >"$out/verify.log" 2>&1
check "systemd-analyze verify passes on the unit" "$?:$(grep -c . "$out/verify.log")" "0:0"
cat "$out/verify.log"
check "the unit is enabled" "$(readlink /etc/systemd/system/multi-user.target.wants/$pkg.service)" "$unit"
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd $pkg)
check "the service has a system user of its own without a login" \
  "$([ "${uid:-0}" -gt 0 ] && [ "$uid" -lt 1000 ] && echo yes):$home:$shell" "yes:/nonexistent:/usr/sbin/nologin"
check "its certificate folder is root's, readable by its group only" "$(stat -c '%U:%G %a' /etc/$pkg)" "root:$pkg 750"
check "the settings file is a conffile" "$(dpkg-query -W -f='${Conffiles}' $pkg | awk '{print $1}')" "/etc/default/$pkg"
check "the settings file (it may name secrets' files) is root's, readable by the group only" \
  "$(stat -c '%U:%G %a' /etc/default/$pkg)" "root:$pkg 640"

# The relay as the unit starts it, with a certificate installed the way the settings file says.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$out/privkey.pem" -out "$out/fullchain.pem" 2>/dev/null
install -m 0640 -g $pkg "$out/fullchain.pem" "$out/privkey.pem" /etc/$pkg/
port=""
for p in $(seq 600 1000); do ss -Htln "sport = :$p" | grep -q . || { port=$p; break; }; done
# shellcheck disable=SC1090
. /etc/default/$pkg
as_service=(setpriv --reuid=$pkg --regid=$pkg --init-groups --no-new-privs --bounding-set=-all,+net_bind_service)
"${as_service[@]}" --inh-caps=-all /usr/bin/kestrelink-relay $KESTRELINK_RELAY_OPTS --listen 127.0.0.1 --port "$port" \
  --metrics-port 0 >"$out/nocap.out" 2>"$out/nocap.log"
check "without the capability the user cannot bind port $port" "$?:$(grep -c 'ermission denied' "$out/nocap.log")" "2:1"

syscalls=$out/syscalls.txt
strace -f -qq -o "$syscalls" "${as_service[@]}" --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \
  /usr/bin/kestrelink-relay $KESTRELINK_RELAY_OPTS --listen 127.0.0.1 --port "$port" --metrics-port 0 \
  >"$out/relay.out" 2>"$out/relay.log" &
relay_pid=$!
for _ in $(seq 50); do [ -s "$out/relay.out" ] && break; sleep 0.2; done
line=$(head -1 "$out/relay.out")
check "with CAP_NET_BIND_SERVICE it serves wss:// on port $port" "$(echo "$line" | grep -o "wss://127.0.0.1:$port/ws")" \
  "wss://127.0.0.1:$port/ws"
/usr/bin/klpeer probe "wss://localhost:$port/ws" --ca "$out/fullchain.pem" >"$out/probe.out" 2>&1
check "klpeer probe registers through it" "$?" "0"
metrics=$(echo "$line" | grep -o 'http://127.0.0.1:[0-9]*/metrics')
check "its metrics count the probe's connection" \
  "$(curl -sf --max-time 5 "$metrics" | grep -cE '^kestrelink_relay_connections_total [1-9]')" "1"
# strace passes the relay's exit status on; the relay is its child (setpriv became it).
kill -TERM "$(pgrep -P "$relay_pid")"; wait "$relay_pid"; rc=$?; relay_pid=""
check "SIGTERM stops it with 0" "$rc" "0"
# Every system call it made must pass the unit's filter: @system-service without @privileged
# and @resources (setpriv's own calls before exec are left out).
python3 - "$syscalls" >"$out/filter.txt" <<'PY'
import re, subprocess, sys
groups, name = {}, None
for line in subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True).stdout.splitlines():
    s = line.strip()
    if line.startswith("@"): name = s; groups[name] = []
    elif s and not s.startswith("#") and name: groups[name].append(s)
def expand(g, seen=()):
    out = set()
    for m in groups.get(g, []):
        out |= expand(m, seen + (g,)) if m.startswith("@") and m not in seen else {m}
    return out
allowed = expand("@system-service") - expand("@privileged") - expand("@resources")
used, running = set(), False
for line in open(sys.argv[1]):
    m = re.match(r"\d+\s+([a-z0-9_]+)\(", line)
    if not m: continue
    if m.group(1) == "execve" and 'execve("/usr/bin/kestrelink-relay"' in line: running = True
    elif running: used.add(m.group(1))
if not running: print("no exec seen"); sys.exit()
print(" ".join(sorted(used - allowed)) or "none")
PY
check "every system call it made passes the unit's filter" "$(cat "$out/filter.txt")" "none"

# An upgrade (here: the same version again) keeps the operator's settings and the user.
echo '# changed by the operator' >>/etc/default/$pkg
dpkg -i "$deb" >"$out/dpkg-upgrade.log" 2>&1
check "an upgrade keeps the changed settings and the service's user" \
  "$?:$(tail -1 /etc/default/$pkg):$(getent passwd $pkg | cut -d: -f3)" "0:# changed by the operator:$uid"

dpkg -r $pkg >"$out/dpkg-r.log" 2>&1
check "dpkg -r removes the programs and the unit" \
  "$(ls /usr/bin/kestrelink-relay /usr/bin/klpeer $unit 2>/dev/null | wc -l):$(dpkg-query -W -f='${Status}' $pkg)" \
  "0:deinstall ok config-files"
rm -f /etc/$pkg/fullchain.pem /etc/$pkg/privkey.pem
dpkg -P $pkg >"$out/dpkg-p.log" 2>&1
state >"$out/state-after.txt"
check "dpkg -P leaves the machine as it was" "$(diff "$out/state-before.txt" "$out/state-after.txt" && echo same)" "same"
exit $fail
