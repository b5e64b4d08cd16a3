// The administration commands of section [AdminCommands]: a program run
// without a shell, the request's CmdLine words as its arguments, StdIn as
// its standard input, its output bounded in size and its run in time.
#include <atomic>

#include "frontends/http/admin_pages.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace frontends::http {

namespace {

constexpr unsigned kCommandTimeoutMs = 60000;
constexpr size_t kMaxCommandOutput = 4u << 20;
constexpr size_t kMaxParam = 64 * 1024;
constexpr size_t kTypeProbe = 1024;
constexpr std::string_view kShellMeta = ";&|`$<>(){}[]*?!~#'\"\\\r\n\t";

std::vector<std::string> split_words(std::string_view s) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, have = false;
    for (char c : s) {
        if (c == '"') {
            quoted = !quoted;
            have = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (have) out.push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur.push_back(c);
            have = true;
        }
    }
    if (have) out.push_back(cur);
    return out;
}

std::string temp_name(std::string_view what) {
    static std::atomic<unsigned> serial{0};
    return support::GetPrivateDataDirectory() +
           platform::strprintf("ADMINCMD-%d-%u.%.*s", platform::current_thread_id(),
                               serial.fetch_add(1), static_cast<int>(what.size()), what.data());
}

bool send_status_only(Connection& c, const char* line) {
    return SendData(c, std::string(line) + "Connection: close\r\nContent-Length: 0\r\n\r\n");
}

}  // namespace

std::vector<std::string> admin_command_argv(std::string_view value, std::string_view cmd_line) {
    if (cmd_line.find_first_of(kShellMeta) != std::string_view::npos) return {};
    std::vector<std::string> argv = split_words(platform::trim(value));
    if (argv.empty() || argv[0].empty()) return {};
    if (argv[0].find('/') == std::string::npos && argv[0].find('\\') == std::string::npos)
        argv[0] = support::GetRealProgramDirectory() + argv[0];
    for (std::string& w : split_words(cmd_line)) argv.push_back(std::move(w));
    return argv;
}

std::string command_content_type(std::string_view output) {
    std::string_view head = output.substr(0, kTypeProbe);
    if (platform::ifind(head, "<html xmlns=") != std::string_view::npos)
        return "application/xhtml+xml";
    if (platform::ifind(head, "<html") != std::string_view::npos) return "text/html";
    if (platform::ifind(head, "<?xml") != std::string_view::npos) return "text/xml";
    return "text/plain";
}

std::optional<std::string> admin_command_value(std::string_view name) {
    if (name.empty()) return std::nullopt;
    std::optional<std::string> value =
        support::ini_find(support::SMSIniGetFilename(), "AdminCommands", name);
    if (!value || platform::trim(*value).empty()) return std::nullopt;
    return value;
}

bool run_admin_command(Connection& c, const Request& r, std::string_view name) {
    std::optional<std::string> value = admin_command_value(name);
    if (!value) return false;
    std::string cmd_line, std_in;
    GetRequestParameter(r.bytes, "CmdLine", cmd_line, kMaxParam);
    bool has_stdin = GetRequestParameter(r.bytes, "StdIn", std_in, kMaxParam);
    std::vector<std::string> argv = admin_command_argv(*value, cmd_line);
    if (argv.empty()) {
        platform::tracef("ProcessAdminRequest", "Refused command %.*s: CmdLine not allowed",
                         static_cast<int>(name.size()), name.data());
        return send_admin_answer(c, "400 Bad Request", "text/plain",
                                 "CmdLine may hold only words without shell characters.\r\n");
    }
    std::optional<platform::FileInfo> prog = platform::stat_file(argv[0]);
    if (!prog || !prog->is_regular) {
        platform::tracef("ProcessAdminRequest", "Not found:  %s", argv[0].c_str());
        return send_status_only(c, "HTTP/1.0 404 Not Found\r\n");
    }
    platform::SpawnOptions opt;
    std::string in_path, out_path = temp_name("OUT");
    if (has_stdin) {
        in_path = temp_name("IN");
        if (!platform::replace_private_file(in_path, std_in))
            return send_status_only(c, "HTTP/1.0 500 Internal Command Error 3\r\n");
        opt.stdin_path = in_path;
    }
    if (!platform::replace_private_file(out_path, "")) {
        if (!in_path.empty()) platform::remove_file(in_path);
        return send_status_only(c, "HTTP/1.0 500 Internal Command Error 3\r\n");
    }
    opt.stdout_path = out_path;
    opt.stderr_to_stdout = true;
    opt.working_dir = support::GetRealProgramDirectory();
    platform::SpawnResult res = platform::run_process(argv, opt, kCommandTimeoutMs);
    std::optional<std::string> output = platform::read_file(out_path, kMaxCommandOutput);
    if (!in_path.empty()) platform::remove_file(in_path);
    platform::remove_file(out_path);
    if (!res.started) return send_status_only(c, "HTTP/1.0 500 Internal Command Error 2\r\n");
    if (!output) return send_status_only(c, "HTTP/1.0 500 Internal Command Error 1\r\n");
    if (res.timed_out)
        platform::tracef("ProcessAdminRequest", "Command %s stopped after %u s", argv[0].c_str(),
                         kCommandTimeoutMs / 1000);
    return send_admin_answer(c, "200 OK", command_content_type(*output), *output);
}

}  // namespace frontends::http
