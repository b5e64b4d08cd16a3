// Parameters of an HTTP message submission: request reading, recipient and
// sender rules, validation.
#include "frontends/http/submit_params.h"

#include <algorithm>

#include "delivery/routing.h"
#include "delivery/segmentation.h"
#include "frame/settings.h"
#include "frontends/http/http_request.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "radio/charset/charset.h"
#include "support/directories.h"
#include "support/tracking.h"

namespace frontends::http {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex_text(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return platform::hex_digit_value(c) >= 0; });
}

// Well-formed UTF-8: no stray continuation bytes, no overlong or surrogate
// forms, nothing above U+10FFFF.
bool is_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (n == 9 || i + n >= s.size() + (n ? 0 : 1)) return false;
        uint32_t cp = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k <= n; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

// "+" and digits, optionally ":" and digits.
bool is_numeric_sender(std::string_view s) {
    size_t i = (!s.empty() && s[0] == '+') ? 1 : 0;
    size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (digits == 0) return false;
    if (i == s.size()) return true;
    if (s[i] != ':') return false;
    ++i;
    size_t port_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++port_digits;
    return port_digits > 0 && i == s.size();
}

// Digits after an optional leading "+".
std::string digits_only(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (is_digit(s[i]) || (i == 0 && s[i] == '+')) out += s[i];
    }
    return out;
}

uint32_t port_number(std::string_view s) {
    uint32_t v = frame::parse_number(s);
    return v <= 65535 ? v : 0;
}

// A name as one file name: path characters made "-" so that no list name
// can leave the lists directory.
std::string list_file_part(std::string_view name) {
    std::string out = frame::account_path_part(name);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32) c = '-';
    return out;
}

std::string param(std::string_view request, std::string_view name, size_t cap) {
    std::string v;
    GetRequestParameter(request, name, v, cap);
    return v;
}

bool has_param(std::string_view request, std::string_view name) {
    std::string v;
    return GetRequestParameter(request, name, v, 2);
}

// Boolean parameter; absent = def.
bool bool_param(std::string_view request, std::string_view name, bool def) {
    std::string v;
    if (!GetRequestParameter(request, name, v, 64)) return def;
    return frame::parse_bool(v);
}

uint32_t segment_number(std::string_view request, std::string_view name) {
    uint32_t v = frame::parse_number(param(request, name, 32));
    return v <= 255 ? v : 0;
}

// The SMPPOption_ parameters as "name=value; name=value".
std::string collect_smpp_options(std::string_view request) {
    std::string out;
    for (unsigned n = 1;; ++n) {
        std::string name;
        if (!FindParameterNameByPrefix(request, "SMPPOption_", n, name, 256)) break;
        std::string value = param(request, name, kSubmitLongCap);
        std::string item = name.substr(std::string_view("SMPPOption_").size()) + "=" + value;
        if (!out.empty()) item = "; " + item;
        if (out.size() + item.size() > kSmppOptionsMax) break;
        out += item;
    }
    return out;
}

}  // namespace

SubmitSettings submit_settings_now() {
    SubmitSettings s;
    s.allow_alpha_recip = frame::settings().allow_alpha_recip;
    s.recip_prefix_convert = frame::ini_string("GlobalRecipPrefixConvert", "", 4096);
    s.sender_prefix_convert = frame::ini_string("GlobalSenderPrefixConvert", "", 4096);
    s.receipt_requested = frame::ini_bool("ReceiptRequested", false);
    s.extra_http_arg_list = frame::ini_string("ExtraHttpArgList", "", kExtraArgListMax + 1);
    s.dlists_dir = support::GetProgramDataDirectory() + "DLists/";
    return s;
}

bool is_ipv4_address(std::string_view s) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t start = i;
        unsigned v = 0;
        while (i < s.size() && is_digit(s[i]) && i - start < 3) v = v * 10 + unsigned(s[i++] - '0');
        if (i == start || v > 255) return false;
        ++parts;
        if (i == s.size()) return parts == 4;
        if (s[i] != '.' || parts == 4) return false;
        ++i;
    }
}

std::vector<std::string> split_recipient_entries(std::string_view value) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size()) {
            unsigned char c = static_cast<unsigned char>(value[i]);
            if (c != ',' && c != ';' && c >= 32) continue;
        }
        std::string_view entry = value.substr(start, i - start);
        start = i + 1;
        // Blanks after a separator are not part of the entry either, so that
        // "1, 10.0.0.1" still names an address.
        while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
        entry = entry.substr(0, kRecipientEntryMax);
        while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
        if (!entry.empty()) out.emplace_back(entry);
    }
    return out;
}

std::string normalise_recipient(std::string_view address, const SubmitSettings& s, uint32_t* port) {
    if (is_ipv4_address(address)) return std::string(address);
    std::string out(address);
    if (!s.allow_alpha_recip && !(!address.empty() && address.back() == '#')) {
        size_t colon = out.find(':');
        if (colon != std::string::npos) {
            uint32_t p = port_number(std::string_view(out).substr(colon + 1));
            if (p && port) *port = p;
            out.resize(colon);
        }
        out = digits_only(out);
    }
    if (!out.empty()) delivery::prefix_convert(out, s.recip_prefix_convert);
    return out;
}

std::string dlist_path(std::string_view entry, std::string_view account, const SubmitSettings& s) {
    if (entry.empty() || s.dlists_dir.empty()) return "";
    if (entry.front() == '#') {
        std::string_view name = entry;
        if (!(name.size() > 1 && name.back() == '#')) name.remove_prefix(1);
        if (name.empty()) return "";
        return s.dlists_dir + list_file_part(name) + ".TXT";
    }
    if (account.empty()) return s.dlists_dir + list_file_part(entry) + ".TXT";
    return s.dlists_dir + frame::account_path_part(account) + "/" + list_file_part(entry) + ".TXT";
}

std::vector<std::string> dlist_addresses(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t lead = 0;
        while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
        line.remove_prefix(lead);
        size_t blank = line.find_first_of(" \t");
        if (blank != std::string_view::npos) line = line.substr(0, blank);
        line = line.substr(0, kDListLineMax);
        if (!line.empty()) out.emplace_back(line);
    }
    return out;
}

std::vector<std::string> expand_recipients(std::string_view value, std::string_view account,
                                           const SubmitSettings& s, uint32_t* port,
                                           size_t* entries) {
    std::vector<std::string> out;
    std::vector<std::string> list = split_recipient_entries(value);
    if (entries) *entries = list.size();
    for (const std::string& entry : list) {
        std::vector<std::string> addresses;
        std::string path = dlist_path(entry, account, s);
        std::optional<std::string> text;
        // Only names that could be list names are looked up; a plain number
        // is not a file.
        if (!path.empty() && !is_ipv4_address(entry)) text = platform::read_file(path, 16u << 20);
        if (text) {
            addresses = dlist_addresses(*text);
        } else {
            addresses.push_back(entry);
        }
        for (const std::string& a : addresses) {
            std::string r = normalise_recipient(a, s, port);
            if (!r.empty()) out.push_back(std::move(r));
        }
    }
    return out;
}

std::string apply_sender_rules(std::string_view sender, std::string_view forced_list,
                               const SubmitSettings& s, uint32_t* port) {
    std::string out(sender);
    if (is_numeric_sender(out)) {
        delivery::prefix_convert(out, s.sender_prefix_convert);
        if (!s.allow_alpha_recip && out.back() != '#') {
            size_t colon = out.rfind(':');
            if (colon != std::string::npos) {
                uint32_t p = port_number(std::string_view(out).substr(colon + 1));
                if (p && port) *port = p;
                out.resize(colon);
            }
            out = digits_only(out);
        }
    }
    if (!forced_list.empty()) {
        std::string first;
        bool listed = false;
        size_t start = 0;
        while (start <= forced_list.size()) {
            size_t comma = forced_list.find(',', start);
            if (comma == std::string_view::npos) comma = forced_list.size();
            std::string_view item = platform::trim(forced_list.substr(start, comma - start));
            if (!item.empty()) {
                if (first.empty()) first = std::string(item);
                if (platform::iequals(item, out)) listed = true;
            }
            start = comma + 1;
        }
        if (!listed && !first.empty()) out = first;
    }
    return out;
}

bool parse_delay_until(std::string_view value, frame::ScheduledTime& t) {
    int fields[5] = {0, 0, 0, 0, 0};
    const int widths[5] = {4, 2, 2, 2, 2};
    size_t i = 0;
    int found = 0;
    for (int f = 0; f < 5; ++f) {
        while (i < value.size() && !is_digit(value[i])) ++i;
        int v = 0, n = 0;
        while (i < value.size() && is_digit(value[i]) && n < widths[f]) {
            v = v * 10 + (value[i++] - '0');
            ++n;
        }
        if (n == 0) break;
        fields[f] = v;
        ++found;
    }
    if (found == 0) return false;
    t = frame::ScheduledTime{fields[0], fields[1], fields[2], fields[3], fields[4]};
    return true;
}

uint8_t leading_hex_byte(std::string_view value) {
    uint32_t v = 0;
    for (char c : value) {
        int d = platform::hex_digit_value(c);
        if (d < 0) break;
        v = (v << 4) | uint32_t(d);
    }
    return uint8_t(v & 0xFF);
}

void read_submit_params(std::string_view request, const SubmitContext& ctx, const SubmitSettings& s,
                        SubmitParams& p) {
    // The recipient list may be as long as the request itself.
    const size_t list_cap = std::max<size_t>(request.size() + 1, kSubmitTextCap);
    std::string phones = param(request, "Phone", list_cap);
    if (phones.empty()) phones = param(request, "PhoneNumber", list_cap);
    uint32_t recipient_port = 0;
    p.recipients = expand_recipients(phones, ctx.account, s, &recipient_port, &p.recipient_entries);
    platform::tracef("Debug", "%u recipient entries", unsigned(p.recipient_entries));

    // One character more than the cap tells a cut value from a full one.
    std::string text;
    GetRequestParameter(request, "Text", text, kSubmitTextCap + 1);
    if (text.empty()) {
        GetRequestParameter(request, "Data", text, kSubmitTextCap + 1);
        if (!text.empty()) p.binary = true;
    }
    if (text.size() >= kSubmitTextCap) p.text_too_long = true;
    p.text = std::move(text);
    p.udh = param(request, "UDH", kSubmitUdhCap);
    if (!p.udh.empty()) p.binary = true;
    p.pid = leading_hex_byte(param(request, "pid", kSubmitLongCap));
    p.dcs = leading_hex_byte(param(request, "dcs", kSubmitLongCap));

    p.charset = param(request, "charset", kSubmitLongCap);
    std::string sender = param(request, "Sender", kSubmitSenderCap);
    bool convert = !p.charset.empty() && !platform::iequals(p.charset, "utf-8");
    unsigned code_page = convert ? radio::charset::charset_to_code_page(p.charset) : 0;
    if (code_page && !is_numeric_sender(sender))
        radio::charset::code_page_to_utf8(sender, code_page, kSubmitSenderCap - 1);
    uint32_t sender_port = 0;
    p.sender = apply_sender_rules(sender, ctx.forced_sender, s, &sender_port);

    p.validity = param(request, "Validity", kSubmitValidityCap);
    p.service_type = param(request, "ServiceType", kSubmitShortCap);
    p.billing_info = param(request, "BillingInfo", kSubmitShortCap);
    p.acct_info = param(request, "AcctInfo", kSubmitShortCap);
    p.smsc_route = param(request, "SMSCRoute", kSubmitShortCap);
    p.mmsc_route = param(request, "MMSCRoute", 250);
    p.reply_requested = bool_param(request, "ReplyRequested", false);
    std::string receipt;
    if (GetRequestParameter(request, "Receipt", receipt, 64) ||
        GetRequestParameter(request, "ReceiptRequested", receipt, 64)) {
        p.receipt_requested = frame::parse_bool(receipt);
    } else {
        p.receipt_requested = s.receipt_requested;
    }
    p.receipt_delivered = bool_param(request, "ReceiptDelivered", false);
    p.receipt_failed = bool_param(request, "ReceiptFailed", false);
    p.receipt_intransit = bool_param(request, "ReceiptIntransit", false);
    p.receipt_message_id = param(request, "ReceiptMessageId", kSubmitShortCap);
    p.receipt_done_date = param(request, "ReceiptDoneDate", kSubmitShortCap);
    p.receipt_failed_status = param(request, "ReceiptFailedStatus", kSubmitValidityCap);

    if (bool_param(request, "InboundMessage", false) || bool_param(request, "InboundMsg", false))
        p.local_route = "~SMSIN";
    std::string local_user = param(request, "LocalUser", kSubmitShortCap);
    if (!local_user.empty()) p.local_route = local_user;

    p.source_port = sender_port;
    p.dest_port = recipient_port;
    if (uint32_t v = port_number(param(request, "SourcePort", 32))) p.source_port = v;
    if (uint32_t v = port_number(param(request, "DestPort", 32))) p.dest_port = v;
    p.seg_ref = segment_number(request, "SegRef");
    p.seg_num = segment_number(request, "SegNum");
    p.seg_count = segment_number(request, "SegCount");
    if (p.seg_num == 0 || p.seg_count == 0) p.seg_ref = p.seg_num = p.seg_count = 0;
    if (p.source_port || p.dest_port || p.seg_num) {
        delivery::ExplicitUdhParams e{p.source_port, p.dest_port, p.seg_ref, p.seg_num,
                                      p.seg_count};
        std::string udh, error;
        if (delivery::build_explicit_udh(e, udh, error)) {
            p.udh = udh;
            p.binary = true;
        }
    }

    std::string delay = param(request, "DelayUntil", kSubmitLongCap);
    frame::ScheduledTime t;
    if (parse_delay_until(delay, t)) {
        p.delayed = true;
        p.send_time = t;
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 ||
            t.minute > 59 || t.year < 1970)
            p.delay_error = "Invalid format for DelayUntil=" + delay;
    }

    std::string url = param(request, "ContinueURL", kSubmitLongCap);
    if (!url.empty()) {
        if (url.find("://") == std::string::npos && url.find("javascript:") == std::string::npos)
            url = "http://" + url;
        // A script from the request would run in the submitter's page when
        // the link is followed: only the page's own way back is kept.
        if (platform::istarts_with(platform::trim(url), "javascript:") ||
            url.find("://") == std::string::npos)
            url = SubmitParams{}.continue_url;
        p.continue_url = url;
    }

    if (code_page && !p.binary) radio::charset::code_page_to_utf8(p.text, code_page);

    p.smpp_options = collect_smpp_options(request);
    p.allow_no_recipient = has_param(request, "OTA_SUBMIT_VIEWXML");

    std::string_view list = std::string_view(s.extra_http_arg_list).substr(0, kExtraArgListMax);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(",;", start);
        if (end == std::string_view::npos) end = list.size();
        std::string name(platform::trim(list.substr(start, end - start)));
        start = end + 1;
        std::string value;
        if (!name.empty() && GetRequestParameter(request, name, value, kSubmitLongCap))
            p.extra_args.emplace_back(std::move(name), std::move(value));
    }
}

bool tracked_http_message(std::string_view id, TrackedMessage& out) {
    out.recipient.clear();
    return support::SMSCMessageIdGet("HTTP", id, out.message_id, out.submit_user, out.sender,
                                     out.recipient) != 0;
}

void inject_receipt(SubmitParams& p, ReceiptLookup lookup, const platform::LocalTime& now) {
    const std::string given = p.receipt_message_id;
    TrackedMessage sent;
    const bool found = lookup && lookup(given, sent);
    if (found)
        platform::tracef("Debug", "Receipt message id %s found for %s", sent.message_id.c_str(),
                         given.c_str());
    else
        platform::tracef("Debug", "Receipt Message id %s not tracked", given.c_str());
    p.binary = false;
    p.pid = p.dcs = 0;
    p.udh.clear();
    if (!p.receipt_delivered && !p.receipt_failed && !p.receipt_intransit)
        p.receipt_delivered = true;
    std::string done = p.receipt_done_date;
    if (done.empty())
        done = platform::strprintf("%02d%02d%02d%02d%02d", now.year % 100, now.month, now.day,
                                   now.hour, now.minute);
    const char* status = p.receipt_delivered               ? "DELIVRD"
                         : p.receipt_intransit             ? "ENROUTE"
                         : p.receipt_failed_status.empty() ? "REJECTD"
                                                           : p.receipt_failed_status.c_str();
    const unsigned error = (p.receipt_delivered || p.receipt_intransit) ? 0 : 999;
    const std::string id = found ? sent.message_id : given;
    // The tracking keeps no submission time: the receipt's own time stands in.
    p.text = platform::strprintf(
        "id:%s sub:001 dlvrd:%03d submit date:%02d%02d%02d%02d%02d done date:%s stat:%s err:%03X",
        id.c_str(), p.receipt_delivered ? 1 : 0, now.year % 100, now.month, now.day, now.hour,
        now.minute, done.c_str(), status, error);
    p.text_too_long = false;
    if (found) {
        p.receipt_message_id = sent.message_id;
        // The receipt comes from the handset and goes back to the submitter.
        if (!sent.recipient.empty()) p.sender = sent.recipient;
        if (!sent.sender.empty()) p.recipients = {sent.sender};
        if (!sent.submit_user.empty() && p.local_route.empty()) p.local_route = sent.submit_user;
    }
}

std::string validate_submit_params(SubmitParams& p) {
    if (p.recipients.empty() && !p.allow_no_recipient)
        return "Invalid format for telephone number.";
    if (!p.smsc_route.empty() && !delivery::ValidateSMSCRoute(p.smsc_route))
        return "Unknown smscRoute=" + p.smsc_route;
    // No MMS route exists in this gateway yet, so every one is unknown.
    if (!p.mmsc_route.empty()) return "Unknown mmscRoute=" + p.mmsc_route;
    if (!is_hex_text(p.udh)) return "Invalid format for UDH (hexadecimal digit characters only).";
    if (p.udh.size() % 2) return "Invalid format for UDH (odd number of hexadecimal digits).";
    if (p.text_too_long) return "Text/Data parameter too long (more than 8191 characters).";
    if (!p.delay_error.empty()) return p.delay_error;
    if (!p.binary || !is_hex_text(p.text)) {
        if (!is_utf8(p.text))
            return "Invalid format for Text parameter (not UTF-8; give its charset).";
    }
    if (p.binary && !is_hex_text(p.text)) {
        if (p.udh.empty())
            return "Invalid format for Text/Data parameter when binary flag is set "
                   "(hexadecimal digit characters only).";
        const frame::GlobalSettings& gs = frame::settings();
        radio::charset::UnicodeSettings us{gs.disable_http_unicode_sms,
                                           gs.test_unicode_sms_for_iso88591,
                                           gs.test_unicode_sms_for_ascii};
        if (radio::charset::UTF8StringRequiresUnicodeEncoding(p.text, us)) {
            platform::trace("SMS message must be submitted with Unicode", p.text);
            p.text = radio::charset::utf8_to_ucs2_hex(p.text);
            p.dcs = delivery::unicode_dcs(p.dcs);
        } else {
            p.text =
                radio::charset::pack_septets(radio::charset::utf8_to_gsm(p.text), p.udh.size() / 2);
        }
    }
    if (p.binary && p.text.size() % 2)
        return "Invalid format for Text/Data parameter (odd number of hexadecimal digits).";
    return "";
}

}  // namespace frontends::http
