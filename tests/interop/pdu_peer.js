// Independent SMS PDU codec for the interoperability test (npm node-pdu).
// "parse": reads PDU hex lines on stdin, writes one JSON object per line with
// the fields node-pdu decoded. "build": writes SMS-DELIVER PDUs built by
// node-pdu (which builds no status reports), one JSON object per line.
'use strict';
const pdu = require('node-pdu');

function address(a) {
  if (!a) return '';
  const plus = a.type && a.type.getValue && a.type.getValue() === 0x91 ? '+' : '';
  return plus + (a.phone || '');
}

function fields(hex) {
  const p = pdu.parse(hex);
  const o = { kind: p.constructor.name, type: p.type.getValue() };
  if (p.serviceCenterAddress) o.smsc = address(p.serviceCenterAddress);
  if (p.address) o.address = address(p.address);
  if (p.dataCodingScheme) o.dcs = p.dataCodingScheme.getValue();
  if (p.protocolIdentifier) o.pid = p.protocolIdentifier.getValue();
  if (p.data) {
    o.text = p.data.getText();
    const parts = p.data.parts;
    if (parts.length && parts[0].header) o.udh = parts[0].header.toString();
  }
  if (p.validityPeriod && p.type.validityPeriodFormat) o.vp = p.validityPeriod.interval;
  if (p.type.statusReportRequest !== undefined) o.srr = p.type.statusReportRequest;
  if (typeof p.reference === 'number') o.reference = p.reference;
  if (typeof p.status === 'number') o.status = p.status;
  return o;
}

function build() {
  const out = [];
  const text = new pdu.Deliver('+31641600986', 'Hello from node');
  text.setServiceCenterAddress('+31624000000');
  out.push({ what: 'text', hex: text.getPartStrings()[0] });
  const ucs2 = new pdu.Deliver('+31641600986', 'Привет');
  out.push({ what: 'ucs2', hex: ucs2.getPartStrings()[0] });
  return out;
}

const mode = process.argv[2];
if (mode === 'build') {
  for (const o of build()) process.stdout.write(JSON.stringify(o) + '\n');
} else {
  const input = require('fs').readFileSync(0, 'utf8');
  for (const line of input.split('\n')) {
    if (!line.trim()) continue;
    let o;
    try {
      o = fields(line.trim());
    } catch (e) {
      o = { error: String(e) };
    }
    process.stdout.write(JSON.stringify(o) + '\n');
  }
}
