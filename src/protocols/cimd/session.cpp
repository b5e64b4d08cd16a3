// CIMD2 sessions: registry by socket, stream framing, the one response the
// engine waits for at a time, the SMSC's requests, and the public calls.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/cimd/cimd.h"
#include "protocols/common/link.h"

namespace protocols::cimd {

namespace {

constexpr unsigned YIELD_WAIT_MS = 1000;
constexpr unsigned LOGOUT_WAIT_MS = 5000;
constexpr size_t READ_CHUNK = 16 * 1024;
constexpr int READ_ROUNDS = 64;
constexpr int NACK_RESENDS = 1;
constexpr const char* TAG = "CIMD";

std::atomic<bool> g_debug{false};

struct Session {
    int fd = -1;
    ino_t ino = 0;
    bool inbound = false;
    std::string name;
    LinkOptions opt;

    std::mutex mu;  // one caller at a time
    std::atomic<bool> broken{false};
    std::string rbuf;
    int next_number = 1;  // ours are odd, 001-255

    bool waiting = false;
    int wait_op = -1, wait_number = -1;
    bool have_response = false;
    bool nacked = false;
    int response_error = 0;  // the code of a general error response
    Packet response;
};
using SessionPtr = std::shared_ptr<Session>;

common::SessionTable<Session> g_sessions;

std::mutex g_opt_mu;
std::map<std::string, LinkOptions, std::less<>> g_options;

std::mutex g_cb_mu;
std::shared_ptr<const ReceiveMessageCallback> g_cb;
std::shared_ptr<const ReceiveMessageCallbackEx> g_cb_ex;

common::ReceiptMemory g_receipts;  // submits that asked for "OurMsgId="

LinkOptions options_for(std::string_view link) {
    std::lock_guard lk(g_opt_mu);
    auto it = g_options.find(link);
    return it == g_options.end() ? LinkOptions{} : it->second;
}

std::string_view label(const Session& s) {
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

void mark_broken(Session& s, const char* why) {
    if (!s.broken.exchange(true))
        platform::tracef(TAG, "%.*s: %s", int(label(s).size()), label(s).data(), why);
}

SessionPtr make_session(int fd, bool inbound, std::string_view name) {
    auto s = std::make_shared<Session>();
    s->fd = fd;
    s->ino = common::socket_inode(fd);
    s->inbound = inbound;
    s->name = std::string(name);
    s->opt = options_for(name);
    g_sessions.put(fd, s);
    return s;
}

// As in the UCP engine: a session of an earlier socket with the same number
// is dropped; with create_inbound an unknown socket becomes an inbound session.
SessionPtr find_session(int fd, bool create_inbound) {
    if (fd < 0) return nullptr;
    ino_t ino = common::socket_inode(fd);
    if (SessionPtr s = g_sessions.find(fd, ino)) return s;
    if (!create_inbound || ino == 0) return nullptr;
    return make_session(fd, true, {});
}

// An error code that is no number.
int unreadable_response(Session& s) {
    mark_broken(s, "unreadable error code, closing");
    return CIMD_ERR_CONNECTION;
}

SessionPtr outbound_session(int fd) {
    SessionPtr s = find_session(fd, false);
    return s && !s->inbound ? s : nullptr;
}

bool send_packet(Session& s, const Packet& p) {
    if (s.broken) return false;
    std::string bytes = encode_packet(p, s.opt.send_checksum);
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

void send_error(Session& s, int op, int number, int code) {
    Packet r;
    r.op = op;
    r.number = number;
    if (code) r.add(P_ERROR_CODE, platform::strprintf("%03d", code));
    send_packet(s, r);
}

// Hands a 20 or 23 to the callback; the error code for the response (0 = taken).
int deliver_inbound(Session& s, const Packet& p) {
    InboundMessage m;
    int ec = p.op == OP_DELIVER ? parse_deliver(p, m) : parse_status_report(p, m);
    if (ec) {
        platform::tracef(TAG, "%.*s: malformed operation %02d (packet %03d): %s",
                         int(label(s).size()), label(s).data(), p.op, p.number, CIMDErrorText(ec));
        return ec;
    }
    std::shared_ptr<const ReceiveMessageCallback> cb;
    std::shared_ptr<const ReceiveMessageCallbackEx> cb_ex;
    {
        std::lock_guard lk(g_cb_mu);
        cb = g_cb;
        cb_ex = g_cb_ex;
    }
    std::string extra;
    if (p.op == OP_STATUS_REPORT) {
        if (!cb_ex) {
            if (cb) {
                platform::tracef(TAG, "%.*s: status report for %s not passed on",
                                 int(label(s).size()), label(s).data(), m.smsc_message_id.c_str());
                return 0;
            }
            return EC_OPERATION_FAILED;
        }
        g_receipts.resolve(m.smsc_message_id, m.message, (m.flags & 0x28) != 0, extra);
    }
    if (cb_ex) {
        int st = (*cb_ex)(s.name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message,
                          m.flags, m.binary ? 1 : 0, m.smsc_message_id, extra);
        if (st == 0) return 0;
        return st > 0 && st < 1000 ? st : EC_OPERATION_FAILED;
    }
    if (cb) {
        (*cb)(s.name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message, m.binary ? 1 : 0);
        return 0;
    }
    platform::tracef(TAG, "%.*s: no receive callback, operation %02d refused", int(label(s).size()),
                     label(s).data(), p.op);
    return EC_OPERATION_FAILED;
}

void handle_request(Session& s, const Packet& p) {
    switch (p.op) {
        case OP_DELIVER:
        case OP_STATUS_REPORT:
            send_packet(s, build_response(p, deliver_inbound(s, p)));
            return;
        case OP_ALIVE:
        case OP_LOGIN:  // the SMSC opening an inbound connection
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

bool is_awaited(const Session& s, const Packet& p) {
    return s.waiting && !s.have_response && p.number == s.wait_number &&
           (p.op == s.wait_op + OP_RESPONSE || p.op == OP_GENERAL_ERROR || p.op == OP_NACK);
}

void handle_body(Session& s, std::string_view body, bool etx_missing) {
    if (g_debug && platform::trace_active())
        platform::tracef(TAG, "%.*s recv %s%s", int(label(s).size()), label(s).data(),
                         printable(body).c_str(), etx_missing ? " (no ETX)" : "");
    Packet p;
    bool header_ok = false;
    DecodeError err = decode_packet(body, p, &header_ok);
    if (etx_missing && header_ok) err = DecodeError::Syntax;
    if (err != DecodeError::None) {
        const char* what = err == DecodeError::Checksum ? "checksum error" : "syntax error";
        platform::tracef(TAG, "%.*s: invalid packet (%s): %s", int(label(s).size()),
                         label(s).data(), what, printable(body.substr(0, 64)).c_str());
        if (!header_ok) return;
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
        platform::tracef(TAG, "%.*s: unexpected response %02d:%03d ignored", int(label(s).size()),
                         label(s).data(), p.op, p.number);
        return;
    }
    handle_request(s, p);
}

bool process_packets(Session& s) {
    return common::consume_stx_units(
        s.rbuf, s.broken, scan_packet,
        [&](std::string_view body, bool missing_etx) { handle_body(s, body, missing_etx); },
        [&](size_t n) {
            platform::tracef(TAG, "%.*s: %zu bytes outside a packet dropped", int(label(s).size()),
                             label(s).data(), n);
        },
        [&] {
            mark_broken(s, "packet without ETX exceeds the longest packet, closing");
            ::shutdown(s.fd, SHUT_RDWR);
        });
}

void pump(Session& s, unsigned wait_ms) {
    common::read_pump<READ_CHUNK>(
        s.fd, wait_ms, READ_ROUNDS, s.broken, s.rbuf, [&] { return process_packets(s); },
        [&](const char* why) { mark_broken(s, why); });
}

// Sends a request and waits for its response (0 with s.response set, or a
// code). A silent SMSC leaves the stream in doubt: the session is marked broken.
int request(Session& s, Packet& req, unsigned timeout_ms = 0) {
    if (s.broken) return CIMD_ERR_CONNECTION;
    req.number = s.next_number;
    s.next_number = s.next_number >= 255 ? 1 : s.next_number + 2;
    s.waiting = true;
    s.wait_op = req.op;
    s.wait_number = req.number;
    s.have_response = false;
    s.nacked = false;
    s.response_error = 0;
    struct Reset {
        Session& s;
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

void CIMDSetDebugMode(int flag) {
    g_debug = flag != 0;
}

void CIMDSetLinkOptions(std::string_view link_name, const LinkOptions& options) {
    std::lock_guard lk(g_opt_mu);
    g_options[std::string(link_name)] = options;
}

void CIMDSetReceiveMessageCallback(ReceiveMessageCallback callback) {
    auto p =
        callback ? std::make_shared<const ReceiveMessageCallback>(std::move(callback)) : nullptr;
    std::lock_guard lk(g_cb_mu);
    g_cb = std::move(p);
}

void CIMDSetReceiveMessageCallbackEx(ReceiveMessageCallbackEx callback) {
    auto p =
        callback ? std::make_shared<const ReceiveMessageCallbackEx>(std::move(callback)) : nullptr;
    std::lock_guard lk(g_cb_mu);
    g_cb_ex = std::move(p);
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
    LinkOptions opt = options_for(link_name);
    unsigned timeout_ms = std::max(1u, opt.command_timeout_s) * 1000u;
    int err = 0;
    if (socket < 0 || port == 0 || port > 65535 ||
        !common::connect_socket(socket, host, port, timeout_ms, err)) {
        platform::tracef("CIMDConnect", "%.*s: connect to %.*s:%u failed: %s",
                         int(link_name.size()), link_name.data(), int(host.size()), host.data(),
                         port, std::strerror(err ? err : EINVAL));
        return CIMD_ERR_CONNECTION;
    }
    platform::set_nodelay(socket, true);
    make_session(socket, false, link_name);
    return 0;
}

int CIMDBind(std::string_view link_name, int socket, std::string_view user,
             std::string_view password) {
    SessionPtr s = outbound_session(socket);
    if (!s) return CIMD_ERR_STATE;
    std::lock_guard lk(s->mu);
    Packet req = build_login(user, password);
    int st = request(*s, req);
    if (st == 0) {
        int ec = response_error(s->response);
        if (ec == 0) return 0;
        st = ec > 0 ? ec : unreadable_response(*s);
    }
    platform::tracef("CIMDBind", "%.*s: %s", int(link_name.size()), link_name.data(),
                     CIMDErrorText(st));
    return st;
}

int CIMDSubmitMessage(std::string_view link_name, int socket, std::string_view sender,
                      std::string_view option_text, std::string_view recipient, int pid, int dcs,
                      std::string_view udh, std::string_view data, int flags, int binary,
                      std::string* smsc_message_id) {
    if (smsc_message_id) smsc_message_id->clear();
    SessionPtr s = outbound_session(socket);
    if (!s) return CIMD_ERR_STATE;
    std::lock_guard lk(s->mu);
    if (s->broken) return CIMD_ERR_CONNECTION;
    OutboundMessage m;
    m.sender = sender;
    m.recipient = recipient;
    m.pid = pid;
    m.dcs = dcs;
    m.udh_hex = udh;
    m.data = data;
    m.flags = flags;
    m.binary = binary != 0;
    Packet req;
    int st = build_submit(m, s->opt.coding, req);
    if (st == 0) st = request(*s, req);
    std::string our_id = common::option_value(option_text, "OurMsgId");
    if (st == 0) {
        int ec = response_error(s->response);
        if (ec == 0) {
            std::string id = message_id_from_response(s->response);
            if (smsc_message_id) *smsc_message_id = id;
            if ((flags & 0x42) && !our_id.empty() && !id.empty())
                g_receipts.remember(id, our_id, common::option_value(option_text, "LocalUser"));
            return 0;
        }
        st = ec > 0 ? ec : unreadable_response(*s);
    }
    if (g_debug)
        platform::tracef("CIMDSubmitMessage", "%.*s: %s%s%s", int(link_name.size()),
                         link_name.data(), our_id.c_str(), our_id.empty() ? "" : ": ",
                         CIMDErrorText(st));
    return st;
}

int CIMDEnquireLink(std::string_view link_name, int socket, std::string_view user) {
    (void)user;
    SessionPtr s = outbound_session(socket);
    if (!s) return CIMD_ERR_STATE;
    std::lock_guard lk(s->mu);
    Packet req;
    req.op = OP_ALIVE;
    int st = request(*s, req);
    if (st < 0)
        platform::tracef("CIMDEnquireLink", "%.*s: %s", int(link_name.size()), link_name.data(),
                         CIMDErrorText(st));
    return st < 0 ? st : 0;  // an error response still shows the SMSC is there
}

int CIMDCheckLinkStatus(std::string_view link_name, int socket) {
    SessionPtr s = find_session(socket, link_name.empty());
    if (!s) return 0;
    if (!s->broken && platform::wait_readable(socket, 0) > 0) {
        std::unique_lock lk(s->mu, std::try_to_lock);
        if (lk.owns_lock()) pump(*s, 0);
    }
    return s->broken ? 0 : 1;
}

void CIMDYield(std::string_view link_name, int socket, int wait) {
    SessionPtr s = find_session(socket, link_name.empty());
    if (!s) return;
    std::lock_guard lk(s->mu);
    pump(*s, wait ? YIELD_WAIT_MS : 0);
}

int CIMDLogout(std::string_view link_name, int socket) {
    (void)link_name;
    SessionPtr s = outbound_session(socket);
    if (!s) return CIMD_ERR_STATE;
    std::lock_guard lk(s->mu);
    Packet req;
    req.op = OP_LOGOUT;
    int st = request(*s, req, LOGOUT_WAIT_MS);
    if (st == 0) st = std::max(0, response_error(s->response));
    return st;
}

void CIMDAttachInbound(std::string_view link_name, int socket) {
    if (common::socket_inode(socket) == 0) return;
    make_session(socket, true, link_name);
}

void CIMDReleaseSession(int socket) {
    g_sessions.erase(socket);
}

}  // namespace protocols::cimd
