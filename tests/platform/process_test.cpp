// Tests of helper-program spawning: exit status, redirection, environment,
// pipes, time-out kills and program lookup.
#include "platform/process.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "test_util.h"

using namespace platform;
using platform_test::TempDir;

namespace {

SpawnResult sh(const std::string& script, const SpawnOptions& opt = {}, unsigned timeout = 10000) {
    return run_process({"sh", "-c", script}, opt, timeout);
}

// True once pid is gone or only a zombie (waiting for whoever reaps it).
bool process_gone(int pid) {
    auto stat = read_file(strprintf("/proc/%d/stat", pid));
    if (!stat) return true;
    size_t paren = stat->rfind(')');
    return paren != std::string::npos && paren + 2 < stat->size() && (*stat)[paren + 2] == 'Z';
}

}  // namespace

TEST(RunProcess, ExitStatusTable) {
    struct Case {
        std::string script;
        int status;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 255", 255},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        SpawnResult r = sh(c.script);
        EXPECT_TRUE(r.started) << c.script;
        EXPECT_FALSE(r.timed_out) << c.script;
        EXPECT_EQ(r.exit_status, c.status) << c.script;
    }
}

TEST(RunProcess, AbsolutePathAndMissingProgram) {
    SpawnResult r = run_process({"/bin/sh", "-c", "exit 3"}, {}, 10000);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exit_status, 3);

    r = run_process({"no-such-helper-program-xyz"}, {}, 10000);
    EXPECT_FALSE(r.started);
    r = run_process({"/nonexistent/dir/prog"}, {}, 10000);
    EXPECT_FALSE(r.started);
    r = run_process({}, {}, 10000);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exit_status, -1);
}

TEST(RunProcess, OutputRedirectionTruncateAndAppend) {
    TempDir dir;
    SpawnOptions opt;
    opt.stdout_path = dir / "out.txt";
    ASSERT_TRUE(append_file(opt.stdout_path, "previous content\n"));
    ASSERT_EQ(sh("echo out; echo err >&2", opt).exit_status, 0);
    EXPECT_EQ(read_file(opt.stdout_path), std::optional<std::string>("out\nerr\n"));

    opt.append_output = true;
    ASSERT_EQ(sh("printf more", opt).exit_status, 0);
    EXPECT_EQ(read_file(opt.stdout_path), std::optional<std::string>("out\nerr\nmore"));

    // Output to a directory that does not exist: nothing is started.
    opt.stdout_path = dir / "none/out.txt";
    EXPECT_FALSE(sh("echo x", opt).started);
}

TEST(RunProcess, StandardErrorKeptApart) {
    TempDir dir;
    SpawnOptions opt;
    opt.stdout_path = dir / "out.txt";
    opt.stderr_to_stdout = false;
    ASSERT_EQ(sh("echo out; echo err >&2 2>/dev/null", opt).exit_status, 0);
    EXPECT_EQ(read_file(opt.stdout_path), std::optional<std::string>("out\n"));
}

TEST(RunProcess, InputFromFileOrNothing) {
    TempDir dir;
    SpawnOptions opt;
    opt.stdin_path = dir / "in.txt";
    opt.stdout_path = dir / "out.txt";
    std::string input("first line\nsecond\0line\n", 24);
    ASSERT_TRUE(create_new_file(opt.stdin_path, input));
    ASSERT_EQ(run_process({"cat"}, opt, 10000).exit_status, 0);
    EXPECT_EQ(read_file(opt.stdout_path), std::optional<std::string>(input));

    // Without an input file the child reads end-of-file, not our stdin.
    opt.stdin_path.clear();
    ASSERT_EQ(run_process({"wc", "-c"}, opt, 10000).exit_status, 0);
    EXPECT_EQ(std::string(trim(*read_file(opt.stdout_path))), "0");

    opt.stdin_path = dir / "missing.txt";
    EXPECT_FALSE(run_process({"cat"}, opt, 10000).started);
}

TEST(RunProcess, WorkingDirectoryAndEnvironment) {
    TempDir dir;
    ASSERT_TRUE(ensure_dir(dir / "work"));
    SpawnOptions opt;
    opt.stdout_path = dir / "out.txt";
    opt.working_dir = dir / "work";
    opt.extra_env = {"SMSGW_TEST_VAR=hello world", "HOME=/replaced"};
    ASSERT_EQ(sh("pwd; echo \"$SMSGW_TEST_VAR\"; echo \"$HOME\"", opt).exit_status, 0);
    std::string real_work = std::filesystem::canonical(dir / "work").string();
    EXPECT_EQ(read_file(opt.stdout_path),
              std::optional<std::string>(real_work + "\nhello world\n/replaced\n"));

    opt.working_dir = dir / "missing";
    SpawnResult r = sh("true", opt);
    EXPECT_FALSE(r.started && r.exit_status == 0);
}

TEST(RunProcess, ChildGetsDefaultSignalHandling) {
    // The gateway ignores SIGPIPE; its helpers must not inherit that.
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ign, &old), 0);
    SpawnResult r = sh("kill -PIPE $$; exit 0");
    ::sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(r.exit_status, 128 + SIGPIPE);
}

TEST(RunProcess, TimeOutKillsWithinBound) {
    const uint64_t start = monotonic_ms();
    SpawnResult r = run_process({"sleep", "30"}, {}, 200);
    const uint64_t took = monotonic_ms() - start;
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_status, 128 + SIGKILL);
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 10000u);
}

TEST(RunProcess, TimeOutAlsoKillsGrandchildren) {
    TempDir dir;
    std::string pidfile = dir / "pid";
    SpawnResult r = sh("sleep 30 & echo $! > '" + pidfile + "'; wait", {}, 300);
    EXPECT_TRUE(r.timed_out);
    auto text = read_file(pidfile);
    ASSERT_TRUE(text.has_value());
    int gpid = std::atoi(text->c_str());
    ASSERT_GT(gpid, 0);
    bool gone = false;
    const uint64_t start = monotonic_ms();
    while (!(gone = process_gone(gpid)) && monotonic_ms() - start < 5000) sleep_ms(10);
    EXPECT_TRUE(gone) << "grandchild " << gpid << " survived the time-out";
    if (!gone) ::kill(gpid, SIGKILL);
}

TEST(SpawnPiped, TalksThroughPipes) {
    auto c = spawn_piped({"tr", "a-z", "A-Z"}, {});
    ASSERT_TRUE(c.has_value());
    ASSERT_GT(c->pid, 0);
    const std::string msg = "hello pipes\n";
    ASSERT_EQ(::write(c->stdin_fd, msg.data(), msg.size()), ssize_t(msg.size()));
    ::close(c->stdin_fd);
    c->stdin_fd = -1;
    std::string got;
    char buf[256];
    const uint64_t start = monotonic_ms();
    while (monotonic_ms() - start < 10000) {
        ssize_t n = ::read(c->stdout_fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, "HELLO PIPES\n");
    SpawnResult r = wait_child(*c, 10000);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(c->pid, -1);
    EXPECT_EQ(c->stdout_fd, -1);
}

TEST(SpawnPiped, WaitClosesInputAndKillsAHangingChild) {
    // cat ends when its input closes.
    auto c = spawn_piped({"cat"}, {});
    ASSERT_TRUE(c.has_value());
    SpawnResult r = wait_child(*c, 10000);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(r.timed_out);

    // One that ignores its input is killed at the time-out.
    c = spawn_piped({"sleep", "30"}, {});
    ASSERT_TRUE(c.has_value());
    r = wait_child(*c, 100);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_status, 128 + SIGKILL);
    EXPECT_EQ(c->stdin_fd, -1);

    EXPECT_FALSE(spawn_piped({"no-such-helper-program-xyz"}, {}).has_value());
}

TEST(SpawnPiped, ParentEndsAreNotInherited) {
    // A second child must not hold the first one's input open, or the first
    // would never see end-of-file.
    auto first = spawn_piped({"cat"}, {});
    ASSERT_TRUE(first.has_value());
    auto second = spawn_piped({"sleep", "30"}, {});
    ASSERT_TRUE(second.has_value());
    SpawnResult r = wait_child(*first, 5000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    wait_child(*second, 0);
}

TEST(FindHelperProgram, ProgramDirectoryThenPath) {
    TempDir dir;
    const std::string name = strprintf("smsgw-helper-test-%d", int(::getpid()));
    auto make_exe = [](const std::string& path) {
        ASSERT_TRUE(replace_file(path, "#!/bin/sh\nexit 0\n"));
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    };
    const char* old_path = ::getenv("PATH");
    std::string saved = old_path ? old_path : "";
    std::string path_dir = dir / "bin";
    ASSERT_TRUE(ensure_dir(path_dir));
    ::setenv("PATH", (path_dir + ":" + saved).c_str(), 1);

    EXPECT_EQ(find_helper_program(name), std::nullopt);
    make_exe(path_dir + "/" + name);
    EXPECT_EQ(find_helper_program(name), std::optional<std::string>(path_dir + "/" + name));

    std::string in_program_dir = program_directory() + name;
    make_exe(in_program_dir);
    EXPECT_EQ(find_helper_program(name), std::optional<std::string>(in_program_dir));
    ::unlink(in_program_dir.c_str());

    // Not executable: passed by.
    ASSERT_EQ(::chmod((path_dir + "/" + name).c_str(), 0644), 0);
    EXPECT_EQ(find_helper_program(name), std::nullopt);

    ::setenv("PATH", saved.c_str(), 1);
    auto sh_path = find_helper_program("sh");
    ASSERT_TRUE(sh_path.has_value());
    EXPECT_TRUE(iends_with(*sh_path, "/sh"));
    EXPECT_EQ(find_helper_program(""), std::nullopt);
    EXPECT_EQ(find_helper_program("/bin/sh"), std::optional<std::string>("/bin/sh"));
}

TEST(CurrentThreadId, DiffersPerThread) {
    EXPECT_EQ(current_thread_id(), int(::getpid()));
    int other = 0;
    std::thread t([&] { other = current_thread_id(); });
    t.join();
    EXPECT_GT(other, 0);
    EXPECT_NE(other, current_thread_id());
}
