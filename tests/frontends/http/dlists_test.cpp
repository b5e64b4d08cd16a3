// Distribution lists and the address book over their request parameters:
// what each request does to the files and answers, and who reaches which lists.
#include <gtest/gtest.h>

#include <filesystem>

#include "frontends/http/dlists.h"
#include "platform/files.h"

namespace {

using frontends::http::ListRequest;
namespace fs = std::filesystem;

std::string req(const std::string& query) { return "GET /DLists?" + query + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

class DListsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = (fs::temp_directory_path() / ("dlists-" + std::to_string(getpid()))).string() + "/";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dl(const std::string& q, const ListRequest& who) {
        return frontends::http::answer_dlists(req(q), who, dir_).body;
    }
    std::string ab(const std::string& q, const ListRequest& who) {
        return frontends::http::answer_address_book(req(q), who, dir_).body;
    }
    std::string file(const std::string& rel) { return platform::read_file(dir_ + rel).value_or("<none>"); }
    std::string dir_;
};

TEST_F(DListsTest, ListsAndMembersThroughThePlainInterface) {
    const ListRequest alice{"alice", false, false};
    struct Step {
        std::string query, answer, file_after;
    } steps[] = {
        {"DListName=team&DListAction=create", "OK : team.TXT\r\n", ""},
        {"DListName=team&DListMember=%2B4477001&DListMemberName=Ann", "OK : team.TXT\r\n", "+4477001 Ann\r\n"},
        {"DListName=team&DListMember=4477002", "OK : team.TXT\r\n", "+4477001 Ann\r\n4477002\r\n"},
        // the same address again only renames it
        {"DListName=team&DListMember=4477002&DListMemberName=Bob", "OK : team.TXT\r\n", "+4477001 Ann\r\n4477002 Bob\r\n"},
        {"DListName=team", "+4477001 Ann\r\n4477002 Bob\r\nOK : team.TXT\r\n", "+4477001 Ann\r\n4477002 Bob\r\n"},
        {"DListName=team&DListMemberFilter=bob", "4477002 Bob\r\nOK : team.TXT\r\n", "+4477001 Ann\r\n4477002 Bob\r\n"},
        {"DListName=team&DListMember=4477001&DListMemberAction=delete", "ERROR : team.TXT not found\r\n", "+4477001 Ann\r\n4477002 Bob\r\n"},
        {"DListName=team&DListMember=%2B4477001&DListMemberAction=delete", "OK : team.TXT\r\n", "4477002 Bob\r\n"},
        {"DListName=team&DListImportData=4477003,Cy%0D%0A%0D%0A4477004%09Di%0A4477002", "2 members imported\r\nOK : team.TXT\r\n",
         "4477002 Bob\r\n4477003 Cy\r\n4477004 Di\r\n"},
        {"DListName=team&DListImportData=4477009&DListImportReplace=Yes", "1 members imported\r\nOK : team.TXT\r\n", "4477009\r\n"},
        // a member's name cannot add a line to the file
        {"DListName=team&DListMember=44%0A77&DListMemberName=x%0D%0Ay", "OK : team.TXT\r\n", "4477009\r\n4477 x  y\r\n"},
        {"", "team.TXT\r\nOK : DLists\r\n", "4477009\r\n4477 x  y\r\n"},
        {"DListName=..%2Fx&DListAction=create", "ERROR : invalid list name\r\n", "4477009\r\n4477 x  y\r\n"},
        {"DListName=nope", "ERROR : nope.TXT not found\r\n", "4477009\r\n4477 x  y\r\n"},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(dl(s.query, alice), s.answer) << s.query;
        if (!s.file_after.empty()) {
            EXPECT_EQ(file("alice/team.TXT"), s.file_after) << s.query;
        }
    }
    EXPECT_EQ(dl("DListName=team&DListAction=delete", alice), "OK : team.TXT\r\n");
    EXPECT_FALSE(platform::file_exists(dir_ + "alice/team.TXT"));
    EXPECT_EQ(dl("DListName=team&DListAction=delete", alice), "ERROR : team.TXT not found\r\n");
}

TEST_F(DListsTest, PublicListsAndAddressBooksFollowTheAccount) {
    const ListRequest user{"bob", false, false}, admin{"root", true, false}, nobody{"", false, false};
    EXPECT_EQ(dl("DListName=%23all&DListMember=1", user), "ERROR : public lists need an administrator account\r\n");
    EXPECT_EQ(dl("DListName=all&DListPublic=Yes&DListMember=1", admin), "OK : all.TXT\r\n");
    EXPECT_EQ(file("all.TXT"), "1\r\n");
    EXPECT_EQ(dl("DListName=%23all&DListMember=2", admin), "OK : all.TXT\r\n");
    EXPECT_EQ(dl("DListName=all", nobody), "1\r\n2\r\nOK : all.TXT\r\n") << "no account: the public lists";
    EXPECT_EQ(dl("DListName=all", admin), "ERROR : all.TXT not found\r\n") << "without the flag: the admin's own";

    EXPECT_EQ(ab("AddrBookMember=4477&AddrBookMemberName=Mum", user), "OK : ADDRESS.LST\r\n");
    EXPECT_EQ(file("bob/ADDRESS.LST"), "4477 Mum\r\n");
    EXPECT_EQ(ab("", user), "4477 Mum\r\nOK : ADDRESS.LST\r\n");
    EXPECT_EQ(ab("AddrBookPublic=Yes", user), "ERROR : the public address book needs an administrator account\r\n");
    EXPECT_EQ(ab("", admin), "ERROR : ADDRESS.LST not found\r\n");
    EXPECT_EQ(ab("AddrBookImportData=1,One%0A2,Two&AddrBookPublic=Yes", admin), "2 members imported\r\nOK : ADDRESS.LST\r\n");
    EXPECT_EQ(file("ADDRESS.LST"), "1 One\r\n2 Two\r\n");
    EXPECT_EQ(ab("AddrBookAction=delete", user), "OK : ADDRESS.LST\r\n");
    EXPECT_FALSE(platform::file_exists(dir_ + "bob/ADDRESS.LST"));

    // A browser gets an HTML page around the same answer.
    frontends::http::ListAnswer page =
        frontends::http::answer_address_book(req("AddrBookPublic=Yes"), {"root", true, true}, dir_);
    EXPECT_EQ(page.content_type, "text/html");
    EXPECT_NE(page.body.find("<pre>1 One\r\n2 Two\r\nOK : ADDRESS.LST\r\n</pre>"), std::string::npos) << page.body;
}

}  // namespace
