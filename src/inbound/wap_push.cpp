// Received WAP push and MMS notifications.
#include "inbound/wap_push.h"

#include <cstdint>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "inbound/recombine.h"
#include "platform/files.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"
#include "store/request_file.h"
#include "support/directories.h"

namespace inbound {

namespace {

constexpr std::string_view kTrace = "ProcessInboundSMS";
constexpr size_t kMaxPushOctets = 8191;

bool uintvar(std::string_view s, size_t& pos, uint32_t& out) {
    out = 0;
    for (int i = 0; i < 5 && pos < s.size(); ++i) {
        uint8_t b = uint8_t(s[pos++]);
        out = (out << 7) | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return false;
}

std::string text_until_nul(std::string_view s, size_t pos) {
    size_t end = s.find('\0', pos);
    return std::string(s.substr(pos, end == std::string_view::npos ? s.size() - pos : end - pos));
}

// FNV-1a of a content location: the name of its "seen" marker.
std::string location_key(std::string_view location) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : location) h = (h ^ c) * 1099511628211ULL;
    return platform::strprintf("%016llX", static_cast<unsigned long long>(h));
}

}  // namespace

bool is_wap_push_for_mms(std::string_view udh_hex, std::string_view link_name) {
    UdhInfo udh = parse_udh_info(udh_hex);
    if (!udh.port16 || udh.dest_port != kWapPushPort) return false;
    return frame::parse_bool(
        platform::trim(frame::link_string(frame::link_section_name(link_name), "ReceiveMMS", "")));
}

WapPush parse_wap_push(std::string_view pdu) {
    WapPush p;
    if (pdu.size() < 3 || uint8_t(pdu[1]) != 0x06) {
        p.error = "WAP Push header is missing";
        return p;
    }
    size_t pos = 2;
    uint32_t header_len = 0;
    if (!uintvar(pdu, pos, header_len) || pos + header_len > pdu.size() || header_len == 0) {
        p.error = "WAP Push header is missing";
        return p;
    }
    const size_t headers_end = pos + header_len;
    uint8_t first = uint8_t(pdu[pos]);
    if (first >= 0x80) {
        p.content_type = std::string(radio::charset::number_to_content_type(first & 0x7F));
    } else if (first <= 0x1F) {
        // Value-length, then the general form: a well-known value or text.
        size_t at = pos + 1;
        if (first == 0x1F) {
            uint32_t ignored;
            if (!uintvar(pdu, at, ignored)) at = headers_end;
        }
        if (at < headers_end) {
            uint8_t v = uint8_t(pdu[at]);
            p.content_type = v >= 0x80
                                 ? std::string(radio::charset::number_to_content_type(v & 0x7F))
                                 : text_until_nul(pdu.substr(0, headers_end), at);
        }
    } else {
        p.content_type = text_until_nul(pdu.substr(0, headers_end), pos);
    }
    p.body = std::string(pdu.substr(headers_end));
    if (p.body.empty()) {
        p.error = "WAP Push data missing";
        return p;
    }
    p.ok = true;
    return p;
}

std::string mms_content_location(std::string_view n) {
    // Header fields are a well-known code (top bit set) and a value; only
    // the content location (0x83, a text string) is looked for, the other
    // values are stepped over by their encoding.
    size_t pos = 0;
    while (pos < n.size()) {
        uint8_t field = uint8_t(n[pos++]);
        if (!(field & 0x80) || pos >= n.size()) break;
        if (field == 0x83) return text_until_nul(n, pos);
        uint8_t v = uint8_t(n[pos]);
        if (v >= 0x80) {
            ++pos;  // short integer
        } else if (v <= 0x1E) {
            pos += 1 + v;  // value-length and its octets
        } else if (v == 0x1F) {
            ++pos;
            uint32_t len = 0;
            if (!uintvar(n, pos, len)) break;
            pos += len;
        } else {
            size_t end = n.find('\0', pos);
            if (end == std::string_view::npos) break;
            pos = end + 1;
        }
    }
    return {};
}

WapPushResult process_wap_push(const store::SmsMessage& msg) {
    frame::debug_trace(kTrace, "Processing WAP Push Message");
    std::string pdu;
    if (!protocols::common::from_hex(msg.data, pdu)) pdu.clear();
    if (pdu.size() > kMaxPushOctets) pdu.resize(kMaxPushOctets);
    WapPush p = parse_wap_push(pdu);
    if (!p.ok) {
        frame::debug_trace(kTrace, p.error);
        return WapPushResult::NotProcessed;
    }
    if (!platform::iequals(p.content_type, kMmsContentType)) {
        frame::debug_tracef(kTrace, "Content type not processed:  %s", p.content_type.c_str());
        return WapPushResult::NotProcessed;
    }
    frame::debug_trace(kTrace, "Processing MMS message");
    const std::string location = mms_content_location(p.body);
    const std::string priv = support::GetPrivateDataDirectory();
    std::string seen;
    if (!location.empty()) {
        const std::string dir = priv + "MMSNOTIF/";
        platform::ensure_dir(dir);
        seen = dir + location_key(location) + ".LOC";
        if (platform::file_exists(seen)) {
            frame::debug_trace(kTrace, "MMS Notification is a duplicate, discarding...");
            return WapPushResult::Duplicate;
        }
    }
    std::string record = "[MMSINQ]\r\n";
    record += "ModemName=" + store::escape_value(msg.link_name) + "\r\n";
    record += "Sender=" + store::escape_value(msg.sender) + "\r\n";
    record += "PhoneNumber=" + store::escape_value(msg.phone_number) + "\r\n";
    record += "ContentLocation=" + store::escape_value(location) + "\r\n";
    record += "Data=" + store::escape_value(msg.data) + "\r\n";
    if (!store::create_request_file(priv + "MMSINQ/", "IN", record)) {
        frame::debug_trace(kTrace, "Unable to queue MMS notification");
        return WapPushResult::Failed;
    }
    // Recorded only once queued: a failed queue is tried again.
    if (!seen.empty()) platform::create_new_file(seen, location);
    return WapPushResult::Queued;
}

}  // namespace inbound
