// The PDU codec against PDUs written out by hand from the SMS-SUBMIT,
// SMS-DELIVER and SMS-STATUS-REPORT layouts and the default alphabet's
// packing, and against the bad inputs a device can hand over.
#include "radio/pdu.h"

#include <gtest/gtest.h>

#include <string>

namespace pdu = radio::pdu;

namespace {

pdu::SubmitParams submit(std::string to, std::string text, uint8_t dcs = 0) {
    pdu::SubmitParams p;
    p.recipient = std::move(to);
    p.data = std::move(text);
    p.dcs = dcs;
    p.zero_mr = true;
    return p;
}

}  // namespace

TEST(PduBuild, Addresses) {
    EXPECT_EQ(pdu::encode_address("+4412345"), "0791442143F5");
    EXPECT_EQ(pdu::encode_address("12345"), "05812143F5");
    EXPECT_EQ(pdu::encode_address(""), "00");
    EXPECT_EQ(pdu::encode_smsc("+31624000000"), "07911326040000F0");
    EXPECT_EQ(pdu::encode_smsc(""), "00");
}

TEST(PduBuild, ValidityOctets) {
    struct Case {
        const char* text;
        int want;
    } cases[] = {{"2d", 0xA8},  {"30m", 0x06}, {"6h", 0x48}, {"24h", 0xA7}, {"12h", 0x8F},
                 {" 3D", 0xA9}, {"40d", 0xC4}, {"48h", 0xA8}, {"0d", -1},  {"2w", -1},
                 {"", -1},      {"h", -1},     {"5", -1}};
    for (const Case& c : cases) EXPECT_EQ(pdu::validity_octet(c.text), c.want) << c.text;
}

TEST(PduBuild, SubmitVectors) {
    struct Case {
        const char* name;
        pdu::SubmitParams p;
        const char* hex;
        unsigned length;
    };
    pdu::SubmitParams hello = submit("+46708251358", "hellohello");
    hello.validity = "4d";
    hello.smsc = "";
    pdu::SubmitParams seven = submit("12345", "1234567");
    seven.omit_smsc = true;
    pdu::SubmitParams sr = submit("+4412345", "1234567");
    sr.status_report = true;
    sr.reply_path = true;
    sr.smsc = "+31624000000";
    pdu::SubmitParams ucs2 = submit("+4412345", "h\xC3\xA9", 0x08);
    ucs2.omit_smsc = true;
    pdu::SubmitParams concat = submit("+4412345", "A");
    concat.udh = "050003CC0201";
    concat.omit_smsc = true;
    pdu::SubmitParams wap = submit("+4412345", "DEAD", 0x04);
    wap.text = false;
    wap.udh = "0605040B8423F0";
    wap.omit_smsc = true;
    pdu::SubmitParams hex7 = submit("12345", "31D98C56B3DD40");
    hex7.text = false;
    hex7.omit_smsc = true;
    const Case cases[] = {
        {"hellohello, 4 days", hello, "0011000B916407281553F80000AA0AE8329BFD4697D9EC37", 23},
        {"7 septets, fill space", seven, "010005812143F500000731D98C56B3DD40", 17},
        {"status report, reply path, SMSC", sr,
         "07911326040000F0A1000791442143F500000731D98C56B3DD40", 18},
        {"UCS-2", ucs2, "01000791442143F50008" "04006800E9", 15},
        {"7-bit behind a header", concat, "41000791442143F5000008050003CC020182", 18},
        {"8-bit with a port header", wap, "41000791442143F50004090605040B8423F0DEAD", 20},
        {"7-bit given as hex: fill space cleared", hex7, "010005812143F500000731D98C56B3DD00",
         17},
    };
    for (const Case& c : cases) {
        pdu::BuiltPdu b = pdu::build_submit(c.p);
        EXPECT_EQ(b.hex, c.hex) << c.name;
        EXPECT_EQ(b.tpdu_length, c.length) << c.name;
    }
}

TEST(PduBuild, ReferenceCounterSkipsZeroAndLongTextIsCut) {
    pdu::SubmitParams p = submit("1", "x");
    p.zero_mr = false;
    uint8_t prev = pdu::build_submit(p).mr;
    for (int i = 0; i < 300; ++i) {
        uint8_t mr = pdu::build_submit(p).mr;
        ASSERT_NE(mr, 0);
        ASSERT_EQ(mr, prev == 255 ? 1 : prev + 1);
        prev = mr;
    }
    EXPECT_EQ(pdu::build_submit(submit("1", std::string(160, 'a'))).user_data_octets, 140u);
    EXPECT_EQ(pdu::build_submit(submit("1", std::string(161, 'a'))).user_data_octets, 141u);
    pdu::SubmitParams odd = submit("1", "AB");
    odd.udh = "0500030102010";  // an odd digit is dropped, never written half
    odd.text = false;
    odd.dcs = 4;
    EXPECT_EQ(pdu::build_submit(odd).hex.size() % 2, 0u);
    pdu::BuiltPdu b = pdu::build_submit(submit("1", std::string(600, 'a')));
    // UDL is the last octet before the 438 octets of 500 packed septets.
    EXPECT_EQ(b.hex.size(), 2 + 2 * (2 + 2 + 1 + 2 + 1 + 438));
}

// --- decoding ---------------------------------------------------------------------------

TEST(PduDecode, DeliverVectors) {
    struct Case {
        const char* name;
        const char* hex;
        bool alpha_bug;
        const char* smsc;
        const char* sender;
        uint8_t dcs;
        const char* udh;
        const char* data;
        bool binary;
    } cases[] = {
        {"text", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
         false, "+31624000000", "+31641600986", 0, "", "How are you?", false},
        {"odd digit ignored",
         "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD070", false,
         "+31624000000", "+31641600986", 0, "", "How are you?", false},
        {"alphanumeric sender", "00040ED041E19058341E910000208062917314080131", false, "",
         "ABCDEFGH", 0, "", "1", false},
        {"alphanumeric sender, length in octets",
         "00040ED041E19058341E9149E592D974020000208062917314080131", true, "", "ABCDEFGHIJKLMN",
         0, "", "1", false},
        {"header and 8-bit data", "0044048121430004208062917314080906050415811581AB00", false,
         "", "1234", 4, "06050415811581", "AB00", true},
        {"UCS-2 kept as hex", "0004048121430008208062917314080400480069", false, "", "1234",
         8, "", "00480069", true},
    };
    for (const Case& c : cases) {
        pdu::DecodeOptions o;
        o.alpha_sender_bug = c.alpha_bug;
        pdu::Decoded d = pdu::decode(c.hex, o);
        ASSERT_EQ(d.kind, pdu::Kind::Deliver) << c.name << ": " << d.error;
        EXPECT_EQ(d.smsc, c.smsc) << c.name;
        EXPECT_EQ(d.sender, c.sender) << c.name;
        EXPECT_EQ(d.dcs, c.dcs) << c.name;
        EXPECT_EQ(d.udh, c.udh) << c.name;
        EXPECT_EQ(d.data, c.data) << c.name;
        EXPECT_EQ(d.binary, c.binary) << c.name;
    }
}

TEST(PduDecode, TimeStamps) {
    // 2002-08-26 19:37:41, +8 quarters (units in the high nibble); then the
    // year and zone edges.
    pdu::Decoded d = pdu::decode("0004048121430000" "20806291731480" "0131");
    ASSERT_EQ(d.kind, pdu::Kind::Deliver);
    EXPECT_EQ(d.scts.year, 2002);
    EXPECT_EQ(d.scts.month, 8);
    EXPECT_EQ(d.scts.day, 26);
    EXPECT_EQ(d.scts.hour, 19);
    EXPECT_EQ(d.scts.second, 41);
    EXPECT_EQ(d.scts.zone_quarters, 8);
    d = pdu::decode("0004048121430000" "97806291731482" "0131");
    EXPECT_EQ(d.scts.year, 2079);
    EXPECT_EQ(d.scts.zone_quarters, 28);
    d = pdu::decode("0004048121430000" "0880629173148A" "0131");
    EXPECT_EQ(d.scts.year, 1980);
    EXPECT_EQ(d.scts.zone_quarters, -28);
}

TEST(PduDecode, StatusReportTextKeysAndReceipt) {
    const char* with_smsc =
        "07911326040000F0062A0B911346610089F6208062917314802080629183148000";
    const char* without_smsc = "062A0B911346610089F6208062917314802080629183148000";
    for (const char* hex : {with_smsc, without_smsc}) {
        pdu::Decoded d = pdu::decode(hex);
        ASSERT_EQ(d.kind, pdu::Kind::StatusReport) << hex << " " << d.error;
        EXPECT_EQ(d.mr, 0x2A);
        EXPECT_EQ(d.recipient, "+31641600986");
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.discharge.minute, 38);
        EXPECT_EQ(d.smsc_missing, hex == without_smsc);
        EXPECT_EQ(pdu::modem_reference_key(d.mr, d.recipient), "2A-41600986");
        EXPECT_EQ(pdu::modem_timestamp_key(d.scts, d.recipient), "02081A13252908-41600986");
        EXPECT_EQ(pdu::modem_receipt_text(d, "MSG1"),
                  "id:MSG1 sub:001 dlvrd:001 submit date:0208261937 done date:0208261938 "
                  "stat:DELIVRD err:000");
    }
    pdu::Decoded d = pdu::decode(with_smsc);
    EXPECT_EQ(pdu::report_text(d, 500),
              "Report: +31641600986 SMSC: +31624000000 Submitted: 2002-08-26 19:37:41 +0200 "
              "Reported: 2002-08-26 19:38:41 +0200 Status: 00 (Delivered)");
    std::string cut = pdu::report_text(d, 20);
    EXPECT_EQ(cut, "Report: +3164160098)");
    // The check can be turned off: the bad SMSC field is then read as one.
    pdu::DecodeOptions off;
    off.disable_report_check = true;
    pdu::Decoded raw = pdu::decode(without_smsc, off);
    EXPECT_FALSE(raw.smsc_missing);
    EXPECT_NE(raw.recipient, "+31641600986");
}

TEST(PduDecode, StatusClasses) {
    struct Case {
        uint8_t st;
        pdu::StatusClass cls;
        const char* text;
    } cases[] = {
        {0x00, pdu::StatusClass::Delivered, "(Delivered)"},
        {0x02, pdu::StatusClass::Delivered, "(Forwarded: Message replaced)"},
        {0x21, pdu::StatusClass::Temporary, "(Temp Error: Recipient Busy)"},
        {0x30, pdu::StatusClass::Temporary, "(Temp Error: Unknown error)"},
        {0x46, pdu::StatusClass::Failed, "(Error: Message Expired)"},
        {0x64, pdu::StatusClass::Failed, "(Error: QoS not available)"},
        {0x70, pdu::StatusClass::Failed, "(Error: Message not Delivered)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pdu::status_class(c.st), c.cls) << int(c.st);
        EXPECT_EQ(pdu::status_text(c.st), c.text) << int(c.st);
    }
}

TEST(PduDecode, BadInputNeverReadsPastTheEnd) {
    struct Case {
        const char* name;
        const char* hex;
        pdu::Kind kind;
    } cases[] = {
        {"empty", "", pdu::Kind::Invalid},
        {"not hex", "ZZ11", pdu::Kind::Invalid},
        {"SMSC longer than the PDU", "0F9113", pdu::Kind::Truncated},
        {"UDL beyond the hex",
         "07911326040000F0040B911346610089F60000208062917314080DC8F71D14969741F977FD07",
         pdu::Kind::Truncated},
        {"header longer than the user data", "004404812143000420806291731408050A00030102",
         pdu::Kind::Invalid},
        {"header flag without user data", "00440481214300042080629173140800",
         pdu::Kind::Invalid},
        {"ends in the time stamp", "00040481214300002080", pdu::Kind::Truncated},
        {"ends in the sender", "00040B9113", pdu::Kind::Truncated},
        {"report without status", "00062A0B911346610089F62080629173140820806291831408",
         pdu::Kind::Truncated},
        {"SMS-SUBMIT handed in", "0001000481214300000131", pdu::Kind::Unknown},
        {"non-hex in the middle", "0004048121430000208062XX",
         pdu::Kind::Truncated},
    };
    for (const Case& c : cases) {
        pdu::Decoded d = pdu::decode(c.hex);
        EXPECT_EQ(d.kind, c.kind) << c.name << ": " << d.error;
        EXPECT_FALSE(d.error.empty()) << c.name;
    }
}

TEST(PduBuild, CdmaForms) {
    struct Case {
        const char* name;
        pdu::CdmaParams p;
        const char* hex;
        unsigned length;
    };
    auto make = [](std::string to, std::string from, uint8_t dcs, std::string udh, std::string data,
                   bool text) {
        pdu::CdmaParams p;
        p.recipient = std::move(to);
        p.sender = std::move(from);
        p.dcs = dcs;
        p.udh = std::move(udh);
        p.data = std::move(data);
        p.text = text;
        return p;
    };
    const Case cases[] = {
        {"plain text, no callback", make("12345", "", 0, "", "Hi", true),
         "05802143F5" "00" "1002000202" "91A4", 8},
        {"callback, non-ASCII as ?", make("12345", "+4412345", 0, "", "\xC3\xA9", true),
         "05802143F5" "0791442143F5" "1002000201" "7E", 12},
        {"UCS-2 data", make("12345", "", 8, "", "h", true), "05802143F5" "00" "10050004020068",
         8},
        {"WAP datagram", make("12345", "", 4, "0605040B8423F0", "DEAD", false),
         "05802143F5" "00" "10040000" "000001010B8423F0" "02DEAD", 16},
    };
    for (const Case& c : cases) {
        pdu::BuiltPdu b = pdu::build_cdma(c.p);
        EXPECT_EQ(b.hex, c.hex) << c.name;
        EXPECT_EQ(b.tpdu_length, c.length) << c.name;
    }
}
