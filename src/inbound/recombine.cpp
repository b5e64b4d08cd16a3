// Holding and joining the segments of long received messages.
#include "inbound/recombine.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "delivery/segmentation.h"
#include "frame/debug_trace.h"
#include "inbound/inbound_store.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "store/request_file.h"

namespace inbound {

namespace {

constexpr std::string_view kTrace = "RecombineSARMessages";
constexpr unsigned kHeaderlessWaitMax = 60;

std::string name_part(std::string_view sender) {
    std::string out;
    for (char c : sender) {
        unsigned char u = static_cast<unsigned char>(c);
        bool bad = c == '-' || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                   u < 32 || (out.empty() && c == '.');
        out += bad ? '_' : c;
    }
    return out.empty() ? std::string("_") : out;
}

bool parse_uint(std::string_view s, int base, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = platform::hex_digit_value(c);
        if (d < 0 || d >= base) return false;
        v = v * unsigned(base) + unsigned(d);
    }
    out = uint32_t(v);
    return true;
}

}  // namespace

std::string path_with_extension(const std::string& path, std::string_view ext) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + "." + std::string(ext);
    return path.substr(0, dot + 1) + std::string(ext);
}

UdhInfo parse_udh_info(std::string_view udh_hex) {
    UdhInfo info;
    std::vector<delivery::UdhElement> els;
    std::string error;
    if (udh_hex.empty() || !delivery::parse_udh(udh_hex, els, error)) return info;
    for (const delivery::UdhElement& e : els) {
        const auto* d = reinterpret_cast<const unsigned char*>(e.data.data());
        if (e.id == 0x00 && e.data.size() == 3 && d[1] != 0 && d[2] != 0 && d[2] <= d[1]) {
            info.concat = true;
            info.reference = d[0];
            info.total = d[1];
            info.sequence = d[2];
        } else if (e.id == 0x08 && e.data.size() == 4 && d[2] != 0 && d[3] != 0 && d[3] <= d[2]) {
            info.concat = true;
            info.reference = (unsigned(d[0]) << 8) | d[1];
            info.total = d[2];
            info.sequence = d[3];
        } else if (e.id == 0x05 && e.data.size() == 4) {
            info.port16 = true;
            info.dest_port = (unsigned(d[0]) << 8) | d[1];
            info.source_port = (unsigned(d[2]) << 8) | d[3];
        }
    }
    return info;
}

std::string sar_file_name(std::string_view sender, uint32_t reference, unsigned total,
                          unsigned sequence) {
    return platform::strprintf("%s-%x-%u-%u.SAR", name_part(sender).c_str(), reference, total,
                               sequence);
}

std::optional<SarName> parse_sar_name(std::string_view name) {
    if (!platform::iends_with(name, ".SAR")) return std::nullopt;
    name.remove_suffix(4);
    std::string_view fields[3];
    for (int i = 2; i >= 0; --i) {
        size_t dash = name.rfind('-');
        if (dash == std::string_view::npos) return std::nullopt;
        fields[i] = name.substr(dash + 1);
        name = name.substr(0, dash);
    }
    SarName out;
    uint32_t total = 0, seq = 0;
    if (name.empty() || !parse_uint(fields[0], 16, out.reference) ||
        !parse_uint(fields[1], 10, total) || !parse_uint(fields[2], 10, seq))
        return std::nullopt;
    if (total == 0 || total > 255 || seq == 0 || seq > total) return std::nullopt;
    out.sender = std::string(name);
    out.total = total;
    out.sequence = seq;
    return out;
}

bool hold_segment(const std::string& dir, std::string_view sender, uint32_t reference,
                  unsigned total, unsigned sequence, std::string_view content) {
    const std::string path = dir + sar_file_name(sender, reference, total, sequence);
    frame::debug_tracef("ProcessInboundSMS", "SAR Segment Reference = %X, Count = %u, Current = %u",
                        reference, total, sequence);
    if (platform::create_new_file(path, content)) return true;
    if (!platform::file_exists(path) && platform::ensure_dir(dir) &&
        platform::create_new_file(path, content))
        return true;
    if (platform::file_exists(path)) {
        frame::debug_tracef("ProcessInboundSMS", "Segment %s already held, repeat dropped",
                            path.c_str());
        return true;
    }
    frame::debug_tracef("ProcessInboundSMS", "Unable to hold segment %s", path.c_str());
    return false;
}

bool has_headerless_pieces(const std::string& dir, std::string_view sender) {
    std::string pattern = platform::strprintf("%s-%x-%u-*.SAR", name_part(sender).c_str(),
                                              kHeaderlessReference, kHeaderlessTotal);
    return !platform::scan_dir(dir, pattern, platform::ScanKind::FilesOnly).empty();
}

unsigned next_headerless_piece(const std::string& dir, std::string_view sender) {
    std::string pattern = platform::strprintf("%s-%x-%u-*.SAR", name_part(sender).c_str(),
                                              kHeaderlessReference, kHeaderlessTotal);
    unsigned high = 0;
    for (const auto& e : platform::scan_dir(dir, pattern, platform::ScanKind::FilesOnly)) {
        std::optional<SarName> n = parse_sar_name(e.name);
        if (n) high = std::max(high, n->sequence);
    }
    return high + 1 < kHeaderlessTotal ? high + 1 : 0;
}

std::optional<store::SmsMessage> combine_segments(const std::vector<store::SmsMessage>& parts) {
    size_t first = parts.size();
    for (size_t i = 0; i < parts.size(); ++i)
        if (!parts[i].sender.empty() || !parts[i].data.empty()) {
            first = i;
            break;
        }
    if (first == parts.size()) return std::nullopt;
    frame::debug_tracef(kTrace, "First valid segment is %u", unsigned(first + 1));
    const store::SmsMessage& f = parts[first];
    store::SmsMessage r;
    r.sender = f.sender;
    r.phone_number = f.phone_number;
    r.link_name = f.link_name;
    r.pid = f.pid;
    r.dcs = f.dcs;
    r.binary = f.binary;
    r.received_smsc = f.received_smsc;
    r.service_type = f.service_type;
    r.smpp_options = f.smpp_options;
    r.flags = f.flags & (store::kFlagReceipt | store::kFlagDelivered | store::kFlagInTransit |
                         store::kFlagFailed);
    r.receipt_message_id = f.receipt_message_id;
    r.local_user_route = f.local_user_route;
    r.scts = f.scts;
    r.recombine = true;
    // The copy made for the 2-way commands stays that copy once joined.
    r.duplicate_for_2way = f.duplicate_for_2way;

    UdhInfo info = parse_udh_info(f.udh);
    const bool decode7 = !info.port16 && f.binary && radio::charset::dcs_is_gsm7(f.dcs);
    if (info.port16)
        r.udh = platform::strprintf("060504%02X%02X%02X%02X", info.dest_port >> 8,
                                    info.dest_port & 0xFF, info.source_port >> 8,
                                    info.source_port & 0xFF);
    for (const store::SmsMessage& p : parts) {
        if (p.data.empty()) continue;
        if (decode7 && p.binary) {
            std::string text;
            radio::charset::GSM7ToUTF8String(p.udh, p.data, text);
            r.data += text;
        } else {
            r.data += p.data;
        }
    }
    if (decode7) r.binary = false;
    if (r.data.size() >= store::kDataSize) r.data.resize(store::kDataSize - 1);
    return r;
}

unsigned RecombineSARMessages(const std::string& dir, time_t now, unsigned wait_s) {
    unsigned created = 0;
    std::set<std::tuple<std::string, uint32_t, unsigned>> seen;
    for (const auto& e : platform::scan_dir(dir, "*.SAR", platform::ScanKind::FilesOnly)) {
        std::optional<SarName> n = parse_sar_name(e.name);
        if (!n) {
            const std::string from = dir + e.name;
            platform::move_file_noreplace(from, path_with_extension(from, "SMS"));
            frame::debug_tracef(kTrace, "Segment name %s not understood, archived", e.name.c_str());
            continue;
        }
        if (!seen.insert({platform::to_lower(n->sender), n->reference, n->total}).second) continue;
        const std::string stem =
            platform::strprintf("%s-%x-%u", n->sender.c_str(), n->reference, n->total);
        std::optional<platform::Marker> lock = platform::Marker::acquire(dir + stem + ".LCK");
        if (!lock) continue;  // another thread works on this set

        const unsigned wait =
            n->reference == kHeaderlessReference ? std::min(wait_s, kHeaderlessWaitMax) : wait_s;
        std::vector<std::string> paths(n->total);
        std::vector<bool> present(n->total, false);
        time_t oldest = now;
        for (unsigned s = 1; s <= n->total; ++s) {
            paths[s - 1] = dir + stem + platform::strprintf("-%u.SAR", s);
            std::optional<time_t> t = platform::file_mtime(paths[s - 1]);
            if (!t) continue;
            present[s - 1] = true;
            oldest = std::min(oldest, *t);
        }
        bool waiting = false;
        for (unsigned s = 1; s <= n->total; ++s) {
            if (present[s - 1]) continue;
            if (now - oldest > time_t(wait)) {
                frame::debug_tracef(kTrace, "Stopped waiting for %s", paths[s - 1].c_str());
                if (!platform::create_new_file(paths[s - 1], "") &&
                    !platform::file_exists(paths[s - 1]))
                    waiting = true;
            } else {
                waiting = true;
            }
        }
        if (waiting) continue;

        std::vector<store::SmsMessage> parts(n->total);
        bool unreadable = false;
        for (unsigned s = 1; s <= n->total; ++s) {
            std::optional<std::string> text =
                platform::read_file(paths[s - 1], store::kMaxRequestFileBytes);
            if (!text) {
                unreadable = true;
                break;
            }
            store::parse_request(*text, parts[s - 1]);
        }
        if (unreadable) continue;  // tried again on the next round
        std::optional<store::SmsMessage> msg = combine_segments(parts);
        if (msg) {
            std::string content = store::format_request(*msg, store::RecordLayout::Inbound);
            store::append_key(content, store::Key::RecombineFlag, "Yes");
            if (msg->duplicate_for_2way)
                store::append_key(content, store::Key::DuplicateMessageFor2Way, "Yes");
            std::string path = write_inbound_record("in", content, kTrace);
            if (path.empty()) continue;  // segments kept; the next round tries again
            frame::debug_tracef(kTrace, "Created %s", path.c_str());
            ++created;
        }
        for (const std::string& p : paths) platform::remove_file(p);
    }
    return created;
}

}  // namespace inbound
