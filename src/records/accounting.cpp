// Accounting callbacks: request URLs, the keep-alive pool, and the reading
// of the service's answer keywords.
#include "records/accounting.h"

#include <cctype>
#include <memory>
#include <optional>

#include "frame/debug_trace.h"
#include "frame/http_client.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "records/quota_state.h"
#include "records/quotas.h"
#include "support/ini_profile.h"

namespace records {

namespace {

constexpr const char* kPreAuthTag = "SMSAccountingPreAuth";
constexpr const char* kCallbackTag = "SMSAccountingCallback";
constexpr const char* kInvalidRoute = "~~invalid~~";
constexpr size_t kJoinedRecipientsMax = 100;
constexpr size_t kOptionPartMax = 99;
constexpr size_t kPoolMax = 64;

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Position just after keyword where it stands as a word of its own.
size_t find_keyword(std::string_view text, std::string_view keyword, size_t from = 0) {
    for (size_t p = platform::ifind(text, keyword, from); p != std::string_view::npos;
         p = platform::ifind(text, keyword, p + 1))
        if (p == 0 || !word_char(text[p - 1])) return p + keyword.size();
    return std::string_view::npos;
}

bool value_end(char c) {
    return static_cast<unsigned char>(c) < 32 || c == '<' || c == '>';
}

std::string_view trim_right(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}


// "&Name=" + the encoded value, when there is one.
void add_param(std::string& url, std::string_view name, std::string_view value) {
    if (value.empty()) return;
    url += '&';
    url += name;
    url += '=';
    url += platform::url_encode(value);
}

std::string hex_byte(unsigned v) {
    return platform::strprintf("%X", v);
}

// The "SMPPOption_" pairs of an option text, in order.
std::vector<std::pair<std::string, std::string>> option_pairs(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view item = platform::trim(text.substr(start, end - start));
        size_t eq = item.find('=');
        if (eq != std::string_view::npos && item.size() > 11 &&
            platform::iequals(item.substr(0, 11), "SMPPOption_")) {
            out.emplace_back(std::string(item.substr(0, std::min(eq, kOptionPartMax))),
                             std::string(item.substr(eq + 1).substr(0, kOptionPartMax)));
        }
        start = end + 1;
    }
    return out;
}

void add_option_params(std::string& url, std::string_view options) {
    for (auto& [name, value] : option_pairs(options)) {
        url += '&';
        url += platform::url_encode(name);
        url += '=';
        url += platform::url_encode(value);
    }
}

// Ports and segmentation from a user data header (hex, length octet first).
struct UdhInfo {
    std::string source_port, dest_port;
    unsigned seg_ref = 0, seg_count = 0, seg_num = 0;
};

UdhInfo read_udh(std::string_view hex) {
    UdhInfo info;
    std::vector<unsigned> b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = static_cast<char>(std::toupper(static_cast<unsigned char>(hex[k])));
            if (c >= '0' && c <= '9')
                v = v * 16 + unsigned(c - '0');
            else if (c >= 'A' && c <= 'F')
                v = v * 16 + unsigned(c - 'A' + 10);
            else
                return info;
        }
        b.push_back(v);
    }
    if (b.empty()) return info;
    size_t end = std::min<size_t>(b.size(), size_t(b[0]) + 1);
    for (size_t i = 1; i + 1 < end;) {
        unsigned iei = b[i], len = b[i + 1];
        const unsigned* d = &b[i + 2 < b.size() ? i + 2 : i];
        if (i + 2 + len > end) break;
        if (iei == 0x00 && len == 3) {
            info.seg_ref = d[0], info.seg_count = d[1], info.seg_num = d[2];
        } else if (iei == 0x08 && len == 4) {
            info.seg_ref = d[0] << 8 | d[1], info.seg_count = d[2], info.seg_num = d[3];
        } else if (iei == 0x04 && len == 2) {
            info.dest_port = platform::strprintf("%04X", d[0]);
            info.source_port = platform::strprintf("%04X", d[1]);
        } else if (iei == 0x05 && len == 4) {
            info.dest_port = platform::strprintf("%04X", d[0] << 8 | d[1]);
            info.source_port = platform::strprintf("%04X", d[2] << 8 | d[3]);
        }
        i += 2 + len;
    }
    return info;
}

void add_udh_params(std::string& url, std::string_view udh) {
    UdhInfo u = read_udh(udh);
    add_param(url, "SourcePort", u.source_port);
    add_param(url, "DestPort", u.dest_port);
    if (u.seg_count && u.seg_num) {
        add_param(url, "SegRef", std::to_string(u.seg_ref));
        add_param(url, "SegCount", std::to_string(u.seg_count));
        add_param(url, "SegNum", std::to_string(u.seg_num));
    }
}

// Binary=1, PID, DCS, UDH, ServiceType, Validity, then Data or Text: a
// binary message in GSM 7-bit or UCS-2 goes as its text.
void add_content_params(std::string& url, const AccountingMessage& m, bool with_type_params) {
    bool gsm7 = radio::charset::dcs_is_gsm7(m.dcs), ucs2 = radio::charset::dcs_is_ucs2(m.dcs);
    if (m.binary && !gsm7 && !ucs2) url += "&Binary=1";
    if (m.pid) add_param(url, "PID", hex_byte(m.pid));
    if (m.dcs) add_param(url, "DCS", hex_byte(m.dcs));
    add_param(url, "UDH", m.udh);
    if (with_type_params) {
        add_param(url, "ServiceType", m.service_type);
        add_param(url, "Validity", m.validity);
    }
    if (!m.binary) {
        add_param(url, "Text", m.message);
    } else if (ucs2) {
        add_param(url, "Text", radio::charset::ucs2_hex_to_utf8(m.message));
    } else if (gsm7) {
        std::string text;
        radio::charset::GSM7ToUTF8String(m.udh, m.message, text);
        add_param(url, "Text", text);
    } else {
        add_param(url, "Data", m.message);
    }
}

std::string url_start(std::string_view kind, bool preauth) {
    std::string url = frame::settings().sms_accounting_url;
    url += url.find('?') == std::string::npos ? '?' : '&';
    if (preauth) url += "PreAuth=Yes&";
    url += "Type=";
    url += platform::url_encode(kind);
    return url;
}

// --- the pool and the fetch ---------------------------------------------------------------

std::unique_ptr<frame::KeepAlive> take_connection() {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.pool_lock);
    if (s.pool.empty()) return std::make_unique<frame::KeepAlive>();
    std::unique_ptr<frame::KeepAlive> c = std::move(s.pool.front());
    s.pool.pop_front();
    s.pool_reused.fetch_add(1);
    return c;
}

void give_back(std::unique_ptr<frame::KeepAlive> c) {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.pool_lock);
    if (s.pool.size() < kPoolMax) s.pool.push_back(std::move(c));
}

// The answer text, or nullopt with error set when the service did not answer.
std::optional<std::string> fetch(const std::string& url, std::string_view tag, std::string& error) {
    const frame::GlobalSettings& s = frame::settings();
    frame::UrlFetch req;
    req.url = url;
    req.timeout_s = s.sms_accounting_timeout_s ? s.sms_accounting_timeout_s : 20;
    std::unique_ptr<frame::KeepAlive> conn;
    if (s.accounting_keep_alive) {
        conn = take_connection();
        req.keep_alive = conn.get();
    }
    frame::debug_trace(tag, url);
    frame::UrlResponse resp;
    int ok = frame::fetch_url(req, resp);
    // A healthy connection goes back; a broken one closes with its owner.
    if (conn && ok && conn->socket.valid()) give_back(std::move(conn));
    if (!ok) {
        error = resp.error;
        frame::debug_tracef(tag, "Accounting callback failed: %s", error.c_str());
        return std::nullopt;
    }
    return std::move(resp.raw);
}

bool default_route_valid(std::string_view route) {
    return frame::link_or_route_exists(route);
}

// SMSAccountingAllowChanges: the answer's values replace the message's.
void apply_changes(std::string_view answer, AccountingMessage& m) {
    if (!frame::settings().sms_accounting_allow_changes) return;
    std::string v;
    if (answer_value(answer, "To=", v)) m.recipient = v;
    if (answer_value(answer, "Sender=", v)) m.sender = v;
    if (answer_value(answer, "ServiceType=", v)) m.service_type = v;
    if (answer_value(answer, "Validity=", v)) m.validity = v;
    auto pairs = option_pairs(m.smpp_options);
    bool changed = false;
    for (size_t p = platform::ifind(answer, "SMPPOption_"); p != std::string_view::npos;
         p = platform::ifind(answer, "SMPPOption_", p + 1)) {
        if (p > 0 && word_char(answer[p - 1])) continue;
        size_t eq = answer.find('=', p);
        if (eq == std::string_view::npos) break;
        std::string_view name = answer.substr(p, eq - p);
        bool bad = name.size() > kOptionPartMax;
        for (char c : name) bad = bad || !word_char(c);
        if (bad) continue;
        size_t e = eq + 1;
        while (e < answer.size() && !value_end(answer[e]) && answer[e] != ';' && answer[e] != '&')
            ++e;
        std::string value(trim_right(answer.substr(eq + 1, std::min(e - eq - 1, kOptionPartMax))));
        auto it = std::find_if(pairs.begin(), pairs.end(),
                               [&](const auto& kv) { return platform::iequals(kv.first, name); });
        if (value.empty()) {
            if (it != pairs.end()) pairs.erase(it);
        } else if (it != pairs.end()) {
            it->second = value;
        } else {
            pairs.emplace_back(std::string(name), value);
        }
        changed = true;
    }
    if (!changed) return;
    std::string text;
    for (auto& [name, value] : pairs) {
        if (!text.empty()) text += "; ";
        text += name + "=" + value;
    }
    m.smpp_options = text;
}

// One pre-authorisation request and its answer.
uint32_t preauth_one(std::string_view kind, AccountingMessage& m, std::string_view recipient,
                     uint32_t count, std::string& route, std::string& charge,
                     std::string& user_data, std::string& refusal) {
    const frame::GlobalSettings& s = frame::settings();
    std::string error;
    std::optional<std::string> answer =
        fetch(preauth_url(kind, m, recipient, count), kPreAuthTag, error);
    if (!answer) {
        if (s.sms_accounting_fail_open) {
            frame::debug_trace(
                kPreAuthTag,
                "No answer from the accounting service: accepted (SMSAccountingFailOpen)");
            return 0;
        }
        refusal = "Error from Accounting Callback";
        if (!error.empty()) refusal += " -- " + error;
        return kAccountingRefused;
    }
    const std::string& a = *answer;
    uint32_t result = 0;
    bool coded = answer_error_code(a, result);
    bool deny = find_keyword(a, "PreAuth=Deny") != std::string_view::npos;
    if (!coded && deny) result = kAccountingRefused;
    if (coded && result == 0 && deny) result = kAccountingRefused;
    if (result) {
        if (!answer_value(a, "RejectMessage=", refusal) || refusal.empty())
            refusal = "Request rejected by accounting callback";
    }
    size_t p = find_keyword(a, "RouteCharge=");
    if (p != std::string_view::npos) {
        size_t e = p;
        while (e < a.size() && e - p < kAccountingValueMax &&
               (std::isdigit(static_cast<unsigned char>(a[e])) || a[e] == '.'))
            ++e;
        charge = a.substr(p, e - p);
    }
    answer_value(a, "UserData=", user_data);
    if (answer_value(a, "SMSCRoute=", route)) {
        frame::debug_tracef(kPreAuthTag, "smscRoute=%s", route.c_str());
        std::string why = route.empty() ? std::string() : check_answer_route(route);
        if (!why.empty()) {
            frame::debug_trace(kPreAuthTag, why);
            route.clear();
            if (result == 0) {
                result = kAccountingError;
                refusal = "Accounting callback error - " + why;
            }
        }
    }
    if (result == 0 && route.empty() && s.sms_accounting_must_set_route_pre_auth) {
        result = kAccountingError;
        refusal = "Accounting callback error - routing information is not available for message";
    }
    apply_changes(a, m);
    return result;
}

}  // namespace

// --- pieces ------------------------------------------------------------------------------

bool accounting_callback_enabled(std::string_view kind) {
    const frame::GlobalSettings& s = frame::settings();
    if (s.sms_accounting_url.empty()) return false;
    const std::string& only = s.sms_accounting_limit_callbacks;
    if (platform::trim(only).empty()) return true;
    return platform::ifind(only, kind) != std::string_view::npos;
}

std::string preauth_url(std::string_view kind, const AccountingMessage& m,
                        std::string_view recipient, uint32_t count) {
    std::string url = url_start(kind, true);
    add_param(url, "From", m.account);
    add_param(url, "To", recipient);
    if (count) url += platform::strprintf("&MsgCount=%u", count);
    add_param(url, "SubmitIP", m.submit_ip);
    add_param(url, "SMSCRoute", m.route);
    add_param(url, "Sender", m.sender);
    add_content_params(url, m, true);
    if (m.receipt_requested) url += "&ReceiptRequested=Yes";
    add_param(url, "AcctInfo", m.acct_info);
    add_udh_params(url, m.udh);
    add_option_params(url, m.smpp_options);
    if (url.size() > kAccountingUrlMax) url.resize(kAccountingUrlMax);
    return url;
}

std::string callback_url(std::string_view kind, const AccountingMessage& m,
                         const AccountingNotice& n) {
    std::string url = url_start(kind, false);
    add_param(url, platform::iequals(kind, "SMSIN") ? "ReceiptUser" : "From", m.account);
    add_param(url, "To", m.recipient);
    add_param(url, "MessageID", n.message_id);
    add_param(url, "SubmitIP", m.submit_ip);
    add_param(url, "Sender", m.sender);
    add_content_params(url, m, true);
    if (m.receipt_requested) url += "&ReceiptRequested=Yes";
    add_param(url, "SMSCRouteName", n.smsc_route_name);
    add_param(url, "SMSCRoute", m.route);
    add_param(url, "SMSCMsgId", n.smsc_msg_id);
    add_param(url, "SMSCReceiptMsgId", n.smsc_receipt_msg_id);
    add_param(url, "SMSCReceiptMsgIdOrig", n.smsc_receipt_msg_id_orig);
    add_param(url, "SMSCName", n.smsc_name);
    add_param(url, "Status", n.status);
    add_param(url, "AcctInfo", m.acct_info);
    add_param(url, "RouteCharge", n.route_charge);
    add_param(url, "UserData", n.user_data);
    add_udh_params(url, m.udh);
    if (!n.extra_params.empty()) {
        url += '&';
        url += n.extra_params;
    }
    add_option_params(url, m.smpp_options);
    if (url.size() > kAccountingUrlMax) url.resize(kAccountingUrlMax);
    return url;
}

bool answer_value(std::string_view answer, std::string_view keyword, std::string& value) {
    size_t p = find_keyword(answer, keyword);
    if (p == std::string_view::npos) return false;
    size_t e = p;
    while (e < answer.size() && e - p < kAccountingValueMax && !value_end(answer[e])) ++e;
    value = trim_right(answer.substr(p, e - p));
    return true;
}

bool answer_error_code(std::string_view answer, uint32_t& code) {
    size_t p = find_keyword(answer, "SMPPErrorCode=");
    if (p == std::string_view::npos) return false;
    std::string_view v = answer.substr(p);
    bool hex = false;
    if (v.size() >= 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        hex = true;
        v.remove_prefix(2);
    } else if (!v.empty() && (v[0] == 'x' || v[0] == 'X')) {
        hex = true;
        v.remove_prefix(1);
    }
    uint64_t n = 0;
    size_t digits = 0;
    for (char c : v) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        n = n * (hex ? 16 : 10) + unsigned(d);
        if (n > UINT32_MAX) n = UINT32_MAX;
        ++digits;
    }
    if (!digits) return false;
    code = static_cast<uint32_t>(n);
    return true;
}

std::string check_answer_route(std::string_view route) {
    if (route.size() >= 10 && platform::iequals(route.substr(0, 10), "localuser:")) {
        std::string_view user = route.substr(10);
        if (!user.empty() && platform::file_exists(frame::user_dir(user) + "RECV.FLG")) return "";
        return platform::strprintf("localuser:%.*s does not receive messages", int(user.size()),
                                   user.data());
    }
    AccountingRouteValidator v = quota_state().route_validator.load();
    if (v ? v(route) : default_route_valid(route)) return "";
    return "Unknown smscRoute=" + std::string(route);
}

uint64_t accounting_pool_reuses() {
    return quota_state().pool_reused.load();
}

size_t accounting_pool_size() {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.pool_lock);
    return s.pool.size();
}

// --- the callbacks ---------------------------------------------------------------------------

uint32_t SMSAccountingPreAuth(std::string_view kind, AccountingMessage& m,
                              const std::vector<std::string>& recipients, uint32_t count,
                              PreAuthAnswer& answer) {
    const frame::GlobalSettings& s = frame::settings();
    if (!accounting_callback_enabled("PreAuth")) return 0;
    if (s.sms_accounting_only_if_no_route && !m.route.empty()) return 0;
    std::vector<std::string> list = recipients;
    if (list.empty()) list.push_back(m.recipient);
    for (std::string& r : list) {
        size_t b = 0;
        while (b < r.size() && (r[b] == ' ' || r[b] == '\t')) ++b;
        r.erase(0, b);
    }
    bool per_recipient = s.sms_accounting_must_set_route_pre_auth ||
                         s.sms_accounting_must_set_route || s.sms_accounting_pre_auth_per_recip;
    if (per_recipient) {
        uint32_t each = count / uint32_t(list.size());
        for (const std::string& r : list) {
            std::string route, charge, user_data;
            uint32_t result =
                preauth_one(kind, m, r, each, route, charge, user_data, answer.refusal);
            if (result) return result;
            answer.routes.push_back(route);
            answer.charges.push_back(charge);
            answer.user_data.push_back(user_data);
        }
        return 0;
    }
    std::string joined;
    if (list.size() <= kJoinedRecipientsMax)
        for (const std::string& r : list) joined += (joined.empty() ? "" : ",") + r;
    std::string route, charge, user_data;
    uint32_t result = preauth_one(kind, m, joined, count, route, charge, user_data, answer.refusal);
    if (result) return result;
    // One answer for all: every recipient takes its route, charge and data.
    answer.routes.assign(list.size(), route);
    answer.charges.assign(list.size(), charge);
    answer.user_data.assign(list.size(), user_data);
    return 0;
}

uint32_t SMSAccountingCallback(std::string_view kind, AccountingMessage& m,
                               const AccountingNotice& n, std::string* out_route,
                               std::string* out_user_data) {
    const frame::GlobalSettings& s = frame::settings();
    if (!accounting_callback_enabled(kind)) return 0;
    bool send = platform::iequals(kind, "SMSSend"), in = platform::iequals(kind, "SMSIN");
    if (in && !s.accounting_extended) return 0;
    if (send && s.sms_accounting_only_if_no_route && !m.route.empty()) return 0;
    std::string error;
    std::optional<std::string> answer = fetch(callback_url(kind, m, n), kCallbackTag, error);
    uint32_t result = 0;
    if (answer) {
        const std::string& a = *answer;
        answer_error_code(a, result);
        if (in && result == 0) {
            std::string accept;
            if (answer_value(a, "AcceptMessage=", accept) && !accept.empty() &&
                (accept[0] == 'N' || accept[0] == 'n'))
                result = kAccountingDoNotAccept;
        }
        if (send && out_route && (!s.use_route_queues || m.route.empty())) {
            std::string route;
            if (answer_value(a, "SMSCRoute=", route) && !route.empty()) {
                frame::debug_tracef(kCallbackTag, "smscRoute=%s", route.c_str());
                std::string why = check_answer_route(route);
                if (!why.empty()) frame::debug_trace(kCallbackTag, why);
                *out_route = why.empty() ? route : std::string(kInvalidRoute);
            }
        }
        if (send && out_user_data) answer_value(a, "UserData=", *out_user_data);
        if (send || in) apply_changes(a, m);
    }
    if (send && out_route && s.sms_accounting_must_set_route && out_route->empty()) {
        *out_route = kInvalidRoute;
        frame::debug_trace(kCallbackTag, "Invalid routing information from accounting callback");
    }
    return result;
}

uint32_t SMSAccountingCallbackForLink(std::string_view kind, AccountingMessage& m,
                                      AccountingNotice n, std::string_view link_name) {
    n.smsc_name = link_name;
    if (!link_name.empty())
        n.smsc_route_name = support::SMSIniGetProfileString(frame::link_section_name(link_name),
                                                            "RouteName", link_name);
    return SMSAccountingCallback(kind, m, n);
}

uint32_t SMSAccountingCallbackForStatus(std::string_view kind, AccountingMessage& m,
                                        AccountingNotice n, std::string_view status) {
    n.status = status;
    size_t p = status.find(" -- ");
    std::string_view link = p == std::string_view::npos ? std::string_view() : status.substr(p + 4);
    return SMSAccountingCallbackForLink(kind, m, std::move(n), link);
}

// --- the account checks of one submission ------------------------------------------------

namespace {
int refuse(SubmissionCharge& c, uint32_t status, std::string_view tag, std::string_view text) {
    c.status = status;
    frame::debug_trace(tag, text);
    return 0;
}

// Charges per recipient from the pre-authorisation ("" = 1 credit).
void take_charges(SubmissionCharge& c, size_t recipients) {
    c.charges.assign(recipients, kCreditUnit);
    for (size_t i = 0; i < recipients && i < c.preauth.charges.size(); ++i)
        c.charges[i] = parse_credit_text(c.preauth.charges[i]);
}
}  // namespace

int check_http_submission(SubmissionCharge& c) {
    constexpr const char* kTag = "MessageAccountingReject";
    c.status = 0;
    c.refusal.clear();
    if (c.account.empty()) return 1;
    if (!c.entry) c.entry = quota_entry(c.account);
    const uint32_t count = uint32_t(c.recipients.size()) * c.segments;
    if (!QuotaTestAndCount(c.entry, c.account, c.refusal, count, true))
        return refuse(c, kAccountingRefused, kTag, c.refusal);
    if (uint32_t r = SMSAccountingPreAuth("SMSSend", c.message, c.recipients, count, c.preauth)) {
        c.refusal = c.preauth.refusal;
        return refuse(c, r, kTag, c.refusal);
    }
    take_charges(c, c.recipients.size());
    int64_t total = 0;
    for (int64_t ch : c.charges) total += ch * int64_t(c.segments);
    if (CreditOperation(c.entry, c.account, &c.refusal, total, CreditMode::Check) < 0)
        return refuse(c, kAccountingRefused, kTag, c.refusal);
    if (QueueLimitReached(c.entry, c.refusal))
        return refuse(c, kAccountingRefused, kTag, c.refusal);
    return 1;
}

void charge_http_submission(SubmissionCharge& c, const std::vector<uint32_t>& files_written) {
    if (c.account.empty()) return;
    int64_t total = 0;
    uint32_t files = 0;
    for (size_t i = 0; i < files_written.size(); ++i) {
        files += files_written[i];
        total += int64_t(files_written[i]) * (i < c.charges.size() ? c.charges[i] : kCreditUnit);
    }
    if (!files) return;
    CreditOperation(c.entry, c.account, nullptr, total, CreditMode::Debit);
    QuotaCount(c.entry, c.account, files);
}

int check_smpp_submission(SubmissionCharge& c) {
    constexpr const char* kTag = "SMPPServerReceiveMessageCallback";
    c.status = 0;
    c.refusal.clear();
    c.debited = 0;
    if (c.account.empty()) return 1;
    if (!c.entry) c.entry = quota_entry(c.account);
    constexpr const char* kOver = "User over quota";
    if (!QuotaTestAndCount(c.entry, c.account, c.refusal, 1, true))
        return refuse(c, kAccountingRefused, kTag, kOver);
    if (uint32_t r = SMSAccountingPreAuth("SMSSend", c.message, {}, 1, c.preauth)) {
        c.refusal = c.preauth.refusal;
        return refuse(c, r, kTag, kOver);
    }
    take_charges(c, 1);
    // Checked and taken in one step: two sessions cannot both spend the
    // last credit.
    bool limited = credit_file_exists(c.account);
    if (CreditOperation(c.entry, c.account, &c.refusal, c.charges[0], CreditMode::DebitIfCovered) <
        0)
        return refuse(c, kAccountingRefused, kTag, kOver);
    c.debited = limited ? c.charges[0] : 0;
    return 1;
}

void count_smpp_submission(SubmissionCharge& c) {
    if (!c.account.empty()) QuotaCount(c.entry, c.account, 1);
}

void refund_smpp_submission(SubmissionCharge& c) {
    if (c.account.empty() || !c.debited) return;
    CreditOperation(c.entry, c.account, nullptr, -c.debited, CreditMode::Debit);
    c.debited = 0;
}

}  // namespace records
