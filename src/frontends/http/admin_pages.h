// The administration interface ("/ADMIN"): what its pages share, and the
// status page, the XML status document and the administration commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/http/admin_template.h"
#include "frontends/http/http_server.h"

namespace frontends::http {

inline constexpr const char* kAdminNoCache =
    "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\nConnection: close\r\n";

// The "WEBADMIN/" directory of the program.
std::string webadmin_dir();

// The 403 answer for an address outside AdminIPAddressList (traced).
bool send_admin_forbidden(Connection& c);
// "HTTP/1.0 <status>", the content type, the no-cache lines, the length
// and the body.
bool send_admin_answer(Connection& c, std::string_view status, std::string_view content_type,
                       std::string_view body);

// --- status --------------------------------------------------------------------

// The links named by Modem%u of [SMSGW] (1 to 201 always tried, then up to
// the first empty value).
struct LinkInfo {
    std::string name;
    std::string route;  // RouteName, else the name
    bool up = true;     // no status file
    std::string error;  // the status file's text while down
};
std::vector<LinkInfo> configured_links();

// The active SMPP sessions from the flag files of "SMPPData/ActiveUsers/":
// every file is first deleted; one that is still held open belongs to a
// running session and is counted, a left-over one is gone.
struct SmppSession {
    std::string account, bind_kind, address;
};
std::vector<SmppSession> active_smpp_sessions();

// Outbound queue size (the queue tree's "*.REQ" files).
unsigned outbound_queue_size();

// The tokens and lists of STATUS.HTM.
TemplateData status_page_data(std::string_view post_url, std::string_view quit_url);
// The XML status document.
std::string xml_status_document();

// --- commands ----------------------------------------------------------------------

// The value of the AdminCommands entry of that name (nullopt: none).
std::optional<std::string> admin_command_value(std::string_view name);
// The AdminCommands entry of that name, when one exists: runs it and
// answers. False when the name is not a command (a static file then).
bool run_admin_command(Connection& c, const Request& r, std::string_view name);
// The program and arguments of a command value: split at blanks (double
// quotes group), the program taken below the program directory unless it
// names a path, then CmdLine's words as further arguments. Empty when the
// value is empty or CmdLine holds a shell metacharacter.
std::vector<std::string> admin_command_argv(std::string_view value, std::string_view cmd_line);
// "application/xhtml+xml", "text/html", "text/xml" or "text/plain" from the
// first 1,024 bytes of a command's output.
std::string command_content_type(std::string_view output);

// The handler of "/ADMIN" and its registration (with "/PROVISION").
bool handle_admin(Connection& c, Request& r);
void register_admin_handlers();

}  // namespace frontends::http
