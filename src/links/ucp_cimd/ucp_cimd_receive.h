// What a UCP or CIMD link receives goes to the inbound store: the two
// engines' receive handlers.
#pragma once

namespace links {

// Installs the UCP and CIMD engines' receive handlers: every message and
// receipt is stored by inbound::receive_record (trace names
// "UCPReceiveMessageCallback" and "CIMDReceiveMessageCallbackEx"). A refusal
// is answered with "operation not allowed" (UCP) or "general system error"
// (CIMD), so that the SMSC keeps the message. Once, before any link connects.
void install_ucp_cimd_receive();

}  // namespace links
