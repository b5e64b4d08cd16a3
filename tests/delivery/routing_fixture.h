// Shared fixture of the routing tests: a private temporary home with its own
// SMSGW.INI, fresh settings, an empty route cache and routing tables loaded
// from the configuration the test writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "delivery/route_cache.h"
#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace routing_test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    // Replace, never rewrite in place: a reader must see the old or the new file.
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(tmp, path);
}

class RoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "smsgw-routing-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::MMSCIniSetFilename(home_ + "MMSC.INI");
        frame::reset_debug_log_for_tests();
        frame::set_debug_rollover_wait_ms(0);
        frame::mutable_settings() = frame::GlobalSettings{};
        delivery::route_cache_clear();
        delivery::release_routing_lists();
    }
    void TearDown() override {
        delivery::release_routing_lists();
        delivery::route_cache_clear();
        frame::reset_debug_log_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    // Writes SMSGW.INI, loads the global settings and the routing tables.
    void configure(const std::string& sms_ini) {
        spit(home_ + "SMSGW.INI", sms_ini);
        frame::load_global_settings();
        delivery::reload_routing_lists();
    }

    std::string debug_log() { return slurp(home_ + "LOGS/SMSDEBUG.LOG"); }

    std::string home_;
};

}  // namespace routing_test
