// The SMSC link worker ("ThreadProcessModem"): one thread per (link index,
// thread number) that brings its link up, serves the outbound queue over it
// and waits a growing delay after every loss. The protocol-specific
// connection cycles plug in here; the queue pass and outcome handling are
// shared by every link kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery/long_message_locks.h"
#include "delivery/routing.h"
#include "links/link_config.h"
#include "links/send_control.h"
#include "platform/files.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/events.h"

namespace links {

// --- one message on its way out ------------------------------------------------------

// What a session submits: the loaded record with the addresses chosen and
// converted for this link, and the content (recombined when segments were
// joined).
struct OutboundMessage {
    const store::SmsMessage* msg = nullptr;
    std::string message_id;  // request file name without extension
    std::string sender;      // chosen sender after OutSenderPrefixConvert
    std::string recipient;   // after OutRecipPrefixConvert
    std::string udh;         // hex
    std::string data;        // text (UTF-8) or hex when binary
    bool binary = false;
    int flags = 0;  // message flags after BlockDeliveryReceiptRequest
};

// Result of one submit.
struct SubmitResult {
    int64_t code = 0;        // 0 accepted; else the protocol status / engine code
    std::string error_text;  // the engine's text for code
    std::string smsc_id;     // the SMSC's id of an accepted message
};

// A claimed request file between the claim and its outcome. The file stays
// open (and so claimed) until the outcome is handled.
struct ClaimedMessage {
    platform::FileHandle file;     // open read/write, flock held
    std::string path;              // full path
    std::string name;              // bare file name
    std::string queue_dir;         // its directory, ending in '/'
    std::string cache_key;         // delivery::route_cache_key(path)
    time_t created = 0;            // file age base (RetryMaxAge, receipts)
    store::SmsMessage msg;         // as loaded (flags adjusted for the link)
    OutboundMessage out;           // what is submitted (out.msg points at msg)
    delivery::LongMessageLock lock;  // held for a segment until the outcome
    bool segment = false;
    unsigned throttle_resubmits = 0;  // times this file was resubmitted after throttling
};

struct WorkerState;
class LinkSession;

// The outcome of a submit, synchronous or reported later by an asynchronous
// session: success (count, log "OK -- <link>", accounting, receipts,
// delete) or failure (classify, retry bookkeeping or permanent failure,
// queue-full hold). Safe to call from an asynchronous session's helper
// threads while the worker goes on with its pass.
void finish_message(WorkerState& w, LinkSession& session, ClaimedMessage& m,
                    const SubmitResult& r);

// A bound protocol connection as the queue pass drives it.
class LinkSession {
  public:
    virtual ~LinkSession() = default;
    // One submit. The session waits for the link's send limit (w.pacer) and
    // the gateway-wide throttle itself, because only it can keep its
    // connection serviced meanwhile.
    virtual SubmitResult submit(const OutboundMessage& m) = 0;
    // Keep-alive; true when the peer answered.
    virtual bool enquire_link() = 0;
    // False once the connection is lost.
    virtual bool link_ok() = 0;
    // Processes inbound traffic (wait: block up to a second for input).
    virtual void yield(bool wait) = 0;
    // The link kind's classification of a failed submit.
    virtual store::ErrorClass classify(int64_t code) const = 0;
    // SMPP only: the status asks for the queue-full hold.
    virtual bool queue_full(int64_t /*code*/) const { return false; }
    // UCP and CIMD ask the link status after a failed message and enquire
    // only at the end of a pass; SMPP enquires after a failed message.
    virtual bool enquire_after_failure() const { return true; }
    // True (once) when the pass must end after the last submit: a throttle
    // wait with RestartQAfterThrottleError. The session goes on with a new pass.
    virtual bool take_end_of_pass() { return false; }

    // Asynchronous sessions (SMPP with a window) take the claimed message and
    // call finish_message when its response arrives; the queue pass then
    // goes on at once. Before each submit the pass calls before_submit(),
    // which waits for window space and throttling; false ends the pass
    // (connection lost, or RestartQAfterThrottleError after a throttle).
    virtual bool asynchronous() const { return false; }
    virtual bool before_submit() { return true; }
    virtual void submit_async(std::unique_ptr<ClaimedMessage> /*m*/) {}
    // Files the session wants submitted first in the next pass (throttled
    // asynchronous submits), with their resubmit counts.
    virtual std::vector<std::pair<std::string, unsigned>> take_resubmits() { return {}; }
};

// --- worker state -------------------------------------------------------------------

struct WorkerState {
    unsigned link_index = 0;
    unsigned thread_number = 0;
    LinkSettings settings;           // as read at the last (re)load
    std::string primary_link;        // active backup: the primary's link name
    std::string primary_route;       // active backup: the primary's route name
    bool backup_active = false;
    uint32_t failure_count = 0;      // consecutive failed connection attempts
    bool reported_unavailable = false;
    time_t next_attempt = 0;
    std::atomic<uint64_t> last_activity_ms{0};  // keep-alive clock
    std::atomic<uint64_t> sent_since_start{0};  // finish_message may run on helper threads
    std::atomic<uint32_t> sent_this_pass{0};
    std::atomic<bool> connection_error{false};
    std::atomic<bool> restart{false};  // settings changed, backup idle, credit or quiet hours
    bool end_thread = false;  // the cycle found nothing for this thread number to do
    SkipQueue skip;
    SendPacer pacer;
    // Guards the in-place updates of settings.retry, .credit and .quiet
    // (every 256 messages) against finish_message on helper threads. The
    // names and everything else only change between sessions.
    mutable std::mutex settings_mu;
    // "SMSOut" + link name and + route name: producers signal them when a
    // message is queued for the link.
    support::EventHandle link_event, route_event;

    delivery::LinkIdentity identity() const;
};

// --- pieces the protocol cycles call ----------------------------------------------------

// A failed connection attempt: the text as a message-log system line, in the
// debug trace and in the link status file; failure count + 1 (or set to
// set_count when non-zero: 3 for credit, 1 for quiet hours).
void connection_failure(WorkerState& w, std::string_view text, uint32_t set_count = 0);
// The link came up: "<what> connection OK" traced, status file removed,
// recovery reported when it was reported unavailable, failure count 0,
// keep-alive clock restarted.
void connection_up(WorkerState& w, std::string_view what);
// Credit limits and quiet hours before an attempt; false (failure recorded,
// socket to be closed by the caller) when the link must not connect now.
bool may_connect(WorkerState& w);
// Serves the outbound queue over the session until a connection error,
// shutdown or the restart flag (queue passes, after-message checks, end of
// pass keep-alive and yield).
void serve_queue(WorkerState& w, LinkSession& session);
// True when the worker must leave its session (shutdown or restart).
bool must_stop(const WorkerState& w);

// The connection cycle of each protocol kind: one attempt and, when it comes
// up, the session; returns to the outer loop, which does the reconnect wait.
void run_smpp_cycle(WorkerState& w);
void run_ucp_cycle(WorkerState& w);
void run_cimd_cycle(WorkerState& w);

// --- local delivery ---------------------------------------------------------------------

// Before the route decision the queue pass offers every routable message to
// local delivery: a message whose recipient is a local user is handed to
// inbound processing instead of being sent. Delivered: the worker
// deletes the request file. Kept: the message stays queued (delivery failed
// for now). NotLocal: it is sent as usual.
enum class LocalDelivery { NotLocal, Delivered, Kept };
using LocalDeliveryHook = LocalDelivery (*)(const std::string& request_path,
                                            const store::SmsMessage& msg);
// nullptr restores the default (nothing is local).
void set_local_delivery_hook(LocalDeliveryHook fn);

// --- the worker -------------------------------------------------------------------------

// Body of "ThreadProcessModem" (installed with frame::set_link_worker).
void link_worker_main(const std::string& arg, unsigned link, unsigned thread);
// Installs the worker body, the receive callbacks and the failure receipt
// hook; called once by the entry routine before the service starts.
void register_link_workers();

}  // namespace links
