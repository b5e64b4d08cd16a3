// Service event reports (EVENTS.LOG and syslog), daily markers, date texts.
#include "frame/event_log.h"

#include <syslog.h>

#include <mutex>

#include "frame/alert_mail.h"
#include "frame/frame_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/directories.h"

namespace frame {

namespace {

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kFullMonthNames[12] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};

void open_syslog_once() {
    static std::once_flag once;
    std::call_once(once, [] { ::openlog("KelSMS", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
}

int syslog_priority(EventType type) {
    switch (type) {
        case EventType::Success:
            return LOG_NOTICE;
        case EventType::Error:
            return LOG_ERR;
        case EventType::Warning:
            return LOG_WARNING;
    }
    return LOG_NOTICE;
}

int month_index(int month) {
    return (month >= 1 && month <= 12) ? month - 1 : 0;
}

}  // namespace

const char* event_type_name(EventType type) {
    switch (type) {
        case EventType::Success:
            return "Success";
        case EventType::Error:
            return "Error";
        case EventType::Warning:
            return "Warning";
    }
    return "Success";
}

std::string event_log_path() {
    return support::GetPrivateDataDirectory() + "EVENTS.LOG";
}

void report_event(EventType type, std::string_view text) {
    if (!ini_bool("DisableEventLog", false)) {
        std::string one_line(text);
        for (char& c : one_line)
            if (c == '\r' || c == '\n' || c == '\t') c = ' ';
        platform::LocalTime t = platform::local_now();
        std::string line = platform::strprintf("%04d-%02d-%02d %02d:%02d:%02d\t%s\t%s\r\n", t.year,
                                               t.month, t.day, t.hour, t.minute, t.second,
                                               event_type_name(type), one_line.c_str());
        bool ok;
        {
            std::lock_guard<std::mutex> lock(frame_state().event_lock);
            ok = platform::append_file(event_log_path(), line);
        }
        if (!ok) return;
        open_syslog_once();
        ::syslog(syslog_priority(type), "%s", one_line.c_str());
    }
    ReportEventToEMail(int(type), text);
}

bool take_daily_marker(const std::string& marker_path) {
    if (auto mtime = platform::file_mtime(marker_path)) {
        platform::LocalTime m = platform::to_local(*mtime);
        platform::LocalTime now = platform::local_now();
        if (m.year != now.year || m.month != now.month || m.day != now.day)
            platform::remove_file(marker_path);
    }
    if (platform::file_exists(marker_path)) return false;
    // Created new-only: of two threads racing here only one reports.
    if (!platform::create_new_file(marker_path, "")) {
        if (platform::file_exists(marker_path)) return false;
        platform::create_intermediate_dirs(marker_path);
        if (!platform::create_new_file(marker_path, "")) return false;
    }
    return true;
}

void report_event_once_a_day(std::string_view marker_name, EventType type, std::string_view text) {
    if (take_daily_marker(support::GetPrivateDataDirectory() + std::string(marker_name)))
        report_event(type, text);
}

void report_quota_event(std::string_view account, std::string_view text) {
    if (take_daily_marker(user_dir(account) + "QUOTA.ERR")) report_event(EventType::Warning, text);
}

std::vector<std::string> read_event_log() {
    std::vector<std::string> lines;
    std::optional<std::string> data;
    {
        std::lock_guard<std::mutex> lock(frame_state().event_lock);
        data = platform::read_file(event_log_path());
    }
    if (!data) return lines;
    size_t start = 0;
    while (start < data->size()) {
        size_t end = data->find('\n', start);
        if (end == std::string::npos) end = data->size();
        std::string line = data->substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool clear_event_log() {
    std::lock_guard<std::mutex> lock(frame_state().event_lock);
    std::string path = event_log_path();
    return !platform::file_exists(path) || platform::replace_file(path, "");
}

std::string rfc822_date(time_t t) {
    platform::LocalTime lt = platform::to_local(t);
    long off = lt.utc_offset_s;
    char sign = off >= 0 ? '+' : '-';
    if (off < 0) off = -off;
    long zone = (off / 3600) * 100 + (off % 3600) / 60;
    return platform::strprintf(
        "%s, %d %s %02d %02d:%02d:%02d %c%04ld", kDayNames[(lt.weekday % 7 + 7) % 7], lt.day,
        kMonthNames[month_index(lt.month)], lt.year, lt.hour, lt.minute, lt.second, sign, zone);
}

std::string long_date_text(const platform::LocalTime& t) {
    return platform::strprintf("%s %d, %d", kFullMonthNames[month_index(t.month)], t.day, t.year);
}

std::string short_time_text(const platform::LocalTime& t) {
    return platform::strprintf("%02d:%02d", t.hour, t.minute);
}

}  // namespace frame
