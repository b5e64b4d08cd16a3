// A scriptable SMSC made of the npm "smpp" package, the far end of the
// gateway's SMPP links in the system tests. It listens on 127.0.0.1 (the port
// given as the first argument, 0 for any), reports everything it receives on
// stdout and takes commands on stdin.
//
// Output: one event per line, "event<TAB>key=value<TAB>...", values
// URI-encoded, octet fields upper-case hex; every event carries t (ms since
// the script started) and, for session events, session (a number per
// accepted connection).
//   listening port | stopped | bind command system_id password system_type
//   interface_version status | submit_sm <every field and optional parameter>
//   answer message_id | enquire_link | unbind | closed | deliver_resp tag
//   status | deliver_error tag message | error message
//
// Input: one JSON command per line:
//   {"cmd":"deliver", ...deliver_sm fields, "tag":..}  to the newest session
//       bound as receiver or transceiver (short_message and message_payload
//       in hex)
//   {"cmd":"status","status":N}       default answer of a submit_sm (0 accepts)
//   {"cmd":"bind_status","status":N}  answer binds with N (0 accepts)
//   {"cmd":"close"}                   drop every connection
//   {"cmd":"stop"}                    stop listening and drop every connection
//   {"cmd":"listen"}                  listen again on the same port
//   {"cmd":"enquire"} / {"cmd":"unbind"}  to the newest session
//   {"cmd":"exit"}
//
// The answer to a submit_sm depends on its destination_addr:
//   "throttle"        always 0x58;  "throttle<N>"  0x58 the first N times
//   "fail<HH>"        always status 0xHH; "fail<HH>x<N>" the first N times
//   "drop"            closes the connection without answering;
//   "dropx<N>"        the first N times
//   "slow<ms>"        answered after ms milliseconds
//   "silent"          never answered; "silentx<N>" the first N times
//   anything else     the default answer (accepted with message_id "M<n>",
//                     n counting from 1 over all accepted submits)
// "The first N times" counts per destination address.
'use strict';

const {load} = require('./node_common');
const smpp = load('smpp');
const defs = load('smpp/lib/defs');
const readline = require('readline');

// Raw octets both ways: no guessed encodings.
for (const k of ['ASCII', 'LATIN1', 'UCS2']) delete defs.encodings[k];
// SMPP times as they were sent, not turned into dates.
defs.filters.time.decode = (v) => v;

const t0 = Date.now();
let port = Number(process.argv[2] || 0);

function emit(event, fields) {
  const parts = [event, 't=' + (Date.now() - t0)];
  for (const [k, v] of Object.entries(fields || {})) parts.push(k + '=' + encodeURIComponent(String(v)));
  process.stdout.write(parts.join('\t') + '\n');
}

function hex(b) {
  return b ? Buffer.from(b).toString('hex').toUpperCase() : '';
}

// short_message / message_payload as on the wire (header and text).
function rawMessage(m) {
  if (m === undefined || m === null) return '';
  if (Buffer.isBuffer(m)) return hex(m);
  if (typeof m === 'string') return hex(Buffer.from(m, 'latin1'));
  let out = Buffer.alloc(0);
  if (m.udh && m.udh.length) {
    const ies = Buffer.concat(m.udh);
    out = Buffer.concat([Buffer.from([ies.length]), ies]);
  }
  const body = m.message === undefined ? Buffer.alloc(0)
      : Buffer.isBuffer(m.message) ? m.message : Buffer.from(String(m.message), 'latin1');
  return hex(Buffer.concat([out, body]));
}

function fieldText(v) {
  if (Buffer.isBuffer(v)) return hex(v);
  if (v !== null && typeof v === 'object') return JSON.stringify(v);
  return String(v);
}

const kHeader = new Set(['command', 'command_length', 'command_id', 'command_status', 'sequence_number',
                         'short_message', 'message_payload']);

let sessionCount = 0;
const sessions = [];  // {s, id, kind}
let defaultStatus = 0;
let bindStatus = 0;
let accepted = 0;
const seen = new Map();  // destination -> submits so far

function newestReceiver() {
  for (let i = sessions.length - 1; i >= 0; --i)
    if (sessions[i].kind === 'bind_receiver' || sessions[i].kind === 'bind_transceiver') return sessions[i];
  return null;
}

// What a submit to dest gets: {status}, {drop:true}, {silent:true}, {delay}.
function decide(dest) {
  const n = (seen.get(dest) || 0) + 1;
  seen.set(dest, n);
  let m;
  if (dest === 'silent') return {silent: true};
  if ((m = /^silentx(\d+)$/.exec(dest))) return n <= Number(m[1]) ? {silent: true} : {status: defaultStatus};
  if (dest === 'drop') return {drop: true};
  if ((m = /^dropx(\d+)$/.exec(dest))) return n <= Number(m[1]) ? {drop: true} : {status: defaultStatus};
  if (dest === 'throttle') return {status: 0x58};
  if ((m = /^throttle(\d+)$/.exec(dest))) return {status: n <= Number(m[1]) ? 0x58 : defaultStatus};
  if ((m = /^fail([0-9A-Fa-f]{1,8})$/.exec(dest))) return {status: parseInt(m[1], 16)};
  if ((m = /^fail([0-9A-Fa-f]{1,8})x(\d+)$/.exec(dest)))
    return {status: n <= Number(m[2]) ? parseInt(m[1], 16) : defaultStatus};
  if ((m = /^slow(\d+)$/.exec(dest))) return {status: defaultStatus, delay: Number(m[1])};
  return {status: defaultStatus};
}

function onSession(s) {
  const rec = {s, id: ++sessionCount, kind: ''};
  sessions.push(rec);
  s.on('error', (e) => emit('error', {session: rec.id, message: e.message}));
  s.on('close', () => {
    const i = sessions.indexOf(rec);
    if (i >= 0) sessions.splice(i, 1);
    emit('closed', {session: rec.id});
  });
  for (const cmd of ['bind_transmitter', 'bind_receiver', 'bind_transceiver']) {
    s.on(cmd, (pdu) => {
      const status = pdu.password === 'bad' ? 0x0E : bindStatus;
      if (status === 0) rec.kind = cmd;
      emit('bind', {
        session: rec.id,
        command: cmd,
        system_id: pdu.system_id,
        password: pdu.password,
        system_type: pdu.system_type,
        interface_version: pdu.interface_version,
        address_range: pdu.address_range,
        status,
      });
      s.send(pdu.response({command_status: status, system_id: 'NPMSMSC'}));
    });
  }
  s.on('enquire_link', (pdu) => {
    emit('enquire_link', {session: rec.id});
    s.send(pdu.response());
  });
  s.on('unbind', (pdu) => {
    emit('unbind', {session: rec.id});
    s.send(pdu.response());
  });
  s.on('submit_sm', (pdu) => {
    const f = {session: rec.id};
    for (const [k, v] of Object.entries(pdu)) {
      if (kHeader.has(k) || typeof v === 'function') continue;
      f[k] = fieldText(v);
    }
    f.sequence = pdu.sequence_number;
    f.short_message = rawMessage(pdu.short_message);
    if (pdu.message_payload !== undefined) f.message_payload = rawMessage(pdu.message_payload);
    if (pdu.dest_port !== undefined) f.destination_port = pdu.dest_port;  // the package's name for 0x020B
    const dest = String(pdu.destination_addr);
    const d = decide(dest);
    let id = '';
    if (d.status === 0 && !d.drop && !d.silent) id = 'M' + (++accepted);
    f.answer = d.drop ? 'drop' : d.silent ? 'silent' : d.status;
    f.message_id = id;
    emit('submit_sm', f);
    if (d.silent) return;
    if (d.drop) return s.destroy();
    const answer = () => s.send(pdu.response({command_status: d.status, message_id: id}));
    if (d.delay) setTimeout(answer, d.delay);
    else answer();
  });
}

const server = smpp.createServer(onSession);
server.on('error', (e) => emit('error', {message: 'listen: ' + e.message}));

function listen() {
  server.listen(port, '127.0.0.1', () => {
    port = server.address().port;
    emit('listening', {port});
  });
}
listen();

function dropAll() {
  for (const r of sessions.slice()) r.s.destroy();
}

function deliver(c) {
  const target = newestReceiver();
  if (!target) return emit('deliver_error', {tag: c.tag || '', message: 'no receiver session'});
  const opts = {
    service_type: c.service_type || '',
    source_addr_ton: c.source_addr_ton || 0,
    source_addr_npi: c.source_addr_npi || 0,
    source_addr: c.source_addr || '',
    dest_addr_ton: c.dest_addr_ton || 0,
    dest_addr_npi: c.dest_addr_npi || 0,
    destination_addr: c.destination_addr || '',
    esm_class: c.esm_class || 0,
    protocol_id: c.protocol_id || 0,
    data_coding: c.data_coding || 0,
    registered_delivery: c.registered_delivery || 0,
    short_message: Buffer.from(c.short_message || '', 'hex'),
  };
  for (const k of ['receipted_message_id', 'message_state', 'user_message_reference', 'network_error_code'])
    if (c[k] !== undefined) opts[k] = c[k];
  if (c.message_payload !== undefined) opts.message_payload = Buffer.from(c.message_payload, 'hex');
  target.s.deliver_sm(opts, (resp) =>
    emit('deliver_resp', {tag: c.tag || '', session: target.id, status: resp.command_status}));
}

const rl = readline.createInterface({input: process.stdin});
rl.on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    emit('error', {message: 'bad command'});
    return;
  }
  switch (c.cmd) {
    case 'exit':
      process.exit(0);
      break;
    case 'status':
      defaultStatus = Number(c.status) || 0;
      break;
    case 'bind_status':
      bindStatus = Number(c.status) || 0;
      break;
    case 'close':
      dropAll();
      break;
    case 'stop':
      server.close(() => emit('stopped', {}));
      dropAll();
      break;
    case 'listen':
      listen();
      break;
    case 'deliver':
      deliver(c);
      break;
    case 'enquire': {
      const r = sessions[sessions.length - 1];
      if (r) r.s.enquire_link({}, (p) => emit('enquire_resp', {session: r.id, status: p.command_status}));
      break;
    }
    case 'unbind': {
      const r = sessions[sessions.length - 1];
      if (r) r.s.unbind({}, (p) => emit('unbind_resp', {session: r.id, status: p.command_status}));
      break;
    }
    default:
      emit('error', {message: 'unknown command ' + c.cmd});
  }
});
rl.on('close', () => process.exit(0));
