// Request file round trip: create + claim + load + delete, in a queue
// directory that already holds 10,000 other request files.
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

namespace {

constexpr int kBackgroundFiles = 10000;

const std::string& queue_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/smsgw-bench-rf-XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        std::string home = std::string(tmpl) + "/";
        ::setenv("SMSGW_HOME", home.c_str(), 1);
        support::reset_directory_roots_for_tests();
        std::string q = home + "Q/";
        for (int i = 0; i < kBackgroundFiles; ++i) {
            if (!store::create_request_file(q, "req", "[SMS]\r\nPhoneNumber=+440000\r\nData=x\r\n"))
                std::abort();
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
    const std::string content =
        "[SMS]\r\nSubmitUser=bench\r\nSubmittedBy=127.0.0.1\r\nSender=Gateway\r\n"
        "ReceiptRequested=Yes\r\nData=Hello from the benchmark, a typical short text.\r\n"
        "PhoneNumber=+447700900123\r\nSMSCRoute=RouteA\r\n";
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
    const std::string content =
        "[SMS]\r\nSubmitUser=bench\r\nSubmittedBy=127.0.0.1\r\nSender=Gateway\r\n"
        "ReceiptRequested=Yes\r\nData=Hello from the benchmark, a typical short text.\r\n"
        "PhoneNumber=+447700900123\r\nSMSCRoute=RouteA\r\n[ErrorDetail]\r\nRetryCount=1\r\n"
        "LastRetryTime=20240131235958\r\n";
    store::SmsMessage msg;
    for (auto _ : state) {
        store::parse_sms_message(content, msg);
        benchmark::DoNotOptimize(msg);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseOnly);

}  // namespace
