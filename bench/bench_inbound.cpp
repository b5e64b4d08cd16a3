// Inbound throughput: received messages per second from the receive
// callback body into a local account's queue (stored, then routed by an
// inbound scan), and 2-way round trips per second (a stored keyword message
// whose URL is fetched from a loopback keyword server and whose answer is
// written to the outbound queue as a reply).
//
// The home is made in BENCH_TMP (default /dev/shm, else /tmp).
// Run from the build directory (the keyword server is
// ../tests/system/two_way_peer.py; BENCH_KEYWORD_SERVER overrides the path):
//   cmake --build build --target bench_inbound && (cd build && ./bench_inbound)
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "frame/settings.h"
#include "inbound/inbound_routing.h"
#include "inbound/inbound_store.h"
#include "inbound/inbound_threads.h"
#include "platform/files.h"
#include "platform/process.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

std::string g_home;
std::optional<platform::ChildProcess> g_server;
unsigned g_port = 0;

void cleanup() {
    if (g_server) platform::wait_child(*g_server, 5000);
    std::error_code ec;
    if (!g_home.empty()) std::filesystem::remove_all(g_home, ec);
}

std::string server_script() {
    if (const char* p = std::getenv("BENCH_KEYWORD_SERVER")) return p;
    return (std::filesystem::path(__FILE__).parent_path() / ".." / "tests" / "system" /
            "two_way_peer.py")
        .string();
}

void setup() {
    static std::once_flag once;
    std::call_once(once, [] {
        // BENCH_TMP, else tmpfs when there is one: on a busy disk the file
        // system's inode allocation is most of what is measured.
        std::string base = std::getenv("BENCH_TMP")           ? std::getenv("BENCH_TMP")
                           : platform::dir_exists("/dev/shm") ? "/dev/shm"
                                                              : "/tmp";
        std::string tmpl = base + "/bench-inbound-XXXXXX";
        if (!::mkdtemp(tmpl.data())) std::abort();
        g_home = tmpl;
        ::setenv("SMSGW_HOME", g_home.c_str(), 1);
        g_server = platform::spawn_piped({"python3", server_script(), g_home + "/http.log"}, {});
        if (g_server) {
            std::string line;
            char c;
            while (line.size() < 16 && platform::read_some_fd(g_server->stdout_fd, &c, 1) == 1 &&
                   c != '\n')
                line += c;
            g_port = unsigned(std::atoi(line.c_str()));
        }
        support::reset_support_for_tests();
        std::ofstream(g_home + "/SMSGW.INI")
            << "[SMSGW]\r\nDisableUserLog=Yes\r\n\r\n[Inbound SMS Routing]\r\nalice=7*\r\n\r\n"
            << "[2Way-Keywords]\r\nKeyword1=INFO\r\n\r\n[2Way-Keyword-INFO]\r\nRun=http://"
               "127.0.0.1:"
            << g_port << "/info?s=@@SENDER@@&t=@@SMS@@\r\n";
        support::SMSIniSetFilename(g_home + "/SMSGW.INI");
        frame::mutable_settings() = frame::GlobalSettings{};
        inbound::reset_inbound_routing_cache();
        std::atexit(cleanup);
    });
}

inbound::InboundMessage mo(const std::string& to, const std::string& text) {
    inbound::InboundMessage m;
    m.link_name = "SMPP - 127.0.0.1:2775";
    m.sender = "+447700900001";
    m.recipient = to;
    m.data = text;
    return m;
}

void clear_dir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// 100 messages received and routed per iteration.
void BM_MoIntoUserQueue(benchmark::State& state) {
    setup();
    constexpr int kBatch = 100;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            inbound::receive_message("SMPPReceiveMessageCallback", mo("7001", "hello alice"));
        inbound::inbound_scan_pass(inbound::InboundKind::Extra);
        state.PauseTiming();
        clear_dir(g_home + "/USERS/alice/Q");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_MoIntoUserQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

// One keyword message stored, fetched and answered per iteration.
void BM_TwoWayHttpRoundTrip(benchmark::State& state) {
    setup();
    if (!g_port) {
        state.SkipWithError("keyword server not started");
        return;
    }
    frame::KeepAlive keep;
    for (auto _ : state) {
        std::string path = inbound::store_inbound_message(mo("5000", "info now"));
        inbound::ScanState st;
        st.keep_alive = &keep;
        if (inbound::process_inbound_file(path, inbound::InboundKind::Primary, st) !=
            inbound::FileOutcome::Consumed) {
            state.SkipWithError("keyword message not consumed");
            break;
        }
        if (state.iterations() % 500 == 0) {
            state.PauseTiming();
            clear_dir(g_home + "/Q");
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoWayHttpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
