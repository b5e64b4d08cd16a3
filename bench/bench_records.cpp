// Throughput of the message logs (lines per second) and of the statistics
// counters (adds per second), single-threaded and with concurrent writers.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "frame/settings.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

std::string g_home;

void remove_home() {
    records::close_message_logs();
    records::close_stat_counters();
    std::error_code ec;
    if (!g_home.empty()) std::filesystem::remove_all(g_home, ec);
}

// One temporary home for the whole run.
void setup_home() {
    static std::once_flag once;
    std::call_once(once, [] {
        char tmpl[] = "/tmp/bench-records-XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        g_home = tmpl;
        ::setenv("SMSGW_HOME", g_home.c_str(), 1);
        support::reset_support_for_tests();
        std::ofstream(g_home + "/SMSGW.INI") << "[SMSGW]\r\n";
        support::SMSIniSetFilename(g_home + "/SMSGW.INI");
        frame::mutable_settings() = frame::GlobalSettings{};
        std::atexit(remove_home);
    });
}

void BM_OutboundLogLine(benchmark::State& state) {
    setup_home();
    const std::string text = "Your verification code is 123456, valid for 10 minutes.";
    for (auto _ : state) {
        records::write_outbound_log("SMSGW1A2B3C4D", "192.168.1.20", "+4712345678",
                                    "OK -- SMPP - 10.0.0.1:2775", {false, 0, 0, "", text},
                                    "account1", "0A1B2C3D", "Sender", "SMPP - 10.0.0.1:2775");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OutboundLogLine)->Threads(1)->Threads(4)->UseRealTime();

void BM_AccountLogLine(benchmark::State& state) {
    setup_home();
    for (auto _ : state) {
        records::write_account_log("account1", "SMSSubmit", "+4712345678", "192.168.1.20",
                                   "SMSGW1A2B3C4D", "Text", {false, 0, 0, "", "Hello there"}, "");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AccountLogLine)->Threads(1)->UseRealTime();

void BM_AddGlobalCounter(benchmark::State& state) {
    setup_home();
    for (auto _ : state) records::add_counter(records::Counter::Sent);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddGlobalCounter)->Threads(1)->Threads(8)->UseRealTime();

void BM_AddLinkCounter(benchmark::State& state) {
    setup_home();
    for (auto _ : state)
        records::add_link_counter("SMPP - 10.0.0.1:2775", records::LinkCounter::Sent);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddLinkCounter)->Threads(1)->Threads(8)->UseRealTime();

// The main loop's flush with 20 links changed since the last pass.
void BM_FlushTwentyLinks(benchmark::State& state) {
    setup_home();
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 20; ++i)
            records::add_link_counter("SMPP - link" + std::to_string(i),
                                      records::LinkCounter::Sent);
        records::add_counter(records::Counter::Sent);
        state.ResumeTiming();
        records::flush_stat_counters();
    }
}
BENCHMARK(BM_FlushTwentyLinks);

}  // namespace
