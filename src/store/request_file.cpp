// Loader and writers of message request files.
#include "store/request_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/text.h"
#include "store/message_id.h"
#include "support/ini_profile.h"

namespace store {

namespace {

// Request files are small: one read of this size takes nearly all of them.
constexpr size_t kSmallRead = 4096;

long pread_with_retry(int fd, char* buf, size_t len, off_t off) {
    long n;
    do n = ::pread(fd, buf, len, off);
    while (n < 0 && errno == EINTR);
    return n;
}

constexpr std::string_view kTraceName = "LoadSMSMessage";
constexpr std::string_view kLocalUserPrefix = "localuser:";
constexpr char kCtrlZ = 0x1A;

// --- lines ------------------------------------------------------------------

// Walks the file the way every writer and reader of request files agrees on:
// bytes of 32 and below are skipped at the start of a line, and a line ends
// at the first byte below 32. Bytes are compared unsigned so that UTF-8 text
// stays inside its line.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}

    bool next(std::string_view& line) {
        const size_t n = text_.size();
        while (pos_ < n && byte(pos_) <= 32) ++pos_;
        if (pos_ >= n) return false;
        const size_t start = pos_;
        while (pos_ < n && byte(pos_) >= 32) ++pos_;
        line = text_.substr(start, pos_ - start);
        return true;
    }

  private:
    unsigned char byte(size_t i) const { return static_cast<unsigned char>(text_[i]); }

    std::string_view text_;
    size_t pos_ = 0;
};

bool is_message_section(std::string_view line) {
    return platform::istarts_with(line, "[SMS]") || platform::istarts_with(line, "[SMS-IN]");
}

bool is_error_section(std::string_view line) {
    return platform::istarts_with(line, "[ErrorDetail]");
}

// --- values -----------------------------------------------------------------

void set_text(std::string& field, std::string_view value, size_t size) {
    field = platform::truncate_field(value, size - 1);
}

// "\r" and "\n" written as two characters stand for CR and LF.
std::string decode_line_escapes(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() &&
            (value[i + 1] == 'r' || value[i + 1] == 'n')) {
            out.push_back(value[i + 1] == 'r' ? '\r' : '\n');
            ++i;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits up to the first other character; the low byte is kept.
uint8_t parse_hex_value(std::string_view value) {
    uint8_t v = 0;
    for (char c : value) {
        int d = hex_digit(c);
        if (d < 0) break;
        v = static_cast<uint8_t>(v * 16 + d);
    }
    return v;
}

// --- keys -------------------------------------------------------------------

enum class KeyKind { Text, Data, Pid, Dcs, Binary, Route, Flag, Recombine, Duplicate, Attach };

struct KeyRule {
    std::string_view name;
    KeyKind kind;
    std::string SmsMessage::*text = nullptr;  // Text
    size_t size = 0;                          // Text
    uint32_t value = 0;                       // Flag bits, Attach index
};

constexpr KeyRule kMessageKeys[] = {
    {"PhoneNumber", KeyKind::Text, &SmsMessage::phone_number, kPhoneNumberSize},
    {"Sender", KeyKind::Text, &SmsMessage::sender, kSenderSize},
    {"Data", KeyKind::Data},
    {"UDH", KeyKind::Text, &SmsMessage::udh, kUdhSize},
    {"PID", KeyKind::Pid},
    {"DCS", KeyKind::Dcs},
    {"Binary", KeyKind::Binary},
    {"SubmittedBy", KeyKind::Text, &SmsMessage::submitted_by, kSubmittedBySize},
    {"SubmitUser", KeyKind::Text, &SmsMessage::submit_user, kSubmitUserSize},
    {"ServiceType", KeyKind::Text, &SmsMessage::service_type, kServiceTypeSize},
    {"RouteToLocalUser", KeyKind::Text, &SmsMessage::local_user_route, kLocalUserRouteSize},
    {"SMSCRoute", KeyKind::Route},
    {"SMPPOptions", KeyKind::Text, &SmsMessage::smpp_options, kSmppOptionsSize},
    {"ModemName", KeyKind::Text, &SmsMessage::link_name, kLinkNameSize},
    {"ReceivedSMSC", KeyKind::Text, &SmsMessage::received_smsc, kReceivedSmscSize},
    {"Validity", KeyKind::Text, &SmsMessage::validity, kValiditySize},
    {"BillingInfo", KeyKind::Text, &SmsMessage::billing_info, kBillingInfoSize},
    {"AcctInfo", KeyKind::Text, &SmsMessage::acct_info, kAcctInfoSize},
    {"UserData", KeyKind::Text, &SmsMessage::user_data, kUserDataSize},
    {"SCTS", KeyKind::Text, &SmsMessage::scts, kSctsSize},
    {"ReplyRequested", KeyKind::Flag, nullptr, 0, kFlagReplyRequested},
    {"ReceiptRequested", KeyKind::Flag, nullptr, 0, kFlagReceiptRequested},
    {"ReceiptDelivered", KeyKind::Flag, nullptr, 0, kFlagReceipt | kFlagDelivered},
    {"ReceiptIntransit", KeyKind::Flag, nullptr, 0, kFlagReceipt | kFlagInTransit},
    {"ReceiptFailed", KeyKind::Flag, nullptr, 0, kFlagReceipt | kFlagFailed},
    {"NonDelReceiptRequested", KeyKind::Flag, nullptr, 0, kFlagNonDeliveryReceiptRequested},
    {"ReceiptMessageId", KeyKind::Text, &SmsMessage::receipt_message_id, kReceiptMessageIdSize},
    {"RecombineFlag", KeyKind::Recombine},
    {"DuplicateMessageFor2Way", KeyKind::Duplicate},
    {"AttachFile1", KeyKind::Attach, nullptr, 0, 0},
    {"AttachFile2", KeyKind::Attach, nullptr, 0, 1},
    {"AttachFile3", KeyKind::Attach, nullptr, 0, 2},
    {"AttachFile4", KeyKind::Attach, nullptr, 0, 3},
    {"AttachFile5", KeyKind::Attach, nullptr, 0, 4},
    {"AttachFile6", KeyKind::Attach, nullptr, 0, 5},
    {"AttachFile7", KeyKind::Attach, nullptr, 0, 6},
    {"AttachFile8", KeyKind::Attach, nullptr, 0, 7},
    {"AttachFile9", KeyKind::Attach, nullptr, 0, 8},
    {"AttachFile10", KeyKind::Attach, nullptr, 0, 9},
};

// Splits "key=value"; false for a line without "=".
bool split_key_line(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = line.substr(0, eq);
    value = line.substr(eq + 1);
    return true;
}

void apply_message_key(std::string_view line, SmsMessage& msg) {
    std::string_view key, value;
    if (!split_key_line(line, key, value)) return;
    for (const KeyRule& rule : kMessageKeys) {
        if (!platform::iequals(key, rule.name)) continue;
        switch (rule.kind) {
            case KeyKind::Text:
                set_text(msg.*(rule.text), value, rule.size);
                break;
            case KeyKind::Data:
                // Decoded before the cut so that an escape is never split.
                set_text(msg.data, decode_line_escapes(value), kDataSize);
                break;
            case KeyKind::Pid:
                msg.pid = parse_hex_value(value);
                break;
            case KeyKind::Dcs:
                msg.dcs = parse_hex_value(value);
                break;
            case KeyKind::Binary:
                msg.binary = frame::parse_bool(value);
                break;
            case KeyKind::Route:
                if (platform::istarts_with(value, kLocalUserPrefix)) {
                    set_text(msg.local_user_route, value.substr(kLocalUserPrefix.size()),
                             kLocalUserRouteSize);
                } else {
                    set_text(msg.route, value, kRouteSize);
                }
                break;
            case KeyKind::Flag:
                if (frame::parse_bool(value)) msg.flags |= rule.value;
                break;
            case KeyKind::Recombine:
                msg.recombine = frame::parse_bool(value);
                break;
            case KeyKind::Duplicate:
                msg.duplicate_for_2way = frame::parse_bool(value);
                break;
            case KeyKind::Attach:
                set_text(msg.attach_files[rule.value], value, kAttachFileSize);
                break;
        }
        return;
    }
}

void apply_error_key(std::string_view line, SmsMessage& msg) {
    std::string_view key, value;
    if (!split_key_line(line, key, value)) return;
    if (platform::iequals(key, "RetryCount")) {
        msg.retry_count = frame::parse_number(value);
    } else if (platform::iequals(key, "LastRetryTime")) {
        msg.last_retry_time = parse_time_stamp(value);
    } else if (platform::iequals(key, "FirstAttemptTime")) {
        msg.first_attempt_time = parse_time_stamp(value);
    }
}

void resolve_route_name(SmsMessage& msg) {
    if (msg.link_name.empty()) return;
    std::string route = support::SMSIniGetProfileString(frame::link_section_name(msg.link_name),
                                                        "RouteName", "", kResolvedRouteSize);
    set_text(msg.resolved_route, route.empty() ? msg.link_name : route, kResolvedRouteSize);
}

// --- time stamps ------------------------------------------------------------

bool is_leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// 0 = Sunday (Sakamoto's method).
int day_of_week(int y, int m, int d) {
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + kOffsets[m - 1] + d) % 7;
}

MessageTime default_time_stamp() {
    MessageTime t;
    t.year = 2000;
    t.month = 1;
    t.day = 1;
    t.day_of_week = uint16_t(day_of_week(2000, 1, 1));
    return t;
}

void set_load_error(SmsMessage& msg) {
    msg = SmsMessage{};
    msg.phone_number = kLoadErrorPhoneNumber;
    msg.route = kLoadErrorRoute;
}

// The extension with its dot; none at all for an empty extension.
std::string dotted(std::string_view ext) {
    std::string out;
    if (!ext.empty()) {
        out.reserve(ext.size() + 1);
        out.push_back('.');
        out.append(ext);
    }
    return out;
}

}  // namespace

// --- time stamps -------------------------------------------------------------

MessageTime parse_time_stamp(std::string_view value) {
    if (value.size() != 14) return default_time_stamp();
    int v[14];
    for (size_t i = 0; i < 14; ++i) {
        if (value[i] < '0' || value[i] > '9') return default_time_stamp();
        v[i] = value[i] - '0';
    }
    const int year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    const int month = v[4] * 10 + v[5];
    const int day = v[6] * 10 + v[7];
    const int hour = v[8] * 10 + v[9];
    const int minute = v[10] * 10 + v[11];
    const int second = v[12] * 10 + v[13];
    // An impossible date would poison every age computed from it later.
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        return default_time_stamp();
    }
    MessageTime t;
    t.year = uint16_t(year);
    t.month = uint16_t(month);
    t.day = uint16_t(day);
    t.hour = uint16_t(hour);
    t.minute = uint16_t(minute);
    t.second = uint16_t(second);
    t.day_of_week = uint16_t(day_of_week(year, month, day));
    return t;
}

std::string format_time_stamp(const MessageTime& t) {
    return platform::strprintf("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                               t.second);
}

// --- loader ------------------------------------------------------------------

void parse_sms_message(std::string_view text, SmsMessage& msg) {
    msg = SmsMessage{};

    // A file emptied with Ctrl-Z holds no message.
    size_t first = 0;
    while (first < text.size() && static_cast<unsigned char>(text[first]) <= 32 &&
           text[first] != kCtrlZ) {
        ++first;
    }
    if (first < text.size() && text[first] == kCtrlZ) return;

    LineReader reader(text);
    std::string_view line;
    bool found = false;
    while (reader.next(line)) {
        if (is_message_section(line)) {
            found = true;
            break;
        }
    }
    if (found) {
        bool at_section = false;
        while (reader.next(line)) {
            if (line.front() == '[') {
                at_section = true;
                break;
            }
            apply_message_key(line, msg);
        }
        bool in_error = at_section && is_error_section(line);
        while (!in_error && reader.next(line)) in_error = is_error_section(line);
        if (in_error) {
            while (reader.next(line) && line.front() != '[') apply_error_key(line, msg);
        }
        resolve_route_name(msg);
    }
    msg.loaded_flags = msg.flags;
}

bool LoadSMSMessage(int fd, SmsMessage& msg) {
    // Nearly every request file fits one small read from the start: no size
    // query and no seek for those.
    char small[kSmallRead];
    long n = pread_with_retry(fd, small, sizeof small, 0);
    if (n < 0) {
        // Name the step that fails, as the size query would have.
        int err = errno;
        struct stat st {};
        const bool size_failed = ::fstat(fd, &st) != 0;
        if (size_failed) err = errno;
        frame::debug_tracef(kTraceName, "Error %u from %s", unsigned(err),
                            size_failed ? "GetFileSize" : "ReadFile");
        set_load_error(msg);
        return false;
    }
    if (size_t(n) < sizeof small) {
        parse_sms_message(std::string_view(small, size_t(n)), msg);
        return true;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        frame::debug_tracef(kTraceName, "Error %u from GetFileSize", unsigned(err));
        set_load_error(msg);
        return false;
    }
    if (st.st_size < 0 || uint64_t(st.st_size) > kMaxRequestFileBytes) {
        frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(EFBIG));
        set_load_error(msg);
        return false;
    }
    const size_t size = size_t(st.st_size);
    std::string text(size, '\0');
    size_t done = 0;
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        const int err = errno;
        frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(err));
        set_load_error(msg);
        return false;
    }
    while (done < size) {
        long n = frame::ReadFileWithRetry(fd, text.data() + done, size - done);
        if (n < 0) {
            const int err = errno;
            frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(err));
            set_load_error(msg);
            return false;
        }
        if (n == 0) break;  // shrank since fstat: parse what is there
        done += size_t(n);
    }
    text.resize(done);
    parse_sms_message(text, msg);
    return true;
}

bool is_load_error(const SmsMessage& msg) {
    return msg.phone_number == kLoadErrorPhoneNumber && msg.route == kLoadErrorRoute;
}

// --- writers -----------------------------------------------------------------

// UseTempFileAttribute: Linux has no temporary-file attribute, so the setting
// is read with the other settings and deliberately has no effect on writers.

std::optional<std::string> create_request_file(const std::string& dir, std::string_view ext,
                                               std::string_view content) {
    const std::string base =
        platform::with_trailing_slash(dir) + frame::settings().message_id_prefix;
    const std::string tail = dotted(ext);
    uint32_t id = next_message_id();
    for (int attempt = 1; attempt <= kCreateAttempts; ++attempt) {
        const std::string path =
            base + platform::strprintf("%08lX", static_cast<unsigned long>(id)) + tail;
        // Written under a hidden name and linked into place: a reader never
        // sees it incomplete, and an existing file is never replaced.
        if (platform::create_new_file(path, content)) return path;
        if (attempt == 1) {
            // The first failure may be a missing directory: retry the same name.
            platform::create_intermediate_dirs(path);
        } else if (attempt < kCreateAttempts) {
            id = next_message_id();
        }
    }
    return std::nullopt;
}

std::optional<ScratchFile> create_scratch_file(const std::string& dir, std::string_view ext) {
    const std::string base = platform::with_trailing_slash(dir);
    const std::string tail = dotted(ext);
    uint32_t id = next_random_id();
    for (int attempt = 1; attempt <= kCreateAttempts; ++attempt) {
        std::string path = base + platform::strprintf("%08X", id) + tail;
        platform::FileHandle fh(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fh.valid()) {
            // A fresh file has no other holder, so this cannot block.
            ::flock(fh.fd(), LOCK_EX | LOCK_NB);
            return ScratchFile{std::move(fh), std::move(path)};
        }
        if (attempt == 1) {
            platform::create_intermediate_dirs(path);
        } else if (attempt < kCreateAttempts) {
            id = next_random_id();
        }
    }
    return std::nullopt;
}

std::string segment_file_name(const std::string& dir, std::string_view key, uint32_t reference,
                              uint32_t part_count, uint32_t part_number, std::string_view ext) {
    std::string clean(key.substr(0, kSegmentKeyMax));
    for (char& c : clean) {
        const unsigned char u = static_cast<unsigned char>(c);
        // Control characters too: a NUL would cut the path short.
        if (u < 32 || c == '?' || c == '*' || c == ':' || c == '/' || c == '\\' || c == '|')
            c = '!';
    }
    return platform::with_trailing_slash(dir) + "SAR-" + frame::settings().message_id_prefix +
           clean +
           platform::strprintf("-%x-%u-%u", reference, part_count % 256, part_number % 256) +
           dotted(ext);
}

std::optional<std::string> create_segment_file(const std::string& dir, std::string_view key,
                                               uint32_t reference, uint32_t part_count,
                                               uint32_t part_number, std::string_view ext,
                                               std::string_view content) {
    std::string path = segment_file_name(dir, key, reference, part_count, part_number, ext);
    // Written whole under a hidden name and renamed over any older copy.
    if (platform::replace_file(path, content)) return path;
    platform::create_intermediate_dirs(path);
    if (platform::replace_file(path, content)) return path;
    return std::nullopt;
}

}  // namespace store
