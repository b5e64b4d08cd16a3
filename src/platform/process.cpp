// Helper programs started with posix_spawn, redirected descriptors, pipes and
// a bounded wait that ends in SIGKILL.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"

extern char** environ;

namespace platform {

namespace {

// Moves fd above the standard descriptors (close-on-exec kept) so that the
// child's dup2 onto 0/1/2 never meets itself.
int raise_fd(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int n = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int e = errno;
    ::close(fd);
    errno = e;
    return n;
}

int open_raised(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
    while (fd < 0 && errno == EINTR);
    return raise_fd(fd);
}

// Owns everything a posix_spawn call needs and frees it on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    std::vector<std::string> env_store;
    std::vector<char*> envp;
    std::vector<char*> argvp;

    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool prepare(const std::vector<std::string>& argv, const SpawnOptions& opt) {
        // The child starts with default signal handling and nothing blocked:
        // the gateway ignores SIGPIPE and its threads may block signals.
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attr, &all);
        ::posix_spawnattr_setsigmask(&attr, &none);
        // Own process group: a time-out kill also reaches grandchildren.
        ::posix_spawnattr_setpgroup(&attr, 0);
        ::posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
        if (!opt.working_dir.empty() &&
            ::posix_spawn_file_actions_addchdir_np(&actions, opt.working_dir.c_str()) != 0)
            return false;

        for (const std::string& a : argv) argvp.push_back(const_cast<char*>(a.c_str()));
        argvp.push_back(nullptr);

        for (char** e = environ; e && *e; ++e) {
            std::string_view cur(*e);
            std::string_view name = cur.substr(0, cur.find('='));
            bool overridden = false;
            for (const std::string& x : opt.extra_env) {
                std::string_view xn = std::string_view(x).substr(0, x.find('='));
                if (xn == name) overridden = true;
            }
            if (!overridden) env_store.emplace_back(cur);
        }
        for (const std::string& x : opt.extra_env) env_store.push_back(x);
        for (std::string& s : env_store) envp.push_back(s.data());
        envp.push_back(nullptr);
        return true;
    }

    int spawn(pid_t* pid) {
        const char* file = argvp[0];
        if (std::strchr(file, '/'))
            return ::posix_spawn(pid, file, &actions, &attr, argvp.data(), envp.data());
        return ::posix_spawnp(pid, file, &actions, &attr, argvp.data(), envp.data());
    }
};

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits for pid at most timeout_ms, polling with short sleeps; then kills
// its process group and reaps it.
SpawnResult wait_bounded(pid_t pid, unsigned timeout_ms) {
    SpawnResult res;
    res.started = true;
    const uint64_t start = monotonic_ms();
    unsigned step = 1;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            res.exit_status = decode_status(status);
            return res;
        }
        if (r < 0 && errno != EINTR) return res;  // reaped elsewhere
        uint64_t elapsed = monotonic_ms() - start;
        if (elapsed >= timeout_ms) break;
        unsigned left = unsigned(timeout_ms - elapsed);
        sleep_ms(step < left ? step : left);
        if (step < 10) ++step;
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    res.timed_out = true;
    res.exit_status = r == pid ? decode_status(status) : -1;
    return res;
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

SpawnResult run_process(const std::vector<std::string>& argv, const SpawnOptions& opt,
                        unsigned timeout_ms) {
    SpawnResult res;
    if (argv.empty() || argv[0].empty()) {
        errno = EINVAL;
        return res;
    }
    FileHandle in(
        open_raised(opt.stdin_path.empty() ? "/dev/null" : opt.stdin_path.c_str(), O_RDONLY));
    if (!in) return res;
    int out_flags = O_WRONLY;
    if (!opt.stdout_path.empty()) out_flags |= O_CREAT | (opt.append_output ? O_APPEND : O_TRUNC);
    FileHandle out(open_raised(opt.stdout_path.empty() ? "/dev/null" : opt.stdout_path.c_str(),
                               out_flags, 0666));
    if (!out) return res;

    SpawnSetup s;
    if (!s.prepare(argv, opt)) return res;
    ::posix_spawn_file_actions_adddup2(&s.actions, in.fd(), 0);
    ::posix_spawn_file_actions_adddup2(&s.actions, out.fd(), 1);
    if (opt.stderr_to_stdout) ::posix_spawn_file_actions_adddup2(&s.actions, out.fd(), 2);

    pid_t pid = -1;
    int rc = s.spawn(&pid);
    if (rc != 0) {
        errno = rc;
        return res;
    }
    in.close();
    out.close();
    return wait_bounded(pid, timeout_ms);
}

std::optional<ChildProcess> spawn_piped(const std::vector<std::string>& argv,
                                        const SpawnOptions& opt) {
    if (argv.empty() || argv[0].empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    int to_child[2], from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) return std::nullopt;
    FileHandle child_in(raise_fd(to_child[0])), parent_out(raise_fd(to_child[1]));
    if (::pipe2(from_child, O_CLOEXEC) != 0) return std::nullopt;
    FileHandle parent_in(raise_fd(from_child[0])), child_out(raise_fd(from_child[1]));
    if (!child_in || !parent_out || !parent_in || !child_out) return std::nullopt;

    SpawnSetup s;
    if (!s.prepare(argv, opt)) return std::nullopt;
    ::posix_spawn_file_actions_adddup2(&s.actions, child_in.fd(), 0);
    ::posix_spawn_file_actions_adddup2(&s.actions, child_out.fd(), 1);
    if (opt.stderr_to_stdout) ::posix_spawn_file_actions_adddup2(&s.actions, child_out.fd(), 2);

    pid_t pid = -1;
    int rc = s.spawn(&pid);
    if (rc != 0) {
        errno = rc;
        return std::nullopt;
    }
    ChildProcess c;
    c.pid = pid;
    c.stdin_fd = parent_out.release();
    c.stdout_fd = parent_in.release();
    return c;
}

SpawnResult wait_child(ChildProcess& child, unsigned timeout_ms) {
    SpawnResult res;
    // End of input first: most filters finish once their stdin closes.
    close_fd(child.stdin_fd);
    if (child.pid > 0) res = wait_bounded(child.pid, timeout_ms);
    child.pid = -1;
    close_fd(child.stdout_fd);
    return res;
}

std::optional<std::string> find_helper_program(const std::string& name) {
    if (name.empty()) return std::nullopt;
    auto runnable = [](const std::string& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) {
        if (runnable(name)) return name;
        return std::nullopt;
    }
    std::string here = program_directory() + name;
    if (runnable(here)) return here;
    const char* path = ::getenv("PATH");
    std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        size_t colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        std::string cand = dir.empty() ? "./" + name : with_trailing_slash(dir) + name;
        if (runnable(cand)) return cand;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

int current_thread_id() {
    return int(::gettid());
}

}  // namespace platform
