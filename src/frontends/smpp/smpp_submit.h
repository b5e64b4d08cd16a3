// Client submissions of the SMPP server: a submit_sm or data_sm of a bound
// account becomes one message request file (or one per segment of a long
// message) in the outbound queue, after the account's quota, credit, queue
// limit and accounting checks. The answer's status is decided here; a
// status of 0 is returned only once every file is complete in the queue.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocols/common/message.h"
#include "store/request_codec.h"

namespace frontends::http {
struct UserCacheEntry;
}

namespace frontends::smpp {

// Who submits: the bound session's account and address.
struct Submitter {
    std::string account;
    std::string peer;
    std::string forced_sender_address;  // the account's ForcedSenderAddress list
    bool short_ids = false;             // SMPP 3.3 bind: message ids of at most 8 characters
    http::UserCacheEntry* entry = nullptr;  // for the running queue file number (may be null)
    // Settings a session reads at its bind and at every revalidation.
    std::vector<std::string> allowed_options;  // [SMPPOptions] names
    std::string recip_prefix_convert;          // GlobalRecipPrefixConvert
    std::string sender_prefix_convert;         // GlobalSenderPrefixConvert
};

// Reads the settings fields of who.
void load_submit_settings(Submitter& who);

// Longest message id an SMPP 3.3 client accepts.
inline constexpr size_t kShortIdMax = 8;

// The id a client is given for a request file id (the file name without
// extension): as it is, or for an SMPP 3.3 bind its last 8 characters
// (the message id counter's hex digits, without the MessageIDPrefix) when
// prefix and id together are longer.
std::string client_message_id(std::string_view file_id, bool short_ids);

// The option text a request file keeps of a client's options: only
// "SMPPOption_<name>" items whose name is in allowed ([SMPPOptions] keys),
// joined so that no name or value can end its item or add another one.
std::string kept_smpp_options(const protocols::common::Options& options,
                              const std::vector<std::string>& allowed);

// The request record of one client submission before routing and checks:
// sender (the first ForcedSenderAddress entry when the sender is not in the
// list), recipient ("1" when only a sender is given), text or hex data,
// UDH, pid, dcs, receipt requests (registered_delivery 1 and 2), validity,
// service type, kept options, RouteToLocalUser / SMSCRoute from the
// options. A client cannot submit a receipt: the receipt bits and the
// receipted message id are never copied. False (status set) for a
// submission that cannot be queued.
bool submission_record(const Submitter& who, const protocols::common::DeliveryRecord& m,
                       const std::vector<std::string>& allowed_options, store::SmsMessage& out,
                       uint32_t& status);

// Sender list check: true when sender is one of the comma-separated entries
// (blanks ignored, case-insensitive).
bool sender_in_list(std::string_view list, std::string_view sender);

// The whole submission: record, prefix conversion, checks, files, commit,
// logs and counters. 0 with message_id set, or the SMPP status to answer.
uint32_t submit_from_client(const Submitter& who, const protocols::common::DeliveryRecord& m,
                            std::string& message_id);

}  // namespace frontends::smpp
