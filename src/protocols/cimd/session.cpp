// CIMD2 sessions: stream framing, the one response the engine waits for at a
// time, the SMSC's requests, the session objects and the positional adapters
// over them.
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
#include "protocols/cimd/cimd.h"
#include "protocols/common/link.h"

namespace protocols::cimd {

struct detail::Conn {
    int fd = -1;
    ino_t ino = 0;
    bool inbound = false;
    std::string name;
    LinkOptions opt;

    std::mutex mu;  // one caller at a time
    std::atomic<bool> broken{false};
    std::string rbuf;
    size_t scanned = 0;  // rbuf's unit is searched up to here
    common::GarbageTrace garbage_trace;
    int next_number = 1;  // ours are odd, 001-255

    bool waiting = false;
    int wait_op = -1, wait_number = -1;
    bool have_response = false;
    bool nacked = false;
    int resync_number = -1;  // the number a NACK asked for, -1 for none
    int response_error = 0;  // the code of a general error response
    Packet response;

    // The last deliver / status report taken: the SMSC sends it again with
    // the same number when our response did not reach it.
    bool have_taken = false;
    Packet last_taken;

    common::InboundGate gate;  // inbound connections: login and deadlines
};

using detail::Conn;
using ConnPtr = std::shared_ptr<Conn>;

namespace {

constexpr unsigned YIELD_WAIT_MS = 1000;
constexpr unsigned LOGOUT_WAIT_MS = 5000;
constexpr size_t READ_CHUNK = 16 * 1024;
constexpr int READ_ROUNDS = 64;
constexpr int NACK_RESENDS = 1;
constexpr const char* TAG = "CIMD";

// The engine's process-wide state, one instance.
struct EngineState {
    std::atomic<bool> debug{false};
    common::SessionTable<Conn> sessions;  // the adapters' lookup by socket
    std::mutex opt_mu;                    // link options by name (CIMDConnect, inbound)
    std::map<std::string, LinkOptions, std::less<>> options;
    std::mutex cb_mu;
    std::shared_ptr<const DeliveryHandler> handler;  // record or extended callback
    // The older callback: no status reports, its result unused.
    std::shared_ptr<const std::function<void(const common::DeliveryRecord&)>> basic;
    // Submits that asked for a receipt under the gateway's id; a report may
    // arrive on any connection of the link.
    common::ReceiptMemory receipts;
};

EngineState& engine() {
    static EngineState state;
    return state;
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

std::string printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == TAB)
            out += "<TAB>";
        else if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F)
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

// An error code that is no number.
int unreadable_response(Conn& s) {
    mark_broken(s, "unreadable error code, closing");
    return CIMD_ERR_CONNECTION;
}

bool send_packet(Conn& s, const Packet& p) {
    if (s.broken) return false;
    std::string bytes = encode_packet(p, s.opt.send_checksum);
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

void send_error(Conn& s, int op, int number, int code) {
    Packet r;
    r.op = op;
    r.number = number;
    if (code) r.add(P_ERROR_CODE, platform::strprintf("%03d", code));
    send_packet(s, r);
}

// Hands a 20 or 23 to the callback; the error code for the response (0 = taken).
int deliver_inbound(Conn& s, const Packet& p) {
    common::DeliveryRecord m;
    int ec = p.op == OP_DELIVER ? parse_deliver(p, m) : parse_status_report(p, m);
    if (ec) {
        platform::tracef(TAG, "%.*s: malformed operation %02d (packet %03d): %s",
                         int(label(s).size()), label(s).data(), p.op, p.number, CIMDErrorText(ec));
        return ec;
    }
    m.link_name = s.name;
    EngineState& e = engine();
    std::shared_ptr<const DeliveryHandler> handler;
    std::shared_ptr<const std::function<void(const common::DeliveryRecord&)>> basic;
    {
        std::lock_guard lk(e.cb_mu);
        handler = e.handler;
        basic = e.basic;
    }
    if (p.op == OP_STATUS_REPORT) {
        if (!handler) {
            if (basic) {
                platform::tracef(TAG, "%.*s: status report for %s not passed on",
                                 int(label(s).size()), label(s).data(), m.smsc_message_id.c_str());
                return 0;
            }
            return EC_OPERATION_FAILED;
        }
        e.receipts.resolve(m, (m.flags & 0x28) != 0);
    }
    if (handler) {
        int st = (*handler)(m);
        if (st == 0) return 0;
        return st > 0 && st < 1000 ? st : EC_OPERATION_FAILED;
    }
    if (basic) {
        (*basic)(m);
        return 0;
    }
    platform::tracef(TAG, "%.*s: no receive callback, operation %02d refused", int(label(s).size()),
                     label(s).data(), p.op);
    return EC_OPERATION_FAILED;
}

bool same_packet(const Packet& a, const Packet& b) {
    if (a.op != b.op || a.number != b.number || a.params.size() != b.params.size()) return false;
    for (size_t i = 0; i < a.params.size(); ++i)
        if (a.params[i].code != b.params[i].code || a.params[i].value != b.params[i].value)
            return false;
    return true;
}

// The SMSC's login (01) on a connection it opened: 010 and 011 against the link's.
void handle_inbound_login(Conn& s, const Packet& p) {
    const std::string* user = p.find(P_USER_IDENTITY);
    const std::string* password = p.find(P_PASSWORD);
    if (s.gate.login(user ? *user : std::string_view(),
                     password ? *password : std::string_view())) {
        send_packet(s, build_response(p));
        return;
    }
    platform::tracef(TAG, "%.*s: login of \"%s\" refused", int(label(s).size()), label(s).data(),
                     printable(user ? user->substr(0, 32) : std::string()).c_str());
    send_packet(s, build_response(p, EC_INVALID_LOGIN));
}

void handle_request(Conn& s, const Packet& p) {
    switch (p.op) {
        case OP_DELIVER:
        case OP_STATUS_REPORT: {
            if (s.inbound && !s.gate.open()) {
                // Not logged in: the operation is not expected yet.
                platform::tracef(TAG, "%.*s: operation %02d (packet %03d) before the login refused",
                                 int(label(s).size()), label(s).data(), p.op, p.number);
                send_packet(s, build_response(p, EC_UNEXPECTED_OPERATION));
                return;
            }
            if (s.have_taken && same_packet(p, s.last_taken)) {
                // Taken already: only the response went missing.
                platform::tracef(TAG, "%.*s: operation %02d (packet %03d) repeated, answered again",
                                 int(label(s).size()), label(s).data(), p.op, p.number);
                send_packet(s, build_response(p));
                return;
            }
            int ec = deliver_inbound(s, p);
            if (ec == 0) {
                s.have_taken = true;
                s.last_taken = p;
            }
            send_packet(s, build_response(p, ec));
            return;
        }
        case OP_LOGIN:
            if (s.inbound) {
                handle_inbound_login(s, p);
                return;
            }
            send_packet(s, build_response(p));
            return;
        case OP_ALIVE:
            send_packet(s, build_response(p));
            return;
        case OP_LOGOUT:
            send_packet(s, build_response(p));
            mark_broken(s, "logout from the SMSC");
            return;
        default:
            send_error(s, OP_GENERAL_ERROR, p.number, EC_UNEXPECTED_OPERATION);
            return;
    }
}

bool is_awaited(const Conn& s, const Packet& p) {
    return s.waiting && !s.have_response && p.number == s.wait_number &&
           (p.op == s.wait_op + OP_RESPONSE || p.op == OP_GENERAL_ERROR || p.op == OP_NACK);
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
    Packet p;
    bool header_ok = false;
    DecodeError err = decode_packet(body, p, &header_ok);
    if (etx_missing && header_ok) err = DecodeError::Syntax;
    if (err != DecodeError::None) {
        const char* what = err == DecodeError::Checksum ? "checksum error" : "syntax error";
        if (trace_garbage(s, body.size() + 2)) {
            trace_recv(s, body, etx_missing);
            platform::tracef(TAG, "%.*s: invalid packet (%s): %s", int(label(s).size()),
                             label(s).data(), what, printable(body.substr(0, 64)).c_str());
        }
        if (!header_ok) return;
        s.gate.unit_received();
        if (is_awaited(s, p)) {
            // Our response arrived damaged: the result is unknown.
            mark_broken(s, "response damaged, closing");
        } else if (p.op < OP_RESPONSE) {
            if (err == DecodeError::Checksum)
                send_error(s, OP_NACK, p.number, 0);
            else
                send_error(s, OP_GENERAL_ERROR, p.number, EC_SYNTAX);
        }
        return;
    }
    s.garbage_trace.flush(TAG, label(s));
    trace_recv(s, body, false);
    s.gate.unit_received();
    if (s.waiting && !s.have_response && p.op == OP_NACK && p.number != s.wait_number) {
        // The SMSC expected another packet number: it names it in the NACK.
        if (p.number % 2 == 1 && p.number <= 255) {
            platform::tracef(TAG, "%.*s: NACK expects packet %03d instead of %03d",
                             int(label(s).size()), label(s).data(), p.number, s.wait_number);
            s.resync_number = p.number;
            s.nacked = true;
        } else {
            platform::tracef(TAG, "%.*s: NACK with packet number %03d ignored",
                             int(label(s).size()), label(s).data(), p.number);
        }
        return;
    }
    if (is_awaited(s, p)) {
        if (p.op == OP_NACK) {
            s.nacked = true;  // the SMSC could not read our packet: send it again
            return;
        }
        s.response_error = 0;
        if (p.op == OP_GENERAL_ERROR) {
            int ec = response_error(p);
            if (ec <= 0) {
                mark_broken(s, "general error response without a code, closing");
                return;
            }
            s.response_error = ec;
        }
        s.have_response = true;
        s.response = std::move(p);
        return;
    }
    if (p.op >= OP_RESPONSE) {
        if (trace_garbage(s, body.size() + 2))
            platform::tracef(TAG, "%.*s: unexpected response %02d:%03d ignored",
                             int(label(s).size()), label(s).data(), p.op, p.number);
        return;
    }
    handle_request(s, p);
}

bool process_packets(Conn& s) {
    return common::consume_stx_units(
        s.rbuf, s.scanned, s.broken,
        [](std::string_view rest, size_t resume) { return scan_packet(rest, resume); },
        [&](std::string_view body, bool missing_etx) { handle_body(s, body, missing_etx); },
        [&](size_t n) {
            if (trace_garbage(s, n))
                platform::tracef(TAG, "%.*s: %zu bytes outside a packet dropped",
                                 int(label(s).size()), label(s).data(), n);
        },
        [&] {
            mark_broken(s, "packet without ETX exceeds the longest packet, closing");
            platform::shutdown_socket(s.fd);
        });
}

void pump(Conn& s, unsigned wait_ms) {
    common::read_pump<READ_CHUNK>(
        s.fd, wait_ms, READ_ROUNDS, s.broken, s.rbuf, [&] { return process_packets(s); },
        [&](const char* why) { mark_broken(s, why); });
}

// Sends a request and waits for its response (0 with s.response set, or a
// code). A silent SMSC leaves the stream in doubt: the session is marked broken.
int request(Conn& s, Packet& req, unsigned timeout_ms = 0) {
    if (s.broken) return CIMD_ERR_CONNECTION;
    req.number = s.next_number;
    s.next_number = s.next_number >= 255 ? 1 : s.next_number + 2;
    s.waiting = true;
    s.wait_op = req.op;
    s.wait_number = req.number;
    s.have_response = false;
    s.nacked = false;
    s.resync_number = -1;
    s.response_error = 0;
    struct Reset {
        Conn& s;
        ~Reset() { s.waiting = false; }
    } reset{s};
    if (!send_packet(s, req)) return CIMD_ERR_CONNECTION;
    uint64_t limit =
        timeout_ms ? timeout_ms : uint64_t(std::max(1u, s.opt.command_timeout_s)) * 1000u;
    uint64_t start = platform::monotonic_ms();
    int resends = 0;
    for (;;) {
        if (s.have_response) return s.response_error;
        if (s.broken) return CIMD_ERR_CONNECTION;
        if (s.nacked) {
            if (resends++ >= NACK_RESENDS) {
                mark_broken(s, "packet refused twice, closing");
                return CIMD_ERR_CONNECTION;
            }
            s.nacked = false;
            if (s.resync_number >= 0) {
                // Continue the numbering where the SMSC expects it.
                req.number = s.resync_number;
                s.wait_number = req.number;
                s.next_number = req.number >= 255 ? 1 : req.number + 2;
                s.resync_number = -1;
            }
            if (!send_packet(s, req)) return CIMD_ERR_CONNECTION;
        }
        uint64_t used = platform::monotonic_ms() - start;
        if (used >= limit) {
            mark_broken(s, "no response within the command time-out");
            return CIMD_ERR_TIMEOUT;
        }
        pump(s, unsigned(std::min<uint64_t>(limit - used, 100)));
    }
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
        platform::tracef("CIMDConnect", "%s: connect to %.*s:%u failed: %s", s.name.c_str(),
                         int(host.size()), host.data(), port, std::strerror(err ? err : EINVAL));
        return CIMD_ERR_CONNECTION;
    }
    platform::set_nodelay(s.fd, true);
    s.ino = common::socket_inode(s.fd);
    return 0;
}

int Session::bind(std::string_view user, std::string_view password) {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    Packet req = build_login(user, password);
    int st = request(s, req);
    if (st == 0) {
        int ec = response_error(s.response);
        if (ec == 0) return 0;
        st = ec > 0 ? ec : unreadable_response(s);
    }
    platform::tracef("CIMDBind", "%s: %s", s.name.c_str(), CIMDErrorText(st));
    return st;
}

int Session::submit(const common::SubmitRecord& m, std::string* smsc_message_id) {
    Conn& s = *c_;
    if (smsc_message_id) smsc_message_id->clear();
    refused_locally_ = false;
    std::lock_guard lk(s.mu);
    if (s.broken) return CIMD_ERR_CONNECTION;
    Packet req;
    int st = build_submit(m, s.opt.coding, req);
    refused_locally_ = st != 0;
    if (st == 0) st = request(s, req);
    if (st == 0) {
        int ec = response_error(s.response);
        if (ec == 0) {
            std::string id = message_id_from_response(s.response);
            if (smsc_message_id) *smsc_message_id = id;
            if ((m.flags & 0x42) && !m.reference.empty() && !id.empty())
                engine().receipts.remember(id, m.reference, m.local_user);
            return 0;
        }
        st = ec > 0 ? ec : unreadable_response(s);
    }
    if (engine().debug)
        platform::tracef("CIMDSubmitMessage", "%s: %s%s%s", s.name.c_str(), m.reference.c_str(),
                         m.reference.empty() ? "" : ": ", CIMDErrorText(st));
    return st;
}

int Session::enquire_link() {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    Packet req;
    req.op = OP_ALIVE;
    int st = request(s, req);
    if (st < 0) platform::tracef("CIMDEnquireLink", "%s: %s", s.name.c_str(), CIMDErrorText(st));
    return st < 0 ? st : 0;  // an error response still shows the SMSC is there
}

int Session::logout() {
    Conn& s = *c_;
    std::lock_guard lk(s.mu);
    Packet req;
    req.op = OP_LOGOUT;
    int st = request(s, req, LOGOUT_WAIT_MS);
    if (st == 0) st = std::max(0, response_error(s.response));
    return st;
}

bool Session::usable() {
    Conn& s = *c_;
    if (!s.broken && platform::wait_readable(s.fd, 0) > 0) {
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

void CIMDSetDeliveryHandler(DeliveryHandler handler) {
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
    {
        std::lock_guard lk(e.cb_mu);
        e.handler = nullptr;
        e.basic = nullptr;
    }
    e.receipts.clear();
}

// ---- positional adapters --------------------------------------------------------

// The session of a socket for the positional operations.
struct Adapter {
    // As in the UCP engine: a session of an earlier socket with the same
    // number is dropped; with create_inbound an unknown socket becomes an
    // unnamed inbound session.
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

void CIMDSetDebugMode(int flag) {
    engine().debug = flag != 0;
}

void CIMDSetLinkOptions(std::string_view link_name, const LinkOptions& options) {
    EngineState& e = engine();
    std::lock_guard lk(e.opt_mu);
    e.options[std::string(link_name)] = options;
}

void CIMDSetReceiveMessageCallback(ReceiveMessageCallback callback) {
    using Basic = std::function<void(const common::DeliveryRecord&)>;
    std::shared_ptr<const Basic> p;
    if (callback)
        p = std::make_shared<const Basic>(
            [cb = std::move(callback)](const common::DeliveryRecord& m) {
                cb(m.link_name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message,
                   m.binary ? 1 : 0);
            });
    EngineState& e = engine();
    std::lock_guard lk(e.cb_mu);
    e.basic = std::move(p);
}

void CIMDSetReceiveMessageCallbackEx(ReceiveMessageCallbackEx callback) {
    if (!callback) {
        CIMDSetDeliveryHandler(nullptr);
        return;
    }
    CIMDSetDeliveryHandler([cb = std::move(callback)](const common::DeliveryRecord& m) {
        return cb(m.link_name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message, m.flags,
                  m.binary ? 1 : 0, m.smsc_message_id, common::join_option_text(m.options));
    });
}

const char* CIMDErrorText(int code) {
    switch (code) {
        case 0:
            return "CIMD OK";
        case CIMD_ERR_CONNECTION:
            return "CIMD Error -1 - Connection to SMSC lost";
        case CIMD_ERR_TIMEOUT:
            return "CIMD Error -2 - No response from SMSC";
        case CIMD_ERR_STATE:
            return "CIMD Error -3 - No CIMD session on this connection";
        default:
            break;
    }
    const char* t = error_code_text(code);
    return t ? t : "CIMD Error - Unknown error code";
}

int CIMDConnect(std::string_view link_name, int socket, std::string_view host, unsigned port) {
    Session s(socket, link_name, options_for(link_name));
    int st = s.connect(host, port);
    if (st == 0) Adapter::add(s);
    return st;
}

int CIMDBind(std::string_view link_name, int socket, std::string_view user,
             std::string_view password) {
    (void)link_name;
    auto s = Adapter::outbound(socket);
    return s ? s->bind(user, password) : CIMD_ERR_STATE;
}

int CIMDSubmitMessage(std::string_view link_name, int socket, std::string_view sender,
                      std::string_view option_text, std::string_view recipient, int pid, int dcs,
                      std::string_view udh, std::string_view data, int flags, int binary,
                      std::string* smsc_message_id) {
    (void)link_name;
    if (smsc_message_id) smsc_message_id->clear();
    auto s = Adapter::outbound(socket);
    if (!s) return CIMD_ERR_STATE;
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

int CIMDEnquireLink(std::string_view link_name, int socket, std::string_view user) {
    (void)link_name;
    (void)user;
    auto s = Adapter::outbound(socket);
    return s ? s->enquire_link() : CIMD_ERR_STATE;
}

int CIMDCheckLinkStatus(std::string_view link_name, int socket) {
    auto s = Adapter::find(socket, link_name.empty());
    return s && s->usable() ? 1 : 0;
}

void CIMDYield(std::string_view link_name, int socket, int wait) {
    if (auto s = Adapter::find(socket, link_name.empty())) s->yield(wait != 0);
}

int CIMDLogout(std::string_view link_name, int socket) {
    (void)link_name;
    auto s = Adapter::outbound(socket);
    return s ? s->logout() : CIMD_ERR_STATE;
}

void CIMDAttachInbound(std::string_view link_name, int socket) {
    if (common::socket_inode(socket) == 0) return;
    Adapter::add(Session(socket, link_name, options_for(link_name), true));
}

void CIMDReleaseSession(int socket) {
    engine().sessions.erase(socket);
}

}  // namespace protocols::cimd
