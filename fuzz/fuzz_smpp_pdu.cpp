// Fuzz target for the SMPP engine's parsers of outside input: the PDU
// decoder (and re-encoding of whatever it accepts), the short-message
// mapping, the receipt-text parser, option text, and the session's framing
// and PDU handling fed through a socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocols/smpp/message.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/session.h"

namespace smpp = protocols::smpp;

namespace {

void decode_and_map(const uint8_t* data, size_t size) {
    if (size < smpp::PDU_HEADER_LEN) return;
    std::string buf(reinterpret_cast<const char*>(data), size);
    // A length that agrees with the data, so that the body parser runs.
    uint32_t len = uint32_t(size);
    for (int i = 0; i < 4; ++i) buf[size_t(i)] = char((len >> (24 - 8 * i)) & 0xFF);
    smpp::Pdu p;
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buf.data()), buf.size());
    if (smpp::decode_pdu(bytes, p) != smpp::ESME_ROK) return;

    // Whatever decodes must encode to something that decodes again.
    std::string again = smpp::encode_pdu(p);
    smpp::Pdu q;
    if (smpp::decode_pdu({reinterpret_cast<const uint8_t*>(again.data()), again.size()}, q) !=
        smpp::ESME_ROK)
        abort();

    smpp::TlvRegistry reg;
    reg.load({{"Custom", "0x1403,String,20"}, {"Num", "0x1404,Int,2"}});
    for (smpp::Charset cs : {smpp::Charset::Gsm, smpp::Charset::Latin1, smpp::Charset::Ascii}) {
        smpp::CodingContext ctx;
        ctx.charset = cs;
        ctx.registry = &reg;
        protocols::common::DeliveryRecord m;
        smpp::parse_short_message(p, ctx, m);
        // And back out again as a delivery.
        protocols::common::SubmitRecord o;
        o.sender = m.sender;
        o.recipient = m.recipient;
        o.dcs = m.dcs;
        o.udh_hex = m.udh_hex;
        o.data = m.message;
        o.binary = m.binary;
        o.flags = m.flags;
        o.options = m.options;
        o.receipt_message_id = m.smsc_message_id;
        ctx.use_tlv = (size & 1) != 0;
        smpp::Pdu out;
        out.command_id = smpp::DELIVER_SM;
        smpp::build_short_message(o, ctx, out);
        smpp::encode_pdu(out);
    }
}

void text_parsers(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    smpp::ReceiptText r;
    smpp::parse_receipt_text(text, r);
    smpp::receipt_flags_for_stat(r.stat);

    smpp::TlvRegistry reg;
    reg.load(smpp::parse_option_text(text));
    for (const auto& [name, value] : smpp::parse_option_text(text))
        smpp::option_to_tlv(reg, name, value);
    protocols::common::SubmitRecord o;
    o.recipient = "1";
    o.options = smpp::parse_option_text(text);
    o.data = std::string(text);
    o.udh_hex = std::string(text.substr(0, std::min<size_t>(text.size(), 20)));
    smpp::CodingContext ctx;
    ctx.registry = &reg;
    ctx.use_tlv = true;
    smpp::Pdu p;
    p.command_id = smpp::SUBMIT_SM;
    smpp::build_short_message(o, ctx, p);
}

// The session's stream handling: framing, invalid lengths, PDUs in any state.
void session_stream(const uint8_t* data, size_t size, bool server) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    int one = 256 * 1024;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &one, sizeof one);
    ::setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &one, sizeof one);
    {
        auto s = protocols::smpp::detail::create_session(sv[1], server);
        s->timeout_ms = 1000;
        s->ctx.registry = &s->registry;
        if (!server) s->state = protocols::smpp::detail::State::Bound;
        if (size) (void)!::write(sv[0], data, size);
        ::shutdown(sv[0], SHUT_WR);
        for (int i = 0; i < 8 && !s->broken; ++i) {
            std::lock_guard io(s->io);
            protocols::smpp::detail::pump(*s, 0, true);
            if (server && s->have_bind && s->state == protocols::smpp::detail::State::Open) {
                s->state = protocols::smpp::detail::State::Bound;
                s->bind_kind = int(s->bind.command_id);
                s->have_bind = false;
            }
        }
        protocols::smpp::detail::release_session(sv[1]);
    }
    ::close(sv[0]);
    ::close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 4) {
        case 0:
            decode_and_map(data + 1, size - 1);
            break;
        case 1:
            text_parsers(data + 1, size - 1);
            break;
        case 2:
            session_stream(data + 1, size - 1, false);
            break;
        default:
            session_stream(data + 1, size - 1, true);
            break;
    }
    return 0;
}
