// Shared fixture of the frame tests: a private temporary home with its own
// SMSGW.INI and MMSC.INI, the directory roots pointed at it, fresh settings
// and a debug log that starts as at process start.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace frame_test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "smsgw-frame-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::MMSCIniSetFilename(home_ + "MMSC.INI");
        frame::reset_frame_state_for_tests();
        frame::set_debug_rollover_wait_ms(0);
    }
    void TearDown() override {
        frame::reset_frame_state_for_tests();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    // Writes SMSGW.INI (and optionally MMSC.INI) and loads the settings.
    void load(const std::string& sms_ini, const std::string& mmsc_ini = "") {
        spit(home_ + "SMSGW.INI", sms_ini);
        spit(home_ + "MMSC.INI", mmsc_ini);
        frame::load_global_settings();
    }

    std::string home_;
};

}  // namespace frame_test
