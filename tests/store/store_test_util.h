// Helpers shared by the store tests: a settable wall clock, local times,
// and whole-file reads and writes.
#pragma once

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace store_test {

// The fake wall clock the tests install with platform::set_wall_clock.
inline std::atomic<time_t> g_now{0};
inline time_t fake_clock(int* millis) {
    if (millis) *millis = 0;
    return g_now.load();
}

inline time_t local_time(int y, int mo, int d, int h, int mi, int s) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return ::mktime(&tm);
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace store_test
