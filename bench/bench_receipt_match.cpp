// Receipt matching against a full tracking store: 1,000,000 associations
// spread over ten daily files (100,000 a day, hexadecimal SMSC ids), then
// look-ups of receipts by their exact id (today's file and the oldest one),
// by the decimal form of a hexadecimal id, and of ids that are not there at
// all (every day file searched, in every form). items_per_second in the
// output; the fill rate is printed once.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/text.h"
#include "support/tracking.h"

namespace {

constexpr int kDays = 10;
constexpr int kPerDay = 100000;
constexpr const char* kLink = "SMPP - bench";

time_t g_clock = 0;
time_t clock_fn(int* ms) {
    if (ms) *ms = 0;
    return g_clock;
}

time_t noon_days_ago(int back) {
    std::time_t t = std::time(nullptr);
    std::tm tm = *std::localtime(&t);
    tm.tm_hour = 12;
    tm.tm_min = tm.tm_sec = 0;
    tm.tm_mday -= back;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// The SMSC id of association n: eight hexadecimal digits, as SMSCs give them.
std::string smsc_id(long n) {
    return platform::strprintf("%08lX", 0x4F000000L + n);
}

class Store {
  public:
    Store() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "smsgw-rcpt-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
        support::set_tracking_directory(path_);
        platform::set_wall_clock(&clock_fn);
        auto start = std::chrono::steady_clock::now();
        long n = 0;
        for (int back = kDays - 1; back >= 0; --back) {
            g_clock = noon_days_ago(back);
            for (int i = 0; i < kPerDay; ++i, ++n)
                support::SMSCMessageIdAdd(kLink, smsc_id(n), platform::strprintf("GW%08lX", n),
                                          "user", "Shop", "+447700900123");
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "filled %ld associations over %d day files in %.1f s (%.0f/s)\n", n,
                     kDays, s, double(n) / s);
        g_clock = noon_days_ago(0);
    }
    ~Store() {
        support::sqlSMSCMessageIdCloseAll();
        platform::set_wall_clock(nullptr);
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }

  private:
    std::string path_;
};

Store& store() {
    static Store s;
    return s;
}

// Looks up ids first + (x % span), in the form given.
void run(benchmark::State& state, long first, long span, bool decimal, bool expect_found) {
    store();
    support::TrackedMessage t;
    support::IdForm form;
    unsigned x = 12345;
    for (auto _ : state) {
        x = x * 1103515245u + 12345u;
        long n = first + long(x % unsigned(span));
        std::string id = decimal ? std::to_string(0x4F000000L + n) : smsc_id(n);
        bool found = support::SMSCMessageIdMatch(kLink, id, t, form) ==
                     support::MatchResult::Found;
        if (found != expect_found) state.SkipWithError("unexpected result");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ReceiptExactToday(benchmark::State& state) {
    run(state, long(kDays - 1) * kPerDay, kPerDay, false, true);
}
void BM_ReceiptExactOldestDay(benchmark::State& state) {
    run(state, 0, kPerDay, false, true);
}
void BM_ReceiptDecimalForHex(benchmark::State& state) {
    run(state, 0, long(kDays) * kPerDay, true, true);
}
void BM_ReceiptUnknownId(benchmark::State& state) {
    // Ids beyond everything stored, in hexadecimal: every day, every form.
    run(state, long(kDays) * kPerDay + 1000000, kPerDay, false, false);
}
BENCHMARK(BM_ReceiptExactToday)->UseRealTime();
BENCHMARK(BM_ReceiptExactToday)->Threads(2)->UseRealTime();
BENCHMARK(BM_ReceiptExactOldestDay)->UseRealTime();
BENCHMARK(BM_ReceiptDecimalForHex)->UseRealTime();
BENCHMARK(BM_ReceiptUnknownId)->UseRealTime();

}  // namespace
