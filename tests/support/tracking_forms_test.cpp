// Receipt ids in other forms than the stored one: which forms find a
// message, which do not, and the refusal when forms name two messages.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/support_state.h"
#include "support/tracking.h"

namespace {

using namespace support;

time_t g_clock = 0;
time_t clock_fn(int* ms) {
    if (ms) *ms = 0;
    return g_clock;
}
time_t noon(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class TrackingForms : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tracking-forms-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
        reset_support_for_tests();
        g_clock = noon(2024, 3, 5);
        platform::set_wall_clock(&clock_fn);
        set_tracking_directory(dir_);
    }
    void TearDown() override {
        sqlSMSCMessageIdCloseAll();
        platform::set_wall_clock(nullptr);
        std::filesystem::remove_all(dir_);
    }
    void add(const std::string& link, const std::string& id, const std::string& msg) {
        ASSERT_NE(SMSCMessageIdAdd(link, id, msg, "alice", "Shop", "+447700900123"), 0);
    }
    std::string dir_;
};

TEST(NumericId, ValuesOfIds) {
    struct Case {
        const char* id;
        bool has_hex;
        uint64_t hex;
        bool has_dec;
        uint64_t dec;
    } cases[] = {
        {"1A2b", true, 0x1A2B, false, 0},
        {"00123", true, 0x123, true, 123},
        {"0", false, 0, false, 0},
        {"", false, 0, false, 0},
        {"12g4", false, 0, false, 0},
        {"FFFFFFFFFFFFFFFF", true, UINT64_MAX, false, 0},
        {"00000000000000001", true, 1, true, 1},  // zeros do not count towards 16
        {"12345678901234567", false, 0, true, 12345678901234567ull},
        {"18446744073709551615", false, 0, true, UINT64_MAX},
        {"18446744073709551616", false, 0, false, 0},  // beyond 64 bits
    };
    for (const Case& c : cases) {
        NumericId n = numeric_id_values(c.id);
        EXPECT_TRUE(n.has_hex == c.has_hex && n.hex == c.hex && n.has_dec == c.has_dec &&
                    n.dec == c.dec)
            << c.id;
    }
}

TEST_F(TrackingForms, EveryFormFindsItsMessage) {
    struct Case {
        const char* stored;
        const char* receipt;
        IdForm form;
    } cases[] = {
        {"msg-Abc", "msg-Abc", IdForm::Exact},
        {"1a2b3c", "1A2B3C", IdForm::SameHex},
        {"001A2B", "1a2b", IdForm::SameHex},
        {"1A2B", "00001A2B", IdForm::SameHex},
        {"0000987", "987", IdForm::SameHex},  // same digits: the hexadecimal reading comes first
        {"1A2B3C", "1715004", IdForm::DecimalOfHex},
        {"4F00A1B2", "01325441458", IdForm::DecimalOfHex},
        {"6699", "1A2B", IdForm::HexOfDecimal},
        {"6699", "1a2b", IdForm::HexOfDecimal},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string link = "SMPP - L" + std::to_string(n);
        const std::string msg = "GW" + std::to_string(n++);
        add(link, c.stored, msg);
        TrackedMessage t;
        IdForm form = IdForm::Exact;
        ASSERT_EQ(SMSCMessageIdMatch(link, c.receipt, t, form), MatchResult::Found)
            << c.stored << " / " << c.receipt;
        EXPECT_TRUE(t.message_id == msg && t.smsc_id == c.stored && t.submit_user == "alice" &&
                    t.sender == "Shop" && t.recipient == "+447700900123" && form == c.form)
            << c.stored << " / " << c.receipt;
    }
}

TEST_F(TrackingForms, FormsThatMustNotMatch) {
    struct Case {
        const char* stored;
        const char* receipt;
    } cases[] = {
        {"MsgAbc", "MSGABC"},   // not wholly hex: letter case counts
        {"ab-12", "AB-12"},     // idem
        {"00", "0"},            // "0" is no id
        {"1A2B3C", "1715005"},  // a neighbour
        {"123", "123 "},        // a blank is not a digit
    };
    for (const Case& c : cases) {
        add("SMPP - X", c.stored, "GW1");
        TrackedMessage t;
        IdForm form;
        EXPECT_EQ(SMSCMessageIdMatch("SMPP - X", c.receipt, t, form), MatchResult::NotFound)
            << c.stored << " / " << c.receipt;
    }
    // Another link's id never matches, in any form.
    add("SMPP - A", "1A2B3C", "GW2");
    TrackedMessage t;
    IdForm form;
    EXPECT_EQ(SMSCMessageIdMatch("SMPP - B", "1715004", t, form), MatchResult::NotFound);
    EXPECT_EQ(SMSCMessageIdMatch("SMPP - B", "1A2B3C", t, form), MatchResult::NotFound);
}

TEST_F(TrackingForms, TwoMessagesInDifferentFormsAreRefused) {
    // "0123": decimal 123 is stored "7B" (hex) and also "123" read as decimal.
    add("SMPP - X", "7B", "GW-A");
    add("SMPP - X", "123", "GW-B");
    TrackedMessage t;
    IdForm form;
    EXPECT_EQ(SMSCMessageIdMatch("SMPP - X", "0123", t, form), MatchResult::Ambiguous);
    // The exact id still wins.
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - X", "123", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW-B");
    EXPECT_EQ(form, IdForm::Exact);
    // Two stored spellings of one message are no conflict.
    add("SMPP - Y", "00FF", "GW-C");
    add("SMPP - Y", "0FF", "GW-C");
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - Y", "ff", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW-C");
}

TEST_F(TrackingForms, FormsSearchEarlierDays) {
    add("SMPP - X", "1A2B3C", "GW-OLD");
    g_clock = noon(2024, 3, 7);
    add("SMPP - X", "something", "GW-NEW");
    TrackedMessage t;
    IdForm form;
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - X", "1715004", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW-OLD");
    EXPECT_EQ(form, IdForm::DecimalOfHex);
    // A conflict spread over two days is a conflict as well.
    add("SMPP - X", "1715004", "GW-NEWER");
    EXPECT_EQ(SMSCMessageIdMatch("SMPP - X", "01715004", t, form), MatchResult::Ambiguous);
}

TEST_F(TrackingForms, FilesOfTheOlderLayoutGetTheNumericColumns) {
    // Today's file as the store wrote it before the numeric columns.
    const std::string path = dir_ + tracking_file_name(2024, 3, 5);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE message_ids(link TEXT NOT NULL COLLATE NOCASE,"
                           " smsc_id TEXT NOT NULL, message_id TEXT NOT NULL,"
                           " submit_user TEXT NOT NULL DEFAULT '', sender TEXT NOT NULL DEFAULT '',"
                           " recipient TEXT NOT NULL DEFAULT '', added INTEGER NOT NULL DEFAULT 0,"
                           " PRIMARY KEY(link, smsc_id)) WITHOUT ROWID;"
                           "INSERT INTO message_ids(link, smsc_id, message_id)"
                           " VALUES('SMPP - X', '00AB', 'GW-OLD');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    add("SMPP - X", "1A2B3C", "GW-NEW");
    TrackedMessage t;
    IdForm form;
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - X", "00AB", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW-OLD");
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - X", "1715004", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW-NEW");
}

TEST_F(TrackingForms, ExpiredDailyFilesAreClosed) {
    set_tracking_retention_days(3);
    add("SMPP - X", "old", "GW1");
    g_clock = noon(2024, 3, 8);  // three days on: still within the retention
    add("SMPP - X", "new", "GW2");
    EXPECT_EQ(close_expired_tracking_files(), 0u);
    g_clock = noon(2024, 3, 9);
    std::string id, user, sender, recip;
    ASSERT_NE(SMSCMessageIdGet2("SMPP - X", "new", id, user, sender, recip), 0);
    EXPECT_EQ(close_expired_tracking_files(), 1u);  // the file of the 5th
    EXPECT_EQ(close_expired_tracking_files(), 0u);
    // Still there for a look-up within the retention.
    ASSERT_NE(SMSCMessageIdGet2("SMPP - X", "new", id, user, sender, recip), 0);
    EXPECT_EQ(id, "GW2");
}

int rows_seen_elsewhere(const std::string& path) {
    sqlite3* db = nullptr;
    int n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
        sqlite3_exec(
            db, "SELECT count(*) FROM message_ids",
            [](void* out, int, char** v, char**) {
                *static_cast<int*>(out) = std::atoi(v[0]);
                return 0;
            },
            &n, nullptr);
    sqlite3_close(db);
    return n;
}

TEST_F(TrackingForms, GroupCommitsAreSeenHereAtOnceAndElsewhereWhenCommitted) {
    const std::string path = dir_ + tracking_file_name(2024, 3, 5);
    add("SMPP - X", "first", "GW1");
    EXPECT_EQ(rows_seen_elsewhere(path), 1);  // off: committed with the add
    set_tracking_group_commit_ms(1000);
    add("SMPP - X", "1A2B3C", "GW2");
    TrackedMessage t;
    IdForm form;
    ASSERT_EQ(SMSCMessageIdMatch("SMPP - X", "1715004", t, form), MatchResult::Found);
    EXPECT_EQ(t.message_id, "GW2");
    EXPECT_EQ(rows_seen_elsewhere(path), 1);
    commit_tracking_groups();  // younger than the group time: stays open
    EXPECT_EQ(rows_seen_elsewhere(path), 1);
    commit_tracking_groups(true);
    EXPECT_EQ(rows_seen_elsewhere(path), 2);
    // Closing commits what is open; turning the groups off too.
    add("SMPP - X", "third", "GW3");
    sqlSMSCMessageIdCloseAll();
    EXPECT_EQ(rows_seen_elsewhere(path), 3);
    add("SMPP - X", "fourth", "GW4");
    set_tracking_group_commit_ms(0);
    EXPECT_EQ(rows_seen_elsewhere(path), 4);
}

}  // namespace
