// Gateway message arguments <-> SMPP short-message PDUs, and receipt parsing.
#include "protocols/smpp/message.h"

#include <cstdlib>
#include <vector>

#include "platform/text.h"

namespace protocols::smpp {

Charset parse_charset(std::string_view name) {
    name = platform::trim(name);
    for (std::string_view n :
         {"iso-8859-1", "iso8859-1", "latin1", "latin-1", "windows-1252", "cp1252"})
        if (platform::iequals(name, n)) return Charset::Latin1;
    for (std::string_view n : {"ascii", "us-ascii", "ia5"})
        if (platform::iequals(name, n)) return Charset::Ascii;
    return Charset::Gsm;
}

Coding coding_for_dcs(uint8_t dcs) {
    // data_coding values with their own SMPP meaning first.
    if (dcs == 0x01) return Coding::Ascii;
    if (dcs == 0x03) return Coding::Latin1;
    if (dcs == 0x08) return Coding::Ucs2;
    if (dcs < 0x10) return dcs == 0x00 ? Coding::Default : Coding::Octets;
    // GSM data coding groups.
    if (dcs < 0x40) {
        switch ((dcs >> 2) & 0x03) {
            case 0:
                return Coding::Default;
            case 1:
                return Coding::Octets;
            case 2:
                return Coding::Ucs2;
            default:
                return Coding::Default;
        }
    }
    if (dcs == 0x48) return Coding::Ucs2;
    if (dcs >= 0xC0 && dcs <= 0xDF) return Coding::Default;
    if (dcs >= 0xE0 && dcs <= 0xEF) return Coding::Ucs2;
    if (dcs >= 0xF0) return (dcs & 0x04) ? Coding::Octets : Coding::Default;
    return Coding::Octets;
}

uint8_t registered_delivery_for_flags(uint32_t flags) {
    if (flags & 0x02) return 1;
    if (flags & 0x40) return 2;
    return 0;
}

uint32_t flags_for_registered_delivery(uint8_t rd) {
    switch (rd & 0x03) {
        case 1:
        case 3:
            return 0x02;
        case 2:
            return 0x40;
        default:
            return 0;
    }
}

// ---- addresses and times ------------------------------------------------------

namespace {

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void set_address(std::string_view a, uint8_t& ton, uint8_t& npi, std::string& out) {
    if (!a.empty() && a[0] == '+') {
        ton = 1;
        npi = 1;
        out.assign(a.substr(1));
    } else if (all_digits(a) || a.empty()) {
        ton = 0;
        npi = 1;
        out.assign(a);
    } else {
        ton = 5;
        npi = 0;
        out.assign(a);
    }
}

std::string address_text(uint8_t ton, const std::string& a) {
    if (ton == 1 && all_digits(a)) return "+" + a;
    return a;
}

bool is_smpp_time(std::string_view v) {
    if (v.size() != 16) return false;
    for (size_t i = 0; i < 15; ++i)
        if (v[i] < '0' || v[i] > '9') return false;
    return v[15] == 'R' || v[15] == '+' || v[15] == '-';
}

// Minutes as a relative SMPP time "YYMMDDhhmmss000R".
std::string relative_time(unsigned long minutes) {
    unsigned long days = minutes / 1440, hours = (minutes % 1440) / 60, mins = minutes % 60;
    unsigned long years = days / 365;
    days %= 365;
    unsigned long months = days / 30;
    days %= 30;
    if (years > 99) years = 99;
    return platform::strprintf("%02lu%02lu%02lu%02lu%02lu00000R", years, months, days, hours, mins);
}

bool parse_byte(std::string_view v, uint8_t& out) {
    v = platform::trim(v);
    if (v.empty() || v.size() > 3 || !all_digits(v)) return false;
    unsigned long n = std::strtoul(std::string(v).c_str(), nullptr, 10);
    if (n > 255) return false;
    out = uint8_t(n);
    return true;
}

// ---- user data header -----------------------------------------------------------

struct Element {
    uint8_t id;
    std::string data;
};

// Splits a header (with its length octet) into elements; false when the
// lengths disagree.
bool split_udh(std::string_view udh, std::vector<Element>& out) {
    out.clear();
    if (udh.empty()) return true;
    size_t udhl = uint8_t(udh[0]);
    if (udhl + 1 != udh.size()) return false;
    size_t pos = 1;
    while (pos < udh.size()) {
        if (pos + 2 > udh.size()) return false;
        uint8_t id = uint8_t(udh[pos]);
        size_t len = uint8_t(udh[pos + 1]);
        if (pos + 2 + len > udh.size()) return false;
        out.push_back(Element{id, std::string(udh.substr(pos + 2, len))});
        pos += 2 + len;
    }
    return true;
}

std::string join_udh(const std::vector<Element>& els) {
    if (els.empty()) return {};
    std::string body;
    for (const Element& e : els) {
        body.push_back(char(e.id));
        body.push_back(char(e.data.size()));
        body += e.data;
    }
    return std::string(1, char(body.size())) + body;
}

std::string be16(unsigned v) {
    return std::string{char((v >> 8) & 0xFF), char(v & 0xFF)};
}

unsigned tlv_uint(const Tlv* t) {
    unsigned v = 0;
    if (t)
        for (unsigned char c : std::string_view(t->value).substr(0, 4)) v = (v << 8) | c;
    return v;
}

}  // namespace

uint32_t build_short_message(const common::SubmitRecord& m, const CodingContext& ctx, Pdu& p) {
    static const TlvRegistry builtin;
    const TlvRegistry& reg = ctx.registry ? *ctx.registry : builtin;
    bool v34 = ctx.version >= SMPP_VERSION_34;

    set_address(m.sender, p.source_addr_ton, p.source_addr_npi, p.source_addr);
    set_address(m.recipient, p.dest_addr_ton, p.dest_addr_npi, p.dest_addr);
    p.protocol_id = uint8_t(m.pid);
    p.data_coding = uint8_t(m.dcs);
    p.registered_delivery = registered_delivery_for_flags(uint32_t(m.flags));

    for (const auto& [name, value] : m.options) {
        if (platform::iequals(name, "ServiceType")) {
            p.service_type = value;
        } else if (platform::iequals(name, "Validity")) {
            if (is_smpp_time(value))
                p.validity_period = value;
            else if (all_digits(value) && value.size() < 9)
                p.validity_period = relative_time(std::strtoul(value.c_str(), nullptr, 10));
        } else if (platform::iequals(name, "ScheduleDeliveryTime")) {
            if (is_smpp_time(value)) p.schedule_delivery_time = value;
        } else if (platform::iequals(name, "Priority")) {
            parse_byte(value, p.priority_flag);
        } else if (platform::iequals(name, "SourceTON")) {
            parse_byte(value, p.source_addr_ton);
        } else if (platform::iequals(name, "SourceNPI")) {
            parse_byte(value, p.source_addr_npi);
        } else if (platform::iequals(name, "DestTON")) {
            parse_byte(value, p.dest_addr_ton);
        } else if (platform::iequals(name, "DestNPI")) {
            parse_byte(value, p.dest_addr_npi);
        } else if (v34) {
            if (auto t = option_to_tlv(reg, name, value)) p.set_tlv(t->tag, std::move(t->value));
        }
    }

    std::string udh;
    if (!from_hex(platform::trim(m.udh_hex), udh)) return ESME_RINVMSGLEN;
    std::string payload;
    Coding coding = coding_for_dcs(uint8_t(m.dcs));
    if (m.binary) {
        if (!from_hex(platform::trim(m.data), payload)) return ESME_RINVMSGLEN;
        // 7-bit data is kept packed behind the header (long-text segments,
        // shift-table texts, messages received with a header): data_coding 0
        // carries one septet per octet.
        if (coding == Coding::Default)
            payload = unpack_default_alphabet(platform::trim(m.data), udh.size(), ctx.charset);
    } else {
        payload = encode_text(m.data, coding, ctx.charset);
    }

    if (ctx.use_tlv && v34 && !udh.empty()) {
        std::vector<Element> els, keep;
        if (split_udh(udh, els)) {
            for (Element& e : els) {
                if (e.id == 0x00 && e.data.size() == 3) {
                    p.set_tlv(TAG_SAR_MSG_REF_NUM, be16(uint8_t(e.data[0])));
                    p.set_tlv(TAG_SAR_TOTAL_SEGMENTS, e.data.substr(1, 1));
                    p.set_tlv(TAG_SAR_SEGMENT_SEQNUM, e.data.substr(2, 1));
                } else if (e.id == 0x08 && e.data.size() == 4) {
                    p.set_tlv(TAG_SAR_MSG_REF_NUM, e.data.substr(0, 2));
                    p.set_tlv(TAG_SAR_TOTAL_SEGMENTS, e.data.substr(2, 1));
                    p.set_tlv(TAG_SAR_SEGMENT_SEQNUM, e.data.substr(3, 1));
                } else if (e.id == 0x05 && e.data.size() == 4) {
                    p.set_tlv(TAG_DESTINATION_PORT, e.data.substr(0, 2));
                    p.set_tlv(TAG_SOURCE_PORT, e.data.substr(2, 2));
                } else if (e.id == 0x04 && e.data.size() == 2) {
                    p.set_tlv(TAG_DESTINATION_PORT, be16(uint8_t(e.data[0])));
                    p.set_tlv(TAG_SOURCE_PORT, be16(uint8_t(e.data[1])));
                } else {
                    keep.push_back(std::move(e));
                }
            }
            udh = join_udh(keep);
        }
    }
    if (!udh.empty()) p.esm_class |= 0x40;

    if (p.command_id == DELIVER_SM && (m.flags & 0x04)) {
        p.esm_class = uint8_t((p.esm_class & 0xC3) | 0x04);
        p.registered_delivery = 0;
        if (v34) {
            if (!m.receipt_message_id.empty()) {
                std::string id(m.receipt_message_id.substr(0, MESSAGE_ID_SIZE - 1));
                id.push_back('\0');
                p.set_tlv(TAG_RECEIPTED_MESSAGE_ID, std::move(id));
            }
            if (uint8_t st = message_state_for_flags(uint32_t(m.flags)))
                p.set_tlv(TAG_MESSAGE_STATE, std::string(1, char(st)));
        }
    }

    std::string content = udh + payload;
    if (p.command_id == DATA_SM || content.size() > SHORT_MESSAGE_MAX) {
        if (!v34) return ESME_RINVMSGLEN;
        if (content.size() > 0xFFFF) return ESME_RINVMSGLEN;
        p.short_message.clear();
        p.set_tlv(TAG_MESSAGE_PAYLOAD, std::move(content));
    } else {
        p.short_message = std::move(content);
    }
    return ESME_ROK;
}

void parse_short_message(const Pdu& p, const CodingContext& ctx, common::DeliveryRecord& out) {
    static const TlvRegistry builtin;
    const TlvRegistry& reg = ctx.registry ? *ctx.registry : builtin;
    out = common::DeliveryRecord{};
    out.sender = address_text(p.source_addr_ton, p.source_addr);
    out.recipient = address_text(p.dest_addr_ton, p.dest_addr);
    out.pid = p.protocol_id;
    out.dcs = p.data_coding;

    const Tlv* payload = p.find_tlv(TAG_MESSAGE_PAYLOAD);
    std::string_view content =
        payload ? std::string_view(payload->value) : std::string_view(p.short_message);

    std::vector<Element> els;
    unsigned locking = 0, single = 0;  // national language shift tables of the header
    if ((p.esm_class & 0x40) && !content.empty()) {
        size_t udhl = uint8_t(content[0]);
        if (udhl + 1 <= content.size() && split_udh(content.substr(0, udhl + 1), els))
            content.remove_prefix(udhl + 1);
        else
            els.clear();  // does not parse: the octets stay in the data
        for (const Element& e : els) {
            if (e.id == 0x24 && e.data.size() == 1) single = uint8_t(e.data[0]);
            if (e.id == 0x25 && e.data.size() == 1) locking = uint8_t(e.data[0]);
        }
    }
    const Tlv* ref = p.find_tlv(TAG_SAR_MSG_REF_NUM);
    const Tlv* total = p.find_tlv(TAG_SAR_TOTAL_SEGMENTS);
    const Tlv* seq = p.find_tlv(TAG_SAR_SEGMENT_SEQNUM);
    if (ref && total && seq) {
        unsigned r = tlv_uint(ref);
        std::string t{char(tlv_uint(total)), char(tlv_uint(seq))};
        if (r <= 0xFF)
            els.push_back(Element{0x00, std::string(1, char(r)) + t});
        else
            els.push_back(Element{0x08, be16(r) + t});
    }
    const Tlv* dport = p.find_tlv(TAG_DESTINATION_PORT);
    const Tlv* sport = p.find_tlv(TAG_SOURCE_PORT);
    if (dport || sport) els.push_back(Element{0x05, be16(tlv_uint(dport)) + be16(tlv_uint(sport))});
    out.udh_hex = to_hex(join_udh(els));

    Coding coding = coding_for_dcs(p.data_coding);
    if (coding == Coding::Octets) {
        out.binary = true;
        out.message = to_hex(content);
    } else if (coding == Coding::Default && ctx.charset == Charset::Gsm && (locking || single)) {
        out.message = decode_national_text(content, locking, single);
    } else {
        out.message = decode_text(content, coding, ctx.charset);
    }

    const Tlv* rid = p.find_tlv(TAG_RECEIPTED_MESSAGE_ID);
    const Tlv* state = p.find_tlv(TAG_MESSAGE_STATE);
    uint8_t kind = p.esm_class & 0x3C;
    bool receipt = kind == 0x04 || kind == 0x08 || kind == 0x20 || rid != nullptr;
    if (receipt) {
        out.flags = 0x04;
        ReceiptText rt;
        std::string text = out.binary ? std::string(content) : out.message;
        if (parse_receipt_text(text, rt)) {
            out.smsc_message_id = rt.id;
            out.flags |= int(receipt_flags_for_stat(rt.stat));
        }
        if (rid) out.smsc_message_id = std::string(rid->value.substr(0, rid->value.find('\0')));
        if (state && state->value.size() == 1) {
            uint32_t f = receipt_flags_for_message_state(uint8_t(state->value[0]));
            if (f) out.flags = int(0x04 | f);
        }
    } else {
        out.flags = int(flags_for_registered_delivery(p.registered_delivery));
    }

    common::Options& items = out.options;
    if (!p.service_type.empty()) items.emplace_back("ServiceType", p.service_type);
    if (!p.validity_period.empty()) items.emplace_back("Validity", p.validity_period);
    for (const Tlv& t : p.tlvs) {
        switch (t.tag) {
            case TAG_MESSAGE_PAYLOAD:
            case TAG_SAR_MSG_REF_NUM:
            case TAG_SAR_TOTAL_SEGMENTS:
            case TAG_SAR_SEGMENT_SEQNUM:
            case TAG_SOURCE_PORT:
            case TAG_DESTINATION_PORT:
                continue;  // carried in the data and the header above
            case TAG_RECEIPTED_MESSAGE_ID:
            case TAG_MESSAGE_STATE:
                if (receipt) continue;  // carried in the id and the flags
                break;
            default:
                break;
        }
        items.push_back(tlv_to_option(reg, t));
    }
}

// ---- receipts -----------------------------------------------------------------

namespace {

struct Key {
    std::string_view name;
    std::string ReceiptText::*field;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool parse_receipt_text(std::string_view s, ReceiptText& out) {
    static const Key keys[] = {
        {"id:", &ReceiptText::id},
        {"sub:", &ReceiptText::sub},
        {"dlvrd:", &ReceiptText::dlvrd},
        {"submit date:", &ReceiptText::submit_date},
        {"submit_date:", &ReceiptText::submit_date},
        {"submitdate:", &ReceiptText::submit_date},
        {"done date:", &ReceiptText::done_date},
        {"done_date:", &ReceiptText::done_date},
        {"donedate:", &ReceiptText::done_date},
        {"stat:", &ReceiptText::stat},
        {"state:", &ReceiptText::stat},
        {"err:", &ReceiptText::err},
        {"error:", &ReceiptText::err},
        {"text:", &ReceiptText::text},
    };
    out = ReceiptText{};
    bool have_id = false, have_stat = false;
    size_t i = 0;
    while (i < s.size()) {
        if (i > 0 && !is_blank(s[i - 1])) {
            ++i;
            continue;
        }
        const Key* hit = nullptr;
        for (const Key& k : keys)
            if (platform::istarts_with(s.substr(i), k.name)) {
                hit = &k;
                break;
            }
        if (!hit) {
            ++i;
            continue;
        }
        size_t v = i + hit->name.size();
        if (hit->field == &ReceiptText::text) {
            out.text = std::string(s.substr(v));
            break;
        }
        while (v < s.size() && (s[v] == ' ' || s[v] == '\t')) ++v;
        size_t e = v;
        while (e < s.size() && !is_blank(s[e])) ++e;
        // A value that is itself the next key ("id: sub:001") is empty.
        std::string value(s.substr(v, e - v));
        if (value.find(':') != std::string::npos) {
            i = v;
            continue;
        }
        out.*(hit->field) = value;
        if (hit->field == &ReceiptText::id) have_id = !value.empty();
        if (hit->field == &ReceiptText::stat) have_stat = !value.empty();
        i = e;
    }
    return have_id && have_stat;
}

uint32_t receipt_flags_for_stat(std::string_view stat) {
    static const std::pair<std::string_view, uint32_t> table[] = {
        {"DELIVRD", 0x08}, {"DELIVERED", 0x08}, {"ACCEPTD", 0x08},  {"ACCEPTED", 0x08},
        {"ENROUTE", 0x10}, {"BUFFRED", 0x10},   {"BUFFERED", 0x10}, {"ACKED", 0x10},
        {"EXPIRED", 0x20}, {"DELETED", 0x20},   {"UNDELIV", 0x20},  {"UNDELIVERABLE", 0x20},
        {"REJECTD", 0x20}, {"REJECTED", 0x20},  {"UNKNOWN", 0x20},  {"FAILED", 0x20},
    };
    stat = platform::trim(stat);
    for (const auto& [name, f] : table)
        if (platform::iequals(stat, name)) return f;
    return 0;
}

uint32_t receipt_flags_for_message_state(uint8_t state) {
    switch (state) {
        case 1:
            return 0x10;  // ENROUTE
        case 2:
            return 0x08;  // DELIVERED
        case 6:
            return 0x08;  // ACCEPTED
        case 3:           // EXPIRED
        case 4:           // DELETED
        case 5:           // UNDELIVERABLE
        case 7:           // UNKNOWN
        case 8:
            return 0x20;  // REJECTED
        default:
            return 0;
    }
}

uint8_t message_state_for_flags(uint32_t flags) {
    if (flags & 0x08) return 2;
    if (flags & 0x20) return 5;
    if (flags & 0x10) return 1;
    return 0;
}

}  // namespace protocols::smpp
