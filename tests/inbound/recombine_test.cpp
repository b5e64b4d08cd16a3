// Long received messages: segment names, sets joined in sequence order
// whatever the arrival order and however sets interleave, parts given up
// on after the wait, and the decoding of 7-bit parts.
#include "inbound/recombine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "inbound/inbound_fixture.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "store/request_codec.h"

namespace {

using inbound_test::extension_of;

TEST(SarNames, RoundTripWithDashesInTheSender) {
    std::string name = inbound::sar_file_name("+44-77/00", 0xAB, 3, 2);
    EXPECT_EQ(name, "+44_77_00-ab-3-2.SAR");
    auto n = inbound::parse_sar_name(name);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->sender, "+44_77_00");
    EXPECT_EQ(n->reference, 0xABu);
    EXPECT_EQ(n->total, 3u);
    EXPECT_EQ(n->sequence, 2u);
    for (const char* bad :
         {"x-ab-3-4.SAR", "x-ab-0-0.SAR", "x-zz-3-1.SAR", "-ab-3-1.SAR", "x-1.SAR"})
        EXPECT_FALSE(inbound::parse_sar_name(bad)) << bad;
}

TEST(SarNames, UdhInfo) {
    auto i8 = inbound::parse_udh_info("050003A50302");
    EXPECT_TRUE(i8.concat);
    EXPECT_EQ(i8.reference, 0xA5u);
    EXPECT_EQ(i8.total, 3u);
    EXPECT_EQ(i8.sequence, 2u);
    auto i16 = inbound::parse_udh_info("0C0804ABCD020105040B84C002");
    EXPECT_EQ(i16.reference, 0xABCDu);
    EXPECT_TRUE(i16.port16);
    EXPECT_EQ(i16.dest_port, 0x0B84u);
    EXPECT_FALSE(inbound::parse_udh_info("050003A50304").concat);  // sequence beyond total
}

class RecombineTest : public inbound_test::InboundTest {
  protected:
    std::string segment(const std::string& sender, unsigned ref, unsigned total, unsigned seq,
                        const std::string& data) {
        store::SmsMessage m;
        m.link_name = "SMPP - A";
        m.sender = sender;
        m.phone_number = "5000";
        m.udh = platform::strprintf("050003%02X%02X%02X", ref, total, seq);
        m.data = data;
        return store::format_request(m, store::RecordLayout::Inbound);
    }
    std::vector<store::SmsMessage> created() {
        std::vector<store::SmsMessage> out;
        for (const auto& p : inbound_files())
            if (extension_of(p) == ".in")
                out.push_back(store::parse_request(inbound_test::slurp(p)));
        return out;
    }
};

TEST_F(RecombineTest, ShuffledInterleavedSetsJoinOnceInOrder) {
    const std::string dir = inbound_dir();
    struct Part {
        std::string sender;
        unsigned ref, seq;
    };
    std::vector<Part> parts;
    for (unsigned s = 1; s <= 4; ++s) parts.push_back({"111", 7, s});
    for (unsigned s = 1; s <= 4; ++s) parts.push_back({"222", 7, s});  // same reference
    for (unsigned s = 1; s <= 4; ++s) parts.push_back({"111", 8, s});
    std::mt19937 rng(42);
    std::shuffle(parts.begin(), parts.end(), rng);
    for (const Part& p : parts)
        ASSERT_TRUE(inbound::hold_segment(
            dir, p.sender, p.ref, 4, p.seq,
            segment(p.sender, p.ref, 4, p.seq,
                    p.sender + ":" + std::to_string(p.ref) + ":" + std::to_string(p.seq) + ";")));
    // A repeated segment is dropped.
    EXPECT_TRUE(inbound::hold_segment(dir, "111", 7, 4, 2, segment("111", 7, 4, 2, "other")));
    EXPECT_EQ(inbound::RecombineSARMessages(dir, inbound_test::g_now, 120), 3u);
    EXPECT_EQ(inbound::RecombineSARMessages(dir, inbound_test::g_now, 120), 0u);
    std::vector<std::string> data;
    for (const auto& m : created()) {
        data.push_back(m.data);
        EXPECT_TRUE(m.recombine);
        EXPECT_EQ(m.udh, "");
        EXPECT_EQ(m.phone_number, "5000");
    }
    std::sort(data.begin(), data.end());
    EXPECT_EQ(data, (std::vector<std::string>{"111:7:1;111:7:2;111:7:3;111:7:4;",
                                              "111:8:1;111:8:2;111:8:3;111:8:4;",
                                              "222:7:1;222:7:2;222:7:3;222:7:4;"}));
    for (const auto& p : inbound_files()) EXPECT_NE(extension_of(p), ".SAR") << p;
}

TEST_F(RecombineTest, MissingPartGivenUpOnlyAfterTheWait) {
    const std::string dir = inbound_dir();
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(inbound::hold_segment(dir, "333", 9, 3, 3, segment("333", 9, 3, 3, "C")));
    ASSERT_TRUE(inbound::hold_segment(dir, "333", 9, 3, 1, segment("333", 9, 3, 1, "A")));
    time_t held = platform::file_mtime(dir + "333-9-3-1.SAR").value();
    EXPECT_EQ(inbound::RecombineSARMessages(dir, held + 100, 120), 0u);
    EXPECT_FALSE(platform::file_exists(dir + "333-9-3-2.SAR"));
    EXPECT_EQ(inbound::RecombineSARMessages(dir, held + 121, 120), 1u);
    auto msgs = created();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].data, "AC");
    EXPECT_FALSE(msgs[0].duplicate_for_2way);
    EXPECT_FALSE(platform::file_exists(dir + "333-9-3-2.SAR"));
    EXPECT_FALSE(platform::file_exists(dir + "333-9-3.LCK"));
}

TEST(CombineSegments, PackedSevenBitPartsDecodedAndPortKept) {
    store::SmsMessage a, b;
    a.sender = b.sender = "1";
    a.binary = b.binary = true;
    a.dcs = b.dcs = 0;
    // "hi" and "yo" packed behind their 6-octet headers.
    a.udh = "050003010201";
    b.udh = "050003010202";
    a.duplicate_for_2way = true;  // the 2-way copy of a local account's message
    a.data = radio::charset::pack_septets(radio::charset::utf8_to_gsm("hi"), 6);
    b.data = radio::charset::pack_septets(radio::charset::utf8_to_gsm("yo"), 6);
    auto r = inbound::combine_segments({a, b});
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->binary);
    EXPECT_EQ(r->data, "hiyo");
    EXPECT_TRUE(r->duplicate_for_2way);

    a.udh = "0B0003010201050404D20000";
    a.dcs = b.dcs = 4;
    a.data = "C0";
    b.data = "FFEE";
    r = inbound::combine_segments({a, store::SmsMessage{}, b});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->udh, "06050404D20000");
    EXPECT_EQ(r->data, "C0FFEE");
    EXPECT_TRUE(r->binary);
}

}  // namespace
