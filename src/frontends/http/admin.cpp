// The administration handler: access, login, the page table, the account,
// log, event, activity, inbox and queue pages, and the static files of
// "WEBADMIN/". Every page that changes state takes only a POST that carries
// the login's AdminToken (see admin_auth.h), so that another site cannot
// make a logged-in browser change anything.
#include <algorithm>
#include <cstring>

#include "frame/event_log.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "frontends/http/admin_auth.h"
#include "frontends/http/admin_pages.h"
#include "frontends/http/health_metrics.h"
#include "frontends/http/provision.h"
#include "frontends/http/user_cache.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "records/counters.h"
#include "records/quotas.h"
#include "store/request_codec.h"
#include "support/accounts.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/mms_accounts.h"

namespace frontends::http {

namespace {

constexpr size_t kParamSize = 2048;
constexpr size_t kMaxLogView = 256 * 1024;
constexpr size_t kMaxInboxLog = 64 * 1024;
constexpr size_t kMaxListed = 200;
constexpr size_t kMaxMessageFile = 64 * 1024;
constexpr size_t kMaxStaticHtml = 4u << 20;
constexpr size_t kStaticPathMax = 261;

struct Page {
    Connection& c;
    const Request& r;
    AdminLogin login;
    std::string query_path;  // path without the query
};

std::string param(const Request& r, std::string_view name, size_t size = kParamSize) {
    std::string v;
    GetRequestParameter(r.bytes, name, v, size);
    return v;
}

std::string esc(std::string_view s) {
    return html_escape(s);
}

// The page frame: title, navigation and the body.
std::string layout(std::string_view title, std::string_view body) {
    std::string out = "<!DOCTYPE html>\r\n<html><head><meta charset=\"utf-8\"><title>" +
                      esc(title) +
                      " - KelSMS Administration</title>\r\n"
                      "<link rel=\"stylesheet\" href=\"/ADMIN/admin.css\"></head><body>\r\n<nav>";
    static const std::pair<const char*, const char*> kNav[] = {
        {"/ADMIN", "Main"},
        {"/ADMIN/STATUS", "Status"},
        {"/ADMIN/SMSUSERS", "SMS accounts"},
        {"/ADMIN/USERS", "MMS accounts"},
        {"/ADMIN/LOGFILES", "Log files"},
        {"/ADMIN/EVENTLOG", "Event log"},
        {"/ADMIN/ACTIVITY", "Activity"},
        {"/ADMIN/INBOX", "Inbox"},
        {"/ADMIN/Q", "Outbound queue"},
        {"/ADMIN/XMLSTATUS", "XML status"},
    };
    for (const auto& n : kNav)
        out += platform::strprintf("<a href=\"%s\">%s</a> ", n.first, n.second);
    out += "</nav>\r\n<h1>" + esc(title) + "</h1>\r\n";
    out.append(body);
    out += "\r\n</body></html>\r\n";
    return out;
}

bool send_page(Page& p, std::string_view title, std::string_view body) {
    return send_admin_answer(p.c, "200 OK", "text/html; charset=utf-8", layout(title, body));
}

std::string token_field(const Page& p) {
    return "<input type=\"hidden\" name=\"" + std::string(kAdminTokenField) + "\" value=\"" +
           admin_token(p.login.user) + "\">";
}

// A state change is allowed only for a POST with the login's token.
bool change_allowed(const Page& p) {
    if (!platform::iequals(p.r.line.method, "POST")) return false;
    std::string body_token;
    GetRequestParameter(p.r.bytes, kAdminTokenField, body_token, 200);
    return admin_token_valid(p.login.user, body_token);
}

bool refuse_change(Page& p) {
    platform::tracef("ProcessAdminRequest", "Change refused without a valid token from %s",
                     p.c.peer.c_str());
    return send_admin_answer(
        p.c, "403 Forbidden", "text/html",
        layout("Change refused",
               "<p>Changes must be sent from the administration pages themselves (the form's "
               "token was missing or wrong). Reload the page and try again.</p>"));
}

std::string notice(std::string_view result) {
    if (result.empty()) return "";
    bool ok = platform::istarts_with(result, "OK");
    return std::string("<p class=\"") + (ok ? "ok" : "error") + "\">" +
           esc(platform::trim(result)) + "</p>\r\n";
}

std::string yes_no_select(std::string_view name, bool on) {
    return "<select name=\"" + std::string(name) + "\"><option" + (on ? " selected" : "") +
           ">Yes</option><option" + (on ? "" : " selected") + ">No</option></select>";
}

bool is_bool_field(std::string_view f) {
    for (const char* b : {"EnableWebLogin", "EnableSmppLogin", "EnableSmtpLogin", "ReceiveEnabled",
                          "AdminEnabled", "EnableCreditBalance", "MessageLimitDefault"})
        if (platform::iequals(f, b)) return true;
    return false;
}

// --- SMS accounts --------------------------------------------------------------

std::string account_form(const Page& p, const support::UserRecord* rec) {
    std::string f =
        "<form method=\"post\" action=\"/ADMIN/SMSUSERS\">" + token_field(p) + "<table>\r\n";
    f += "<tr><th>UserName</th><td>";
    if (rec) {
        f += esc(rec->name) + "<input type=\"hidden\" name=\"UserName\" value=\"" + esc(rec->name) +
             "\">";
    } else {
        f += "<input name=\"UserName\" maxlength=\"99\">";
    }
    f += "</td></tr>\r\n";
    std::vector<std::pair<std::string, std::string>> values;
    if (rec) values = account_fields(*rec);
    auto value_of = [&](const std::string& n) {
        for (auto& v : values)
            if (v.first == n) return v.second;
        return std::string();
    };
    for (const std::string& n : account_field_names()) {
        f += "<tr><th>" + esc(n) + "</th><td>";
        if (n == "Password") {
            f += "<input type=\"password\" name=\"Password\" autocomplete=\"new-password\">";
            if (rec) f += " (empty: unchanged)";
        } else if (n == "MessageLimitDefault") {
            f += yes_no_select(n, false);
        } else if (is_bool_field(n)) {
            f += yes_no_select(n, rec ? value_of(n) == "Yes" : n == "EnableWebLogin");
        } else if (n == "CreditsToAdd") {
            f += "<input name=\"CreditsToAdd\" placeholder=\"credits to add\">";
            if (rec && records::credit_file_exists(rec->name))
                f += " balance " + esc(records::credit_text(records::CreditOperation(
                                       records::quota_entry(rec->name), rec->name, nullptr, 0,
                                       records::CreditMode::Check)));
        } else {
            f += "<input name=\"" + esc(n) + "\" value=\"" + esc(value_of(n)) + "\">";
        }
        f += "</td></tr>\r\n";
    }
    f += "</table>\r\n";
    if (rec) {
        f += "<button name=\"Action\" value=\"Modify\">Save</button> "
             "<button name=\"Action\" value=\"Delete\">Delete</button>";
    } else {
        f += "<button name=\"Action\" value=\"Add\">Add account</button>";
    }
    f += "</form>\r\n";
    return f;
}

bool sms_users_page(Page& p) {
    std::string result;
    if (platform::iequals(p.r.line.method, "POST")) {
        if (!change_allowed(p)) return refuse_change(p);
        result = account_request(p.r.bytes, param(p.r, "Action"), true);
    }
    support::UserFile file;
    std::string body = notice(result);
    if (!support::SMSOpenUserFile(file)) {
        body += notice("ERROR Unable to access user database");
        return send_page(p, "SMS accounts", body);
    }
    std::string edit = param(p.r, "Edit");
    support::UserRecord rec;
    if (!edit.empty() && support::SMSFindUserRecord(file, edit, rec)) {
        body += "<h2>Account " + esc(rec.name) + "</h2>\r\n" + account_form(p, &rec);
        return send_page(p, "SMS accounts", body);
    }
    body +=
        "<table class=\"list\"><tr><th>Account</th><th>Full name</th><th>Web</th><th>SMPP</th>"
        "<th>Receive</th><th>Admin</th><th>Limits day/month</th><th></th></tr>\r\n";
    for (uint32_t i = 0; support::SMSGetUserRecord(file, i, rec); ++i) {
        body += "<tr><td>" + esc(rec.name) + "</td><td>" + esc(rec.full_name) + "</td><td>" +
                (rec.enable_web_login ? "Yes" : "No") + "</td><td>" +
                (rec.enable_smpp_login ? "Yes" : "No") + "</td><td>" +
                (rec.receive_enabled ? "Yes" : "No") + "</td><td>" +
                (rec.admin_enabled ? "Yes" : "No") + "</td><td>" +
                std::to_string(rec.message_limit_per_day) + "/" +
                std::to_string(rec.message_limit_per_month) +
                "</td><td><a href=\"/ADMIN/SMSUSERS?Edit=" + esc(url_encode(rec.name)) +
                "\">Edit</a></td></tr>\r\n";
    }
    body += "</table>\r\n<h2>New account</h2>\r\n" + account_form(p, nullptr);
    return send_page(p, "SMS accounts", body);
}

// --- MMS accounts ---------------------------------------------------------------

std::string mms_change(const Page& p) {
    std::string action = param(p.r, "Action");
    std::string name = param(p.r, "UserName");
    support::MmsUserFile file;
    if (!support::MMSCOpenUserFile(file)) return "ERROR Unable to access user database";
    support::MmsUserRecord rec;
    bool exists = support::MMSCFindUserRecord(file, name, rec) != 0;
    if (platform::iequals(action, "Delete")) {
        if (!exists) return "ERROR UserName not defined";
        return support::MMSCDeleteUser(file, rec.name) ? "OK Deleted"
                                                       : "ERROR Unable to access user database";
    }
    bool modify = platform::iequals(action, "Modify");
    if (!modify && !platform::iequals(action, "Add"))
        return "ERROR Unsupported request (invalid or missing Action)";
    if (modify && !exists) return "ERROR UserName not defined";
    if (!modify) {
        if (!acceptable_new_account_name(name)) return "ERROR Invalid UserName";
        if (exists) return "ERROR UserName " + name + " already defined";
        rec = support::MmsUserRecord{};
        rec.name = name;
    }
    std::string full = param(p.r, "FullName"), phone = param(p.r, "PhoneNumber"),
                mail = param(p.r, "EmailAddress"), pw = param(p.r, "Password");
    for (const std::string* v : {&full, &phone, &mail, &pw})
        if (v->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return "ERROR Invalid value (line breaks are not allowed)";
    rec.full_name = platform::truncate_field(full, support::kFullNameSize - 1);
    rec.phone_number = platform::truncate_field(phone, support::kMmsPhoneNumberSize - 1);
    rec.email_address = platform::truncate_field(mail, support::kMmsEmailAddressSize - 1);
    if (!pw.empty() && !support::set_mms_user_password(rec, pw)) return "ERROR Invalid Password";
    if (rec.password_hash.empty()) return "ERROR Missing Password";
    if (!support::MMSCAddUser(file, rec)) return "ERROR Unable to access user database";
    return modify ? "OK Modified" : "OK Added";
}

bool mms_users_page(Page& p) {
    std::string result;
    if (platform::iequals(p.r.line.method, "POST")) {
        if (!change_allowed(p)) return refuse_change(p);
        result = mms_change(p);
    }
    std::string body = notice(result);
    support::MmsUserFile file;
    if (!support::MMSCOpenUserFile(file))
        return send_page(p, "MMS accounts", body + notice("ERROR Unable to access user database"));
    support::MmsUserRecord rec;
    std::string edit = param(p.r, "Edit");
    if (!edit.empty() && support::MMSCFindUserRecord(file, edit, rec)) {
        body += "<h2>MMS account " + esc(rec.name) +
                "</h2>\r\n<form method=\"post\" action=\"/ADMIN/USERS\">" + token_field(p) +
                "<input type=\"hidden\" name=\"UserName\" value=\"" + esc(rec.name) +
                "\"><table><tr><th>Password</th><td><input type=\"password\" name=\"Password\"> "
                "(empty: unchanged)</td></tr><tr><th>FullName</th><td><input name=\"FullName\" "
                "value=\"" +
                esc(rec.full_name) +
                "\"></td></tr><tr><th>PhoneNumber</th><td><input name=\"PhoneNumber\" value=\"" +
                esc(rec.phone_number) +
                "\"></td></tr><tr><th>EmailAddress</th><td><input name=\"EmailAddress\" value=\"" +
                esc(rec.email_address) +
                "\"></td></tr></table><button name=\"Action\" "
                "value=\"Modify\">Save</button></form>\r\n";
        return send_page(p, "MMS accounts", body);
    }
    body +=
        "<table class=\"list\"><tr><th>Account</th><th>Full name</th><th>Phone</th>"
        "<th>E-mail</th><th></th></tr>\r\n";
    for (uint32_t i = 0; support::MMSCGetUserRecord(file, i, rec); ++i) {
        body += "<tr><td>" + esc(rec.name) + "</td><td>" + esc(rec.full_name) + "</td><td>" +
                esc(rec.phone_number) + "</td><td>" + esc(rec.email_address) +
                "</td><td><a href=\"/ADMIN/USERS?Edit=" + esc(url_encode(rec.name)) +
                "\">Edit</a> <form method=\"post\" action=\"/ADMIN/USERS\">" + token_field(p) +
                "<input type=\"hidden\" name=\"UserName\" value=\"" + esc(rec.name) +
                "\"><button name=\"Action\" value=\"Delete\">Delete</button></form></td></tr>\r\n";
    }
    body +=
        "</table>\r\n<h2>New MMS account</h2>\r\n<form method=\"post\" action=\"/ADMIN/USERS\">" +
        token_field(p) +
        "<table><tr><th>UserName</th><td><input name=\"UserName\"></td></tr>"
        "<tr><th>Password</th><td><input type=\"password\" name=\"Password\"></td></tr>"
        "<tr><th>FullName</th><td><input name=\"FullName\"></td></tr>"
        "<tr><th>PhoneNumber</th><td><input name=\"PhoneNumber\"></td></tr>"
        "<tr><th>EmailAddress</th><td><input name=\"EmailAddress\"></td></tr></table>"
        "<button name=\"Action\" value=\"Add\">Add account</button></form>\r\n";
    return send_page(p, "MMS accounts", body);
}

// --- logs and statistics ----------------------------------------------------------

// The last max bytes of a file of dir, opened without following links;
// nullopt when it cannot be opened.
std::optional<std::string> file_tail(const std::string& dir, const std::string& name, size_t max,
                                     bool* cut) {
    platform::FileHandle h = open_static_file(dir, name);
    std::optional<uint64_t> size = h ? platform::fd_size(h.fd()) : std::nullopt;
    if (!size) return std::nullopt;
    uint64_t from = *size > max ? *size - max : 0;
    if (cut) *cut = from != 0;
    std::string text(static_cast<size_t>(*size - from), '\0');
    text.resize(platform::pread_all(h.fd(), text.data(), text.size(), from));
    return text;
}

bool log_files_page(Page& p) {
    const std::string dir = support::GetLogDirectory();
    std::vector<std::string> links;
    std::vector<platform::DirEntry> logs =
        platform::scan_dir_no_links(dir, "SMS*.LOG", platform::ScanKind::FilesOnly, &links);
    std::sort(
        logs.begin(), logs.end(),
        [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name > b.name; });
    std::string want = param(p.r, "file");
    if (!want.empty()) {
        // Only a name of the listing, opened without following links.
        auto it = std::find_if(logs.begin(), logs.end(),
                               [&](const platform::DirEntry& e) { return e.name == want; });
        bool cut = false;
        std::optional<std::string> text;
        if (it != logs.end()) text = file_tail(dir, it->name, kMaxLogView, &cut);
        if (!text)
            return send_admin_answer(
                p.c, "404 Not Found", "text/html",
                layout("Log file", "<p class=\"error\">No such log file.</p>"));
        std::string body;
        if (cut) body += "<p>Last " + std::to_string(kMaxLogView / 1024) + " KB shown.</p>";
        body += "<pre>" + esc(*text) + "</pre>";
        return send_page(p, want, body);
    }
    std::string body = "<table class=\"list\"><tr><th>Log file</th><th>Size</th></tr>\r\n";
    for (const platform::DirEntry& e : logs) {
        std::optional<platform::FileInfo> info = platform::stat_file(dir + e.name);
        body += "<tr><td><a href=\"/ADMIN/LOGFILES?file=" + esc(url_encode(e.name)) + "\">" +
                esc(e.name) + "</a></td><td>" + std::to_string(info ? info->size : 0) +
                "</td></tr>\r\n";
    }
    body += "</table>\r\n";
    if (!links.empty())
        body += "<p>" + std::to_string(links.size()) + " symbolic link(s) not shown.</p>\r\n";
    platform::LocalTime t = platform::local_now();
    body +=
        "<h2>Messages per account</h2>\r\n<table class=\"list\"><tr><th>Account</th>"
        "<th>Today</th><th>This month</th><th>Day limit</th><th>Month limit</th></tr>\r\n";
    support::UserFile file;
    support::UserRecord rec;
    if (support::SMSOpenUserFile(file)) {
        for (uint32_t i = 0; support::SMSGetUserRecord(file, i, rec); ++i) {
            records::CounterImage q = records::read_counter_file(frame::user_dir(rec.name) +
                                                                 std::to_string(t.year) + ".QTA");
            unsigned slot = records::quota_slot(t.year, t.month, t.day);
            body += "<tr><td>" + esc(rec.name) + "</td><td>" +
                    std::to_string(slot < q.size() ? q[slot] : 0) + "</td><td>" +
                    std::to_string(records::quota_month_total(q, t.year, t.month)) + "</td><td>" +
                    std::to_string(rec.message_limit_per_day) + "</td><td>" +
                    std::to_string(rec.message_limit_per_month) + "</td></tr>\r\n";
        }
    }
    body += "</table>\r\n";
    return send_page(p, "Log files", body);
}

bool event_log_page(Page& p) {
    std::string result;
    if (platform::iequals(p.r.line.method, "POST")) {
        if (!change_allowed(p)) return refuse_change(p);
        if (platform::iequals(param(p.r, "Action"), "Clear")) {
            result = frame::clear_event_log() ? "OK Event log cleared"
                                              : "ERROR Unable to clear the event log";
            platform::tracef("ProcessAdminRequest", "Event log cleared by %s",
                             p.login.user.c_str());
        } else {
            result = "ERROR Unsupported request (invalid or missing Action)";
        }
    }
    std::vector<std::string> lines = frame::read_event_log();
    std::string body =
        notice(result) + "<form method=\"post\" action=\"/ADMIN/EVENTLOG\">" + token_field(p) +
        "<button name=\"Action\" value=\"Clear\">Clear the event log</button></form>\r\n"
        "<table class=\"list\"><tr><th>Time</th><th>Type</th><th>Event</th></tr>\r\n";
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::string_view l = *it;
        size_t a = l.find('\t');
        size_t b = a == std::string_view::npos ? a : l.find('\t', a + 1);
        if (b == std::string_view::npos) {
            body += "<tr><td></td><td></td><td>" + esc(l) + "</td></tr>\r\n";
            continue;
        }
        body += "<tr><td>" + esc(l.substr(0, a)) + "</td><td>" + esc(l.substr(a + 1, b - a - 1)) +
                "</td><td>" + esc(l.substr(b + 1)) + "</td></tr>\r\n";
    }
    body += "</table>\r\n";
    return send_page(p, "Event log", body);
}

bool activity_page(Page& p) {
    std::string body =
        "<table class=\"list\"><tr><th>Account</th><th>Queued</th>"
        "<th>SMPP sessions</th><th>Delivered to SMPP client</th></tr>\r\n";
    for_each_user_entry([&](UserCacheEntry& e) {
        unsigned sessions;
        uint64_t delivered;
        {
            std::lock_guard<std::mutex> l(e.lock);
            sessions = e.smpp_sessions;
            delivered = e.delivered_count;
        }
        body += "<tr><td>" + esc(e.name) + "</td><td>" + std::to_string(e.queue_count.load()) +
                "</td><td>" + std::to_string(sessions) + "</td><td>" + std::to_string(delivered) +
                "</td></tr>\r\n";
    });
    body += "</table>\r\n";
    return send_page(p, "Activity", body);
}

// The request-format files of a directory (inbox, queue) as a table.
void message_rows(const std::string& dir, std::string_view pattern, int depth, std::string& body,
                  size_t& shown) {
    std::vector<std::string> skipped;
    for (const platform::DirEntry& e :
         platform::scan_dir_no_links(dir, "*", platform::ScanKind::Any, &skipped)) {
        if (shown >= kMaxListed) return;
        if (e.is_dir) {
            if (depth > 0) message_rows(dir + e.name + "/", pattern, depth - 1, body, shown);
            continue;
        }
        if (!platform::wildcard_match(pattern, e.name)) continue;
        std::optional<std::string> text = platform::read_file(dir + e.name, kMaxMessageFile);
        if (!text) continue;
        store::SmsMessage m = store::parse_request(*text);
        ++shown;
        body += "<tr><td>" + esc(e.name) + "</td><td>" + esc(m.sender) + "</td><td>" +
                esc(m.phone_number) + "</td><td>" + esc(m.submit_user) + "</td><td>" +
                esc(m.route.empty() ? m.link_name : m.route) + "</td><td>" +
                esc(m.binary ? "(binary) " + m.data : m.data) + "</td></tr>\r\n";
    }
}

const char* kMessageHead =
    "<table class=\"list\"><tr><th>File</th><th>Sender</th><th>Recipient</th><th>Account</th>"
    "<th>Route / link</th><th>Text</th></tr>\r\n";

bool inbox_page(Page& p) {
    std::string body = kMessageHead;
    size_t shown = 0;
    message_rows(frame::sms_in_dir(), "*.IN", 1, body, shown);
    message_rows(frame::sms_in_dir(), "*.REC", 1, body, shown);
    body += "</table>\r\n<p>" + std::to_string(shown) + " message(s) waiting to be routed.</p>\r\n";
    // The newest inbound log: what was received and where it went.
    const std::string dir = support::GetLogDirectory();
    std::vector<platform::DirEntry> logs =
        platform::scan_dir_no_links(dir, "SMSIN-*.LOG", platform::ScanKind::FilesOnly, nullptr);
    if (!logs.empty()) {
        const std::string& newest =
            std::max_element(logs.begin(), logs.end(), [](const auto& a, const auto& b) {
                return a.name < b.name;
            })->name;
        if (std::optional<std::string> text = file_tail(dir, newest, kMaxInboxLog, nullptr))
            body += "<h2>Received (" + esc(newest) + ")</h2>\r\n<pre>" + esc(*text) + "</pre>\r\n";
    }
    return send_page(p, "Inbox", body);
}

bool queue_page(Page& p) {
    const std::string root =
        frame::settings().q_dir.empty() ? frame::default_queue_root() : frame::settings().q_dir;
    std::string body =
        "<p>Messages waiting: " + std::to_string(outbound_queue_size()) + "</p>\r\n" + kMessageHead;
    size_t shown = 0;
    message_rows(root, "*.REQ", 3, body, shown);
    body += "</table>\r\n";
    if (shown >= kMaxListed)
        body += "<p>The first " + std::to_string(kMaxListed) + " are shown.</p>\r\n";
    return send_page(p, "Outbound queue", body);
}

// --- main, status, XML ------------------------------------------------------------

bool main_page(Page& p) {
    std::string result;
    if (platform::iequals(p.r.line.method, "POST")) {
        if (!change_allowed(p)) return refuse_change(p);
        std::string pw = param(p.r, "NewPassword", support::kPasswordSize);
        if (!p.login.administrator) {
            result = "ERROR Only the administrator may change the administrator password";
        } else if (pw.empty() || pw != param(p.r, "NewPassword2", support::kPasswordSize)) {
            result = "ERROR The two passwords differ or are empty";
        } else {
            result = set_admin_password("", pw) ? "OK Administrator password changed"
                                                : "ERROR Unable to write SMSGW.INI";
        }
    }
    std::vector<LinkInfo> links = configured_links();
    size_t down =
        std::count_if(links.begin(), links.end(), [](const LinkInfo& l) { return !l.up; });
    records::CounterReport sub = records::report_global(records::Counter::Submitted);
    records::CounterReport sent = records::report_global(records::Counter::Sent);
    std::string body =
        notice(result) + "<p>Logged in as " + esc(p.login.user) +
        ".</p>\r\n<table class=\"list\"><tr><th>Links</th><td>" + std::to_string(links.size()) +
        " (" + std::to_string(down) + " down)</td></tr><tr><th>Outbound queue</th><td>" +
        std::to_string(outbound_queue_size()) + "</td></tr><tr><th>Submitted today</th><td>" +
        std::to_string(sub.today) + "</td></tr><tr><th>Sent today</th><td>" +
        std::to_string(sent.today) + "</td></tr></table>\r\n";
    std::vector<std::pair<std::string, std::string>> commands =
        support::ini_section(support::SMSIniGetFilename(), "AdminCommands");
    if (!commands.empty()) {
        body += "<h2>Commands</h2>\r\n";
        for (const auto& cmd : commands)
            body += "<form method=\"post\" action=\"/ADMIN/" + esc(url_encode(cmd.first)) + "\">" +
                    token_field(p) + "<button>" + esc(cmd.first) +
                    "</button> <input name=\"CmdLine\" placeholder=\"arguments\"></form>\r\n";
    }
    if (p.login.administrator)
        body += "<h2>Administrator password</h2>\r\n<form method=\"post\" action=\"/ADMIN\">" +
                token_field(p) +
                "<input type=\"password\" name=\"NewPassword\" autocomplete=\"new-password\"> "
                "<input type=\"password\" name=\"NewPassword2\" autocomplete=\"new-password\"> "
                "<button>Change</button></form>\r\n";
    return send_page(p, "Main", body);
}

bool status_page(Page& p) {
    std::optional<std::string> name = platform::find_name_nocase(webadmin_dir(), "STATUS.HTM");
    std::optional<std::string> tmpl;
    if (name) tmpl = platform::read_file(webadmin_dir() + *name, kMaxStaticHtml);
    if (!tmpl) return SendData(p.c, "HTTP/1.0 404 File Not Found\r\nConnection: close\r\n\r\n");
    std::string body = fill_template(*tmpl, status_page_data("/ADMIN/STATUS", "/ADMIN"));
    return SendData(p.c,
                    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"
                    "Expires: Tue, 01 Jan 1980 12:00 GMT\r\nCache-Control: max-age=0\r\n"
                    "Cache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n"
                    "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
}

bool static_file(Page& p, std::string_view name) {
    if (name.size() > kStaticPathMax) name = name.substr(0, kStaticPathMax);
    std::string rel = clean_static_path(name);
    platform::FileHandle h;
    if (!rel.empty()) h = open_static_file(webadmin_dir(), name);  // decodes it once
    std::optional<platform::FileInfo> info = h ? platform::stat_fd(h.fd()) : std::nullopt;
    if (!h || !info || !info->is_regular)
        return SendData(p.c,
                        "HTTP/1.0 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    std::string type = content_type_for(rel);
    std::string lower = platform::to_lower(rel);
    if (platform::iends_with(lower, ".htm") || platform::iends_with(lower, ".html"))
        type = "text/html";
    if (platform::iends_with(lower, ".css")) type = "text/css";
    if (platform::iends_with(lower, ".js")) type = "text/javascript";
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: " + type + "\r\n" + kAdminNoCache;
    if (type == "text/html" && info->size <= kMaxStaticHtml) {
        std::optional<std::string> text = platform::read_fd(h.fd(), kMaxStaticHtml);
        if (!text) return false;
        for (std::string_view m : {"<!@@StartBlockHeavy@@>", "<!@@EndBlockHeavy@@>"})
            for (size_t at; (at = text->find(m)) != std::string::npos;) text->erase(at, m.size());
        return SendData(
            p.c, head + "Content-Length: " + std::to_string(text->size()) + "\r\n\r\n" + *text);
    }
    return SendAFile(p.c, h.fd(),
                     head + "Content-Length: " + std::to_string(info->size) + "\r\n\r\n",
                     info->size);
}

// "/ADMIN/NAME" followed by the end, "?" or (when slash) "/".
bool page_is(std::string_view path, std::string_view page, bool slash = false) {
    if (!platform::istarts_with(path, page)) return false;
    if (path.size() == page.size()) return true;
    char next = path[page.size()];
    return next == '?' || next == ' ' || (slash && next == '/');
}

std::string request_trace(const Request& r) {
    // The request as received, without its credentials.
    std::string head(std::string_view(r.bytes).substr(0, r.header_len));
    size_t at = platform::ifind(head, "\nAuthorization:");
    if (at != std::string::npos) {
        size_t end = head.find('\n', at + 1);
        head.replace(at + 1, (end == std::string::npos ? head.size() : end) - at - 1,
                     "Authorization: (not traced)\r");
    }
    for (const char* k : {"Password=", "AdminPassword="}) {
        for (size_t p = platform::ifind(head, k); p != std::string::npos;
             p = platform::ifind(head, k, p + 1)) {
            size_t v = p + std::strlen(k);
            size_t e = head.find_first_of("& \r\n", v);
            head.replace(v, (e == std::string::npos ? head.size() : e) - v, "*");
        }
    }
    return head;
}

}  // namespace

std::string webadmin_dir() {
    return support::GetRealProgramDirectory() + "WEBADMIN/";
}

bool send_admin_forbidden(Connection& c) {
    platform::tracef("ProcessAdminRequest", "Connection not allowed from %s...\n", c.peer.c_str());
    return SendData(c,
                    "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
                    "<HTML><HEAD><TITLE>\r\nConnection not allowed\r\n</TITLE></HEAD><BODY>\r\n"
                    "ERROR:  Connection not allowed from " +
                        html_escape(c.peer) +
                        ".\r\n"
                        "</BODY></HTML>\r\n");
}

bool send_admin_answer(Connection& c, std::string_view status, std::string_view content_type,
                       std::string_view body) {
    std::string head = "HTTP/1.0 " + std::string(status) +
                       "\r\nContent-Type: " + std::string(content_type) + "\r\n" + kAdminNoCache +
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return SendData(c, head, body);
}

bool handle_admin(Connection& c, Request& r) {
    c.keep_alive = false;
    if (!admin_address_allowed(c.peer)) return send_admin_forbidden(c);
    std::string user, password;
    std::optional<BasicCredentials> basic = GetAuthorizationBasic(r.bytes);
    if (basic && (!basic->user.empty() || !basic->password.empty())) {
        user = basic->user.substr(0, kAdminCredentialSize - 1);
        password = basic->password.substr(0, kAdminCredentialSize - 1);
    } else {
        if (!GetRequestParameter(r.bytes, "User", user, kAdminCredentialSize))
            GetRequestParameter(r.bytes, "UserName", user, kAdminCredentialSize);
        GetRequestParameter(r.bytes, "Password", password, kAdminCredentialSize);
    }
    Page p{c, r, check_admin_login(user, password, c.peer), ""};
    if (!p.login.ok) {
        return SendData(
            c, std::string("HTTP/1.0 401 Auth Required\r\nWWW-Authenticate: Basic realm=\"") +
                   kAdminRealm + "\"\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    }
    platform::trace("ProcessAdminRequest", request_trace(r));
    std::string_view path = r.line.path;
    if (page_is(path, "/ADMIN/USERS")) return mms_users_page(p);
    if (page_is(path, "/ADMIN/SMSUSERS")) return sms_users_page(p);
    if (page_is(path, "/ADMIN/LOGFILES")) return log_files_page(p);
    if (page_is(path, "/ADMIN/EVENTLOG")) return event_log_page(p);
    if (page_is(path, "/ADMIN/ACTIVITY")) return activity_page(p);
    if (page_is(path, "/ADMIN/STATUS")) return status_page(p);
    if (page_is(path, "/ADMIN/INBOX", true)) return inbox_page(p);
    if (page_is(path, "/ADMIN/Q", true)) return queue_page(p);
    if (page_is(path, "/ADMIN/XMLSTATUS")) {
        return send_admin_answer(c, "200 OK", "application/xml", xml_status_document());
    }
    if (page_is(path, "/ADMIN") || page_is(path, "/ADMIN/")) return main_page(p);
    if (platform::istarts_with(path, "/ADMIN/")) {
        std::string_view name = path.substr(7);
        name = name.substr(0, name.find('?'));
        std::string command = percent_decode(name);
        if (admin_command_value(command)) {
            // A command may change anything: it takes the login's token
            // (GET or POST), like every other change.
            std::string token;
            GetRequestParameter(r.bytes, kAdminTokenField, token, 200);
            if (!admin_token_valid(p.login.user, token)) return refuse_change(p);
            return run_admin_command(c, r, command);
        }
        return static_file(p, name);
    }
    return SendData(c, "HTTP/1.0 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

void register_admin_handlers() {
    register_route_handler(Route::Admin, &handle_admin);
    register_route_handler(Route::Provision, &handle_provision);
    register_health_metrics_handler();
}

}  // namespace frontends::http
