// The inbound store writer and the receive callback body: exact records, the
// file kind chosen, prefix rewriting, option filtering, counters, events,
// the inbound log and refusal when nothing could be stored.
#include "inbound/inbound_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "frame/debug_trace.h"
#include "inbound/inbound_fixture.h"
#include "store/request_file.h"

using inbound::InboundMessage;
using inbound_test::extension_of;
using inbound_test::InboundTest;
using inbound_test::slurp;

namespace {

constexpr const char* kLink = "SMPP - Alpha";

// The extra fields as the positional callbacks gave them.
protocols::common::Options opts(std::string_view text) {
    return protocols::common::parse_option_text(text);
}

InboundMessage text_message() {
    InboundMessage m;
    m.link_name = kLink;
    m.sender = "+447700900001";
    m.recipient = "12345";
    m.data = "Hello";
    return m;
}

}  // namespace

TEST_F(InboundTest, InboundStoreWritesExactRecords) {
    struct Case {
        const char* name;
        InboundMessage m;
        const char* ext;
        std::string content;
    };
    Case cases[] = {
        {"text", text_message(), ".in",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "Data=Hello\r\n"},
        {"binary with header and time stamp",
         [] {
             InboundMessage m = text_message();
             m.udh = "0605040B8423F0";
             m.data = "C0FFEE";
             m.pid = 0x41;
             m.dcs = 0xF5;
             m.binary = true;
             m.flags = 0x02 | 0x40;
             m.scts = "20240305123456";
             m.options = opts("ServiceType=WAP; ReceivedSMSC=+447785016005");
             return m;
         }(),
         ".in",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "UDH=0605040B8423F0\r\npid=41\r\ndcs=F5\r\nSCTS=20240305123456\r\nData=C0FFEE\r\n"
         "Binary=1\r\nReceiptRequested=Yes\r\nNonDelReceiptRequested=Yes\r\nServiceType=WAP\r\n"
         "ReceivedSMSC=+447785016005\r\n"},
        {"unicode text",
         [] {
             InboundMessage m = text_message();
             m.dcs = 8;
             m.data =
                 "Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC \xF0\x9F\x98\x80";
             m.recipient.clear();  // unknown recipient: no PhoneNumber line
             return m;
         }(),
         ".in",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\ndcs=8\r\n"
         "Data=Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80\r\n"},
        {"matched receipt",
         [] {
             InboundMessage m = text_message();
             m.flags = 0x0C;
             m.receipt_message_id = "4F00A1B2";
             m.data = "id:4F00A1B2 sub:001 dlvrd:001 stat:DELIVRD";
             m.options = opts("RouteToLocalUser=alice");
             m.service_type = "CMT";  // the argument wins over the extra field
             return m;
         }(),
         ".rec",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "Data=id:4F00A1B2 sub:001 dlvrd:001 stat:DELIVRD\r\nReceiptDelivered=Yes\r\n"
         "ReceiptMessageId=4F00A1B2\r\nServiceType=CMT\r\nRouteToLocalUser=alice\r\n"},
        {"receipt to resolve",
         [] {
             InboundMessage m = text_message();
             m.flags = 0x24;
             m.receipt_message_id = "smsc-77";
             m.data = "id:smsc-77 stat:UNDELIV";
             m.options = opts("ServiceType=X; ResolveReceiptID=Yes");
             return m;
         }(),
         ".rct",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "Data=id:smsc-77 stat:UNDELIV\r\nReceiptFailed=Yes\r\nReceiptMessageId=smsc-77\r\n"
         "ServiceType=X\r\n"},
        {"interim receipt, resolve says no",
         [] {
             InboundMessage m = text_message();
             m.flags = 0x14;
             m.receipt_message_id = "R1";
             m.data = "id:R1 stat:ENROUTE";
             m.options = opts("ResolveReceiptID=No");
             return m;
         }(),
         ".rec",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "Data=id:R1 stat:ENROUTE\r\nReceiptIntransit=Yes\r\nReceiptMessageId=R1\r\n"},
        {"receipt without an id",
         [] {
             InboundMessage m = text_message();
             m.flags = 0x0C;
             m.data = "delivered";
             return m;
         }(),
         ".in",
         "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nSender=+447700900001\r\nPhoneNumber=12345\r\n"
         "Data=delivered\r\nReceiptDelivered=Yes\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = inbound::store_inbound_message(c.m);
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(path.rfind(inbound_dir(), 0), 0u) << path;
        EXPECT_EQ(extension_of(path), c.ext);
        EXPECT_EQ(slurp(path), c.content);
        std::filesystem::remove(path);
    }
}

TEST_F(InboundTest, InboundStoreRecordsLoadBackUnchanged) {
    InboundMessage m = text_message();
    m.data = "two\r\nlines\nand a\ttab";
    m.flags = 0x24;
    m.receipt_message_id = "ID-9";
    m.options = opts("ServiceType=S1; RouteToLocalUser=bob; ReceivedSMSC=+44123");
    m.pid = 0x7F;
    m.dcs = 0x11;
    m.udh = "050003010201";
    m.scts = "20240305010203";
    std::string path = inbound::store_inbound_message(m);
    ASSERT_FALSE(path.empty());
    store::SmsMessage got;
    store::parse_sms_message(slurp(path), got);
    EXPECT_EQ(got.link_name, kLink);
    EXPECT_EQ(got.sender, m.sender);
    EXPECT_EQ(got.phone_number, m.recipient);
    EXPECT_EQ(got.data, "two\r\nlines\nand a tab");  // a tab would end the line
    EXPECT_EQ(got.flags, 0x24u);
    EXPECT_EQ(got.receipt_message_id, "ID-9");
    EXPECT_EQ(got.service_type, "S1");
    EXPECT_EQ(got.local_user_route, "bob");
    EXPECT_EQ(got.received_smsc, "+44123");
    EXPECT_EQ(got.pid, 0x7F);
    EXPECT_EQ(got.dcs, 0x11);
    EXPECT_EQ(got.udh, "050003010201");
    EXPECT_EQ(got.scts, "20240305010203");
    EXPECT_FALSE(got.binary);
}

TEST_F(InboundTest, InboundStoreControlCharactersCannotForgeKeys) {
    InboundMessage m = text_message();
    m.sender = "evil\r\nRouteToLocalUser=mallory";
    m.recipient = std::string(
        "12\0"
        "34",
        5);
    m.options = opts("ReceivedSMSC=x\nSMSCRoute=other");
    m.data = "[SMS]\r\nPhoneNumber=999";
    std::string path = inbound::store_inbound_message(m);
    ASSERT_FALSE(path.empty());
    store::SmsMessage got;
    store::parse_sms_message(slurp(path), got);
    EXPECT_EQ(got.sender, "evil  RouteToLocalUser=mallory");
    EXPECT_EQ(got.local_user_route, "");
    EXPECT_EQ(got.phone_number, "12 34");
    EXPECT_EQ(got.received_smsc, "x SMSCRoute=other");
    EXPECT_EQ(got.route, "");
    EXPECT_EQ(got.data, "[SMS]\r\nPhoneNumber=999");
}

TEST_F(InboundTest, InboundStorePrefixConversions) {
    struct Case {
        const char* sender_rule;
        const char* recip_rule;
        const char* sender;
        const char* recipient;
        const char* want_sender;
        const char* want_recipient;
    } cases[] = {
        {":+", "", "447700900001", "12345", "+447700900001", "12345"},
        {"00:+", "", "00447700900001", "12345", "+447700900001", "12345"},
        {"00:+", "", "447700900001", "12345", "447700900001", "12345"},
        {"", "0:44,:99", "7700", "07700", "7700", "447700"},
        {"", "0:44,:99", "7700", "5", "7700", "995"},
        {":+", ":+", "1", "", "+1", ""},  // an unknown recipient stays unknown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sender_rule) + " / " + c.recip_rule + " / " + c.recipient);
        set_ini(kLink, "InSenderPrefixConvert", c.sender_rule);
        set_ini(kLink, "InRecipPrefixConvert", c.recip_rule);
        InboundMessage m = text_message();
        m.sender = c.sender;
        m.recipient = c.recipient;
        std::string path = inbound::store_inbound_message(m);
        ASSERT_FALSE(path.empty());
        store::SmsMessage got;
        store::parse_sms_message(slurp(path), got);
        EXPECT_EQ(got.sender, c.want_sender);
        EXPECT_EQ(got.phone_number, c.want_recipient);
    }
    // Another link's rules do not apply; [SMSGW] is the fallback of every link.
    set_ini(kLink, "InSenderPrefixConvert", "");
    set_ini("SMSGW", "InSenderPrefixConvert", "0:+31");
    InboundMessage m = text_message();
    m.link_name = "UCP - Beta";
    m.sender = "0612";
    store::SmsMessage got;
    store::parse_sms_message(slurp(inbound::store_inbound_message(m)), got);
    EXPECT_EQ(got.sender, "+31612");
}

TEST_F(InboundTest, InboundStoreSmppOptionsOnlyThoseDefined) {
    set_ini("SMPPOptions", "BillingCode", "0x1403,String,20");
    set_ini("SMPPOptions", "Network", "0x1404,Int,1");
    set_ini("SMPPOptions", "Blank", "");
    struct Case {
        const char* extra;
        const char* want;
    } cases[] = {
        {"SMPPOption_BillingCode=AB; SMPPOption_Other=1; SMPPOption_Network=7",
         "SMPPOption_BillingCode=AB; SMPPOption_Network=7"},
        {"ServiceType=X;SMPPOption_billingcode=Z ;SMPPOption_=v;SMPPOption_Blank=1",
         "SMPPOption_billingcode=Z"},
        {"SMPPOption_Other=1", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        EXPECT_EQ(inbound::collect_smpp_options(opts(c.extra)), c.want);
        InboundMessage m = text_message();
        m.options = opts(c.extra);
        std::string content = slurp(inbound::store_inbound_message(m));
        if (*c.want)
            EXPECT_NE(content.find(std::string("\r\nSMPPOptions=") + c.want + "\r\n"),
                      std::string::npos)
                << content;
        else
            EXPECT_EQ(content.find("SMPPOptions="), std::string::npos) << content;
    }
    // Values are cut to 99 characters, and an item that would take the
    // text beyond 499 characters is left out whole.
    std::string v(150, 'v');
    std::string extra;
    for (int i = 0; i < 6; ++i) extra += "SMPPOption_BillingCode=" + v + ";";
    std::string item = "SMPPOption_BillingCode=" + std::string(99, 'v');
    EXPECT_EQ(inbound::collect_smpp_options(opts(extra)),
              item + "; " + item + "; " + item + "; " + item);  // 4 * 122 + 3 * 2 = 494
    // Options given by the caller are taken as they are.
    InboundMessage m = text_message();
    m.options = opts("SMPPOption_BillingCode=AB");
    m.smpp_options = "SMPPOption_Other=1";
    EXPECT_NE(
        slurp(inbound::store_inbound_message(m)).find("\r\nSMPPOptions=SMPPOption_Other=1\r\n"),
        std::string::npos);
}

TEST_F(InboundTest, InboundStoreLocalUserFromExtraElseRouteLocal) {
    set_ini(kLink, "RouteLocal", "carol");
    InboundMessage m = text_message();
    store::SmsMessage got;
    store::parse_sms_message(slurp(inbound::store_inbound_message(m)), got);
    EXPECT_EQ(got.local_user_route, "carol");
    m.options = opts("RouteToLocalUser=dave");
    store::parse_sms_message(slurp(inbound::store_inbound_message(m)), got);
    EXPECT_EQ(got.local_user_route, "dave");
    m.link_name = "SMPP - Other";
    m.options.clear();
    store::parse_sms_message(slurp(inbound::store_inbound_message(m)), got);
    EXPECT_EQ(got.local_user_route, "");
}

TEST_F(InboundTest, InboundStoreCountsAndSignals) {
    using records::Counter;
    EXPECT_FALSE(frame::inbound_sms_event().wait(0));
    ASSERT_FALSE(inbound::store_inbound_message(text_message()).empty());
    EXPECT_TRUE(frame::inbound_sms_event().wait(0));
    EXPECT_FALSE(frame::inbound_receipt_event().wait(0));
    EXPECT_EQ(records::counter_today(Counter::Received), 1u);
    EXPECT_EQ(records::counter_today(Counter::InQueueSize), 1u);
    EXPECT_EQ(records::counter_today(Counter::ReceiptQueueSize), 0u);
    EXPECT_EQ(records::link_counter_today(kLink, records::LinkCounter::Received), 1u);

    InboundMessage r = text_message();
    r.flags = 0x0C;
    r.receipt_message_id = "A";
    ASSERT_FALSE(inbound::store_inbound_message(r).empty());  // .rec
    EXPECT_TRUE(frame::inbound_receipt_event().wait(0));
    EXPECT_FALSE(frame::inbound_sms_event().wait(0));
    EXPECT_EQ(records::counter_today(Counter::InQueueSize), 2u);
    r.options = opts("ResolveReceiptID=Yes");
    ASSERT_FALSE(inbound::store_inbound_message(r).empty());  // .rct
    EXPECT_TRUE(frame::inbound_receipt_event().wait(0));
    EXPECT_EQ(records::counter_today(Counter::Received), 3u);
    EXPECT_EQ(records::counter_today(Counter::InQueueSize), 2u);
    EXPECT_EQ(records::counter_today(Counter::ReceiptQueueSize), 1u);
    EXPECT_EQ(records::link_counter_today(kLink, records::LinkCounter::Received), 3u);
    EXPECT_EQ(inbound_files().size(), 3u);
}

TEST_F(InboundTest, InboundReceiveLogsUnlessTheReceiptIsToBeResolved) {
    set_ini(kLink, "RouteName", "RouteA");
    InboundMessage m = text_message();
    m.data = "Hi there";
    EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", m), 0);
    InboundMessage r = text_message();
    r.flags = 0x0C;
    r.receipt_message_id = "SMSC-1";
    r.data = "id:SMSC-1 stat:DELIVRD";
    r.options = opts("ReceiptMsgIdOrig=smsc-1-orig");
    EXPECT_EQ(inbound::receive_message("UCPReceiveMessageCallback", r), 0);
    InboundMessage u = r;
    u.receipt_message_id = "SMSC-2";
    u.options = opts("ResolveReceiptID=yes");
    EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", u), 0);

    std::string log = inbound_log();
    EXPECT_EQ(log,
              "2024-03-05 12:34:56,+447700900001,SMPP - Alpha,Text=\"Hi there\";"
              "SMSCRouteName=RouteA;Recip=12345\r\n"
              "2024-03-05 12:34:56,+447700900001,SMPP - Alpha,Text=\"id:SMSC-1 stat:DELIVRD\";"
              "SMSCRouteName=RouteA;Recip=12345;SMSCReceiptMsgId=SMSC-1;"
              "SMSCReceiptMsgIdOrig=smsc-1-orig\r\n");
    auto files = inbound_files();
    ASSERT_EQ(files.size(), 3u);
    int in = 0, rec = 0, rct = 0;
    for (const auto& f : files) {
        in += extension_of(f) == ".in";
        rec += extension_of(f) == ".rec";
        rct += extension_of(f) == ".rct";
    }
    EXPECT_EQ(in, 1);
    EXPECT_EQ(rec, 1);
    EXPECT_EQ(rct, 1);
}

TEST_F(InboundTest, InboundReceiveRefusesWhatCannotBeStored) {
    // The inbound store lies below a regular file: no directory can be made.
    inbound_test::spit(home_ + "/blocker", "x");
    set_ini("SMSGW", "SmsInDir", home_ + "/blocker/SMS-IN");
    InboundMessage m = text_message();
    EXPECT_EQ(inbound::store_inbound_message(m), "");
    EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", m), inbound::kRefuseNotStored);
    EXPECT_EQ(inbound::kRefuseNotStored, 0x08);
    EXPECT_EQ(inbound_log(), "");
    EXPECT_EQ(records::counter_today(records::Counter::Received), 0u);
    EXPECT_EQ(records::counter_today(records::Counter::InQueueSize), 0u);
    EXPECT_EQ(records::link_counter_today(kLink, records::LinkCounter::Received), 0u);
    EXPECT_FALSE(frame::inbound_sms_event().wait(0));
    EXPECT_EQ(slurp(home_ + "/blocker"), "x");
    // Once the store is usable again the same message is taken.
    set_ini("SMSGW", "SmsInDir", "");
    EXPECT_EQ(inbound::receive_message("SMPPReceiveMessageCallback", m), 0);
    EXPECT_EQ(inbound_files().size(), 1u);
}

TEST_F(InboundTest, InboundExtraFieldParsing) {
    struct Case {
        const char* extra;
        const char* name;
        const char* want;
    } cases[] = {
        {"ServiceType=CMT; ResolveReceiptID=Yes", "ResolveReceiptID", "Yes"},
        {"ServiceType=CMT; ResolveReceiptID=Yes", "servicetype", "CMT"},
        {"  ReceivedSMSC = +44 ;", "ReceivedSMSC", "+44"},
        {"NoEquals;ReceiptMsgIdOrig=a=b", "ReceiptMsgIdOrig", "a=b"},
        {"RouteToLocalUserX=1;RouteToLocalUser=u", "RouteToLocalUser", "u"},
        {"ServiceType=A;ServiceType=B", "ServiceType", "A"},
        {";;;", "ServiceType", ""},
        {"", "ServiceType", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(protocols::common::option(opts(c.extra), c.name), c.want)
            << c.extra << " / " << c.name;
}

TEST_F(InboundTest, InboundReceiveDebugLineUnderTheCallbackName) {
    frame::set_debug_rollover_wait_ms(0);
    frame::reset_debug_log_for_tests();
    frame::mutable_settings().debug = true;
    InboundMessage m = text_message();
    m.pid = 0x3F;
    m.dcs = 0xF5;
    m.flags = 0x42;
    m.udh = "050003010201";
    m.data = "AB";
    m.binary = true;
    EXPECT_EQ(inbound::receive_message("UCPReceiveMessageCallback", m), 0);
    m.options = opts("ServiceType=X");
    EXPECT_EQ(inbound::receive_message("CIMDReceiveMessageCallbackEx", m), 0);
    frame::mutable_settings().debug = false;
    frame::close_debug_log();
    std::string log = slurp(home_ + "/LOGS/SMSDEBUG.LOG");
    EXPECT_NE(log.find("UCPReceiveMessageCallback:  inbound message:  sender=+447700900001, "
                       "recip=12345, pid=3F, dcs=F5, msgFlags=42, udh=050003010201, msg=AB\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CIMDReceiveMessageCallbackEx:  inbound message:  sender=+447700900001, "
                       "recip=12345, pid=3F, dcs=F5, msgFlags=42, udh=050003010201, msg=AB, "
                       "extraParms=ServiceType=X\r\n"),
              std::string::npos)
        << log;
}

TEST_F(InboundTest, InboundReceivedOptionValuesCannotForgeOtherFields) {
    set_ini("SMPPOptions", "BillingCode", "0x1403,String,20");
    set_ini("SMPPOptions", "Network", "0x1404,Int,1");
    const std::string forged = "x; RouteToLocalUser=admin; ResolveReceiptID=Yes";
    struct Case {
        const char* what;
        protocols::common::Options options;
        std::string service_type, received_smsc;
        protocols::common::Options smpp_options;  // as the SMPPOptions line reads back
    } cases[] = {
        {"service type", {{"ServiceType", forged}}, forged, "", {}},
        {"received SMSC", {{"ReceivedSMSC", forged}}, "", forged, {}},
        {"string optional parameter",
         {{"SMPPOption_BillingCode", "AB; SMPPOption_Network=7"}, {"SMPPOption_Network", "1"}},
         "",
         "",
         {{"SMPPOption_BillingCode", "AB; SMPPOption_Network=7"}, {"SMPPOption_Network", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        protocols::common::DeliveryRecord r;
        r.link_name = kLink;
        r.sender = "+447700900001";
        r.recipient = "12345";
        r.message = "MO";
        r.options = c.options;
        ASSERT_EQ(inbound::receive_record("SMPPReceiveMessageCallback", r), 0);
        auto files = inbound_files();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(extension_of(files[0]), ".in");  // not a receipt to resolve
        store::SmsMessage got;
        store::parse_sms_message(slurp(files[0]), got);
        EXPECT_EQ(got.local_user_route, "");
        EXPECT_EQ(got.flags, 0u);
        EXPECT_EQ(got.service_type, c.service_type);
        EXPECT_EQ(got.received_smsc, c.received_smsc);
        EXPECT_EQ(protocols::common::parse_option_text(got.smpp_options), c.smpp_options);
        std::filesystem::remove(files[0]);
    }
    // Every one was logged as a received message.
    std::string log = inbound_log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
}
