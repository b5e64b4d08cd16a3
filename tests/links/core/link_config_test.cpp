// Link names, the link status file, quiet hours, credit limits, the send
// limit, error-code lists and classification, and the settings of a link as
// read from SMSGW.INI.
#include "links/core/link_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "frame/queue_dirs.h"
#include "platform/files.h"
#include "records/counters.h"
#include "records/records_fixture.h"
#include "support/ini_profile.h"

namespace {

using records_test::read_all;
using records_test::set_now;
using records_test::write_all;
using store::ErrorClass;

// A temporary home with its own SMSGW.INI and a fake wall clock.
class LinkConfigTest : public records_test::RecordsTest {
  protected:
    // Replaces the whole INI file (sections joined with CRLF).
    void write_ini(const std::string& text) {
        write_all(ini_, text);
        support::ini_drop_cache_for_tests();
    }
};

// --- link names ---------------------------------------------------------------------

struct NameCase {
    const char* name;
    links::LinkKind kind;
    const char* host;
    unsigned port;
    const char* device;
};

TEST_F(LinkConfigTest, ParseLinkNameTable) {
    using K = links::LinkKind;
    const NameCase cases[] = {
        {"SMPP - smsc.example.com:2775", K::Smpp, "smsc.example.com", 2775,
         "smsc.example.com:2775"},
        {"smpp - 10.0.0.1:abc", K::Smpp, "10.0.0.1", 0, "10.0.0.1:abc"},
        {"UCP - ucp.example.com", K::Ucp, "ucp.example.com", 0, "ucp.example.com"},
        {"CIMD - a:b:9971", K::Cimd, "a:b", 9971, "a:b:9971"},
        {"HTTP - web.example.com:8080", K::Http, "web.example.com", 8080, "web.example.com:8080"},
        {"HTTP - kelsmslocal", K::Http, "127.0.0.1", 8800, "kelsmslocal"},
        {"KelSMSModem - KELSMSLOCAL:81", K::KelSmsModem, "127.0.0.1", 81, "KELSMSLOCAL:81"},
        {"ipmodem - 192.168.1.5:23", K::IpModem, "192.168.1.5", 23, "192.168.1.5:23"},
        {"SDKLINK - VirtualSMSC", K::SdkLink, "VirtualSMSC", 0, "VirtualSMSC"},
        {"SMPP - host:99999", K::Smpp, "host", 0, "host:99999"},
        {"SMPP - host:", K::Smpp, "host", 0, "host:"},
        {"SMPP - host:-1", K::Smpp, "host", 0, "host:-1"},
        {"SMPP - host:27x", K::Smpp, "host", 0, "host:27x"},
        {"SMPP - :2775", K::Smpp, "", 2775, ":2775"},
        {"COM3", K::Modem, "", 0, "COM3"},
        {"SMPP-host:1", K::Modem, "", 0, "SMPP-host:1"},
        {"Modem - COM1", K::Modem, "", 0, "Modem - COM1"},
        {"", K::Modem, "", 0, ""},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        links::LinkAddress a = links::parse_link_name(c.name);
        EXPECT_EQ(a.kind, c.kind);
        EXPECT_EQ(a.host, c.host);
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.device, c.device);
    }
}

TEST_F(LinkConfigTest, KelsmsLocalTakesWebPort) {
    write_ini("[SMSGW]\r\nWebPort=8081\r\n");
    links::LinkAddress a = links::parse_link_name("HTTP - KelSMSLocal");
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8081u);
    // A port in the name wins over WebPort.
    EXPECT_EQ(links::parse_link_name("HTTP - kelsmslocal:9000").port, 9000u);
    // Other hosts never get WebPort.
    EXPECT_EQ(links::parse_link_name("HTTP - localhost").port, 0u);
}

TEST_F(LinkConfigTest, LinkNameAtIndex) {
    write_ini("[SMSGW]\r\nModem1=SMPP - a:1\r\nModem3=COM4\r\n");
    EXPECT_EQ(links::link_name_at(0), "SDKLINK - VirtualSMSC");
    EXPECT_EQ(links::link_name_at(1), "SMPP - a:1");
    EXPECT_EQ(links::link_name_at(2), "");
    EXPECT_EQ(links::link_name_at(3), "COM4");
}

// --- link status file -------------------------------------------------------------------

TEST_F(LinkConfigTest, StatusFileLifecycle) {
    const std::string link = "SMPP - smsc:2775";
    const std::string path = private_dir() + "SMPP - smsc-2775.ERR";
    EXPECT_EQ(links::link_status_path(link), path);
    EXPECT_EQ(links::link_status_path("a/b\\c:d"), private_dir() + "a-b-c-d.ERR");
    EXPECT_FALSE(links::link_is_failing(link));

    links::write_link_status(link, "SMPP Failure -- General Socket Error");
    EXPECT_EQ(read_all(path), "SMPP Failure -- General Socket Error");
    EXPECT_TRUE(links::link_is_failing(link));

    // A later failure replaces the text.
    links::write_link_status(link, "SMPP Failure -- Unable to connect to SMPP server at smsc:2775");
    EXPECT_EQ(read_all(path), "SMPP Failure -- Unable to connect to SMPP server at smsc:2775");

    // An empty file does not count as failing.
    links::write_link_status(link, "");
    EXPECT_TRUE(platform::file_exists(path));
    EXPECT_FALSE(links::link_is_failing(link));

    links::write_link_status(link, "x");
    links::clear_link_status(link);
    EXPECT_FALSE(platform::file_exists(path));
    EXPECT_FALSE(links::link_is_failing(link));
    links::clear_link_status(link);  // nothing to remove is fine
    EXPECT_FALSE(platform::file_exists(path));
}

TEST_F(LinkConfigTest, StatusFileNameCannotLeaveThePrivateDirectory) {
    links::write_link_status("../../etc/x", "t");
    EXPECT_EQ(read_all(private_dir() + "..-..-etc-x.ERR"), "t");
}

// --- quiet hours ----------------------------------------------------------------------------

TEST(LinkConfigQuietHours, QuietAtTable) {
    struct Case {
        unsigned start, end;
        std::vector<unsigned> quiet;  // every quiet hour of the day
    };
    const Case cases[] = {
        {22, 6, {0, 1, 2, 3, 4, 5, 22, 23}},
        {0, 0, {}},
        {8, 17, {8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {0, 3, {0, 1, 2}},
        {21, 0, {21, 22, 23}},
        {23, 1, {0, 23}},
        {5, 5, {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}},
    };
    for (const Case& c : cases) {
        links::QuietHours q{c.start, c.end};
        for (unsigned h = 0; h < 24; ++h) {
            bool expected = std::find(c.quiet.begin(), c.quiet.end(), h) != c.quiet.end();
            EXPECT_EQ(q.quiet_at(h), expected) << c.start << "-" << c.end << " at " << h;
        }
    }
}

TEST_F(LinkConfigTest, QuietHoursByDayOfWeek) {
    write_ini(
        "[SMSGW]\r\nQuietHourStart=1\r\nQuietHourEnd=2\r\nQuietHourDay7Start=9\r\n"
        "QuietHourDay7End=10\r\n"
        "[SMPP - a:1]\r\nQuietHourDay1Start=22\r\nQuietHourDay1End=6\r\n"
        "QuietHourDay2Start=0\r\nQuietHourDay2End=0\r\nQuietHourStart=8\r\nQuietHourEnd=17\r\n"
        "[SMPP - b:1]\r\n");
    struct Case {
        const char* section;
        unsigned dow;
        unsigned start, end;
    };
    const Case cases[] = {
        {"SMPP - a:1", 0, 22, 6},  // Sunday: Day1 of the link
        {"SMPP - a:1", 1, 0, 0},   // Monday: Day2 written as 0-0 means none that day
        {"SMPP - a:1", 2, 8, 17},  // Tuesday: the link's general hours
        {"SMPP - a:1", 6, 9, 10},  // Saturday: Day7 of [SMSGW]
        {"SMPP - b:1", 3, 1, 2},   // [SMSGW] general hours
        {"SMPP - b:1", 6, 9, 10}, {"SMPP - b:1", 13, 9, 10},  // day numbers wrap at a week
    };
    for (const Case& c : cases) {
        links::QuietHours q = links::read_quiet_hours(c.section, c.dow);
        EXPECT_EQ(q.start, c.start) << c.section << " day " << c.dow;
        EXPECT_EQ(q.end, c.end) << c.section << " day " << c.dow;
    }
}

// --- credit ----------------------------------------------------------------------------

TEST_F(LinkConfigTest, CreditLimits) {
    const std::string link = "SMPP - credit:1";
    set_now(2024, 3, 2);
    records::add_link_counter(link, records::LinkCounter::Sent, 3);
    set_now(2024, 3, 5);
    records::add_link_counter(link, records::LinkCounter::Sent, 2);
    // Counts of other kinds and links are no credit use.
    records::add_link_counter(link, records::LinkCounter::Failed, 50);
    records::add_link_counter("SMPP - other:1", records::LinkCounter::Sent, 50);

    struct Case {
        links::CreditLimits limits;
        const char* text;  // nullptr: within the limits
    };
    const Case cases[] = {
        {{0, 0, 1}, nullptr},
        {{2, 0, 1}, "Credit Exceeded -- Daily Limit is 2, sent 2"},
        {{1, 0, 1}, "Credit Exceeded -- Daily Limit is 1, sent 2"},
        {{3, 0, 1}, nullptr},
        {{0, 5, 1}, "Credit Exceeded -- Monthly Limit is 5, sent 5"},
        {{0, 6, 1}, nullptr},
        {{0, 5, 3}, nullptr},  // the period starting on the 3rd holds only today's 2
        {{0, 2, 3}, "Credit Exceeded -- Monthly Limit is 2, sent 2"},
        {{0, 4, 0}, "Credit Exceeded -- Monthly Limit is 4, sent 5"},  // reset day 0 acts as 1
        {{2, 4, 1}, "Credit Exceeded -- Daily Limit is 2, sent 2"},    // daily checked first
        {{3, 4, 1}, "Credit Exceeded -- Monthly Limit is 4, sent 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.limits.day << "/" << c.limits.month << "/" << c.limits.reset_day);
        std::optional<std::string> t = links::credit_exceeded(link, c.limits);
        if (c.text) {
            ASSERT_TRUE(t.has_value());
            EXPECT_EQ(*t, c.text);
        } else {
            EXPECT_FALSE(t.has_value()) << *t;
        }
    }
}

// --- send limit --------------------------------------------------------------------------

TEST(LinkConfigSendLimit, Table) {
    struct Case {
        const char* text;
        uint32_t ms;
    };
    const Case cases[] = {
        {"10", 100},
        {"1/60", 60000},
        {"3/2", 666},
        {"3 /2", 666},
        {"3 / 2", 666},
        {" 3/2 ", 666},
        {"1", 1000},
        {"1000", 1},
        {"3000", 0},
        {"", 0},
        {"x", 0},
        {"0", 0},
        {"0/5", 0},
        {"/5", 0},
        {"5/", 200},
        {"5/0", 200},
        {"5/x", 200},
        {"7abc", 142},
        {"-5", 0},
        {"1/4294967295", 4294967295u},
        {"1/99999999999", 4294967295u},
        {"99999999999", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(links::parse_send_limit_ms(c.text), c.ms) << c.text;
}

// --- error codes ------------------------------------------------------------------------------

TEST(LinkConfigErrorCodes, ParseTable) {
    struct Case {
        const char* text;
        bool hex;
        bool all;
        std::vector<int64_t> codes;
    };
    const Case cases[] = {
        {"0x0045, 58", true, false, {0x45, 0x58}},
        {"0X0a;0B ; 66", true, false, {0x0A, 0x0B, 0x66}},
        {" all ", true, true, {}},
        {"ALL, 0x45", true, true, {0x45}},
        {"1;2 , 3", false, false, {1, 2, 3}},
        {"007, -1", false, false, {7, -1}},
        {"zz, 0x, 12, 1g, 0x-1", true, false, {0x12}},
        {"12a, 0x12, 5", false, false, {5}},
        {"5,5;0x5", true, false, {5}},
        {"0xFFFFFFFF, 0x100000000", true, false, {0xFFFFFFFFLL}},
        {"4294967295, 99999999999999999999999", false, false, {4294967295LL}},
        {"", true, false, {}},
        {",,; ;", false, false, {}},
        {"Allx", false, false, {}},
    };
    for (const Case& c : cases) {
        links::ErrorCodeList l = links::parse_error_codes(c.text, c.hex);
        EXPECT_EQ(l.all, c.all) << c.text;
        EXPECT_EQ(l.codes, c.codes) << c.text;
    }
}

TEST(LinkConfigErrorCodes, ModemRejectItems) {
    EXPECT_EQ(links::parse_modem_reject_codes(" +CMS ERROR: 38 ;ERROR 500,,  "),
              (std::vector<std::string>{"+CMS ERROR: 38", "ERROR 500"}));
    EXPECT_TRUE(links::parse_modem_reject_codes(" ; , ").empty());
}

TEST(LinkConfigClassify, SmppTable) {
    struct Case {
        const char* reject;
        const char* qfull;
        int64_t status;
        ErrorClass cls;
    };
    const Case cases[] = {
        {"", "", 0x45, ErrorClass::Retryable},
        {"0x0045, 58", "", 0x45, ErrorClass::Reject},
        {"0x0045, 58", "", 0x58, ErrorClass::Reject},  // listed explicitly: rejected
        {"0x0045, 58", "", 0x46, ErrorClass::Retryable},
        {"All", "", 0x45, ErrorClass::Reject},
        {"all", "", 0x0B, ErrorClass::Reject},
        {"All", "", 0x58, ErrorClass::AlwaysRetry},
        {"All", "", 0x14, ErrorClass::AlwaysRetry},
        {"All", "", -1, ErrorClass::Retryable},
        {"All", "", -2, ErrorClass::Retryable},
        {"All", "", -3, ErrorClass::Retryable},
        {"All", "", -4, ErrorClass::Reject},
        {"", "", 0x58, ErrorClass::AlwaysRetry},
        {"", "", 0x14, ErrorClass::AlwaysRetry},
        {"", "0x45", 0x45, ErrorClass::AlwaysRetry},
        {"", "0x45", 0x0A, ErrorClass::Final},
        {"", "0x0B", 0x0B, ErrorClass::AlwaysRetry},  // queue-full list before the final statuses
        {"", "", 0x0A, ErrorClass::Final},
        {"", "", 0x0B, ErrorClass::Final},
        {"", "", 0x66, ErrorClass::Final},
        {"", "", 0x67, ErrorClass::Retryable},
        {"", "", -1, ErrorClass::Retryable},
        {"0x14", "", 0x14, ErrorClass::Reject},
    };
    for (const Case& c : cases) {
        links::ErrorCodeList reject = links::parse_error_codes(c.reject, true);
        links::ErrorCodeList qfull = links::parse_error_codes(c.qfull, true);
        EXPECT_EQ(links::classify_smpp(c.status, reject, qfull), c.cls)
            << "reject \"" << c.reject << "\" qfull \"" << c.qfull << "\" status " << c.status;
    }
}

TEST(LinkConfigClassify, SmppQueueFull) {
    links::ErrorCodeList none;
    links::ErrorCodeList qfull = links::parse_error_codes("0x45", true);
    EXPECT_TRUE(links::smpp_queue_full(0x14, none));
    EXPECT_FALSE(links::smpp_queue_full(0x58, none));
    EXPECT_FALSE(links::smpp_queue_full(0x45, none));
    EXPECT_TRUE(links::smpp_queue_full(0x45, qfull));
    EXPECT_FALSE(links::smpp_queue_full(-1, links::parse_error_codes("All", true)));
}

TEST(LinkConfigClassify, UcpCimdTable) {
    struct Case {
        const char* reject;
        int64_t code;
        ErrorClass cls;
    };
    const Case cases[] = {
        {"", 2, ErrorClass::Retryable},         {"2; 24", 24, ErrorClass::Reject},
        {"2; 24", 0x24, ErrorClass::Retryable},  // decimal, not hexadecimal
        {"All", 1, ErrorClass::Reject},         {"All", 999, ErrorClass::Reject},
        {"All", 0x58, ErrorClass::Reject},      {"All", -1, ErrorClass::Retryable},
        {"All", -2, ErrorClass::Retryable},     {"All", -3, ErrorClass::Retryable},
        {"-1", -1, ErrorClass::Reject},
    };
    for (const Case& c : cases) {
        links::ErrorCodeList reject = links::parse_error_codes(c.reject, false);
        EXPECT_EQ(links::classify_ucp_cimd(c.code, reject), c.cls)
            << "\"" << c.reject << "\" code " << c.code;
    }
}

TEST(LinkConfigClassify, ModemTable) {
    std::vector<std::string> reject = links::parse_modem_reject_codes("+cms error: 38;Error 500");
    EXPECT_EQ(links::classify_modem("\r\n+CMS ERROR: 38\r\n", reject), ErrorClass::Reject);
    EXPECT_EQ(links::classify_modem("xx error 5000 yy", reject), ErrorClass::Reject);
    EXPECT_EQ(links::classify_modem("+CMS ERROR: 3", reject), ErrorClass::Retryable);
    EXPECT_EQ(links::classify_modem("", reject), ErrorClass::Retryable);
    EXPECT_EQ(links::classify_modem("ERROR", {}), ErrorClass::Retryable);
    // An empty item matches nothing.
    EXPECT_EQ(links::classify_modem("ERROR", {""}), ErrorClass::Retryable);
}

// --- load_link_settings ----------------------------------------------------------------------

// [SMPPOptions] comes with the settings of SMPP links only.
TEST_F(LinkConfigTest, SmppOptionDefinitionsComeWithTheSettings) {
    write_ini(
        "[SMSGW]\r\nModem1=SMPP - smsc:2775\r\n[SMPPOptions]\r\nBillingCode=0x1403,String,20\r\n"
        "Tariff=0x1404,Int,2\r\n");
    using Defs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(links::load_link_settings("SMPP - smsc:2775", 2).smpp_option_defs,
              (Defs{{"BillingCode", "0x1403,String,20"}, {"Tariff", "0x1404,Int,2"}}));
    EXPECT_TRUE(links::load_link_settings("UCP - smsc:5000", 2).smpp_option_defs.empty());
}

// Certificate checks of TLS links are off unless asked for; changing them
// needs a new session.
TEST_F(LinkConfigTest, SslVerificationKeys) {
    write_ini(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\n[SMPP - b:1]\r\n"
        "SSLVerifyPeer=Yes\r\nSSLCAFile= /etc/smsc-ca.pem \r\nSSLVerifyHost=smsc.example\r\n");
    links::LinkSettings a = links::load_link_settings("SMPP - a:1", 2);
    links::LinkSettings b = links::load_link_settings("SMPP - b:1", 2);
    EXPECT_FALSE(a.ssl_verify_peer);
    EXPECT_EQ(a.ssl_ca_file, "");
    EXPECT_TRUE(b.ssl_verify_peer);
    EXPECT_EQ(b.ssl_ca_file, "/etc/smsc-ca.pem");
    EXPECT_EQ(b.ssl_verify_host, "smsc.example");
    links::LinkSettings c = a;
    for (auto change : {+[](links::LinkSettings& x) { x.ssl_verify_peer = true; },
                        +[](links::LinkSettings& x) { x.ssl_ca_file = "ca.pem"; },
                        +[](links::LinkSettings& x) { x.ssl_verify_host = "h"; }}) {
        c = a;
        change(c);
        EXPECT_TRUE(a.needs_reconnect(c));
    }
}

TEST_F(LinkConfigTest, SmppSettingsFromIni) {
    write_ini(
        "[SMSGW]\r\nModem1=SMPP - smsc:2775\r\nSMPPRejectErrorCodes=0x0045, 58\r\n"
        "SMPPThrottleErrorDelay=7\r\nRetryMaxAttempts=3\r\nSenderAddress=999\r\n"
        "TCPNoDelay=No\r\nSMPPNoDelay=Yes\r\nAsyncCallbackThreads=4\r\n"
        "[SMPP - smsc:2775]\r\n"
        "RouteName=Main\r\nBackupForRoute=Modem - COM1\r\nSenderAddress= 123 , 456,,\r\n"
        "SenderAddressOverride=No\r\nOutRecipPrefixConvert=0=44\r\n"
        "DisableDeliveryReceipt=Yes\r\nBlockDeliveryReceipt=1\r\nDeliveryReportEnroute=On\r\n"
        "CreditLimitDay=100\r\nCreditLimitMonth=2000\r\nCreditLimitResetDay=15\r\n"
        "QuietHourDay3Start=22\r\nQuietHourDay3End=6\r\nSMSCSendLimit=3 /2\r\n"
        "ReRouteOnError=Backup\r\nUserName=" +
        std::string(200, 'u') +
        "\r\nPassword=secret\r\nSystemType=VMA\r\nAddressRange=^44\r\nBindIP=10.1.1.1\r\n"
        "SenderPort=5000:2776\r\nReceiverPort=6000\r\nTransmitterCount=0\r\nReceiverCount=0\r\n"
        "CommandTimeout=30\r\nWindowSize=10\r\nUseSSL=Yes\r\nUseTLV=Yes\r\nWDPAdaptation=Yes\r\n"
        "SMPPVersion=V3.3\r\nThrottleForQFull=Yes\r\nRestartQAfterThrottleError=Yes\r\n"
        "Validity=0001000000000000R\r\nSMPPCharset=Latin1\r\nSMPPQFullErrorCodes=0x45\r\n"
        "UCPRejectErrorCodes=1\r\nModemRejectErrorCodes=ERROR\r\n");
    links::LinkSettings s = links::load_link_settings("SMPP - smsc:2775", 2);
    EXPECT_EQ(s.name, "SMPP - smsc:2775");
    EXPECT_EQ(s.section, "SMPP - smsc:2775");
    EXPECT_EQ(s.address.kind, links::LinkKind::Smpp);
    EXPECT_EQ(s.address.host, "smsc");
    EXPECT_EQ(s.address.port, 2775u);
    EXPECT_EQ(s.route_name, "Main");
    EXPECT_EQ(s.backup_for, "COM1");
    EXPECT_EQ(s.sender_addresses, (std::vector<std::string>{"123", "456"}));
    EXPECT_FALSE(s.sender_address_override);
    EXPECT_EQ(s.out_recip_prefix_convert, "0=44");
    EXPECT_EQ(s.out_sender_prefix_convert, "");
    EXPECT_TRUE(s.block_receipt_request);
    EXPECT_TRUE(s.block_receipt);
    EXPECT_TRUE(s.delivery_report_enroute);
    EXPECT_EQ(s.credit.day, 100u);
    EXPECT_EQ(s.credit.month, 2000u);
    EXPECT_EQ(s.credit.reset_day, 15u);
    EXPECT_EQ(s.quiet.start, 22u);
    EXPECT_EQ(s.quiet.end, 6u);
    EXPECT_EQ(s.send_limit_text, "3 /2");
    EXPECT_EQ(s.send_limit_ms, 666u);
    EXPECT_EQ(s.retry.max_attempts, 3u);
    EXPECT_EQ(s.reroute_on_error, "Backup");
    EXPECT_EQ(s.user_name, std::string(150, 'u'));
    EXPECT_EQ(s.password, "secret");
    EXPECT_EQ(s.system_type, "VMA");
    EXPECT_EQ(s.address_range, "^44");
    EXPECT_EQ(s.bind_ip, "10.1.1.1");
    EXPECT_EQ(s.sender_local_port, 5000u);
    EXPECT_EQ(s.sender_remote_port, 2776u);
    EXPECT_EQ(s.receiver_local_port, 6000u);
    EXPECT_EQ(s.receiver_remote_port, 0u);
    EXPECT_EQ(s.transmitter_count, 1u);
    EXPECT_EQ(s.receiver_count, 1u);
    EXPECT_EQ(s.keep_alive_s, 58u);
    EXPECT_EQ(s.command_timeout_s, 30u);
    EXPECT_EQ(s.window_size, 10u);
    EXPECT_TRUE(s.use_ssl);
    EXPECT_TRUE(s.use_tlv);
    EXPECT_TRUE(s.wdp_adaptation);
    EXPECT_EQ(s.interface_version, 0x33);
    EXPECT_EQ(s.throttle_error_delay_s, 7u);
    EXPECT_TRUE(s.throttle_for_qfull);
    EXPECT_TRUE(s.restart_q_after_throttle_error);
    EXPECT_EQ(s.validity, "0001000000000000R");
    EXPECT_EQ(s.smpp_charset, "Latin1");
    EXPECT_FALSE(s.reject_codes.all);
    EXPECT_EQ(s.reject_codes.codes, (std::vector<int64_t>{0x45, 0x58}));
    EXPECT_EQ(s.qfull_codes.codes, (std::vector<int64_t>{0x45}));
    EXPECT_TRUE(s.modem_reject_codes.empty());  // not a modem link
    EXPECT_FALSE(s.tcp_no_delay);
    EXPECT_TRUE(s.smpp_no_delay);
    EXPECT_EQ(s.async_callback_threads, 4u);
}

TEST_F(LinkConfigTest, DefaultsOfAnEmptyLink) {
    write_ini("[SMSGW]\r\n");
    links::LinkSettings s = links::load_link_settings("SMPP - bare:1", 0);
    EXPECT_EQ(s.route_name, "SMPP - bare:1");
    EXPECT_EQ(s.backup_for, "");
    EXPECT_TRUE(s.sender_addresses.empty());
    EXPECT_TRUE(s.sender_address_override);
    EXPECT_FALSE(s.block_receipt_request);
    EXPECT_EQ(s.credit.day, 0u);
    EXPECT_EQ(s.credit.month, 0u);
    EXPECT_EQ(s.credit.reset_day, 1u);
    EXPECT_EQ(s.quiet.start, 0u);
    EXPECT_EQ(s.quiet.end, 0u);
    EXPECT_EQ(s.send_limit_ms, 0u);
    EXPECT_EQ(s.retry.max_attempts, 20u);
    EXPECT_EQ(s.retry.max_age_minutes, 1440u);
    EXPECT_EQ(s.transmitter_count, 1u);
    EXPECT_EQ(s.receiver_count, 1u);
    EXPECT_EQ(s.keep_alive_s, 58u);
    EXPECT_EQ(s.command_timeout_s, 120u);
    EXPECT_EQ(s.window_size, 0u);
    EXPECT_EQ(s.interface_version, 0x34);
    EXPECT_EQ(s.throttle_error_delay_s, 5u);
    EXPECT_EQ(s.sender_local_port, 0u);
    EXPECT_EQ(s.sender_remote_port, 0u);
    EXPECT_FALSE(s.reject_codes.all);
    EXPECT_TRUE(s.reject_codes.codes.empty());
    EXPECT_TRUE(s.tcp_no_delay);
    EXPECT_FALSE(s.smpp_no_delay);
    EXPECT_EQ(s.async_callback_threads, 1u);

    // HTTP links keep a message's sender only when told so.
    EXPECT_FALSE(links::load_link_settings("HTTP - web:80", 0).sender_address_override);
}

TEST_F(LinkConfigTest, KeepAliveTable) {
    struct Case {
        const char* link;
        const char* link_line;   // line in the link section, or ""
        const char* smsgw_line;  // line in [SMSGW], or ""
        unsigned keep_alive;
    };
    const Case cases[] = {
        {"SMPP - k:1", "", "", 58},
        {"SMPP - k:1", "KeepAlive=0", "", 0},
        {"SMPP - k:1", "KeepAlive=30", "", 30},
        {"SMPP - k:1", "KeepAlive=", "", 58},  // empty is not written
        {"SMPP - k:1", "", "KeepAlive=0", 0},
        {"SMPP - k:1", "", "KeepAlive=40", 40},
        {"SMPP - k:1", "KeepAlive=30", "KeepAlive=40", 30},
        {"UCP - k:1", "", "", 0},
        {"UCP - k:1", "KeepAlive=0", "", 0},
        {"UCP - k:1", "KeepAlive=30", "", 30},
        {"CIMD - k:1", "", "", 0},
        {"CIMD - k:1", "KeepAlive=30", "", 30},
        {"COM1", "KeepAlive=30", "", 0},  // modems have no enquire-link
    };
    for (const Case& c : cases) {
        std::string section = frame::link_section_name(c.link);
        write_ini("[SMSGW]\r\n" + std::string(c.smsgw_line) + "\r\n[" + section + "]\r\n" +
                  c.link_line + "\r\n");
        EXPECT_EQ(links::load_link_settings(c.link, 0).keep_alive_s, c.keep_alive)
            << c.link << " / " << c.link_line << " / " << c.smsgw_line;
    }
}

TEST_F(LinkConfigTest, ConnectionCountsAndPorts) {
    struct Case {
        const char* tx;
        const char* rx;
        unsigned want_tx, want_rx;
    };
    const Case cases[] = {
        {"", "", 1, 1},   {"0", "0", 1, 1}, {"x", "3", 1, 3},   {"0", "2", 0, 2},
        {"2", "0", 2, 0}, {"4", "", 4, 1},  {"-1", "-1", 1, 1},
    };
    for (const Case& c : cases) {
        write_ini(std::string("[SMPP - c:1]\r\nTransmitterCount=") + c.tx +
                  "\r\nReceiverCount=" + c.rx + "\r\n");
        links::LinkSettings s = links::load_link_settings("SMPP - c:1", 0);
        EXPECT_EQ(s.transmitter_count, c.want_tx) << c.tx << "/" << c.rx;
        EXPECT_EQ(s.receiver_count, c.want_rx) << c.tx << "/" << c.rx;
    }

    struct PortCase {
        const char* text;
        unsigned local, remote;
    };
    const PortCase ports[] = {
        {"5000:2776", 5000, 2776}, {"5000", 5000, 0},
        {":2776", 0, 2776},        {"x:y", 0, 0},
        {"70000:1", 0, 1},         {" 5000 : 2776 ", 5000, 2776},
    };
    for (const PortCase& p : ports) {
        write_ini(std::string("[SMPP - c:1]\r\nSenderPort=") + p.text +
                  "\r\nReceiverPort=" + p.text + "\r\n");
        links::LinkSettings s = links::load_link_settings("SMPP - c:1", 0);
        EXPECT_EQ(s.sender_local_port, p.local) << p.text;
        EXPECT_EQ(s.sender_remote_port, p.remote) << p.text;
        EXPECT_EQ(s.receiver_local_port, p.local) << p.text;
        EXPECT_EQ(s.receiver_remote_port, p.remote) << p.text;
    }
}

TEST_F(LinkConfigTest, RejectListsFollowTheLinkKind) {
    write_ini(
        "[SMSGW]\r\nSMPPRejectErrorCodes=All\r\nUCPRejectErrorCodes=24\r\n"
        "CIMDRejectErrorCodes=All\r\nModemRejectErrorCodes=+CMS ERROR: 38\r\n"
        "SMPPQFullErrorCodes=0x45\r\n"
        "[UCP - u:1]\r\nUCPRejectErrorCodes=1;2\r\nLocalPort=3000\r\nReceivePort=4000\r\n"
        "Receive=Yes\r\n"
        "[CIMD - c:1]\r\n"
        "[Modem - COM1]\r\n"
        "[IPModem - m:23]\r\nModemRejectErrorCodes=ERROR 500\r\n"
        "[SMPP - s:1]\r\nSMPPVersion=3.3\r\n");
    links::LinkSettings ucp = links::load_link_settings("UCP - u:1", 0);
    EXPECT_EQ(ucp.reject_codes.codes, (std::vector<int64_t>{1, 2}));
    EXPECT_FALSE(ucp.reject_codes.all);
    EXPECT_TRUE(ucp.qfull_codes.codes.empty());
    EXPECT_EQ(ucp.local_port, 3000u);
    EXPECT_EQ(ucp.receive_port, 4000u);
    EXPECT_TRUE(ucp.receive);

    links::LinkSettings cimd = links::load_link_settings("CIMD - c:1", 0);
    EXPECT_TRUE(cimd.reject_codes.all);

    links::LinkSettings modem = links::load_link_settings("COM1", 0);
    EXPECT_EQ(modem.section, "Modem - COM1");
    EXPECT_EQ(modem.modem_reject_codes, (std::vector<std::string>{"+CMS ERROR: 38"}));
    EXPECT_TRUE(modem.reject_codes.codes.empty());
    EXPECT_FALSE(modem.reject_codes.all);

    links::LinkSettings ip = links::load_link_settings("IPModem - m:23", 0);
    EXPECT_EQ(ip.modem_reject_codes, (std::vector<std::string>{"ERROR 500"}));

    links::LinkSettings smpp = links::load_link_settings("SMPP - s:1", 0);
    EXPECT_TRUE(smpp.reject_codes.all);
    EXPECT_EQ(smpp.qfull_codes.codes, (std::vector<int64_t>{0x45}));
    EXPECT_EQ(smpp.interface_version, 0x34);  // only "v3.3" selects 3.3
}

TEST_F(LinkConfigTest, IdentityKeysDoNotFallBackToTheGlobalSection) {
    write_ini(
        "[SMSGW]\r\nRouteName=Everyone\r\nBackupForRoute=Primary\r\nReRouteOnError=Else\r\n"
        "SMPPThrottleErrorDelay=9\r\n[SMPP - i:1]\r\nSMPPThrottleErrorDelay=0\r\n");
    links::LinkSettings s = links::load_link_settings("SMPP - i:1", 0);
    EXPECT_EQ(s.route_name, "SMPP - i:1");
    EXPECT_EQ(s.backup_for, "");
    EXPECT_EQ(s.reroute_on_error, "");
    EXPECT_EQ(s.throttle_error_delay_s, 0u);  // written 0 in the link section
}

// --- needs_reconnect ------------------------------------------------------------------------

TEST_F(LinkConfigTest, NeedsReconnectOnlyForSessionSettings) {
    const std::string base =
        "[SMSGW]\r\n[SMPP - r:1]\r\nPassword=a\r\nKeepAlive=30\r\nSMSCSendLimit=10\r\n"
        "CreditLimitDay=5\r\nQuietHourStart=1\r\nQuietHourEnd=2\r\nRetryMaxAttempts=3\r\n"
        "SMPPRejectErrorCodes=0x45\r\n";
    write_ini(base);
    const links::LinkSettings old = links::load_link_settings("SMPP - r:1", 0);
    EXPECT_FALSE(old.needs_reconnect(old));

    // Each case rewrites the file with one key changed or added.
    struct Edit {
        const char* from;
        const char* to;
        bool reconnect;
    };
    const Edit edits[] = {
        {"SMSCSendLimit=10", "SMSCSendLimit=1/60", false},
        {"CreditLimitDay=5", "CreditLimitDay=50", false},
        {"QuietHourStart=1", "QuietHourStart=3", false},
        {"RetryMaxAttempts=3", "RetryMaxAttempts=9", false},
        {"Password=a", "Password=b", true},
        {"KeepAlive=30", "KeepAlive=0", true},
        {"SMPPRejectErrorCodes=0x45", "SMPPRejectErrorCodes=0x45,0x46", true},
        {"SMPPRejectErrorCodes=0x45", "SMPPRejectErrorCodes=All", true},
        {"Password=a", "Password=a\r\nSenderPort=5000:2776", true},
        {"Password=a", "Password=a\r\nRouteName=Other", true},
        {"Password=a", "Password=a\r\nReceiverCount=2", true},
        {"Password=a", "Password=a\r\nUseSSL=Yes", true},
        {"Password=a", "Password=a\r\nSenderAddress=123", true},
        // The [SMSGW] connection keys apply from the next connection.
        {"[SMSGW]\r\n", "[SMSGW]\r\nAsyncCallbackThreads=4\r\nSMPPNoDelay=Yes\r\n", false},
    };
    for (const Edit& e : edits) {
        std::string text = base;
        size_t at = text.find(e.from);
        ASSERT_NE(at, std::string::npos) << e.from;
        text.replace(at, std::string(e.from).size(), e.to);
        write_ini(text);
        links::LinkSettings fresh = links::load_link_settings("SMPP - r:1", 0);
        EXPECT_EQ(old.needs_reconnect(fresh), e.reconnect) << e.to;
    }

    // A different day of the week changes only the quiet hours.
    write_ini(base);
    links::LinkSettings other_day = links::load_link_settings("SMPP - r:1", 5);
    EXPECT_FALSE(old.needs_reconnect(other_day));
    links::LinkSettings moved = old;
    moved.address.port = 2776;
    EXPECT_TRUE(old.needs_reconnect(moved));
}

}  // namespace
