#include "radio/pdu.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "delivery/segmentation.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"

namespace radio::pdu {

namespace cs = radio::charset;
using protocols::common::to_hex;

namespace {

std::atomic<uint8_t> g_mr{0};

char semi_octet_char(int v) {
    static const char kDigits[] = "0123456789*#abc";
    return v < 15 ? kDigits[v] : '\0';
}

// Swapped semi-octets of digits, F-padded.
std::string pack_digits(std::string_view digits) {
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char lo = digits[i];
        char hi = i + 1 < digits.size() ? digits[i + 1] : 'F';
        out += hi;
        out += lo;
    }
    return out;
}

std::string_view strip_plus(std::string_view number, bool& international) {
    international = !number.empty() && number[0] == '+';
    if (international) number.remove_prefix(1);
    return number;
}

int bcd_swapped(uint8_t o) {
    return (o & 0x0F) * 10 + (o >> 4);
}

// Days since 1970-01-01 of a civil date.
long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// A reader over the octets of a PDU that never reads past its end.
struct Reader {
    std::string_view o;
    size_t pos = 0;
    bool ok = true;
    size_t left() const { return pos < o.size() ? o.size() - pos : 0; }
    bool need(size_t n) {
        if (left() < n) ok = false;
        return ok;
    }
    uint8_t u8() {
        if (!need(1)) return 0;
        return uint8_t(o[pos++]);
    }
    std::string_view take(size_t n) {
        if (!need(n)) return {};
        std::string_view s = o.substr(pos, n);
        pos += n;
        return s;
    }
};

bool read_timestamp(Reader& r, Timestamp& t) {
    std::string_view s = r.take(7);
    if (!r.ok) return false;
    for (int i = 0; i < 7; ++i) t.raw[i] = uint8_t(s[i]);
    const int yy = bcd_swapped(t.raw[0]);
    t.year = yy < 80 ? 2000 + yy : 1900 + yy;
    t.month = bcd_swapped(t.raw[1]);
    t.day = bcd_swapped(t.raw[2]);
    t.hour = bcd_swapped(t.raw[3]);
    t.minute = bcd_swapped(t.raw[4]);
    t.second = bcd_swapped(t.raw[5]);
    const uint8_t z = t.raw[6];
    const int quarters = (z & 0x07) * 10 + (z >> 4);
    t.zone_quarters = (z & 0x08) ? -quarters : quarters;
    t.present = true;
    return true;
}

// Packed 7-bit text of an alphanumeric address (semi_octets of it).
std::string alpha_address(std::string_view octets, size_t semi_octets) {
    const size_t septets = semi_octets * 4 / 7;
    std::string septs = cs::unpack_septets(to_hex(octets), 0, septets);
    if (septs.size() > septets) septs.resize(septets);
    return cs::gsm_to_win1252(septs);
}

std::string digit_address(std::string_view octets, size_t digits) {
    std::string out;
    for (size_t i = 0; i < octets.size() && out.size() < digits; ++i) {
        const uint8_t o = uint8_t(octets[i]);
        for (int v : {o & 0x0F, o >> 4}) {
            if (out.size() >= digits) break;
            const char c = semi_octet_char(v);
            if (!c) return out;  // F ends the number
            out += c;
        }
    }
    return out;
}

// TP-OA / TP-RA: length in semi-octets, type, digits. wide_alpha: the
// report's wider test for alphanumeric addresses.
bool read_address(Reader& r, std::string& out, uint8_t& type, bool wide_alpha,
                  bool alpha_bug) {
    const uint8_t len = r.u8();
    type = r.u8();
    if (!r.ok) return false;
    const bool alpha = wide_alpha ? (type & 0xD0) == 0xD0 : (type & 0xF0) == 0xD0;
    size_t octets = (len + 1) / 2;
    size_t semi = len;
    if (alpha && alpha_bug) {
        // Devices that count the address length in octets, the type included.
        octets = len > 0 ? len - 1 : 0;
        semi = octets * 2;
    }
    std::string_view a = r.take(octets);
    if (!r.ok) return false;
    if (alpha) {
        out = alpha_address(a, semi);
    } else {
        out = digit_address(a, len);
        const bool plus = wide_alpha ? type == 0x91 : (type == 0x91 || type == 0xF1);
        if (plus && !out.empty()) out.insert(0, "+");
    }
    return true;
}

bool is_number(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    return protocols::common::all_digits(s);
}

void decode_from(std::string_view octets, size_t start, const DecodeOptions& opt,
                 Decoded& d) {
    Reader r{octets, start};
    d.first_octet = r.u8();
    if (!r.ok) {
        d.kind = Kind::Truncated;
        d.error = "PDU ends before the first octet";
        return;
    }
    const int mti = d.first_octet & 0x03;
    if (mti == 0x00) {
        d.has_udh = (d.first_octet & 0x40) != 0;
        if (!read_address(r, d.sender, d.sender_type, false, opt.alpha_sender_bug)) {
            d.kind = Kind::Truncated;
            d.error = "PDU ends in the sender address";
            return;
        }
        d.pid = r.u8();
        d.dcs = r.u8();
        if (!r.ok || !read_timestamp(r, d.scts)) {
            d.kind = Kind::Truncated;
            d.error = "PDU ends before the time stamp is complete";
            return;
        }
        d.udl = r.u8();
        if (!r.ok) {
            d.kind = Kind::Truncated;
            d.error = "PDU ends before the user data length";
            return;
        }
        const bool gsm7 = cs::dcs_is_gsm7(d.dcs);
        const size_t ud_octets = gsm7 ? (size_t(d.udl) * 7 + 7) / 8 : d.udl;
        std::string_view ud = r.take(ud_octets);
        if (!r.ok) {
            d.kind = Kind::Truncated;
            d.error = platform::strprintf("User data length %u needs %zu octets, %zu present",
                                          d.udl, ud_octets, r.left());
            return;
        }
        d.kind = Kind::Deliver;
        if (d.has_udh) {
            const size_t udhl = ud.empty() ? 0 : uint8_t(ud[0]);
            if (ud.empty() || udhl + 1 > ud.size()) {
                d.kind = Kind::Invalid;
                d.error = "User data header longer than the user data";
                return;
            }
            d.udh = to_hex(ud.substr(0, udhl + 1));
            d.data = to_hex(ud.substr(udhl + 1));
            d.binary = true;
        } else if (gsm7) {
            std::string septets = cs::unpack_septets(to_hex(ud), 0, d.udl);
            d.data = cs::gsm_to_utf8(septets);
        } else {
            d.data = to_hex(ud);
            d.binary = true;
        }
        return;
    }
    if (mti == 0x02) {
        d.mr = r.u8();
        uint8_t type = 0;
        if (!r.ok || !read_address(r, d.recipient, type, true, opt.alpha_sender_bug) ||
            !read_timestamp(r, d.scts) || !read_timestamp(r, d.discharge)) {
            d.kind = Kind::Truncated;
            d.error = "PDU ends before the status report is complete";
            return;
        }
        d.status = r.u8();
        if (!r.ok) {
            d.kind = Kind::Truncated;
            d.error = "PDU ends before the status octet";
            return;
        }
        d.kind = Kind::StatusReport;
        return;
    }
    d.kind = Kind::Unknown;
    d.error = platform::strprintf("SMS Message type = %02X", d.first_octet);
}

std::string two_digits_date(const Timestamp& t) {
    return platform::strprintf("%02d%02d%02d%02d%02d", t.year % 100, t.month, t.day, t.hour,
                               t.minute);
}

std::string last8(std::string_view recipient) {
    return std::string(recipient.size() > 8 ? recipient.substr(recipient.size() - 8) : recipient);
}

}  // namespace

// --- building ---------------------------------------------------------------------------

std::string encode_address(std::string_view number) {
    bool intl = false;
    std::string_view digits = strip_plus(number, intl);
    if (digits.empty()) return "00";
    return platform::strprintf("%02X%s", unsigned(digits.size() & 0xFF), intl ? "91" : "81") +
           pack_digits(digits);
}

std::string encode_smsc(std::string_view number) {
    bool intl = false;
    std::string_view digits = strip_plus(number, intl);
    if (digits.empty()) return "00";
    const std::string packed = pack_digits(digits);
    return platform::strprintf("%02X%s", unsigned((packed.size() / 2 + 1) & 0xFF),
                               intl ? "91" : "81") +
           packed;
}

int validity_octet(std::string_view v) {
    size_t i = 0;
    while (i < v.size() && v[i] == ' ') ++i;
    unsigned long n = 0;
    size_t digits = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') {
        if (n < 1000000) n = n * 10 + unsigned(v[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || n == 0 || i >= v.size()) return -1;
    const char unit = char(v[i] | 0x20);
    auto days = [](unsigned long d) { return int(std::min<unsigned long>(d, 30) + 166); };
    switch (unit) {
    case 'd':
        return days(n);
    case 'm':
        if (n <= 720) return int((n + 4) / 5);
        n = (n + 59) / 60;  // beyond 12 h: whole hours
        [[fallthrough]];
    case 'h':
        if (n < 12) return int(n * 12);
        if (n <= 24) return int(n * 2 + 119);
        return days((n + 23) / 24);
    default:
        return -1;
    }
}

uint8_t next_message_reference() {
    uint8_t v = uint8_t(g_mr.fetch_add(1) + 1);
    if (v == 0) v = uint8_t(g_mr.fetch_add(1) + 1);
    return v;
}

BuiltPdu build_submit(const SubmitParams& p) {
    BuiltPdu b;
    std::string smsc = p.omit_smsc ? std::string() : encode_smsc(p.smsc);
    const int vp = validity_octet(p.validity);
    // Hex fields are written whole octets only.
    const std::string udh_hex = p.udh.substr(0, p.udh.size() & ~size_t(1));
    const bool has_udh = !udh_hex.empty();
    const bool gsm7 = cs::dcs_is_gsm7(p.dcs);
    const size_t udh_octets = udh_hex.size() / 2;

    std::string ud;
    unsigned udl = 0;
    if (p.text && gsm7) {
        std::string septets = cs::utf8_to_gsm(p.data, kMaxSeptets);
        if (septets.size() > kMaxSeptets) {
            septets.resize(kMaxSeptets);
            if (uint8_t(septets.back()) == cs::kGsmEscape) septets.pop_back();
        }
        ud = udh_hex + cs::pack_septets(septets, udh_octets);
        udl = unsigned((udh_octets * 8 + 6) / 7 * (has_udh ? 1 : 0) + septets.size());
    } else if (p.text) {
        ud = udh_hex + (cs::dcs_is_ucs2(p.dcs) ? cs::utf8_to_ucs2_hex(p.data) : to_hex(p.data));
        udl = unsigned(ud.size() / 2);
    } else {
        ud = udh_hex + p.data;
        if (ud.size() % 2) ud.pop_back();
        size_t n = ud.size() / 2;
        if (!gsm7) {
            udl = unsigned(n);
        } else if (has_udh && n == udh_octets) {
            // The header alone: a fill octet keeps the septet count whole.
            if (n % 7 > 1) {
                ud += "00";
                ++n;
            }
            udl = unsigned(n * 8 / 7);
        } else {
            udl = unsigned(n * 8 / 7);
            if (udl != 0 && udl % 8 == 0 && udl != 160 && n > 0) {
                const std::string last = ud.substr(ud.size() - 2);
                if (last == "40" || last == "41") {
                    // The last octet's top seven bits only hold a fill space.
                    ud[ud.size() - 2] = '0';
                    --udl;
                }
            }
        }
    }
    if (udl > 255) udl = 255;

    uint8_t fo = has_udh ? 0x41 : 0x01;
    if (p.status_report) fo |= 0x20;
    if (vp >= 0) fo |= 0x10;
    if (p.reply_path) fo |= 0x80;
    b.mr = p.zero_mr ? 0 : next_message_reference();

    std::string tpdu = platform::strprintf("%02X%02X", fo, b.mr) + encode_address(p.recipient) +
                       platform::strprintf("%02X%02X", p.pid, p.dcs);
    if (vp >= 0) tpdu += platform::strprintf("%02X", unsigned(vp));
    tpdu += platform::strprintf("%02X", udl);
    tpdu += platform::to_upper(ud);
    b.tpdu_length = unsigned(tpdu.size() / 2);
    b.user_data_octets = unsigned(ud.size() / 2);
    b.hex = smsc + tpdu;
    return b;
}

namespace {

std::string cdma_address(std::string_view number) {
    std::string a = encode_address(number);
    if (a.size() >= 4 && a.compare(2, 2, "81") == 0) a.replace(2, 2, "80");
    return a;
}

// Text for the CDMA modules: Windows-1252 with everything outside ASCII
// as "?", one character per septet.
std::string cdma_ascii(std::string_view utf8) {
    std::string t = cs::utf8_to_win1252(utf8);
    for (char& c : t)
        if (uint8_t(c) >= 0x80) c = '?';
    return t;
}

}  // namespace

BuiltPdu build_cdma(const CdmaParams& p) {
    BuiltPdu b;
    const std::string dest = cdma_address(p.recipient);
    std::string body = p.sender.empty() ? std::string("00") : cdma_address(p.sender);
    const size_t udh_octets = p.udh.size() / 2;
    std::vector<delivery::UdhElement> elements;
    std::string error;
    const bool udh_ok = !p.udh.empty() && delivery::parse_udh(p.udh, elements, error);
    const delivery::UdhElement* ports = nullptr;
    const delivery::UdhElement* concat = nullptr;
    for (const delivery::UdhElement& e : elements) {
        if (e.id == 0x05 && e.data.size() == 4) ports = &e;
        if (e.id == 0x00 && e.data.size() == 3) concat = &e;
    }
    const bool wap = ports && (uint8_t(ports->data[0]) << 8 | uint8_t(ports->data[1])) == 2948;
    if (p.text && p.udh.empty() && cs::dcs_is_gsm7(p.dcs)) {
        const std::string t = cdma_ascii(p.data).substr(0, kMaxSeptets);
        body += platform::strprintf("10020002%02X", unsigned(t.size() & 0xFF)) +
                cs::pack_septets_msb_first(t, 0);
    } else if (p.text && cs::dcs_is_gsm7(p.dcs)) {
        const std::string t = cdma_ascii(p.data).substr(0, kMaxSeptets);
        const std::string ud = p.udh + cs::pack_septets_msb_first(t, udh_octets);
        body += platform::strprintf("10050002%02X", unsigned((ud.size() / 2) & 0xFF)) + ud;
    } else if (wap && udh_ok) {
        const uint8_t ref = concat ? uint8_t(concat->data[0]) : 0;
        const uint8_t total = concat ? uint8_t(concat->data[1]) : 1;
        const uint8_t seq = concat ? uint8_t(concat->data[2]) : 1;
        const unsigned dport = uint8_t(ports->data[0]) << 8 | uint8_t(ports->data[1]);
        const unsigned sport = uint8_t(ports->data[2]) << 8 | uint8_t(ports->data[3]);
        const std::string data = p.text ? to_hex(p.data) : p.data;
        body += platform::strprintf("10040000" "00%02X%02X%02X%04X%04X", ref, total, seq, dport, sport) +
                platform::strprintf("%02X", unsigned((data.size() / 2) & 0xFF)) + data;
    } else {
        std::string data = p.text ? (cs::dcs_is_ucs2(p.dcs) ? cs::utf8_to_ucs2_hex(p.data)
                                                            : to_hex(p.data))
                                  : p.data;
        data = p.udh + data;
        if (data.size() % 2) data.pop_back();
        body += platform::strprintf("1005%s%02X", cs::dcs_is_ucs2(p.dcs) ? "0004" : "0000",
                                    unsigned((data.size() / 2) & 0xFF)) +
                data;
    }
    body = platform::to_upper(body);
    b.tpdu_length = unsigned(body.size() / 2);
    b.hex = dest + body;
    return b;
}

// --- decoding ---------------------------------------------------------------------------

std::string hex_to_octets(std::string_view hex, size_t max) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size() && out.size() < max; i += 2) {
        const int hi = platform::hex_digit_value(hex[i]);
        const int lo = platform::hex_digit_value(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        out += char(hi << 4 | lo);
    }
    return out;
}

Decoded decode(std::string_view hex, const DecodeOptions& opt) {
    Decoded d;
    const std::string octets = hex_to_octets(hex);
    if (octets.empty()) {
        d.kind = Kind::Invalid;
        d.error = "PDU holds no hex octets";
        return d;
    }
    const size_t smsc_len = uint8_t(octets[0]);
    if (smsc_len + 1 > octets.size()) {
        d.kind = Kind::Truncated;
        d.error = "PDU ends in the SMSC address";
        return d;
    }
    if (smsc_len > 0) {
        const uint8_t type = uint8_t(octets[1]);
        d.smsc = digit_address(std::string_view(octets).substr(2, smsc_len - 1),
                               (smsc_len - 1) * 2);
        if (type == 0x91 && !d.smsc.empty()) d.smsc.insert(0, "+");
    }
    if (!opt.disable_report_check && !is_number(d.smsc) && octets.size() > 3 &&
        (uint8_t(octets[0]) & 0x03) == 0x02 && (uint8_t(octets[3]) & 0xE0) == 0x80) {
        // No SMSC field at all: the PDU starts at its first octet.
        Decoded again;
        again.smsc_missing = true;
        decode_from(octets, 0, opt, again);
        if (again.kind == Kind::StatusReport) return again;
    }
    decode_from(octets, smsc_len + 1, opt, d);
    return d;
}

// --- status reports and receipts -------------------------------------------------------

StatusClass status_class(uint8_t st) {
    if (st <= 0x02) return StatusClass::Delivered;
    if (st >= 0x20 && st <= 0x3F) return StatusClass::Temporary;
    return StatusClass::Failed;
}

std::string_view status_text(uint8_t st) {
    switch (st) {
    case 0x00: return "(Delivered)";
    case 0x01: return "(Forwarded: Delivery unconfirmed)";
    case 0x02: return "(Forwarded: Message replaced)";
    case 0x20: return "(Temp Error: Network Congestion)";
    case 0x21: return "(Temp Error: Recipient Busy)";
    case 0x22: return "(Temp Error: Recip No Response)";
    case 0x23: return "(Temp Error: Service Rejected)";
    case 0x24: return "(Temp Error: QoS not available)";
    case 0x25: return "(Temp Error: Error at receipient)";
    case 0x40: return "(Error: Remote Procedure Error)";
    case 0x41: return "(Error: Incompatible Destination)";
    case 0x42: return "(Error: Message rejected)";
    case 0x43: return "(Error: Not obtainable)";
    case 0x44:
    case 0x64: return "(Error: QoS not available)";
    case 0x45: return "(Error: No interworking avail)";
    case 0x46: return "(Error: Message Expired)";
    case 0x47: return "(Error: Message del by sender)";
    case 0x48: return "(Error: Message deleted by admin)";
    case 0x49: return "(Error: Message does not exist)";
    case 0x60: return "(Error: Network Congestion)";
    case 0x61: return "(Error: Recipient Busy)";
    case 0x62: return "(Error: Recipient Not Responding)";
    case 0x63: return "(Error: Service Rejected)";
    case 0x65: return "(Error: Error at receipient)";
    default: break;
    }
    if (st >= 0x26 && st <= 0x3F) return "(Temp Error: Unknown error)";
    return "(Error: Message not Delivered)";
}

std::string local_time_text(const Timestamp& t) {
    if (!t.present) return {};
    const long days = days_from_civil(t.year, std::clamp(t.month, 1, 12), std::clamp(t.day, 1, 31));
    const time_t utc = time_t(days) * 86400 + t.hour * 3600 + t.minute * 60 + t.second -
                       time_t(t.zone_quarters) * 15 * 60;
    const platform::LocalTime l = platform::to_local(utc);
    return platform::strprintf("%04d%02d%02d%02d%02d%02d", l.year, l.month, l.day, l.hour,
                               l.minute, l.second);
}

std::string report_text(const Decoded& d, size_t max_len) {
    auto stamp = [](const char* what, const Timestamp& t) {
        const int q = t.zone_quarters < 0 ? -t.zone_quarters : t.zone_quarters;
        return platform::strprintf(" %s: %04d-%02d-%02d %02d:%02d:%02d %s%02d%02d", what, t.year,
                                   t.month, t.day, t.hour, t.minute, t.second,
                                   t.zone_quarters < 0 ? "-" : "+", q / 4, (q % 4) * 15);
    };
    std::string s = "Report: " + d.recipient + " SMSC: " + d.smsc + stamp("Submitted", d.scts) +
                    stamp("Reported", d.discharge) +
                    platform::strprintf(" Status: %02X ", d.status) +
                    std::string(status_text(d.status));
    if (max_len > 0 && s.size() > max_len) {
        s.resize(max_len);
        s.back() = ')';
    }
    return s;
}

std::string modem_reference_key(uint8_t mr, std::string_view recipient) {
    return platform::strprintf("%02X-", mr) + last8(recipient);
}

std::string modem_timestamp_key(const Timestamp& t, std::string_view recipient) {
    std::string k;
    for (uint8_t o : t.raw) k += platform::strprintf("%02X", unsigned(bcd_swapped(o)));
    return k + "-" + last8(recipient);
}

std::string modem_receipt_text(const Decoded& d, std::string_view message_id) {
    const bool delivered = status_class(d.status) == StatusClass::Delivered;
    return platform::strprintf("id:%.*s sub:001 dlvrd:%03d submit date:%s done date:%s stat:%s "
                               "err:%03X",
                               int(message_id.size()), message_id.data(), delivered ? 1 : 0,
                               two_digits_date(d.scts).c_str(),
                               two_digits_date(d.discharge).c_str(),
                               delivered ? "DELIVRD" : "REJECTD", unsigned(d.status));
}

}  // namespace radio::pdu
