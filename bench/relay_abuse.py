#!/usr/bin/env python3
"""The relay against hostile clients, beside an honest pair (figures, not a test).

  bench/relay_abuse.py [--seconds S] [--only NAME,...] RELAY [RELAY ...]

Each relay binary runs each scenario in turn with --memory-budget-bytes 64 MiB while an honest
pair streams 300 KB frames at 12.5 a second (host to viewer, through the relay) in a process of
its own. Per scenario and relay it prints: the relay's largest resident memory while it ran
(sampled), whether the honest pair was dropped, its frame latency (median, p99), whether a fresh
client could still register a host, and how many attacker connections the relay had closed.
Give the landed relay and a new one to compare them in one run.

Scenarios (where it pairs, an attacker runs its own host and its own viewer):
  silent    4,000 TCP connections from one address that never send, held
  large     16 unregistered connections from one address each send one 8 MiB message
  empty     one pair sends zero-length binary frames; its viewer reads nothing
  slowread  the same, its viewer reading 2 KB every 2 s
  headers   128 pairs from 8 addresses each send a frame header announcing 8 MiB, then a
            byte every 1.5 s
  upgrades  800 unfinished upgrades with 7.9 KB headers from 100 addresses, and paired text
            frames of 8 MiB
  tls       over wss://: a client asks for TLS key update after key update and reads nothing
"""
import argparse
import ctypes
import ctypes.util
import json
import multiprocessing
import os
import resource
import select
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

UPGRADE = (b"GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
BUDGET = 64 << 20
FRAME = 300_000
PROOF = "v2:" + "a" * 32 + ":" + "b" * 64


def frame(opcode, payload, length=None):
    n = len(payload) if length is None else length
    head = bytes([0x80 | opcode])
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    return head + b"\0\0\0\0" + payload


def text(obj):
    return frame(1, json.dumps(obj, separators=(",", ":")).encode())


class Ws:
    """A blocking WebSocket client over a plain or TLS socket."""

    def __init__(self, port, source="127.0.0.1", tls=False, timeout=5):
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            s = context.wrap_socket(s)
        self.s, self.buf = s, b""

    def upgrade(self):
        self.s.sendall(UPGRADE)
        while b"\r\n\r\n" not in self.buf:
            chunk = self.s.recv(4096)
            if not chunk:
                return False
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head.startswith(b"HTTP/1.1 101")

    def read(self):
        """The next frame (opcode, payload), or None when the connection ends."""
        while True:
            if len(self.buf) >= 2:
                n, at = self.buf[1] & 0x7F, 2
                if n == 126 and len(self.buf) >= 4:
                    n, at = struct.unpack(">H", self.buf[2:4])[0], 4
                elif n == 127 and len(self.buf) >= 10:
                    n, at = struct.unpack(">Q", self.buf[2:10])[0], 10
                if n < 126 or at > 2:
                    if len(self.buf) >= at + n:
                        op, payload = self.buf[0] & 0x0F, self.buf[at:at + n]
                        self.buf = self.buf[at + n:]
                        return op, payload
            chunk = self.s.recv(1 << 20)
            if not chunk:
                return None
            self.buf += chunk

    def field(self, key):
        m = self.read()
        if m is None or m[0] != 1:
            return None
        return json.loads(m[1]).get(key)

    def close(self):
        try:
            self.s.close()
        except OSError:
            pass


def pair(port, source="127.0.0.1", tls=False):
    """A host and a viewer paired through the relay, or None."""
    host, viewer = Ws(port, source, tls), Ws(port, source, tls)
    sid = str(100000000 + int.from_bytes(os.urandom(4), "big") % 900000000)
    if not (host.upgrade() and viewer.upgrade()):
        return None
    host.s.sendall(text({"protocol": 2, "role": "host", "sessionId": sid, "type": "register"}))
    if host.field("type") != "registered":
        return None
    viewer.s.sendall(text({"password": PROOF, "protocol": 2, "role": "viewer", "sessionId": sid,
                           "type": "register"}))
    request = host.field("requestId")
    host.s.sendall(text({"accepted": True, "requestId": request, "type": "connectResponse"}))
    if host.field("type") != "connected" or viewer.field("type") != "connected":
        return None
    return host, viewer


def honest(port, tls, seconds, results):
    """Streams 300 KB frames at 12.5/s and reports latencies (ms) and whether it was dropped."""
    try:
        p = pair(port, "127.0.0.2", tls)
    except OSError:
        p = None
    if p is None:
        results.put({"paired": False})
        return
    host, viewer = p
    latencies, dropped = [], False
    done = threading.Event()

    def receive():
        nonlocal dropped
        while not done.is_set():
            try:
                m = viewer.read()
            except (OSError, socket.timeout):
                continue
            if m is None:
                dropped = True
                return
            if m[0] == 2:
                latencies.append((time.monotonic_ns() - struct.unpack(">Q", m[1][:8])[0]) / 1e6)
            elif m[0] == 1:
                dropped = True
                return

    reader = threading.Thread(target=receive, daemon=True)
    reader.start()
    filler = b"H" * (FRAME - 8)
    start = time.monotonic()
    n = 0
    while time.monotonic() - start < seconds and not dropped:
        try:
            host.s.sendall(frame(2, struct.pack(">Q", time.monotonic_ns()) + filler))
        except OSError:
            dropped = True
            break
        n += 1
        time.sleep(max(0.0, start + n * 0.08 - time.monotonic()))
    time.sleep(0.5)
    done.set()
    results.put({"paired": True, "dropped": dropped, "sent": n, "latencies": latencies})


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def start_relay(binary, tls_dir=None):
    args = [binary, "--port", "0", "--metrics-port", "off", "--memory-budget-bytes", str(BUDGET),
            "--send-buffer-bytes", str(16 << 20)]
    if tls_dir:
        args += ["--cert", os.path.join(tls_dir, "cert.pem"), "--key", os.path.join(tls_dir, "key.pem")]
    out = tempfile.NamedTemporaryFile(prefix="kl-abuse-", delete=False)
    relay = subprocess.Popen(args, stdout=out, stderr=subprocess.DEVNULL)
    line = ""
    for _ in range(100):
        time.sleep(0.05)
        with open(out.name) as f:
            line = f.readline()
        if line:
            break
    os.unlink(out.name)
    return relay, int(json.loads(line)["url"].rsplit(":", 1)[1].split("/")[0])


def closed(sockets):
    n = 0
    for s in sockets:
        try:
            s.setblocking(False)
            while s.recv(1 << 16):
                pass
            n += 1  # the end, after whatever the relay said last
        except BlockingIOError:
            pass
        except OSError:
            n += 1
    return n


def label(binary):
    """A build's checkout folder (…/CHECKOUT/build/native/kestrelink-relay), else its path."""
    parts = binary.split(os.sep)
    return parts[-4] if parts[-3:-1] == ["build", "native"] and len(parts) >= 4 else parts[-1]


# --- attacks: each runs until `stop` is set and returns its sockets ---------------------------

def attack_empty(port, stop, reads):
    p = pair(port, "127.0.0.3")
    if p is None:
        return []
    host, viewer = p
    burst = frame(2, b"") * 10000
    host.s.settimeout(0.2)

    def slow_reader():
        while not stop.is_set():
            stop.wait(2.0)
            try:
                viewer.s.settimeout(0.1)
                viewer.s.recv(2048)
            except OSError:
                pass

    if reads:
        threading.Thread(target=slow_reader, daemon=True).start()
    while not stop.is_set():
        try:
            host.s.sendall(burst)
        except socket.timeout:
            continue
        except OSError:
            break
    return [host.s, viewer.s]


def attack_silent(port, stop):
    held = []
    for _ in range(4000):
        try:
            s = socket.socket()
            s.bind(("127.0.0.8", 0))
            s.settimeout(1)
            s.connect(("127.0.0.1", port))
            held.append(s)
        except OSError:
            pass
    stop.wait()
    return held


def attack_large(port, stop):
    senders = []
    message = frame(2, b"Z" * (8 << 20))
    for _ in range(16):
        try:
            w = Ws(port, "127.0.0.9")
            if w.upgrade():
                w.s.settimeout(1)
                senders.append(w)
        except OSError:
            pass
    for w in senders:
        try:
            w.s.sendall(message)
        except OSError:
            pass
    stop.wait()
    return [w.s for w in senders]


def attack_headers(port, stop):
    held = []
    header = frame(2, b"", 8 << 20)[:14]
    for i in range(128):
        if stop.is_set():
            break
        try:
            p = pair(port, f"127.0.3.{i // 16 + 1}")
            if p is None:
                continue
            p[0].s.sendall(header + b"x")
            held.append(p)
        except OSError:
            pass
    while not stop.wait(1.5):
        for host, _ in held:
            try:
                host.s.send(b"x")
            except OSError:
                pass
    return [s for p in held for s in (p[0].s, p[1].s)]


def attack_upgrades(port, stop):
    held = []
    for i in range(800):
        try:
            s = socket.socket()
            s.bind((f"127.0.4.{i // 8 + 1}", 0))
            s.settimeout(1)
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /ws HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 7900)
            held.append(s)
        except OSError:
            pass
    texts = []
    for i in range(8):
        try:
            p = pair(port, "127.0.0.5")
            if p:
                p[0].s.settimeout(0.5)
                texts.append(p)
        except OSError:
            pass
    big = frame(1, b"t" * (8 << 20))
    for host, _ in texts:
        try:
            host.s.sendall(big)
        except OSError:
            pass
    stop.wait()
    return held + [s for p in texts for s in (p[0].s, p[1].s)]


def attack_tls(port, stop):
    """Key update after key update through libssl itself (Python's ssl cannot ask for one)."""
    libssl = ctypes.CDLL(ctypes.util.find_library("ssl"))
    for name, args, result in [("TLS_client_method", [], ctypes.c_void_p),
                               ("SSL_CTX_new", [ctypes.c_void_p], ctypes.c_void_p),
                               ("SSL_new", [ctypes.c_void_p], ctypes.c_void_p),
                               ("SSL_set_fd", [ctypes.c_void_p, ctypes.c_int], ctypes.c_int),
                               ("SSL_connect", [ctypes.c_void_p], ctypes.c_int),
                               ("SSL_key_update", [ctypes.c_void_p, ctypes.c_int], ctypes.c_int),
                               ("SSL_do_handshake", [ctypes.c_void_p], ctypes.c_int),
                               ("SSL_get_error", [ctypes.c_void_p, ctypes.c_int], ctypes.c_int)]:
        getattr(libssl, name).argtypes, getattr(libssl, name).restype = args, result
    s = socket.socket()
    s.bind(("127.0.0.7", 0))
    s.connect(("127.0.0.1", port))
    tls = libssl.SSL_new(libssl.SSL_CTX_new(libssl.TLS_client_method()))
    libssl.SSL_set_fd(tls, s.fileno())
    if libssl.SSL_connect(tls) != 1:
        return ["closed"]
    s.setblocking(False)
    want_write = 3
    ended = False
    while not stop.is_set():
        libssl.SSL_key_update(tls, 1)  # SSL_KEY_UPDATE_REQUESTED
        result = libssl.SSL_do_handshake(tls)
        if result != 1:
            if libssl.SSL_get_error(tls, result) != want_write:
                ended = True
                break
            select.select([], [s], [], 0.05)
        try:
            if s.recv(1, socket.MSG_PEEK) == b"":
                ended = True
                break
        except BlockingIOError:
            pass
        except OSError:
            ended = True
            break
    s.close()
    return ["closed" if ended else "open"]


def make_certificate(folder):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "1", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=IP:127.0.0.1", "-keyout", os.path.join(folder, "key.pem"),
                    "-out", os.path.join(folder, "cert.pem")], check=True, capture_output=True)


def run(binary, name, seconds, tls_dir):
    tls = name == "tls"
    relay, port = start_relay(binary, tls_dir if tls else None)
    base = rss_kb(relay.pid)
    results = multiprocessing.Queue()
    streamer = multiprocessing.Process(target=honest, args=(port, tls, seconds, results))
    streamer.start()
    time.sleep(1.0)  # the honest pair streams first
    stop = threading.Event()
    attacker_sockets = []
    attacks = {"silent": lambda: attack_silent(port, stop),
               "large": lambda: attack_large(port, stop),
               "empty": lambda: attack_empty(port, stop, False),
               "slowread": lambda: attack_empty(port, stop, True),
               "headers": lambda: attack_headers(port, stop),
               "upgrades": lambda: attack_upgrades(port, stop),
               "tls": lambda: attack_tls(port, stop)}
    attacker = threading.Thread(target=lambda: attacker_sockets.extend(attacks[name]()), daemon=True)
    attacker.start()
    peak = base
    end = time.monotonic() + seconds - 1.0
    fresh = None
    while time.monotonic() < end and relay.poll() is None:
        peak = max(peak, rss_kb(relay.pid))
        if fresh is None and time.monotonic() > end - seconds / 2:
            try:
                w = Ws(port, "127.0.0.6", tls)
                ok = w.upgrade()
                if ok:
                    w.s.sendall(text({"protocol": 2, "role": "host", "sessionId": "987654321",
                                      "type": "register"}))
                    ok = w.field("type") == "registered"
                w.close()
                fresh = "yes" if ok else "no"
            except OSError:
                fresh = "no"
        time.sleep(0.1)
    honest_result = results.get(timeout=30)
    streamer.join()
    stop.set()
    attacker.join(timeout=15)
    peak = max(peak, rss_kb(relay.pid))
    if tls:
        attacker_closed = f"{attacker_sockets.count('closed')}/{len(attacker_sockets)}"
    else:
        attacker_closed = f"{closed([s for s in attacker_sockets if not isinstance(s, str)])}/{len(attacker_sockets)}"
    running = relay.poll() is None
    relay.terminate()
    relay.wait()
    lat = sorted(honest_result.get("latencies", []))
    if lat:
        p50, p99 = lat[len(lat) // 2], lat[min(len(lat) - 1, int(len(lat) * 0.99))]
        latency = f"{p50:7.1f} {p99:7.1f}"
    else:
        latency = "      -       -"
    dropped = "not paired" if not honest_result.get("paired") else ("DROPPED" if honest_result["dropped"] else "kept")
    print(f"{name:9} {label(binary)[:14]:14} "
          f"{peak / 1024:8.1f} {dropped:10} {len(lat):6} {latency} {fresh or '-':5} {attacker_closed:>9}"
          f"{'' if running else '  (relay ended)'}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("relays", nargs="+", metavar="RELAY", help="relay binaries to compare")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each scenario (default 10)")
    parser.add_argument("--only", default="silent,large,empty,slowread,headers,upgrades,tls",
                        help="comma-separated scenarios to run")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))
    tls_dir = tempfile.mkdtemp(prefix="kl-abuse-tls-")
    make_certificate(tls_dir)
    print(f"budget {BUDGET >> 20} MiB; honest pair: {FRAME // 1000} KB frames at 12.5/s; "
          f"{args.seconds:.0f} s per scenario")
    print("scenario  relay          peak MB  honest     frames  p50 ms  p99 ms fresh attackers closed")
    try:
        for name in args.only.split(","):
            for binary in args.relays:
                run(os.path.abspath(binary), name, args.seconds, tls_dir)
    finally:
        shutil.rmtree(tls_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
