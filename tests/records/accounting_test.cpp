// Accounting callbacks against an independent accounting service (a Python
// HTTP server on loopback that records every request it receives).
#include "records/accounting.h"

#include <unistd.h>

#include <chrono>
#include <set>
#include <tuple>

#include "frame/queue_dirs.h"
#include "platform/process.h"
#include "records/quotas.h"
#include "records_fixture.h"

namespace records_test {
namespace {

using records::AccountingMessage;
using records::AccountingNotice;
using records::PreAuthAnswer;

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

class AccountingTest : public RecordsTest {
  protected:
    void SetUp() override {
        RecordsTest::SetUp();
        records::reset_quotas_for_tests();
        log_ = home_ + "/requests.log";
        answer_ = home_ + "/answer.txt";
        answer("");
        auto child = platform::spawn_piped(
            {"python3", SMSGW_SOURCE_DIR "/tests/records/accounting_server.py", log_, answer_}, {});
        ASSERT_TRUE(child);
        server_ = *child;
        char port[16] = {};
        ASSERT_GT(::read(server_.stdout_fd, port, sizeof port - 1), 0);
        frame::mutable_settings().sms_accounting_url =
            "http://127.0.0.1:" + std::to_string(std::atoi(port)) + "/acct";
        frame::mutable_settings().sms_accounting_timeout_s = 5;
        set_ini("Modem1", "SMPP - one");
        set_ini("Modem2", "UCP - two");
        ASSERT_TRUE(support::ini_set(ini_, "SMPP - one", "RouteName", "RouteA"));
    }
    void TearDown() override {
        records::reset_quotas_for_tests();
        if (server_.pid > 0) platform::wait_child(server_, 5000);
        RecordsTest::TearDown();
    }
    void answer(const std::string& text) { write_all(answer_, text); }
    // Request lines recorded since the last call: (client port, path).
    std::vector<std::pair<int, std::string>> requests() {
        std::vector<std::pair<int, std::string>> out;
        std::string all = read_all(log_);
        std::stringstream ss(all.substr(std::min(seen_, all.size())));
        seen_ = all.size();
        std::string line;
        while (std::getline(ss, line)) {
            size_t tab = line.find('\t');
            out.emplace_back(std::atoi(line.substr(0, tab).c_str()), line.substr(tab + 1));
        }
        return out;
    }
    std::vector<std::string> paths() {
        std::vector<std::string> out;
        for (auto& r : requests()) out.push_back(r.second);
        return out;
    }
    static AccountingMessage text_message() {
        AccountingMessage m;
        m.account = "alice", m.recipient = "+4712345678", m.submit_ip = "127.0.0.1";
        m.sender = "Shop", m.message = "Hello & bye", m.receipt_requested = true;
        m.acct_info = "dept 7", m.validity = "60", m.service_type = "WAP";
        m.smpp_options = "SMPPOption_1403=ab; SMPPOption_x y=1; Other=2";
        return m;
    }

    platform::ChildProcess server_;
    std::string log_, answer_;
    size_t seen_ = 0;
};

TEST_F(AccountingTest, RequestParametersOfEveryKind) {
    answer("OK");
    AccountingMessage m = text_message();
    PreAuthAnswer pa;
    ASSERT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {" +4711", "+4722"}, 4, pa), 0u);
    AccountingNotice n;
    n.message_id = "ID1", n.smsc_msg_id = "S9", n.route_charge = "0.5", n.user_data = "u d";
    n.extra_params = "Raw=1&Two=2";
    records::SMSAccountingCallbackForStatus("SMSOut", m, n, "OK -- SMPP - one");
    // Binary UCS-2 goes as text; binary 8-bit as data with its ports and segments.
    AccountingMessage b;
    b.account = "bob", b.recipient = "+1", b.binary = true, b.dcs = 0x08, b.message = "00480069";
    records::SMSAccountingCallback("SMSIN", b, {});
    b.dcs = 0xF5;
    b.pid = 0x41;
    b.udh = "0B05040B8423F00003010302";  // ports 0B84/23F0, part 2 of 3
    b.message = "0102";
    b.route = "UCP - two";
    records::SMSAccountingCallbackForLink("SMSSend", b, {}, "UCP - two");

    std::vector<std::string> want = {
        "/acct?PreAuth=Yes&Type=SMSSend&From=alice&To=%2B4711%2C%2B4722&MsgCount=4"
        "&SubmitIP=127.0.0.1&Sender=Shop&ServiceType=WAP&Validity=60&Text=Hello%20%26%20bye"
        "&ReceiptRequested=Yes&AcctInfo=dept%207&SMPPOption_1403=ab&SMPPOption_x%20y=1",
        "/acct?Type=SMSOut&From=alice&To=%2B4712345678&MessageID=ID1&SubmitIP=127.0.0.1"
        "&Sender=Shop&ServiceType=WAP&Validity=60&Text=Hello%20%26%20bye&ReceiptRequested=Yes"
        "&SMSCRouteName=RouteA&SMSCMsgId=S9&SMSCName=SMPP%20-%20one&Status=OK%20--%20SMPP%20-%20one"
        "&AcctInfo=dept%207&RouteCharge=0.5&UserData=u%20d&Raw=1&Two=2&SMPPOption_1403=ab"
        "&SMPPOption_x%20y=1",
        "/acct?Type=SMSIN&ReceiptUser=bob&To=%2B1&DCS=8&Text=Hi",
        "/acct?Type=SMSSend&From=bob&To=%2B1&Binary=1&PID=41&DCS=F5&UDH=0B05040B8423F00003010302"
        "&Data=0102&SMSCRouteName=UCP%20-%20two&SMSCRoute=UCP%20-%20two&SMSCName=UCP%20-%20two"
        "&SourcePort=23F0&DestPort=0B84&SegRef=1&SegCount=3&SegNum=2",
    };
    EXPECT_EQ(paths(), want);
}

TEST_F(AccountingTest, PreAuthAnswerKeywords) {
    write_all(frame::user_dir("carol") + "RECV.FLG", "");
    const std::string deny = "Request rejected by accounting callback",
                      err = "Accounting callback error - ";
    struct Case {
        const char* answer;
        bool must_route;
        uint32_t result;
        std::string refusal;
        const char *route, *charge, *user_data;
    } cases[] = {
        {"PreAuth=Deny", false, 88, deny, "", "", ""},
        {"SMPPErrorCode=0x45", false, 69, deny, "", "", ""},
        {"smpperrorcode=20\r\nRejectMessage=Not today<br>", false, 20, "Not today", "", "", ""},
        {"SMPPErrorCode=0\r\nPreAuth=Deny", false, 88, deny, "", "", ""},
        {"SMSCRoute=nowhere  ", false, 8, err + "Unknown smscRoute=nowhere", "", "", ""},
        {"SMSCRoute=localuser:bob", false, 8, err + "localuser:bob does not receive messages", "",
         "", ""},
        {"SMSCRoute=localuser:carol", false, 0, "", "localuser:carol", "", ""},
        {"SMSCRoute=RouteA\r\nRouteCharge=0.5x\r\nUserData=abc def", false, 0, "", "RouteA", "0.5",
         "abc def"},
        {"MySMSCRoute=UCP - two\r\nSMSCRoute=UCP - two", true, 0, "", "UCP - two", "", ""},
        {"OK", true, 8, err + "routing information is not available for message", "", "", ""},
        {"ServiceType=CMT  \r\n", false, 0, "", "", "", ""},  // no change without the setting
    };
    for (const Case& c : cases) {
        frame::mutable_settings().sms_accounting_must_set_route_pre_auth = c.must_route;
        answer(c.answer);
        AccountingMessage m = text_message();
        PreAuthAnswer a;
        EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {}, 1, a), c.result) << c.answer;
        EXPECT_EQ(a.refusal, c.refusal) << c.answer;
        EXPECT_EQ(m.service_type, "WAP") << c.answer;
        if (c.result == 0) {
            EXPECT_EQ(a.routes, std::vector<std::string>{c.route}) << c.answer;
            EXPECT_EQ(a.charges, std::vector<std::string>{c.charge}) << c.answer;
            EXPECT_EQ(a.user_data, std::vector<std::string>{c.user_data}) << c.answer;
        }
    }
    // SMSAccountingAllowChanges: values replaced exactly, options replaced, added, removed.
    frame::mutable_settings().sms_accounting_allow_changes = true;
    answer(
        "To=+999\r\nSender=Other\r\nValidity=5\r\nServiceType=CMT  \r\nSMPPOption_1403=cd\r\n"
        "SMPPOption_new=7\r\nSMPPOption_x y=\r\n");
    AccountingMessage m = text_message();
    PreAuthAnswer a;
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {}, 1, a), 0u);
    EXPECT_EQ(m.recipient + "|" + m.sender + "|" + m.validity + "|" + m.service_type,
              "+999|Other|5|CMT");
    EXPECT_EQ(m.smpp_options, "SMPPOption_1403=cd; SMPPOption_x y=1; SMPPOption_new=7");
    answer("<html>ServiceType=</html>");
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {}, 1, a), 0u);
    EXPECT_EQ(m.service_type, "");
}

TEST_F(AccountingTest, RecipientsLimitsAndSkippedCallbacks) {
    answer("RouteCharge=2");
    AccountingMessage m = text_message();
    PreAuthAnswer a;
    frame::mutable_settings().sms_accounting_pre_auth_per_recip = true;
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {"a", "b", "c"}, 6, a), 0u);
    EXPECT_EQ(a.charges, (std::vector<std::string>{"2", "2", "2"}));
    std::vector<std::string> p = paths();
    ASSERT_EQ(p.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(contains(p[i], std::string("&To=") + char('a' + i) + "&MsgCount=2&"));
    // The first refusal ends the loop.
    answer("PreAuth=Deny");
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {"a", "b"}, 2, a), 88u);
    EXPECT_EQ(paths().size(), 1u);
    // One callback for more than 100 recipients leaves them out.
    frame::mutable_settings().sms_accounting_pre_auth_per_recip = false;
    answer("OK");
    std::vector<std::string> many(101, "+1");
    PreAuthAnswer b;
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, many, 101, b), 0u);
    EXPECT_EQ(b.routes.size(), 101u);
    p = paths();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_FALSE(contains(p[0], "&To="));
    // A given route with SMSAccountingOnlyIfNoRoute: neither PreAuth nor SMSSend.
    frame::mutable_settings().sms_accounting_only_if_no_route = true;
    m.route = "RouteA";
    EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {}, 1, a), 0u);
    EXPECT_EQ(records::SMSAccountingCallback("SMSSend", m, {}), 0u);
    records::SMSAccountingCallback("SMSOut", m, {});
    EXPECT_EQ(paths().size(), 1u);
    // SmsAccountingLimitCallbacks names the kinds made, in any case.
    frame::mutable_settings().sms_accounting_only_if_no_route = false;
    frame::mutable_settings().sms_accounting_limit_callbacks = "SmsOut,smsin";
    records::SMSAccountingPreAuth("SMSSend", m, {}, 1, a);
    records::SMSAccountingCallback("SMSSend", m, {});
    records::SMSAccountingCallback("SMSIN", m, {});
    records::SMSAccountingCallback("SMSOut", m, {});
    p = paths();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(contains(p[0], "/acct?Type=SMSIN&") && contains(p[1], "/acct?Type=SMSOut&"));
    // "SMSIN" needs AccountingExtended.
    frame::mutable_settings().accounting_extended = false;
    records::SMSAccountingCallback("SMSIN", m, {});
    EXPECT_TRUE(paths().empty());
}

TEST_F(AccountingTest, NotificationAnswers) {
    struct Case {
        const char* kind;
        const char* answer;
        const char* given_route;
        bool use_route_queues, must_route;
        uint32_t result;
        const char* route;  // out route afterwards (starts as the given route)
    } cases[] = {
        {"SMSIN", "AcceptMessage=N", "", true, false, records::kAccountingDoNotAccept, ""},
        {"SMSIN", "AcceptMessage=Yes", "", true, false, 0, ""},
        {"SMSIN", "SMPPErrorCode=0x58\r\nAcceptMessage=N", "", true, false, 88, ""},
        {"SMSSend", "SMSCRoute=RouteA", "", true, false, 0, "RouteA"},
        {"SMSSend", "SMSCRoute=RouteA", "UCP - two", true, false, 0, "UCP - two"},
        {"SMSSend", "SMSCRoute=RouteA", "UCP - two", false, false, 0, "RouteA"},
        {"SMSSend", "SMSCRoute=elsewhere", "", true, false, 0, "~~invalid~~"},
        {"SMSSend", "OK", "", true, true, 0, "~~invalid~~"},
        {"SMSSend", "CLOSE", "", true, true, 0, "~~invalid~~"},  // no answer at all
        {"SMSSend", "CLOSE", "", true, false, 0, ""},
    };
    for (const Case& c : cases) {
        frame::mutable_settings().use_route_queues = c.use_route_queues;
        frame::mutable_settings().sms_accounting_must_set_route = c.must_route;
        answer(std::string(c.answer) + "\nUserData=ud1");
        AccountingMessage m = text_message();
        m.route = c.given_route;
        std::string route = c.given_route, user_data;
        EXPECT_EQ(records::SMSAccountingCallback(c.kind, m, {}, &route, &user_data), c.result)
            << c.kind << " " << c.answer;
        EXPECT_EQ(route, c.route) << c.kind << " " << c.answer;
        if (std::string(c.kind) == "SMSSend" && std::string(c.answer) != "CLOSE") {
            EXPECT_EQ(user_data, "ud1") << c.answer;
        }
    }
}

TEST_F(AccountingTest, KeepAlivePoolReusesConnections) {
    answer("OK");
    AccountingMessage m = text_message();
    for (int i = 0; i < 5; ++i) records::SMSAccountingCallback("SMSOut", m, {});
    std::set<int> ports;
    for (auto& x : requests()) ports.insert(x.first);
    EXPECT_EQ(ports.size(), 1u);
    EXPECT_EQ(records::accounting_pool_reuses(), 4u);
    EXPECT_EQ(records::accounting_pool_size(), 1u);
    // A server that closes after its answer: a new connection every time.
    answer("NOKEEP\nOK");
    for (int i = 0; i < 3; ++i) records::SMSAccountingCallback("SMSOut", m, {});
    // Without AccountingKeepAlive every callback has its own connection.
    answer("OK");
    frame::mutable_settings().accounting_keep_alive = false;
    for (int i = 0; i < 3; ++i) records::SMSAccountingCallback("SMSOut", m, {});
    auto r = requests();
    ports.clear();
    for (auto& x : r) ports.insert(x.first);
    EXPECT_EQ(r.size(), 6u);
    EXPECT_EQ(ports.size(), 6u);
}

TEST_F(AccountingTest, SlowDeadAndGarbledServicesAreBounded) {
    frame::GlobalSettings& s = frame::mutable_settings();
    s.sms_accounting_timeout_s = 1;
    // (answer, dead: the service's port closed, fail open, result)
    const std::string live = s.sms_accounting_url, dead = "http://127.0.0.1:1/acct";
    const std::tuple<const char*, bool, bool, uint32_t> cases[] = {
        {"SLEEP 4\nOK", false, false, 88},
        {"SLEEP 4\nOK", false, true, 0},
        {"", true, false, 88},
        {"", true, true, 0},
        {"GARBAGE", false, false, 88},
        {"STATUS 500\nOK", false, false, 88}};
    for (auto [ans, is_dead, fail_open, result] : cases) {
        s.sms_accounting_url = is_dead ? dead : live;
        s.sms_accounting_fail_open = fail_open;
        answer(ans);
        AccountingMessage m = text_message();
        PreAuthAnswer pa;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(records::SMSAccountingPreAuth("SMSSend", m, {}, 1, pa), result) << ans;
        // A notification to the same service changes nothing and is bounded too.
        EXPECT_EQ(records::SMSAccountingCallback("SMSOut", m, {}), 0u);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(secs, 3.5) << ans;
        EXPECT_EQ(contains(pa.refusal, "Error from Accounting Callback -- "), result != 0) << ans;
    }
}

// The front ends' sequences: checks before the files, charges after, and
// nothing kept for a refused submission.
TEST_F(AccountingTest, SubmissionChecksAndCharges) {
    auto balance = [&](const char* acct) {
        return records::CreditOperation(nullptr, acct, nullptr, 0, records::CreditMode::Check);
    };
    for (auto [acct, credits] : {std::pair{"pay", "\x10\x27"}, {"poor", "\xE8\x03"}})
        write_all(frame::user_dir(acct) + "SMS.CTR", std::string(credits) + std::string(6, '\0'));
    answer("RouteCharge=0.5");
    records::SubmissionCharge c;
    c.account = "pay";  // 10 credits
    c.recipients = {"+1", "+2"};
    c.segments = 3;
    c.message = text_message();
    ASSERT_EQ(records::check_http_submission(c), 1) << c.refusal;
    EXPECT_EQ(c.charges, (std::vector<int64_t>{500, 500}));
    EXPECT_EQ(balance("pay"), 10000);            // checked only
    records::charge_http_submission(c, {3, 1});  // 4 of the 6 files were written
    EXPECT_EQ(balance("pay"), 8000);
    records::flush_quota_files(true);
    EXPECT_EQ(read_all(frame::user_dir("pay") + "2024.QTA").substr(64 * 4, 4),
              std::string("\x04\0\0\0", 4));
    // Refusals: the credit (1 credit each against 1 credit), the service.
    for (auto [acct, ans, status, why] :
         {std::tuple{"poor", "OK", 88u, "Account poor:  credit limit exceeded."},
          {"pay", "SMPPErrorCode=0x45", 69u, "Request rejected by accounting callback"}}) {
        answer(ans);
        records::SubmissionCharge r;
        r.account = acct;
        r.recipients = {"+1", "+2"};
        EXPECT_EQ(records::check_http_submission(r), 0) << acct;
        EXPECT_EQ(r.status, status) << acct;
        EXPECT_EQ(r.refusal, why) << acct;
    }
    // SMPP: the charge is taken with the check and given back on a refusal.
    answer("RouteCharge=0.6");
    records::SubmissionCharge s;
    s.account = "poor";
    ASSERT_EQ(records::check_smpp_submission(s), 1);
    EXPECT_EQ(balance("poor"), 400);
    EXPECT_EQ(records::check_smpp_submission(s), 0);
    EXPECT_EQ(s.status, 88u);
    EXPECT_EQ(balance("poor"), 400);
    ASSERT_EQ(records::check_smpp_submission(c), 1);  // "pay": 7.4 left
    records::refund_smpp_submission(c);
    EXPECT_EQ(balance("pay"), 8000);
    // The count after the files never refuses: written files are counted.
    frame::mutable_settings().default_msg_limit_per_day = 1;
    records::QuotaCount(nullptr, "poor", 5);
    records::flush_quota_files(true);
    EXPECT_EQ(read_all(frame::user_dir("poor") + "2024.QTA").substr(64 * 4, 4),
              std::string("\x05\0\0\0", 4));
}

}  // namespace
}  // namespace records_test
