// End-to-end throughput of one UCP and one CIMD link (one message in flight):
// the gateway binary (smsgw beside this program) starts with N request files
// already queued and sends them over loopback to the test SMSC of
// tests/common/, which answers every submit at once. The time runs from the
// first submit the SMSC sees to the last, so start-up is not counted.
//
//   bench_link_ucp_cimd [--benchmark_filter=...]   (N = 5000 by default)
//
// Counters: msg_per_s, load1 (the one-minute load average at the end, since
// other work on the machine shows in the figure) and left_in_queue (request
// files not yet deleted shortly after the last submit; 0 expected).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/cimd_sim.h"
#include "common/ucp_sim.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "store/request_codec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string program_dir() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

double load_average() {
    double l = 0;
    std::ifstream in("/proc/loadavg");
    in >> l;
    return l;
}

unsigned free_port() {
    uint16_t port = 0;
    platform::Socket l = platform::tcp_listen("127.0.0.1", 0, 1, &port);
    return port;
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

// A temporary gateway home, removed afterwards.
struct Home {
    std::string path;
    Home() {
        std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/smsgw-bench-uc.XXXXXX";
        if (::mkdtemp(tmpl.data())) path = tmpl + "/";
    }
    ~Home() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

// The gateway process; killed (SIGKILL) when still running at the end.
struct Gateway {
    pid_t pid = -1;
    bool start(const std::string& home) {
        std::string bin = program_dir() + "/smsgw";
        std::vector<std::string> env_s;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("SMSGW_HOME=", 0) != 0) env_s.emplace_back(*e);
        env_s.push_back("SMSGW_HOME=" + home);
        std::vector<char*> env;
        for (auto& s : env_s) env.push_back(s.data());
        env.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        std::string out = home + "gateway.out";
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        char* argv[] = {bin.data(), nullptr};
        int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) pid = -1;
        return pid > 0;
    }
    void stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            platform::sleep_ms(50);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    bool alive() { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }
    ~Gateway() { stop(); }
};

template <class Sim, class IsSubmit>
void run_link(benchmark::State& state, const char* word, IsSubmit is_submit) {
    const unsigned n = unsigned(state.range(0));
    double rate = 0, left = 0;
    for (auto _ : state) {
        Home home;
        if (home.path.empty()) {
            state.SkipWithError("no temporary home");
            return;
        }
        fs::create_directories(home.path + "Q");
        for (unsigned i = 0; i < n; ++i) {
            std::string name = platform::strprintf("%08X.req", 0x10000000u + i);
            store::SmsMessage msg;
            msg.sender = "1234";
            msg.data = platform::strprintf("Benchmark message %u", i);
            msg.phone_number = platform::strprintf("06%08u", i);
            std::string body = store::format_request(msg);
            std::string tmp = home.path + "Q/." + name;
            if (!write_file(tmp, body) ||
                ::rename(tmp.c_str(), (home.path + "Q/" + name).c_str()) != 0) {
                state.SkipWithError("cannot fill the queue");
                return;
            }
        }
        Sim sim;
        sim.max_session_ms = 600000;
        sim.serve();
        std::string link = std::string(word) + " - 127.0.0.1:" + std::to_string(sim.port);
        write_file(home.path + "SMSGW.INI",
                   "[SMSGW]\r\nModem1=" + link +
                       "\r\nDebug=No\r\nReceiveSMS=No\r\nEnableReceiptProcessing=No\r\nWebPort=" +
                       std::to_string(free_port()) + "\r\n\r\n[" + link +
                       "]\r\nUserName=user\r\nPassword=secret\r\n");
        Gateway gw;
        if (!gw.start(home.path)) {
            state.SkipWithError("cannot start smsgw (built beside this program?)");
            return;
        }
        uint64_t deadline = platform::monotonic_ms() + 600000;
        uint64_t first = 0;
        size_t seen = 0;
        while (platform::monotonic_ms() < deadline && gw.alive()) {
            seen = sim.count_if(is_submit);
            if (seen > 0 && first == 0) first = platform::monotonic_ms();
            if (seen >= n) break;
            platform::sleep_ms(20);
        }
        uint64_t last = platform::monotonic_ms();
        // Every accepted file is logged and deleted; what is still queued a
        // little later shows up as a counter (0 expected).
        auto queued = [&] {
            size_t k = 0;
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(home.path + "Q", ec))
                k += e.path().extension() == ".req" ? 1 : 0;
            return k;
        };
        for (int i = 0; i < 500 && queued() > 0; ++i) platform::sleep_ms(20);
        left = double(queued());
        gw.stop();
        if (seen < n) {
            state.SkipWithError("not every message arrived");
            return;
        }
        double secs = double(last - first) / 1000.0;
        if (secs <= 0) secs = 0.001;
        state.SetIterationTime(secs);
        rate = double(n - 1) / secs;
    }
    state.counters["msg_per_s"] = rate;
    state.counters["load1"] = load_average();
    state.counters["left_in_queue"] = left;
}

void BM_UcpLinkEndToEnd(benchmark::State& state) {
    run_link<ucp_sim::Smsc>(state, "UCP",
                            [](const ucp_sim::SimFrame& f) { return f.kind == 'O' && f.ot == 51; });
}
void BM_CimdLinkEndToEnd(benchmark::State& state) {
    run_link<cimd_sim::Smsc>(state, "CIMD", [](const cimd_sim::SimPacket& p) { return p.op == 3; });
}

BENCHMARK(BM_UcpLinkEndToEnd)
    ->Arg(5000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CimdLinkEndToEnd)
    ->Arg(5000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
