// Shared fixture of the records tests: a private temporary SMSGW_HOME, an
// empty SMSGW.INI, default settings and a fake wall clock.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/settings.h"
#include "platform/clock.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace records_test {

inline std::atomic<time_t> g_fake_now{0};

inline time_t fake_clock(int* millis) {
    if (millis) *millis = 0;
    return g_fake_now.load();
}

// Seconds since the epoch for a local date and time (noon avoids any
// daylight-saving gap).
inline time_t local_time(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
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

inline void set_now(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
    g_fake_now = local_time(y, mo, d, h, mi, s);
}

inline std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_all(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

class RecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/records-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        ini_ = home_ + "/SMSGW.INI";
        write_all(ini_, "[SMSGW]\r\n");
        support::SMSIniSetFilename(ini_);
        frame::mutable_settings() = frame::GlobalSettings{};
        set_now(2024, 3, 5, 12, 34, 56);
        platform::set_wall_clock(&fake_clock);
        records::close_message_logs();
        records::close_stat_counters();
    }
    void TearDown() override {
        records::close_message_logs();
        records::close_stat_counters();
        platform::set_wall_clock(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    std::string log_dir() const { return home_ + "/LOGS/"; }
    std::string private_dir() const { return home_ + "/PRIVATE/"; }
    std::string stats_dir() const { return home_ + "/PRIVATE/STATS/"; }
    void set_ini(const std::string& key, const std::string& value) {
        ASSERT_TRUE(support::ini_set(ini_, "SMSGW", key, value));
    }

    std::string home_;
    std::string ini_;
};

}  // namespace records_test
