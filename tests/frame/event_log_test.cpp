// Event reports, daily markers and the date and time texts.
#include "frame/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <regex>

#include "frame_fixture.h"
#include "platform/clock.h"

namespace {

using frame::EventType;
using frame_test::FrameTest;
using frame_test::slurp;
using frame_test::spit;

TEST_F(FrameTest, EventReportsAppendOneLineEach) {
    load("[SMSGW]\n");
    frame::report_event(EventType::Success, "Kel SMS/MMS Gateway service started.");
    frame::report_event(EventType::Warning, "two\r\nlines\tand tab");
    frame::report_event(EventType::Error, "port");
    std::string text = slurp(home_ + "PRIVATE/EVENTS.LOG");
    std::regex re(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\tSuccess\tKel SMS/MMS Gateway service "
        "started.\r\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\tWarning\ttwo  lines and tab\r\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\tError\tport\r\n");
    EXPECT_TRUE(std::regex_match(text, re)) << text;
    auto lines = frame::read_event_log();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("\tError\tport"), std::string::npos);
    EXPECT_TRUE(frame::clear_event_log());
    EXPECT_TRUE(frame::read_event_log().empty());
}

TEST_F(FrameTest, DisableEventLogSuppressesTheFile) {
    load("[SMSGW]\nDisableEventLog=Yes\n");
    frame::report_event(EventType::Warning, "hidden");
    EXPECT_FALSE(std::filesystem::exists(home_ + "PRIVATE/EVENTS.LOG"));
}

void set_mtime(const std::string& path, time_t t) {
    struct utimbuf u {
        t, t
    };
    ASSERT_EQ(::utime(path.c_str(), &u), 0);
}

TEST_F(FrameTest, OnceADayMarkers) {
    load("[SMSGW]\n");
    std::string marker = home_ + "PRIVATE/SOCKET.ERR";
    frame::report_event_once_a_day("SOCKET.ERR", EventType::Error, "first");
    frame::report_event_once_a_day("SOCKET.ERR", EventType::Error, "second, same day");
    EXPECT_TRUE(std::filesystem::exists(marker));
    auto lines = frame::read_event_log();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tfirst"), std::string::npos);

    // A marker written on an earlier day is replaced and the event reported.
    set_mtime(marker, std::time(nullptr) - 3 * 86400);
    frame::report_event_once_a_day("SOCKET.ERR", EventType::Error, "next day");
    lines = frame::read_event_log();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\tnext day"), std::string::npos);

    frame::report_quota_event("alice", "quota exceeded");
    frame::report_quota_event("alice", "quota exceeded again");
    EXPECT_TRUE(std::filesystem::exists(home_ + "USERS/alice/QUOTA.ERR"));
    lines = frame::read_event_log();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("\tWarning\tquota exceeded"), std::string::npos);
}

class TimeZoneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        if (old) saved_ = old;
    }
    void TearDown() override {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    void zone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    std::optional<std::string> saved_;
};

TEST_F(TimeZoneTest, Rfc822DatesCarryTheZoneOffset) {
    const time_t t = 1406037787;  // 2014-07-22 14:03:07 UTC, a Tuesday
    struct Case {
        const char* tz;
        const char* text;
    } cases[] = {
        {"UTC0", "Tue, 22 Jul 2014 14:03:07 +0000"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "Tue, 22 Jul 2014 16:03:07 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", "Tue, 22 Jul 2014 10:03:07 -0400"},
        {"IST-5:30", "Tue, 22 Jul 2014 19:33:07 +0530"},
        {"NST3:30", "Tue, 22 Jul 2014 10:33:07 -0330"},
    };
    for (const Case& c : cases) {
        zone(c.tz);
        EXPECT_EQ(frame::rfc822_date(t), c.text) << c.tz;
    }
    zone("UTC0");
    EXPECT_EQ(frame::rfc822_date(1420070400), "Thu, 1 Jan 2015 00:00:00 +0000");
}

TEST(DateTexts, LongDateAndShortTime) {
    platform::LocalTime t;
    t.year = 2014;
    t.month = 7;
    t.day = 2;
    t.hour = 9;
    t.minute = 5;
    EXPECT_EQ(frame::long_date_text(t), "July 2, 2014");
    EXPECT_EQ(frame::short_time_text(t), "09:05");
    t.month = 12;
    t.day = 31;
    t.hour = 23;
    t.minute = 59;
    EXPECT_EQ(frame::long_date_text(t), "December 31, 2014");
    EXPECT_EQ(frame::short_time_text(t), "23:59");
    t.month = 0;  // out of range never reads outside the table
    EXPECT_EQ(frame::long_date_text(t), "January 31, 2014");
}

}  // namespace
