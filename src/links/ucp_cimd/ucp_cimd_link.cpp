// UCP/EMI and CIMD2 links: one connection per worker thread, logged in with
// the link's user name, no unbind; the SMSC's own connections to the link's
// receive port are served by a listener thread per link.
#include "links/ucp_cimd/ucp_cimd_link.h"

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/ucp_cimd/ucp_cimd_receive.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "protocols/cimd/cimd.h"
#include "protocols/ucp/ucp.h"

namespace links {

namespace ucp = protocols::ucp;
namespace cimd = protocols::cimd;

namespace {

constexpr int kListenBacklog = 100;
// A listener looks at shutdown and its stop flag this often while it waits
// for a connection, and asks whether its link is still wanted about once a
// second.
constexpr unsigned kAcceptSliceMs = 250;
constexpr unsigned kWantedCheckMs = 1000;

// The operations of one kind on the SMSC's own connections, so that both
// listeners share their steps.
struct Engine {
    int (*check)(int fd, std::string_view link);
    void (*yield)(int fd, std::string_view link, int wait);
    void (*attach)(int fd, std::string_view link);
    void (*release)(int fd);
    const char* (*error_text)(int code);
};

const Engine kUcpEngine{
    [](int fd, std::string_view link) { return ucp::UCPCheckLinkStatus(fd, link); },
    [](int fd, std::string_view link, int wait) { ucp::UCPYield(fd, link, wait); },
    [](int fd, std::string_view link) { ucp::UCPAttachInbound(fd, link); },
    [](int fd) { ucp::UCPReleaseSession(fd); },
    [](int code) { return ucp::UCPErrorText(code); },
};

const Engine kCimdEngine{
    [](int fd, std::string_view link) { return cimd::CIMDCheckLinkStatus(link, fd); },
    [](int fd, std::string_view link, int wait) { cimd::CIMDYield(link, fd, wait); },
    [](int fd, std::string_view link) { cimd::CIMDAttachInbound(link, fd); },
    [](int fd) { cimd::CIMDReleaseSession(fd); },
    [](int code) { return cimd::CIMDErrorText(code); },
};

const Engine& engine(UcpCimdKind kind) {
    return kind == UcpCimdKind::Ucp ? kUcpEngine : kCimdEngine;
}

const char* text_or_empty(const char* s) {
    return s ? s : "";
}

// IPv6 when the address given is one; IPv4 otherwise.
int family_for(std::string_view address) {
    return address.find(':') != std::string_view::npos ? AF_INET6 : AF_INET;
}

}  // namespace

std::string_view kind_word(UcpCimdKind kind) {
    return kind == UcpCimdKind::Ucp ? "UCP" : "CIMD";
}

std::string ucp_cimd_option_text(const OutboundMessage& m) {
    std::string text;
    auto add = [&](std::string_view key, std::string_view value) {
        if (value.empty()) return;
        if (!text.empty()) text += "; ";
        text += key;
        text += value;
    };
    if (m.msg) {
        add("BillingInfo=", m.msg->billing_info);
        add("LocalUser=", m.msg->submit_user);
    }
    add("OurMsgId=", m.message_id);
    return text;
}

protocols::common::SubmitRecord ucp_cimd_submit_record(const OutboundMessage& m) {
    protocols::common::SubmitRecord r;
    r.sender = m.sender;
    r.recipient = m.recipient;
    r.udh_hex = m.udh;
    r.data = m.data;
    r.flags = m.flags;
    r.binary = m.binary;
    r.reference = m.message_id;
    if (m.msg) {
        r.pid = m.msg->pid;
        r.dcs = m.msg->dcs;
        r.local_user = m.msg->submit_user;
        if (!m.msg->billing_info.empty())
            r.options.emplace_back("BillingInfo", m.msg->billing_info);
    }
    return r;
}

namespace {
// The SMSC's own connections log in with the link's credentials.
template <class Options>
Options link_options(const LinkSettings& s) {
    Options opt;
    opt.command_timeout_s = s.command_timeout_s;
    opt.inbound_user = s.user_name;
    opt.inbound_password = s.password;
    opt.inbound_login_required = !s.user_name.empty();
    return opt;
}
}  // namespace

void set_ucp_cimd_link_options(UcpCimdKind kind, const LinkSettings& s) {
    if (kind == UcpCimdKind::Ucp)
        ucp::UCPSetLinkOptions(s.name, link_options<ucp::LinkOptions>(s));
    else
        cimd::CIMDSetLinkOptions(s.name, link_options<cimd::LinkOptions>(s));
}

// --- the session -------------------------------------------------------------------------

UcpCimdSession::UcpCimdSession(UcpCimdKind kind, WorkerState& w, const LinkAttempt& up)
    : kind_(kind), w_(w), ucp_(up.ucp), cimd_(up.cimd) {}

SubmitResult UcpCimdSession::submit(const OutboundMessage& m) {
    // The session is kept serviced while the send limit holds the submit back,
    // so that deliveries and notifications are answered meanwhile. A link lost
    // during the wait is reported by the submit itself.
    w_.pacer.wait(
        [this] {
            yield(false);
            return link_ok();
        },
        [this] { return must_stop(w_); });

    const protocols::common::SubmitRecord record = ucp_cimd_submit_record(m);
    SubmitResult r;
    if (ucp_) {
        r.code = ucp_->submit(record, &r.smsc_id);
        r.not_encodable = ucp_->refused_locally();
    } else if (cimd_) {
        r.code = cimd_->submit(record, &r.smsc_id);
        r.not_encodable = cimd_->refused_locally();
    } else {
        r.code = kind_ == UcpCimdKind::Ucp ? ucp::UCP_ERR_STATE : cimd::CIMD_ERR_STATE;
    }
    if (r.code != 0) {
        r.error_text = text_or_empty(engine(kind_).error_text(r.code));
        r.smsc_id.clear();
    }
    return r;
}

bool UcpCimdSession::enquire_link() {
    if (ucp_) return ucp_->enquire_link(w_.settings.user_name) == 0;
    return cimd_ && cimd_->enquire_link() == 0;
}

bool UcpCimdSession::link_ok() {
    if (ucp_) return ucp_->usable();
    return cimd_ && cimd_->usable();
}

void UcpCimdSession::yield(bool wait) {
    if (ucp_)
        ucp_->yield(wait);
    else if (cimd_)
        cimd_->yield(wait);
}

store::ErrorClass UcpCimdSession::classify(int64_t code) const {
    return classify_ucp_cimd(code, w_.settings.reject_codes);
}

// --- the connection cycle -------------------------------------------------------------------

LinkAttempt open_ucp_cimd_link(WorkerState& w, UcpCimdKind kind) {
    const LinkSettings& s = w.settings;
    const Engine& e = engine(kind);
    const std::string word(kind_word(kind));
    LinkAttempt a;

    int family = family_for(s.bind_ip.empty() ? s.address.host : s.bind_ip);
    platform::Socket sock = platform::tcp_socket(family);
    if (!sock) {
        a.failure = word + " Failure -- General Socket Error";
        return a;
    }
    if (!s.bind_ip.empty() || s.local_port != 0) {
        if (!platform::bind_local(sock.fd(), family, s.bind_ip, s.local_port)) {
            a.failure = platform::strprintf("%s Failure -- Unable to bind to local %s port %u",
                                            word.c_str(), word.c_str(), s.local_port);
            return a;
        }
        if (s.local_port != 0)
            frame::debug_tracef(kWorkerTrace, "Debug:  %s local port bound to %u", word.c_str(),
                                s.local_port);
    }
    if (!may_connect(w)) return a;

    // The engine session of the link's kind; a failed one is simply dropped.
    int code = 0;
    bool connected = false;
    if (kind == UcpCimdKind::Ucp) {
        ucp::Session session(sock.fd(), s.name, link_options<ucp::LinkOptions>(s));
        connected = session.connect(s.address.host, s.address.port) == 0;
        if (connected) code = session.bind(s.user_name, s.password);
        if (connected && code == 0) a.ucp = session;
    } else {
        cimd::Session session(sock.fd(), s.name, link_options<cimd::LinkOptions>(s));
        connected = session.connect(s.address.host, s.address.port) == 0;
        if (connected) code = session.bind(s.user_name, s.password);
        if (connected && code == 0) a.cimd = session;
    }
    if (!connected) {
        a.failure =
            platform::strprintf("%s Failure -- Unable to connect to %s server at %s:%u",
                                word.c_str(), word.c_str(), s.address.host.c_str(), s.address.port);
        return a;
    }
    if (code != 0) {
        a.failure = platform::strprintf(
            "%s Failure -- Unable to login to %s server with specified parameters:  %s",
            word.c_str(), word.c_str(), text_or_empty(e.error_text(code)));
        return a;
    }
    a.socket = std::move(sock);
    return a;
}

namespace {

void run_cycle(WorkerState& w, UcpCimdKind kind) {
    const LinkSettings& s = w.settings;
    set_ucp_cimd_link_options(kind, s);

    if (s.receive && s.receive_port != 0) {
        const unsigned index = w.link_index;
        const std::string name = s.name;
        ensure_inbound_listener(kind, name, s.bind_ip, s.receive_port,
                                [index, name] { return link_name_at(index) == name; });
    } else {
        // Receive switched off or the port removed since the listener started.
        stop_inbound_listener(s.name, 0);
    }

    LinkAttempt a = open_ucp_cimd_link(w, kind);
    if (!a.socket) {
        if (!a.failure.empty()) connection_failure(w, a.failure);
        return;
    }
    connection_up(w, kind_word(kind));
    UcpCimdSession session(kind, w, a);
    serve_queue(w, session);
    // No unbind: the socket is closed and the engine session goes with the
    // last copy of it.
    a.socket.close();
}

}  // namespace

void run_ucp_cycle(WorkerState& w) {
    run_cycle(w, UcpCimdKind::Ucp);
}
void run_cimd_cycle(WorkerState& w) {
    run_cycle(w, UcpCimdKind::Cimd);
}

namespace {
void reset_ucp_cimd_state();
}  // namespace

void register_ucp_cimd_link_kinds() {
    install_ucp_cimd_receive();
    register_engine_debug_duties("UCPSetDebugMode", ucp::UCPSetDebugMode);
    register_engine_debug_duties("CIMDSetDebugMode", cimd::CIMDSetDebugMode);
    LinkKindEntry e;
    e.kind = LinkKind::Ucp;
    e.reload_tag = "CheckReloadUcpSet";
    e.run_cycle = run_ucp_cycle;
    e.reset_for_tests = reset_ucp_cimd_state;
    register_link_kind(e);
    e.kind = LinkKind::Cimd;
    e.reload_tag = "CheckReloadCimdSet";
    e.run_cycle = run_cimd_cycle;
    register_link_kind(e);
}

// --- inbound listeners -----------------------------------------------------------------------

namespace {

struct Listener {
    UcpCimdKind kind = UcpCimdKind::Ucp;
    std::string link, bind_ip;
    unsigned port = 0;
    std::function<bool()> still_wanted;

    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::atomic<unsigned> bound_port{0};
    std::mutex mu;
    std::condition_variable cv;
    unsigned connections = 0;  // under mu

    bool done() {
        std::lock_guard lk(mu);
        return !running && connections == 0;
    }
    void left() { cv.notify_all(); }
    bool wait_done(unsigned ms) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms),
                           [this] { return !running && connections == 0; });
    }
    bool ending() const { return stop || frame::shutdown_requested(); }
};

// The kind's process-wide state: the listeners by link name.
struct UcpCimdState {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<Listener>> listeners;
    // Each inbound connection holds a thread; a peer that opens connection
    // after connection must not be able to exhaust them.
    std::atomic<unsigned> connection_limit{kMaxInboundConnections};
};

UcpCimdState& state() {
    // Never destroyed: listener threads may outlive main.
    static UcpCimdState* s = new UcpCimdState;
    return *s;
}

std::shared_ptr<Listener> find_listener(const std::string& link) {
    std::lock_guard lk(state().mu);
    auto it = state().listeners.find(link);
    return it == state().listeners.end() ? nullptr : it->second;
}

void serve_connection(const std::shared_ptr<Listener>& l, platform::Socket sock,
                      const std::string& peer) {
    const Engine& e = engine(l->kind);
    const std::string word(kind_word(l->kind));
    const std::string tag = "ThreadProcess" + word + "ReceiveConnection";
    frame::debug_tracef(tag, "Processing %s connection from %s...\n", word.c_str(), peer.c_str());
    e.attach(sock.fd(), l->link);
    while (!l->ending() && e.check(sock.fd(), "") != 0) e.yield(sock.fd(), "", 1);
    e.release(sock.fd());
    sock.close();
    frame::debug_trace(tag, "Releasing Connection");
}

void run_listener(const std::shared_ptr<Listener>& l) {
    const std::string word(kind_word(l->kind));
    const std::string tag = "ThreadProcess" + word + "Receive";
    struct Leave {
        Listener& l;
        ~Leave() {
            l.bound_port = 0;
            {
                std::lock_guard lk(l.mu);
                l.running = false;
            }
            l.left();
        }
    } leave{*l};

    int family = family_for(l->bind_ip);
    platform::Socket listener = platform::tcp_socket(family);
    if (!listener) {
        frame::debug_tracef(tag, "%s Receive Failure -- General Socket Error", word.c_str());
        return;
    }
    if (!platform::bind_local(listener.fd(), family, l->bind_ip, l->port)) {
        frame::debug_tracef(tag, "%s Receive Failure -- Socket Bind Error", word.c_str());
        return;
    }
    if (!platform::listen_on(listener.fd(), kListenBacklog)) {
        frame::debug_tracef(tag, "%s Receive Failure -- Socket listen Error", word.c_str());
        return;
    }
    l->bound_port = platform::local_port(listener.fd());
    frame::debug_tracef(tag, "%s Receive started on port %u", word.c_str(), l->bound_port.load());

    uint64_t last_check = platform::monotonic_ms();
    while (!l->ending()) {
        if (platform::monotonic_ms() - last_check >= kWantedCheckMs) {
            last_check = platform::monotonic_ms();
            if (l->still_wanted && !l->still_wanted()) {
                l->stop = true;  // the link's connections end with it
                break;
            }
        }
        int r = platform::wait_readable(listener.fd(), kAcceptSliceMs);
        if (r == 0) continue;
        if (r < 0) {
            frame::debug_tracef(tag, "%s Receive Failure -- select error: %s", word.c_str(),
                                std::strerror(errno));
            break;
        }
        std::string peer;
        platform::Socket conn = platform::tcp_accept(listener, 0, &peer);
        if (!conn) continue;
        {
            std::lock_guard lk(l->mu);
            if (l->connections >= state().connection_limit.load()) {
                frame::debug_tracef(tag, "%s Receive Failure -- Too many connections, refusing %s",
                                    word.c_str(), peer.c_str());
                continue;  // conn closes here
            }
            ++l->connections;
        }
        auto shared = std::make_shared<platform::Socket>(std::move(conn));
        bool started = frame::start_thread(tag + "Connection", [l, shared, peer] {
            serve_connection(l, std::move(*shared), peer);
            {
                std::lock_guard lk(l->mu);
                --l->connections;
            }
            l->left();
        });
        if (!started) {
            frame::debug_trace(tag, "Error starting thread");
            shared->close();
            {
                std::lock_guard lk(l->mu);
                --l->connections;
            }
            l->left();
        }
    }
}

}  // namespace

bool ensure_inbound_listener(UcpCimdKind kind, const std::string& link_name,
                             const std::string& bind_ip, unsigned port,
                             std::function<bool()> still_wanted) {
    if (auto old = find_listener(link_name)) {
        if (!old->done() && !old->stop && old->kind == kind && old->bind_ip == bind_ip &&
            old->port == port)
            return true;
        stop_inbound_listener(link_name);
    }
    auto l = std::make_shared<Listener>();
    l->kind = kind;
    l->link = link_name;
    l->bind_ip = bind_ip;
    l->port = port;
    l->still_wanted = std::move(still_wanted);
    l->running = true;
    {
        std::lock_guard lk(state().mu);
        auto [it, fresh] = state().listeners.emplace(link_name, l);
        if (!fresh) {
            // Another worker thread of the link started one meanwhile.
            if (!it->second->done() && !it->second->stop) return true;
            it->second = l;
        }
    }
    const std::string tag = "ThreadProcess" + std::string(kind_word(kind)) + "Receive";
    if (!frame::start_thread(tag, [l] { run_listener(l); })) {
        {
            std::lock_guard lk(l->mu);
            l->running = false;
        }
        frame::debug_trace(tag, "Error starting thread");
        return false;
    }
    return true;
}

bool stop_inbound_listener(const std::string& link_name, unsigned wait_ms) {
    std::shared_ptr<Listener> l;
    {
        std::lock_guard lk(state().mu);
        auto it = state().listeners.find(link_name);
        if (it == state().listeners.end()) return true;
        l = it->second;
        state().listeners.erase(it);
    }
    l->stop = true;
    return l->wait_done(wait_ms);
}

void set_inbound_connection_limit_for_tests(unsigned limit) {
    state().connection_limit = limit ? limit : kMaxInboundConnections;
}

unsigned inbound_listener_port(const std::string& link_name) {
    auto l = find_listener(link_name);
    return l ? l->bound_port.load() : 0;
}

unsigned inbound_connection_count(const std::string& link_name) {
    auto l = find_listener(link_name);
    if (!l) return 0;
    std::lock_guard lk(l->mu);
    return l->connections;
}

namespace {

// Every listener stopped and the connection limit back to its default.
void reset_ucp_cimd_state() {
    std::vector<std::string> links;
    {
        std::lock_guard lk(state().mu);
        for (const auto& [name, l] : state().listeners) links.push_back(name);
    }
    for (const std::string& name : links) stop_inbound_listener(name);
    state().connection_limit = kMaxInboundConnections;
}

}  // namespace

}  // namespace links
