// Message-id tracking throughput: inserts and look-ups per second against a
// daily file in a temporary directory (items_per_second in the output).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "support/tracking.h"

namespace {

// A private tracking directory for the whole run, removed at exit.
class BenchDir {
  public:
    BenchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "smsgw-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
        support::set_tracking_directory(path_);
    }
    ~BenchDir() {
        support::sqlSMSCMessageIdCloseAll();
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }

  private:
    std::string path_;
};

BenchDir& bench_dir() {
    static BenchDir dir;
    return dir;
}

constexpr int kPreloaded = 100000;

void preload() {
    static bool done = false;
    if (done) return;
    for (int i = 0; i < kPreloaded; ++i)
        support::SMSCMessageIdAdd("SMPP - bench", "pre" + std::to_string(i),
                                  "GW" + std::to_string(i), "user", "+447700900001",
                                  "+447700900002");
    done = true;
}

void BM_TrackingInsert(benchmark::State& state) {
    bench_dir();
    static long counter = 0;
    const std::string link = "SMPP - link" + std::to_string(state.thread_index());
    for (auto _ : state) {
        std::string id = std::to_string(state.thread_index()) + "-" + std::to_string(++counter);
        if (!support::SMSCMessageIdAdd(link, id, "GW00001234", "user", "+447700900001",
                                       "+447700900002"))
            state.SkipWithError("insert failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackingInsert)->UseRealTime();
BENCHMARK(BM_TrackingInsert)->Threads(4)->UseRealTime();

void BM_TrackingLookupToday(benchmark::State& state) {
    bench_dir();
    preload();
    std::string mid, user, sender, recipient;
    unsigned x = 12345;
    for (auto _ : state) {
        x = x * 1103515245u + 12345u;
        std::string id = "pre" + std::to_string(x % kPreloaded);
        if (!support::SMSCMessageIdGet2("SMPP - bench", id, mid, user, sender, recipient))
            state.SkipWithError("look-up failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackingLookupToday)->UseRealTime();
BENCHMARK(BM_TrackingLookupToday)->Threads(4)->UseRealTime();

// An unknown id searches today's file and every earlier day of the
// retention period (15 by default; only today's file exists here).
void BM_TrackingLookupMiss(benchmark::State& state) {
    bench_dir();
    preload();
    std::string mid, user, sender, recipient;
    long n = 0;
    for (auto _ : state) {
        std::string id = "unknown" + std::to_string(++n);
        benchmark::DoNotOptimize(
            support::SMSCMessageIdGet2("SMPP - bench", id, mid, user, sender, recipient));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackingLookupMiss)->UseRealTime();

}  // namespace
