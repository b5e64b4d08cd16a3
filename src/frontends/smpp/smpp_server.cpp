// The SMPP server: listeners, sessions, login, revalidation and the
// delivery of the user queue to the client.
#include "frontends/smpp/smpp_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "frontends/http/http_request.h"
#include "frontends/http/user_cache.h"
#include "frontends/smpp/smpp_delivery.h"
#include "frontends/smpp/smpp_submit.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/smpp/smpp.h"
#include "support/accounts.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/tls.h"

namespace frontends::smpp {

namespace psmpp = protocols::smpp;

namespace {

constexpr const char* kSessionTag = "InternalProcessSMPPConnection";
constexpr unsigned kAcceptWaitMs = 15000;
constexpr unsigned kPollSliceMs = 250;
constexpr unsigned kRetryMs = 5000;
constexpr int kBacklog = 100;
constexpr unsigned kTlsHandshakeMs = 30000;
constexpr unsigned kIdleWalkMs = 250;

// --- process-wide state ----------------------------------------------------

// A bound session as the activity callback and the throttle see it.
struct Active {
    std::atomic<uint64_t> last_activity_ms{0};
    std::atomic<bool> terminate{false};
};

struct ServerState {
    std::mutex lock;  // connections, per_address, active
    unsigned connections = 0;
    std::map<std::string, unsigned> per_address;
    std::unordered_map<int, std::shared_ptr<Active>> active;
    std::atomic<unsigned> failed_logins{0};

    std::mutex throttle_lock;  // submission windows per account (lower case)
    struct Window {
        uint64_t start_ms = 0;
        unsigned count = 0;
    };
    std::map<std::string, Window> windows;
};

ServerState& st() {
    static ServerState s;
    return s;
}

uint64_t now_ms() {
    return platform::monotonic_ms();
}

// The session whose thread is running a receive callback.
struct SessionCtx {
    Submitter who;
    Throttle throttle;
};
thread_local SessionCtx* t_current = nullptr;

// Per-account submissions: more than N within S seconds are answered
// ESME_RTHROTTLED; the client retries later.
bool throttled(const std::string& account, const Throttle& t) {
    if (t.messages == 0) return false;
    std::string key = platform::to_lower(account);
    uint64_t now = now_ms();
    uint64_t span = uint64_t(std::max(1u, t.seconds)) * 1000u;
    std::lock_guard<std::mutex> l(st().throttle_lock);
    auto& w = st().windows[key];
    if (now - w.start_ms >= span) {
        w.start_ms = now;
        w.count = 0;
    }
    if (w.count >= t.messages) return true;
    ++w.count;
    return false;
}

int on_submission(std::string_view, std::string_view, const protocols::common::DeliveryRecord& m,
                  std::string& message_id) {
    SessionCtx* c = t_current;
    if (!c) return int(psmpp::ESME_RSYSERR);
    if (throttled(c->who.account, c->throttle)) return int(psmpp::ESME_RTHROTTLED);
    return int(submit_from_client(c->who, m, message_id));
}

void on_activity(int fd, int terminate) {
    std::shared_ptr<Active> a;
    {
        std::lock_guard<std::mutex> l(st().lock);
        auto it = st().active.find(fd);
        if (it == st().active.end()) return;
        a = it->second;
    }
    if (terminate)
        a->terminate.store(true);
    else
        a->last_activity_ms.store(now_ms());
}

// --- connection caps -------------------------------------------------------

bool take_connection_slot(const std::string& peer) {
    unsigned total = frame::ini_number("SMPPServerMaxConnections", kDefaultMaxConnections);
    unsigned per = frame::ini_number("SMPPServerMaxConnectionsPerAddress",
                                     kDefaultMaxConnectionsPerAddress);
    std::lock_guard<std::mutex> l(st().lock);
    unsigned& mine = st().per_address[peer];
    if ((total && st().connections >= total) || (per && mine >= per)) {
        if (mine == 0) st().per_address.erase(peer);
        return false;
    }
    ++st().connections;
    ++mine;
    return true;
}

void release_connection_slot(const std::string& peer) {
    std::lock_guard<std::mutex> l(st().lock);
    if (st().connections) --st().connections;
    auto it = st().per_address.find(peer);
    if (it != st().per_address.end() && --it->second == 0) st().per_address.erase(it);
}

// --- accounts --------------------------------------------------------------

// Reads the account; nullopt when the store cannot be opened.
std::optional<bool> find_account(std::string_view name, support::UserRecord& rec) {
    support::UserFile uf;
    if (!support::SMSOpenUserFile(uf, support::UserFileAccess::Read)) return std::nullopt;
    bool found = support::SMSFindUserRecord(uf, name, rec) != 0;
    support::SMSCloseUserFile(uf);
    return found;
}

bool address_allowed(const support::UserRecord& rec, const std::string& peer) {
    return platform::trim(rec.restrict_ip_address).empty() ||
           http::address_list_matches(rec.restrict_ip_address, peer);
}

AccountState account_state(const std::optional<bool>& found, const support::UserRecord& rec,
                           std::string_view password, const std::string& peer) {
    AccountState a;
    a.exists = found.value_or(false);
    if (!a.exists) return a;
    a.smpp_enabled = rec.enable_smpp_login;
    a.password_matches = support::verify_user_password(rec, password);
    a.address_allowed = address_allowed(rec, peer);
    return a;
}

// --- one session -----------------------------------------------------------

struct SessionSettings {
    unsigned enquire_link_s = 120;
    unsigned max_per_user = kDefaultSessionsPerUser;
    unsigned validate_s = 60;
    unsigned window = 0;
};

SessionSettings read_session_settings() {
    SessionSettings s;
    s.enquire_link_s = frame::ini_number("SMPPServerEnquireLink", 120);
    s.max_per_user = frame::ini_number("SMPPServerMaxConnectionsPerUser", kDefaultSessionsPerUser);
    s.validate_s = frame::ini_number("SMPPServerValidateUserInterval", 60);
    s.window = frame::ini_number("SMPPServerAsyncWindowSize", 0);
    return s;
}

psmpp::ServerOptions server_options() {
    psmpp::ServerOptions o;
    o.smpp_options = [] {
        return support::ini_section(support::SMSIniGetFilename(), "SMPPOptions");
    };
    return o;
}

void refuse_login(psmpp::ServerSession& s, const psmpp::LoginRequest& login) {
    unsigned n = st().failed_logins.load();
    n = std::min(100u, n + 1);
    st().failed_logins.store(n);
    frame::sleep_unless_shutdown(n * 1000u + 5000u);
    s.reject_login(login);
}

struct Session {
    int fd = -1;
    std::string peer;
    uint16_t port = 0;
    support::SslSession* tls = nullptr;
};

void run_bound(psmpp::ServerSession& s, const psmpp::LoginRequest& login, SessionCtx& ctx,
               SessionSettings cfg, const std::shared_ptr<Active>& active,
               http::UserCacheEntry* entry) {
    const bool transmitter = login.kind == 2;
    DeliveryQueue queue(s, ctx.who, entry, cfg.window);
    uint64_t last_validate = now_ms();
    uint64_t next_walk = 0;
    bool end = false;
    while (!end && !frame::shutdown_requested() && !active->terminate.load()) {
        if (transmitter) {
            end = !s.yield(2);
        } else {
            // An idle queue is walked a few times a second, a busy one at
            // once again.
            if (now_ms() >= next_walk) {
                size_t sent = queue.pass();
                next_walk = sent ? 0 : now_ms() + kIdleWalkMs;
            }
            if (queue.session_lost()) break;
            end = !s.yield(1);
            queue.collect();
        }
        uint64_t now = now_ms();
        if (cfg.enquire_link_s &&
            now - active->last_activity_ms.load() >= uint64_t(cfg.enquire_link_s) * 1000u) {
            platform::trace(kSessionTag, "Closing inactive connection");
            break;
        }
        if (cfg.validate_s && now - last_validate >= uint64_t(cfg.validate_s) * 1000u) {
            last_validate = now;
            cfg.enquire_link_s = frame::ini_number("SMPPServerEnquireLink", 120);
            support::UserRecord rec;
            std::optional<bool> found = find_account(ctx.who.account, rec);
            if (found) {
                const char* why =
                    revalidation_failure(account_state(found, rec, login.password, ctx.who.peer));
                if (*why) {
                    platform::trace(kSessionTag, why);
                    break;
                }
                ctx.who.forced_sender_address = rec.forced_sender_address;
                load_submit_settings(ctx.who);
            }
        }
    }
    queue.drain();
}

void run_session(Session conn) {
    platform::tracef(kSessionTag, "Processing SMPP connection from %s...", conn.peer.c_str());
    SessionSettings cfg = read_session_settings();
    psmpp::ServerSession s(conn.fd, conn.tls, server_options());
    psmpp::LoginRequest login;
    unsigned bind_timeout = frame::ini_number("SMPPServerBindTimeout", kDefaultBindTimeoutS);
    if (bind_timeout == 0 || bind_timeout > kDefaultBindTimeoutS) bind_timeout = kDefaultBindTimeoutS;
    // In slices, so that a shutdown does not wait for the bind deadline.
    bool bound = false;
    const uint64_t bind_deadline = now_ms() + uint64_t(bind_timeout) * 1000u;
    while (!bound && now_ms() < bind_deadline && !frame::shutdown_requested()) {
        uint64_t t0 = now_ms();
        bound = s.wait_for_login(1, login);
        // A slice that ends early without a bind: the connection is gone.
        if (!bound && now_ms() - t0 < 900) break;
    }
    if (!bound) {
        platform::tracef(kSessionTag, "No bind from %s, closing", conn.peer.c_str());
        return;
    }
    support::UserRecord rec;
    std::optional<bool> found = find_account(login.account, rec);
    AccountState a = account_state(found, rec, login.password, conn.peer);
    if (!a.exists || !a.smpp_enabled || !a.password_matches || !a.address_allowed) {
        platform::tracef(kSessionTag, "SMPP login refused for %s from %s", login.account.c_str(),
                         conn.peer.c_str());
        refuse_login(s, login);
        return;
    }
    http::UserCacheEntry* entry = http::take_user_entry(rec.name);
    SessionCtx ctx;
    ctx.who.account = rec.name;
    ctx.who.peer = conn.peer;
    ctx.who.forced_sender_address = rec.forced_sender_address;
    ctx.who.short_ids = login.version < psmpp::SMPP_VERSION_34;
    ctx.who.entry = entry;
    load_submit_settings(ctx.who);
    unsigned max_sessions = cfg.max_per_user;
    unsigned sessions = 0;
    {
        std::lock_guard<std::mutex> l(entry->lock);
        sessions = ++entry->smpp_sessions;
        if (parse_throttle_speed(rec.throttle_speed, ctx.throttle)) {
            if (ctx.throttle.messages)
                entry->ms_per_message = ctx.throttle.seconds * 1000u / ctx.throttle.messages;
            if (ctx.throttle.connections) max_sessions = ctx.throttle.connections;
        }
    }
    auto release_entry = [&] {
        {
            std::lock_guard<std::mutex> l(entry->lock);
            if (entry->smpp_sessions) --entry->smpp_sessions;
        }
        http::release_user_entry(entry);
    };
    if (max_sessions < sessions) {
        platform::tracef(kSessionTag,
                         "SMPP Connection rejected, connection count for user %s exceeds maximum "
                         "of %u",
                         rec.name.c_str(), max_sessions);
        refuse_login(s, login);
        release_entry();
        return;
    }
    std::string per_account = support::SMSIniGetProfileString("SMPPServerAsyncWindowSize",
                                                              rec.name, "", 20);
    if (!platform::trim(per_account).empty())
        cfg.window = unsigned(std::strtoul(std::string(platform::trim(per_account)).c_str(),
                                           nullptr, 10));
    cfg.window = std::min(cfg.window, kMaxWindow);
    st().failed_logins.store(0);
    auto active = std::make_shared<Active>();
    active->last_activity_ms.store(now_ms());
    {
        std::lock_guard<std::mutex> l(st().lock);
        st().active[conn.fd] = active;
    }
    s.accept_login(login);
    if (frame::ini_bool("SMPPNoDelay", false)) {
        platform::set_socket_buffers(conn.fd, 32768, 0);
        platform::set_nodelay(conn.fd, true);
    } else {
        platform::set_socket_buffers(conn.fd, 32768, 16384);
    }
    std::string flag_dir = support::GetPrivateDataDirectory() + "SMPPData/ActiveUsers/";
    platform::ensure_dir(flag_dir);
    std::optional<platform::Marker> flag = platform::Marker::acquire(
        flag_dir + active_user_flag_name(conn.peer, conn.port, login.kind, rec.name));

    t_current = &ctx;
    run_bound(s, login, ctx, cfg, active, entry);
    t_current = nullptr;

    {
        std::lock_guard<std::mutex> l(st().lock);
        st().active.erase(conn.fd);
    }
    release_entry();
    platform::tracef(kSessionTag, "Releasing SMPP connection from %s", conn.peer.c_str());
    if (flag) flag->release();
}

// Owns fd: the session, then the socket closed and the slot given back.
void session_thread(int fd, bool tls, std::string peer, uint16_t port) {
    support::SslSessionPtr ssl;
    if (tls) {
        std::string err;
        ssl = support::sslAcceptSession(fd, err, kTlsHandshakeMs);
        if (!ssl) platform::trace("ThreadProcessSSLSMPPConnection", err);
    }
    if (!tls || ssl) run_session(Session{fd, peer, port, ssl.get()});
    psmpp::SMPPReleaseSession(fd);
    if (ssl) support::sslFreeSession(ssl);
    platform::shutdown_send(fd);
    platform::close_socket(fd);
    release_connection_slot(peer);
}

void start_session(int fd, bool tls) {
    uint16_t port = 0;
    std::string peer = platform::peer_address(fd, &port);
    if (!take_connection_slot(peer)) {
        platform::tracef(tls ? "ThreadListenForSSLSMPPConnections"
                             : "ThreadListenForSMPPConnections",
                         "Connection refused from %s, connection limit reached", peer.c_str());
        platform::close_socket(fd);
        return;
    }
    const char* name = tls ? "ThreadProcessSSLSMPPConnection" : "ThreadProcessSMPPConnection";
    if (!frame::start_thread(name, [fd, tls, peer, port] { session_thread(fd, tls, peer, port); })) {
        platform::trace(tls ? "ThreadListenForSSLSMPPConnections" : "ThreadListenForSMPPConnections",
                        "Error starting thread");
        platform::close_socket(fd);
        release_connection_slot(peer);
    }
}

// --- listeners -------------------------------------------------------------

struct ListenerConfig {
    const char* tag;
    const char* port_key;
    const char* change_fmt;
    const char* fail_fmt;
    const char* marker;
    bool tls;
    frame::Listener which;
};

const ListenerConfig kPlain = {"ThreadListenForSMPPConnections",
                               "SMPPPort",
                               "Closing SMPP port %u, opening SMPP port %u",
                               "%s SMPP server not started, unable to allocate SMPP port %u",
                               "SMPPSOCKET.ERR",
                               false,
                               frame::Listener::Smpp};
const ListenerConfig kTls = {"ThreadListenForSSLSMPPConnections",
                             "SMPPPortSSL",
                             "Closing SSL SMPP port %u, opening SSL SMPP port %u",
                             "%s SSL SMPP server not started, unable to allocate SMPP port %u",
                             "SSLSMPPSOCKET.ERR",
                             true,
                             frame::Listener::SmppSSL};

unsigned port_of(const ListenerConfig& cfg) {
    return frame::ini_number(cfg.port_key, 0);
}

std::string bind_address() {
    std::string want(platform::trim(frame::ini_string("IPAddress", "", 100)));
    if (want.empty()) return "";
    for (const std::string& a : platform::local_ipv4_addresses(64))
        if (a == want) return want;
    return "";
}

int open_listener(const ListenerConfig& cfg, unsigned port) {
    platform::Socket s = platform::tcp_socket(AF_INET);
    if (!s) {
        platform::trace(cfg.tag, "Error opening SMPP socket");
        return -1;
    }
    if (!platform::bind_local(s.fd(), AF_INET, bind_address(), port)) {
        platform::tracef(cfg.tag, "Error %lu from socket bind", static_cast<unsigned long>(errno));
        return -1;
    }
    if (!platform::listen_on(s.fd(), kBacklog)) {
        platform::tracef(cfg.tag, "Error %lu from socket listen",
                         static_cast<unsigned long>(errno));
        return -1;
    }
    platform::set_nonblocking(s.fd(), true);
    return s.release();
}

int wait_accept(int fd) {
    uint64_t end = now_ms() + kAcceptWaitMs;
    while (!frame::shutdown_requested() && now_ms() < end) {
        int r = platform::wait_readable(fd, kPollSliceMs);
        if (r != 0) return r;
    }
    return 0;
}

void run_listener(const ListenerConfig& cfg) {
    int fd = -1;
    unsigned open_port = 0;
    while (!frame::shutdown_requested()) {
        if (fd < 0) {
            unsigned port = port_of(cfg);
            if (port == 0) {
                frame::sleep_unless_shutdown(kRetryMs);
                continue;
            }
            if (cfg.tls && !support::sslServerCertExists()) {
                std::string err;
                if (!support::sslGenerateCertificate({}, support::CertKeyType::EcP256, &err))
                    platform::tracef(cfg.tag, "Unable to create a server certificate: %s",
                                     err.c_str());
            }
            fd = open_listener(cfg, port);
            if (fd < 0) {
                if (!cfg.tls) {
                    frame::set_status_byte(frame::kStatusSmppListening, 0);
                    frame::set_status_byte(frame::kStatusSmppPortFailed, 1);
                }
                frame::report_event_once_a_day(
                    cfg.marker, frame::EventType::Error,
                    platform::strprintf(cfg.fail_fmt, frame::kProductBanner, port));
                frame::sleep_unless_shutdown(kRetryMs);
                continue;
            }
            open_port = port;
            if (!cfg.tls) {
                frame::set_status_byte(frame::kStatusSmppPortFailed, 0);
                frame::set_status_byte(frame::kStatusSmppListening, 1);
            }
            frame::set_listener_port(cfg.which, uint16_t(platform::local_port(fd)));
            platform::tracef(cfg.tag, "Kel SMS/MMS Gateway SMPP server started on port number %u",
                             port);
        }
        int r = wait_accept(fd);
        if (r < 0) {
            platform::close_socket(fd);
            fd = -1;
            frame::set_listener_port(cfg.which, 0);
            continue;
        }
        if (r > 0 && !frame::shutdown_requested()) {
            // Everything queued at once, so that a burst of connections
            // does not wait one accept per slice.
            for (int i = 0; i < 64; ++i) {
                int c = platform::accept_connection(fd);
                if (c < 0) break;
                if (frame::ini_bool("TCPNoDelay", true)) platform::set_nodelay(c, true);
                start_session(c, cfg.tls);
            }
        }
        unsigned now_port = port_of(cfg);
        if (now_port != open_port) {
            platform::tracef(cfg.tag, cfg.change_fmt, open_port, now_port);
            platform::close_socket(fd);
            fd = -1;
            frame::set_listener_port(cfg.which, 0);
        }
    }
    platform::close_socket(fd);
    frame::set_listener_port(cfg.which, 0);
    if (!cfg.tls) frame::set_status_byte(frame::kStatusSmppListening, 0);
}

}  // namespace

bool parse_throttle_speed(std::string_view text, Throttle& out) {
    out = Throttle{};
    size_t i = 0;
    auto number = [&](unsigned& v) {
        bool any = false;
        unsigned n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = std::min(1000000u, n * 10 + unsigned(text[i] - '0'));
            ++i;
            any = true;
        }
        if (any) v = n;
        return any;
    };
    auto blanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    };
    if (!number(out.messages)) return false;
    blanks();
    if (i < text.size() && text[i] == '/') {
        ++i;
        blanks();
        unsigned s = 0;
        if (number(s) && s) out.seconds = s;
        blanks();
        if (i < text.size() && text[i] == '/') {
            ++i;
            blanks();
            number(out.connections);
        }
    }
    return true;
}

std::string active_user_flag_name(std::string_view address, unsigned port, int bind_kind,
                                  std::string_view account) {
    const char* letter = bind_kind == 2 ? "S" : bind_kind == 1 ? "R" : "T";
    return platform::strprintf("%.*s-%u-%s-", int(address.size()), address.data(), port, letter) +
           platform::clean_path_part(account) + ".FLG";
}

const char* revalidation_failure(const AccountState& s) {
    if (!s.exists) return "Connection terminated - user account deleted";
    if (!s.smpp_enabled) return "Connection terminated - SMPP access is not enabled for account";
    if (!s.password_matches) return "Connection terminated - account password is no longer valid";
    if (!s.address_allowed) return "Connection terminated - IP address restrictions have changed";
    return "";
}

void register_smpp_frontend() {
    frame::register_duty(frame::Duty::StartLibraries, "SmppServer", [] {
        psmpp::SMPPServerSetSubmitHandler(&on_submission);
        psmpp::SMPPServerSetActivityCallback(&on_activity);
    });
    frame::register_thread_starter(frame::ThreadSlot::SmppListener, [] {
        frame::start_thread("ThreadListenForSMPPConnections", [] { run_listener(kPlain); });
        return true;
    });
    frame::register_thread_starter(frame::ThreadSlot::SmppsListener, [] {
        if (!support::sslInitLib()) return true;
        frame::start_thread("ThreadListenForSSLSMPPConnections", [] { run_listener(kTls); });
        return true;
    });
}

}  // namespace frontends::smpp
