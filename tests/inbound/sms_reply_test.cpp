// Replies of the 2-way commands: addressing, Unicode as UCS-2 hex, and a
// long reply split with its concatenation headers.
#include "inbound/sms_reply.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "delivery/segmentation.h"
#include "inbound/inbound_fixture.h"
#include "platform/text.h"
#include "radio/charset/charset.h"

namespace {

class SmsReplyTest : public inbound_test::InboundTest {
  protected:
    store::SmsMessage original() {
        store::SmsMessage m;
        m.sender = "+447700900001";
        m.phone_number = "5000";
        return m;
    }
};

TEST_F(SmsReplyTest, ShortUnicodeAndLongReplies) {
    inbound::ReplyRoute route{"SMPP - Beta", "SMPPOption_dest_subaddress=A0"};
    auto paths = inbound::BuildSMSReply(original(), "Thanks!", route);
    ASSERT_EQ(paths.size(), 1u);
    store::SmsMessage r = store::parse_request(inbound_test::slurp(paths[0]));
    EXPECT_EQ(r.phone_number, "+447700900001");
    EXPECT_EQ(r.sender, "5000");
    EXPECT_EQ(r.submit_user, "localsystem-2way");
    EXPECT_EQ(r.submitted_by, "Auto-response to +447700900001");
    EXPECT_EQ(r.route, "SMPP - Beta");
    EXPECT_EQ(r.smpp_options, "SMPPOption_dest_subaddress=A0");
    EXPECT_EQ(r.data, "Thanks!");
    EXPECT_FALSE(r.binary);

    paths = inbound::BuildSMSReply(original(), "Привет", {});
    ASSERT_EQ(paths.size(), 1u);
    r = store::parse_request(inbound_test::slurp(paths[0]));
    EXPECT_TRUE(r.binary);
    EXPECT_EQ(r.dcs, 8);
    EXPECT_EQ(r.data, radio::charset::utf8_to_ucs2_hex("Привет"));

    std::string text(400, 'x');
    paths = inbound::BuildSMSReply(original(), text, {});
    ASSERT_EQ(paths.size(), 3u);
    std::string joined;
    unsigned seq = 0;
    for (const auto& p : paths) {
        store::SmsMessage s = store::parse_request(inbound_test::slurp(p));
        ++seq;
        ASSERT_EQ(s.udh.size(), 12u) << s.udh;
        EXPECT_EQ(s.udh.substr(0, 6), "050003");
        EXPECT_EQ(s.udh.substr(8), platform::strprintf("03%02X", seq));
        EXPECT_EQ(s.submit_user, "localsystem-2way");
        joined += radio::charset::gsm_to_utf8(radio::charset::unpack_septets(s.data, 6));
    }
    EXPECT_EQ(joined, text);
}

}  // namespace
