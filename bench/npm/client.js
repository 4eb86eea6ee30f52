#!/usr/bin/env node
// The npm `smpp` package (the version tests/interop pins) as a benchmark
// client: binds as a transmitter to 127.0.0.1:PORT and pipelines COUNT
// submit_sm with at most WINDOW outstanding, each response answered by the
// next request, every response matched by sequence number.
// Usage: node client.js PORT WINDOW COUNT
// Prints one line: {"msgs":N,"matched":M,"secs":S,"cpu_us":C} and exits 0
// when every response came back successful and matched; 1 otherwise.
'use strict';

const smpp = require('smpp');

const [port, windowSize, count] = process.argv.slice(2).map(Number);
if (!port || !windowSize || !count) {
  process.stderr.write('usage: node client.js PORT WINDOW COUNT\n');
  process.exit(2);
}

const session = smpp.connect({ url: `smpp://127.0.0.1:${port}` });
let sent = 0, answered = 0, matched = 0;
const outstanding = new Set();
let t0, cpu0;

function finish(ok) {
  const secs = Number(process.hrtime.bigint() - t0) / 1e9;
  const cpu = process.cpuUsage(cpu0);
  process.stdout.write(JSON.stringify({ msgs: count, matched, secs, cpu_us: cpu.user + cpu.system }) + '\n');
  session.destroy();
  process.exit(ok ? 0 : 1);
}

function onResponse(pdu) {
  if (pdu.command_status === 0 && outstanding.delete(pdu.sequence_number)) ++matched;
  ++answered;
  if (answered === count) finish(matched === count);
  else topUp();
}

function topUp() {
  while (sent < count && sent - answered < windowSize) {
    ++sent;
    const pdu = new smpp.PDU('submit_sm', {
      source_addr_ton: 1, source_addr_npi: 1, source_addr: 'VELMOR',
      dest_addr_ton: 1, dest_addr_npi: 1, destination_addr: '447700900123',
      short_message: 'Benchmark message 0001',
    });
    session.send(pdu, onResponse);
    outstanding.add(pdu.sequence_number);
  }
}

session.on('error', (e) => {
  process.stderr.write(`npm smpp client: ${e.message}\n`);
  process.exit(1);
});
session.on('connect', () => {
  session.bind_transmitter({ system_id: 'bench', password: 'pw' }, (pdu) => {
    if (pdu.command_status !== 0) {
      process.stderr.write(`npm smpp client: bind refused, status ${pdu.command_status}\n`);
      process.exit(1);
    }
    t0 = process.hrtime.bigint();
    cpu0 = process.cpuUsage();
    topUp();
  });
});
setTimeout(() => {
  process.stderr.write('npm smpp client: no finish within 300 s\n');
  process.exit(1);
}, 300000).unref();
