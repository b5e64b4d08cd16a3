// Directory roots: worked out once from $SMSGW_HOME and the running
// executable, created when missing, then handed out as copies.
#include "support/directories.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"

namespace support {

namespace {

constexpr const char* kDefaultHome = "./smsgw-data";

struct Roots {
    std::string program_data;
    std::string private_data;
    std::string logs;
    std::string mms_logs;
    std::string program;
};

std::mutex g_mu;
bool g_ready = false;
Roots g_roots;

std::string current_dir() {
    std::string buf(256, '\0');
    for (int i = 0; i < 8; ++i) {
        if (::getcwd(buf.data(), buf.size())) return std::string(buf.c_str());
        if (errno != ERANGE) break;
        buf.resize(buf.size() * 4);
    }
    return {};
}

// "./x", "x" and "/a/./b" become absolute paths without "." parts.
std::string absolute(std::string_view path) {
    std::string base = path.empty() || path.front() != '/' ? current_dir() : std::string();
    std::string joined = base.empty() ? std::string(path) : base + "/" + std::string(path);
    std::string out;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t slash = joined.find('/', pos);
        if (slash == std::string::npos) slash = joined.size();
        std::string_view part(joined.data() + pos, slash - pos);
        if (!part.empty() && part != ".") out.append("/").append(part);
        pos = slash + 1;
    }
    return out.empty() ? "/" : out;
}

std::string make_dir(std::string dir) {
    dir = platform::with_trailing_slash(dir);
    if (!platform::ensure_dir(dir))
        platform::trace(
            "GetProgramDataDirectory",
            platform::strprintf("Cannot create %s (%s)", dir.c_str(), std::strerror(errno)));
    return dir;
}

// Copies under the lock: a reset from a test must not tear a string.
std::string copy_of(std::string Roots::*member) {
    std::lock_guard lk(g_mu);
    if (!g_ready) {
        const char* env = std::getenv("SMSGW_HOME");
        std::string home = absolute(env && *env ? env : kDefaultHome);
        g_roots.program_data = make_dir(home);
        g_roots.private_data = make_dir(g_roots.program_data + "PRIVATE");
        g_roots.logs = make_dir(g_roots.program_data + "LOGS");
        g_roots.mms_logs = make_dir(g_roots.program_data + "MMSLOGS");
        g_roots.program = platform::with_trailing_slash(platform::program_directory());
        g_ready = true;
    }
    return g_roots.*member;
}

}  // namespace

std::string GetProgramDataDirectory() {
    return copy_of(&Roots::program_data);
}
std::string GetPrivateDataDirectory() {
    return copy_of(&Roots::private_data);
}
std::string GetLogDirectory() {
    return copy_of(&Roots::logs);
}
std::string GetDebugLogDirectory() {
    return copy_of(&Roots::logs);
}
std::string GetRealProgramDirectory() {
    return copy_of(&Roots::program);
}
std::string GetMMSCLogDirectory() {
    return copy_of(&Roots::mms_logs);
}

void reset_directory_roots_for_tests() {
    std::lock_guard lk(g_mu);
    g_ready = false;
    g_roots = Roots{};
}

}  // namespace support
