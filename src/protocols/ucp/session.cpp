// UCP/EMI sessions: registry by socket, stream framing, the one result the
// engine waits for at a time, the SMSC's operations, and the public calls.
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/ucp/ucp.h"

namespace protocols::ucp {

namespace {

constexpr unsigned YIELD_WAIT_MS = 1000;
constexpr size_t READ_CHUNK = 16 * 1024;
constexpr int READ_ROUNDS = 64;
constexpr const char* TAG = "UCP";

std::atomic<bool> g_debug{false};

struct Session {
    int fd = -1;
    ino_t ino = 0;
    bool inbound = false;
    std::string name;
    LinkOptions opt;

    std::mutex mu;  // one caller at a time: reads, writes and the awaited result
    std::atomic<bool> broken{false};
    std::string rbuf;
    int next_trn = 0;

    bool waiting = false;
    int wait_trn = -1, wait_ot = -1;
    bool have_result = false;
    Frame result;
};
using SessionPtr = std::shared_ptr<Session>;

std::mutex g_reg_mu;
std::unordered_map<int, SessionPtr> g_sessions;

std::mutex g_opt_mu;
std::map<std::string, LinkOptions, std::less<>> g_options;

std::mutex g_cb_mu;
std::shared_ptr<const ReceiveMessageCallback> g_cb;

// Receipts asked for with "OurMsgId=": the SMSC's id -> the gateway's id and
// submitting user, so that a 53 arrives already resolved. Bounded in count
// and age; the link worker's own tracking covers what falls out.
struct ReceiptEntry {
    std::string our_id, local_user;
    uint64_t added_ms = 0;
};
constexpr size_t MAX_RECEIPTS = 100000;
constexpr uint64_t RECEIPT_AGE_MS = 3ull * 24 * 3600 * 1000;
std::mutex g_rc_mu;
std::unordered_map<std::string, ReceiptEntry> g_receipts;
std::deque<std::pair<std::string, uint64_t>> g_receipt_order;

void remember_receipt(const std::string& smsc_id, std::string our_id, std::string user) {
    uint64_t now = platform::monotonic_ms();
    std::lock_guard lk(g_rc_mu);
    g_receipts[smsc_id] = ReceiptEntry{std::move(our_id), std::move(user), now};
    g_receipt_order.emplace_back(smsc_id, now);
    while (!g_receipt_order.empty() && (g_receipt_order.size() > MAX_RECEIPTS ||
                                        now - g_receipt_order.front().second > RECEIPT_AGE_MS)) {
        auto& [key, added] = g_receipt_order.front();
        auto it = g_receipts.find(key);
        if (it != g_receipts.end() && it->second.added_ms == added) g_receipts.erase(it);
        g_receipt_order.pop_front();
    }
}

bool take_receipt(const std::string& smsc_id, bool final_state, ReceiptEntry& out) {
    std::lock_guard lk(g_rc_mu);
    auto it = g_receipts.find(smsc_id);
    if (it == g_receipts.end()) return false;
    out = it->second;
    if (final_state) g_receipts.erase(it);
    return true;
}

std::shared_ptr<const ReceiveMessageCallback> receive_cb() {
    std::lock_guard lk(g_cb_mu);
    return g_cb;
}

LinkOptions options_for(std::string_view link) {
    std::lock_guard lk(g_opt_mu);
    auto it = g_options.find(link);
    return it == g_options.end() ? LinkOptions{} : it->second;
}

ino_t socket_inode(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return st.st_ino;
}

std::string_view label(const Session& s) {
    return s.name.empty() ? std::string_view("inbound") : s.name;
}

// Frame text for the trace, control characters shown as <hex>.
std::string printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F)
            out += platform::strprintf("<%02X>", unsigned(uint8_t(c)));
        else
            out += c;
    }
    return out;
}

void mark_broken(Session& s, const char* why) {
    if (!s.broken.exchange(true))
        platform::tracef(TAG, "%.*s: %s", int(label(s).size()), label(s).data(), why);
}

SessionPtr make_session(int fd, bool inbound, std::string_view name) {
    auto s = std::make_shared<Session>();
    s->fd = fd;
    s->ino = socket_inode(fd);
    s->inbound = inbound;
    s->name = std::string(name);
    s->opt = options_for(name);
    std::lock_guard lk(g_reg_mu);
    g_sessions[fd] = s;
    return s;
}

// The session of a socket; a session left over from an earlier socket with
// the same number is dropped. With create_inbound, an unknown socket becomes
// an inbound session.
SessionPtr find_session(int fd, bool create_inbound) {
    if (fd < 0) return nullptr;
    ino_t ino = socket_inode(fd);
    {
        std::lock_guard lk(g_reg_mu);
        auto it = g_sessions.find(fd);
        if (it != g_sessions.end()) {
            if (it->second->ino == ino && ino != 0) return it->second;
            g_sessions.erase(it);
        }
    }
    if (!create_inbound || ino == 0) return nullptr;
    return make_session(fd, true, {});
}

bool send_frame(Session& s, const Frame& f) {
    if (s.broken) return false;
    std::string bytes = encode_frame(f);
    if (g_debug && platform::trace_active())
        platform::tracef(TAG, "%.*s send %s", int(label(s).size()), label(s).data(),
                         printable(std::string_view(bytes).substr(1, bytes.size() - 2)).c_str());
    unsigned timeout_ms = std::max(1u, s.opt.command_timeout_s) * 1000u;
    if (platform::send_all(s.fd, bytes.data(), bytes.size(), timeout_ms) != long(bytes.size())) {
        mark_broken(s, "send failed");
        return false;
    }
    return true;
}

void send_nack(Session& s, int trn, int ot, int ec) {
    send_frame(s, build_nack(trn, ot, ec));
}

// "a=b; c=d" -> value of key (case-insensitive), "" when absent.
std::string option_value(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        size_t semi = text.find(';');
        std::string_view item = platform::trim(text.substr(0, semi));
        size_t eq = item.find('=');
        if (eq != std::string_view::npos &&
            platform::iequals(platform::trim(item.substr(0, eq)), key))
            return std::string(platform::trim(item.substr(eq + 1)));
        if (semi == std::string_view::npos) break;
        text.remove_prefix(semi + 1);
    }
    return {};
}

// Hands a received 52 / 53 to the callback; the result for the SMSC.
int deliver_inbound(Session& s, const Frame& op) {
    InboundMessage m;
    int ec = op.ot == OT_DELIVER ? parse_deliver(op, s.opt.coding, m)
                                 : parse_notification(op, s.opt.coding, m);
    if (ec) {
        platform::tracef(TAG, "%.*s: malformed operation %02d (TRN %02d): %s", int(label(s).size()),
                         label(s).data(), op.ot, op.trn, UCPErrorText(ec));
        return ec;
    }
    std::string extra;
    if (op.ot == OT_NOTIFICATION) {
        ReceiptEntry r;
        if (take_receipt(m.smsc_message_id, (m.flags & 0x28) != 0, r)) {
            // The text names the gateway's id as a resolved receipt does.
            std::string prefix = "id:" + m.smsc_message_id + " ";
            if (m.message.compare(0, prefix.size(), prefix) == 0)
                m.message = "id:" + r.our_id + " " + m.message.substr(prefix.size());
            m.smsc_message_id = r.our_id;
            if (!r.local_user.empty()) extra = "RouteToLocalUser=" + r.local_user;
        } else {
            extra = "ResolveReceiptID=Yes";
        }
    }
    auto cb = receive_cb();
    if (!cb) {
        platform::tracef(TAG, "%.*s: no receive callback, operation %02d refused",
                         int(label(s).size()), label(s).data(), op.ot);
        return EC_NOT_ALLOWED;
    }
    int st = (*cb)(s.name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message, m.flags,
                   m.binary ? 1 : 0, m.smsc_message_id, extra);
    if (st == 0) return 0;
    return st > 0 && st < 100 ? st : EC_NOT_ALLOWED;
}

void handle_operation(Session& s, const Frame& op) {
    switch (op.ot) {
        case OT_DELIVER:
        case OT_NOTIFICATION: {
            int ec = deliver_inbound(s, op);
            if (ec) {
                send_nack(s, op.trn, op.ot, ec);
            } else {
                std::string sm;
                if (op.fields.size() > F_SCTS && !op.fields[F_SCTS].empty())
                    sm = op.fields[F_ADC] + ":" + op.fields[F_SCTS];
                send_frame(s, build_ack(op, sm));
            }
            return;
        }
        case OT_ALERT:
        case OT_SESSION:
            // A keep-alive, or the SMSC opening an inbound connection.
            send_frame(s, build_ack(op));
            return;
        default:
            send_nack(s, op.trn, op.ot, EC_NOT_SUPPORTED);
            return;
    }
}

void handle_body(Session& s, std::string_view body, bool etx_missing) {
    if (g_debug && platform::trace_active())
        platform::tracef(TAG, "%.*s recv %s%s", int(label(s).size()), label(s).data(),
                         printable(body).c_str(), etx_missing ? " (no ETX)" : "");
    Frame f;
    bool header_ok = false;
    DecodeError err = etx_missing ? DecodeError::Syntax : decode_frame(body, f, &header_ok);
    if (etx_missing) {
        Frame tmp;
        decode_frame(body, tmp, &header_ok);
        f.trn = tmp.trn;
        f.ot = tmp.ot;
        f.result = tmp.result;
    }
    if (err != DecodeError::None) {
        const char* what = err == DecodeError::Checksum ? "checksum error"
                           : err == DecodeError::Length ? "length error"
                                                        : "syntax error";
        platform::tracef(TAG, "%.*s: invalid frame (%s): %s", int(label(s).size()), label(s).data(),
                         what, printable(body.substr(0, 64)).c_str());
        if (!header_ok) return;
        if (!f.result) {
            send_nack(s, f.trn, f.ot, err == DecodeError::Checksum ? EC_CHECKSUM : EC_SYNTAX);
        } else if (s.waiting && f.trn == s.wait_trn && f.ot == s.wait_ot) {
            mark_broken(s, "result damaged, closing");
        }
        return;
    }
    if (f.result) {
        if (s.waiting && f.trn == s.wait_trn && f.ot == s.wait_ot && !s.have_result) {
            s.have_result = true;
            s.result = std::move(f);
        } else {
            platform::tracef(TAG, "%.*s: unexpected result %02d/%02d ignored", int(label(s).size()),
                             label(s).data(), f.trn, f.ot);
        }
        return;
    }
    handle_operation(s, f);
}

// Handles every complete frame in the buffer; false once the stream is out of step.
bool process_frames(Session& s) {
    size_t pos = 0;
    bool ok = true;
    while (ok && pos < s.rbuf.size() && !s.broken) {
        std::string_view rest(s.rbuf.data() + pos, s.rbuf.size() - pos);
        Scan sc = scan_frame(rest);
        switch (sc.state) {
            case ScanState::NeedMore:
                ok = false;
                break;
            case ScanState::Garbage:
                platform::tracef(TAG, "%.*s: %zu bytes outside a frame dropped",
                                 int(label(s).size()), label(s).data(), sc.skip);
                pos += sc.skip;
                break;
            case ScanState::MissingEtx:
                handle_body(s, rest.substr(1, sc.length - 1), true);
                pos += sc.length;
                break;
            case ScanState::Frame:
                handle_body(s, rest.substr(1, sc.length - 2), false);
                pos += sc.length;
                break;
            case ScanState::Oversized:
                mark_broken(s, "frame without ETX exceeds the longest frame, closing");
                ::shutdown(s.fd, SHUT_RDWR);
                s.rbuf.clear();
                return false;
        }
    }
    s.rbuf.erase(0, pos);
    return !s.broken;
}

// Reads for up to wait_ms and handles what arrived. Caller holds s.mu.
void pump(Session& s, unsigned wait_ms) {
    if (s.broken) return;
    if (wait_ms) {
        int r = platform::wait_readable(s.fd, wait_ms);
        if (r == 0) return;
        if (r < 0) {
            mark_broken(s, "poll failed");
            return;
        }
    }
    char buf[READ_CHUNK];
    for (int round = 0; round < READ_ROUNDS && !s.broken; ++round) {
        long n = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR) n = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            process_frames(s);
            mark_broken(s, "connection closed by peer");
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) mark_broken(s, "receive failed");
            return;
        }
        s.rbuf.append(buf, size_t(n));
        if (!process_frames(s)) {
            if (s.broken) return;
        }
        if (size_t(n) < sizeof buf) return;
    }
}

// Sends an operation and waits for its result. 0 with s.result set, or a
// negative engine code. A silent SMSC leaves the stream in doubt: the
// session is marked broken.
int request(Session& s, Frame& op) {
    if (s.broken) return UCP_ERR_CONNECTION;
    op.trn = s.next_trn;
    s.next_trn = (s.next_trn + 1) % 100;
    s.waiting = true;
    s.wait_trn = op.trn;
    s.wait_ot = op.ot;
    s.have_result = false;
    struct Reset {
        Session& s;
        ~Reset() { s.waiting = false; }
    } reset{s};
    if (!send_frame(s, op)) return UCP_ERR_CONNECTION;
    uint64_t limit = uint64_t(std::max(1u, s.opt.command_timeout_s)) * 1000u;
    uint64_t start = platform::monotonic_ms();
    for (;;) {
        if (s.have_result) return 0;
        if (s.broken) return UCP_ERR_CONNECTION;
        uint64_t used = platform::monotonic_ms() - start;
        if (used >= limit) {
            mark_broken(s, "no result within the command time-out");
            return UCP_ERR_TIMEOUT;
        }
        pump(s, unsigned(std::min<uint64_t>(limit - used, 100)));
    }
}

bool connect_fd(int fd, std::string_view host, unsigned port, unsigned timeout_ms, int& err) {
    int domain = AF_INET;
    socklen_t dl = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &dl) != 0) {
        err = errno;
        return false;
    }
    struct addrinfo hints {};
    hints.ai_family = domain;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    std::string h(host), p = std::to_string(port);
    if (::getaddrinfo(h.c_str(), p.c_str(), &hints, &list) != 0 || !list) {
        err = EHOSTUNREACH;
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    err = ECONNREFUSED;
    uint64_t start = platform::monotonic_ms();
    for (struct addrinfo* a = list; a && !ok; a = a->ai_next) {
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
            break;
        }
        if (errno != EINPROGRESS) {
            err = errno;
            continue;
        }
        uint64_t used = platform::monotonic_ms() - start;
        if (used >= timeout_ms || platform::wait_writable(fd, unsigned(timeout_ms - used)) <= 0) {
            err = ETIMEDOUT;
            break;  // a half-done connect leaves the socket unusable
        }
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (soerr == 0)
            ok = true;
        else
            err = soerr;
        break;
    }
    ::freeaddrinfo(list);
    ::fcntl(fd, F_SETFL, flags);
    return ok;
}

// A result that is neither a readable ACK nor a NACK with an error code.
int unreadable_result(Session& s) {
    mark_broken(s, "unreadable result, closing");
    return UCP_ERR_CONNECTION;
}

SessionPtr outbound_session(int socket) {
    SessionPtr s = find_session(socket, false);
    return s && !s->inbound ? s : nullptr;
}

}  // namespace

void UCPSetDebugMode(int flag) {
    g_debug = flag != 0;
}

void UCPSetLinkOptions(std::string_view link_name, const LinkOptions& options) {
    std::lock_guard lk(g_opt_mu);
    g_options[std::string(link_name)] = options;
}

void UCPSetReceiveMessageCallback(ReceiveMessageCallback callback) {
    auto p =
        callback ? std::make_shared<const ReceiveMessageCallback>(std::move(callback)) : nullptr;
    std::lock_guard lk(g_cb_mu);
    g_cb = std::move(p);
}

const char* UCPErrorText(int code) {
    switch (code) {
        case 0:
            return "UCP OK";
        case UCP_ERR_CONNECTION:
            return "UCP Error -1 - Connection to SMSC lost";
        case UCP_ERR_TIMEOUT:
            return "UCP Error -2 - No response from SMSC";
        case UCP_ERR_STATE:
            return "UCP Error -3 - No UCP session on this connection";
        default:
            break;
    }
    const char* t = error_code_text(code);
    return t ? t : "UCP Error - Unknown error code";
}

int UCPConnect(int socket, std::string_view link_name, std::string_view host, unsigned port) {
    LinkOptions opt = options_for(link_name);
    unsigned timeout_ms = std::max(1u, opt.command_timeout_s) * 1000u;
    int err = 0;
    if (socket < 0 || port == 0 || port > 65535 ||
        !connect_fd(socket, host, port, timeout_ms, err)) {
        platform::tracef("UCPConnect", "%.*s: connect to %.*s:%u failed: %s", int(link_name.size()),
                         link_name.data(), int(host.size()), host.data(), port,
                         std::strerror(err ? err : EINVAL));
        return UCP_ERR_CONNECTION;
    }
    platform::set_nodelay(socket, true);
    make_session(socket, false, link_name);
    return 0;
}

int UCPBind(int socket, std::string_view link_name, std::string_view user,
            std::string_view password) {
    SessionPtr s = outbound_session(socket);
    if (!s) return UCP_ERR_STATE;
    std::lock_guard lk(s->mu);
    if (user.empty()) return s->broken ? UCP_ERR_CONNECTION : 0;
    Frame op = build_login(user, password, s->opt.login_oton, s->opt.login_onpi);
    int st = request(*s, op);
    if (st == 0) {
        int ec = 0;
        if (parse_result(s->result, &ec, nullptr)) return 0;
        st = ec ? ec : unreadable_result(*s);
    }
    platform::tracef("UCPBind", "%.*s: %s", int(link_name.size()), link_name.data(),
                     UCPErrorText(st));
    return st;
}

int UCPSubmitMessage(int socket, std::string_view link_name, std::string_view sender,
                     std::string_view empty_text, std::string_view recipient, int pid, int dcs,
                     std::string_view udh, std::string_view data, int flags, int binary,
                     std::string_view option_text, std::string* smsc_message_id) {
    (void)empty_text;
    if (smsc_message_id) smsc_message_id->clear();
    SessionPtr s = outbound_session(socket);
    if (!s) return UCP_ERR_STATE;
    std::lock_guard lk(s->mu);
    if (s->broken) return UCP_ERR_CONNECTION;

    std::string billing = option_value(option_text, "BillingInfo");
    std::string our_id = option_value(option_text, "OurMsgId");
    OutboundMessage m;
    m.sender = sender;
    m.recipient = recipient;
    m.pid = pid;
    m.dcs = dcs;
    m.udh_hex = udh;
    m.data = data;
    m.flags = flags;
    m.binary = binary != 0;
    m.billing = billing;
    Frame op;
    int st = build_submit(m, s->opt.coding, op);
    if (st == 0) st = request(*s, op);
    if (st == 0) {
        int ec = 0;
        std::string sm;
        if (parse_result(s->result, &ec, &sm)) {
            std::string id = message_id_from_ack(sm);
            if (smsc_message_id) *smsc_message_id = id;
            if ((flags & 0x42) && !our_id.empty() && !id.empty())
                remember_receipt(id, our_id, option_value(option_text, "LocalUser"));
            return 0;
        }
        st = ec ? ec : unreadable_result(*s);
    }
    if (g_debug)
        platform::tracef("UCPSubmitMessage", "%.*s: %s%s%s", int(link_name.size()),
                         link_name.data(), our_id.empty() ? "" : our_id.c_str(),
                         our_id.empty() ? "" : ": ", UCPErrorText(st));
    return st;
}

int UCPEnquireLink(int socket, std::string_view link_name, std::string_view user) {
    SessionPtr s = outbound_session(socket);
    if (!s) return UCP_ERR_STATE;
    std::lock_guard lk(s->mu);
    Frame op = build_alert(user, s->opt.alert_pid);
    int st = request(*s, op);
    if (st != 0)
        platform::tracef("UCPEnquireLink", "%.*s: %s", int(link_name.size()), link_name.data(),
                         UCPErrorText(st));
    return st;  // an ACK or a NACK both show the SMSC is there
}

int UCPCheckLinkStatus(int socket, std::string_view link_name) {
    SessionPtr s = find_session(socket, link_name.empty());
    if (!s) return 0;
    if (!s->broken && platform::wait_readable(socket, 0) > 0) {
        // Notice a closed connection, or take what arrived meanwhile.
        std::unique_lock lk(s->mu, std::try_to_lock);
        if (lk.owns_lock()) pump(*s, 0);
    }
    return s->broken ? 0 : 1;
}

void UCPYield(int socket, std::string_view link_name, int wait) {
    SessionPtr s = find_session(socket, link_name.empty());
    if (!s) return;
    std::lock_guard lk(s->mu);
    pump(*s, wait ? YIELD_WAIT_MS : 0);
}

void UCPAttachInbound(int socket, std::string_view link_name) {
    if (socket_inode(socket) == 0) return;
    make_session(socket, true, link_name);
}

void UCPReleaseSession(int socket) {
    std::lock_guard lk(g_reg_mu);
    g_sessions.erase(socket);
}

}  // namespace protocols::ucp
