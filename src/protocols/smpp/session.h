// Session state shared by the client and server halves of the SMPP engine:
// the transport (plain or TLS), PDU framing of the input stream, the table
// of requests awaiting a response, and the engine's process-wide state (the
// adapters' lookup by socket, link options, callbacks).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "protocols/smpp/message.h"
#include "protocols/smpp/pdu.h"
#include "protocols/smpp/smpp.h"

namespace protocols::smpp::detail {

struct Pending {
    enum Kind { Sync, Async, ServerAsync } kind = Sync;
    uint64_t sent_ms = 0;
    SMPPAsyncSubmit* async = nullptr;
    SMPPServerAsyncEntry* entry = nullptr;
    bool done = false;  // Sync: the answer is below
    uint32_t status = 0;
    std::string message_id;
    uint8_t sc_interface_version = 0;
};

enum class State { Open, Bound, Closed };

// A delivery waiting for ClientSession::receive_queued, with its answer.
struct QueuedDelivery {
    uint32_t sequence = 0;
    uint32_t resp_id = 0;
    common::DeliveryRecord msg;
};

struct Session {
    int fd = -1;
    std::atomic<TlsSession*> tls{nullptr};
    std::mutex ssl_mu;  // a TLS session takes one call at a time, read or write
    bool server = false;
    std::string name;  // client: link name; server: account once bound
    std::string peer;  // server: client address
    uint8_t version = SMPP_VERSION_34;
    int bind_kind = 0;
    unsigned timeout_ms = 120000;
    bool queue_inbound = false;
    TlvRegistry registry;
    CodingContext ctx;

    std::atomic<State> state{State::Open};
    std::atomic<bool> broken{false};
    std::atomic<bool> end_session{false};
    std::atomic<uint32_t> next_seq{1};

    std::mutex io;  // one reader of the stream at a time
    std::mutex wr;  // one writer
    // While a reader handles a batch of input, its answers collect in `out`
    // and leave in one write when the batch is done.
    std::atomic<std::thread::id> batch_thread{};
    std::string out;
    // Asynchronous submits held in `out` so that a window goes out in a few
    // writes, and when the first of them was held.
    size_t held = 0;
    uint64_t held_since_ms = 0;
    std::vector<uint8_t> rbuf;
    size_t rstart = 0, rend = 0;  // unread input is rbuf[rstart, rend)

    std::mutex pm;  // pending table
    std::unordered_map<uint32_t, Pending> pending;
    size_t async_count = 0;  // Async and ServerAsync entries in the table
    uint64_t last_timeout_check = 0;

    // Client: deliveries held for receive_queued (LinkOptions::queue_inbound).
    std::mutex q_mu;
    std::deque<QueuedDelivery> inbound_q;

    // Server: a bind read while waiting for login, not yet answered.
    bool have_bind = false;
    Pdu bind;
    std::string system_id;  // in bind responses

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Deliveries still waiting for a client's answer complete as lost.
    ~Session();

    uint32_t alloc_seq();
};

using SessionPtr = std::shared_ptr<Session>;

// A session not yet known by socket, and the adapters' lookup by socket.
SessionPtr new_session(int fd, bool server);
SessionPtr find_session(int fd);
// Makes s the session of its socket (a session of an earlier socket with the
// same number is released).
void register_session(const SessionPtr& s);
SessionPtr create_session(int fd, bool server);  // new_session + register_session
void release_session(int fd);
// Sessions of a link known by socket.
std::vector<SessionPtr> sessions_of_link(std::string_view link_name);

// Encodes and sends; false (and the session marked broken) on failure.
// Inside pump() the reading thread's answers are batched (see flush_output).
bool send_pdu(Session& s, const Pdu& p);
bool flush_output(Session& s);
// Sends a header-only response / generic_nack.
bool send_simple(Session& s, uint32_t command_id, uint32_t status, uint32_t sequence);

// Reads input for up to wait_ms and handles every complete PDU; with drain it
// keeps reading while more is immediately available (bounded). Caller holds s.io.
void pump(Session& s, unsigned wait_ms, bool drain);

// Sends request p (sequence assigned) and waits for its response for up to
// the session's time-out. Returns the status (SMPP_ERR_* locally), with the
// response's message id.
uint32_t request(Session& s, Pdu& p, std::string* message_id = nullptr,
                 uint8_t* sc_version = nullptr, unsigned timeout_ms = 0);

// Marks the session broken; server entries still waiting complete with status.
void mark_broken(Session& s, const char* why);
void fail_server_entries(Session& s, uint32_t status);

// Expired requests: server entries complete with SMPP_SERVER_NO_RESPONSE,
// client async records mark the link broken.
void check_timeouts(Session& s);

// The message fields of a positional submit (the adapters add the rest).
common::SubmitRecord submit_record(std::string_view sender, std::string_view recipient, int pid,
                                   int dcs, std::string_view udh, std::string_view data);

// Not broken or closed; notices a closed connection first.
bool session_usable(Session& s);

// Activity report of a server session (terminate non-zero: it must end).
void server_activity(int fd, int terminate);

// Handlers implemented by the client / server halves.
void handle_client_request(Session& s, const Pdu& p);
void handle_server_request(Session& s, const Pdu& p);

bool debug_enabled();
void trace_pdu(const Session& s, const char* dir, const Pdu& p);

// The engine's process-wide state, one instance.
struct EngineState {
    std::atomic<bool> debug{false};

    std::mutex reg_mu;  // adapters' lookup by socket
    std::unordered_map<int, SessionPtr> sessions;

    std::mutex opt_mu;  // client link options by link name (for SMPPConnect)
    std::map<std::string, LinkOptions, std::less<>> link_options;

    std::mutex cb_mu;
    std::shared_ptr<const DeliveryHandler> receive;

    std::mutex srv_mu;
    ServerOptions srv_options;  // for SMPPServerWaitForLogin
    std::shared_ptr<const ServerSubmitHandler> srv_receive;
    std::shared_ptr<const ServerActivityCallback> srv_activity;
};
EngineState& engine();

}  // namespace protocols::smpp::detail
