// How to add a link kind: the contract between the link worker core and the
// kinds (SMPP, UCP/CIMD, the virtual SMSC; HTTP SMSC and modem links next).
// A kind lives in its own directory under links/, includes this header and
// nothing else from core/, and registers itself here; the core never
// includes a kind. Everything a kind may use of the core is declared below.
//
// Rules for a kind:
//
// Registration. A kind MUST have one register function (for example
// `register_http_link_kind()`) that calls register_link_kind() once for each
// LinkKind it serves, and MUST add that call to register_link_kinds() in
// links/kinds.cpp, which the entry routine runs before the service starts.
// A kind MAY NOT register from a static initialiser: the static library
// drops objects nobody references. Nothing else changes: the build takes
// every directory under links/, its tests go to tests/links/<kind>/. A link
// whose kind has no entry (or an entry without run_cycle) waits like a
// failed attempt, with "Link kind of <link> is not supported yet" traced.
//
// The cycle. run_cycle MUST make one connection attempt and, when it comes
// up, run the session: serve_queue(w, session) for a sending connection, or
// a receive loop of its own that leaves on must_stop(w). It MUST return when
// that ends, having closed what it opened. It MAY NOT loop over reconnects
// or wait between attempts: the core does the reconnect wait, reloads the
// settings and calls run_cycle again. It MAY set w.end_thread when this
// thread number has nothing to do (the worker thread then ends), and MAY end
// a session early by setting w.restart (the core connects again at once:
// a periodic re-initialisation, say).
//
// Blocking. Session calls run on the worker thread. submit and enquire_link
// MAY block for one exchange with the peer, bounded by the link's own
// time-outs (CommandTimeout, the throttle delay); yield(true) MAY block up to
// about a second, yield(false) MUST NOT wait. A kind without a wait of its
// own MAY return from yield(true) at once: the pass then waits on the link's
// "SMSOut" events (w.link_event, w.route_event) itself. Any wait longer than
// a second MUST look at must_stop(w) (or frame::shutdown_requested()) at
// least once a second, so that a worker ends within a few seconds of shutdown.
//
// Pacing. submit MUST wait on w.pacer (the link's SMSCSendLimit and the
// gateway-wide MessageThrottleDelay) before it sends, passing a service
// function when its connection needs servicing meanwhile.
//
// Ownership of the message. On the synchronous path the queue pass owns the
// claimed message: submit gets a view that is valid during the call only and
// MAY NOT keep it; the pass hands the result to finish_message. A windowed
// session takes the ClaimedMessage (file open and claimed, segment lock held)
// in submit_async and owns it from then on: it MUST either call
// finish_message exactly once with the answer, or, at session end, destroy
// the message unanswered, which leaves its file queued for the next pass. A
// kind MAY NOT delete, move or rewrite a request file itself.
//
// Threads. run_cycle and every session call run on the worker thread. Only
// a windowed session MAY call finish_message from threads of its own, and
// code on those threads MAY NOT touch WorkerState beyond its atomics and the
// settings guarded by settings_mu. Threads a kind starts MUST go through
// frame::start_thread, stop on shutdown, and be stopped before the worker
// leaves the link. The engines' receive callbacks run on whichever thread is
// inside the engine's yield call.
//
// Receiving. A kind whose engine receives messages or receipts MUST install
// the engine's record handler once, from its registration, handing each
// record to inbound::receive_record and mapping a refusal to the protocol's
// own status (the SMSC then keeps the message). inbound/ knows no engine.
//
// Connection state and texts. Before connecting a kind MUST call
// may_connect(w) (credit limits, quiet hours) and give up when it is false.
// Every failed attempt MUST be reported once with connection_failure(w,
// text), the text being the kind's failure text ("<KIND> Failure -- ..."):
// the core writes it as a message-log system line, a "ThreadProcessModem"
// debug line and the link status file. A successful attempt MUST call
// connection_up(w, "<KIND>") before its first submit. A kind MAY NOT write
// the link status file or the outcome lines of the message log ("OK -- ",
// "Retry Pending - ") for a finished message; it MAY trace and log extra
// lines of its own under kWorkerTrace or its thread's tag.
//
// Settings. A kind MUST take its settings from w.settings, which the core
// loads for every cycle and updates in place (retry, credit, quiet hours,
// send limit) under settings_mu. It MAY NOT read its link section or
// [SMSGW] keys again during a connection: a key it needs belongs in
// LinkSettings and load_link_settings. Data sections read at the moment of
// use ([SMPPOptions], [SDKLink]) are not settings in this sense.
//
// Failures. Every non-zero SubmitResult::code MUST be classified by the
// session's classify; the codes -1, -2 and -3 mean the connection failed
// and are never a permanent rejection. A kind whose refusals are texts
// (modem responses, HTTP bodies matched by ParseFailure) MUST turn them into
// codes of its own in submit, so that classify decides from the code alone.
// A message the kind cannot encode (nothing was sent) MUST come back with
// not_encodable set: retrying it could only fail the same way.
// queue_full says whether a code asks for the per-recipient queue-full hold
// (false for kinds without one). Modem kinds get no RetryMaxAge limit.
//
// State. A kind's process-wide state MUST sit in one struct in its own
// directory; when tests need it put back, the entry's reset_for_tests does
// it, and reset_links_state_for_tests() calls every kind's reset once.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "delivery/long_message_locks.h"
#include "delivery/routing.h"
#include "links/core/link_config.h"
#include "links/core/send_control.h"
#include "platform/files.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/events.h"

namespace links {

// Debug trace tag of the link worker and of the connection texts.
inline constexpr std::string_view kWorkerTrace = "ThreadProcessModem";

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
    // The pass must end after this submit (a throttle wait with
    // RestartQAfterThrottleError); a connection still up starts a new pass.
    bool end_pass = false;
    // The message was refused before anything was sent because it cannot
    // be encoded for this link: it fails at once, whatever classify says of
    // code (which stays the engine's status, for the log and the receipt).
    bool not_encodable = false;
};

// A claimed request file between the claim and its outcome. The file stays
// open (and so claimed) until the outcome is handled.
struct ClaimedMessage {
    platform::FileHandle file;       // open read/write, flock held
    std::string path;                // full path
    std::string name;                // bare file name
    std::string queue_dir;           // its directory, ending in '/'
    std::string cache_key;           // delivery::route_cache_key(path)
    time_t created = 0;              // file age base (RetryMaxAge, receipts)
    store::SmsMessage msg;           // as loaded (flags adjusted for the link)
    OutboundMessage out;             // what is submitted (out.msg points at msg)
    delivery::LongMessageLock lock;  // held for a segment until the outcome
    bool segment = false;
    unsigned throttle_resubmits = 0;  // times this file was resubmitted after throttling
};

// --- worker state -------------------------------------------------------------------

struct WorkerState {
    unsigned link_index = 0;
    unsigned thread_number = 0;
    LinkSettings settings;      // as read at the last (re)load
    std::string primary_link;   // active backup: the primary's link name
    std::string primary_route;  // active backup: the primary's route name
    bool backup_active = false;
    uint32_t failure_count = 0;  // consecutive failed connection attempts
    bool reported_unavailable = false;
    time_t next_attempt = 0;
    std::atomic<uint64_t> last_activity_ms{0};  // keep-alive clock
    std::atomic<uint64_t> sent_since_start{0};  // finish_message may run on helper threads
    std::atomic<uint32_t> sent_this_pass{0};
    std::atomic<bool> connection_error{false};
    std::atomic<bool> restart{false};  // settings changed, backup idle, credit or quiet hours
    bool end_thread = false;           // the cycle found nothing for this thread number to do
    SkipQueue skip;
    SendPacer pacer;
    // Guards the in-place updates of settings.retry, .credit and .quiet
    // (every 256 messages) against finish_message on helper threads. The
    // names and everything else only change between sessions.
    mutable std::mutex settings_mu;
    // "SMSOut" + link name and + route name: producers signal them when a
    // message is queued for the link.
    support::EventHandle link_event, route_event;
    // Queued files already traced as held (waiting for local delivery, or
    // stuck); the queue pass's own, worker thread only.
    std::unordered_set<std::string> held_traced;

    delivery::LinkIdentity identity() const;
};

// --- the session ----------------------------------------------------------------------

// Optional capability of a session that keeps a window of unanswered
// submits (SMPP with WindowSize). The queue pass asks LinkSession::windowed()
// and, when it gets one, hands every message over instead of submitting it.
class WindowedSubmit {
  public:
    // Before each hand-over: waits for window space, throttling and the send
    // limit. False ends the pass (connection lost, or RestartQAfterThrottleError
    // after a throttle); the message stays queued.
    virtual bool before_submit() = 0;
    // Takes the claimed message; see the ownership rule above.
    virtual void submit_async(std::unique_ptr<ClaimedMessage> m) = 0;
    // Files to be taken first in the next pass (throttled submits), with the
    // number of times each was resubmitted.
    virtual std::vector<std::pair<std::string, unsigned>> take_resubmits() = 0;

  protected:
    ~WindowedSubmit() = default;
};

// A connection that is up, as the queue pass drives it.
class LinkSession {
  public:
    virtual ~LinkSession() = default;
    // One message, answered before it returns (waits for w.pacer first).
    virtual SubmitResult submit(const OutboundMessage& m) = 0;
    // Keep-alive; true when the peer answered.
    virtual bool enquire_link() = 0;
    // False once the connection is lost.
    virtual bool link_ok() = 0;
    // Serves inbound traffic between passes (wait: block up to a second).
    virtual void yield(bool wait) = 0;
    // The kind's classification of a refused submit's code.
    virtual store::ErrorClass classify(int64_t code) const = 0;
    // The code asks for the queue-full hold of its recipient on this link.
    virtual bool queue_full(int64_t code) const = 0;
    // After a refused submit: true confirms a suspected loss with an
    // enquire-link at once; false only asks link_ok and leaves enquiries to
    // the end of the pass.
    virtual bool enquire_after_failure() const = 0;
    // The windowed capability; nullptr for a synchronous session.
    virtual WindowedSubmit* windowed() = 0;
};

// --- what a kind calls --------------------------------------------------------------------

// Credit limits and quiet hours before an attempt; false (failure recorded,
// socket to be closed by the caller) when the link must not connect now.
bool may_connect(WorkerState& w);
// A failed connection attempt: the text as a message-log system line, in the
// debug trace and in the link status file; failure count + 1 (or set to
// set_count when non-zero: 3 for credit, 1 for quiet hours).
void connection_failure(WorkerState& w, std::string_view text, uint32_t set_count = 0);
// The link came up: "<what> connection OK" traced, status file removed,
// recovery reported when it was reported unavailable, failure count 0,
// keep-alive clock restarted.
void connection_up(WorkerState& w, std::string_view what);
// Serves the outbound queue over the session until a connection error,
// shutdown or the restart flag (queue passes, after-message checks, end of
// pass keep-alive and yield).
void serve_queue(WorkerState& w, LinkSession& session);
// The outcome of a submit: success (count, log "OK -- <link>", accounting,
// receipts, delete) or failure (classify, retry bookkeeping or permanent
// failure, queue-full hold). Safe on a windowed session's helper threads.
void finish_message(WorkerState& w, LinkSession& session, ClaimedMessage& m, const SubmitResult& r);
// True when the worker must leave its session (shutdown or restart).
bool must_stop(const WorkerState& w);

// --- registration -----------------------------------------------------------------------------

struct LinkKindEntry {
    LinkKind kind = LinkKind::Modem;
    // Debug tag of the settings change check.
    std::string_view reload_tag = "CheckReloadModemSet";
    // One connection attempt and, when it comes up, its session.
    void (*run_cycle)(WorkerState& w) = nullptr;
    // The whole worker of the link at index 0, which is no Modem<i> entry
    // (the virtual SMSC); null for every other kind.
    void (*run_index0_worker)(WorkerState& w) = nullptr;
    // Puts the kind's process-wide state back (tests); may be null.
    void (*reset_for_tests)() = nullptr;
};
// Adds or replaces the entry of entry.kind.
void register_link_kind(const LinkKindEntry& entry);

// Registers the duties that keep an engine's frame trace in step with Debug
// (and NoDebugProtocol, which keeps protocol traffic out of the trace): at
// start-up before the links start, and on every settings reload. name is
// the duty's name, set_debug_mode the engine's switch (1 on, 0 off).
void register_engine_debug_duties(const char* name, void (*set_debug_mode)(int));
std::optional<LinkKindEntry> find_link_kind(LinkKind kind);

}  // namespace links
