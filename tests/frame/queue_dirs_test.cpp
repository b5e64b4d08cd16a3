// Queue directory composition, inbound batches and link section names.
#include "frame/queue_dirs.h"

#include <gtest/gtest.h>

#include "frame_fixture.h"
#include "platform/clock.h"

namespace {

using frame::compose_queue_dir;
using frame::ScheduledTime;
using frame_test::FrameTest;

TEST(QueueDirs, CompositionRules) {
    const std::string root = "/data/Q/";
    struct Case {
        const char* route;
        const char* subdir;
        uint32_t n;
        uint32_t max;
        bool route_queues;
        const char* expected;
    } cases[] = {
        {"", "", 1, 10000, true, "/data/Q/"},
        {"SMPP - 10.0.0.1:2775", "", 1, 10000, true, "/data/Q/RT_-_SMPP - 10.0.0.1-2775_-_/"},
        {"SMPP - 10.0.0.1:2775", "", 1, 10000, false, "/data/Q/"},
        {"localuser:bob", "", 1, 10000, true, "/data/Q/"},
        {"LocalUser:bob", "", 1, 10000, true, "/data/Q/"},
        {"~~invalid~~", "", 1, 10000, true, "/data/Q/"},
        {"a/b\\c:d", "", 5, 10000, true, "/data/Q/RT_-_a-b-c-d_-_/"},
        {"", "SUB:1/x", 5, 10000, true, "/data/Q/SUB-1-x/"},
        {"HTTP - x", "S", 5, 10000, true, "/data/Q/RT_-_HTTP - x_-_S/"},
        {"localuser:bob", "S", 5, 10000, true, "/data/Q/S/"},
        // Directory splitting: n reaching MaxQDirEntries adds ###%04X.
        {"", "", 10000, 10000, true, "/data/Q/"},
        {"", "", 10001, 10000, true, "/data/Q/###0001/"},
        {"", "", 20000, 10000, true, "/data/Q/###0002/"},
        {"", "", 0xAB * 100, 100, true, "/data/Q/###00AB/"},
        {"UCP - y", "", 25000, 10000, true, "/data/Q/RT_-_UCP - y_-_###0002/"},
        {"", "", 10001, 0, true, "/data/Q/###0001/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compose_queue_dir(root, nullptr, c.route, c.subdir, c.n, c.max, c.route_queues),
                  c.expected)
            << c.route << " | " << c.subdir << " | " << c.n;
    }
}

TEST_F(FrameTest, RouteQueueBelowTheProgramDataDirectory) {
    load("[SMSGW]\n");
    EXPECT_EQ(frame::outbound_queue_dir(nullptr, "SMPP - 10.0.0.1:2775", "", 1),
              home_ + "Q/RT_-_SMPP - 10.0.0.1-2775_-_/");
    load("[SMSGW]\nUseRouteQueues=No\nQDir=" + home_ + "OUT\nMaxQDirEntries=10\n");
    EXPECT_EQ(frame::outbound_queue_dir(nullptr, "SMPP - 10.0.0.1:2775", "", 35),
              home_ + "OUT/###0003/");
}

std::string delayed_levels(const ScheduledTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "DELAYQ/%04d%02d%02d/%02d%02d/", t.year, t.month, t.day, t.hour,
                  t.minute);
    return buf;
}

time_t fixed_clock(int* ms) {
    if (ms) *ms = 0;
    return 1406030400;  // 2014-07-22 12:00 UTC
}

class DelayedQueueTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        platform::set_wall_clock(&fixed_clock);
        now_ = platform::local_now();
    }
    void TearDown() override {
        platform::set_wall_clock(nullptr);
        FrameTest::TearDown();
    }
    platform::LocalTime now_;
};

TEST_F(DelayedQueueTest, FutureTimesGetDatedLevelsThatAreCreated) {
    std::string root = home_ + "Q/";
    ScheduledTime later{now_.year, now_.month, now_.day, now_.hour, now_.minute + 1};
    if (later.minute > 59) later = {now_.year + 1, 1, 1, 0, 0};
    std::string dir = compose_queue_dir(root, &later, "SMPP - h:1", "", 1, 10000, true);
    std::string dated = root + delayed_levels(later);
    EXPECT_EQ(dir, dated + "RT_-_SMPP - h-1_-_/");
    EXPECT_TRUE(std::filesystem::is_directory(dated));

    // Now or earlier, to the minute: no delayed part.
    ScheduledTime same{now_.year, now_.month, now_.day, now_.hour, now_.minute};
    EXPECT_EQ(compose_queue_dir(root, &same, "", "", 1, 10000, true), root);
    ScheduledTime earlier{now_.year - 1, 12, 31, 23, 59};
    EXPECT_EQ(compose_queue_dir(root, &earlier, "", "", 1, 10000, true), root);
    ScheduledTime next_year_early{now_.year + 1, 1, 1, 0, 0};
    EXPECT_NE(compose_queue_dir(root, &next_year_early, "", "", 1, 10000, true), root);
}

TEST_F(DelayedQueueTest, ExistingDelayDirectoryOfAnotherCaseIsReused) {
    std::string root = home_ + "Q/";
    std::filesystem::create_directories(root + "DelayQ");
    ScheduledTime later{now_.year + 1, 3, 4, 5, 6};
    EXPECT_EQ(compose_queue_dir(root, &later, "", "", 1, 10000, true),
              root + "DelayQ/" + std::to_string(now_.year + 1) + "0304/0506/");
}

TEST_F(DelayedQueueTest, UncreatableDelayedLevelsFallBackToTheRoot) {
    std::string root = home_ + "Q/";
    frame_test::spit(root + "DELAYQ", "a file where the directory should be");
    ScheduledTime later{now_.year + 1, 1, 2, 3, 4};
    EXPECT_EQ(compose_queue_dir(root, &later, "SMPP - h", "", 1, 10000, true),
              root + "RT_-_SMPP - h_-_/");
}

TEST(QueueDirs, BatchesMoveOnAfterMaxFiles) {
    frame::BatchCounter c;
    std::vector<uint32_t> got;
    for (int i = 0; i < 7; ++i) got.push_back(frame::next_batch(c, 3, 0x5000));
    EXPECT_EQ(got, (std::vector<uint32_t>{0x5000, 0x5000, 0x5000, 0x5001, 0x5001, 0x5001, 0x5002}));
    // The start value is taken once, at first use.
    EXPECT_EQ(frame::next_batch(c, 3, 0x9999), 0x5002u);
}

TEST_F(FrameTest, InboundWritersSplitOnlyWhenTheQueuesAreFull) {
    load("[SMSGW]\nMaxQDirEntries=2\n");
    std::string in = home_ + "SMS-IN/";
    EXPECT_EQ(frame::inbound_write_dir(2), in);
    std::string split = frame::inbound_write_dir(3);
    ASSERT_EQ(split.size(), in.size() + 9);
    EXPECT_EQ(split.substr(0, in.size()), in);
    EXPECT_TRUE(std::filesystem::is_directory(split));
    for (char ch : split.substr(in.size(), 8)) EXPECT_TRUE(std::isxdigit(ch) && !std::islower(ch));
    load("[SMSGW]\nMaxQDirEntries=2\nEnableBulkSmsIn=No\n");
    EXPECT_EQ(frame::inbound_write_dir(1000), in);
}

TEST_F(FrameTest, DatedInboundDirectoryCountsTodaysFiles) {
    load("[SMSGW]\nMaxQDirEntries=2\n");
    platform::LocalTime t = platform::local_now();
    char day[16];
    std::snprintf(day, sizeof(day), "%04d%02d%02d", t.year, t.month, t.day);
    std::string base = home_ + "SMS-IN/" + day;
    EXPECT_EQ(frame::dated_inbound_dir(), base + "/");
    EXPECT_EQ(frame::dated_inbound_dir(), base + "/");
    EXPECT_EQ(frame::dated_inbound_dir(), base + "01/");
    EXPECT_EQ(frame::dated_inbound_dir(), base + "01/");
    EXPECT_EQ(frame::dated_inbound_dir(), base + "02/");
    EXPECT_TRUE(std::filesystem::is_directory(base + "02"));
}

TEST_F(FrameTest, AccountDirectoriesCannotLeaveTheirRoot) {
    load("[SMSGW]\nUsersQDir=" + home_ + "UQ\nEnableBulkSmsIn=No\n");
    EXPECT_EQ(frame::user_dir("alice"), home_ + "USERS/alice/");
    EXPECT_EQ(frame::user_dir(".."), home_ + "USERS/-/");
    EXPECT_EQ(frame::user_dir("../etc"), home_ + "USERS/..-etc/");
    EXPECT_EQ(frame::user_dir("a:b\\c"), home_ + "USERS/a-b-c/");
    EXPECT_EQ(frame::user_queue_dir("bob"), home_ + "UQ/bob/Q/");
    EXPECT_EQ(frame::user_log_dir("bob"), home_ + "USERS/bob/");
    EXPECT_EQ(frame::sms_in_attachment_dir(), home_ + "SMS-IN/A/");
    EXPECT_EQ(frame::bulk_q_dir(), home_ + "BULKQ/");
    EXPECT_TRUE(std::filesystem::is_directory(home_ + "BULKQ"));
    EXPECT_EQ(frame::stats_dir(), home_ + "PRIVATE/STATS/");
}

TEST(LinkSections, NamesAndTheirReverse) {
    struct Case {
        const char* link;
        const char* section;
    } cases[] = {
        {"SMPP - 10.0.0.1:2775", "SMPP - 10.0.0.1:2775"},
        {"smpp - host", "smpp - host"},
        {"HTTP - x", "HTTP - x"},
        {"UCP - y", "UCP - y"},
        {"CIMD - z", "CIMD - z"},
        {"IPModem - 1.2.3.4:23", "IPModem - 1.2.3.4:23"},
        {"KelSMSModem - k", "KelSMSModem - k"},
        {"COM1:", "Modem - COM1:"},
        {"Standard Modem [2]", "Modem - Standard Modem \\x5B2\\x5D"},
        {"SMPP - [a]]", "SMPP - \\x5Ba\\x5D\\x5D"},
        {"SMPP -x", "Modem - SMPP -x"},
        {"", "Modem - "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frame::link_section_name(c.link), c.section) << c.link;
        std::string back = frame::link_section_to_name(c.section);
        EXPECT_EQ(back.find("\\x5"), std::string::npos) << back;
    }
    EXPECT_EQ(frame::link_section_to_name("Modem - A\\x5B1\\x5d\\x5"), "Modem - A[1]\\x5");
    EXPECT_EQ(frame::link_section_to_name("\\x5C"), "\\x5C");
}

}  // namespace
