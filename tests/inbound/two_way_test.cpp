// 2-way commands: keyword choice, the actions of a keyword, placeholders
// with their escaping, program arguments that a sender's text cannot widen,
// and the mail file.
#include "inbound/two_way.h"

#include <gtest/gtest.h>

#include "inbound/inbound_fixture.h"

using inbound::choose_keyword;
using inbound::TwoWayAction;
using inbound::TwoWayMessage;

namespace {

TEST(TwoWayKeywords, ChoiceByPatternLengthAndRecipientList) {
    struct Case {
        std::vector<std::string> keywords;
        const char* prefix;
        const char* recipient;
        const char* winner;
    } cases[] = {
        {{"INFO", "INF*"}, "info", "100", "INFO"},
        {{"INF*", "INFO"}, "info", "100", "INFO"},
        {{"INF*", "INFO"}, "infox", "100", "INF*"},
        {{"I*", "IN*"}, "info", "100", "IN*"},
        {{"INFO", "INF*##5000"}, "info", "5000", "INF*##5000"},
        {{"INF*##5000", "INFO"}, "info", "5000", "INF*##5000"},
        {{"INFO", "INF*##5000"}, "info", "6000", "INFO"},
        {{"INF*##4000,50*", "INFO##*"}, "info", "5000", "INF*##4000,50*"},
        {{"INFO##*", "INF*"}, "info", "5000", "INFO##*"},
        {{"STOP"}, "info", "5000", ""},
        {{"*"}, "anything", "1", "*"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(choose_keyword(c.keywords, c.prefix, c.recipient), c.winner)
            << c.prefix << " to " << c.recipient << " first " << c.keywords[0];
}

TwoWayMessage message(const std::string& text) {
    TwoWayMessage m;
    m.msg.sender = "+4477 009";
    m.msg.phone_number = "5000";
    m.msg.data = text;
    m.msg.dcs = 8;
    m.message_id = "AB000001.in";
    return m;
}

TEST(TwoWayPlaceholders, EscapedForUrlsAndFlattenedOtherwise) {
    TwoWayMessage m = message("info a&b=c\r\nd");
    inbound::Placeholders v = inbound::placeholders_for(m, m.msg.data);
    EXPECT_EQ(
        inbound::replace_placeholders("http://h/x?f=@@SENDER@@&t=@@SMS@@&p=@@SMSPREFIX@@", v, true),
        "http://h/x?f=%2B4477%20009&t=a%26b=c%0D%0Ad&p=info");
    EXPECT_EQ(inbound::replace_placeholders("replytext:@@FULLSMS@@ @@dcs@@ @@Binary@@", v, false),
              "replytext:info a&b=c  d 08 0");
    // Unknown names and lone markers stay as written.
    EXPECT_EQ(inbound::replace_placeholders("a@@b@@RECIP@@ @@", v, false), "a@@b5000 @@");
}

TEST(TwoWayPlaceholders, SenderTextStaysOneProgramArgument) {
    TwoWayMessage m = message("run x; rm -rf / | cat \"q\" $(id) `id` && echo pwned");
    inbound::Placeholders v = inbound::placeholders_for(m, m.msg.data);
    std::vector<std::string> argv = inbound::command_argv("/bin/echo \"[@@SMS@@]\" end", v);
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_EQ(argv[0], "/bin/echo");
    EXPECT_EQ(argv[1], "[x; rm -rf / | cat \"q\" $(id) `id` && echo pwned]");
    EXPECT_EQ(argv[2], "end");
    // Nor can the text name the program.
    EXPECT_EQ(inbound::command_argv("@@SMSPREFIX@@ @@SMSPREFIX@@", v),
              (std::vector<std::string>{"@@SMSPREFIX@@", "run"}));

    TwoWayAction a;
    a.program = true;
    a.argv = argv;
    a.send_response = true;
    a.text = "echo";
    inbound::ActionResult r = inbound::execute_action(m, a, nullptr);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.reply, "[x; rm -rf / | cat \"q\" $(id) `id` && echo pwned] end");
}

class TwoWayIniTest : public inbound_test::InboundTest {};

TEST_F(TwoWayIniTest, ActionsOfTheWinningKeywordInTheirOrder) {
    set_ini("2Way-Keywords", "Keyword1", "INFO");
    set_ini("2Way-Keywords", "Keyword2", "INF*");
    set_ini("2Way-Keyword-INFO", "Run", "http://127.0.0.1/i?s=@@SENDER@@");
    set_ini("2Way-Keyword-INFO", "ReplyText", "Thanks @@SMS@@");
    set_ini("2Way-Keyword-INFO", "DListAdd", "news");
    set_ini("2Way-Keyword-INF*", "ReplyText", "wrong keyword");
    TwoWayMessage m = message("info please");
    std::vector<std::string> got;
    TwoWayAction a;
    for (unsigned i = 0; inbound::GetProgramToExecute(m, i, a); ++i) got.push_back(a.text);
    EXPECT_EQ(got, (std::vector<std::string>{"dlistadd:news", "replytext:Thanks please",
                                             "http://127.0.0.1/i?s=%2B4477%20009"}));
    // The distribution list gains the sender once.
    ASSERT_TRUE(inbound::GetProgramToExecute(m, 0, a));
    EXPECT_TRUE(inbound::execute_action(m, a, nullptr).ok);
    EXPECT_TRUE(inbound::execute_action(m, a, nullptr).ok);
    EXPECT_EQ(inbound_test::slurp(home_ + "/DLists/news.TXT"), "+4477 009\r\n");

    // A reply file named from the text stays in its directory.
    set_ini("2Way-Keyword-INFO", "ReplyFile", "/srv/replies/@@SMS@@.txt");
    TwoWayMessage up = message("info ../../etc/passwd");
    ASSERT_TRUE(inbound::GetProgramToExecute(up, 1, a));
    EXPECT_EQ(a.text,
              "replyfile:/srv/replies/..-..-etc-passwd.txt&&replytext:Thanks ../../etc/passwd");
}

TEST_F(TwoWayIniTest, MailActionWritesAnRfc822File) {
    set_ini("SMSGW", "SMSDomainName", "sms.example");
    TwoWayMessage m = message("bob@example.com lunch at one?");
    TwoWayAction a;
    a.text = "mailto:" + std::string("bob%40example.com?subject=Hi%0D%0ABcc:%20x");
    inbound::ActionResult r = inbound::execute_action(m, a, nullptr);
    ASSERT_TRUE(r.ok);
    std::string mail;
    for (const auto& e : std::filesystem::directory_iterator(home_ + "/MMSCOUT"))
        mail = inbound_test::slurp(e.path().string());
    EXPECT_EQ(mail.rfind("To: bob@example.com\r\nX-MMSC-RCPT-TO: bob@example.com\r\nDate: ", 0), 0u)
        << mail;
    EXPECT_NE(mail.find("\r\nFrom: +4477 009@sms.example\r\nSubject: Hi  Bcc: x\r\n\r\n"
                        "bob@example.com lunch at one?\r\n"),
              std::string::npos)
        << mail;

    a.text = "mailto:nobody";
    r = inbound::execute_action(m, a, nullptr);
    EXPECT_EQ(r.reply,
              "Invalid e-mail recipient: nobody.  Please specify a valid e-mail address to start "
              "the text of your message.");
}

}  // namespace
