// An ESME made of the npm "smpp" package, for the interoperability tests of
// the gateway's SMPP server. Usage: node smpp_esme.js <port>
//
// Output: one event per line, "event<TAB>key=value<TAB>...", values
// URI-encoded, octets as upper-case hex.
// Input: one JSON command per line: bind, submit, enquire, unbind,
// deliver_status (status for later deliver_sm), hold (keep deliver_sm
// unanswered), release (answer the held ones), exit.
'use strict';
const smpp = require('smpp');
const defs = require('smpp/lib/defs');
const readline = require('readline');

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

const session = smpp.connect({host: '127.0.0.1', port: Number(process.argv[2])});
let deliverStatus = 0;
let holding = false;
let held = [];

session.on('error', (e) => emit('error', {message: e.message}));
session.on('close', () => emit('closed', {}));
session.on('connect', () => emit('connected', {}));
// Attached before any bind: deliveries right behind the bind response count.
session.on('deliver_sm', (pdu) => {
  const f = {
    sequence: pdu.sequence_number,
    source_addr_ton: pdu.source_addr_ton,
    source_addr: pdu.source_addr,
    destination_addr: pdu.destination_addr,
    esm_class: pdu.esm_class,
    data_coding: pdu.data_coding,
    short_message: rawMessage(pdu.short_message),
  };
  if (pdu.receipted_message_id !== undefined) f.receipted_message_id = pdu.receipted_message_id;
  if (pdu.message_state !== undefined) f.message_state = pdu.message_state;
  emit('deliver_sm', f);
  if (holding) held.push(pdu);
  else session.send(pdu.response({command_status: deliverStatus}));
});
session.on('enquire_link', (pdu) => {
  emit('enquire_link', {});
  session.send(pdu.response());
});
session.on('unbind', (pdu) => {
  emit('unbind', {});
  session.send(pdu.response());
});

const rl = readline.createInterface({input: process.stdin});
rl.on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    emit('error', {message: 'bad command'});
    return;
  }
  if (c.cmd === 'exit') {
    process.exit(0);
  } else if (c.cmd === 'bind') {
    session['bind_' + c.mode]({system_id: c.system_id, password: c.password, interface_version: 0x34}, (r) =>
      emit('bind_resp', {status: r.command_status, system_id: r.system_id || '',
                         sc_interface_version: r.sc_interface_version === undefined ? '' : r.sc_interface_version}));
  } else if (c.cmd === 'submit') {
    const opts = {
      source_addr_ton: c.source_addr_ton || 0,
      source_addr_npi: c.source_addr_npi || 0,
      source_addr: c.source_addr || '',
      dest_addr_ton: c.dest_addr_ton || 0,
      dest_addr_npi: c.dest_addr_npi || 0,
      destination_addr: c.destination_addr || '',
      esm_class: c.esm_class || 0,
      registered_delivery: c.registered_delivery || 0,
      data_coding: c.data_coding || 0,
      short_message: Buffer.from(c.short_message || '', 'hex'),
    };
    if (c.service_type) opts.service_type = c.service_type;
    if (c.sar_msg_ref_num !== undefined) {
      opts.sar_msg_ref_num = c.sar_msg_ref_num;
      opts.sar_total_segments = c.sar_total_segments;
      opts.sar_segment_seqnum = c.sar_segment_seqnum;
    }
    session.submit_sm(opts, (r) =>
      emit('submit_resp', {tag: c.tag || '', status: r.command_status, message_id: r.message_id || ''}));
  } else if (c.cmd === 'enquire') {
    session.enquire_link({}, (r) => emit('enquire_resp', {status: r.command_status}));
  } else if (c.cmd === 'unbind') {
    session.unbind({}, (r) => emit('unbind_resp', {status: r.command_status}));
  } else if (c.cmd === 'deliver_status') {
    deliverStatus = c.status;
  } else if (c.cmd === 'hold') {
    holding = true;
  } else if (c.cmd === 'release') {
    holding = false;
    for (const p of held) session.send(p.response({command_status: deliverStatus}));
    held = [];
  }
});
rl.on('close', () => process.exit(0));
