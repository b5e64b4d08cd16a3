// Server half of the SMPP engine: login, the client's submissions, deliveries
// to the client (waiting or windowed) and the activity reports the SMPP
// server front end keeps its sessions alive with.
#include <algorithm>
#include <optional>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/trace_sink.h"
#include "protocols/smpp/session.h"

namespace protocols::smpp {

using namespace detail;

namespace {

std::shared_ptr<const ServerSubmitHandler> server_submit_handler() {
    EngineState& e = engine();
    std::lock_guard lk(e.srv_mu);
    return e.srv_receive;
}

}  // namespace

void detail::server_activity(int fd, int terminate) {
    std::shared_ptr<const ServerActivityCallback> cb;
    {
        EngineState& e = engine();
        std::lock_guard lk(e.srv_mu);
        cb = e.srv_activity;
    }
    if (cb) (*cb)(fd, terminate);
}

namespace {

constexpr unsigned LOGIN_POLL_MS = 250;

unsigned yield_wait_ms(int mode) {
    switch (mode) {
        case 0:
            return 10;
        case 1:
            return 500;
        default:
            return 1000;
    }
}

uint32_t bind_command(int bind_kind) {
    return bind_kind == 1 ? BIND_RECEIVER : bind_kind == 2 ? BIND_TRANSMITTER : BIND_TRANSCEIVER;
}

}  // namespace

namespace detail {

void handle_server_request(Session& s, const Pdu& p) {
    switch (p.command_id) {
        case BIND_RECEIVER:
        case BIND_TRANSMITTER:
        case BIND_TRANSCEIVER:
            if (s.state == State::Open && !s.have_bind) {
                s.bind = p;
                s.have_bind = true;
                return;
            }
            send_simple(s, p.command_id | 0x80000000u, ESME_RALYBND, p.sequence);
            return;
        case ENQUIRE_LINK:
            send_simple(s, ENQUIRE_LINK_RESP, ESME_ROK, p.sequence);
            return;
        case UNBIND:
            send_simple(s, UNBIND_RESP, ESME_ROK, p.sequence);
            s.state = State::Closed;
            s.end_session = true;
            // Deliveries still awaiting an answer will not get one.
            fail_server_entries(s, SMPP_ERR_CONNECTION);
            return;
        case SUBMIT_SM:
        case DATA_SM: {
            uint32_t resp = p.command_id | 0x80000000u;
            if (s.state != State::Bound) {
                send_simple(s, GENERIC_NACK, ESME_RINVBNDSTS, p.sequence);
                return;
            }
            Pdu r;
            r.command_id = resp;
            r.sequence = p.sequence;
            if (s.bind_kind == BIND_RECEIVER) {
                r.command_status = ESME_RINVBNDSTS;
                send_pdu(s, r);
                return;
            }
            common::DeliveryRecord m;
            parse_short_message(p, s.ctx, m);
            std::string id;
            uint32_t status = ESME_RSYSERR;
            if (auto h = server_submit_handler()) status = uint32_t((*h)(s.peer, s.name, m, id));
            r.command_status = status;
            if (status == ESME_ROK) r.message_id = std::move(id);
            send_pdu(s, r);
            return;
        }
        case ALERT_NOTIFICATION:
        case OUTBIND:
            return;
        default:
            send_simple(s, GENERIC_NACK, s.state == State::Bound ? ESME_RINVCMDID : ESME_RINVBNDSTS,
                        p.sequence);
            return;
    }
}

}  // namespace detail

// ---- server record API ----------------------------------------------------------

ServerSession::ServerSession(int socket, TlsSession* tls, const ServerOptions& options)
    : s_(new_session(socket, true)) {
    Session& s = *s_;
    s.tls.store(tls);
    s.peer = platform::peer_address(socket);
    s.timeout_ms = std::max(1u, options.command_timeout_s) * 1000u;
    if (options.smpp_options) s.registry.load(options.smpp_options());
    s.ctx.charset = parse_charset(options.charset);
    s.ctx.use_tlv = options.use_tlv;
    s.ctx.registry = &s.registry;
    s.system_id = options.system_id;
}

int ServerSession::socket() const {
    return s_->fd;
}

void ServerSession::set_tls(TlsSession* tls) {
    s_->tls.store(tls);
}

bool ServerSession::wait_for_login(unsigned timeout_s, LoginRequest& login) {
    Session& s = *s_;
    uint64_t start = platform::monotonic_ms();
    uint64_t limit = uint64_t(timeout_s) * 1000u;
    for (;;) {
        {
            std::lock_guard io(s.io);
            if (!s.have_bind) pump(s, LOGIN_POLL_MS, true);
        }
        if (s.have_bind) {
            login.account = s.bind.system_id;
            login.password = s.bind.password;
            login.sequence = s.bind.sequence;
            login.kind = int(s.bind.command_id);
            login.version = s.bind.interface_version;
            return true;
        }
        if (s.broken || s.end_session) return false;
        if (platform::monotonic_ms() - start >= limit) return false;
    }
}

void ServerSession::accept_login(const LoginRequest& login) {
    Session& s = *s_;
    uint32_t cmd = bind_command(login.kind);
    // Versions above 3.4 (some clients send 0x50) are served as 3.4.
    s.version = login.version >= SMPP_VERSION_34 ? SMPP_VERSION_34 : SMPP_VERSION_33;
    s.ctx.version = s.version;
    Pdu r;
    r.command_id = cmd | 0x80000000u;
    r.sequence = login.sequence;
    r.system_id = s.system_id;
    if (s.version >= SMPP_VERSION_34)
        r.set_tlv(TAG_SC_INTERFACE_VERSION, std::string(1, char(SMPP_VERSION_34)));
    std::lock_guard io(s.io);
    s.name = s.bind.system_id;
    s.bind_kind = int(cmd);
    s.state = State::Bound;
    s.have_bind = false;
    send_pdu(s, r);
}

void ServerSession::reject_login(const LoginRequest& login, uint32_t status) {
    Session& s = *s_;
    if (status == ESME_ROK) status = ESME_RBINDFAIL;
    std::lock_guard io(s.io);
    send_simple(s, bind_command(login.kind) | 0x80000000u, status, login.sequence);
    s.state = State::Closed;
    s.end_session = true;
}

bool ServerSession::yield(int mode) {
    Session& s = *s_;
    {
        std::lock_guard io(s.io);
        pump(s, yield_wait_ms(mode), true);
    }
    check_timeouts(s);
    return !(s.end_session || s.broken);
}

namespace {

bool can_deliver(const Session& s) {
    return s.state == State::Bound && s.bind_kind != BIND_TRANSMITTER && !s.broken;
}

}  // namespace

uint32_t ServerSession::deliver(const common::SubmitRecord& m) {
    Session& s = *s_;
    if (!can_deliver(s)) return SMPP_ERR_CONNECTION;
    Pdu p;
    p.command_id = DELIVER_SM;
    uint32_t st = build_short_message(m, s.ctx, p);
    if (st != ESME_ROK) return st;
    st = request(s, p);
    if (st == SMPP_ERR_TIMEOUT) {
        platform::tracef("SMPPServerSubmitMessage", "%s: no deliver_sm_resp within %u s",
                         s.name.c_str(), s.timeout_ms / 1000);
        return SMPP_SERVER_NO_RESPONSE;
    }
    return st;
}

uint32_t ServerSession::deliver_async(const common::SubmitRecord& m, SMPPServerAsyncEntry& entry) {
    Session& s = *s_;
    if (!can_deliver(s)) return SMPP_ERR_CONNECTION;
    Pdu p;
    p.command_id = DELIVER_SM;
    uint32_t st = build_short_message(m, s.ctx, p);
    if (st != ESME_ROK) return st;
    p.sequence = s.alloc_seq();
    entry.socket = s.fd;
    entry.completed.store(false, std::memory_order_relaxed);
    entry.status.store(0, std::memory_order_relaxed);
    entry.sequence = p.sequence;
    entry.sent_ms = platform::monotonic_ms();
    {
        std::lock_guard lk(s.pm);
        Pending pd;
        pd.kind = Pending::ServerAsync;
        pd.entry = &entry;
        pd.sent_ms = entry.sent_ms;
        s.pending[p.sequence] = pd;
        ++s.async_count;
    }
    if (!send_pdu(s, p)) {
        // The entry was completed (connection error) by mark_broken, unless it
        // is still in the table.
        std::lock_guard lk(s.pm);
        if (s.pending.erase(p.sequence)) --s.async_count;
        return SMPP_ERR_CONNECTION;
    }
    return ESME_ROK;
}

uint32_t ServerSession::enquire_link() {
    Session& s = *s_;
    if (s.state != State::Bound) return SMPP_ERR_STATE;
    Pdu p;
    p.command_id = ENQUIRE_LINK;
    return request(s, p);
}

void SMPPServerSetSubmitHandler(ServerSubmitHandler handler) {
    auto p = handler ? std::make_shared<const ServerSubmitHandler>(std::move(handler)) : nullptr;
    EngineState& e = engine();
    std::lock_guard lk(e.srv_mu);
    e.srv_receive = std::move(p);
}

// ---- server adapters ------------------------------------------------------------

// The positional server operations: the session of a socket.
struct ServerAdapter {
    static std::optional<ServerSession> find(int socket, TlsSession* tls) {
        SessionPtr s = find_session(socket);
        if (!s || !s->server) return std::nullopt;
        if (tls) s->tls.store(tls);
        return ServerSession(std::move(s));
    }
    static void add(const ServerSession& c) { register_session(c.s_); }
};

void SMPPServerSetOptions(const ServerOptions& options) {
    EngineState& e = engine();
    std::lock_guard lk(e.srv_mu);
    e.srv_options = options;
}

void SMPPServerSetReceiveMessageCallback(ServerReceiveMessageCallback callback) {
    if (!callback) {
        SMPPServerSetSubmitHandler(nullptr);
        return;
    }
    SMPPServerSetSubmitHandler(
        [cb = std::move(callback)](std::string_view client_address, std::string_view account,
                                   const common::DeliveryRecord& m, std::string& message_id) {
            return cb(client_address, account, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex,
                      m.message, m.flags, m.binary ? 1 : 0, m.smsc_message_id, message_id,
                      common::join_option_text(m.options));
        });
}

void SMPPServerSetActivityCallback(ServerActivityCallback callback) {
    auto p =
        callback ? std::make_shared<const ServerActivityCallback>(std::move(callback)) : nullptr;
    EngineState& e = engine();
    std::lock_guard lk(e.srv_mu);
    e.srv_activity = std::move(p);
}

int SMPPServerWaitForLogin(int socket, TlsSession* tls, unsigned timeout_s, std::string& account,
                           std::string& password, uint32_t& bind_sequence, int& bind_kind,
                           int& version) {
    ServerOptions opt;
    {
        EngineState& e = engine();
        std::lock_guard lk(e.srv_mu);
        opt = e.srv_options;
    }
    ServerSession s(socket, tls, opt);
    ServerAdapter::add(s);
    LoginRequest login;
    if (!s.wait_for_login(timeout_s, login)) return 0;
    account = std::move(login.account);
    password = std::move(login.password);
    bind_sequence = login.sequence;
    bind_kind = login.kind;
    version = login.version;
    return 1;
}

void SMPPServerAcceptLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           int version) {
    auto s = ServerAdapter::find(socket, tls);
    if (!s) return;
    LoginRequest login;
    login.sequence = bind_sequence;
    login.kind = bind_kind;
    login.version = version;
    s->accept_login(login);
}

void SMPPServerRejectLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           uint32_t status) {
    auto s = ServerAdapter::find(socket, tls);
    if (!s) return;
    LoginRequest login;
    login.sequence = bind_sequence;
    login.kind = bind_kind;
    s->reject_login(login, status);
}

void SMPPServerYield(int socket, TlsSession* tls, int mode, std::string_view account,
                     int* end_session) {
    (void)account;
    auto s = ServerAdapter::find(socket, tls);
    if (!s || !s->yield(mode)) {
        if (end_session) *end_session = 1;
    }
}

uint32_t SMPPServerSubmitMessage(int socket, TlsSession* tls, std::string_view account,
                                 std::string_view sender, std::string_view recipient, int pid,
                                 int dcs, std::string_view udh, std::string_view data, int flags,
                                 int binary, std::string_view receipt_message_id,
                                 std::string_view message_id, std::string_view option_text) {
    (void)account;
    auto s = ServerAdapter::find(socket, tls);
    if (!s) return SMPP_ERR_CONNECTION;
    common::SubmitRecord m = submit_record(sender, recipient, pid, dcs, udh, data);
    m.flags = flags;
    m.binary = binary != 0;
    m.receipt_message_id = std::string(receipt_message_id);
    m.reference = std::string(message_id);
    m.options = common::parse_option_text(option_text);
    return s->deliver(m);
}

uint32_t SMPPServerSubmitMessageNew(int socket, TlsSession* tls, std::string_view account,
                                    std::string_view sender, std::string_view recipient, int pid,
                                    int dcs, std::string_view udh, std::string_view data, int flags,
                                    int binary, std::string_view receipt_message_id,
                                    std::string_view message_id, std::string_view option_text,
                                    SMPPServerAsyncEntry* entry) {
    (void)account;
    if (!entry) return SMPP_ERR_STATE;
    auto s = ServerAdapter::find(socket, tls);
    if (!s) return SMPP_ERR_CONNECTION;
    common::SubmitRecord m = submit_record(sender, recipient, pid, dcs, udh, data);
    m.flags = flags;
    m.binary = binary != 0;
    m.receipt_message_id = std::string(receipt_message_id);
    m.reference = std::string(message_id);
    m.options = common::parse_option_text(option_text);
    return s->deliver_async(m, *entry);
}

uint32_t SMPPServerEnquireLink(int socket, TlsSession* tls) {
    auto s = ServerAdapter::find(socket, tls);
    return s ? s->enquire_link() : SMPP_ERR_STATE;
}

}  // namespace protocols::smpp
