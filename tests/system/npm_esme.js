// The interoperability tests' ESME (tests/interop/smpp_esme.js) for the
// SMPP server system tests, with two additions: a short_message longer than
// the field (254 octets) travels as message_payload, and an optional second
// argument gives the interface_version of every bind (hex, e.g. 33).
// Usage: node npm_esme.js <port> [version]
'use strict';
const path = require('path');
const smpp = require('smpp');

const version = process.argv[3] ? parseInt(process.argv[3], 16) : 0;
const proto = smpp.Session.prototype;
const submit = proto.submit_sm;
proto.submit_sm = function (opts, cb) {
  if (opts.short_message && opts.short_message.length > 254) {
    opts.message_payload = opts.short_message;
    delete opts.short_message;
  }
  return submit.call(this, opts, cb);
};
for (const mode of ['transmitter', 'receiver', 'transceiver']) {
  const bind = proto['bind_' + mode];
  proto['bind_' + mode] = function (opts, cb) {
    if (version) opts.interface_version = version;
    return bind.call(this, opts, cb);
  };
}
require(path.join(__dirname, '..', 'interop', 'smpp_esme.js'));
