// The message request file: the loaded message record every module shares,
// the loader (LoadSMSMessage) and the writers that name and create request,
// scratch and segment files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

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
};

// Texts of the record returned when a file cannot be read.
inline constexpr std::string_view kLoadErrorPhoneNumber = "ERROR";
inline constexpr std::string_view kLoadErrorRoute = "ErrorLoadMessage";

// Files larger than this are not messages this gateway wrote; they load as
// unreadable instead of being pulled into memory.
inline constexpr size_t kMaxRequestFileBytes = 16u << 20;

// Loads the request file open on fd, read from the start with positional
// reads (the file position is not used). Returns false when the file could
// not be read: the record then holds "ERROR" / "ErrorLoadMessage" and is
// unusable. A file without a message section loads as an empty record (true).
bool LoadSMSMessage(int fd, SmsMessage& msg);

// The loader's parsing of file content, for callers that hold the text.
void parse_sms_message(std::string_view text, SmsMessage& msg);

// True for the record LoadSMSMessage returns on a read failure.
bool is_load_error(const SmsMessage& msg);

// Time stamp of [ErrorDetail]: exactly 14 digits "%04d%02d%02d%02d%02d%02d".
// Anything else (including impossible dates) reads as 2000-01-01 00:00:00.
MessageTime parse_time_stamp(std::string_view value);
std::string format_time_stamp(const MessageTime& t);

// Attempts create_request_file makes before giving up.
inline constexpr int kCreateAttempts = 1000;

// Creates a new request file in dir (created when missing) named
// MessageIDPrefix + "%08lX" of the next message id + "." + ext (no "." for
// an empty ext), holding content. The file appears under its name only when
// complete and never replaces an existing file; a taken name moves on to the
// next id. Returns the full path, or nullopt after 1000 failed attempts.
std::optional<std::string> create_request_file(const std::string& dir, std::string_view ext,
                                               std::string_view content);

// A newly created scratch file, open for writing.
struct ScratchFile {
    platform::FileHandle file;
    std::string path;
};

// Creates a new empty file in dir named by 8 hex digits of the pseudo-random
// sequence (no prefix) + "." + ext, for temporary and header files. The
// handle holds flock(LOCK_EX): others may read it but not claim it.
std::optional<ScratchFile> create_scratch_file(const std::string& dir, std::string_view ext);

// Name of a segment file: dir + "SAR-" + MessageIDPrefix + key + "-%x-%u-%u"
// (reference, part count and part number, the last two modulo 256) + "." +
// ext. The key is cut to 50 characters; each of ? * : / \ | and every control
// character in it becomes "!".
std::string segment_file_name(const std::string& dir, std::string_view key, uint32_t reference,
                              uint32_t part_count, uint32_t part_number, std::string_view ext);
inline constexpr size_t kSegmentKeyMax = 50;

// Writes a segment file under segment_file_name(), replacing any file of that
// name (atomically); creates dir when missing. Returns the full path.
std::optional<std::string> create_segment_file(const std::string& dir, std::string_view key,
                                               uint32_t reference, uint32_t part_count,
                                               uint32_t part_number, std::string_view ext,
                                               std::string_view content);

}  // namespace store
