// WSP Push PDU building.
#include "wbxml/wap_push.h"

#include <charconv>
#include <cstdio>
#include <mutex>
#include <vector>

#include "frame/debug_trace.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"
#include "support/hmac.h"
#include "wbxml/compiler.h"

namespace wbxml {

namespace {

constexpr std::string_view kTrace = "CreateWAPPushBinary";
constexpr uint8_t kPushPdu = 0x06;
constexpr size_t kDefaultMaxSize = 1000;

std::string_view unquote(std::string_view v) {
    v = platform::trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

bool parse_uint(std::string_view s, uint64_t& out, int base = 10) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return ec == std::errc() && p == s.data() + s.size();
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", "06 Nov 1994 08:49:37" or
// "1994-11-06T08:49:37Z" as seconds since 1970 (UTC); false otherwise.
bool parse_date(std::string_view s, uint64_t& secs) {
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == ',' || s[i] == '-' || s[i] == ':' ||
                                s[i] == 'T' || s[i] == 'Z'))
            ++i;
        size_t b = i;
        while (i < s.size() && s[i] != ' ' && s[i] != ',' && s[i] != '-' && s[i] != ':' &&
               s[i] != 'T' && s[i] != 'Z')
            ++i;
        if (i > b) parts.push_back(s.substr(b, i - b));
    }
    if (!parts.empty() && !(parts[0][0] >= '0' && parts[0][0] <= '9')) parts.erase(parts.begin());
    if (parts.size() < 6) return false;
    uint64_t y = 0, mon = 0, d = 0, hh = 0, mm = 0, ss = 0;
    if (parts[0].size() == 4) {  // ISO order
        if (!parse_uint(parts[0], y) || !parse_uint(parts[1], mon) || !parse_uint(parts[2], d))
            return false;
    } else {
        if (!parse_uint(parts[0], d) || !parse_uint(parts[2], y)) return false;
        for (size_t m = 0; m < 12; ++m)
            if (platform::iequals(parts[1].substr(0, 3), kMonths[m])) mon = m + 1;
    }
    if (!parse_uint(parts[3], hh) || !parse_uint(parts[4], mm) || !parse_uint(parts[5], ss))
        return false;
    if (mon < 1 || mon > 12 || d < 1 || d > 31 || y < 1970 || hh > 23 || mm > 59 || ss > 60)
        return false;
    secs = static_cast<uint64_t>(days_from_civil(static_cast<int64_t>(y), unsigned(mon), unsigned(d))) *
               86400 + hh * 3600 + mm * 60 + ss;
    return true;
}

void append_short_or_text(std::string& out, std::string_view value) {
    uint64_t n = 0;
    if (parse_uint(value, n) && n < 128)
        out += char(0x80 | n);
    else
        append_text_string(out, value);
}

struct HeaderCode {
    std::string_view name;
    uint8_t code;
    enum Kind { Text, Date, Challenge, CacheControl, Pragma, Range, AcceptRanges, AppId, Flag } kind;
};
constexpr HeaderCode kHeaders[] = {
    {"WWW-Authenticate", 0xAD, HeaderCode::Challenge},
    {"Proxy-Authenticate", 0xA0, HeaderCode::Challenge},
    {"Date", 0x92, HeaderCode::Date},
    {"Expires", 0x94, HeaderCode::Date},
    {"If-Modified-Since", 0x97, HeaderCode::Date},
    {"Last-modified", 0x9D, HeaderCode::Date},
    {"Cache-Control", 0x88, HeaderCode::CacheControl},
    {"Pragma", 0x9F, HeaderCode::Pragma},
    {"Content-base", 0x8A, HeaderCode::Text},
    {"ETag", 0x93, HeaderCode::Text},
    {"Referer", 0xA4, HeaderCode::Text},
    {"Location", 0x9C, HeaderCode::Text},
    {"X-WAP-Content-URI", 0xB0, HeaderCode::Text},
    {"X-WAP-Initiator-URI", 0xB1, HeaderCode::Text},
    {"X-WAP-Inititator-URI", 0xB1, HeaderCode::Text},
    {"X-WAP-Application-ID", 0xAF, HeaderCode::AppId},
    {"Push-Flag", 0xB4, HeaderCode::Flag},
    {"Content-Range", 0x90, HeaderCode::Range},
    {"Accept-ranges", 0x84, HeaderCode::AcceptRanges},
};

void encode_cache_control(std::string& out, std::string_view v) {
    static constexpr std::string_view kDirectives[] = {
        "no-cache", "no-store",  "max-age",      "max-stale",       "min-fresh",        "only-if-cached",
        "public",   "private",   "no-transform", "must-revalidate", "proxy-revalidate", "s-maxage"};
    size_t eq = v.find('=');
    std::string_view name = platform::trim(v.substr(0, eq));
    for (size_t i = 0; i < std::size(kDirectives); ++i) {
        if (!platform::iequals(name, kDirectives[i])) continue;
        if (eq == std::string_view::npos) {
            out += char(0x80 | i);
            return;
        }
        uint64_t n = 0;
        std::string value;
        value += char(0x80 | i);
        if (parse_uint(platform::trim(v.substr(eq + 1)), n))
            append_integer_value(value, n);
        else
            append_text_string(value, unquote(v.substr(eq + 1)));
        append_value_length(out, value.size());
        out += value;
        return;
    }
    append_text_string(out, v);
}

}  // namespace

void append_uintvar(std::string& out, uint32_t value) { append_mb_u_int32(out, value); }

void append_value_length(std::string& out, size_t length) {
    if (length <= 30) {
        out += char(length);
    } else {
        out += char(0x1F);
        append_uintvar(out, static_cast<uint32_t>(length));
    }
}

void append_long_integer(std::string& out, uint64_t value) {
    std::string bytes;
    for (; value; value >>= 8) bytes.insert(bytes.begin(), char(value & 0xFF));
    if (bytes.empty()) bytes += '\0';
    out += char(bytes.size());
    out += bytes;
}

void append_integer_value(std::string& out, uint64_t value) {
    if (value < 128)
        out += char(0x80 | value);
    else
        append_long_integer(out, value);
}

void append_text_string(std::string& out, std::string_view text) {
    if (!text.empty() && static_cast<unsigned char>(text[0]) >= 0x80) out += char(0x7F);
    out.append(text);
    out += '\0';
}

unsigned push_application_number(std::string_view name) {
    static constexpr std::string_view kApps[] = {
        "x-wap-application:push.sia",    "x-wap-application:wml.ua",    "x-wap-application:wta.ua",
        "x-wap-application:mms.ua",      "x-wap-application:push.syncml", "x-wap-application:loc.ua",
        "x-wap-application:syncml.dm",   "x-wap-application:drm.ua",    "x-wap-application:enm.ua",
        "x-wap-application:wv.ua"};
    for (size_t i = 0; i < std::size(kApps); ++i)
        if (platform::iequals(name, kApps[i])) return static_cast<unsigned>(i + 1);
    return 0;
}

std::string encode_header_line(std::string_view line) {
    line = platform::trim(line);
    std::string out;
    if (line.empty()) return out;
    size_t colon = line.find(':');
    bool all_hex = line.size() % 2 == 0;
    for (char c : line) all_hex = all_hex && platform::hex_digit_value(c) >= 0;
    if (all_hex) {
        protocols::common::from_hex(line, out);
        return out;
    }
    std::string_view name = platform::trim(line.substr(0, colon));
    std::string_view value = colon == std::string_view::npos ? "" : platform::trim(line.substr(colon + 1));
    const HeaderCode* h = nullptr;
    for (const HeaderCode& hc : kHeaders)
        if (platform::iequals(hc.name, name)) h = &hc;
    if (!h) {
        append_text_string(out, name);
        append_text_string(out, value);
        return out;
    }
    out += char(h->code);
    switch (h->kind) {
        case HeaderCode::Text:
            append_text_string(out, value);
            break;
        case HeaderCode::Date: {
            uint64_t secs = 0;
            if (parse_date(value, secs))
                append_long_integer(out, secs);
            else
                append_text_string(out, value);
            break;
        }
        case HeaderCode::Challenge: {
            if (value.size() > 6 && platform::iequals(value.substr(0, 6), "Basic ")) {
                std::string_view realm = platform::trim(value.substr(6));
                if (realm.size() > 6 && platform::iequals(realm.substr(0, 6), "realm=")) realm = realm.substr(6);
                std::string v(1, char(0x80));
                append_text_string(v, unquote(realm));
                append_value_length(out, v.size());
                out += v;
            } else {
                append_text_string(out, value);
            }
            break;
        }
        case HeaderCode::CacheControl:
            encode_cache_control(out, value);
            break;
        case HeaderCode::Pragma:
            if (platform::iequals(value, "no-cache"))
                out += char(0x80);
            else
                append_text_string(out, value);
            break;
        case HeaderCode::AcceptRanges:
            if (platform::iequals(value, "none"))
                out += char(0x80);
            else if (platform::iequals(value, "bytes"))
                out += char(0x81);
            else
                append_text_string(out, value);
            break;
        case HeaderCode::Range: {
            // "bytes first-last/length"
            std::string_view v = value;
            if (v.size() > 6 && platform::iequals(v.substr(0, 6), "bytes ")) v = platform::trim(v.substr(6));
            size_t dash = v.find('-'), slash = v.find('/');
            uint64_t first = 0, len = 0;
            std::string r;
            if (dash != std::string_view::npos && slash != std::string_view::npos &&
                parse_uint(v.substr(0, dash), first) && first <= UINT32_MAX) {
                append_uintvar(r, static_cast<uint32_t>(first));
                if (v.substr(slash + 1) == "*")
                    r += char(0x80);
                else if (parse_uint(v.substr(slash + 1), len) && len <= UINT32_MAX)
                    append_uintvar(r, static_cast<uint32_t>(len));
                else
                    r.clear();
            }
            if (r.empty()) {
                append_text_string(out, value);
            } else {
                append_value_length(out, r.size());
                out += r;
            }
            break;
        }
        case HeaderCode::AppId: {
            uint64_t n = 0;
            if (unsigned known = push_application_number(value))
                append_integer_value(out, known);
            else if (value.size() > 2 && (value.substr(0, 2) == "0x" || value.substr(0, 2) == "0X") &&
                     parse_uint(value.substr(2), n, 16))
                append_integer_value(out, n);
            else if (parse_uint(value, n))
                append_integer_value(out, n);
            else
                append_text_string(out, value);
            break;
        }
        case HeaderCode::Flag:
            append_short_or_text(out, value);
            break;
    }
    return out;
}

std::string encode_content_type(std::string_view type, std::string_view params,
                                std::string_view extra_params) {
    std::string type_bytes;
    unsigned number = radio::charset::content_type_to_number(type);
    if (number <= 0x7F)
        type_bytes += char(0x80 | number);
    else
        append_text_string(type_bytes, type);
    std::string p;
    while (!params.empty()) {
        size_t semi = params.find(';');
        std::string_view item = platform::trim(params.substr(0, semi));
        params = semi == std::string_view::npos ? std::string_view{} : params.substr(semi + 1);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string_view name = platform::trim(item.substr(0, eq));
        std::string_view value = eq == std::string_view::npos ? "" : unquote(item.substr(eq + 1));
        unsigned mib = 0;
        if (platform::iequals(name, "charset") && (mib = radio::charset::name_to_mibenum(value)) != 0) {
            p += char(0x81);
            append_integer_value(p, mib);
        } else if (platform::iequals(name, "type")) {
            p += char(0x89);
            unsigned n = radio::charset::content_type_to_number(value);
            if (n <= 0x7F)
                p += char(0x80 | n);
            else
                append_text_string(p, value);
        } else if (platform::iequals(name, "name")) {
            p += char(0x85);
            append_text_string(p, value);
        } else if (platform::iequals(name, "filename")) {
            p += char(0x86);
            append_text_string(p, value);
        } else if (platform::iequals(name, "SEC")) {
            // A signature the pusher computed itself.
            p += char(0x91);
            if (platform::iequals(value, "USERPIN"))
                p += char(0x81);
            else if (platform::iequals(value, "USERNETWPIN"))
                p += char(0x82);
            else if (platform::iequals(value, "USERPINMAC"))
                p += char(0x83);
            else
                p += char(0x80);
        } else if (platform::iequals(name, "MAC")) {
            p += char(0x92);
            append_text_string(p, value);
        } else if (platform::iequals(name, "start")) {
            p += char(0x8A);
            append_text_string(p, value);
        } else {
            append_text_string(p, name);
            append_text_string(p, value);
        }
    }
    p.append(extra_params);
    if (p.empty()) return type_bytes;
    std::string out;
    append_value_length(out, type_bytes.size() + p.size());
    out += type_bytes;
    out += p;
    return out;
}

std::string encode_imsi(std::string_view imsi) {
    if (imsi.empty()) return {};
    for (char c : imsi)
        if (c < '0' || c > '9') return {};
    std::vector<uint8_t> nibbles;
    nibbles.push_back(imsi.size() % 2 ? 9 : 1);
    for (char c : imsi) nibbles.push_back(static_cast<uint8_t>(c - '0'));
    if (nibbles.size() % 2) nibbles.push_back(0x0F);
    std::string out;
    for (size_t i = 0; i < nibbles.size(); i += 2) out += char(nibbles[i] | (nibbles[i + 1] << 4));
    return out;
}

uint8_t next_push_tid() {
    static std::mutex mu;
    static bool seeded = false;
    static uint8_t tid = 0;
    std::lock_guard lk(mu);
    if (!seeded) {
        tid = static_cast<uint8_t>(platform::now() & 0xFF);
        seeded = true;
        return tid;
    }
    return ++tid;
}

int CreateWAPPushBinary(const PushRequest& r, std::string& pdu, std::string& error) {
    pdu.clear();
    error.clear();
    std::string_view ct = r.content_type;
    size_t semi = ct.find(';');
    std::string type(platform::trim(ct.substr(0, semi)));
    std::string_view params = semi == std::string_view::npos ? std::string_view{} : ct.substr(semi + 1);

    std::string body;
    switch (r.kind) {
        case PushContentKind::Hex:
            if (!protocols::common::from_hex(platform::trim(r.content), body)) {
                error = "Push content is not valid hex";
                return 0;
            }
            break;
        case PushContentKind::Xml: {
            PushDocument doc = detect_push_document(r.content);
            if (!doc.found || compile(doc.family, r.content, body, true, true) == 0) {
                error = "XML Content Not Recognised";
                return 0;
            }
            if (type.empty() || platform::iequals(type, doc.xml_type) ||
                (doc.family == Family::EmailNotification && platform::iequals(type, "text/vnd.wap.emn+xml")))
                type = std::string(doc.binary_type);
            break;
        }
        default:
            body = r.content;
    }

    std::string headers;
    std::string_view lines = r.headers;
    while (!lines.empty()) {
        size_t nl = lines.find('\n');
        headers += encode_header_line(lines.substr(0, nl));
        lines = nl == std::string_view::npos ? std::string_view{} : lines.substr(nl + 1);
    }
    if (!platform::trim(r.application_id).empty())
        headers += encode_header_line("X-WAP-Application-ID: " + std::string(platform::trim(r.application_id)));

    std::string security;
    if (!platform::trim(r.security).empty()) {
        std::string_view method = platform::trim(r.security);
        std::string key;
        uint8_t sec = 0;
        if (platform::iequals(method, "USERPIN")) {
            if (r.pin.empty()) {
                error = "USERPIN security needs a PIN";
                return 0;
            }
            key = r.pin;
            sec = 0x81;
        } else if (platform::iequals(method, "NETWPIN") || platform::iequals(method, "USERNETWPIN")) {
            std::string_view pin = r.pin;
            size_t colon = pin.find(':');
            std::string imsi = encode_imsi(platform::trim(pin.substr(0, colon)));
            if (imsi.empty()) {
                error = "Security method " + std::string(method) + " needs an IMSI of digits";
                return 0;
            }
            frame::debug_tracef(kTrace, "Encoded IMSI is %s",
                                protocols::common::to_hex(imsi).c_str());
            key = imsi;
            if (colon != std::string_view::npos) key.append(pin.substr(colon + 1));
            sec = colon != std::string_view::npos ? 0x82 : 0x80;
        } else {
            error = "Unknown security method " + std::string(method) +
                    " (NETWPIN, USERPIN or USERNETWPIN)";
            return 0;
        }
        std::string mac = support::GenerateHMAC(key, body);
        if (mac.size() != support::kHmacSize) {
            error = "Insufficient Memory to process request";
            return 0;
        }
        security += char(0x91);
        security += char(sec);
        security += char(0x92);
        append_text_string(security, protocols::common::to_hex(mac));
    }

    std::string content_type = encode_content_type(type, params, security);
    size_t headers_len = content_type.size() + headers.size();
    std::string prefix;
    prefix += char(next_push_tid());
    prefix += char(kPushPdu);
    append_uintvar(prefix, static_cast<uint32_t>(headers_len));
    size_t max = r.max_size ? r.max_size : kDefaultMaxSize;
    if (prefix.size() + headers_len + body.size() > max) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "Push data is too large (%zu + %zu + %zu > %zu)",
                      prefix.size(), headers_len, body.size(), max);
        error = buf;
        return 0;
    }
    pdu.reserve(prefix.size() + headers_len + body.size());
    pdu = prefix;
    pdu += content_type;
    pdu += headers;
    pdu += body;
    return 1;
}

}  // namespace wbxml
