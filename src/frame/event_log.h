// Service event reports: one line per event in EVENTS.LOG (private data
// directory) and syslog with ident "KelSMS", then the alert e-mail; the
// once-a-day variants behind marker files; the date and time texts.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
struct LocalTime;
}

namespace frame {

enum class EventType { Success = 0, Error = 1, Warning = 2 };

// "Success", "Error" or "Warning".
const char* event_type_name(EventType type);

// Unless DisableEventLog is on, appends "YYYY-MM-DD HH:MM:SS\t<type>\t<text>\r\n"
// (the text on one line) to EVENTS.LOG and sends it to syslog; if that
// append fails nothing more happens. Then hands type and text to the alert
// e-mail.
void report_event(EventType type, std::string_view text);
// At most once per calendar day per marker file (in the private data
// directory), e.g. "SOCKET.ERR".
void report_event_once_a_day(std::string_view marker_name, EventType type, std::string_view text);
// Once a day per account, marker "QUOTA.ERR" in the account's directory,
// type warning.
void report_quota_event(std::string_view account, std::string_view text);
// The marker rule itself, for any marker path: true when the caller should
// report (the marker was created now).
bool take_daily_marker(const std::string& marker_path);

// EVENTS.LOG: path, its lines (oldest first) and clearing (administration).
std::string event_log_path();
std::vector<std::string> read_event_log();
bool clear_event_log();

// "Tue, 22 Jul 2014 14:03:07 +0200".
std::string rfc822_date(time_t t);
// "July 22, 2014".
std::string long_date_text(const platform::LocalTime& t);
// "14:03".
std::string short_time_text(const platform::LocalTime& t);

}  // namespace frame
