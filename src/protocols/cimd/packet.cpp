// CIMD2 packets, the CIMD2 user-data text and the operations' parameters.
#include "protocols/cimd/packet.h"

#include <algorithm>
#include <array>

#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"

namespace protocols::cimd {

namespace cs = radio::charset;

namespace {

using common::all_digits;
using common::parse_number;

// CIMD2 text of each GSM default alphabet code, sixteen to a row.
// clang-format off
constexpr std::array<const char*, 128> kGsmToCimd = {
    "_Oa", "_L-", "$",   "_Y-", "_e`", "_e'", "_u`", "_i`", "_o`", "_C,", "\n",  "_O/", "_o/", "\r",  "_A*", "_a*",
    "_gd", "_--", "_gf", "_gg", "_gl", "_go", "_gp", "_gi", "_gs", "_gt", "_gx", "_XX", "_AE", "_ae", "_ss", "_E'",
    " ",   "!",   "\"",  "#",   "_ox", "%",   "&",   "'",   "(",   ")",   "*",   "+",   ",",   "-",   ".",   "/",
    "0",   "1",   "2",   "3",   "4",   "5",   "6",   "7",   "8",   "9",   ":",   ";",   "<",   "=",   ">",   "?",
    "_!!", "A",   "B",   "C",   "D",   "E",   "F",   "G",   "H",   "I",   "J",   "K",   "L",   "M",   "N",   "O",
    "P",   "Q",   "R",   "S",   "T",   "U",   "V",   "W",   "X",   "Y",   "Z",   "_A\"", "_O\"", "_N~", "_U\"", "_so",
    "_??", "a",   "b",   "c",   "d",   "e",   "f",   "g",   "h",   "i",   "j",   "k",   "l",   "m",   "n",   "o",
    "p",   "q",   "r",   "s",   "t",   "u",   "v",   "w",   "x",   "y",   "z",   "_a\"", "_o\"", "_n~", "_u\"", "_a`",
};
// clang-format on

// GSM code of a three-character combination; -1 when it is none.
int combination_code(std::string_view three) {
    // The double quote has a combination of its own besides the plain character.
    if (three == "_qq") return 0x22;
    for (size_t i = 0; i < kGsmToCimd.size(); ++i)
        if (kGsmToCimd[i][0] == '_' && three == kGsmToCimd[i]) return int(i);
    return -1;
}

}  // namespace

const std::string* Packet::find(int code) const {
    for (const Param& p : params)
        if (p.code == code) return &p.value;
    return nullptr;
}

std::string checksum(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes) sum += uint8_t(c);
    sum &= 0xFF;
    return std::string{common::HEX_DIGITS[sum >> 4], common::HEX_DIGITS[sum & 0xF]};
}

std::string encode_packet(const Packet& p, bool with_checksum) {
    std::string out;
    out += STX;
    out += platform::strprintf("%02d:%03d", p.op % 100, p.number % 1000);
    out += TAB;
    for (const Param& prm : p.params) {
        out += platform::strprintf("%03d:", prm.code % 1000);
        out += prm.value;
        out += TAB;
    }
    if (with_checksum) out += checksum(out);
    out += ETX;
    return out;
}

Scan scan_packet(std::string_view buffer) {
    return scan_packet(buffer, 0);
}

Scan scan_packet(std::string_view buffer, size_t resume) {
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
        if (buffer.size() - 1 > kMaxPacketBody) s.state = ScanState::Oversized;
        s.resume = buffer.size();
        return s;
    }
    if (end - 1 > kMaxPacketBody) {
        s.state = ScanState::Oversized;
        return s;
    }
    s.state = buffer[end] == STX ? ScanState::MissingEtx : ScanState::Packet;
    s.length = buffer[end] == STX ? end : end + 1;
    return s;
}

DecodeError decode_packet(std::string_view body, Packet& out, bool* header_ok, bool* had_checksum) {
    out = Packet{};
    if (header_ok) *header_ok = false;
    if (had_checksum) *had_checksum = false;
    if (body.size() < 7) return DecodeError::Header;
    int op = parse_number(body.substr(0, 2));
    int number = parse_number(body.substr(3, 3));
    if (op < 0 || number < 0 || body[2] != ':' || body[6] != TAB) return DecodeError::Header;
    out.op = op;
    out.number = number;
    if (header_ok) *header_ok = true;

    size_t last = body.rfind(TAB);  // >= 6
    std::string_view trailer = body.substr(last + 1);
    if (!trailer.empty()) {
        if (trailer.size() != 2 || common::hex_digit(trailer[0]) < 0 ||
            common::hex_digit(trailer[1]) < 0)
            return DecodeError::Syntax;
        if (had_checksum) *had_checksum = true;
        std::string covered;
        covered.reserve(last + 2);
        covered += STX;
        covered += body.substr(0, last + 1);
        if (!platform::iequals(checksum(covered), trailer)) return DecodeError::Checksum;
    }
    std::string_view rest = last > 6 ? body.substr(7, last - 7) : std::string_view();
    while (!rest.empty()) {
        size_t tab = rest.find(TAB);
        std::string_view item = rest.substr(0, tab);
        if (!item.empty()) {
            int code = item.size() >= 4 && item[3] == ':' ? parse_number(item.substr(0, 3)) : -1;
            if (code < 0) return DecodeError::Syntax;
            out.add(code, std::string(item.substr(4)));
        }
        if (tab == std::string_view::npos) break;
        rest.remove_prefix(tab + 1);
    }
    return DecodeError::None;
}

// ---- user data text -------------------------------------------------------------

std::string gsm_to_cimd_text(std::string_view septets) {
    std::string out;
    out.reserve(septets.size() * 2);
    for (char c : septets) out += kGsmToCimd[uint8_t(c) & 0x7F];
    return out;
}

std::string cimd_text_to_gsm(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '_') {
            int code = i + 3 <= text.size() ? combination_code(text.substr(i, 3)) : -1;
            if (code >= 0) {
                out += char(code);
                i += 3;
            } else {
                out += char(0x11);  // a lone underscore
                ++i;
            }
            continue;
        }
        // Single characters: those of the table stand for their own code,
        // anything else goes through the GSM conversion of its ISO-8859-1 reading.
        const auto* it = std::find_if(kGsmToCimd.begin(), kGsmToCimd.end(),
                                      [c](const char* s) { return s[0] == c && s[1] == '\0'; });
        if (it != kGsmToCimd.end())
            out += char(it - kGsmToCimd.begin());
        else
            out += cs::win1252_to_gsm(std::string_view(&text[i], 1));
        ++i;
    }
    return out;
}

std::string to_hex(std::string_view octets) {
    return common::to_hex(octets);
}

bool from_hex(std::string_view hex, std::string& octets) {
    return common::from_hex(hex, octets);
}

std::string timestamp_to_receipt_date(std::string_view ts) {
    if (ts.size() != 12 || !all_digits(ts)) return {};
    return std::string(ts.substr(0, 10));
}

// ---- operations ------------------------------------------------------------------

int build_submit(const common::SubmitRecord& m, const CodingOptions& opt, Packet& p) {
    p = Packet{};
    p.op = OP_SUBMIT;

    std::string_view r = platform::trim(m.recipient);
    std::string dest;
    if (!r.empty() && r[0] == '+') {
        dest = opt.plus_prefix;
        r.remove_prefix(1);
    }
    if (!all_digits(r)) return EC_DESTINATION;
    dest += r;
    if (dest.size() > 20) return EC_DESTINATION;
    p.add(P_DESTINATION, dest);

    std::string_view sender = platform::trim(m.sender);
    if (!sender.empty()) {
        std::string_view digits = sender[0] == '+' ? sender.substr(1) : sender;
        if (all_digits(digits) && sender.size() <= 20) {
            p.add(P_ORIGINATOR, std::string(sender));
        } else {
            std::string septets = cs::utf8_to_gsm(sender);
            size_t keep = 0;
            while (keep < septets.size()) {
                size_t step =
                    uint8_t(septets[keep]) == cs::kGsmEscape && keep + 1 < septets.size() ? 2 : 1;
                if (keep + step > kMaxAlphaSeptets) break;
                keep += step;
            }
            septets.resize(keep);
            p.add(opt.alpha_in_originator ? P_ORIGINATOR : P_ALPHA_ORIGINATOR,
                  gsm_to_cimd_text(septets));
        }
    }

    std::string udh;
    if (!from_hex(platform::trim(m.udh_hex), udh)) return EC_USER_DATA_SYNTAX;
    const uint8_t dcs = uint8_t(m.dcs);
    bool text = false;
    std::string body;  // text: GSM codes; else octets
    if (m.binary) {
        std::string_view hex = platform::trim(m.data);
        if (!from_hex(hex, body)) return EC_USER_DATA_SYNTAX;
        if (cs::dcs_is_gsm7(dcs)) {
            text = true;  // packed septets behind the header's fill bits
            body = cs::unpack_septets(hex, udh.size());
        }
    } else if (cs::dcs_is_ucs2(dcs)) {
        if (!from_hex(cs::utf8_to_ucs2_hex(m.data), body)) return EC_USER_DATA_SYNTAX;
    } else if (cs::dcs_is_gsm7(dcs)) {
        text = true;
        body = cs::utf8_to_gsm(m.data);
    } else {
        body = cs::utf8_to_win1252(m.data);
    }
    if (body.size() > kMaxMessageOctets) return EC_USER_DATA_SYNTAX;

    // Without 030 the SMSC reads the default alphabet (the only coding whose DCS is 0).
    if (dcs != 0) p.add(P_DCS, std::to_string(dcs));
    if (!udh.empty()) p.add(P_UDH, to_hex(udh));
    if (text)
        p.add(P_USER_DATA, gsm_to_cimd_text(body));
    else
        p.add(P_USER_DATA_BINARY, to_hex(body));
    if (m.pid > 0 && m.pid <= 255) p.add(P_PID, std::to_string(m.pid));
    int srr = (m.flags & 0x02)   ? 62
              : (m.flags & 0x40) ? 54
                                 : 0;  // all final states / failures only
    if (srr) p.add(P_STATUS_REPORT_REQUEST, std::to_string(srr));
    return 0;
}

int parse_deliver(const Packet& p, common::DeliveryRecord& out) {
    out = common::DeliveryRecord{};
    const std::string* dest = p.find(P_DESTINATION);
    const std::string* orig = p.find(P_ORIGINATOR);
    const std::string* alpha = p.find(P_ALPHA_ORIGINATOR);
    if (!dest) return EC_SYNTAX;
    out.recipient = *dest;
    if (alpha && !alpha->empty())
        out.sender = cs::gsm_to_utf8(cimd_text_to_gsm(*alpha));
    else if (orig)
        out.sender = *orig;
    if (const std::string* ts = p.find(P_SCTS)) out.scts = *ts;
    if (const std::string* pid = p.find(P_PID)) {
        int v = parse_number(*pid);
        if (v < 0 || v > 255) return EC_SYNTAX;
        out.pid = v;
    }
    int dcs = 0;
    if (const std::string* d = p.find(P_DCS)) {
        dcs = parse_number(*d);
        if (dcs < 0 || dcs > 255) return EC_SYNTAX;
    }
    out.dcs = dcs;
    std::string udh;
    if (const std::string* u = p.find(P_UDH)) {
        if (!from_hex(*u, udh)) return EC_SYNTAX;
        out.udh_hex = to_hex(udh);
    }
    const std::string* text = p.find(P_USER_DATA);
    const std::string* bin = p.find(P_USER_DATA_BINARY);
    if (text && bin) return EC_USER_DATA_COMBINATION;
    if (bin) {
        std::string octets;
        if (!from_hex(*bin, octets)) return EC_SYNTAX;
        if (udh.empty() && cs::dcs_is_ucs2(uint8_t(dcs))) {
            out.message = cs::ucs2_hex_to_utf8(*bin);
        } else {
            out.binary = true;
            out.message = to_hex(octets);
        }
    } else if (text) {
        std::string septets = cimd_text_to_gsm(*text);
        if (!udh.empty()) {
            // Kept packed behind its header, as a received SMS with a header is stored.
            out.binary = true;
            out.message = cs::pack_septets(septets, udh.size());
        } else {
            out.message = cs::gsm_to_utf8(septets);
        }
    }
    return 0;
}

int parse_status_report(const Packet& p, common::DeliveryRecord& out) {
    out = common::DeliveryRecord{};
    const std::string* dest = p.find(P_DESTINATION);
    const std::string* ts = p.find(P_SCTS);
    const std::string* status = p.find(P_STATUS_CODE);
    if (!dest || dest->empty() || !ts || ts->size() != 12 || !all_digits(*ts) || !status)
        return EC_SYNTAX;
    int code = parse_number(*status);
    if (code < 0) return EC_SYNTAX;
    out.sender = *dest;
    if (const std::string* orig = p.find(P_ORIGINATOR)) out.recipient = *orig;
    out.scts = *ts;
    out.smsc_message_id = *dest + ":" + *ts;

    const char* stat = "UNKNOWN";
    int dlvrd = 0;
    out.flags = 0x04;
    switch (code) {
        case 0:
        case 1:
        case 5:
            stat = "ENROUTE";  // no status yet, in process, or a failed attempt to be repeated
            out.flags |= 0x10;
            break;
        case 2:
            stat = "EXPIRED";
            out.flags |= 0x20;
            break;
        case 3:
        case 6:
            stat = "UNDELIV";
            out.flags |= 0x20;
            break;
        case 4:
            stat = "DELIVRD";
            dlvrd = 1;
            out.flags |= 0x08;
            break;
        case 7:
        case 8:
        case 9:
            stat = "DELETED";
            out.flags |= 0x20;
            break;
        default:
            break;
    }
    int err = 0;
    if (const std::string* e = p.find(P_STATUS_ERROR_CODE)) err = std::max(0, parse_number(*e));
    std::string done;
    if (const std::string* d = p.find(P_DISCHARGE_TIME)) done = timestamp_to_receipt_date(*d);
    out.message =
        platform::strprintf("id:%s sub:001 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03d",
                            out.smsc_message_id.c_str(), dlvrd,
                            timestamp_to_receipt_date(*ts).c_str(), done.c_str(), stat, err % 1000);
    return 0;
}

std::string message_id_from_response(const Packet& response) {
    const std::string* dest = response.find(P_DESTINATION);
    const std::string* ts = response.find(P_SCTS);
    if (!ts || ts->empty()) return {};
    return (dest ? *dest : std::string()) + ":" + *ts;
}

Packet build_login(std::string_view user, std::string_view password) {
    Packet p;
    p.op = OP_LOGIN;
    p.add(P_USER_IDENTITY, std::string(user));
    p.add(P_PASSWORD, std::string(password));
    return p;
}

Packet build_response(const Packet& request, int error_code) {
    Packet r;
    r.op = request.op + OP_RESPONSE;
    r.number = request.number;
    if (error_code) r.add(P_ERROR_CODE, platform::strprintf("%03d", error_code % 1000));
    return r;
}

int response_error(const Packet& response) {
    const std::string* e = response.find(P_ERROR_CODE);
    if (!e) return 0;
    int v = parse_number(*e);
    return v > 0 ? v : v == 0 ? 0 : -1;
}

const char* error_code_text(int code) {
    switch (code) {
        case 1:
            return "CIMD Error 1 - Unexpected operation";
        case 2:
            return "CIMD Error 2 - Syntax error";
        case 3:
            return "CIMD Error 3 - Unsupported parameter error";
        case 4:
            return "CIMD Error 4 - Connection to SMS Center lost";
        case 5:
            return "CIMD Error 5 - No response from SMS Center";
        case 6:
            return "CIMD Error 6 - General system error";
        case 7:
            return "CIMD Error 7 - Cannot find information";
        case 8:
            return "CIMD Error 8 - Parameter formatting error";
        case 9:
            return "CIMD Error 9 - Requested operation failed";
        case 10:
            return "CIMD Error 10 - Temporary congestion error";
        case 100:
            return "CIMD Error 100 - Invalid login";
        case 101:
            return "CIMD Error 101 - Incorrect access type";
        case 102:
            return "CIMD Error 102 - Too many users with this login ID";
        case 103:
            return "CIMD Error 103 - Login refused by SMS Center";
        case 104:
            return "CIMD Error 104 - Invalid window size";
        case 105:
            return "CIMD Error 105 - Windowing disabled";
        case 106:
            return "CIMD Error 106 - Virtual SMS Center-based barring";
        case 107:
            return "CIMD Error 107 - Invalid subaddr";
        case 108:
            return "CIMD Error 108 - Alias account, login refused";
        case 300:
            return "CIMD Error 300 - Incorrect destination address";
        case 301:
            return "CIMD Error 301 - Incorrect number of destination addresses";
        case 302:
            return "CIMD Error 302 - Syntax error in user data parameter";
        case 303:
            return "CIMD Error 303 - Incorrect bin/head/normal user data parameter combination";
        case 304:
            return "CIMD Error 304 - Incorrect dcs parameter usage";
        case 305:
            return "CIMD Error 305 - Incorrect validity period parameters usage";
        case 306:
            return "CIMD Error 306 - Incorrect originator address usage";
        case 307:
            return "CIMD Error 307 - Incorrect PID parameter usage";
        case 308:
            return "CIMD Error 308 - Incorrect first delivery parameter usage";
        case 309:
            return "CIMD Error 309 - Incorrect reply path usage";
        case 310:
            return "CIMD Error 310 - Incorrect status report request parameter usage";
        case 311:
            return "CIMD Error 311 - Incorrect cancel enabled parameter usage";
        case 312:
            return "CIMD Error 312 - Incorrect priority parameter usage";
        case 313:
            return "CIMD Error 313 - Incorrect tariff class parameter usage";
        case 314:
            return "CIMD Error 314 - Incorrect service description parameter usage";
        case 315:
            return "CIMD Error 315 - Incorrect transport type parameter usage";
        case 316:
            return "CIMD Error 316 - Incorrect message type parameter usage";
        case 318:
            return "CIMD Error 318 - Incorrect MMS parameter usage";
        case 319:
            return "CIMD Error 319 - Incorrect operation timer parameter usage";
        case 320:
            return "CIMD Error 320 - Incorrect dialogue ID parameter usage";
        case 321:
            return "CIMD Error 321 - Incorrect alpha originator address usage";
        case 322:
            return "CIMD Error 322 - Invalid data for alpha numeric originator";
        default:
            return nullptr;
    }
}

}  // namespace protocols::cimd
