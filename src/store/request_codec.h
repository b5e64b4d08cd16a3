// The request-file codec: the message record every module shares and the one
// place that knows how it is written: the key table, the layout of each kind
// of record, parsing, the [ErrorDetail] edit and the escaping of values.
//
// A record is "Key=value" lines under a section header ("[SMS]" for requests,
// "[SMS-IN]" for received messages and receipts), optionally followed by an
// "[ErrorDetail]" section with the retry bookkeeping. Keys compare without
// case; unknown keys and lines without "=" are ignored; a later key wins.
//
// Lines: a line is a maximal run of bytes >= 32 (compared unsigned, so UTF-8
// stays inside its line); every byte below 32 ends a line, so CR, LF, CRLF,
// tabs and NULs all separate lines. Blanks at the start of a run are not part
// of the line's text but belong to its extent: a reader never sees them, and
// an edit that drops a line drops its indentation too. A run of blanks only
// is no line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace store {

// Message flags (one octet on every message and receipt).
inline constexpr uint32_t kFlagReplyRequested = 0x01;
inline constexpr uint32_t kFlagReceiptRequested = 0x02;
inline constexpr uint32_t kFlagReceipt = 0x04;
inline constexpr uint32_t kFlagDelivered = 0x08;
inline constexpr uint32_t kFlagInTransit = 0x10;
inline constexpr uint32_t kFlagFailed = 0x20;
inline constexpr uint32_t kFlagNonDeliveryReceiptRequested = 0x40;

// Field sizes of the message record. A field of size N holds at most N-1
// characters; longer values are cut when the file is loaded.
inline constexpr size_t kPhoneNumberSize = 150;
inline constexpr size_t kSenderSize = 150;
inline constexpr size_t kDataSize = 8192;
inline constexpr size_t kUdhSize = 500;
inline constexpr size_t kSubmittedBySize = 500;
inline constexpr size_t kSubmitUserSize = 250;
inline constexpr size_t kServiceTypeSize = 100;
inline constexpr size_t kLocalUserRouteSize = 100;
inline constexpr size_t kSmppOptionsSize = 500;
inline constexpr size_t kRouteSize = 100;
inline constexpr size_t kLinkNameSize = 150;
inline constexpr size_t kResolvedRouteSize = 150;
inline constexpr size_t kReceivedSmscSize = 50;
inline constexpr size_t kValiditySize = 50;
inline constexpr size_t kBillingInfoSize = 50;
inline constexpr size_t kAcctInfoSize = 100;
inline constexpr size_t kUserDataSize = 256;
inline constexpr size_t kReceiptMessageIdSize = 150;
inline constexpr size_t kSctsSize = 100;
inline constexpr size_t kAttachFileSize = 150;
inline constexpr size_t kAttachFileCount = 10;

// Local date and time with the parts a message time stamp carries.
struct MessageTime {
    uint16_t year = 0;
    uint16_t month = 0;        // 1..12
    uint16_t day_of_week = 0;  // 0 = Sunday
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;

    bool operator==(const MessageTime&) const = default;
};

// The loaded message. Every field starts empty / zero; absent keys leave it so.
struct SmsMessage {
    std::string phone_number;         // PhoneNumber
    std::string sender;               // Sender
    std::string data;                 // Data, "\r" and "\n" escapes decoded
    std::string udh;                  // UDH (hex)
    std::string submitted_by;         // SubmittedBy
    std::string submit_user;          // SubmitUser
    std::string service_type;         // ServiceType
    std::string local_user_route;     // RouteToLocalUser, or SMSCRoute "localuser:<x>"
    std::string smpp_options;         // SMPPOptions
    std::string route;                // SMSCRoute
    std::string link_name;            // ModemName
    std::string resolved_route;       // RouteName of the ModemName link, else the link name
    std::string received_smsc;        // ReceivedSMSC
    std::string validity;             // Validity
    std::string billing_info;         // BillingInfo
    std::string acct_info;            // AcctInfo
    std::string user_data;            // UserData
    uint8_t pid = 0;                  // PID
    uint8_t dcs = 0;                  // DCS
    bool binary = false;              // Binary
    uint32_t retry_count = 0;         // [ErrorDetail] RetryCount
    uint32_t flags = 0;               // kFlag* bits
    uint32_t loaded_flags = 0;        // flags as they were when the file was loaded
    bool recombine = false;           // RecombineFlag
    MessageTime last_retry_time;      // [ErrorDetail] LastRetryTime
    MessageTime first_attempt_time;   // [ErrorDetail] FirstAttemptTime
    std::string receipt_message_id;   // ReceiptMessageId
    bool duplicate_for_2way = false;  // DuplicateMessageFor2Way
    std::string scts;                 // SCTS
    std::array<std::string, kAttachFileCount> attach_files;  // AttachFile1..10

    bool operator==(const SmsMessage&) const = default;
};

// --- time stamps -------------------------------------------------------------

// Time stamp of [ErrorDetail]: exactly 14 digits "%04d%02d%02d%02d%02d%02d".
// Anything else (including impossible dates) reads as 2000-01-01 00:00:00.
MessageTime parse_time_stamp(std::string_view value);
std::string format_time_stamp(const MessageTime& t);

// --- lines --------------------------------------------------------------------

inline constexpr std::string_view kRequestSection = "[SMS]";
inline constexpr std::string_view kInboundSection = "[SMS-IN]";
inline constexpr std::string_view kErrorDetailSection = "[ErrorDetail]";

// One line of a record (see the rule at the top of this header).
struct RecordLine {
    size_t start = 0;       // first byte of the line, leading blanks included
    size_t end = 0;         // one past its last byte (before its line end)
    std::string_view text;  // without the leading blanks; never empty
};

// Walks the lines of a record text in order.
class LineWalker {
  public:
    explicit LineWalker(std::string_view text) : text_(text) {}
    // The next line; false at the end of the text.
    bool next(RecordLine& line);

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

// --- keys and values -------------------------------------------------------------

// The keys of the message section, in the order of the key table (the order
// the Request layout writes them).
enum class Key : uint8_t {
    PhoneNumber,
    Sender,
    Data,
    Udh,
    Pid,
    Dcs,
    Binary,
    SubmittedBy,
    SubmitUser,
    ServiceType,
    RouteToLocalUser,
    SmscRoute,
    SmppOptions,
    ModemName,
    ReceivedSmsc,
    Validity,
    BillingInfo,
    AcctInfo,
    UserData,
    Scts,
    ReplyRequested,
    ReceiptRequested,
    ReceiptDelivered,
    ReceiptIntransit,
    ReceiptFailed,
    NonDelReceiptRequested,
    ReceiptMessageId,
    RecombineFlag,
    DuplicateMessageFor2Way,
    AttachFile1,
    AttachFile2,
    AttachFile3,
    AttachFile4,
    AttachFile5,
    AttachFile6,
    AttachFile7,
    AttachFile8,
    AttachFile9,
    AttachFile10,
};

// The key as writers spell it ("PhoneNumber", "pid", "SMSCRoute" ...).
std::string_view key_name(Key key);

// How a value is made safe for one record line: whatever it holds, it can
// never end the line, start another one or add a key.
enum class Escape : uint8_t {
    Text,       // every control character becomes a blank
    Data,       // CR and LF become the two characters "\r" and "\n" (decoded
                // again when the record is parsed), other control characters
                // become blanks
    FirstLine,  // the value ends at its first control character (segment
                // files, which copy the fields of a loaded record)
};
std::string escape_value(std::string_view value, Escape how = Escape::Text);

// The Data value of a line as the record means it: "\r" and "\n" written as
// two characters stand for CR and LF; any other backslash is itself.
std::string unescape_data(std::string_view value);

// --- whole records -----------------------------------------------------------------

// Which keys a record holds and in which order, per kind of record.
enum class RecordLayout : uint8_t {
    // "[SMS]": every key of the table in table order when set (pid and dcs
    // two hex digits), then [ErrorDetail] when the record has retry data.
    // For new writers; parse_request gives the record back.
    Request,
    // "[SMS]" of one segment of a long message: recipient, sender, users,
    // routes, options and receipt flags of the message when set, then Data,
    // UDH, pid, dcs (two hex digits each) and Binary always. FirstLine escape.
    Segment,
    // "[SMS-IN]" of a received message or receipt: ModemName and Sender
    // always, PhoneNumber, UDH, pid, dcs (hex, when not 0), SCTS when set,
    // Data always, then Binary, receipt flags, ReceiptMessageId, ServiceType,
    // SMPPOptions, RouteToLocalUser and ReceivedSMSC when set.
    Inbound,
    // "[SMS-IN]" of a receipt the gateway makes: ModemName, RouteToLocalUser
    // when set, Sender, PhoneNumber, Data, Binary always, the receipt state
    // flag, ReceiptMessageId always, ServiceType, Validity and SMPPOptions
    // when set.
    GatewayReceipt,
};

// The record as file text, CRLF line ends. Values are escaped (Data with
// Escape::Data, the rest with Escape::Text; Segment cuts at the first
// control character instead). Flags are written as "Yes" when all bits of
// their key are set.
std::string format_request(const SmsMessage& msg, RecordLayout layout = RecordLayout::Request);

// Parses a record text: the keys of the first "[SMS]" or "[SMS-IN]" section
// (up to the next line starting with "["), then the first [ErrorDetail]
// section after it. Values longer than their field are cut (Data after its
// escapes are decoded); loaded_flags is set to flags. A text starting with
// Ctrl-Z (after blanks) or without a message section is the empty record.
// No settings are read (resolved_route stays empty).
void parse_request(std::string_view text, SmsMessage& msg);
SmsMessage parse_request(std::string_view text);

// --- editing records -------------------------------------------------------------------

// The retry bookkeeping of a record.
struct ErrorDetail {
    uint32_t retry_count = 0;        // RetryCount, always written
    MessageTime last_retry_time;     // LastRetryTime, when its year is not 0
    MessageTime first_attempt_time;  // FirstAttemptTime, when its year is not 0
    std::string last_error_info;     // LastErrorInfo, when not empty (escaped)
};

// The [ErrorDetail] section of d.
std::string format_error_detail(const ErrorDetail& d);

// The text with its [ErrorDetail] section replaced by the one of d:
// everything from the first "[ErrorDetail]" line after the message section
// (anywhere when there is none, so that a stray section before the message
// never cuts the message away) is dropped and the new section appended.
// *unchanged receives the length of the prefix both texts share.
std::string set_error_detail(std::string_view text, const ErrorDetail& d,
                             size_t* unchanged = nullptr);

// The text without its [ErrorDetail] section (cut as set_error_detail cuts).
std::string_view without_error_detail(std::string_view text);

// Appends the line key=value (escaped as format_request does), first ending
// an unterminated last line so that the new line is not glued to it.
void append_key(std::string& text, Key key, std::string_view value);

// Appends name=value for a key outside the table (the operator's extra
// request keys). Only a plain name (letters, digits, "_", "-", ".") that is
// no key of the table is written, so that no value can stand in for a
// message key; false (nothing appended) otherwise. The value is escaped as
// Text.
bool append_extra_key(std::string& text, std::string_view name, std::string_view value);

// The text with every line of key dropped (with its line end) and key=value
// appended as append_key does.
std::string set_key(std::string_view text, Key key, std::string_view value);

}  // namespace store
