// The SMPP engine hands received messages and receipts to inbound.
#include "links/smpp/smpp_receive.h"

#include "inbound/inbound_store.h"
#include "protocols/common/message.h"
#include "protocols/smpp/smpp.h"

namespace links {

void install_smpp_receive() {
    protocols::smpp::SMPPSetDeliveryHandler([](const protocols::common::DeliveryRecord& m) {
        // The refusal status is already an SMPP status.
        return inbound::receive_record("SMPPReceiveMessageCallback", m);
    });
}

}  // namespace links
