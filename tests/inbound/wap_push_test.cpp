// Received WAP push: the WSP push header, and MMS notifications queued once
// per content location.
#include "inbound/wap_push.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "inbound/inbound_fixture.h"
#include "platform/text.h"

namespace {

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int c : v) s += char(c);
    return s;
}

TEST(WapPush, HeaderForms) {
    // Transaction id, push, 1 header octet, well-known 0x3E (MMS), body.
    auto p = inbound::parse_wap_push(bytes({0x01, 0x06, 0x01, 0xBE, 0x8C, 0x82}));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.content_type, "application/vnd.wap.mms-message");
    EXPECT_EQ(p.body, bytes({0x8C, 0x82}));
    p = inbound::parse_wap_push(std::string("\x01\x06\x0Btext/x-foo\0ZZ", 16));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.content_type, "text/x-foo");
    EXPECT_EQ(inbound::parse_wap_push(bytes({0x01, 0x07, 0x01, 0xBE, 0x00})).error,
              "WAP Push header is missing");
    EXPECT_EQ(inbound::parse_wap_push(bytes({0x01, 0x06, 0x01, 0xBE})).error,
              "WAP Push data missing");
}

class WapPushQueueTest : public inbound_test::InboundTest {};

TEST_F(WapPushQueueTest, NotificationQueuedOncePerLocation) {
    // m-notification-ind: message type, transaction id, version, location.
    std::string n = bytes({0x8C, 0x82, 0x98}) + std::string("T1\0", 3) + bytes({0x8D, 0x92, 0x83}) +
                    std::string("http://mmsc/x1\0", 15);
    EXPECT_EQ(inbound::mms_content_location(n), "http://mmsc/x1");
    std::string pdu = bytes({0x01, 0x06, 0x01, 0xBE}) + n;
    store::SmsMessage m;
    m.sender = "+447700900001";
    for (unsigned char c : pdu) m.data += platform::strprintf("%02X", c);
    EXPECT_EQ(inbound::process_wap_push(m), inbound::WapPushResult::Queued);
    EXPECT_EQ(inbound::process_wap_push(m), inbound::WapPushResult::Duplicate);
    size_t queued = 0;
    for (const auto& e : std::filesystem::directory_iterator(home_ + "/PRIVATE/MMSINQ")) {
        std::string t = inbound_test::slurp(e.path().string());
        EXPECT_NE(t.find("ContentLocation=http://mmsc/x1\r\n"), std::string::npos) << t;
        ++queued;
    }
    EXPECT_EQ(queued, 1u);
}

}  // namespace
