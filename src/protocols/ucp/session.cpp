// UCP/EMI sessions: stream framing, the one result the engine waits for at a
// time, the SMSC's operations, the session objects and the positional
// adapters over them.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/common/link.h"
#include "protocols/ucp/ucp.h"

namespace protocols::ucp {

struct detail::Conn {
    int fd = -1;
    ino_t ino = 0;
    bool inbound = false;
    std::string name;
    LinkOptions opt;

    std::mutex mu;  // one caller at a time: reads, writes and the awaited result
    std::atomic<bool> broken{false};
    std::string rbuf;
    size_t scanned = 0;  // rbuf's unit is searched up to here
    int next_trn = 0;

    bool waiting = false;
    int wait_trn = -1, wait_ot = -1;
    bool have_result = false;
    Frame result;

    common::InboundGate gate;  // inbound connections: login and deadlines
    common::GarbageTrace garbage_trace;
};

using detail::Conn;
using ConnPtr = std::shared_ptr<Conn>;

namespace {

constexpr unsigned YIELD_WAIT_MS = 1000;
constexpr size_t READ_CHUNK = 16 * 1024;
constexpr int READ_ROUNDS = 64;
constexpr const char* TAG = "UCP";

// The engine's process-wide state, one instance.
struct EngineState {
    std::atomic<bool> debug{false};
    common::SessionTable<Conn> sessions;  // the adapters' lookup by socket
    std::mutex opt_mu;                    // link options by name (UCPConnect, inbound)
    std::map<std::string, LinkOptions, std::less<>> options;
    std::mutex cb_mu;
    std::shared_ptr<const DeliveryHandler> handler;
    // Submits that asked for a receipt under the gateway's id; a report may
    // arrive on any connection of the link.
    common::ReceiptMemory receipts;
};

EngineState& engine() {
    static EngineState state;
    return state;
}

std::shared_ptr<const DeliveryHandler> delivery_handler() {
    EngineState& e = engine();
    std::lock_guard lk(e.cb_mu);
    return e.handler;
}

LinkOptions options_for(std::string_view link) {
    EngineState& e = engine();
    std::lock_guard lk(e.opt_mu);
    auto it = e.options.find(link);
    return it == e.options.end() ? LinkOptions{} : it->second;
}

std::string_view label(const Conn& s) {
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

void mark_broken(Conn& s, const char* why) {
    if (!s.broken.exchange(true))
        platform::tracef(TAG, "%.*s: %s", int(label(s).size()), label(s).data(), why);
}

bool send_frame(Conn& s, const Frame& f) {
    if (s.broken) return false;
    std::string bytes = encode_frame(f);
    if (engine().debug && platform::trace_active())
        platform::tracef(TAG, "%.*s send %s", int(label(s).size()), label(s).data(),
                         printable(std::string_view(bytes).substr(1, bytes.size() - 2)).c_str());
    unsigned timeout_ms = std::max(1u, s.opt.command_timeout_s) * 1000u;
    if (platform::send_all(s.fd, bytes.data(), bytes.size(), timeout_ms) != long(bytes.size())) {
        mark_broken(s, "send failed");
        return false;
    }
    return true;
}

void send_nack(Conn& s, int trn, int ot, int ec) {
    send_frame(s, build_nack(trn, ot, ec));
}

// Hands a received 52 / 53 to the callback; the result for the SMSC.
int deliver_inbound(Conn& s, const Frame& op) {
    common::DeliveryRecord m;
    int ec = op.ot == OT_DELIVER ? parse_deliver(op, s.opt.coding, m)
                                 : parse_notification(op, s.opt.coding, m);
    if (ec) {
        platform::tracef(TAG, "%.*s: malformed operation %02d (TRN %02d): %s", int(label(s).size()),
                         label(s).data(), op.ot, op.trn, UCPErrorText(ec));
        return ec;
    }
    m.link_name = s.name;
    if (op.ot == OT_NOTIFICATION) engine().receipts.resolve(m, (m.flags & 0x28) != 0);
    auto h = delivery_handler();
    if (!h) {
        platform::tracef(TAG, "%.*s: no receive callback, operation %02d refused",
                         int(label(s).size()), label(s).data(), op.ot);
        return EC_NOT_ALLOWED;
    }
    int st = (*h)(m);
    if (st == 0) return 0;
    return st > 0 && st < 100 ? st : EC_NOT_ALLOWED;
}

// The SMSC's 60 on a connection it opened: its OAdC and password against the link's.
void handle_inbound_login(Conn& s, const Frame& op) {
    std::string password;
    const std::string user = op.fields.size() > F60_OADC ? op.fields[F60_OADC] : std::string();
    bool readable = op.fields.size() > F60_PWD && from_hex(op.fields[F60_PWD], password);
    if (readable && s.gate.login(user, password)) {
        send_frame(s, build_ack(op));
        return;
    }
    platform::tracef(TAG, "%.*s: login of \"%s\" refused", int(label(s).size()), label(s).data(),
                     printable(user.substr(0, 32)).c_str());
    send_nack(s, op.trn, op.ot, EC_AUTHENTICATION);
}

void handle_operation(Conn& s, const Frame& op) {
    switch (op.ot) {
        case OT_DELIVER:
        case OT_NOTIFICATION: {
            if (s.inbound && !s.gate.open()) {
                platform::tracef(TAG, "%.*s: operation %02d (TRN %02d) before the login refused",
                                 int(label(s).size()), label(s).data(), op.ot, op.trn);
                send_nack(s, op.trn, op.ot, EC_NOT_ALLOWED);
                return;
            }
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
        case OT_SESSION:
            if (s.inbound) {
                handle_inbound_login(s, op);
                return;
            }
            send_frame(s, build_ack(op));
            return;
        case OT_ALERT:  // a keep-alive
            send_frame(s, build_ack(op));
            return;
        default:
            send_nack(s, op.trn, op.ot, EC_NOT_SUPPORTED);
            return;
    }
}

// True when a line about `bytes` bytes of the peer's garbage may be traced.
bool trace_garbage(Conn& s, size_t bytes) {
    return s.garbage_trace.admit(bytes, TAG, label(s));
}

void trace_recv(Conn& s, std::string_view body, bool etx_missing) {
    if (engine().debug && platform::trace_active())
        platform::tracef(TAG, "%.*s recv %s%s", int(label(s).size()), label(s).data(),
                         printable(body).c_str(), etx_missing ? " (no ETX)" : "");
}

void handle_body(Conn& s, std::string_view body, bool etx_missing) {
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
        if (trace_garbage(s, body.size() + 2)) {
            trace_recv(s, body, etx_missing);
            platform::tracef(TAG, "%.*s: invalid frame (%s): %s", int(label(s).size()),
                             label(s).data(), what, printable(body.substr(0, 64)).c_str());
        }
        if (!header_ok) return;
        s.gate.unit_received();
        if (!f.result) {
            send_nack(s, f.trn, f.ot, err == DecodeError::Checksum ? EC_CHECKSUM : EC_SYNTAX);
        } else if (s.waiting && f.trn == s.wait_trn && f.ot == s.wait_ot) {
            mark_broken(s, "result damaged, closing");
        }
        return;
    }
    s.garbage_trace.flush(TAG, label(s));
    trace_recv(s, body, false);
    s.gate.unit_received();
    if (f.result) {
        if (s.waiting && f.trn == s.wait_trn && f.ot == s.wait_ot && !s.have_result) {
            s.have_result = true;
            s.result = std::move(f);
        } else if (trace_garbage(s, body.size() + 2)) {
            platform::tracef(TAG, "%.*s: unexpected result %02d/%02d ignored", int(label(s).size()),
                             label(s).data(), f.trn, f.ot);
        }
        return;
    }
    handle_operation(s, f);
}

// Handles every complete frame in the buffer; false once the stream is out of step.
bool process_frames(Conn& s) {
    return common::consume_stx_units(
        s.rbuf, s.scanned, s.broken,
        [](std::string_view rest, size_t resume) { return scan_frame(rest, resume); },
        [&](std::string_view body, bool missing_etx) { handle_body(s, body, missing_etx); },
        [&](size_t n) {
            if (trace_garbage(s, n))
                platform::tracef(TAG, "%.*s: %zu bytes outside a frame dropped",
                                 int(label(s).size()), label(s).data(), n);
        },
        [&] {
            mark_broken(s, "frame without ETX exceeds the longest frame, closing");
            platform::shutdown_socket(s.fd);
        });
}

// Reads for up to wait_ms and handles what arrived. Caller holds s.mu.
void pump(Conn& s, unsigned wait_ms) {
    common::read_pump<READ_CHUNK>(
        s.fd, wait_ms, READ_ROUNDS, s.broken, s.rbuf, [&] { return process_frames(s); },
        [&](const char* why) { mark_broken(s, why); });
}

// Sends an operation and waits for its result. 0 with s.result set, or a
// negative engine code. A silent SMSC leaves the stream in doubt: the
// session is marked broken.
int request(Conn& s, Frame& op) {
    if (s.broken) return UCP_ERR_CONNECTION;
    op.trn = s.next_trn;
    s.next_trn = (s.next_trn + 1) % 100;
    s.waiting = true;
    s.wait_trn = op.trn;
    s.wait_ot = op.ot;
    s.have_result = false;
    struct Reset {
        Conn& s;
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

// A result that is neither a readable ACK nor a NACK with an error code.
int unreadable_result(Conn& s) {
    mark_broken(s, "unreadable result, closing");
    return UCP_ERR_CONNECTION;
}

}  // namespace

// ---- record API ---------------------------------------------------------------

Session::Session(int socket, std::string_view link_name, const LinkOptions& options, bool inbound)
    : c_(std::make_shared<Conn>()) {
    c_->fd = socket;
    c_->ino = common::socket_inode(socket);
    c_->inbound = inbound;
    c_->name = std::string(link_name);
    c_->opt = options;
    if (inbound)
        c_->gate.start({options.inbound_login_required, options.inbound_user,
                        options.inbound_password, options.login_timeout_s, options.idle_timeout_s});
}

int Session::socket() const {
    return c_->fd;
}

bool Session::inbound() const {
    return c_->inbound;
}

int Session::connect(std::string_view host, unsigned port) {
    Conn& s = *c_;
    unsigned timeout_ms = std::max(1u, s.opt.command_timeout_s) * 1000u;
    int err = 0;
    if (s.fd < 0 || port == 0 || port > 65535 ||
        !common::connect_socket(s.fd, host, port, timeout_ms, err)) {
        platform::tracef("UCPConnect", "%s: connect to %.*s:%u failed: %s", s.name.c_str(),
                         int(host.size()), host.data(), port, std::strerror(err ? err : EINVAL));
        return UCP_ERR_CONNECTION;
    }
    platform::set_nodelay(s.fd, true);
    s.ino = common::socket_inode(s.fd);
    return 0;
}

int Session::bind(std::string_view user, std::string_view password) {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    if (user.empty()) return s.broken ? UCP_ERR_CONNECTION : 0;
    Frame op = build_login(user, password, s.opt.login_oton, s.opt.login_onpi);
    int st = request(s, op);
    if (st == 0) {
        int ec = 0;
        if (parse_result(s.result, &ec, nullptr)) return 0;
        st = ec ? ec : unreadable_result(s);
    }
    platform::tracef("UCPBind", "%s: %s", s.name.c_str(), UCPErrorText(st));
    return st;
}

int Session::submit(const common::SubmitRecord& m, std::string* smsc_message_id) {
    Conn& s = *c_;
    if (smsc_message_id) smsc_message_id->clear();
    refused_locally_ = false;
    std::lock_guard lk(s.mu);
    if (s.broken) return UCP_ERR_CONNECTION;
    Frame op;
    int st = build_submit(m, s.opt.coding, op);
    refused_locally_ = st != 0;
    if (st == 0) st = request(s, op);
    if (st == 0) {
        int ec = 0;
        std::string sm;
        if (parse_result(s.result, &ec, &sm)) {
            std::string id = message_id_from_ack(sm);
            if (smsc_message_id) *smsc_message_id = id;
            if ((m.flags & 0x42) && !m.reference.empty() && !id.empty())
                engine().receipts.remember(id, m.reference, m.local_user);
            return 0;
        }
        st = ec ? ec : unreadable_result(s);
    }
    if (engine().debug)
        platform::tracef("UCPSubmitMessage", "%s: %s%s%s", s.name.c_str(), m.reference.c_str(),
                         m.reference.empty() ? "" : ": ", UCPErrorText(st));
    return st;
}

int Session::enquire_link(std::string_view user) {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    Frame op = build_alert(user, s.opt.alert_pid);
    int st = request(s, op);
    if (st != 0) platform::tracef("UCPEnquireLink", "%s: %s", s.name.c_str(), UCPErrorText(st));
    return st;  // an ACK or a NACK both show the SMSC is there
}

bool Session::usable() {
    Conn& s = *c_;
    if (!s.broken && platform::wait_readable(s.fd, 0) > 0) {
        // Notice a closed connection, or take what arrived meanwhile.
        std::unique_lock lk(s.mu, std::try_to_lock);
        if (lk.owns_lock()) pump(s, 0);
    }
    if (s.inbound && !s.broken) {
        std::unique_lock lk(s.mu, std::try_to_lock);
        if (lk.owns_lock())
            if (const char* why = s.gate.expired()) mark_broken(s, why);
    }
    return !s.broken;
}

void Session::yield(bool wait) {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    pump(s, wait ? YIELD_WAIT_MS : 0);
}

void UCPSetDeliveryHandler(DeliveryHandler handler) {
    auto p = handler ? std::make_shared<const DeliveryHandler>(std::move(handler)) : nullptr;
    EngineState& e = engine();
    std::lock_guard lk(e.cb_mu);
    e.handler = std::move(p);
}

void reset_engine_for_tests() {
    EngineState& e = engine();
    e.debug = false;
    e.sessions.clear();
    {
        std::lock_guard lk(e.opt_mu);
        e.options.clear();
    }
    UCPSetDeliveryHandler(nullptr);
    e.receipts.clear();
}

// ---- positional adapters --------------------------------------------------------

// The session of a socket for the positional operations.
struct Adapter {
    // A session left over from an earlier socket with the same number is
    // dropped. With create_inbound, an unknown socket becomes an unnamed
    // inbound session.
    static std::optional<Session> find(int fd, bool create_inbound) {
        if (fd < 0) return std::nullopt;
        ino_t ino = common::socket_inode(fd);
        if (ConnPtr c = engine().sessions.find(fd, ino)) return Session(std::move(c));
        if (!create_inbound || ino == 0) return std::nullopt;
        return add(Session(fd, {}, options_for({}), true));
    }
    static std::optional<Session> outbound(int fd) {
        auto s = find(fd, false);
        if (s && s->inbound()) return std::nullopt;
        return s;
    }
    static Session add(Session s) {
        engine().sessions.put(s.socket(), s.c_);
        return s;
    }
};

void UCPSetDebugMode(int flag) {
    engine().debug = flag != 0;
}

void UCPSetLinkOptions(std::string_view link_name, const LinkOptions& options) {
    EngineState& e = engine();
    std::lock_guard lk(e.opt_mu);
    e.options[std::string(link_name)] = options;
}

void UCPSetReceiveMessageCallback(ReceiveMessageCallback callback) {
    if (!callback) {
        UCPSetDeliveryHandler(nullptr);
        return;
    }
    UCPSetDeliveryHandler([cb = std::move(callback)](const common::DeliveryRecord& m) {
        return cb(m.link_name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message, m.flags,
                  m.binary ? 1 : 0, m.smsc_message_id, common::join_option_text(m.options));
    });
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
    Session s(socket, link_name, options_for(link_name));
    int st = s.connect(host, port);
    if (st == 0) Adapter::add(s);
    return st;
}

int UCPBind(int socket, std::string_view link_name, std::string_view user,
            std::string_view password) {
    (void)link_name;
    auto s = Adapter::outbound(socket);
    return s ? s->bind(user, password) : UCP_ERR_STATE;
}

int UCPSubmitMessage(int socket, std::string_view link_name, std::string_view sender,
                     std::string_view empty_text, std::string_view recipient, int pid, int dcs,
                     std::string_view udh, std::string_view data, int flags, int binary,
                     std::string_view option_text, std::string* smsc_message_id) {
    (void)link_name;
    (void)empty_text;
    if (smsc_message_id) smsc_message_id->clear();
    auto s = Adapter::outbound(socket);
    if (!s) return UCP_ERR_STATE;
    common::SubmitRecord m;
    m.sender = std::string(sender);
    m.recipient = std::string(recipient);
    m.pid = pid;
    m.dcs = dcs;
    m.udh_hex = std::string(udh);
    m.data = std::string(data);
    m.flags = flags;
    m.binary = binary != 0;
    m.options = common::parse_option_text(option_text);
    m.reference = common::option(m.options, "OurMsgId");
    m.local_user = common::option(m.options, "LocalUser");
    return s->submit(m, smsc_message_id);
}

int UCPEnquireLink(int socket, std::string_view link_name, std::string_view user) {
    (void)link_name;
    auto s = Adapter::outbound(socket);
    return s ? s->enquire_link(user) : UCP_ERR_STATE;
}

int UCPCheckLinkStatus(int socket, std::string_view link_name) {
    auto s = Adapter::find(socket, link_name.empty());
    return s && s->usable() ? 1 : 0;
}

void UCPYield(int socket, std::string_view link_name, int wait) {
    if (auto s = Adapter::find(socket, link_name.empty())) s->yield(wait != 0);
}

void UCPAttachInbound(int socket, std::string_view link_name) {
    if (common::socket_inode(socket) == 0) return;
    Adapter::add(Session(socket, link_name, options_for(link_name), true));
}

void UCPReleaseSession(int socket) {
    engine().sessions.erase(socket);
}

}  // namespace protocols::ucp
