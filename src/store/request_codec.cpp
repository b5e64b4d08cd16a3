// The request-file codec: one key table behind both the writers and the
// parser, the record layouts, the line walker and the [ErrorDetail] edit.
#include "store/request_codec.h"

#include <algorithm>
#include <span>

#include "frame/settings.h"
#include "platform/text.h"

namespace store {

namespace {

constexpr std::string_view kLocalUserPrefix = "localuser:";
constexpr char kCtrlZ = 0x1A;
constexpr std::string_view kLineEnd = "\r\n";

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 32;
}

// --- the key table ------------------------------------------------------------------

enum class KeyKind : uint8_t {
    Text,
    Data,
    Pid,
    Dcs,
    Binary,
    Route,
    Flag,
    Recombine,
    Duplicate,
    Attach
};

struct KeyRule {
    Key key;
    std::string_view name;
    KeyKind kind;
    std::string SmsMessage::*text = nullptr;  // Text
    size_t size = 0;                          // Text
    uint32_t value = 0;                       // Flag bits, Attach index
};

// The order of Key. Names are spelt as the writers spell them.
constexpr KeyRule kMessageKeys[] = {
    {Key::PhoneNumber, "PhoneNumber", KeyKind::Text, &SmsMessage::phone_number, kPhoneNumberSize},
    {Key::Sender, "Sender", KeyKind::Text, &SmsMessage::sender, kSenderSize},
    {Key::Data, "Data", KeyKind::Data},
    {Key::Udh, "UDH", KeyKind::Text, &SmsMessage::udh, kUdhSize},
    {Key::Pid, "pid", KeyKind::Pid},
    {Key::Dcs, "dcs", KeyKind::Dcs},
    {Key::Binary, "Binary", KeyKind::Binary},
    {Key::SubmittedBy, "SubmittedBy", KeyKind::Text, &SmsMessage::submitted_by, kSubmittedBySize},
    {Key::SubmitUser, "SubmitUser", KeyKind::Text, &SmsMessage::submit_user, kSubmitUserSize},
    {Key::ServiceType, "ServiceType", KeyKind::Text, &SmsMessage::service_type, kServiceTypeSize},
    {Key::RouteToLocalUser, "RouteToLocalUser", KeyKind::Text, &SmsMessage::local_user_route,
     kLocalUserRouteSize},
    {Key::SmscRoute, "SMSCRoute", KeyKind::Route},
    {Key::SmppOptions, "SMPPOptions", KeyKind::Text, &SmsMessage::smpp_options, kSmppOptionsSize},
    {Key::ModemName, "ModemName", KeyKind::Text, &SmsMessage::link_name, kLinkNameSize},
    {Key::ReceivedSmsc, "ReceivedSMSC", KeyKind::Text, &SmsMessage::received_smsc,
     kReceivedSmscSize},
    {Key::Validity, "Validity", KeyKind::Text, &SmsMessage::validity, kValiditySize},
    {Key::BillingInfo, "BillingInfo", KeyKind::Text, &SmsMessage::billing_info, kBillingInfoSize},
    {Key::AcctInfo, "AcctInfo", KeyKind::Text, &SmsMessage::acct_info, kAcctInfoSize},
    {Key::UserData, "UserData", KeyKind::Text, &SmsMessage::user_data, kUserDataSize},
    {Key::Scts, "SCTS", KeyKind::Text, &SmsMessage::scts, kSctsSize},
    {Key::ReplyRequested, "ReplyRequested", KeyKind::Flag, nullptr, 0, kFlagReplyRequested},
    {Key::ReceiptRequested, "ReceiptRequested", KeyKind::Flag, nullptr, 0, kFlagReceiptRequested},
    {Key::ReceiptDelivered, "ReceiptDelivered", KeyKind::Flag, nullptr, 0,
     kFlagReceipt | kFlagDelivered},
    {Key::ReceiptIntransit, "ReceiptIntransit", KeyKind::Flag, nullptr, 0,
     kFlagReceipt | kFlagInTransit},
    {Key::ReceiptFailed, "ReceiptFailed", KeyKind::Flag, nullptr, 0, kFlagReceipt | kFlagFailed},
    {Key::NonDelReceiptRequested, "NonDelReceiptRequested", KeyKind::Flag, nullptr, 0,
     kFlagNonDeliveryReceiptRequested},
    {Key::ReceiptMessageId, "ReceiptMessageId", KeyKind::Text, &SmsMessage::receipt_message_id,
     kReceiptMessageIdSize},
    {Key::RecombineFlag, "RecombineFlag", KeyKind::Recombine},
    {Key::DuplicateMessageFor2Way, "DuplicateMessageFor2Way", KeyKind::Duplicate},
    {Key::AttachFile1, "AttachFile1", KeyKind::Attach, nullptr, 0, 0},
    {Key::AttachFile2, "AttachFile2", KeyKind::Attach, nullptr, 0, 1},
    {Key::AttachFile3, "AttachFile3", KeyKind::Attach, nullptr, 0, 2},
    {Key::AttachFile4, "AttachFile4", KeyKind::Attach, nullptr, 0, 3},
    {Key::AttachFile5, "AttachFile5", KeyKind::Attach, nullptr, 0, 4},
    {Key::AttachFile6, "AttachFile6", KeyKind::Attach, nullptr, 0, 5},
    {Key::AttachFile7, "AttachFile7", KeyKind::Attach, nullptr, 0, 6},
    {Key::AttachFile8, "AttachFile8", KeyKind::Attach, nullptr, 0, 7},
    {Key::AttachFile9, "AttachFile9", KeyKind::Attach, nullptr, 0, 8},
    {Key::AttachFile10, "AttachFile10", KeyKind::Attach, nullptr, 0, 9},
};

constexpr bool table_in_key_order() {
    for (size_t i = 0; i < std::size(kMessageKeys); ++i)
        if (size_t(kMessageKeys[i].key) != i) return false;
    return true;
}
static_assert(table_in_key_order(), "kMessageKeys must follow the order of Key");

const KeyRule& rule_of(Key key) {
    return kMessageKeys[size_t(key)];
}

enum class ErrorKind : uint8_t { Count, LastTime, FirstTime, Info };

struct ErrorRule {
    std::string_view name;
    ErrorKind kind;
};

// The keys of [ErrorDetail] in the order they are written.
constexpr ErrorRule kErrorKeys[] = {
    {"RetryCount", ErrorKind::Count},
    {"LastRetryTime", ErrorKind::LastTime},
    {"FirstAttemptTime", ErrorKind::FirstTime},
    {"LastErrorInfo", ErrorKind::Info},
};

// --- layouts ----------------------------------------------------------------------------

enum class When : uint8_t { IfSet, Always };

struct Field {
    Key key;
    When when = When::IfSet;
    int hex_digits = 2;  // pid and dcs: at least this many digits
};

struct Layout {
    std::string_view section;
    Escape escape;  // Text, or FirstLine for every value
    std::span<const Field> fields;
    bool error_detail;  // the record's retry data follows when it has any
};

constexpr Field kRequestFields[] = {
    {Key::PhoneNumber},
    {Key::Sender},
    {Key::Data},
    {Key::Udh},
    {Key::Pid},
    {Key::Dcs},
    {Key::Binary},
    {Key::SubmittedBy},
    {Key::SubmitUser},
    {Key::ServiceType},
    {Key::RouteToLocalUser},
    {Key::SmscRoute},
    {Key::SmppOptions},
    {Key::ModemName},
    {Key::ReceivedSmsc},
    {Key::Validity},
    {Key::BillingInfo},
    {Key::AcctInfo},
    {Key::UserData},
    {Key::Scts},
    {Key::ReplyRequested},
    {Key::ReceiptRequested},
    {Key::ReceiptDelivered},
    {Key::ReceiptIntransit},
    {Key::ReceiptFailed},
    {Key::NonDelReceiptRequested},
    {Key::ReceiptMessageId},
    {Key::RecombineFlag},
    {Key::DuplicateMessageFor2Way},
    {Key::AttachFile1},
    {Key::AttachFile2},
    {Key::AttachFile3},
    {Key::AttachFile4},
    {Key::AttachFile5},
    {Key::AttachFile6},
    {Key::AttachFile7},
    {Key::AttachFile8},
    {Key::AttachFile9},
    {Key::AttachFile10},
};
constexpr bool request_fields_in_key_order() {
    if (std::size(kRequestFields) != std::size(kMessageKeys)) return false;
    for (size_t i = 0; i < std::size(kRequestFields); ++i)
        if (size_t(kRequestFields[i].key) != i) return false;
    return true;
}
static_assert(request_fields_in_key_order(), "the Request layout writes every key in table order");

constexpr Field kSegmentFields[] = {
    {Key::PhoneNumber},
    {Key::Sender},
    {Key::SubmittedBy},
    {Key::SubmitUser},
    {Key::ServiceType},
    {Key::RouteToLocalUser},
    {Key::SmscRoute},
    {Key::SmppOptions},
    {Key::ModemName},
    {Key::ReceivedSmsc},
    {Key::Validity},
    {Key::BillingInfo},
    {Key::AcctInfo},
    {Key::UserData},
    {Key::ReceiptMessageId},
    {Key::ReplyRequested},
    {Key::ReceiptRequested},
    {Key::NonDelReceiptRequested},
    {Key::DuplicateMessageFor2Way},
    {Key::Data, When::Always},
    {Key::Udh, When::Always},
    {Key::Pid, When::Always},
    {Key::Dcs, When::Always},
    {Key::Binary, When::Always},
};

constexpr Field kInboundFields[] = {
    {Key::ModemName, When::Always},
    {Key::Sender, When::Always},
    {Key::PhoneNumber},
    {Key::Udh},
    {Key::Pid, When::IfSet, 1},
    {Key::Dcs, When::IfSet, 1},
    {Key::Scts},
    {Key::Data, When::Always},
    {Key::Binary},
    {Key::ReceiptRequested},
    {Key::NonDelReceiptRequested},
    {Key::ReceiptIntransit},
    {Key::ReceiptFailed},
    {Key::ReceiptDelivered},
    {Key::ReceiptMessageId},
    {Key::ServiceType},
    {Key::SmppOptions},
    {Key::RouteToLocalUser},
    {Key::ReceivedSmsc},
};

constexpr Field kGatewayReceiptFields[] = {
    {Key::ModemName, When::Always},
    {Key::RouteToLocalUser},
    {Key::Sender, When::Always},
    {Key::PhoneNumber, When::Always},
    {Key::Data, When::Always},
    {Key::Binary, When::Always},
    {Key::ReceiptFailed},
    {Key::ReceiptIntransit},
    {Key::ReceiptMessageId, When::Always},
    {Key::ServiceType},
    {Key::Validity},
    {Key::SmppOptions},
};

Layout layout_of(RecordLayout layout) {
    switch (layout) {
        case RecordLayout::Segment:
            return {kRequestSection, Escape::FirstLine, kSegmentFields, false};
        case RecordLayout::Inbound:
            return {kInboundSection, Escape::Text, kInboundFields, false};
        case RecordLayout::GatewayReceipt:
            return {kInboundSection, Escape::Text, kGatewayReceiptFields, false};
        case RecordLayout::Request:
            break;
    }
    return {kRequestSection, Escape::Text, kRequestFields, true};
}

// --- writing ------------------------------------------------------------------------------

void put_line(std::string& out, std::string_view name, std::string_view value) {
    out.append(name);
    out.push_back('=');
    out.append(value);
    out.append(kLineEnd);
}

Escape escape_for(KeyKind kind, Escape layout_escape) {
    if (layout_escape == Escape::FirstLine) return Escape::FirstLine;
    return kind == KeyKind::Data ? Escape::Data : Escape::Text;
}

void put_yes(std::string& out, std::string_view name, bool set, When when) {
    if (set || when == When::Always) put_line(out, name, set ? "Yes" : "No");
}

void put_field(std::string& out, const SmsMessage& m, const Field& f, Escape layout_escape) {
    const KeyRule& r = rule_of(f.key);
    std::string_view text;
    switch (r.kind) {
        case KeyKind::Text:
            text = m.*(r.text);
            break;
        case KeyKind::Data:
            text = m.data;
            break;
        case KeyKind::Route:
            text = m.route;
            break;
        case KeyKind::Attach:
            text = m.attach_files[r.value];
            break;
        case KeyKind::Pid:
        case KeyKind::Dcs: {
            const unsigned v = r.kind == KeyKind::Pid ? m.pid : m.dcs;
            if (v != 0 || f.when == When::Always)
                put_line(out, r.name, platform::strprintf("%0*X", f.hex_digits, v));
            return;
        }
        case KeyKind::Binary:
            if (m.binary || f.when == When::Always) put_line(out, r.name, m.binary ? "1" : "0");
            return;
        case KeyKind::Flag:
            put_yes(out, r.name, (m.flags & r.value) == r.value, f.when);
            return;
        case KeyKind::Recombine:
            put_yes(out, r.name, m.recombine, f.when);
            return;
        case KeyKind::Duplicate:
            put_yes(out, r.name, m.duplicate_for_2way, f.when);
            return;
    }
    const std::string v = escape_value(text, escape_for(r.kind, layout_escape));
    if (!v.empty() || f.when == When::Always) put_line(out, r.name, v);
}

// Appending a line after text must not glue it to an unterminated last line.
void terminate_line(std::string& text) {
    if (!text.empty() && !is_control(text.back())) text.append(kLineEnd);
}

// --- reading ------------------------------------------------------------------------------

bool is_message_section(std::string_view line) {
    return platform::istarts_with(line, kRequestSection) ||
           platform::istarts_with(line, kInboundSection);
}

bool is_error_section(std::string_view line) {
    return platform::istarts_with(line, kErrorDetailSection);
}

void set_text(std::string& field, std::string_view value, size_t size) {
    field = platform::truncate_field(value, size - 1);
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

// Splits "key=value"; false for a line without "=".
bool split_key_line(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = line.substr(0, eq);
    value = line.substr(eq + 1);
    return true;
}

bool is_key_line(std::string_view line, Key key) {
    std::string_view k, v;
    return split_key_line(line, k, v) && platform::iequals(k, rule_of(key).name);
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
                set_text(msg.data, unescape_data(value), kDataSize);
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
    for (const ErrorRule& rule : kErrorKeys) {
        if (!platform::iequals(key, rule.name)) continue;
        switch (rule.kind) {
            case ErrorKind::Count:
                msg.retry_count = frame::parse_number(value);
                break;
            case ErrorKind::LastTime:
                msg.last_retry_time = parse_time_stamp(value);
                break;
            case ErrorKind::FirstTime:
                msg.first_attempt_time = parse_time_stamp(value);
                break;
            case ErrorKind::Info:
                break;  // for people reading the file; no field holds it
        }
        return;
    }
}

// Offset of the line starting the [ErrorDetail] section that belongs to the
// message (see set_error_detail); the text's size when there is none.
size_t error_detail_offset(std::string_view text) {
    bool has_message = false;
    {
        LineWalker walker(text);
        RecordLine l;
        while (!has_message && walker.next(l)) has_message = is_message_section(l.text);
    }
    bool in_message = !has_message;
    LineWalker walker(text);
    RecordLine l;
    while (walker.next(l)) {
        if (!in_message) {
            in_message = is_message_section(l.text);
        } else if (is_error_section(l.text)) {
            return l.start;
        }
    }
    return text.size();
}

// --- time stamps ------------------------------------------------------------------------

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

}  // namespace

// --- time stamps -------------------------------------------------------------------------

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

// --- lines ----------------------------------------------------------------------------------

bool LineWalker::next(RecordLine& line) {
    const size_t n = text_.size();
    while (pos_ < n) {
        while (pos_ < n && is_control(text_[pos_])) ++pos_;
        const size_t start = pos_;
        while (pos_ < n && !is_control(text_[pos_])) ++pos_;
        size_t first = start;
        while (first < pos_ && text_[first] == ' ') ++first;
        if (first == pos_) continue;  // blanks only (or the end)
        line.start = start;
        line.end = pos_;
        line.text = text_.substr(first, pos_ - first);
        return true;
    }
    return false;
}

// --- keys and values ----------------------------------------------------------------------

std::string_view key_name(Key key) {
    return rule_of(key).name;
}

std::string escape_value(std::string_view value, Escape how) {
    if (how == Escape::FirstLine) {
        size_t n = 0;
        while (n < value.size() && !is_control(value[n])) ++n;
        return std::string(value.substr(0, n));
    }
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (!is_control(c)) {
            out.push_back(c);
        } else if (how == Escape::Data && c == '\r') {
            out += "\\r";
        } else if (how == Escape::Data && c == '\n') {
            out += "\\n";
        } else {
            out.push_back(' ');
        }
    }
    return out;
}

std::string unescape_data(std::string_view value) {
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

// --- whole records ---------------------------------------------------------------------------

std::string format_request(const SmsMessage& msg, RecordLayout which) {
    const Layout layout = layout_of(which);
    std::string out;
    out.reserve(256 + msg.data.size());
    out.append(layout.section);
    out.append(kLineEnd);
    for (const Field& f : layout.fields) put_field(out, msg, f, layout.escape);
    if (layout.error_detail && (msg.retry_count != 0 || msg.last_retry_time.year != 0 ||
                                msg.first_attempt_time.year != 0)) {
        ErrorDetail d;
        d.retry_count = msg.retry_count;
        d.last_retry_time = msg.last_retry_time;
        d.first_attempt_time = msg.first_attempt_time;
        out += format_error_detail(d);
    }
    return out;
}

void parse_request(std::string_view text, SmsMessage& msg) {
    msg = SmsMessage{};

    // A file emptied with Ctrl-Z holds no message.
    size_t first = 0;
    while (first < text.size() && static_cast<unsigned char>(text[first]) <= 32 &&
           text[first] != kCtrlZ) {
        ++first;
    }
    if (first < text.size() && text[first] == kCtrlZ) return;

    LineWalker walker(text);
    RecordLine line;
    bool found = false;
    while (!found && walker.next(line)) found = is_message_section(line.text);
    if (found) {
        bool at_section = false;
        while (walker.next(line)) {
            if (line.text.front() == '[') {
                at_section = true;
                break;
            }
            apply_message_key(line.text, msg);
        }
        bool in_error = at_section && is_error_section(line.text);
        while (!in_error && walker.next(line)) in_error = is_error_section(line.text);
        if (in_error) {
            while (walker.next(line) && line.text.front() != '[') apply_error_key(line.text, msg);
        }
    }
    msg.loaded_flags = msg.flags;
}

SmsMessage parse_request(std::string_view text) {
    SmsMessage msg;
    parse_request(text, msg);
    return msg;
}

// --- editing records
// ------------------------------------------------------------------------------

std::string format_error_detail(const ErrorDetail& d) {
    std::string out(kErrorDetailSection);
    out.append(kLineEnd);
    for (const ErrorRule& rule : kErrorKeys) {
        switch (rule.kind) {
            case ErrorKind::Count:
                put_line(out, rule.name, std::to_string(d.retry_count));
                break;
            case ErrorKind::LastTime:
                if (d.last_retry_time.year != 0)
                    put_line(out, rule.name, format_time_stamp(d.last_retry_time));
                break;
            case ErrorKind::FirstTime:
                if (d.first_attempt_time.year != 0)
                    put_line(out, rule.name, format_time_stamp(d.first_attempt_time));
                break;
            case ErrorKind::Info:
                if (!d.last_error_info.empty())
                    put_line(out, rule.name, escape_value(d.last_error_info));
                break;
        }
    }
    return out;
}

std::string set_error_detail(std::string_view text, const ErrorDetail& d, size_t* unchanged) {
    const size_t at = error_detail_offset(text);
    std::string out(text.substr(0, at));
    terminate_line(out);
    if (unchanged) *unchanged = std::min(at, out.size());
    out += format_error_detail(d);
    return out;
}

std::string_view without_error_detail(std::string_view text) {
    return text.substr(0, error_detail_offset(text));
}

void append_key(std::string& text, Key key, std::string_view value) {
    const KeyRule& r = rule_of(key);
    terminate_line(text);
    put_line(text, r.name, escape_value(value, escape_for(r.kind, Escape::Text)));
}

bool append_extra_key(std::string& text, std::string_view name, std::string_view value) {
    if (name.empty()) return false;
    for (char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || c == '.';
        if (!plain) return false;
    }
    for (const KeyRule& r : kMessageKeys)
        if (platform::iequals(r.name, name)) return false;
    terminate_line(text);
    put_line(text, name, escape_value(value, Escape::Text));
    return true;
}

std::string set_key(std::string_view text, Key key, std::string_view value) {
    std::string out;
    out.reserve(text.size() + value.size() + 16);
    size_t copied = 0;
    LineWalker walker(text);
    RecordLine l;
    while (walker.next(l)) {
        if (!is_key_line(l.text, key)) continue;
        out.append(text.substr(copied, l.start - copied));
        // The line goes with its terminator.
        size_t e = l.end;
        if (e < text.size() && text[e] == '\r') ++e;
        if (e < text.size() && text[e] == '\n') ++e;
        copied = e;
    }
    out.append(text.substr(copied));
    append_key(out, key, value);
    return out;
}

}  // namespace store
