// Helper-program spawning with redirected descriptors and a bounded wait.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SpawnOptions {
    std::string stdin_path;   // empty: /dev/null
    std::string stdout_path;  // empty: /dev/null; appended when append_output
    bool stderr_to_stdout = true;  // false: the child keeps the gateway's stderr
    bool append_output = false;
    std::string working_dir;  // empty: inherit
    std::vector<std::string> extra_env;  // "NAME=value" added to the environment
};

struct SpawnResult {
    bool started = false;
    bool timed_out = false;  // killed after the time-out
    int exit_status = -1;    // exit code, or 128+signal
};

// Runs argv[0] (looked up on PATH when it has no '/'), waits at most
// timeout_ms, then kills it (SIGKILL) and reaps it. The child runs in its own
// process group, so the kill also ends anything it started, and with default
// signal handling. started is false when the program or a redirection file
// cannot be opened.
SpawnResult run_process(const std::vector<std::string>& argv, const SpawnOptions& opt,
                        unsigned timeout_ms);

// A child with pipes to its stdin and stdout, for bridges that talk to it
// (stdin_path / stdout_path are not used). The parent ends are close-on-exec.
struct ChildProcess {
    int pid = -1;
    int stdin_fd = -1;   // write end
    int stdout_fd = -1;  // read end
};
std::optional<ChildProcess> spawn_piped(const std::vector<std::string>& argv,
                                        const SpawnOptions& opt);
// Closes the child's input, waits at most timeout_ms for it, then kills it;
// closes its pipes. Read what you need from stdout_fd first.
SpawnResult wait_child(ChildProcess& child, unsigned timeout_ms);

// Finds a helper program: first in the program directory, then on PATH.
std::optional<std::string> find_helper_program(const std::string& name);

// Kernel thread id of the caller (gettid).
int current_thread_id();

}  // namespace platform
