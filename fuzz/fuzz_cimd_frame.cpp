// Fuzz target for the CIMD2 engine's parsers of SMSC input: the packet
// decoder (with a re-encoding round trip), the user-data text conversion,
// the mapping of 20 / 23 / responses, and the session's stream handling fed
// through a socket pair.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocols/cimd/cimd.h"
#include "protocols/cimd/packet.h"
#include "stream_feed.h"

namespace cimd = protocols::cimd;

namespace {

void decode_and_map(std::string_view body) {
    cimd::Packet p;
    if (cimd::decode_packet(body, p) != cimd::DecodeError::None) return;
    for (bool cs : {true, false}) {
        std::string again = cimd::encode_packet(p, cs);
        cimd::Packet q;
        if (cimd::decode_packet(std::string_view(again).substr(1, again.size() - 2), q) !=
            cimd::DecodeError::None)
            abort();
        // Empty items are dropped, values keep everything but the tab.
        if (q.op != p.op % 100 || q.number != p.number % 1000) abort();
    }
    protocols::common::DeliveryRecord m;
    if (cimd::parse_deliver(p, m) == 0) {
        protocols::common::SubmitRecord o;
        o.sender = m.sender;
        o.recipient = m.recipient;
        o.pid = m.pid;
        o.dcs = m.dcs;
        o.udh_hex = m.udh_hex;
        o.data = m.message;
        o.binary = m.binary;
        cimd::Packet s;
        if (cimd::build_submit(o, cimd::CodingOptions{}, s) == 0) cimd::encode_packet(s, true);
    }
    cimd::parse_status_report(p, m);
    cimd::response_error(p);
    cimd::message_id_from_response(p);
}

void texts(std::string_view text) {
    std::string gsm = cimd::cimd_text_to_gsm(text);
    std::string back = cimd::gsm_to_cimd_text(gsm);
    // The conversion is stable after one pass.
    if (cimd::gsm_to_cimd_text(cimd::cimd_text_to_gsm(back)) != back) abort();
    cimd::timestamp_to_receipt_date(text);
    // Scanning the text as it grows, each scan going on where the last one
    // stopped, ends where a scan of the same bytes from the start ends.
    size_t resume = 0;
    for (size_t n = 1; n <= text.size() && n <= 8192; ++n) {
        cimd::Scan inc = cimd::scan_packet(text.substr(0, n), resume);
        cimd::Scan whole = cimd::scan_packet(text.substr(0, n));
        if (inc.state != whole.state || inc.skip != whole.skip || inc.length != whole.length)
            abort();
        if (inc.state != cimd::ScanState::NeedMore) break;
        resume = inc.resume;
    }
    std::string_view rest = text;
    for (int guard = 0; guard < 100000 && !rest.empty(); ++guard) {
        cimd::Scan s = cimd::scan_packet(rest);
        if (s.state == cimd::ScanState::NeedMore || s.state == cimd::ScanState::Oversized) break;
        size_t step = s.state == cimd::ScanState::Garbage ? s.skip : s.length;
        if (step == 0 || step > rest.size()) abort();
        if (s.state == cimd::ScanState::Packet) decode_and_map(rest.substr(1, s.length - 2));
        rest.remove_prefix(step);
    }
}

void session_stream(const uint8_t* data, size_t size) {
    static bool once = [] {
        cimd::LinkOptions opt;
        opt.command_timeout_s = 1;
        cimd::CIMDSetLinkOptions("", opt);
        cimd::CIMDSetReceiveMessageCallbackEx(
            [](std::string_view, std::string_view, std::string_view, int, int, std::string_view,
               std::string_view message, int, int, std::string_view,
               std::string_view) { return message.empty() ? 300 : 0; });
        return true;
    }();
    (void)once;
    fuzz_feed::feed_shaped(
        fuzz_feed::shape(data, size),
        [](int fd) {
            if (cimd::CIMDCheckLinkStatus("", fd)) cimd::CIMDYield("", fd, 0);
        },
        [](int fd) {
            for (int i = 0; i < 8 && cimd::CIMDCheckLinkStatus("", fd); ++i) cimd::CIMDYield("", fd, 0);
            cimd::CIMDReleaseSession(fd);
        });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_feed::dispatch3(data, size, decode_and_map, texts, session_stream);
}
