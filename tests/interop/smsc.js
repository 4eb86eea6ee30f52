#!/usr/bin/env node
// A scripted SMSC for the interop tests, built on the npm package `smpp`: an
// SMPP implementation written independently of ours, so each side checks the
// other's reading of the protocol.
//
// The C++ test is the director. It writes one JSON directive per line to our
// stdin; we carry them out strictly in order:
//
//   {"step":n, "expect":{...}, "then":[send, ...]}
//       Take the next PDU the ESME sent (waiting up to EXPECT_TIMEOUT_MS),
//       compare it with "expect", print "ok n <command>" or
//       "fail n <command>: <differences>", then perform the sends in "then".
//   {"step":n, "send":{...}, "reply":true}
//       Build a PDU with `smpp` from the given fields and send it. With
//       "reply" it answers the PDU last taken by an expect (its response PDU,
//       same sequence_number); otherwise `smpp` numbers it as a request.
//       "force_status" in the fields sends a success response with that
//       command_status put into its octets afterwards.
//       Prints "sent n <command> <sequence_number> <octets in hex>".
//   {"step":n, "raw":"<hex>"}
//       Writes the octets to the socket unchanged (for PDUs `smpp` will not
//       build). Prints "sent n raw 0 <hex>".
//   {"end":true}
//       Fails for any PDU received and never expected, prints
//       "done <failures>" and exits with status 0 only when nothing failed.
//
// First of all we listen on an ephemeral port of 127.0.0.1 and print
// "listening <port>". Diagnostics go to stderr. Every wait is bounded, so a
// silent peer ends this process rather than hanging the test run.
//
// Expectations: "command", "command_status" (0 when absent) and
// "sequence_number" are compared with the header; every other key of the
// parsed PDU, mandatory fields and TLVs alike, must appear in "expect" with an
// equal value, and every key of "expect" must be in the PDU, so a missing or a
// spurious TLV fails. `smpp` reports octet strings as Buffers, written here
// {"hex":"..."}, and SMPP absolute times as Dates, written {"time":"<ISO>"}.
// {"present":true} accepts any value. In a PDU to send, {"hex":"..."} and
// {"latin1":"..."} give a Buffer, so that `smpp` sends those octets as they
// are instead of encoding a string by its own choice of alphabet. "raw_tail":"<hex>" additionally requires
// the PDU's octets to end so, for what `smpp` cannot be trusted to parse.
'use strict';

const smpp = require('smpp');
const readline = require('readline');

const EXPECT_TIMEOUT_MS = 5000;
const WATCHDOG_MS = 30000;
const HEADER_KEYS = new Set(['command_length', 'command_id', 'command', 'command_status', 'sequence_number']);

let session = null;
let failures = 0;
const directives = [];   // from stdin, not yet carried out
const received = [];     // {pdu, raw} from the ESME, not yet expected
let lastTaken = null;    // the PDU the latest expect consumed
let expectTimer = null;
let rawPending = Buffer.alloc(0);
const rawFrames = [];    // octets of each PDU, in arrival order

function say(line) { process.stdout.write(line + '\n'); }
function note(line) { process.stderr.write('[smsc.js] ' + line + '\n'); }

let finished = false;
function finish(code) {
  if (finished) return;
  finished = true;
  say('done ' + failures);
  // Let stdout drain before leaving; the director reads it through a pipe.
  process.stdout.write('', () => process.exit(code));
}

function fail(step, what, why) {
  failures += 1;
  say('fail ' + step + ' ' + what + ': ' + why);
}

// ---- values between JSON and `smpp` ---------------------------------------

function toJson(v) {
  if (Buffer.isBuffer(v)) return { hex: v.toString('hex') };
  if (v instanceof Date) return { time: v.toISOString() };
  if (Array.isArray(v)) return v.map(toJson);
  if (v && typeof v === 'object') {
    const out = {};
    for (const [k, x] of Object.entries(v)) out[k] = toJson(x);
    return out;
  }
  return v;
}

function fromJson(v) {
  if (Array.isArray(v)) return v.map(fromJson);
  if (v && typeof v === 'object') {
    if (typeof v.hex === 'string' && Object.keys(v).length === 1) return Buffer.from(v.hex, 'hex');
    if (typeof v.latin1 === 'string' && Object.keys(v).length === 1) return Buffer.from(v.latin1, 'latin1');
    const out = {};
    for (const [k, x] of Object.entries(v)) out[k] = fromJson(x);
    return out;
  }
  return v;
}

// Differences between an expected and an actual JSON value, as readable paths.
function diff(path, want, got, out) {
  if (want && typeof want === 'object' && !Array.isArray(want) && want.present === true &&
      Object.keys(want).length === 1) {
    if (got === undefined) out.push(path + ' missing');
    return;
  }
  if (Array.isArray(want)) {
    if (!Array.isArray(got) || got.length !== want.length) {
      out.push(path + ' = ' + JSON.stringify(got) + ', want ' + JSON.stringify(want));
      return;
    }
    want.forEach((w, i) => diff(path + '[' + i + ']', w, got[i], out));
    return;
  }
  if (want && typeof want === 'object') {
    if (!got || typeof got !== 'object' || Array.isArray(got)) {
      out.push(path + ' = ' + JSON.stringify(got) + ', want ' + JSON.stringify(want));
      return;
    }
    for (const k of new Set([...Object.keys(want), ...Object.keys(got)])) {
      const at = path ? path + '.' + k : k;
      if (!(k in got)) out.push(at + ' missing');
      else if (!(k in want)) out.push(at + ' unexpected = ' + JSON.stringify(got[k]));
      else diff(at, want[k], got[k], out);
    }
    return;
  }
  if (want !== got) out.push(path + ' = ' + JSON.stringify(got) + ', want ' + JSON.stringify(want));
}

function check(step, expect, item) {
  const { pdu, raw } = item;
  const want = Object.assign({}, expect);
  const rawTail = want.raw_tail;
  delete want.raw_tail;
  const problems = [];
  if (pdu.command !== want.command) problems.push('command = ' + pdu.command + ', want ' + want.command);
  if (pdu.command_status !== (want.command_status || 0))
    problems.push('command_status = ' + pdu.command_status + ', want ' + (want.command_status || 0));
  if (want.sequence_number !== undefined && pdu.sequence_number !== want.sequence_number)
    problems.push('sequence_number = ' + pdu.sequence_number + ', want ' + want.sequence_number);
  if (raw && pdu.command_length !== raw.length)
    problems.push('command_length = ' + pdu.command_length + ' but ' + raw.length + ' octets framed');
  const body = {};
  for (const [k, v] of Object.entries(pdu)) if (!HEADER_KEYS.has(k)) body[k] = toJson(v);
  const wantBody = {};
  for (const [k, v] of Object.entries(want)) if (!HEADER_KEYS.has(k)) wantBody[k] = v;
  diff('', wantBody, body, problems);
  if (rawTail !== undefined) {
    const tail = Buffer.from(rawTail.replace(/\s+/g, ''), 'hex');
    if (!raw || raw.length < tail.length || !raw.subarray(raw.length - tail.length).equals(tail))
      problems.push('octets end ' + (raw ? raw.subarray(Math.max(0, raw.length - tail.length)).toString('hex') : '?') +
                    ', want ' + tail.toString('hex'));
  }
  if (problems.length) fail(step, pdu.command, problems.join('; '));
  else say('ok ' + step + ' ' + pdu.command);
}

// ---- carrying out directives ------------------------------------------------

function send(step, wanted, reply) {
  const fields = fromJson(wanted);
  const command = fields.command;
  const forceStatus = fields.force_status;
  delete fields.command;
  delete fields.force_status;
  let pdu;
  if (reply) {
    if (!lastTaken) return fail(step, command, 'no PDU to reply to');
    pdu = lastTaken.response(fields);
    if (pdu.command !== command) return fail(step, command, 'the response to ' + lastTaken.command + ' is ' + pdu.command);
  } else {
    pdu = new smpp.PDU(command, fields);
  }
  if (forceStatus !== undefined) {
    // `smpp` sends a response whose command_status is not 0 as a bare
    // header (which SMPP 3.4 allows). To see the ESME read a body that comes
    // with an error anyway, the response is built as a success and its
    // command_status set in the octets.
    const octets = pdu.toBuffer();
    octets.writeUInt32BE(forceStatus, 8);
    session.socket.write(octets);
    say('sent ' + step + ' ' + command + ' ' + pdu.sequence_number + ' ' + octets.toString('hex'));
    return;
  }
  // `smpp` numbers requests itself; responses and generic_nack keep the
  // sequence_number they were given.
  session.send(pdu);
  // The octets go along so that the director can hold what it decoded
  // against exactly what went out.
  say('sent ' + step + ' ' + command + ' ' + pdu.sequence_number + ' ' + pdu.toBuffer().toString('hex'));
}

function pump() {
  while (directives.length) {
    const d = directives[0];
    if (d.end) {
      directives.shift();
      for (const { pdu } of received.splice(0)) fail('end', pdu.command, 'received but never expected');
      return finish(failures ? 1 : 0);
    }
    if (!session) return;  // everything else needs the ESME connected
    if (d.expect) {
      if (!received.length) {
        if (!expectTimer)
          expectTimer = setTimeout(() => {
            fail(d.step, d.expect.command, 'nothing received within ' + EXPECT_TIMEOUT_MS + ' ms');
            finish(2);
          }, EXPECT_TIMEOUT_MS);
        return;
      }
      clearTimeout(expectTimer);
      expectTimer = null;
      directives.shift();
      const item = received.shift();
      lastTaken = item.pdu;
      check(d.step, d.expect, item);
      for (const s of d.then || []) send(d.step, s, true);
    } else if (d.send) {
      directives.shift();
      send(d.step, d.send, d.reply === true);
    } else if (d.raw !== undefined) {
      directives.shift();
      session.socket.write(Buffer.from(d.raw, 'hex'));
      say('sent ' + d.step + ' raw 0 ' + d.raw);
    } else {
      directives.shift();
      fail(d.step, '?', 'unknown directive ' + JSON.stringify(d));
    }
  }
}

// Cuts the octet stream into PDUs by command_length, alongside `smpp`'s own
// framing, so that an expectation can look at the exact octets.
function tap(chunk) {
  rawPending = Buffer.concat([rawPending, chunk]);
  while (rawPending.length >= 4) {
    const len = rawPending.readUInt32BE(0);
    if (len < 16 || rawPending.length < len) break;
    rawFrames.push(rawPending.subarray(0, len));
    rawPending = rawPending.subarray(len);
  }
}

// ---- wiring -------------------------------------------------------------------

const server = smpp.createServer((s) => {
  if (session) {
    note('a second connection was refused');
    s.destroy();
    return;
  }
  session = s;
  s.socket.on('data', tap);
  // Every PDU, requests, responses and unknown commands alike, goes through
  // 'pdu'; `smpp` answers nothing by itself.
  s.on('pdu', (pdu) => {
    received.push({ pdu, raw: rawFrames.shift() });
    setImmediate(pump);
  });
  s.on('error', (e) => note('session error: ' + e.message));
  s.on('close', () => note('session closed'));
  pump();
});

server.on('error', (e) => { note('server error: ' + e.message); process.exit(4); });
server.listen(0, '127.0.0.1', () => say('listening ' + server.address().port));

const rl = readline.createInterface({ input: process.stdin });
rl.on('line', (line) => {
  if (!line.trim()) return;
  try {
    directives.push(JSON.parse(line));
  } catch (e) {
    fail('?', 'directive', 'not JSON: ' + line);
  }
  pump();
});
// The director went away: nothing more can be checked.
rl.on('close', () => {
  if (!directives.some((d) => d.end)) {
    note('stdin closed before the end directive');
    finish(5);
  }
});

setTimeout(() => { note('watchdog: the run took longer than ' + WATCHDOG_MS + ' ms'); finish(3); }, WATCHDOG_MS).unref();
