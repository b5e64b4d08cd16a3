// SMPP link connections: one connection attempt of a worker thread and its
// session (transmitter, transceiver or receive-only), the separate receiver
// thread with its own reconnect loop, the receive-queue threads, and the
// synchronous and windowed submit sessions the queue pass drives.
#include "links/smpp/smpp_link.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/link_kind.h"
#include "links/smpp/smpp_receive.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/text.h"
#include "protocols/smpp/smpp.h"
#include "records/message_log.h"
#include "support/directories.h"
#include "support/events.h"
#include "support/ini_profile.h"
#include "support/tls.h"

namespace links {

namespace smpp = protocols::smpp;
namespace common = protocols::common;

namespace {

constexpr int kBindReceiver = 1;
constexpr int kBindTransmitter = 2;
constexpr int kBindTransceiver = 9;
constexpr int kReceiveBuffer = 32768;
constexpr int kSendBuffer = 16384;
constexpr unsigned kThrottleAttempts = 5;
constexpr unsigned kGroupStopWaitMs = 15000;  // 150 x 100 ms
constexpr unsigned kFirstStartWaitMs = 60000;
// Receive sessions look at SMSGW.INI this often (a stat; the link settings
// are read again only when the file changed).
constexpr uint64_t kSettingsCheckMs = 1000;
// AsyncCallbackThreads beyond this would only cost memory.
constexpr uint32_t kMaxCallbackThreads = 32;

uint64_t now_ms() {
    return platform::monotonic_ms();
}

unsigned today_weekday() {
    time_t t = platform::now();
    struct tm tm {};
    localtime_r(&t, &tm);
    return unsigned(tm.tm_wday);
}

// A link event in the outbound log ("System" in the first column).
void log_system_line(const WorkerState& w, std::string_view text) {
    records::write_outbound_log("System", "", "", text, records::LogContent{}, "", "", "",
                                w.settings.route_name);
}

uint32_t callback_thread_count(const LinkSettings& s) {
    return std::clamp<uint32_t>(s.async_callback_threads, 1, kMaxCallbackThreads);
}

// ---- groups of helper threads ---------------------------------------------------------

// Threads started together and stopped together; the threads hold the group
// so that a stop that gives up waiting leaves nothing dangling.
class ThreadGroup : public std::enable_shared_from_this<ThreadGroup> {
  public:
    // Events set while stopping, so that threads waiting on them notice.
    void add_wake_event(support::EventHandle ev) {
        std::lock_guard lk(mu_);
        wake_.push_back(std::move(ev));
    }

    bool launch(std::string description, std::function<void()> body) {
        {
            std::lock_guard lk(mu_);
            ++running_;
        }
        auto self = shared_from_this();
        bool ok = frame::start_thread(std::move(description), [self, body = std::move(body)] {
            {
                std::lock_guard lk(self->mu_);
                ++self->started_;
            }
            self->cv_.notify_all();
            body();
            {
                std::lock_guard lk(self->mu_);
                --self->running_;
            }
            self->cv_.notify_all();
        });
        if (!ok) {
            std::lock_guard lk(mu_);
            --running_;
            cv_.notify_all();
        }
        return ok;
    }

    bool stopping() const { return stop_.load() || frame::shutdown_requested(); }

    // Sleeps up to ms; true when the group is stopping.
    bool sleep(unsigned ms) {
        std::unique_lock lk(mu_);
        uint64_t end = now_ms() + ms;
        while (!stopping()) {
            uint64_t now = now_ms();
            if (now >= end) break;
            cv_.wait_for(lk, std::chrono::milliseconds(std::min<uint64_t>(end - now, 250)));
        }
        return stopping();
    }

    // Waits until the first thread runs (or all are gone, or timeout_ms).
    bool wait_first_start(unsigned timeout_ms) {
        std::unique_lock lk(mu_);
        uint64_t end = now_ms() + timeout_ms;
        while (started_ == 0 && running_ > 0 && !frame::shutdown_requested()) {
            uint64_t now = now_ms();
            if (now >= end) return false;
            cv_.wait_for(lk, std::chrono::milliseconds(std::min<uint64_t>(end - now, 100)));
        }
        return started_ > 0;
    }

    // Signals the threads and waits up to timeout_ms for them to end; true
    // when they did.
    bool stop_and_wait(unsigned timeout_ms) {
        stop_.store(true);
        cv_.notify_all();
        std::unique_lock lk(mu_);
        for (unsigned waited = 0; running_ > 0 && waited < timeout_ms; waited += 100) {
            for (const auto& ev : wake_) support::SetInterfaceEvent(ev);
            cv_.wait_for(lk, std::chrono::milliseconds(100));
        }
        return running_ == 0;
    }

    unsigned running() {
        std::lock_guard lk(mu_);
        return running_;
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    unsigned running_ = 0;
    unsigned started_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<support::EventHandle> wake_;
};
using GroupPtr = std::shared_ptr<ThreadGroup>;

// ---- the connection --------------------------------------------------------------------

// The engine sessions of every link that are connected, by link name:
// the receive-queue threads hand their queued deliveries to the receive
// handler.
class LiveSessions {
  public:
    void add(const std::string& link, const smpp::ClientSession& s) {
        std::lock_guard lk(mu_);
        by_link_.emplace(link, s);
    }
    void remove(const std::string& link, int socket) {
        std::lock_guard lk(mu_);
        auto [from, to] = by_link_.equal_range(link);
        for (auto it = from; it != to; ++it) {
            if (it->second.socket() == socket) {
                by_link_.erase(it);
                return;
            }
        }
    }
    // Each connected session of the link answers its queued deliveries.
    void receive_queued(const std::string& link) {
        std::vector<smpp::ClientSession> sessions;
        {
            std::lock_guard lk(mu_);
            auto [from, to] = by_link_.equal_range(link);
            for (auto it = from; it != to; ++it) sessions.push_back(it->second);
        }
        for (smpp::ClientSession& s : sessions) s.receive_queued();
    }

  private:
    std::mutex mu_;
    std::multimap<std::string, smpp::ClientSession> by_link_;
};

LiveSessions& live_sessions() {
    // Never destroyed: receive-queue threads may outlive main.
    static LiveSessions* l = new LiveSessions;
    return *l;
}

// The socket, its TLS session and the engine's session on it.
struct SmppConnection {
    platform::Socket sock;
    support::SslSessionPtr tls;
    std::optional<smpp::ClientSession> session;  // set once connected
    std::string link;
    int version = 0x34;
    bool bound = false;

    int fd() const { return sock.fd(); }

    // Unbinds when asked and still bound; the session is gone before the
    // socket closes (a later socket may reuse the number).
    void close(bool unbind) {
        if (session) {
            live_sessions().remove(link, fd());
            if (bound && unbind) session->unbind();
            session.reset();
            bound = false;
        }
        if (tls) support::sslFreeSession(tls);
        sock.close();
    }
    ~SmppConnection() { close(false); }
};

smpp::LinkOptions link_options(const LinkSettings& s) {
    smpp::LinkOptions o;
    o.command_timeout_s = s.command_timeout_s;
    o.use_tlv = s.use_tlv;
    o.charset = s.smpp_charset;
    // Receiver connections and the receive-queue threads drain deliveries
    // through SMPPReceiveFromAsyncQ; a lone transceiver takes them inside
    // its yield calls.
    o.queue_inbound = !s.receive_single_connection || s.window_size > 0;
    o.smpp_options = [defs = s.smpp_option_defs] { return defs; };
    return o;
}

// One connection attempt (socket, local bind, credit and quiet hours,
// connect, TLS, bind). Every failure is reported through
// connection_failure; true when bound.
bool connect_attempt(WorkerState& w, bool receiver_port, int bind_mode, SmppConnection& c) {
    const LinkSettings& s = w.settings;
    c.link = s.name;
    c.version = s.interface_version;
    int domain = s.bind_ip.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    c.sock = platform::tcp_socket(domain);
    if (!c.sock) {
        connection_failure(w, "SMPP Failure -- General Socket Error");
        return false;
    }
    const int fd = c.sock.fd();
    if (s.tcp_no_delay) platform::set_nodelay(fd, true);

    unsigned local = receiver_port ? s.receiver_local_port : s.sender_local_port;
    unsigned remote = receiver_port ? s.receiver_remote_port : s.sender_remote_port;
    const char* which = receiver_port ? "receiver" : "sender";
    if (!s.bind_ip.empty() || local) {
        if (!platform::bind_local(fd, domain, s.bind_ip, local)) {
            connection_failure(
                w, platform::strprintf("SMPP Failure -- Unable to bind to SMPP %s port %u", which,
                                       local));
            return false;
        }
        if (local)
            frame::debug_tracef(kWorkerTrace, "Debug:  SMPP %s port bound to %u", which, local);
    }
    if (!may_connect(w)) return false;

    unsigned port = remote ? remote : s.address.port;
    if (port == 0) port = smpp::SMPP_DEFAULT_PORT;
    c.session.emplace(fd, s.name, link_options(s));
    if (c.session->connect(s.address.host, port) != 0) {
        connection_failure(
            w, platform::strprintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u",
                                   s.address.host.c_str(), port));
        return false;
    }
    live_sessions().add(s.name, *c.session);
    if (s.use_ssl && support::sslInitLib()) {
        std::string err;
        if (s.ssl_verify_peer) {
            support::SslVerify verify{
                s.ssl_ca_file, s.ssl_verify_host.empty() ? s.address.host : s.ssl_verify_host};
            c.tls = support::sslInitSession(fd, err, verify);
        } else {
            c.tls = support::sslInitSession(fd, err);
            if (c.tls)
                frame::debug_tracef(kWorkerTrace,
                                    "Debug:  SSL certificate of %s:%u not verified (SSLVerifyPeer "
                                    "is off)",
                                    s.address.host.c_str(), port);
        }
        if (!c.tls) {
            if (!err.empty()) frame::debug_trace(kWorkerTrace, err);
            connection_failure(
                w, platform::strprintf(
                       "SMPP Failure -- Unable to negotiate SSL/TLS connection with SMPP server "
                       "at %s:%u",
                       s.address.host.c_str(), port));
            return false;
        }
        c.session->set_tls(c.tls.get());
    }
    uint32_t st = c.session->bind(
        smpp::BindRequest{c.version, bind_mode, s.user_name, s.password, s.system_type});
    if (st != 0) {
        connection_failure(
            w, platform::strprintf(
                   "SMPP Failure -- Unable to login to SMPP server with specified parameters:  %s",
                   smpp::SMPPErrorText(st)));
        return false;
    }
    c.bound = true;
    if (s.smpp_no_delay) platform::set_nodelay(fd, true);
    platform::set_socket_buffers(fd, kReceiveBuffer, s.smpp_no_delay ? 0 : kSendBuffer);
    connection_up(w, "SMPP");
    w.last_activity_ms.store(now_ms());
    return true;
}

// ---- receive sessions ------------------------------------------------------------------

enum class ReceiveEnd {
    Lost,     // connection lost or keep-alive failed: no unbind
    Stop,     // asked to stop: unbind
    Changed,  // the link settings changed: unbind, connect again at once
    Retire,   // the receiver thread's number is no longer configured
};

// The version of SMSGW.INI on disk.
platform::FileStamp ini_stamp() {
    return platform::file_stamp(support::SMSIniGetFilename());
}

// The link's settings now, or nullopt when Modem<i> names another link.
std::optional<LinkSettings> current_settings(const WorkerState& w) {
    if (link_name_at(w.link_index) != w.settings.name) return std::nullopt;
    return load_link_settings(w.settings.name, today_weekday());
}

// Deliveries of a receiver connection (separate receiver thread: group
// set; receive-only worker connection: group null).
ReceiveEnd receive_session(WorkerState& w, SmppConnection& c, ThreadGroup* group) {
    const std::string name = w.settings.name;
    const unsigned keep_alive_ms = w.settings.keep_alive_s * 1000u;
    uint64_t last_enquire = now_ms();
    uint64_t last_check = last_enquire;
    platform::FileStamp stamp = ini_stamp();
    for (;;) {
        if (group ? group->stopping() : must_stop(w)) return ReceiveEnd::Stop;
        if (!c.session->usable()) return ReceiveEnd::Lost;
        uint64_t now = now_ms();
        if (keep_alive_ms && now - last_enquire >= keep_alive_ms) {
            last_enquire = now;
            if (c.session->enquire_link() != 0) {
                w.connection_error.store(true);
                return ReceiveEnd::Lost;
            }
            w.last_activity_ms.store(now);
        }
        if (now - last_check >= kSettingsCheckMs) {
            last_check = now;
            platform::FileStamp current = ini_stamp();
            if (!(current == stamp)) {
                stamp = current;
                std::optional<LinkSettings> fresh = current_settings(w);
                if (group && (!fresh || w.thread_number > fresh->receiver_count)) {
                    frame::debug_trace(kWorkerTrace, "Stopping receiver");
                    return ReceiveEnd::Retire;
                }
                if (!fresh || w.settings.needs_reconnect(*fresh)) {
                    frame::debug_trace(
                        kWorkerTrace, "Connection settings have changed, requiring a reconnection");
                    if (!group) w.restart.store(true);
                    return ReceiveEnd::Changed;
                }
            }
        }
        live_sessions().receive_queued(name);
        if (!c.session->yield(true)) return ReceiveEnd::Lost;
    }
}

// "ThreadProcessSMPPReceive": the receiver connection of transmitter thread
// j, with its own reconnect loop and failure count.
void receiver_main(unsigned link_index, unsigned j, LinkSettings settings, GroupPtr group) {
    WorkerState rw;
    rw.link_index = link_index;
    rw.thread_number = j;
    rw.settings = std::move(settings);
    while (!group->stopping()) {
        bool changed = false;
        {
            SmppConnection c;
            if (connect_attempt(rw, true, kBindReceiver, c)) {
                rw.connection_error.store(false);
                ReceiveEnd end = receive_session(rw, c, group.get());
                c.close(end != ReceiveEnd::Lost && !rw.connection_error.load());
                if (end == ReceiveEnd::Retire) return;
                changed = end == ReceiveEnd::Changed;
            }
        }
        if (group->stopping()) return;
        if (!changed) {
            // A session that ended cleanly waits too.
            rw.failure_count = std::max<uint32_t>(rw.failure_count, 1);
            time_t at = store::link_start_retry_time(rw.settings.name, rw.failure_count);
            while (platform::now() < at)
                if (group->sleep(1000)) return;
        }
        std::optional<LinkSettings> fresh = current_settings(rw);
        if (!fresh) return;  // the worker restarts with the new link
        if (j > fresh->receiver_count) {
            frame::debug_trace(kWorkerTrace, "Stopping receiver");
            return;
        }
        rw.settings = std::move(*fresh);
    }
}

// "ThreadProcessSMPPReceiveAsyncQ": hands queued deliveries of the link to
// the receive callback.
void receive_queue_main(const std::string& name, support::EventHandle ev, GroupPtr group) {
    while (!group->stopping()) {
        live_sessions().receive_queued(name);
        if (ev)
            support::WaitForInterfaceEvent(ev, 5000);
        else
            group->sleep(100);
    }
}

// The helper threads a worker thread started, kept across its connection
// attempts and stopped when the worker leaves (shutdown, restart, end).
struct LinkThreads {
    std::string key;
    GroupPtr receiver, receive_queue;

    void stop_all() {
        for (GroupPtr* g : {&receiver, &receive_queue}) {
            if (!*g) continue;
            if (!(*g)->stop_and_wait(kGroupStopWaitMs))
                frame::debug_tracef(kWorkerTrace, "Debug:  %u link threads still running",
                                    (*g)->running());
            g->reset();
        }
        key.clear();
    }
    ~LinkThreads() { stop_all(); }
};
thread_local LinkThreads t_link_threads;

void ensure_link_threads(const WorkerState& w, bool separate_receiver, bool receive_queue) {
    const LinkSettings& s = w.settings;
    unsigned queue_threads = receive_queue ? callback_thread_count(s) : 0;
    std::string key = platform::strprintf("%u|%u|%d|%u|", w.link_index, w.thread_number,
                                          separate_receiver ? 1 : 0, queue_threads) +
                      s.name;
    LinkThreads& lt = t_link_threads;
    if (lt.key == key) return;
    lt.stop_all();
    lt.key = key;
    if (separate_receiver) {
        lt.receiver = std::make_shared<ThreadGroup>();
        unsigned index = w.link_index, j = w.thread_number;
        LinkSettings copy = s;
        GroupPtr g = lt.receiver;
        g->launch("ThreadProcessSMPPReceive",
                  [index, j, copy, g]() mutable { receiver_main(index, j, std::move(copy), g); });
    }
    if (queue_threads) {
        lt.receive_queue = std::make_shared<ThreadGroup>();
        GroupPtr g = lt.receive_queue;
        support::EventHandle ev = support::CreateEventForInterface("SmppReceiveAsync", s.name);
        if (ev) g->add_wake_event(ev);
        for (unsigned i = 0; i < queue_threads; ++i) {
            std::string name = s.name;
            g->launch("ThreadProcessSMPPReceiveAsyncQ",
                      [name, ev, g] { receive_queue_main(name, ev, g); });
        }
        g->wait_first_start(kFirstStartWaitMs);
    }
}

// ---- sessions ----------------------------------------------------------------------------

bool throttle_status(uint32_t st, bool throttle_for_qfull) {
    return st == uint32_t(kSmppThrottled) || (throttle_for_qfull && st == uint32_t(kSmppQueueFull));
}

// What a session keeps of the link settings: the worker may reload its
// settings while helper threads classify.
struct SessionConfig {
    std::string name;
    std::string route_name;
    std::string validity;
    ErrorCodeList reject, qfull;
    uint32_t throttle_delay_s = 5;
    bool throttle_for_qfull = false;
    bool restart_after_throttle = false;
    unsigned window = 0;

    explicit SessionConfig(const LinkSettings& s)
        : name(s.name),
          route_name(s.route_name),
          validity(s.validity),
          reject(s.reject_codes),
          qfull(s.qfull_codes),
          throttle_delay_s(s.throttle_error_delay_s),
          throttle_for_qfull(s.throttle_for_qfull),
          restart_after_throttle(s.restart_q_after_throttle_error),
          window(s.window_size) {}
};

// The engine calls on one bound connection that both session kinds make;
// each session holds one.
class SmppChannel {
  public:
    SmppChannel(WorkerState& w, SmppConnection& c) : w(w), c(c), cfg(w.settings) {
        w.pacer.set_interval_ms(w.settings.send_limit_ms);
        service_ = [this] { return service_once(); };
        stop_ = [this] { return must_stop(this->w); };
    }

    bool enquire_link() {
        bool ok = c.session->enquire_link() == 0;
        if (ok) w.last_activity_ms.store(now_ms());
        return ok;
    }
    bool link_ok() { return c.session->usable(); }
    void yield(bool wait) {
        if (!c.session->yield(wait)) w.connection_error.store(true);
    }
    store::ErrorClass classify(int64_t code) const {
        return classify_smpp(code, cfg.reject, cfg.qfull);
    }
    bool queue_full(int64_t code) const { return smpp_queue_full(code, cfg.qfull); }

    // One round of keeping the session serviced while waiting; false when
    // the link was lost.
    bool service_once() { return c.session->yield(false) && c.session->usable(); }
    // Send limit and gateway-wide throttle.
    bool pace() { return w.pacer.wait(service_, stop_); }

    WorkerState& w;
    SmppConnection& c;
    const SessionConfig cfg;

  private:
    std::function<bool()> service_, stop_;
};

// Submits one message at a time and waits for each response.
class SmppSyncSession final : public LinkSession {
  public:
    SmppSyncSession(WorkerState& w, SmppConnection& c) : ch_(w, c) {}

    bool enquire_link() override { return ch_.enquire_link(); }
    bool link_ok() override { return ch_.link_ok(); }
    void yield(bool wait) override { ch_.yield(wait); }
    store::ErrorClass classify(int64_t code) const override { return ch_.classify(code); }
    bool queue_full(int64_t code) const override { return ch_.queue_full(code); }
    bool enquire_after_failure() const override { return true; }
    WindowedSubmit* windowed() override { return nullptr; }

    SubmitResult submit(const OutboundMessage& m) override {
        SubmitResult r;
        static const store::SmsMessage kEmpty;
        const store::SmsMessage& msg = m.msg ? *m.msg : kEmpty;
        const common::SubmitRecord record = smpp_submit_record(m, msg, cfg_.validity);
        // A wait cut short (link lost, stopping) still submits: a lost link
        // answers at once, and a message must not count a retry it never had.
        ch_.pace();
        for (unsigned attempt = 1;; ++attempt) {
            uint32_t st = c_.session->submit(record, r.smsc_id);
            r.code = smpp_status_code(st);
            r.not_encodable = c_.session->refused_locally();
            if (st == 0) {
                r.error_text.clear();
                w_.last_activity_ms.store(now_ms());
                return r;
            }
            r.error_text = smpp::SMPPErrorText(st);
            if (!throttle_status(st, cfg_.throttle_for_qfull)) break;
            if (attempt == kThrottleAttempts) {
                if (cfg_.restart_after_throttle) r.end_pass = true;
                break;
            }
            if (cfg_.throttle_delay_s > 0 && !throttle_wait(cfg_.throttle_delay_s * 1000u)) {
                if (cfg_.restart_after_throttle) r.end_pass = true;
                break;
            }
            std::string status = "Retry Pending - " +
                                 (r.error_text.empty() ? std::string("ERROR") : r.error_text) +
                                 " -- " + cfg_.name;
            records::write_outbound_log(m.message_id, msg.submitted_by, m.recipient, status,
                                        store::log_content(msg), msg.submit_user, "", m.sender,
                                        cfg_.route_name);
            if (store::AccountingHook hook = store::accounting_hook())
                hook(msg, m.message_id, status, cfg_.name);
        }
        if (!link_ok()) w_.connection_error.store(true);
        return r;
    }

  private:
    // Waits ms while servicing the session every millisecond; false when
    // the link was lost or the worker must stop.
    bool throttle_wait(unsigned ms) {
        uint64_t end = now_ms() + ms;
        while (now_ms() < end) {
            if (must_stop(w_) || !ch_.service_once()) return false;
            platform::sleep_ms(1);
        }
        return true;
    }

    SmppChannel ch_;
    WorkerState& w_ = ch_.w;
    SmppConnection& c_ = ch_.c;
    const SessionConfig& cfg_ = ch_.cfg;
};

// ---- asynchronous (windowed) submission ----------------------------------------------------

// One pending submit: the claimed message and the engine's part.
struct AsyncRecord {
    std::unique_ptr<ClaimedMessage> msg;
    smpp::SMPPAsyncSubmit sub;
    bool not_encodable = false;  // refused by the engine before sending
};

// The kind's process-wide state: the pending lists of every link share
// one lock, and their total is kept for diagnostics.
struct SmppState {
    std::mutex async_mu;
    size_t async_total = 0;  // guarded by async_mu
};

SmppState& state() {
    // Never destroyed: helper threads may outlive main.
    static SmppState* s = new SmppState;
    return *s;
}

// The part of an asynchronous session the helper threads share.
struct AsyncCore {
    std::deque<std::unique_ptr<AsyncRecord>> pending;  // submit order, state().async_mu
    std::atomic<size_t> depth{0};                      // pending.size(), for quick reads
    std::atomic<bool> throttled{false};
    frame::WakeEvent window_event;  // a record left the window
    support::EventHandle submit_event;
    ThrottleResubmitList resubmits;
};

class SmppAsyncSession final : public LinkSession, public WindowedSubmit {
  public:
    SmppAsyncSession(WorkerState& w, SmppConnection& c)
        : ch_(w, c), core_(std::make_shared<AsyncCore>()) {
        core_->submit_event = support::CreateEventForInterface("SmppSubmitAsync", cfg_.name);
        const frame::GlobalSettings& gs = frame::settings();
        use_helpers_ = gs.smpp_submit_async_helper_thread;
        debug_window_ = gs.debug || gs.debug_async_smpp;
        debug_ = gs.debug;
    }
    ~SmppAsyncSession() override { end(); }

    void start() {
        if (!use_helpers_) return;
        helpers_ = std::make_shared<ThreadGroup>();
        if (core_->submit_event) helpers_->add_wake_event(core_->submit_event);
        unsigned n = callback_thread_count(w_.settings);
        for (unsigned i = 0; i < n; ++i) {
            GroupPtr g = helpers_;
            helpers_->launch("ThreadSmppSubmitAsyncHelper", [this, g] { helper_main(*g); });
        }
        if (!helpers_->wait_first_start(kFirstStartWaitMs)) {
            // Without a running helper the worker processes the answers itself.
            helpers_->stop_and_wait(kGroupStopWaitMs);
            helpers_.reset();
            use_helpers_ = false;
        }
    }

    // Session end, in this order: helpers stopped, the connection closed
    // (an unbind still reads answers that were on their way), the answered
    // records processed, and the unanswered ones released: their files stay
    // queued for the next pass.
    void end() {
        drain_window();
        stop_helpers();
        c_.close(!w_.connection_error.load() && c_.bound && link_ok());
        process_completed(SIZE_MAX);
        std::deque<std::unique_ptr<AsyncRecord>> left;
        {
            std::lock_guard lk(state().async_mu);
            left.swap(core_->pending);
            state().async_total -= left.size();
            core_->depth.store(0);
        }
        if (!left.empty())
            frame::debug_tracef("SMPPSubmitAsyncQ", "Debug:  %u unanswered submits left queued",
                                unsigned(left.size()));
    }

    store::ErrorClass classify(int64_t code) const override { return ch_.classify(code); }
    bool queue_full(int64_t code) const override { return ch_.queue_full(code); }
    bool enquire_after_failure() const override { return true; }
    WindowedSubmit* windowed() override { return this; }

    bool enquire_link() override {
        bool had_error = w_.connection_error.load();
        bool ok = ch_.enquire_link();
        if (had_error)
            info(ok ? "Info -- SMPP Connection Error denied by SMPPEnquireLink"
                    : "Info -- SMPP Connection Error confirmed by SMPPEnquireLink");
        else if (!ok)
            info("Info -- SMPP Connection Error reported by SMPPEnquireLink");
        return ok;
    }

    bool link_ok() override {
        if (ch_.link_ok()) return true;
        info("Info -- SMPP Connection Error reported by SMPPCheckLinkStatus");
        return false;
    }

    void yield(bool wait) override {
        ch_.yield(wait);
        if (!use_helpers_) process_completed(SIZE_MAX);
    }

    std::vector<std::pair<std::string, unsigned>> take_resubmits() override {
        return core_->resubmits.take_all();
    }

    // The pass hands claimed messages to submit_async; a message it has to
    // send on its own goes out synchronously on the same connection.
    SubmitResult submit(const OutboundMessage& m) override {
        SubmitResult r;
        static const store::SmsMessage kEmpty;
        const store::SmsMessage& msg = m.msg ? *m.msg : kEmpty;
        ch_.pace();
        uint32_t st = c_.session->submit(smpp_submit_record(m, msg, cfg_.validity), r.smsc_id);
        r.code = smpp_status_code(st);
        r.not_encodable = c_.session->refused_locally();
        if (st != 0) r.error_text = smpp::SMPPErrorText(st);
        return r;
    }

    bool before_submit() override {
        AsyncCore& k = *core_;
        if (k.throttled.load() && cfg_.throttle_delay_s > 0) {
            uint64_t end = now_ms() + cfg_.throttle_delay_s * 1000ull;
            while (k.throttled.load() && now_ms() < end) {
                if (must_stop(w_)) return false;
                if (!yield_checked(1)) return false;
                if (!use_helpers_) process_completed(SIZE_MAX);
                k.window_event.wait(1);
            }
            k.throttled.store(false);
            if (cfg_.restart_after_throttle) return false;
        }
        const size_t window = cfg_.window;
        if (k.depth.load() * 4 >= window * 3 && !yield_checked(2)) return false;
        if (k.depth.load() >= window) {
            uint64_t start = now_ms();
            while (k.depth.load() >= window) {
                if (must_stop(w_)) return false;
                if (!yield_checked(3)) return false;
                if (use_helpers_) {
                    support::SetInterfaceEvent(k.submit_event);
                } else {
                    process_completed(2);
                }
                if (!link_ok()) {
                    w_.connection_error.store(true);
                    return false;
                }
                if (k.depth.load() < window) break;
                k.window_event.wait(1);
            }
            if (debug_window_) {
                std::string text =
                    platform::strprintf("Info -- %u ms wait time for SMPP window size %u",
                                        unsigned(now_ms() - start), unsigned(window));
                log_system_line(w_, text);
                frame::debug_trace(kWorkerTrace, text);
            }
        }
        if (!ch_.pace()) {
            w_.connection_error.store(true);
            return false;
        }
        return true;
    }

    void submit_async(std::unique_ptr<ClaimedMessage> m) override {
        if (!m) return;
        auto rec = std::make_unique<AsyncRecord>();
        rec->msg = std::move(m);
        const OutboundMessage& o = rec->msg->out;
        const store::SmsMessage& msg = o.msg ? *o.msg : rec->msg->msg;
        uint32_t st = c_.session->submit_async(smpp_submit_record(o, msg, cfg_.validity), rec->sub);
        if (st != 0) {
            // Answered at once: the engine keeps no reference to the record.
            rec->not_encodable = c_.session->refused_locally();
            rec->sub.status.store(st);
            rec->sub.response_received.store(true, std::memory_order_release);
        } else {
            w_.last_activity_ms.store(now_ms());
        }
        size_t depth;
        {
            std::lock_guard lk(state().async_mu);
            core_->pending.push_back(std::move(rec));
            depth = core_->pending.size();
            core_->depth.store(depth);
            ++state().async_total;
        }
        if (debug_) frame::debug_tracef("SMPPSubmitAsyncQ", "Depth %u", unsigned(depth));
        if (st != 0) {
            if (use_helpers_) support::SetInterfaceEvent(core_->submit_event);
            if (!link_ok()) w_.connection_error.store(true);
        }
    }

  private:
    void info(const char* text) { frame::debug_trace(kWorkerTrace, text); }

    // A clean end (shutdown, restart, settings change) first waits, bounded,
    // for the answers to what is in the window: the SMSC has most of those
    // messages already, and releasing them unanswered would send them again
    // after every routine restart.
    void drain_window() {
        if (w_.connection_error.load() || !c_.bound || core_->depth.load() == 0) return;
        const uint64_t limit_ms =
            std::min<uint64_t>(uint64_t(std::max(1u, w_.settings.command_timeout_s)) * 1000, 10000);
        const uint64_t deadline = now_ms() + limit_ms;
        while (core_->depth.load() > 0 && now_ms() < deadline) {
            if (!yield_checked(4) || !ch_.link_ok()) break;
            process_completed(SIZE_MAX);
            if (core_->depth.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool yield_checked(int site) {
        if (c_.session->yield(false)) return true;
        frame::debug_tracef(kWorkerTrace, "Info -- SMPP Connection Error reported by SMPPYield %d",
                            site);
        w_.connection_error.store(true);
        return false;
    }

    void stop_helpers() {
        if (!helpers_) return;
        if (!helpers_->stop_and_wait(kGroupStopWaitMs)) {
            // They hold records and this session: never leave them behind.
            frame::debug_trace("ThreadSmppSubmitAsyncHelper",
                               "Debug:  waiting for helper threads to finish");
            while (!helpers_->stop_and_wait(1000)) {
            }
        }
        helpers_.reset();
    }

    void helper_main(ThreadGroup& g) {
        frame::debug_trace("ThreadSmppSubmitAsyncHelper", "Start Thread");
        while (!g.stopping()) {
            process_completed(SIZE_MAX, &g);
            if (g.stopping()) break;
            support::WaitForInterfaceEvent(core_->submit_event, core_->depth.load() ? 1000 : 5000);
        }
        frame::debug_trace("ThreadSmppSubmitAsyncHelper", "End Thread");
    }

    // "CheckSmppSubmitAsyncQ": up to max answered records, oldest first.
    size_t process_completed(size_t max, ThreadGroup* g = nullptr) {
        size_t done = 0;
        AsyncCore& k = *core_;
        while (done < max && !(g && g->stopping())) {
            std::unique_ptr<AsyncRecord> rec;
            size_t depth = 0;
            {
                std::lock_guard lk(state().async_mu);
                auto& q = k.pending;
                // Answers come in order as a rule, so this stops at the front.
                auto it = std::find_if(q.begin(), q.end(), [](const auto& r) {
                    return r->sub.response_received.load(std::memory_order_acquire);
                });
                if (it == q.end()) break;
                rec = std::move(*it);
                if (it == q.begin())
                    q.pop_front();
                else
                    q.erase(it);
                depth = q.size();
                k.depth.store(depth);
                --state().async_total;
            }
            k.window_event.set();
            if (debug_) frame::debug_tracef("CheckSmppSubmitAsyncQ", "Depth %u", unsigned(depth));
            complete(*rec);
            ++done;
        }
        return done;
    }

    void complete(AsyncRecord& rec) {
        AsyncCore& k = *core_;
        uint32_t st = rec.sub.status.load(std::memory_order_relaxed);
        SubmitResult r;
        r.code = smpp_status_code(st);
        r.not_encodable = rec.not_encodable;
        bool throttle = false;
        if (st == 0) {
            r.smsc_id = rec.sub.smsc_message_id;
        } else {
            r.error_text = smpp::SMPPErrorText(st);
            throttle = throttle_status(st, cfg_.throttle_for_qfull);
            if (throttle)
                k.throttled.store(true);
            else if (!smpp_queue_full(r.code, cfg_.qfull))
                k.throttled.store(false);
        }
        ClaimedMessage& m = *rec.msg;
        finish_message(w_, *this, m, r);
        if (throttle)
            k.resubmits.add(m.path, m.throttle_resubmits);
        else if (st == 0)
            k.resubmits.forget(m.path);
        rec.msg.reset();  // closes the file, releases a segment lock
    }

    SmppChannel ch_;
    WorkerState& w_ = ch_.w;
    SmppConnection& c_ = ch_.c;
    const SessionConfig& cfg_ = ch_.cfg;
    std::shared_ptr<AsyncCore> core_;
    GroupPtr helpers_;
    bool use_helpers_ = true;
    bool debug_window_ = false;
    bool debug_ = false;
};

}  // namespace

// ---- public helpers -------------------------------------------------------------------------

std::string smpp_option_text(const store::SmsMessage& msg, std::string_view default_validity) {
    std::string_view own = msg.smpp_options;
    // A stored list may end in a separator; it would leave an empty item.
    while (!own.empty() && (own.back() == ' ' || own.back() == ';')) own.remove_suffix(1);
    std::string out(own);
    auto add = [&out](std::string_view key, std::string_view value) {
        if (value.empty()) return;
        if (!out.empty()) out += "; ";
        out += key;
        out += value;
    };
    add("LocalUser=", msg.submit_user);
    add("ServiceType=", msg.service_type);
    add("Validity=", msg.validity.empty() ? default_validity : std::string_view(msg.validity));
    return out;
}

common::SubmitRecord smpp_submit_record(const OutboundMessage& m, const store::SmsMessage& msg,
                                        std::string_view default_validity) {
    common::SubmitRecord r;
    r.sender = m.sender;
    r.recipient = m.recipient;
    r.pid = msg.pid;
    r.dcs = msg.dcs;
    r.udh_hex = m.udh;
    r.data = m.data;
    r.flags = m.flags;
    r.binary = m.binary;
    r.reference = m.message_id;
    r.local_user = msg.submit_user;
    // The message's own list is stored as "name=value; name=value" text.
    r.options = common::parse_option_text(msg.smpp_options);
    auto add = [&r](const char* name, std::string_view value) {
        if (!value.empty()) r.options.emplace_back(name, std::string(value));
    };
    add("LocalUser", msg.submit_user);
    add("ServiceType", msg.service_type);
    add("Validity", msg.validity.empty() ? default_validity : std::string_view(msg.validity));
    return r;
}

int64_t smpp_status_code(uint32_t engine_code) {
    if (engine_code >= 0xFFFFFFFDu) return int64_t(int32_t(engine_code));
    return int64_t(engine_code);
}

bool smpp_thread_beyond_counts(const LinkSettings& s, unsigned thread_number) {
    return thread_number > std::max(s.transmitter_count, s.receiver_count);
}

void stop_smpp_link_threads() {
    t_link_threads.stop_all();
}

size_t smpp_async_pending_total() {
    std::lock_guard lk(state().async_mu);
    return state().async_total;
}

// ---- the cycle ---------------------------------------------------------------------------------

void run_smpp_cycle(WorkerState& w) {
    const LinkSettings& s = w.settings;
    const unsigned j = w.thread_number;
    if (smpp_thread_beyond_counts(s, j)) {
        frame::debug_trace(kWorkerTrace, "Stopping transmitter");
        stop_smpp_link_threads();
        w.end_thread = true;  // the per-minute rescan starts it again if the counts grow
        return;
    }
    const bool transceiver = s.receive_single_connection;
    const bool receive_only = !transceiver && j > s.transmitter_count;
    const bool separate_receiver = !transceiver && !receive_only && j <= s.receiver_count;
    if (receive_only) frame::debug_trace(kWorkerTrace, "Receive only connection");
    ensure_link_threads(w, separate_receiver, s.window_size > 0);

    const int mode = receive_only  ? kBindReceiver
                     : transceiver ? kBindTransceiver
                                   : kBindTransmitter;
    SmppConnection c;
    if (connect_attempt(w, false, mode, c)) {
        w.connection_error.store(false);
        if (receive_only) {
            ReceiveEnd end = receive_session(w, c, nullptr);
            c.close(end != ReceiveEnd::Lost && !w.connection_error.load());
        } else if (s.window_size > 0 && !(s.wdp_adaptation && !s.use_tlv)) {
            SmppAsyncSession session(w, c);
            session.start();
            serve_queue(w, session);
            session.end();
        } else {
            SmppSyncSession session(w, c);
            serve_queue(w, session);
            c.close(!w.connection_error.load() && session.link_ok());
        }
    }
    if (must_stop(w)) stop_smpp_link_threads();
}

void apply_smpp_debug_mode(bool debug, bool no_debug_protocol) {
    smpp::SMPPSetDebugMode(debug && !no_debug_protocol ? 1 : 0);
}

void register_smpp_link_kind() {
    install_smpp_receive();
    register_engine_debug_duties("SMPPSetDebugMode", smpp::SMPPSetDebugMode);
    LinkKindEntry e;
    e.kind = LinkKind::Smpp;
    e.reload_tag = "CheckReloadSmppSet";
    e.run_cycle = run_smpp_cycle;
    e.reset_for_tests = [] {
        std::lock_guard lk(state().async_mu);
        state().async_total = 0;
    };
    register_link_kind(e);
}

}  // namespace links
