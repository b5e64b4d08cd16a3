// Request files written and made durable per second, from 1 and 16 writer
// threads: durable mode off (no sync), and on with one syncfs per batch or
// an fdatasync per file, with the default 5 ms window and with none; and
// the bulk intake expanding a 1,000-recipient list with DurableQueue off/on.
// Queue directories: BENCH_DURABLE_DIRS, colon-separated (default
// "/dev/shm:/tmp"); e.g. BENCH_DURABLE_DIRS=/work/benchtmp:/dev/shm.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "frame/settings.h"
#include "platform/files.h"
#include "store/bulk_queue.h"
#include "store/durable.h"
#include "store/request_codec.h"
#include "store/request_file.h"
#include "support/directories.h"
#include "support/support_state.h"

namespace {

std::vector<std::string> bench_dirs() {
    const char* env = std::getenv("BENCH_DURABLE_DIRS");
    std::string list = env && *env ? env : "/dev/shm:/tmp";
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = list.find(':', start);
        if (colon == std::string::npos) colon = list.size();
        if (colon > start) out.push_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    return out;
}

const std::string& request_text() {
    static const std::string text = [] {
        store::SmsMessage m;
        m.submit_user = "bench";
        m.sender = "Gateway";
        m.data = "Hello from the benchmark, a typical short text.";
        m.phone_number = "+447700900123";
        return store::format_request(m);
    }();
    return text;
}

// Mode: 0 off, 1 syncfs, 2 fdatasync per file.
std::unique_ptr<store::GroupCommitter> g_committer;
std::string g_queue;

// Setup and teardown run once per benchmark run, outside the threads.
void setup_run(const benchmark::State& state) {
    static bool home = false;
    if (!home) {
        home = true;
        ::setenv("SMSGW_HOME", "/tmp/smsgw-bench-durable-home/", 1);
        support::reset_support_for_tests();
    }
    const std::vector<std::string> dirs = bench_dirs();
    const size_t dir_index = size_t(state.range(0));
    if (dir_index >= dirs.size()) std::abort();
    g_queue = dirs[dir_index] + "/smsgw-bench-durable-" + std::to_string(::getpid()) + "/";
    std::filesystem::create_directories(g_queue);
    const int mode = int(state.range(1));
    if (mode != 0) {
        const store::SyncMethod m =
            mode == 1 ? store::SyncMethod::FileSystem : store::SyncMethod::FilesAndDirs;
        g_committer = std::make_unique<store::GroupCommitter>(
            unsigned(state.range(2)),
            [m](const std::vector<std::string>& p) { return store::sync_paths(m, p); });
    }
    // Every run starts from a settled disk.
    ::sync();
}

void teardown_run(const benchmark::State&) {
    g_committer.reset();
    std::error_code ec;
    std::filesystem::remove_all(g_queue, ec);
    // The removal's discards land at the next journal commit: not in the
    // next run.
    ::sync();
}

void BM_WriteDurable(benchmark::State& state) {
    for (auto _ : state) {
        std::optional<std::string> path = store::create_request_file(g_queue, "req", request_text());
        if (!path) {
            state.SkipWithError("create failed");
            break;
        }
        if (g_committer && g_committer->wait({*path}) != 0) {
            state.SkipWithError("sync failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        state.counters["syncs"] = g_committer ? double(g_committer->syncs()) : 0.0;
        state.SetLabel(bench_dirs()[size_t(state.range(0))]);
    }
}

void args(benchmark::internal::Benchmark* b) {
    const size_t n = bench_dirs().size();
    for (size_t d = 0; d < n; ++d) {
        b->Args({int64_t(d), 0, 0});
        b->Args({int64_t(d), 1, 5});
        b->Args({int64_t(d), 2, 5});
        b->Args({int64_t(d), 1, 0});
    }
    b->ArgNames({"dir", "mode", "window_ms"});
}

BENCHMARK(BM_WriteDurable)
    ->Apply(args)
    ->Threads(1)
    ->Threads(16)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Setup(setup_run)
    ->Teardown(teardown_run);

// The bulk intake: one batch of kBulkRecipients lines per iteration, in a
// home on the benchmark directory; arg 1 is DurableQueue.
constexpr int kBulkRecipients = 1000;

void BM_BulkIntake(benchmark::State& state) {
    const std::string base = bench_dirs()[size_t(state.range(0))] + "/smsgw-bench-bulk-" +
                             std::to_string(::getpid()) + "/";
    ::setenv("SMSGW_HOME", base.c_str(), 1);
    support::reset_support_for_tests();
    frame::mutable_settings().durable_queue = state.range(1) != 0;
    std::string list;
    for (int i = 0; i < kBulkRecipients; ++i)
        list += "b" + std::to_string(i) + "-@@CTR@@.req=+44770090" + std::to_string(i) + "\r\n";
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string batch = base + "BULKQ/B" + std::to_string(++n) + "/";
        std::filesystem::create_directories(batch);
        std::filesystem::remove_all(base + "Q");
        if (!platform::replace_file(batch + "M1.REQ", "[SMS]\r\nData=Hello\r\n") ||
            !platform::replace_file(batch + "R0000001.BLK", list))
            std::abort();
        ::sync();
        state.ResumeTiming();
        if (store::process_bulk_batch(batch) != store::BatchResult::Complete) {
            state.SkipWithError("batch not complete");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBulkRecipients);
    state.SetLabel(bench_dirs()[size_t(state.range(0))]);
    frame::mutable_settings().durable_queue = false;
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    ::sync();
}

void bulk_args(benchmark::internal::Benchmark* b) {
    for (size_t d = 0; d < bench_dirs().size(); ++d)
        for (int on : {0, 1}) b->Args({int64_t(d), on});
    b->ArgNames({"dir", "durable"});
}

BENCHMARK(BM_BulkIntake)->Apply(bulk_args)->UseRealTime()->Iterations(5);

}  // namespace
