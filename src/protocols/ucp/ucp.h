// UCP/EMI engine: the operations the link workers and the inbound connection
// threads drive. Each connection is a Session object taking the submit and
// delivery records; the positional operations (UCPConnect ...) are adapters
// that find the session by socket. The gateway creates, binds and closes the
// socket, the engine owns all traffic on it. One operation is in
// flight at a time (no window); operations from the SMSC (52 deliver, 53
// notification, 31 alert, 60 login on inbound connections) are answered
// whenever the engine reads, inside UCPYield and while waiting for a result.
//
// Results: 0 on success, else a failure code: the two-digit error code of the
// SMSC's NACK (1-99), or one of the engine's own codes UCP_ERR_CONNECTION
// (-1), UCP_ERR_TIMEOUT (-2), UCP_ERR_STATE (-3). A result the engine cannot
// read (damaged, or a NACK without an error code) leaves the stream in doubt:
// the session is closed and the call fails with UCP_ERR_CONNECTION, so that
// the message is retried. UCPErrorText names every code.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "protocols/common/message.h"
#include "protocols/ucp/frame.h"

namespace protocols::ucp {

namespace detail {
struct Conn;
}

inline constexpr int UCP_ERR_CONNECTION = -1;  // connection lost or not possible
inline constexpr int UCP_ERR_TIMEOUT = -2;     // no result within the command time-out
inline constexpr int UCP_ERR_STATE = -3;       // no session on this socket

// Link settings the link worker hands in before UCPConnect (and for inbound
// connections before UCPAttachInbound).
struct LinkOptions {
    unsigned command_timeout_s = 60;  // result wait before the link counts as broken
    CodingOptions coding;             // text character set, "+" prefix, notification address
    std::string login_oton = "6";     // OTON / ONPI of the 60 login (abbreviated, private)
    std::string login_onpi = "5";
    std::string alert_pid = "0539";  // PID of the 31 keep-alive (PC application over TCP/IP)
    // Connections the SMSC opens: with inbound_login_required the 60 login must
    // carry inbound_user and inbound_password, and deliveries before it are
    // refused. Such a connection ends without a login within login_timeout_s
    // and after idle_timeout_s without a complete frame (0: no limit).
    std::string inbound_user, inbound_password;
    bool inbound_login_required = false;
    unsigned login_timeout_s = 30;
    unsigned idle_timeout_s = 600;
};
void UCPSetLinkOptions(std::string_view link_name, const LinkOptions& options);

// Receive callback: link name, sender, recipient, PID, DCS, UDH (hex), message
// (UTF-8 text, or hex when binary), message flags, binary flag, receipt
// message id, extra parameters. Returns 0 when the message was taken (ACK),
// else the refusal status (NACK; 1-99 is sent as the error code, anything
// else as 04).
//
// A 53 notification arrives as a receipt: flags 0x04 plus 0x08 / 0x10 /
// 0x20, the message "id:<id> sub:001 dlvrd:... stat:...". When the submit
// carried "OurMsgId=" and asked for a receipt, <id> is the gateway's id and
// the extra parameters carry "RouteToLocalUser=" of its "LocalUser="; else
// <id> is the SMSC's "AdC:SCTS" and the extra parameters say
// "ResolveReceiptID=Yes".
using ReceiveMessageCallback = std::function<int(
    std::string_view link_name, std::string_view sender, std::string_view recipient, int pid,
    int dcs, std::string_view udh, std::string_view message, int flags, int binary,
    std::string_view smsc_message_id, std::string_view extra)>;

void UCPSetDebugMode(int flag);

// Connects the gateway's socket (created, and bound when LocalPort is set, by
// the caller) to host:port. 0 = connected.
int UCPConnect(int socket, std::string_view link_name, std::string_view host, unsigned port);

// Opens the session with operation 60 (OAdC = user, password hex-encoded).
// An empty user name sends nothing and succeeds (SMSCs that admit by address).
int UCPBind(int socket, std::string_view link_name, std::string_view user,
            std::string_view password);

// Submits with operation 51 and waits for the result. empty_text is unused.
// option_text: "; "-separated "BillingInfo=" (sent as XSer 0C), "LocalUser="
// and "OurMsgId=" (kept for the receipt). smsc_message_id, when given,
// receives the SMSC's "AdC:SCTS" of an accepted message.
int UCPSubmitMessage(int socket, std::string_view link_name, std::string_view sender,
                     std::string_view empty_text, std::string_view recipient, int pid, int dcs,
                     std::string_view udh, std::string_view data, int flags, int binary,
                     std::string_view option_text, std::string* smsc_message_id = nullptr);

// Keep-alive: operation 31 with AdC = user and waits for the result. 0 when
// the SMSC answered (ACK or NACK).
int UCPEnquireLink(int socket, std::string_view link_name, std::string_view user);

// Non-zero while the session is usable. link_name empty on inbound connections.
int UCPCheckLinkStatus(int socket, std::string_view link_name);

// Reads and answers what the SMSC sent; wait 1 blocks up to a second for
// input, 0 only takes what is there. link_name empty on inbound connections
// (the first call makes the session).
void UCPYield(int socket, std::string_view link_name, int wait);

const char* UCPErrorText(int code);
void UCPSetReceiveMessageCallback(ReceiveMessageCallback callback);

// An accepted inbound connection of a link: later calls with an empty link
// name use its options and report its name to the callback.
void UCPAttachInbound(int socket, std::string_view link_name);

// Forgets the engine's state for a socket the caller is about to close.
void UCPReleaseSession(int socket);

// ---- record API ---------------------------------------------------------------

// Receive handler: a 52 or 53 of any session (link_name empty on unnamed
// inbound connections; a 53 as the receipt described for the receive
// callback, its "RouteToLocalUser" / "ResolveReceiptID" in options). 0 takes
// it (ACK), else the refusal status (NACK; 1-99 sent as the error code,
// anything else as 04). Replaces the receive callback as well.
using DeliveryHandler = std::function<int(const common::DeliveryRecord& m)>;
void UCPSetDeliveryHandler(DeliveryHandler handler);

// One connection on the caller's socket: an outbound link connection, or an
// inbound one the SMSC opened (link_name empty when not known). Copies share
// the session.
class Session {
  public:
    Session(int socket, std::string_view link_name, const LinkOptions& options,
            bool inbound = false);

    // Connects to host:port within the command time-out. 0 = connected.
    int connect(std::string_view host, unsigned port);
    // Operation 60 (see UCPBind).
    int bind(std::string_view user, std::string_view password);
    // Operation 51 and its result; the record's reference and local user are
    // kept for the receipt when it asks for one. smsc_message_id, when
    // given, receives the SMSC's "AdC:SCTS".
    int submit(const common::SubmitRecord& m, std::string* smsc_message_id = nullptr);
    // True when the last submit failed before anything was sent because the
    // message cannot be put into an operation (its code is the engine's, not
    // the SMSC's): sending it again can only fail the same way.
    bool refused_locally() const { return refused_locally_; }
    // Operation 31 with AdC = user; 0 when the SMSC answered.
    int enquire_link(std::string_view user);
    bool usable();
    // Reads and answers what the SMSC sent (wait: up to a second for input).
    void yield(bool wait);

    int socket() const;
    bool inbound() const;

  private:
    friend struct Adapter;
    explicit Session(std::shared_ptr<detail::Conn> c) : c_(std::move(c)) {}
    std::shared_ptr<detail::Conn> c_;
    bool refused_locally_ = false;
};

// Clears the engine's process-wide state: sessions known by socket, link
// options, callbacks, remembered receipts and debug mode. For tests.
void reset_engine_for_tests();

}  // namespace protocols::ucp
