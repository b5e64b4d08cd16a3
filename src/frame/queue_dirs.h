// The gateway's directory tree: the outbound queue directory composition
// (delayed, route and split levels), inbound directory splitting, the other
// configured directories, and link section names. Directory paths end in '/'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace frame {

// Scheduled delivery time of a message (local time, to the minute).
struct ScheduledTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// Suffix a request file gets when it leaves the queue and waits for its
// deletion: "*.REQ" scans no longer see it, and the stale-lock sweep removes
// what a crash left behind.
constexpr std::string_view kDeletedRequestSuffix = ".DEL";

// Reserved route name of messages no route accepts.
constexpr std::string_view kInvalidRouteName = "~~invalid~~";

// Outbound queue directory for a message: the queue root, then for a
// future scheduled time "DELAYQ/YYYYMMDD/HHMM/" (created; dropped when it
// cannot be), then for a route with route queues on "RT_-_<route>_-_" and
// the subdirectory name (':' '/' '\' become '-'), then "###%04X" of
// n / MaxQDirEntries when n reaches MaxQDirEntries. Only the delayed levels
// are created here; writers create the rest with the file.
std::string outbound_queue_dir(const ScheduledTime* scheduled, std::string_view route,
                               std::string_view subdir, uint32_t n);
// The same rules over explicit inputs (tests, and callers that already hold
// the settings): root ends in '/'.
std::string compose_queue_dir(const std::string& root, const ScheduledTime* scheduled,
                              std::string_view route, std::string_view subdir, uint32_t n,
                              uint32_t max_q_dir_entries, bool use_route_queues);

// Inbound SMS directory (SmsInDir, default SMS-IN/) and its attachment
// directory "A/".
std::string sms_in_dir();
std::string sms_in_attachment_dir();
// Directory a writer of an inbound file uses: the inbound directory, or
// while the inbound and receipt queues together hold more than
// MaxQDirEntries (and EnableBulkSmsIn is on) a "%08X" batch subdirectory
// that changes after every MaxQDirEntries files. Created when missing.
std::string inbound_write_dir(uint64_t queued_inbound_and_receipts);
// Inbound dir + "YYYYMMDD" (+ "%02u" of files placed today / MaxQDirEntries
// when non-zero) + '/'; counts one placed file per call; created.
std::string dated_inbound_dir();

// Batch state of a split directory: the batch value starts as the current
// time in seconds at first use and moves on after every max files.
struct BatchCounter {
    uint32_t batch = 0;
    uint32_t files = 0;
    bool started = false;
};
// Returns the batch value for the next file and counts it.
uint32_t next_batch(BatchCounter& counter, uint32_t max_entries, uint32_t now_s);

// Configured directories (created when the design says so).
std::string bulk_q_dir();                        // BulkQDir, default BULKQ/ (created)
std::string mms_data_dir();                      // [MMSC] DataDir, default MMSCDATA/ (created)
std::string mms_in_dir();                        // MMSDir, default MMS-IN/ (created)
std::string mms_queue_dir();                     // MMS data dir + "Q/": the outbound MMS queue root
std::string users_dir();                         // UsersDir, default USERS/
std::string user_dir(std::string_view account);  // <users>/<account>/
std::string user_queue_dir(std::string_view account);  // <UsersQDir>/<account>/Q/ (+ batch)
std::string user_log_dir(std::string_view account);    // <UsersLogDir>/<account>/
std::string php_dir();                                 // PHPDir, default PHP/
std::string stats_dir();                               // private STATS/ (created)
std::string tracking_dir_setting();                    // MessageIDTrackingDir ('/' added) or empty

// An account name as one directory level: ':' '/' '\' become '-', and the
// names "." and ".." become "-", so no account can reach outside its root.
std::string account_path_part(std::string_view account);

// Link section of SMSGW.INI for a link name: "Modem - " in front of local
// modem names, then '[' -> "\x5B" and ']' -> "\x5D". The reverse undoes the
// bracket escapes.
std::string link_section_name(std::string_view link_name);
// True when route names a configured link ([SMSGW] Modem<n>, gaps up to 200
// allowed) or the RouteName of one, compared without case. Empty: false.
bool link_or_route_exists(std::string_view route);
std::string link_section_to_name(std::string_view section);

}  // namespace frame
