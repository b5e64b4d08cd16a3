// The SMPP server's conversions: client submissions to request records,
// option filtering, message ids for SMPP 3.3 binds, queued records to
// deliveries, ThrottleSpeed and revalidation texts.
#include <gtest/gtest.h>

#include "frontends/smpp/smpp_delivery.h"
#include "frontends/smpp/smpp_server.h"
#include "frontends/smpp/smpp_submit.h"
#include "protocols/smpp/pdu.h"
#include "store/request_codec.h"

namespace frontends::smpp {
namespace {

using protocols::common::DeliveryRecord;

TEST(SmppClientMessageId, FitsTheInterfaceVersion) {
    struct Case {
        const char* id;
        bool short_ids;
        const char* want;
    } cases[] = {
        {"0000001A", true, "0000001A"},
        {"GW-0000001A", true, "0000001A"},
        {"GW-0000001A", false, "GW-0000001A"},
        {"ABC", true, "ABC"},
    };
    for (const auto& c : cases) {
        std::string got = client_message_id(c.id, c.short_ids);
        EXPECT_EQ(got, c.want) << c.id;
        if (c.short_ids) {
            EXPECT_LE(got.size(), kShortIdMax);
        }
    }
}

TEST(SmppKeptOptions, OnlyListedNamesAndNoAddedItems) {
    protocols::common::Options in = {
        {"SMPPOption_Billing", "x; Evil=1\r\nSMSCRoute=bad"},
        {"SMPPOption_Other", "dropped"},
        {"ServiceType", "not an SMPP option"},
        {"smppoption_billing2", "a=b"},
    };
    std::string text = kept_smpp_options(in, {"Billing", "BILLING2"});
    protocols::common::Options back = protocols::common::parse_option_text(text);
    ASSERT_EQ(back.size(), 2u) << text;
    EXPECT_EQ(back[0].first, "SMPPOption_Billing");
    EXPECT_EQ(back[0].second, "x; Evil=1\r\nSMSCRoute=bad");
    EXPECT_EQ(back[1].second, "a=b");
    // Written into a request file, the value stays one line of one key.
    store::SmsMessage rec;
    rec.phone_number = "1";
    rec.smpp_options = text;
    store::SmsMessage parsed = store::parse_request(store::format_request(rec));
    EXPECT_TRUE(parsed.route.empty());
    EXPECT_EQ(protocols::common::parse_option_text(parsed.smpp_options).size(), 2u);
}

Submitter alice() {
    Submitter w;
    w.account = "alice";
    w.peer = "127.0.0.1";
    return w;
}

TEST(SmppSubmissionRecord, FieldsOfTheRequestFile) {
    struct Case {
        const char* name;
        std::string sender, recipient, forced;
        int flags;
        std::string want_sender, want_recipient;
        uint32_t want_flags;
    } cases[] = {
        {"plain", "111", "447700900001", "", 0, "111", "447700900001", 0},
        {"empty recipient", "111", "", "", 0, "111", "1", 0},
        {"receipt", "111", "2", "", 0x02, "111", "2", store::kFlagReceiptRequested},
        {"failure receipt", "111", "2", "", 0x40, "111", "2",
         store::kFlagNonDeliveryReceiptRequested},
        {"forged receipt", "111", "2", "", 0x04 | 0x08, "111", "2", 0},
        {"forced sender", "999", "2", "Shop, Info", 0, "Shop", "2", 0},
        {"listed sender", "info", "2", "Shop, Info", 0, "info", "2", 0},
    };
    for (const auto& c : cases) {
        Submitter w = alice();
        w.forced_sender_address = c.forced;
        DeliveryRecord m;
        m.sender = c.sender;
        m.recipient = c.recipient;
        m.message = "hi";
        m.flags = c.flags;
        m.smsc_message_id = "OTHER-ACCOUNT-ID";
        store::SmsMessage rec;
        uint32_t status = 99;
        ASSERT_TRUE(submission_record(w, m, {}, rec, status)) << c.name;
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(rec.sender, c.want_sender) << c.name;
        EXPECT_EQ(rec.phone_number, c.want_recipient) << c.name;
        EXPECT_EQ(rec.flags, c.want_flags) << c.name;
        EXPECT_TRUE(rec.receipt_message_id.empty()) << c.name;
        EXPECT_EQ(rec.submit_user, "alice");
        EXPECT_EQ(rec.submitted_by, "127.0.0.1");
    }
}

TEST(SmppSubmissionRecord, RefusesWhatCannotBeQueued) {
    DeliveryRecord m;
    store::SmsMessage rec;
    uint32_t status = 0;
    EXPECT_FALSE(submission_record(alice(), m, {}, rec, status));
    EXPECT_EQ(status, uint32_t(protocols::smpp::ESME_RINVDSTADR));
    m.recipient = "2";
    m.message.assign(store::kDataSize, 'x');
    EXPECT_FALSE(submission_record(alice(), m, {}, rec, status));
    EXPECT_EQ(status, uint32_t(protocols::smpp::ESME_RINVMSGLEN));
}

TEST(SmppSubmissionRecord, OptionTextNeverAddsAKey) {
    DeliveryRecord m;
    m.sender = "111;SMSCRoute=evil";
    m.recipient = "2";
    m.message = "line1\r\nSMSCRoute=evil";
    m.options = {{"ServiceType", "CMT;RouteToLocalUser=bob\r\nSMSCRoute=evil"},
                 {"Validity", "60"},
                 {"RouteToLocalUser", "ReRouteReceived-Backup"}};
    store::SmsMessage rec;
    uint32_t status = 0;
    ASSERT_TRUE(submission_record(alice(), m, {}, rec, status));
    EXPECT_EQ(rec.route, "Backup");
    EXPECT_TRUE(rec.local_user_route.empty());
    store::SmsMessage back = store::parse_request(store::format_request(rec));
    EXPECT_EQ(back.route, "Backup");
    EXPECT_TRUE(back.local_user_route.empty());
    EXPECT_EQ(back.sender, "111;SMSCRoute=evil");
    EXPECT_EQ(back.data, "line1\r\nSMSCRoute=evil");
    EXPECT_EQ(back.validity, "60");
    EXPECT_EQ(back.service_type.substr(0, 4), "CMT;");
}

TEST(SmppThrottleSpeed, Forms) {
    struct Case {
        const char* text;
        bool ok;
        unsigned n, s, c;
    } cases[] = {
        {"10/1/8", true, 10, 1, 8}, {"5 / 2", true, 5, 2, 0}, {"7", true, 7, 1, 0},
        {"0/1/3", true, 0, 1, 3},   {"abc", false, 0, 1, 0},  {"", false, 0, 1, 0},
        {"3/0", true, 3, 1, 0},
    };
    for (const auto& c : cases) {
        Throttle t;
        EXPECT_EQ(parse_throttle_speed(c.text, t), c.ok) << c.text;
        EXPECT_EQ(t.messages, c.n) << c.text;
        EXPECT_EQ(t.seconds, c.s) << c.text;
        EXPECT_EQ(t.connections, c.c) << c.text;
    }
}

TEST(SmppRevalidation, FirstFailingReason) {
    AccountState ok{true, true, true, true};
    EXPECT_STREQ(revalidation_failure(ok), "");
    EXPECT_STREQ(revalidation_failure(AccountState{}),
                 "Connection terminated - user account deleted");
    AccountState s = ok;
    s.smpp_enabled = false;
    s.password_matches = false;
    EXPECT_STREQ(revalidation_failure(s),
                 "Connection terminated - SMPP access is not enabled for account");
    s = ok;
    s.password_matches = false;
    EXPECT_STREQ(revalidation_failure(s),
                 "Connection terminated - account password is no longer valid");
    s = ok;
    s.address_allowed = false;
    EXPECT_STREQ(revalidation_failure(s),
                 "Connection terminated - IP address restrictions have changed");
}

TEST(SmppDeliveryRecord, ReceiptForAShortIdClient) {
    store::SmsMessage msg;
    msg.sender = "447700900001";
    msg.data = "id:GW-0000001A sub:001 dlvrd:001 stat:DELIVRD";
    msg.flags = store::kFlagReceipt | store::kFlagDelivered;
    msg.receipt_message_id = "GW-0000001A";
    msg.service_type = "CMT";
    msg.smpp_options = "SMPPOption_Billing=7";
    auto r = delivery_record(msg, "00000042", true);
    EXPECT_EQ(r.recipient, "1");
    EXPECT_EQ(r.receipt_message_id, "0000001A");
    EXPECT_EQ(r.data, "id:0000001A sub:001 dlvrd:001 stat:DELIVRD");
    EXPECT_EQ(r.flags, int(store::kFlagReceipt | store::kFlagDelivered));
    EXPECT_EQ(protocols::common::option(r.options, "ServiceType"), "CMT");
    EXPECT_EQ(protocols::common::option(r.options, "SMPPOption_Billing"), "7");
    auto full = delivery_record(msg, "00000042", false);
    EXPECT_EQ(full.receipt_message_id, "GW-0000001A");
    EXPECT_EQ(full.data, msg.data);
}

}  // namespace
}  // namespace frontends::smpp
