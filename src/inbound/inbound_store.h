// Received messages and receipts become files: the receive callbacks the
// protocol engines call, and the writer of the inbound store records
// (".in" messages, ".rec" matched receipts, ".rct" receipts whose message
// id is still to be resolved). Routing these files onward is the inbound
// threads' business; nothing received is lost meanwhile.
#pragma once

#include <string>
#include <string_view>

namespace inbound {

// One received message or receipt as a receive path hands it over.
struct InboundMessage {
    std::string link_name;
    std::string sender;
    std::string recipient;
    int pid = 0;
    int dcs = 0;
    std::string udh;   // hex
    std::string data;  // UTF-8 text, or hex when binary
    int flags = 0;     // store::kFlag* bits
    bool binary = false;
    std::string receipt_message_id;
    std::string extra;         // "name=value;..." (ServiceType, RouteToLocalUser, ReceivedSMSC,
                               // ResolveReceiptID, ReceiptMsgIdOrig, SMPPOption_<name>)
    std::string smpp_options;  // empty: collected from the extra fields
    std::string service_type;  // empty: ServiceType of the extra fields
    std::string scts;          // "%04d%02d%02d%02d%02d%02d" when known
};

// Writes the [SMS-IN] record into the inbound store (frame::inbound_write_dir)
// as ".rct" (extra says ResolveReceiptID=Yes), ".rec" (a receipt with a
// message id) or ".in"; counts it (received counters, queue gauges), signals
// the inbound or receipt wake-up event. Returns the file's path, empty when
// it could not be written (traced).
std::string store_inbound_message(const InboundMessage& m);

// The body every receive callback shares: the "inbound message: ..." debug
// line (Debug on), the inbound log line unless the receipt still has to be
// resolved, then the store. Returns 0 when taken, else the refusal status
// (a message that could not be stored is refused, so the SMSC keeps it).
int receive_message(std::string_view callback_name, const InboundMessage& m);

// Registers SMPPReceiveMessageCallback, UCPReceiveMessageCallback,
// CIMDReceiveMessageCallback and CIMDReceiveMessageCallbackEx with the
// engines (once, at start-up, before any link connects).
void install_receive_callbacks();

// --- shared by the receipt writers (and tests) ---------------------------------

// Status receive_message answers with when the message could not be stored
// (the SMPP "system error"; the UCP and CIMD callbacks map it to their own
// codes). The SMSC keeps the message and delivers it again.
inline constexpr int kRefuseNotStored = 0x08;

// The value of the first item name=value of an extra fields text (items
// separated by ";", blanks around items and values ignored, names compared
// without case); empty when absent.
std::string extra_field(std::string_view extra, std::string_view name);

// The "SMPPOption_<name>=<value>" items of an extra fields text whose name
// is defined in [SMPPOptions] (non-empty value there), name and value cut to
// 99 characters each, joined by "; ". Items that would take the text beyond
// 499 characters (what a record field holds) are left out whole.
std::string collect_smpp_options(std::string_view extra);

// Writes a complete record into the inbound store (frame::inbound_write_dir)
// under a new unique name with extension ext ("in", "rec" or "rct"), adds it
// to the received counter and to its queue gauge (receipt queue for "rct",
// inbound queue otherwise) and signals the inbound event (the receipt event
// for "rec" and "rct"). Returns the path, empty when it could not be written
// (traced under trace_name; nothing is counted then).
std::string write_inbound_record(std::string_view ext, std::string_view content,
                                 std::string_view trace_name);

}  // namespace inbound
