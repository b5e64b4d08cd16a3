// Cached INI look-ups: the cost of reading a setting at every use from a
// file of about 200 keys in 20 sections that does not change.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/files.h"
#include "support/ini_profile.h"

namespace {

struct IniFile {
    std::string dir, path;
    IniFile() {
        std::string tmpl = "/tmp/smsgw-bench-ini-XXXXXX";
        if (::mkdtemp(tmpl.data())) dir = tmpl;
        path = dir + "/SMSGW.INI";
        std::string text = "; benchmark settings\n";
        for (int s = 0; s < 20; ++s) {
            text += "[Section" + std::to_string(s) + "]\n";
            for (int k = 0; k < 10; ++k)
                text += "SettingNumber" + std::to_string(k) + " = \"value " +
                        std::to_string(s * 10 + k) + "\"\n";
        }
        platform::replace_file(path, text);
        // An old modification time, as a settled configuration file has.
        std::filesystem::last_write_time(
            path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
        // A file changed within the last two seconds is compared byte for
        // byte at each read (its time stamps may not show a further change);
        // measure the settled state.
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    }
    ~IniFile() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

IniFile& file() {
    static IniFile f;
    return f;
}

void BM_CachedLookup(benchmark::State& state) {
    const std::string& path = file().path;
    int i = 0;
    for (auto _ : state) {
        int s = i % 20, k = (i / 20) % 10;
        char sec[16], key[24];
        snprintf(sec, sizeof sec, "section%d", s);  // case differs from the file
        snprintf(key, sizeof key, "SETTINGNUMBER%d", k);
        benchmark::DoNotOptimize(support::ini_get(path, sec, key, "", 260));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CachedLookup)->Threads(1)->Threads(2)->UseRealTime();

void BM_MissingKeyLookup(benchmark::State& state) {
    const std::string& path = file().path;
    for (auto _ : state)
        benchmark::DoNotOptimize(support::ini_get(path, "Section19", "NoSuchKey", "default", 260));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MissingKeyLookup);

void BM_ParseText(benchmark::State& state) {
    std::string text = platform::read_file(file().path).value_or("");
    for (auto _ : state) benchmark::DoNotOptimize(support::ini_parse_text(text));
    state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseText);

}  // namespace
