// Tests of the bulk queue intake: list lines, batch claiming, templates,
// schedules, pacing, crash resumption and concurrent bulk threads.
#include "store/bulk_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "store/durable.h"
#include "store/message_id.h"
#include "store/store_state.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "store/store_test_util.h"
#include "support/support_state.h"

namespace fs = std::filesystem;

namespace {

using namespace store_test;

// Every file below the queue root: name -> (paths, contents).
struct QueuedFile {
    std::vector<std::string> dirs;
    std::string content;
};

class BulkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-bulk-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::MMSCIniSetFilename(home_ + "MMSC.INI");
        spit(home_ + "SMSGW.INI", "[SMSGW]\r\n");
        support::ini_drop_cache_for_tests();
        frame::reset_debug_log_for_tests();
        frame::set_debug_rollover_wait_ms(0);
        frame::mutable_settings() = frame::GlobalSettings{};
        records::close_stat_counters();
        store::reset_store_for_tests();
        store::set_bulk_pace_wait_ms(1000);
        g_now = local_time(2026, 12, 31, 23, 58, 10);
        platform::set_wall_clock(&fake_clock);
        bulk_ = home_ + "BULKQ/";
        q_ = home_ + "Q/";
    }
    void TearDown() override {
        records::close_stat_counters();
        frame::reset_debug_log_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        platform::set_wall_clock(nullptr);
        store::set_bulk_pace_wait_ms(1000);
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    std::string batch(const std::string& name) {
        std::string b = bulk_ + name + "/";
        fs::create_directories(b);
        return b;
    }

    std::map<std::string, QueuedFile> queued() {
        std::map<std::string, QueuedFile> out;
        if (!fs::exists(q_)) return out;
        for (const auto& e : fs::recursive_directory_iterator(q_)) {
            if (!e.is_regular_file()) continue;
            QueuedFile& f = out[e.path().filename().string()];
            f.dirs.push_back(e.path().parent_path().string());
            f.content = slurp(e.path().string());
        }
        return out;
    }

    std::string debug_log() {
        frame::close_debug_log();
        return slurp(home_ + "LOGS/SMSDEBUG.LOG");
    }

    std::string home_, bulk_, q_;
};

// --- lines -------------------------------------------------------------------------

TEST(BulkLine, Parsing) {
    struct Case {
        const char* line;
        bool ok;
        const char* name;
        const char* phone;
        const char* route;
        const char* user_data;
    } cases[] = {
        {"ABC@@CTR@@.req=+15551234", true, "ABC@@CTR@@.req", "+15551234", "", ""},
        {"a.req=+1;SMPP - x:1", true, "a.req", "+1", "SMPP - x:1", ""},
        {"a.req=+1;R;UserData=u;v=w", true, "a.req", "+1", "R", "u;v=w"},
        {"a.req=+1;UserData=only", true, "a.req", "+1", "", "only"},
        {"a.req=+1;userdata=lower", true, "a.req", "+1", "", "lower"},
        {"a.req=+1;;UserData=u", true, "a.req", "+1", "", "u"},
        {"a.req=+1;R;Other=x", true, "a.req", "+1", "R", ""},
        {"a.req=+1;localuser:bob", true, "a.req", "+1", "localuser:bob", ""},
        {" a.req = +1 ", true, "a.req", "+1", "", ""},
        {"no equals sign", false, "", "", "", ""},
        {"=+1555", false, "", "", "", ""},
        {"a.req=", false, "", "", "", ""},
        {"a.req=;R", false, "", "", "", ""},
        {"../evil.req=+1", false, "", "", "", ""},
        {"sub/x.req=+1", false, "", "", "", ""},
        {".hidden.req=+1", false, "", "", "", ""},
        {"a.req=+1\tSMSCRoute=x", false, "", "", "", ""},
    };
    for (const Case& c : cases) {
        store::BulkRecipient r;
        ASSERT_EQ(store::parse_bulk_line(c.line, r), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(r.file_name, c.name) << c.line;
        EXPECT_EQ(r.phone, c.phone) << c.line;
        EXPECT_EQ(r.route, c.route) << c.line;
        EXPECT_EQ(r.user_data, c.user_data) << c.line;
    }
    store::BulkRecipient r;
    EXPECT_FALSE(store::parse_bulk_line(std::string(300, 'n') + "=+1", r));
    EXPECT_TRUE(store::parse_bulk_line(std::string(240, 'n') + "=+1", r));
}

TEST(BulkLine, NamesTextsFlagsAndLimits) {
    EXPECT_EQ(store::expand_bulk_name("ABC@@CTR@@.req", 1), "ABC1.req");
    EXPECT_EQ(store::expand_bulk_name("S-@@CTR@@-x-@@CTR@@.req", 12), "S-12-x-12.req");
    EXPECT_EQ(store::expand_bulk_name("plain.req", 3), "plain.req");
    EXPECT_EQ(store::expand_bulk_name("@@CTR@", 3), "@@CTR@");

    store::BulkRecipient r{"x", "+1555", "", ""};
    EXPECT_EQ(store::bulk_request_text("[SMS]\r\nData=Hi\r\n", r),
              "[SMS]\r\nData=Hi\r\nPhoneNumber=+1555\r\n");
    EXPECT_EQ(store::bulk_request_text("[SMS]\r\nData=Hi", r),
              "[SMS]\r\nData=Hi\r\nPhoneNumber=+1555\r\n");
    store::BulkRecipient full{"x", "+1555", "SMPP - a", "ref 7"};
    EXPECT_EQ(store::bulk_request_text("[SMS]\n", full),
              "[SMS]\nPhoneNumber=+1555\r\nSMSCRoute=SMPP - a\r\nUserData=ref 7\r\n");

    auto t = store::parse_qdelay_flag("QDelay-202612312359.FLG");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->year, 2026);
    EXPECT_EQ(t->month, 12);
    EXPECT_EQ(t->day, 31);
    EXPECT_EQ(t->hour, 23);
    EXPECT_EQ(t->minute, 59);
    EXPECT_FALSE(store::parse_qdelay_flag("QDelay-20261231235.FLG"));
    EXPECT_FALSE(store::parse_qdelay_flag("QDelay-2026123123x9.FLG"));
    EXPECT_FALSE(store::parse_qdelay_flag("QDelay-.FLG"));

    struct Limit {
        uint32_t max, limit;
    } limits[] = {{10000, 5000}, {0, 5000}, {2000, 1000}, {2001, 1000},
                  {5, 2},        {4, 2},    {3, 2},       {1, 2}};
    for (const Limit& l : limits) EXPECT_EQ(store::bulk_pace_limit(l.max), l.limit) << l.max;
}

// --- batches -----------------------------------------------------------------------

TEST_F(BulkTest, OneTemplateBatchExpandsAndDisappears) {
    std::string b = batch("B0001");
    spit(b + "M1.REQ", "[SMS]\r\nData=Hello\r\n");
    spit(b + "R0000001.BLK", "ABC@@CTR@@.req=+15551234\r\n");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_FALSE(fs::exists(b));
    auto files = queued();
    ASSERT_EQ(files.size(), 1u);
    const QueuedFile& f = files["ABC1.req"];
    EXPECT_EQ(f.content, "[SMS]\r\nData=Hello\r\nPhoneNumber=+15551234\r\n");
    ASSERT_EQ(f.dirs.size(), 1u);
    std::string dir = fs::path(f.dirs[0]).filename().string();
    EXPECT_TRUE(std::regex_match(dir, std::regex("####[0-9A-F]{4}"))) << dir;
    EXPECT_EQ(fs::path(f.dirs[0]).parent_path().string() + "/", q_);
    EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize), 1u);
}

TEST_F(BulkTest, TwoTemplatesRoutesUserDataAndBadLines) {
    std::string b = batch("B0002");
    spit(b + "M1.REQ", "[SMS]\r\nData=part one\r\nUDH=050003070201\r\n");
    spit(b + "m2.req", "[SMS]\r\nData=part two\r\nUDH=050003070202");
    spit(b + "M4.REQ", "[SMS]\r\nData=never used\r\n");
    spit(b + "R0000001.BLK",
         "SAR-a-7-2-@@CTR@@.req=+1001\r\n"
         "this line has no separator\n"
         "../../escape-@@CTR@@.req=+1002\r"
         "SAR-b-7-2-@@CTR@@.req=+1003;SMPP - b\r\n"
         "\r\n"
         "bad-@@CTR@@.req=\r\n"
         "SAR-c-7-2-@@CTR@@.req=+1004;UserData=acct 9\r\n"
         "SAR-d-7-2-@@CTR@@.req=+1005;R;UserData=x");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    auto files = queued();
    ASSERT_EQ(files.size(), 8u);
    const std::string t1 = "[SMS]\r\nData=part one\r\nUDH=050003070201\r\n";
    const std::string t2 = "[SMS]\r\nData=part two\r\nUDH=050003070202\r\n";
    EXPECT_EQ(files["SAR-a-7-2-1.req"].content, t1 + "PhoneNumber=+1001\r\n");
    EXPECT_EQ(files["SAR-a-7-2-2.req"].content, t2 + "PhoneNumber=+1001\r\n");
    EXPECT_EQ(files["SAR-b-7-2-2.req"].content, t2 + "PhoneNumber=+1003\r\nSMSCRoute=SMPP - b\r\n");
    EXPECT_EQ(files["SAR-c-7-2-1.req"].content, t1 + "PhoneNumber=+1004\r\nUserData=acct 9\r\n");
    EXPECT_EQ(files["SAR-d-7-2-2.req"].content,
              t2 + "PhoneNumber=+1005\r\nSMSCRoute=R\r\nUserData=x\r\n");
    // One list goes to one directory.
    std::set<std::string> dirs;
    for (auto& [name, f] : files) dirs.insert(f.dirs.begin(), f.dirs.end());
    EXPECT_EQ(dirs.size(), 1u);
    EXPECT_FALSE(fs::exists(home_ + "escape-1.req"));
    EXPECT_FALSE(fs::exists(b));
}

TEST_F(BulkTest, NinetyNineTemplatesAtMost) {
    std::string b = batch("B0003");
    for (int i = 1; i <= 100; ++i)
        spit(b + platform::strprintf("M%d.REQ", i), platform::strprintf("[SMS]\r\nData=%d\r\n", i));
    spit(b + "R0000001.BLK", "X@@CTR@@.req=+1\r\n");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    auto files = queued();
    EXPECT_EQ(files.size(), 99u);
    EXPECT_EQ(files["X99.req"].content, "[SMS]\r\nData=99\r\nPhoneNumber=+1\r\n");
    EXPECT_EQ(files.count("X100.req"), 0u);
}

TEST_F(BulkTest, UnreadableOrMissingTemplateKeepsTheLists) {
    const std::string list = "A@@CTR@@.req=+1\r\nB@@CTR@@.req=+2\r\n";
    // A template that exists but cannot be read (here: a directory).
    std::string b = batch("B0004");
    spit(b + "M1.REQ", "[SMS]\r\nData=1\r\n");
    fs::create_directories(b + "M2.REQ");
    spit(b + "R0000001.BLK", list);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::TemplateError);
    EXPECT_EQ(slurp(b + "R0000001.BLK"), list);
    EXPECT_TRUE(queued().empty());
    EXPECT_FALSE(fs::exists(b + "LOCK.LCK"));
    // Repaired, the batch goes through whole.
    fs::remove(b + "M2.REQ");
    spit(b + "M2.REQ", "[SMS]\r\nData=2\r\n");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_EQ(queued().size(), 4u);

    // No template at all.
    std::string c = batch("B0005");
    spit(c + "R0000001.BLK", list);
    EXPECT_EQ(store::process_bulk_batch(c), store::BatchResult::TemplateError);
    EXPECT_EQ(slurp(c + "R0000001.BLK"), list);
    EXPECT_EQ(queued().size(), 4u);
}

TEST_F(BulkTest, QDelayFlagHoldsTheBatchUntilItsMinute) {
    std::string b = batch("B0006");
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "QDelay-202612312359.FLG", "");
    spit(b + "R0000001.BLK", "a.req=+1\r\n");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Scheduled);
    g_now = local_time(2026, 12, 31, 23, 58, 59);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Scheduled);
    EXPECT_TRUE(fs::exists(b + "QDelay-202612312359.FLG"));
    EXPECT_TRUE(queued().empty());
    g_now = local_time(2026, 12, 31, 23, 59, 0);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_EQ(queued().size(), 1u);

    // A flag without 12 digits is ignored.
    std::string c = batch("B0007");
    spit(c + "M1.REQ", "[SMS]\r\n");
    spit(c + "QDelay-2099.FLG", "");
    spit(c + "R0000001.BLK", "b.req=+1\r\n");
    EXPECT_EQ(store::process_bulk_batch(c), store::BatchResult::Complete);
    EXPECT_EQ(queued().size(), 2u);
}

TEST_F(BulkTest, LockAndBuildMarkers) {
    std::string b = batch("B0008");
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "R0000001.BLK", "a.req=+1\r\n");
    {
        std::optional<platform::Marker> other = platform::Marker::acquire(b + "LOCK.LCK");
        ASSERT_TRUE(other);
        EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Busy);
        EXPECT_TRUE(queued().empty());
    }
    // A lock left by a crashed thread does not hold the batch.
    spit(b + "LOCK.LCK", "");
    std::optional<platform::Marker> build = platform::Marker::acquire(b + "BUILD.LCK");
    ASSERT_TRUE(build);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Expanded);
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_FALSE(fs::exists(b + "R0000001.BLK"));
    EXPECT_FALSE(fs::exists(b + "LOCK.LCK"));
    EXPECT_TRUE(fs::exists(b + "BUILD.LCK"));
    // The writer adds a list while it still builds.
    spit(b + "R0000002.BLK", "b.req=+2\r\n");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Expanded);
    EXPECT_EQ(queued().size(), 2u);
    // Still building, no lists: left alone, not lost from view.
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Expanded);
    // The writer is done (or died): the batch is finished.
    build.reset();
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_FALSE(fs::exists(b));

    // A batch directory still being set up (no list, no flag) is left alone.
    std::string c = batch("B0009");
    EXPECT_EQ(store::process_bulk_batch(c), store::BatchResult::NoLists);
    EXPECT_TRUE(fs::exists(c));
}

TEST_F(BulkTest, ListStillHeldByItsWriterIsPassedBy) {
    std::string b = batch("B0010");
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "R0000001.BLK", "a.req=+1\r\n");
    int fd = ::open((b + "R0000001.BLK").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Expanded);
    EXPECT_TRUE(queued().empty());
    ::close(fd);
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_EQ(queued().size(), 1u);
}

TEST_F(BulkTest, RemovalTakesEverythingInTheBatch) {
    std::string b = batch("B0011");
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "R0000001.BLK", "a.req=+1\r\n");
    spit(b + ".hidden", "x");
    spit(b + "sub/deeper/file", "x");
    spit(b + "orphan.POS", "x");
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_FALSE(fs::exists(b));
}

TEST_F(BulkTest, ResumesAListFromItsRecordedProgress) {
    std::string b = batch("B0012");
    spit(b + "M1.REQ", "[SMS]\r\n");
    std::string list;
    size_t sixth = 0;
    for (int i = 1; i <= 10; ++i) {
        if (i == 6) sixth = list.size();
        list += platform::strprintf("r%02d.req=+1%02d\r\n", i, i);
    }
    spit(b + "R0000001.BLK", list);
    spit(b + "R0000001.POS", platform::strprintf("####00AB\r\n%zu\r\n", sixth));
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    auto files = queued();
    ASSERT_EQ(files.size(), 5u);
    for (int i = 6; i <= 10; ++i) {
        const QueuedFile& f = files[platform::strprintf("r%02d.req", i)];
        ASSERT_EQ(f.dirs.size(), 1u) << i;
        EXPECT_EQ(f.dirs[0], q_ + "####00AB");
    }

    // Progress that makes no sense starts the list over in a fresh directory.
    std::string c = batch("B0013");
    spit(c + "M1.REQ", "[SMS]\r\n");
    spit(c + "R0000001.BLK", "s1.req=+1\r\ns2.req=+2\r\n");
    spit(c + "R0000001.POS", "####00AB\r\n99999\r\n");
    EXPECT_EQ(store::process_bulk_batch(c), store::BatchResult::Complete);
    files = queued();
    ASSERT_EQ(files.count("s1.req"), 1u);
    ASSERT_EQ(files.count("s2.req"), 1u);
}

// A request file that cannot be written stops the list at that line, with
// its progress kept; a later round goes on from there and drops nobody.
TEST_F(BulkTest, FailedWriteKeepsTheListAndResumesAtThatLine) {
    struct Case {
        const char* name;
        int templates;
        const char* blocked;  // file name taken by a directory
    };
    const std::vector<Case> cases = {
        {"one template", 1, "r03-1.req"},
        {"second part of a line", 2, "r03-2.req"},
        {"first line", 2, "r01-1.req"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(q_);
        records::close_stat_counters();
        const uint32_t queued_before = records::counter_today(records::Counter::OutQueueSize);
        std::string b = batch(platform::strprintf("F%04d", ++n));
        for (int t = 1; t <= c.templates; ++t)
            spit(b + platform::strprintf("M%d.REQ", t), platform::strprintf("[SMS]\r\nData=%d\r\n", t));
        std::string list;
        size_t third = 0, blocked_line = 0;
        for (int i = 1; i <= 5; ++i) {
            if (i == 3) third = list.size();
            list += platform::strprintf("r%02d-@@CTR@@.req=+1%02d\r\n", i, i);
        }
        // Progress is the end of the last finished line (before its "\r\n").
        blocked_line = std::string(c.blocked).rfind("r01", 0) == 0 ? 0 : third - 2;
        spit(b + "R0000001.BLK", list);
        spit(b + "R0000001.POS", "####00AB\r\n0\r\n");
        const std::string dir = q_ + "####00AB/";
        fs::create_directories(dir + c.blocked);

        EXPECT_NE(store::process_bulk_batch(b), store::BatchResult::Complete);
        EXPECT_EQ(slurp(b + "R0000001.BLK"), list);
        EXPECT_EQ(slurp(b + "R0000001.POS"),
                  platform::strprintf("####00AB\r\n%020zu\r\n", blocked_line));
        EXPECT_FALSE(fs::exists(dir + "r04-1.req"));

        fs::remove(dir + c.blocked);
        EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
        auto files = queued();
        EXPECT_EQ(files.size(), size_t(5 * c.templates));
        for (int i = 1; i <= 5; ++i)
            for (int t = 1; t <= c.templates; ++t) {
                const QueuedFile& f = files[platform::strprintf("r%02d-%d.req", i, t)];
                ASSERT_EQ(f.dirs.size(), 1u) << i << "/" << t;
                EXPECT_EQ(f.dirs[0] + "/", dir);
                EXPECT_EQ(f.content, platform::strprintf("[SMS]\r\nData=%d\r\nPhoneNumber=+1%02d\r\n", t, i));
            }
        // Parts written before the failure are not counted again.
        EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize),
                  queued_before + unsigned(5 * c.templates));
    }
}

// Symbolic links in the bulk queue are never followed: nothing is read
// through them, queued from them or deleted in their targets.
TEST_F(BulkTest, SymbolicLinksAreSkippedAndTraced) {
    frame::mutable_settings().debug = true;
    const std::string outside = home_ + "outside/";
    spit(outside + "M1.REQ", "[SMS]\r\nData=private\r\n");
    ::chmod((outside + "M1.REQ").c_str(), 0600);
    spit(outside + "R0000001.BLK", "x.req=+1\r\n");
    spit(outside + "keep.txt", "mine");

    // A batch directory that is a link to another directory.
    fs::create_directories(bulk_);
    fs::create_directory_symlink(outside, bulk_ + "B0100");
    // A batch whose template is a link to a private file.
    std::string b = batch("B0101");
    fs::create_symlink(outside + "M1.REQ", b + "M1.REQ");
    spit(b + "R0000001.BLK", "y.req=+2\r\n");
    // A batch with a linked list beside a real one.
    std::string c = batch("B0102");
    spit(c + "M1.REQ", "[SMS]\r\n");
    spit(c + "R0000001.BLK", "z.req=+3\r\n");
    fs::create_symlink(outside + "R0000001.BLK", c + "R0000002.BLK");

    for (int round = 0; round < 2; ++round) store::process_bulk_queue_round();
    EXPECT_EQ(store::process_bulk_batch(bulk_ + "B0100/"), store::BatchResult::Link);
    EXPECT_EQ(slurp(outside + "keep.txt"), "mine");
    EXPECT_TRUE(fs::exists(outside + "R0000001.BLK"));
    EXPECT_TRUE(fs::is_symlink(bulk_ + "B0100"));
    EXPECT_TRUE(fs::exists(b + "R0000001.BLK"));  // waits like an unreadable template
    auto files = queued();
    EXPECT_EQ(files.size(), 1u);
    EXPECT_EQ(files.count("z.req"), 1u);
    EXPECT_FALSE(fs::exists(c));  // the link went with its batch, its target stayed
    EXPECT_EQ(slurp(outside + "M1.REQ"), "[SMS]\r\nData=private\r\n");

    std::string log = debug_log();
    for (const std::string& line :
         {"Symbolic link " + bulk_ + "B0100/ skipped", "Template " + b + "M1.REQ is a symbolic link, not read",
          "Symbolic link " + c + "R0000002.BLK skipped"}) {
        size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        if (at != std::string::npos) {
            EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "once: " << line;
        }
    }
}

TEST_F(BulkTest, PacingKeepsEveryTargetDirectoryAtHalfOfMaxQDirEntries) {
    frame::mutable_settings().max_q_dir_entries = 10;  // at most 5 per directory
    frame::mutable_settings().debug = true;
    store::set_bulk_pace_wait_ms(20);
    std::string b = batch("B0014");
    spit(b + "M1.REQ", "[SMS]\r\n");
    std::string list;
    for (int i = 0; i < 12; ++i) list += platform::strprintf("p%02d.req=+1\r\n", i);
    spit(b + "R0000001.BLK", list);

    std::atomic<bool> done{false};
    store::BatchResult result = store::BatchResult::NoLists;
    std::thread worker([&] {
        result = store::process_bulk_batch(b);
        done = true;
    });
    // A slow link worker: takes one file per look at the queue.
    std::map<std::string, int> taken;
    size_t most = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        bool finished = done.load();
        for (const auto& d : platform::scan_dir(q_, "####*", platform::ScanKind::DirsOnly)) {
            auto reqs = platform::scan_dir(q_ + d.name, "*.REQ", platform::ScanKind::FilesOnly);
            most = std::max(most, reqs.size());
            size_t take = finished ? reqs.size() : std::min<size_t>(reqs.size(), 1);
            for (size_t i = 0; i < take; ++i) {
                ++taken[reqs[i].name];
                fs::remove(q_ + d.name + "/" + reqs[i].name);
            }
        }
        if (finished) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    worker.join();
    EXPECT_EQ(result, store::BatchResult::Complete);
    EXPECT_LE(most, 5u);
    EXPECT_EQ(taken.size(), 12u);
    for (auto& [name, n] : taken) EXPECT_EQ(n, 1) << name;
    std::string log = debug_log();
    EXPECT_NE(log.find("ThreadProcessBulkQ:  Waiting on q directory\r\n"), std::string::npos);
    EXPECT_NE(log.find("ThreadProcessBulkQ:  Done waiting on q directory\r\n"), std::string::npos);
}

TEST_F(BulkTest, ThreeThreadsShareTheQueueWithoutDuplicates) {
    constexpr int kBatches = 4, kLists = 3, kLines = 50;
    for (int bi = 0; bi < kBatches; ++bi) {
        std::string b = batch(platform::strprintf("C%04d", bi));
        spit(b + "M1.REQ", "[SMS]\r\nData=1\r\n");
        spit(b + "M2.REQ", "[SMS]\r\nData=2\r\n");
        for (int li = 1; li <= kLists; ++li) {
            std::string list;
            for (int n = 0; n < kLines; ++n)
                list += platform::strprintf("b%d-l%d-n%02d-@@CTR@@.req=+%d%d%02d\r\n", bi, li, n,
                                            bi, li, n);
            spit(b + platform::strprintf("R%07d.BLK", li), list);
        }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 50 && !platform::scan_dir(bulk_, "*").empty(); ++round)
                store::process_bulk_queue_round();
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(platform::scan_dir(bulk_, "*").empty());
    auto files = queued();
    EXPECT_EQ(files.size(), size_t(kBatches * kLists * kLines * 2));
    for (auto& [name, f] : files) EXPECT_EQ(f.dirs.size(), 1u) << name;
    EXPECT_EQ(files["b3-l2-n07-2.req"].content, "[SMS]\r\nData=2\r\nPhoneNumber=+3207\r\n");
    EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize),
              uint32_t(kBatches * kLists * kLines * 2));
}

}  // namespace

namespace {
std::string list_of(int lines) {
    std::string list;
    for (int i = 1; i <= lines; ++i) list += platform::strprintf("r%04d.req=+1%04d\r\n", i, i);
    return list;
}
// Progress offsets: the end of line k, before its "\r\n" (18 bytes a line).
size_t end_of_line(int k) {
    return size_t(k) * 18 - 2;
}
}  // namespace

TEST_F(BulkTest, DurableModeSyncsInChunksAndRemovesTheListOnlyAfterItsFiles) {
    frame::mutable_settings().durable_queue = true;
    frame::mutable_settings().durable_queue_commit_ms = 0;
    platform::set_boot_id_for_tests("boot-A");
    std::string b = batch("D0001");
    std::vector<std::vector<std::string>> calls;
    std::vector<std::string> progress;  // the progress file at each sync
    std::vector<int> results = {0, EIO};
    store::set_durable_sync_for_tests([&](const std::vector<std::string>& p) {
        calls.push_back(p);
        progress.push_back(fs::exists(b + "R0000001.BLK") ? slurp(b + "R0000001.POS") : "no list");
        for (const std::string& f : p) EXPECT_TRUE(fs::exists(f)) << f;
        return calls.size() <= results.size() ? results[calls.size() - 1] : 0;
    });
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "R0000001.BLK", list_of(600));
    // The second chunk fails to sync: the list stays, its progress back at
    // the end of the first chunk, the last one on disk.
    EXPECT_NE(store::process_bulk_batch(b), store::BatchResult::Complete);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].size(), 256u);
    const std::string pos = slurp(b + "R0000001.POS");
    EXPECT_EQ(pos.substr(10), platform::strprintf("%020zu\r\n%020zu boot-A\r\n", end_of_line(256),
                                                  end_of_line(256)));
    results.clear(), calls.clear(), progress.clear();
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    // Lines 257..600 again: a chunk and the rest, the list still there at
    // both syncs, the durable offset trailing the written one.
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].size(), 256u);
    EXPECT_EQ(calls[1].size(), 88u);
    EXPECT_EQ(fs::path(calls[0].front()).filename(), "r0257.req");
    EXPECT_NE(progress[1].find(platform::strprintf("%020zu boot-A", end_of_line(512))),
              std::string::npos) << progress[1];
    EXPECT_EQ(queued().size(), 600u);
    EXPECT_FALSE(fs::exists(b));
    store::set_durable_sync_for_tests(nullptr);
    platform::set_boot_id_for_tests("");
}

TEST_F(BulkTest, AfterAPowerLossADurableListResumesFromItsSyncedLine) {
    struct Case {
        const char* recorded_boot;
        bool durable_mode;
        int first_line;  // first line queued on resumption
    };
    const std::vector<Case> cases = {
        {"boot-A", true, 9},   // the process died: its written lines stand
        {"boot-Z", false, 5},  // a reboot since: only the synced lines stand
    };
    platform::set_boot_id_for_tests("boot-A");
    std::vector<std::vector<std::string>> calls;
    store::set_durable_sync_for_tests([&](const std::vector<std::string>& p) {
        calls.push_back(p);
        return 0;
    });
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recorded_boot);
        fs::remove_all(q_);
        frame::mutable_settings().durable_queue = c.durable_mode;
        std::string b = batch(platform::strprintf("P%04d", ++n));
        spit(b + "M1.REQ", "[SMS]\r\n");
        spit(b + "R0000001.BLK", list_of(10));
        spit(b + "R0000001.POS", platform::strprintf("####00AB\r\n%020zu\r\n%020zu %s\r\n",
                                                     end_of_line(8), end_of_line(4),
                                                     c.recorded_boot));
        EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
        auto files = queued();
        EXPECT_EQ(files.size(), size_t(11 - c.first_line));
        for (int i = c.first_line; i <= 10; ++i)
            EXPECT_EQ(files[platform::strprintf("r%04d.req", i)].dirs,
                      std::vector<std::string>{q_ + "####00AB"}) << i;
    }
    // Every line written before the crash, none synced: the list still goes
    // only after a sync of its directory's file system.
    frame::mutable_settings().durable_queue = true;
    calls.clear();
    std::string b = batch("P0009");
    spit(b + "M1.REQ", "[SMS]\r\n");
    spit(b + "R0000001.BLK", list_of(10));
    spit(b + "R0000001.POS", platform::strprintf("####00AB\r\n%020zu\r\n%020zu boot-A\r\n",
                                                 end_of_line(10), end_of_line(4)));
    EXPECT_EQ(store::process_bulk_batch(b), store::BatchResult::Complete);
    EXPECT_EQ(calls, std::vector<std::vector<std::string>>{{q_ + "####00AB/"}});
    store::set_durable_sync_for_tests(nullptr);
    platform::set_boot_id_for_tests("");
}
