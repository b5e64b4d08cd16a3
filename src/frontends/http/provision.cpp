// The provisioning interface and the account field rules.
#include "frontends/http/provision.h"

#include <cctype>

#include "frame/settings.h"
#include "frontends/http/admin_auth.h"
#include "frontends/http/admin_pages.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "records/quotas.h"
#include "support/ini_profile.h"

namespace frontends::http {

namespace {

constexpr size_t kValueSize = 2048;
constexpr size_t kEchoMax = 100;
constexpr const char* kRoutingSection = "Inbound SMS Routing";
constexpr const char* kSdkLinkSection = "SDKLink";

bool has_bad_bytes(std::string_view v) {
    for (char c : v)
        if (c == '\r' || c == '\n' || c == '\0') return true;
    return false;
}

// A yes/no field: the gateway's boolean rule, but an empty value is no
// answer at all.
bool bool_value(std::string_view v) {
    return frame::parse_bool(platform::trim(v));
}

bool number_value(std::string_view v, uint32_t& out) {
    v = platform::trim(v);
    if (v.empty()) {
        out = 0;
        return true;
    }
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
        if (n > 0xFFFFFFFFu) return false;
    }
    out = static_cast<uint32_t>(n);
    return true;
}

bool web_options_value(std::string_view v) {
    v = platform::trim(v);
    if (v.empty()) return true;
    for (const char* o :
         {"All", "Advanced", "TextOnly", "Text", "SMSMMS", "SMSWAPMM", "SMSMMSWAPMM"})
        if (platform::iequals(v, o)) return true;
    return false;
}

bool credit_text_valid(std::string_view v) {
    v = platform::trim(v);
    if (v.empty()) return false;
    size_t i = v[0] == '-' ? 1 : 0;
    bool digits = false, dot = false;
    for (; i < v.size(); ++i) {
        if (v[i] >= '0' && v[i] <= '9') {
            digits = true;
        } else if (v[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    return digits;
}

std::string echo(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, kEchoMax))
        out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    return out;
}

std::string param(std::string_view request, std::string_view name) {
    std::string v;
    GetRequestParameter(request, name, v, kValueSize);
    return v;
}

bool has_param(std::string_view request, std::string_view name) {
    std::string v;
    return GetRequestParameter(request, name, v, kValueSize);
}

std::string error(std::string_view text) {
    return "ERROR " + std::string(text) + "\r\n";
}

}  // namespace

bool acceptable_new_account_name(std::string_view name) {
    if (!support::valid_account_name(name)) return false;
    if (name != platform::trim(name)) return false;
    if (name == "." || name == "..") return false;
    for (char c : name)
        if (std::string_view("/\\:;,=[]\"*?<>|&%").find(c) != std::string_view::npos) return false;
    if (platform::iequals(name, records::kLocalSystemAccount) || platform::istarts_with(name, "~"))
        return false;
    return true;
}

const std::vector<std::string>& account_field_names() {
    static const std::vector<std::string> names = {"Password",
                                                   "FullName",
                                                   "EnableWebLogin",
                                                   "EnableSmppLogin",
                                                   "EnableSmtpLogin",
                                                   "ReceiveEnabled",
                                                   "AdminEnabled",
                                                   "ForcedSenderAddress",
                                                   "RestrictIPAddress",
                                                   "EnableCreditBalance",
                                                   "CreditsToAdd",
                                                   "MessageLimitPerDay",
                                                   "MessageLimitPerMonth",
                                                   "MessageLimitDefault",
                                                   "ThrottleSpeed",
                                                   "WebOptions",
                                                   "RecipientAddresses"};
    return names;
}

bool apply_account_field(support::UserRecord& rec, std::string_view field, std::string_view value,
                         AccountChanges& changes, std::string& err) {
    auto is = [&](const char* n) { return platform::iequals(field, n); };
    if (has_bad_bytes(value)) {
        err = "Invalid value for " + echo(field) + " (line breaks are not allowed)";
        return false;
    }
    auto bad = [&]() {
        err = "Invalid value for " + echo(field);
        return false;
    };
    uint32_t n = 0;
    if (is("Password")) {
        if (value.empty() || !support::set_user_password(rec, value)) return bad();
    } else if (is("FullName")) {
        rec.full_name = platform::truncate_field(value, support::kFullNameSize - 1);
    } else if (is("EnableWebLogin")) {
        rec.enable_web_login = bool_value(value);
    } else if (is("EnableSmppLogin")) {
        rec.enable_smpp_login = bool_value(value);
    } else if (is("EnableSmtpLogin")) {
        rec.enable_smtp_login = bool_value(value);
    } else if (is("ReceiveEnabled")) {
        rec.receive_enabled = bool_value(value);
    } else if (is("AdminEnabled")) {
        rec.admin_enabled = bool_value(value);
    } else if (is("ForcedSenderAddress")) {
        rec.forced_sender_address =
            platform::truncate_field(value, support::kForcedSenderAddressSize - 1);
    } else if (is("RestrictIPAddress")) {
        rec.restrict_ip_address =
            platform::truncate_field(value, support::kRestrictIPAddressSize - 1);
    } else if (is("EnableCreditBalance")) {
        rec.enable_credit_balance = bool_value(value);
    } else if (is("CreditsToAdd")) {
        if (platform::trim(value).empty()) return true;  // nothing to add
        if (!credit_text_valid(value)) return bad();
        changes.credits = true;
        changes.credits_to_add = std::string(platform::trim(value));
    } else if (is("MessageLimitPerDay")) {
        if (!number_value(value, n)) return bad();
        rec.message_limit_per_day = n;
    } else if (is("MessageLimitPerMonth")) {
        if (!number_value(value, n)) return bad();
        rec.message_limit_per_month = n;
    } else if (is("MessageLimitDefault")) {
        if (bool_value(value)) rec.message_limit_per_day = rec.message_limit_per_month = 0;
    } else if (is("ThrottleSpeed")) {
        rec.throttle_speed = platform::truncate_field(value, support::kThrottleSpeedSize - 1);
    } else if (is("WebOptions")) {
        if (!web_options_value(value)) return bad();
        rec.web_options = std::string(platform::trim(value));
    } else if (is("RecipientAddresses")) {
        changes.recipients = true;
        changes.recipient_addresses = std::string(platform::trim(value));
    } else {
        err = "Unknown field " + echo(field);
        return false;
    }
    return true;
}

bool apply_side_effects(const std::string& account, const AccountChanges& changes,
                        std::string& err) {
    if (changes.recipients) {
        const std::string ini = support::SMSIniGetFilename();
        bool ok =
            changes.recipient_addresses.empty()
                ? support::ini_delete_key(ini, kRoutingSection, account)
                : support::ini_set(ini, kRoutingSection, account, changes.recipient_addresses);
        if (!ok) {
            err = "Unable to write RecipientAddresses";
            return false;
        }
    }
    if (changes.credits) {
        if (!records::credit_file_exists(account) && !records::create_credit_file(account)) {
            err = "Unable to create the credit file";
            return false;
        }
        int64_t add = records::parse_credit_text(changes.credits_to_add);
        records::CreditOperation(records::quota_entry(account), account, nullptr, -add,
                                 records::CreditMode::Debit);
    }
    return true;
}

void remove_account_side_effects(const std::string& account) {
    support::ini_delete_key(support::SMSIniGetFilename(), kRoutingSection, account);
}

std::vector<std::pair<std::string, std::string>> account_fields(const support::UserRecord& rec) {
    auto yn = [](bool b) { return std::string(b ? "Yes" : "No"); };
    std::vector<std::pair<std::string, std::string>> out = {
        {"Password", rec.password_hash.empty() ? "" : "(set)"},
        {"FullName", rec.full_name},
        {"EnableWebLogin", yn(rec.enable_web_login)},
        {"EnableSmppLogin", yn(rec.enable_smpp_login)},
        {"EnableSmtpLogin", yn(rec.enable_smtp_login)},
        {"ReceiveEnabled", yn(rec.receive_enabled)},
        {"AdminEnabled", yn(rec.admin_enabled)},
        {"ForcedSenderAddress", rec.forced_sender_address},
        {"RestrictIPAddress", rec.restrict_ip_address},
        {"EnableCreditBalance", yn(rec.enable_credit_balance)},
        {"MessageLimitPerDay", std::to_string(rec.message_limit_per_day)},
        {"MessageLimitPerMonth", std::to_string(rec.message_limit_per_month)},
        {"ThrottleSpeed", rec.throttle_speed},
        {"WebOptions", rec.web_options},
        {"RecipientAddresses",
         support::SMSIniGetProfileString(kRoutingSection, rec.name, "", kValueSize)},
    };
    return out;
}

void forget_cached_account(std::string_view name) {
    UserCacheEntry* e = find_user_entry(name);
    if (!e) return;
    std::lock_guard<std::mutex> l(e->lock);
    e->loaded_ms = 0;
}

std::string account_request(std::string_view request, std::string_view action_text,
                            bool keep_empty_password) {
    std::string_view action = platform::trim(action_text);
    enum { Add, Modify, Delete } kind;
    if (action.empty() || platform::iequals(action, "Add") || platform::iequals(action, "Create")) {
        kind = Add;
    } else if (platform::iequals(action, "Modify")) {
        kind = Modify;
    } else if (platform::iequals(action, "Delete")) {
        kind = Delete;
    } else {
        return error("Unsupported request (invalid or missing Action)");
    }
    std::string name;
    if (!GetRequestParameter(request, "UserName", name, kValueSize))
        GetRequestParameter(request, "Name", name, kValueSize);
    if (platform::trim(name).empty()) return error("Missing UserName in request");
    if (kind == Add ? !acceptable_new_account_name(name) : !support::valid_account_name(name))
        return error("Invalid UserName " + echo(name));

    support::UserFile file;
    if (!support::SMSOpenUserFile(file, support::UserFileAccess::ReadWrite))
        return error("Unable to access user database");
    support::UserRecord rec;
    bool exists = support::SMSFindUserRecord(file, name, rec) != 0;
    if (kind == Delete) {
        if (!exists) return error("UserName " + echo(name) + " not defined");
        if (!support::SMSDeleteUser(file, rec.name)) return error("Unable to access user database");
        remove_account_side_effects(rec.name);
        forget_cached_account(rec.name);
        platform::tracef("ProcessProvisionRequest", "Deleted user %s", rec.name.c_str());
        return "OK\r\n";
    }
    if (kind == Add && exists) return error("UserName " + echo(name) + " already defined");
    if (kind == Modify && !exists) return error("UserName " + echo(name) + " not defined");
    if (kind == Add) {
        rec = support::UserRecord{};
        rec.name = name;
    }
    AccountChanges changes;
    std::string err;
    for (const std::string& f : account_field_names()) {
        std::string v;
        if (!GetRequestParameter(request, f, v, kValueSize)) continue;
        if (keep_empty_password && f == "Password" && v.empty()) continue;
        if (!apply_account_field(rec, f, v, changes, err)) return error(err);
    }
    if (kind == Add && rec.password_hash.empty()) return error("Missing Password in request");
    if (!support::SMSAddUser(file, rec)) return error("Unable to access user database");
    forget_cached_account(rec.name);
    if (!apply_side_effects(rec.name, changes, err)) return error(err);
    platform::tracef("ProcessProvisionRequest", "%s user %s", kind == Add ? "Added" : "Modified",
                     rec.name.c_str());
    return "OK\r\n";
}

std::string sdk_link_request(std::string_view request, std::string_view action_text,
                             std::string_view peer) {
    std::string_view action = platform::trim(action_text);
    bool remove = platform::iequals(action, "Delete");
    if (!remove && !action.empty() && !platform::iequals(action, "Add") &&
        !platform::iequals(action, "Modify"))
        return error("Unsupported request (invalid or missing Action)");
    std::string phone = std::string(platform::trim(param(request, "PhoneNumber")));
    if (phone.empty()) return error("Missing PhoneNumber in request");
    for (char c : phone)
        if (!(c >= '0' && c <= '9') && c != '+') return error("Invalid PhoneNumber " + echo(phone));
    const std::string ini = support::SMSIniGetFilename();
    if (remove) {
        if (!support::ini_delete_key(ini, kSdkLinkSection, phone))
            return error("Unable to write the SDKLink entry");
        return "OK\r\n";
    }
    std::string port_text = std::string(platform::trim(param(request, "IPPort")));
    if (port_text.empty()) return error("Missing IP Port number (IPPort) in request");
    uint32_t port = 0;
    if (!number_value(port_text, port) || port == 0 || port > 65535)
        return error("Invalid IPPort " + echo(port_text));
    std::string host = std::string(platform::trim(param(request, "IPAddress")));
    if (host.empty()) host = std::string(peer);
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
            return error("Invalid IPAddress " + echo(host));
    if (!support::ini_set(ini, kSdkLinkSection, phone, host + ":" + std::to_string(port)))
        return error("Unable to write the SDKLink entry");
    return "OK\r\n";
}

std::string provision_answer(std::string_view request, std::string_view peer) {
    if (!check_administrator(param(request, "AdminUser"), param(request, "AdminPassword")))
        return error("Invalid AdminUser or AdminPassword");
    std::string action = param(request, "Action");
    std::string admin_action = param(request, "AdminAction");
    if (platform::iequals(platform::trim(param(request, "Type")), "SDKLink") ||
        platform::iequals(platform::trim(admin_action), "SDKLink"))
        return sdk_link_request(request, action, peer);
    if (!has_param(request, "Action")) action = admin_action;
    return account_request(request, action, false);
}

bool handle_provision(Connection& c, Request& r) {
    if (!admin_address_allowed(c.peer)) return send_admin_forbidden(c);
    std::string body = provision_answer(r.bytes, c.peer);
    return SendData(c, std::string("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n") +
                           kAdminNoCache + "Content-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n" + body);
}

}  // namespace frontends::http
