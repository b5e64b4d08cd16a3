// SMPP 3.3/3.4 engine: the client operations the link workers drive and the
// server operations the SMPP server front end drives. Each connection is a
// session object (ClientSession, ServerSession) taking the submit and
// delivery records of protocols/common/message.h. The positional operations
// (SMPPConnect ...) are adapters over them that find the session by socket;
// they take the socket and the TLS session (null for a plain connection)
// first, as the gateway's calls expect.
//
// Results: operations that "succeed or fail" return 0 on success and a
// failure code otherwise: an SMPP command status from the peer, or one of the
// engine's own codes SMPP_ERR_CONNECTION (-1), SMPP_ERR_TIMEOUT (-2) and
// SMPP_ERR_STATE (-3) as 32-bit values. SMPPErrorText names every code.
//
// Option text ("name=value; name=value"): optional parameters by their SMPP
// 3.4 name (user_message_reference=7, with or without the "SMPPOption_"
// prefix), names defined in [SMPPOptions], the form "SMPPOption_<4 hex
// digits>=<hex octets>" in which unknown received parameters are passed up,
// and the items build_short_message() lists (ServiceType, Validity, ...).
//
// [SMPPOptions] value format, one key per custom optional parameter:
//     <name>=<tag>,<type>,<max length>
// tag decimal or "0x" hex; type Int (1, 2 or 4 octets), String (NUL-terminated
// text, length counts the NUL), Text (text without NUL) or Hex (octets as hex
// digits); e.g. "BillingCode=0x1403,String,20". Received parameters with such
// a tag are passed up as "SMPPOption_BillingCode=<value>".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocols/common/message.h"
#include "protocols/smpp/pdu.h"
#include "support/tls.h"

namespace protocols::smpp {

namespace detail {
struct Session;
}

using TlsSession = support::SslSession;

// [SMPPOptions] entries as (name, value) pairs, read when a session starts.
using SmppOptionsReader = std::function<std::vector<std::pair<std::string, std::string>>()>;

// Link settings the link worker reads and hands in before SMPPConnect.
struct LinkOptions {
    unsigned command_timeout_s =
        120;               // `CommandTimeout`: response wait before the link counts as broken
    bool use_tlv = false;  // `UseTLV`
    std::string charset;   // `SMPPCharset`: "" / "gsm", "iso-8859-1", "ascii"
    // Deliveries are queued for SMPPReceiveFromAsyncQ (and answered once the
    // receive callback has decided) instead of being handed over inside
    // SMPPYield. The event kind "SmppReceiveAsync", name = link name, of the
    // support layer is set when something was queued.
    bool queue_inbound = false;
    SmppOptionsReader smpp_options;  // [SMPPOptions]
};
// Settings for a link name; used by the sessions that SMPPConnect starts later.
void SMPPSetLinkOptions(std::string_view link_name, const LinkOptions& options);

// Receive callback: link name, sender, recipient, PID, DCS, UDH (hex), message
// (UTF-8 text, or hex when binary), message flags, binary flag, SMSC message
// id (of a receipt), extra parameters ("ServiceType=..; SMPPOption_..=..").
// Returns 0 when the message was taken, else the status the peer is answered with.
using ReceiveMessageCallback = std::function<int(
    std::string_view link_name, std::string_view sender, std::string_view recipient, int pid,
    int dcs, std::string_view udh, std::string_view message, int flags, int binary,
    std::string_view smsc_message_id, std::string_view extra)>;

// Part of the gateway's pending asynchronous submit record, filled by the
// engine: smsc_message_id and status are valid once response_received reads
// true. The engine touches the record only inside calls for its session.
struct SMPPAsyncSubmit {
    std::atomic<bool> response_received{false};
    std::atomic<uint32_t> status{0};
    std::string smsc_message_id;
    // engine-owned
    uint32_t sequence = 0;
    uint64_t sent_ms = 0;
};

void SMPPSetDebugMode(int flag);

// Port used when a link name carries none.
constexpr unsigned SMPP_DEFAULT_PORT = 2775;

// Connects the gateway's socket to host:port (port 0: SMPP_DEFAULT_PORT)
// within CommandTimeout. 0 = connected.
uint32_t SMPPConnect(int socket, std::string_view link_name, std::string_view host, unsigned port);
// Bind mode 1 receiver, 2 transmitter, 9 transceiver (not with 0x33). 0 = bound.
uint32_t SMPPBind(int socket, TlsSession* tls, std::string_view link_name, int version,
                  int bind_mode, std::string_view user, std::string_view password,
                  std::string_view system_type);
// Submits and waits for the response. 0 = accepted, message_id set.
uint32_t SMPPSubmitMessage(int socket, TlsSession* tls, std::string_view link_name, int version,
                           std::string_view sender, std::string_view recipient, int pid, int dcs,
                           std::string_view udh, std::string_view data, int flags, int binary,
                           std::string& message_id, std::string_view reference,
                           std::string_view option_text);
// Sends without waiting; the response fills *record during later calls for
// this session (SMPPYield, SMPPSubmitMessageAsync ...). 0 = queued for sending.
// The event kind "SmppSubmitAsync", name = link name, is set on each response.
uint32_t SMPPSubmitMessageAsync(int socket, TlsSession* tls, std::string_view link_name,
                                int version, std::string_view sender, std::string_view recipient,
                                int pid, int dcs, std::string_view udh, std::string_view data,
                                int flags, int binary, std::string& message_id,
                                std::string_view reference, std::string_view option_text,
                                SMPPAsyncSubmit* record);
// 0 = the peer answered.
uint32_t SMPPEnquireLink(int socket, TlsSession* tls, std::string_view link_name, int version);
// Processes inbound PDUs; wait 1 blocks up to a second for input, 0 polls.
// *connection_error becomes non-zero when the link is lost or broken.
void SMPPYield(int socket, TlsSession* tls, std::string_view link_name, int version, int wait,
               int* connection_error);
// Non-zero while the session is usable.
int SMPPCheckLinkStatus(int socket, TlsSession* tls, std::string_view link_name);
// Unbinds (waits briefly for the response) and forgets the session.
void SMPPUnbind(int socket, TlsSession* tls, std::string_view link_name, int version);
const char* SMPPErrorText(uint32_t code);
void SMPPSetReceiveMessageCallback(ReceiveMessageCallback callback);
// Hands the deliveries queued for link_name to the receive callback and
// answers each with the callback's result.
void SMPPReceiveFromAsyncQ(std::string_view link_name);

// Forgets the engine's state for a socket the caller is about to close
// (SMPPUnbind and a new SMPPConnect / SMPPServerWaitForLogin do it too).
void SMPPReleaseSession(int socket);

// ---- record API ---------------------------------------------------------------

// Receive handler: a delivery or receipt of a client session (link_name set,
// options "ServiceType", "SMPPOption_<name>" ..., "ResolveReceiptID=Yes" on
// receipts). Returns 0 when taken, else the status the peer is answered with.
using DeliveryHandler = std::function<int(const common::DeliveryRecord& m)>;
// Replaces the receive callback (SMPPSetReceiveMessageCallback) as well.
void SMPPSetDeliveryHandler(DeliveryHandler handler);

struct BindRequest {
    int version = SMPP_VERSION_34;
    int mode = 2;  // 1 receiver, 2 transmitter, 9 transceiver (not with 0x33)
    std::string_view user, password, system_type;
};

// One client connection of a link on the caller's socket (the caller creates
// and closes the socket). Copies share the session.
class ClientSession {
  public:
    ClientSession(int socket, std::string_view link_name, const LinkOptions& options);

    // Connects to host:port (0: SMPP_DEFAULT_PORT) within CommandTimeout. 0 = connected.
    uint32_t connect(std::string_view host, unsigned port);
    // The TLS session the traffic runs through from now on (null: plain).
    void set_tls(TlsSession* tls);
    uint32_t bind(const BindRequest& request);
    // Submits and waits for the response. 0 = accepted, message_id set.
    uint32_t submit(const common::SubmitRecord& m, std::string& message_id);
    // Sends without waiting; the response fills record during later calls.
    uint32_t submit_async(const common::SubmitRecord& m, SMPPAsyncSubmit& record);
    // True when the last submit failed before anything was sent because the
    // message cannot be put into a PDU (its status is the engine's, not the
    // SMSC's): sending it again can only fail the same way.
    bool refused_locally() const { return refused_locally_; }
    uint32_t enquire_link();
    // Processes inbound PDUs (wait: up to a second for input). False once
    // the link is lost or broken.
    bool yield(bool wait);
    bool usable();
    // Unbinds (waiting briefly for the response); the session is closed.
    void unbind();
    // Hands the deliveries queued under LinkOptions::queue_inbound to the
    // receive handler and answers each with its result.
    void receive_queued();

    int socket() const;

  private:
    friend struct ClientAdapter;
    explicit ClientSession(std::shared_ptr<detail::Session> s) : s_(std::move(s)) {}
    std::shared_ptr<detail::Session> s_;
    bool refused_locally_ = false;
};

// Clears the engine's process-wide state: sessions known by socket, link
// options, callbacks, debug mode and server options. For tests.
void reset_engine_for_tests();

// ---- server side ----------------------------------------------------------------

struct ServerOptions {
    unsigned command_timeout_s = 60;  // wait for a client's deliver_sm_resp
    std::string system_id = "SMSGW";  // in bind responses
    std::string charset;              // data_coding 0 towards clients
    bool use_tlv = false;             // ports / segmentation to clients as optional parameters
    SmppOptionsReader smpp_options;   // [SMPPOptions]
};
void SMPPServerSetOptions(const ServerOptions& options);

// Receive callback of client submissions: client address, account, sender,
// recipient, pid, dcs, UDH hex, message, flags, binary flag, receipt message
// id, out message id, option text. 0 accepts (out id answered), else the status.
using ServerReceiveMessageCallback = std::function<int(
    std::string_view client_address, std::string_view account, std::string_view sender,
    std::string_view recipient, int pid, int dcs, std::string_view udh, std::string_view message,
    int flags, int binary, std::string_view receipt_message_id, std::string& message_id,
    std::string_view option_text)>;
// Activity callback: socket, flag (non-zero: the session must end).
using ServerActivityCallback = std::function<void(int socket, int terminate)>;

// Part of the gateway's asynchronous delivery entry. The engine sets status
// and then completed when the client answered, timed out (status >=
// 0xFFFF0000) or the connection was lost; after that it never touches it.
struct SMPPServerAsyncEntry {
    int socket = -1;
    std::atomic<bool> completed{false};
    std::atomic<bool> abandoned{false};  // set by the gateway when the session ends
    std::atomic<uint32_t> status{0};
    // engine-owned
    uint32_t sequence = 0;
    uint64_t sent_ms = 0;
};

// Status of a delivery the client never answered.
constexpr uint32_t SMPP_SERVER_NO_RESPONSE = 0xFFFF0000u;

// Waits up to timeout_s for a bind. Non-zero when one arrived: account,
// password, its sequence, bind kind (1 receiver, 2 transmitter, 9 transceiver)
// and interface version are set.
int SMPPServerWaitForLogin(int socket, TlsSession* tls, unsigned timeout_s, std::string& account,
                           std::string& password, uint32_t& bind_sequence, int& bind_kind,
                           int& version);
void SMPPServerAcceptLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           int version);
void SMPPServerRejectLogin(int socket, TlsSession* tls, uint32_t bind_sequence, int bind_kind,
                           uint32_t status = ESME_RBINDFAIL);
// Reads and answers the client's PDUs for a short while: mode 0 about 10 ms
// (waiting for window space), 1 up to 500 ms, 2 up to 1 s. *end_session
// becomes non-zero on unbind, disconnect or a broken stream.
void SMPPServerYield(int socket, TlsSession* tls, int mode, std::string_view account,
                     int* end_session);
// Delivers one message and waits for the answer: 0 accepted, the client's
// status, or >= 0xFFFF0000 when it did not answer.
uint32_t SMPPServerSubmitMessage(int socket, TlsSession* tls, std::string_view account,
                                 std::string_view sender, std::string_view recipient, int pid,
                                 int dcs, std::string_view udh, std::string_view data, int flags,
                                 int binary, std::string_view receipt_message_id,
                                 std::string_view message_id, std::string_view option_text);
// Sends the delivery; 0 = sent, entry completes later (inside SMPPServerYield).
uint32_t SMPPServerSubmitMessageNew(int socket, TlsSession* tls, std::string_view account,
                                    std::string_view sender, std::string_view recipient, int pid,
                                    int dcs, std::string_view udh, std::string_view data, int flags,
                                    int binary, std::string_view receipt_message_id,
                                    std::string_view message_id, std::string_view option_text,
                                    SMPPServerAsyncEntry* entry);
void SMPPServerSetReceiveMessageCallback(ServerReceiveMessageCallback callback);
void SMPPServerSetActivityCallback(ServerActivityCallback callback);
// Sends enquire_link and waits for the answer; 0 = answered.
uint32_t SMPPServerEnquireLink(int socket, TlsSession* tls);

// ---- server record API ----------------------------------------------------------

// Receive handler of client submissions: the client's address and account,
// the submission (link_name empty), the message id to answer with. 0
// accepts, else the status.
using ServerSubmitHandler =
    std::function<int(std::string_view client_address, std::string_view account,
                      const common::DeliveryRecord& m, std::string& message_id)>;
// Replaces the server receive callback as well.
void SMPPServerSetSubmitHandler(ServerSubmitHandler handler);

// A bind read from a client.
struct LoginRequest {
    std::string account, password;
    uint32_t sequence = 0;
    int kind = 0;  // 1 receiver, 2 transmitter, 9 transceiver
    int version = 0;
};

// One client connection of the SMPP server on the caller's socket. Copies
// share the session.
class ServerSession {
  public:
    ServerSession(int socket, TlsSession* tls, const ServerOptions& options);

    // Waits up to timeout_s for a bind; true with login filled when one came.
    bool wait_for_login(unsigned timeout_s, LoginRequest& login);
    void accept_login(const LoginRequest& login);
    void reject_login(const LoginRequest& login, uint32_t status = ESME_RBINDFAIL);
    // Reads and answers the client's PDUs for a short while (mode as in
    // SMPPServerYield). False once the session must end.
    bool yield(int mode);
    // Delivers and waits: 0 accepted, the client's status, or >= 0xFFFF0000.
    uint32_t deliver(const common::SubmitRecord& m);
    // Sends; the entry completes later (inside yield). 0 = sent.
    uint32_t deliver_async(const common::SubmitRecord& m, SMPPServerAsyncEntry& entry);
    uint32_t enquire_link();
    void set_tls(TlsSession* tls);

    int socket() const;

  private:
    friend struct ServerAdapter;
    explicit ServerSession(std::shared_ptr<detail::Session> s) : s_(std::move(s)) {}
    std::shared_ptr<detail::Session> s_;
};

}  // namespace protocols::smpp
