// Link names, link settings, the link status file, quiet hours, credit
// limits, the send limit and the classification of failed submits.
#include "links/core/link_config.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace links {

namespace {

constexpr std::string_view kVirtualSmscName = "SDKLINK - VirtualSMSC";
constexpr std::string_view kKelsmsLocalHost = "kelsmslocal";
constexpr std::string_view kLoopbackHost = "127.0.0.1";
constexpr uint32_t kDefaultWebPort = 8800;
constexpr unsigned kMaxPort = 65535;

// Bind parameters hold at most 150 characters.
constexpr size_t kBindFieldSize = 150 + 1;

constexpr uint32_t kSmppDefaultKeepAlive = 58;
constexpr uint32_t kDefaultCommandTimeout = 120;
constexpr uint32_t kDefaultThrottleErrorDelay = 5;
constexpr int kSmppVersion33 = 0x33;
constexpr int kSmppVersion34 = 0x34;

// Engine codes for a lost or unusable connection; "All" never makes them
// permanent, since the message itself was never judged by the SMSC.
constexpr std::array<int64_t, 3> kConnectionCodes = {-1, -2, -3};

// SMPP statuses that fail a message at once: invalid source address,
// invalid destination address, receiver rejection.
constexpr std::array<int64_t, 3> kSmppFinalStatuses = {0x0A, 0x0B, 0x66};

// Largest code a list item may name (command statuses are 32-bit).
constexpr int64_t kMaxCode = 0xFFFFFFFFLL;

struct Prefix {
    std::string_view text;
    LinkKind kind;
};
constexpr std::array<Prefix, 7> kPrefixes = {{
    {"SMPP - ", LinkKind::Smpp},
    {"UCP - ", LinkKind::Ucp},
    {"CIMD - ", LinkKind::Cimd},
    {"HTTP - ", LinkKind::Http},
    {"KelSMSModem - ", LinkKind::KelSmsModem},
    {"IPModem - ", LinkKind::IpModem},
    {"SDKLink - ", LinkKind::SdkLink},
}};

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A port written in a link name or a port key: decimal digits only and in
// range, else 0 (none).
unsigned parse_port(std::string_view text) {
    text = platform::trim(text);
    if (!all_digits(text) || text.size() > 5) return 0;
    unsigned v = 0;
    for (char c : text) v = v * 10 + unsigned(c - '0');
    return v <= kMaxPort ? v : 0;
}

// A numeric link setting: link section, then [SMSGW]; empty in both gives
// the default, so that only a value actually written (such as "0") counts.
uint32_t link_number_or(std::string_view section, std::string_view key, uint32_t def) {
    std::string v(platform::trim(frame::link_string(section, key, "")));
    if (v.empty()) return def;
    return frame::parse_number(v);
}

// Connection counts: empty or not starting with a digit counts as 1.
unsigned count_value(std::string_view v) {
    v = platform::trim(v);
    if (v.empty() || v[0] < '0' || v[0] > '9') return 1;
    return frame::parse_number(v);
}

// "local[:remote]" of SenderPort / ReceiverPort.
void parse_port_pair(std::string_view text, unsigned& local, unsigned& remote) {
    text = platform::trim(text);
    size_t colon = text.find(':');
    local = parse_port(text.substr(0, colon));
    remote = colon == std::string_view::npos ? 0 : parse_port(text.substr(colon + 1));
}

// Splits a list at ',' and ';' into trimmed, non-empty items.
std::vector<std::string_view> split_items(std::string_view text) {
    std::vector<std::string_view> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(",;", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view item = platform::trim(text.substr(start, end - start));
        if (!item.empty()) items.push_back(item);
        start = end + 1;
    }
    return items;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One code of a list; nullopt for an item that is not a code.
std::optional<int64_t> parse_code(std::string_view item, bool hex) {
    bool negative = false;
    if (!hex && !item.empty() && (item[0] == '-' || item[0] == '+')) {
        negative = item[0] == '-';
        item.remove_prefix(1);
    }
    if (hex && item.size() >= 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X'))
        item.remove_prefix(2);
    if (item.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : item) {
        int d = hex ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        v = v * (hex ? 16 : 10) + d;
        if (v > kMaxCode) return std::nullopt;
    }
    return negative ? -v : v;
}

bool is_connection_code(int64_t code) {
    return std::find(kConnectionCodes.begin(), kConnectionCodes.end(), code) !=
           kConnectionCodes.end();
}

bool listed(const ErrorCodeList& list, int64_t code) {
    return std::find(list.codes.begin(), list.codes.end(), code) != list.codes.end();
}

bool same_address(const LinkAddress& a, const LinkAddress& b) {
    return a.kind == b.kind && a.host == b.host && a.port == b.port && a.device == b.device;
}

bool same_codes(const ErrorCodeList& a, const ErrorCodeList& b) {
    return a.all == b.all && a.codes == b.codes;
}

std::string reject_codes_key(LinkKind kind) {
    switch (kind) {
        case LinkKind::Smpp:
            return "SMPPRejectErrorCodes";
        case LinkKind::Ucp:
            return "UCPRejectErrorCodes";
        case LinkKind::Cimd:
            return "CIMDRejectErrorCodes";
        default:
            return "";
    }
}

}  // namespace

// --- link names --------------------------------------------------------------------

LinkAddress parse_link_name(std::string_view link_name) {
    LinkAddress a;
    const Prefix* prefix = nullptr;
    for (const Prefix& p : kPrefixes) {
        if (platform::istarts_with(link_name, p.text)) {
            prefix = &p;
            break;
        }
    }
    if (!prefix) {
        a.kind = LinkKind::Modem;
        a.device = std::string(link_name);
        return a;
    }
    a.kind = prefix->kind;
    std::string_view rest = link_name.substr(prefix->text.size());
    a.device = std::string(rest);
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
        a.host = std::string(platform::trim(rest));
    } else {
        a.host = std::string(platform::trim(rest.substr(0, colon)));
        a.port = parse_port(rest.substr(colon + 1));
    }
    if (platform::iequals(a.host, kKelsmsLocalHost)) {
        a.host = std::string(kLoopbackHost);
        if (a.port == 0) {
            uint32_t web = link_number_or("", "WebPort", kDefaultWebPort);
            a.port = web <= kMaxPort ? unsigned(web) : 0;
        }
    }
    return a;
}

std::string link_name_at(unsigned index) {
    if (index == 0) return std::string(kVirtualSmscName);
    return frame::ini_string(platform::strprintf("Modem%u", index), "");
}

// --- link status file -----------------------------------------------------------------

std::string link_status_path(std::string_view link_name) {
    return support::GetPrivateDataDirectory() + platform::clean_path_part(link_name) + ".ERR";
}

void write_link_status(std::string_view link_name, std::string_view text) {
    std::string path = link_status_path(link_name);
    if (!platform::replace_file(path, text))
        frame::debug_tracef("ThreadProcessModem", "Error %d writing %s", errno, path.c_str());
}

void clear_link_status(std::string_view link_name) {
    platform::remove_file(link_status_path(link_name));
}

bool link_is_failing(std::string_view link_name) {
    std::optional<platform::FileInfo> info = platform::stat_file(link_status_path(link_name));
    return info && !info->is_dir && info->size > 0;
}

// --- quiet hours, credit ------------------------------------------------------------------

bool QuietHours::quiet_at(unsigned hour) const {
    if (start == 0 && end == 0) return false;
    if (start < end) return hour >= start && hour < end;
    return hour >= start || hour < end;
}

QuietHours read_quiet_hours(std::string_view link_section, unsigned day_of_week) {
    QuietHours q;
    unsigned n = day_of_week % 7 + 1;
    std::string day_start = platform::strprintf("QuietHourDay%uStart", n);
    std::string day_end = platform::strprintf("QuietHourDay%uEnd", n);
    std::string s(platform::trim(frame::link_string(link_section, day_start, "")));
    std::string e(platform::trim(frame::link_string(link_section, day_end, "")));
    if (s.empty() && e.empty()) {
        s = platform::trim(frame::link_string(link_section, "QuietHourStart", ""));
        e = platform::trim(frame::link_string(link_section, "QuietHourEnd", ""));
    }
    q.start = frame::parse_number(s);
    q.end = frame::parse_number(e);
    return q;
}

std::optional<std::string> credit_exceeded(std::string_view link_name, const CreditLimits& limits) {
    if (limits.day > 0) {
        uint32_t sent = records::link_counter_today(link_name, records::LinkCounter::Sent);
        if (sent >= limits.day)
            return platform::strprintf("Credit Exceeded -- Daily Limit is %u, sent %u", limits.day,
                                       sent);
    }
    if (limits.month > 0) {
        uint32_t sent =
            records::link_period_sum(link_name, records::LinkCounter::Sent, limits.reset_day);
        if (sent >= limits.month)
            return platform::strprintf("Credit Exceeded -- Monthly Limit is %u, sent %u",
                                       limits.month, sent);
    }
    return std::nullopt;
}

// --- send limit --------------------------------------------------------------------------

uint32_t parse_send_limit_ms(std::string_view text) {
    text = platform::trim(text);
    size_t i = 0;
    auto read_number = [&](bool& any) {
        uint64_t v = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            any = true;
            v = std::min<uint64_t>(v * 10 + uint64_t(text[i] - '0'), kMaxCode);
        }
        return v;
    };
    auto skip_blanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    };
    bool any = false;
    uint64_t count = read_number(any);
    if (!any || count == 0) return 0;
    uint64_t seconds = 1;
    skip_blanks();
    if (i < text.size() && text[i] == '/') {
        ++i;
        skip_blanks();
        bool any_s = false;
        uint64_t s = read_number(any_s);
        // "N/" or "N/0" name no period: the default of one second applies.
        if (any_s && s > 0) seconds = s;
    }
    uint64_t ms = seconds * 1000 / count;
    return uint32_t(std::min<uint64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

// --- error classification ------------------------------------------------------------------

bool ErrorCodeList::contains(int64_t code) const {
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) return true;
    return all && !is_connection_code(code);
}

ErrorCodeList parse_error_codes(std::string_view text, bool hex) {
    ErrorCodeList list;
    for (std::string_view item : split_items(text)) {
        if (platform::iequals(item, "All")) {
            list.all = true;
            continue;
        }
        std::optional<int64_t> code = parse_code(item, hex);
        if (!code) {
            frame::debug_tracef("LoadLinkSettings", "Ignoring error code item \"%.*s\"",
                                int(std::min<size_t>(item.size(), 64)), item.data());
            continue;
        }
        if (!listed(list, *code)) list.codes.push_back(*code);
    }
    return list;
}

std::vector<std::string> parse_modem_reject_codes(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view item : split_items(text)) out.emplace_back(item);
    return out;
}

bool smpp_queue_full(int64_t status, const ErrorCodeList& qfull) {
    return status == kSmppQueueFull || qfull.contains(status);
}

store::ErrorClass classify_smpp(int64_t status, const ErrorCodeList& reject,
                                const ErrorCodeList& qfull) {
    // An explicit entry rejects any status; "All" leaves the throttling and
    // queue-full statuses to be retried.
    bool rejected =
        listed(reject, status) ||
        (reject.contains(status) && status != kSmppQueueFull && status != kSmppThrottled);
    if (rejected) return store::ErrorClass::Reject;
    if (status == kSmppThrottled || smpp_queue_full(status, qfull))
        return store::ErrorClass::AlwaysRetry;
    if (std::find(kSmppFinalStatuses.begin(), kSmppFinalStatuses.end(), status) !=
        kSmppFinalStatuses.end())
        return store::ErrorClass::Final;
    return store::ErrorClass::Retryable;
}

store::ErrorClass classify_ucp_cimd(int64_t code, const ErrorCodeList& reject) {
    return reject.contains(code) ? store::ErrorClass::Reject : store::ErrorClass::Retryable;
}

store::ErrorClass classify_modem(std::string_view response,
                                 const std::vector<std::string>& reject) {
    std::string upper = platform::to_upper(response);
    for (const std::string& item : reject) {
        if (item.empty()) continue;
        if (upper.find(platform::to_upper(item)) != std::string::npos)
            return store::ErrorClass::Reject;
    }
    return store::ErrorClass::Retryable;
}

// --- the settings of one link ------------------------------------------------------------------

bool LinkSettings::needs_reconnect(const LinkSettings& n) const {
    // quiet, credit, retry and the send limit are applied in place.
    return !(name == n.name && section == n.section && same_address(address, n.address) &&
             route_name == n.route_name && backup_for == n.backup_for &&
             sender_addresses == n.sender_addresses &&
             sender_address_override == n.sender_address_override &&
             out_recip_prefix_convert == n.out_recip_prefix_convert &&
             out_sender_prefix_convert == n.out_sender_prefix_convert &&
             block_receipt_request == n.block_receipt_request && block_receipt == n.block_receipt &&
             delivery_report_enroute == n.delivery_report_enroute &&
             reroute_on_error == n.reroute_on_error && user_name == n.user_name &&
             password == n.password && system_type == n.system_type &&
             address_range == n.address_range && bind_ip == n.bind_ip &&
             sender_local_port == n.sender_local_port &&
             sender_remote_port == n.sender_remote_port &&
             receiver_local_port == n.receiver_local_port &&
             receiver_remote_port == n.receiver_remote_port && local_port == n.local_port &&
             receive_port == n.receive_port && receive == n.receive &&
             receive_single_connection == n.receive_single_connection &&
             transmitter_count == n.transmitter_count && receiver_count == n.receiver_count &&
             keep_alive_s == n.keep_alive_s && command_timeout_s == n.command_timeout_s &&
             window_size == n.window_size && use_ssl == n.use_ssl && ssl_verify_peer == n.ssl_verify_peer &&
             ssl_ca_file == n.ssl_ca_file && ssl_verify_host == n.ssl_verify_host && use_tlv == n.use_tlv &&
             wdp_adaptation == n.wdp_adaptation && interface_version == n.interface_version &&
             throttle_error_delay_s == n.throttle_error_delay_s &&
             throttle_for_qfull == n.throttle_for_qfull &&
             restart_q_after_throttle_error == n.restart_q_after_throttle_error &&
             validity == n.validity && smpp_charset == n.smpp_charset &&
             same_codes(reject_codes, n.reject_codes) && same_codes(qfull_codes, n.qfull_codes) &&
             modem_reject_codes == n.modem_reject_codes);
}

LinkSettings load_link_settings(std::string_view link_name, unsigned day_of_week) {
    LinkSettings s;
    s.name = std::string(link_name);
    s.section = frame::link_section_name(link_name);
    s.address = parse_link_name(link_name);
    const std::string& sec = s.section;
    const LinkKind kind = s.address.kind;

    // Identity keys belong to the link alone: a [SMSGW] value would give
    // every link the same route or make every link a backup.
    std::string route(platform::trim(support::SMSIniGetProfileString(sec, "RouteName", "")));
    s.route_name = route.empty() ? s.name : route;
    std::string backup(platform::trim(support::SMSIniGetProfileString(sec, "BackupForRoute", "")));
    if (platform::istarts_with(backup, "Modem - ")) backup.erase(0, 8);
    s.backup_for = std::move(backup);
    s.reroute_on_error =
        std::string(platform::trim(support::SMSIniGetProfileString(sec, "ReRouteOnError", "")));

    {
        // Senders are separated by ',' only, as routing reads the list.
        std::string list = frame::link_string(sec, "SenderAddress", "");
        std::string_view rest = list;
        while (!rest.empty()) {
            size_t comma = rest.find(',');
            std::string_view item = platform::trim(rest.substr(0, comma));
            if (!item.empty()) s.sender_addresses.emplace_back(item);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    s.sender_address_override =
        frame::link_bool(sec, "SenderAddressOverride", kind != LinkKind::Http);
    s.out_recip_prefix_convert = frame::link_string(sec, "OutRecipPrefixConvert", "");
    s.out_sender_prefix_convert = frame::link_string(sec, "OutSenderPrefixConvert", "");
    s.block_receipt_request = frame::link_bool(sec, "BlockDeliveryReceiptRequest", false) ||
                              frame::link_bool(sec, "DisableDeliveryReceipt", false);
    s.block_receipt = frame::link_bool(sec, "BlockDeliveryReceipt", false);
    s.delivery_report_enroute = frame::link_bool(sec, "DeliveryReportEnroute", false);

    s.credit.day = link_number_or(sec, "CreditLimitDay", 0);
    s.credit.month = link_number_or(sec, "CreditLimitMonth", 0);
    s.credit.reset_day = link_number_or(sec, "CreditLimitResetDay", 1);
    s.quiet = read_quiet_hours(sec, day_of_week);
    s.send_limit_text = std::string(platform::trim(frame::link_string(sec, "SMSCSendLimit", "")));
    s.send_limit_ms = parse_send_limit_ms(s.send_limit_text);
    s.retry = store::read_retry_schedule(link_name);

    s.user_name = frame::link_string(sec, "UserName", "", kBindFieldSize);
    s.password = frame::link_string(sec, "Password", "", kBindFieldSize);
    s.system_type = frame::link_string(sec, "SystemType", "", kBindFieldSize);
    s.address_range = frame::link_string(sec, "AddressRange", "");
    s.bind_ip = std::string(platform::trim(frame::link_string(sec, "BindIP", "")));
    parse_port_pair(frame::link_string(sec, "SenderPort", ""), s.sender_local_port,
                    s.sender_remote_port);
    parse_port_pair(frame::link_string(sec, "ReceiverPort", ""), s.receiver_local_port,
                    s.receiver_remote_port);
    s.local_port = parse_port(frame::link_string(sec, "LocalPort", ""));
    s.receive_port = parse_port(frame::link_string(sec, "ReceivePort", ""));
    s.receive = frame::link_bool(sec, "Receive", false);
    s.receive_single_connection = frame::link_bool(sec, "ReceiveSingleConnection", false);

    s.transmitter_count = count_value(frame::link_string(sec, "TransmitterCount", ""));
    s.receiver_count = count_value(frame::link_string(sec, "ReceiverCount", ""));
    if (s.transmitter_count == 0 && s.receiver_count == 0)
        s.transmitter_count = s.receiver_count = 1;

    bool protocol = kind == LinkKind::Smpp || kind == LinkKind::Ucp || kind == LinkKind::Cimd;
    if (protocol)
        s.keep_alive_s =
            link_number_or(sec, "KeepAlive", kind == LinkKind::Smpp ? kSmppDefaultKeepAlive : 0);
    s.command_timeout_s = link_number_or(sec, "CommandTimeout", kDefaultCommandTimeout);
    s.window_size = link_number_or(sec, "WindowSize", 0);
    s.use_ssl = frame::link_bool(sec, "UseSSL", false);
    s.ssl_verify_peer = frame::link_bool(sec, "SSLVerifyPeer", false);
    s.ssl_ca_file = std::string(platform::trim(frame::link_string(sec, "SSLCAFile", "")));
    s.ssl_verify_host = std::string(platform::trim(frame::link_string(sec, "SSLVerifyHost", "")));
    s.use_tlv = frame::link_bool(sec, "UseTLV", false);
    s.wdp_adaptation = frame::link_bool(sec, "WDPAdaptation", false);
    s.interface_version =
        platform::iequals(platform::trim(frame::link_string(sec, "SMPPVersion", "")), "v3.3")
            ? kSmppVersion33
            : kSmppVersion34;
    s.throttle_error_delay_s =
        link_number_or(sec, "SMPPThrottleErrorDelay", kDefaultThrottleErrorDelay);
    s.throttle_for_qfull = frame::link_bool(sec, "ThrottleForQFull", false);
    s.restart_q_after_throttle_error = frame::link_bool(sec, "RestartQAfterThrottleError", false);
    s.validity = std::string(platform::trim(frame::link_string(sec, "Validity", "")));
    s.smpp_charset = std::string(platform::trim(frame::link_string(sec, "SMPPCharset", "")));
    if (kind == LinkKind::Smpp) {
        s.tcp_no_delay = frame::ini_bool("TCPNoDelay", true);
        s.smpp_no_delay = frame::ini_bool("SMPPNoDelay", false);
        s.async_callback_threads = frame::ini_number("AsyncCallbackThreads", 1);
        s.smpp_option_defs = support::ini_section(support::SMSIniGetFilename(), "SMPPOptions");
    }

    std::string reject_key = reject_codes_key(kind);
    if (!reject_key.empty())
        s.reject_codes =
            parse_error_codes(frame::link_string(sec, reject_key, ""), kind == LinkKind::Smpp);
    if (kind == LinkKind::Smpp)
        s.qfull_codes = parse_error_codes(frame::link_string(sec, "SMPPQFullErrorCodes", ""), true);
    if (kind == LinkKind::Modem || kind == LinkKind::IpModem)
        s.modem_reject_codes =
            parse_modem_reject_codes(frame::link_string(sec, "ModemRejectErrorCodes", ""));
    return s;
}

}  // namespace links
