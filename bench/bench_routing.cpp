// Route decisions per second over 10,000 preferred route entries: prefix
// patterns (the common case, served by the prefix index), patterns that
// start with a wildcard (every entry examined), the candidate list, and
// reloading the lists.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "delivery/routing.h"
#include "frame/settings.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

constexpr int kLinks = 10;
constexpr int kEntriesPerLink = 1000;  // 10,000 route entries in all

std::string link_name(int i) {
    return "SMPP - link" + std::to_string(i) + ":2775";
}

// A private home holding the configuration; removed at exit.
struct Home {
    std::string dir;
    Home() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "smsgw-bench-routing-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        dir = tmpl + "/";
        ::setenv("SMSGW_HOME", dir.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(dir + "SMSGW.INI");
        support::MMSCIniSetFilename(dir + "MMSC.INI");
    }
    ~Home() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Home& home() {
    static Home h;
    return h;
}

// lead: "+" (prefix patterns), "*" (a leading wildcard and a literal run,
// still indexed by the run) or "?" (nothing narrows the search: every entry
// is examined).
void configure(char lead, int variant = 0) {
    std::string ini = "[SMSGW]\r\n";
    for (int i = 0; i < kLinks; ++i)
        ini += "Modem" + std::to_string(i + 1) + "=" + link_name(i) + "\r\n";
    for (int i = 0; i < kLinks; ++i) {
        ini.append("[").append(link_name(i)).append("]\r\n");
        int n = 1;
        // A blocked range and a service type on some links, as in real setups.
        if (i % 3 == 0)
            ini += "Route" + std::to_string(n++) + "=!+1" + std::to_string(i) + "9*\r\n";
        if (i == 4) ini += "Route" + std::to_string(n++) + "=service_type=alerts\r\n";
        for (int j = 0; n <= kEntriesPerLink; ++j, ++n) {
            int id = i * kEntriesPerLink + j + variant;
            std::string digits = std::to_string(100000 + id);
            ini += "Route" + std::to_string(n) + "=" + std::string(1, lead) +
                   (lead == '?' ? digits.substr(1) : digits) + "*\r\n";
        }
        if (i % 2 == 1) ini += "RoutePrefOnly=Yes\r\n";
    }
    std::string path = home().dir + "SMSGW.INI";
    {
        std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
        out << ini;
    }
    std::filesystem::rename(path + ".tmp", path);
    frame::load_global_settings();
    delivery::reload_routing_lists();
}

// Recipients: three in four hit some entry, the rest none.
std::vector<std::string> recipients() {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> id(0, kLinks * kEntriesPerLink * 4 / 3);
    std::uniform_int_distribution<int> tail(0, 99999);
    std::vector<std::string> out;
    for (int i = 0; i < 1024; ++i)
        out.push_back(std::string("+")
                          .append(std::to_string(100000 + id(rng)))
                          .append(std::to_string(10000 + tail(rng))));
    return out;
}

void run_decisions(benchmark::State& state, char lead) {
    configure(lead);
    std::vector<std::string> recips = recipients();
    std::vector<std::string> links;
    for (int i = 0; i < kLinks; ++i) links.push_back(link_name(i));
    size_t i = 0;
    int taken = 0;
    for (auto _ : state) {
        delivery::RouteQuery q;
        q.recipient = recips[i % recips.size()];
        taken += delivery::CheckPreferredRoute(q, links[i % links.size()]) ? 1 : 0;
        ++i;
    }
    benchmark::DoNotOptimize(taken);
    state.counters["decisions/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["entries"] = static_cast<double>(delivery::routing_tables()->routes.size());
}

void BM_CheckPreferredRoute_10k(benchmark::State& state) {
    run_decisions(state, '+');
}
BENCHMARK(BM_CheckPreferredRoute_10k);

void BM_CheckPreferredRoute_10k_LeadingStar(benchmark::State& state) {
    run_decisions(state, '*');
}
BENCHMARK(BM_CheckPreferredRoute_10k_LeadingStar);

void BM_CheckPreferredRoute_10k_LeadingQuestionMark(benchmark::State& state) {
    run_decisions(state, '?');
}
BENCHMARK(BM_CheckPreferredRoute_10k_LeadingQuestionMark);

void BM_CheckPreferredRoute_10k_SenderAndService(benchmark::State& state) {
    configure('+');
    std::vector<std::string> recips = recipients();
    size_t i = 0;
    int taken = 0;
    for (auto _ : state) {
        delivery::RouteQuery q;
        q.recipient = recips[i % recips.size()];
        q.user = "someuser";
        q.sender = "+4470000";
        q.service_type = (i & 1) ? "alerts" : "";
        taken += delivery::CheckPreferredRoute(q, link_name(static_cast<int>(i % kLinks))) ? 1 : 0;
        ++i;
    }
    benchmark::DoNotOptimize(taken);
    state.counters["decisions/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CheckPreferredRoute_10k_SenderAndService);

void BM_CheckPreferredRouteMulti_10k(benchmark::State& state) {
    configure('+');
    std::vector<std::string> recips = recipients();
    size_t i = 0, candidates = 0;
    for (auto _ : state) {
        delivery::RouteQuery q;
        q.recipient = recips[i++ % recips.size()];
        candidates += delivery::CheckPreferredRouteMulti(q).size();
    }
    benchmark::DoNotOptimize(candidates);
    state.counters["lists/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CheckPreferredRouteMulti_10k);

// A reload that finds nothing changed, and one that rebuilds the tables.
void BM_ReloadUnchanged_10k(benchmark::State& state) {
    configure('+');
    for (auto _ : state) benchmark::DoNotOptimize(delivery::reload_routing_lists());
}
BENCHMARK(BM_ReloadUnchanged_10k)->Unit(benchmark::kMillisecond);

void BM_ReloadChanged_10k(benchmark::State& state) {
    int variant = 0;
    for (auto _ : state) configure('+', ++variant % 2);
}
BENCHMARK(BM_ReloadChanged_10k)->Unit(benchmark::kMillisecond);

}  // namespace
