// Parameters of an HTTP message submission: reading them from the request,
// the recipient list and the sender rules, and the checks that refuse a
// request before anything is charged or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/queue_dirs.h"
#include "platform/clock.h"

namespace frontends::http {

// Caps of the request parameters (characters kept).
inline constexpr size_t kSubmitTextCap = 8192;
inline constexpr size_t kSubmitUdhCap = 500;
inline constexpr size_t kSubmitSenderCap = 150;
inline constexpr size_t kSubmitShortCap = 100;  // routes, service type, billing ...
inline constexpr size_t kSubmitValidityCap = 50;
inline constexpr size_t kSubmitLongCap = 1024;  // pid, dcs, DelayUntil, charset ...
inline constexpr size_t kRecipientEntryMax = 100;
inline constexpr size_t kSmppOptionsMax = 500;
inline constexpr size_t kExtraArgListMax = 1024;
inline constexpr size_t kDListLineMax = 250;

// The [SMSGW] settings the parameter rules read, at the moment of use.
struct SubmitSettings {
    bool allow_alpha_recip = false;     // AllowAlphaRecip
    std::string recip_prefix_convert;   // GlobalRecipPrefixConvert
    std::string sender_prefix_convert;  // GlobalSenderPrefixConvert
    bool receipt_requested = false;     // ReceiptRequested
    std::string extra_http_arg_list;    // ExtraHttpArgList
    std::string dlists_dir;             // program data directory + "DLists/"
};
SubmitSettings submit_settings_now();

// Who submits.
struct SubmitContext {
    std::string account;        // authenticated account ("" = none)
    std::string forced_sender;  // the account's ForcedSenderAddress list
    std::string peer;           // client address
};

// One submission as its parameters describe it.
struct SubmitParams {
    std::vector<std::string> recipients;
    size_t recipient_entries = 0;  // entries of the list before expansion
    std::string text;              // Text, or Data in binary mode
    bool binary = false;
    std::string udh;
    uint8_t pid = 0, dcs = 0;
    std::string sender;
    std::string validity, service_type, billing_info, acct_info;
    std::string smsc_route, mmsc_route;
    bool reply_requested = false, receipt_requested = false;
    bool receipt_delivered = false, receipt_failed = false, receipt_intransit = false;
    std::string receipt_message_id, receipt_done_date, receipt_failed_status;
    std::string local_route;  // "~SMSIN" or a local account: a local delivery
    uint32_t source_port = 0, dest_port = 0;
    uint32_t seg_ref = 0, seg_num = 0, seg_count = 0;
    bool delayed = false;
    frame::ScheduledTime send_time;
    std::string smpp_options;
    std::string charset;
    std::string continue_url = "javascript:history.back()";
    bool allow_no_recipient = false;  // OTA_SUBMIT_VIEWXML
    bool text_too_long = false;       // Text / Data beyond its cap
    std::string delay_error;          // DelayUntil that names no real minute
    std::vector<std::pair<std::string, std::string>> extra_args;  // ExtraHttpArgList
};

// True for four dot-separated decimal parts 0-255.
bool is_ipv4_address(std::string_view s);

// The entries of a recipient value: split at ",", ";" and control
// characters, each cut to 100 characters, trailing blanks removed, empty
// ones dropped.
std::vector<std::string> split_recipient_entries(std::string_view value);

// One address made a recipient: an IPv4 address unchanged; otherwise
// (unless allow_alpha or it ends with "#") the ":port" part removed (the
// port into *port when non-zero) and every character but digits after an
// optional leading "+" dropped; then the prefix conversion. "" = nothing left.
std::string normalise_recipient(std::string_view address, const SubmitSettings& s, uint32_t* port);

// The distribution list file an entry names, "" when it names none: "#name"
// a public list (a name that also ends with "#" keeps both marks), another
// name the account's own list (the public directory without an account).
std::string dlist_path(std::string_view entry, std::string_view account, const SubmitSettings& s);

// The addresses of a list file: a UTF-8 byte order mark skipped, one address
// per line, cut at its first blank and to 250 characters.
std::vector<std::string> dlist_addresses(std::string_view file_text);

// The whole recipient list of a value: entries, lists expanded, addresses
// normalised, empty results dropped; duplicates kept. *entries receives the
// number of entries before expansion.
std::vector<std::string> expand_recipients(std::string_view value, std::string_view account,
                                           const SubmitSettings& s, uint32_t* port,
                                           size_t* entries = nullptr);

// The sender rules: numeric senders prefix-converted, their ":port" into
// *port, non-digits dropped; then the account's forced sender list.
std::string apply_sender_rules(std::string_view sender, std::string_view forced_list,
                               const SubmitSettings& s, uint32_t* port);

// "DelayUntil": four digits of year, then two each of month, day, hour and
// minute; other characters between the groups skipped. False when no year
// was found (no delay).
bool parse_delay_until(std::string_view value, frame::ScheduledTime& t);

// Leading hexadecimal digits of a value, low eight bits kept (0 for none).
uint8_t leading_hex_byte(std::string_view value);

// Reads every parameter of a text or binary submission from the request
// text (query and body) with the settings given.
void read_submit_params(std::string_view request, const SubmitContext& ctx, const SubmitSettings& s,
                        SubmitParams& p);

// What the message-id tracking knows of a message the gateway sent.
struct TrackedMessage {
    std::string message_id, submit_user, sender, recipient;
};
// Looks a message id up (the tracking of type "HTTP"); false when unknown.
using ReceiptLookup = bool (*)(std::string_view id, TrackedMessage& out);
bool tracked_http_message(std::string_view id, TrackedMessage& out);

// Makes the submission a delivery receipt for p.receipt_message_id: the
// receipt text, flags, and, for a tracked message, its id and addresses (and
// the submitting account as local route, so that the receipt returns to it).
// now: local time for the dates that are not known.
void inject_receipt(SubmitParams& p, ReceiptLookup lookup, const platform::LocalTime& now);

// The checks that refuse a request, in their order; "" when it passes. In
// binary mode a text that is not hex but comes with a UDH is converted here
// (UCS-2 or packed GSM 7-bit), as the request asks.
std::string validate_submit_params(SubmitParams& p);

}  // namespace frontends::http
