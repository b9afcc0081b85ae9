#!/usr/bin/env node
// A minimal relay of the same protocol on Node's `ws` package: what bench/relay_load.sh
// measures kestrelink-relay against. Registration, request, answer, pairing, forwarding with
// the same flow control (a sender's reading paused while its partner owes more than 512 KB)
// and the partner's notice on close; none of the relay's limits, time-outs or logging.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const { WebSocketServer } = require('ws');

const usage = `Usage: node relay.js [--port N] [--metrics-port N] [--cert FILE --key FILE]

Serves the Kestrelink relay protocol on 127.0.0.1 path /ws (wss:// with --cert and --key),
prints one JSON line with its URLs, and counts forwarded bytes on http://127.0.0.1:N/metrics.
`;

function parseArgs(argv) {
  const o = { port: 0, metricsPort: 0, cert: '', key: '' };
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i];
    if (name === '--help' || name === '-h') {
      process.stdout.write(usage);
      process.exit(0);
    }
    const value = argv[++i];
    if (value === undefined) fail(`${name} needs a value`);
    if (name === '--port') o.port = port(name, value);
    else if (name === '--metrics-port') o.metricsPort = port(name, value);
    else if (name === '--cert') o.cert = value;
    else if (name === '--key') o.key = value;
    else fail(`unknown option ${name} (see --help)`);
  }
  if (!o.cert !== !o.key) fail('--cert and --key go together');
  return o;
}

function port(name, value) {
  const n = Number(value);
  if (!/^\d+$/.test(value) || n > 65535) fail(`${name} needs a port number, not "${value}"`);
  return n;
}

function fail(message) {
  process.stderr.write(`relay.js: ${message}\n`);
  process.exit(2);
}

const options = parseArgs(process.argv.slice(2));
const kPairedBuffer = 512 * 1024;
const hosts = new Map(); // sessionId -> host connection
let forwardedBytes = 0;
let forwardedMessages = 0;

function send(ws, message) {
  if (ws.readyState === ws.OPEN) ws.send(JSON.stringify(message));
}

function refuse(ws, message) {
  send(ws, { type: 'error', message });
  ws.close(1008);
}

function onText(ws, state, text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch {
    return refuse(ws, 'Geçersiz istek.');
  }
  if (state.role === null) {
    const sessionId = message.sessionId;
    if (message.type !== 'register' || message.protocol !== 2 || typeof sessionId !== 'string' ||
        !/^[1-9][0-9]{8}$/.test(sessionId))
      return refuse(ws, 'Geçersiz istek.');
    if (message.role === 'host') {
      if (hosts.has(sessionId)) return refuse(ws, 'Bu ID başka bir bilgisayarda kullanımda.');
      state.role = 'host';
      state.sessionId = sessionId;
      hosts.set(sessionId, ws);
      return send(ws, { type: 'registered', protocol: 2 });
    }
    if (message.role === 'viewer' && typeof message.password === 'string' && message.password.length === 100) {
      const host = hosts.get(sessionId);
      if (!host) return refuse(ws, 'Bu ID ile bağlı bir bilgisayar bulunamadı.');
      if (host.state.peer) return refuse(ws, 'Karşı taraf şu anda başka bir bağlantıyla meşgul.');
      state.role = 'viewer';
      state.requestId = crypto.randomBytes(16).toString('hex');
      state.peer = host;
      host.state.peer = ws;
      host.state.requestId = state.requestId;
      return send(host, { type: 'connectRequest', password: message.password, requestId: state.requestId });
    }
    return refuse(ws, 'Geçersiz istek.');
  }
  if (state.role === 'host' && message.type === 'connectResponse') {
    if (!state.peer || state.paired || message.requestId !== state.requestId) return;
    const viewer = state.peer;
    if (message.accepted === true) {
      state.paired = viewer.state.paired = true;
      send(ws, { type: 'connected', requestId: state.requestId });
      send(viewer, { type: 'connected', requestId: state.requestId });
    } else {
      state.peer = null;
      viewer.state.peer = null;
      refuse(viewer, 'Bağlantı isteği reddedildi.');
    }
  }
}

function onClose(ws, state) {
  if (state.role === 'host' && hosts.get(state.sessionId) === ws) hosts.delete(state.sessionId);
  const peer = state.peer;
  if (!peer) return;
  if (state.paired || peer.state.role === 'host') {
    send(peer, { type: 'peerDisconnected', requestId: state.requestId });
  } else {
    refuse(peer, 'Bu ID ile bağlı bir bilgisayar bulunamadı.');
  }
  peer.state.peer = null;
  peer.state.paired = false;
  if (peer.state.held) resume(peer, peer.state);
}

function resume(ws, state) {
  state.held = false;
  ws._socket.resume();
}

const server = options.cert
  ? https.createServer({ cert: fs.readFileSync(options.cert), key: fs.readFileSync(options.key) })
  : http.createServer();
server.on('request', (req, res) => res.writeHead(404).end('Not found\n'));
const wss = new WebSocketServer({ server, path: '/ws', maxPayload: 8 * 1024 * 1024, perMessageDeflate: false });
wss.on('connection', (ws) => {
  const state = { role: null, sessionId: '', requestId: '', peer: null, paired: false, held: false };
  ws.state = state;
  ws.on('message', (data, isBinary) => {
    if (!isBinary) return onText(ws, state, data.toString());
    if (!state.paired || !state.peer) return refuse(ws, 'Geçersiz istek.');
    forwardedBytes += data.length;
    forwardedMessages += 1;
    const peer = state.peer;
    peer.send(data, { binary: true }, () => {
      if (state.held && peer.bufferedAmount <= kPairedBuffer) resume(ws, state);
    });
    if (!state.held && peer.bufferedAmount > kPairedBuffer) {
      state.held = true;
      ws._socket.pause();
    }
  });
  ws.on('close', () => onClose(ws, state));
  ws.on('error', () => {});
});

const metrics = http.createServer((req, res) => {
  if (req.url !== '/metrics') return res.writeHead(404).end('Not found\n');
  res.writeHead(200, { 'Content-Type': 'text/plain; version=0.0.4; charset=utf-8' });
  res.end(`kestrelink_relay_registered_hosts ${hosts.size}\n` +
          `kestrelink_relay_forwarded_bytes_total ${forwardedBytes}\n` +
          `kestrelink_relay_forwarded_messages_total ${forwardedMessages}\n`);
});

server.listen(options.port, '127.0.0.1', () => {
  metrics.listen(options.metricsPort, '127.0.0.1', () => {
    const scheme = options.cert ? 'wss' : 'ws';
    console.log(JSON.stringify({
      event: 'listening',
      url: `${scheme}://127.0.0.1:${server.address().port}/ws`,
      metrics: `http://127.0.0.1:${metrics.address().port}/metrics`,
    }));
  });
});
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));
