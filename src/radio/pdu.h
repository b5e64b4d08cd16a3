// The SMS PDUs a modem exchanges in PDU mode: the SMS-SUBMIT built for each
// outgoing message and the
// SMS-DELIVER and SMS-STATUS-REPORT a modem hands over, decoded. All hex
// produced is upper case. Decoding never reads past its input: a PDU whose
// fields run past its end comes back as Truncated with the fields read so
// far, one whose user data header does not fit its user data as Invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace radio::pdu {

// At most this many octets of a received hex line are decoded.
inline constexpr size_t kMaxPduOctets = 1024;
// Over-long text is cut at this many septets.
inline constexpr size_t kMaxSeptets = 500;

// --- building -----------------------------------------------------------------------

// Address field: "+" gives type 0x91, else 0x81; swapped semi-octets padded
// with F; the length octet counts digits. Empty: "00" alone.
std::string encode_address(std::string_view number);
// The SMSC field: the same with the length counting the octets after it.
std::string encode_smsc(std::string_view number);

// The relative TP-VP octet of a validity text ("2d", " 6h", "30m"), or -1
// when the text gives no validity period. Hours above 24 are expressed in
// days (rounded up), so the octet stays within the relative format.
int validity_octet(std::string_view validity);

struct SubmitParams {
    std::string recipient;
    std::string smsc;        // service centre number ("" gives the octet 00)
    bool omit_smsc = false;  // ExcludeSMSC
    uint8_t pid = 0;
    uint8_t dcs = 0;
    std::string udh;   // hex, length octet included; empty: none
    std::string data;  // UTF-8 text when text, else hex
    bool text = true;
    bool reply_path = false;
    bool status_report = false;
    std::string validity;
    bool zero_mr = false;  // TestZeroMR: TP-MR 00 instead of the counter
};

struct BuiltPdu {
    std::string hex;          // whole PDU as written after AT+CMGS
    unsigned tpdu_length = 0; // octets after the SMSC field (the AT+CMGS argument)
    uint8_t mr = 0;           // TP-MR used
    unsigned user_data_octets = 0;  // octets of TP-UD (at most 140 fit one SMS)
};
inline constexpr unsigned kMaxUserDataOctets = 140;

// Builds the SMS-SUBMIT. Never fails; text beyond 500 septets is cut.
BuiltPdu build_submit(const SubmitParams& p);

// The next TP-MR of the process-wide counter (1..255, skipping 0).
uint8_t next_message_reference();

// The PDU of the CDMA modules (CDMAPDUMode=1): destination and callback
// without the type 81 (written 80), then a teleservice with its encoding and
// data: plain text (1002, ASCII packed high bit first), 7-bit text behind a
// header (1005), a WAP datagram to port 2948 (1004) or other binary data
// (1005). tpdu_length counts the octets after the destination field.
struct CdmaParams {
    std::string recipient;
    std::string sender;  // callback number, may be empty
    uint8_t dcs = 0;
    std::string udh;   // hex, length octet included
    std::string data;  // UTF-8 text when text, else hex
    bool text = true;
};
BuiltPdu build_cdma(const CdmaParams& p);

// --- decoding -------------------------------------------------------------------------

struct Timestamp {
    bool present = false;
    uint8_t raw[7] = {};  // octets as received
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int zone_quarters = 0;  // signed, quarter hours east of UTC
};

enum class Kind { Deliver, StatusReport, Unknown, Truncated, Invalid };

struct Decoded {
    Kind kind = Kind::Invalid;
    std::string error;       // why Truncated / Invalid / Unknown
    std::string smsc;        // service centre address ("+" for 0x91)
    uint8_t first_octet = 0;
    // SMS-DELIVER
    std::string sender;
    uint8_t sender_type = 0;
    uint8_t pid = 0, dcs = 0;
    unsigned udl = 0;
    bool has_udh = false;
    std::string udh;   // hex with its length octet
    std::string data;  // UTF-8 text, or hex when binary
    bool binary = false;
    // SMS-STATUS-REPORT
    uint8_t mr = 0;
    std::string recipient;
    Timestamp scts;       // both kinds
    Timestamp discharge;  // report only
    uint8_t status = 0;
    bool smsc_missing = false;  // the SMSC field was absent (report check)
};

struct DecodeOptions {
    bool alpha_sender_bug = false;          // AlphaSenderAddressBug
    bool disable_report_check = false;      // DisableInvalidStatusReportCheck
};

// Decodes one received PDU hex line (stops at the first non-hex character;
// an odd trailing digit is ignored).
Decoded decode(std::string_view hex, const DecodeOptions& opt = {});

// Hex digits to octets, at most max octets; stops at the first pair that is
// not two hex digits.
std::string hex_to_octets(std::string_view hex, size_t max = kMaxPduOctets);

// --- status reports and receipts ------------------------------------------------------

enum class StatusClass { Delivered, Temporary, Failed };
StatusClass status_class(uint8_t st);
// "(Delivered)", "(Temp Error: Recipient Busy)", ... "(Error: Message not Delivered)".
std::string_view status_text(uint8_t st);

// The service centre time stamp in the gateway's local time,
// "%04d%02d%02d%02d%02d%02d" (empty when not present).
std::string local_time_text(const Timestamp& t);

// "Report: <recipient> SMSC: <smsc> Submitted: ... Reported: ... Status: %02X (text)"
// cut to max_len characters with ")" as the last one.
std::string report_text(const Decoded& d, size_t max_len = 160);

// Receipt matching keys of modems (they give only a one-octet reference):
// "%02X-" + the last 8 characters of the recipient.
std::string modem_reference_key(uint8_t mr, std::string_view recipient);
// The service centre time stamp as fourteen hex digits (each octet's
// swapped BCD read as a decimal number), "-", the last 8 characters.
std::string modem_timestamp_key(const Timestamp& scts, std::string_view recipient);

// The receipt text of a modem status report: "id:%s sub:001 dlvrd:%03d submit
// date:YYMMDDhhmm done date:YYMMDDhhmm stat:DELIVRD|REJECTD err:%03X".
std::string modem_receipt_text(const Decoded& d, std::string_view message_id);

}  // namespace radio::pdu
