// Daily message logs and per-account logs: line assembly, the day-change
// reopen, whole-line appends under one lock per log, and pruning by age.
#include "records/message_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "records/records_state.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace records {

namespace {

// Field limits of the log writers.
constexpr size_t kMaxLoggedData = 16383;       // data copied for conversion
constexpr size_t kMaxLoggedText = 1023;        // text or hex in a daily line
constexpr size_t kMaxAccountLine = 2047;       // whole account line, CR LF included
constexpr unsigned kAccountOpenRetryMs = 100;  // only transient errors are worth a wait

using DailyLog = RecordsState::DailyLog;

RecordsState& state() {
    return records_state();
}

std::string time_stamp(const platform::LocalTime& t) {
    return platform::strprintf("%u-%02u-%02u %02u:%02u:%02u", unsigned(t.year), unsigned(t.month),
                               unsigned(t.day), unsigned(t.hour), unsigned(t.minute),
                               unsigned(t.second));
}

// Detail items: joined with ';' after a ',' when there is at least one.
struct Details {
    std::string text;
    void add(std::string_view item) {
        text += text.empty() ? ',' : ';';
        text += item;
    }
    void add_if(std::string_view key, std::string_view value) {
        if (!value.empty()) add(std::string(key) + std::string(value));
    }
};

// Content items of the daily logs; nothing at all with ExcludeSmsDetailsFromLog.
void add_content_items(Details& d, const LogContent& c) {
    if (frame::settings().exclude_sms_details_from_log) return;
    std::string data = platform::truncate_field(c.data, kMaxLoggedData);
    bool binary = c.binary;
    const uint8_t dcs = static_cast<uint8_t>(c.dcs);
    if (binary && radio::charset::dcs_is_gsm7(dcs)) {
        std::string text;
        radio::charset::GSM7ToUTF8String(c.udh, data, text);
        data = std::move(text);
        binary = false;
    } else if (binary && radio::charset::dcs_is_ucs2(dcs)) {
        data = radio::charset::ucs2_hex_to_utf8(data);
        binary = false;
    }
    data = platform::truncate_field(data, kMaxLoggedText);
    if (binary) d.add("Binary=1");
    if (c.pid != 0) d.add(platform::strprintf("PID=%X", c.pid));
    if (c.dcs != 0) d.add(platform::strprintf("DCS=%X", c.dcs));
    d.add_if("UDH=", c.udh);
    if (data.empty()) return;
    if (binary)
        d.add("Data=" + data);
    else
        d.add("Text=\"" + data + "\"");
}

// A record must stay on one line whatever the message or a peer put into
// its fields: carriage returns and line feeds become the two-character
// sequences "\r" and "\n".
std::string one_line(std::string_view body) {
    std::string out;
    out.reserve(body.size() + 2);
    for (char ch : body) {
        if (ch == '\r')
            out += "\\r";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

std::string join_fields(std::initializer_list<std::string_view> fields) {
    std::string s;
    for (std::string_view f : fields) {
        if (!s.empty()) s += ',';
        s += f;
    }
    return s;
}

// Caller holds log.m. Makes sure today's file of the log is open.
void reopen_for_today(DailyLog& log) {
    platform::LocalTime t = platform::local_now();
    if (log.fd && t.year == log.year && t.month == log.month && t.day == log.day) return;
    log.fd.close();
    std::string path = support::GetLogDirectory() +
                       platform::strprintf("%s%04u%02u%02u.LOG", log.prefix, unsigned(t.year),
                                           unsigned(t.month), unsigned(t.day));
    log.fd = platform::open_with_retry(path, O_WRONLY | O_APPEND | O_CREAT, 0644, 0);
    if (!log.fd) {
        frame::debug_tracef("WriteMessageLog", "Error %d opening %s", errno, path.c_str());
        return;
    }
    log.year = t.year;
    log.month = t.month;
    log.day = t.day;
}

void append_daily(DailyLog& log, std::string_view body, bool flush) {
    std::string line = one_line(body);
    line += "\r\n";
    {
        std::lock_guard<std::mutex> l(log.m);
        reopen_for_today(log);
        if (log.fd) {
            if (!platform::write_all(log.fd.fd(), line.data(), line.size()))
                frame::debug_tracef("WriteMessageLog", "Error %d writing %s log", errno,
                                    log.prefix);
            else if (flush)
                platform::sync_data(log.fd.fd());
        }
    }
    if (frame::settings().debug) platform::write_all(STDOUT_FILENO, line.data(), line.size());
}

std::string inbound_route_name(std::string_view link_name) {
    if (link_name.empty()) return {};
    auto v = support::ini_find(support::SMSIniGetFilename(), frame::link_section_name(link_name),
                               "RouteName");
    return v ? *v : std::string();
}

// "SMS-", "SMSIN-", "SMSOUT-" or "SMSWEB-" and eight digits: the log's date.
bool parse_log_date(std::string_view name, int& year, int& month, int& day) {
    static constexpr std::string_view kPrefixes[] = {"SMS-", "SMSIN-", "SMSOUT-", "SMSWEB-"};
    for (std::string_view p : kPrefixes) {
        if (!platform::istarts_with(name, p)) continue;
        std::string_view digits = name.substr(p.size());
        if (digits.size() < 8) return false;
        int v[8];
        for (int i = 0; i < 8; ++i) {
            if (digits[i] < '0' || digits[i] > '9') return false;
            v[i] = digits[i] - '0';
        }
        year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
        month = v[4] * 10 + v[5];
        day = v[6] * 10 + v[7];
        if (month == 0) month = 1;
        return month <= 12;
    }
    return false;
}

// Days since a fixed origin, with the same leap rule (year % 4) as the
// day-of-year numbers of the file names.
int64_t day_number(int year, int month, int day) {
    static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    int64_t n = int64_t(year) * 365 + (int64_t(year) + 3) / 4;
    n += kDaysBefore[month - 1] + day;
    if (year % 4 == 0 && month > 2) ++n;
    return n;
}

unsigned prune_dir(const std::string& dir, int64_t today, uint32_t retain_days) {
    unsigned deleted = 0;
    for (const auto& e : platform::scan_dir(dir, "SMS*.LOG", platform::ScanKind::FilesOnly)) {
        int y, m, d;
        if (!parse_log_date(e.name, y, m, d)) continue;
        if (today - day_number(y, m, d) <= int64_t(retain_days)) continue;
        std::string path = platform::with_trailing_slash(dir) + e.name;
        if (platform::remove_file(path)) {
            ++deleted;
            frame::debug_tracef("PruneMessageLogs", "Deleted %s", path.c_str());
        }
    }
    return deleted;
}

}  // namespace

void write_outbound_log(std::string_view message_id, std::string_view submitted_by,
                        std::string_view recipient, std::string_view status,
                        const LogContent& content, std::string_view submit_user,
                        std::string_view smsc_msg_id, std::string_view sender,
                        std::string_view route_name) {
    const frame::GlobalSettings& s = frame::settings();
    if (s.disable_out_log) return;
    std::string ts = time_stamp(platform::local_now());
    Details d;
    d.add_if("SubmitUser=", submit_user);
    d.add_if("SMSCRouteName=", route_name);
    d.add_if("Sender=", sender);
    d.add_if("SMSCMsgId=", smsc_msg_id);
    add_content_items(d, content);
    append_daily(state().out_log,
                 join_fields({ts, message_id, submitted_by, recipient, status}) + d.text,
                 s.flush_out_log);
}

void write_inbound_log(std::string_view sender, std::string_view link_name,
                       std::string_view recipient, const LogContent& content,
                       std::string_view receipt_msg_id, std::string_view receipt_msg_id_orig) {
    if (frame::settings().disable_in_log) return;
    std::string ts = time_stamp(platform::local_now());
    Details d;
    add_content_items(d, content);
    d.add_if("SMSCRouteName=", inbound_route_name(link_name));
    d.add_if("Recip=", recipient);
    d.add_if("SMSCReceiptMsgId=", receipt_msg_id);
    d.add_if("SMSCReceiptMsgIdOrig=", receipt_msg_id_orig);
    append_daily(state().in_log, join_fields({ts, sender, link_name}) + d.text, false);
}

void write_web_log(std::string_view client_address, std::string_view account,
                   std::string_view message_id, std::string_view kind, std::string_view recipient,
                   const LogContent& content, std::string_view sender) {
    if (frame::settings().disable_web_log) return;
    std::string ts = time_stamp(platform::local_now());
    Details d;
    d.add_if("Recip=", recipient);
    d.add_if("Sender=", sender);
    add_content_items(d, content);
    append_daily(state().web_log,
                 join_fields({ts, client_address, account, message_id, kind}) + d.text, false);
}

void write_account_log(std::string_view account, std::string_view operation,
                       std::string_view recipient, std::string_view origin,
                       std::string_view message_id, std::string_view kind,
                       const LogContent& content, std::string_view sender) {
    if (frame::settings().disable_user_log) return;
    if (account.empty() || platform::iequals(account, "localsystem")) return;
    platform::LocalTime t = platform::local_now();
    Details d;
    d.add_if("Sender=", sender);
    if (content.pid != 0) d.add(platform::strprintf("PID=%X", content.pid));
    if (content.dcs != 0) d.add(platform::strprintf("DCS=%X", content.dcs));
    d.add_if("UDH=", content.udh);
    if (!content.data.empty())
        d.add((content.binary ? "Data=" : "Text=") + std::string(content.data));
    if (content.binary) d.add("Binary=1");
    std::string line = one_line(
        join_fields({time_stamp(t), account, operation, recipient, origin, message_id, kind}) +
        d.text);
    line = platform::truncate_field(line, kMaxAccountLine - 2) + "\r\n";

    std::string path = frame::user_log_dir(account) +
                       platform::strprintf("SMS-%04d%02d%02d.LOG", t.year, t.month, t.day);
    RecordsState::AccountLog& account_log = state().account_log;
    std::lock_guard<std::mutex> l(account_log.m);
    if (!account_log.fd || account_log.path != path) {
        account_log.fd.close();
        account_log.path.clear();
        account_log.fd = platform::open_with_retry(path, O_WRONLY | O_APPEND | O_CREAT, 0644,
                                                   kAccountOpenRetryMs);
        if (!account_log.fd) {
            frame::debug_tracef("WriteUserLog", "Error %d opening %s", errno, path.c_str());
            return;
        }
        account_log.path = path;
    }
    if (!platform::write_all(account_log.fd.fd(), line.data(), line.size()))
        frame::debug_tracef("WriteUserLog", "Error %d writing %s", errno, path.c_str());
}

void open_outbound_log() {
    std::lock_guard<std::mutex> l(state().out_log.m);
    reopen_for_today(state().out_log);
}

void close_message_logs() {
    for (DailyLog* log : {&state().out_log, &state().in_log, &state().web_log}) {
        std::lock_guard<std::mutex> l(log->m);
        log->fd.close();
        log->year = log->month = log->day = 0;
    }
    RecordsState::AccountLog& account_log = state().account_log;
    std::lock_guard<std::mutex> l(account_log.m);
    account_log.fd.close();
    account_log.path.clear();
}

unsigned prune_message_logs() {
    uint32_t retain = frame::ini_number("LogRetainDays", 90);
    if (retain == 0) retain = 90;
    platform::LocalTime t = platform::local_now();
    const int64_t today = day_number(t.year, t.month, t.day);

    unsigned deleted = prune_dir(support::GetLogDirectory(), today, retain);
    // Account logs live below UsersLogDir when it is set, else below the
    // users directory; look in both so that neither keeps old logs forever.
    std::vector<std::string> roots{frame::users_dir()};
    std::string log_root = frame::ini_directory("UsersLogDir");
    if (!log_root.empty() && log_root != roots.front()) roots.push_back(log_root);
    for (const std::string& root : roots) {
        for (const auto& sub : platform::scan_dir(root, "*", platform::ScanKind::DirsOnly))
            deleted += prune_dir(root + sub.name + "/", today, retain);
    }
    return deleted;
}

}  // namespace records
