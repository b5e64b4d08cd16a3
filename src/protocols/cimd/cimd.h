// CIMD2 engine: the operations the link workers and the inbound connection
// threads drive. Every call that takes a link name and a socket takes the
// link name first (empty on inbound connections). Sessions are keyed by
// socket; the gateway creates and closes the socket. One request is in
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
#include <string>
#include <string_view>

#include "protocols/cimd/packet.h"

namespace protocols::cimd {

inline constexpr int CIMD_ERR_CONNECTION = -1;
inline constexpr int CIMD_ERR_TIMEOUT = -2;
inline constexpr int CIMD_ERR_STATE = -3;

// Link settings the link worker hands in before CIMDConnect (and for inbound
// connections before CIMDAttachInbound).
struct LinkOptions {
    unsigned command_timeout_s = 60;  // response wait before the link counts as broken
    bool send_checksum = true;        // received checksums are checked whenever present
    CodingOptions coding;
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

}  // namespace protocols::cimd
