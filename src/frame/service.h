// The gateway's life: start-up in order, the once-per-second main loop,
// "ThreadScanAlerts", the link-thread start, the message-id database
// integrity check, and shutdown.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace frame {

inline constexpr const char* kProductName = "Kel SMS/MMS Gateway";
inline constexpr const char* kProductBanner = "Kel SMS/MMS Gateway v2014.07.22";

// Runs the gateway in the calling thread until it stops; then exits the
// process (0 after a clean stop, 255 when start-up cannot go on).
[[noreturn]] void run_service(int argc, char** argv);

// --- link workers ------------------------------------------------------------

// Body of "ThreadProcessModem". arg is "<marker path>,<i>,<j>" for link i,
// thread j; the local-routing instance gets an empty arg and link 0. The
// frame holds the slot's marker "ROUTE-i-j.LCK" (locked) for as long as the
// body runs and removes it afterwards, so the body must not create it. The
// body loops until the shutdown flag is set.
using LinkWorkerFn = std::function<void(const std::string& arg, unsigned link, unsigned thread)>;
void set_link_worker(LinkWorkerFn fn);

// Thread count of a link: max(TransmitterCount, ReceiverCount), each 1 when
// empty or not starting with a digit; ThreadCount (same rule) when that is
// at most 1; never below 1.
unsigned link_thread_count(std::string_view link_section);
// Walks Modem1, Modem2, ... and starts a worker for every slot whose marker
// is not held. At start-up the walk continues over gaps up to 200 (and
// beyond while entries are found); a rescan stops at the first gap and
// requests a routing database reset when it starts a link's first thread.
// Returns the number of threads started.
unsigned start_link_threads(bool startup);

// --- message-id database integrity ----------------------------------------------

enum class IntegrityMode { Startup, Background };
// Checks today's (start-up) or every (background) "*.DB" file of the
// tracking directory and its direct subdirectories; a damaged one is
// renamed and rebuilt through the sqlite3 shell. A file that cannot be
// checked now (locked by another connection, unreadable) is left alone and
// returned, so that the caller can check it again later.
std::vector<std::string> CheckDatabaseIntegrity(IntegrityMode mode);
// Checks the given files as above; returns those still undecided.
std::vector<std::string> check_database_files(const std::vector<std::string>& paths);
// Renames path to path + "YYYYMMDDhhmmss.damaged", dumps it with
// "sqlite3 <damaged> .dump" into path + ".tmp" and feeds that to
// "sqlite3 <path>". False when the file could not be renamed.
bool repair_database(const std::string& path);

// --- housekeeping -----------------------------------------------------------------

// Deletes "*.LCK" files older than max_age_s (and not held by a live
// holder) anywhere below root. Returns how many were deleted.
unsigned remove_stale_locks(const std::string& root, time_t now, unsigned max_age_s);

// "*.REQ" files in dir and its direct subdirectories (stops on shutdown);
// depth 2 counts one level further (the dated/hourly MMS queue).
unsigned count_queue_files(const std::string& dir, std::string_view pattern, int depth = 1);

// Queue-size alert state of "ThreadScanAlerts" (one shared last-alert time).
struct QueueAlertState {
    time_t last_alert = 0;
    bool any_alert = false;
    bool sms_active = false;
    bool mms_active = false;
};
// One evaluation: emit(type, text) receives the alert (2) or resolution (0).
void evaluate_queue_alerts(QueueAlertState& state, unsigned sms_count, unsigned mms_count,
                           unsigned threshold, time_t now,
                           const std::function<void(int type, const std::string& text)>& emit);

// --- timing ---------------------------------------------------------------------------

struct ServiceTiming {
    unsigned minute_seconds = 0;  // 0: the clock's minutes; else a "minute" of N seconds
    unsigned reload_pause_ms = 6000;
    unsigned startup_pause_ms = 2000;
    unsigned loop_ms = 1000;
    unsigned alert_round_ms = 30000;
};
void set_service_timing(const ServiceTiming& timing);
const ServiceTiming& service_timing();

}  // namespace frame
