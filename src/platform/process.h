// Helper-program spawning with redirected descriptors and a bounded wait.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SpawnOptions {
    std::string stdin_path;   // empty: /dev/null
    std::string stdout_path;  // empty: /dev/null; appended when append_output
    bool stderr_to_stdout = true;
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
// timeout_ms, then kills it (SIGKILL) and reaps it.
SpawnResult run_process(const std::vector<std::string>& argv, const SpawnOptions& opt,
                        unsigned timeout_ms);

// A child with pipes to its stdin and stdout, for bridges that talk to it.
struct ChildProcess {
    int pid = -1;
    int stdin_fd = -1;   // write end
    int stdout_fd = -1;  // read end
};
std::optional<ChildProcess> spawn_piped(const std::vector<std::string>& argv,
                                        const SpawnOptions& opt);
// Waits at most timeout_ms for the child, then kills it; closes its pipes.
SpawnResult wait_child(ChildProcess& child, unsigned timeout_ms);

// Finds a helper program: first in the program directory, then on PATH.
std::optional<std::string> find_helper_program(const std::string& name);

// Kernel thread id of the caller (gettid).
int current_thread_id();

}  // namespace platform
