// An SMSC made of the npm "smpp" package that reports on every message at
// once: each accepted submit_sm is answered with a hexadecimal message id
// and, when it asked for a receipt, followed by a delivery receipt to the
// newest receiver or transceiver session (at most 100 receipts unanswered). For the receipt tests and the
// receipt benchmark.
//
// Arguments: port (0 for any), the form of the id in the receipt text
// ("dec": the decimal value of the hexadecimal id, "hex", "hexlower"), and
// "tlv" to add receipted_message_id (the id as answered) to each receipt.
//
// By destination_addr:
//   "fail<HH>..."    answered with status 0xHH, no receipt
//   "rejectd..."     accepted; the receipt says stat:REJECTD err:00B
//   "early..."       the receipt is sent before the submit_sm_resp
//   anything else    accepted; stat:DELIVRD err:000
//
// Output (one line each, "event<TAB>key=value..."): listening port, bind
// command, submit_sm destination_addr message_id registered_delivery,
// receipt_resp status, counts submits receipts receipt_errors (on
// {"cmd":"counts"}), error message. With "quiet" as the fourth argument
// submit_sm and receipt_resp lines are left out (benchmarks).
'use strict';

const {load} = require('./node_common');
const smpp = load('smpp');
const readline = require('readline');

const port = Number(process.argv[2] || 0);
const form = process.argv[3] || 'dec';
const withTlv = process.argv.includes('tlv');
const quiet = process.argv.includes('quiet');

function emit(event, fields) {
  const parts = [event];
  for (const [k, v] of Object.entries(fields || {})) parts.push(k + '=' + encodeURIComponent(String(v)));
  process.stdout.write(parts.join('\t') + '\n');
}

const sessions = [];
let next = 0x4F00A100;
let submits = 0, receipts = 0, receiptErrors = 0;

function newestReceiver() {
  for (let i = sessions.length - 1; i >= 0; --i)
    if (sessions[i].kind === 'bind_receiver' || sessions[i].kind === 'bind_transceiver') return sessions[i];
  return null;
}

function stamp() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return p(d.getFullYear() % 100) + p(d.getMonth() + 1) + p(d.getDate()) + p(d.getHours()) + p(d.getMinutes());
}

// Receipts go out with at most kWindow of them unanswered, as SMSCs window
// their deliveries; the rest wait here in order.
const kWindow = 100;
const backlog = [];
let outstanding = 0;

function pumpReceipts() {
  while (outstanding < kWindow && backlog.length) {
    const [pdu, id] = backlog.shift();
    sendReceiptNow(pdu, id);
  }
}

function sendReceipt(pdu, id) {
  backlog.push([pdu, id]);
  pumpReceipts();
}

function sendReceiptNow(pdu, id) {
  const target = newestReceiver();
  if (!target) {
    ++receiptErrors;
    return emit('error', {message: 'no receiver session'});
  }
  const value = parseInt(id, 16);
  const textId = form === 'dec' ? String(value) : form === 'hexlower' ? id.toLowerCase() : id;
  const dest = String(pdu.destination_addr);
  const rejected = dest.startsWith('rejectd');
  const t = stamp();
  const text = 'id:' + textId + ' sub:001 dlvrd:' + (rejected ? '000' : '001') + ' submit date:' + t +
      ' done date:' + t + ' stat:' + (rejected ? 'REJECTD' : 'DELIVRD') + ' err:' + (rejected ? '00B' : '000') +
      ' text:';
  const opts = {
    source_addr: dest,
    destination_addr: String(pdu.source_addr),
    esm_class: 4,
    short_message: Buffer.from(text, 'latin1'),
  };
  if (withTlv) opts.receipted_message_id = id;
  ++outstanding;
  target.s.deliver_sm(opts, (resp) => {
    --outstanding;
    setImmediate(pumpReceipts);
    ++receipts;
    if (resp.command_status !== 0) ++receiptErrors;
    if (!quiet) emit('receipt_resp', {message_id: id, status: resp.command_status});
  });
}

function onSession(s) {
  const rec = {s, kind: ''};
  sessions.push(rec);
  s.on('error', (e) => emit('error', {message: e.message}));
  s.on('close', () => {
    const i = sessions.indexOf(rec);
    if (i >= 0) sessions.splice(i, 1);
  });
  for (const cmd of ['bind_transmitter', 'bind_receiver', 'bind_transceiver']) {
    s.on(cmd, (pdu) => {
      rec.kind = cmd;
      emit('bind', {command: cmd});
      s.send(pdu.response({system_id: 'RCPTSMSC'}));
    });
  }
  s.on('enquire_link', (pdu) => s.send(pdu.response()));
  s.on('unbind', (pdu) => s.send(pdu.response()));
  s.on('submit_sm', (pdu) => {
    ++submits;
    const dest = String(pdu.destination_addr);
    const m = /^fail([0-9A-Fa-f]{2})/.exec(dest);
    if (m) {
      if (!quiet) emit('submit_sm', {destination_addr: dest, message_id: '', registered_delivery: pdu.registered_delivery});
      return s.send(pdu.response({command_status: parseInt(m[1], 16), message_id: ''}));
    }
    const id = (next++).toString(16).toUpperCase().padStart(8, '0');
    if (!quiet) emit('submit_sm', {destination_addr: dest, message_id: id, registered_delivery: pdu.registered_delivery});
    const wantsReceipt = (pdu.registered_delivery & 3) !== 0;
    if (wantsReceipt && dest.startsWith('early')) sendReceipt(pdu, id);
    s.send(pdu.response({message_id: id}));
    if (wantsReceipt && !dest.startsWith('early')) sendReceipt(pdu, id);
  });
}

const server = smpp.createServer(onSession);
server.on('error', (e) => emit('error', {message: 'listen: ' + e.message}));
server.listen(port, '127.0.0.1', () => emit('listening', {port: server.address().port}));

const rl = readline.createInterface({input: process.stdin});
rl.on('line', (line) => {
  let c;
  try {
    c = JSON.parse(line);
  } catch (e) {
    return emit('error', {message: 'bad command'});
  }
  if (c.cmd === 'exit') process.exit(0);
  if (c.cmd === 'counts') emit('counts', {submits, receipts, receipt_errors: receiptErrors});
});
rl.on('close', () => process.exit(0));
