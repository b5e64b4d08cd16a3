// Fuzz target for the inbound record: a received message with any field and
// option values is built into its [SMS-IN] record, written as file text and
// parsed back; every field must come back as it went in (control characters
// as blanks, the Data escapes as the format defines them), no value may add,
// drop or replace another field, and the SMPPOptions line must read back as
// exactly the options it was collected from. Aborts on any difference.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "platform/text.h"
#include "protocols/common/message.h"
#include "store/request_codec.h"
#include "support/ini_profile.h"

namespace common = protocols::common;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Consumes the fuzz input: octets and length-prefixed strings.
struct Input {
    std::string_view rest;
    uint8_t byte() {
        if (rest.empty()) return 0;
        uint8_t b = uint8_t(rest[0]);
        rest.remove_prefix(1);
        return b;
    }
    std::string text(size_t max) {
        size_t n = std::min<size_t>(byte() % (max + 1), rest.size());
        std::string s(rest.substr(0, n));
        rest.remove_prefix(n);
        return s;
    }
};

// What a record line makes of a value: every control character a blank.
std::string line_value(std::string_view v) {
    std::string out(v);
    for (char& c : out)
        if (uint8_t(c) < 0x20) c = ' ';
    return out;
}

// The Data value: CR and LF kept, other control characters blanks, and a
// backslash before "r" or "n" read as the line end it stands for (the
// format has no escape for the backslash itself).
std::string data_value(std::string_view v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size() && (v[i + 1] == 'r' || v[i + 1] == 'n')) {
            out += v[++i] == 'r' ? '\r' : '\n';
        } else {
            out += (uint8_t(c) < 0x20 && c != '\r' && c != '\n') ? ' ' : c;
        }
    }
    return out;
}

// Option names the inbound record looks at, in several spellings, and
// SMPP options defined ("A", "B") or not ("C", "").
constexpr const char* kNames[] = {
    "ServiceType",  "servicetype",  "RouteToLocalUser", "ReceivedSMSC", "ResolveReceiptID",
    "SMPPOption_A", "smppoption_b", "SMPPOption_C",     "SMPPOption_",  "Other",
};
// Flag combinations a receive path hands over.
constexpr int kFlags[] = {0, 0x02, 0x40, 0x42, 0x0C, 0x14, 0x24};

const std::string* first(const common::Options& o, std::string_view name) {
    for (const auto& [n, v] : o)
        if (platform::iequals(n, name)) return &v;
    return nullptr;
}

std::string value_of(const common::Options& o, std::string_view name) {
    const std::string* v = first(o, name);
    return v ? line_value(*v) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/fuzz-inbound-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    std::string ini = std::string(tmpl) + "/SMSGW.INI";
    std::ofstream(ini)
        << "[SMSGW]\r\n[SMPPOptions]\r\nA=0x1400,String,40\r\nB=0x1401,String,40\r\n";
    ::setenv("SMSGW_HOME", tmpl, 1);
    support::SMSIniSetFilename(ini);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{std::string_view(reinterpret_cast<const char*>(data), size)};
    inbound::InboundMessage m;
    m.link_name = in.text(40);
    m.sender = in.text(40);
    m.recipient = in.text(40);
    m.udh = in.text(40);
    m.data = in.text(200);
    m.receipt_message_id = in.text(40);
    m.scts = in.text(20);
    m.pid = in.byte();
    m.dcs = in.byte();
    m.binary = in.byte() & 1;
    m.flags = kFlags[in.byte() % std::size(kFlags)];
    // At most six options of at most 30 octets: all of them fit the
    // SMPPOptions field however they are escaped.
    for (int i = 0; i < 6 && !in.rest.empty(); ++i) {
        const char* name = kNames[in.byte() % std::size(kNames)];
        m.options.emplace_back(name, in.text(30));
    }

    inbound::InboundRecord rec = inbound::inbound_record(m);
    std::string file = store::format_request(rec.msg, store::RecordLayout::Inbound);
    store::SmsMessage got = store::parse_request(file);

    const bool resolve = frame::parse_bool(value_of(m.options, "ResolveReceiptID"));
    const bool receipt = (m.flags & 0x04) != 0;
    check(rec.ext == (resolve ? "rct" : receipt && !m.receipt_message_id.empty() ? "rec" : "in"));
    check(got.link_name == line_value(m.link_name));
    check(got.sender == line_value(m.sender));
    check(got.phone_number == line_value(m.recipient));
    check(got.udh == line_value(m.udh));
    check(got.data == data_value(m.data));
    check(got.scts == line_value(m.scts));
    check(got.pid == uint8_t(m.pid) && got.dcs == uint8_t(m.dcs));
    check(got.binary == m.binary);
    check(got.flags == uint32_t(m.flags));
    check(got.receipt_message_id ==
          (receipt || resolve ? line_value(m.receipt_message_id) : std::string()));
    check(got.service_type == value_of(m.options, "ServiceType"));
    check(got.local_user_route == value_of(m.options, "RouteToLocalUser"));
    check(got.received_smsc == value_of(m.options, "ReceivedSMSC"));
    // Nothing the record does not hold appeared from a value.
    check(got.route.empty() && got.submit_user.empty() && got.submitted_by.empty() &&
          got.validity.empty() && got.billing_info.empty() && !got.duplicate_for_2way &&
          !got.recombine);

    common::Options want;
    for (const auto& [n, v] : m.options) {
        std::string_view opt = std::string_view(n).substr(std::min<size_t>(n.size(), 11));
        if (!platform::istarts_with(n, "SMPPOption_") || opt.empty()) continue;
        if (!platform::iequals(opt, "A") && !platform::iequals(opt, "B")) continue;
        want.emplace_back("SMPPOption_" + std::string(opt), line_value(v));
    }
    check(common::parse_option_text(got.smpp_options) == want);
    return 0;
}
