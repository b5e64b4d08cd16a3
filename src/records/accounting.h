// Accounting callbacks to the external accounting service (SMSAccountingURL):
// the pre-authorisation of submissions and the notifications of messages
// submitted ("SMSSend"), received ("SMSIN") and sent ("SMSOut"), over the
// outbound HTTP client with a keep-alive pool.
//
// Submission front ends: SMSAccountingPreAuth before any request file is
// written (a non-zero result refuses with that SMPP status and the refusal
// text), then one SMSAccountingCallback("SMSSend") per file written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace records {

// SMSIN answer "AcceptMessage=N": acknowledge the message but drop it.
inline constexpr uint32_t kAccountingDoNotAccept = 0xFEF1F0F0;
inline constexpr uint32_t kAccountingRefused = 88;  // PreAuth=Deny, no answer
inline constexpr uint32_t kAccountingError = 8;     // unusable route in the answer
inline constexpr size_t kAccountingUrlMax = 16384;
inline constexpr size_t kAccountingValueMax = 100;

// The message as the callbacks describe it. The callbacks may change
// recipient, sender, service type, validity and SMPP options in place when
// SMSAccountingAllowChanges is on.
struct AccountingMessage {
    std::string account;  // From= (ReceiptUser= for "SMSIN")
    std::string recipient;
    std::string submit_ip;
    std::string sender;
    bool binary = false;
    uint8_t pid = 0, dcs = 0;
    std::string udh;      // hex
    std::string message;  // UTF-8 text, or hex data of a binary message
    bool receipt_requested = false;
    std::string acct_info;
    std::string route;         // route already given (SMSCRoute=)
    std::string smpp_options;  // "SMPPOption_<name>=<value>;..." pairs
    std::string validity;
    std::string service_type;
};

// Per-recipient answers of the pre-authorisation, in recipient order.
struct PreAuthAnswer {
    std::vector<std::string> routes;
    std::vector<std::string> charges;  // credit texts ("" = 1 credit)
    std::vector<std::string> user_data;
    std::string refusal;  // set when the result is non-zero
};

// 0 accepted, else the SMPP status refusing the submission. recipients
// empty: msg.recipient is the one recipient.
uint32_t SMSAccountingPreAuth(std::string_view kind, AccountingMessage& msg,
                              const std::vector<std::string>& recipients, uint32_t message_count,
                              PreAuthAnswer& answer);

// What a notification adds to the message.
struct AccountingNotice {
    std::string message_id;
    std::string smsc_msg_id;
    std::string smsc_receipt_msg_id;
    std::string smsc_receipt_msg_id_orig;
    std::string smsc_name;
    std::string status;
    std::string smsc_route_name;
    std::string route_charge;
    std::string user_data;
    std::string extra_params;  // raw "name=value&..." appended as is
};

// 0, an SMPP status refusing a received message, or kAccountingDoNotAccept
// ("SMSIN" only). out_route (may be null) asks "SMSSend" for a route: it is
// set from the answer unless a route was given with UseRouteQueues on;
// "~~invalid~~" for an unusable one. out_user_data (may be null) takes
// "UserData=". A failed fetch changes nothing (result 0).
uint32_t SMSAccountingCallback(std::string_view kind, AccountingMessage& msg,
                               const AccountingNotice& notice, std::string* out_route = nullptr,
                               std::string* out_user_data = nullptr);
// The same for a message handed to a link: SMSCName is the link and
// SMSCRouteName its RouteName.
uint32_t SMSAccountingCallbackForLink(std::string_view kind, AccountingMessage& msg,
                                      AccountingNotice notice, std::string_view link_name);
// The same with a logged status text whose part after " -- " names the link.
uint32_t SMSAccountingCallbackForStatus(std::string_view kind, AccountingMessage& msg,
                                        AccountingNotice notice, std::string_view status);

// --- the account checks of one submission ------------------------------------------

struct QuotaEntry;

// What a front end knows of a submission and what the checks found.
struct SubmissionCharge {
    std::string account;          // the authenticated account
    QuotaEntry* entry = nullptr;  // its entry (null: looked up)
    std::vector<std::string> recipients;
    uint32_t segments = 1;
    AccountingMessage message;     // as the "SMSSend" pre-authorisation sees it
    PreAuthAnswer preauth;         // per-recipient routes, charges, user data
    std::vector<int64_t> charges;  // per recipient and segment, thousandths
    int64_t debited = 0;           // taken by check_smpp_submission
    uint32_t status = 0;           // refusal: 88, or the pre-authorisation's status
    std::string refusal;
};

// HTTP, before any file is written, all in check mode: the quota for
// recipients x segments, the pre-authorisation, the credit for the sum of
// the charges x segments, the queue limits. 1 allowed; 0 refused (status,
// refusal; traced under "MessageAccountingReject"). Nothing is charged.
int check_http_submission(SubmissionCharge& c);
// After the files: files_written[i] files were written for recipient i.
// Debits their charges and counts them in the quota.
void charge_http_submission(SubmissionCharge& c, const std::vector<uint32_t>& files_written);

// SMPP, one message: the quota check, the pre-authorisation, then the charge
// debited only when the balance covers it. 1 allowed (c.debited taken); 0
// refused ("User over quota" traced), nothing taken.
int check_smpp_submission(SubmissionCharge& c);
// The request file was written: the quota counts it.
void count_smpp_submission(SubmissionCharge& c);
// Refused after the charge was taken (queue limit, file not written): the
// charge goes back, so that a refused submission costs nothing.
void refund_smpp_submission(SubmissionCharge& c);

// --- pieces, for the callers and tests ---------------------------------------------

// True when SMSAccountingURL is set and SmsAccountingLimitCallbacks does not
// exclude the kind ("PreAuth", "SMSSend", "SMSIN", "SMSOut").
bool accounting_callback_enabled(std::string_view kind);
// The two request URLs (at most kAccountingUrlMax characters).
std::string preauth_url(std::string_view kind, const AccountingMessage& msg,
                        std::string_view recipient, uint32_t message_count);
std::string callback_url(std::string_view kind, const AccountingMessage& msg,
                         const AccountingNotice& notice);
// An answer keyword's value (case-insensitive; the keyword must start the
// text or follow a character that is not a letter, digit or '_'), up to
// kAccountingValueMax characters ending at a control character, '<' or '>',
// trailing blanks removed. False when the keyword is absent.
bool answer_value(std::string_view answer, std::string_view keyword, std::string& value);
// "SMPPErrorCode=" as decimal, or hexadecimal after an "x" (0x58).
bool answer_error_code(std::string_view answer, uint32_t& code);
// Validates an answer's route: "localuser:<account>" with RECV.FLG, or a
// link name / RouteName. Empty error when valid, else the trace text.
std::string check_answer_route(std::string_view route);
// Connections taken back out of the keep-alive pool since start (tests,
// benchmarks) and the pool's size now.
uint64_t accounting_pool_reuses();
size_t accounting_pool_size();

}  // namespace records
