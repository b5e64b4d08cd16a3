// Tests of the request file loader and the request, scratch and segment file
// writers.
#include "store/request_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "store/message_id.h"
#include "store/store_state.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

using namespace std::string_literals;

std::atomic<time_t> g_fixed_now{0};
time_t fixed_clock(int* millis) {
    if (millis) *millis = 0;
    return g_fixed_now.load();
}

// A private $SMSGW_HOME with SMSGW.INI, fresh id counters and a fixed clock.
class RequestFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-store-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::ini_drop_cache_for_tests();
        frame::mutable_settings().message_id_prefix.clear();
        frame::mutable_settings().debug = false;
        g_fixed_now = 0x5F000000;
        platform::set_wall_clock(&fixed_clock);
        store::reset_store_for_tests();
        q_ = home_ + "Q/";
    }
    void TearDown() override {
        frame::close_debug_log();
        frame::mutable_settings().debug = false;
        frame::mutable_settings().message_id_prefix.clear();
        platform::set_wall_clock(nullptr);
        store::reset_store_for_tests();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void write(const std::string& path, std::string_view text) {
        platform::create_intermediate_dirs(path);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    store::SmsMessage load_text(std::string_view text) {
        const std::string path = home_ + "in.req";
        write(path, text);
        platform::FileHandle fh(::open(path.c_str(), O_RDONLY));
        store::SmsMessage msg;
        EXPECT_TRUE(fh.valid());
        EXPECT_TRUE(store::LoadSMSMessage(fh.fd(), msg));
        return msg;
    }

    std::string read(const std::string& path) {
        auto s = platform::read_file(path);
        return s ? *s : std::string("<missing>");
    }

    // Names in dir (hidden ones included), sorted.
    std::vector<std::string> listing(const std::string& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(dir, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string home_;
    std::string q_;
};

// --- keys ------------------------------------------------------------------

struct KeyCase {
    const char* name;
    std::string text;
    std::function<void(const store::SmsMessage&)> check;
};

TEST_F(RequestFileTest, KeyRulesTable) {
    using store::SmsMessage;
    const std::vector<KeyCase> cases = {
        {"key case ignored", "[SMS]\r\nphonenumber=+4471234\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.phone_number, "+4471234"); }},
        {"leading blank of value kept", "[SMS]\r\nPhoneNumber= 123\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.phone_number, " 123"); }},
        {"blank before = is part of the key", "[SMS]\r\nPhoneNumber =123\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.phone_number, ""); }},
        {"trailing blanks kept", "[SMS]\r\nSender=abc  \r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "abc  "); }},
        {"value may hold =", "[SMS]\r\nSMPPOptions=a=1; b=2\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.smpp_options, "a=1; b=2"); }},
        {"localuser route", "[SMS]\r\nSMSCRoute=localuser:alice\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.route, "");
             EXPECT_EQ(m.local_user_route, "alice");
         }},
        {"localuser prefix any case", "[SMS]\r\nSMSCRoute=LocalUser:Bob\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.route, "");
             EXPECT_EQ(m.local_user_route, "Bob");
         }},
        {"plain route", "[SMS]\r\nsmscroute=RouteA\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.route, "RouteA");
             EXPECT_EQ(m.local_user_route, "");
         }},
        {"receipt flags", "[SMS]\r\nReceiptDelivered=Yes\r\nReceiptFailed=No\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.flags, 0x0Cu);
             EXPECT_EQ(m.loaded_flags, 0x0Cu);
         }},
        {"every flag",
         "[SMS]\r\nReplyRequested=1\r\nReceiptRequested=y\r\nReceiptDelivered=TRUE\r\n"
         "ReceiptIntransit=on\r\nReceiptFailed=Yes\r\nNonDelReceiptRequested=Y\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.flags, 0x7Fu); }},
        {"false does not clear a flag", "[SMS]\r\nReceiptRequested=Yes\r\nReceiptRequested=No\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.flags, 0x02u); }},
        {"in transit", "[SMS]\r\nReceiptIntransit=Yes\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.flags, 0x14u); }},
        {"hex DCS", "[SMS]\r\nDCS=F5\r\n", [](const SmsMessage& m) { EXPECT_EQ(m.dcs, 0xF5); }},
        {"hex DCS stops at non-hex", "[SMS]\r\nDCS=1G\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.dcs, 0x01); }},
        {"hex PID lower case", "[SMS]\r\npid=7f\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.pid, 0x7F); }},
        {"hex keeps the low byte", "[SMS]\r\nPID=1A5\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.pid, 0xA5); }},
        {"hex non-hex start is 0", "[SMS]\r\nDCS=x8\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.dcs, 0); }},
        {"binary", "[SMS]\r\nBinary=1\r\n", [](const SmsMessage& m) { EXPECT_TRUE(m.binary); }},
        {"binary later value wins", "[SMS]\r\nBinary=1\r\nBinary=No\r\n",
         [](const SmsMessage& m) { EXPECT_FALSE(m.binary); }},
        {"later key wins", "[SMS]\r\nSender=a\r\nSender=b\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "b"); }},
        {"data escapes", "[SMS]\r\nData=a\\r\\nb\\x\\\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.data, "a\r\nb\\x\\"); }},
        {"attachments 1 and 10 are distinct",
         "[SMS]\r\nAttachFile1=a.jpg\r\nAttachFile10=j.txt\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.attach_files[0], "a.jpg");
             EXPECT_EQ(m.attach_files[9], "j.txt");
             EXPECT_EQ(m.attach_files[1], "");
         }},
        {"remaining text keys",
         "[SMS-IN]\r\nUDH=0605040B8423F0\r\nSubmittedBy=127.0.0.1\r\nSubmitUser=bob\r\n"
         "ServiceType=WAP\r\nRouteToLocalUser=carol\r\nReceivedSMSC=SMPP - x\r\nValidity=1d\r\n"
         "BillingInfo=b\r\nAcctInfo=c\r\nUserData=u\r\nSCTS=24010112000000\r\n"
         "ReceiptMessageId=M1\r\nRecombineFlag=Yes\r\nDuplicateMessageFor2Way=1\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.udh, "0605040B8423F0");
             EXPECT_EQ(m.submitted_by, "127.0.0.1");
             EXPECT_EQ(m.submit_user, "bob");
             EXPECT_EQ(m.service_type, "WAP");
             EXPECT_EQ(m.local_user_route, "carol");
             EXPECT_EQ(m.received_smsc, "SMPP - x");
             EXPECT_EQ(m.validity, "1d");
             EXPECT_EQ(m.billing_info, "b");
             EXPECT_EQ(m.acct_info, "c");
             EXPECT_EQ(m.user_data, "u");
             EXPECT_EQ(m.scts, "24010112000000");
             EXPECT_EQ(m.receipt_message_id, "M1");
             EXPECT_TRUE(m.recombine);
             EXPECT_TRUE(m.duplicate_for_2way);
         }},
        {"keys before the section ignored", "Sender=early\r\n[SMS]\r\nPhoneNumber=1\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "");
             EXPECT_EQ(m.phone_number, "1");
         }},
        {"keys after the next section ignored", "[SMS]\r\nSender=a\r\n[Other]\r\nPhoneNumber=2\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "a");
             EXPECT_EQ(m.phone_number, "");
         }},
        {"first message section only", "[SMS-IN]\r\nSender=a\r\n[SMS]\r\nSender=b\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "a"); }},
        {"lines without = and unknown keys ignored", "[SMS]\r\nnonsense\r\nFoo=bar\r\nSender=s\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "s"); }},
        {"LF, tab and other control bytes end lines",
         "[SMS]\nSender=a\tPhoneNumber=9\x01"
         "Data=d\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "a");
             EXPECT_EQ(m.phone_number, "9");
             EXPECT_EQ(m.data, "d");
         }},
        {"blank lines and leading blanks skipped", "\r\n\r\n  [SMS]\r\n\r\n \t Sender=x y\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "x y"); }},
        {"UTF-8 stays in its line", "[SMS]\r\nData=\xC3\xA9t\xC3\xA9\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.data, "\xC3\xA9t\xC3\xA9"); }},
        {"Ctrl-Z first means no message", "\r\n \x1A[SMS]\r\nSender=a\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, ""); }},
        {"Ctrl-Z later only ends a line",
         "[SMS]\r\nSender=a\x1A"
         "b\r\nPhoneNumber=1\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "a");
             EXPECT_EQ(m.phone_number, "1");
         }},
        {"NUL ends a line, not the file", "[SMS]\r\nSender=a\0b\r\nPhoneNumber=1\r\n"s,
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "a");
             EXPECT_EQ(m.phone_number, "1");
         }},
        {"section name prefix match", "[SMS] trailing\r\nSender=a\r\n",
         [](const SmsMessage& m) { EXPECT_EQ(m.sender, "a"); }},
        {"no message section", "[SMSX]\r\nSender=a\r\n[ErrorDetail]\r\nRetryCount=4\r\n",
         [](const SmsMessage& m) {
             EXPECT_EQ(m.sender, "");
             EXPECT_EQ(m.retry_count, 0u);
         }},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(load_text(c.text));
    }
}

TEST_F(RequestFileTest, ErrorDetailSection) {
    struct Case {
        const char* name;
        std::string text;
        uint32_t retries;
        store::MessageTime last;
        store::MessageTime first;
    };
    const store::MessageTime zero{};
    const store::MessageTime y2k{2000, 1, 6, 1, 0, 0, 0, 0};     // a Saturday
    const store::MessageTime t1{2024, 1, 3, 31, 23, 59, 58, 0};  // a Wednesday
    const store::MessageTime t2{2024, 2, 4, 29, 0, 0, 1, 0};     // leap day, a Thursday
    const std::vector<Case> cases = {
        {"full",
         "[SMS]\r\nSender=a\r\n[ErrorDetail]\r\nRetryCount=3\r\n"
         "LastRetryTime=20240131235958\r\nFirstAttemptTime=20240229000001\r\n"
         "LastErrorInfo=x -- y\r\n",
         3, t1, t2},
        {"short time stamp", "[SMS]\r\n[ErrorDetail]\r\nLastRetryTime=2024010112\r\n", 0, y2k,
         zero},
        {"trailing junk", "[SMS]\r\n[ErrorDetail]\r\nlastretrytime=20240131235958x\r\n", 0, y2k,
         zero},
        {"impossible date", "[SMS]\r\n[ErrorDetail]\r\nFirstAttemptTime=20230229120000\r\n", 0,
         zero, y2k},
        {"hour 24", "[SMS]\r\n[ErrorDetail]\r\nLastRetryTime=20240101240000\r\n", 0, y2k, zero},
        {"after another section",
         "[SMS]\r\n[X]\r\nRetryCount=9\r\n[ErrorDetail]\r\nRetryCount=2\r\n", 2, zero, zero},
        {"only the first ErrorDetail",
         "[SMS]\r\n[ErrorDetail]\r\nRetryCount=2\r\n[ErrorDetail]\r\nRetryCount=7\r\n", 2, zero,
         zero},
        {"ErrorDetail before the message is not read",
         "[ErrorDetail]\r\nRetryCount=5\r\n[SMS]\r\nSender=a\r\n", 0, zero, zero},
        {"retry count with junk", "[SMS]\r\n[ErrorDetail]\r\nRetryCount= 12abc\r\n", 12, zero,
         zero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store::SmsMessage m = load_text(c.text);
        EXPECT_EQ(m.retry_count, c.retries);
        EXPECT_EQ(m.last_retry_time, c.last) << store::format_time_stamp(m.last_retry_time);
        EXPECT_EQ(m.first_attempt_time, c.first) << store::format_time_stamp(m.first_attempt_time);
    }
    EXPECT_EQ(store::format_time_stamp(t1), "20240131235958");
}

TEST_F(RequestFileTest, FieldSizeLimits) {
    struct Case {
        const char* key;
        std::string store::SmsMessage::*field;
        size_t max;
    };
    const std::vector<Case> cases = {
        {"PhoneNumber", &store::SmsMessage::phone_number, 149},
        {"Sender", &store::SmsMessage::sender, 149},
        {"Data", &store::SmsMessage::data, 8191},
        {"UDH", &store::SmsMessage::udh, 499},
        {"SubmittedBy", &store::SmsMessage::submitted_by, 499},
        {"SubmitUser", &store::SmsMessage::submit_user, 249},
        {"ServiceType", &store::SmsMessage::service_type, 99},
        {"RouteToLocalUser", &store::SmsMessage::local_user_route, 99},
        {"SMSCRoute", &store::SmsMessage::route, 99},
        {"SMPPOptions", &store::SmsMessage::smpp_options, 499},
        {"ModemName", &store::SmsMessage::link_name, 149},
        {"ReceivedSMSC", &store::SmsMessage::received_smsc, 49},
        {"Validity", &store::SmsMessage::validity, 49},
        {"BillingInfo", &store::SmsMessage::billing_info, 49},
        {"AcctInfo", &store::SmsMessage::acct_info, 99},
        {"UserData", &store::SmsMessage::user_data, 255},
        {"ReceiptMessageId", &store::SmsMessage::receipt_message_id, 149},
        {"SCTS", &store::SmsMessage::scts, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::string value;
        for (size_t i = 0; value.size() < 9000; ++i) value += char('A' + i % 26);
        store::SmsMessage m = load_text(std::string("[SMS]\r\n") + c.key + "=" + value + "\r\n");
        EXPECT_EQ(m.*(c.field), value.substr(0, c.max));
    }
    store::SmsMessage m = load_text("[SMS]\r\nAttachFile7=" + std::string(400, 'f') + "\r\n" +
                                    "SMSCRoute=localuser:" + std::string(300, 'u') + "\r\n");
    EXPECT_EQ(m.attach_files[6], std::string(149, 'f'));
    EXPECT_EQ(m.local_user_route, std::string(99, 'u'));
    // Escapes are decoded before the cut, so the cut never leaves half of one.
    std::string escaped;
    for (int i = 0; i < 5000; ++i) escaped += "\\n";
    m = load_text("[SMS]\r\nData=" + escaped + "\r\n");
    EXPECT_EQ(m.data, std::string(5000, '\n'));
    m = load_text("[SMS]\r\nData=" + std::string(8190, 'x') + "\\r\\n\r\n");
    EXPECT_EQ(m.data, std::string(8190, 'x') + "\r");
}

TEST_F(RequestFileTest, ModemNameResolvesRouteName) {
    write(home_ + "SMSGW.INI",
          "[SMSGW]\r\nRouteName=Global\r\n"
          "[SMPP - Link1]\r\nRouteName=RouteOne\r\n"
          "[Modem - COM3:]\r\nRouteName=ModemRoute\r\n"
          "[Modem - a\\x5Bb\\x5D]\r\nRouteName=Bracketed\r\n"
          "[HTTP - Empty]\r\nRouteName=\r\n");
    support::ini_drop_cache_for_tests();
    struct Case {
        const char* link;
        const char* resolved;
    };
    const Case cases[] = {
        {"SMPP - Link1", "RouteOne"},     {"smpp - link1", "RouteOne"},
        {"COM3:", "ModemRoute"},          {"a[b]", "Bracketed"},
        {"HTTP - Empty", "HTTP - Empty"}, {"UCP - Unknown", "UCP - Unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        store::SmsMessage m = load_text(std::string("[SMS]\r\nModemName=") + c.link + "\r\n");
        EXPECT_EQ(m.link_name, c.link);
        EXPECT_EQ(m.resolved_route, c.resolved);
    }
    EXPECT_EQ(load_text("[SMS]\r\nModemName=\r\n").resolved_route, "");
}

// --- loading from a descriptor ----------------------------------------------

TEST_F(RequestFileTest, LoadReadsFromTheStartAndClearsTheRecord) {
    const std::string path = home_ + "a.req";
    write(path, "[SMS]\r\nPhoneNumber=1\r\n");
    platform::FileHandle fh(::open(path.c_str(), O_RDONLY));
    ASSERT_TRUE(fh.valid());
    store::SmsMessage m;
    m.sender = "stale";
    m.flags = 0xFF;
    ASSERT_TRUE(store::LoadSMSMessage(fh.fd(), m));
    EXPECT_EQ(m.phone_number, "1");
    EXPECT_EQ(m.sender, "");
    EXPECT_EQ(m.flags, 0u);
    // A second load through the same descriptor sees the same content.
    store::SmsMessage again;
    ASSERT_TRUE(store::LoadSMSMessage(fh.fd(), again));
    EXPECT_EQ(again.phone_number, "1");
}

TEST_F(RequestFileTest, ReadFailuresGiveTheErrorRecordAndTrace) {
    frame::set_debug_rollover_wait_ms(0);
    frame::mutable_settings().debug = true;
    store::SmsMessage m;
    m.sender = "stale";
    platform::FileHandle dir(::open(home_.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir.valid());
    EXPECT_FALSE(store::LoadSMSMessage(dir.fd(), m));
    EXPECT_TRUE(store::is_load_error(m));
    EXPECT_EQ(m.phone_number, "ERROR");
    EXPECT_EQ(m.route, "ErrorLoadMessage");
    EXPECT_EQ(m.sender, "");

    store::SmsMessage bad;
    EXPECT_FALSE(store::LoadSMSMessage(-1, bad));
    EXPECT_TRUE(store::is_load_error(bad));

    frame::close_debug_log();
    const std::string log = read(support::GetDebugLogDirectory() + "SMSDEBUG.LOG");
    EXPECT_NE(log.find(platform::strprintf("LoadSMSMessage:  Error %u from ReadFile", EISDIR)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(platform::strprintf("LoadSMSMessage:  Error %u from GetFileSize", EBADF)),
              std::string::npos)
        << log;
}

TEST_F(RequestFileTest, LargeAndHostileFiles) {
    // Several megabytes of noise before the message still load.
    std::string big;
    big.reserve(4u << 20);
    uint32_t x = 12345;
    while (big.size() < (4u << 20)) {
        x = x * 1103515245u + 12345u;
        big.push_back(char(x >> 24));
    }
    // Noise could hold a "[SMS" line by chance; break any before the real one.
    for (char& c : big)
        if (c == '[') c = '(';
    EXPECT_EQ(load_text(big + "\r\n[SMS]\r\nSender=after-noise\r\n").sender, "after-noise");
    EXPECT_EQ(load_text(big).sender, "");
    EXPECT_EQ(load_text("").phone_number, "");
    EXPECT_EQ(load_text("[SMS").phone_number, "");
    EXPECT_EQ(load_text("[SMS]\r\nPhoneNumber").phone_number, "");
    EXPECT_EQ(load_text("[SMS]\r\nPhoneNumber=12").phone_number, "12");  // no final CRLF
    EXPECT_EQ(load_text("[SMS]\r\n=\r\n==\r\n[").phone_number, "");

    // One single line of several megabytes is cut to the field.
    store::SmsMessage m = load_text("[SMS]\r\nData=" + std::string(3u << 20, 'd'));
    EXPECT_EQ(m.data.size(), 8191u);

    // Beyond the size ceiling the file is not pulled into memory at all.
    const std::string path = home_ + "huge.req";
    {
        platform::FileHandle fh(::open(path.c_str(), O_RDWR | O_CREAT, 0644));
        ASSERT_TRUE(fh.valid());
        ASSERT_EQ(::ftruncate(fh.fd(), off_t(store::kMaxRequestFileBytes) + 1), 0);
    }
    platform::FileHandle fh(::open(path.c_str(), O_RDONLY));
    EXPECT_FALSE(store::LoadSMSMessage(fh.fd(), m));
    EXPECT_TRUE(store::is_load_error(m));
}

// --- writers ---------------------------------------------------------------

TEST_F(RequestFileTest, CreateRequestFileNamesAndContent) {
    // Counter starts at the stored value + 1000.
    write(store::message_id_file_path(), std::string("\x10\x00\x00\x00", 4));
    frame::mutable_settings().message_id_prefix = "GW";
    const std::string content = "[SMS]\r\nPhoneNumber=+441\r\nData=hi\r\n";
    auto p1 = store::create_request_file(q_ + "sub/dir", "req", content);
    auto p2 = store::create_request_file(q_ + "sub/dir/", "", content);
    ASSERT_TRUE(p1 && p2);
    EXPECT_EQ(*p1, q_ + "sub/dir/GW000003F8.req");
    EXPECT_EQ(*p2, q_ + "sub/dir/GW000003F9");
    EXPECT_EQ(read(*p1), content);
    EXPECT_EQ(listing(q_ + "sub/dir/"), (std::vector<std::string>{"GW000003F8.req", "GW000003F9"}));
}

TEST_F(RequestFileTest, CreateRequestFileNeverReplaces) {
    write(store::message_id_file_path(), std::string("\xFF\xFF\xFF\xFF", 4));
    // 0xFFFFFFFF + 1000 wraps to 999 = 0x3E7; the next two names are taken.
    write(q_ + "000003E7.req", "old1");
    write(q_ + "000003E8.req", "old2");
    auto p = store::create_request_file(q_, "req", "new");
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, q_ + "000003E9.req");
    EXPECT_EQ(read(q_ + "000003E7.req"), "old1");
    EXPECT_EQ(read(q_ + "000003E8.req"), "old2");
    EXPECT_EQ(read(*p), "new");
    for (const std::string& n : listing(q_)) EXPECT_NE(n.front(), '.') << "left behind: " << n;
}

TEST_F(RequestFileTest, CreateRequestFileGivesUpAfterThousandAttempts) {
    write(home_ + "blocker", "x");  // a file where the directory should be
    const uint32_t first = store::next_message_id();
    EXPECT_FALSE(store::create_request_file(home_ + "blocker/q", "req", "x"));
    // Attempts 1 and 2 share an id; attempts 3..1000 took one new id each.
    EXPECT_EQ(store::next_message_id(), first + 1 + 999);
}

TEST_F(RequestFileTest, ScratchFileUsesThePseudoRandomSequence) {
    frame::mutable_settings().message_id_prefix = "GW";
    uint32_t x = uint32_t(g_fixed_now.load());
    auto s1 = store::create_scratch_file(home_ + "TEMP", "hdr");
    auto s2 = store::create_scratch_file(home_ + "TEMP/", "");
    ASSERT_TRUE(s1 && s2);
    x = x * 1345u + 9876543u;
    EXPECT_EQ(s1->path, home_ + "TEMP/" + platform::strprintf("%08X", x) + ".hdr");
    x = x * 1345u + 9876543u;
    EXPECT_EQ(s2->path, home_ + "TEMP/" + platform::strprintf("%08X", x));
    // Held by its writer: readable, but nobody else can claim it.
    ASSERT_EQ(::write(s1->file.fd(), "abc", 3), 3);
    EXPECT_EQ(read(s1->path), "abc");
    bool busy = false;
    EXPECT_FALSE(platform::claim_file(s1->path, &busy).valid());
    EXPECT_TRUE(busy);
    s1->file.close();
    EXPECT_TRUE(platform::claim_file(s1->path).valid());

    // A taken name moves on to the next value of the sequence.
    store::reset_store_for_tests();
    x = uint32_t(g_fixed_now.load()) * 1345u + 9876543u;
    write(home_ + "T2/" + platform::strprintf("%08X", x) + ".tmp", "mine");
    auto s3 = store::create_scratch_file(home_ + "T2", "tmp");
    ASSERT_TRUE(s3);
    EXPECT_EQ(s3->path, home_ + "T2/" + platform::strprintf("%08X", x * 1345u + 9876543u) + ".tmp");
    EXPECT_EQ(read(home_ + "T2/" + platform::strprintf("%08X", x) + ".tmp"), "mine");
}

TEST_F(RequestFileTest, SegmentFileNames) {
    frame::mutable_settings().message_id_prefix = "P";
    struct Case {
        std::string key;
        uint32_t ref, count, number;
        const char* ext;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"+447700900123", 0x1a2b, 3, 2, "req", "SAR-P+447700900123-1a2b-3-2.req"},
        {"a?b*c:d/e\\f|g", 0, 1, 1, "SAR", "SAR-Pa!b!c!d!e!f!g-0-1-1.SAR"},
        {std::string(60, 'k'), 255, 300, 257, "req",
         "SAR-P" + std::string(50, 'k') + "-ff-44-1.req"},
        {std::string("x\0y\r\n", 5), 1, 2, 3, "", "SAR-Px!y!!-1-2-3"},
        {"../../etc", 1, 1, 1, "req", "SAR-P..!..!etc-1-1-1.req"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(store::segment_file_name(q_, c.key, c.ref, c.count, c.number, c.ext),
                  q_ + c.name);
    }
}

TEST_F(RequestFileTest, SegmentFileReplacesAndCreatesDirectories) {
    auto p = store::create_segment_file(q_ + "new/", "4477", 0x10, 2, 1, "req", "first");
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, q_ + "new/SAR-4477-10-2-1.req");
    auto again = store::create_segment_file(q_ + "new", "4477", 0x10, 2, 1, "req", "second");
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *p);
    EXPECT_EQ(read(*p), "second");
    EXPECT_EQ(listing(q_ + "new/"), std::vector<std::string>{"SAR-4477-10-2-1.req"});
    write(home_ + "blocker", "x");
    EXPECT_FALSE(store::create_segment_file(home_ + "blocker/", "k", 1, 1, 1, "req", "x"));
}

// Writers in four threads, a scanner that opens every file the moment it
// appears: every name unique and every file complete at first sight.
TEST_F(RequestFileTest, ConcurrentCreationIsUniqueAndNeverSeenIncomplete) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2500;
    const std::string payload(3000, 'p');
    std::vector<std::vector<std::string>> made(kThreads);
    std::atomic<int> writers_left{kThreads};
    std::atomic<int> failures{0};

    std::set<std::string> seen;
    std::atomic<int> incomplete{0};
    std::thread scanner([&] {
        const uint64_t give_up = platform::monotonic_ms() + 300000;
        while (platform::monotonic_ms() < give_up) {
            const bool last = writers_left.load() == 0;
            for (const platform::DirEntry& e : platform::scan_dir(q_, "*.req")) {
                if (!seen.insert(e.name).second) continue;
                platform::FileHandle fh(::open((q_ + e.name).c_str(), O_RDONLY));
                store::SmsMessage m;
                if (!fh.valid() || !store::LoadSMSMessage(fh.fd(), m) || m.data != payload ||
                    m.sender != "end") {
                    ++incomplete;
                }
            }
            if (last) break;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string content =
                    platform::strprintf("[SMS]\r\nPhoneNumber=%d-%d\r\nData=", t, i) + payload +
                    "\r\nSender=end\r\n";
                auto p = store::create_request_file(q_, "req", content);
                if (p) {
                    made[t].push_back(*p);
                } else {
                    ++failures;
                }
            }
            --writers_left;
        });
    }
    for (auto& w : writers) w.join();
    scanner.join();

    EXPECT_EQ(failures.load(), 0);
    std::set<std::string> names;
    for (auto& v : made) names.insert(v.begin(), v.end());
    EXPECT_EQ(names.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(seen.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(incomplete.load(), 0);
    EXPECT_EQ(listing(q_).size(), size_t(kThreads * kPerThread));  // no temporaries left
}

}  // namespace
