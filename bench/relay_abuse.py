#!/usr/bin/env python3
"""The relay's memory under two floods (figures, not a test).

  bench/relay_abuse.py [RELAY_BINARY]    default build/native/kestrelink-relay

silent: 4,000 TCP connections from 127.0.0.2 that never send, opened within about a second
        and held; meanwhile a client from 127.0.0.3 tries to register a host.
large:  16 connections from 127.0.0.4 upgrade, never register, and each sends one 8 MiB
        binary message.
Prints the relay's resident memory (VmRSS now, VmHWM peak) from /proc before and after.
"""
import json
import os
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELAY = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "build/native/kestrelink-relay")
UPGRADE = (b"GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def frame(opcode, payload):
    n = len(payload)
    head = bytes([0x80 | opcode])
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    return head + b"\0\0\0\0" + payload


def connect(port, source, timeout=5):
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def upgrade(s):
    s.sendall(UPGRADE)
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            return False
        head += chunk
    return head.startswith(b"HTTP/1.1 101")


def start_relay():
    out = tempfile.NamedTemporaryFile(prefix="kl-abuse-", delete=False)
    relay = subprocess.Popen([RELAY, "--port", "0", "--metrics-port", "off"], stdout=out, stderr=subprocess.DEVNULL)
    for _ in range(100):
        time.sleep(0.05)
        with open(out.name) as f:
            line = f.readline()
        if line:
            break
    os.unlink(out.name)
    return relay, int(json.loads(line)["url"].rsplit(":", 1)[1].split("/")[0])


def register_host(port, source):
    try:
        s = connect(port, source)
        if not upgrade(s):
            return "upgrade refused"
        s.sendall(frame(1, json.dumps({"protocol": 2, "role": "host", "sessionId": "123456789",
                                       "type": "register"}, separators=(",", ":")).encode()))
        answer = s.recv(4096)
        s.close()
        return "registered" if b'"registered"' in answer else "refused: " + answer[2:].decode(errors="replace")
    except OSError as e:
        return f"failed: {e}"


def silent_flood():
    relay, port = start_relay()
    before = status_kb(relay.pid, "VmRSS")
    held = []
    start = time.time()
    for _ in range(4000):
        try:
            held.append(connect(port, "127.0.0.2"))
        except OSError:
            pass
    opened = time.time() - start
    time.sleep(0.5)
    honest = register_host(port, "127.0.0.3")
    during = status_kb(relay.pid, "VmRSS")
    time.sleep(max(0.0, 2.0 - (time.time() - start)))
    alive = 0
    for s in held:
        s.setblocking(False)
        try:
            alive += 0 if s.recv(1) == b"" else 1
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
    print(f"silent flood: 4000 connects from one address in {opened:.1f} s; relay RSS {before} kB before, "
          f"{during} kB during, peak {status_kb(relay.pid, 'VmHWM')} kB; still open after 2 s: {alive}; "
          f"a client from another address: {honest}")
    for s in held:
        s.close()
    relay.terminate()
    relay.wait()


def large_senders():
    relay, port = start_relay()
    before = status_kb(relay.pid, "VmHWM")
    senders = []
    for _ in range(16):
        s = connect(port, "127.0.0.4")
        upgrade(s)
        senders.append(s)
    message = frame(2, b"Z" * (8 << 20))
    start = time.time()
    for s in senders:
        try:
            s.sendall(message)
        except OSError:
            pass
    time.sleep(1.0)
    print(f"16 unregistered senders of 8 MiB: relay peak RSS {before} kB before, "
          f"{status_kb(relay.pid, 'VmHWM')} kB after ({time.time() - start:.1f} s)")
    for s in senders:
        s.close()
    relay.terminate()
    relay.wait()


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))
    print(f"relay: {RELAY}")
    silent_flood()
    large_senders()
