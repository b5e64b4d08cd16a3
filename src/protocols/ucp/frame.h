// UCP/EMI wire codec: the STX/ETX frame with its transaction reference,
// length and checksum, the field encodings the operations use (IRA hex text,
// alphanumeric originators, XSer), and the mapping of operations 51, 52, 53,
// 31 and 60 to and from the submit and delivery records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/common/message.h"

namespace protocols::ucp {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;

// LEN has five digits: the characters between STX and ETX.
inline constexpr size_t kMaxFrameBody = 99999;
// Smallest body: "TT/LLLLL/O/OO/" plus the checksum.
inline constexpr size_t kMinFrameBody = 16;

// Operation types.
inline constexpr int OT_ALERT = 31;
inline constexpr int OT_SUBMIT = 51;
inline constexpr int OT_DELIVER = 52;
inline constexpr int OT_NOTIFICATION = 53;
inline constexpr int OT_SESSION = 60;

// Fields of every 50-series operation, in order.
// clang-format off
enum Field50 : size_t {
    F_ADC, F_OADC, F_AC, F_NRQ, F_NADC, F_NT, F_NPID, F_LRQ, F_LRAD, F_LPID, F_DD, F_DDT,
    F_VP, F_RPID, F_SCTS, F_DST, F_RSN, F_DSCTS, F_MT, F_NB, F_MSG, F_MMS, F_PR, F_DCS,
    F_MCLS, F_RPI, F_CPG, F_RPLY, F_OTOA, F_HPLMN, F_XSER, F_RES4, F_RES5,
    FIELDS_50  // 33
};
// Fields of the 60 session management operation.
enum Field60 : size_t {
    F60_OADC, F60_OTON, F60_ONPI, F60_STYP, F60_PWD, F60_NPWD, F60_VERS, F60_LADC, F60_LTON,
    F60_LNPI, F60_OPID, F60_RES1,
    FIELDS_60  // 12
};
// clang-format on

// Error codes the SMSC answers with (two digits in a NACK).
inline constexpr int EC_CHECKSUM = 1;
inline constexpr int EC_SYNTAX = 2;
inline constexpr int EC_NOT_SUPPORTED = 3;
inline constexpr int EC_NOT_ALLOWED = 4;
inline constexpr int EC_ADC_INVALID = 6;
inline constexpr int EC_AUTHENTICATION = 7;
inline constexpr int EC_TOO_LONG = 24;

struct Frame {
    int trn = 0;                      // transaction reference 00-99
    bool result = false;              // 'R' (result) or 'O' (operation)
    int ot = 0;                       // operation type 00-99
    std::vector<std::string> fields;  // data fields between OT and the checksum
};

// Two upper-case hex digits: the sum of the bytes modulo 256.
std::string checksum(std::string_view bytes);

// STX, header, fields, checksum, ETX. Fields must not contain '/', STX or ETX.
std::string encode_frame(const Frame& f);

// Finding frames in a received byte stream.
enum class ScanState {
    NeedMore,    // no complete frame yet
    Frame,       // frame at [skip, skip + length): STX ... ETX inclusive
    Garbage,     // drop `skip` bytes that belong to no frame
    MissingEtx,  // a frame cut short by the next STX: [skip, skip + length) without ETX
    Oversized,   // an STX with no ETX within kMaxFrameBody: the stream is out of step
};
struct Scan {
    ScanState state = ScanState::NeedMore;
    size_t skip = 0;
    size_t length = 0;
    size_t resume = 0;    // NeedMore: where the next call may go on searching
    size_t examined = 0;  // bytes this call looked at
};
Scan scan_frame(std::string_view buffer);
// The same, for a buffer that starts with an STX whose bytes [1, resume) an
// earlier call (NeedMore) found free of STX and ETX: the search goes on from
// there, so a unit arriving in small pieces is not read again from its start.
Scan scan_frame(std::string_view buffer, size_t resume);

enum class DecodeError { None, Header, Checksum, Length, Syntax };
// Decodes the text between STX and ETX. trn, result and ot are filled as soon
// as the header reads (even when a later check fails), so that a broken
// operation can still be answered; header_ok tells whether they are valid.
DecodeError decode_frame(std::string_view body, Frame& out, bool* header_ok = nullptr);

// ---- field encodings -----------------------------------------------------------

std::string to_hex(std::string_view octets);
// Two hex digits per octet (either case); false on an odd length or a non-hex digit.
bool from_hex(std::string_view hex, std::string& octets);

// Alphanumeric OAdC (OTOA 5039): the number of useful semi-octets as two hex
// digits, then the GSM septets packed as in an SMS address. At most
// kMaxAlphaSeptets septets are kept (an escape pair is never split).
inline constexpr size_t kMaxAlphaSeptets = 11;
std::string encode_alphanumeric_address(std::string_view utf8);
// The reverse; false when the field is not of that form.
bool decode_alphanumeric_address(std::string_view field, std::string& utf8);

// XSer: a sequence of type (2 hex), length (2 hex) and data (length octets as hex).
inline constexpr uint8_t XSER_UDH = 0x01;
inline constexpr uint8_t XSER_DCS = 0x02;
inline constexpr uint8_t XSER_BILLING = 0x0C;
struct XSerItem {
    uint8_t type = 0;
    std::string data;  // octets
};
std::string encode_xser(const std::vector<XSerItem>& items);
// False when the text is not a well-formed sequence (items read so far are kept).
bool decode_xser(std::string_view hex, std::vector<XSerItem>& items);

// UCP time stamp DDMMYYhhmmss -> receipt date YYMMDDhhmm ("" when malformed).
std::string scts_to_receipt_date(std::string_view scts);

// ---- operations ------------------------------------------------------------------

// Character set of 7-bit text (MT=3): GSM default alphabet codes (one
// septet per octet, escape pairs for the extension table), or IRA/ISO-8859-1.
enum class TextCharset { Gsm, Ira };

struct CodingOptions {
    TextCharset charset = TextCharset::Gsm;
    std::string plus_prefix = "00";    // replaces a leading "+" of a recipient
    std::string notification_address;  // NAdC of receipt requests (empty: the SMSC's default)
    std::string notification_pid = "0539";
};

// Longest message body accepted (septets of MT=3 or octets of MT=4).
inline constexpr size_t kMaxMessageOctets = 640;

// Fills an operation 51 (data: UTF-8 text, or hex when binary, packed septets
// for a 7-bit DCS; flags 0x02 receipt, 0x40 non-delivery receipt; the
// "BillingInfo" option goes as XSer 0C). Returns 0, or the error code the
// submit fails with locally: EC_ADC_INVALID (recipient not a number),
// EC_SYNTAX (bad hex in data or UDH), EC_TOO_LONG.
int build_submit(const common::SubmitRecord& m, const CodingOptions& opt, Frame& f);

// Converts a 52 (link name left empty, scts set). Returns 0, or the NACK
// error code for a malformed one.
int parse_deliver(const Frame& f, const CodingOptions& opt, common::DeliveryRecord& out);

// Converts a 53: sender = the notified message's recipient, recipient = its
// originator, the message a receipt text "id:... stat:..." and the flags 0x04
// plus 0x08 delivered, 0x10 buffered or 0x20 not delivered; smsc_message_id
// is the notified message's AdC:SCTS.
int parse_notification(const Frame& f, const CodingOptions& opt, common::DeliveryRecord& out);

// The SMSC's identification of a submitted message, from the SM field of a 51
// ACK ("AdC:SCTS"); the SM text as it came when it has another form.
std::string message_id_from_ack(std::string_view sm);

// Operation 60 (open session, hex password) and 31 (alert).
Frame build_login(std::string_view user, std::string_view password, std::string_view oton,
                  std::string_view onpi);
Frame build_alert(std::string_view address, std::string_view pid);

// Results: ACK / NACK with the layout of the operation type.
Frame build_ack(const Frame& op, std::string_view sm = {});
Frame build_nack(int trn, int ot, int error_code, std::string_view sm = {});

// Reads a result: true for ACK. For a NACK *error_code is its EC (0 when it
// is not two digits); sm receives the system message.
bool parse_result(const Frame& r, int* error_code, std::string* sm);

// Text of an error code (two-digit SMSC codes); nullptr when unknown.
const char* error_code_text(int code);

}  // namespace protocols::ucp
