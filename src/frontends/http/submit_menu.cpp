// The web menu pages.
#include "frontends/http/submit_menu.h"

#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/quotas.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace frontends::http {

namespace {

constexpr size_t kMaxMenuPageBytes = 1u << 20;

bool options_are(std::string_view options, std::initializer_list<std::string_view> names) {
    if (platform::trim(options).empty()) return true;
    for (std::string_view n : names)
        if (platform::iequals(platform::trim(options), n)) return true;
    return false;
}

// Keeps or removes every block of that name.
void apply_block(std::string& page, std::string_view name, bool keep) {
    const std::string start = "<!@@StartBlock" + std::string(name) + "@@>";
    const std::string end = "<!@@EndBlock" + std::string(name) + "@@>";
    size_t pos = 0;
    while ((pos = page.find(start, pos)) != std::string::npos) {
        size_t stop = page.find(end, pos + start.size());
        if (stop == std::string::npos) {
            page.erase(pos, start.size());  // an unterminated block keeps its text
            continue;
        }
        if (keep) {
            page.erase(stop, end.size());
            page.erase(pos, start.size());
        } else {
            page.erase(pos, stop + end.size() - pos);
        }
    }
}

void replace_all(std::string& text, std::string_view token, std::string_view value) {
    size_t pos = 0;
    while ((pos = text.find(token, pos)) != std::string::npos) {
        text.replace(pos, token.size(), value);
        pos += value.size();
    }
}

std::string route_select(std::string_view name, const std::vector<std::string>& routes) {
    std::string out =
        "<select name=\"" + std::string(name) + "\"><option value=\"\">(default)</option>";
    for (const std::string& r : routes) {
        std::string option = "<option value=\"@@ROUTELISTVALUE@@\">@@ROUTELISTNAME@@</option>";
        replace_all(option, "@@ROUTELISTVALUE@@", html_escape(r));
        replace_all(option, "@@ROUTELISTNAME@@", html_escape(r));
        out += option;
    }
    return out + "</select>";
}

}  // namespace

std::string fill_menu_page(std::string page, const MenuContext& m) {
    const std::string& o = m.web_options;
    apply_block(page, "TextSMS", true);
    apply_block(page, "MMS", options_are(o, {"All", "SMSMMS", "SMSMMSWAPMM"}) && !m.disable_mms);
    apply_block(page, "WAPMM",
                options_are(o, {"All", "SMSWAPMM", "SMSMMSWAPMM"}) && !m.disable_mm_wap);
    apply_block(page, "AdvOption", options_are(o, {"All"}) && !m.disable_adv_option);
    apply_block(page, "Advanced", options_are(o, {"All"}));
    apply_block(page, "Heavy", true);
    apply_block(page, "Admin", m.admin_enabled);
    apply_block(page, "EnableInbox", m.receive_enabled);
    apply_block(page, "UserLoggedIn", m.logged_in);
    apply_block(page, "IniWebDisplaySender", m.display_sender);
    apply_block(page, "IniWebDisplayRoute", m.display_route);
    apply_block(page, "AvailableCredits", m.logged_in && m.has_credits);
    if (m.has_credits) replace_all(page, "@@AvailableCredits@@", html_escape(m.credits));
    replace_all(page, "@@SMSCROUTELIST@@", route_select("SMSCRoute", m.smsc_routes));
    replace_all(page, "@@MMSCROUTELIST@@", route_select("MMSCRoute", {}));
    return page;
}

std::vector<std::string> configured_routes() {
    std::vector<std::string> out;
    for (unsigned n = 1;; ++n) {
        std::string link = frame::ini_string(platform::strprintf("Modem%u", n), "", 256);
        if (link.empty()) break;
        std::string route =
            support::SMSIniGetProfileString(frame::link_section_name(link), "RouteName", "");
        if (route.empty()) route = link;
        bool seen = false;
        for (const std::string& r : out) seen = seen || platform::iequals(r, route);
        if (!seen) out.push_back(route);
    }
    return out;
}

bool handle_web_menu(Connection& c, Request& r) {
    std::string_view path = r.line.path;
    size_t q = path.find('?');
    if (q != std::string_view::npos) path = path.substr(0, q);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    std::string rel = clean_static_path(path);
    if (rel.empty() && !path.empty()) return false;  // climbs out: no page

    std::vector<std::string> dirs;
    if (!c.account.empty()) dirs.push_back(frame::user_dir(c.account) + "html/");
    dirs.push_back(support::GetRealProgramDirectory() + "html/");
    // The page is read through the handle that was checked, never by its
    // name again.
    std::string file;
    platform::FileHandle h;
    for (const std::string& name : {rel, std::string("default.htm")}) {
        if (name.empty()) continue;
        for (const std::string& d : dirs) {
            h = open_static_file(d, name);
            if (h.valid()) {
                file = d + name;
                break;
            }
        }
        if (h.valid()) break;
    }
    if (!h.valid()) return false;
    std::optional<uint64_t> size = platform::fd_size(h.fd());
    if (!size || *size > kMaxMenuPageBytes) return false;
    std::optional<std::string> body(std::string(size_t(*size), '\0'));
    if (platform::pread_all(h.fd(), body->data(), body->size(), 0) != body->size()) return false;

    const char* type = file.find(".gif") != std::string::npos   ? "image/gif"
                       : file.find(".jpg") != std::string::npos ? "image/jpeg"
                                                                : "text/html";
    if (std::string_view(type) == "text/html") {
        MenuContext m;
        m.logged_in = !c.account.empty();
        m.web_options = c.web_options;
        m.admin_enabled = c.admin_enabled;
        m.receive_enabled = c.receive_enabled;
        m.disable_mms = frame::ini_bool("WebDisableMMS", false);
        m.disable_mm_wap = frame::ini_bool("WebDisableMMWAP", false);
        m.disable_adv_option = frame::ini_bool("WebDisableAdvOption", false);
        m.display_sender = frame::ini_bool("WebDisplaySender", false);
        m.display_route = frame::ini_bool("WebDisplayRoute", false);
        if (m.logged_in && records::credit_file_exists(c.account)) {
            m.has_credits = true;
            m.credits = records::credit_text(
                records::CreditOperation(records::quota_entry(c.account), c.account, nullptr, 0,
                                         records::CreditMode::Check));
        }
        m.smsc_routes = configured_routes();
        *body = fill_menu_page(std::move(*body), m);
    }
    std::string header =
        platform::strprintf("%s 200 OK\r\n%sContent-Type: %s\r\nContent-Length: %u\r\n\r\n",
                            http_version(c), connection_header(c), type, unsigned(body->size()));
    if (!SendData(c, header, *body)) c.keep_alive = false;
    return true;
}

void register_web_menu_handler() {
    register_route_handler(Route::WebMenu, &handle_web_menu);
}

}  // namespace frontends::http
