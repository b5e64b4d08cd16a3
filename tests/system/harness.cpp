// System-test harness: process control and file helpers.
#include "system/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char** environ;

namespace systest {

namespace {

std::atomic<unsigned> g_instance{0};

uint64_t now_ms() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

std::string env_name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::string gateway_binary() {
#ifdef SMSGW_BINARY
    return SMSGW_BINARY;
#else
    return "smsgw";
#endif
}

bool test_hooks_built() {
#ifdef SMSGW_TEST_HOOKS
    return true;
#else
    return false;
#endif
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "smsgw-sys-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string run_command(const std::string& cmd) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
    if (!p) return out;
    char b[4096];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, p.get())) > 0) out.append(b, n);
    return out;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

bool append_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
    return bool(out);
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return (long long)st.st_size;
}

bool wait_for(const std::function<bool()>& cond, unsigned timeout_ms, unsigned step_ms) {
    uint64_t end = now_ms() + timeout_ms;
    for (;;) {
        if (cond()) return true;
        if (now_ms() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

GatewayOptions with_ini(std::string sms_ini) {
    GatewayOptions opt;
    opt.sms_ini = std::move(sms_ini);
    return opt;
}

Gateway::Gateway(std::string home) : home_(std::move(home)) {
    if (home_.empty() || home_.back() != '/') home_ += '/';
    std::error_code ec;
    std::filesystem::create_directories(home_, ec);
    std::string base = home_.substr(0, home_.size() - 1);
    unsigned n = ++g_instance;
    out_path_ = base + "." + std::to_string(n) + ".stdout";
    err_path_ = base + "." + std::to_string(n) + ".stderr";
}

Gateway::~Gateway() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
}

namespace {

// A loopback port nobody listens on right now (the kernel's choice).
unsigned free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// True when some line of text sets key ("key=" or "key =", any case).
bool sets_key(const std::string& text, std::string_view key) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line.size() - i < key.size()) continue;
        bool same = true;
        for (size_t k = 0; k < key.size(); ++k)
            if (std::tolower(static_cast<unsigned char>(line[i + k])) !=
                std::tolower(static_cast<unsigned char>(key[k])))
                same = false;
        if (!same) continue;
        size_t j = line.find_first_not_of(" \t", i + key.size());
        if (j != std::string::npos && line[j] == '=') return true;
    }
    return false;
}

}  // namespace

// Every gateway would otherwise listen on the default web port, and
// gateways of parallel test runs would fight over it: unless the test sets
// WebPort itself, SMSGW.INI gets a free one in its [SMSGW] section.
bool Gateway::ensure_own_web_port() {
    std::string path = home_ + "SMSGW.INI";
    std::string text = read_text(path);
    if (sets_key(text, "WebPort")) return true;
    if (web_port_ == 0) web_port_ = free_loopback_port();
    if (web_port_ == 0) return false;
    std::string line = "WebPort=" + std::to_string(web_port_) + "\r\n";
    size_t header = text.find("[SMSGW]");
    if (header == std::string::npos) {
        text = "[SMSGW]\r\n" + line + text;
    } else {
        size_t eol = text.find('\n', header);
        if (eol == std::string::npos) {
            text += "\r\n" + line;
        } else {
            text.insert(eol + 1, line);
        }
    }
    return write_text(path, text);
}

bool Gateway::start(const GatewayOptions& opt) {
    if (pid_ > 0) return false;
    if (!opt.sms_ini.empty() && !write_text(home_ + "SMSGW.INI", opt.sms_ini)) return false;
    if (!opt.mmsc_ini.empty() && !write_text(home_ + "MMSC.INI", opt.mmsc_ini)) return false;
    if (!ensure_own_web_port()) return false;

    std::vector<std::string> env_entries;
    std::vector<std::string> overrides = {
        "SMSGW_HOME=" + home_,
        "SMSGW_TEST_RELOAD_PAUSE_MS=" + std::to_string(opt.reload_pause_ms),
        "SMSGW_TEST_STARTUP_PAUSE_MS=" + std::to_string(opt.startup_pause_ms),
        "SMSGW_TEST_ROLLOVER_WAIT_MS=0",
    };
    if (opt.minute_seconds)
        overrides.push_back("SMSGW_TEST_MINUTE_SECONDS=" + std::to_string(opt.minute_seconds));
    overrides.insert(overrides.end(), opt.env.begin(), opt.env.end());
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& o : overrides)
            if (env_name(o) == env_name(entry)) replaced = true;
        if (!replaced && env_name(entry).rfind("SMSGW_", 0) != 0) env_entries.push_back(entry);
    }
    // Later duplicates win: keep only the last override of each name.
    for (size_t i = 0; i < overrides.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < overrides.size(); ++j)
            if (env_name(overrides[j]) == env_name(overrides[i])) later = true;
        if (!later) env_entries.push_back(overrides[i]);
    }
    std::vector<char*> envp;
    for (auto& s : env_entries) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string bin = gateway_binary();
    std::vector<char*> argv{bin.data(), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child starts with default signal dispositions and an empty mask
    // whatever the test runner had.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, bin.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    pid_ = pid;
    status_.reset();
    return true;
}

bool Gateway::running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

bool Gateway::wait_ready(unsigned timeout_ms) {
    std::string ready = home_ + "PRIVATE/TEST.READY";
    bool ok = wait_for([&] { return file_exists(ready) || !running(); }, timeout_ms);
    return ok && running() && file_exists(ready);
}

bool Gateway::send_signal(int sig) {
    if (!running()) return false;
    return ::kill(pid_, sig) == 0;
}

std::optional<int> Gateway::wait_exit(unsigned timeout_ms) {
    wait_for([&] { return !running(); }, timeout_ms, 10);
    return status_;
}

std::string Gateway::stderr_text() const {
    return read_text(err_path_);
}
std::string Gateway::stdout_text() const {
    return read_text(out_path_);
}

int Gateway::status_byte(size_t index) const {
    std::string block = read_text(home_ + "PRIVATE/KEL_SMSGW_ShMem");
    if (index >= block.size()) return -1;
    return static_cast<unsigned char>(block[index]);
}

bool Gateway::rewrite_sms_ini(const std::string& text) {
    // Written whole under another name and renamed, as an editor would
    // save it; the new inode alone marks the change.
    std::string tmp = home_ + "SMSGW.INI.new";
    std::string own = text;
    if (!sets_key(text, "WebPort") && web_port_ != 0) {
        size_t header = own.find("[SMSGW]");
        std::string line = "WebPort=" + std::to_string(web_port_) + "\r\n";
        size_t eol = header == std::string::npos ? std::string::npos : own.find('\n', header);
        if (eol == std::string::npos)
            own = "[SMSGW]\r\n" + line + own;
        else
            own.insert(eol + 1, line);
    }
    if (!write_text(tmp, own)) return false;
    return ::rename(tmp.c_str(), (home_ + "SMSGW.INI").c_str()) == 0;
}

}  // namespace systest
