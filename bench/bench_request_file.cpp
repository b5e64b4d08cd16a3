// Request file round trip: create + claim + load + delete, in a queue
// directory that already holds 10,000 other request files; the codec's
// parse and format alone.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/text.h"
#include "store/request_file.h"
#include "support/directories.h"
#include "support/support_state.h"

namespace {

constexpr int kBackgroundFiles = 10000;

// A typical submission, optionally after one failed attempt.
std::string typical_request(bool retried) {
    store::SmsMessage m;
    m.submit_user = "bench";
    m.submitted_by = "127.0.0.1";
    m.sender = "Gateway";
    m.flags = store::kFlagReceiptRequested;
    m.data = "Hello from the benchmark, a typical short text.";
    m.phone_number = "+447700900123";
    m.route = "RouteA";
    if (retried) {
        m.retry_count = 1;
        m.last_retry_time = store::parse_time_stamp("20240131235958");
    }
    return store::format_request(m);
}

const std::string& queue_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/smsgw-bench-rf-XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        std::string home = std::string(tmpl) + "/";
        ::setenv("SMSGW_HOME", home.c_str(), 1);
        support::reset_support_for_tests();
        std::string q = home + "Q/";
        store::SmsMessage background;
        background.phone_number = "+440000";
        background.data = "x";
        const std::string content = store::format_request(background);
        for (int i = 0; i < kBackgroundFiles; ++i) {
            if (!store::create_request_file(q, "req", content)) std::abort();
        }
        // Kept apart from the function's static, which is gone by the time
        // exit handlers registered during its construction run.
        static char home_copy[sizeof(tmpl)];
        std::memcpy(home_copy, tmpl, sizeof(tmpl));
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(home_copy, ec);
        });
        return q;
    }();
    return dir;
}

void BM_CreateLoadDelete(benchmark::State& state) {
    const std::string& q = queue_dir();
    const std::string content = typical_request(false);
    for (auto _ : state) {
        auto path = store::create_request_file(q, "req", content);
        if (!path) {
            state.SkipWithError("create failed");
            break;
        }
        platform::FileHandle fh = platform::claim_file(*path);
        store::SmsMessage msg;
        if (!fh.valid() || !store::LoadSMSMessage(fh.fd(), msg) || msg.phone_number.empty()) {
            state.SkipWithError("load failed");
            break;
        }
        platform::remove_file(*path);
        fh.close();
        benchmark::DoNotOptimize(msg);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateLoadDelete)->UseRealTime();

void BM_ParseOnly(benchmark::State& state) {
    const std::string content = typical_request(true);
    store::SmsMessage msg;
    for (auto _ : state) {
        store::parse_sms_message(content, msg);
        benchmark::DoNotOptimize(msg);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseOnly);

void BM_FormatOnly(benchmark::State& state) {
    const store::SmsMessage msg = store::parse_request(typical_request(true));
    for (auto _ : state) {
        std::string text = store::format_request(msg);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatOnly);

}  // namespace
