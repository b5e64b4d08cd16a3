// Tests of the retry schedule, failed-attempt records, the error queue,
// moves to another route, the link start schedule and the hourly sweep.
#include "store/retry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_file.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "store/store_test_util.h"
#include "support/support_state.h"

namespace {

constexpr time_t kDay = 86400;

using namespace store_test;

struct HookCall {
    int count = 0;
    std::string message_id, status, link;
};
HookCall g_accounting;
HookCall g_receipt;

void accounting_hook(const store::SmsMessage&, std::string_view id, std::string_view status,
                     std::string_view link) {
    ++g_accounting.count;
    g_accounting.message_id = id;
    g_accounting.status = status;
    g_accounting.link = link;
}

void receipt_hook(const std::string& path, const store::SmsMessage&, std::string_view link,
                  std::string_view error, uint32_t) {
    ++g_receipt.count;
    g_receipt.message_id = path;
    g_receipt.status = error;
    g_receipt.link = link;
}

class RetryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-retry-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::MMSCIniSetFilename(home_ + "MMSC.INI");
        support::ini_drop_cache_for_tests();
        frame::reset_debug_log_for_tests();
        frame::set_debug_rollover_wait_ms(0);
        frame::mutable_settings() = frame::GlobalSettings{};
        records::close_message_logs();
        records::close_stat_counters();
        g_now = local_time(2024, 3, 5, 12, 34, 56);
        platform::set_wall_clock(&fake_clock);
        g_accounting = {};
        g_receipt = {};
        store::set_accounting_hook(&accounting_hook);
        store::set_failure_receipt_hook(&receipt_hook);
        store::set_route_validator(nullptr);
        ini("[SMSGW]\r\n");
    }
    void TearDown() override {
        records::close_message_logs();
        records::close_stat_counters();
        frame::reset_debug_log_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        platform::set_wall_clock(nullptr);
        store::set_accounting_hook(nullptr);
        store::set_failure_receipt_hook(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void ini(const std::string& text) {
        spit(home_ + "SMSGW.INI", text);
        support::ini_drop_cache_for_tests();
    }
    void debug_on() { frame::mutable_settings().debug = true; }
    std::string debug_log() {
        frame::close_debug_log();
        return slurp(home_ + "LOGS/SMSDEBUG.LOG");
    }

    // A claimed request file with its loaded record.
    struct Claimed {
        platform::FileHandle fh;
        store::SmsMessage msg;
    };
    Claimed claim(const std::string& path) {
        Claimed c;
        c.fh = platform::claim_file(path);
        EXPECT_TRUE(c.fh.valid()) << path;
        if (c.fh.valid()) {
            EXPECT_TRUE(store::LoadSMSMessage(c.fh.fd(), c.msg));
        }
        return c;
    }

    std::string home_;
};

// --- delay tables ------------------------------------------------------------------

struct DelayCase {
    const char* name;
    store::RetrySchedule s;
    std::vector<uint64_t> delays;  // after failures 1, 2, 3, ...
};

TEST(RetryDelay, TablesGiveTheDocumentedSchedules) {
    store::RetrySchedule defaults;
    store::RetrySchedule doubling{60, 2, 1, 300, 20, 1440};
    store::RetrySchedule constant{45, 0, 2, 0, 20, 1440};
    store::RetrySchedule no_grace{30, 1, 0, 0, 20, 1440};
    store::RetrySchedule late{10, 3, 4, 0, 20, 1440};
    const DelayCase cases[] = {
        {"defaults", defaults, {0, 30, 60, 90}},
        {"doubling capped", doubling, {120, 240, 300, 300}},
        {"multiplier 0 is constant", constant, {0, 45, 45, 45}},
        {"after attempts 0", no_grace, {30, 60, 90}},
        {"after attempts 4", late, {0, 0, 0, 30, 60}},
    };
    for (const DelayCase& c : cases) {
        EXPECT_EQ(store::retry_delay_seconds(c.s, 0), 0u) << c.name;
        for (size_t i = 0; i < c.delays.size(); ++i)
            EXPECT_EQ(store::retry_delay_seconds(c.s, uint32_t(i + 1)), c.delays[i])
                << c.name << " failure " << i + 1;
    }
    // No overflow for absurd counts.
    store::RetrySchedule huge{0xFFFFFFFFu, 0xFFFFFFFFu, 1, 0, 20, 1440};
    EXPECT_GT(store::retry_delay_seconds(huge, 0xFFFFFFFFu), uint64_t(0xFFFFFFFFu));
}

TEST_F(RetryTest, MessageDueAtOrAfterLastFailurePlusDelay) {
    store::RetrySchedule s;  // 0, 30, 60 ...
    const time_t now = g_now;
    auto ago = [&](int secs) { return store::epoch_to_message_time(now - secs); };
    struct Case {
        uint32_t n;
        store::MessageTime last;
        bool due;
    } cases[] = {
        {0, ago(-3600), true},  // never failed
        {1, ago(0), true},      // first failure: no delay
        {2, ago(29), false},
        {2, ago(30), true},  // at t + d exactly
        {3, ago(59), false},
        {3, ago(60), true},
        {5, store::MessageTime{}, true},                // year 0
        {5, store::parse_time_stamp("garbage"), true},  // 2000-01-01
    };
    for (const Case& c : cases)
        EXPECT_EQ(store::message_retry_due(s, c.n, c.last, now), c.due)
            << "n=" << c.n << " last=" << store::format_time_stamp(c.last);
}

TEST_F(RetryTest, MessageDueReadsTheLinkSchedule) {
    ini("[SMSGW]\r\nRetryDelay=60\r\nRetryDelayMultiplier=2\r\nRetryDelayAfterAttempts=1\r\n"
        "RetryDelayMax=300\r\n[SMPP - a]\r\nRetryDelay=\r\n");
    store::MessageTime last = store::epoch_to_message_time(g_now - 239);
    EXPECT_FALSE(store::message_retry_due("SMPP - a", 2, last));
    g_now = g_now + 1;
    EXPECT_TRUE(store::message_retry_due("SMPP - a", 2, last));
}

TEST_F(RetryTest, ParametersFallBackPerKeyAndEmptyValues) {
    struct Case {
        const char* name;
        const char* ini;
        store::RetrySchedule want;
    } cases[] = {
        {"nothing set", "[SMSGW]\r\n", {30, 1, 2, 0, 20, 1440}},
        {"link empty falls back",
         "[SMSGW]\r\nRetryDelay=90\r\n[SMPP - a]\r\nRetryDelay=\r\n",
         {90, 1, 2, 0, 20, 1440}},
        {"both empty take the default",
         "[SMSGW]\r\nRetryDelay=\r\n[SMPP - a]\r\nRetryDelay=\r\n",
         {30, 1, 2, 0, 20, 1440}},
        {"link wins",
         "[SMSGW]\r\nRetryMaxAttempts=5\r\n[SMPP - a]\r\nRetryMaxAttempts=7\r\n",
         {30, 1, 2, 0, 7, 1440}},
        {"not a number is 0",
         "[SMSGW]\r\nRetryDelayMultiplier=fast\r\n[SMPP - a]\r\nRetryMaxAge=x\r\n",
         {30, 0, 2, 0, 20, 0}},
        {"all keys",
         "[SMPP - a]\r\nRetryDelay=1\r\nRetryDelayMultiplier=2\r\nRetryDelayAfterAttempts=3\r\n"
         "RetryDelayMax=4\r\nRetryMaxAttempts=5\r\nRetryMaxAge=6\r\n",
         {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        ini(c.ini);
        store::RetrySchedule got = store::read_retry_schedule("SMPP - a");
        EXPECT_EQ(got.retry_delay, c.want.retry_delay) << c.name;
        EXPECT_EQ(got.multiplier, c.want.multiplier) << c.name;
        EXPECT_EQ(got.after_attempts, c.want.after_attempts) << c.name;
        EXPECT_EQ(got.delay_max, c.want.delay_max) << c.name;
        EXPECT_EQ(got.max_attempts, c.want.max_attempts) << c.name;
        EXPECT_EQ(got.max_age_minutes, c.want.max_age_minutes) << c.name;
    }
    // A local modem's section carries the "Modem - " prefix.
    ini("[Modem - COM1:]\r\nRetryDelay=12\r\n");
    EXPECT_EQ(store::read_retry_schedule("COM1:").retry_delay, 12u);
}

// --- retry decision ----------------------------------------------------------------

TEST(RetryDecision, ClassesCountsAndAge) {
    using store::ErrorClass;
    const time_t now = 1'700'000'000;
    const time_t fresh = now - 60;
    const time_t at_limit = now - 1440 * 60;
    const time_t too_old = now - 1441 * 60;
    store::RetrySchedule s;  // 20 attempts, 1440 minutes
    store::RetrySchedule zero = s;
    zero.max_attempts = 0;
    struct Case {
        const char* name;
        const store::RetrySchedule& s;
        ErrorClass cls;
        uint32_t n;
        time_t created;
        bool age_limit;
        bool want;
    } cases[] = {
        {"retryable first", s, ErrorClass::Retryable, 0, fresh, true, true},
        {"retryable last allowed", s, ErrorClass::Retryable, 19, fresh, true, true},
        {"retryable exhausted", s, ErrorClass::Retryable, 20, fresh, true, false},
        {"reject code", s, ErrorClass::Reject, 0, fresh, true, false},
        {"final error", s, ErrorClass::Final, 0, fresh, true, false},
        {"always retry past the count", s, ErrorClass::AlwaysRetry, 500, fresh, true, true},
        {"exactly RetryMaxAge old", s, ErrorClass::Retryable, 1, at_limit, true, true},
        {"1441 minutes old", s, ErrorClass::Retryable, 1, too_old, true, false},
        {"always retry ends at RetryMaxAge", s, ErrorClass::AlwaysRetry, 1, too_old, true, false},
        {"no age limit (modem)", s, ErrorClass::Retryable, 1, too_old, false, true},
        {"RetryMaxAttempts=0 fails counted errors", zero, ErrorClass::Retryable, 0, fresh, true,
         false},
        {"RetryMaxAttempts=0 still retries always-retry", zero, ErrorClass::AlwaysRetry, 7, fresh,
         true, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(store::retry_allowed(c.s, c.cls, c.n, c.created, now, c.age_limit), c.want)
            << c.name;
}

// --- the [ErrorDetail] rewrite -----------------------------------------------------

TEST(ErrorDetail, TextCutsTheOldSectionAndAppendsTheNewOne) {
    store::MessageTime when = store::parse_time_stamp("20240305123456");
    struct Case {
        const char* name;
        std::string in;
        std::string error;
        std::string want;
    } cases[] = {
        {"fresh file", "[SMS]\r\nPhoneNumber=1\r\n", "Throttled",
         "[SMS]\r\nPhoneNumber=1\r\n[ErrorDetail]\r\nRetryCount=4\r\n"
         "LastRetryTime=20240305123456\r\nLastErrorInfo=Throttled -- SMPP - a\r\n"},
        {"old section replaced",
         "[SMS]\r\nPhoneNumber=1\r\n[ErrorDetail]\r\nRetryCount=3\r\nLastErrorInfo=x -- y\r\n", "",
         "[SMS]\r\nPhoneNumber=1\r\n[ErrorDetail]\r\nRetryCount=4\r\n"
         "LastRetryTime=20240305123456\r\nLastErrorInfo=ERROR -- SMPP - a\r\n"},
        {"unterminated last line", "[SMS]\r\nData=abc", "e",
         "[SMS]\r\nData=abc\r\n[ErrorDetail]\r\nRetryCount=4\r\nLastRetryTime=20240305123456\r\n"
         "LastErrorInfo=e -- SMPP - a\r\n"},
        {"section before the message stays", "[ErrorDetail]\r\n[SMS]\r\nPhoneNumber=1\n", "e",
         "[ErrorDetail]\r\n[SMS]\r\nPhoneNumber=1\n[ErrorDetail]\r\nRetryCount=4\r\n"
         "LastRetryTime=20240305123456\r\nLastErrorInfo=e -- SMPP - a\r\n"},
        {"indented section, other case", "[SMS]\nData=1\n  [errordetail]\nRetryCount=9\n", "e",
         "[SMS]\nData=1\n[ErrorDetail]\r\nRetryCount=4\r\nLastRetryTime=20240305123456\r\n"
         "LastErrorInfo=e -- SMPP - a\r\n"},
        {"peer text cannot add lines", "[SMS]\r\n", "bad\r\nRetryCount=0",
         "[SMS]\r\n[ErrorDetail]\r\nRetryCount=4\r\nLastRetryTime=20240305123456\r\n"
         "LastErrorInfo=bad  RetryCount=0 -- SMPP - a\r\n"},
    };
    for (const Case& c : cases) {
        size_t cut = 0;
        std::string got = store::error_detail_text(c.in, 4, when, c.error, "SMPP - a", &cut);
        EXPECT_EQ(got, c.want) << c.name;
        EXPECT_EQ(got.substr(0, cut), c.in.substr(0, cut)) << c.name;
    }
}

TEST_F(RetryTest, RecordFailedAttemptRewritesKeepsAgeLogsAndCounts) {
    debug_on();
    const std::string path = home_ + "Q/4F00AA01.req";
    spit(path, "[SMS]\r\nPhoneNumber=+4471234\r\nData=Hello\r\nSubmitUser=alice\r\n");
    const time_t born = g_now - 600;
    ASSERT_TRUE(platform::set_file_mtime(path, born));

    for (int round = 1; round <= 2; ++round) {
        Claimed c = claim(path);
        ASSERT_EQ(c.msg.retry_count, uint32_t(round - 1));
        store::FailedMessage m{c.fh.fd(), path, &c.msg, "SMPP - a", "RouteA", "Throttled"};
        ASSERT_TRUE(store::record_failed_attempt(m));
        g_now = g_now + 30;
    }
    EXPECT_EQ(slurp(path),
              "[SMS]\r\nPhoneNumber=+4471234\r\nData=Hello\r\nSubmitUser=alice\r\n"
              "[ErrorDetail]\r\nRetryCount=2\r\nLastRetryTime=20240305123526\r\n"
              "LastErrorInfo=Throttled -- SMPP - a\r\n");
    EXPECT_EQ(platform::file_mtime(path), born);

    // The loader reads what was written.
    Claimed again = claim(path);
    EXPECT_EQ(again.msg.retry_count, 2u);
    EXPECT_EQ(store::format_time_stamp(again.msg.last_retry_time), "20240305123526");

    // Only the first retry of the message is counted.
    EXPECT_EQ(records::counter_today(records::Counter::Retried), 1u);
    EXPECT_EQ(records::link_counter_today("SMPP - a", records::LinkCounter::Retry), 1u);

    EXPECT_EQ(g_accounting.count, 2);
    EXPECT_EQ(g_accounting.message_id, "4F00AA01");
    EXPECT_EQ(g_accounting.status, "Retry Pending - Throttled -- SMPP - a");
    EXPECT_EQ(g_accounting.link, "SMPP - a");
    records::close_message_logs();
    std::string log = slurp(home_ + "LOGS/SMSOUT-20240305.LOG");
    EXPECT_NE(log.find("Retry Pending - Throttled -- SMPP - a"), std::string::npos) << log;
    EXPECT_NE(log.find("4F00AA01"), std::string::npos) << log;
}

// Records a failed attempt through a descriptor the rewrite cannot write
// through, as when the disk refuses the new text.
bool record_unwritable(const std::string& path, const store::SmsMessage& msg,
                       const char* error) {
    platform::FileHandle ro = platform::open_file(path, O_RDONLY);
    EXPECT_TRUE(ro.valid());
    store::FailedMessage m{ro.fd(), path, &msg, "SMPP - a", "RouteA", error};
    return store::record_failed_attempt(m);
}

// A retry record that cannot be written still counts: the message backs off
// and uses up its attempts as if the file held the new count.
TEST_F(RetryTest, FailedRetryRewriteKeepsTheBackOffInMemory) {
    debug_on();
    const std::string path = home_ + "Q/4F00AA02.req";
    const std::string content = "[SMS]\r\nPhoneNumber=+4471234\r\n";
    spit(path, content);
    store::RetrySchedule sched;
    sched.after_attempts = 1;  // 30 s after the first failure, 60 s after the second
    for (uint32_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Claimed c = claim(path);
        ASSERT_EQ(c.msg.retry_count, round - 1);
        EXPECT_FALSE(record_unwritable(path, c.msg, "Throttled"));
        EXPECT_EQ(slurp(path), content);
        c.fh.close();
        Claimed again = claim(path);
        EXPECT_EQ(again.msg.retry_count, round);
        EXPECT_EQ(store::message_time_to_epoch(again.msg.last_retry_time), g_now.load());
        EXPECT_FALSE(store::message_retry_due(sched, again.msg.retry_count,
                                              again.msg.last_retry_time, g_now + 30 * round - 1));
        EXPECT_TRUE(store::message_retry_due(sched, again.msg.retry_count,
                                             again.msg.last_retry_time, g_now + 30 * round));
        g_now = g_now + 60;
    }
    EXPECT_EQ(records::counter_today(records::Counter::Retried), 1u);
    EXPECT_NE(debug_log().find("RecordRetry:  RetryCount=2 of " + path + " kept in memory"),
              std::string::npos);

    // Room again: the file gets the count that was kept, and the memory goes.
    {
        Claimed c = claim(path);
        store::FailedMessage m{c.fh.fd(), path, &c.msg, "SMPP - a", "RouteA", "Throttled"};
        EXPECT_TRUE(store::record_failed_attempt(m));
    }
    EXPECT_NE(slurp(path).find("RetryCount=3\r\n"), std::string::npos);
    Claimed c = claim(path);
    EXPECT_EQ(c.msg.retry_count, 3u);

    // Another file on the same inode (the old one rewritten by someone
    // else) does not inherit the kept record.
    const std::string other = home_ + "Q/4F00AA03.req";
    spit(other, content);
    {
        Claimed o = claim(other);
        EXPECT_FALSE(record_unwritable(other, o.msg, "E"));
    }
    std::ofstream(other, std::ios::binary | std::ios::trunc) << content << "Data=changed\r\n";
    EXPECT_EQ(claim(other).msg.retry_count, 0u);
}

// --- error queue -------------------------------------------------------------------

TEST(ErrorQueue, CopyPathAndRetentionSwitch) {
    struct PathCase {
        const char* in;
        const char* want;
    } paths[] = {
        {"/q/4F00AA01.req", "/q/4F00AA01.ERR"},
        {"/q/a.b.req", "/q/a.b.ERR"},
        {"/q/dir.x/noext", "/q/dir.x/noext.ERR"},
        {"/q/RT_-_a.b_-_/SAR-x-1-2-1.req", "/q/RT_-_a.b_-_/SAR-x-1-2-1.ERR"},
    };
    for (const PathCase& c : paths) EXPECT_EQ(store::error_copy_path(c.in), c.want) << c.in;

    struct OnCase {
        const char* value;
        bool on;
    } values[] = {{"", true},     {"3", true},  {"0", false},  {"00", false},
                  {" 0 ", false}, {"05", true}, {"abc", true}, {"0x", false}};
    for (const OnCase& c : values)
        EXPECT_EQ(store::error_queue_enabled(c.value), c.on) << "'" << c.value << "'";
}

TEST_F(RetryTest, FailMessageLogsReportsCopiesAndCounts) {
    struct Case {
        const char* name;
        const char* retain;  // ErrorQRetainDays line, or null
        const char* file;
        uint32_t flags_key;  // 0 none, 1 receipt, 2 non-delivery receipt
        bool copy;
        bool receipt;
        bool queue_size_drops;
    } cases[] = {
        {"defaults", nullptr, "4F000001.req", 0, true, false, true},
        {"receipt requested", "ErrorQRetainDays=", "4F000002.req", 1, true, true, true},
        {"non-delivery receipt", "ErrorQRetainDays=5", "4F000003.req", 2, true, true, true},
        {"error queue off", "ErrorQRetainDays=0", "4F000004.req", 0, false, false, true},
        {"MMS queue file", nullptr, "MMSQ__4F000005.req", 0, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ini(std::string("[SMSGW]\r\n") + (c.retain ? c.retain + std::string("\r\n") : ""));
        records::close_stat_counters();
        records::add_counter(records::Counter::OutQueueSize, 5);
        uint32_t failed_before = records::counter_today(records::Counter::Failed);
        uint32_t link_before = records::link_counter_today("UCP - b", records::LinkCounter::Failed);
        g_receipt = {};
        g_accounting = {};

        const std::string path = home_ + "Q/" + c.file;
        std::string content = "[SMS]\r\nPhoneNumber=+15550001\r\nData=Hi\r\n";
        if (c.flags_key == 1) content += "ReceiptRequested=Yes\r\n";
        if (c.flags_key == 2) content += "NonDelReceiptRequested=Yes\r\n";
        content += "[ErrorDetail]\r\nRetryCount=20\r\n";
        spit(path, content);
        Claimed cl = claim(path);
        store::FailedMessage m{cl.fh.fd(), path, &cl.msg, "UCP - b", "B", "Invalid destination"};
        EXPECT_EQ(store::fail_message(m), store::FailResult::Failed);

        const std::string err = store::error_copy_path(path);
        EXPECT_EQ(platform::file_exists(err), c.copy);
        if (c.copy) {
            EXPECT_EQ(slurp(err), content);
        }
        EXPECT_EQ(slurp(path), content) << "the request file is the caller's";
        EXPECT_EQ(g_receipt.count, c.receipt ? 1 : 0);
        if (c.receipt) {
            EXPECT_EQ(g_receipt.status, "Invalid destination");
        }
        EXPECT_EQ(g_accounting.count, 1);
        EXPECT_EQ(g_accounting.status, "Invalid destination -- UCP - b");
        EXPECT_EQ(records::counter_today(records::Counter::Failed), failed_before + 1);
        EXPECT_EQ(records::link_counter_today("UCP - b", records::LinkCounter::Failed),
                  link_before + 1);
        EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize),
                  c.queue_size_drops ? 4u : 5u);
        records::subtract_counter(records::Counter::OutQueueSize, 10);
    }
    std::vector<std::string> events = frame::read_event_log();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_NE(events[0].find("Warning\tSMS message could not be sent to +15550001 (UCP - b), "
                             "Invalid destination"),
              std::string::npos)
        << events[0];
}

// Until its error-queue copy exists a failed message stays queued with no
// trace of its failure elsewhere: otherwise every pass would log, report,
// send a receipt and count it once more.
TEST_F(RetryTest, FailMessageWithoutErrorCopyHasNoSideEffects) {
    struct Case {
        const char* name;
        const char* ini;
    } cases[] = {
        {"plain failure", "[SMSGW]\r\n"},
        {"re-route that fails, then the copy fails",
         "[SMSGW]\r\nModem1=SMPP - a\r\n[SMPP - a]\r\nReRouteOnError=SMPP - a2\r\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ini(c.ini);
        store::set_route_validator([](std::string_view) { return true; });
        records::close_stat_counters();
        records::add_counter(records::Counter::OutQueueSize, 5);
        g_receipt = {};
        g_accounting = {};
        const uint32_t failed = records::counter_today(records::Counter::Failed);
        const uint32_t link_failed =
            records::link_counter_today("SMPP - a", records::LinkCounter::Failed);
        // A re-route out of a route queue needs the other queue directory;
        // a file in its place makes that move fail.
        const std::string path = home_ + "Q/RT_-_A_-_/4F00004" + std::to_string(n++) + ".req";
        spit(home_ + "Q/RT_-_SMPP - a2_-_", "not a directory");
        const std::string content =
            "[SMS]\r\nPhoneNumber=+15550001\r\nReceiptRequested=Yes\r\n";
        spit(path, content);
        const std::string err = store::error_copy_path(path);
        std::filesystem::create_directories(err);  // the copy cannot be written
        const size_t events = frame::read_event_log().size();
        for (int pass = 0; pass < 2; ++pass) {
            Claimed cl = claim(path);
            store::FailedMessage m{cl.fh.fd(), path, &cl.msg, "SMPP - a", "A", "Rejected"};
            EXPECT_EQ(store::fail_message(m), store::FailResult::CopyFailed);
        }
        EXPECT_EQ(g_accounting.count, 0);
        EXPECT_EQ(g_receipt.count, 0);
        EXPECT_EQ(frame::read_event_log().size(), events);
        EXPECT_EQ(records::counter_today(records::Counter::Failed), failed);
        EXPECT_EQ(records::link_counter_today("SMPP - a", records::LinkCounter::Failed),
                  link_failed);
        EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize), 5u);

        // Once the copy can be made, the failure happens exactly once.
        std::filesystem::remove(err);
        Claimed cl = claim(path);
        store::FailedMessage m{cl.fh.fd(), path, &cl.msg, "SMPP - a", "A", "Rejected"};
        EXPECT_NE(store::fail_message(m), store::FailResult::CopyFailed);
        EXPECT_EQ(slurp(err), slurp(path));
        EXPECT_EQ(g_accounting.count, 1);
        EXPECT_EQ(g_receipt.count, 1);
        EXPECT_EQ(frame::read_event_log().size(), events + 1);
        EXPECT_EQ(records::counter_today(records::Counter::Failed), failed + 1);
        EXPECT_EQ(records::counter_today(records::Counter::OutQueueSize), 4u);
        std::filesystem::remove(home_ + "Q/RT_-_SMPP - a2_-_");
        records::subtract_counter(records::Counter::OutQueueSize, 10);
    }
    store::set_route_validator(nullptr);
}

// --- moves to another route --------------------------------------------------------

TEST(Reroute, TextAndQueuePath) {
    struct TextCase {
        const char* name;
        std::string in;
        std::string want;
    } texts[] = {
        {"plain", "[SMS]\r\nPhoneNumber=1\r\n", "[SMS]\r\nPhoneNumber=1\r\nSMSCRoute=B\r\n"},
        {"old route and retry data go",
         "[SMS]\r\nsmscroute=A\r\nPhoneNumber=1\r\n  "
         "SMSCRoute=A2\n[ErrorDetail]\r\nRetryCount=3\r\n",
         "[SMS]\r\nPhoneNumber=1\r\nSMSCRoute=B\r\n"},
        {"unterminated", "[SMS]\r\nPhoneNumber=1", "[SMS]\r\nPhoneNumber=1\r\nSMSCRoute=B\r\n"},
        {"route-like text inside a value stays", "[SMS]\r\nData=x SMSCRoute=A\r\n",
         "[SMS]\r\nData=x SMSCRoute=A\r\nSMSCRoute=B\r\n"},
    };
    for (const TextCase& c : texts) EXPECT_EQ(store::rerouted_text(c.in, "B"), c.want) << c.name;

    struct PathCase {
        const char* in;
        const char* route;
        const char* want;
    } paths[] = {
        {"/h/Q/RT_-_A_-_/x.req", "B", "/h/Q/RT_-_B_-_/x.req"},
        {"/h/Q/RT_-_SMPP - 1.2.3.4-2775_-_###0001/x.req", "UCP - 5.6.7.8:99",
         "/h/Q/RT_-_UCP - 5.6.7.8-99_-_###0001/x.req"},
        {"/h/Q/x.req", "B", "/h/Q/x.req"},
        {"/h/Q/####1A2B/x.req", "B", "/h/Q/####1A2B/x.req"},
        {"/h/Q/RT_-_A_-_/RT_-_file_-_.req", "B", "/h/Q/RT_-_B_-_/RT_-_file_-_.req"},
    };
    for (const PathCase& c : paths)
        EXPECT_EQ(store::route_queue_path(c.in, c.route), c.want) << c.in;
}

constexpr const char* kTwoLinks =
    "[SMSGW]\r\nModem1=SMPP - primary\r\nModem3=SMPP - backup\r\n"
    "[SMPP - primary]\r\nRouteName=Primary\r\nReRouteOnError=%s\r\n"
    "[SMPP - backup]\r\nRouteName=Backup\r\n";

TEST_F(RetryTest, ReRouteOnErrorMovesTheMessageToTheRouteQueue) {
    debug_on();
    ini(platform::strprintf(kTwoLinks, "Backup"));
    const std::string path = home_ + "Q/RT_-_Primary_-_/4F000010.req";
    spit(path,
         "[SMS]\r\nPhoneNumber=+1555\r\nSMSCRoute=Primary\r\nData=x\r\n[ErrorDetail]\r\n"
         "RetryCount=20\r\n");
    ASSERT_TRUE(platform::set_file_mtime(path, g_now - 5000));
    Claimed c = claim(path);
    store::FailedMessage m{c.fh.fd(), path, &c.msg, "SMPP - primary", "Primary", "Rejected"};
    EXPECT_EQ(store::fail_message(m), store::FailResult::Rerouted);
    c.fh.close();

    const std::string moved = home_ + "Q/RT_-_Backup_-_/4F000010.req";
    EXPECT_FALSE(platform::file_exists(path));
    EXPECT_EQ(slurp(moved), "[SMS]\r\nPhoneNumber=+1555\r\nData=x\r\nSMSCRoute=Backup\r\n");
    EXPECT_EQ(platform::file_mtime(moved), g_now) << "the age starts again";
    EXPECT_FALSE(platform::file_exists(home_ + "Q/RT_-_Primary_-_/4F000010.ERR"));
    EXPECT_EQ(records::counter_today(records::Counter::Failed), 0u);
    EXPECT_EQ(g_accounting.count, 0);
    EXPECT_NE(debug_log().find("ThreadProcessModem:  ReRouteOnError=Backup\r\n"),
              std::string::npos);
}

TEST_F(RetryTest, ReRouteOnErrorOutsideRouteQueuesRewritesInPlace) {
    ini(platform::strprintf(kTwoLinks, "SMPP - backup"));
    const std::string path = home_ + "Q/4F000011.req";
    spit(path, "[SMS]\r\nPhoneNumber=+1555\r\n");
    Claimed c = claim(path);
    store::FailedMessage m{c.fh.fd(), path, &c.msg, "SMPP - primary", "Primary", "Rejected"};
    EXPECT_EQ(store::fail_message(m), store::FailResult::Rerouted);
    EXPECT_EQ(slurp(path), "[SMS]\r\nPhoneNumber=+1555\r\nSMSCRoute=SMPP - backup\r\n");
}

TEST_F(RetryTest, ReRouteOnErrorThatCannotApplyFailsTheMessage) {
    struct Case {
        const char* name;
        std::string ini;
    } cases[] = {
        {"unknown route", platform::strprintf(kTwoLinks, "Nowhere")},
        {"own route would loop", platform::strprintf(kTwoLinks, "Primary")},
        {"only in [SMSGW]",
         "[SMSGW]\r\nModem1=SMPP - primary\r\nModem2=SMPP - backup\r\nReRouteOnError=Backup\r\n"
         "[SMPP - backup]\r\nRouteName=Backup\r\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ini(c.ini);
        const std::string path = home_ + "Q/RT_-_Primary_-_/4F00002" + std::to_string(n++) + ".req";
        spit(path, "[SMS]\r\nPhoneNumber=+1555\r\nSMSCRoute=Primary\r\n");
        Claimed cl = claim(path);
        store::FailedMessage m{cl.fh.fd(), path, &cl.msg, "SMPP - primary", "Primary", "E"};
        EXPECT_EQ(store::fail_message(m), store::FailResult::Failed);
        EXPECT_TRUE(platform::file_exists(store::error_copy_path(path)));
    }
}

// A crash in the middle of rewriting a claimed file leaves a file that loads
// as the new record: never empty, never with old keys read after the new ones.
TEST_F(RetryTest, RewritesSurviveACrashBeforeTheCut) {
    static bool crash = false;
    platform::set_rewrite_crash_point_for_tests([] { return !crash; });
    struct Case {
        const char* name;
        bool reroute;
        std::string content;
        uint32_t retry_count;  // loaded after the crash
        const char* route;
    };
    const std::vector<Case> cases = {
        {"retry record shorter than the old one", false,
         "[SMS]\r\nPhoneNumber=+1555\r\n[ErrorDetail]\r\nRetryCount=3\r\n"
         "LastRetryTime=20240305120000\r\nLastErrorInfo=a long peer text  RetryCount=0 -- SMPP - a\r\n",
         4, ""},
        {"re-route drops the retry record", true,
         "[SMS]\r\nPhoneNumber=+1555\r\nSMSCRoute=Primary\r\n[ErrorDetail]\r\nRetryCount=20\r\n"
         "LastErrorInfo=x -- y\r\nSMSCRoute=Primary\r\n",
         0, "SMPP - backup"},
    };
    ini(platform::strprintf(kTwoLinks, "SMPP - backup"));
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = home_ + "Q/4F00005" + std::to_string(n++) + ".req";
        spit(path, c.content);
        {
            crash = true;
            Claimed cl = claim(path);
            store::FailedMessage m{cl.fh.fd(), path, &cl.msg, "SMPP - primary", "Primary", "short"};
            if (c.reroute)
                store::fail_message(m);
            else
                store::record_failed_attempt(m);
            crash = false;
        }
        Claimed after = claim(path);
        EXPECT_EQ(after.msg.phone_number, "+1555");
        EXPECT_EQ(after.msg.retry_count, c.retry_count);
        EXPECT_EQ(after.msg.route, c.route);
        EXPECT_EQ(platform::stat_file(path)->size, c.content.size());
    }
    platform::set_rewrite_crash_point_for_tests(nullptr);
}

TEST_F(RetryTest, RouteValidatorHookDecides) {
    ini(platform::strprintf(kTwoLinks, "Elsewhere"));
    EXPECT_FALSE(store::default_route_validator("Elsewhere"));
    EXPECT_TRUE(store::default_route_validator("backup"));
    EXPECT_TRUE(store::default_route_validator("SMPP - primary"));
    EXPECT_FALSE(store::default_route_validator(""));
    store::set_route_validator([](std::string_view r) { return r == "Elsewhere"; });
    const std::string path = home_ + "Q/4F000030.req";
    spit(path, "[SMS]\r\nPhoneNumber=+1555\r\n");
    Claimed c = claim(path);
    store::FailedMessage m{c.fh.fd(), path, &c.msg, "SMPP - primary", "Primary", "E"};
    EXPECT_EQ(store::fail_message(m), store::FailResult::Rerouted);
    store::set_route_validator(nullptr);
}

// --- link start and receipt schedules ----------------------------------------------

TEST(LinkStartRetry, Schedules) {
    const time_t now = 1'000'000;
    store::InitRetrySchedule plain;  // no InitRetryDelay, cap 300
    store::InitRetrySchedule uncapped = plain;
    uncapped.delay_max = 0;
    store::InitRetrySchedule set{true, 10, 2, 3, 300};
    store::InitRetrySchedule set_cap{true, 10, 2, 3, 30};
    store::InitRetrySchedule set_nocap{true, 100, 3, 1, 0};
    store::InitRetrySchedule set_mult0{true, 15, 0, 1, 300};
    struct Case {
        const char* name;
        const store::InitRetrySchedule& s;
        std::vector<time_t> waits;  // for n = 0, 1, 2, ...
    } cases[] = {
        {"20 s steps capped at 300",
         plain,
         {0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 260, 280, 300, 300, 300}},
        {"cap 0 without InitRetryDelay", uncapped, {0, 20, 40, 60}},
        {"10 s doubling after 2 quick tries", set, {0, 0, 0, 20, 40, 60}},
        {"capped at 30", set_cap, {0, 0, 0, 20, 30, 30}},
        {"0 = no cap with InitRetryDelay", set_nocap, {0, 300, 600, 900, 1200}},
        {"multiplier 0 is constant", set_mult0, {0, 15, 15, 15}},
    };
    for (const Case& c : cases)
        for (size_t n = 0; n < c.waits.size(); ++n)
            EXPECT_EQ(store::link_start_retry_time(c.s, uint32_t(n), now) - now, c.waits[n])
                << c.name << " n=" << n;
}

TEST_F(RetryTest, LinkStartScheduleReadsSettings) {
    ini("[SMSGW]\r\nInitRetryDelay=10\r\nInitRetryDelayAfterAttempts=3\r\n"
        "InitRetryDelayMultiplier=2\r\n[SMPP - a]\r\nInitRetryDelay=\r\n[SMPP - b]\r\n"
        "InitRetryDelay=5\r\nInitRetryDelayMax=7\r\n");
    EXPECT_EQ(store::link_start_retry_time("SMPP - a", 4) - g_now, 40);
    EXPECT_EQ(store::link_start_retry_time("SMPP - b", 4) - g_now, 7);
    ini("[SMSGW]\r\nInitRetryDelay=\r\n");
    store::InitRetrySchedule s = store::read_init_retry_schedule("SMPP - a");
    EXPECT_FALSE(s.delay_set);
    EXPECT_EQ(s.delay_max, 300u);
    EXPECT_EQ(store::link_start_retry_time("SMPP - a", 2) - g_now, 40);
    EXPECT_EQ(store::link_start_retry_time("SMPP - a", 0), g_now);
}

TEST_F(RetryTest, ReceiptFileDueAfterNMinutes) {
    const time_t now = g_now;
    auto ago = [&](int s) { return store::epoch_to_message_time(now - s); };
    EXPECT_TRUE(store::receipt_retry_due(0, ago(0), now));
    EXPECT_FALSE(store::receipt_retry_due(1, ago(59), now));
    EXPECT_TRUE(store::receipt_retry_due(1, ago(60), now));
    EXPECT_FALSE(store::receipt_retry_due(3, ago(179), now));
    EXPECT_TRUE(store::receipt_retry_due(3, ago(180), now));
    EXPECT_TRUE(store::receipt_retry_due(3, store::MessageTime{}, now));
}

// --- hourly sweep ------------------------------------------------------------------

TEST_F(RetryTest, HourlySweepCutOffs) {
    debug_on();
    g_now = ::time(nullptr);
    const time_t now = g_now;
    const time_t day = 86400, minute = 60;
    ini("[SMSGW]\r\nSMPPDataRetainDays=0\r\nMessageIDTrackingDir=" + home_ + "TRACK//\r\n");
    const std::string p = home_ + "PRIVATE/";
    struct Entry {
        std::string path;
        time_t age;
        bool deleted;
    } entries[] = {
        {p + "SMPPDATA/ActiveUsers/gone.FLG", 1, true},
        {p + "SMPPDATA/ActiveUsers/notes.txt", 10 * day, false},
        {home_ + "SMPPDATA/20240101.DB", 16 * day, true},
        {home_ + "SMPPDATA/20240301.DB", 14 * day, false},
        {home_ + "SMPPDATA/HTTPSMSIN.DB", 400 * day, false},
        {home_ + "SMPPDATA/sub/old.dat", 16 * day, true},
        {home_ + "TRACK/sub/old.DB", 16 * day, true},
        {p + "MMSINQ/a.D21", 16 * day, true},
        {p + "MMSINQ/b.D2", 16 * day, false},
        {p + "MMSINQ/c.D31", 16 * day, false},
        {p + "MMSINQ/d.D29", 14 * day, false},
        {home_ + "Q/a.ERR", 3 * day + 1, true},
        {home_ + "Q/b.ERR", 3 * day - 60, false},
        {home_ + "Q/RT_-_x_-_/c.err", 4 * day, true},
        {home_ + "Q/d.req", 400 * day, false},
        {home_ + "Q/l.LCK", 121 * minute, true},
        {home_ + "Q/DELAYQ/20240101/1200/m.LCK", 121 * minute, true},
        {home_ + "Q/n.LCK", 119 * minute, false},
        {p + "TEMP/t1", 121 * minute, true},
        {p + "TEMP/t2", 100 * minute, false},
        {p + "x.TMP", 121 * minute, true},
        {p + "STATS/y.tmp", 121 * minute, true},
        {p + "z.TMP", 60 * minute, false},
        {home_ + "SMS-IN/A/att1.jpg", 121 * minute, true},
        {home_ + "SMS-IN/A/att2.jpg", 119 * minute, false},
    };
    for (const Entry& e : entries) {
        spit(e.path, "x");
        ASSERT_TRUE(platform::set_file_mtime(e.path, now - e.age)) << e.path;
    }
    // A flag whose holder is alive stays, however old.
    const std::string held_flag = p + "SMPPDATA/ActiveUsers/live.FLG";
    std::optional<platform::Marker> held = platform::Marker::acquire(held_flag);
    ASSERT_TRUE(held);
    platform::set_file_mtime(held_flag, now - 10 * day);

    store::hourly_sweep();

    for (const Entry& e : entries) EXPECT_EQ(platform::file_exists(e.path), !e.deleted) << e.path;
    EXPECT_TRUE(platform::file_exists(held_flag));
    // "*" sweeps remove emptied directories, the emptied top one included.
    EXPECT_FALSE(platform::dir_exists(home_ + "SMPPDATA/sub"));
    EXPECT_FALSE(platform::dir_exists(home_ + "TRACK"));
    EXPECT_TRUE(platform::dir_exists(home_ + "SMPPDATA"));
    // Other patterns leave directories alone.
    EXPECT_TRUE(platform::dir_exists(home_ + "Q/RT_-_x_-_"));
    EXPECT_TRUE(platform::dir_exists(home_ + "Q/DELAYQ/20240101/1200"));
    std::string log = debug_log();
    EXPECT_NE(log.find("DeleteFilesOlderThan:  " + home_ + "Q/a.ERR\r\n"), std::string::npos);
    EXPECT_EQ(log.find("HTTPSMSIN.DB"), std::string::npos);
}

TEST_F(RetryTest, SweepSettingsVariants) {
    g_now = ::time(nullptr);
    const time_t now = g_now;
    const std::string q = home_ + "Q/";
    struct Case {
        const char* name;
        const char* ini;
        std::string file;
        time_t age;
        bool deleted;
    } cases[] = {
        {"ErrorQRetainDays=0 takes every copy", "ErrorQRetainDays=0", q + "a.ERR", 1, true},
        {"ErrorQRetainDays empty keeps 3 days", "ErrorQRetainDays=", q + "b.ERR", 2 * kDay, false},
        {"ErrorQRetainDays=1", "ErrorQRetainDays=1", q + "c.ERR", kDay + 5, true},
        {"SMPPDataRetainDays=2", "SMPPDataRetainDays=2", home_ + "SMPPDATA/x", 2 * kDay + 5, true},
        {"SMSAttachFileTimeout=5", "SMSAttachFileTimeout=5", home_ + "SMS-IN/A/f", 301, true},
        {"SMSAttachFileTimeout empty is 120", "SMSAttachFileTimeout=", home_ + "SMS-IN/A/g", 301,
         false},
    };
    for (const Case& c : cases) {
        ini(std::string("[SMSGW]\r\n") + c.ini + "\r\n");
        spit(c.file, "x");
        ASSERT_TRUE(platform::set_file_mtime(c.file, now - c.age));
        store::hourly_sweep();
        EXPECT_EQ(platform::file_exists(c.file), !c.deleted) << c.name;
        std::filesystem::remove(c.file);
    }
}

}  // namespace
