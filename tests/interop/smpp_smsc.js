// An SMSC made of the npm "smpp" package, for the interoperability tests of
// the gateway's SMPP client. It listens on 127.0.0.1 (port 0), reports what
// it receives on stdout and takes commands on stdin.
//
// Output: one event per line, "event<TAB>key=value<TAB>...", values
// URI-encoded; octet fields are upper-case hex.
// Input: one JSON command per line (deliver, enquire, unbind, close, exit).
// The answer to a submit_sm depends on its destination_addr:
//   "throttle" -> 0x58, "fail45" -> 0x45, "silent" -> no answer,
//   "hold<N>"  -> kept until N are held, then all answered in reverse order,
//   anything else -> accepted with message_id "M-" + hex of short_message.
'use strict';
const smpp = require('smpp');
const defs = require('smpp/lib/defs');
const readline = require('readline');

// Raw octets both ways: no guessed encodings.
for (const k of ['ASCII', 'LATIN1', 'UCS2']) delete defs.encodings[k];
// SMPP times as they were sent, not turned into dates.
defs.filters.time.decode = (v) => v;

function emit(event, fields) {
  const parts = [event];
  for (const [k, v] of Object.entries(fields || {})) parts.push(k + '=' + encodeURIComponent(String(v)));
  process.stdout.write(parts.join('\t') + '\n');
}

function hex(b) {
  return b ? Buffer.from(b).toString('hex').toUpperCase() : '';
}

// short_message as it was on the wire (header and text).
function rawMessage(m) {
  if (m === undefined || m === null) return '';
  if (Buffer.isBuffer(m)) return hex(m);
  let out = Buffer.alloc(0);
  if (m.udh && m.udh.length) {
    const ies = Buffer.concat(m.udh);
    out = Buffer.concat([Buffer.from([ies.length]), ies]);
  }
  return hex(Buffer.concat([out, Buffer.from(m.message || [])]));
}

let session = null;
let held = [];

const server = smpp.createServer((s) => {
  s.on('error', (e) => emit('error', {message: e.message}));
  s.on('close', () => emit('closed', {}));
  for (const cmd of ['bind_transmitter', 'bind_receiver', 'bind_transceiver']) {
    s.on(cmd, (pdu) => {
      session = s;
      emit('bind', {
        command: cmd,
        system_id: pdu.system_id,
        password: pdu.password,
        system_type: pdu.system_type,
        interface_version: pdu.interface_version,
      });
      const status = pdu.password === 'bad' ? 0x0E : 0;
      s.send(pdu.response({command_status: status, system_id: 'NPMSMSC'}));
    });
  }
  s.on('enquire_link', (pdu) => {
    emit('enquire_link', {sequence: pdu.sequence_number});
    s.send(pdu.response());
  });
  s.on('unbind', (pdu) => {
    emit('unbind', {});
    s.send(pdu.response());
  });
  s.on('submit_sm', (pdu) => {
    const f = {
      sequence: pdu.sequence_number,
      service_type: pdu.service_type,
      source_addr_ton: pdu.source_addr_ton,
      source_addr_npi: pdu.source_addr_npi,
      source_addr: pdu.source_addr,
      dest_addr_ton: pdu.dest_addr_ton,
      dest_addr_npi: pdu.dest_addr_npi,
      destination_addr: pdu.destination_addr,
      esm_class: pdu.esm_class,
      protocol_id: pdu.protocol_id,
      registered_delivery: pdu.registered_delivery,
      data_coding: pdu.data_coding,
      validity_period: pdu.validity_period,
      short_message: rawMessage(pdu.short_message),
    };
    for (const t of ['user_message_reference', 'sar_msg_ref_num', 'sar_total_segments', 'sar_segment_seqnum',
                     'source_port']) {
      if (pdu[t] !== undefined) f[t] = pdu[t];
    }
    if (pdu.dest_port !== undefined) f.destination_port = pdu.dest_port;  // the package's name for 0x020B
    if (pdu.message_payload !== undefined) f.message_payload = rawMessage(pdu.message_payload);
    emit('submit_sm', f);
    const dest = String(pdu.destination_addr);
    if (dest === 'silent') return;
    if (dest === 'throttle') return s.send(pdu.response({command_status: 0x58}));
    if (dest === 'fail45') return s.send(pdu.response({command_status: 0x45}));
    const id = 'M-' + (f.short_message || f.message_payload);
    if (dest.startsWith('hold')) {
      held.push([pdu, id]);
      if (held.length >= Number(dest.slice(4))) {
        for (const [p, i] of held.reverse()) s.send(p.response({message_id: i}));
        held = [];
      }
      return;
    }
    s.send(pdu.response({message_id: id}));
  });
});

server.listen(0, '127.0.0.1', () => emit('listening', {port: server.address().port}));

function deliver(c) {
  const opts = {
    source_addr_ton: c.source_addr_ton || 0,
    source_addr_npi: c.source_addr_npi || 0,
    source_addr: c.source_addr || '',
    dest_addr_ton: c.dest_addr_ton || 0,
    dest_addr_npi: c.dest_addr_npi || 0,
    destination_addr: c.destination_addr || '',
    esm_class: c.esm_class || 0,
    data_coding: c.data_coding || 0,
    short_message: Buffer.from(c.short_message || '', 'hex'),
  };
  if (c.receipted_message_id !== undefined) opts.receipted_message_id = c.receipted_message_id;
  if (c.message_state !== undefined) opts.message_state = c.message_state;
  if (c.message_payload !== undefined) opts.message_payload = Buffer.from(c.message_payload, 'hex');
  if (c.user_message_reference !== undefined) opts.user_message_reference = c.user_message_reference;
  session.deliver_sm(opts, (resp) => emit('deliver_resp', {tag: c.tag || '', status: resp.command_status}));
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
  if (c.cmd === 'exit') process.exit(0);
  if (!session) return emit('error', {message: 'no session'});
  if (c.cmd === 'deliver') deliver(c);
  else if (c.cmd === 'enquire') session.enquire_link({}, (r) => emit('enquire_resp', {status: r.command_status}));
  else if (c.cmd === 'unbind') session.unbind({}, (r) => emit('unbind_resp', {status: r.command_status}));
  else if (c.cmd === 'close') session.close();
});
rl.on('close', () => process.exit(0));
