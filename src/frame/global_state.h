// Process-wide state owned by the entry routine: the shutdown flag, the
// running-thread count, the thread frame, the status block bytes, the
// inbound wake-up events and the duties other modules hand to the main loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace frame {

// Set once by the stop signals, the main loop or shutdown; never cleared.
bool shutdown_requested();
void request_shutdown();
// Sleeps up to ms, waking early when shutdown is requested. Returns true
// when shutdown has been requested (so loops can leave at once).
bool sleep_unless_shutdown(unsigned ms);

// Duties the main loop runs; modules above the frame register them before
// the service starts (the entry routine does the wiring). Duties of one kind
// run in registration order.
enum class Duty {
    Hourly,         // on the first pass and when the hour changes
    Minute,         // on the first pass and when the minute changes
    Reload,         // after a change of SMSGW.INI was seen (after the pause),
                    // and once at start-up after the routing database exists
    Second,         // every pass of the once-per-second loop
    ThirtySeconds,  // the "ThreadScanAlerts" round (message-id counter save)
    Shutdown,       // shutdown step 5: flushes after every thread has left
    Close,          // shutdown steps 9-11: closing files
    // Start-up steps, in the order they run:
    StartStats,      // between "Before InitStatCounters" and "After InitStatCounters"
    StartLibraries,  // TLS, protocol and SQL libraries
    StartLogs,       // today's outbound message log
    StartRouting,    // creating the routing database
    // Main loop: the reset-routing-database flag was seen (runs between
    // "RoutingDbReset" and "RoutingDbReset2", after the 500 ms pause).
    RoutingDbReset,
    // Shutdown step 2: close the listening sockets so their threads leave.
    Stopping,
};
void register_duty(Duty when, std::string name, std::function<void()> fn);
void run_duties(Duty when);
// Forgets every registered duty and thread starter (tests).
void clear_registrations_for_tests();
// Tests only: every piece of the frame's process-wide state as at process
// start (registries, flags, published settings, debug log, thread table,
// batch counters, service timing). Call it with no gateway thread running.
void reset_frame_state_for_tests();

// Background threads of other modules, started in slot order by the entry
// routine. A starter decides from its own module's state whether (and how
// many) threads to start with start_thread; it returns false only when a
// thread it had to start could not be started (fatal for HttpListener).
enum class ThreadSlot {
    HttpListener,   // "ThreadListenForConnections" (must start)
    HttpsListener,  // "ThreadLsitenForSSLConnections"
    ModemListener,  // "ThreadListenForInboundConnections"
    SmppListener,   // "ThreadListenForSMPPConnections"
    SmppsListener,  // "ThreadListenForSSLSMPPConnections"
    FlushCounters,  // "ThreadFlushCounters"
    QCache,         // "ThreadProcessQCache" (only when UseQCache)
    // --- after the start-up pause and the "service started" report ---
    LocalRouting,  // "ThreadProcessModem" without argument
    WapPushUdp,    // "ThreadReceiveWAPPushUDP"
    InboundSms,    // "ThreadProcessInboundSMS" pairs and receipt threads
    InboundMms,    // "ThreadProcessInboundMMS"
    // ("ThreadScanAlerts" is the frame's own and starts here)
    BulkQ,        // "ThreadProcessBulkQ" x3
    DelayQ,       // "ThreadProcessDelayQ"
    UserQLimits,  // "ThreadProcessUserQLimits"
    TwoWayMms,    // "ThreadProcess2WayMMS"
};
void register_thread_starter(ThreadSlot slot, std::function<bool()> starter);
bool run_thread_starters(ThreadSlot slot);  // false when a starter failed
bool has_thread_starter(ThreadSlot slot);

// The queue cache thread reports its first complete scan; the entry routine
// waits for it before going on.
void set_qcache_ready();
bool qcache_ready();

// The thread frame: counts the thread in the running-thread count, gives it
// a thread number and description, runs body (which loops until the
// shutdown flag is set), then releases both. False when the thread could
// not be started.
bool start_thread(std::string description, std::function<void()> body);
unsigned running_thread_count();
// Waits until the running-thread count is 0, checking every step_ms.
void wait_for_threads(unsigned step_ms);

// Status block bytes (no-ops / 0 while the block is not open).
enum StatusByte : size_t {
    kStatusStop = 0,  // stop request / stopped for restart
    kStatusHttpListening = 1,
    kStatusHttpPortFailed = 2,
    kStatusSmppListening = 3,
    kStatusSmppPortFailed = 4,
};
uint8_t status_byte(size_t index);
void set_status_byte(size_t index, uint8_t value);

// Auto-reset wake-up event (initially clear).
class WakeEvent {
  public:
    void set();
    // True when the event was set (and is now clear again); false on time-out
    // or, at once, when shutdown is requested.
    bool wait(unsigned timeout_ms);
    // Wakes every waiter to look at the shutdown flag (set() wakes only one).
    void release_waiters();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signalled_ = false;
};
// Writers of inbound files signal these; the inbound threads wait on them.
WakeEvent& inbound_sms_event();
WakeEvent& inbound_receipt_event();

// Set by link rescans and inbound routing; the main loop recreates the
// routing database when it sees it.
void request_routing_db_reset();
bool take_routing_db_reset();  // reads and clears
void clear_routing_db_reset();

// Ports bound by the listeners (0 while not open); the start-up report and
// status pages read them.
enum class Listener { Web, WebSSL, Smpp, SmppSSL };
void set_listener_port(Listener which, uint16_t port);
uint16_t listener_port(Listener which);

// Queue sizes counted by "ThreadScanAlerts".
unsigned sms_queue_size();
unsigned mms_queue_size();
void set_queue_sizes(unsigned sms, unsigned mms);

// Names of ExtraHttpArgList (split at ',' and ';'), read at start-up.
const std::vector<std::string>& extra_http_args();
void set_extra_http_args(std::vector<std::string> names);
std::vector<std::string> split_extra_http_args(std::string_view list);

// [IPNotify] of MMSC.INI has an entry: MMS notification over IP is active.
bool mms_ip_notify_active();
void set_mms_ip_notify_active(bool on);

}  // namespace frame

namespace platform {
class StatusBlock;
}

namespace frame {
// The entry routine attaches the status block it created (nullptr detaches).
void attach_status_block(platform::StatusBlock* block);
}  // namespace frame
