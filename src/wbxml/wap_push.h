// The connectionless WSP Push PDU a WAP push travels in: transaction id,
// PDU type, the content type and headers in WSP binary form, then the body
// (compiled WBXML, bytes from hex, or text). OMA provisioning documents can
// be signed with the SEC/MAC content-type parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wbxml {

enum class PushContentKind { Text = 0, Hex = 1, Xml = 2 };

struct PushRequest {
    std::string content_type;  // type, then optional ";name=value" parameters
    std::string content;
    PushContentKind kind = PushContentKind::Text;
    std::string application_id;  // empty: no X-WAP-Application-ID header
    std::string headers;         // "Name: value" lines (CR LF or LF), or lines of hex octets
    std::string security;        // "NETWPIN", "USERPIN", "USERNETWPIN" or empty
    std::string pin;             // USERPIN: the PIN; NETWPIN: the IMSI; USERNETWPIN: IMSI ":" PIN
    size_t max_size = 0;         // 0: 1000 octets
};

// Builds the PDU into pdu. 1 when built; 0 with the reason in error (the
// texts "XML Content Not Recognised", "Push data is too large (...)", a bad
// security method or PIN, hex content that is not hex).
int CreateWAPPushBinary(const PushRequest& request, std::string& pdu, std::string& error);

// --- the WSP encodings the PDU is made of (shared with tests) ---------------
void append_uintvar(std::string& out, uint32_t value);
void append_value_length(std::string& out, size_t length);
void append_integer_value(std::string& out, uint64_t value);  // short when below 128
void append_long_integer(std::string& out, uint64_t value);
void append_text_string(std::string& out, std::string_view text);

// The content-type field: the well-known number | 0x80 or the text, with a
// value length in front when parameters follow.
std::string encode_content_type(std::string_view type, std::string_view params,
                                std::string_view extra_params = {});

// One header line in WSP binary form; empty when the line is blank.
std::string encode_header_line(std::string_view line);

// The push application id registry: "x-wap-application:push.sia" is 1 ...
// 0 when the name is not registered.
unsigned push_application_number(std::string_view name);

// An IMSI in semi-octets behind the odd/even identity nibble (9 or 1), the
// last octet filled with F; empty when the text is not all digits.
std::string encode_imsi(std::string_view imsi);

// Transaction ids: the low octet of the clock first, then one more per PDU.
uint8_t next_push_tid();

}  // namespace wbxml
