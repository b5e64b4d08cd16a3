// Unit tests of the administration rules: the template filler, the
// administrator password forms, account names and fields, provisioning,
// the command argument rules, the XML status document and metric labels.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "frontends/http/admin_auth.h"
#include "frontends/http/admin_pages.h"
#include "frontends/http/admin_template.h"
#include "frontends/http/health_metrics.h"
#include "frontends/http/provision.h"
#include "frontends/http/user_cache.h"
#include "links/core/link_config.h"
#include "records/quotas.h"
#include "support/accounts.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace frontends::http {
namespace {

TEST(AdminTemplate, TokensListsAndMarks) {
    TemplateData d;
    d.values["NAME"] = "a<b>&\"c\"";
    d.values["Long"] = "0123456789";
    d.values["Inject"] = "@@NAME@@<!@@StartL@@>x<!@@EndL@@>";
    d.raw["RAW"] = "<b>bold</b>";
    d.lists["L"] = {{{"ITEM", "one"}}, {{"ITEM", "t&o"}}};
    d.lists["Empty"];
    struct Case {
        const char* page;
        const char* want;
    } cases[] = {
        {"[@@NAME@@]", "[a&lt;b&gt;&amp;&quot;c&quot;]"},
        {"@@name@@", "a&lt;b&gt;&amp;&quot;c&quot;"},  // names ignore case
        {"@@Long:4@@|@@Long:0@@|@@Long:99@@", "0123||0123456789"},
        {"@@Unknown@@ @@NAME", "@@Unknown@@ @@NAME"},
        {"@@RAW@@", "<b>bold</b>"},
        {"@@Inject@@", "@@NAME@@&lt;!@@StartL@@&gt;x&lt;!@@EndL@@&gt;"},
        {"<!@@StartL@@>(@@ITEM@@ @@NAME:1@@)<!@@EndL@@>", "(one a)(t&amp;o a)"},
        {"a<!@@StartEmpty@@>gone<!@@EndEmpty@@>b", "ab"},
        {"<!@@StartOther@@>once<!@@EndOther@@>", "once"},
        {"<!@@StartL@@>never closed", "<!@@StartL@@>never closed"},
        {"x<!@@StartBlockHeavy@@>heavy<!@@EndBlockHeavy@@>y", "xheavyy"},
        {"@@BeginNoCrlf@@a\r\nb\n@@EndNoCrlf@@\r\nc", "ab\r\nc"},
        {"@@BeginNoCrlf@@a\r\n@@NAME:1@@", "aa"},
    };
    for (const Case& c : cases) EXPECT_EQ(fill_template(c.page, d), c.want) << c.page;
}

TEST(AdminPassword, StoredFormsAndMatching) {
    std::string scrambled = scramble_admin_password("Secret1");
    EXPECT_EQ(scrambled.find("Secret1"), std::string::npos);
    std::string clear;
    ASSERT_TRUE(unscramble_admin_password(scrambled, clear));
    EXPECT_EQ(clear, "Secret1");
    std::string hashed = support::hash_account_password("Hashed2");
    struct Case {
        std::string stored, given;
        bool want;
    } cases[] = {
        {scrambled, "Secret1", true},
        {scrambled, "SECRET1", true},
        {scrambled, "Secret", false},
        {scrambled, "", false},
        {hashed, "hashed2", true},
        {hashed, "Hashed3", false},
        {"", "", false},
        {"XYZ", "XYZ", false},
        {"ABC", "", false},
        {"pbkdf2-sha256$1$00$00", "x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(admin_password_matches(c.stored, c.given), c.want) << c.stored << " " << c.given;
    EXPECT_TRUE(is_hashed_admin_password(hashed));
    EXPECT_FALSE(is_hashed_admin_password(scrambled));
}

TEST(AdminProvision, AccountNamesThatMayBeCreated) {
    struct Case {
        std::string name;
        bool want;
    } cases[] = {
        {"alice", true},
        {"Bob.Smith-2", true},
        {"a b", true},
        {"a/b", false},
        {"..", false},
        {".", false},
        {"a;b", false},
        {std::string("a\0b", 3), false},
        {"a\r\nb", false},
        {"a\\b", false},
        {"a:b", false},
        {std::string(10240, 'x'), false},
        {std::string(99, 'x'), true},
        {"", false},
        {" lead", false},
        {"localsystem", false},
        {"**system**", false},
        {"a=b", false},
        {"[sec]", false},
    };
    for (const Case& c : cases) EXPECT_EQ(acceptable_new_account_name(c.name), c.want) << c.name;
}

TEST(AdminProvision, FieldValues) {
    struct Case {
        const char* field;
        std::string value;
        bool ok;
    } cases[] = {
        {"FullName", "Ann", true},
        {"FullName", "x\r\n[SMSGW]", false},
        {"RestrictIPAddress", std::string("1\0", 2), false},
        {"MessageLimitPerDay", "12", true},
        {"MessageLimitPerDay", "12x", false},
        {"MessageLimitPerDay", "99999999999", false},
        {"WebOptions", "TextOnly", true},
        {"WebOptions", "Everything", false},
        {"CreditsToAdd", "2.5", true},
        {"CreditsToAdd", "two", false},
        {"CreditsToAdd", "", true},
        {"Password", "", false},
        {"Password", std::string(300, 'p'), false},
        {"EnableWebLogin", "yes", true},
        {"NoSuchField", "1", false},
        {"RecipientAddresses", "123*\nbob=1", false},
    };
    for (const Case& c : cases) {
        support::UserRecord rec;
        AccountChanges ch;
        std::string err;
        EXPECT_EQ(apply_account_field(rec, c.field, c.value, ch, err), c.ok)
            << c.field << "=" << c.value;
        EXPECT_EQ(err.empty(), c.ok) << err;
    }
    support::UserRecord rec;
    AccountChanges ch;
    std::string err;
    rec.message_limit_per_day = 5;
    rec.message_limit_per_month = 50;
    ASSERT_TRUE(apply_account_field(rec, "CreditsToAdd", " ", ch, err));
    EXPECT_FALSE(ch.credits);  // an empty form field adds nothing (and makes no credit file)
    ASSERT_TRUE(apply_account_field(rec, "messagelimitdefault", "Yes", ch, err));
    EXPECT_EQ(rec.message_limit_per_day + rec.message_limit_per_month, 0u);
    ASSERT_TRUE(apply_account_field(rec, "AdminEnabled", "1", ch, err));
    EXPECT_TRUE(rec.admin_enabled);
}

TEST(AdminCommands, ArgumentsWithoutAShell) {
    std::string prog = support::GetRealProgramDirectory();
    struct Case {
        const char* value;
        const char* cmd_line;
        std::vector<std::string> want;
    } cases[] = {
        {"/bin/echo", "hello world", {"/bin/echo", "hello", "world"}},
        {"\"/opt/my tool/run\" -v", "", {"/opt/my tool/run", "-v"}},
        {"report.sh", "x", {prog + "report.sh", "x"}},
        {"/bin/echo", "a;rm -rf /", {}},
        {"/bin/echo", "$(id)", {}},
        {"/bin/echo", "`id`", {}},
        {"/bin/echo", "a|b", {}},
        {"/bin/echo", "a > /tmp/x", {}},
        {"/bin/echo", "a\nb", {}},
        {"", "x", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(admin_command_argv(c.value, c.cmd_line), c.want) << c.value << " " << c.cmd_line;
    struct Type {
        std::string out;
        const char* want;
    } types[] = {
        {"<HTML xmlns=\"x\">", "application/xhtml+xml"},   {"x<html><body>", "text/html"},
        {"<?xml version=\"1.0\"?><a/>", "text/xml"},       {"plain", "text/plain"},
        {std::string(1100, ' ') + "<html>", "text/plain"},
    };
    for (const Type& t : types) EXPECT_EQ(command_content_type(t.out), t.want);
}

TEST(AdminMetrics, LabelsEscaped) {
    EXPECT_EQ(metric_label("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

// A temporary home with SMSGW.INI for the store-backed cases.
class AdminHomeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/admin-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        ini_ = home_ + "/SMSGW.INI";
        std::ofstream(ini_) << "[SMSGW]\r\nAdminUser=admin\r\nAdminPassword="
                            << scramble_admin_password("pw") << "\r\n";
        support::SMSIniSetFilename(ini_);
        support::ini_drop_cache_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    std::string home_, ini_;
};

std::string ask(const std::string& query) {
    return provision_answer(
        "GET /PROVISION?AdminUser=admin&AdminPassword=pw&" + query + " HTTP/1.0\r\n\r\n",
        "10.9.8.7");
}

TEST_F(AdminHomeTest, ProvisioningAnswers) {
    EXPECT_EQ(provision_answer("GET /PROVISION?AdminUser=admin&AdminPassword=no&UserName=x "
                               "HTTP/1.0\r\n\r\n",
                               "10.9.8.7"),
              "ERROR Invalid AdminUser or AdminPassword\r\n");
    struct Case {
        std::string query, want;
    } cases[] = {
        {"UserName=ann&Password=a1&FullName=Ann&EnableWebLogin=Yes&RecipientAddresses=44*&"
         "CreditsToAdd=3",
         "OK\r\n"},
        {"UserName=ANN&Password=a2", "ERROR UserName ANN already defined\r\n"},
        {"Action=Rename&UserName=ann", "ERROR Unsupported request (invalid or missing Action)\r\n"},
        {"UserName=..%2Fx&Password=a", "ERROR Invalid UserName ../x\r\n"},
        {"UserName=b&Password=a&FullName=x%0D%0A%5BSMSGW%5D",
         "ERROR Invalid value for FullName (line breaks are not allowed)\r\n"},
        {"UserName=c", "ERROR Missing Password in request\r\n"},
        {"Password=x", "ERROR Missing UserName in request\r\n"},
        {"Action=Modify&Name=ann&AdminEnabled=Yes&MessageLimitPerDay=7", "OK\r\n"},
        {"Action=Modify&UserName=nobody&FullName=x", "ERROR UserName nobody not defined\r\n"},
        {"Action=Modify&UserName=ann&MessageLimitPerDay=x",
         "ERROR Invalid value for MessageLimitPerDay\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(ask(c.query), c.want) << c.query;

    struct Sdk {
        std::string query, want, entry;
    } sdk[] = {
        {"Type=SDKLink&IPPort=9000", "ERROR Missing PhoneNumber in request\r\n", "-"},
        {"Type=SDKLink&PhoneNumber=%2B3161", "ERROR Missing IP Port number (IPPort) in request\r\n",
         "-"},
        {"Type=SDKLink&PhoneNumber=31%0A%5Bx%5D&IPPort=1", "ERROR Invalid PhoneNumber 31?[x]\r\n",
         "-"},
        {"Type=SDKLink&PhoneNumber=3161&IPPort=70000", "ERROR Invalid IPPort 70000\r\n", "-"},
        {"Type=SDKLink&PhoneNumber=3161&IPPort=9000&IPAddress=a;b",
         "ERROR Invalid IPAddress a;b\r\n", "-"},
        {"AdminAction=SDKLink&PhoneNumber=3161&IPPort=9000", "OK\r\n", "10.9.8.7:9000"},
        {"Type=sdklink&PhoneNumber=3161&IPPort=9001&IPAddress=app.local", "OK\r\n",
         "app.local:9001"},
        {"Type=SDKLink&Action=Delete&PhoneNumber=3161", "OK\r\n", "-"},
    };
    for (const Sdk& c : sdk) {
        EXPECT_EQ(ask(c.query), c.want) << c.query;
        EXPECT_EQ(support::SMSIniGetProfileString("SDKLink", "3161", "-"), c.entry) << c.query;
    }

    support::UserFile f;
    ASSERT_TRUE(support::SMSOpenUserFile(f));
    support::UserRecord rec;
    ASSERT_TRUE(support::SMSFindUserRecord(f, "ann", rec));
    EXPECT_TRUE(rec.admin_enabled);
    EXPECT_EQ(rec.full_name, "Ann");
    EXPECT_EQ(rec.message_limit_per_day, 7u);
    EXPECT_TRUE(support::verify_user_password(rec, "a1"));
    EXPECT_FALSE(support::SMSFindUserRecord(f, "b", rec));
    EXPECT_EQ(support::SMSIniGetProfileString("Inbound SMS Routing", "ann", ""), "44*");
    EXPECT_EQ(records::CreditOperation(records::quota_entry("ann"), "ann", nullptr, 0,
                                       records::CreditMode::Check),
              3 * records::kCreditUnit);
    // Nothing a value carried became a key or a section.
    EXPECT_EQ(support::ini_sections(ini_),
              (std::vector<std::string>{"SMSGW", "Inbound SMS Routing", "SDKLink"}));

    EXPECT_TRUE(check_admin_login("ann", "a1", "10.0.0.1").ok);
    EXPECT_FALSE(check_admin_login("ann", "a1", "10.0.0.1").administrator);
    EXPECT_TRUE(check_admin_login("ADMIN", "PW", "10.0.0.1").administrator);
    EXPECT_FALSE(check_admin_login("made-up-name", "x", "10.0.0.1").ok);
    EXPECT_EQ(find_user_entry("made-up-name"), nullptr);  // no cache entry for a made-up name
    EXPECT_EQ(ask("Action=Modify&UserName=ann&AdminEnabled=No&RestrictIPAddress=10.*.*.*"),
              "OK\r\n");
    EXPECT_FALSE(check_admin_login("ann", "a1", "10.0.0.1").ok);
    EXPECT_EQ(ask("Action=Modify&UserName=ann&AdminEnabled=Yes"), "OK\r\n");
    EXPECT_TRUE(check_admin_login("ann", "a1", "10.0.0.1").ok);
    EXPECT_FALSE(check_admin_login("ann", "a1", "192.168.1.1").ok);

    EXPECT_EQ(ask("Action=Delete&UserName=ann"), "OK\r\n");
    EXPECT_EQ(ask("Action=Delete&UserName=ann"), "ERROR UserName ann not defined\r\n");
    EXPECT_EQ(support::SMSIniGetProfileString("Inbound SMS Routing", "ann", "-"), "-");
    EXPECT_FALSE(check_admin_login("ann", "a1", "10.0.0.1").ok);

    // A database that cannot be opened (its path is a directory).
    std::filesystem::create_directories(home_ + "/USERS.DB.d");
    support::set_account_database_path(home_ + "/USERS.DB.d");
    EXPECT_EQ(ask("UserName=zed&Password=z"), "ERROR Unable to access user database\r\n");
    support::set_account_database_path("");
}

TEST_F(AdminHomeTest, NewAdministratorPasswordIsStoredHashed) {
    ASSERT_TRUE(set_admin_password("", "Fresh"));
    std::string stored = support::SMSIniGetProfileString("SMSGW", "AdminPassword", "");
    EXPECT_TRUE(is_hashed_admin_password(stored));
    EXPECT_EQ(stored.find("Fresh"), std::string::npos);
    EXPECT_TRUE(check_administrator("admin", "fresh"));
    EXPECT_FALSE(check_administrator("admin", "pw"));
    ASSERT_TRUE(support::ini_set(ini_, "SMSGW", "AdminPasswordModify", "other"));
    EXPECT_TRUE(check_administrator("admin", "OTHER"));
    EXPECT_FALSE(check_administrator("someone", "other"));
    EXPECT_FALSE(admin_token(("admin")).empty());
    EXPECT_TRUE(admin_token_valid("Admin", admin_token("admin")));
    EXPECT_FALSE(admin_token_valid("ann", admin_token("admin")));
    EXPECT_FALSE(admin_token_valid("admin", ""));
}

TEST_F(AdminHomeTest, XmlStatusEscapesLinkNamesAndErrorTexts) {
    ASSERT_TRUE(support::ini_set(ini_, "SMSGW", "Modem1", "SMPP - a<b&c:1"));
    ASSERT_TRUE(support::ini_set(ini_, "SMSGW", "Modem205", "not tried after a gap"));
    ASSERT_TRUE(support::ini_set(ini_, "SMSGW", "Modem201", "UCP - up:2"));
    ASSERT_TRUE(support::ini_set(ini_, frame::link_section_name("UCP - up:2"), "RouteName", "R&D"));
    links::write_link_status("SMPP - a<b&c:1", "Refused <\x01\xff> & gone");
    std::string x = xml_status_document();
    EXPECT_NE(x.find("<Name>SMPP - a&lt;b&amp;c:1</Name>\r\n<Status>ERROR</Status>\r\n"
                     "<StatusDetail>Refused &lt;?&gt; &amp; gone</StatusDetail>"),
              std::string::npos)
        << x;
    EXPECT_NE(x.find("<Name>UCP - up:2</Name>\r\n<RouteName>R&amp;D</RouteName>\r\n<Status>OK"),
              std::string::npos)
        << x;
    EXPECT_EQ(x.find("not tried"), std::string::npos);
    EXPECT_EQ(x.rfind("<KelSMSStatus>\r\n<SMSCStatus>", 0), 0u);
    size_t q = x.find("<SMSOUTQ>"), t = x.find("<SMSSubmitted>"), e = x.find("</KelSMSStatus>");
    EXPECT_TRUE(q < t && t < e && x.rfind("</SMSCStatus>") < q);
    // The shipped status page: every token filled, the failing link red.
    std::ifstream in(std::string(SMSGW_SOURCE_DIR) + "/src/frontends/http/admin_html/STATUS.HTM");
    std::string tmpl((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(tmpl.empty());
    std::string page = fill_template(tmpl, status_page_data("/post", "/quit"));
    EXPECT_EQ(page.find("@@"), std::string::npos) << page;
    EXPECT_NE(page.find("<font color=\"red\">SMPP - a&lt;b&amp;c:1:  Refused"), std::string::npos);
    EXPECT_NE(page.find("UCP - up:2:  OK<br>"), std::string::npos);
    EXPECT_NE(page.find("<td>UCP - up:2</td><td>R&amp;D</td><td>OK"), std::string::npos) << page;
    EXPECT_NE(page.find("<td id=\"smsq\">Empty</td>"), std::string::npos);
    EXPECT_NE(page.find("<p>0 connections</p>"), std::string::npos);
    EXPECT_NE(page.find("action=\"/post\""), std::string::npos);
    EXPECT_EQ(page.find("a<b"), std::string::npos);
    auto [status, reason] = health_state();
    EXPECT_EQ(status, 200);
    links::write_link_status("UCP - up:2", "down too");
    std::tie(status, reason) = health_state();
    EXPECT_EQ(status, 503);
    EXPECT_EQ(reason.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace frontends::http
