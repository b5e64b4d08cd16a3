// Fuzz target for the UCP/EMI engine's parsers of SMSC input: the frame
// decoder (with a re-encoding round trip), the field decoders, the mapping
// of 52 / 53 / results, and the session's stream handling fed through a
// socket pair (framing, NACKs, callback, closing on an oversized frame).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocols/ucp/frame.h"
#include "protocols/ucp/ucp.h"
#include "stream_feed.h"

namespace ucp = protocols::ucp;

namespace {


void decode_and_map(std::string_view body) {
    ucp::Frame f;
    bool header_ok = false;
    if (ucp::decode_frame(body, f, &header_ok) != ucp::DecodeError::None) return;
    // Whatever decodes encodes to a frame that decodes to the same fields.
    std::string again = ucp::encode_frame(f);
    ucp::Frame g;
    if (ucp::decode_frame(std::string_view(again).substr(1, again.size() - 2), g) !=
            ucp::DecodeError::None ||
        g.fields != f.fields || g.trn != f.trn || g.ot != f.ot || g.result != f.result)
        abort();
    for (ucp::TextCharset cs : {ucp::TextCharset::Gsm, ucp::TextCharset::Ira}) {
        ucp::CodingOptions opt;
        opt.charset = cs;
        protocols::common::DeliveryRecord m;
        if (ucp::parse_deliver(f, opt, m) == 0) {
            // And out again as a submit.
            protocols::common::SubmitRecord o;
            o.sender = m.sender;
            o.recipient = m.recipient;
            o.pid = m.pid;
            o.dcs = m.dcs;
            o.udh_hex = m.udh_hex;
            o.data = m.message;
            o.binary = m.binary;
            ucp::Frame s;
            if (ucp::build_submit(o, opt, s) == 0) ucp::encode_frame(s);
        }
        ucp::parse_notification(f, opt, m);
    }
    int ec = 0;
    std::string sm;
    ucp::parse_result(f, &ec, &sm);
    ucp::message_id_from_ack(sm);
}

void fields(std::string_view text) {
    std::string out;
    ucp::decode_alphanumeric_address(text, out);
    ucp::encode_alphanumeric_address(text);
    std::vector<ucp::XSerItem> items;
    ucp::decode_xser(text, items);
    ucp::encode_xser(items);
    ucp::scts_to_receipt_date(text);
    ucp::from_hex(text, out);
    // Scanning the text as it grows, each scan going on where the last one
    // stopped, ends where a scan of the same bytes from the start ends.
    size_t resume = 0;
    for (size_t n = 1; n <= text.size() && n <= 8192; ++n) {
        ucp::Scan inc = ucp::scan_frame(text.substr(0, n), resume);
        ucp::Scan whole = ucp::scan_frame(text.substr(0, n));
        if (inc.state != whole.state || inc.skip != whole.skip || inc.length != whole.length)
            abort();
        if (inc.state != ucp::ScanState::NeedMore) break;
        resume = inc.resume;
    }
    // A stream cut into whatever frames it holds.
    std::string_view rest = text;
    for (int guard = 0; guard < 100000 && !rest.empty(); ++guard) {
        ucp::Scan s = ucp::scan_frame(rest);
        if (s.state == ucp::ScanState::NeedMore || s.state == ucp::ScanState::Oversized) break;
        size_t step = s.state == ucp::ScanState::Garbage ? s.skip : s.length;
        if (step == 0 || step > rest.size()) abort();
        if (s.state == ucp::ScanState::Frame) decode_and_map(rest.substr(1, s.length - 2));
        rest.remove_prefix(step);
    }
}

void session_stream(const uint8_t* data, size_t size) {
    static bool once = [] {
        ucp::LinkOptions opt;
        opt.command_timeout_s = 1;
        ucp::UCPSetLinkOptions("", opt);
        ucp::UCPSetReceiveMessageCallback([](std::string_view, std::string_view, std::string_view,
                                             int, int, std::string_view, std::string_view message,
                                             int, int, std::string_view,
                                             std::string_view) { return message.empty() ? 5 : 0; });
        return true;
    }();
    (void)once;
    fuzz_feed::feed_shaped(
        fuzz_feed::shape(data, size),
        [](int fd) {
            if (ucp::UCPCheckLinkStatus(fd, "")) ucp::UCPYield(fd, "", 0);
        },
        [](int fd) {
            for (int i = 0; i < 8 && ucp::UCPCheckLinkStatus(fd, ""); ++i) ucp::UCPYield(fd, "", 0);
            ucp::UCPReleaseSession(fd);
        });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_feed::dispatch3(data, size, decode_and_map, fields, session_stream);
}
