// CIMD2 codec against packets written out by hand from the protocol's
// published layout: STX "ZZ:NNN" TAB ("PPP:value" TAB)* [checksum] ETX, the
// checksum being the sum of the bytes from STX to the last TAB, modulo 256.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "protocols/cimd/cimd.h"
#include "protocols/common/link.h"
#include "protocols/cimd/packet.h"
#include "radio/charset/charset.h"

namespace cimd = protocols::cimd;

namespace {

std::string wrap(const std::string& body) {
    return "\x02" + body + "\x03";
}

cimd::Packet decoded(const std::string& body) {
    cimd::Packet p;
    EXPECT_EQ(cimd::decode_packet(body, p), cimd::DecodeError::None) << body;
    return p;
}

protocols::common::SubmitRecord msg(const char* sender, const char* recipient, int pid, int dcs,
                                    const char* udh, const char* data, int flags, bool binary) {
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
}

}  // namespace

TEST(CimdPacket, LoginAndAliveBytes) {
    cimd::Packet login = cimd::build_login("user", "secret");
    login.number = 1;
    EXPECT_EQ(cimd::encode_packet(login, true), wrap("01:001\t010:user\t011:secret\t25"));
    EXPECT_EQ(cimd::encode_packet(login, false), wrap("01:001\t010:user\t011:secret\t"));
    cimd::Packet alive;
    alive.op = cimd::OP_ALIVE;
    alive.number = 9;
    EXPECT_EQ(cimd::encode_packet(alive, true), wrap("40:009\t42"));
    EXPECT_EQ(cimd::encode_packet(cimd::build_response(alive), true), wrap("90:009\t47"));
    EXPECT_EQ(cimd::encode_packet(cimd::build_response(login), true), wrap("51:001\t3C"));
    EXPECT_EQ(cimd::encode_packet(cimd::build_response(login, 100), true),
              wrap("51:001\t900:100\tA9"));
}

TEST(CimdPacket, Checksum) {
    EXPECT_EQ(cimd::checksum("\x02"
                             "40:009\t"),
              "42");
    EXPECT_EQ(cimd::checksum(""), "00");
    EXPECT_EQ(cimd::checksum(std::string(2, char(0x80))), "00");
}

TEST(CimdPacket, Decode) {
    cimd::Packet p = decoded("03:003\t021:+358401234567\t023:1234\t033:Hello _Oa_L-\t22");
    EXPECT_EQ(p.op, 3);
    EXPECT_EQ(p.number, 3);
    ASSERT_EQ(p.params.size(), 3u);
    EXPECT_EQ(*p.find(21), "+358401234567");
    EXPECT_EQ(*p.find(23), "1234");
    EXPECT_EQ(*p.find(33), "Hello _Oa_L-");
    EXPECT_EQ(p.find(34), nullptr);

    struct Case {
        const char* body;
        cimd::DecodeError err;
        bool header_ok, had_checksum;
    } cases[] = {
        {"40:009\t42", cimd::DecodeError::None, true, true},
        {"40:009\t", cimd::DecodeError::None, true, false},
        {"53:003\t021:+358401234567\t060:040302010600\tda", cimd::DecodeError::None, true, true},
        {"40:009\t43", cimd::DecodeError::Checksum, true, true},
        {"40:009\t4", cimd::DecodeError::Syntax, true, false},
        {"40:009\t4G", cimd::DecodeError::Syntax, true, false},
        {"40:009\t21:x\t", cimd::DecodeError::Syntax, true, false},
        {"40:009\t0211234\t", cimd::DecodeError::Syntax, true, false},
        {"40:009\tabc:1\t", cimd::DecodeError::Syntax, true, false},
        {"4X:009\t", cimd::DecodeError::Header, false, false},
        {"40-009\t", cimd::DecodeError::Header, false, false},
        {"40:009", cimd::DecodeError::Header, false, false},
        {"40:0091\t", cimd::DecodeError::Header, false, false},
        {"", cimd::DecodeError::Header, false, false},
    };
    for (const Case& c : cases) {
        bool ok = false, cs = false;
        EXPECT_EQ(cimd::decode_packet(c.body, p, &ok, &cs), c.err) << c.body;
        EXPECT_EQ(ok, c.header_ok) << c.body;
        EXPECT_EQ(cs, c.had_checksum) << c.body;
    }
    // Empty items between tabs are passed over.
    p = decoded("20:002\t\t021:1\t\t");
    ASSERT_EQ(p.params.size(), 1u);
    EXPECT_EQ(*p.find(21), "1");
}

TEST(CimdPacket, ScanStream) {
    std::string good = wrap("40:009\t42");
    struct Case {
        std::string buf;
        cimd::ScanState state;
        size_t skip, length;
    } cases[] = {
        {"", cimd::ScanState::NeedMore, 0, 0},
        {good, cimd::ScanState::Packet, 0, good.size()},
        {"ab" + good, cimd::ScanState::Garbage, 2, 0},
        {"abc", cimd::ScanState::Garbage, 3, 0},
        {good.substr(0, 5), cimd::ScanState::NeedMore, 0, 0},
        {good.substr(0, 5) + good, cimd::ScanState::MissingEtx, 0, 5},
        {"\x02" + std::string(cimd::kMaxPacketBody, 'x'), cimd::ScanState::NeedMore, 0, 0},
        {"\x02" + std::string(cimd::kMaxPacketBody + 1, 'x'), cimd::ScanState::Oversized, 0, 0},
    };
    for (const Case& c : cases) {
        cimd::Scan s = cimd::scan_packet(c.buf);
        EXPECT_EQ(int(s.state), int(c.state)) << c.buf.substr(0, 20);
        EXPECT_EQ(s.skip, c.skip) << c.buf.substr(0, 20);
        EXPECT_EQ(s.length, c.length) << c.buf.substr(0, 20);
    }
}

// The default character conversion: every GSM code and its CIMD2 text.
TEST(CimdPacket, CharacterConversionTable) {
    std::string all;
    for (int i = 0; i < 128; ++i) all += char(i);
    const std::string expected =
        "_Oa_L-$_Y-_e`_e'_u`_i`_o`_C,\n_O/_o/\r_A*_a*"
        "_gd_--_gf_gg_gl_go_gp_gi_gs_gt_gx_XX_AE_ae_ss_E'"
        " !\"#_ox%&'()*+,-./0123456789:;<=>?"
        "_!!ABCDEFGHIJKLMNOPQRSTUVWXYZ_A\"_O\"_N~_U\"_so"
        "_??abcdefghijklmnopqrstuvwxyz_a\"_o\"_n~_u\"_a`";
    EXPECT_EQ(cimd::gsm_to_cimd_text(all), expected);
    EXPECT_EQ(cimd::cimd_text_to_gsm(expected), all);
}

TEST(CimdPacket, CharacterConversionCases) {
    namespace cs = radio::charset;
    struct Case {
        const char* utf8;
        const char* cimd;
    } cases[] = {
        {"Hello @\xC2\xA3", "Hello _Oa_L-"},
        {"\xE2\x82\xAC{}[]~\\^|", "_XXe_XX(_XX)_XX<_XX>_XX=_XX/_XX_gl_XX_!!"},
        {"a_b", "a_--b"},
        {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "_a\"_o\"_u\"_ss"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cimd::gsm_to_cimd_text(cs::utf8_to_gsm(c.utf8)), c.cimd) << c.utf8;
        EXPECT_EQ(cs::gsm_to_utf8(cimd::cimd_text_to_gsm(c.cimd)), c.utf8) << c.cimd;
    }
    // Received text that is not in combination form.
    struct Raw {
        std::string cimd;
        const char* utf8;
    } raws[] = {
        {"a_b", "a_b"},        // a lone underscore
        {"_Zz", "_Zz"},        // no such combination
        {"x_", "x_"},          // cut short
        {"@", "@"},            // plain "@"
        {"[ok]", "[ok]"},      // ASCII of the extension table
        {"\xE9", "\xC3\xA9"},  // ISO-8859-1 e acute
        {"\t", "-"},           // not representable
        {"say _qhi_qq", "say _qhi\""},  // the double quote's combination
        {"\"_qq\"", "\"\"\""},
    };
    for (const Raw& r : raws)
        EXPECT_EQ(cs::gsm_to_utf8(cimd::cimd_text_to_gsm(r.cimd)), r.utf8) << r.cimd;
}

TEST(CimdPacket, SubmitPackets) {
    struct Case {
        const char* name;
        protocols::common::SubmitRecord m;
        int number;
        const char* body;
    } cases[] = {
        {"text", msg("1234", "+358401234567", 0, 0, "", "Hello @\xC2\xA3", 0, false), 3,
         "03:003\t021:+358401234567\t023:1234\t033:Hello _Oa_L-\t22"},
        {"alpha sender, UCS-2, receipt",
         msg("ALPHA@NUM", "+358401234567", 0, 8, "",
             "\xE2\x82\xAC"
             "1",
             0x02, false),
         5, "03:005\t021:+358401234567\t027:ALPHA_OaNUM\t030:8\t034:20AC0031\t056:62\tC7"},
        {"binary with UDH and PID",
         msg("1234", "0401234567", 127, 0xF5, "0605040B8423F0", "0102ff", 0, true), 7,
         "03:007\t021:0401234567\t023:1234\t030:245\t032:0605040B8423F0\t034:0102FF\t052:127\t85"},
    };
    for (Case& c : cases) {
        cimd::Packet p;
        ASSERT_EQ(cimd::build_submit(c.m, cimd::CodingOptions{}, p), 0) << c.name;
        p.number = c.number;
        EXPECT_EQ(cimd::encode_packet(p, true), wrap(c.body)) << c.name;
    }
}

TEST(CimdPacket, SubmitParameters) {
    struct Case {
        const char* name;
        protocols::common::SubmitRecord m;
        cimd::CodingOptions opt;
        int ec;
        std::vector<std::pair<int, const char*>> expect;  // nullptr: absent
    };
    cimd::CodingOptions plain, alpha23, prefix00;
    alpha23.alpha_in_originator = true;
    prefix00.plus_prefix = "00";
    Case cases[] = {
        {"packed segment becomes text",
         msg("", "123", 0, 0, "050003A70201", "90E910", 0, true),
         plain,
         0,
         {{33, "Hi!"}, {32, "050003A70201"}, {30, nullptr}, {34, nullptr}}},
        {"flash text",
         msg("", "123", 0, 0x10, "", "Hi", 0, false),
         plain,
         0,
         {{30, "16"}, {33, "Hi"}}},
        {"alphanumeric in 023",
         msg("Shop", "123", 0, 0, "", "x", 0, false),
         alpha23,
         0,
         {{23, "Shop"}, {27, nullptr}}},
        {"long alphanumeric cut",
         msg("ABCDEFGHIJKLMN", "123", 0, 0, "", "x", 0, false),
         plain,
         0,
         {{27, "ABCDEFGHIJK"}}},
        {"prefix",
         msg("+4477", "+4478", 0, 0, "", "x", 0, false),
         prefix00,
         0,
         {{21, "004478"}, {23, "+4477"}}},
        {"non-delivery receipt",
         msg("", "123", 0, 0, "", "x", 0x40, false),
         plain,
         0,
         {{56, "54"}}},
        {"no receipt",
         msg("", "123", 0, 0, "", "x", 0, false),
         plain,
         0,
         {{56, nullptr}, {23, nullptr}}},
        {"8-bit binary",
         msg("", "123", 0, 4, "", "00FF", 0, true),
         plain,
         0,
         {{30, "4"}, {34, "00FF"}}},
        {"bad destination",
         msg("", "12a", 0, 0, "", "x", 0, false),
         plain,
         cimd::EC_DESTINATION,
         {}},
        {"empty destination",
         msg("", "", 0, 0, "", "x", 0, false),
         plain,
         cimd::EC_DESTINATION,
         {}},
        {"destination too long",
         msg("", "123456789012345678901", 0, 0, "", "x", 0, false),
         plain,
         cimd::EC_DESTINATION,
         {}},
        {"bad hex", msg("", "123", 0, 4, "", "0G", 0, true), plain, cimd::EC_USER_DATA_SYNTAX, {}},
        {"bad UDH",
         msg("", "123", 0, 0, "050", "x", 0, false),
         plain,
         cimd::EC_USER_DATA_SYNTAX,
         {}},
    };
    for (const Case& c : cases) {
        cimd::Packet p;
        ASSERT_EQ(cimd::build_submit(c.m, c.opt, p), c.ec) << c.name;
        for (auto& [code, value] : c.expect) {
            const std::string* v = p.find(code);
            if (!value) {
                EXPECT_EQ(v, nullptr) << c.name << " " << code;
            } else {
                ASSERT_NE(v, nullptr) << c.name << " " << code;
                EXPECT_EQ(*v, value) << c.name << " " << code;
            }
        }
    }
    std::string big(cimd::kMaxMessageOctets + 1, 'a');
    cimd::Packet p;
    EXPECT_EQ(cimd::build_submit(msg("", "1", 0, 0, "", big.c_str(), 0, false), plain, p),
              cimd::EC_USER_DATA_SYNTAX);
    big.pop_back();
    EXPECT_EQ(cimd::build_submit(msg("", "1", 0, 0, "", big.c_str(), 0, false), plain, p), 0);
}

TEST(CimdPacket, DeliverMessage) {
    protocols::common::DeliveryRecord m;
    ASSERT_EQ(
        cimd::parse_deliver(
            decoded("20:002\t021:1234\t023:+358401234567\t060:040302010600\t033:Hi _a\"\t01"), m),
        0);
    EXPECT_EQ(m.recipient, "1234");
    EXPECT_EQ(m.sender, "+358401234567");
    EXPECT_EQ(m.message, "Hi \xC3\xA4");
    EXPECT_EQ(m.scts, "040302010600");
    EXPECT_FALSE(m.binary);

    struct Case {
        const char* name;
        std::string params;  // after the header
        int ec;
        const char* sender;
        const char* message;
        const char* udh;
        int dcs, pid;
        bool binary;
    } cases[] = {
        {"UCS-2", "021:1\t023:2\t030:8\t034:20AC0031\t", 0, "2",
         "\xE2\x82\xAC"
         "1",
         "", 8, 0, false},
        {"binary with UDH", "021:1\t023:2\t030:245\t032:0605040b8423f0\t034:0102ff\t052:65\t", 0,
         "2", "0102FF", "0605040B8423F0", 245, 65, true},
        {"text with UDH stays packed", "021:1\t023:2\t032:050003A70201\t033:Hi!\t", 0, "2",
         "90E910", "050003A70201", 0, 0, true},
        {"alphanumeric originator", "021:1\t027:ALPHA_OaNUM\t033:x\t", 0, "ALPHA@NUM", "x", "", 0,
         0, false},
        {"no user data", "021:1\t023:2\t", 0, "2", "", "", 0, 0, false},
        {"no destination", "023:2\t033:x\t", cimd::EC_SYNTAX, "", "", "", 0, 0, false},
        {"text and binary", "021:1\t033:x\t034:00\t", cimd::EC_USER_DATA_COMBINATION, "", "", "", 0,
         0, false},
        {"bad hex", "021:1\t034:0\t", cimd::EC_SYNTAX, "", "", "", 0, 0, false},
        {"bad UDH", "021:1\t032:zz\t033:x\t", cimd::EC_SYNTAX, "", "", "", 0, 0, false},
        {"bad PID", "021:1\t052:x\t033:x\t", cimd::EC_SYNTAX, "", "", "", 0, 0, false},
        {"bad DCS", "021:1\t030:999\t033:x\t", cimd::EC_SYNTAX, "", "", "", 0, 0, false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(cimd::parse_deliver(decoded("20:002\t" + c.params), m), c.ec) << c.name;
        if (c.ec) continue;
        EXPECT_EQ(m.sender, c.sender) << c.name;
        EXPECT_EQ(m.message, c.message) << c.name;
        EXPECT_EQ(m.udh_hex, c.udh) << c.name;
        EXPECT_EQ(m.dcs, c.dcs) << c.name;
        EXPECT_EQ(m.pid, c.pid) << c.name;
        EXPECT_EQ(m.binary, c.binary) << c.name;
    }
}

TEST(CimdPacket, StatusReport) {
    protocols::common::DeliveryRecord m;
    ASSERT_EQ(cimd::parse_status_report(
                  decoded("23:004\t021:+358401234567\t023:1234\t060:040302010600\t061:4\t"
                          "062:0\t063:040302010700\tC0"),
                  m),
              0);
    EXPECT_EQ(m.sender, "+358401234567");
    EXPECT_EQ(m.recipient, "1234");
    EXPECT_EQ(m.smsc_message_id, "+358401234567:040302010600");
    EXPECT_EQ(m.flags, 0x0C);
    EXPECT_EQ(m.message,
              "id:+358401234567:040302010600 sub:001 dlvrd:001 submit date:0403020106 done "
              "date:0403020107 "
              "stat:DELIVRD err:000");

    struct Case {
        const char* code;
        const char* err;
        int flags;
        const char* stat;
    } cases[] = {
        {"0", "", 0x14, "ENROUTE"},   {"1", "", 0x14, "ENROUTE"}, {"2", "", 0x24, "EXPIRED"},
        {"3", "11", 0x24, "UNDELIV"}, {"5", "", 0x14, "ENROUTE"}, {"6", "", 0x24, "UNDELIV"},
        {"7", "", 0x24, "DELETED"},   {"9", "", 0x24, "DELETED"}, {"12", "", 0x04, "UNKNOWN"},
    };
    for (const Case& c : cases) {
        std::string body = std::string("23:004\t021:1\t060:040302010600\t061:") + c.code + "\t";
        if (*c.err) body += std::string("062:") + c.err + "\t";
        ASSERT_EQ(cimd::parse_status_report(decoded(body), m), 0) << c.code;
        EXPECT_EQ(m.flags, c.flags) << c.code;
        std::string tail = std::string("stat:") + c.stat + " err:" + (*c.err ? "011" : "000");
        EXPECT_EQ(m.message.substr(m.message.size() - tail.size()), tail) << c.code;
        EXPECT_EQ(m.message.find("done date: stat:") != std::string::npos, true)
            << c.code;  // no discharge time
    }
    for (const char* bad :
         {"23:004\t060:040302010600\t061:4\t", "23:004\t021:1\t061:4\t",
          "23:004\t021:1\t060:0403020106\t061:4\t", "23:004\t021:1\t060:040302010600\t",
          "23:004\t021:1\t060:040302010600\t061:x\t"}) {
        EXPECT_EQ(cimd::parse_status_report(decoded(bad), m), cimd::EC_SYNTAX) << bad;
    }
}

TEST(CimdPacket, Responses) {
    cimd::Packet r = decoded("53:003\t021:+358401234567\t060:040302010600\tDA");
    EXPECT_EQ(cimd::response_error(r), 0);
    EXPECT_EQ(cimd::message_id_from_response(r), "+358401234567:040302010600");
    r = decoded("53:003\t900:300\t901:Incorrect destination address\tFD");
    EXPECT_EQ(cimd::response_error(r), 300);
    EXPECT_EQ(cimd::message_id_from_response(r), "");
    EXPECT_EQ(cimd::response_error(decoded("98:003\t900:002\tB7")), 2);
    EXPECT_EQ(cimd::response_error(decoded("98:003\t900:abc\t")), -1);
    EXPECT_EQ(cimd::response_error(decoded("53:003\t900:000\t")), 0);
}

TEST(CimdPacket, ErrorTexts) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {0, "CIMD OK"},
        {1, "CIMD Error 1 - Unexpected operation"},
        {2, "CIMD Error 2 - Syntax error"},
        {9, "CIMD Error 9 - Requested operation failed"},
        {10, "CIMD Error 10 - Temporary congestion error"},
        {100, "CIMD Error 100 - Invalid login"},
        {103, "CIMD Error 103 - Login refused by SMS Center"},
        {300, "CIMD Error 300 - Incorrect destination address"},
        {303, "CIMD Error 303 - Incorrect bin/head/normal user data parameter combination"},
        {322, "CIMD Error 322 - Invalid data for alpha numeric originator"},
        {317, "CIMD Error - Unknown error code"},
        {900, "CIMD Error - Unknown error code"},
        {-1, "CIMD Error -1 - Connection to SMSC lost"},
        {-2, "CIMD Error -2 - No response from SMSC"},
        {-3, "CIMD Error -3 - No CIMD session on this connection"},
        {-4, "CIMD Error - Unknown error code"},
    };
    for (const Case& c : cases) EXPECT_STREQ(cimd::CIMDErrorText(c.code), c.text) << c.code;
}

// A stream arriving in pieces: each read goes on scanning where the last one
// stopped, so the work stays linear in the stream's length.
TEST(CimdPacket, StreamInPiecesIsScannedOnce) {
    cimd::Packet big;
    big.op = 20;
    big.number = 1;
    big.add(33, std::string(8178, 'a'));
    std::string stream = cimd::encode_packet(big, true);
    ASSERT_EQ(stream.size(), cimd::kMaxPacketBody + 2);
    cimd::Packet small;
    small.op = 40;
    small.number = 3;
    stream += "noise" + cimd::encode_packet(small, true);
    for (size_t piece : {size_t(1), size_t(3), size_t(4096), stream.size()}) {
        std::string rbuf;
        size_t resume = 0, examined = 0, dropped = 0;
        std::atomic<bool> broken{false};
        std::vector<cimd::Packet> got;
        for (size_t at = 0; at < stream.size(); at += piece) {
            rbuf.append(stream, at, piece);
            protocols::common::consume_stx_units(
                rbuf, resume, broken,
                [&](std::string_view rest, size_t from) {
                    cimd::Scan s = cimd::scan_packet(rest, from);
                    examined += s.examined;
                    return s;
                },
                [&](std::string_view body, bool missing_etx) {
                    EXPECT_FALSE(missing_etx);
                    got.emplace_back();
                    EXPECT_EQ(int(cimd::decode_packet(body, got.back())), 0) << piece;
                },
                [&](size_t n) { dropped += n; }, [] { ADD_FAILURE(); });
        }
        EXPECT_LT(examined, 3 * stream.size()) << piece;
        EXPECT_EQ(dropped, 5u) << piece;
        EXPECT_TRUE(rbuf.empty()) << piece;
        ASSERT_EQ(got.size(), 2u) << piece;
        EXPECT_EQ(got[0].op, 20) << piece;
        ASSERT_NE(got[0].find(33), nullptr) << piece;
        EXPECT_EQ(*got[0].find(33), std::string(8178, 'a')) << piece;
        EXPECT_EQ(got[1].op, 40) << piece;
    }
}
