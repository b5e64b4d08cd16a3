// Receipts the link workers need: registering the SMSC's message id of an
// accepted message for later matching, and the receipts the gateway makes
// itself (rejection of a failed message, the interim "enroute" report).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/request_file.h"

namespace inbound {

// The gateway's message id of a request file: its name up to the first ".".
std::string message_id_from_path(std::string_view path);

// After a link accepted a message that asked for a receipt (flags 0x02 or
// 0x40): SMSCMessageIdAdd(link, smsc id, message id (request file base
// name), submit user, sender, recipient). Nothing for an empty smsc id.
// tracking_link is the link's route name ("HTTP" for HTTP SMSC links).
void register_smsc_message_id(std::string_view tracking_link, std::string_view smsc_id,
                              std::string_view request_path, const store::SmsMessage& msg);

// "id:%s sub:001 dlvrd:000 submit date:... done date:... stat:REJECTD
// err:%03X text:" + the first 19 characters of the text, stored as a ".rec"
// record (ReceiptFailed=Yes) for the submitting user when the message asked
// for a receipt (0x02) or a non-delivery receipt (0x40). created is the
// request file's creation time. Returns the record's path, empty when none
// was made.
std::string make_rejection_receipt(const std::string& request_path, const store::SmsMessage& msg,
                                   std::string_view link_name, uint32_t error_code, time_t created);

// The interim report of a link with DeliveryReportEnroute after it accepted
// a message that asked for a receipt: dlvrd:001, stat: DeliveryReportEnrouteStat
// (default "ENROUTE"), err:000, ReceiptIntransit=Yes, SMPPOptions= the link's
// DeliveryReportEnrouteSMPPOptions when set.
std::string make_intermediate_receipt(const std::string& request_path,
                                      const store::SmsMessage& msg, std::string_view link_name,
                                      time_t created);

// The receipt text of the two above (exact format), for tests and callers.
std::string gateway_receipt_text(std::string_view message_id, bool delivered,
                                 std::string_view state, uint32_t error_code, time_t submitted,
                                 time_t done, std::string_view text);

// Installs make_rejection_receipt as store's failure-receipt hook (messages
// failed by fail_message get their receipt there).
void install_failure_receipt_hook();

}  // namespace inbound
