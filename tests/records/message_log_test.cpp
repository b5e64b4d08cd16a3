// Message log lines, file names, switches, day change and pruning.
#include <string>
#include <vector>

#include "records_fixture.h"

namespace records_test {
namespace {

using records::LogContent;

constexpr const char* kStamp = "2024-03-05 12:34:56";
const std::string kMessyText = "Hello, \"world\"\r\nsecond line\nthird";

class MessageLogTest : public RecordsTest {
  protected:
    std::string out_log() { return read_all(log_dir() + "SMSOUT-20240305.LOG"); }
    std::string in_log() { return read_all(log_dir() + "SMSIN-20240305.LOG"); }
    std::string web_log() { return read_all(log_dir() + "SMSWEB-20240305.LOG"); }
};

struct OutboundCase {
    const char* name;
    bool exclude_details;
    LogContent content;
    const char* submit_user;
    const char* smsc_msg_id;
    const char* sender;
    const char* route;
    std::string expected_details;
};

TEST_F(MessageLogTest, OutboundLinesAreExact) {
    const std::string long_text(2000, 'x');
    const std::vector<OutboundCase> cases = {
        {"text with commas quotes and line breaks",
         false,
         {false, 0, 0, "", kMessyText},
         "alice",
         "0A1B",
         "Kel",
         "route1",
         ",SubmitUser=alice;SMSCRouteName=route1;Sender=Kel;SMSCMsgId=0A1B;"
         "Text=\"Hello, \"world\"\\r\\nsecond line\\nthird\""},
        {"details excluded",
         true,
         {false, 0, 0, "", kMessyText},
         "alice",
         "0A1B",
         "Kel",
         "route1",
         ",SubmitUser=alice;SMSCRouteName=route1;Sender=Kel;SMSCMsgId=0A1B"},
        {"ucs2 binary becomes text",
         false,
         {true, 0, 0x08, "", "00480069"},
         "",
         "",
         "",
         "",
         ",DCS=8;Text=\"Hi\""},
        {"packed gsm binary becomes text",
         false,
         {true, 0, 0xF1, "", "C8329BFD06"},
         "",
         "",
         "",
         "",
         ",DCS=F1;Text=\"Hello\""},
        {"8-bit binary stays hex",
         false,
         {true, 0x41, 0xF5, "0605040B8423F0", "DEADBEEF"},
         "",
         "",
         "",
         "r",
         ",SMSCRouteName=r;Binary=1;PID=41;DCS=F5;UDH=0605040B8423F0;Data=DEADBEEF"},
        {"long text cut to 1023",
         false,
         {false, 0, 0, "", long_text},
         "",
         "",
         "",
         "",
         ",Text=\"" + std::string(1023, 'x') + "\""},
        {"no details at all", false, {}, "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(log_dir() + "SMSOUT-20240305.LOG");
        records::close_message_logs();
        frame::mutable_settings().exclude_sms_details_from_log = c.exclude_details;
        records::write_outbound_log("MSG1", "10.0.0.5", "+4712345678", "OK -- SMPP - smsc1",
                                    c.content, c.submit_user, c.smsc_msg_id, c.sender, c.route);
        EXPECT_EQ(out_log(), std::string(kStamp) + ",MSG1,10.0.0.5,+4712345678,OK -- SMPP - smsc1" +
                                 c.expected_details + "\r\n");
    }
}

TEST_F(MessageLogTest, InboundLineCarriesRouteNameOfLinkSection) {
    // The link section of a protocol link is its own name, brackets escaped.
    ASSERT_TRUE(support::ini_set(ini_, "SMPP - 10.0.0.1:2775", "RouteName", "Operator1"));
    records::write_inbound_log("+4799", "SMPP - 10.0.0.1:2775", "12345",
                               {false, 0, 0, "", "Yes, \"OK\"\r\n"}, "RCPT1", "rcpt-1");
    // A local modem's section is "Modem - " + name; without RouteName no item.
    records::write_inbound_log("+4788", "COM1:", "", {true, 0, 0xF5, "", "00FF"}, "", "");
    frame::mutable_settings().exclude_sms_details_from_log = true;
    records::write_inbound_log("+4777", "SMPP - 10.0.0.1:2775", "555", {false, 0, 0, "", "hid"}, "",
                               "");
    EXPECT_EQ(in_log(), std::string(kStamp) +
                            ",+4799,SMPP - 10.0.0.1:2775,Text=\"Yes, \"OK\"\\r\\n\";"
                            "SMSCRouteName=Operator1;Recip=12345;SMSCReceiptMsgId=RCPT1;"
                            "SMSCReceiptMsgIdOrig=rcpt-1\r\n" +
                            kStamp + ",+4788,COM1:,Binary=1;DCS=F5;Data=00FF\r\n" + kStamp +
                            ",+4777,SMPP - 10.0.0.1:2775,SMSCRouteName=Operator1;Recip=555\r\n");
}

TEST_F(MessageLogTest, WebLineIsExact) {
    records::write_web_log("127.0.0.1", "bob", "MSGW1", "WAPPPG", "+4711",
                           {true, 0, 0xF5, "0605040B8423F0", "0102"}, "Sender1");
    records::write_web_log("10.1.1.1", "bob", "MSGW2", "Text", "+4712", {false, 0, 0, "", "a,b"},
                           "");
    EXPECT_EQ(web_log(), std::string(kStamp) +
                             ",127.0.0.1,bob,MSGW1,WAPPPG,Recip=+4711;Sender=Sender1;Binary=1;"
                             "DCS=F5;UDH=0605040B8423F0;Data=0102\r\n" +
                             kStamp + ",10.1.1.1,bob,MSGW2,Text,Recip=+4712;Text=\"a,b\"\r\n");
}

TEST_F(MessageLogTest, AccountLinesAreExact) {
    // Excluding details applies to the daily logs only.
    frame::mutable_settings().exclude_sms_details_from_log = true;
    records::write_account_log("carol", "SMSSubmit", "+4711", "192.168.1.9", "MSGA", "Text",
                               {false, 0, 0, "", kMessyText}, "Me");
    records::write_account_log("carol", "SMSReceive", "12345", "+4799", "MSGB", "Binary",
                               {true, 0x7F, 0xF6, "050003010201", "CAFE"}, "");
    const std::string path = home_ + "/USERS/carol/SMS-20240305.LOG";
    EXPECT_EQ(read_all(path),
              std::string(kStamp) +
                  ",carol,SMSSubmit,+4711,192.168.1.9,MSGA,Text,Sender=Me;"
                  "Text=Hello, \"world\"\\r\\nsecond line\\nthird\r\n" +
                  kStamp +
                  ",carol,SMSReceive,12345,+4799,MSGB,Binary,PID=7F;DCS=F6;UDH=050003010201;"
                  "Data=CAFE;Binary=1\r\n");
}

TEST_F(MessageLogTest, AccountLogHonoursUsersLogDirAndLineLimit) {
    set_ini("UsersLogDir", home_ + "/ULOGS");
    records::write_account_log("dave", "SMSSubmit", "+1", "1.2.3.4", "M", "Text",
                               {false, 0, 0, "", std::string(5000, 'y')}, "");
    std::string line = read_all(home_ + "/ULOGS/dave/SMS-20240305.LOG");
    // The whole line, CR LF included, is at most 2047 characters and ends whole.
    ASSERT_EQ(line.size(), 2047u);
    EXPECT_EQ(line.rfind(std::string(kStamp) + ",dave,SMSSubmit,+1,1.2.3.4,M,Text,Text=yyy", 0),
              0u);
    EXPECT_EQ(line.substr(line.size() - 5), "yyy\r\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST_F(MessageLogTest, AccountLogSkipsSystemAndEmptyAccounts) {
    records::write_account_log("", "SMSSubmit", "+1", "x", "M", "Text", {false, 0, 0, "", "t"}, "");
    records::write_account_log("LocalSystem", "SMSSubmit", "+1", "x", "M", "Text",
                               {false, 0, 0, "", "t"}, "");
    frame::mutable_settings().disable_user_log = true;
    records::write_account_log("erin", "SMSSubmit", "+1", "x", "M", "Text", {false, 0, 0, "", "t"},
                               "");
    EXPECT_FALSE(std::filesystem::exists(home_ + "/USERS/erin"));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/USERS/LocalSystem"));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/USERS/-"));
}

TEST_F(MessageLogTest, DisableSwitchesSilenceOnlyTheirLog) {
    struct Case {
        const char* name;
        bool frame::GlobalSettings::*flag;
        const char* silenced;
    };
    const Case cases[] = {
        {"DisableOutLog", &frame::GlobalSettings::disable_out_log, "SMSOUT-20240305.LOG"},
        {"DisableInLog", &frame::GlobalSettings::disable_in_log, "SMSIN-20240305.LOG"},
        {"DisableWebLog", &frame::GlobalSettings::disable_web_log, "SMSWEB-20240305.LOG"},
    };
    const char* all[] = {"SMSOUT-20240305.LOG", "SMSIN-20240305.LOG", "SMSWEB-20240305.LOG"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        records::close_message_logs();
        for (const char* f : all) std::filesystem::remove(log_dir() + f);
        frame::mutable_settings() = frame::GlobalSettings{};
        frame::mutable_settings().*c.flag = true;
        records::write_outbound_log("M", "x", "+1", "OK -- L", {}, "", "", "", "");
        records::write_inbound_log("+1", "L", "", {}, "", "");
        records::write_web_log("x", "a", "M", "Text", "+1", {}, "");
        for (const char* f : all)
            EXPECT_EQ(std::filesystem::exists(log_dir() + f), std::string(f) != c.silenced) << f;
    }
}

TEST_F(MessageLogTest, DayChangeBetweenTwoLinesOpensNewFile) {
    set_now(2024, 2, 28, 23, 59, 59);
    records::write_outbound_log("M1", "x", "+1", "OK -- L", {}, "", "", "", "");
    records::write_account_log("frank", "SMSSubmit", "+1", "x", "M1", "Text", {}, "");
    set_now(2024, 2, 29, 0, 0, 1);
    records::write_outbound_log("M2", "x", "+1", "OK -- L", {}, "", "", "", "");
    records::write_account_log("frank", "SMSSubmit", "+1", "x", "M2", "Text", {}, "");
    // The same day of the next month is another day, too.
    set_now(2024, 3, 28, 12, 0, 0);
    records::write_outbound_log("M3", "x", "+1", "OK -- L", {}, "", "", "", "");

    EXPECT_EQ(read_all(log_dir() + "SMSOUT-20240228.LOG"),
              "2024-02-28 23:59:59,M1,x,+1,OK -- L\r\n");
    EXPECT_EQ(read_all(log_dir() + "SMSOUT-20240229.LOG"),
              "2024-02-29 00:00:01,M2,x,+1,OK -- L\r\n");
    EXPECT_EQ(read_all(log_dir() + "SMSOUT-20240328.LOG"),
              "2024-03-28 12:00:00,M3,x,+1,OK -- L\r\n");
    EXPECT_EQ(read_all(home_ + "/USERS/frank/SMS-20240228.LOG"),
              "2024-02-28 23:59:59,frank,SMSSubmit,+1,x,M1,Text\r\n");
    EXPECT_EQ(read_all(home_ + "/USERS/frank/SMS-20240229.LOG"),
              "2024-02-29 00:00:01,frank,SMSSubmit,+1,x,M2,Text\r\n");
}

TEST_F(MessageLogTest, LinesAppendToExistingFile) {
    write_all(log_dir() + "SMSOUT-20240305.LOG", "earlier\r\n");
    records::open_outbound_log();
    records::write_outbound_log("M", "x", "+1", "s", {}, "", "", "", "");
    EXPECT_EQ(out_log(), std::string("earlier\r\n") + kStamp + ",M,x,+1,s\r\n");
}

TEST_F(MessageLogTest, DebugEchoesDailyLinesToStandardOutput) {
    frame::mutable_settings().debug = true;
    ::testing::internal::CaptureStdout();
    records::write_web_log("x", "a", "M", "Text", "", {}, "");
    std::string echoed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(echoed, std::string(kStamp) + ",x,a,M,Text\r\n");
}

// --- pruning ----------------------------------------------------------------

struct PruneCase {
    const char* file;  // relative to the home directory
    bool deleted;
};

void make_files(const std::string& home, const std::vector<PruneCase>& cases) {
    for (const auto& c : cases) write_all(home + "/" + c.file, "x\r\n");
}

void expect_pruned(const std::string& home, const std::vector<PruneCase>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(std::filesystem::exists(home + "/" + c.file), !c.deleted) << c.file;
}

TEST_F(MessageLogTest, PruningKeepsExactlyLogRetainDays) {
    set_ini("LogRetainDays", "1");
    const std::vector<PruneCase> cases = {
        {"LOGS/SMSOUT-20240305.LOG", false},  // today
        {"LOGS/SMSOUT-20240304.LOG", false},  // yesterday
        {"LOGS/SMSOUT-20240303.LOG", true},   // two days ago
        {"LOGS/smsin-20240303.log", true},    // names compare without case
        {"LOGS/SMSWEB-20240301.LOG", true},
        {"LOGS/SMS-20230305.LOG", true},      // a year ago
        {"LOGS/SMSOUT-20210101.LOG", true},   // years ago
        {"LOGS/SMSOUT-20240306.LOG", false},  // future dates are kept
        {"LOGS/SMSOUT-2024AB01.LOG", false},  // not a date
        {"LOGS/SMSOUT-20241301.LOG", false},  // month 13 is not a date
        {"LOGS/SMSDEBUG.LOG", false},         // not a message log
        {"LOGS/SMSOUT-202403.LOG", false},    // too few digits
        {"USERS/alice/SMS-20240304.LOG", false},
        {"USERS/alice/SMS-20240303.LOG", true},
        {"USERS/alice/deeper/SMS-20200101.LOG", false},  // only direct subdirectories
    };
    make_files(home_, cases);
    EXPECT_EQ(records::prune_message_logs(), 6u);
    expect_pruned(home_, cases);
}

TEST_F(MessageLogTest, PruningAcrossTheYearBoundary) {
    set_ini("LogRetainDays", "2");
    set_ini("UsersLogDir", home_ + "/ULOGS");
    set_now(2024, 1, 1, 3, 0, 0);
    const std::vector<PruneCase> cases = {
        {"LOGS/SMSOUT-20231231.LOG", false},  {"LOGS/SMSOUT-20231230.LOG", false},
        {"LOGS/SMSOUT-20231229.LOG", true},   {"LOGS/SMSIN-20230101.LOG", true},
        {"LOGS/SMSIN-20220101.LOG", true},    {"LOGS/SMSIN-20001231.LOG", true},
        {"LOGS/SMSWEB-20240001.LOG", false},  // month 0 reads as January: today
        {"ULOGS/bob/SMS-20231229.LOG", true}, {"ULOGS/bob/SMS-20231230.LOG", false},
    };
    make_files(home_, cases);
    records::prune_message_logs();
    expect_pruned(home_, cases);

    // A leap year's last days: on 1 January 2025, 31 December 2024 is one
    // day back and 30 December two.
    set_now(2025, 1, 1);
    const std::vector<PruneCase> leap = {
        {"LOGS/SMSOUT-20241231.LOG", false},
        {"LOGS/SMSOUT-20241230.LOG", true},
        {"LOGS/SMSOUT-20241229.LOG", true},
    };
    set_ini("LogRetainDays", "1");
    make_files(home_, leap);
    records::prune_message_logs();
    expect_pruned(home_, leap);
}

TEST_F(MessageLogTest, PruningDefaultsToNinetyDays) {
    set_ini("LogRetainDays", "0");
    // 5 March 2024 minus 90 days is 6 December 2023.
    const std::vector<PruneCase> cases = {
        {"LOGS/SMSOUT-20231206.LOG", false},
        {"LOGS/SMSOUT-20231205.LOG", true},
    };
    make_files(home_, cases);
    records::prune_message_logs();
    expect_pruned(home_, cases);
}

}  // namespace
}  // namespace records_test
