// Message-id tracking: daily files, look-up order and retention, locked and
// replaced databases, concurrent use, the integrity test and SAR references.
#include "support/tracking.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/test_util.h"
#include "support/directories.h"
#include "support/sqlite_store.h"
#include "support/support_state.h"

namespace {

using namespace support;

std::atomic<time_t> g_fake_now{0};

time_t fake_clock(int* millis) {
    if (millis) *millis = 0;
    return g_fake_now.load();
}

// Local noon of a date: far from midnight whatever the time zone does.
time_t local_noon(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Rows of one table in a daily file, counted over a separate connection.
int count_rows(const std::string& path, const char* where) {
    sqlite::Database db;
    if (!db.open(path, false, true)) return -1;
    sqlite::Statement st;
    std::string sql = std::string("SELECT COUNT(*) FROM message_ids WHERE ") + where;
    if (!st.prepare(db.get(), sql.c_str()) || st.step() != SQLITE_ROW) return -1;
    return static_cast<int>(st.column_int(0));
}

struct Outs {
    std::string message_id = "-", user = "-", sender = "-", recipient = "-";
};

int get2(std::string_view link, std::string_view id, Outs& o) {
    return SMSCMessageIdGet2(link, id, o.message_id, o.user, o.sender, o.recipient);
}

class TrackingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_tracking_directory(dir_ / "track");
        set_tracking_retention_days(0);
        platform::set_wall_clock(&fake_clock);
        set_day(2024, 3, 15);
    }
    void TearDown() override {
        sqlSMSCMessageIdCloseAll();
        platform::set_wall_clock(nullptr);
        set_tracking_directory("");
        set_tracking_retention_days(0);
    }
    void set_day(int y, int m, int d) { g_fake_now = local_noon(y, m, d); }
    std::string track(const std::string& name) const { return dir_ / ("track/" + name); }

    platform_test::TempDir dir_;
};

TEST_F(TrackingTest, AddAndGetAcrossTwoDailyFiles) {
    EXPECT_EQ(tracking_directory(), dir_ / "track/");
    set_day(2024, 3, 14);
    ASSERT_NE(SMSCMessageIdAdd("SMPP - A", "1F0A", "GW0000001", "alice", "+4477001", "+4477002"),
              0);
    set_day(2024, 3, 15);
    ASSERT_NE(SMSCMessageIdAdd("SMPP - A", "2B0C", "GW0000002", "", "Shop", "+4477003"), 0);

    EXPECT_TRUE(platform::file_exists(track("20240314.DB")));
    EXPECT_TRUE(platform::file_exists(track("20240315.DB")));
    EXPECT_EQ(tracking_today_path(), track("20240315.DB"));
    EXPECT_EQ(count_rows(track("20240315.DB"), "smsc_id = '1F0A'"), 0);
    EXPECT_EQ(count_rows(track("20240314.DB"), "smsc_id = '1F0A'"), 1);

    Outs a, b;
    ASSERT_NE(get2("SMPP - A", "1F0A", a), 0);
    EXPECT_EQ(a.message_id, "GW0000001");
    EXPECT_EQ(a.user, "alice");
    EXPECT_EQ(a.sender, "+4477001");
    EXPECT_EQ(a.recipient, "+4477002");
    ASSERT_NE(get2("SMPP - A", "2B0C", b), 0);
    EXPECT_EQ(b.message_id, "GW0000002");
    EXPECT_EQ(b.user, "");
    EXPECT_EQ(b.sender, "Shop");

    // The SQL-library names reach the same store.
    Outs c;
    ASSERT_NE(sqlSMSCMessageIdGet2("SMPP - A", "1F0A", c.message_id, c.user, c.sender, c.recipient),
              0);
    EXPECT_EQ(c.message_id, "GW0000001");
    ASSERT_NE(sqlSMSCMessageIdAdd("HTTP", "x-1", "GW3", "u", "s", "r"), 0);
    ASSERT_NE(get2("http", "x-1", c), 0);
    EXPECT_EQ(c.message_id, "GW3");
}

TEST_F(TrackingTest, DailyFilesFollowTheCalendarAcrossMonthAndYearEnds) {
    struct Case {
        int y, m, d;     // "yesterday"
        int ty, tm, td;  // today
        const char* file;
    } cases[] = {
        {2024, 2, 29, 2024, 3, 1, "20240229.DB"},    {2023, 2, 28, 2023, 3, 1, "20230228.DB"},
        {2024, 12, 31, 2025, 1, 1, "20241231.DB"},   {2024, 3, 30, 2024, 3, 31, "20240330.DB"},
        {2024, 10, 26, 2024, 10, 27, "20241026.DB"},
    };
    for (const auto& c : cases) {
        set_day(c.y, c.m, c.d);
        std::string id = std::string("id-") + c.file;
        ASSERT_NE(SMSCMessageIdAdd("L", id, c.file, "", "", ""), 0);
        EXPECT_TRUE(platform::file_exists(track(c.file))) << c.file;
        set_day(c.ty, c.tm, c.td);
        Outs o;
        EXPECT_NE(sqlSMSCMessageIdGetQuick("L", id, o.message_id, o.user, o.sender, o.recipient), 0)
            << c.file;
        EXPECT_EQ(o.message_id, c.file);
    }
}

TEST_F(TrackingTest, LookupPrefersTheNewestDayAndMatchesLinksWithoutCase) {
    set_day(2024, 3, 13);
    ASSERT_NE(SMSCMessageIdAdd("UCP - X", "K1", "old", "", "", ""), 0);
    set_day(2024, 3, 14);
    ASSERT_NE(SMSCMessageIdAdd("UCP - X", "K1", "middle", "", "", ""), 0);
    ASSERT_NE(SMSCMessageIdAdd("UCP - Y", "K1", "other-link", "", "", ""), 0);
    set_day(2024, 3, 15);
    ASSERT_NE(SMSCMessageIdAdd("UCP - X", "K1", "first-today", "", "", ""), 0);
    ASSERT_NE(SMSCMessageIdAdd("UCP - X", "K1", "newest", "", "", ""), 0);
    ASSERT_NE(SMSCMessageIdAdd("UCP - X", "K2", "only-today", "", "", ""), 0);

    struct Lookup {
        const char* link;
        const char* id;
        const char* expected;  // nullptr: not found
    } lookups[] = {
        {"UCP - X", "K1", "newest"},     {"ucp - x", "K1", "newest"},
        {"UCP - Y", "K1", "other-link"}, {"UCP - X", "K2", "only-today"},
        {"UCP - X", "k1", nullptr},      {"UCP - Z", "K1", nullptr},
        {"UCP - X", "K", nullptr},       {"UCP - X", "K1 ", nullptr},
    };
    for (const auto& l : lookups) {
        Outs o;
        int found = get2(l.link, l.id, o);
        if (l.expected) {
            EXPECT_NE(found, 0) << l.link << "/" << l.id;
            EXPECT_EQ(o.message_id, l.expected) << l.link << "/" << l.id;
        } else {
            EXPECT_EQ(found, 0) << l.link << "/" << l.id;
            EXPECT_EQ(o.message_id, "-") << "outs untouched when not found";
        }
    }
}

TEST_F(TrackingTest, RetentionLimitsHowFarBackLookupsSearch) {
    set_tracking_retention_days(3);
    set_day(2024, 3, 12);  // three days back
    ASSERT_NE(SMSCMessageIdAdd("L", "three", "m3", "", "", ""), 0);
    set_day(2024, 3, 11);  // four days back
    ASSERT_NE(SMSCMessageIdAdd("L", "four", "m4", "", "", ""), 0);
    set_day(2024, 3, 13);  // two days back
    ASSERT_NE(SMSCMessageIdAdd("L", "two", "m2", "", "", ""), 0);
    set_day(2024, 3, 14);
    ASSERT_NE(SMSCMessageIdAdd("L", "one", "m1", "", "", ""), 0);
    set_day(2024, 3, 15);

    Outs o;
    EXPECT_NE(get2("L", "three", o), 0);
    EXPECT_EQ(get2("L", "four", o), 0);
    EXPECT_EQ(tracking_retention_days(), 3u);

    // The quick look-up covers today and yesterday only.
    auto quick = [&](const char* id) {
        return sqlSMSCMessageIdGetQuick("L", id, o.message_id, o.user, o.sender, o.recipient);
    };
    EXPECT_NE(quick("one"), 0);
    EXPECT_EQ(quick("two"), 0);

    set_tracking_retention_days(4);
    EXPECT_NE(get2("L", "four", o), 0);
    EXPECT_EQ(o.message_id, "m4");
    set_tracking_retention_days(0);
    EXPECT_EQ(tracking_retention_days(), kDefaultTrackingRetainDays);
}

TEST_F(TrackingTest, GetKeepsTheCallersRecipientWhenTheRecordHasNone) {
    ASSERT_NE(SMSCMessageIdAdd("M", "with", "m1", "u1", "s1", "+4411"), 0);
    ASSERT_NE(SMSCMessageIdAdd("M", "without", "m2", "u2", "s2", ""), 0);
    struct Case {
        const char* id;
        const char* recipient_after;
    } cases[] = {{"with", "+4411"}, {"without", "caller"}};
    for (const auto& c : cases) {
        std::string mid, user, sender, recipient = "caller";
        ASSERT_NE(SMSCMessageIdGet("M", c.id, mid, user, sender, recipient), 0) << c.id;
        EXPECT_EQ(recipient, c.recipient_after) << c.id;
    }
    // Get2 fills every out, an empty recipient included.
    Outs o;
    ASSERT_NE(get2("M", "without", o), 0);
    EXPECT_EQ(o.recipient, "");
    EXPECT_EQ(o.user, "u2");
}

TEST_F(TrackingTest, BadKeysAreRefusedAndLongFieldsCut) {
    const std::string long_key(kTrackingFieldSize, 'k');
    struct Case {
        std::string link, id;
    } bad[] = {{"L", ""}, {"L", long_key}, {long_key, "id"}};
    for (const auto& c : bad) {
        EXPECT_EQ(SMSCMessageIdAdd(c.link, c.id, "m", "u", "s", "r"), 0);
        Outs o;
        EXPECT_EQ(get2(c.link, c.id, o), 0);
    }
    const std::string longest(kTrackingFieldSize - 1, 'k');
    ASSERT_NE(SMSCMessageIdAdd(longest, longest, std::string(1000, 'm'), std::string(300, 'u'),
                               std::string(300, 's'), std::string(300, 'r')),
              0);
    Outs o;
    ASSERT_NE(get2(longest, longest, o), 0);
    EXPECT_EQ(o.message_id, std::string(kTrackingFieldSize - 1, 'm'));
    EXPECT_EQ(o.user.size(), kTrackingFieldSize - 1);
    EXPECT_EQ(o.recipient.size(), kTrackingFieldSize - 1);
    // An empty link is a link like any other.
    ASSERT_NE(SMSCMessageIdAdd("", "nolink", "m", "", "", ""), 0);
    EXPECT_NE(get2("", "nolink", o), 0);
    EXPECT_EQ(get2("L", "nolink", o), 0);
}

TEST_F(TrackingTest, AWriterHoldingTheLockDoesNotLoseRows) {
    ASSERT_NE(SMSCMessageIdAdd("L", "first", "m0", "", "", ""), 0);
    const std::string path = tracking_today_path();
    sqlite::Database other;
    ASSERT_TRUE(other.open(path, false, true));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    ASSERT_TRUE(
        other.exec("INSERT INTO message_ids(link, smsc_id, message_id) VALUES('L', 'held', 'mh')"));

    constexpr int kAdds = 40;
    std::atomic<bool> started{false}, committed{false};
    bool first_add_waited = false;
    int stored = 0;
    std::thread adder([&] {
        started = true;
        for (int i = 0; i < kAdds; ++i) {
            if (SMSCMessageIdAdd("L", "w" + std::to_string(i), "m" + std::to_string(i), "", "", ""))
                ++stored;
            if (i == 0) first_add_waited = committed.load();
        }
    });
    while (!started) platform::sleep_ms(1);
    platform::sleep_ms(300);
    committed = true;
    ASSERT_TRUE(other.exec("COMMIT"));
    adder.join();

    EXPECT_TRUE(first_add_waited) << "the add must have waited for the other writer";
    EXPECT_EQ(stored, kAdds);
    Outs o;
    for (int i = 0; i < kAdds; ++i) EXPECT_NE(get2("L", "w" + std::to_string(i), o), 0) << i;
    ASSERT_NE(get2("L", "held", o), 0);
    EXPECT_EQ(o.message_id, "mh");
    EXPECT_EQ(count_rows(path, "1"), kAdds + 2);
}

TEST_F(TrackingTest, ConcurrentAddersAndReadersLoseNothing) {
    constexpr int kThreads = 4, kEach = 150;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &failures] {
            std::string link = "Link" + std::to_string(t % 2);
            for (int i = 0; i < kEach; ++i) {
                std::string id = std::to_string(t) + ":" + std::to_string(i);
                if (!SMSCMessageIdAdd(link, id, "m" + id, "u", "s", "r")) ++failures;
            }
        });
    std::thread reader([&] {
        Outs o;
        for (int n = 0; n < 2000 && !done; ++n) get2("Link0", "0:" + std::to_string(n % kEach), o);
    });
    for (auto& th : threads) th.join();
    done = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    Outs o;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) {
            std::string id = std::to_string(t) + ":" + std::to_string(i);
            ASSERT_NE(get2("Link" + std::to_string(t % 2), id, o), 0) << id;
            ASSERT_EQ(o.message_id, "m" + id);
        }
}

TEST_F(TrackingTest, AFileRemovedBehindTheCacheIsRecreated) {
    ASSERT_NE(SMSCMessageIdAdd("L", "before", "m1", "", "", ""), 0);
    const std::string path = tracking_today_path();
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
    ASSERT_FALSE(platform::file_exists(path));

    ASSERT_NE(SMSCMessageIdAdd("L", "after", "m2", "", "", ""), 0);
    ASSERT_TRUE(platform::file_exists(path));
    EXPECT_EQ(count_rows(path, "smsc_id = 'after'"), 1);
    Outs o;
    EXPECT_NE(get2("L", "after", o), 0);
    EXPECT_EQ(get2("L", "before", o), 0);

    // After a full close the store reopens on demand.
    sqlSMSCMessageIdCloseAll();
    EXPECT_NE(get2("L", "after", o), 0);
}

TEST_F(TrackingTest, TestDatabaseOkTellsSoundFromDamagedFiles) {
    // A multi-page tracking file written by the store itself.
    for (int i = 0; i < 3000; ++i)
        ASSERT_NE(SMSCMessageIdAdd("SMPP - big", "id" + std::to_string(i),
                                   "message-" + std::to_string(i) + std::string(80, 'x'), "user",
                                   "sender", "recipient"),
                  0);
    const std::string good_path = tracking_today_path();
    sqlSMSCMessageIdCloseAll();  // folds the WAL into the main file
    const std::string good = read_all(good_path);
    constexpr size_t kPage = 4096;
    ASSERT_GT(good.size(), 40 * kPage);

    auto make = [&](const std::string& name, std::string bytes) {
        std::string p = dir_ / name;
        write_all(p, bytes);
        return p;
    };
    std::string pages = good;
    for (size_t i = 10 * kPage; i < 20 * kPage; ++i) pages[i] = static_cast<char>(0xA5);
    std::string header = good;
    for (size_t i = 0; i < 16; ++i) header[i] = 'Z';
    std::string garbage;
    while (garbage.size() < 20000) garbage += "this is not a database at all\n";

    struct Case {
        std::string path;
        int expected;
    } cases[] = {
        {good_path, 1},
        {make("copy.DB", good), 1},
        {make("pages.DB", pages), 0},
        {make("header.DB", header), 0},
        {make("half.DB", good.substr(0, good.size() / 2)), 0},
        {make("garbage.DB", garbage), 0},
        {dir_ / "missing.DB", 0},
        {dir_.path(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(sqlTestDatabaseOK(c.path), c.expected) << c.path;
    EXPECT_FALSE(platform::file_exists(dir_ / "missing.DB")) << "the test creates nothing";

    // The store still works on the sound file afterwards.
    Outs o;
    ASSERT_NE(get2("SMPP - big", "id2999", o), 0);
    EXPECT_EQ(o.message_id.substr(0, 13), "message-2999x");
}

TEST_F(TrackingTest, HealthCheckCallsOnlyRealDamageCorrupt) {
    ASSERT_NE(SMSCMessageIdAdd("L", "a", "GWa", "", "", ""), 0);
    sqlSMSCMessageIdCloseAll();
    const std::string good = read_all(tracking_today_path());
    write_all(dir_ / "garbage.DB", std::string(9000, 'g'));
    write_all(dir_ / "header.DB", "SQLite format 3" + std::string(4000, '\x01'));
    write_all(dir_ / "journal.DB", "");
    // A rollback-journal file whose writer holds the exclusive lock.
    sqlite::Database writer;
    ASSERT_TRUE(writer.open(dir_ / "journal.DB", false, false));
    ASSERT_TRUE(writer.exec("CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);"));
    ::mkdir((dir_ / "noaccess").c_str(), 0700);
    write_all(dir_ / "noaccess/x.DB", good);
    ::chmod((dir_ / "noaccess/x.DB").c_str(), 0);
    const bool root = ::geteuid() == 0;

    struct Case {
        std::string path;
        DatabaseHealth expected;
    } cases[] = {
        {tracking_today_path(), DatabaseHealth::Sound},
        {dir_ / "garbage.DB", DatabaseHealth::Corrupt},
        {dir_ / "header.DB", DatabaseHealth::Corrupt},
        {dir_ / "journal.DB", DatabaseHealth::Unknown},
        {dir_ / "missing.DB", DatabaseHealth::Unknown},
        {dir_.path(), DatabaseHealth::Unknown},
        {dir_ / "noaccess/x.DB", root ? DatabaseHealth::Sound : DatabaseHealth::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(check_database_health(c.path), c.expected) << c.path;
    ASSERT_TRUE(writer.exec("COMMIT;"));
    EXPECT_EQ(check_database_health(dir_ / "journal.DB"), DatabaseHealth::Sound);
    EXPECT_FALSE(platform::file_exists(dir_ / "missing.DB"));
}

TEST_F(TrackingTest, SarReferencesMapPerAccountRecipientReferenceAndTotal) {
    set_day(2024, 3, 13);
    ASSERT_NE(sqlSARIDAdd("Client1", "+4477", 9, 2, 99), 0);  // two days back
    set_day(2024, 3, 14);
    ASSERT_NE(sqlSARIDAdd("Client1", "+4477", 7, 2, 77), 0);  // yesterday
    set_day(2024, 3, 15);
    ASSERT_NE(sqlSARIDAdd("Client1", "+4477", 5, 3, 200), 0);
    ASSERT_NE(sqlSARIDAdd("Client2", "+4477", 5, 3, 201), 0);

    struct Lookup {
        const char* account;
        const char* recipient;
        unsigned ref, total;
        int found;
        unsigned expected;
    } lookups[] = {
        {"Client1", "+4477", 5, 3, 1, 200},
        {"CLIENT1", "+4477", 5, 3, 1, 200},
        {"Client2", "+4477", 5, 3, 1, 201},
        {"Client1", "+4477", 5, 2, 0, 0},
        {"Client1", "+4477", 6, 3, 0, 0},
        {"Client1", "+4478", 5, 3, 0, 0},
        {"Client1", "+4477", 7, 2, 1, 77},
        {"Client1", "+4477", 9, 2, 0, 0},
        {"", "", 0, 0, 0, 0},
    };
    for (const auto& l : lookups) {
        unsigned ref = 12345;
        EXPECT_EQ(sqlSARIDGet(l.account, l.recipient, l.ref, l.total, ref), l.found)
            << l.account << " " << l.recipient << " " << l.ref << "/" << l.total;
        EXPECT_EQ(ref, l.found ? l.expected : 12345u);
    }
    // A newer mapping of the same client reference replaces the older one.
    ASSERT_NE(sqlSARIDAdd("client1", "+4477", 5, 3, 300), 0);
    unsigned ref = 0;
    ASSERT_NE(sqlSARIDGet("Client1", "+4477", 5, 3, ref), 0);
    EXPECT_EQ(ref, 300u);
    EXPECT_EQ(sqlSARIDAdd(std::string(kTrackingFieldSize, 'a'), "+4477", 1, 2, 3), 0);
}

TEST_F(TrackingTest, DirectoryDefaultsToSMPPDataBelowTheProgramData) {
    const std::string home = dir_ / "home";
    ::setenv("SMSGW_HOME", home.c_str(), 1);
    reset_support_for_tests();
    set_tracking_directory("");
    EXPECT_EQ(tracking_directory(), home + "/SMPPData/");
    EXPECT_TRUE(platform::dir_exists(home + "/SMPPData/"));
    ASSERT_NE(SMSCMessageIdAdd("L", "id", "m", "", "", ""), 0);
    EXPECT_TRUE(platform::file_exists(home + "/SMPPData/20240315.DB"));

    // An existing directory of another spelling is used as it is.
    const std::string home2 = dir_ / "home2";
    ASSERT_TRUE(platform::ensure_dir(home2 + "/SMPPDATA/"));
    ::setenv("SMSGW_HOME", home2.c_str(), 1);
    reset_support_for_tests();
    set_tracking_directory("");
    EXPECT_EQ(tracking_directory(), home2 + "/SMPPDATA/");

    // A configured directory gets its trailing '/' and is created.
    set_tracking_directory(dir_ / "conf/ids");
    EXPECT_EQ(tracking_directory(), dir_ / "conf/ids/");
    EXPECT_TRUE(platform::dir_exists(dir_ / "conf/ids/"));
    set_tracking_directory(dir_ / "conf/ids2/");
    EXPECT_EQ(tracking_directory(), dir_ / "conf/ids2/");
    ::unsetenv("SMSGW_HOME");
    reset_support_for_tests();
}

}  // namespace
