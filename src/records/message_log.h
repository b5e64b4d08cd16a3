// Daily message logs: outbound, inbound and web traffic in the log
// directory, one log per account in the account's log directory, and the
// hourly pruning by age. Every line is written with a single write under the
// log's lock, so lines from concurrent writers never interleave.
#pragma once

#include <string>
#include <string_view>

namespace records {

// The message body as the line writers see it.
struct LogContent {
    bool binary = false;    // data is hex
    unsigned pid = 0;       // protocol identifier
    unsigned dcs = 0;       // data coding scheme
    std::string_view udh;   // user data header, hex
    std::string_view data;  // hex when binary, UTF-8 text otherwise
};

// "SMSOUT-YYYYMMDD.LOG": message id (request file name without extension),
// submitted-by, recipient, status text, then the details "SubmitUser=",
// "SMSCRouteName=", "Sender=", "SMSCMsgId=" and the content items.
void write_outbound_log(std::string_view message_id, std::string_view submitted_by,
                        std::string_view recipient, std::string_view status,
                        const LogContent& content, std::string_view submit_user,
                        std::string_view smsc_msg_id, std::string_view sender,
                        std::string_view route_name);

// "SMSIN-YYYYMMDD.LOG": sender, receiving link name, then the content items,
// "SMSCRouteName=" (the link section's RouteName), "Recip=",
// "SMSCReceiptMsgId=", "SMSCReceiptMsgIdOrig=".
void write_inbound_log(std::string_view sender, std::string_view link_name,
                       std::string_view recipient, const LogContent& content,
                       std::string_view receipt_msg_id, std::string_view receipt_msg_id_orig);

// "SMSWEB-YYYYMMDD.LOG": client address, account, message id, message kind,
// then "Recip=", "Sender=" and the content items.
void write_web_log(std::string_view client_address, std::string_view account,
                   std::string_view message_id, std::string_view kind, std::string_view recipient,
                   const LogContent& content, std::string_view sender);

// "SMS-YYYYMMDD.LOG" in the account's log directory: account, operation
// ("SMSSubmit", "SMSReceive", "SendMMS", "MMSWAPPush"), recipient, origin,
// message id, message kind, then "Sender=", "PID=", "DCS=", "UDH=",
// "Data=" or "Text=" and "Binary=1". Nothing is written for an empty account,
// for "localsystem" or with DisableUserLog.
void write_account_log(std::string_view account, std::string_view operation,
                       std::string_view recipient, std::string_view origin,
                       std::string_view message_id, std::string_view kind,
                       const LogContent& content, std::string_view sender);

// Start-up: opens today's outbound log so that a broken log directory shows
// at once in the debug trace.
void open_outbound_log();

// Shutdown: closes the three daily logs and the account log.
void close_message_logs();

// Hourly: deletes message logs older than LogRetainDays (default 90, 0 = 90)
// in the log directory and in each account directory. Returns the number of
// files deleted.
unsigned prune_message_logs();

}  // namespace records
