// SMPP 3.3/3.4 PDU codec: framing, encoding and strict decoding of the PDUs a
// gateway meets, the optional-parameter (TLV) table, the option text that maps
// to optional parameters, and the command status names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocols/common/message.h"

namespace protocols::smpp {

// Command ids.
enum : uint32_t {
    GENERIC_NACK = 0x80000000u,
    BIND_RECEIVER = 0x00000001u,
    BIND_RECEIVER_RESP = 0x80000001u,
    BIND_TRANSMITTER = 0x00000002u,
    BIND_TRANSMITTER_RESP = 0x80000002u,
    QUERY_SM = 0x00000003u,
    QUERY_SM_RESP = 0x80000003u,
    SUBMIT_SM = 0x00000004u,
    SUBMIT_SM_RESP = 0x80000004u,
    DELIVER_SM = 0x00000005u,
    DELIVER_SM_RESP = 0x80000005u,
    UNBIND = 0x00000006u,
    UNBIND_RESP = 0x80000006u,
    REPLACE_SM = 0x00000007u,
    REPLACE_SM_RESP = 0x80000007u,
    CANCEL_SM = 0x00000008u,
    CANCEL_SM_RESP = 0x80000008u,
    BIND_TRANSCEIVER = 0x00000009u,
    BIND_TRANSCEIVER_RESP = 0x80000009u,
    OUTBIND = 0x0000000Bu,
    ENQUIRE_LINK = 0x00000015u,
    ENQUIRE_LINK_RESP = 0x80000015u,
    SUBMIT_MULTI = 0x00000021u,
    SUBMIT_MULTI_RESP = 0x80000021u,
    ALERT_NOTIFICATION = 0x00000102u,
    DATA_SM = 0x00000103u,
    DATA_SM_RESP = 0x80000103u,
};

// Command status values the engine itself produces or tests for.
enum : uint32_t {
    ESME_ROK = 0x00,
    ESME_RINVMSGLEN = 0x01,
    ESME_RINVCMDLEN = 0x02,
    ESME_RINVCMDID = 0x03,
    ESME_RINVBNDSTS = 0x04,
    ESME_RALYBND = 0x05,
    ESME_RSYSERR = 0x08,
    ESME_RINVSRCADR = 0x0A,
    ESME_RINVDSTADR = 0x0B,
    ESME_RINVMSGID = 0x0C,
    ESME_RBINDFAIL = 0x0D,
    ESME_RINVPASWD = 0x0E,
    ESME_RINVSYSID = 0x0F,
    ESME_RMSGQFUL = 0x14,
    ESME_RINVSERTYP = 0x15,
    ESME_RINVSYSTYP = 0x53,
    ESME_RTHROTTLED = 0x58,
    ESME_RINVSCHED = 0x61,
    ESME_RINVEXPIRY = 0x62,
    ESME_RX_T_APPN = 0x64,
    ESME_RINVOPTPARSTREAM = 0xC0,
    ESME_RINVPARLEN = 0xC2,
    ESME_RINVOPTPARAMVAL = 0xC4,
    ESME_RUNKNOWNERR = 0xFF,
};

// Failure codes of the engine itself (never sent on the wire). They read as
// negative numbers so that callers can tell them from SMPP statuses.
constexpr uint32_t SMPP_ERR_CONNECTION = 0xFFFFFFFFu;  // -1: connection failed or lost
constexpr uint32_t SMPP_ERR_TIMEOUT = 0xFFFFFFFEu;     // -2: no response within CommandTimeout
constexpr uint32_t SMPP_ERR_STATE = 0xFFFFFFFDu;  // -3: session not connected/bound, or bad call

constexpr uint8_t SMPP_VERSION_33 = 0x33;
constexpr uint8_t SMPP_VERSION_34 = 0x34;

constexpr size_t PDU_HEADER_LEN = 16;
// Anything larger is not an SMPP PDU but a broken or hostile peer.
constexpr size_t PDU_MAX_LEN = 64 * 1024;
constexpr size_t SHORT_MESSAGE_MAX = 254;

// Field sizes (octets including the terminating NUL) of the C-octet strings.
constexpr size_t SYSTEM_ID_SIZE = 16;
constexpr size_t PASSWORD_SIZE = 9;
constexpr size_t SYSTEM_TYPE_SIZE = 13;
constexpr size_t SERVICE_TYPE_SIZE = 6;
constexpr size_t ADDRESS_SIZE = 21;
constexpr size_t ALERT_ADDRESS_SIZE = 65;
constexpr size_t TIME_SIZE = 17;
constexpr size_t MESSAGE_ID_SIZE = 65;
constexpr size_t ADDRESS_RANGE_SIZE = 41;

// Optional parameter tags with a meaning inside the engine.
enum : uint16_t {
    TAG_SC_INTERFACE_VERSION = 0x0210,
    TAG_RECEIPTED_MESSAGE_ID = 0x001E,
    TAG_MESSAGE_STATE = 0x0427,
    TAG_NETWORK_ERROR_CODE = 0x0423,
    TAG_MESSAGE_PAYLOAD = 0x0424,
    TAG_USER_MESSAGE_REFERENCE = 0x0204,
    TAG_SOURCE_PORT = 0x020A,
    TAG_DESTINATION_PORT = 0x020B,
    TAG_SAR_MSG_REF_NUM = 0x020C,
    TAG_SAR_TOTAL_SEGMENTS = 0x020E,
    TAG_SAR_SEGMENT_SEQNUM = 0x020F,
    TAG_MS_AVAILABILITY_STATUS = 0x0422,
};

struct Tlv {
    uint16_t tag = 0;
    std::string value;  // raw octets
};

// One PDU. Only the fields of its command id are encoded or decoded; the
// alert_notification esme address travels in the dest_* fields.
struct Pdu {
    uint32_t command_id = 0;
    uint32_t command_status = 0;
    uint32_t sequence = 0;

    // bind_*, outbind, bind_*_resp (system_id)
    std::string system_id, password, system_type, address_range;
    uint8_t interface_version = SMPP_VERSION_34;
    uint8_t addr_ton = 0, addr_npi = 0;

    // submit_sm, deliver_sm, data_sm, alert_notification
    std::string service_type;
    uint8_t source_addr_ton = 0, source_addr_npi = 0;
    std::string source_addr;
    uint8_t dest_addr_ton = 0, dest_addr_npi = 0;
    std::string dest_addr;
    uint8_t esm_class = 0, protocol_id = 0, priority_flag = 0;
    std::string schedule_delivery_time, validity_period;
    uint8_t registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0,
            sm_default_msg_id = 0;
    std::string short_message;  // raw octets

    // *_sm_resp
    std::string message_id;

    std::vector<Tlv> tlvs;

    const Tlv* find_tlv(uint16_t tag) const;
    void set_tlv(uint16_t tag, std::string value);  // replaces an existing one
};

const char* command_name(uint32_t command_id);
bool is_response(uint32_t command_id);

// Framing: looks at the first bytes of a stream.
enum class FrameState { NeedMore, Complete, Invalid };
struct Frame {
    FrameState state = FrameState::NeedMore;
    uint32_t length = 0;  // command_length when known
};
Frame check_frame(std::span<const uint8_t> data);

// Encodes a PDU. Version 0x33 drops optional parameters. Strings longer than
// their field are cut at the field size (the caller checks what matters).
std::string encode_pdu(const Pdu& pdu, uint8_t version = SMPP_VERSION_34);

// Decodes one complete PDU (exactly command_length bytes). Returns 0 or the
// command status a generic_nack should carry: ESME_RINVCMDLEN when the
// lengths disagree (header, mandatory fields), ESME_RINVMSGLEN when sm_length
// runs past the PDU, ESME_RINVOPTPARSTREAM for a broken optional-parameter
// stream, ESME_RINVPARLEN for a known parameter of the wrong length,
// ESME_RINVCMDID for an unknown command id. A C-octet string longer than its
// field is read whole and gives the field's status (ESME_RINVSRCADR,
// ESME_RINVDSTADR, ESME_RINVSERTYP, ESME_RINVSCHED, ESME_RINVEXPIRY; in binds
// ESME_RINVSYSID, ESME_RINVPASWD, ESME_RINVSYSTYP, ESME_RBINDFAIL for the
// address range; ESME_RINVMSGID for a response's message id); the rest of the
// PDU is still decoded. out.command_id / sequence are set whenever the header
// could be read. Never reads outside data.
uint32_t decode_pdu(std::span<const uint8_t> data, Pdu& out);

// How a request that decoded with a non-zero status is answered.
enum class DecodeFault {
    Tolerated,    // a known optional parameter of the wrong length: kept, request served
    OwnResponse,  // sound framing, a bad field or parameter stream: its response carries it
    Nack,         // lengths or command id do not hold: generic_nack
};
DecodeFault classify_decode_status(uint32_t status);
// Requests that have a response of their own (alert_notification and outbind have none).
bool has_response(uint32_t command_id);

// ---- optional-parameter table ----------------------------------------------

enum class TlvType {
    Int1,
    Int2,
    Int4,     // big-endian integers, written as decimal in option text
    CString,  // C-octet string (NUL-terminated on the wire), text
    Text,     // octet string carried as plain text, no NUL
    Hex,      // octet string written as hexadecimal in option text
    Empty,    // no value (presence only)
};

struct TlvDef {
    std::string name;
    uint16_t tag = 0;
    TlvType type = TlvType::Hex;
    size_t max_len = 0;  // octets on the wire (CString includes the NUL); 0 = any
};

// The SMPP 3.4 optional parameters by name.
const std::vector<TlvDef>& standard_tlvs();
const TlvDef* find_standard_tlv(std::string_view name);  // name without case
const TlvDef* find_standard_tlv(uint16_t tag);

// Custom optional parameter definitions: the [SMPPOptions] value format is
//
//     <tag>,<type>,<max length>
//
// tag: decimal, or hexadecimal with "0x" (0x1403); type, without case: "Int"
// (or "Integer", length 1, 2 or 4 octets), "String" (NUL-terminated text, the
// length counts the NUL), "Text" (text without NUL), "Hex" (octets written as
// hexadecimal); max length: octets on the wire, optional (default 1 for Int,
// 0 = unlimited otherwise). Example: "MyTag=0x1403,String,20". Blanks around
// the items are ignored. Standard names are built in; a value that does not
// parse leaves the name without a definition.
std::optional<TlvDef> parse_tlv_definition(std::string_view name, std::string_view value);

// The definitions in force for one link or server: built-in names plus the
// [SMPPOptions] entries handed in as (name, value) pairs.
struct TlvRegistry {
    std::vector<TlvDef> custom;

    void load(const std::vector<std::pair<std::string, std::string>>& section);
    const TlvDef* by_name(std::string_view name) const;
    const TlvDef* by_tag(uint16_t tag) const;
};

// Value conversions between option text and wire octets. to_wire returns
// nullopt when the value does not fit the type (not a number, odd hex ...).
std::optional<std::string> tlv_value_to_wire(const TlvDef& def, std::string_view text);
std::string tlv_value_to_text(const TlvDef& def, std::string_view wire);

// ---- option text --------------------------------------------------------------

// The option text of the positional operations (see protocols/common/message.h).
using common::join_option_text;
using common::parse_option_text;

// Turns an option item into a TLV: names may carry the "SMPPOption_" prefix;
// a name of four hex digits (the form unknown received tags are passed up in)
// maps to that tag with a hex value. Returns nullopt for names that are not
// optional parameters (ServiceType, Validity, LocalUser ...) or bad values.
std::optional<Tlv> option_to_tlv(const TlvRegistry& reg, std::string_view name,
                                 std::string_view value);

// Turns a received TLV into an "SMPPOption_<name>" item; tags without a name
// become "SMPPOption_<tag as four upper-case hex digits>" with a hex value.
std::pair<std::string, std::string> tlv_to_option(const TlvRegistry& reg, const Tlv& tlv);

// ---- status texts -------------------------------------------------------------

// "ESME_RTHROTTLED - Throttling error (ESME has exceeded allowed message limits)",
// texts for the engine's own negative codes, and "Unknown SMPP error 0x%08X"
// for anything else (kept in a thread-local buffer).
const char* status_text(uint32_t status);

// ---- small helpers ------------------------------------------------------------

std::string to_hex(std::string_view octets);  // upper-case
// Hex digits to octets; false on an odd count or a non-hex character.
bool from_hex(std::string_view hex, std::string& out);

}  // namespace protocols::smpp
