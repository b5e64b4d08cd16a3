// Shared fixture of the inbound tests: a private SMSGW_HOME with an SMSGW.INI,
// default settings, a fixed wall clock, a private tracking directory, and
// helpers to read the inbound store, the inbound log and the counters.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/message_id.h"
#include "store/retry.h"
#include "store/store_state.h"
#include "store/store_test_util.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"
#include "support/tracking.h"

namespace inbound_test {

// The store tests' fake wall clock, local times and whole-file reads and writes.
using store_test::fake_clock;
using store_test::g_now;
using store_test::local_time;
using store_test::slurp;
using store_test::spit;

inline std::string extension_of(const std::string& path) {
    return std::filesystem::path(path).extension().string();
}

class InboundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/inbound-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        ini_ = home_ + "/SMSGW.INI";
        spit(ini_, "[SMSGW]\r\n");
        support::SMSIniSetFilename(ini_);
        frame::mutable_settings() = frame::GlobalSettings{};
        g_now = local_time(2024, 3, 5, 12, 34, 56);
        platform::set_wall_clock(&fake_clock);
        store::reset_store_for_tests();
        support::set_tracking_directory(home_ + "/TRACK/");
        records::close_message_logs();
        records::close_stat_counters();
        // Events left set by an earlier test in the same process.
        frame::inbound_sms_event().wait(0);
        frame::inbound_receipt_event().wait(0);
    }
    void TearDown() override {
        store::set_failure_receipt_hook(nullptr);
        records::close_message_logs();
        records::close_stat_counters();
        support::sqlSMSCMessageIdCloseAll();
        platform::set_wall_clock(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void set_ini(const std::string& section, const std::string& key, const std::string& value) {
        ASSERT_TRUE(support::ini_set(ini_, section, key, value));
    }
    std::string inbound_dir() const { return home_ + "/SMS-IN/"; }
    std::string inbound_log() const { return slurp(home_ + "/LOGS/SMSIN-20240305.LOG"); }
    // Regular files below the inbound store, sorted.
    std::vector<std::string> inbound_files() const {
        std::vector<std::string> out;
        std::error_code ec;
        if (!std::filesystem::exists(inbound_dir(), ec)) return out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(inbound_dir(), ec))
            if (e.is_regular_file()) out.push_back(e.path().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string home_;
    std::string ini_;
};

}  // namespace inbound_test
