// Message mapping: text coding per data_coding and SMPPCharset, UDH and
// optional-parameter placement, addresses, flags, and receipt parsing.
#include <gtest/gtest.h>

#include <string>

#include "protocols/smpp/message.h"

namespace smpp = protocols::smpp;
namespace common = protocols::common;

namespace {

std::string H(std::string_view hex) {
    std::string clean;
    for (char c : hex)
        if (c != ' ') clean.push_back(c);
    std::string out;
    EXPECT_TRUE(smpp::from_hex(clean, out)) << hex;
    return out;
}
std::string hexof(std::string_view s) {
    return smpp::to_hex(s);
}

std::string tlv_hex(const smpp::Pdu& p, uint16_t tag) {
    const smpp::Tlv* t = p.find_tlv(tag);
    return t ? hexof(t->value) : "absent";
}

smpp::Pdu build(const common::SubmitRecord& m, const smpp::CodingContext& ctx,
                uint32_t cmd = smpp::SUBMIT_SM, uint32_t* status = nullptr) {
    smpp::Pdu p;
    p.command_id = cmd;
    uint32_t st = smpp::build_short_message(m, ctx, p);
    if (status)
        *status = st;
    else
        EXPECT_EQ(st, 0u);
    return p;
}

}  // namespace

// ---- text coding ---------------------------------------------------------------

TEST(SmppCoding, EncodesUtf8InEachCharsetAndUcs2) {
    using C = smpp::Coding;
    using S = smpp::Charset;
    struct Case {
        const char* text;
        C coding;
        S charset;
        const char* octets;
    } cases[] = {
        {"@\xC2\xA3$\xC2\xA5", C::Default, S::Gsm, "00010203"},
        {"[\xE2\x82\xAC]", C::Default, S::Gsm, "1B3C1B651B3E"},  // extension table with escape
        {"\xCE\x94", C::Default, S::Gsm, "10"},                  // Greek capital Delta
        {"\xC3\xA9", C::Default, S::Gsm, "05"},                  // e-acute
        {"Hi\n", C::Default, S::Gsm, "48690A"},
        {"\xC3\xA9\xE2\x82\xAC", C::Default, S::Latin1, "E980"},  // e-acute, euro (Windows-1252)
        {"a\xC3\xA9", C::Default, S::Ascii, "613F"},
        {"a\xC3\xA9", C::Ascii, S::Gsm, "613F"},  // data_coding 1 is ASCII whatever the link says
        {"\xC3\xA9", C::Latin1, S::Gsm, "E9"},    // data_coding 3 is Latin-1
        {"A\xE2\x82\xAC", C::Ucs2, S::Gsm, "004120AC"},
        {"\xF0\x9F\x98\x80", C::Ucs2, S::Gsm, "D83DDE00"},  // U+1F600 as a surrogate pair
        {"x\xF0\x90\x80\x80y", C::Ucs2, S::Latin1, "0078D800DC000079"},  // U+10000
        {"\xC3\xA9", C::Octets, S::Gsm, "C3A9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hexof(smpp::encode_text(c.text, c.coding, c.charset)), c.octets) << c.text;
}

TEST(SmppCoding, DecodesOctetsToUtf8) {
    using C = smpp::Coding;
    using S = smpp::Charset;
    struct Case {
        const char* octets;
        C coding;
        S charset;
        const char* text;
    } cases[] = {
        {"00011B6510", C::Default, S::Gsm, "@\xC2\xA3\xE2\x82\xAC\xCE\x94"},
        {"1B3C1B3E", C::Default, S::Gsm, "[]"},
        {"E980", C::Default, S::Latin1, "\xC3\xA9\xE2\x82\xAC"},
        {"61E9", C::Default, S::Ascii, "a?"},
        {"D83DDE00", C::Ucs2, S::Gsm, "\xF0\x9F\x98\x80"},
        {"D83D0041", C::Ucs2, S::Gsm, "-A"},  // a lone high surrogate
        {"004100", C::Ucs2, S::Gsm, "A"},     // odd trailing octet dropped
        {"00480069", C::Ucs2, S::Ascii, "Hi"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smpp::decode_text(H(c.octets), c.coding, c.charset), c.text) << c.octets;
}

TEST(SmppCoding, DataCodingClasses) {
    using C = smpp::Coding;
    struct Case {
        uint8_t dcs;
        C coding;
    } cases[] = {
        {0x00, C::Default}, {0x01, C::Ascii},  {0x02, C::Octets},  {0x03, C::Latin1},
        {0x04, C::Octets},  {0x05, C::Octets}, {0x08, C::Ucs2},    {0x10, C::Default},
        {0x14, C::Octets},  {0x18, C::Ucs2},   {0x48, C::Ucs2},    {0x40, C::Octets},
        {0xC0, C::Default}, {0xE0, C::Ucs2},   {0xF0, C::Default}, {0xF4, C::Octets},
        {0xF5, C::Octets},
    };
    for (const auto& c : cases) EXPECT_EQ(smpp::coding_for_dcs(c.dcs), c.coding) << int(c.dcs);
}

TEST(SmppCoding, CharsetNames) {
    EXPECT_EQ(smpp::parse_charset(""), smpp::Charset::Gsm);
    EXPECT_EQ(smpp::parse_charset("GSM"), smpp::Charset::Gsm);
    EXPECT_EQ(smpp::parse_charset(" ISO-8859-1 "), smpp::Charset::Latin1);
    EXPECT_EQ(smpp::parse_charset("ascii"), smpp::Charset::Ascii);
    EXPECT_EQ(smpp::parse_charset("klingon"), smpp::Charset::Gsm);
}

// ---- outbound messages ---------------------------------------------------------

TEST(SmppMessage, AddressesFlagsAndOptionText) {
    smpp::CodingContext ctx;
    common::SubmitRecord m;
    m.sender = "+447700900123";
    m.recipient = "12345";
    m.data = "Hi";
    m.flags = 0x02;
    m.options = common::parse_option_text(
        "ServiceType=CMT; Validity=90; user_message_reference=7; LocalUser=bob; DestTON=2; "
        "Priority=1");
    smpp::Pdu p = build(m, ctx);
    EXPECT_EQ(p.source_addr_ton, 1);
    EXPECT_EQ(p.source_addr_npi, 1);
    EXPECT_EQ(p.source_addr, "447700900123");
    EXPECT_EQ(p.dest_addr_ton, 2);
    EXPECT_EQ(p.dest_addr_npi, 1);
    EXPECT_EQ(p.dest_addr, "12345");
    EXPECT_EQ(p.registered_delivery, 1);
    EXPECT_EQ(p.service_type, "CMT");
    EXPECT_EQ(p.validity_period, "000000013000000R");
    EXPECT_EQ(p.priority_flag, 1);
    EXPECT_EQ(tlv_hex(p, 0x0204), "0007");
    EXPECT_EQ(p.tlvs.size(), 1u);
    EXPECT_EQ(hexof(p.short_message), "4869");

    m.sender = "KelSMS";
    m.flags = 0x40;
    m.options = common::parse_option_text(
        "Validity=001231235959000R");  // an SMPP time goes through as it is
    p = build(m, ctx);
    EXPECT_EQ(p.source_addr_ton, 5);
    EXPECT_EQ(p.source_addr_npi, 0);
    EXPECT_EQ(p.registered_delivery, 2);
    EXPECT_EQ(p.validity_period, "001231235959000R");

    m.flags = 0x42;
    EXPECT_EQ(build(m, ctx).registered_delivery, 1);
    m.flags = 0x01;
    EXPECT_EQ(build(m, ctx).registered_delivery, 0);
}

TEST(SmppMessage, UdhTravelsInShortMessageOrAsParameters) {
    struct Case {
        const char* name;
        const char* udh;
        bool use_tlv;
        uint8_t version;
        uint8_t esm;
        const char* short_message;
        const char* ref;
        const char* total;
        const char* seq;
        const char* dport;
        const char* sport;
    } cases[] = {
        {"8-bit concatenation in the header", "050003A70201", false, 0x34, 0x40, "050003A702014869",
         "absent", "absent", "absent", "absent", "absent"},
        {"8-bit concatenation as parameters", "050003A70201", true, 0x34, 0x00, "4869", "00A7",
         "02", "01", "absent", "absent"},
        {"16-bit concatenation and ports as parameters", "0C0804ABCD030205040B8423F0", true, 0x34,
         0x00, "4869", "ABCD", "03", "02", "0B84", "23F0"},
        {"8-bit ports as parameters", "0404021005", true, 0x34, 0x00, "4869", "absent", "absent",
         "absent", "0010", "0005"},
        {"other elements stay in the header", "080003A70201240101", true, 0x34, 0x40,
         "032401014869", "00A7", "02", "01", "absent", "absent"},
        {"3.3 has no parameters", "050003A70201", true, 0x33, 0x40, "050003A702014869", "absent",
         "absent", "absent", "absent", "absent"},
        {"a header that does not parse stays whole", "0600030102", true, 0x34, 0x40,
         "06000301024869", "absent", "absent", "absent", "absent", "absent"},
    };
    for (const auto& c : cases) {
        smpp::CodingContext ctx;
        ctx.use_tlv = c.use_tlv;
        ctx.version = c.version;
        common::SubmitRecord m;
        m.recipient = "1";
        m.udh_hex = c.udh;
        m.data = "Hi";
        smpp::Pdu p = build(m, ctx);
        EXPECT_EQ(p.esm_class, c.esm) << c.name;
        EXPECT_EQ(hexof(p.short_message), c.short_message) << c.name;
        EXPECT_EQ(tlv_hex(p, smpp::TAG_SAR_MSG_REF_NUM), c.ref) << c.name;
        EXPECT_EQ(tlv_hex(p, smpp::TAG_SAR_TOTAL_SEGMENTS), c.total) << c.name;
        EXPECT_EQ(tlv_hex(p, smpp::TAG_SAR_SEGMENT_SEQNUM), c.seq) << c.name;
        EXPECT_EQ(tlv_hex(p, smpp::TAG_DESTINATION_PORT), c.dport) << c.name;
        EXPECT_EQ(tlv_hex(p, smpp::TAG_SOURCE_PORT), c.sport) << c.name;
    }
}

TEST(SmppMessage, BinaryAndLongData) {
    smpp::CodingContext ctx;
    common::SubmitRecord m;
    m.recipient = "1";
    m.binary = true;
    m.dcs = 0x04;
    m.data = "0102ff";
    EXPECT_EQ(hexof(build(m, ctx).short_message), "0102FF");

    uint32_t st = 0;
    m.data = "0102F";  // odd
    build(m, ctx, smpp::SUBMIT_SM, &st);
    EXPECT_EQ(st, smpp::ESME_RINVMSGLEN);
    m.data = "zz";
    build(m, ctx, smpp::SUBMIT_SM, &st);
    EXPECT_EQ(st, smpp::ESME_RINVMSGLEN);
    m.data = "00";
    m.udh_hex = "05000";
    build(m, ctx, smpp::SUBMIT_SM, &st);
    EXPECT_EQ(st, smpp::ESME_RINVMSGLEN);

    // 200 UCS-2 characters: 400 octets go in message_payload (3.4) or fail (3.3).
    common::SubmitRecord l;
    l.recipient = "1";
    l.dcs = 0x08;
    std::string text;
    for (int i = 0; i < 200; ++i) text += "\xD0\x96";  // Cyrillic Zhe
    l.data = text;
    smpp::Pdu p = build(l, ctx);
    EXPECT_TRUE(p.short_message.empty());
    ASSERT_NE(p.find_tlv(smpp::TAG_MESSAGE_PAYLOAD), nullptr);
    EXPECT_EQ(p.find_tlv(smpp::TAG_MESSAGE_PAYLOAD)->value.size(), 400u);
    EXPECT_EQ(hexof(p.find_tlv(smpp::TAG_MESSAGE_PAYLOAD)->value.substr(0, 4)), "04160416");
    ctx.version = 0x33;
    build(l, ctx, smpp::SUBMIT_SM, &st);
    EXPECT_EQ(st, smpp::ESME_RINVMSGLEN);

    // Exactly 254 octets still fit short_message.
    ctx.version = 0x34;
    l.dcs = 0;
    const std::string full(254, 'a');
    l.data = full;
    p = build(l, ctx);
    EXPECT_EQ(p.short_message.size(), 254u);
    EXPECT_EQ(p.find_tlv(smpp::TAG_MESSAGE_PAYLOAD), nullptr);
}

TEST(SmppMessage, ReceiptDeliveredToAClient) {
    smpp::CodingContext ctx;
    common::SubmitRecord m;
    m.sender = "4477";
    m.recipient = "12";
    m.data =
        "id:MSG1 sub:001 dlvrd:001 submit date:1306011200 done date:1306011201 stat:DELIVRD "
        "err:000 text:";
    m.flags = 0x04 | 0x08;
    m.receipt_message_id = "MSG1";
    smpp::Pdu p = build(m, ctx, smpp::DELIVER_SM);
    EXPECT_EQ(p.esm_class, 0x04);
    EXPECT_EQ(tlv_hex(p, smpp::TAG_RECEIPTED_MESSAGE_ID), "4D53473100");
    EXPECT_EQ(tlv_hex(p, smpp::TAG_MESSAGE_STATE), "02");
    m.flags = 0x04 | 0x20;
    EXPECT_EQ(tlv_hex(build(m, ctx, smpp::DELIVER_SM), smpp::TAG_MESSAGE_STATE), "05");
    m.flags = 0x04 | 0x10;
    EXPECT_EQ(tlv_hex(build(m, ctx, smpp::DELIVER_SM), smpp::TAG_MESSAGE_STATE), "01");
    // A submit to an SMSC never claims to be a receipt.
    EXPECT_EQ(build(m, ctx, smpp::SUBMIT_SM).esm_class, 0x00);
}

// ---- inbound messages ----------------------------------------------------------

namespace {

smpp::Pdu deliver(std::string short_message, uint8_t esm = 0, uint8_t dcs = 0) {
    smpp::Pdu p;
    p.command_id = smpp::DELIVER_SM;
    p.source_addr_ton = 1;
    p.source_addr = "447700900123";
    p.dest_addr = "12345";
    p.esm_class = esm;
    p.data_coding = dcs;
    p.short_message = std::move(short_message);
    return p;
}

common::DeliveryRecord parse(const smpp::Pdu& p, smpp::Charset cs = smpp::Charset::Gsm) {
    smpp::CodingContext ctx;
    ctx.charset = cs;
    common::DeliveryRecord m;
    smpp::parse_short_message(p, ctx, m);
    return m;
}

}  // namespace

TEST(SmppMessage, ParsesTextBinaryAndAddresses) {
    common::DeliveryRecord m = parse(deliver(H("004869")));
    EXPECT_EQ(m.sender, "+447700900123");
    EXPECT_EQ(m.recipient, "12345");
    EXPECT_EQ(m.message, "@Hi");
    EXPECT_FALSE(m.binary);
    EXPECT_EQ(m.flags, 0);
    EXPECT_TRUE(m.udh_hex.empty());

    m = parse(deliver("caf\xE9", 0, 0), smpp::Charset::Latin1);
    EXPECT_EQ(m.message, "caf\xC3\xA9");

    m = parse(deliver(H("0102FF"), 0, 0xF5));
    EXPECT_TRUE(m.binary);
    EXPECT_EQ(m.message, "0102FF");
    EXPECT_EQ(m.dcs, 0xF5);

    m = parse(deliver(H("D83DDE00"), 0, 0x08));
    EXPECT_EQ(m.message, "\xF0\x9F\x98\x80");

    smpp::Pdu p = deliver(H("4869"));
    p.registered_delivery = 1;
    p.protocol_id = 0x41;
    EXPECT_EQ(parse(p).flags, 0x02);
    EXPECT_EQ(parse(p).pid, 0x41);
    p.registered_delivery = 2;
    EXPECT_EQ(parse(p).flags, 0x40);
}

TEST(SmppMessage, HeaderFromShortMessageOrParameters) {
    struct Case {
        const char* name;
        smpp::Pdu pdu;
        const char* udh;
        const char* message;
    };
    auto with = [](smpp::Pdu p, std::initializer_list<std::pair<uint16_t, std::string>> tlvs) {
        for (const auto& [t, v] : tlvs) p.set_tlv(t, v);
        return p;
    };
    std::vector<Case> cases = {
        {"header in short_message", deliver(H("050003A702014869"), 0x40), "050003A70201", "Hi"},
        {"8-bit reference from parameters",
         with(deliver("Hi"), {{smpp::TAG_SAR_MSG_REF_NUM, H("00A7")},
                              {smpp::TAG_SAR_TOTAL_SEGMENTS, H("02")},
                              {smpp::TAG_SAR_SEGMENT_SEQNUM, H("01")}}),
         "050003A70201", "Hi"},
        {"16-bit reference from parameters",
         with(deliver("Hi"), {{smpp::TAG_SAR_MSG_REF_NUM, H("1234")},
                              {smpp::TAG_SAR_TOTAL_SEGMENTS, H("02")},
                              {smpp::TAG_SAR_SEGMENT_SEQNUM, H("01")}}),
         "06080412340201", "Hi"},
        {"ports from parameters",
         with(deliver("Hi"),
              {{smpp::TAG_DESTINATION_PORT, H("0B84")}, {smpp::TAG_SOURCE_PORT, H("23F0")}}),
         "0605040B8423F0", "Hi"},
        {"header and parameters together",
         with(deliver(H("03240101") + "Hi", 0x40), {{smpp::TAG_DESTINATION_PORT, H("0B84")}}),
         "0924010105040B840000", "Hi"},
        {"header length past the data stays in the data", deliver(H("09000301"), 0x40), "",
         "\xC3\x87@\xC2\xA5\xC2\xA3"},
        {"message_payload wins over short_message",
         with(deliver(""), {{smpp::TAG_MESSAGE_PAYLOAD, "Long"}}), "", "Long"},
    };
    for (const auto& c : cases) {
        common::DeliveryRecord m = parse(c.pdu);
        EXPECT_EQ(m.udh_hex, c.udh) << c.name;
        EXPECT_EQ(m.message, c.message) << c.name;
    }
}

TEST(SmppMessage, ReceiptsBecomeFlagsAndIds) {
    const std::string text =
        "id:ABC123 sub:001 dlvrd:001 submit date:1306011200 done date:1306011201 stat:DELIVRD "
        "err:000 text:Hello";
    struct Case {
        const char* name;
        smpp::Pdu pdu;
        int flags;
        const char* id;
        std::string message;
    };
    auto with = [](smpp::Pdu p, uint16_t tag, std::string v) {
        p.set_tlv(tag, std::move(v));
        return p;
    };
    std::vector<Case> cases = {
        {"delivered, id from the text", deliver(text, 0x04), 0x0C, "ABC123", text},
        {"SME acknowledgement class", deliver(text, 0x08), 0x0C, "ABC123", text},
        {"receipted_message_id wins",
         with(deliver(text, 0x04), smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("XYZ\0", 4)), 0x0C,
         "XYZ", text},
        {"message_state wins", with(deliver(text, 0x04), smpp::TAG_MESSAGE_STATE, H("05")), 0x24,
         "ABC123", text},
        {"enroute", deliver("id:9 stat:ENROUTE", 0x04), 0x14, "9", "id:9 stat:ENROUTE"},
        {"undeliverable", deliver("id:9 stat:UNDELIV err:001", 0x04), 0x24, "9",
         "id:9 stat:UNDELIV err:001"},
        {"text that does not parse", deliver("your message arrived", 0x04), 0x04, "",
         "your message arrived"},
        {"receipt known only by its parameter",
         with(with(deliver("", 0x00), smpp::TAG_RECEIPTED_MESSAGE_ID, std::string("77\0", 3)),
              smpp::TAG_MESSAGE_STATE, H("02")),
         0x0C, "77", ""},
    };
    for (auto& c : cases) {
        common::DeliveryRecord m = parse(c.pdu);
        EXPECT_EQ(m.flags, c.flags) << c.name;
        EXPECT_EQ(m.smsc_message_id, c.id) << c.name;
        EXPECT_EQ(m.message, c.message) << c.name;
        EXPECT_EQ(common::join_option_text(m.options).find("receipted"), std::string::npos)
            << c.name;
    }
}

TEST(SmppMessage, UnconsumedParametersArePassedUp) {
    smpp::Pdu p = deliver("Hi");
    p.service_type = "CMT";
    p.set_tlv(0x1403, "AB");
    p.set_tlv(smpp::TAG_NETWORK_ERROR_CODE, H("030001"));
    p.set_tlv(smpp::TAG_USER_MESSAGE_REFERENCE, H("0102"));
    p.set_tlv(smpp::TAG_SAR_MSG_REF_NUM, H("0001"));  // incomplete set: consumed, no header
    common::DeliveryRecord m = parse(p);
    EXPECT_EQ(common::join_option_text(m.options),
              "ServiceType=CMT; SMPPOption_1403=4142; SMPPOption_network_error_code=030001; "
              "SMPPOption_user_message_reference=258");

    smpp::TlvRegistry reg;
    reg.load({{"Billing", "0x1403,Text,10"}});
    smpp::CodingContext ctx;
    ctx.registry = &reg;
    smpp::parse_short_message(p, ctx, m);
    EXPECT_NE(common::join_option_text(m.options).find("SMPPOption_Billing=AB"), std::string::npos)
        << common::join_option_text(m.options);
}

// ---- receipt texts ----------------------------------------------------------------

TEST(SmppReceipt, ParsesCommonVariants) {
    struct Case {
        const char* text;
        bool ok;
        const char* id;
        const char* stat;
        const char* submit;
        const char* done;
        const char* err;
        const char* body;
    } cases[] = {
        {"id:0123456789 sub:001 dlvrd:001 submit date:1306011200 done date:1306011201 stat:DELIVRD "
         "err:000 text:Hi there",
         true, "0123456789", "DELIVRD", "1306011200", "1306011201", "000", "Hi there"},
        {"ID:77 SUB:001 DLVRD:000 SUBMIT DATE:130601120000 DONE DATE:130601120100 STAT:UNDELIV "
         "ERR:001 TEXT:",
         true, "77", "UNDELIV", "130601120000", "130601120100", "001", ""},
        {"id:5 submit_date:1306011200 done_date:1306011201 stat:EXPIRED", true, "5", "EXPIRED",
         "1306011200", "1306011201", "", ""},
        {"id:77 stat:ENROUTE", true, "77", "ENROUTE", "", "", "", ""},
        {"id: 55 stat: REJECTD", true, "55", "REJECTD", "", "", "", ""},
        {"stat:DELIVRD id:abc-1", true, "abc-1", "DELIVRD", "", "", "", ""},
        {"Id:9 State:ACCEPTD Error:0B Text:a:b c", true, "9", "ACCEPTD", "", "", "0B", "a:b c"},
        {"  id:12   sub:001\tstat:DELETED  ", true, "12", "DELETED", "", "", "", ""},
        {"id:1 dlvrd:0", false, "1", "", "", "", "", ""},
        {"sub:001 stat:DELIVRD", false, "", "DELIVRD", "", "", "", ""},
        {"id: stat:DELIVRD", false, "", "DELIVRD", "", "", "", ""},
        {"Rapid:9 stat:DELIVRD", false, "", "DELIVRD", "", "", "",
         ""},  // "id:" inside a word is no key
        {"", false, "", "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        smpp::ReceiptText r;
        EXPECT_EQ(smpp::parse_receipt_text(c.text, r), c.ok) << c.text;
        EXPECT_EQ(r.id, c.id) << c.text;
        EXPECT_EQ(r.stat, c.stat) << c.text;
        EXPECT_EQ(r.submit_date, c.submit) << c.text;
        EXPECT_EQ(r.done_date, c.done) << c.text;
        EXPECT_EQ(r.err, c.err) << c.text;
        EXPECT_EQ(r.text, c.body) << c.text;
    }
}

TEST(SmppReceipt, StatesMapToFlags) {
    struct Case {
        const char* stat;
        uint32_t flags;
    } cases[] = {
        {"DELIVRD", 0x08}, {"delivered", 0x08}, {"ACCEPTD", 0x08}, {"ENROUTE", 0x10},
        {"BUFFRED", 0x10}, {"EXPIRED", 0x20},   {"DELETED", 0x20}, {"UNDELIV", 0x20},
        {"REJECTD", 0x20}, {"UNKNOWN", 0x20},   {"", 0},           {"SOMETHING", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(smpp::receipt_flags_for_stat(c.stat), c.flags) << c.stat;
    uint32_t by_state[] = {0, 0x10, 0x08, 0x20, 0x20, 0x20, 0x08, 0x20, 0x20, 0};
    for (uint8_t s = 0; s < 10; ++s)
        EXPECT_EQ(smpp::receipt_flags_for_message_state(s), by_state[s]) << int(s);
}
