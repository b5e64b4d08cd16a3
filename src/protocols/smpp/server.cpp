// Server half of the SMPP engine: login, the client's submissions, deliveries
// to the client (waiting or windowed) and the activity reports the SMPP
// server front end keeps its sessions alive with.
#include <algorithm>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/trace_sink.h"
#include "protocols/smpp/session.h"

namespace protocols::smpp {

using namespace detail;

namespace {

std::mutex g_srv_mu;
ServerOptions g_srv_options;
std::shared_ptr<const ServerReceiveMessageCallback> g_srv_receive;
std::shared_ptr<const ServerActivityCallback> g_srv_activity;

std::shared_ptr<const ServerReceiveMessageCallback> server_receive_cb() {
    std::lock_guard lk(g_srv_mu);
    return g_srv_receive;
}

}  // namespace

void detail::server_activity(int fd, int terminate) {
    std::shared_ptr<const ServerActivityCallback> cb;
    {
        std::lock_guard lk(g_srv_mu);
        cb = g_srv_activity;
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

SessionPtr server_session(int socket, TlsSession* tls) {
    SessionPtr s = find_session(socket);
    if (!s || !s->server) return nullptr;
    if (tls) s->tls.store(tls);
    return s;
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
            InboundMessage m;
            parse_short_message(p, s.ctx, m);
            std::string id;
            uint32_t status = ESME_RSYSERR;
            if (auto cb = server_receive_cb())
                status = uint32_t((*cb)(s.peer, s.name, m.sender, m.recipient, m.pid, m.dcs,
                                        m.udh_hex, m.message, int(m.flags), m.binary ? 1 : 0,
                                        m.receipt_message_id, id, m.option_text));
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

void SMPPServerSetOptions(const ServerOptions& options) {
    std::lock_guard lk(g_srv_mu);
    g_srv_options = options;
}

void SMPPServerSetReceiveMessageCallback(ServerReceiveMessageCallback callback) {
    auto p = callback ? std::make_shared<const ServerReceiveMessageCallback>(std::move(callback))
                      : nullptr;
    std::lock_guard lk(g_srv_mu);
    g_srv_receive = std::move(p);
}

void SMPPServerSetActivityCallback(ServerActivityCallback callback) {
    auto p =
        callback ? std::make_shared<const ServerActivityCallback>(std::move(callback)) : nullptr;
    std::lock_guard lk(g_srv_mu);
    g_srv_activity = std::move(p);
}

int SMPPServerWaitForLogin(int socket, TlsSession* tls, unsigned timeout_s, std::string& account,
                           std::string& password, uint32_t& bind_sequence, int& bind_kind,
                           int& version) {
    ServerOptions opt;
    {
        std::lock_guard lk(g_srv_mu);
        opt = g_srv_options;
    }
    SessionPtr s = create_session(socket, true);
    s->tls.store(tls);
    s->peer = platform::peer_address(socket);
    s->timeout_ms = std::max(1u, opt.command_timeout_s) * 1000u;
    if (opt.smpp_options) s->registry.load(opt.smpp_options());
    s->ctx.charset = parse_charset(opt.charset);
    s->ctx.use_tlv = opt.use_tlv;
    s->ctx.registry = &s->registry;

    uint64_t start = platform::monotonic_ms();
    uint64_t limit = uint64_t(timeout_s) * 1000u;
    for (;;) {
        {
            std::lock_guard io(s->io);
            if (!s->have_bind) pump(*s, LOGIN_POLL_MS, true);
        }
        if (s->have_bind) {
            account = s->bind.system_id;
            password = s->bind.password;
            bind_sequence = s->bind.sequence;
            bind_kind = int(s->bind.command_id);
            version = s->bind.interface_version;
            return 1;
        }
        if (s->broken || s->end_session) return 0;
        if (platform::monotonic_ms() - start >= limit) return 0;
    }
}

void SMPPServerAcceptLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           int version) {
    SessionPtr s = server_session(socket, tls);
    if (!s) return;
    std::string system_id;
    {
        std::lock_guard lk(g_srv_mu);
        system_id = g_srv_options.system_id;
    }
    uint32_t cmd = bind_kind == 1   ? BIND_RECEIVER
                   : bind_kind == 2 ? BIND_TRANSMITTER
                                    : BIND_TRANSCEIVER;
    // Versions above 3.4 (some clients send 0x50) are served as 3.4.
    s->version = version >= SMPP_VERSION_34 ? SMPP_VERSION_34 : SMPP_VERSION_33;
    s->ctx.version = s->version;
    Pdu r;
    r.command_id = cmd | 0x80000000u;
    r.sequence = bind_sequence;
    r.system_id = system_id;
    if (s->version >= SMPP_VERSION_34)
        r.set_tlv(TAG_SC_INTERFACE_VERSION, std::string(1, char(SMPP_VERSION_34)));
    std::lock_guard io(s->io);
    s->name = s->bind.system_id;
    s->bind_kind = int(cmd);
    s->state = State::Bound;
    s->have_bind = false;
    send_pdu(*s, r);
}

void SMPPServerRejectLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           uint32_t status) {
    SessionPtr s = server_session(socket, tls);
    if (!s) return;
    uint32_t cmd = bind_kind == 1   ? BIND_RECEIVER
                   : bind_kind == 2 ? BIND_TRANSMITTER
                                    : BIND_TRANSCEIVER;
    if (status == ESME_ROK) status = ESME_RBINDFAIL;
    std::lock_guard io(s->io);
    send_simple(*s, cmd | 0x80000000u, status, bind_sequence);
    s->state = State::Closed;
    s->end_session = true;
}

void SMPPServerYield(int socket, TlsSession* tls, int mode, std::string_view account,
                     int* end_session) {
    (void)account;
    SessionPtr s = server_session(socket, tls);
    if (!s) {
        if (end_session) *end_session = 1;
        return;
    }
    {
        std::lock_guard io(s->io);
        pump(*s, yield_wait_ms(mode), true);
    }
    check_timeouts(*s);
    if (end_session && (s->end_session || s->broken)) *end_session = 1;
}

static uint32_t build_delivery(Session& s, std::string_view sender, std::string_view recipient,
                               int pid, int dcs, std::string_view udh, std::string_view data,
                               int flags, int binary, std::string_view receipt_message_id,
                               std::string_view option_text, Pdu& p) {
    p.command_id = DELIVER_SM;
    OutboundMessage m;
    m.sender = sender;
    m.recipient = recipient;
    m.pid = uint8_t(pid);
    m.dcs = uint8_t(dcs);
    m.udh_hex = udh;
    m.data = data;
    m.flags = uint32_t(flags);
    m.binary = binary != 0;
    m.option_text = option_text;
    m.receipt_message_id = receipt_message_id;
    return build_short_message(m, s.ctx, p);
}

static bool can_deliver(const Session& s) {
    return s.state == State::Bound && s.bind_kind != BIND_TRANSMITTER && !s.broken;
}

uint32_t SMPPServerSubmitMessage(int socket, TlsSession* tls, std::string_view account,
                                 std::string_view sender, std::string_view recipient, int pid,
                                 int dcs, std::string_view udh, std::string_view data, int flags,
                                 int binary, std::string_view receipt_message_id,
                                 std::string_view message_id, std::string_view option_text) {
    (void)account;
    (void)message_id;
    SessionPtr s = server_session(socket, tls);
    if (!s || !can_deliver(*s)) return SMPP_ERR_CONNECTION;
    Pdu p;
    uint32_t st = build_delivery(*s, sender, recipient, pid, dcs, udh, data, flags, binary,
                                 receipt_message_id, option_text, p);
    if (st != ESME_ROK) return st;
    st = request(*s, p);
    if (st == SMPP_ERR_TIMEOUT) {
        platform::tracef("SMPPServerSubmitMessage", "%s: no deliver_sm_resp within %u s",
                         s->name.c_str(), s->timeout_ms / 1000);
        return SMPP_SERVER_NO_RESPONSE;
    }
    return st;
}

uint32_t SMPPServerSubmitMessageNew(int socket, TlsSession* tls, std::string_view account,
                                    std::string_view sender, std::string_view recipient, int pid,
                                    int dcs, std::string_view udh, std::string_view data, int flags,
                                    int binary, std::string_view receipt_message_id,
                                    std::string_view message_id, std::string_view option_text,
                                    SMPPServerAsyncEntry* entry) {
    (void)account;
    (void)message_id;
    if (!entry) return SMPP_ERR_STATE;
    SessionPtr s = server_session(socket, tls);
    if (!s || !can_deliver(*s)) return SMPP_ERR_CONNECTION;
    Pdu p;
    uint32_t st = build_delivery(*s, sender, recipient, pid, dcs, udh, data, flags, binary,
                                 receipt_message_id, option_text, p);
    if (st != ESME_ROK) return st;
    p.sequence = s->alloc_seq();
    entry->socket = socket;
    entry->completed.store(false, std::memory_order_relaxed);
    entry->status.store(0, std::memory_order_relaxed);
    entry->sequence = p.sequence;
    entry->sent_ms = platform::monotonic_ms();
    {
        std::lock_guard lk(s->pm);
        Pending pd;
        pd.kind = Pending::ServerAsync;
        pd.entry = entry;
        pd.sent_ms = entry->sent_ms;
        s->pending[p.sequence] = pd;
        ++s->async_count;
    }
    if (!send_pdu(*s, p)) {
        // The entry was completed (connection error) by mark_broken, unless it
        // is still in the table.
        std::lock_guard lk(s->pm);
        if (s->pending.erase(p.sequence)) --s->async_count;
        return SMPP_ERR_CONNECTION;
    }
    return ESME_ROK;
}

uint32_t SMPPServerEnquireLink(int socket, TlsSession* tls) {
    SessionPtr s = server_session(socket, tls);
    if (!s || s->state != State::Bound) return SMPP_ERR_STATE;
    Pdu p;
    p.command_id = ENQUIRE_LINK;
    return request(*s, p);
}

}  // namespace protocols::smpp
