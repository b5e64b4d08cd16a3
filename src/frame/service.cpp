// Start-up, main loop and shutdown of the gateway, the link-thread start,
// "ThreadScanAlerts" and the message-id database integrity check.
#include "frame/service.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "frame/alert_mail.h"
#include "frame/crash_record.h"
#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/frame_state.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/status_block.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/accounts.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/tracking.h"

namespace frame {

namespace {

constexpr size_t kRestartTokenSize = 50 + 1;
constexpr size_t kExtraHttpArgListSize = 1024 + 1;
constexpr unsigned kHelperTimeoutMs = 300000;
constexpr unsigned kStartupLinkWalk = 200;
constexpr unsigned kStaleLockAgeS = 5 * 60;
constexpr unsigned kAlertRepeatS = 3600;
constexpr unsigned kAlertSleepStepMs = 2000;
constexpr unsigned kQCachePollMs = 100;
constexpr unsigned kRoutingResetPauseMs = 500;
constexpr int kLockScanDepth = 8;

// --- the signal thread -------------------------------------------------------------

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    return set;
}

// Stop signals are taken by one thread with sigwait, so that the handling
// may trace and take locks like any other code.
void signal_thread_main() {
    sigset_t set = stop_signal_set();
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) != 0) continue;
        if (frame_state().signal_thread_quit.load()) return;
        if (sig == SIGHUP) continue;  // a closed terminal does not stop the gateway
        debug_trace("HandlerRoutine", "Initiating shutdown...");
        request_shutdown();
    }
}

// --- link workers -------------------------------------------------------------------

void idle_link_worker(const std::string& arg, unsigned link, unsigned thread) {
    debug_tracef("ThreadProcessModem", "Link %u thread %u:  %s", link, thread, arg.c_str());
    while (!sleep_unless_shutdown(60000)) {
    }
}

LinkWorkerFn current_link_worker() {
    std::lock_guard<std::mutex> lock(frame_state().worker_lock);
    if (frame_state().link_worker) return frame_state().link_worker;
    return &idle_link_worker;
}

// The "1 when empty or not starting with a digit" rule of the counts.
unsigned count_value(std::string_view v) {
    if (v.empty() || v[0] < '0' || v[0] > '9') return 1;
    return parse_number(v);
}

bool start_link_slot(unsigned link, unsigned thread) {
    std::string marker_path = stats_dir() + platform::strprintf("ROUTE-%u-%u.LCK", link, thread);
    if (!platform::remove_if_stale(marker_path)) return false;  // its worker is alive
    std::optional<platform::Marker> marker = platform::Marker::acquire(marker_path);
    if (!marker) return false;
    std::string arg = marker_path + platform::strprintf(",%u,%u", link, thread);
    auto held = std::make_shared<platform::Marker>(std::move(*marker));
    LinkWorkerFn worker = current_link_worker();
    return start_thread("ThreadProcessModem", [held, arg, link, thread, worker]() {
        worker(arg, link, thread);
        held->release();
    });
}

// --- time slots of the main loop ------------------------------------------------------

struct Slots {
    long hour = -1;
    long minute = -1;
};

Slots current_slots() {
    if (frame_state().timing.minute_seconds) {
        long t = long(platform::now());
        long m = t / long(frame_state().timing.minute_seconds);
        return {m / 60, m};
    }
    platform::LocalTime lt = platform::local_now();
    return {lt.hour, lt.minute};
}

// --- start-up helpers ------------------------------------------------------------------

void create_if_missing(const std::string& path) {
    if (!platform::file_exists(path)) platform::append_file(path, "");
}

// Keeps RECV.FLG in each account directory in step with the account's
// permission to receive messages.
void sync_receive_flags() {
    support::UserFile file;
    if (!support::SMSOpenUserFile(file, support::UserFileAccess::Read)) return;
    support::UserRecord rec;
    for (uint32_t i = 0; support::SMSGetUserRecord(file, i, rec); ++i) {
        std::string flag = user_dir(rec.name) + "RECV.FLG";
        if (rec.receive_enabled) {
            if (!platform::file_exists(flag)) {
                platform::create_intermediate_dirs(flag);
                platform::append_file(flag, "");
            }
        } else {
            platform::remove_file(flag);
        }
    }
    support::SMSCloseUserFile(file);
}

void apply_tracking_settings() {
    support::set_tracking_directory(tracking_dir_setting());
    support::set_tracking_retention_days(ini_number("SMPPDataRetainDays", 0));
}

std::string quoted_if_blank(const std::string& s) {
    return s.find(' ') != std::string::npos ? "\"" + s + "\"" : s;
}

// --- "ThreadScanAlerts" ------------------------------------------------------------------

void scan_alerts_thread() {
#ifdef SMSGW_TEST_HOOKS
    if (const char* v = std::getenv("SMSGW_TEST_CRASH_THREAD"); v && *v == '1') ::raise(SIGSEGV);
#endif
    debug_trace("ThreadScanAlerts", "Before CheckDatabaseIntegrity");
    std::vector<std::string> unchecked = CheckDatabaseIntegrity(IntegrityMode::Background);
    debug_trace("ThreadScanAlerts", "After CheckDatabaseIntegrity");

    QueueAlertState state;
    while (!shutdown_requested()) {
        set_mms_ip_notify_active(
            !support::ini_section(support::MMSCIniGetFilename(), "IPNotify").empty());
        const GlobalSettings& s = settings();
        unsigned sms =
            count_queue_files(s.q_dir.empty() ? default_queue_root() : s.q_dir, "*.REQ", 1);
        unsigned mms = count_queue_files(mms_queue_dir(), "*.MMS", 2);
        set_queue_sizes(sms, mms);
        evaluate_queue_alerts(state, sms, mms, ini_number("AlertEMailQueueSize", 0),
                              platform::now(), [](int type, const std::string& text) {
                                  debug_trace("ThreadScanAlerts", text);
                                  ReportEventToEMail(type, text);
                              });
        unsigned waited = 0;
        bool stop = false;
        while (waited < frame_state().timing.alert_round_ms && !stop) {
            unsigned step =
                std::min(kAlertSleepStepMs, frame_state().timing.alert_round_ms - waited);
            stop = sleep_unless_shutdown(step);
            waited += step;
        }
        if (!stop) run_duties(Duty::ThirtySeconds);
        if (!stop && !unchecked.empty()) unchecked = check_database_files(unchecked);
    }
}

// --- test hooks ---------------------------------------------------------------------------

#ifdef SMSGW_TEST_HOOKS
unsigned env_number(const char* name, unsigned def) {
    const char* v = std::getenv(name);
    if (!v || !*v) return def;
    return parse_number(v);
}
void apply_test_timing() {
    ServiceTiming t = frame_state().timing;
    t.minute_seconds = env_number("SMSGW_TEST_MINUTE_SECONDS", t.minute_seconds);
    t.reload_pause_ms = env_number("SMSGW_TEST_RELOAD_PAUSE_MS", t.reload_pause_ms);
    t.startup_pause_ms = env_number("SMSGW_TEST_STARTUP_PAUSE_MS", t.startup_pause_ms);
    t.alert_round_ms = env_number("SMSGW_TEST_ALERT_ROUND_MS", t.alert_round_ms);
    frame_state().timing = t;
    if (const char* v = std::getenv("SMSGW_TEST_ROLLOVER_WAIT_MS"); v && *v)
        set_debug_rollover_wait_ms(parse_number(v));
}
std::string test_ready_path() {
    return support::GetPrivateDataDirectory() + "TEST.READY";
}
#endif

[[noreturn]] void fail_startup(const char* fmt, unsigned long code) {
    std::fprintf(stderr, fmt, code);
    std::fflush(stderr);
    std::exit(255);
}

}  // namespace

void set_service_timing(const ServiceTiming& timing) {
    frame_state().timing = timing;
}
const ServiceTiming& service_timing() {
    return frame_state().timing;
}

void set_link_worker(LinkWorkerFn fn) {
    std::lock_guard<std::mutex> lock(frame_state().worker_lock);
    frame_state().link_worker = std::move(fn);
}

unsigned link_thread_count(std::string_view section) {
    unsigned tx = count_value(link_string(section, "TransmitterCount", ""));
    unsigned rx = count_value(link_string(section, "ReceiverCount", ""));
    unsigned n = std::max(tx, rx);
    if (n <= 1) n = count_value(link_string(section, "ThreadCount", ""));
    return n == 0 ? 1 : n;
}

unsigned start_link_threads(bool startup) {
    unsigned started = 0;
    for (unsigned i = 1;; ++i) {
        if (shutdown_requested()) break;
        std::string link = ini_string(platform::strprintf("Modem%u", i), "");
        if (link.empty()) {
            if (!startup || i >= kStartupLinkWalk) break;
            continue;
        }
        unsigned count = link_thread_count(link_section_name(link));
        for (unsigned j = 1; j <= count; ++j) {
            if (!start_link_slot(i, j)) continue;
            ++started;
            if (!startup && j == 1) request_routing_db_reset();
        }
    }
    return started;
}

bool repair_database(const std::string& path) {
    platform::LocalTime t = platform::local_now();
    std::string damaged = path + platform::strprintf("%04d%02d%02d%02d%02d%02d.damaged", t.year,
                                                     t.month, t.day, t.hour, t.minute, t.second);
    // Our own cached connections must not keep writing into the old file.
    support::sqlSMSCMessageIdCloseAll();
    if (!platform::move_file(path, damaged)) {
        debug_tracef("DatabaseIsCorrupt", "Unable to rename %s", path.c_str());
        return false;
    }
    // Committed pages still in the write-ahead log belong to the damaged
    // copy; a stale log must not be replayed into the rebuilt database.
    if (platform::file_exists(path + "-wal")) platform::move_file(path + "-wal", damaged + "-wal");
    platform::remove_file(path + "-shm");

    std::string tmp = path + ".tmp";
    platform::replace_file(tmp, "");
    if (std::optional<std::string> shell = platform::find_helper_program("sqlite3")) {
        std::string dump_cmd = quoted_if_blank(*shell) + " " + quoted_if_blank(damaged) + " .dump";
        debug_trace("DatabaseIsCorrupt", dump_cmd);
        platform::SpawnOptions dump;
        dump.stdout_path = tmp;
        dump.stderr_to_stdout = true;
        platform::run_process({*shell, damaged, ".dump"}, dump, kHelperTimeoutMs);

        std::string load_cmd = quoted_if_blank(*shell) + " " + quoted_if_blank(path);
        debug_trace("DatabaseIsCorrupt", load_cmd);
        platform::SpawnOptions load;
        load.stdin_path = tmp;
        platform::run_process({*shell, path}, load, kHelperTimeoutMs);
    }
    platform::remove_file(tmp);
    return true;
}

std::vector<std::string> check_database_files(const std::vector<std::string>& paths) {
    std::vector<std::string> undecided;
    for (const std::string& path : paths) {
        if (shutdown_requested()) {
            undecided.push_back(path);
            continue;
        }
        debug_trace("CheckDatabaseIntegrity", path);
        switch (support::check_database_health(path)) {
            case support::DatabaseHealth::Sound:
                break;
            case support::DatabaseHealth::Corrupt:
                debug_trace("DatabaseIsCorrupt", path);
                repair_database(path);
                break;
            case support::DatabaseHealth::Unknown:
                // Busy or unreadable is no sign of damage: renaming a live file
                // away would lose the ids that receipts are matched against.
                if (platform::file_exists(path)) {
                    debug_tracef("CheckDatabaseIntegrity", "Unable to check %s now, will retry",
                                 path.c_str());
                    undecided.push_back(path);
                }
                break;
        }
    }
    return undecided;
}

std::vector<std::string> CheckDatabaseIntegrity(IntegrityMode mode) {
    std::string root = support::tracking_directory();
    std::vector<std::string> dirs{root};
    for (const auto& d : platform::scan_dir(root, "*", platform::ScanKind::DirsOnly))
        dirs.push_back(root + d.name + "/");
    platform::LocalTime now = platform::local_now();
    std::string today = support::tracking_file_name(now.year, now.month, now.day);
    std::vector<std::string> undecided;
    for (const std::string& dir : dirs) {
        if (shutdown_requested()) break;
        std::vector<std::string> files;
        if (mode == IntegrityMode::Startup) {
            if (auto name = platform::find_name_nocase(dir, today)) files.push_back(dir + *name);
        } else {
            for (const auto& f : platform::scan_dir(dir, "*.DB", platform::ScanKind::FilesOnly))
                files.push_back(dir + f.name);
        }
        for (std::string& p : check_database_files(files)) undecided.push_back(std::move(p));
    }
    return undecided;
}

unsigned remove_stale_locks(const std::string& root, time_t now, unsigned max_age_s) {
    unsigned removed = 0;
    std::vector<std::pair<std::string, int>> pending{{platform::with_trailing_slash(root), 0}};
    while (!pending.empty()) {
        auto [dir, depth] = pending.back();
        pending.pop_back();
        for (const auto& e : platform::scan_dir(dir, "*")) {
            std::string path = dir + e.name;
            if (e.is_dir) {
                if (depth + 1 < kLockScanDepth) pending.emplace_back(path + "/", depth + 1);
                continue;
            }
            if (!platform::wildcard_match("*.LCK", e.name)) continue;
            auto mtime = platform::file_mtime(path);
            if (!mtime || now - *mtime <= time_t(max_age_s)) continue;
            // A lock that a live holder still has is work in progress,
            // however long it takes; test and delete in one step so a holder
            // that takes it meanwhile keeps its file.
            if (platform::remove_if_stale(path)) ++removed;
        }
    }
    return removed;
}

unsigned count_queue_files(const std::string& dir, std::string_view pattern, int depth) {
    std::string root = platform::with_trailing_slash(dir);
    unsigned n = unsigned(platform::scan_dir(root, pattern, platform::ScanKind::FilesOnly).size());
    if (depth <= 0) return n;
    for (const auto& d : platform::scan_dir(root, "*", platform::ScanKind::DirsOnly)) {
        if (shutdown_requested()) break;
        n += count_queue_files(root + d.name, pattern, depth - 1);
    }
    return n;
}

void evaluate_queue_alerts(QueueAlertState& state, unsigned sms_count, unsigned mms_count,
                           unsigned threshold, time_t now,
                           const std::function<void(int type, const std::string& text)>& emit) {
    struct Queue {
        unsigned count;
        bool* active;
        const char* alert;
        const char* resolved;
    };
    Queue queues[2] = {
        {sms_count, &state.sms_active,
         "Message Queue Size Alert:  %u messages are in the outbound SMS queue",
         "Resolved:  Message Queue Size no longer exceeds threshold (%u messages in outbound "
         "SMS queue)"},
        {mms_count, &state.mms_active,
         "Message Queue Size Alert:  %u messages are in the outbound MMS queue",
         "Resolved:  Message Queue Size no longer exceeds threshold (%u messages in outbound "
         "MMS queue)"},
    };
    for (Queue& q : queues) {
        bool exceeds = threshold != 0 && q.count > threshold;
        if (exceeds) {
            bool quiet = !state.any_alert || now - state.last_alert >= time_t(kAlertRepeatS) ||
                         now < state.last_alert;
            if (quiet) {
                state.any_alert = true;
                state.last_alert = now;
                *q.active = true;
                emit(2, platform::strprintf(q.alert, q.count));
            }
        } else if (*q.active) {
            *q.active = false;
            emit(0, platform::strprintf(q.resolved, q.count));
        }
    }
}

// --- start-up, main loop and shutdown: the steps of run_service ------------------------

namespace {

struct ConfigFiles {
    std::string private_dir;
    std::string sms_ini;
    std::string mmsc_ini;
};

// Names SMSGW.INI and MMSC.INI in the program data directory for every
// later read, creating empty ones when missing.
ConfigFiles name_configuration_files() {
    std::string data_dir = support::GetProgramDataDirectory();
    ConfigFiles f{support::GetPrivateDataDirectory(), data_dir + "SMSGW.INI",
                  data_dir + "MMSC.INI"};
    support::SMSIniSetFilename(f.sms_ini);
    support::MMSCIniSetFilename(f.mmsc_ini);
    create_if_missing(f.sms_ini);
    create_if_missing(f.mmsc_ini);
    return f;
}

// Stop signals are blocked before any thread exists, so that every thread
// inherits the mask and only the signal thread receives them.
std::thread start_signal_thread(const std::string& private_dir) {
    sigset_t stops = stop_signal_set();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread signal_thread(&signal_thread_main);
    install_crash_handlers(private_dir);
    return signal_thread;
}

// A second gateway on this home stops here, before it opens any log.
void open_status_block(platform::StatusBlock& status, const std::string& private_dir) {
    int err = 0;
    switch (status.create(private_dir, &err)) {
        case platform::StatusBlock::OpenResult::Ok:
            break;
        case platform::StatusBlock::OpenResult::AlreadyActive:
            std::fprintf(stderr, "%s is already active on this workstation.\n", kProductBanner);
            std::fflush(stderr);
            std::exit(255);
        case platform::StatusBlock::OpenResult::CreateFailed:
            fail_startup("Error %lu creating shared memory area!\n", (unsigned long)err);
        case platform::StatusBlock::OpenResult::MapFailed:
            fail_startup("Error %lu opening shared memory area!\n", (unsigned long)err);
    }
    attach_status_block(&status);
}

// Settings, trace, counters, libraries, logs, routing and the message-id
// databases, in the order each needs the one before. Returns the restart
// token the main loop compares against.
std::string start_subsystems(const ConfigFiles& files) {
    // From here on the lower layers trace too.
    load_global_settings();
    install_debug_trace();
    apply_tracking_settings();
    std::string restart_token =
        ini_string("ConfigurationUpdateTriggerRestart", "", kRestartTokenSize);

    debug_trace("main", "Before InitStatCounters");
    run_duties(Duty::StartStats);
    debug_trace("main", "After InitStatCounters");

    set_mms_ip_notify_active(!support::ini_section(files.mmsc_ini, "IPNotify").empty());
    // TLS, protocol and SQL libraries.
    run_duties(Duty::StartLibraries);
    sync_receive_flags();
    // Today's outbound message log.
    run_duties(Duty::StartLogs);
    run_duties(Duty::StartRouting);

    debug_trace("main", "Before CheckDatabaseIntegrity");
    CheckDatabaseIntegrity(IntegrityMode::Startup);
    debug_trace("main", "After CheckDatabaseIntegrity");

    // Address and route lists.
    run_duties(Duty::Reload);

    // A reset asked for during start-up is already covered by the fresh load.
    clear_routing_db_reset();
    set_extra_http_args(
        split_extra_http_args(ini_string("ExtraHttpArgList", "", kExtraHttpArgListSize)));
    return restart_token;
}

// Listeners, counters and the queue cache come first: the workers started
// after them rely on the cache being filled.
void start_listener_threads() {
    if (!run_thread_starters(ThreadSlot::HttpListener)) {
        debug_trace("main", "Error starting thread");
        std::fflush(stderr);
        std::exit(255);
    }
    run_thread_starters(ThreadSlot::HttpsListener);
    run_thread_starters(ThreadSlot::ModemListener);
    run_thread_starters(ThreadSlot::SmppListener);
    run_thread_starters(ThreadSlot::SmppsListener);
    run_thread_starters(ThreadSlot::FlushCounters);
    if (settings().use_q_cache && has_thread_starter(ThreadSlot::QCache)) {
        if (run_thread_starters(ThreadSlot::QCache)) {
            while (!qcache_ready() && !shutdown_requested()) platform::sleep_ms(kQCachePollMs);
        }
    }
}

// The "service started" event with the ports actually listened on.
void report_started() {
    std::string started = platform::strprintf("%s service started.", kProductName);
    if (uint16_t p = listener_port(Listener::Web)) {
        debug_tracef("main", "%s Web server started on port number %u", kProductName, p);
        started += platform::strprintf("  Using web port %u.", p);
    }
    if (uint16_t p = listener_port(Listener::WebSSL)) {
        debug_tracef("main", "SSL Web server started on port number %u", p);
        started += platform::strprintf("  Using web SSL port %u.", p);
    }
    if (uint16_t p = listener_port(Listener::Smpp)) {
        debug_tracef("main", "SMPP server started on port number %u", p);
        started += platform::strprintf("  Using SMPP port %u.", p);
    }
    if (uint16_t p = listener_port(Listener::SmppSSL)) {
        debug_tracef("main", "SSL SMPP server started on port number %u", p);
        started += platform::strprintf("  Using SMPP SSL port %u.", p);
    }
    report_event(EventType::Success, started);
}

void start_worker_threads() {
    if (ini_bool("EnableLocalRoutingThread", false) || ini_bool("SDKLinkEnabled", false)) {
        LinkWorkerFn worker = current_link_worker();
        start_thread("ThreadProcessModem", [worker]() { worker("", 0, 0); });
    }
    run_thread_starters(ThreadSlot::WapPushUdp);
    run_thread_starters(ThreadSlot::InboundSms);
    run_thread_starters(ThreadSlot::InboundMms);
    start_thread("ThreadScanAlerts", &scan_alerts_thread);
    run_thread_starters(ThreadSlot::BulkQ);
    run_thread_starters(ThreadSlot::DelayQ);
    run_thread_starters(ThreadSlot::UserQLimits);
    run_thread_starters(ThreadSlot::TwoWayMms);
    start_link_threads(true);
}

// Work of a new minute: link threads, minute duties, a reload when
// SMSGW.INI changed, a requested routing reset and the stale-lock sweep.
void run_minute(bool first, const std::string& sms_ini, platform::FileStamp& ini_seen) {
    if (!first) start_link_threads(false);
    run_duties(Duty::Minute);
    platform::FileStamp stamp = platform::file_stamp(sms_ini);
    if (first || !(stamp == ini_seen)) {
        ini_seen = stamp;
        if (!sleep_unless_shutdown(frame_state().timing.reload_pause_ms)) {
            run_duties(Duty::Reload);
            load_global_settings();
            apply_tracking_settings();
        }
    }
    if (take_routing_db_reset()) {
        debug_trace("main", "RoutingDbReset");
        platform::sleep_ms(kRoutingResetPauseMs);
        run_duties(Duty::RoutingDbReset);
        debug_trace("main", "RoutingDbReset2");
    }
    const GlobalSettings& s = settings();
    remove_stale_locks(s.q_dir.empty() ? default_queue_root() : s.q_dir, platform::now(),
                       kStaleLockAgeS);
}

// Runs until a stop signal, the status block's stop byte or a newer
// configuration-update token.
void run_main_loop(const std::string& sms_ini, const std::string& restart_token) {
    Slots last;
    platform::FileStamp ini_seen;
    bool first = true;
    while (!shutdown_requested() && status_byte(kStatusStop) == 0) {
        refresh_crash_clock();
        Slots now = current_slots();
        if (first || now.hour != last.hour) run_duties(Duty::Hourly);
        if (first || now.minute != last.minute) run_minute(first, sms_ini, ini_seen);
        last = now;
        run_duties(Duty::Second);
        std::string token = ini_string("ConfigurationUpdateTriggerRestart", "", kRestartTokenSize);
        if (platform::icompare(token, restart_token) > 0) {
            request_shutdown();
            set_status_byte(kStatusStop, 1);
            debug_trace("main", "Restarting for configuration update");
        }
#ifdef SMSGW_TEST_HOOKS
        if (first) platform::append_file(test_ready_path(), "");
#endif
        first = false;
        sleep_unless_shutdown(frame_state().timing.loop_ms);
    }
}

[[noreturn]] void shut_down(platform::StatusBlock& status, std::thread& signal_thread) {
    request_shutdown();
    run_duties(Duty::Stopping);
    // Several inbound and receipt threads wait on each event.
    inbound_sms_event().release_waiters();
    inbound_receipt_event().release_waiters();
    wait_for_threads(1000);
    run_duties(Duty::Shutdown);
    report_event(EventType::Success, platform::strprintf("%s service stopped.", kProductName));
    debug_trace("main", "Shutdown:  Closing log files");
    run_duties(Duty::Close);
    close_debug_log();
    support::sqlSMSCMessageIdCloseAll();
#ifdef SMSGW_TEST_HOOKS
    platform::remove_file(test_ready_path());
#endif
    platform::set_trace_sink(nullptr);
    attach_status_block(nullptr);
    status.close();

    frame_state().signal_thread_quit.store(true);
    ::pthread_kill(signal_thread.native_handle(), SIGHUP);
    signal_thread.join();

    std::fprintf(stderr, "Shutdown complete!\n");
    std::fflush(stderr);
    std::exit(0);
}

}  // namespace

void run_service(int argc, char** argv) {
    (void)argc;
    (void)argv;
#ifdef SMSGW_TEST_HOOKS
    apply_test_timing();
#endif
    ConfigFiles files = name_configuration_files();
    std::thread signal_thread = start_signal_thread(files.private_dir);
    AltSignalStack main_alt_stack;
    clear_thread_table();
    static platform::StatusBlock status;
    open_status_block(status, files.private_dir);
    std::string restart_token = start_subsystems(files);
    start_listener_threads();
    sleep_unless_shutdown(frame_state().timing.startup_pause_ms);
    report_started();
    start_worker_threads();
    run_main_loop(files.sms_ini, restart_token);
    shut_down(status, signal_thread);
}

}  // namespace frame
