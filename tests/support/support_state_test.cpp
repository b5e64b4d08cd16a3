// The support module's reset for tests: everything a test may have changed
// reads as in a fresh process afterwards.
#include "support/support_state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/accounts.h"
#include "support/directories.h"
#include "support/events.h"
#include "support/ini_profile.h"
#include "support/tracking.h"

namespace {

TEST(SupportStateTest, ResetForgetsNamesPathsTrackingAndEvents) {
    std::string tmpl = "/tmp/smsgw-support-state-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::string first = tmpl + "/one", second = tmpl + "/two";
    ASSERT_EQ(::setenv("SMSGW_HOME", first.c_str(), 1), 0);
    support::reset_support_for_tests();
    EXPECT_EQ(support::GetProgramDataDirectory(), first + "/");

    support::SMSIniSetFilename(tmpl + "/other.ini");
    support::MMSCIniSetFilename(tmpl + "/other-mmsc.ini");
    support::set_account_database_path(tmpl + "/other.db");
    support::set_tracking_directory(tmpl + "/track");
    support::set_tracking_retention_days(3);
    support::EventHandle held = support::CreateEventForInterface("SMSOut", "state test");
    ASSERT_TRUE(support::OpenEventForInterface("SMSOut", "state test"));

    ASSERT_EQ(::setenv("SMSGW_HOME", second.c_str(), 1), 0);
    support::reset_support_for_tests();
    const std::string home = support::GetProgramDataDirectory();
    EXPECT_EQ(home, second + "/");
    EXPECT_EQ(support::SMSIniGetFilename(), home + "SMSGW.INI");
    EXPECT_EQ(support::MMSCIniGetFilename(), home + "MMSC.INI");
    EXPECT_EQ(support::account_database_path(), home + "USERS.DB");
    EXPECT_EQ(support::tracking_directory(), home + "SMPPData/");
    EXPECT_EQ(support::tracking_retention_days(), support::kDefaultTrackingRetainDays);
    // A handle still held keeps its event, but the name no longer finds it.
    EXPECT_FALSE(support::OpenEventForInterface("SMSOut", "state test"));
    EXPECT_FALSE(support::SetEventForInterface("SMSOut", "state test"));

    ::unsetenv("SMSGW_HOME");
    support::reset_support_for_tests();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

}  // namespace
