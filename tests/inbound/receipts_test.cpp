// Receipts the gateway makes itself (rejection, interim), their exact text,
// the failure-receipt hook of the store, and the registration of SMSC ids.
#include "inbound/receipts.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "inbound/inbound_fixture.h"
#include "inbound/inbound_store.h"
#include "platform/files.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/tracking.h"

using inbound_test::extension_of;
using inbound_test::InboundTest;
using inbound_test::local_time;
using inbound_test::slurp;

namespace {

constexpr const char* kLink = "SMPP - Alpha";

store::SmsMessage submitted(uint32_t flags) {
    store::SmsMessage m;
    m.phone_number = "+447700900123";
    m.sender = "Shop";
    m.submit_user = "alice";
    m.data = "Your order 12345 has been dispatched";
    m.flags = flags;
    return m;
}

}  // namespace

TEST(ReceiptText, ExactFormat) {
    const time_t submitted = local_time(2024, 3, 5, 9, 7, 0);
    const time_t done = local_time(2025, 12, 31, 23, 59, 59);
    struct Case {
        const char* id;
        bool delivered;
        const char* state;
        uint32_t err;
        std::string text;
        std::string want;
    } cases[] = {
        {"4F00A1B2", false, "REJECTD", 0x45, "Hello",
         "id:4F00A1B2 sub:001 dlvrd:000 submit date:2403050907 done date:2512312359 "
         "stat:REJECTD err:045 text:Hello"},
        {"X", true, "ENROUTE", 0, "",
         "id:X sub:001 dlvrd:001 submit date:2403050907 done "
         "date:2512312359 stat:ENROUTE err:000 text:"},
        // Only the low 12 bits of the error fit its three digits.
        {"X", false, "REJECTD", 0x1ABC, "abcdefghijklmnopqrstuvwxyz",
         "id:X sub:001 dlvrd:000 submit date:2403050907 done date:2512312359 stat:REJECTD "
         "err:ABC text:abcdefghijklmnopqrs"},
        // 19 characters, not bytes: no UTF-8 sequence is split.
        {"X", false, "REJECTD", 0xFFFFFFFF,
         "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
         "123456789012\xF0\x9F\x98\x80tail",
         "id:X sub:001 dlvrd:000 submit date:2403050907 done date:2512312359 stat:REJECTD "
         "err:FFF text:\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
         "\xE2\x82\xAC"
         "123456789012"},
        // A broken sequence counts as one character and is kept as it came.
        {"X", false, "REJECTD", 1,
         "\xE2\x82"
         "abc",
         "id:X sub:001 dlvrd:000 submit date:2403050907 done date:2512312359 stat:REJECTD "
         "err:001 text:\xE2\x82"
         "abc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(inbound::gateway_receipt_text(c.id, c.delivered, c.state, c.err, submitted, done,
                                                c.text),
                  c.want);
}

TEST_F(InboundTest, ReceiptRejectionOnlyWhenAReceiptWasAsked) {
    const time_t created = local_time(2024, 3, 5, 12, 30, 0);
    for (uint32_t flags : {0u, 0x01u, 0x04u, 0x08u}) {
        EXPECT_EQ(
            inbound::make_rejection_receipt("/q/ABC.req", submitted(flags), kLink, 0x45, created),
            "")
            << flags;
    }
    EXPECT_TRUE(inbound_files().empty());
    EXPECT_EQ(records::counter_today(records::Counter::Received), 0u);

    for (uint32_t flags : {0x02u, 0x40u}) {
        SCOPED_TRACE(flags);
        store::SmsMessage msg = submitted(flags);
        msg.service_type = "CMT";
        msg.validity = "1440";
        msg.smpp_options = "SMPPOption_BillingCode=7";
        std::string path = inbound::make_rejection_receipt("/q/RT_-_x_-_/0000002A.req", msg, kLink,
                                                           0x10045, created);
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(extension_of(path), ".rec");
        EXPECT_EQ(slurp(path),
                  "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nRouteToLocalUser=alice\r\n"
                  "Sender=+447700900123\r\nPhoneNumber=Shop\r\n"
                  "Data=id:0000002A sub:001 dlvrd:000 submit date:2403051230 done "
                  "date:2403051234 stat:REJECTD err:045 text:Your order 12345 ha\r\n"
                  "Binary=0\r\nReceiptFailed=Yes\r\nReceiptMessageId=0000002A\r\n"
                  "ServiceType=CMT\r\nValidity=1440\r\nSMPPOptions=SMPPOption_BillingCode=7\r\n");
        store::SmsMessage got;
        store::parse_sms_message(slurp(path), got);
        EXPECT_EQ(got.flags, store::kFlagReceipt | store::kFlagFailed);
        std::filesystem::remove(path);
    }
    EXPECT_EQ(records::counter_today(records::Counter::Received), 2u);
    EXPECT_EQ(records::counter_today(records::Counter::InQueueSize), 2u);
    EXPECT_TRUE(frame::inbound_receipt_event().wait(0));
    std::string log = inbound_log();
    EXPECT_NE(log.find("2024-03-05 12:34:56,+447700900123,SMPP - Alpha,Text=\"id:0000002A sub:001 "
                       "dlvrd:000 submit date:2403051230 done date:2403051234 stat:REJECTD err:045 "
                       "text:Your order 12345 ha\";"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(";Recip=Shop;SMSCReceiptMsgId=0000002A\r\n"), std::string::npos) << log;
}

TEST_F(InboundTest, ReceiptRejectionOfBinaryMessages) {
    const time_t created = local_time(2024, 3, 5, 12, 30, 0);
    struct Case {
        const char* name;
        uint8_t dcs;
        const char* udh;
        const char* data;
        std::string want_text;
    } cases[] = {
        {"UCS-2", 0x08, "", "00480069002000E4", "Hi \xC3\xA4"},
        {"8-bit data", 0xF5, "0605040B8423F0", "C0FFEE", ""},
        {"7-bit packed", 0x00, "", "C8329BFD06DDDF72363904", "Hello world!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store::SmsMessage msg = submitted(0x02);
        msg.submit_user.clear();  // no user known: no RouteToLocalUser line
        msg.binary = true;
        msg.dcs = c.dcs;
        msg.udh = c.udh;
        msg.data = c.data;
        std::string path = inbound::make_rejection_receipt("/q/1.req", msg, kLink, 8, created);
        ASSERT_FALSE(path.empty());
        std::string content = slurp(path);
        EXPECT_EQ(content.find("RouteToLocalUser="), std::string::npos);
        EXPECT_NE(content.find("stat:REJECTD err:008 text:" + c.want_text + "\r\nBinary=0\r\n"),
                  std::string::npos)
            << content;
        std::filesystem::remove(path);
    }
}

TEST_F(InboundTest, ReceiptIntermediateUsesTheLinkSettings) {
    const time_t created = local_time(2024, 3, 5, 12, 34, 0);
    EXPECT_EQ(inbound::make_intermediate_receipt("/q/77.req", submitted(0), kLink, created), "");
    EXPECT_EQ(inbound::make_intermediate_receipt("/q/77.req", submitted(0x40), kLink, created), "");

    store::SmsMessage msg = submitted(0x02);
    msg.smpp_options = "SMPPOption_Own=1";
    std::string path = inbound::make_intermediate_receipt("/q/77.req", msg, kLink, created);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(extension_of(path), ".rec");
    EXPECT_EQ(slurp(path),
              "[SMS-IN]\r\nModemName=SMPP - Alpha\r\nRouteToLocalUser=alice\r\n"
              "Sender=+447700900123\r\nPhoneNumber=Shop\r\n"
              "Data=id:77 sub:001 dlvrd:001 submit date:2403051234 done date:2403051234 "
              "stat:ENROUTE err:000 text:Your order 12345 ha\r\n"
              "Binary=0\r\nReceiptIntransit=Yes\r\nReceiptMessageId=77\r\n"
              "SMPPOptions=SMPPOption_Own=1\r\n");
    std::filesystem::remove(path);

    set_ini(kLink, "DeliveryReportEnrouteStat", "ACCEPTD");
    set_ini(kLink, "DeliveryReportEnrouteSMPPOptions", "SMPPOption_Network=3");
    path = inbound::make_intermediate_receipt("/q/78.req", msg, kLink, created);
    ASSERT_FALSE(path.empty());
    std::string content = slurp(path);
    EXPECT_NE(content.find(" stat:ACCEPTD err:000 text:"), std::string::npos) << content;
    EXPECT_NE(content.find("\r\nSMPPOptions=SMPPOption_Network=3\r\n"), std::string::npos)
        << content;
    store::SmsMessage got;
    store::parse_sms_message(content, got);
    EXPECT_EQ(got.flags, store::kFlagReceipt | store::kFlagInTransit);
    EXPECT_EQ(got.receipt_message_id, "78");
    EXPECT_EQ(records::counter_today(records::Counter::Received), 2u);
}

TEST_F(InboundTest, ReceiptFailureHookMakesTheRejectionReceipt) {
    inbound::install_failure_receipt_hook();
    const std::string qdir = home_ + "/Q/";
    const std::string req = qdir + "0000ABCD.req";
    inbound_test::spit(req, "[SMS]\r\nPhoneNumber=+4477\r\nData=x\r\nReceiptRequested=Yes\r\n");
    ASSERT_TRUE(platform::set_file_mtime(req, local_time(2024, 3, 4, 8, 15, 0)));
    store::SmsMessage msg = submitted(0x02);
    platform::FileHandle fd(::open(req.c_str(), O_RDWR));
    ASSERT_TRUE(fd);
    store::FailedMessage f;
    f.fd = fd.fd();
    f.path = req;
    f.msg = &msg;
    f.link_name = kLink;
    f.route_name = kLink;
    f.error_text = "Invalid destination";
    f.error_code = 0x0B;
    EXPECT_EQ(store::fail_message(f), store::FailResult::Failed);
    auto files = inbound_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(slurp(files[0]).find("Data=id:0000ABCD sub:001 dlvrd:000 submit date:2403040815 "
                                   "done date:2403051234 stat:REJECTD err:00B text:"),
              std::string::npos)
        << slurp(files[0]);

    // Without a receipt request the store asks for nothing.
    store::SmsMessage plain = submitted(0);
    f.msg = &plain;
    EXPECT_EQ(store::fail_message(f), store::FailResult::Failed);
    EXPECT_EQ(inbound_files().size(), 1u);
}

TEST_F(InboundTest, ReceiptRegistrationIsFoundAgain) {
    store::SmsMessage msg = submitted(0x02);
    inbound::register_smsc_message_id("RouteA", "smsc-001", "/q/RT_-_RouteA_-_/00000123.req", msg);
    std::string id, user, sender, recipient;
    ASSERT_NE(support::SMSCMessageIdGet2("RouteA", "smsc-001", id, user, sender, recipient), 0);
    EXPECT_EQ(id, "00000123");
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(sender, "Shop");
    EXPECT_EQ(recipient, "+447700900123");
    // Another link's id space is separate.
    EXPECT_EQ(support::SMSCMessageIdGet2("RouteB", "smsc-001", id, user, sender, recipient), 0);

    // Nothing is registered without a receipt request or without an id.
    inbound::register_smsc_message_id("RouteA", "smsc-002", "/q/00000124.req", submitted(0));
    inbound::register_smsc_message_id("RouteA", "", "/q/00000125.req", msg);
    EXPECT_EQ(support::SMSCMessageIdGet2("RouteA", "smsc-002", id, user, sender, recipient), 0);
    EXPECT_EQ(support::SMSCMessageIdGet2("RouteA", "", id, user, sender, recipient), 0);
    // A non-delivery receipt request registers too (HTTP links as "HTTP").
    inbound::register_smsc_message_id("HTTP", "h-9", "/q/00000126.req", submitted(0x40));
    ASSERT_NE(support::SMSCMessageIdGet2("HTTP", "h-9", id, user, sender, recipient), 0);
    EXPECT_EQ(id, "00000126");
}
