// Directory roots under a temporary $SMSGW_HOME.
#include "support/directories.h"
#include "support/support_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

bool is_dir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class DirectoriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-dirs-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        tmp_ = tmpl;
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
    }
    void TearDown() override {
        ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
        ::unsetenv("SMSGW_HOME");
        support::reset_support_for_tests();
        std::error_code ec;
        std::filesystem::remove_all(tmp_, ec);
    }
    std::string tmp_, old_cwd_;
};

TEST_F(DirectoriesTest, RootsAreCreatedUnderTheHome) {
    struct Case {
        const char* env;       // nullptr: unset
        const char* expected;  // relative to the temp dir
    };
    const Case cases[] = {
        {"/abs/home", "/abs/home/"}, {"rel/home", "/rel/home/"}, {"./dot//home/", "/dot/home/"},
        {nullptr, "/smsgw-data/"},   {"", "/smsgw-data/"},
    };
    ASSERT_EQ(::chdir(tmp_.c_str()), 0);
    for (const Case& c : cases) {
        std::string env = c.env && c.env[0] == '/' ? tmp_ + c.env : (c.env ? c.env : "");
        if (c.env)
            ASSERT_EQ(::setenv("SMSGW_HOME", env.c_str(), 1), 0);
        else
            ::unsetenv("SMSGW_HOME");
        support::reset_support_for_tests();
        std::string home = tmp_ + c.expected;
        SCOPED_TRACE(c.env ? c.env : "(unset)");
        EXPECT_EQ(support::GetProgramDataDirectory(), home);
        EXPECT_EQ(support::GetPrivateDataDirectory(), home + "PRIVATE/");
        EXPECT_EQ(support::GetLogDirectory(), home + "LOGS/");
        EXPECT_EQ(support::GetDebugLogDirectory(), home + "LOGS/");
        EXPECT_EQ(support::GetMMSCLogDirectory(), home + "MMSLOGS/");
        for (const char* sub : {"", "PRIVATE", "LOGS", "MMSLOGS"})
            EXPECT_TRUE(is_dir(home + sub)) << home + sub;
    }
}

TEST_F(DirectoriesTest, ProgramDirectoryHoldsTheExecutable) {
    std::string dir = support::GetRealProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string self(exe, size_t(n));
    EXPECT_EQ(self.substr(0, self.rfind('/') + 1), dir);
}

TEST_F(DirectoriesTest, ConcurrentFirstUseAgrees) {
    ASSERT_EQ(::setenv("SMSGW_HOME", (tmp_ + "/h").c_str(), 1), 0);
    support::reset_support_for_tests();
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = support::GetPrivateDataDirectory(); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, tmp_ + "/h/PRIVATE/");
}

TEST_F(DirectoriesTest, UncreatableHomeStillAnswers) {
    // A file where the home should be: the path is returned, nothing crashes.
    std::string blocker = tmp_ + "/file";
    FILE* f = std::fopen(blocker.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(::setenv("SMSGW_HOME", (blocker + "/home").c_str(), 1), 0);
    support::reset_support_for_tests();
    EXPECT_EQ(support::GetPrivateDataDirectory(), blocker + "/home/PRIVATE/");
    EXPECT_FALSE(is_dir(blocker + "/home"));
}

}  // namespace
