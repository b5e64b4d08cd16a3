// Fuzz target: PDU lines a modem hands over. The first input byte picks the
// decoder options and whether the rest goes in as raw text (garbage lines,
// odd digit counts) or as the hex of its bytes; every decoded result is
// also turned into the texts and keys built from it. The same bytes, as
// text, are built into an SMS-SUBMIT and a CDMA PDU.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocols/common/fields.h"
#include "radio/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t opts = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    radio::pdu::DecodeOptions o;
    o.alpha_sender_bug = opts & 1;
    o.disable_report_check = opts & 2;
    const std::string line = (opts & 4) ? std::string(rest) : protocols::common::to_hex(rest);
    radio::pdu::Decoded d = radio::pdu::decode(line, o);
    if ((d.kind == radio::pdu::Kind::Truncated || d.kind == radio::pdu::Kind::Invalid) &&
        d.error.empty())
        __builtin_trap();  // every refusal says why
    (void)radio::pdu::report_text(d, 1 + opts % 200);
    (void)radio::pdu::modem_receipt_text(d, "MSG");
    (void)radio::pdu::local_time_text(d.scts);
    (void)radio::pdu::modem_timestamp_key(d.scts, d.recipient);

    radio::pdu::SubmitParams p;
    p.recipient = std::string(rest.substr(0, 24));
    p.data = std::string(rest);
    p.dcs = uint8_t(opts & 0x0C);
    p.text = !(opts & 0x10);
    if (!p.text) p.data = line;
    p.validity = std::string(rest.substr(0, 4));
    radio::pdu::BuiltPdu b = radio::pdu::build_submit(p);
    if (b.hex.size() % 2 != 0) __builtin_trap();

    radio::pdu::CdmaParams c;
    c.recipient = p.recipient;
    c.sender = std::string(rest.substr(0, 12));
    c.dcs = p.dcs;
    c.udh = (opts & 0x20) ? line.substr(0, 2 * (1 + opts % 16)) : std::string();
    c.data = p.data;
    c.text = p.text;
    (void)radio::pdu::build_cdma(c);
    return 0;
}
