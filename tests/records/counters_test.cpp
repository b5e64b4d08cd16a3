// Statistics counter files: exact bytes, calendar rules, period sums,
// reports, start-up recount and the idle close of link files.
#include <cstdint>
#include <string>
#include <vector>

#include "records_fixture.h"

namespace records_test {
namespace {

using records::Counter;
using records::CounterImage;
using records::LinkCounter;

// 1464 bytes with the given little-endian values at the given slots.
std::string file_bytes(std::initializer_list<std::pair<int, uint32_t>> slots) {
    std::string b(1464, '\0');
    for (auto [slot, v] : slots)
        for (int i = 0; i < 4; ++i) b[slot * 4 + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

// Writes a counter file whose slot i holds base + i + 1 (its day-of-year).
void write_doy_file(const std::string& path, uint32_t base) {
    std::string b(1464, '\0');
    for (int slot = 0; slot < 366; ++slot) {
        uint32_t v = base + slot + 1;
        for (int i = 0; i < 4; ++i) b[slot * 4 + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    write_all(path, b);
}

// Sum of base + k for day-of-year numbers k = first..last.
uint32_t doy_sum(unsigned first, unsigned last, uint32_t base = 0) {
    uint32_t s = 0;
    for (unsigned k = first; k <= last; ++k) s += base + k;
    return s;
}

using CountersTest = RecordsTest;

TEST_F(CountersTest, DayOfYearFollowsTheFileRule) {
    struct Case {
        int y, m, d;
        unsigned doy;
    };
    const Case cases[] = {
        {2023, 1, 1, 1},   {2023, 2, 28, 59}, {2023, 3, 1, 60},    {2023, 12, 31, 365},
        {2024, 2, 29, 60}, {2024, 3, 1, 61},  {2024, 12, 31, 366}, {2100, 3, 1, 61},
        {2024, 0, 1, 0},   {2024, 13, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(records::day_of_year(c.y, c.m, c.d), c.doy) << c.y << "-" << c.m << "-" << c.d;
}

TEST_F(CountersTest, TodaysSlotInTheFile) {
    struct Case {
        int y, m, d;
        const char* file;
        int slot;
    };
    const Case cases[] = {
        {2023, 3, 1, "SMSSENT-2023.CTR", 59},    {2024, 2, 29, "SMSSENT-2024.CTR", 59},
        {2024, 3, 1, "SMSSENT-2024.CTR", 60},    {2023, 12, 31, "SMSSENT-2023.CTR", 364},
        {2024, 12, 31, "SMSSENT-2024.CTR", 365},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slot);
        set_now(c.y, c.m, c.d);
        records::add_counter(Counter::Sent, 7);
        records::close_stat_counters();
        EXPECT_EQ(read_all(stats_dir() + c.file), file_bytes({{c.slot, 7}}));
        std::filesystem::remove(stats_dir() + c.file);
    }
}

TEST_F(CountersTest, FileBytesAfterAddsAndSubtracts) {
    // 5 March 2024 is day 65: slot 64, offset 256.
    records::add_counter(Counter::Sent, 3);
    records::add_counter(Counter::Sent, 2);
    records::subtract_counter(Counter::Sent, 1);
    records::add_counter(Counter::Submitted, 0x01020304);
    records::add_counter(Counter::Received, 0xFFFFFFF0u);
    records::add_counter(Counter::Received, 0x20);  // saturates
    records::add_counter(Counter::Failed, 2);
    records::subtract_counter(Counter::Failed, 5);  // stops at 0
    records::add_counter(Counter::OutQueueSize, 5);
    records::subtract_counter(Counter::OutQueueSize, 2);
    records::subtract_counter(Counter::OutQueueSize, 10);
    records::add_counter(Counter::OutQueueSize, 7);
    records::subtract_counter(Counter::InQueueSize, 1);
    records::add_counter(Counter::ReceiptQueueSize, 1);
    records::add_counter(Counter::MmsInModem);
    records::add_counter(Counter::Retried, 9);
    EXPECT_EQ(records::counter_today(Counter::Sent), 4u);
    EXPECT_EQ(records::counter_today(Counter::OutQueueSize), 7u);
    records::flush_stat_counters();

    struct Expect {
        const char* file;
        std::string bytes;
    };
    const Expect expected[] = {
        {"SMSSENT-2024.CTR", file_bytes({{64, 4}})},
        {"SMSSUBMIT-2024.CTR", file_bytes({{64, 0x01020304}})},
        {"SMSRECEIVED-2024.CTR", file_bytes({{64, 0xFFFFFFFFu}})},
        {"SMSFAILED-2024.CTR", file_bytes({})},
        {"SMSRETRY-2024.CTR", file_bytes({{64, 9}})},
        {"MMSIN-MODEM-2024.CTR", file_bytes({{64, 1}})},
        {"SMSQSIZE.CTR", file_bytes({{0, 7}})},
        {"SMSINQSIZE.CTR", file_bytes({})},
        {"SMSRCPTQSIZE.CTR", file_bytes({{0, 1}})},
    };
    for (const auto& e : expected) EXPECT_EQ(read_all(stats_dir() + e.file), e.bytes) << e.file;
    // The exact byte order of one slot, spelled out.
    std::string submit = read_all(stats_dir() + "SMSSUBMIT-2024.CTR");
    EXPECT_EQ(submit.substr(256, 4), std::string("\x04\x03\x02\x01", 4));
}

TEST_F(CountersTest, NewYearClosesLastYearsFilesWithFinalCounts) {
    set_now(2023, 12, 31, 23, 59, 59);
    records::add_counter(Counter::Sent, 2);
    records::add_counter(Counter::Submitted, 4);
    set_now(2024, 1, 1, 0, 0, 1);
    records::add_counter(Counter::Sent, 1);
    // Last year's files were written at the switch, before any flush.
    EXPECT_EQ(read_all(stats_dir() + "SMSSENT-2023.CTR"), file_bytes({{364, 2}}));
    EXPECT_EQ(read_all(stats_dir() + "SMSSUBMIT-2023.CTR"), file_bytes({{364, 4}}));
    records::flush_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSSENT-2024.CTR"), file_bytes({{0, 1}}));
    EXPECT_FALSE(std::filesystem::exists(stats_dir() + "SMSSUBMIT-2024.CTR"));
}

TEST_F(CountersTest, ShortFileReadsAsZerosAndIsRewritten) {
    const std::string global = stats_dir() + "SMSSENT-2024.CTR";
    const std::string link = private_dir() + "L1-2024.CTR";
    write_all(global, std::string(10, '\xFF'));
    write_all(link, std::string(1463, '\x01'));
    EXPECT_EQ(records::counter_today(Counter::Sent), 0u);
    EXPECT_EQ(records::link_counter_today("L1", LinkCounter::Sent), 0u);
    // Rewritten whole at the open, before anything was counted.
    EXPECT_EQ(read_all(global), file_bytes({}));
    EXPECT_EQ(read_all(link), file_bytes({}));
    records::add_counter(Counter::Sent);
    records::add_link_counter("L1", LinkCounter::Sent, 3);
    records::flush_stat_counters();
    EXPECT_EQ(read_all(global), file_bytes({{64, 1}}));
    EXPECT_EQ(read_all(link), file_bytes({{64, 3}}));
}

TEST_F(CountersTest, ExistingCountsAreKept) {
    write_all(stats_dir() + "SMSSENT-2024.CTR", file_bytes({{0, 11}, {64, 5}}));
    records::add_counter(Counter::Sent, 2);
    records::close_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSSENT-2024.CTR"), file_bytes({{0, 11}, {64, 7}}));
}

TEST_F(CountersTest, UnopenableFileIsNotCounted) {
    std::filesystem::create_directories(stats_dir() + "SMSSENT-2024.CTR");
    records::add_counter(Counter::Sent, 5);
    EXPECT_EQ(records::counter_today(Counter::Sent), 0u);
    records::flush_stat_counters();
    EXPECT_TRUE(std::filesystem::is_directory(stats_dir() + "SMSSENT-2024.CTR"));
    // Out-of-range numbers are refused, not used as an index.
    records::add_counter(static_cast<Counter>(9), 1);
    records::add_counter(static_cast<Counter>(-1), 1);
    records::add_link_counter("L", static_cast<LinkCounter>(4), 1);
    EXPECT_EQ(records::counter_today(static_cast<Counter>(42)), 0u);
}

TEST_F(CountersTest, LinkCounterFileNames) {
    struct Case {
        std::string link;
        LinkCounter kind;
        const char* file;
    };
    const Case cases[] = {
        {"SMPP - 10.0.0.1:2775", LinkCounter::Sent, "SMPP - 10.0.0.1-2775-2024.CTR"},
        {"SMPP - 10.0.0.1:2775", LinkCounter::Received, "SMPP - 10.0.0.1-2775-2024-RECEIVED.CTR"},
        {"SMPP - 10.0.0.1:2775", LinkCounter::Retry, "SMPP - 10.0.0.1-2775-2024-RETRY.CTR"},
        {"SMPP - 10.0.0.1:2775", LinkCounter::Failed, "SMPP - 10.0.0.1-2775-2024-FAILED.CTR"},
        {"HTTP - a/b\\c", LinkCounter::Sent, "HTTP - a-b-c-2024.CTR"},
        {std::string(records::kMmsRoutePrefix) + "VASP:1", LinkCounter::Received,
         "MMSCROUTE--VASP-1-2024-RECEIVED.CTR"},
    };
    for (const auto& c : cases) {
        records::add_link_counter(c.link, c.kind, 2);
        EXPECT_EQ(records::link_counter_path(c.link, c.kind, 2024), private_dir() + c.file);
    }
    records::flush_stat_counters();
    for (const auto& c : cases) EXPECT_EQ(read_all(private_dir() + c.file), file_bytes({{64, 2}}));
}

TEST_F(CountersTest, PeriodSums) {
    struct Case {
        const char* name;
        int y, m, d;
        unsigned start_day;
        uint32_t expected;
    };
    // Files: 2023 slot i holds 1000 + day-of-year, 2024 slot i holds the
    // day-of-year, so each sum names the days it covers.
    const Case cases[] = {
        {"start is today", 2024, 3, 10, 10, 70},
        {"start before today", 2024, 3, 10, 5, doy_sum(65, 91)},
        {"start after today: from last month", 2024, 3, 10, 15, doy_sum(46, 60) + doy_sum(61, 91)},
        {"last month has no such day", 2024, 3, 10, 31, doy_sum(61, 91)},
        {"day 0 counts as 1", 2024, 3, 10, 0, doy_sum(61, 91)},
        {"day above 31 counts as 31", 2024, 4, 10, 40, doy_sum(91, 91) + doy_sum(92, 121)},
        {"across the year boundary", 2024, 1, 10, 20, doy_sum(354, 365, 1000) + doy_sum(1, 31)},
        {"reset day today in January", 2024, 1, 20, 20, 20},
        {"non-leap February", 2023, 3, 10, 15, doy_sum(46, 59, 1000) + doy_sum(60, 90, 1000)},
    };
    write_doy_file(private_dir() + "SMPP - x-2023.CTR", 1000);
    write_doy_file(private_dir() + "SMPP - x-2024.CTR", 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_now(c.y, c.m, c.d);
        EXPECT_EQ(records::link_period_sum("SMPP - x", LinkCounter::Sent, c.start_day), c.expected);
        records::close_stat_counters();
    }
}

TEST_F(CountersTest, PeriodSumIncludesUnflushedCounts) {
    set_now(2024, 3, 10);
    records::add_link_counter("L", LinkCounter::Sent, 4);
    records::add_link_counter("L", LinkCounter::Failed, 9);
    EXPECT_EQ(records::link_period_sum("L", LinkCounter::Sent, 1), 4u);
    EXPECT_EQ(records::link_counter_today("L", LinkCounter::Sent), 4u);
    EXPECT_EQ(records::link_counter_today("L", LinkCounter::Failed), 9u);
}

TEST_F(CountersTest, ReportsAcrossTheYearBoundary) {
    struct Case {
        const char* name;
        int y, m, d;
        records::CounterReport expected;
    };
    const Case cases[] = {
        {"3 January after a common year",
         2024,
         1,
         3,
         {3, doy_sum(1, 3) + doy_sum(362, 365, 1000), doy_sum(1, 3) + doy_sum(339, 365, 1000)}},
        {"3 January after a leap year",
         2025,
         1,
         3,
         {2003, doy_sum(1, 3, 2000) + doy_sum(363, 366), doy_sum(1, 3, 2000) + doy_sum(340, 366)}},
        {"7 January needs nothing of last year for 7 days",
         2024,
         1,
         7,
         {7, doy_sum(1, 7), doy_sum(1, 7) + doy_sum(343, 365, 1000)}},
        {"mid-year", 2024, 3, 10, {70, doy_sum(64, 70), doy_sum(41, 70)}},
    };
    write_doy_file(stats_dir() + "SMSSENT-2023.CTR", 1000);
    write_doy_file(stats_dir() + "SMSSENT-2024.CTR", 0);
    write_doy_file(stats_dir() + "SMSSENT-2025.CTR", 2000);
    write_doy_file(private_dir() + "L-2023-FAILED.CTR", 1000);
    write_doy_file(private_dir() + "L-2024-FAILED.CTR", 0);
    write_doy_file(private_dir() + "L-2025-FAILED.CTR", 2000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_now(c.y, c.m, c.d);
        for (const auto& r : {records::report_global(Counter::Sent),
                              records::report_link("L", LinkCounter::Failed)}) {
            EXPECT_EQ(r.today, c.expected.today);
            EXPECT_EQ(r.last7, c.expected.last7);
            EXPECT_EQ(r.last30, c.expected.last30);
        }
    }
    // A missing previous year contributes nothing.
    set_now(2023, 1, 2);
    write_all(stats_dir() + "SMSSENT-2023.CTR", file_bytes({{0, 1}, {1, 2}}));
    auto r = records::report_global(Counter::Sent);
    EXPECT_EQ(r.today, 2u);
    EXPECT_EQ(r.last7, 3u);
    EXPECT_EQ(r.last30, 3u);
}

TEST_F(CountersTest, ReportsSeeUnflushedCountsAndGaugesReportSlotZero) {
    write_all(stats_dir() + "SMSQSIZE.CTR", file_bytes({{0, 17}, {64, 99}}));
    auto g = records::report_global(Counter::OutQueueSize);
    EXPECT_EQ(g.today, 17u);
    EXPECT_EQ(g.last7, 17u);
    EXPECT_EQ(g.last30, 17u);
    records::add_counter(Counter::Submitted, 5);
    records::add_link_counter("L", LinkCounter::Sent, 6);
    EXPECT_EQ(records::report_global(Counter::Submitted).last30, 5u);
    EXPECT_EQ(records::report_link("L", LinkCounter::Sent).today, 6u);
}

TEST_F(CountersTest, StartUpRecountsTheQueues) {
    const std::string q = home_ + "/Q/";
    const std::string in = home_ + "/SMS-IN/";
    const char* queue_files[] = {
        "a.req",
        "b.REQ",
        "c.Req",
        "RT_-_SMPP - x_-_/d.req",
        "RT_-_SMPP - x_-_/e.req",
        "RT_-_SMPP - x_-_/###0001/f.req",
        "DELAYQ/20240306/1200/g.req",
        "DELAYQ/20240306/1200/h.req",
        "SAR-x-1-2-1.req",
        "SAR-x-1-2-2.req",
        "sub/i.req",
        "sub/deeper/j.req",
        // not counted:
        "MMSQ__1.req",
        "MMSQ__route/k.req",
        "x.LCK",
        "y.req.tmp",
        ".hidden.req",
    };
    for (const char* f : queue_files) write_all(q + f, "[SMS]\r\n");
    const char* inbound_files[] = {"1.in",  "2.IN",  "3.rec", "4.rct",   "5.RCT",
                                   "6.RCT", "7.txt", "8.SAR", "sub/9.in"};
    for (const char* f : inbound_files) write_all(in + f, "[SMS-IN]\r\n");
    // Whatever the gauges held before a restart is dropped.
    write_all(stats_dir() + "SMSQSIZE.CTR", file_bytes({{0, 99}}));
    write_all(stats_dir() + "SMSINQSIZE.CTR", file_bytes({{0, 98}}));
    write_all(stats_dir() + "SMSRCPTQSIZE.CTR", file_bytes({{0, 97}}));
    records::add_counter(Counter::OutQueueSize, 1000);

    records::init_stat_counters(q, in);
    EXPECT_EQ(records::counter_today(Counter::OutQueueSize), 12u);
    EXPECT_EQ(records::counter_today(Counter::InQueueSize), 3u);
    EXPECT_EQ(records::counter_today(Counter::ReceiptQueueSize), 3u);
    records::flush_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSQSIZE.CTR"), file_bytes({{0, 12}}));
    EXPECT_EQ(read_all(stats_dir() + "SMSINQSIZE.CTR"), file_bytes({{0, 3}}));
    EXPECT_EQ(read_all(stats_dir() + "SMSRCPTQSIZE.CTR"), file_bytes({{0, 3}}));

    // Empty or missing queues give zero gauges.
    records::init_stat_counters(home_ + "/nothing/", home_ + "/none/");
    records::flush_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSQSIZE.CTR"), file_bytes({}));
}

TEST_F(CountersTest, IdleLinkFilesAreClosedAfterFiveMinutes) {
    const time_t t0 = g_fake_now;
    const std::string path = private_dir() + "L-2024.CTR";
    records::add_link_counter("L", LinkCounter::Sent, 1);
    records::flush_stat_counters();
    ASSERT_EQ(read_all(path), file_bytes({{64, 1}}));
    // Someone else's copy of the file: seen only after the image is dropped.
    write_all(path, file_bytes({{64, 42}}));
    g_fake_now = t0 + 300;
    records::flush_stat_counters();
    EXPECT_EQ(records::link_counter_today("L", LinkCounter::Sent), 1u);
    g_fake_now = t0 + 301;
    records::flush_stat_counters();
    EXPECT_EQ(records::link_counter_today("L", LinkCounter::Sent), 42u);
    EXPECT_EQ(read_all(path), file_bytes({{64, 42}}));
}

TEST_F(CountersTest, FlushWritesOnlyChangedImages) {
    records::add_counter(Counter::Sent, 1);
    records::flush_stat_counters();
    // An unchanged image is not written again over the file.
    write_all(stats_dir() + "SMSSENT-2024.CTR", file_bytes({{64, 50}}));
    records::flush_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSSENT-2024.CTR"), file_bytes({{64, 50}}));
    records::add_counter(Counter::Sent, 1);
    records::flush_stat_counters();
    EXPECT_EQ(read_all(stats_dir() + "SMSSENT-2024.CTR"), file_bytes({{64, 2}}));
}

}  // namespace
}  // namespace records_test
