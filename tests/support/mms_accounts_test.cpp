// MMS account and alias store: persistence, case-insensitive names and
// aliases, alias clean-up with the account, sharing the SMS account file.
#include "support/mms_accounts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/test_util.h"
#include "support/accounts.h"

namespace {

using namespace support;

class MmsAccountStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { set_account_database_path(dir_ / "USERS.DB"); }
    void TearDown() override { set_account_database_path(""); }
    platform_test::TempDir dir_;
};

MmsUserRecord mms_user(const std::string& name, const std::string& phone) {
    MmsUserRecord r;
    r.name = name;
    r.full_name = "MMS " + name;
    r.phone_number = phone;
    r.email_address = name + "@example.com";
    r.enabled = phone.size() % 2 == 0;
    return r;
}

TEST_F(MmsAccountStoreTest, UsersSurviveReopenAndCompareWithoutCase) {
    MmsUserRecord zed = mms_user("Zed", "+447700900001");
    ASSERT_TRUE(set_mms_user_password(zed, "Mms-Pass"));
    {
        MmsUserFile f;
        ASSERT_NE(MMSCOpenUserFile(f), 0);
        ASSERT_NE(MMSCAddUser(f, zed), 0);
        ASSERT_NE(MMSCAddUser(f, mms_user("amy", "+44770090002")), 0);
        MMSCCloseUserFile(f);
        EXPECT_FALSE(f.is_open());
    }
    MmsUserFile f;
    ASSERT_NE(MMSCOpenUserFile(f), 0);
    EXPECT_EQ(MMSCGetUserCount(f), 2);
    MmsUserRecord r;
    std::vector<std::string> names;
    for (uint32_t i = 0; MMSCGetUserRecord(f, i, r); ++i) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"amy", "Zed"}));

    ASSERT_NE(MMSCFindUserRecord(f, "ZED", r), 0);
    EXPECT_EQ(r.name, "Zed");
    EXPECT_EQ(r.full_name, "MMS Zed");
    EXPECT_EQ(r.phone_number, "+447700900001");
    EXPECT_EQ(r.email_address, "Zed@example.com");
    EXPECT_FALSE(r.enabled);
    EXPECT_TRUE(verify_mms_user_password(r, "mms-pass"));
    EXPECT_FALSE(verify_mms_user_password(r, "mms-pas"));

    // Replacing keeps one account under the newest spelling.
    MmsUserRecord again = mms_user("zED", "+1");
    ASSERT_NE(MMSCAddUser(f, again), 0);
    EXPECT_EQ(MMSCGetUserCount(f), 2);
    ASSERT_NE(MMSCFindUserRecord(f, "zed", r), 0);
    EXPECT_EQ(r.name, "zED");
    EXPECT_EQ(r.phone_number, "+1");
    EXPECT_TRUE(r.password_hash.empty());
}

TEST_F(MmsAccountStoreTest, AliasesResolveToTheirAccount) {
    MmsUserFile f;
    ASSERT_NE(MMSCOpenUserFile(f), 0);
    ASSERT_NE(MMSCAddUser(f, mms_user("Bob", "+447700900123")), 0);
    ASSERT_NE(MMSCAddUser(f, mms_user("Eve", "+447700900999")), 0);

    ASSERT_NE(MMSCAddAlias(f, "+447700900123", "bob"), 0);
    ASSERT_NE(MMSCAddAlias(f, "Bob.Mail@Example.COM", "BOB"), 0);
    EXPECT_EQ(MMSCAddAlias(f, "ghost-alias", "nobody"), 0) << "alias of a missing account";

    struct Lookup {
        const char* alias;
        const char* user;  // nullptr: not found
    } lookups[] = {
        {"+447700900123", "Bob"},  {"bob.mail@example.com", "Bob"}, {"BOB.MAIL@EXAMPLE.COM", "Bob"},
        {"447700900123", nullptr}, {"ghost-alias", nullptr},        {"+44770090012", nullptr},
    };
    for (const auto& l : lookups) {
        std::string user = "untouched";
        int found = MMSCFindAlias(f, l.alias, user);
        if (l.user) {
            EXPECT_NE(found, 0) << l.alias;
            EXPECT_EQ(user, l.user) << l.alias;
        } else {
            EXPECT_EQ(found, 0) << l.alias;
            EXPECT_EQ(user, "untouched") << l.alias;
        }
    }

    // Pointing an alias elsewhere replaces its target.
    ASSERT_NE(MMSCAddAlias(f, "+447700900123", "eve"), 0);
    std::string user;
    ASSERT_NE(MMSCFindAlias(f, "+447700900123", user), 0);
    EXPECT_EQ(user, "Eve");

    EXPECT_NE(MMSCDeleteAlias(f, "BOB.mail@example.com"), 0);
    EXPECT_EQ(MMSCDeleteAlias(f, "bob.mail@example.com"), 0);
    EXPECT_EQ(MMSCFindAlias(f, "bob.mail@example.com", user), 0);
}

TEST_F(MmsAccountStoreTest, DeletingAnAccountRemovesOnlyItsAliases) {
    MmsUserFile f;
    ASSERT_NE(MMSCOpenUserFile(f), 0);
    ASSERT_NE(MMSCAddUser(f, mms_user("gone", "1")), 0);
    ASSERT_NE(MMSCAddUser(f, mms_user("stays", "2")), 0);
    ASSERT_NE(MMSCAddAlias(f, "g1", "gone"), 0);
    ASSERT_NE(MMSCAddAlias(f, "g2", "GONE"), 0);
    ASSERT_NE(MMSCAddAlias(f, "s1", "stays"), 0);

    EXPECT_NE(MMSCDeleteUser(f, "Gone"), 0);
    EXPECT_EQ(MMSCDeleteUser(f, "gone"), 0);
    std::string user;
    EXPECT_EQ(MMSCFindAlias(f, "g1", user), 0);
    EXPECT_EQ(MMSCFindAlias(f, "g2", user), 0);
    ASSERT_NE(MMSCFindAlias(f, "s1", user), 0);
    EXPECT_EQ(user, "stays");
    // A new account of the old name does not inherit the old aliases.
    ASSERT_NE(MMSCAddUser(f, mms_user("gone", "3")), 0);
    EXPECT_EQ(MMSCFindAlias(f, "g1", user), 0);
}

TEST_F(MmsAccountStoreTest, SharesTheAccountFileWithoutMixingStores) {
    MmsUserFile m;
    ASSERT_NE(MMSCOpenUserFile(m), 0);
    UserFile s;
    ASSERT_NE(SMSOpenUserFile(s, UserFileAccess::ReadWrite), 0);
    UserRecord sms;
    sms.name = "both";
    sms.full_name = "SMS side";
    ASSERT_NE(SMSAddUser(s, sms), 0);
    ASSERT_NE(MMSCAddUser(m, mms_user("both", "9")), 0);

    EXPECT_NE(SMSDeleteUser(s, "both"), 0);
    MmsUserRecord r;
    ASSERT_NE(MMSCFindUserRecord(m, "both", r), 0);
    EXPECT_EQ(r.full_name, "MMS both");
    EXPECT_EQ(SMSGetRecordCount(s), 0);
    EXPECT_EQ(MMSCGetUserCount(m), 1);
}

TEST_F(MmsAccountStoreTest, BadInputIsRefused) {
    MmsUserFile f;
    ASSERT_NE(MMSCOpenUserFile(f), 0);
    ASSERT_NE(MMSCAddUser(f, mms_user("ok", "1")), 0);
    const std::string bad_aliases[] = {"", std::string(kMmsAliasSize, 'a'), "line\nbreak",
                                       std::string("nul\0", 4)};
    std::string user;
    for (const auto& alias : bad_aliases) {
        EXPECT_EQ(MMSCAddAlias(f, alias, "ok"), 0) << alias.size();
        EXPECT_EQ(MMSCFindAlias(f, alias, user), 0);
        EXPECT_EQ(MMSCDeleteAlias(f, alias), 0);
    }
    EXPECT_NE(MMSCAddAlias(f, std::string(kMmsAliasSize - 1, 'a'), "ok"), 0);

    const std::string bad_names[] = {"", std::string(kUserNameSize, 'u'), "cr\r"};
    for (const auto& name : bad_names) {
        EXPECT_EQ(MMSCAddUser(f, mms_user(name, "1")), 0);
        MmsUserRecord r;
        EXPECT_EQ(MMSCFindUserRecord(f, name, r), 0);
        EXPECT_EQ(MMSCAddAlias(f, "x", name), 0);
    }

    MmsUserRecord cut = mms_user("cut", std::string(300, '7'));
    cut.email_address = std::string(1000, 'e');
    ASSERT_NE(MMSCAddUser(f, cut), 0);
    MmsUserRecord r;
    ASSERT_NE(MMSCFindUserRecord(f, "CUT", r), 0);
    EXPECT_EQ(r.phone_number.size(), kMmsPhoneNumberSize - 1);
    EXPECT_EQ(r.email_address.size(), kMmsEmailAddressSize - 1);

    MmsUserFile closed;
    EXPECT_EQ(MMSCGetUserCount(closed), 0);
    EXPECT_EQ(MMSCAddUser(closed, mms_user("x", "1")), 0);
}

TEST_F(MmsAccountStoreTest, UnwritableLocationFailsToOpen) {
    set_account_database_path(dir_ / "missing-dir-file/USERS.DB");
    // The parent is a regular file, so nothing can be created below it.
    std::ofstream(dir_ / "missing-dir-file") << "x";
    MmsUserFile f;
    EXPECT_EQ(MMSCOpenUserFile(f), 0);
    EXPECT_FALSE(f.is_open());
    UserFile s;
    EXPECT_EQ(SMSOpenUserFile(s), 0);
}

}  // namespace
