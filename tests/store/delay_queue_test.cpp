// Tests of the delayed queue intake: which date and minute directories are
// due, where their files go, and what is left behind.
#include "store/delay_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "store/retry.h"
#include "records/counters.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "store/store_test_util.h"
#include "support/support_state.h"

namespace fs = std::filesystem;

namespace {

using namespace store_test;

class DelayQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-delay-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        spit(home_ + "SMSGW.INI", "[SMSGW]\r\n");
        support::ini_drop_cache_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        records::close_stat_counters();
        g_now = local_time(2026, 12, 31, 23, 59, 30);
        platform::set_wall_clock(&fake_clock);
        q_ = home_ + "Q/";
    }
    void TearDown() override {
        records::close_stat_counters();
        platform::set_wall_clock(nullptr);
        frame::mutable_settings() = frame::GlobalSettings{};
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    std::string home_, q_;
};

TEST_F(DelayQueueTest, DueMinutesMoveFutureOnesWait) {
    struct Entry {
        std::string rel;    // below Q/DELAYQ/
        std::string moved;  // below Q/ when moved, empty when it must stay
    } entries[] = {
        {"20261231/2359/a.req", "a.req"},  // the current minute
        {"20261231/2358/b.req", "b.req"},  // a minute missed
        {"20261230/2200/c.req", "c.req"},  // yesterday
        {"20261231/2359/RT_-_SMPP - x_-_/d.req", "RT_-_SMPP - x_-_/d.req"},
        {"20261231/2359/####00AB/e.req", "####00AB/e.req"},
        {"20261231/2359x/f.req", "f.req"},  // longer than 4, 4 digits first
        {"20270101/0000/g.req", ""},        // tomorrow
        {"20261231/2400/h.req", ""},        // later than now
        {"20261231/235/i.req", ""},         // 3 characters
        {"20261231/ab59/j.req", ""},        // not digits
        {"2026123/2359/k.req", ""},         // 7 characters
        {"notadate/2359/l.req", ""},
    };
    for (const Entry& e : entries) spit(q_ + "DELAYQ/" + e.rel, "content of " + e.rel);
    // A live file of the same name is replaced.
    spit(q_ + "a.req", "older");

    EXPECT_EQ(store::process_delay_queue(q_), 6u);
    for (const Entry& e : entries) {
        if (e.moved.empty()) {
            EXPECT_TRUE(fs::exists(q_ + "DELAYQ/" + e.rel)) << e.rel;
        } else {
            EXPECT_EQ(slurp(q_ + e.moved), "content of " + e.rel) << e.rel;
            EXPECT_FALSE(fs::exists(q_ + "DELAYQ/" + e.rel)) << e.rel;
        }
    }
    EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize), 6u);
    // Emptied directories go; those still holding files stay.
    EXPECT_FALSE(fs::exists(q_ + "DELAYQ/20261231/2359"));
    EXPECT_FALSE(fs::exists(q_ + "DELAYQ/20261230"));
    EXPECT_TRUE(fs::exists(q_ + "DELAYQ/20261231/2400"));
    EXPECT_TRUE(fs::exists(q_ + "DELAYQ/20270101/0000"));

    // The minute after midnight brings tomorrow's files.
    g_now = local_time(2027, 1, 1, 0, 0, 0);
    EXPECT_EQ(store::process_delay_queue(q_), 2u);  // g, and h now that its date has passed
    EXPECT_TRUE(fs::exists(q_ + "g.req"));
    EXPECT_TRUE(fs::exists(q_ + "h.req"));
    EXPECT_TRUE(fs::exists(q_ + "DELAYQ/20261231/235/i.req"));
}

// A message scheduled days ahead must not count those days against its
// RetryMaxAge: its age starts when it joins the live queue.
TEST_F(DelayQueueTest, AgeStartsWhenTheMessageBecomesDue) {
    struct Case {
        const char* rel;
        time_t written_ago;
    } cases[] = {
        {"20261231/2359/a.req", 3 * 86400},
        {"20261231/2359/RT_-_r_-_/b.req", 2 * 86400},
        {"20261230/0800/c.req", 60},
    };
    for (const Case& c : cases) {
        spit(q_ + "DELAYQ/" + c.rel, "x");
        ASSERT_TRUE(platform::set_file_mtime(q_ + "DELAYQ/" + c.rel, g_now - c.written_ago));
    }
    EXPECT_EQ(store::process_delay_queue(q_), 3u);
    store::RetrySchedule sched;  // RetryMaxAge 1440 minutes
    for (const Case& c : cases) {
        std::string rel = c.rel;
        const std::string live = q_ + rel.substr(rel.find('/', 9) + 1);
        SCOPED_TRACE(live);
        ASSERT_EQ(platform::file_mtime(live), std::optional<time_t>(g_now.load()));
        EXPECT_TRUE(store::retry_allowed(sched, store::ErrorClass::Retryable, 0,
                                         *platform::file_mtime(live), g_now, true));
    }
}

// A link below the delay directory is not followed: the files it points to
// stay where they are.
TEST_F(DelayQueueTest, SymbolicLinksStayWhereTheyAre) {
    const std::string outside = home_ + "outside/";
    spit(outside + "o.req", "o");
    spit(q_ + "DELAYQ/20261231/2359/real.req", "r");
    fs::create_directory_symlink(outside, q_ + "DELAYQ/20261231/2359/RT_-_x_-_");
    fs::create_symlink(outside + "o.req", q_ + "DELAYQ/20261231/2359/l.req");
    fs::create_directory_symlink(outside, q_ + "DELAYQ/20261230");
    EXPECT_EQ(store::process_delay_queue(q_), 1u);
    EXPECT_EQ(slurp(q_ + "real.req"), "r");
    EXPECT_EQ(slurp(outside + "o.req"), "o");
    EXPECT_FALSE(fs::exists(q_ + "o.req"));
    EXPECT_FALSE(fs::exists(q_ + "l.req"));
    EXPECT_TRUE(fs::is_symlink(q_ + "DELAYQ/20261231/2359/l.req"));
}

TEST_F(DelayQueueTest, DirectoryNamesCompareWithoutCaseAndRouteDirsMerge) {
    spit(q_ + "DelayQ/20261231/2359/RT_-_r_-_/x.req", "x");
    spit(q_ + "rt_-_R_-_/existing.req", "e");
    EXPECT_EQ(store::process_delay_queue(q_), 1u);
    EXPECT_EQ(slurp(q_ + "rt_-_R_-_/x.req"), "x");
    EXPECT_TRUE(fs::exists(q_ + "rt_-_R_-_/existing.req"));
    EXPECT_FALSE(fs::exists(q_ + "RT_-_r_-_"));
}

TEST_F(DelayQueueTest, FilesBeingWrittenStayForTheNextRound) {
    spit(q_ + "DELAYQ/20261231/2359/.x.req.1.2.3.tmp", "partial");
    spit(q_ + "DELAYQ/20261231/2359/y.req", "y");
    EXPECT_EQ(store::process_delay_queue(q_), 1u);
    EXPECT_TRUE(fs::exists(q_ + "DELAYQ/20261231/2359/.x.req.1.2.3.tmp"));
    EXPECT_FALSE(fs::exists(q_ + ".x.req.1.2.3.tmp"));
}

TEST_F(DelayQueueTest, WritersAndTheThreadAgreeOnTheLayout) {
    // A message scheduled by a writer for 23:59 lands where the thread looks.
    g_now = local_time(2026, 12, 31, 23, 50, 0);
    frame::ScheduledTime when{2026, 12, 31, 23, 59};
    std::string dir = frame::outbound_queue_dir(&when, "SMPP - a", "", 0);
    spit(dir + "z.req", "z");
    EXPECT_EQ(store::process_delay_queue_round(), 0u);
    g_now = local_time(2026, 12, 31, 23, 59, 0);
    EXPECT_EQ(store::process_delay_queue_round(), 1u);
    EXPECT_EQ(slurp(frame::outbound_queue_dir(nullptr, "SMPP - a", "", 0) + "z.req"), "z");
    EXPECT_EQ(store::process_delay_queue(q_), 0u) << "nothing is moved twice";
}

}  // namespace
