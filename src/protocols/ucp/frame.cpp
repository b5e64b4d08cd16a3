// UCP/EMI frames and the field layouts of the operations the gateway uses.
#include "protocols/ucp/frame.h"

#include <algorithm>

#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"

namespace protocols::ucp {

namespace cs = radio::charset;

namespace {

using common::all_digits;
using common::parse_number;

std::string two_digits(int v) {
    return platform::strprintf("%02d", v % 100);
}

bool is_50_series(int ot) {
    return ot >= 50 && ot <= 59;
}

}  // namespace

std::string checksum(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes) sum += uint8_t(c);
    sum &= 0xFF;
    return std::string{common::HEX_DIGITS[sum >> 4], common::HEX_DIGITS[sum & 0xF]};
}

std::string encode_frame(const Frame& f) {
    size_t data_len = 0;
    for (const std::string& field : f.fields) data_len += field.size() + 1;
    // "TT/LLLLL/O/OO/" + fields + checksum
    size_t len = 14 + data_len + 2;
    std::string body;
    body.reserve(len + 2);
    body += two_digits(f.trn);
    body += '/';
    body += platform::strprintf("%05u", unsigned(std::min(len, kMaxFrameBody)));
    body += '/';
    body += f.result ? 'R' : 'O';
    body += '/';
    body += two_digits(f.ot);
    body += '/';
    for (const std::string& field : f.fields) {
        body += field;
        body += '/';
    }
    std::string out;
    out.reserve(body.size() + 4);
    out += STX;
    out += body;
    out += checksum(body);
    out += ETX;
    return out;
}

Scan scan_frame(std::string_view buffer) {
    return scan_frame(buffer, 0);
}

Scan scan_frame(std::string_view buffer, size_t resume) {
    Scan s;
    if (buffer.empty()) return s;
    size_t start = buffer.find(STX);
    if (start != 0) {
        s.state = ScanState::Garbage;
        s.skip = start == std::string_view::npos ? buffer.size() : start;
        s.examined = s.skip;
        return s;
    }
    size_t from = std::clamp<size_t>(resume, 1, buffer.size());
    size_t end = buffer.find_first_of(std::string_view("\x02\x03", 2), from);
    s.examined = 1 + (end == std::string_view::npos ? buffer.size() : end + 1) - from;
    if (end == std::string_view::npos) {
        if (buffer.size() - 1 > kMaxFrameBody) s.state = ScanState::Oversized;
        s.resume = buffer.size();
        return s;
    }
    if (end - 1 > kMaxFrameBody) {
        s.state = ScanState::Oversized;
        return s;
    }
    s.state = buffer[end] == STX ? ScanState::MissingEtx : ScanState::Frame;
    s.length = buffer[end] == STX ? end : end + 1;
    return s;
}

DecodeError decode_frame(std::string_view body, Frame& out, bool* header_ok) {
    out = Frame{};
    if (header_ok) *header_ok = false;
    if (body.size() < 14) return DecodeError::Header;
    int trn = parse_number(body.substr(0, 2));
    int len = parse_number(body.substr(3, 5));
    int ot = parse_number(body.substr(11, 2));
    char kind = body[9];
    if (body[2] != '/' || body[8] != '/' || body[10] != '/' || body[13] != '/' || trn < 0 ||
        len < 0 || ot < 0 || (kind != 'O' && kind != 'R'))
        return DecodeError::Header;
    out.trn = trn;
    out.ot = ot;
    out.result = kind == 'R';
    if (header_ok) *header_ok = true;

    size_t last = body.rfind('/');  // >= 13
    std::string_view sum = body.substr(last + 1);
    if (sum.size() != 2 || common::hex_digit(sum[0]) < 0 || common::hex_digit(sum[1]) < 0)
        return DecodeError::Syntax;
    if (!platform::iequals(checksum(body.substr(0, last + 1)), sum)) return DecodeError::Checksum;
    if (size_t(len) != body.size()) return DecodeError::Length;
    if (last > 13) {
        std::string_view data = body.substr(14, last - 14);
        for (;;) {
            size_t slash = data.find('/');
            out.fields.emplace_back(data.substr(0, slash));
            if (slash == std::string_view::npos) break;
            data.remove_prefix(slash + 1);
        }
    }
    return DecodeError::None;
}

// ---- field encodings -----------------------------------------------------------

std::string to_hex(std::string_view octets) {
    return common::to_hex(octets);
}

bool from_hex(std::string_view hex, std::string& octets) {
    return common::from_hex(hex, octets);
}

std::string encode_alphanumeric_address(std::string_view utf8) {
    std::string septets = cs::utf8_to_gsm(utf8);
    size_t keep = 0;
    while (keep < septets.size()) {
        size_t step = uint8_t(septets[keep]) == cs::kGsmEscape && keep + 1 < septets.size() ? 2 : 1;
        if (keep + step > kMaxAlphaSeptets) break;
        keep += step;
    }
    septets.resize(keep);
    if (septets.empty()) return {};
    size_t semi_octets = (septets.size() * 7 + 3) / 4;
    return platform::strprintf("%02X", unsigned(semi_octets)) + cs::pack_septets(septets, 0);
}

bool decode_alphanumeric_address(std::string_view field, std::string& utf8) {
    utf8.clear();
    std::string octets;
    if (field.size() < 4 || !from_hex(field, octets)) return false;
    size_t semi_octets = uint8_t(octets[0]);
    size_t data_octets = octets.size() - 1;
    if (semi_octets == 0 || semi_octets > data_octets * 2 || (semi_octets + 1) / 2 < data_octets)
        return false;
    size_t count = semi_octets * 4 / 7;
    if (count == 0) return false;
    std::string septets = cs::unpack_septets(field.substr(2), 0, count);
    if (septets.size() != count) return false;
    utf8 = cs::gsm_to_utf8(septets);
    return true;
}

std::string encode_xser(const std::vector<XSerItem>& items) {
    std::string out;
    for (const XSerItem& it : items) {
        size_t n = std::min<size_t>(it.data.size(), 255);
        out += platform::strprintf("%02X%02X", unsigned(it.type), unsigned(n));
        out += to_hex(std::string_view(it.data).substr(0, n));
    }
    return out;
}

bool decode_xser(std::string_view hex, std::vector<XSerItem>& items) {
    std::string octets;
    if (!from_hex(hex, octets)) return false;
    size_t i = 0;
    while (i < octets.size()) {
        if (i + 2 > octets.size()) return false;
        XSerItem it;
        it.type = uint8_t(octets[i]);
        size_t n = uint8_t(octets[i + 1]);
        if (i + 2 + n > octets.size()) return false;
        it.data = octets.substr(i + 2, n);
        items.push_back(std::move(it));
        i += 2 + n;
    }
    return true;
}

std::string scts_to_receipt_date(std::string_view scts) {
    if (scts.size() != 12 || !all_digits(scts)) return {};
    std::string out;
    out += scts.substr(4, 2);  // YY
    out += scts.substr(2, 2);  // MM
    out += scts.substr(0, 2);  // DD
    out += scts.substr(6, 4);  // hhmm
    return out;
}

// ---- operations ------------------------------------------------------------------

namespace {

// Recipient as the SMSC wants it: digits only, "+" replaced by the prefix.
bool recipient_address(std::string_view r, const CodingOptions& opt, std::string& out) {
    r = platform::trim(r);
    out.clear();
    if (!r.empty() && r[0] == '+') {
        out = opt.plus_prefix;
        r.remove_prefix(1);
    }
    out += r;
    return all_digits(out) && out.size() <= 16;
}

// Septets or ISO-8859-1 octets of an MT=3 message.
std::string ira_octets_from_septets(std::string_view septets, TextCharset charset) {
    return charset == TextCharset::Gsm ? std::string(septets) : cs::gsm_to_win1252(septets);
}

}  // namespace

int build_submit(const common::SubmitRecord& m, const CodingOptions& opt, Frame& f) {
    f = Frame{};
    f.ot = OT_SUBMIT;
    f.fields.assign(FIELDS_50, std::string());
    auto& F = f.fields;

    if (!recipient_address(m.recipient, opt, F[F_ADC])) return EC_ADC_INVALID;

    std::string_view sender = platform::trim(m.sender);
    if (!sender.empty()) {
        std::string_view digits = sender[0] == '+' ? sender.substr(1) : sender;
        if (all_digits(digits) && digits.size() <= 16) {
            F[F_OADC] = std::string(digits);
            if (sender[0] == '+') F[F_OTOA] = "1139";
        } else {
            F[F_OADC] = encode_alphanumeric_address(sender);
            if (!F[F_OADC].empty()) F[F_OTOA] = "5039";
        }
    }

    int nt = (m.flags & 0x02) ? 3 : (m.flags & 0x40) ? 2 : 0;
    if (nt) {
        F[F_NRQ] = '1';  // a char: GCC 12 warns (-Wrestrict) on a one-character literal here
        F[F_NT] = std::to_string(nt);
        if (!opt.notification_address.empty()) {
            F[F_NADC] = opt.notification_address;
            F[F_NPID] = opt.notification_pid;
        }
    }
    if (m.pid > 0 && m.pid <= 255) F[F_RPID] = platform::strprintf("%04d", m.pid);

    std::string udh;
    if (!from_hex(platform::trim(m.udh_hex), udh)) return EC_SYNTAX;
    const uint8_t dcs = uint8_t(m.dcs);
    std::vector<XSerItem> xser;
    if (!udh.empty()) xser.push_back({XSER_UDH, udh});

    // Either 7-bit text (MT=3) or transparent octets (MT=4).
    bool text = false;
    std::string body;  // MT=3: GSM codes or ISO-8859-1; MT=4: octets
    if (m.binary) {
        std::string octets;
        if (!from_hex(platform::trim(m.data), octets)) return EC_SYNTAX;
        if (cs::dcs_is_gsm7(dcs)) {
            // Packed septets behind the header's fill bits: the SMSC packs again.
            text = true;
            std::string septets = cs::unpack_septets(platform::trim(m.data), udh.size());
            if (septets.size() > kMaxMessageOctets) return EC_TOO_LONG;
            body = ira_octets_from_septets(septets, opt.charset);
        } else {
            body = std::move(octets);
        }
    } else if (cs::dcs_is_ucs2(dcs)) {
        if (!from_hex(cs::utf8_to_ucs2_hex(m.data), body)) return EC_SYNTAX;
    } else if (cs::dcs_is_gsm7(dcs)) {
        text = true;
        if (opt.charset == TextCharset::Gsm)
            body = cs::utf8_to_gsm(m.data);
        else
            body = cs::utf8_to_win1252(m.data);
    } else {
        body = cs::utf8_to_win1252(m.data);  // text under an 8-bit coding
    }
    if (body.size() > kMaxMessageOctets) return EC_TOO_LONG;

    if (text) {
        F[F_MT] = "3";
        if (dcs != 0) xser.push_back({XSER_DCS, std::string(1, char(dcs))});
    } else {
        F[F_MT] = "4";
        F[F_NB] = std::to_string(body.size() * 8);
        xser.push_back({XSER_DCS, std::string(1, char(dcs))});
    }
    F[F_MSG] = to_hex(body);
    if (const std::string* billing = common::find_option(m.options, "BillingInfo");
        billing && !billing->empty())
        xser.push_back({XSER_BILLING, billing->substr(0, 255)});
    F[F_XSER] = encode_xser(xser);
    return 0;
}

namespace {

std::string originator(const std::vector<std::string>& F) {
    const std::string& oadc = F[F_OADC];
    const std::string& otoa = F.size() > F_OTOA ? F[F_OTOA] : std::string();
    if (otoa == "5039") {
        std::string text;
        if (decode_alphanumeric_address(oadc, text)) return text;
    }
    if (otoa == "1139" && all_digits(oadc)) return "+" + oadc;
    return oadc;
}

}  // namespace

int parse_deliver(const Frame& f, const CodingOptions& opt, common::DeliveryRecord& out) {
    out = common::DeliveryRecord{};
    if (f.fields.size() <= F_MSG) return EC_SYNTAX;
    std::vector<std::string> F = f.fields;
    F.resize(std::max<size_t>(F.size(), FIELDS_50));

    out.recipient = F[F_ADC];
    out.sender = originator(F);
    out.scts = F[F_SCTS];
    if (int pid = parse_number(F[F_RPID]); pid >= 0 && pid <= 255) out.pid = pid;

    std::vector<XSerItem> xser;
    if (!decode_xser(F[F_XSER], xser)) return EC_SYNTAX;
    int dcs = -1;
    for (const XSerItem& it : xser) {
        if (it.type == XSER_UDH) out.udh_hex = to_hex(it.data);
        if (it.type == XSER_DCS && it.data.size() == 1) dcs = uint8_t(it.data[0]);
    }
    size_t udh_octets = out.udh_hex.size() / 2;

    const std::string& mt = F[F_MT];
    std::string octets;
    if (mt == "2") {
        if (!F[F_MSG].empty() && !all_digits(F[F_MSG])) return EC_SYNTAX;
        out.dcs = dcs < 0 ? 0 : dcs;
        out.message = F[F_MSG];
    } else if (mt == "3" || (mt.empty() && F[F_MSG].empty())) {
        if (!from_hex(F[F_MSG], octets)) return EC_SYNTAX;
        out.dcs = dcs < 0 ? 0 : dcs;
        if (udh_octets) {
            // Kept packed behind its header, as a received SMS with a header is stored.
            std::string septets =
                opt.charset == TextCharset::Gsm ? octets : cs::win1252_to_gsm(octets);
            for (char& c : septets) c = char(c & 0x7F);
            out.binary = true;
            out.message = cs::pack_septets(septets, udh_octets);
        } else {
            out.message = opt.charset == TextCharset::Gsm ? cs::gsm_to_utf8(octets)
                                                          : cs::win1252_to_utf8(octets);
        }
    } else if (mt == "4") {
        if (!from_hex(F[F_MSG], octets)) return EC_SYNTAX;
        int nb = parse_number(F[F_NB]);
        if (!F[F_NB].empty() && (nb < 0 || size_t(nb) > octets.size() * 8)) return EC_SYNTAX;
        out.dcs = dcs < 0 ? 0x04 : dcs;
        const uint8_t d = uint8_t(out.dcs);
        if (!udh_octets && cs::dcs_is_ucs2(d)) {
            out.message = cs::ucs2_hex_to_utf8(F[F_MSG]);
        } else if (!udh_octets && dcs >= 0 && cs::dcs_is_gsm7(d)) {
            out.message = cs::gsm_to_utf8(cs::unpack_septets(F[F_MSG], 0));
        } else {
            out.binary = true;
            out.message = platform::to_upper(F[F_MSG]);
        }
    } else {
        return 23;  // message type not supported
    }
    return 0;
}

int parse_notification(const Frame& f, const CodingOptions& opt, common::DeliveryRecord& out) {
    (void)opt;
    out = common::DeliveryRecord{};
    if (f.fields.size() <= F_DSCTS) return EC_SYNTAX;
    std::vector<std::string> F = f.fields;
    F.resize(std::max<size_t>(F.size(), FIELDS_50));
    const std::string& scts = F[F_SCTS];
    const std::string& dst = F[F_DST];
    if (F[F_ADC].empty() || scts.size() != 12 || !all_digits(scts) || dst.size() != 1)
        return EC_SYNTAX;

    out.sender = F[F_ADC];
    out.recipient = originator(F);
    out.scts = scts;
    out.smsc_message_id = F[F_ADC] + ":" + scts;

    const char* stat = "UNKNOWN";
    int dlvrd = 0;
    out.flags = 0x04;
    switch (dst[0]) {
        case '0':
            stat = "DELIVRD";
            dlvrd = 1;
            out.flags |= 0x08;
            break;
        case '1':
            stat = "ENROUTE";
            out.flags |= 0x10;
            break;
        case '2':
            stat = "UNDELIV";
            out.flags |= 0x20;
            break;
        default:
            break;
    }
    std::string err = all_digits(F[F_RSN]) && F[F_RSN].size() <= 3
                          ? std::string(3 - F[F_RSN].size(), '0') + F[F_RSN]
                          : std::string("000");
    std::string done = scts_to_receipt_date(F[F_DSCTS]);
    out.message =
        platform::strprintf("id:%s sub:001 dlvrd:%03d submit date:%s done date:%s stat:%s err:%s",
                            out.smsc_message_id.c_str(), dlvrd, scts_to_receipt_date(scts).c_str(),
                            done.c_str(), stat, err.c_str());
    return 0;
}

std::string message_id_from_ack(std::string_view sm) {
    return std::string(platform::trim(sm));
}

Frame build_login(std::string_view user, std::string_view password, std::string_view oton,
                  std::string_view onpi) {
    Frame f;
    f.ot = OT_SESSION;
    f.fields.assign(FIELDS_60, std::string());
    f.fields[F60_OADC] = std::string(user);
    f.fields[F60_OTON] = std::string(oton);
    f.fields[F60_ONPI] = std::string(onpi);
    f.fields[F60_STYP] = '1';  // open session; a char, as in build_submit
    f.fields[F60_PWD] = to_hex(password);
    f.fields[F60_VERS] = "0100";
    return f;
}

Frame build_alert(std::string_view address, std::string_view pid) {
    Frame f;
    f.ot = OT_ALERT;
    f.fields = {std::string(address), std::string(pid)};
    return f;
}

Frame build_ack(const Frame& op, std::string_view sm) {
    Frame r;
    r.trn = op.trn;
    r.ot = op.ot;
    r.result = true;
    if (is_50_series(op.ot))
        r.fields = {"A", "", std::string(sm)};
    else
        r.fields = {"A", std::string(sm)};
    return r;
}

Frame build_nack(int trn, int ot, int error_code, std::string_view sm) {
    Frame r;
    r.trn = trn;
    r.ot = ot;
    r.result = true;
    r.fields = {"N", two_digits(error_code), std::string(sm)};
    return r;
}

bool parse_result(const Frame& r, int* error_code, std::string* sm) {
    if (error_code) *error_code = 0;
    if (sm) sm->clear();
    if (r.fields.empty()) return false;
    if (r.fields[0] == "A") {
        size_t at = is_50_series(r.ot) ? 2 : 1;
        if (sm && r.fields.size() > at) *sm = r.fields[at];
        return true;
    }
    if (r.fields[0] == "N" && r.fields.size() > 1) {
        int ec = r.fields[1].size() == 2 ? parse_number(r.fields[1]) : -1;
        if (error_code) *error_code = ec > 0 ? ec : 0;
        if (sm && r.fields.size() > 2) *sm = r.fields[2];
    }
    return false;
}

const char* error_code_text(int code) {
    switch (code) {
        case 1:
            return "UCP Error 01 - Checksum error";
        case 2:
            return "UCP Error 02 - Syntax error";
        case 3:
            return "UCP Error 03 - Operation not supported by system";
        case 4:
            return "UCP Error 04 - Operation not allowed";
        case 5:
            return "UCP Error 05 - Call barring active";
        case 6:
            return "UCP Error 06 - AdC invalid";
        case 7:
            return "UCP Error 07 - Authentication failure";
        case 8:
            return "UCP Error 08 - Legitimisation code for all calls, failure";
        case 9:
            return "UCP Error 09 - GA not valid";
        case 10:
            return "UCP Error 10 - Repetition not allowed";
        case 11:
            return "UCP Error 11 - Legitimisation code for repetition, failure";
        case 12:
            return "UCP Error 12 - Priority call not allowed";
        case 13:
            return "UCP Error 13 - Legitimisation code for priority call, failure";
        case 14:
            return "UCP Error 14 - Urgent message not allowed";
        case 15:
            return "UCP Error 15 - Legitimisation code for urgent message, failure";
        case 16:
            return "UCP Error 16 - Reverse charging not allowed";
        case 17:
            return "UCP Error 17 - Legitimisation code for reverse charging, failure";
        case 18:
            return "UCP Error 18 - Deferred delivery not allowed";
        case 19:
            return "UCP Error 19 - New AC not valid";
        case 20:
            return "UCP Error 20 - New legitimisation code not valid";
        case 21:
            return "UCP Error 21 - Standard text not valid";
        case 22:
            return "UCP Error 22 - Time period not valid";
        case 23:
            return "UCP Error 23 - Message type not supported by system";
        case 24:
            return "UCP Error 24 - Message too long";
        case 25:
            return "UCP Error 25 - Requested standard text not valid";
        case 26:
            return "UCP Error 26 - Message type not valid for the pager type";
        case 27:
            return "UCP Error 27 - Message not found in SMSC";
        case 30:
            return "UCP Error 30 - Subscriber hang-up";
        case 31:
            return "UCP Error 31 - Fax group not supported";
        case 32:
            return "UCP Error 32 - Fax message type not supported";
        case 33:
            return "UCP Error 33 - Address already in list";
        case 34:
            return "UCP Error 34 - Address not in list";
        case 35:
            return "UCP Error 35 - List full, cannot add address to list";
        case 36:
            return "UCP Error 36 - RPID already in use";
        case 37:
            return "UCP Error 37 - Delivery in progress";
        case 38:
            return "UCP Error 38 - Message forwarded";
        default:
            return nullptr;
    }
}

}  // namespace protocols::ucp
