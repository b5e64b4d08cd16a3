// What a link worker reads about its link: the kind and address a link name
// stands for, the link settings of every kind, the link status file, quiet
// hours, credit limits, the send limit, and the classification of a failed
// submit into retry or permanent failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/retry.h"

namespace links {

// --- link names --------------------------------------------------------------------

enum class LinkKind { Smpp, Ucp, Cimd, Http, KelSmsModem, IpModem, SdkLink, Modem };

struct LinkAddress {
    LinkKind kind = LinkKind::Modem;
    std::string host;   // "kelsmslocal" becomes 127.0.0.1
    unsigned port = 0;  // 0: none given (the protocol's default applies);
                        // "kelsmslocal" without a port: [SMSGW] WebPort (8800)
    std::string device; // the name after its prefix (modem links: the whole name)
};
// "SMPP - host:port", "UCP - ...", "CIMD - ...", "HTTP - ...", "KelSMSModem - ...",
// "IPModem - ...", "SDKLink - ..." (prefixes without regard to case); anything
// else is a modem. Host and port are split at the last ':'; a port that is
// not a decimal number up to 65535 reads as 0.
LinkAddress parse_link_name(std::string_view link_name);

// Name of the link at index i: Modem<i> of [SMSGW] (empty when missing);
// index 0 is always the virtual SMSC "SDKLINK - VirtualSMSC".
std::string link_name_at(unsigned index);

// --- link status file -----------------------------------------------------------------

// "<private data dir>/<link name>.ERR" with ':', '/' and '\' made '-'.
std::string link_status_path(std::string_view link_name);
// Writes the failure text (replacing the file); removes it.
void write_link_status(std::string_view link_name, std::string_view text);
void clear_link_status(std::string_view link_name);
// The file exists and is not empty (the link is failing).
bool link_is_failing(std::string_view link_name);

// --- quiet hours, credit ------------------------------------------------------------------

struct QuietHours {
    unsigned start = 0;  // hour 0..23
    unsigned end = 0;
    // Both 0: never quiet. start < end: start <= hour < end; otherwise
    // hour >= start or hour < end.
    bool quiet_at(unsigned hour) const;
};
// QuietHourDay<N>Start/End for day_of_week (0 = Sunday -> N = 1), link
// section then [SMSGW]; without them QuietHourStart/End, link then [SMSGW].
QuietHours read_quiet_hours(std::string_view link_section, unsigned day_of_week);

struct CreditLimits {
    uint32_t day = 0;        // CreditLimitDay, 0 = none
    uint32_t month = 0;      // CreditLimitMonth
    uint32_t reset_day = 1;  // CreditLimitResetDay
};
// "Credit Exceeded -- Daily Limit is %u, sent %u" or "... Monthly Limit is
// %u, sent %u" when the link's sent count (today / since the reset day)
// reached a limit; nullopt otherwise.
std::optional<std::string> credit_exceeded(std::string_view link_name, const CreditLimits& limits);

// --- send limit --------------------------------------------------------------------------

// SMSCSendLimit "N" or "N/S" (blanks around '/' allowed, S default 1, also
// for a missing or zero S):
// floor(S * 1000 / N) ms between submits; 0 = no limit (no digits, N = 0).
uint32_t parse_send_limit_ms(std::string_view text);

// --- error classification ------------------------------------------------------------------

// A list of error codes ("," or ";" separated, blanks around items ignored):
// SMPP items are hexadecimal ("0x" optional, leading zeros ignored), UCP and
// CIMD items decimal; "All" (any case) matches everything the kind allows.
struct ErrorCodeList {
    bool all = false;
    std::vector<int64_t> codes;  // each code once; items that are not codes are dropped
    // Listed, or "All" and not one of the connection codes -1, -2, -3.
    bool contains(int64_t code) const;
};
ErrorCodeList parse_error_codes(std::string_view text, bool hex);
// ModemRejectErrorCodes: text items, matched as case-insensitive substrings.
std::vector<std::string> parse_modem_reject_codes(std::string_view text);

// SMPP statuses with a fixed meaning.
inline constexpr int64_t kSmppQueueFull = 0x14;
inline constexpr int64_t kSmppThrottled = 0x58;

// How a failed submit is classified (store::retry_allowed then decides with
// the retry count and age).
//   SMPP: code in reject list (All: not 0x14, 0x58, -1, -2, -3) -> Reject;
//         0x58, 0x14 or in the queue-full list -> AlwaysRetry;
//         0x0A, 0x0B, 0x66 -> Final; else Retryable.
//   UCP / CIMD: in the reject list (All: not -1, -2, -3) -> Reject; else Retryable.
store::ErrorClass classify_smpp(int64_t status, const ErrorCodeList& reject,
                                const ErrorCodeList& qfull);
store::ErrorClass classify_ucp_cimd(int64_t code, const ErrorCodeList& reject);
store::ErrorClass classify_modem(std::string_view response,
                                 const std::vector<std::string>& reject);
// The status is 0x14 or in the queue-full list (queue-full hold).
bool smpp_queue_full(int64_t status, const ErrorCodeList& qfull);

// --- the settings of one link ------------------------------------------------------------------

// Everything a worker reads from the link section (with the [SMSGW]
// fallbacks the keys have). Read at every connection attempt, every 256
// messages and at the end of a pass.
struct LinkSettings {
    std::string name;        // the Modem<i> value
    std::string section;     // frame::link_section_name(name)
    LinkAddress address;
    std::string route_name;  // RouteName, default the link name
    std::string backup_for;  // BackupForRoute with a leading "Modem - " stripped
    std::vector<std::string> sender_addresses;  // SenderAddress, comma list, trimmed
    bool sender_address_override = true;        // SenderAddressOverride
    std::string out_recip_prefix_convert, out_sender_prefix_convert;
    bool block_receipt_request = false;  // BlockDeliveryReceiptRequest / DisableDeliveryReceipt
    bool block_receipt = false;          // BlockDeliveryReceipt
    bool delivery_report_enroute = false;
    CreditLimits credit;
    QuietHours quiet;  // for the day of week at load time
    uint32_t send_limit_ms = 0;  // SMSCSendLimit
    std::string send_limit_text;
    store::RetrySchedule retry;  // RetryMaxAttempts, RetryMaxAge ... (link then [SMSGW])
    std::string reroute_on_error;

    // Protocol links.
    std::string user_name, password, system_type;  // 150 each
    std::string address_range;
    std::string bind_ip;
    unsigned sender_local_port = 0, sender_remote_port = 0;      // SenderPort "local[:remote]"
    unsigned receiver_local_port = 0, receiver_remote_port = 0;  // ReceiverPort
    unsigned local_port = 0;                                     // LocalPort (UCP/CIMD)
    unsigned receive_port = 0;                                   // ReceivePort (UCP/CIMD)
    bool receive = false;                                        // Receive
    bool receive_single_connection = false;
    unsigned transmitter_count = 1, receiver_count = 1;  // both 0 -> 1 and 1
    unsigned keep_alive_s = 0;  // SMPP: 58 when absent, explicit "0" keeps 0; UCP/CIMD: 0
    unsigned command_timeout_s = 120;
    unsigned window_size = 0;
    bool use_ssl = false, use_tlv = false, wdp_adaptation = false;
    // TLS links: SSLVerifyPeer checks the SMSC's certificate against the CA
    // certificates of SSLCAFile (empty: the system's trust store) and the
    // host name of SSLVerifyHost (empty: the host of the link name). Off by
    // default: existing links to SMSCs with self-signed certificates keep
    // connecting; each unverified connection says so in the debug trace.
    bool ssl_verify_peer = false;
    std::string ssl_ca_file, ssl_verify_host;
    int interface_version = 0x34;  // SMPPVersion "v3.3" -> 0x33
    uint32_t throttle_error_delay_s = 5;  // SMPPThrottleErrorDelay (link, [SMSGW], 5)
    bool throttle_for_qfull = false;
    bool restart_q_after_throttle_error = false;
    std::string validity;
    std::string smpp_charset;  // SMPPCharset
    // [SMSGW] keys of SMPP connections, read with the link settings so that
    // a connection never reads SMSGW.INI again; they apply from the next
    // connection and need no reconnect of their own.
    bool tcp_no_delay = true;             // TCPNoDelay: on the socket before connecting
    bool smpp_no_delay = false;           // SMPPNoDelay: once bound, else a 16 KiB send buffer
    uint32_t async_callback_threads = 1;  // AsyncCallbackThreads (raw; the kind bounds it)
    // [SMPPOptions]: the custom optional parameters of SMPP sessions, read
    // here with the rest so that a session never reads SMSGW.INI itself.
    std::vector<std::pair<std::string, std::string>> smpp_option_defs;
    ErrorCodeList reject_codes;  // SMPP/UCP/CIMDRejectErrorCodes (by kind), link then [SMSGW]
    ErrorCodeList qfull_codes;   // SMPPQFullErrorCodes
    std::vector<std::string> modem_reject_codes;

    // Differences that need a new session (everything except quiet hours,
    // credit limits, retry limits and the send limit, which apply in place,
    // and the [SMSGW] SMPP connection keys above).
    bool needs_reconnect(const LinkSettings& newer) const;
};
LinkSettings load_link_settings(std::string_view link_name, unsigned day_of_week);

}  // namespace links
