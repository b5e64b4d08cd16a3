// PDU codec against byte layouts taken from the SMPP 3.4 PDU definitions:
// every PDU the engine encodes or decodes, strict length checks, optional
// parameters, interface version 3.3, and the status texts.
#include <gtest/gtest.h>
#include <strings.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocols/smpp/pdu.h"

namespace smpp = protocols::smpp;
using smpp::Pdu;

namespace {

// Hex digits (blanks ignored) to octets.
std::string H(std::string_view hex) {
    std::string clean;
    for (char c : hex)
        if (c != ' ') clean.push_back(c);
    std::string out;
    EXPECT_TRUE(smpp::from_hex(clean, out)) << hex;
    return out;
}
// A C-octet string as it travels: the characters and a NUL.
std::string C(std::string_view s) {
    return std::string(s) + std::string(1, '\0');
}

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string hexof(const std::string& s) {
    return smpp::to_hex(s);
}

struct Vector {
    const char* name;
    Pdu pdu;
    std::string wire;
};

Pdu bind_pdu(uint32_t id) {
    Pdu p;
    p.command_id = id;
    p.sequence = 1;
    p.system_id = "SMPP3TEST";
    p.password = "secret08";
    p.system_type = "SUBMIT1";
    p.interface_version = 0x34;
    p.addr_ton = 1;
    p.addr_npi = 1;
    return p;
}

Pdu header_pdu(uint32_t id, uint32_t status, uint32_t seq) {
    Pdu p;
    p.command_id = id;
    p.command_status = status;
    p.sequence = seq;
    return p;
}

Pdu submit_pdu() {
    Pdu p;
    p.command_id = smpp::SUBMIT_SM;
    p.sequence = 0x0102;
    p.source_addr_ton = 1;
    p.source_addr_npi = 1;
    p.source_addr = "447700900123";
    p.dest_addr_ton = 1;
    p.dest_addr_npi = 1;
    p.dest_addr = "447700900456";
    p.registered_delivery = 1;
    p.short_message = "Hello";
    return p;
}

std::vector<Vector> vectors() {
    std::vector<Vector> v;
    // bind_transmitter: system_id, password, system_type, interface_version,
    // addr_ton, addr_npi, address_range.
    v.push_back({"bind_transmitter", bind_pdu(smpp::BIND_TRANSMITTER),
                 H("0000002F 00000002 00000000 00000001") + C("SMPP3TEST") + C("secret08") +
                     C("SUBMIT1") + H("34 01 01") + C("")});
    v.push_back({"bind_receiver", bind_pdu(smpp::BIND_RECEIVER),
                 H("0000002F 00000001 00000000 00000001") + C("SMPP3TEST") + C("secret08") +
                     C("SUBMIT1") + H("34 01 01") + C("")});
    v.push_back({"bind_transceiver", bind_pdu(smpp::BIND_TRANSCEIVER),
                 H("0000002F 00000009 00000000 00000001") + C("SMPP3TEST") + C("secret08") +
                     C("SUBMIT1") + H("34 01 01") + C("")});
    {
        Pdu p = header_pdu(smpp::BIND_TRANSCEIVER_RESP, 0, 1);
        p.system_id = "SMSC";
        p.set_tlv(0x0210, std::string(1, '\x34'));
        v.push_back({"bind_transceiver_resp with sc_interface_version", p,
                     H("0000001A 80000009 00000000 00000001") + C("SMSC") + H("0210 0001 34")});
    }
    v.push_back({"bind_receiver_resp refused: header only",
                 header_pdu(smpp::BIND_RECEIVER_RESP, 0x0E, 7),
                 H("00000010 80000001 0000000E 00000007")});
    {
        Pdu p = header_pdu(smpp::BIND_TRANSMITTER_RESP, 0, 2);
        p.system_id = "SMSC";
        v.push_back(
            {"bind_transmitter_resp", p, H("00000015 80000002 00000000 00000002") + C("SMSC")});
    }
    {
        Pdu p = header_pdu(smpp::OUTBIND, 0, 3);
        p.system_id = "SMSC";
        p.password = "pw";
        v.push_back({"outbind", p, H("00000018 0000000B 00000000 00000003") + C("SMSC") + C("pw")});
    }
    v.push_back(
        {"unbind", header_pdu(smpp::UNBIND, 0, 10), H("00000010 00000006 00000000 0000000A")});
    v.push_back({"unbind_resp", header_pdu(smpp::UNBIND_RESP, 0, 10),
                 H("00000010 80000006 00000000 0000000A")});
    v.push_back({"generic_nack", header_pdu(smpp::GENERIC_NACK, 3, 9),
                 H("00000010 80000000 00000003 00000009")});
    v.push_back({"enquire_link", header_pdu(smpp::ENQUIRE_LINK, 0, 0x7FFFFFFF),
                 H("00000010 00000015 00000000 7FFFFFFF")});
    v.push_back({"enquire_link_resp", header_pdu(smpp::ENQUIRE_LINK_RESP, 0, 0x7FFFFFFF),
                 H("00000010 80000015 00000000 7FFFFFFF")});
    // submit_sm: service_type, source ton/npi/addr, dest ton/npi/addr,
    // esm_class, protocol_id, priority_flag, schedule_delivery_time,
    // validity_period, registered_delivery, replace_if_present_flag,
    // data_coding, sm_default_msg_id, sm_length, short_message.
    v.push_back({"submit_sm", submit_pdu(),
                 H("0000003E 00000004 00000000 00000102") + C("") + H("01 01") + C("447700900123") +
                     H("01 01") + C("447700900456") + H("00 00 00") + C("") + C("") +
                     H("01 00 00 00") + H("05") + "Hello"});
    {
        Pdu p = submit_pdu();
        p.service_type = "CMT";
        p.esm_class = 0x40;
        p.validity_period = "000001000000000R";
        p.data_coding = 0x08;
        p.short_message = H("050003A70201 0048 0069");
        p.set_tlv(0x0204, H("0007"));
        v.push_back({"submit_sm with UDH, validity and user_message_reference", p,
                     H("0000005C 00000004 00000000 00000102") + C("CMT") + H("01 01") +
                         C("447700900123") + H("01 01") + C("447700900456") + H("40 00 00") +
                         C("") + C("000001000000000R") + H("01 00 08 00") +
                         H("0A 050003A70201 0048 0069") + H("0204 0002 0007")});
    }
    {
        Pdu p = header_pdu(smpp::SUBMIT_SM_RESP, 0, 0x0102);
        p.message_id = "ABC123";
        v.push_back({"submit_sm_resp", p, H("00000017 80000004 00000000 00000102") + C("ABC123")});
    }
    v.push_back({"submit_sm_resp refused: header only", header_pdu(smpp::SUBMIT_SM_RESP, 0x58, 5),
                 H("00000010 80000004 00000058 00000005")});
    {
        Pdu p;
        p.command_id = smpp::DELIVER_SM;
        p.sequence = 77;
        p.source_addr_ton = 1;
        p.source_addr_npi = 1;
        p.source_addr = "4477";
        p.dest_addr = "12";
        p.esm_class = 0x04;
        p.short_message = "id:ABC123 stat:DELIVRD";
        p.set_tlv(0x001E, C("ABC123"));
        p.set_tlv(0x0427, H("02"));
        v.push_back({"deliver_sm receipt with receipted_message_id and message_state", p,
                     H("0000004D 00000005 00000000 0000004D") + C("") + H("01 01") + C("4477") +
                         H("00 00") + C("12") + H("04 00 00") + C("") + C("") + H("00 00 00 00") +
                         H("16") + "id:ABC123 stat:DELIVRD" + H("001E 0007") + C("ABC123") +
                         H("0427 0001 02")});
    }
    {
        Pdu p = header_pdu(smpp::DELIVER_SM_RESP, 0, 77);
        v.push_back({"deliver_sm_resp", p, H("00000011 80000005 00000000 0000004D 00")});
    }
    {
        // data_sm: service_type, source ton/npi/addr, dest ton/npi/addr,
        // esm_class, registered_delivery, data_coding, then parameters.
        Pdu p;
        p.command_id = smpp::DATA_SM;
        p.sequence = 4;
        p.source_addr_ton = 1;
        p.source_addr_npi = 1;
        p.source_addr = "123";
        p.dest_addr_ton = 1;
        p.dest_addr_npi = 1;
        p.dest_addr = "456";
        p.set_tlv(0x0424, "Hi");
        v.push_back({"data_sm", p,
                     H("00000026 00000103 00000000 00000004") + C("") + H("01 01") + C("123") +
                         H("01 01") + C("456") + H("00 00 00") + H("0424 0002") + "Hi"});
    }
    {
        Pdu p = header_pdu(smpp::DATA_SM_RESP, 0, 4);
        p.message_id = "X";
        v.push_back({"data_sm_resp", p, H("00000012 80000103 00000000 00000004") + C("X")});
    }
    {
        // alert_notification: source ton/npi/addr, esme ton/npi/addr, ms_availability_status.
        Pdu p;
        p.command_id = smpp::ALERT_NOTIFICATION;
        p.sequence = 8;
        p.source_addr_ton = 1;
        p.source_addr_npi = 1;
        p.source_addr = "4477";
        p.dest_addr = "SYS";
        p.set_tlv(0x0422, H("00"));
        v.push_back({"alert_notification", p,
                     H("00000022 00000102 00000000 00000008") + H("01 01") + C("4477") +
                         H("00 00") + C("SYS") + H("0422 0001 00")});
    }
    return v;
}

}  // namespace

TEST(SmppCodec, EncodesEveryPduToTheDocumentedBytes) {
    for (const Vector& v : vectors()) {
        EXPECT_EQ(hexof(smpp::encode_pdu(v.pdu)), hexof(v.wire)) << v.name;
    }
}

TEST(SmppCodec, DecodesEveryPduFromTheDocumentedBytes) {
    for (const Vector& v : vectors()) {
        Pdu d;
        ASSERT_EQ(smpp::decode_pdu(bytes(v.wire), d), 0u) << v.name;
        EXPECT_EQ(d.command_id, v.pdu.command_id) << v.name;
        EXPECT_EQ(d.command_status, v.pdu.command_status) << v.name;
        EXPECT_EQ(d.sequence, v.pdu.sequence) << v.name;
        EXPECT_EQ(d.system_id, v.pdu.system_id) << v.name;
        EXPECT_EQ(d.password, v.pdu.password) << v.name;
        EXPECT_EQ(d.source_addr, v.pdu.source_addr) << v.name;
        EXPECT_EQ(d.dest_addr, v.pdu.dest_addr) << v.name;
        EXPECT_EQ(d.esm_class, v.pdu.esm_class) << v.name;
        EXPECT_EQ(d.data_coding, v.pdu.data_coding) << v.name;
        EXPECT_EQ(d.validity_period, v.pdu.validity_period) << v.name;
        EXPECT_EQ(hexof(d.short_message), hexof(v.pdu.short_message)) << v.name;
        EXPECT_EQ(d.message_id, v.pdu.message_id) << v.name;
        ASSERT_EQ(d.tlvs.size(), v.pdu.tlvs.size()) << v.name;
        for (size_t i = 0; i < d.tlvs.size(); ++i) {
            EXPECT_EQ(d.tlvs[i].tag, v.pdu.tlvs[i].tag) << v.name;
            EXPECT_EQ(hexof(d.tlvs[i].value), hexof(v.pdu.tlvs[i].value)) << v.name;
        }
        // And the decoded form encodes to the same octets again.
        EXPECT_EQ(hexof(smpp::encode_pdu(d)), hexof(v.wire)) << v.name;
    }
}

TEST(SmppCodec, BindFieldsDecodeFromTheWire) {
    std::string wire = H("0000002F 00000009 00000000 00000001") + C("SMPP3TEST") + C("secret08") +
                       C("SUBMIT1") + H("33 05 00") + C("");
    Pdu d;
    ASSERT_EQ(smpp::decode_pdu(bytes(wire), d), 0u);
    EXPECT_EQ(d.system_type, "SUBMIT1");
    EXPECT_EQ(d.interface_version, 0x33);
    EXPECT_EQ(d.addr_ton, 5);
    EXPECT_EQ(d.addr_npi, 0);
}

TEST(SmppCodec, ErrorResponsesWithoutBodyDecode) {
    for (const char* hex :
         {"00000010 80000004 00000014 00000001", "00000010 80000002 0000000E 00000001",
          "00000010 80000103 000000FE 00000001"}) {
        Pdu d;
        EXPECT_EQ(smpp::decode_pdu(bytes(H(hex)), d), 0u) << hex;
        EXPECT_NE(d.command_status, 0u);
        EXPECT_TRUE(d.message_id.empty());
    }
}

TEST(SmppCodec, LengthsThatDisagreeGiveTheNackStatus) {
    struct Case {
        const char* name;
        std::string wire;
        uint32_t status;
    };
    std::string sm_head = C("") + H("01 01") + C("1") + H("01 01") + C("2") + H("00 00 00") +
                          C("") + C("") + H("00 00 00 00");
    auto with_len = [](uint32_t id, const std::string& body) {
        uint32_t len = uint32_t(16 + body.size());
        std::string h = H("00000000") + H("00000000") + H("00000000") + H("00000001");
        for (int i = 0; i < 4; ++i) {
            h[size_t(i)] = char((len >> (24 - 8 * i)) & 0xFF);
            h[size_t(4 + i)] = char((id >> (24 - 8 * i)) & 0xFF);
        }
        return h + body;
    };
    std::vector<Case> cases = {
        {"sm_length past the end", with_len(smpp::SUBMIT_SM, sm_head + H("09") + "abc"),
         smpp::ESME_RINVMSGLEN},
        {"sm_length missing", with_len(smpp::SUBMIT_SM, sm_head), smpp::ESME_RINVCMDLEN},
        {"unterminated source_addr", with_len(smpp::SUBMIT_SM, C("") + H("01 01") + "12345"),
         smpp::ESME_RINVCMDLEN},
        {"bind without address_range",
         with_len(smpp::BIND_TRANSMITTER, C("a") + C("b") + C("c") + H("34 00 00")),
         smpp::ESME_RINVCMDLEN},
        {"bind with trailing octets",
         with_len(smpp::BIND_TRANSMITTER, C("a") + C("b") + C("c") + H("34 00 00") + C("") + "x"),
         smpp::ESME_RINVCMDLEN},
        {"parameter length past the end",
         with_len(smpp::SUBMIT_SM, sm_head + H("00") + H("0204 0004 00")),
         smpp::ESME_RINVOPTPARSTREAM},
        {"parameter header cut", with_len(smpp::SUBMIT_SM, sm_head + H("00") + H("02")),
         smpp::ESME_RINVOPTPARSTREAM},
        {"fixed-size parameter of wrong length",
         with_len(smpp::SUBMIT_SM, sm_head + H("00") + H("020C 0001 05")), smpp::ESME_RINVPARLEN},
        {"enquire_link with a body", with_len(smpp::ENQUIRE_LINK, "x"), smpp::ESME_RINVCMDLEN},
        {"unknown command id", with_len(0x00000099, ""), smpp::ESME_RINVCMDID},
        {"command_length larger than the data", H("00000020 00000015 00000000 00000001"),
         smpp::ESME_RINVCMDLEN},
        {"shorter than a header", H("00000010 000000"), smpp::ESME_RINVCMDLEN},
    };
    for (const Case& c : cases) {
        Pdu d;
        EXPECT_EQ(smpp::decode_pdu(bytes(c.wire), d), c.status) << c.name;
    }
}

TEST(SmppCodec, FramingRejectsImpossibleLengths) {
    struct Case {
        const char* hex;
        smpp::FrameState state;
    } cases[] = {
        {"000000", smpp::FrameState::NeedMore},
        {"00000010 00000015", smpp::FrameState::NeedMore},
        {"00000010 00000015 00000000 00000001", smpp::FrameState::Complete},
        {"0000000F 00000015 00000000 00000001", smpp::FrameState::Invalid},
        {"00000000", smpp::FrameState::Invalid},
        {"00010000", smpp::FrameState::NeedMore},  // exactly 64 KiB is allowed
        {"00010001", smpp::FrameState::Invalid},   // above 64 KiB closes the session
        {"FFFFFFFF", smpp::FrameState::Invalid},
    };
    for (const auto& c : cases) {
        std::string w = H(c.hex);
        EXPECT_EQ(smpp::check_frame(bytes(w)).state, c.state) << c.hex;
    }
}

TEST(SmppCodec, Version33CarriesNoOptionalParameters) {
    Pdu p = submit_pdu();
    p.set_tlv(0x0204, H("0007"));
    std::string v34 = smpp::encode_pdu(p, 0x34);
    std::string v33 = smpp::encode_pdu(p, 0x33);
    EXPECT_EQ(v34.size(), v33.size() + 6);
    EXPECT_EQ(hexof(v33.substr(4)), hexof(v34.substr(4, v33.size() - 4)));
    EXPECT_EQ(hexof(v33.substr(0, 4)), "0000003E");
    Pdu b = bind_pdu(smpp::BIND_TRANSMITTER);
    b.interface_version = 0x33;
    EXPECT_EQ(hexof(smpp::encode_pdu(b, 0x33).substr(16 + 10 + 9 + 8, 1)), "33");
}

TEST(SmppCodec, EncoderCutsOverlongFields) {
    Pdu p = bind_pdu(smpp::BIND_TRANSMITTER);
    p.system_id = std::string(40, 'A');  // field of 16 octets
    p.password = "0123456789abc";        // field of 9 octets
    std::string w = smpp::encode_pdu(p);
    Pdu d;
    ASSERT_EQ(smpp::decode_pdu(bytes(w), d), 0u);
    EXPECT_EQ(d.system_id, std::string(15, 'A'));
    EXPECT_EQ(d.password, "01234567");
}

// ---- optional parameters and option text ------------------------------------------

TEST(SmppTlv, StandardNamesRoundTripThroughOptionText) {
    smpp::TlvRegistry reg;
    struct Case {
        const char* name;
        const char* value;
        uint16_t tag;
        const char* wire_hex;
    } cases[] = {
        {"user_message_reference", "513", 0x0204, "0201"},
        {"SMPPOption_sar_msg_ref_num", "65535", 0x020C, "FFFF"},
        {"sar_total_segments", "3", 0x020E, "03"},
        {"sar_segment_seqnum", "2", 0x020F, "02"},
        {"source_port", "9200", 0x020A, "23F0"},
        {"destination_port", "0x0B84", 0x020B, "0B84"},
        {"qos_time_to_live", "4294967295", 0x0017, "FFFFFFFF"},
        {"receipted_message_id", "abc", 0x001E, "61626300"},
        {"message_state", "2", 0x0427, "02"},
        {"network_error_code", "030001", 0x0423, "030001"},
        {"callback_num", "0101", 0x0381, "0101"},
        {"alert_on_message_delivery", "", 0x130C, ""},
        {"Message_Payload", "48656C6C6F", 0x0424, "48656C6C6F"},
    };
    for (const auto& c : cases) {
        auto t = smpp::option_to_tlv(reg, c.name, c.value);
        ASSERT_TRUE(t) << c.name;
        EXPECT_EQ(t->tag, c.tag) << c.name;
        EXPECT_EQ(hexof(t->value), c.wire_hex) << c.name;
        auto back = smpp::tlv_to_option(reg, *t);
        std::string bare = c.name;
        if (bare.rfind("SMPPOption_", 0) == 0) bare = bare.substr(11);
        EXPECT_TRUE(back.first.size() > 11 &&
                    strcasecmp(back.first.c_str() + 11, bare.c_str()) == 0)
            << back.first;
        // Integers come back in decimal, whatever form went in.
        auto again = smpp::option_to_tlv(reg, back.first, back.second);
        ASSERT_TRUE(again) << c.name;
        EXPECT_EQ(hexof(again->value), c.wire_hex) << c.name;
    }
}

TEST(SmppTlv, BadValuesAreRefused) {
    smpp::TlvRegistry reg;
    struct Case {
        const char* name;
        const char* value;
    } cases[] = {
        {"user_message_reference", "65536"},  // does not fit two octets
        {"user_message_reference", "12a"},
        {"sar_total_segments", ""},
        {"network_error_code", "ABC"},  // odd hex
        {"callback_num", "XY"},
        {"ServiceType", "CMT"},  // not an optional parameter
        {"LocalUser", "bob"},
        {"SMPPOption_", "1"},
        {"SMPPOption_12345", "00"},  // five digits: not a tag form
    };
    for (const auto& c : cases)
        EXPECT_FALSE(smpp::option_to_tlv(reg, c.name, c.value)) << c.name << "=" << c.value;
}

TEST(SmppTlv, CustomDefinitionsParse) {
    struct Case {
        const char* value;
        bool ok;
        uint16_t tag;
        smpp::TlvType type;
        size_t len;
    } cases[] = {
        {"0x1403,String,20", true, 0x1403, smpp::TlvType::CString, 20},
        {" 5123 , int , 2 ", true, 5123, smpp::TlvType::Int2, 2},
        {"0x1500,Integer", true, 0x1500, smpp::TlvType::Int1, 1},
        {"0x1501,Int,4", true, 0x1501, smpp::TlvType::Int4, 4},
        {"0x1502,Text", true, 0x1502, smpp::TlvType::Text, 0},
        {"0x1503,HEX,8", true, 0x1503, smpp::TlvType::Hex, 8},
        {"0x1504,Int,3", false, 0, smpp::TlvType::Hex, 0},
        {"0x10000,Hex", false, 0, smpp::TlvType::Hex, 0},
        {"zz,String", false, 0, smpp::TlvType::Hex, 0},
        {"0x1403", false, 0, smpp::TlvType::Hex, 0},
        {"0x1403,Float,4", false, 0, smpp::TlvType::Hex, 0},
        {"0x1403,String,20,9", false, 0, smpp::TlvType::Hex, 0},
        {"", false, 0, smpp::TlvType::Hex, 0},
    };
    for (const auto& c : cases) {
        auto d = smpp::parse_tlv_definition("MyTag", c.value);
        ASSERT_EQ(d.has_value(), c.ok) << c.value;
        if (!d) continue;
        EXPECT_EQ(d->tag, c.tag) << c.value;
        EXPECT_EQ(d->type, c.type) << c.value;
        EXPECT_EQ(d->max_len, c.len) << c.value;
    }
}

TEST(SmppTlv, CustomAndUnknownParametersPassBothWays) {
    smpp::TlvRegistry reg;
    reg.load({{"BillingCode", "0x1403,String,6"},
              {"Broken", "nonsense"},
              {"user_message_reference", "Yes"}});
    ASSERT_EQ(reg.custom.size(), 1u);

    // A custom name goes out with its tag, cut to its length (NUL included).
    auto t = smpp::option_to_tlv(reg, "SMPPOption_BillingCode", "ABCDEFGH");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->tag, 0x1403);
    EXPECT_EQ(hexof(t->value), "414243444500");
    auto item = smpp::tlv_to_option(reg, *t);
    EXPECT_EQ(item.first, "SMPPOption_BillingCode");
    EXPECT_EQ(item.second, "ABCDE");
    EXPECT_FALSE(smpp::option_to_tlv(reg, "Broken", "1"));

    // A tag nobody named comes up as hex and goes out again unchanged.
    smpp::Tlv unknown{0x1F0A, H("00FF10")};
    item = smpp::tlv_to_option(reg, unknown);
    EXPECT_EQ(item.first, "SMPPOption_1F0A");
    EXPECT_EQ(item.second, "00FF10");
    t = smpp::option_to_tlv(reg, item.first, item.second);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->tag, 0x1F0A);
    EXPECT_EQ(hexof(t->value), "00FF10");
}

TEST(SmppTlv, OptionTextSplitsAndJoins) {
    auto items = smpp::parse_option_text(
        " ServiceType=CMT ;user_message_reference = 7;; LocalUser=bob;flag;x=a=b");
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0], (std::pair<std::string, std::string>{"ServiceType", "CMT"}));
    EXPECT_EQ(items[1], (std::pair<std::string, std::string>{"user_message_reference", "7"}));
    EXPECT_EQ(items[2], (std::pair<std::string, std::string>{"LocalUser", "bob"}));
    EXPECT_EQ(items[3], (std::pair<std::string, std::string>{"flag", ""}));
    EXPECT_EQ(items[4], (std::pair<std::string, std::string>{"x", "a=b"}));
    EXPECT_EQ(smpp::join_option_text({{"a", "1"}, {"b", "2"}}), "a=1; b=2");
    EXPECT_TRUE(smpp::parse_option_text("").empty());
}

TEST(SmppStatus, TextsNameTheStatus) {
    struct Case {
        uint32_t code;
        const char* text;
    } cases[] = {
        {0x00, "ESME_ROK - No Error"},
        {0x01, "ESME_RINVMSGLEN - Message Length is invalid"},
        {0x0B, "ESME_RINVDSTADR - Invalid Dest Addr"},
        {0x0E, "ESME_RINVPASWD - Invalid Password"},
        {0x14, "ESME_RMSGQFUL - Message Queue Full"},
        {0x45, "ESME_RSUBMITFAIL - submit_sm or submit_multi failed"},
        {0x58, "ESME_RTHROTTLED - Throttling error (ESME has exceeded allowed message limits)"},
        {0x66, "ESME_RX_R_APPN - ESME Receiver Reject Message Error Code"},
        {0xC4, "ESME_RINVOPTPARAMVAL - Invalid Optional Parameter Value"},
        {0xFF, "ESME_RUNKNOWNERR - Unknown Error"},
        {0xFFFFFFFFu, "SMPP connection error"},
        {0xFFFFFFFEu, "SMPP response timeout"},
        {0xFFFFFFFDu, "SMPP session not connected or not bound"},
        {0x400, "Unknown SMPP error 0x00000400"},
        {0x09, "Unknown SMPP error 0x00000009"},
    };
    for (const auto& c : cases) EXPECT_STREQ(smpp::status_text(c.code), c.text) << c.code;
}

TEST(SmppCodec, CStringsOverTheirFieldSizeGiveTheFieldStatus) {
    // Each field set one character over its size (the NUL not counted), or
    // exactly at its size, which must decode.
    struct Case {
        uint32_t command_id;
        std::string Pdu::*field;
        size_t max_chars;
        uint32_t status;
    } cases[] = {
        {smpp::SUBMIT_SM, &Pdu::service_type, 5, smpp::ESME_RINVSERTYP},
        {smpp::SUBMIT_SM, &Pdu::source_addr, 20, smpp::ESME_RINVSRCADR},
        {smpp::SUBMIT_SM, &Pdu::dest_addr, 20, smpp::ESME_RINVDSTADR},
        {smpp::SUBMIT_SM, &Pdu::schedule_delivery_time, 16, smpp::ESME_RINVSCHED},
        {smpp::SUBMIT_SM, &Pdu::validity_period, 16, smpp::ESME_RINVEXPIRY},
        {smpp::DELIVER_SM, &Pdu::source_addr, 20, smpp::ESME_RINVSRCADR},
        {smpp::DELIVER_SM, &Pdu::dest_addr, 20, smpp::ESME_RINVDSTADR},
        {smpp::DATA_SM, &Pdu::source_addr, 64, smpp::ESME_RINVSRCADR},
        {smpp::DATA_SM, &Pdu::dest_addr, 64, smpp::ESME_RINVDSTADR},
        {smpp::DATA_SM, &Pdu::service_type, 5, smpp::ESME_RINVSERTYP},
        {smpp::BIND_TRANSMITTER, &Pdu::system_id, 15, smpp::ESME_RINVSYSID},
        {smpp::BIND_RECEIVER, &Pdu::password, 8, smpp::ESME_RINVPASWD},
        {smpp::BIND_TRANSCEIVER, &Pdu::system_type, 12, smpp::ESME_RINVSYSTYP},
        {smpp::BIND_TRANSCEIVER, &Pdu::address_range, 40, smpp::ESME_RBINDFAIL},
        {smpp::BIND_TRANSMITTER_RESP, &Pdu::system_id, 15, smpp::ESME_RINVSYSID},
        {smpp::OUTBIND, &Pdu::password, 8, smpp::ESME_RINVPASWD},
        {smpp::SUBMIT_SM_RESP, &Pdu::message_id, 64, smpp::ESME_RINVMSGID},
        {smpp::ALERT_NOTIFICATION, &Pdu::source_addr, 64, smpp::ESME_RINVSRCADR},
    };
    for (const Case& c : cases) {
        for (size_t n : {c.max_chars, c.max_chars + 1, size_t(30000)}) {
            Pdu p;
            p.command_id = c.command_id;
            p.sequence = 3;
            std::string w = smpp::encode_pdu(p);  // every string empty
            // Put the long value in place of the field's empty string.
            Pdu probe = p;
            probe.*c.field = "\x01";
            std::string marked = smpp::encode_pdu(probe);
            size_t at = smpp::PDU_HEADER_LEN;
            while (at < w.size() && w[at] == marked[at]) ++at;
            ASSERT_LT(at, w.size()) << smpp::command_name(c.command_id);
            w.insert(at, std::string(n, '7'));
            uint32_t len = uint32_t(w.size());
            for (int i = 0; i < 4; ++i) w[size_t(i)] = char((len >> (24 - 8 * i)) & 0xFF);
            Pdu d;
            uint32_t want = n > c.max_chars ? c.status : 0u;
            EXPECT_EQ(smpp::decode_pdu(bytes(w), d), want)
                << smpp::command_name(c.command_id) << " " << n;
            EXPECT_EQ((d.*c.field).size(), n) << smpp::command_name(c.command_id);
            EXPECT_EQ(d.sequence, 3u);
        }
    }
}
