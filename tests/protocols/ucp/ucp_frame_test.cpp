// UCP/EMI codec against frames written out by hand from the protocol's
// published layout (header TRN/LEN/O|R/OT, the 33 fields of the 50 series,
// checksum = sum of the bytes after STX up to the last "/", modulo 256).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "protocols/common/link.h"
#include "protocols/ucp/frame.h"
#include "protocols/ucp/ucp.h"

namespace ucp = protocols::ucp;

namespace {

std::string framed(const std::string& body) {
    return std::string(1, ucp::STX) + body + std::string(1, ucp::ETX);
}

ucp::Frame decoded(const std::string& body) {
    ucp::Frame f;
    EXPECT_EQ(ucp::decode_frame(body, f), ucp::DecodeError::None) << body;
    return f;
}

// The example login of the interface description: OAdC 07656765, OTON 2,
// ONPI 1, STYP 1, password "Password", VERS 0100.
constexpr const char* kDocumentedLogin =
    "02/00059/O/60/07656765/2/1/1/50617373776F7264//0100//////61";

}  // namespace

TEST(UcpFrame, DocumentedLoginEncodesByteForByte) {
    ucp::Frame f = ucp::build_login("07656765", "Password", "2", "1");
    f.trn = 2;
    EXPECT_EQ(ucp::encode_frame(f), framed(kDocumentedLogin));
}

TEST(UcpFrame, DocumentedLoginDecodes) {
    ucp::Frame f = decoded(kDocumentedLogin);
    EXPECT_EQ(f.trn, 2);
    EXPECT_FALSE(f.result);
    EXPECT_EQ(f.ot, 60);
    ASSERT_EQ(f.fields.size(), size_t(ucp::FIELDS_60));
    EXPECT_EQ(f.fields[ucp::F60_OADC], "07656765");
    EXPECT_EQ(f.fields[ucp::F60_PWD], "50617373776F7264");
    EXPECT_EQ(f.fields[ucp::F60_VERS], "0100");
    EXPECT_EQ(f.fields[ucp::F60_RES1], "");
}

TEST(UcpFrame, Checksum) {
    // Only the low eight bits of the sum count.
    EXPECT_EQ(ucp::checksum("03/00019/R/31/A//"), "6E");
    EXPECT_EQ(ucp::checksum(""), "00");
    EXPECT_EQ(ucp::checksum(std::string(256, char(0xFF))), "00");
    EXPECT_EQ(ucp::checksum(std::string(1, char(0xFF)) + "\x01"), "00");
}

TEST(UcpFrame, DecodeFaults) {
    struct Case {
        const char* body;
        ucp::DecodeError err;
        bool header_ok;
    } cases[] = {
        {"02/00059/O/60/07656765/2/1/1/50617373776F7264//0100//////62", ucp::DecodeError::Checksum,
         true},
        {"02/00058/O/60/07656765/2/1/1/50617373776F7264//0100//////60", ucp::DecodeError::Length,
         true},
        {"02/00059/O/60/07656765/2/1/1/50617373776F7264//0100//////6", ucp::DecodeError::Syntax,
         true},
        {"02/00059/O/60/07656765/2/1/1/50617373776F7264//0100//////6G", ucp::DecodeError::Syntax,
         true},
        {"0X/00059/O/60/07656765/2/1/1/50617373776F7264//0100//////61", ucp::DecodeError::Header,
         false},
        {"02/00059/X/60/07656765/2/1/1/50617373776F7264//0100//////61", ucp::DecodeError::Header,
         false},
        {"02/0005/O/60//", ucp::DecodeError::Header, false},
        {"02/00", ucp::DecodeError::Header, false},
        {"", ucp::DecodeError::Header, false},
        // lower-case checksum digits are accepted
        {"03/00019/R/31/A//6e", ucp::DecodeError::None, true},
    };
    for (const Case& c : cases) {
        ucp::Frame f;
        bool ok = false;
        EXPECT_EQ(ucp::decode_frame(c.body, f, &ok), c.err) << c.body;
        EXPECT_EQ(ok, c.header_ok) << c.body;
        if (c.header_ok) {
            EXPECT_EQ(f.trn * 100 + f.ot, c.body[1] == '2' ? 260 : 331) << c.body;
        }
    }
}

TEST(UcpFrame, EmptyAndMissingFields) {
    // No data field at all, one empty field, and empty fields between.
    ucp::Frame f;
    ASSERT_EQ(ucp::decode_frame("00/00016/R/31/C9", f), ucp::DecodeError::None);
    EXPECT_TRUE(f.fields.empty());
    f = decoded("00/00017/R/31//F9");
    EXPECT_EQ(f.fields, std::vector<std::string>{""});
    f = decoded("03/00019/R/31/A//6E");
    EXPECT_EQ(f.fields, (std::vector<std::string>{"A", ""}));
}

TEST(UcpFrame, ScanStream) {
    std::string good = framed("03/00019/R/31/A//6E");
    struct Case {
        std::string buf;
        ucp::ScanState state;
        size_t skip, length;
    } cases[] = {
        {"", ucp::ScanState::NeedMore, 0, 0},
        {good, ucp::ScanState::Frame, 0, good.size()},
        {good + "\x02"
                "01/",
         ucp::ScanState::Frame, 0, good.size()},
        {"xx" + good, ucp::ScanState::Garbage, 2, 0},
        {"no frame here", ucp::ScanState::Garbage, 13, 0},
        {good.substr(0, 10), ucp::ScanState::NeedMore, 0, 0},
        {good.substr(0, 10) + good, ucp::ScanState::MissingEtx, 0, 10},
        {"\x02" + std::string(ucp::kMaxFrameBody, 'A'), ucp::ScanState::NeedMore, 0, 0},
        {"\x02" + std::string(ucp::kMaxFrameBody + 1, 'A'), ucp::ScanState::Oversized, 0, 0},
        {"\x02" + std::string(ucp::kMaxFrameBody + 1, 'A') + "\x03", ucp::ScanState::Oversized, 0,
         0},
    };
    for (const Case& c : cases) {
        ucp::Scan s = ucp::scan_frame(c.buf);
        EXPECT_EQ(int(s.state), int(c.state)) << c.buf.substr(0, 40);
        EXPECT_EQ(s.skip, c.skip) << c.buf.substr(0, 40);
        EXPECT_EQ(s.length, c.length) << c.buf.substr(0, 40);
    }
}

TEST(UcpFrame, AlphanumericOriginator) {
    // The interface description's example: "ALPHA@NUM" is 10412614190438AB4D.
    EXPECT_EQ(ucp::encode_alphanumeric_address("ALPHA@NUM"), "10412614190438AB4D");
    std::string text;
    ASSERT_TRUE(ucp::decode_alphanumeric_address("10412614190438AB4D", text));
    EXPECT_EQ(text, "ALPHA@NUM");

    struct Case {
        const char* in;
        const char* back;  // after the round trip
    } cases[] = {
        {"A", "A"},
        {"Shop", "Shop"},
        {"ABCDEFG", "ABCDEFG"},                    // seven septets: the spare bits carry fill
        {"ABCDEFGH@", "ABCDEFGH@"},                // "@" (septet 0) at the end survives
        {"ABCDEFGHIJKLMN", "ABCDEFGHIJK"},         // eleven septets at most
        {"ABCDEFGHIJ\xE2\x82\xAC", "ABCDEFGHIJ"},  // the euro's escape pair does not fit
        {"ABCDEFGHI\xE2\x82\xAC", "ABCDEFGHI\xE2\x82\xAC"},
        {"K\xC3\xB8"
         "benhavn",
         "K\xC3\xB8"
         "benhavn"},
    };
    for (const Case& c : cases) {
        std::string enc = ucp::encode_alphanumeric_address(c.in);
        ASSERT_TRUE(ucp::decode_alphanumeric_address(enc, text)) << c.in << " " << enc;
        EXPECT_EQ(text, c.back) << enc;
    }
    for (const char* bad : {"", "1", "10", "1041", "XX412614190438AB4D", "20412614190438AB4D",
                            "00AA", "10412614190438AB4D0000"}) {
        EXPECT_FALSE(ucp::decode_alphanumeric_address(bad, text)) << bad;
    }
}

TEST(UcpFrame, XSer) {
    EXPECT_EQ(ucp::encode_xser({{ucp::XSER_UDH, std::string("\x05\x00\x03\xA7\x02\x01", 6)},
                                {ucp::XSER_DCS, std::string("\x08", 1)}}),
              "0106050003A70201020108");
    std::vector<ucp::XSerItem> items;
    ASSERT_TRUE(ucp::decode_xser("0106050003a70201020108", items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].type, 1);
    EXPECT_EQ(items[0].data, std::string("\x05\x00\x03\xA7\x02\x01", 6));
    EXPECT_EQ(items[1].type, 2);
    EXPECT_EQ(items[1].data, "\x08");
    for (const char* bad : {"01", "0105AABB", "010", "ZZ00", "0201"}) {
        items.clear();
        EXPECT_FALSE(ucp::decode_xser(bad, items)) << bad;
    }
    items.clear();
    EXPECT_TRUE(ucp::decode_xser("", items));
    EXPECT_TRUE(items.empty());
}

// Submits as frames: the fields the gateway's arguments must become.
TEST(UcpFrame, SubmitFrames) {
    ucp::CodingOptions opt;
    struct Case {
        const char* name;
        protocols::common::SubmitRecord m;
        int trn;
        const char* body;
    };
    auto msg = [](const char* sender, const char* recipient, int pid, int dcs, const char* udh,
                  const char* data, int flags, bool binary) {
        protocols::common::SubmitRecord m;
        m.sender = sender;
        m.recipient = recipient;
        m.pid = pid;
        m.dcs = dcs;
        m.udh_hex = udh;
        m.data = data;
        m.flags = flags;
        m.binary = binary;
        return m;
    };
    Case cases[] = {
        {"text", msg("1234", "0612345678", 0, 0, "", "Hello", 0, false), 0,
         "00/00074/O/51/0612345678/1234/////////////////3//48656C6C6F/////////////27"},
        {"alpha sender, receipt, UCS-2",
         msg("ALPHA@NUM", "+447700900123", 0, 8, "",
             "\xE2\x82\xAC"
             "1",
             0x02, false),
         1,
         "01/00104/O/51/00447700900123/10412614190438AB4D//1//3/////////////4/32/20AC0031////////"
         "5039//020108///05"},
        {"binary with UDH and PID",
         msg("1234", "0612345678", 127, 0xF5, "0605040B8423F0", "0102ff", 0, true), 2,
         "02/00100/O/51/0612345678/1234////////////0127/////4/24/0102FF//////////"
         "01070605040B8423F00201F5///48"},
    };
    for (Case& c : cases) {
        ucp::Frame f;
        ASSERT_EQ(ucp::build_submit(c.m, opt, f), 0) << c.name;
        f.trn = c.trn;
        EXPECT_EQ(ucp::encode_frame(f), framed(c.body)) << c.name;
    }
}

TEST(UcpFrame, SubmitFields) {
    struct Case {
        const char* name;
        const char* sender;
        const char* recipient;
        int dcs;
        const char* udh;
        const char* data;
        int flags;
        bool binary;
        ucp::TextCharset charset;
        // expected fields
        const char* oadc;
        const char* otoa;
        const char* mt;
        const char* nb;
        const char* msg;
        const char* xser;
        const char* nrq;
        const char* nt;
    } cases[] = {
        {"GSM codes", "", "123", 0, "", "@\xC2\xA3$_", 0, false, ucp::TextCharset::Gsm, "", "", "3",
         "", "00010211", "", "", ""},
        {"IRA codes", "", "123", 0, "", "@\xC2\xA3$_", 0, false, ucp::TextCharset::Ira, "", "", "3",
         "", "40A3245F", "", "", ""},
        {"extension table", "", "123", 0, "", "{\xE2\x82\xAC}", 0, false, ucp::TextCharset::Gsm, "",
         "", "3", "", "1B281B651B29", "", "", ""},
        {"flash text keeps its DCS", "", "123", 0x10, "", "Hi", 0, false, ucp::TextCharset::Gsm, "",
         "", "3", "", "4869", "020110", "", ""},
        {"text with UDH", "", "123", 0, "050003A70201", "Hi", 0, false, ucp::TextCharset::Gsm, "",
         "", "3", "", "4869", "0106050003A70201", "", ""},
        {"packed 7-bit segment", "", "123", 0, "", "C8329BFD06", 0, true, ucp::TextCharset::Gsm, "",
         "", "3", "", "48656C6C6F", "", "", ""},
        {"packed 7-bit behind a UDH", "", "123", 0, "050003A70201", "90E910", 0, true,
         ucp::TextCharset::Gsm, "", "", "3", "", "486921", "0106050003A70201", "", ""},
        {"international sender", "+4477", "123", 0, "", "x", 0, false, ucp::TextCharset::Gsm,
         "4477", "1139", "3", "", "78", "", "", ""},
        {"non-delivery receipt only", "", "123", 0, "", "x", 0x40, false, ucp::TextCharset::Gsm, "",
         "", "3", "", "78", "", "1", "2"},
        {"8-bit binary", "", "123", 4, "", "00FF", 0, true, ucp::TextCharset::Gsm, "", "", "4",
         "16", "00FF", "020104", "", ""},
    };
    for (const Case& c : cases) {
        ucp::CodingOptions opt;
        opt.charset = c.charset;
        protocols::common::SubmitRecord m;
        m.sender = c.sender;
        m.recipient = c.recipient;
        m.dcs = c.dcs;
        m.udh_hex = c.udh;
        m.data = c.data;
        m.flags = c.flags;
        m.binary = c.binary;
        ucp::Frame f;
        ASSERT_EQ(ucp::build_submit(m, opt, f), 0) << c.name;
        ASSERT_EQ(f.fields.size(), size_t(ucp::FIELDS_50));
        EXPECT_EQ(f.fields[ucp::F_OADC], c.oadc) << c.name;
        EXPECT_EQ(f.fields[ucp::F_OTOA], c.otoa) << c.name;
        EXPECT_EQ(f.fields[ucp::F_MT], c.mt) << c.name;
        EXPECT_EQ(f.fields[ucp::F_NB], c.nb) << c.name;
        EXPECT_EQ(f.fields[ucp::F_MSG], c.msg) << c.name;
        EXPECT_EQ(f.fields[ucp::F_XSER], c.xser) << c.name;
        EXPECT_EQ(f.fields[ucp::F_NRQ], c.nrq) << c.name;
        EXPECT_EQ(f.fields[ucp::F_NT], c.nt) << c.name;
    }
}

TEST(UcpFrame, SubmitNotificationAddressAndBilling) {
    ucp::CodingOptions opt;
    opt.notification_address = "0612000000";
    protocols::common::SubmitRecord m;
    m.recipient = "123";
    m.data = "x";
    m.flags = 0x02;
    m.options = {{"BillingInfo", "ABC"}};
    ucp::Frame f;
    ASSERT_EQ(ucp::build_submit(m, opt, f), 0);
    EXPECT_EQ(f.fields[ucp::F_NADC], "0612000000");
    EXPECT_EQ(f.fields[ucp::F_NPID], "0539");
    EXPECT_EQ(f.fields[ucp::F_XSER], "0C03414243");
}

TEST(UcpFrame, SubmitRefusedLocally) {
    ucp::CodingOptions opt;
    struct Case {
        const char* recipient;
        const char* udh;
        std::string data;
        bool binary;
        int dcs;
        int ec;
    } cases[] = {
        {"06-123", "", "x", false, 0, ucp::EC_ADC_INVALID},
        {"", "", "x", false, 0, ucp::EC_ADC_INVALID},
        {"12345678901234567", "", "x", false, 0, ucp::EC_ADC_INVALID},
        {"123", "", "0G", true, 4, ucp::EC_SYNTAX},
        {"123", "", "012", true, 4, ucp::EC_SYNTAX},
        {"123", "05000", "x", false, 0, ucp::EC_SYNTAX},
        {"123", "", std::string(ucp::kMaxMessageOctets + 1, 'a'), false, 0, ucp::EC_TOO_LONG},
        {"123", "", std::string(2 * (ucp::kMaxMessageOctets + 1), 'A'), true, 4, ucp::EC_TOO_LONG},
    };
    for (const Case& c : cases) {
        protocols::common::SubmitRecord m;
        m.recipient = c.recipient;
        m.udh_hex = c.udh;
        m.data = c.data;
        m.binary = c.binary;
        m.dcs = c.dcs;
        ucp::Frame f;
        EXPECT_EQ(ucp::build_submit(m, opt, f), c.ec) << c.recipient << " " << c.data.substr(0, 10);
    }
    protocols::common::SubmitRecord ok;
    ok.recipient = "123";
    std::string longest(ucp::kMaxMessageOctets, 'a');
    ok.data = longest;
    ucp::Frame f;
    EXPECT_EQ(ucp::build_submit(ok, opt, f), 0);
}

TEST(UcpFrame, DeliverShortMessage) {
    ucp::CodingOptions opt;
    protocols::common::DeliveryRecord m;
    ASSERT_EQ(ucp::parse_deliver(decoded("07/00086/O/52/1234/0612345678/////////////010203040506///"
                                         "/3//48656C6C6F/////////////87"),
                                 opt, m),
              0);
    EXPECT_EQ(m.recipient, "1234");
    EXPECT_EQ(m.sender, "0612345678");
    EXPECT_EQ(m.message, "Hello");
    EXPECT_EQ(m.scts, "010203040506");
    EXPECT_FALSE(m.binary);
    EXPECT_EQ(m.dcs, 0);
}

// 52s of every coding, built from fields set by hand.
TEST(UcpFrame, DeliverCodings) {
    struct Case {
        const char* name;
        const char* oadc;
        const char* otoa;
        const char* mt;
        const char* nb;
        const char* msg;
        const char* xser;
        const char* rpid;
        ucp::TextCharset charset;
        int ec;
        // expected
        const char* sender;
        const char* message;
        const char* udh;
        int dcs;
        bool binary;
        int pid;
    } cases[] = {
        {"GSM text", "0612", "", "3", "", "00021B65", "", "", ucp::TextCharset::Gsm, 0, "0612",
         "@$\xE2\x82\xAC", "", 0, false, 0},
        {"IRA text", "0612", "", "3", "", "40E9", "", "", ucp::TextCharset::Ira, 0, "0612",
         "@\xC3\xA9", "", 0, false, 0},
        {"alphanumeric originator", "10412614190438AB4D", "5039", "3", "", "4869", "", "",
         ucp::TextCharset::Gsm, 0, "ALPHA@NUM", "Hi", "", 0, false, 0},
        {"international originator", "4477", "1139", "3", "", "4869", "", "", ucp::TextCharset::Gsm,
         0, "+4477", "Hi", "", 0, false, 0},
        {"numeric message", "0612", "", "2", "", "12345", "", "", ucp::TextCharset::Gsm, 0, "0612",
         "12345", "", 0, false, 0},
        {"UCS-2", "0612", "", "4", "32", "20AC0031", "020108", "", ucp::TextCharset::Gsm, 0, "0612",
         "\xE2\x82\xAC"
         "1",
         "", 8, false, 0},
        {"8-bit binary with UDH and PID", "0612", "", "4", "24", "0102ff",
         "01070605040B8423F00201F5", "0127", ucp::TextCharset::Gsm, 0, "0612", "0102FF",
         "0605040B8423F0", 0xF5, true, 127},
        {"transparent without DCS", "0612", "", "4", "16", "ABCD", "", "", ucp::TextCharset::Gsm, 0,
         "0612", "ABCD", "", 4, true, 0},
        {"7-bit text with UDH stays packed", "0612", "", "3", "", "486921", "0106050003A70201", "",
         ucp::TextCharset::Gsm, 0, "0612", "90E910", "050003A70201", 0, true, 0},
        {"odd hex", "0612", "", "3", "", "486", "", "", ucp::TextCharset::Gsm, ucp::EC_SYNTAX, "",
         "", "", 0, false, 0},
        {"unknown MT", "0612", "", "9", "", "", "", "", ucp::TextCharset::Gsm, 23, "", "", "", 0,
         false, 0},
        {"NB beyond the data", "0612", "", "4", "32", "ABCD", "", "", ucp::TextCharset::Gsm,
         ucp::EC_SYNTAX, "", "", "", 0, false, 0},
        {"broken XSer", "0612", "", "3", "", "4869", "0105AA", "", ucp::TextCharset::Gsm,
         ucp::EC_SYNTAX, "", "", "", 0, false, 0},
    };
    for (const Case& c : cases) {
        ucp::Frame f;
        f.ot = ucp::OT_DELIVER;
        f.fields.assign(ucp::FIELDS_50, "");
        f.fields[ucp::F_ADC] = "1234";
        f.fields[ucp::F_OADC] = c.oadc;
        f.fields[ucp::F_OTOA] = c.otoa;
        f.fields[ucp::F_MT] = c.mt;
        f.fields[ucp::F_NB] = c.nb;
        f.fields[ucp::F_MSG] = c.msg;
        f.fields[ucp::F_XSER] = c.xser;
        f.fields[ucp::F_RPID] = c.rpid;
        ucp::CodingOptions opt;
        opt.charset = c.charset;
        protocols::common::DeliveryRecord m;
        ASSERT_EQ(ucp::parse_deliver(f, opt, m), c.ec) << c.name;
        if (c.ec) continue;
        EXPECT_EQ(m.sender, c.sender) << c.name;
        EXPECT_EQ(m.message, c.message) << c.name;
        EXPECT_EQ(m.udh_hex, c.udh) << c.name;
        EXPECT_EQ(m.dcs, c.dcs) << c.name;
        EXPECT_EQ(m.binary, c.binary) << c.name;
        EXPECT_EQ(m.pid, c.pid) << c.name;
    }
    // Too few fields to hold a message.
    ucp::Frame f;
    f.ot = ucp::OT_DELIVER;
    f.fields.assign(ucp::F_MSG, "");
    protocols::common::DeliveryRecord m;
    EXPECT_EQ(ucp::parse_deliver(f, ucp::CodingOptions{}, m), ucp::EC_SYNTAX);
}

TEST(UcpFrame, DeliveryNotification) {
    protocols::common::DeliveryRecord m;
    ASSERT_EQ(ucp::parse_notification(
                  decoded("08/00110/O/53/0612345678/1234/////////////010203040506/0/000/"
                          "010203040607/3//44656C697665726564/////////////20"),
                  ucp::CodingOptions{}, m),
              0);
    EXPECT_EQ(m.sender, "0612345678");
    EXPECT_EQ(m.recipient, "1234");
    EXPECT_EQ(m.smsc_message_id, "0612345678:010203040506");
    EXPECT_EQ(m.flags, 0x0C);
    EXPECT_EQ(
        m.message,
        "id:0612345678:010203040506 sub:001 dlvrd:001 submit date:0302010405 done date:0302010406 "
        "stat:DELIVRD err:000");

    struct Case {
        const char* dst;
        const char* rsn;
        int flags;
        const char* tail;
    } cases[] = {
        {"1", "", 0x14,
         "dlvrd:000 submit date:0302010405 done date:0302010406 stat:ENROUTE err:000"},
        {"2", "108", 0x24,
         "dlvrd:000 submit date:0302010405 done date:0302010406 stat:UNDELIV err:108"},
        {"2", "5", 0x24,
         "dlvrd:000 submit date:0302010405 done date:0302010406 stat:UNDELIV err:005"},
        {"7", "", 0x04,
         "dlvrd:000 submit date:0302010405 done date:0302010406 stat:UNKNOWN err:000"},
    };
    for (const Case& c : cases) {
        ucp::Frame f;
        f.ot = ucp::OT_NOTIFICATION;
        f.fields.assign(ucp::FIELDS_50, "");
        f.fields[ucp::F_ADC] = "0612345678";
        f.fields[ucp::F_OADC] = "10412614190438AB4D";
        f.fields[ucp::F_OTOA] = "5039";
        f.fields[ucp::F_SCTS] = "010203040506";
        f.fields[ucp::F_DST] = c.dst;
        f.fields[ucp::F_RSN] = c.rsn;
        f.fields[ucp::F_DSCTS] = "010203040607";
        ASSERT_EQ(ucp::parse_notification(f, ucp::CodingOptions{}, m), 0) << c.dst;
        EXPECT_EQ(m.flags, c.flags) << c.dst;
        EXPECT_EQ(m.recipient, "ALPHA@NUM");
        EXPECT_EQ(m.message, std::string("id:0612345678:010203040506 sub:001 ") + c.tail) << c.dst;
    }
    // Missing the time stamp or the status: refused.
    for (size_t blank : {size_t(ucp::F_ADC), size_t(ucp::F_SCTS), size_t(ucp::F_DST)}) {
        ucp::Frame f;
        f.ot = ucp::OT_NOTIFICATION;
        f.fields.assign(ucp::FIELDS_50, "");
        f.fields[ucp::F_ADC] = "0612345678";
        f.fields[ucp::F_SCTS] = "010203040506";
        f.fields[ucp::F_DST] = "0";
        f.fields[blank] = "";
        EXPECT_EQ(ucp::parse_notification(f, ucp::CodingOptions{}, m), ucp::EC_SYNTAX) << blank;
    }
}

TEST(UcpFrame, Results) {
    struct Case {
        ucp::Frame frame;
        const char* body;
    };
    ucp::Frame submit;
    submit.trn = 0;
    submit.ot = 51;
    ucp::Frame alert;
    alert.trn = 3;
    alert.ot = 31;
    Case cases[] = {
        {ucp::build_ack(submit, "0612345678:010203040506"),
         "00/00043/R/51/A//0612345678:010203040506/32"},
        {ucp::build_nack(0, 51, 24), "00/00022/R/51/N/24//09"},
        {ucp::build_ack(alert), "03/00019/R/31/A//6E"},
        {ucp::build_nack(3, 60, 7), "03/00022/R/60/N/07//0D"},
        {ucp::build_alert("user", "0539"), "00/00026/O/31/user/0539/B5"},
    };
    for (const Case& c : cases) EXPECT_EQ(ucp::encode_frame(c.frame), framed(c.body)) << c.body;

    int ec = -1;
    std::string sm;
    EXPECT_TRUE(
        ucp::parse_result(decoded("00/00043/R/51/A//0612345678:010203040506/32"), &ec, &sm));
    EXPECT_EQ(sm, "0612345678:010203040506");
    EXPECT_EQ(ucp::message_id_from_ack(sm), "0612345678:010203040506");
    EXPECT_FALSE(ucp::parse_result(decoded("00/00022/R/51/N/24//09"), &ec, &sm));
    EXPECT_EQ(ec, 24);
    EXPECT_TRUE(ucp::parse_result(decoded("03/00019/R/31/A//6E"), &ec, &sm));
    EXPECT_EQ(sm, "");
    // A NACK without a readable error code.
    ucp::Frame r;
    r.result = true;
    r.ot = 51;
    r.fields = {"N", "X1", ""};
    EXPECT_FALSE(ucp::parse_result(r, &ec, &sm));
    EXPECT_EQ(ec, 0);
    r.fields = {"Q"};
    EXPECT_FALSE(ucp::parse_result(r, &ec, &sm));
    r.fields.clear();
    EXPECT_FALSE(ucp::parse_result(r, &ec, &sm));
}

TEST(UcpFrame, ErrorTexts) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {0, "UCP OK"},
        {1, "UCP Error 01 - Checksum error"},
        {2, "UCP Error 02 - Syntax error"},
        {3, "UCP Error 03 - Operation not supported by system"},
        {4, "UCP Error 04 - Operation not allowed"},
        {5, "UCP Error 05 - Call barring active"},
        {6, "UCP Error 06 - AdC invalid"},
        {7, "UCP Error 07 - Authentication failure"},
        {8, "UCP Error 08 - Legitimisation code for all calls, failure"},
        {23, "UCP Error 23 - Message type not supported by system"},
        {24, "UCP Error 24 - Message too long"},
        {26, "UCP Error 26 - Message type not valid for the pager type"},
        {38, "UCP Error 38 - Message forwarded"},
        {28, "UCP Error - Unknown error code"},
        {99, "UCP Error - Unknown error code"},
        {-1, "UCP Error -1 - Connection to SMSC lost"},
        {-2, "UCP Error -2 - No response from SMSC"},
        {-3, "UCP Error -3 - No UCP session on this connection"},
        {-4, "UCP Error - Unknown error code"},
        {-5, "UCP Error - Unknown error code"},
    };
    for (const Case& c : cases) EXPECT_STREQ(ucp::UCPErrorText(c.code), c.text) << c.code;
}

// A stream arriving in pieces: each read goes on scanning where the last one
// stopped, so the work stays linear in the stream's length.
TEST(UcpFrame, StreamInPiecesIsScannedOnce) {
    ucp::Frame big;
    big.trn = 5;
    big.ot = 51;
    big.fields = {std::string(99982, 'A')};
    std::string stream = ucp::encode_frame(big);
    ASSERT_EQ(stream.size(), ucp::kMaxFrameBody + 2);
    ucp::Frame small;
    small.trn = 6;
    small.ot = 31;
    small.fields = {"0612", "0539"};
    stream += "noise" + ucp::encode_frame(small);
    for (size_t piece : {size_t(1), size_t(3), size_t(4096), stream.size()}) {
        std::string rbuf;
        size_t resume = 0, examined = 0, dropped = 0;
        std::atomic<bool> broken{false};
        std::vector<ucp::Frame> got;
        for (size_t at = 0; at < stream.size(); at += piece) {
            rbuf.append(stream, at, piece);
            protocols::common::consume_stx_units(
                rbuf, resume, broken,
                [&](std::string_view rest, size_t from) {
                    ucp::Scan s = ucp::scan_frame(rest, from);
                    examined += s.examined;
                    return s;
                },
                [&](std::string_view body, bool missing_etx) {
                    EXPECT_FALSE(missing_etx);
                    got.emplace_back();
                    EXPECT_EQ(int(ucp::decode_frame(body, got.back())), 0) << piece;
                },
                [&](size_t n) { dropped += n; }, [] { ADD_FAILURE(); });
        }
        EXPECT_LT(examined, 3 * stream.size()) << piece;
        EXPECT_EQ(dropped, 5u) << piece;
        EXPECT_TRUE(rbuf.empty()) << piece;
        ASSERT_EQ(got.size(), 2u) << piece;
        EXPECT_EQ(got[0].fields, big.fields) << piece;
        EXPECT_EQ(got[1].fields, small.fields) << piece;
    }
}
