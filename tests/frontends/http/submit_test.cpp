// Unit tests of the HTTP submission rules: recipients, senders, DelayUntil,
// the validation messages, the message shape and the request file text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/settings.h"
#include "frontends/http/submit_bulk.h"
#include "frontends/http/submit_menu.h"
#include "frontends/http/submit_params.h"
#include "frontends/http/submit_shape.h"
#include "frontends/http/submit_write.h"
#include "store/bulk_queue.h"
#include "store/request_codec.h"

namespace frontends::http {
namespace {

TEST(SubmitParams, RecipientsAreSplitNormalisedAndConverted) {
    SubmitSettings s;
    s.recip_prefix_convert = "07:+447";
    struct Case {
        const char* value;
        bool alpha;
        std::vector<std::string> want;
        uint32_t port;
    } cases[] = {
        {"+44 (7700) 900-123", false, {"+447700900123"}, 0},
        {"12345:9200", false, {"12345"}, 9200},
        {"077009;078, 10.1.2.3\x01"
         "abc",
         false,
         {"+4477009", "+4478", "10.1.2.3"},
         0},
        {"10.1.2.300", false, {"1012300"}, 0},
        {"alpha:1;+1#", true, {"alpha:1", "+1#"}, 0},
        {"*123#:5", false, {"123"}, 5},  // the "#" is not at the end
        {"*123#", false, {"*123#"}, 0},
        {"1,1,,", false, {"1", "1"}, 0},
    };
    for (const Case& c : cases) {
        s.allow_alpha_recip = c.alpha;
        uint32_t port = 0;
        EXPECT_EQ(expand_recipients(c.value, "", s, &port), c.want) << c.value;
        EXPECT_EQ(port, c.port) << c.value;
    }
    EXPECT_EQ(split_recipient_entries(std::string(150, '1'))[0].size(), kRecipientEntryMax);
}

TEST(SubmitParams, DistributionListNamesStayInsideTheListTree) {
    SubmitSettings s;
    s.dlists_dir = "/h/DLists/";
    EXPECT_EQ(dlist_path("#sales", "alice", s), "/h/DLists/sales.TXT");
    EXPECT_EQ(dlist_path("#vip#", "alice", s), "/h/DLists/#vip#.TXT");
    EXPECT_EQ(dlist_path("team", "alice", s), "/h/DLists/alice/team.TXT");
    EXPECT_EQ(dlist_path("team", "", s), "/h/DLists/team.TXT");
    EXPECT_EQ(dlist_path("#../../etc/passwd", "", s), "/h/DLists/..-..-etc-passwd.TXT");
    EXPECT_EQ(dlist_path("..", "..", s), "/h/DLists/-/-.TXT");
    EXPECT_EQ(dlist_addresses("\xEF\xBB\xBF+111 Bob\r\n\r\n  222\tx\n333"),
              (std::vector<std::string>{"+111", "222", "333"}));
}

TEST(SubmitParams, SenderRules) {
    SubmitSettings s;
    s.sender_prefix_convert = "00:+";
    struct Case {
        const char* sender;
        const char* forced;
        bool alpha;
        const char* want;
        uint32_t port;
    } cases[] = {
        {"0044123", "", false, "+44123", 0},         {"+44123:5000", "", false, "+44123", 5000},
        {"+44 123", "", false, "+44 123", 0},  // a blank makes it alphanumeric
        {"Kel;Shop", "", false, "Kel;Shop", 0},      {"+44123:5000", "", true, "+44123:5000", 0},
        {"Intruder", "Shop, Alt", false, "Shop", 0}, {"alt", "Shop, Alt", false, "alt", 0},
    };
    for (const Case& c : cases) {
        s.allow_alpha_recip = c.alpha;
        uint32_t port = 0;
        EXPECT_EQ(apply_sender_rules(c.sender, c.forced, s, &port), c.want) << c.sender;
        EXPECT_EQ(port, c.port) << c.sender;
    }
}

TEST(SubmitParams, DelayUntilAndHexBytes) {
    frame::ScheduledTime t;
    ASSERT_TRUE(parse_delay_until("2026-12-31 23:59", t));
    EXPECT_EQ(t.year * 100000000LL + t.month * 1000000 + t.day * 10000 + t.hour * 100 + t.minute,
              202612312359LL);
    ASSERT_TRUE(parse_delay_until("202612312359", t));
    EXPECT_EQ(t.minute, 59);
    EXPECT_FALSE(parse_delay_until("soon", t));
    EXPECT_EQ(leading_hex_byte("1F5"), 0xF5);
    EXPECT_EQ(leading_hex_byte("8x9"), 0x08);
    EXPECT_EQ(leading_hex_byte(""), 0);

    SubmitSettings s;
    SubmitParams p;
    read_submit_params("GET /?Phone=1&Text=x&DelayUntil=2026-13-01T00:00 HTTP/1.1\r\n\r\n", {}, s,
                       p);
    EXPECT_EQ(validate_submit_params(p), "Invalid format for DelayUntil=2026-13-01T00:00");
}

TEST(SubmitParams, ValidationMessagesInTheirOrder) {
    SubmitSettings s;
    struct Case {
        const char* query;
        const char* want;
    } cases[] = {
        // The order of the checks (each message alone is checked end to end).
        {"Text=hi&MMSCRoute=mm&UDH=0G", "Invalid format for telephone number."},
        {"Phone=1&MMSCRoute=mm&UDH=0G", "Unknown mmscRoute=mm"},
        {"Phone=1&Text=hi&UDH=050", "Invalid format for UDH (odd number of hexadecimal digits)."},
        {"Phone=1&Data=C8329BFD06", ""},
        {"Phone=1&Text=%C0%AF", "Invalid format for Text parameter (not UTF-8; give its charset)."},
        {"Phone=1&Text=%ED%A0%80",
         "Invalid format for Text parameter (not UTF-8; give its charset)."},
        {"Phone=1&Text=%E2%82", "Invalid format for Text parameter (not UTF-8; give its charset)."},
        {"Phone=1&Text=%E2%82%AC%F0%9F%98%80", ""},
        {"Phone=1&Text=caf%E9&charset=iso-8859-1", ""},
        {"Phone=1&Text=hi&SegNum=1&SegCount=300", ""},
        {"OTA_SUBMIT_VIEWXML=1&Text=x", ""},
    };
    for (const Case& c : cases) {
        SubmitParams p;
        read_submit_params(std::string("GET /?") + c.query + " HTTP/1.1\r\n\r\n", {}, s, p);
        EXPECT_EQ(validate_submit_params(p), c.want) << c.query;
    }
    SubmitParams p;
    // SegCount above 255 counts as 0, so no header is built and the text stays text.
    p = {};
    read_submit_params("GET /?Phone=1&Text=hi&SegNum=1&SegCount=300 HTTP/1.1\r\n\r\n", {}, s, p);
    EXPECT_TRUE(p.udh.empty());
    EXPECT_FALSE(p.binary);
    // Text with a header goes as packed GSM 7-bit behind it.
    p = {};
    read_submit_params("GET /?Phone=1&Text=hi&SegRef=7&SegNum=1&SegCount=2 HTTP/1.1\r\n\r\n", {}, s,
                       p);
    EXPECT_EQ(validate_submit_params(p), "");
    EXPECT_EQ(p.udh, "050003070201");
    EXPECT_EQ(p.text, "D069");  // "hi" after one fill bit
}

uint8_t fixed_reference() {
    return 0x2A;
}

TEST(SubmitShape, SegmentsAndCodings) {
    ShapeSettings s;
    std::string cyr;
    for (int i = 0; i < 71; ++i) cyr += "\xD0\x9F";
    struct Case {
        std::string text;
        bool binary;
        size_t parts;
        const char* kind;
        uint8_t dcs;
        const char* first_udh;
    } cases[] = {
        {std::string(160, 'a'), false, 1, "Text", 0, ""},
        {std::string(161, 'a'), true, 2, "LongText", 0, "0500032A0201"},
        {std::string(153 * 3, 'a'), true, 3, "LongText", 0, "0500032A0301"},
        {"\xD0\x9F", true, 1, "Text", 0x08, ""},
        {cyr, true, 2, "LongText", 0x08, "0500032A0201"},
    };
    for (const Case& c : cases) {
        SubmitParams p;
        p.text = c.text;
        MessageShape shape;
        std::string error;
        ASSERT_TRUE(shape_message(p, s, shape, error, &fixed_reference)) << error;
        EXPECT_EQ(shape.binary, c.binary) << c.text.size();
        EXPECT_EQ(shape.parts.size(), c.parts) << c.text.size();
        EXPECT_EQ(shape.kind, c.kind);
        EXPECT_EQ(shape.dcs, c.dcs);
        EXPECT_EQ(shape.parts[0].udh, c.first_udh);
    }
    // More than 100 segments is refused, not cut.
    SubmitParams p;
    for (int i = 0; i < 67 * 100 + 1; ++i) p.text += "\xD0\x9F";
    MessageShape shape;
    std::string error;
    EXPECT_FALSE(shape_message(p, s, shape, error, &fixed_reference));
    EXPECT_EQ(error, "Message too long (more than 100 segments).");
    // Binary data beyond 140 octets with a concatenation header of its own
    // is split with new headers.
    p = {};
    p.binary = true;
    p.udh = "050003010101";
    p.dcs = 0x04;
    p.text = std::string(300, 'A');
    ASSERT_TRUE(shape_message(p, s, shape, error, &fixed_reference)) << error;
    ASSERT_EQ(shape.parts.size(), 2u);
    EXPECT_EQ(shape.parts[1].udh, "0500032A0202");
    EXPECT_EQ(shape.parts[0].data.size() + shape.parts[1].data.size(), 300u);
}

TEST(SubmitWrite, RequestTextKeepsEveryValueOnItsLine) {
    SubmitSettings s;
    s.extra_http_arg_list = "Campaign;PhoneNumber, Bad=Name";
    SubmitContext ctx{"alice", "", "127.0.0.1"};
    SubmitParams p;
    read_submit_params(
        "GET /?Phone=%2B1&Text=hi%0D%0ABinary=1%0APhoneNumber=999&Sender=Shop%0D%0ASMSCRoute=x"
        "&Validity=1%00Binary=1&ServiceType=A;B=C&Campaign=c1%0ASMSCRoute=evil"
        "&PhoneNumber=555&Receipt=Yes HTTP/1.1\r\n\r\n",
        ctx, s, p);
    ASSERT_EQ(validate_submit_params(p), "");
    MessageShape shape;
    std::string error;
    ASSERT_TRUE(shape_message(p, ShapeSettings{}, shape, error));
    FileTarget target{p.recipients[0], "", "u1"};
    std::string text = submit_request_text(p, ctx, shape, shape.parts[0], target);
    EXPECT_EQ(text,
              "[SMS]\r\nSubmitUser=alice\r\nSubmittedBy=127.0.0.1\r\nSender=Shop  SMSCRoute=x\r\n"
              "ReceiptRequested=Yes\r\nValidity=1\r\nServiceType=A;B=C\r\n"
              "Data=hi\\r\\nBinary=1\\nPhoneNumber=999\r\nPhoneNumber=+1\r\nSMSCRoute=\r\n"
              "UserData=u1\r\nCampaign=c1 SMSCRoute=evil\r\n");
    store::SmsMessage m = store::parse_request(text);
    EXPECT_EQ(m.phone_number, "+1");
    EXPECT_EQ(m.route, "");
    EXPECT_FALSE(m.binary);
    EXPECT_EQ(m.data, "hi\r\nBinary=1\nPhoneNumber=999");
}

}  // namespace
}  // namespace frontends::http

namespace frontends::http {
namespace {

TEST(SubmitBulk, ListLinesKeepEveryPartOnItsLine) {
    EXPECT_EQ(bulk_list_line("6B000001.req", {"+1", "", ""}), "6B000001.req=+1\r\n");
    EXPECT_EQ(bulk_list_line("SAR-1-a-2-@@CTR@@.req", {"1", "SMPP - x", "u\r\n2"}),
              "SAR-1-a-2-@@CTR@@.req=1;SMPP - x;UserData=u  2\r\n");
    // A control character in a recipient cannot start another list line.
    std::string line = bulk_list_line("A.req", {"al\npha", "R1", "x"});
    EXPECT_EQ(line, "A.req=al pha;R1;UserData=x\r\n");
    store::BulkRecipient r;
    ASSERT_TRUE(store::parse_bulk_line(std::string_view(line).substr(0, line.size() - 2), r));
    EXPECT_EQ(r.phone, "al pha");
    EXPECT_EQ(r.route, "R1");
    EXPECT_EQ(r.user_data, "x");
}

}  // namespace
}  // namespace frontends::http

namespace frontends::http {
namespace {

bool fake_tracking(std::string_view id, TrackedMessage& out) {
    if (id != "SMSC-7") return false;
    out = {"6B000042", "alice", "+4411", "+4422"};
    return true;
}

TEST(SubmitReceipt, InjectedReceiptTextsAndAddresses) {
    platform::LocalTime now;
    now.year = 2026, now.month = 12, now.day = 9, now.hour = 4, now.minute = 7;
    struct Case {
        const char* query;
        const char* text;
    } cases[] = {
        {"ReceiptMessageId=X1&Phone=1&Data=AB&dcs=F5",
         "id:X1 sub:001 dlvrd:001 submit date:2612090407 done date:2612090407 stat:DELIVRD "
         "err:000"},
        {"ReceiptMessageId=X1&Phone=1&ReceiptIntransit=1&ReceiptDoneDate=2612010000",
         "id:X1 sub:001 dlvrd:000 submit date:2612090407 done date:2612010000 stat:ENROUTE "
         "err:000"},
        {"ReceiptMessageId=X1&Phone=1&ReceiptFailed=1",
         "id:X1 sub:001 dlvrd:000 submit date:2612090407 done date:2612090407 stat:REJECTD "
         "err:3E7"},
        {"ReceiptMessageId=X1&Phone=1&ReceiptFailed=1&ReceiptFailedStatus=EXPIRED",
         "id:X1 sub:001 dlvrd:000 submit date:2612090407 done date:2612090407 stat:EXPIRED "
         "err:3E7"},
    };
    SubmitSettings s;
    for (const Case& c : cases) {
        SubmitParams p;
        read_submit_params(std::string("GET /?") + c.query + " HTTP/1.1\r\n\r\n", {}, s, p);
        inject_receipt(p, &fake_tracking, now);
        EXPECT_EQ(p.text, c.text) << c.query;
        EXPECT_FALSE(p.binary);
        EXPECT_EQ(p.dcs, 0);
        EXPECT_EQ(validate_submit_params(p), "");
    }
    // A tracked message: its id, the addresses turned round, back to its account.
    SubmitParams p;
    read_submit_params("GET /?ReceiptMessageId=SMSC-7 HTTP/1.1\r\n\r\n", {}, s, p);
    inject_receipt(p, &fake_tracking, now);
    EXPECT_EQ(p.receipt_message_id, "6B000042");
    EXPECT_EQ(p.recipients, std::vector<std::string>{"+4411"});
    EXPECT_EQ(p.sender, "+4422");
    EXPECT_EQ(p.local_route, "alice");
    EXPECT_TRUE(p.receipt_delivered);
    EXPECT_EQ(p.text.substr(0, 12), "id:6B000042 ");
}

}  // namespace
}  // namespace frontends::http

namespace frontends::http {
namespace {

TEST(SubmitMenu, BlocksFollowTheAccountAndTheSettings) {
    const std::string page =
        "a<!@@StartBlockMMS@@>M<!@@EndBlockMMS@@>b<!@@StartBlockAdmin@@>A<!@@EndBlockAdmin@@>"
        "<!@@StartBlockAdvanced@@>V<!@@EndBlockAdvanced@@><!@@StartBlockWAPMM@@>W"
        "<!@@EndBlockWAPMM@@><!@@StartBlockAvailableCredits@@>@@AvailableCredits@@"
        "<!@@EndBlockAvailableCredits@@>|@@SMSCROUTELIST@@";
    struct Case {
        const char* options;
        bool admin, disable_mms, credits;
        const char* want;
    } cases[] = {
        {"", false, false, false, "aMbVW|"},
        {"All", true, true, true, "abAVW1.5|"},
        {"SMSMMS", false, false, false, "aMb|"},
        {"TextOnly", false, false, false, "ab|"},
    };
    for (const Case& c : cases) {
        MenuContext m;
        m.logged_in = true;
        m.web_options = c.options;
        m.admin_enabled = c.admin;
        m.disable_mms = c.disable_mms;
        m.has_credits = c.credits;
        m.credits = "1.5";
        m.smsc_routes = {"R<1>"};
        std::string out = fill_menu_page(page, m);
        const std::string list =
            "<select name=\"SMSCRoute\"><option value=\"\">(default)</option>"
            "<option value=\"R&lt;1&gt;\">R&lt;1&gt;</option></select>";
        EXPECT_EQ(out, c.want + list) << c.options;
    }
}

}  // namespace
}  // namespace frontends::http
