// SMPP PDU codec, optional-parameter table, option text and status names.
#include "protocols/smpp/pdu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "protocols/common/fields.h"

namespace protocols::smpp {

const Tlv* Pdu::find_tlv(uint16_t tag) const {
    for (const Tlv& t : tlvs)
        if (t.tag == tag) return &t;
    return nullptr;
}

void Pdu::set_tlv(uint16_t tag, std::string value) {
    for (Tlv& t : tlvs)
        if (t.tag == tag) {
            t.value = std::move(value);
            return;
        }
    tlvs.push_back(Tlv{tag, std::move(value)});
}

const char* command_name(uint32_t id) {
    switch (id) {
        case GENERIC_NACK:
            return "generic_nack";
        case BIND_RECEIVER:
            return "bind_receiver";
        case BIND_RECEIVER_RESP:
            return "bind_receiver_resp";
        case BIND_TRANSMITTER:
            return "bind_transmitter";
        case BIND_TRANSMITTER_RESP:
            return "bind_transmitter_resp";
        case QUERY_SM:
            return "query_sm";
        case QUERY_SM_RESP:
            return "query_sm_resp";
        case SUBMIT_SM:
            return "submit_sm";
        case SUBMIT_SM_RESP:
            return "submit_sm_resp";
        case DELIVER_SM:
            return "deliver_sm";
        case DELIVER_SM_RESP:
            return "deliver_sm_resp";
        case UNBIND:
            return "unbind";
        case UNBIND_RESP:
            return "unbind_resp";
        case REPLACE_SM:
            return "replace_sm";
        case REPLACE_SM_RESP:
            return "replace_sm_resp";
        case CANCEL_SM:
            return "cancel_sm";
        case CANCEL_SM_RESP:
            return "cancel_sm_resp";
        case BIND_TRANSCEIVER:
            return "bind_transceiver";
        case BIND_TRANSCEIVER_RESP:
            return "bind_transceiver_resp";
        case OUTBIND:
            return "outbind";
        case ENQUIRE_LINK:
            return "enquire_link";
        case ENQUIRE_LINK_RESP:
            return "enquire_link_resp";
        case SUBMIT_MULTI:
            return "submit_multi";
        case SUBMIT_MULTI_RESP:
            return "submit_multi_resp";
        case ALERT_NOTIFICATION:
            return "alert_notification";
        case DATA_SM:
            return "data_sm";
        case DATA_SM_RESP:
            return "data_sm_resp";
        default:
            return "unknown";
    }
}

bool is_response(uint32_t id) {
    return (id & 0x80000000u) != 0;
}

static uint32_t get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

Frame check_frame(std::span<const uint8_t> data) {
    Frame f;
    if (data.size() < 4) return f;
    f.length = get32(data.data());
    if (f.length < PDU_HEADER_LEN || f.length > PDU_MAX_LEN) {
        f.state = FrameState::Invalid;
        return f;
    }
    f.state = data.size() >= f.length ? FrameState::Complete : FrameState::NeedMore;
    return f;
}

// ---- encoding -----------------------------------------------------------------

namespace {

struct Writer {
    std::string out;
    void u8(uint8_t v) { out.push_back(char(v)); }
    void u16(uint16_t v) {
        out.push_back(char(v >> 8));
        out.push_back(char(v & 0xFF));
    }
    void u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(char((v >> s) & 0xFF));
    }
    // C-octet string cut to size-1 characters, and at an embedded NUL.
    void cstr(std::string_view s, size_t size) {
        size_t n = std::min(s.size(), size - 1);
        size_t nul = s.find('\0');
        if (nul != std::string_view::npos) n = std::min(n, nul);
        out.append(s.data(), n);
        out.push_back('\0');
    }
};

void write_tlvs(Writer& w, const Pdu& p) {
    for (const Tlv& t : p.tlvs) {
        size_t n = std::min<size_t>(t.value.size(), 0xFFFF);
        w.u16(t.tag);
        w.u16(uint16_t(n));
        w.out.append(t.value.data(), n);
    }
}

void write_sm(Writer& w, const Pdu& p) {
    w.cstr(p.service_type, SERVICE_TYPE_SIZE);
    w.u8(p.source_addr_ton);
    w.u8(p.source_addr_npi);
    w.cstr(p.source_addr, ADDRESS_SIZE);
    w.u8(p.dest_addr_ton);
    w.u8(p.dest_addr_npi);
    w.cstr(p.dest_addr, ADDRESS_SIZE);
    w.u8(p.esm_class);
    w.u8(p.protocol_id);
    w.u8(p.priority_flag);
    w.cstr(p.schedule_delivery_time, TIME_SIZE);
    w.cstr(p.validity_period, TIME_SIZE);
    w.u8(p.registered_delivery);
    w.u8(p.replace_if_present_flag);
    w.u8(p.data_coding);
    w.u8(p.sm_default_msg_id);
    size_t n = std::min(p.short_message.size(), SHORT_MESSAGE_MAX);
    w.u8(uint8_t(n));
    w.out.append(p.short_message.data(), n);
}

}  // namespace

std::string encode_pdu(const Pdu& p, uint8_t version) {
    Writer w;
    w.out.reserve(64 + p.short_message.size());
    w.u32(0);
    w.u32(p.command_id);
    w.u32(p.command_status);
    w.u32(p.sequence);
    bool tlvs_allowed = version >= SMPP_VERSION_34;
    switch (p.command_id) {
        case BIND_RECEIVER:
        case BIND_TRANSMITTER:
        case BIND_TRANSCEIVER:
            w.cstr(p.system_id, SYSTEM_ID_SIZE);
            w.cstr(p.password, PASSWORD_SIZE);
            w.cstr(p.system_type, SYSTEM_TYPE_SIZE);
            w.u8(p.interface_version);
            w.u8(p.addr_ton);
            w.u8(p.addr_npi);
            w.cstr(p.address_range, ADDRESS_RANGE_SIZE);
            tlvs_allowed = false;
            break;
        case BIND_RECEIVER_RESP:
        case BIND_TRANSMITTER_RESP:
        case BIND_TRANSCEIVER_RESP:
            // A refused bind is answered with the header alone.
            if (p.command_status == ESME_ROK)
                w.cstr(p.system_id, SYSTEM_ID_SIZE);
            else
                tlvs_allowed = false;
            break;
        case OUTBIND:
            w.cstr(p.system_id, SYSTEM_ID_SIZE);
            w.cstr(p.password, PASSWORD_SIZE);
            tlvs_allowed = false;
            break;
        case SUBMIT_SM:
        case DELIVER_SM:
            write_sm(w, p);
            break;
        case SUBMIT_SM_RESP:
        case DELIVER_SM_RESP:
            // An error response carries no body.
            if (p.command_status == ESME_ROK) w.cstr(p.message_id, MESSAGE_ID_SIZE);
            tlvs_allowed = false;
            break;
        case DATA_SM:
            w.cstr(p.service_type, SERVICE_TYPE_SIZE);
            w.u8(p.source_addr_ton);
            w.u8(p.source_addr_npi);
            w.cstr(p.source_addr, ALERT_ADDRESS_SIZE);
            w.u8(p.dest_addr_ton);
            w.u8(p.dest_addr_npi);
            w.cstr(p.dest_addr, ALERT_ADDRESS_SIZE);
            w.u8(p.esm_class);
            w.u8(p.registered_delivery);
            w.u8(p.data_coding);
            break;
        case DATA_SM_RESP:
            w.cstr(p.message_id, MESSAGE_ID_SIZE);
            break;
        case ALERT_NOTIFICATION:
            w.u8(p.source_addr_ton);
            w.u8(p.source_addr_npi);
            w.cstr(p.source_addr, ALERT_ADDRESS_SIZE);
            w.u8(p.dest_addr_ton);
            w.u8(p.dest_addr_npi);
            w.cstr(p.dest_addr, ALERT_ADDRESS_SIZE);
            break;
        default:  // header-only PDUs: unbind, enquire_link, generic_nack and responses
            tlvs_allowed = false;
            break;
    }
    if (tlvs_allowed) write_tlvs(w, p);
    uint32_t len = uint32_t(w.out.size());
    for (int i = 0; i < 4; ++i) w.out[size_t(i)] = char((len >> (24 - 8 * i)) & 0xFF);
    return std::move(w.out);
}

// ---- decoding -----------------------------------------------------------------

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    size_t pos = 0;
    uint32_t field_status = ESME_ROK;  // the first field found longer than its size
    size_t left() const { return n - pos; }
    bool u8(uint8_t& v) {
        if (left() < 1) return false;
        v = p[pos++];
        return true;
    }
    bool u16(uint16_t& v) {
        if (left() < 2) return false;
        v = uint16_t((p[pos] << 8) | p[pos + 1]);
        pos += 2;
        return true;
    }
    // A C-octet string must end with its NUL inside the PDU. One longer than
    // its field (size counts the NUL) is read and noted with the field's status.
    bool cstr(std::string& s, size_t size, uint32_t too_long) {
        const uint8_t* start = p + pos;
        const void* nul = std::memchr(start, 0, left());
        if (!nul) return false;
        size_t len = size_t(static_cast<const uint8_t*>(nul) - start);
        s.assign(reinterpret_cast<const char*>(start), len);
        pos += len + 1;
        if (len >= size && field_status == ESME_ROK) field_status = too_long;
        return true;
    }
    bool octets(size_t len, std::string& s) {
        if (left() < len) return false;
        s.assign(reinterpret_cast<const char*>(p + pos), len);
        pos += len;
        return true;
    }
};

size_t int_size(TlvType t) {
    switch (t) {
        case TlvType::Int1:
            return 1;
        case TlvType::Int2:
            return 2;
        case TlvType::Int4:
            return 4;
        case TlvType::Empty:
            return 0;
        default:
            return SIZE_MAX;
    }
}

// A known parameter of the wrong length is kept as it came and reading goes
// on: one odd parameter must not cost the whole PDU (ESME_RINVPARLEN is
// reported once the stream is done). A stream that runs past the PDU stops
// reading with ESME_RINVOPTPARSTREAM; what was read before stays.
uint32_t read_tlvs(Reader& r, Pdu& out) {
    uint32_t st = ESME_ROK;
    while (r.left() > 0) {
        uint16_t tag = 0, len = 0;
        if (!r.u16(tag) || !r.u16(len)) return ESME_RINVOPTPARSTREAM;
        Tlv t;
        t.tag = tag;
        if (!r.octets(len, t.value)) return ESME_RINVOPTPARSTREAM;
        if (const TlvDef* def = find_standard_tlv(tag)) {
            size_t fixed = int_size(def->type);
            if ((fixed != SIZE_MAX && len != fixed) || (def->max_len && len > def->max_len))
                st = ESME_RINVPARLEN;
        }
        out.tlvs.push_back(std::move(t));
    }
    return st;
}

uint32_t read_sm(Reader& r, Pdu& o) {
    if (!r.cstr(o.service_type, SERVICE_TYPE_SIZE, ESME_RINVSERTYP) || !r.u8(o.source_addr_ton) ||
        !r.u8(o.source_addr_npi) || !r.cstr(o.source_addr, ADDRESS_SIZE, ESME_RINVSRCADR) ||
        !r.u8(o.dest_addr_ton) || !r.u8(o.dest_addr_npi) ||
        !r.cstr(o.dest_addr, ADDRESS_SIZE, ESME_RINVDSTADR) || !r.u8(o.esm_class) ||
        !r.u8(o.protocol_id) || !r.u8(o.priority_flag) ||
        !r.cstr(o.schedule_delivery_time, TIME_SIZE, ESME_RINVSCHED) ||
        !r.cstr(o.validity_period, TIME_SIZE, ESME_RINVEXPIRY) || !r.u8(o.registered_delivery) ||
        !r.u8(o.replace_if_present_flag) || !r.u8(o.data_coding) || !r.u8(o.sm_default_msg_id))
        return ESME_RINVCMDLEN;
    uint8_t sm_len = 0;
    if (!r.u8(sm_len)) return ESME_RINVCMDLEN;
    if (!r.octets(sm_len, o.short_message)) return ESME_RINVMSGLEN;
    return read_tlvs(r, o);
}

}  // namespace

uint32_t decode_pdu(std::span<const uint8_t> data, Pdu& o) {
    o = Pdu{};
    if (data.size() < PDU_HEADER_LEN) return ESME_RINVCMDLEN;
    uint32_t len = get32(data.data());
    o.command_id = get32(data.data() + 4);
    o.command_status = get32(data.data() + 8);
    o.sequence = get32(data.data() + 12);
    if (len != data.size() || len > PDU_MAX_LEN) return ESME_RINVCMDLEN;
    Reader r{data.data(), data.size(), PDU_HEADER_LEN};
    uint32_t st = ESME_ROK;
    switch (o.command_id) {
        case BIND_RECEIVER:
        case BIND_TRANSMITTER:
        case BIND_TRANSCEIVER:
            if (!r.cstr(o.system_id, SYSTEM_ID_SIZE, ESME_RINVSYSID) ||
                !r.cstr(o.password, PASSWORD_SIZE, ESME_RINVPASWD) ||
                !r.cstr(o.system_type, SYSTEM_TYPE_SIZE, ESME_RINVSYSTYP) ||
                !r.u8(o.interface_version) || !r.u8(o.addr_ton) || !r.u8(o.addr_npi) ||
                !r.cstr(o.address_range, ADDRESS_RANGE_SIZE, ESME_RBINDFAIL))
                return ESME_RINVCMDLEN;
            if (r.left()) return ESME_RINVCMDLEN;
            break;
        case BIND_RECEIVER_RESP:
        case BIND_TRANSMITTER_RESP:
        case BIND_TRANSCEIVER_RESP:
            if (r.left() == 0) break;  // error responses may come without a body
            if (!r.cstr(o.system_id, SYSTEM_ID_SIZE, ESME_RINVSYSID)) return ESME_RINVCMDLEN;
            st = read_tlvs(r, o);
            break;
        case OUTBIND:
            if (!r.cstr(o.system_id, SYSTEM_ID_SIZE, ESME_RINVSYSID) ||
                !r.cstr(o.password, PASSWORD_SIZE, ESME_RINVPASWD))
                return ESME_RINVCMDLEN;
            if (r.left()) return ESME_RINVCMDLEN;
            break;
        case SUBMIT_SM:
        case DELIVER_SM:
            st = read_sm(r, o);
            break;
        case SUBMIT_SM_RESP:
        case DELIVER_SM_RESP:
        case DATA_SM_RESP:
            if (r.left() == 0) break;
            if (!r.cstr(o.message_id, MESSAGE_ID_SIZE, ESME_RINVMSGID)) return ESME_RINVCMDLEN;
            st = read_tlvs(r, o);
            break;
        case DATA_SM:
            if (!r.cstr(o.service_type, SERVICE_TYPE_SIZE, ESME_RINVSERTYP) ||
                !r.u8(o.source_addr_ton) || !r.u8(o.source_addr_npi) ||
                !r.cstr(o.source_addr, ALERT_ADDRESS_SIZE, ESME_RINVSRCADR) ||
                !r.u8(o.dest_addr_ton) || !r.u8(o.dest_addr_npi) ||
                !r.cstr(o.dest_addr, ALERT_ADDRESS_SIZE, ESME_RINVDSTADR) || !r.u8(o.esm_class) ||
                !r.u8(o.registered_delivery) || !r.u8(o.data_coding))
                return ESME_RINVCMDLEN;
            st = read_tlvs(r, o);
            break;
        case ALERT_NOTIFICATION:
            if (!r.u8(o.source_addr_ton) || !r.u8(o.source_addr_npi) ||
                !r.cstr(o.source_addr, ALERT_ADDRESS_SIZE, ESME_RINVSRCADR) ||
                !r.u8(o.dest_addr_ton) || !r.u8(o.dest_addr_npi) ||
                !r.cstr(o.dest_addr, ALERT_ADDRESS_SIZE, ESME_RINVDSTADR))
                return ESME_RINVCMDLEN;
            st = read_tlvs(r, o);
            break;
        case GENERIC_NACK:
        case UNBIND:
        case UNBIND_RESP:
        case ENQUIRE_LINK:
        case ENQUIRE_LINK_RESP:
            if (r.left()) return ESME_RINVCMDLEN;
            break;
        case QUERY_SM:
        case QUERY_SM_RESP:
        case REPLACE_SM:
        case REPLACE_SM_RESP:
        case CANCEL_SM:
        case CANCEL_SM_RESP:
        case SUBMIT_MULTI:
        case SUBMIT_MULTI_RESP:
            // Known but not served by the engine: the body is left unread.
            break;
        default:
            return ESME_RINVCMDID;
    }
    return r.field_status != ESME_ROK ? r.field_status : st;
}

DecodeFault classify_decode_status(uint32_t status) {
    switch (status) {
        case ESME_RINVPARLEN:
            return DecodeFault::Tolerated;
        case ESME_RINVOPTPARSTREAM:
        case ESME_RINVSRCADR:
        case ESME_RINVDSTADR:
        case ESME_RINVSERTYP:
        case ESME_RINVSCHED:
        case ESME_RINVEXPIRY:
        case ESME_RINVSYSID:
        case ESME_RINVPASWD:
        case ESME_RINVSYSTYP:
        case ESME_RBINDFAIL:
        case ESME_RINVMSGID:
            return DecodeFault::OwnResponse;
        default:
            return DecodeFault::Nack;
    }
}

bool has_response(uint32_t id) {
    return !is_response(id) && id != ALERT_NOTIFICATION && id != OUTBIND;
}

// ---- optional-parameter table -------------------------------------------------

const std::vector<TlvDef>& standard_tlvs() {
    using T = TlvType;
    static const std::vector<TlvDef> table = {
        {"dest_addr_subunit", 0x0005, T::Int1, 1},
        {"dest_network_type", 0x0006, T::Int1, 1},
        {"dest_bearer_type", 0x0007, T::Int1, 1},
        {"dest_telematics_id", 0x0008, T::Int2, 2},
        {"source_addr_subunit", 0x000D, T::Int1, 1},
        {"source_network_type", 0x000E, T::Int1, 1},
        {"source_bearer_type", 0x000F, T::Int1, 1},
        {"source_telematics_id", 0x0010, T::Int1, 1},
        {"qos_time_to_live", 0x0017, T::Int4, 4},
        {"payload_type", 0x0019, T::Int1, 1},
        {"additional_status_info_text", 0x001D, T::CString, 256},
        {"receipted_message_id", 0x001E, T::CString, 65},
        {"ms_msg_wait_facilities", 0x0030, T::Int1, 1},
        {"privacy_indicator", 0x0201, T::Int1, 1},
        {"source_subaddress", 0x0202, T::Hex, 23},
        {"dest_subaddress", 0x0203, T::Hex, 23},
        {"user_message_reference", 0x0204, T::Int2, 2},
        {"user_response_code", 0x0205, T::Int1, 1},
        {"source_port", 0x020A, T::Int2, 2},
        {"destination_port", 0x020B, T::Int2, 2},
        {"sar_msg_ref_num", 0x020C, T::Int2, 2},
        {"language_indicator", 0x020D, T::Int1, 1},
        {"sar_total_segments", 0x020E, T::Int1, 1},
        {"sar_segment_seqnum", 0x020F, T::Int1, 1},
        {"sc_interface_version", 0x0210, T::Int1, 1},
        {"callback_num_pres_ind", 0x0302, T::Int1, 1},
        {"callback_num_atag", 0x0303, T::Hex, 65},
        {"number_of_messages", 0x0304, T::Int1, 1},
        {"callback_num", 0x0381, T::Hex, 19},
        {"dpf_result", 0x0420, T::Int1, 1},
        {"set_dpf", 0x0421, T::Int1, 1},
        {"ms_availability_status", 0x0422, T::Int1, 1},
        {"network_error_code", 0x0423, T::Hex, 3},
        {"message_payload", 0x0424, T::Hex, 0},
        {"delivery_failure_reason", 0x0425, T::Int1, 1},
        {"more_messages_to_send", 0x0426, T::Int1, 1},
        {"message_state", 0x0427, T::Int1, 1},
        {"ussd_service_op", 0x0501, T::Int1, 1},
        {"display_time", 0x1201, T::Int1, 1},
        {"sms_signal", 0x1203, T::Int2, 2},
        {"ms_validity", 0x1204, T::Int1, 1},
        {"alert_on_message_delivery", 0x130C, T::Empty, 0},
        {"its_reply_type", 0x1380, T::Int1, 1},
        {"its_session_info", 0x1383, T::Hex, 2},
    };
    return table;
}

const TlvDef* find_standard_tlv(std::string_view name) {
    for (const TlvDef& d : standard_tlvs())
        if (platform::iequals(d.name, name)) return &d;
    return nullptr;
}

const TlvDef* find_standard_tlv(uint16_t tag) {
    for (const TlvDef& d : standard_tlvs())
        if (d.tag == tag) return &d;
    return nullptr;
}

static bool parse_uint(std::string_view s, uint64_t& v, uint64_t max) {
    s = platform::trim(s);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * uint64_t(base) + uint64_t(d);
        if (v > max) return false;
    }
    return true;
}

std::optional<TlvDef> parse_tlv_definition(std::string_view name, std::string_view value) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (parts.size() < 4) {
        size_t comma = value.find(',', start);
        parts.push_back(platform::trim(value.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
    uint64_t tag = 0;
    if (!parse_uint(parts[0], tag, 0xFFFF)) return std::nullopt;
    TlvDef d;
    d.name = std::string(platform::trim(name));
    if (d.name.empty()) return std::nullopt;
    d.tag = uint16_t(tag);
    uint64_t len = 0;
    bool has_len = parts.size() == 3 && !parts[2].empty();
    if (has_len && !parse_uint(parts[2], len, 0xFFFF)) return std::nullopt;
    std::string_view type = parts[1];
    if (platform::iequals(type, "Int") || platform::iequals(type, "Integer")) {
        if (!has_len) len = 1;
        if (len == 1)
            d.type = TlvType::Int1;
        else if (len == 2)
            d.type = TlvType::Int2;
        else if (len == 4)
            d.type = TlvType::Int4;
        else
            return std::nullopt;
    } else if (platform::iequals(type, "String")) {
        d.type = TlvType::CString;
    } else if (platform::iequals(type, "Text")) {
        d.type = TlvType::Text;
    } else if (platform::iequals(type, "Hex")) {
        d.type = TlvType::Hex;
    } else {
        return std::nullopt;
    }
    d.max_len = size_t(len);
    return d;
}

void TlvRegistry::load(const std::vector<std::pair<std::string, std::string>>& section) {
    custom.clear();
    for (const auto& [name, value] : section) {
        if (find_standard_tlv(name)) continue;  // built in
        if (auto d = parse_tlv_definition(name, value)) custom.push_back(std::move(*d));
    }
}

const TlvDef* TlvRegistry::by_name(std::string_view name) const {
    if (const TlvDef* d = find_standard_tlv(name)) return d;
    for (const TlvDef& d : custom)
        if (platform::iequals(d.name, name)) return &d;
    return nullptr;
}

const TlvDef* TlvRegistry::by_tag(uint16_t tag) const {
    if (const TlvDef* d = find_standard_tlv(tag)) return d;
    for (const TlvDef& d : custom)
        if (d.tag == tag) return &d;
    return nullptr;
}

std::string to_hex(std::string_view octets) {
    return common::to_hex(octets);
}

bool from_hex(std::string_view hex, std::string& out) {
    return common::from_hex(hex, out);
}

std::optional<std::string> tlv_value_to_wire(const TlvDef& def, std::string_view text) {
    std::string out;
    switch (def.type) {
        case TlvType::Int1:
        case TlvType::Int2:
        case TlvType::Int4: {
            size_t n = int_size(def.type);
            uint64_t v = 0;
            if (!parse_uint(text, v, n == 4 ? 0xFFFFFFFFull : (1ull << (8 * n)) - 1))
                return std::nullopt;
            for (size_t i = n; i-- > 0;) out.push_back(char((v >> (8 * i)) & 0xFF));
            return out;
        }
        case TlvType::CString:
            out.assign(text.substr(0, text.find('\0')));
            if (def.max_len && out.size() + 1 > def.max_len) out.resize(def.max_len - 1);
            out.push_back('\0');
            return out;
        case TlvType::Text:
            out.assign(text);
            break;
        case TlvType::Hex:
            if (!from_hex(platform::trim(text), out)) return std::nullopt;
            break;
        case TlvType::Empty:
            return out;
    }
    if (def.max_len && out.size() > def.max_len) out.resize(def.max_len);
    return out;
}

std::string tlv_value_to_text(const TlvDef& def, std::string_view wire) {
    switch (def.type) {
        case TlvType::Int1:
        case TlvType::Int2:
        case TlvType::Int4: {
            uint64_t v = 0;
            for (unsigned char c : wire.substr(0, 4)) v = (v << 8) | c;
            return std::to_string(v);
        }
        case TlvType::CString:
            return std::string(wire.substr(0, wire.find('\0')));
        case TlvType::Text: {
            // Option text is split at ';': such characters cannot travel in it.
            std::string s(wire);
            for (char& c : s)
                if (c == ';' || c == '\0' || c == '\r' || c == '\n') c = ' ';
            return s;
        }
        case TlvType::Hex:
            return to_hex(wire);
        case TlvType::Empty:
            return "";
    }
    return "";
}

// ---- option text --------------------------------------------------------------

static constexpr std::string_view OPTION_PREFIX = "SMPPOption_";

std::optional<Tlv> option_to_tlv(const TlvRegistry& reg, std::string_view name,
                                 std::string_view value) {
    bool prefixed = platform::istarts_with(name, OPTION_PREFIX);
    if (prefixed) name.remove_prefix(OPTION_PREFIX.size());
    if (name.empty()) return std::nullopt;
    if (const TlvDef* d = reg.by_name(name)) {
        auto wire = tlv_value_to_wire(*d, value);
        if (!wire) return std::nullopt;
        return Tlv{d->tag, std::move(*wire)};
    }
    // The form unknown received tags are passed up in: four hex digits.
    if (prefixed && name.size() == 4) {
        uint64_t tag = 0;
        if (!parse_uint(std::string("0x") + std::string(name), tag, 0xFFFF)) return std::nullopt;
        TlvDef hex{"", uint16_t(tag), TlvType::Hex, 0};
        if (const TlvDef* d = reg.by_tag(uint16_t(tag))) hex = *d;
        auto wire = tlv_value_to_wire(hex, value);
        if (!wire) return std::nullopt;
        return Tlv{uint16_t(tag), std::move(*wire)};
    }
    return std::nullopt;
}

std::pair<std::string, std::string> tlv_to_option(const TlvRegistry& reg, const Tlv& tlv) {
    if (const TlvDef* d = reg.by_tag(tlv.tag))
        return {std::string(OPTION_PREFIX) + d->name, tlv_value_to_text(*d, tlv.value)};
    return {platform::strprintf("SMPPOption_%04X", unsigned(tlv.tag)), to_hex(tlv.value)};
}

// ---- status texts -------------------------------------------------------------

const char* status_text(uint32_t s) {
    switch (s) {
        case 0x00:
            return "ESME_ROK - No Error";
        case 0x01:
            return "ESME_RINVMSGLEN - Message Length is invalid";
        case 0x02:
            return "ESME_RINVCMDLEN - Command Length is invalid";
        case 0x03:
            return "ESME_RINVCMDID - Invalid Command ID";
        case 0x04:
            return "ESME_RINVBNDSTS - Incorrect BIND Status for given command";
        case 0x05:
            return "ESME_RALYBND - ESME Already in Bound State";
        case 0x06:
            return "ESME_RINVPRTFLG - Invalid Priority Flag";
        case 0x07:
            return "ESME_RINVREGDLVFLG - Invalid Registered Delivery Flag";
        case 0x08:
            return "ESME_RSYSERR - System Error";
        case 0x0A:
            return "ESME_RINVSRCADR - Invalid Source Address";
        case 0x0B:
            return "ESME_RINVDSTADR - Invalid Dest Addr";
        case 0x0C:
            return "ESME_RINVMSGID - Message ID is invalid";
        case 0x0D:
            return "ESME_RBINDFAIL - Bind Failed";
        case 0x0E:
            return "ESME_RINVPASWD - Invalid Password";
        case 0x0F:
            return "ESME_RINVSYSID - Invalid System ID";
        case 0x11:
            return "ESME_RCANCELFAIL - Cancel SM Failed";
        case 0x13:
            return "ESME_RREPLACEFAIL - Replace SM Failed";
        case 0x14:
            return "ESME_RMSGQFUL - Message Queue Full";
        case 0x15:
            return "ESME_RINVSERTYP - Invalid Service Type";
        case 0x33:
            return "ESME_RINVNUMDESTS - Invalid number of destinations";
        case 0x34:
            return "ESME_RINVDLNAME - Invalid Distribution List name";
        case 0x40:
            return "ESME_RINVDESTFLAG - Destination flag is invalid (submit_multi)";
        case 0x42:
            return "ESME_RINVSUBREP - Invalid 'submit with replace' request";
        case 0x43:
            return "ESME_RINVESMCLASS - Invalid esm_class field data";
        case 0x44:
            return "ESME_RCNTSUBDL - Cannot Submit to Distribution List";
        case 0x45:
            return "ESME_RSUBMITFAIL - submit_sm or submit_multi failed";
        case 0x48:
            return "ESME_RINVSRCTON - Invalid Source address TON";
        case 0x49:
            return "ESME_RINVSRCNPI - Invalid Source address NPI";
        case 0x50:
            return "ESME_RINVDSTTON - Invalid Destination address TON";
        case 0x51:
            return "ESME_RINVDSTNPI - Invalid Destination address NPI";
        case 0x53:
            return "ESME_RINVSYSTYP - Invalid system_type field";
        case 0x54:
            return "ESME_RINVREPFLAG - Invalid replace_if_present flag";
        case 0x55:
            return "ESME_RINVNUMMSGS - Invalid number of messages";
        case 0x58:
            return "ESME_RTHROTTLED - Throttling error (ESME has exceeded allowed message limits)";
        case 0x61:
            return "ESME_RINVSCHED - Invalid Scheduled Delivery Time";
        case 0x62:
            return "ESME_RINVEXPIRY - Invalid message validity period (Expiry time)";
        case 0x63:
            return "ESME_RINVDFTMSGID - Predefined Message Invalid or Not Found";
        case 0x64:
            return "ESME_RX_T_APPN - ESME Receiver Temporary App Error Code";
        case 0x65:
            return "ESME_RX_P_APPN - ESME Receiver Permanent App Error Code";
        case 0x66:
            return "ESME_RX_R_APPN - ESME Receiver Reject Message Error Code";
        case 0x67:
            return "ESME_RQUERYFAIL - query_sm request failed";
        case 0xC0:
            return "ESME_RINVOPTPARSTREAM - Error in the optional part of the PDU Body";
        case 0xC1:
            return "ESME_ROPTPARNOTALLWD - Optional Parameter not allowed";
        case 0xC2:
            return "ESME_RINVPARLEN - Invalid Parameter Length";
        case 0xC3:
            return "ESME_RMISSINGOPTPARAM - Expected Optional Parameter missing";
        case 0xC4:
            return "ESME_RINVOPTPARAMVAL - Invalid Optional Parameter Value";
        case 0xFE:
            return "ESME_RDELIVERYFAILURE - Delivery Failure";
        case 0xFF:
            return "ESME_RUNKNOWNERR - Unknown Error";
        case SMPP_ERR_CONNECTION:
            return "SMPP connection error";
        case SMPP_ERR_TIMEOUT:
            return "SMPP response timeout";
        case SMPP_ERR_STATE:
            return "SMPP session not connected or not bound";
        default:
            break;
    }
    thread_local char buf[48];
    std::snprintf(buf, sizeof buf, "Unknown SMPP error 0x%08X", unsigned(s));
    return buf;
}

}  // namespace protocols::smpp
