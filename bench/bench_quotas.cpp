// Quota and credit checks and updates per second for one busy account (1
// and 8 threads), and accounting callbacks per second to a local service
// (tests/records/accounting_server.py) with and without keep-alive.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/process.h"
#include "records/accounting.h"
#include "records/quotas.h"
#include "support/directories.h"
#include "support/support_state.h"
#include "support/ini_profile.h"

namespace {

std::string g_home;
platform::ChildProcess g_server;

void clean_up() {
    records::reset_quotas_for_tests();
    if (g_server.pid > 0) platform::wait_child(g_server, 5000);
    std::error_code ec;
    if (!g_home.empty()) std::filesystem::remove_all(g_home, ec);
}

void setup_home() {
    static std::once_flag once;
    std::call_once(once, [] {
        char tmpl[] = "/tmp/bench-quotas-XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        g_home = tmpl;
        ::setenv("SMSGW_HOME", g_home.c_str(), 1);
        support::reset_support_for_tests();
        std::ofstream(g_home + "/SMSGW.INI") << "[SMSGW]\r\n";
        support::SMSIniSetFilename(g_home + "/SMSGW.INI");
        frame::mutable_settings() = frame::GlobalSettings{};
        frame::mutable_settings().default_msg_limit_per_day = 4000000000u;
        std::filesystem::create_directories(frame::user_dir("busy"));
        // A balance no run can use up (8 bytes, thousandths).
        std::string b(8, '\0');
        b[6] = 1;
        std::ofstream(frame::user_dir("busy") + "SMS.CTR", std::ios::binary) << b;
        std::atexit(clean_up);
    });
}

// One submission's worth: quota and credit checked, then counted and debited.
void BM_QuotaAndCreditCheckAndUpdate(benchmark::State& state) {
    setup_home();
    records::QuotaEntry* e = records::quota_entry("busy");
    std::string why;
    for (auto _ : state) {
        benchmark::DoNotOptimize(records::QuotaTestAndCount(e, "busy", why, 1, true));
        benchmark::DoNotOptimize(
            records::CreditOperation(e, "busy", &why, 500, records::CreditMode::Check));
        records::QuotaTestAndCount(e, "busy", why, 1, false);
        records::CreditOperation(e, "busy", nullptr, 500, records::CreditMode::Debit);
    }
    if (state.thread_index() == 0) records::flush_quota_files(true);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuotaAndCreditCheckAndUpdate)->Threads(1)->Threads(8)->UseRealTime();

bool start_server() {
    static bool ok = [] {
        std::string answer = g_home + "/answer.txt";
        std::ofstream(answer) << "OK";
        auto child = platform::spawn_piped(
            {"python3", SMSGW_SOURCE_DIR "/tests/records/accounting_server.py", "/dev/null",
             answer},
            {});
        if (!child) return false;
        g_server = *child;
        char buf[16] = {};
        if (::read(g_server.stdout_fd, buf, sizeof buf - 1) <= 0) return false;
        frame::mutable_settings().sms_accounting_url =
            "http://127.0.0.1:" + std::to_string(std::atoi(buf)) + "/acct";
        return true;
    }();
    return ok;
}

// "SMSOut" callbacks; arg 1 = keep-alive pool, 0 = a connection each.
void BM_AccountingCallback(benchmark::State& state) {
    setup_home();
    if (!start_server()) {
        state.SkipWithError("accounting service did not start");
        return;
    }
    frame::mutable_settings().accounting_keep_alive = state.range(0) != 0;
    records::AccountingMessage m;
    m.account = "busy";
    m.recipient = "+4712345678";
    m.message = "Your verification code is 123456";
    records::AccountingNotice n;
    n.message_id = "SMSGW1A2B3C4D";
    n.status = "OK -- SMPP - 127.0.0.1:2775";
    for (auto _ : state) benchmark::DoNotOptimize(records::SMSAccountingCallback("SMSOut", m, n));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AccountingCallback)->Arg(1)->Arg(0)->UseRealTime()->MinTime(2.0);

}  // namespace
