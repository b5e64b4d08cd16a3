// SMPP sessions: registry, transport, input framing, request/response
// matching, and the client operations the link workers call.
#include "protocols/smpp/session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <optional>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/common/link.h"
#include "support/events.h"

namespace protocols::smpp {

using namespace detail;

namespace {

// How long yield calls wait for input.
constexpr unsigned YIELD_WAIT_MS = 1000;
// Reads handled per pump before returning to the caller.
constexpr int PUMP_ROUNDS = 64;
constexpr size_t READ_CHUNK = 64 * 1024;
constexpr unsigned UNBIND_WAIT_MS = 5000;

std::shared_ptr<const DeliveryHandler> receive_handler() {
    EngineState& e = engine();
    std::lock_guard lk(e.cb_mu);
    return e.receive;
}

}  // namespace

// ---- shared session machinery -------------------------------------------------

namespace detail {

EngineState& engine() {
    static EngineState state;
    return state;
}

bool debug_enabled() {
    return engine().debug.load(std::memory_order_relaxed);
}

void trace_pdu(const Session& s, const char* dir, const Pdu& p) {
    if (!debug_enabled() || !platform::trace_active()) return;
    platform::tracef(s.server ? "SMPPServer" : "SMPP", "%s %s %s seq=%u status=0x%08X",
                     s.name.c_str(), dir, command_name(p.command_id), unsigned(p.sequence),
                     unsigned(p.command_status));
}

uint32_t Session::alloc_seq() {
    // Sequence numbers run 1 .. 0x7FFFFFFF and wrap.
    uint32_t v = next_seq.fetch_add(1, std::memory_order_relaxed);
    return (v - 1) % 0x7FFFFFFFu + 1;
}

Session::~Session() {
    fail_server_entries(*this, SMPP_ERR_CONNECTION);
}

SessionPtr new_session(int fd, bool server) {
    auto s = std::make_shared<Session>();
    s->fd = fd;
    s->server = server;
    return s;
}

SessionPtr find_session(int fd) {
    EngineState& e = engine();
    std::lock_guard lk(e.reg_mu);
    auto it = e.sessions.find(fd);
    return it == e.sessions.end() ? nullptr : it->second;
}

void register_session(const SessionPtr& s) {
    EngineState& e = engine();
    SessionPtr old;
    {
        std::lock_guard lk(e.reg_mu);
        SessionPtr& slot = e.sessions[s->fd];
        old = std::move(slot);
        slot = s;
    }
    if (old) fail_server_entries(*old, SMPP_ERR_CONNECTION);
}

SessionPtr create_session(int fd, bool server) {
    SessionPtr s = new_session(fd, server);
    register_session(s);
    return s;
}

void release_session(int fd) {
    EngineState& e = engine();
    SessionPtr old;
    {
        std::lock_guard lk(e.reg_mu);
        auto it = e.sessions.find(fd);
        if (it == e.sessions.end()) return;
        old = std::move(it->second);
        e.sessions.erase(it);
    }
    old->state = State::Closed;
    fail_server_entries(*old, SMPP_ERR_CONNECTION);
}

std::vector<SessionPtr> sessions_of_link(std::string_view link_name) {
    EngineState& e = engine();
    std::vector<SessionPtr> out;
    std::lock_guard lk(e.reg_mu);
    for (const auto& [fd, s] : e.sessions)
        if (!s->server && s->name == link_name) out.push_back(s);
    return out;
}

void fail_server_entries(Session& s, uint32_t status) {
    std::lock_guard lk(s.pm);
    for (auto it = s.pending.begin(); it != s.pending.end();) {
        if (it->second.kind == Pending::ServerAsync) {
            it->second.entry->status.store(status, std::memory_order_relaxed);
            it->second.entry->completed.store(true, std::memory_order_release);
            --s.async_count;
            it = s.pending.erase(it);
        } else {
            ++it;
        }
    }
}

void mark_broken(Session& s, const char* why) {
    if (!s.broken.exchange(true))
        platform::tracef(s.server ? "SMPPServer" : "SMPP", "%s: %s",
                         s.name.empty() ? s.peer.c_str() : s.name.c_str(), why);
    bool first = !s.end_session.exchange(true);
    if (s.server) {
        fail_server_entries(s, SMPP_ERR_CONNECTION);
        if (first) server_activity(s.fd, 1);
    }
}

static bool write_bytes(Session& s, const char* data, size_t len) {
    if (TlsSession* t = s.tls.load()) {
        std::lock_guard lk(s.ssl_mu);
        return support::sslSend(t, data, len) == long(len);
    }
    return platform::send_all(s.fd, data, len, s.timeout_ms) == long(len);
}

// Above this the batch goes out before the input is done.
constexpr size_t OUTPUT_BATCH_MAX = 32 * 1024;

bool flush_output(Session& s) {
    std::lock_guard lk(s.wr);
    if (s.out.empty()) return true;
    // Written even on a session already marked broken: an unbind_resp or a
    // last generic_nack is worth a try.
    bool ok = write_bytes(s, s.out.data(), s.out.size());
    s.out.clear();
    s.held = 0;
    if (!ok && !s.broken) mark_broken(s, "send failed");
    return ok;
}

bool send_pdu(Session& s, const Pdu& p) {
    if (s.broken) return false;
    trace_pdu(s, "send", p);
    std::string bytes = encode_pdu(p, s.version);
    bool ok;
    {
        std::lock_guard lk(s.wr);
        if (s.batch_thread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            s.out += bytes;
            if (s.out.size() < OUTPUT_BATCH_MAX) return true;
            ok = write_bytes(s, s.out.data(), s.out.size());
            s.out.clear();
            s.held = 0;
        } else if (!s.out.empty()) {
            // Held submits go first: the stream keeps the order of the calls.
            s.out += bytes;
            ok = write_bytes(s, s.out.data(), s.out.size());
            s.out.clear();
            s.held = 0;
        } else {
            ok = write_bytes(s, bytes.data(), bytes.size());
        }
    }
    if (!ok) {
        mark_broken(s, "send failed");
        return false;
    }
    return true;
}

// Held asynchronous submits leave once this many collected, once they are a
// quarter of the outstanding ones (the peer is about to run dry), or once the
// oldest waited this long.
constexpr size_t ASYNC_HOLD_MAX = 16;
constexpr uint64_t ASYNC_HOLD_MS = 2;

static bool hold_due(const Session& s, size_t outstanding) {
    return s.held >= ASYNC_HOLD_MAX || s.out.size() >= OUTPUT_BATCH_MAX ||
           s.held * 4 >= outstanding || platform::monotonic_ms() - s.held_since_ms >= ASYNC_HOLD_MS;
}

// An asynchronous submit: held for a batched write (see hold_due).
static bool send_async_pdu(Session& s, const Pdu& p, size_t outstanding) {
    if (s.broken) return false;
    trace_pdu(s, "send", p);
    std::string bytes = encode_pdu(p, s.version);
    bool ok = true;
    {
        std::lock_guard lk(s.wr);
        if (s.held == 0) s.held_since_ms = platform::monotonic_ms();
        s.out += bytes;
        ++s.held;
        if (s.batch_thread.load(std::memory_order_relaxed) != std::this_thread::get_id() &&
            hold_due(s, outstanding)) {
            ok = write_bytes(s, s.out.data(), s.out.size());
            s.out.clear();
            s.held = 0;
        }
    }
    if (!ok) {
        mark_broken(s, "send failed");
        return false;
    }
    return true;
}

// Sends held submits that are due; before a wait for input, all of them.
static void flush_held(Session& s, bool all) {
    size_t outstanding;
    {
        std::lock_guard lk(s.pm);
        outstanding = s.async_count;
    }
    {
        std::lock_guard lk(s.wr);
        if (s.held == 0 || (!all && !hold_due(s, outstanding))) return;
    }
    flush_output(s);
}

bool send_simple(Session& s, uint32_t command_id, uint32_t status, uint32_t sequence) {
    Pdu p;
    p.command_id = command_id;
    p.command_status = status;
    p.sequence = sequence;
    return send_pdu(s, p);
}

// A response (or generic_nack) for one of our requests.
static void handle_response(Session& s, const Pdu& p, uint32_t decode_status) {
    // The peer's status stands: a response that accepted a message with a
    // field the decoder objects to still accepted it (failing it here would
    // send the message again).
    uint32_t status = p.command_status;
    if (decode_status != ESME_ROK)
        platform::tracef(s.server ? "SMPPServer" : "SMPP", "%s: %s seq=%u status=0x%08X: %s",
                         s.name.empty() ? s.peer.c_str() : s.name.c_str(),
                         command_name(p.command_id), unsigned(p.sequence), unsigned(status),
                         status_text(decode_status));
    if (p.command_id == GENERIC_NACK && status == ESME_ROK) status = ESME_RINVCMDID;
    // An id longer than its field is no id the gateway can keep track of.
    std::string_view message_id = p.message_id;
    if (message_id.size() >= MESSAGE_ID_SIZE) message_id = {};
    bool signal_async = false;
    {
        std::lock_guard lk(s.pm);
        auto it = s.pending.find(p.sequence);
        if (it == s.pending.end()) {
            if (debug_enabled())
                platform::tracef("SMPP", "%s: unmatched %s seq=%u", s.name.c_str(),
                                 command_name(p.command_id), unsigned(p.sequence));
            return;
        }
        Pending& pd = it->second;
        switch (pd.kind) {
            case Pending::Sync: {
                pd.done = true;
                pd.status = status;
                pd.message_id = message_id;
                if (const Tlv* t = p.find_tlv(TAG_SC_INTERFACE_VERSION); t && t->value.size() == 1)
                    pd.sc_interface_version = uint8_t(t->value[0]);
                return;
            }
            case Pending::Async:
                pd.async->smsc_message_id = message_id;
                pd.async->status.store(status, std::memory_order_relaxed);
                pd.async->response_received.store(true, std::memory_order_release);
                signal_async = true;
                break;
            case Pending::ServerAsync:
                pd.entry->status.store(status, std::memory_order_relaxed);
                pd.entry->completed.store(true, std::memory_order_release);
                break;
        }
        --s.async_count;
        s.pending.erase(it);
    }
    if (signal_async) support::SetEventForInterface("SmppSubmitAsync", s.name);
}

static void handle_pdu(Session& s, std::span<const uint8_t> frame) {
    Pdu p;
    uint32_t st = decode_pdu(frame, p);
    trace_pdu(s, "recv", p);
    if (s.server) server_activity(s.fd, 0);
    if (is_response(p.command_id)) {
        handle_response(s, p, st);
        return;
    }
    if (st != ESME_ROK) {
        DecodeFault fault = classify_decode_status(st);
        platform::tracef(s.server ? "SMPPServer" : "SMPP", "%s: %s %s (0x%08X) seq=%u: %s",
                         s.name.empty() ? s.peer.c_str() : s.name.c_str(),
                         fault == DecodeFault::Tolerated ? "served" : "invalid",
                         command_name(p.command_id), unsigned(p.command_id), unsigned(p.sequence),
                         status_text(st));
        if (fault == DecodeFault::OwnResponse && has_response(p.command_id)) {
            send_simple(s, p.command_id | 0x80000000u, st, p.sequence);
            return;
        }
        if (fault != DecodeFault::Tolerated) {
            send_simple(s, GENERIC_NACK, st, p.sequence);
            return;
        }
    }
    if (s.server)
        handle_server_request(s, p);
    else
        handle_client_request(s, p);
}

// Handles the complete frames in the buffer. False when the stream is broken.
static bool process_frames(Session& s) {
    for (;;) {
        // Frames after an unanswered bind wait until the login was decided.
        if (s.server && s.have_bind && s.state == State::Open) return true;
        if (s.broken) return false;
        std::span<const uint8_t> data(s.rbuf.data() + s.rstart, s.rend - s.rstart);
        Frame f = check_frame(data);
        if (f.state == FrameState::NeedMore) break;
        if (f.state == FrameState::Invalid) {
            uint32_t seq = 0;
            if (data.size() >= PDU_HEADER_LEN)
                seq = (uint32_t(data[12]) << 24) | (uint32_t(data[13]) << 16) |
                      (uint32_t(data[14]) << 8) | data[15];
            platform::tracef(s.server ? "SMPPServer" : "SMPP",
                             "%s: invalid command_length %u, closing",
                             s.name.empty() ? s.peer.c_str() : s.name.c_str(), unsigned(f.length));
            send_simple(s, GENERIC_NACK, ESME_RINVCMDLEN, seq);
            flush_output(s);
            mark_broken(s, "stream out of step");
            platform::shutdown_socket(s.fd);
            return false;
        }
        size_t start = s.rstart;
        s.rstart += f.length;
        handle_pdu(s, std::span<const uint8_t>(s.rbuf.data() + start, f.length));
    }
    if (s.rstart == s.rend) s.rstart = s.rend = 0;
    return true;
}

namespace {
// Batches the answers of one pump() and sends them when it returns.
// Held submits stay held unless answers joined them or they are due.
struct OutputBatch {
    Session& s;
    size_t before = 0;
    explicit OutputBatch(Session& ss) : s(ss) {
        s.batch_thread.store(std::this_thread::get_id());
        std::lock_guard lk(s.wr);
        before = s.out.size();
    }
    ~OutputBatch() {
        s.batch_thread.store(std::thread::id{});
        bool answers;
        {
            std::lock_guard lk(s.wr);
            answers = s.out.size() > before;
        }
        if (answers)
            flush_output(s);
        else
            flush_held(s, false);
    }
};
}  // namespace

void pump(Session& s, unsigned wait_ms, bool drain) {
    if (s.broken) return;
    flush_held(s, wait_ms > 0);
    OutputBatch batch(s);
    // Input left over from before a bind was decided.
    if (!process_frames(s)) return;
    TlsSession* tls = s.tls.load();
    auto tls_pending = [&] {
        std::lock_guard lk(s.ssl_mu);
        return support::sslDataPending(tls) != 0;
    };
    bool ready = tls ? tls_pending() : wait_ms == 0;  // a plain poll is just a read
    if (!ready) {
        int r = platform::wait_readable(s.fd, wait_ms);
        if (r == 0) return;
        if (r < 0) {
            mark_broken(s, "poll failed");
            return;
        }
    }
    for (int round = 0; round < PUMP_ROUNDS; ++round) {
        if (s.rbuf.size() - s.rend < READ_CHUNK) {
            if (s.rstart > 0) {
                std::memmove(s.rbuf.data(), s.rbuf.data() + s.rstart, s.rend - s.rstart);
                s.rend -= s.rstart;
                s.rstart = 0;
            }
            if (s.rbuf.size() - s.rend < READ_CHUNK) s.rbuf.resize(s.rend + READ_CHUNK);
        }
        uint8_t* dst = s.rbuf.data() + s.rend;
        long n;
        if (tls) {
            std::lock_guard lk(s.ssl_mu);
            n = support::sslRecv(tls, dst, READ_CHUNK);
        } else {
            n = platform::recv_nowait(s.fd, dst, READ_CHUNK);
        }
        if (n > 0) s.rend += size_t(n);
        if (n == 0) {
            process_frames(s);
            mark_broken(s, "connection closed by peer");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            mark_broken(s, "receive failed");
            return;
        }
        if (!process_frames(s)) return;
        if (!drain) break;
        // A short read means the socket was emptied.
        if (size_t(n) < READ_CHUNK && !(tls && tls_pending())) break;
    }
}

void check_timeouts(Session& s) {
    uint64_t now = platform::monotonic_ms();
    if (now - s.last_timeout_check < 100) return;
    s.last_timeout_check = now;
    bool expired_client = false;
    {
        std::lock_guard lk(s.pm);
        if (s.async_count == 0) return;
        for (auto it = s.pending.begin(); it != s.pending.end();) {
            Pending& pd = it->second;
            if (pd.kind != Pending::Sync && now - pd.sent_ms >= s.timeout_ms) {
                if (pd.kind == Pending::ServerAsync) {
                    pd.entry->status.store(SMPP_SERVER_NO_RESPONSE, std::memory_order_relaxed);
                    pd.entry->completed.store(true, std::memory_order_release);
                    --s.async_count;
                    it = s.pending.erase(it);
                    continue;
                }
                expired_client = true;
            }
            ++it;
        }
    }
    if (expired_client) mark_broken(s, "no response within CommandTimeout");
}

uint32_t request(Session& s, Pdu& p, std::string* message_id, uint8_t* sc_version,
                 unsigned timeout_ms) {
    if (s.broken) return SMPP_ERR_CONNECTION;
    p.sequence = s.alloc_seq();
    {
        std::lock_guard lk(s.pm);
        Pending pd;
        pd.sent_ms = platform::monotonic_ms();
        s.pending[p.sequence] = std::move(pd);
    }
    auto forget = [&] {
        std::lock_guard lk(s.pm);
        s.pending.erase(p.sequence);
    };
    if (!send_pdu(s, p)) {
        forget();
        return SMPP_ERR_CONNECTION;
    }
    uint64_t limit = timeout_ms ? timeout_ms : s.timeout_ms;
    uint64_t start = platform::monotonic_ms();
    for (;;) {
        {
            std::lock_guard lk(s.pm);
            auto it = s.pending.find(p.sequence);
            if (it != s.pending.end() && it->second.done) {
                uint32_t st = it->second.status;
                if (message_id) *message_id = std::move(it->second.message_id);
                if (sc_version) *sc_version = it->second.sc_interface_version;
                s.pending.erase(it);
                return st;
            }
        }
        if (s.broken) {
            forget();
            return SMPP_ERR_CONNECTION;
        }
        uint64_t elapsed = platform::monotonic_ms() - start;
        if (elapsed >= limit) {
            forget();
            return SMPP_ERR_TIMEOUT;
        }
        std::lock_guard io(s.io);
        pump(s, unsigned(std::min<uint64_t>(limit - elapsed, 100)), true);
        check_timeouts(s);
    }
}

}  // namespace detail

// ---- client side ----------------------------------------------------------------

namespace {

uint32_t handler_status(const std::shared_ptr<const DeliveryHandler>& h,
                        const common::DeliveryRecord& m) {
    return h ? uint32_t((*h)(m)) : uint32_t(ESME_RX_T_APPN);
}

}  // namespace

namespace detail {

void handle_client_request(Session& s, const Pdu& p) {
    switch (p.command_id) {
        case ENQUIRE_LINK:
            send_simple(s, ENQUIRE_LINK_RESP, ESME_ROK, p.sequence);
            return;
        case UNBIND:
            send_simple(s, UNBIND_RESP, ESME_ROK, p.sequence);
            s.state = State::Closed;
            mark_broken(s, "unbind from the SMSC");
            return;
        case ALERT_NOTIFICATION:
        case OUTBIND:
            return;  // no response defined; nothing to do on an established session
        case DELIVER_SM:
        case DATA_SM: {
            uint32_t resp = p.command_id | 0x80000000u;
            common::DeliveryRecord m;
            parse_short_message(p, s.ctx, m);
            m.link_name = s.name;
            // The client keeps no ids of its submits: the gateway's tracking
            // store resolves the SMSC's id of every receipt.
            if (m.flags & 0x04) m.options.emplace_back("ResolveReceiptID", "Yes");
            if (s.queue_inbound) {
                {
                    std::lock_guard lk(s.q_mu);
                    s.inbound_q.push_back(QueuedDelivery{p.sequence, resp, std::move(m)});
                }
                support::SetEventForInterface("SmppReceiveAsync", s.name);
                return;
            }
            Pdu r;
            r.command_id = resp;
            r.command_status = handler_status(receive_handler(), m);
            r.sequence = p.sequence;
            send_pdu(s, r);
            return;
        }
        default:
            // Binds and the operations a gateway does not serve.
            send_simple(s, GENERIC_NACK,
                        p.command_id == BIND_RECEIVER || p.command_id == BIND_TRANSMITTER ||
                                p.command_id == BIND_TRANSCEIVER
                            ? ESME_RINVBNDSTS
                            : ESME_RINVCMDID,
                        p.sequence);
            return;
    }
}

}  // namespace detail

// ---- client record API ----------------------------------------------------------

ClientSession::ClientSession(int socket, std::string_view link_name, const LinkOptions& options)
    : s_(new_session(socket, false)) {
    Session& s = *s_;
    s.name = std::string(link_name);
    s.timeout_ms = std::max(1u, options.command_timeout_s) * 1000u;
    s.queue_inbound = options.queue_inbound;
    if (options.smpp_options) s.registry.load(options.smpp_options());
    s.ctx.charset = parse_charset(options.charset);
    s.ctx.use_tlv = options.use_tlv;
    s.ctx.registry = &s.registry;
}

int ClientSession::socket() const {
    return s_->fd;
}

uint32_t ClientSession::connect(std::string_view host, unsigned port) {
    Session& s = *s_;
    int err = 0;
    if (port == 0) port = SMPP_DEFAULT_PORT;
    if (s.fd < 0 || port > 65535 || !common::connect_socket(s.fd, host, port, s.timeout_ms, err)) {
        platform::tracef("SMPPConnect", "%s: connect to %.*s:%u failed: %s", s.name.c_str(),
                         int(host.size()), host.data(), port, std::strerror(err ? err : EINVAL));
        return SMPP_ERR_CONNECTION;
    }
    return ESME_ROK;
}

void ClientSession::set_tls(TlsSession* tls) {
    s_->tls.store(tls);
}

uint32_t ClientSession::bind(const BindRequest& b) {
    Session& s = *s_;
    if (s.state != State::Open) return SMPP_ERR_STATE;
    uint8_t v = b.version == SMPP_VERSION_33 ? SMPP_VERSION_33 : SMPP_VERSION_34;
    if (b.mode == 9 && v == SMPP_VERSION_33) {
        platform::tracef("SMPPBind", "%s: transceiver bind needs SMPP 3.4", s.name.c_str());
        return SMPP_ERR_STATE;
    }
    s.version = v;
    s.ctx.version = v;
    Pdu p;
    p.command_id = b.mode == 1 ? BIND_RECEIVER : b.mode == 9 ? BIND_TRANSCEIVER : BIND_TRANSMITTER;
    p.system_id = std::string(b.user);
    p.password = std::string(b.password);
    p.system_type = std::string(b.system_type);
    p.interface_version = v;
    uint8_t sc = 0;
    uint32_t st = request(s, p, nullptr, &sc);
    if (st == ESME_ROK) {
        s.bind_kind = int(p.command_id);
        s.state = State::Bound;
        // A 3.3 SMSC answering a 3.4 bind gets no optional parameters.
        if (sc && sc < SMPP_VERSION_34) {
            s.version = SMPP_VERSION_33;
            s.ctx.version = SMPP_VERSION_33;
        }
    } else {
        platform::tracef("SMPPBind", "%s: %s", s.name.c_str(), status_text(st));
    }
    return st;
}

namespace {

uint32_t submit_state(const Session& s) {
    if (s.broken) return SMPP_ERR_CONNECTION;
    if (s.state != State::Bound || s.bind_kind == BIND_RECEIVER) return SMPP_ERR_STATE;
    return ESME_ROK;
}

}  // namespace

uint32_t ClientSession::submit(const common::SubmitRecord& m, std::string& message_id) {
    Session& s = *s_;
    message_id.clear();
    refused_locally_ = false;
    uint32_t st = submit_state(s);
    if (st != ESME_ROK) return st;
    Pdu p;
    p.command_id = SUBMIT_SM;
    st = build_short_message(m, s.ctx, p);
    refused_locally_ = st != ESME_ROK;
    if (st == ESME_ROK) st = request(s, p, &message_id);
    if (st == SMPP_ERR_TIMEOUT) mark_broken(s, "no response within CommandTimeout");
    if (st != ESME_ROK && debug_enabled())
        platform::tracef("SMPPSubmitMessage", "%s: %s: %s", s.name.c_str(), m.reference.c_str(),
                         status_text(st));
    return st;
}

uint32_t ClientSession::submit_async(const common::SubmitRecord& m, SMPPAsyncSubmit& record) {
    Session& s = *s_;
    refused_locally_ = false;
    uint32_t st = submit_state(s);
    if (st != ESME_ROK) return st;
    Pdu p;
    p.command_id = SUBMIT_SM;
    st = build_short_message(m, s.ctx, p);
    refused_locally_ = st != ESME_ROK;
    if (st != ESME_ROK) return st;
    p.sequence = s.alloc_seq();
    record.response_received.store(false, std::memory_order_relaxed);
    record.status.store(0, std::memory_order_relaxed);
    record.smsc_message_id.clear();
    record.sequence = p.sequence;
    record.sent_ms = platform::monotonic_ms();
    size_t outstanding;
    {
        std::lock_guard lk(s.pm);
        Pending pd;
        pd.kind = Pending::Async;
        pd.async = &record;
        pd.sent_ms = record.sent_ms;
        s.pending[p.sequence] = pd;
        outstanding = ++s.async_count;
    }
    if (!send_async_pdu(s, p, outstanding)) {
        std::lock_guard lk(s.pm);
        if (s.pending.erase(p.sequence)) --s.async_count;
        return SMPP_ERR_CONNECTION;
    }
    return ESME_ROK;
}

uint32_t ClientSession::enquire_link() {
    Session& s = *s_;
    if (s.state == State::Closed) return SMPP_ERR_STATE;
    if (s.broken) return SMPP_ERR_CONNECTION;
    Pdu p;
    p.command_id = ENQUIRE_LINK;
    uint32_t st = request(s, p);
    if (st != ESME_ROK) {
        platform::tracef("SMPPEnquireLink", "%s: %s", s.name.c_str(), status_text(st));
        if (st == SMPP_ERR_TIMEOUT) mark_broken(s, "enquire_link not answered");
    }
    return st;
}

bool ClientSession::yield(bool wait) {
    Session& s = *s_;
    {
        std::lock_guard io(s.io);
        pump(s, wait ? YIELD_WAIT_MS : 0, true);
    }
    check_timeouts(s);
    return !s.broken;
}

bool detail::session_usable(Session& s) {
    if (!s.broken && platform::wait_readable(s.fd, 0) > 0) {
        // Notice a closed connection (or take whatever arrived meanwhile).
        std::unique_lock io(s.io, std::try_to_lock);
        if (io.owns_lock()) pump(s, 0, false);
    }
    check_timeouts(s);
    return !(s.broken || s.state == State::Closed);
}

bool ClientSession::usable() {
    return session_usable(*s_);
}

void ClientSession::unbind() {
    Session& s = *s_;
    if (s.state == State::Bound && !s.broken) {
        Pdu p;
        p.command_id = UNBIND;
        request(s, p, nullptr, nullptr, std::min(s.timeout_ms, UNBIND_WAIT_MS));
    }
    s.state = State::Closed;
}

void ClientSession::receive_queued() {
    Session& s = *s_;
    std::deque<QueuedDelivery> work;
    {
        std::lock_guard lk(s.q_mu);
        work.swap(s.inbound_q);
    }
    auto h = receive_handler();
    for (QueuedDelivery& q : work) {
        // Without a connection the response cannot go out: the SMSC delivers again.
        if (s.broken) return;
        Pdu r;
        r.command_id = q.resp_id;
        r.command_status = handler_status(h, q.msg);
        r.sequence = q.sequence;
        send_pdu(s, r);
    }
}

void SMPPSetDeliveryHandler(DeliveryHandler handler) {
    auto p = handler ? std::make_shared<const DeliveryHandler>(std::move(handler)) : nullptr;
    EngineState& e = engine();
    std::lock_guard lk(e.cb_mu);
    e.receive = std::move(p);
}

void reset_engine_for_tests() {
    EngineState& e = engine();
    e.debug = false;
    std::unordered_map<int, SessionPtr> sessions;
    {
        std::lock_guard lk(e.reg_mu);
        sessions.swap(e.sessions);
    }
    {
        std::lock_guard lk(e.opt_mu);
        e.link_options.clear();
    }
    {
        std::lock_guard lk(e.cb_mu);
        e.receive = nullptr;
    }
    std::lock_guard lk(e.srv_mu);
    e.srv_options = ServerOptions{};
    e.srv_receive = nullptr;
    e.srv_activity = nullptr;
}

// ---- client adapters ------------------------------------------------------------

// The positional client operations: the session of a socket.
struct ClientAdapter {
    static std::optional<ClientSession> find(int socket, TlsSession* tls) {
        SessionPtr s = find_session(socket);
        if (!s || s->server) return std::nullopt;
        if (tls) s->tls.store(tls);
        return ClientSession(std::move(s));
    }
    static ClientSession wrap(SessionPtr s) { return ClientSession(std::move(s)); }
    static void add(const ClientSession& c) { register_session(c.s_); }
};

void SMPPSetDebugMode(int flag) {
    engine().debug = flag != 0;
}

void SMPPSetLinkOptions(std::string_view link_name, const LinkOptions& options) {
    EngineState& e = engine();
    std::lock_guard lk(e.opt_mu);
    e.link_options[std::string(link_name)] = options;
}

void SMPPSetReceiveMessageCallback(ReceiveMessageCallback callback) {
    if (!callback) {
        SMPPSetDeliveryHandler(nullptr);
        return;
    }
    SMPPSetDeliveryHandler([cb = std::move(callback)](const common::DeliveryRecord& m) {
        return cb(m.link_name, m.sender, m.recipient, m.pid, m.dcs, m.udh_hex, m.message, m.flags,
                  m.binary ? 1 : 0, m.smsc_message_id, common::join_option_text(m.options));
    });
}

const char* SMPPErrorText(uint32_t code) {
    return status_text(code);
}

void SMPPReleaseSession(int socket) {
    release_session(socket);
}

uint32_t SMPPConnect(int socket, std::string_view link_name, std::string_view host, unsigned port) {
    LinkOptions opt;
    {
        EngineState& e = engine();
        std::lock_guard lk(e.opt_mu);
        auto it = e.link_options.find(link_name);
        if (it != e.link_options.end()) opt = it->second;
    }
    ClientSession c(socket, link_name, opt);
    uint32_t st = c.connect(host, port);
    if (st == ESME_ROK) ClientAdapter::add(c);
    return st;
}

uint32_t SMPPBind(int socket, TlsSession* tls, std::string_view link_name, int version,
                  int bind_mode, std::string_view user, std::string_view password,
                  std::string_view system_type) {
    (void)link_name;
    auto c = ClientAdapter::find(socket, tls);
    if (!c) return SMPP_ERR_STATE;
    return c->bind(BindRequest{version, bind_mode, user, password, system_type});
}

common::SubmitRecord detail::submit_record(std::string_view sender, std::string_view recipient,
                                           int pid, int dcs, std::string_view udh,
                                           std::string_view data) {
    common::SubmitRecord m;
    m.sender = std::string(sender);
    m.recipient = std::string(recipient);
    m.pid = pid;
    m.dcs = dcs;
    m.udh_hex = std::string(udh);
    m.data = std::string(data);
    return m;
}

uint32_t SMPPSubmitMessage(int socket, TlsSession* tls, std::string_view link_name, int version,
                           std::string_view sender, std::string_view recipient, int pid, int dcs,
                           std::string_view udh, std::string_view data, int flags, int binary,
                           std::string& message_id, std::string_view reference,
                           std::string_view option_text) {
    (void)version;
    (void)link_name;
    message_id.clear();
    auto c = ClientAdapter::find(socket, tls);
    if (!c) return SMPP_ERR_STATE;
    common::SubmitRecord m = submit_record(sender, recipient, pid, dcs, udh, data);
    m.flags = flags;
    m.binary = binary != 0;
    m.reference = std::string(reference);
    m.options = common::parse_option_text(option_text);
    return c->submit(m, message_id);
}

uint32_t SMPPSubmitMessageAsync(int socket, TlsSession* tls, std::string_view link_name,
                                int version, std::string_view sender, std::string_view recipient,
                                int pid, int dcs, std::string_view udh, std::string_view data,
                                int flags, int binary, std::string& message_id,
                                std::string_view reference, std::string_view option_text,
                                SMPPAsyncSubmit* record) {
    (void)version;
    (void)link_name;
    message_id.clear();
    if (!record) return SMPP_ERR_STATE;
    auto c = ClientAdapter::find(socket, tls);
    if (!c) return SMPP_ERR_STATE;
    common::SubmitRecord m = submit_record(sender, recipient, pid, dcs, udh, data);
    m.flags = flags;
    m.binary = binary != 0;
    m.reference = std::string(reference);
    m.options = common::parse_option_text(option_text);
    return c->submit_async(m, *record);
}

uint32_t SMPPEnquireLink(int socket, TlsSession* tls, std::string_view link_name, int version) {
    (void)version;
    (void)link_name;
    auto c = ClientAdapter::find(socket, tls);
    return c ? c->enquire_link() : SMPP_ERR_STATE;
}

void SMPPYield(int socket, TlsSession* tls, std::string_view link_name, int version, int wait,
               int* connection_error) {
    (void)version;
    (void)link_name;
    auto c = ClientAdapter::find(socket, tls);
    if (!c || !c->yield(wait != 0)) {
        if (connection_error) *connection_error = 1;
    }
}

int SMPPCheckLinkStatus(int socket, TlsSession* tls, std::string_view link_name) {
    (void)link_name;
    SessionPtr s = find_session(socket);
    if (!s) return 0;
    if (tls) s->tls.store(tls);
    // Either half: the server front end asks about its sessions too.
    return session_usable(*s) ? 1 : 0;
}

void SMPPUnbind(int socket, TlsSession* tls, std::string_view link_name, int version) {
    (void)link_name;
    (void)version;
    auto c = ClientAdapter::find(socket, tls);
    if (!c) return;
    c->unbind();
    release_session(socket);
}

void SMPPReceiveFromAsyncQ(std::string_view link_name) {
    for (SessionPtr& s : sessions_of_link(link_name))
        ClientAdapter::wrap(std::move(s)).receive_queued();
}

}  // namespace protocols::smpp
