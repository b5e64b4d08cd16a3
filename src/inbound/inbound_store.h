// Received messages and receipts become files: the body of every receive
// path (whatever protocol handed the message up), and the writer of the
// inbound store records (".in" messages, ".rec" matched receipts, ".rct"
// receipts whose message id is still to be resolved). Routing these files
// onward is the inbound threads' business; nothing received is lost
// meanwhile.
#pragma once

#include <string>
#include <string_view>

#include "protocols/common/message.h"
#include "records/accounting.h"
#include "store/request_codec.h"

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
    // The extra fields by name: ServiceType, RouteToLocalUser, ReceivedSMSC,
    // ResolveReceiptID, ReceiptMsgIdOrig, SMPPOption_<name>.
    protocols::common::Options options;
    std::string smpp_options;  // empty: collected from the options
    std::string service_type;  // empty: ServiceType of the options
    std::string scts;          // "%04d%02d%02d%02d%02d%02d" when known
};

// The [SMS-IN] record of a received message and the extension of its file
// ("rct", "rec" or "in"), as store_inbound_message writes them: options
// taken by name, the link's prefix rewriting and RouteLocal applied.
struct InboundRecord {
    std::string ext;
    store::SmsMessage msg;
};
InboundRecord inbound_record(const InboundMessage& m);

// store_inbound, returning the file's path (empty when nothing was written).
// Without a confirmed local account or a re-route it writes the [SMS-IN]
// record into the inbound store (frame::inbound_write_dir)
// as ".rct" (option ResolveReceiptID=Yes), ".rec" (a receipt with a
// message id) or ".in"; counts it (received counters, queue gauges), signals
// the inbound or receipt wake-up event. Returns the file's path, empty when
// it could not be written (traced).
std::string store_inbound_message(const InboundMessage& m);

// Where store_inbound put a message.
enum class StoreResult {
    Stored,     // the inbound store (.in, .rec or .rct)
    LocalUser,  // a local account's queue (RouteToLocalUser / RouteLocal confirmed)
    ReRouted,   // another route's outbound queue (ReRouteReceived)
    Dropped,    // refused by the "SMSSend" pre-authorisation of a re-routed message
    Failed,     // nothing could be written (traced)
};
inline constexpr std::string_view kReRoutePrefix = "ReRouteReceived-";

// The whole storing step: a message with a local account that the inbound
// routing lookup confirms goes to that account's queue (copied for 2-way
// processing with DuplicateUserMessagesFor2Way / DuplicateUserReceiptsFor2Way,
// logged as delivered there); one of a link with ReRouteReceived (or a
// local user "ReRouteReceived-<route>") is re-submitted to that route
// ("Yes": any) with SubmitUser "ReRouteReceived-<link>"; the rest is written
// by store_inbound_message's rules. *path (optional) receives the file.
StoreResult store_inbound(const InboundMessage& m, std::string* path);

// The body every receive callback shares: the "inbound message: ..." debug
// line (Debug on), the inbound log line unless the receipt still has to be
// resolved, then the store. Returns 0 when taken, else the refusal status
// (a message that could not be stored is refused, so the SMSC keeps it).
int receive_message(std::string_view callback_name, const InboundMessage& m);

// receive_message for a message or receipt as an engine hands it up. The
// link kinds install this (with their protocol's refusal codes) as their
// engine's receive handler.
int receive_record(std::string_view callback_name, const protocols::common::DeliveryRecord& m);

// The accounting description of a message record, for account.
records::AccountingMessage accounting_message(const store::SmsMessage& m, std::string_view account);

// --- shared by the receipt writers (and tests) ---------------------------------

// Status receive_message answers with when the message could not be stored
// (the SMPP "system error"; the UCP and CIMD callbacks map it to their own
// codes). The SMSC keeps the message and delivers it again.
inline constexpr int kRefuseNotStored = 0x08;

// The "SMPPOption_<name>=<value>" options whose name is defined in
// [SMPPOptions] (non-empty value there), name and value cut to 99
// characters each, joined by "; " as an option text (escaped: a value can
// never add an item). Items that would take the text beyond 499 characters
// (what a record field holds) are left out whole.
std::string collect_smpp_options(const protocols::common::Options& options);

// Writes a complete record into the inbound store (frame::inbound_write_dir)
// under a new unique name with extension ext ("in", "rec" or "rct"), adds it
// to the received counter and to its queue gauge (receipt queue for "rct",
// inbound queue otherwise) and signals the inbound event (the receipt event
// for "rec" and "rct"). Returns the path, empty when it could not be written
// (traced under trace_name; nothing is counted then).
std::string write_inbound_record(std::string_view ext, std::string_view content,
                                 std::string_view trace_name);

}  // namespace inbound
