// Tests of the request-file codec: exact bytes of every record layout, and
// the parser giving each record back.
#include "store/request_codec.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using store::RecordLayout;
using store::SmsMessage;

SmsMessage request_record() {
    SmsMessage m;
    m.phone_number = "+447700900123";
    m.sender = "Gateway";
    m.data = "two\r\nlines \\x";
    m.pid = 0x7F;
    m.dcs = 0x08;
    m.submit_user = "alice";
    m.local_user_route = "bob";
    m.route = "RouteA";
    m.flags = store::kFlagReceiptRequested | store::kFlagReceipt | store::kFlagDelivered;
    m.recombine = true;
    m.attach_files[9] = "j.txt";
    m.retry_count = 2;
    m.last_retry_time = store::parse_time_stamp("20240131235958");
    return m;
}

SmsMessage inbound_record() {
    SmsMessage m;
    m.sender = "+4477";
    m.phone_number = "123";
    m.pid = 0x01;
    m.data = "Hi\r\nSMSCRoute=evil\x01";
    m.flags = store::kFlagReceipt | store::kFlagFailed;
    m.receipt_message_id = "M1";
    m.smpp_options = "a=1";
    return m;
}

TEST(RequestCodec, LayoutsGiveExactBytesAndParseBack) {
    struct Case {
        const char* name;
        RecordLayout layout;
        SmsMessage in;
        std::string bytes;
        // What the file cannot hold (nullptr: nothing is lost).
        std::function<void(SmsMessage&)> lost;
    };
    SmsMessage segment = request_record();
    segment.sender = "Sender\r\nSMSCRoute=evil";
    segment.binary = true;
    SmsMessage receipt = inbound_record();
    receipt.link_name = "SMPP - a";
    const std::vector<Case> cases = {
        {"request", RecordLayout::Request, request_record(),
         "[SMS]\r\nPhoneNumber=+447700900123\r\nSender=Gateway\r\nData=two\\r\\nlines \\x\r\n"
         "pid=7F\r\ndcs=08\r\nSubmitUser=alice\r\nRouteToLocalUser=bob\r\nSMSCRoute=RouteA\r\n"
         "ReceiptRequested=Yes\r\nReceiptDelivered=Yes\r\nRecombineFlag=Yes\r\n"
         "AttachFile10=j.txt\r\n[ErrorDetail]\r\nRetryCount=2\r\nLastRetryTime=20240131235958\r\n",
         nullptr},
        {"empty request", RecordLayout::Request, SmsMessage{}, "[SMS]\r\n", nullptr},
        {"segment", RecordLayout::Segment, segment,
         "[SMS]\r\nPhoneNumber=+447700900123\r\nSender=Sender\r\nSubmitUser=alice\r\n"
         "RouteToLocalUser=bob\r\nSMSCRoute=RouteA\r\nReceiptRequested=Yes\r\nData=two\r\n"
         "UDH=\r\npid=7F\r\ndcs=08\r\nBinary=1\r\n",
         [](SmsMessage& m) {
             m.sender = "Sender";
             m.data = "two";
             m.flags = store::kFlagReceiptRequested;
             m.recombine = false;
             m.attach_files[9].clear();
             m.retry_count = 0;
             m.last_retry_time = {};
         }},
        {"inbound", RecordLayout::Inbound, inbound_record(),
         "[SMS-IN]\r\nModemName=\r\nSender=+4477\r\nPhoneNumber=123\r\npid=1\r\n"
         "Data=Hi\\r\\nSMSCRoute=evil \r\nReceiptFailed=Yes\r\nReceiptMessageId=M1\r\n"
         "SMPPOptions=a=1\r\n",
         [](SmsMessage& m) { m.data = "Hi\r\nSMSCRoute=evil "; }},
        {"gateway receipt", RecordLayout::GatewayReceipt, receipt,
         "[SMS-IN]\r\nModemName=SMPP - a\r\nSender=+4477\r\nPhoneNumber=123\r\n"
         "Data=Hi\\r\\nSMSCRoute=evil \r\nBinary=0\r\nReceiptFailed=Yes\r\n"
         "ReceiptMessageId=M1\r\nSMPPOptions=a=1\r\n",
         [](SmsMessage& m) {
             m.data = "Hi\r\nSMSCRoute=evil ";
             m.pid = 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = store::format_request(c.in, c.layout);
        EXPECT_EQ(text, c.bytes);
        SmsMessage want = c.in;
        if (c.lost) c.lost(want);
        want.loaded_flags = want.flags;
        EXPECT_TRUE(store::parse_request(text) == want);
        // Formatting what was parsed gives the same record once more.
        EXPECT_TRUE(store::parse_request(store::format_request(want)) == want);
    }
}

TEST(RequestCodec, EscapesKeepEveryValueOnItsLine) {
    const std::string v = "a\rb\nc\td\x01\x7F\xC3\xA9";
    EXPECT_EQ(store::escape_value(v), "a b c d \x7F\xC3\xA9");
    EXPECT_EQ(store::escape_value(v, store::Escape::Data), "a\\rb\\nc d \x7F\xC3\xA9");
    EXPECT_EQ(store::escape_value(v, store::Escape::FirstLine), "a");
    EXPECT_EQ(store::unescape_data("a\\r\\nb\\\\r\\x\\"), "a\r\nb\\\r\\x\\");

    std::string text = "[SMS]\r\nData=x";
    store::append_key(text, store::Key::Data, "1\r\n2");
    store::append_key(text, store::Key::Sender, "s\r\nPhoneNumber=9");
    EXPECT_EQ(text, "[SMS]\r\nData=x\r\nData=1\\r\\n2\r\nSender=s  PhoneNumber=9\r\n");
    EXPECT_EQ(
        store::set_key(" sender=a\r\n[SMS]\nSender=b\nData=Sender=c", store::Key::Sender, "d"),
        "[SMS]\nData=Sender=c\r\nSender=d\r\n");
}

}  // namespace
