// CIMD2 engine: the operations the link workers and the inbound connection
// threads drive. Each connection is a Session object taking the submit and
// delivery records; the positional operations (CIMDConnect ...) are adapters
// that find the session by socket, and take the link name first (empty on
// inbound connections). The gateway creates and closes the socket. One request is in
// flight at a time; the SMSC's deliver message (20), delivery status report
// (23) and alive (40) are answered whenever the engine reads, inside
// CIMDYield and while waiting for a response.
//
// Results: 0 on success, else a failure code: the SMSC's error code
// (parameter 900 of the response, or of a general error response 98), or one
// of the engine's own codes CIMD_ERR_CONNECTION (-1), CIMD_ERR_TIMEOUT (-2),
// CIMD_ERR_STATE (-3). A response the engine cannot read (damaged, an error
// code that is no number, a second NACK of the same packet) closes the
// session and fails with CIMD_ERR_CONNECTION, so that the message is retried.
// CIMDErrorText names every code.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "protocols/cimd/packet.h"
#include "protocols/common/message.h"

namespace protocols::cimd {

namespace detail {
struct Conn;
}

inline constexpr int CIMD_ERR_CONNECTION = -1;
inline constexpr int CIMD_ERR_TIMEOUT = -2;
inline constexpr int CIMD_ERR_STATE = -3;

// Link settings the link worker hands in before CIMDConnect (and for inbound
// connections before CIMDAttachInbound).
struct LinkOptions {
    unsigned command_timeout_s = 60;  // response wait before the link counts as broken
    bool send_checksum = true;        // received checksums are checked whenever present
    CodingOptions coding;
    // Connections the SMSC opens: with inbound_login_required the 01 login must
    // carry inbound_user and inbound_password, and deliveries before it are
    // refused. Such a connection ends without a login within login_timeout_s
    // and after idle_timeout_s without a complete packet (0: no limit).
    std::string inbound_user, inbound_password;
    bool inbound_login_required = false;
    unsigned login_timeout_s = 30;
    unsigned idle_timeout_s = 600;
};
void CIMDSetLinkOptions(std::string_view link_name, const LinkOptions& options);

// Older receive callback: link name, sender, recipient, PID, DCS, UDH (hex),
// message (UTF-8 text, or hex when binary), binary flag. Its result is not
// used; delivery status reports are not passed to it.
using ReceiveMessageCallback = std::function<int(
    std::string_view link_name, std::string_view sender, std::string_view recipient, int pid,
    int dcs, std::string_view udh, std::string_view message, int binary)>;

// Receive callback with message flags, receipt message id and extra
// parameters. 0 takes the message; anything else refuses it (the response
// carries 900 with that code when it is 1-999, else 9). Status reports are
// receipts as described for the UCP engine: resolved through "OurMsgId=" of
// the submit when known, else with "ResolveReceiptID=Yes" and the SMSC's id
// "destination:SCTS".
using ReceiveMessageCallbackEx = std::function<int(
    std::string_view link_name, std::string_view sender, std::string_view recipient, int pid,
    int dcs, std::string_view udh, std::string_view message, int flags, int binary,
    std::string_view smsc_message_id, std::string_view extra)>;

void CIMDSetDebugMode(int flag);

int CIMDConnect(std::string_view link_name, int socket, std::string_view host, unsigned port);
// Login (01) with user identity (010) and password (011).
int CIMDBind(std::string_view link_name, int socket, std::string_view user,
             std::string_view password);
// Submit (03) and wait for the response. option_text: "OurMsgId=" and
// "LocalUser=" are kept for the receipt. smsc_message_id, when given,
// receives "destination:SCTS" of an accepted message.
int CIMDSubmitMessage(std::string_view link_name, int socket, std::string_view sender,
                      std::string_view option_text, std::string_view recipient, int pid, int dcs,
                      std::string_view udh, std::string_view data, int flags, int binary,
                      std::string* smsc_message_id = nullptr);
// Alive (40); 0 when the SMSC answered.
int CIMDEnquireLink(std::string_view link_name, int socket, std::string_view user);
int CIMDCheckLinkStatus(std::string_view link_name, int socket);
void CIMDYield(std::string_view link_name, int socket, int wait);
const char* CIMDErrorText(int code);
void CIMDSetReceiveMessageCallback(ReceiveMessageCallback callback);
void CIMDSetReceiveMessageCallbackEx(ReceiveMessageCallbackEx callback);

// Logout (02), waiting briefly for the response; the session stays until
// released. Not used by the link cycle (it has no unbind), offered for tools.
int CIMDLogout(std::string_view link_name, int socket);

// An accepted inbound connection of a link (options, name for the callback).
void CIMDAttachInbound(std::string_view link_name, int socket);
// Forgets the engine's state for a socket the caller is about to close.
void CIMDReleaseSession(int socket);

// ---- record API ---------------------------------------------------------------

// Receive handler: a 20 or 23 of any session (link_name empty on unnamed
// inbound connections; a 23 as the receipt described for
// ReceiveMessageCallbackEx, its "RouteToLocalUser" / "ResolveReceiptID" in
// options). 0 takes it; anything else refuses it (900 with that code when it
// is 1-999, else 9). Replaces the extended receive callback as well.
using DeliveryHandler = std::function<int(const common::DeliveryRecord& m)>;
void CIMDSetDeliveryHandler(DeliveryHandler handler);

// One connection on the caller's socket: an outbound link connection, or an
// inbound one the SMSC opened (link_name empty when not known). Copies share
// the session.
class Session {
  public:
    Session(int socket, std::string_view link_name, const LinkOptions& options,
            bool inbound = false);

    // Connects to host:port within the command time-out. 0 = connected.
    int connect(std::string_view host, unsigned port);
    // Login (01) with user identity (010) and password (011).
    int bind(std::string_view user, std::string_view password);
    // Submit (03) and its response; the record's reference and local user
    // are kept for the receipt when it asks for one. smsc_message_id, when
    // given, receives "destination:SCTS".
    int submit(const common::SubmitRecord& m, std::string* smsc_message_id = nullptr);
    // True when the last submit failed before anything was sent because the
    // message cannot be put into an operation (its code is the engine's, not
    // the SMSC's): sending it again can only fail the same way.
    bool refused_locally() const { return refused_locally_; }
    // Alive (40); 0 when the SMSC answered.
    int enquire_link();
    // Logout (02), waiting briefly for the response.
    int logout();
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

}  // namespace protocols::cimd
