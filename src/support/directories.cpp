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
#include "support/support_state.h"

namespace support {

namespace {

constexpr const char* kDefaultHome = "./smsgw-data";

using Roots = SupportState::Roots;

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
    SupportState::Directories& d = support_state().directories;
    std::lock_guard lk(d.lock);
    if (!d.ready) {
        const char* env = std::getenv("SMSGW_HOME");
        std::string home = absolute(env && *env ? env : kDefaultHome);
        d.roots.program_data = make_dir(home);
        d.roots.private_data = make_dir(d.roots.program_data + "PRIVATE");
        d.roots.logs = make_dir(d.roots.program_data + "LOGS");
        d.roots.mms_logs = make_dir(d.roots.program_data + "MMSLOGS");
        d.roots.program = platform::with_trailing_slash(platform::program_directory());
        d.ready = true;
    }
    return d.roots.*member;
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

}  // namespace support
