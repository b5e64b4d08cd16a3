// The UCP and CIMD engines hand received messages and receipts to inbound.
#include "links/ucp_cimd/ucp_cimd_receive.h"

#include "inbound/inbound_store.h"
#include "protocols/cimd/cimd.h"
#include "protocols/cimd/packet.h"
#include "protocols/common/message.h"
#include "protocols/ucp/frame.h"
#include "protocols/ucp/ucp.h"

namespace links {

namespace {

int ucp_receive_status(int inbound_status) {
    // UCP has no "system error"; "operation not allowed" makes the SMSC keep
    // the message.
    return inbound_status == 0 ? 0 : protocols::ucp::EC_NOT_ALLOWED;
}

int cimd_receive_status(int inbound_status) {
    return inbound_status == 0 ? 0 : protocols::cimd::EC_GENERAL;
}

}  // namespace

void install_ucp_cimd_receive() {
    using protocols::common::DeliveryRecord;
    protocols::ucp::UCPSetDeliveryHandler([](const DeliveryRecord& m) {
        return ucp_receive_status(inbound::receive_record("UCPReceiveMessageCallback", m));
    });
    // The record handler takes every message and status report; the older
    // CIMD callback form is never consulted while it is installed.
    protocols::cimd::CIMDSetDeliveryHandler([](const DeliveryRecord& m) {
        return cimd_receive_status(inbound::receive_record("CIMDReceiveMessageCallbackEx", m));
    });
}

}  // namespace links
