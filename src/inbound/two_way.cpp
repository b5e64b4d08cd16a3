// Keyword choice, placeholders and the actions of the 2-way commands.
#include "inbound/two_way.h"

#include <mutex>

#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "store/request_file.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace inbound {

namespace {

constexpr std::string_view kTrace = "GetProgramToExecute";
constexpr std::string_view kExecTrace = "ProcessInboundSMS";
constexpr size_t kPrefixMax = 200;
constexpr unsigned kKeywordMax = 10000;

std::string without_controls(std::string_view v) {
    std::string out(v);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    return out;
}

std::string url_decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && platform::hex_digit_value(s[i + 1]) >= 0 &&
            platform::hex_digit_value(s[i + 2]) >= 0) {
            out += char(platform::hex_digit_value(s[i + 1]) * 16 +
                        platform::hex_digit_value(s[i + 2]));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

// ReceiveSMSCharset as a code page; 0 for UTF-8 (no conversion).
unsigned receive_code_page(std::string* name = nullptr) {
    std::string cs(platform::trim(frame::ini_string("ReceiveSMSCharset", "")));
    if (cs.empty() || platform::iequals(cs, "utf-8") || platform::iequals(cs, "utf8")) return 0;
    if (name) *name = cs;
    return radio::charset::charset_to_code_page(cs);
}

std::string message_text(const TwoWayMessage& m) {
    std::string text = m.msg.data;
    std::string name;
    if (unsigned cp = receive_code_page(&name)) {
        frame::debug_tracef(kTrace, "Converting character set for received SMS message to %s",
                            name.c_str());
        radio::charset::utf8_to_code_page(text, cp);
    }
    return text;
}

// --- actions ---------------------------------------------------------------------------

ActionResult fetch_action(const TwoWayMessage& m, const TwoWayAction& a, frame::KeepAlive* ka) {
    ActionResult r;
    frame::UrlFetch f;
    f.url = a.text;
    f.proxy = std::string(platform::trim(frame::ini_string("2WayProxy", "")));
    f.accept_any_status = true;
    f.timeout_s = kUrlTimeoutS;
    f.keep_alive = frame::settings().two_way_keep_alive ? ka : nullptr;
    frame::UrlResponse resp;
    if (!frame::fetch_url(f, resp)) {
        frame::debug_tracef(kExecTrace, "Unable to retrieve %s: %s", a.text.c_str(),
                            resp.error.c_str());
        return r;
    }
    if (resp.status >= 400) {
        frame::debug_tracef(kExecTrace, "HTTP response indicates error (%d)", resp.status);
        return r;
    }
    r.ok = true;
    if (platform::istarts_with(platform::trim(resp.content_type), "text/plain")) {
        r.reply = std::string(resp.body());
        std::string name;
        if (unsigned cp = receive_code_page(&name)) {
            frame::debug_tracef(kExecTrace,
                                "Converting character set for 2-way command response to %s",
                                name.c_str());
            radio::charset::code_page_to_utf8(r.reply, cp);
        }
    } else {
        r.reply =
            "Command not completed.  Request returned invalid content type:  " + resp.content_type;
    }
    (void)m;
    return r;
}

// "DLists/<name>.TXT" edits are serialised: two threads adding at once
// must not lose one of the entries.
std::mutex& dlist_mutex() {
    static std::mutex mu;
    return mu;
}

ActionResult dlist_action(const TwoWayMessage& m, std::string_view name, bool add) {
    ActionResult r;
    std::string list = platform::clean_path_part(platform::trim(name));
    if (list.empty() || list == "." || list == ".." || m.msg.sender.empty()) {
        frame::debug_tracef(kExecTrace, "Distribution list action without list or sender");
        return r;
    }
    const std::string dir = support::GetProgramDataDirectory() + "DLists/";
    platform::ensure_dir(dir);
    std::string path = dir + list;
    if (!platform::iends_with(list, ".TXT")) path += ".TXT";
    std::lock_guard lk(dlist_mutex());
    std::string content = platform::read_file(path).value_or("");
    std::string out;
    bool present = false;
    // Entries end at their first blank; so does the sender compared with them.
    std::string_view want = m.msg.sender;
    want = want.substr(0, want.find_first_of(" \t"));
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        size_t end = nl == std::string::npos ? content.size() : nl + 1;
        std::string_view line = std::string_view(content).substr(pos, end - pos);
        std::string_view addr = platform::trim(line);
        if (pos == 0 && platform::istarts_with(addr, "\xEF\xBB\xBF")) addr.remove_prefix(3);
        addr = addr.substr(0, addr.find_first_of(" \t"));
        bool same = addr == want;
        present = present || same;
        if (!(same && !add)) {
            out += line;
            if (nl == std::string::npos) out += "\r\n";
        }
        pos = end;
    }
    if (add && !present) out += m.msg.sender + "\r\n";
    if ((add && present) || (!add && !present)) {
        r.ok = true;
        return r;
    }
    r.ok = platform::replace_file(path, out);
    if (!r.ok) frame::debug_tracef(kExecTrace, "Unable to update %s", path.c_str());
    return r;
}

ActionResult mail_action(const TwoWayMessage& m, std::string_view action_text) {
    ActionResult r;
    std::string_view rest = action_text.substr(7);  // after "mailto:"
    size_t q = rest.find('?');
    std::string to = without_controls(platform::trim(url_decode(rest.substr(0, q))));
    std::string subject, body = m.msg.data;
    bool body_given = false;
    if (q != std::string_view::npos) {
        std::string_view params = rest.substr(q + 1);
        size_t pos = 0;
        while (pos <= params.size()) {
            size_t amp = params.find('&', pos);
            if (amp == std::string_view::npos) amp = params.size();
            std::string_view item = params.substr(pos, amp - pos);
            size_t eq = item.find('=');
            std::string_view key = item.substr(0, eq);
            std::string value = eq == std::string_view::npos ? "" : url_decode(item.substr(eq + 1));
            if (platform::iequals(key, "subject")) subject = without_controls(value);
            if (platform::iequals(key, "body")) {
                body = value;
                body_given = true;
            }
            pos = amp + 1;
        }
    }
    if (to.find('@') == std::string::npos) {
        r.ok = true;
        r.reply = "Invalid e-mail recipient: " + to +
                  ".  Please specify a valid e-mail address to start the text of your message.";
        return r;
    }
    if (!body_given && platform::istarts_with(m.msg.data, "id:") &&
        platform::ifind(m.msg.data, "stat:") != std::string::npos) {
        std::string_view d = m.msg.data;
        std::string_view stat = d.substr(platform::ifind(d, "stat:") + 5);
        stat = stat.substr(0, stat.find(' '));
        const char* who = m.msg.sender.c_str();
        if (platform::iequals(stat, "DELIVRD"))
            body = platform::strprintf("DELIVERED.\r\n\r\nMessage delivered to %s", who);
        else if (platform::iequals(stat, "ENROUTE") || platform::iequals(stat, "ACCEPTD"))
            body = platform::strprintf("SENT.\r\n\r\nMessage sent to %s", who);
        else
            body = platform::strprintf("ERROR.\r\n\r\nMessage NOT delivered to %s", who);
    }
    std::string from = without_controls(m.msg.sender) + "@" +
                       std::string(platform::trim(frame::ini_string("SMSDomainName", "")));
    const std::string dir = support::GetProgramDataDirectory() + "MMSCOUT/";
    std::optional<std::string> path =
        store::create_request_file(dir, "RFC", mail_text(to, from, subject, body, platform::now()));
    if (!path) {
        frame::debug_tracef(kExecTrace, "Unable to create mail file in %s", dir.c_str());
        return r;
    }
    r.ok = true;
    return r;
}

ActionResult reply_action(std::string_view action_text) {
    ActionResult r;
    std::string_view file, text;
    if (platform::istarts_with(action_text, "replyfile:")) {
        file = action_text.substr(10);
        size_t amp = platform::ifind(file, "&&replytext:");
        if (amp != std::string_view::npos) {
            text = file.substr(amp + 12);
            file = file.substr(0, amp);
        }
    } else {
        text = action_text.substr(10);  // after "replytext:"
    }
    if (!file.empty()) {
        std::optional<std::string> content =
            platform::read_file(std::string(platform::trim(file)), kMaxCommandOutput);
        if (!content) {
            frame::debug_tracef(kExecTrace, "Unable to read reply file %.*s", int(file.size()),
                                file.data());
            return r;
        }
        r.reply = *content;
    }
    r.reply += text;
    r.ok = true;
    return r;
}

ActionResult program_action(const TwoWayAction& a) {
    ActionResult r;
    if (a.argv.empty() || a.argv[0].empty()) {
        frame::debug_trace(kExecTrace, "Empty command");
        return r;
    }
    platform::SpawnOptions opt;
    std::optional<store::ScratchFile> out;
    if (a.send_response) {
        out = store::create_scratch_file(support::GetPrivateDataDirectory(), "OUT");
        if (!out) {
            frame::debug_trace(kExecTrace, "Unable to create command output file");
            return r;
        }
        opt.stdout_path = out->path;
    }
    platform::SpawnResult s = platform::run_process(a.argv, opt, kCommandTimeoutMs);
    r.ok = true;
    if (!s.started) {
        r.reply = "Command not completed.  System error executing associated command.";
    } else {
        if (s.timed_out)
            frame::debug_tracef(kExecTrace, "Command stopped after %u ms: %s", kCommandTimeoutMs,
                                a.text.c_str());
        if (out) r.reply = platform::read_file(out->path, kMaxCommandOutput).value_or("");
        // The line end a program closes its output with is not part of the answer.
        while (!r.reply.empty() && (r.reply.back() == '\n' || r.reply.back() == '\r'))
            r.reply.pop_back();
        if (a.send_response && platform::trim(r.reply).empty())
            frame::debug_trace(kExecTrace, "Command response is blank, no reply will be sent");
    }
    if (out) {
        platform::remove_file(out->path);
        out->file.close();
    }
    return r;
}

}  // namespace

std::string command_prefix(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && n<kPrefixMax&& static_cast<unsigned char>(text[n])> 32) ++n;
    return std::string(text.substr(0, n));
}

std::string choose_keyword(const std::vector<std::string>& keywords, std::string_view prefix,
                           std::string_view recipient) {
    std::string best;
    long best_len = -1;
    bool listed = false;  // a candidate with a matching recipient list was found
    for (const std::string& value : keywords) {
        std::string_view v = value;
        size_t hash = v.find("##");
        std::string_view pattern = platform::trim(v.substr(0, hash));
        std::string_view list = hash == std::string_view::npos ? std::string_view()
                                                               : platform::trim(v.substr(hash + 2));
        if (list == "*") list = {};
        if (!delivery::route_pattern_match(pattern, prefix)) continue;
        frame::debug_tracef(kTrace, "Found 2-way command prefix match %s", value.c_str());
        if (!list.empty()) {
            bool match = false;
            size_t pos = 0;
            while (!match && pos <= list.size()) {
                size_t comma = list.find(',', pos);
                if (comma == std::string_view::npos) comma = list.size();
                std::string_view item = platform::trim(list.substr(pos, comma - pos));
                if (!item.empty() && delivery::route_pattern_match(item, recipient)) match = true;
                pos = comma + 1;
            }
            frame::debug_tracef(kTrace,
                                match ? "2-way command recipient %.*s matches %.*s"
                                      : "2-way command recipient %.*s does not match %.*s",
                                int(recipient.size()), recipient.data(), int(list.size()),
                                list.data());
            if (!match) continue;
            if (!listed) {
                listed = true;
                best.clear();
                best_len = -1;
            }
        } else if (listed) {
            frame::debug_trace(kTrace, "Already found a better 2-way command for this message");
            continue;
        }
        long len = long(pattern.size()) + (platform::iequals(pattern, prefix) ? 1 : 0);
        if (len > best_len) {
            best = value;
            best_len = len;
            frame::debug_tracef(kTrace, "Best match so far for 2-way command prefix %s",
                                value.c_str());
        } else {
            frame::debug_tracef(kTrace, "Already found a better match than 2-way command prefix %s",
                                value.c_str());
        }
    }
    return best;
}

std::vector<std::string> keyword_actions(std::string_view keyword_value, bool& send_response) {
    const std::string section = "2Way-Keyword-" + std::string(keyword_value);
    auto get = [&](std::string_view key) {
        return std::string(platform::trim(support::SMSIniGetProfileString(section, key, "")));
    };
    std::vector<std::string> out;
    if (std::string v = get("DListAdd"); !v.empty()) out.push_back("dlistadd:" + v);
    if (std::string v = get("DListRemove"); !v.empty()) out.push_back("dlistremove:" + v);
    if (std::string v = get("MailTo"); !v.empty())
        out.push_back(platform::istarts_with(v, "mailto:") ? v : "mailto:" + v);
    std::string reply_text = get("ReplyText");
    if (std::string v = get("ReplyFile"); !v.empty())
        out.push_back("replyfile:" + v + (reply_text.empty() ? "" : "&&replytext:" + reply_text));
    else if (!reply_text.empty())
        out.push_back("replytext:" + reply_text);
    if (std::string v = get("Run"); !v.empty()) out.push_back(v);
    send_response = frame::parse_bool(get("RunSendResponse"));
    return out;
}

Placeholders placeholders_for(const TwoWayMessage& m, std::string_view text) {
    std::string prefix = command_prefix(text);
    std::string_view after = text.substr(prefix.size());
    while (!after.empty() && static_cast<unsigned char>(after[0]) <= 32) after.remove_prefix(1);
    const store::SmsMessage& s = m.msg;
    return {
        {"SENDER", s.sender},
        {"RECIP", s.phone_number},
        {"SMSPREFIX", prefix},
        {"FULLSMS", std::string(text)},
        {"TEXT", std::string(text)},
        {"SMS", std::string(after)},
        {"BINARY", s.binary ? "1" : "0"},
        {"UDH", s.udh},
        {"PID", platform::strprintf("%02X", unsigned(s.pid))},
        {"DCS", platform::strprintf("%02X", unsigned(s.dcs))},
        {"MESSAGEID", m.message_id},
        {"RECEIPTMESSAGEID", s.receipt_message_id},
        {"SERVICETYPE", s.service_type},
        {"RECEIVEDSMSC", s.received_smsc},
        {"SMSCROUTE", m.route},
        {"SMSCROUTEID", s.link_name},
        {"MSGDATE", m.msg_date},
        {"MSGTIME", m.msg_time},
        {"SCTS", s.scts},
        {"SENDERFULLNAME", ""},
    };
}

std::string replace_placeholders(std::string_view action, const Placeholders& values,
                                 bool url_escape) {
    std::string out;
    size_t pos = 0;
    while (pos < action.size()) {
        size_t open = action.find("@@", pos);
        if (open == std::string_view::npos) break;
        size_t close = action.find("@@", open + 2);
        if (close == std::string_view::npos) break;
        std::string_view name = action.substr(open + 2, close - open - 2);
        const std::string* value = nullptr;
        for (const auto& [n, v] : values)
            if (platform::iequals(n, name)) value = &v;
        out.append(action.substr(pos, open - pos));
        if (!value) {
            // Not a placeholder: the first "@@" stays and the scan goes on
            // behind it (the second may open a real one).
            out += "@@";
            pos = open + 2;
            continue;
        }
        out += url_escape ? platform::url_encode(*value) : without_controls(*value);
        pos = close + 2;
    }
    out.append(action.substr(std::min(pos, action.size())));
    return out;
}

std::vector<std::string> command_argv(std::string_view command, const Placeholders& values) {
    std::vector<std::string> args;
    std::string cur;
    bool in_arg = false, quoted = false;
    for (char c : command) {
        if (c == '"') {
            quoted = !quoted;
            in_arg = true;
        } else if (!quoted && static_cast<unsigned char>(c) <= 32) {
            if (in_arg) args.push_back(std::move(cur));
            cur.clear();
            in_arg = false;
        } else {
            cur += c;
            in_arg = true;
        }
    }
    if (in_arg) args.push_back(std::move(cur));
    // The program itself is the configuration's: a placeholder there is
    // not replaced, so that no sender can choose what runs.
    for (size_t i = 1; i < args.size(); ++i) args[i] = replace_placeholders(args[i], values, false);
    return args;
}

bool is_url_action(std::string_view a) {
    return platform::istarts_with(a, "http://") || platform::istarts_with(a, "https://") ||
           platform::istarts_with(a, "httppost://") || platform::istarts_with(a, "httpspost://");
}

bool GetProgramToExecute(const TwoWayMessage& m, unsigned index, TwoWayAction& action) {
    action = TwoWayAction{};
    const std::string text = message_text(m);
    const std::string prefix = command_prefix(text);
    std::vector<std::string> keywords;
    for (unsigned i = 1; i <= kKeywordMax; ++i) {
        std::string v(platform::trim(support::SMSIniGetProfileString(
            "2Way-Keywords", platform::strprintf("Keyword%u", i), "")));
        if (v.empty()) break;
        keywords.push_back(std::move(v));
    }
    std::string win = choose_keyword(keywords, prefix, m.msg.phone_number);
    if (win.empty()) return false;
    bool send_response = false;
    std::vector<std::string> actions = keyword_actions(win, send_response);
    if (index >= actions.size()) return false;
    const std::string& a = actions[index];
    Placeholders values = placeholders_for(m, text);
    action.send_response = send_response;
    if (platform::iequals(a, "mailto:@@SMSPREFIX@@")) {
        // The first word is the address, the rest is the mail.
        std::string_view rest = std::string_view(text).substr(prefix.size());
        while (!rest.empty() && static_cast<unsigned char>(rest[0]) <= 32) rest.remove_prefix(1);
        action.text =
            "mailto:" + platform::url_encode(prefix) + "?body=" + platform::url_encode(rest);
    } else if (is_url_action(a) || platform::istarts_with(a, "mailto:")) {
        action.text = replace_placeholders(a, values, true);
    } else if (platform::istarts_with(a, "replyfile:")) {
        // A value inside the file's path can name no other directory.
        size_t amp = platform::ifind(a, "&&replytext:");
        std::string_view file = std::string_view(a).substr(0, amp);
        Placeholders in_path = values;
        for (auto& [n, v] : in_path) v = platform::clean_path_part(v);
        action.text = replace_placeholders(file, in_path, false);
        if (amp != std::string::npos)
            action.text += replace_placeholders(std::string_view(a).substr(amp), values, false);
    } else if (platform::istarts_with(a, "replytext:") || platform::istarts_with(a, "dlistadd:") ||
               platform::istarts_with(a, "dlistremove:")) {
        action.text = replace_placeholders(a, values, false);
    } else {
        action.program = true;
        action.argv = command_argv(a, values);
        action.text = replace_placeholders(a, values, false);
    }
    return true;
}

ActionResult execute_action(const TwoWayMessage& m, const TwoWayAction& a,
                            frame::KeepAlive* keep_alive) {
    frame::debug_tracef(kExecTrace, "Executing %s", a.text.c_str());
    if (a.program) return program_action(a);
    if (is_url_action(a.text)) return fetch_action(m, a, keep_alive);
    if (platform::istarts_with(a.text, "replytext:") ||
        platform::istarts_with(a.text, "replyfile:"))
        return reply_action(a.text);
    if (platform::istarts_with(a.text, "dlistadd:")) return dlist_action(m, a.text.substr(9), true);
    if (platform::istarts_with(a.text, "dlistremove:"))
        return dlist_action(m, a.text.substr(12), false);
    if (platform::istarts_with(a.text, "mailto:")) return mail_action(m, a.text);
    return program_action(a);
}

std::string mail_text(std::string_view to, std::string_view from, std::string_view subject,
                      std::string_view body, time_t when) {
    std::string t = without_controls(to);
    std::string out;
    out += "To: " + t + "\r\n";
    out += "X-MMSC-RCPT-TO: " + t + "\r\n";
    out += "Date: " + frame::rfc822_date(when) + "\r\n";
    out += "From: " + without_controls(from) + "\r\n";
    out += "Subject: " + without_controls(subject) + "\r\n";
    out += "\r\n";
    // Line ends of the body as mail wants them.
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    out += "\r\n";
    return out;
}

}  // namespace inbound
