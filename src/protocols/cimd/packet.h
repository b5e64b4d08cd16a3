// CIMD2 wire codec: the STX ... ETX packet with its operation code, packet
// number, tab-separated parameters and optional checksum; the CIMD2 text
// conversion of user data; and the mapping of submit (03), deliver message
// (20) and delivery status report (23) to and from the submit and delivery
// records.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/common/message.h"

namespace protocols::cimd {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char TAB = 0x09;

// Longest packet body accepted (between STX and ETX); more is out of step.
inline constexpr size_t kMaxPacketBody = 8192;

// Operation codes; a response is the request's code + 50.
inline constexpr int OP_LOGIN = 1;
inline constexpr int OP_LOGOUT = 2;
inline constexpr int OP_SUBMIT = 3;
inline constexpr int OP_DELIVER = 20;
inline constexpr int OP_STATUS_REPORT = 23;
inline constexpr int OP_ALIVE = 40;
inline constexpr int OP_RESPONSE = 50;  // added to the request's code
inline constexpr int OP_GENERAL_ERROR = 98;
inline constexpr int OP_NACK = 99;

// Parameter codes.
inline constexpr int P_USER_IDENTITY = 10;
inline constexpr int P_PASSWORD = 11;
inline constexpr int P_DESTINATION = 21;
inline constexpr int P_ORIGINATOR = 23;
inline constexpr int P_ALPHA_ORIGINATOR = 27;
inline constexpr int P_DCS = 30;
inline constexpr int P_UDH = 32;
inline constexpr int P_USER_DATA = 33;
inline constexpr int P_USER_DATA_BINARY = 34;
inline constexpr int P_PID = 52;
inline constexpr int P_STATUS_REPORT_REQUEST = 56;
inline constexpr int P_SCTS = 60;
inline constexpr int P_STATUS_CODE = 61;
inline constexpr int P_STATUS_ERROR_CODE = 62;
inline constexpr int P_DISCHARGE_TIME = 63;
inline constexpr int P_ERROR_CODE = 900;
inline constexpr int P_ERROR_TEXT = 901;

// Error codes (parameter 900).
inline constexpr int EC_UNEXPECTED_OPERATION = 1;
inline constexpr int EC_SYNTAX = 2;
inline constexpr int EC_GENERAL = 6;
inline constexpr int EC_OPERATION_FAILED = 9;
inline constexpr int EC_INVALID_LOGIN = 100;
inline constexpr int EC_DESTINATION = 300;
inline constexpr int EC_USER_DATA_SYNTAX = 302;
inline constexpr int EC_USER_DATA_COMBINATION = 303;
inline constexpr int EC_ALPHA_ORIGINATOR_DATA = 322;

struct Param {
    int code = 0;
    std::string value;
};

struct Packet {
    int op = 0;
    int number = 0;  // packet number 000-255
    std::vector<Param> params;

    const std::string* find(int code) const;
    void add(int code, std::string value) { params.push_back({code, std::move(value)}); }
};

// Two upper-case hex digits: the sum of the bytes modulo 256.
std::string checksum(std::string_view bytes);

// STX "ZZ:NNN" TAB, "PPP:value" TAB for each parameter, the checksum over
// STX ... last TAB when asked for, ETX. Values must not hold TAB, STX or ETX.
std::string encode_packet(const Packet& p, bool with_checksum);

enum class ScanState { NeedMore, Packet, Garbage, MissingEtx, Oversized };
struct Scan {
    ScanState state = ScanState::NeedMore;
    size_t skip = 0;
    size_t length = 0;    // Packet: STX ... ETX inclusive; MissingEtx: up to the next STX
    size_t resume = 0;    // NeedMore: where the next call may go on searching
    size_t examined = 0;  // bytes this call looked at
};
Scan scan_packet(std::string_view buffer);
// The same, for a buffer that starts with an STX whose bytes [1, resume) an
// earlier call (NeedMore) found free of STX and ETX: the search goes on from
// there, so a unit arriving in small pieces is not read again from its start.
Scan scan_packet(std::string_view buffer, size_t resume);

enum class DecodeError { None, Header, Checksum, Syntax };
// Decodes the text between STX and ETX. op and number are set as soon as the
// header reads (header_ok), so that a broken packet can still be answered.
DecodeError decode_packet(std::string_view body, Packet& out, bool* header_ok = nullptr,
                          bool* had_checksum = nullptr);

// ---- user data text -------------------------------------------------------------

// GSM default alphabet codes (escape 0x1B for the extension table) to the
// CIMD2 text of parameter 033: printable ASCII as itself, the other GSM
// characters as their "_xx" combinations ("_Oa" for "@", "_XX" for the escape).
std::string gsm_to_cimd_text(std::string_view septets);
// The reverse; the double quote is read both as itself and as "_qq". Plain
// ISO-8859-1 characters outside the combinations are
// taken for what they are; a "_" that starts no combination is the underscore.
std::string cimd_text_to_gsm(std::string_view text);

std::string to_hex(std::string_view octets);
bool from_hex(std::string_view hex, std::string& octets);

// CIMD2 time stamp yyMMddhhmmss -> receipt date YYMMDDhhmm ("" when malformed).
std::string timestamp_to_receipt_date(std::string_view ts);

// ---- operations ------------------------------------------------------------------

struct CodingOptions {
    std::string plus_prefix = "+";     // replaces a leading "+" of a recipient ("+" keeps it)
    bool alpha_in_originator = false;  // alphanumeric senders in 023 instead of 027
};

inline constexpr size_t kMaxMessageOctets = 640;
inline constexpr size_t kMaxAlphaSeptets = 11;

// Fills a submit (03) (data: UTF-8 text, or hex when binary, packed septets
// for a 7-bit DCS; flags 0x02 receipt, 0x40 non-delivery receipt). Returns 0
// or the local error code (EC_DESTINATION, EC_USER_DATA_SYNTAX for bad hex or
// an over-long body).
int build_submit(const common::SubmitRecord& m, const CodingOptions& opt, Packet& p);

// A deliver message (20) (link name left empty, scts set); 0 or the error
// code for the response.
int parse_deliver(const Packet& p, common::DeliveryRecord& out);
// A delivery status report (23): a receipt with flags 0x04 plus 0x08 / 0x10 /
// 0x20, the text "id:<destination:SCTS> sub:001 dlvrd:... stat:..." and
// smsc_message_id "destination:SCTS" of the reported message.
int parse_status_report(const Packet& p, common::DeliveryRecord& out);

// The SMSC's identification of a submitted message from the submit
// response: "destination:SCTS" ("" when the response has no time stamp).
std::string message_id_from_response(const Packet& response);

Packet build_login(std::string_view user, std::string_view password);
// A response to request; error_code non-zero adds parameter 900.
Packet build_response(const Packet& request, int error_code = 0);

// Error code of a response: 0, parameter 900, or -1 when 900 is not a number.
int response_error(const Packet& response);

// Text of an error code; nullptr when unknown.
const char* error_code_text(int code);

}  // namespace protocols::cimd
