// What an SMPP link receives goes to the inbound store: the SMPP engine's
// receive handler.
#pragma once

namespace links {

// Installs the SMPP engine's receive handler: every delivery and receipt of
// a client session is stored by inbound::receive_record (trace name
// "SMPPReceiveMessageCallback") and answered with its result as the SMPP
// status (0 taken, else the refusal status). Once, before any link connects.
void install_smpp_receive();

}  // namespace links
