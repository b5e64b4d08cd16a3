// Modem receipts: the reference registration, the two look-up keys and the
// status report turned into a receipt record.
#include "inbound/modem_receipts.h"

#include <gtest/gtest.h>

#include <string>

#include "frame/settings.h"
#include "inbound/inbound_fixture.h"
#include "store/request_codec.h"
#include "support/tracking.h"

using inbound_test::InboundTest;
using inbound_test::slurp;

namespace {

constexpr const char* kModem = "Modem1";

inbound::ModemStatusReport report(uint8_t status, uint8_t reference = 0x1F) {
    inbound::ModemStatusReport r;
    r.link_name = kModem;
    r.reference = reference;
    r.status = status;
    r.scts_octets = {0x42, 0x30, 0x50, 0x21, 0x43, 0x65, 0x00};  // 24-03-05 12:34:56
    r.sc_year = 24, r.sc_month = 3, r.sc_day = 5, r.sc_hour = 12, r.sc_minute = 34;
    r.dt_year = 24, r.dt_month = 3, r.dt_day = 5, r.dt_hour = 12, r.dt_minute = 40;
    r.recipient = "+447700900123";
    r.smsc = "+447700000001";
    r.own_number = "+447700999999";
    r.report_text = "Report: +447700900123 SMSC: +447700000001 Status: 00 ";
    return r;
}

}  // namespace

TEST(ModemKeys, RegistrationAndTimeStampKeys) {
    EXPECT_EQ(inbound::modem_registration_key(0x1F, "+447700900123"), "1F-00900123");
    EXPECT_EQ(inbound::modem_registration_key(5, "12345"), "05-12345");
    EXPECT_EQ(inbound::modem_timestamp_key({0x42, 0x30, 0x50, 0x21, 0x43, 0x65, 0x80}, "+44123"),
              "1803050C223808-+44123");
    struct Case {
        const char* text;
        unsigned ref;
    } cases[] = {{"+CMGS: 31", 31}, {"\r\n+CMGS:   7\r\nOK", 7}, {"+CMGS:", 0},
                 {"OK", 0},         {"+cmgs: 255", 255},         {"+CMGS: x1", 0}};
    for (const Case& c : cases) EXPECT_EQ(inbound::cmgs_reference(c.text), c.ref) << c.text;
}

TEST_F(InboundTest, ModemReferenceRegistersOnlyOneToTwoFiftyFive) {
    std::string id, user, sender, recip;
    EXPECT_FALSE(inbound::register_modem_reference(kModem, "+CMGS: 0", "/q/GW01.req", "alice",
                                                   "Shop", "+447700900123"));
    EXPECT_FALSE(inbound::register_modem_reference(kModem, "+CMGS: 256", "/q/GW01.req", "alice",
                                                   "Shop", "+447700900123"));
    EXPECT_EQ(support::SMSCMessageIdGet2(kModem, "00-00900123", id, user, sender, recip), 0);
    ASSERT_TRUE(inbound::register_modem_reference(kModem, "+CMGS: 31", "/q/GW01.x.req", "alice",
                                                  "Shop", "+447700900123"));
    ASSERT_NE(support::SMSCMessageIdGet2(kModem, "1F-00900123", id, user, sender, recip), 0);
    EXPECT_EQ(id, "GW01");
    EXPECT_EQ(user, "alice");
}

TEST_F(InboundTest, ModemStatusReportsBecomeReceipts) {
    ASSERT_TRUE(inbound::register_modem_reference(kModem, "+CMGS: 31", "/q/GW0000001F.req",
                                                  "alice", "Shop", "+447700900123"));
    struct Case {
        uint8_t status;
        const char* want;
        uint32_t flags;
    } cases[] = {
        {0x00, "id:GW0000001F sub:001 dlvrd:001 submit date:2403051234 done date:2403051240 "
               "stat:DELIVRD err:000", 0x0C},
        {0x46, "id:GW0000001F sub:001 dlvrd:000 submit date:2403051234 done date:2403051240 "
               "stat:REJECTD err:046", 0x24},
    };
    for (const Case& c : cases) {
        std::string path = inbound::process_modem_status_report(report(c.status));
        ASSERT_FALSE(path.empty());
        store::SmsMessage m = store::parse_request(slurp(path));
        EXPECT_EQ(m.data, c.want);
        EXPECT_EQ(m.flags & 0x2C, c.flags);
        EXPECT_EQ(m.receipt_message_id, "GW0000001F");
        EXPECT_EQ(m.local_user_route, "alice");
        EXPECT_EQ(m.sender, "+447700900123");
        EXPECT_EQ(m.phone_number, "Shop");
        EXPECT_EQ(m.received_smsc, "+447700000001");
    }
    // A temporary error stores nothing.
    size_t before = inbound_files().size();
    EXPECT_TRUE(inbound::process_modem_status_report(report(0x21)).empty());
    EXPECT_EQ(inbound_files().size(), before);
}

TEST_F(InboundTest, ModemReportMatchedByTimeStampKeyUnknownOtherwise) {
    inbound::ModemStatusReport r = report(0x00, 0x99);
    ASSERT_NE(support::SMSCMessageIdAdd(kModem, inbound::modem_timestamp_key(r.scts_octets,
                                                                             r.recipient),
                                        "GW-TS", "bob", "Desk", r.recipient),
              0);
    store::SmsMessage m = store::parse_request(slurp(inbound::process_modem_status_report(r)));
    EXPECT_EQ(m.receipt_message_id, "GW-TS");
    EXPECT_EQ(m.phone_number, "Desk");

    // Unmatched: id "unknown", addressed to the modem's own number.
    r = report(0x00, 0x42);
    r.recipient = "+441234";
    m = store::parse_request(slurp(inbound::process_modem_status_report(r)));
    EXPECT_EQ(m.receipt_message_id, "unknown");
    EXPECT_EQ(m.phone_number, "+447700999999");
    EXPECT_EQ(m.local_user_route, "");
    EXPECT_EQ(m.data.rfind("id:unknown ", 0), 0u);

    // The long report text with OldModemReceiptFormat.
    frame::mutable_settings().old_modem_receipt_format = true;
    m = store::parse_request(slurp(inbound::process_modem_status_report(report(0x00))));
    EXPECT_EQ(m.data.rfind("Report: ", 0), 0u);
}
