// Account store: persistence, case-insensitive names and passwords, hashed
// storage, replacement, read-only handles, bad input and concurrent use.
#include "support/accounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/test_util.h"
#include "support/sqlite_store.h"

namespace {

using namespace support;

class AccountStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { set_account_database_path(dir_ / "USERS.DB"); }
    void TearDown() override { set_account_database_path(""); }

    std::string db_path() const { return dir_ / "USERS.DB"; }

    // Every byte the database keeps on disk (main file and WAL).
    std::string disk_bytes() const {
        std::string all;
        for (const char* suffix : {"", "-wal"}) {
            std::ifstream in(db_path() + suffix, std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return all;
    }

    platform_test::TempDir dir_;
};

UserRecord full_record(const std::string& name, int variant) {
    UserRecord r;
    r.name = name;
    r.full_name = "Full " + name;
    r.enable_web_login = variant & 1;
    r.enable_smpp_login = variant & 2;
    r.enable_smtp_login = variant & 4;
    r.receive_enabled = variant & 8;
    r.admin_enabled = variant & 16;
    r.enable_credit_balance = variant & 32;
    r.forced_sender_address = "+4477001," + name;
    r.restrict_ip_address = "10.*.*.*;192.168.1.5";
    r.message_limit_per_day = 100u + static_cast<uint32_t>(variant);
    r.message_limit_per_month = 4294967295u - static_cast<uint32_t>(variant);
    r.throttle_speed = "10/1/8";
    r.web_options = variant % 2 ? "SMSMMS" : "All";
    return r;
}

void expect_same(const UserRecord& a, const UserRecord& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.password_hash, b.password_hash);
    EXPECT_EQ(a.full_name, b.full_name);
    EXPECT_EQ(a.enable_web_login, b.enable_web_login);
    EXPECT_EQ(a.enable_smpp_login, b.enable_smpp_login);
    EXPECT_EQ(a.enable_smtp_login, b.enable_smtp_login);
    EXPECT_EQ(a.receive_enabled, b.receive_enabled);
    EXPECT_EQ(a.admin_enabled, b.admin_enabled);
    EXPECT_EQ(a.enable_credit_balance, b.enable_credit_balance);
    EXPECT_EQ(a.forced_sender_address, b.forced_sender_address);
    EXPECT_EQ(a.restrict_ip_address, b.restrict_ip_address);
    EXPECT_EQ(a.message_limit_per_day, b.message_limit_per_day);
    EXPECT_EQ(a.message_limit_per_month, b.message_limit_per_month);
    EXPECT_EQ(a.throttle_speed, b.throttle_speed);
    EXPECT_EQ(a.web_options, b.web_options);
}

TEST_F(AccountStoreTest, AddFindDeleteEnumerateSurviveReopen) {
    std::vector<UserRecord> added = {full_record("carol", 0x2A), full_record("Bob", 0x15),
                                     full_record("alice", 0x3F)};
    ASSERT_TRUE(set_user_password(added[0], "Carol-pw"));
    {
        UserFile f;
        ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
        for (const auto& r : added) ASSERT_NE(SMSAddUser(f, r), 0) << r.name;
        SMSCloseUserFile(f);
        EXPECT_FALSE(f.is_open());
        UserRecord r;
        EXPECT_EQ(SMSFindUserRecord(f, "alice", r), 0) << "closed handle must not answer";
    }
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
    EXPECT_EQ(SMSGetRecordCount(f), 3);

    // Enumeration runs in name order ignoring case, then stops.
    std::vector<std::string> names;
    UserRecord r;
    for (uint32_t i = 0; SMSGetUserRecord(f, i, r); ++i) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "Bob", "carol"}));

    struct Lookup {
        const char* asked;
        size_t expected;
    } lookups[] = {{"ALICE", 2}, {"bob", 1}, {"BoB", 1}, {"Carol", 0}};
    for (const auto& l : lookups) {
        UserRecord got;
        ASSERT_NE(SMSFindUserRecord(f, l.asked, got), 0) << l.asked;
        expect_same(got, added[l.expected]);
    }
    EXPECT_EQ(SMSFindUserRecord(f, "dave", r), 0);
    EXPECT_EQ(SMSFindUserRecord(f, "alic", r), 0) << "no prefix match";

    EXPECT_NE(SMSDeleteUser(f, "BOB"), 0);
    EXPECT_EQ(SMSDeleteUser(f, "bob"), 0) << "second delete finds nothing";
    SMSCloseUserFile(f);

    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::Read), 0);
    EXPECT_EQ(SMSGetRecordCount(f), 2);
    EXPECT_EQ(SMSFindUserRecord(f, "Bob", r), 0);
    ASSERT_NE(SMSFindUserRecord(f, "carol", r), 0);
    EXPECT_TRUE(verify_user_password(r, "CAROL-PW"));
}

TEST_F(AccountStoreTest, AddReplacesAccountOfSameNameInAnyCase) {
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
    UserRecord first = full_record("Alice", 1);
    UserRecord second = full_record("ALICE", 2);
    second.full_name = "Replaced";
    second.throttle_speed.clear();
    ASSERT_NE(SMSAddUser(f, first), 0);
    ASSERT_NE(SMSAddUser(f, second), 0);
    EXPECT_EQ(SMSGetRecordCount(f), 1);
    UserRecord got;
    ASSERT_NE(SMSFindUserRecord(f, "alice", got), 0);
    expect_same(got, second);
}

TEST_F(AccountStoreTest, PasswordsCompareWithoutRegardToCase) {
    UserRecord r = full_record("pw", 0);
    ASSERT_TRUE(set_user_password(r, "Secret-Word1"));
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
    ASSERT_NE(SMSAddUser(f, r), 0);
    UserRecord stored;
    ASSERT_NE(SMSFindUserRecord(f, "PW", stored), 0);

    struct Case {
        const char* given;
        bool ok;
    } cases[] = {
        {"Secret-Word1", true},   {"secret-word1", true},  {"SECRET-WORD1", true},
        {"sEcReT-wOrD1", true},   {"Secret-Word2", false}, {"Secret-Word1 ", false},
        {" Secret-Word1", false}, {"Secret-Word", false},  {"", false},
    };
    // Twice: the second round runs through the remembered results.
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases)
            EXPECT_EQ(verify_user_password(stored, c.given), c.ok) << c.given << " round " << round;

    // A new password invalidates the old one even after it was accepted.
    ASSERT_TRUE(set_user_password(stored, "Other"));
    EXPECT_FALSE(verify_user_password(stored, "Secret-Word1"));
    EXPECT_TRUE(verify_user_password(stored, "oTHER"));
}

TEST_F(AccountStoreTest, StoredFileHoldsNoClearPassword) {
    const std::string password = "Xyzzy-Plugh-4711";
    UserRecord a = full_record("one", 0), b = full_record("two", 0);
    ASSERT_TRUE(set_user_password(a, password));
    ASSERT_TRUE(set_user_password(b, password));
    EXPECT_NE(a.password_hash, b.password_hash) << "each hash has its own salt";
    EXPECT_EQ(a.password_hash.rfind("pbkdf2-sha256$", 0), 0u);
    {
        UserFile f;
        ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
        ASSERT_NE(SMSAddUser(f, a), 0);
        ASSERT_NE(SMSAddUser(f, b), 0);
    }
    std::string bytes = disk_bytes();
    ASSERT_NE(bytes.find("Full one"), std::string::npos) << "the test must see the stored rows";
    for (const std::string& form :
         {password, std::string("xyzzy-plugh-4711"), std::string("XYZZY-PLUGH-4711")})
        EXPECT_EQ(bytes.find(form), std::string::npos) << form;
}

TEST_F(AccountStoreTest, ReadAccessRefusesChanges) {
    {
        UserFile w;
        ASSERT_NE(SMSOpenUserFile(w, UserFileAccess::ReadWrite), 0);
        ASSERT_NE(SMSAddUser(w, full_record("keep", 0)), 0);
    }
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f), 0);
    EXPECT_EQ(SMSAddUser(f, full_record("new", 0)), 0);
    EXPECT_EQ(SMSDeleteUser(f, "keep"), 0);
    EXPECT_EQ(SMSGetRecordCount(f), 1);
}

TEST_F(AccountStoreTest, BadNamesAreRefusedAndLongFieldsCut) {
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
    const std::string bad_names[] = {"",          std::string(kUserNameSize, 'n'), "a\nb",
                                     "tab\there", std::string("nul\0x", 5),        "del\x7f"};
    for (const auto& name : bad_names) {
        UserRecord r = full_record(name, 0);
        EXPECT_EQ(SMSAddUser(f, r), 0) << "name of " << name.size() << " bytes";
        EXPECT_EQ(SMSFindUserRecord(f, name, r), 0);
        EXPECT_EQ(SMSDeleteUser(f, name), 0);
    }
    EXPECT_EQ(SMSGetRecordCount(f), 0);

    UserRecord longest = full_record(std::string(kUserNameSize - 1, 'm'), 0);
    longest.full_name = std::string(500, 'f');
    longest.forced_sender_address = std::string(5000, 's');
    longest.restrict_ip_address = std::string(5000, 'r');
    longest.throttle_speed = std::string(80, '9');
    longest.web_options = std::string(80, 'w');
    ASSERT_NE(SMSAddUser(f, longest), 0);
    UserRecord got;
    ASSERT_NE(SMSFindUserRecord(f, longest.name, got), 0);
    EXPECT_EQ(got.full_name.size(), kFullNameSize - 1);
    EXPECT_EQ(got.forced_sender_address.size(), kForcedSenderAddressSize - 1);
    EXPECT_EQ(got.restrict_ip_address.size(), kRestrictIPAddressSize - 1);
    EXPECT_EQ(got.throttle_speed.size(), kThrottleSpeedSize - 1);
    EXPECT_EQ(got.web_options.size(), kWebOptionsSize - 1);

    UserRecord never_opened;
    UserFile closed;
    EXPECT_EQ(SMSAddUser(closed, longest), 0);
    EXPECT_EQ(SMSGetUserRecord(closed, 0, never_opened), 0);
    EXPECT_EQ(SMSGetRecordCount(closed), 0);
}

TEST(AccountPasswordTest, MalformedStoredHashesMatchNothing) {
    std::string good = hash_account_password("pw");
    ASSERT_FALSE(good.empty());
    ASSERT_TRUE(verify_account_password(good, "PW"));
    size_t last = good.rfind('$');
    std::string flipped = good;
    flipped[last + 1] = flipped[last + 1] == '0' ? '1' : '0';
    const std::string stored[] = {
        "",
        "pw",
        "pbkdf2-sha256$",
        "pbkdf2-sha256$100$aabb",
        "pbkdf2-sha256$0$aabb$ccdd",
        "pbkdf2-sha256$-1$aabb$ccdd",
        "pbkdf2-sha256$99999999999$aabb$ccdd",
        "pbkdf2-sha256$100$zz$ccdd",
        "pbkdf2-sha256$100$aab$ccdd",
        "pbkdf2-sha256$100$$ccdd",
        "pbkdf2-sha256$100$aabb$",
        "md5$100$aabb$ccdd",
        good + "$00",
        flipped,
    };
    for (const auto& s : stored) EXPECT_FALSE(verify_account_password(s, "pw")) << s;

    // Passwords beyond the field size are refused outright.
    std::string too_long(kPasswordSize, 'p');
    UserRecord r;
    EXPECT_FALSE(set_user_password(r, too_long));
    EXPECT_TRUE(r.password_hash.empty());
    EXPECT_TRUE(hash_account_password(too_long).empty());
    EXPECT_FALSE(hash_account_password(std::string(kPasswordSize - 1, 'p')).empty());
    EXPECT_FALSE(verify_user_password(r, "")) << "an account without a password admits nobody";
}

TEST_F(AccountStoreTest, EnumerationKeepsItsSnapshotWhileAnotherHandleDeletes) {
    UserFile w;
    ASSERT_NE(SMSOpenUserFile(w, UserFileAccess::ReadWrite), 0);
    for (const char* n : {"a1", "a2", "a3", "a4"}) ASSERT_NE(SMSAddUser(w, full_record(n, 0)), 0);

    UserFile reader;
    ASSERT_NE(SMSOpenUserFile(reader), 0);
    UserRecord r;
    ASSERT_NE(SMSGetUserRecord(reader, 0, r), 0);
    EXPECT_EQ(r.name, "a1");
    ASSERT_NE(SMSDeleteUser(w, "a2"), 0);
    std::vector<std::string> rest;
    for (uint32_t i = 1; SMSGetUserRecord(reader, i, r); ++i) rest.push_back(r.name);
    EXPECT_EQ(rest, (std::vector<std::string>{"a2", "a3", "a4"}));
    // A new enumeration sees the change.
    ASSERT_NE(SMSGetUserRecord(reader, 0, r), 0);
    ASSERT_NE(SMSGetUserRecord(reader, 1, r), 0);
    EXPECT_EQ(r.name, "a3");
    EXPECT_EQ(SMSGetUserRecord(reader, 3, r), 0);
}

TEST_F(AccountStoreTest, ConcurrentWritersOnSeparateHandlesLoseNothing) {
    constexpr int kThreads = 3, kEach = 40;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            UserFile f;
            if (!SMSOpenUserFile(f, UserFileAccess::ReadWrite)) {
                failures[t] = kEach;
                return;
            }
            for (int i = 0; i < kEach; ++i) {
                UserRecord r = full_record("t" + std::to_string(t) + "-" + std::to_string(i), i);
                if (!SMSAddUser(f, r)) ++failures[t];
            }
        });
    }
    // One shared handle used by two threads at once as well.
    UserFile shared;
    ASSERT_NE(SMSOpenUserFile(shared, UserFileAccess::ReadWrite), 0);
    int shared_failures = 0;
    std::thread s1([&] {
        for (int i = 0; i < kEach; ++i)
            if (!SMSAddUser(shared, full_record("s1-" + std::to_string(i), i))) ++shared_failures;
    });
    UserRecord r;
    for (int i = 0; i < kEach; ++i) SMSGetUserRecord(shared, static_cast<uint32_t>(i % 3), r);
    s1.join();
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(shared_failures, 0);
    ASSERT_NE(SMSFindUserRecord(shared, "S1-39", r), 0);
    EXPECT_EQ(r.message_limit_per_day, 139u);
    EXPECT_EQ(SMSGetRecordCount(shared), kThreads * kEach + kEach);
}

TEST_F(AccountStoreTest, WaitsForAnotherConnectionsWriteLock) {
    UserFile f;
    ASSERT_NE(SMSOpenUserFile(f, UserFileAccess::ReadWrite), 0);
    sqlite::Database other;
    ASSERT_TRUE(other.open(db_path(), false, true));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    std::thread release([&] {
        platform::sleep_ms(200);
        other.exec("COMMIT");
    });
    EXPECT_NE(SMSAddUser(f, full_record("late", 0)), 0);
    release.join();
    UserRecord r;
    EXPECT_NE(SMSFindUserRecord(f, "LATE", r), 0);
}

}  // namespace
