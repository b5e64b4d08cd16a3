// Tests of segment sizes, UDH building and parsing, the split of text and
// binary messages, and the segment request files read back by the loader.
#include "delivery/segmentation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "delivery/long_message_locks.h"
#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "store/message_id.h"
#include "store/request_file.h"
#include "store/store_state.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

using delivery::Segment;
using delivery::SegmentLimits;
using delivery::SegmentPlan;
namespace cs = radio::charset;

std::atomic<int> g_reference_calls{0};
uint8_t fixed_reference() {
    ++g_reference_calls;
    return 0xA7;
}

time_t fixed_clock(int* millis) {
    if (millis) *millis = 0;
    return 0x5F0000C3;
}

class SegmentationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-seg-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::ini_drop_cache_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        platform::set_wall_clock(&fixed_clock);
        store::reset_store_for_tests();
        g_reference_calls = 0;
        q_ = home_ + "Q/";
    }
    void TearDown() override {
        platform::set_wall_clock(nullptr);
        frame::mutable_settings() = frame::GlobalSettings{};
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    std::string home_;
    std::string q_;
};

std::vector<size_t> unit_counts(const SegmentPlan& plan) {
    std::vector<size_t> v;
    for (const Segment& s : plan.segments) v.push_back(s.units);
    return v;
}

// --- sizes -----------------------------------------------------------------------

TEST_F(SegmentationTest, SegmentSizesFollowTheLimitsAndReferenceForm) {
    struct Case {
        uint32_t text, binary;
        bool ref16, alt;
        size_t septets, units;
    } cases[] = {
        {160, 140, false, false, 153, 67}, {160, 140, true, false, 152, 66},
        {160, 140, false, true, 152, 67},  {160, 140, true, true, 152, 66},
        {39, 39, false, false, 153, 67},  // below 40 means the defaults
        {100, 80, false, false, 93, 37},   {40, 40, true, false, 32, 16},
    };
    for (const Case& c : cases) {
        SegmentLimits l;
        l.text_septets = c.text;
        l.binary_octets = c.binary;
        l.concat_ref_16bit = c.ref16;
        l.alt_long_text = c.alt;
        EXPECT_EQ(delivery::text_septets_per_segment(l), c.septets) << c.text << " " << c.ref16;
        EXPECT_EQ(delivery::ucs2_units_per_segment(l), c.units) << c.binary << " " << c.ref16;
    }
}

TEST_F(SegmentationTest, ExplicitUdhFromPortAndSegmentParameters) {
    struct Case {
        delivery::ExplicitUdhParams p;
        const char* udh;
    } cases[] = {
        {{0x23F0, 0x0B84, 0x1A, 2, 3}, "0B05040B8423F000031A0302"},
        {{0x23F0, 0x0B84, 0, 0, 0}, "0605040B8423F0"},
        {{0, 0x0B84, 0, 0, 0}, "0605040B840000"},
        {{0x23F0, 0x0B84, 0x1A, 0, 3}, "0605040B8423F0"},    // number 0 clears all three
        {{0x23F0, 0x0B84, 0x1A, 256, 3}, "0605040B8423F0"},  // above 255 counts as 0
        {{0, 0, 0x1FF, 1, 2}, "050003FF0201"},               // reference cut to 8 bits
        {{0, 0, 7, 1, 0}, ""},
        {{0, 0, 0, 0, 0}, ""},
    };
    for (const auto& c : cases) {
        std::string udh = "stale", error;
        ASSERT_TRUE(delivery::build_explicit_udh(c.p, udh, error));
        EXPECT_EQ(udh, c.udh);
    }
    std::string udh, error;
    EXPECT_FALSE(delivery::build_explicit_udh({65536, 80, 0, 0, 0}, udh, error));
    EXPECT_NE(error.find("port"), std::string::npos);
    EXPECT_FALSE(delivery::build_explicit_udh({80, 70000, 0, 0, 0}, udh, error));
}

TEST_F(SegmentationTest, UnicodeDcs) {
    const std::pair<uint8_t, uint8_t> cases[] = {{0x00, 0x08}, {0x10, 0x18}, {0x3F, 0x3F},
                                                 {0x40, 0x48}, {0x4F, 0x4F}, {0x50, 0x08},
                                                 {0xBF, 0x08}, {0xC0, 0xC8}, {0xF5, 0xFD}};
    for (auto [in, out] : cases) EXPECT_EQ(delivery::unicode_dcs(in), out) << int(in);
}

TEST_F(SegmentationTest, UdhParsingRemovesConcatenationElements) {
    struct Case {
        const char* udh;
        bool has_concat;
        const char* without;
    } cases[] = {
        {"0B0003AA020105040B8423F0", true, "0605040B8423F0"},
        {"0C0804BEEF020105040B8423F0", true, "0605040B8423F0"},
        {"050003AA0201", true, ""},
        {"0605040B8423F0", false, "0605040B8423F0"},
        {"03240101", false, "03240101"},
        {"0605040b8423f0", false, "0605040B8423F0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(delivery::has_concat_element(c.udh), c.has_concat) << c.udh;
        auto rest = delivery::remove_concat_elements(c.udh);
        ASSERT_TRUE(rest.has_value()) << c.udh;
        EXPECT_EQ(*rest, c.without) << c.udh;
    }
}

TEST_F(SegmentationTest, MalformedUdhIsRejectedWithAReason) {
    const char* bad[] = {
        "",                // nothing
        "0",               // odd length
        "06050X0B8423F0",  // not hex
        "0705040B8423F0",  // length octet says 7, 6 follow
        "0505040B8423F0",  // length octet says 5
        "030504",          // element claims 4 octets, 1 follows
        "0100",            // element without its length octet
    };
    for (const char* udh : bad) {
        std::vector<delivery::UdhElement> e;
        std::string error;
        EXPECT_FALSE(delivery::parse_udh(udh, e, error)) << udh;
        EXPECT_FALSE(error.empty()) << udh;
        EXPECT_FALSE(delivery::remove_concat_elements(udh).has_value()) << udh;
        EXPECT_FALSE(delivery::has_concat_element(udh)) << udh;
    }
    // 150 octets: one over the bound.
    std::string big = "95" + std::string(2, '7') + "93" + std::string(147 * 2, '0');
    std::vector<delivery::UdhElement> e;
    std::string error;
    EXPECT_FALSE(delivery::parse_udh(big, e, error));
    std::string fits = "94" + std::string(2, '7') + "92" + std::string(146 * 2, '0');
    EXPECT_TRUE(delivery::parse_udh(fits, e, error)) << error;
}

// --- 7-bit text ------------------------------------------------------------------------

TEST_F(SegmentationTest, GsmTextSplitsAtTheSegmentSize) {
    struct Case {
        size_t septets;
        bool ref16;
        std::vector<size_t> counts;
    } cases[] = {
        {160, false, {160}},      {161, false, {153, 8}},      {161, true, {152, 9}},
        {306, false, {153, 153}}, {307, false, {153, 153, 1}}, {304, true, {152, 152}},
        {0, false, {0}},
    };
    for (const Case& c : cases) {
        SegmentLimits l;
        l.concat_ref_16bit = c.ref16;
        SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(delivery::split_gsm_septets(std::string(c.septets, 'a'), 0, l, plan, error, {},
                                                &fixed_reference));
        EXPECT_EQ(unit_counts(plan), c.counts) << c.septets << " " << c.ref16;
        EXPECT_EQ(plan.split, c.counts.size() > 1);
    }
}

TEST_F(SegmentationTest, TwoSegmentsOf153And8SeptetsCarryExactHeadersAndData) {
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(delivery::split_text(std::string(161, 'a'), false, 0, SegmentLimits{}, plan, error,
                                     &fixed_reference));
    ASSERT_EQ(plan.segments.size(), 2u);
    EXPECT_EQ(g_reference_calls.load(), 1);
    EXPECT_EQ(plan.reference, 0xA7);
    EXPECT_EQ(plan.segments[0].udh, "050003A70201");
    EXPECT_EQ(plan.segments[1].udh, "050003A70202");
    // 153 septets behind a 6-octet header fill 134 octets exactly.
    EXPECT_EQ(plan.segments[0].data.size(), 134u * 2);
    EXPECT_EQ(cs::unpack_septets(plan.segments[0].data, 6), std::string(153, 'a'));
    // One fill bit, eight 'a', the packer's space in the seven spare bits.
    EXPECT_EQ(plan.segments[1].data, "C2E170381C0E8741");

    ASSERT_TRUE(delivery::split_text(std::string(160, 'a'), false, 0, SegmentLimits{}, plan, error,
                                     &fixed_reference));
    EXPECT_FALSE(plan.split);
    EXPECT_EQ(plan.segments[0].udh, "");
    EXPECT_EQ(g_reference_calls.load(), 1);  // no reference for a message that fits
}

TEST_F(SegmentationTest, SixteenBitReferenceHoldsTheEightBitValue) {
    SegmentLimits l;
    l.concat_ref_16bit = true;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(std::string(161, 'a'), false, 0, l, plan, error, &fixed_reference));
    ASSERT_EQ(plan.segments.size(), 2u);
    EXPECT_EQ(plan.segments[0].udh, "06080400A70201");
    EXPECT_EQ(plan.segments[1].udh, "06080400A70202");
    // A 7-octet header needs no fill bits: nine 'a' from the first bit on.
    EXPECT_EQ(plan.segments[1].data, "E170381C0E87C361");
}

TEST_F(SegmentationTest, EscapePairAtTheCutMovesToTheNextSegment) {
    // Septets 1-152 are 'a', 153-154 the euro's escape pair, then ten 'b'.
    const std::string text = std::string(152, 'a') + "\xE2\x82\xAC" + std::string(10, 'b');
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(text, false, 0, SegmentLimits{}, plan, error, &fixed_reference));
    ASSERT_EQ(plan.segments.size(), 2u);
    // Cutting before the escape would leave 152 septets, whose seven spare bits
    // the packer fills with a space that a reader keeps as text; the 'a'
    // before it moves along too.
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{151, 13}));
    EXPECT_EQ(cs::unpack_septets(plan.segments[0].data, 6), std::string(151, 'a'));
    EXPECT_EQ(plan.segments[1].data, "C29BB2582C168BC562B1580C");  // a, ESC e, b x 10
    EXPECT_EQ(cs::gsm_to_utf8(cs::unpack_septets(plan.segments[1].data, 6)),
              "a\xE2\x82\xAC" + std::string(10, 'b'));

    // A pair that ends exactly on the cut stays where it is.
    const std::string fits = std::string(151, 'a') + "\xE2\x82\xAC" + std::string(10, 'b');
    ASSERT_TRUE(
        delivery::split_text(fits, false, 0, SegmentLimits{}, plan, error, &fixed_reference));
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{153, 10}));
}

TEST_F(SegmentationTest, SegmentsNeverEndInsideAnEscapePair) {
    // Texts made only of escape pairs, at every alignment, and mixed ones.
    const std::string euro = "\xE2\x82\xAC";
    for (int offset = 0; offset < 4; ++offset) {
        for (bool ref16 : {false, true}) {
            std::string text(offset, 'x');
            for (int i = 0; i < 400; ++i) text += (i % 3 == 0) ? "a" : euro;
            SegmentLimits l;
            l.concat_ref_16bit = ref16;
            SegmentPlan plan;
            std::string error;
            ASSERT_TRUE(delivery::split_text(text, false, 0, l, plan, error, &fixed_reference));
            std::string back;
            for (size_t i = 0; i < plan.segments.size(); ++i) {
                const Segment& s = plan.segments[i];
                const std::string septets = cs::unpack_septets(s.data, s.udh.size() / 2);
                ASSERT_EQ(septets.size(), s.units) << "segment " << i;  // no fill read as text
                ASSERT_NE(static_cast<uint8_t>(septets.back()), cs::kGsmEscape) << "segment " << i;
                back += cs::gsm_to_utf8(septets);
            }
            EXPECT_EQ(back, text) << offset << " " << ref16;
        }
    }
}

TEST_F(SegmentationTest, AltLongTextLeadsEachSegmentWithAFillerSeptet) {
    SegmentLimits l;
    l.alt_long_text = true;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(std::string(161, 'a'), false, 0, l, plan, error, &fixed_reference));
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{152, 9}));
    EXPECT_EQ(plan.segments[0].data.substr(0, 2), "1A");
    EXPECT_EQ(plan.segments[0].data.size(), 134u * 2);
    EXPECT_EQ(plan.segments[1].data, "1AE170381C0E87C361");

    // With the 16-bit element the header already aligns the text: no filler.
    l.concat_ref_16bit = true;
    ASSERT_TRUE(
        delivery::split_text(std::string(161, 'a'), false, 0, l, plan, error, &fixed_reference));
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{152, 9}));
    EXPECT_EQ(plan.segments[1].data, "E170381C0E87C361");
}

TEST_F(SegmentationTest, LongTextDcsReplacesAZeroDcsOfSplitText) {
    SegmentLimits l;
    l.long_text_dcs = 0x11;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(std::string(200, 'a'), false, 0, l, plan, error, &fixed_reference));
    EXPECT_EQ(plan.dcs, 0x11);
    ASSERT_TRUE(
        delivery::split_text(std::string(200, 'a'), false, 0xF0, l, plan, error, &fixed_reference));
    EXPECT_EQ(plan.dcs, 0xF0);
    ASSERT_TRUE(
        delivery::split_text(std::string(20, 'a'), false, 0, l, plan, error, &fixed_reference));
    EXPECT_EQ(plan.dcs, 0);  // a single SMS keeps its DCS
}

TEST_F(SegmentationTest, SendLongMessagesAsIsKeepsTheMessageWhole) {
    SegmentLimits l;
    l.send_long_messages_as_is = true;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(std::string(500, 'a'), false, 0, l, plan, error, &fixed_reference));
    EXPECT_FALSE(plan.split);
    ASSERT_EQ(plan.segments.size(), 1u);
    EXPECT_EQ(plan.segments[0].udh, "");
    EXPECT_EQ(plan.segments[0].units, 500u);
    ASSERT_TRUE(
        delivery::split_text(std::string(500, 'a'), true, 8, l, plan, error, &fixed_reference));
    EXPECT_EQ(plan.segments.size(), 1u);
    EXPECT_EQ(g_reference_calls.load(), 0);
}

TEST_F(SegmentationTest, SegmentCapsCutTheText) {
    // 10 000 euro signs are 20 000 septets; the conversion keeps 8191
    // characters (16382 septets), cut into pairs of 150 septets per segment
    // (153 would split a pair, 152 would end in the packer's fill).
    std::string euros;
    for (int i = 0; i < 10000; ++i) euros += "\xE2\x82\xAC";
    SegmentLimits http;
    http.max_segments = delivery::kHttpMaxSegments;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(delivery::split_text(euros, false, 0, http, plan, error, &fixed_reference));
    ASSERT_EQ(plan.segments.size(), 100u);
    EXPECT_TRUE(plan.truncated);
    EXPECT_EQ(plan.segments[99].udh, "050003A76464");
    EXPECT_EQ(plan.segments[99].units, 150u);

    // Without a caller's cap all of it goes.
    ASSERT_TRUE(
        delivery::split_text(euros, false, 0, SegmentLimits{}, plan, error, &fixed_reference));
    EXPECT_EQ(plan.segments.size(), 110u);
    EXPECT_FALSE(plan.truncated);
    EXPECT_EQ(plan.segments.back().units, 16382u - 109 * 150);
    EXPECT_NE(static_cast<uint8_t>(cs::unpack_septets(plan.segments.back().data, 6).back()),
              cs::kGsmEscape);

    // Small segments would need more than a total octet can count.
    SegmentLimits tiny;
    tiny.text_septets = 40;
    tiny.concat_ref_16bit = true;
    ASSERT_TRUE(delivery::split_text(std::string(8191, 'a'), false, 0, tiny, plan, error,
                                     &fixed_reference));
    EXPECT_EQ(plan.segments.size(), 255u);
    EXPECT_TRUE(plan.truncated);
    EXPECT_EQ(plan.segments.back().udh, "06080400A7FFFF");
}

// --- UCS-2 -------------------------------------------------------------------------------

TEST_F(SegmentationTest, Ucs2TextSplitsAt67Or66Characters) {
    struct Case {
        size_t chars;
        bool ref16;
        std::vector<size_t> counts;
    } cases[] = {
        {70, false, {70}},      {71, false, {67, 4}},      {71, true, {66, 5}},
        {134, false, {67, 67}}, {135, false, {67, 67, 1}},
    };
    for (const Case& c : cases) {
        SegmentLimits l;
        l.concat_ref_16bit = c.ref16;
        std::string text;
        for (size_t i = 0; i < c.chars; ++i) text += "\xD0\x96";  // U+0416
        SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(delivery::split_text(text, true, 8, l, plan, error, &fixed_reference));
        EXPECT_EQ(unit_counts(plan), c.counts) << c.chars << " " << c.ref16;
        EXPECT_EQ(plan.dcs, 8);
    }
    SegmentPlan plan;
    std::string error;
    std::string text;
    for (int i = 0; i < 71; ++i) text += "\xD0\x96";
    ASSERT_TRUE(
        delivery::split_text(text, true, 8, SegmentLimits{}, plan, error, &fixed_reference));
    EXPECT_EQ(plan.segments[0].udh, "050003A70201");
    EXPECT_EQ(plan.segments[1].udh, "050003A70202");
    EXPECT_EQ(plan.segments[1].data, "0416041604160416");
}

TEST_F(SegmentationTest, SurrogatePairAtTheCutMovesToTheNextSegment) {
    // 66 BMP characters, then U+1F600 as units 67-68, then three more.
    std::string text(66, 'x');
    text += "\xF0\x9F\x98\x80";
    text += "yzw";
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_text(text, true, 8, SegmentLimits{}, plan, error, &fixed_reference));
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{66, 5}));
    EXPECT_EQ(plan.segments[1].data, "D83DDE000079007A0077");
    EXPECT_EQ(cs::ucs2_hex_to_utf8(plan.segments[1].data), "\xF0\x9F\x98\x80yzw");
}

// --- national language shift tables --------------------------------------------------------

TEST_F(SegmentationTest, ShiftTableTextRepeatsItsShiftElementInEverySegment) {
    // "ğ" needs Unicode in the default alphabet but has Turkish shift tables.
    std::string text;
    for (int i = 0; i < 100; ++i) text += "a\xC4\x9F";
    SegmentPlan plan;
    ASSERT_TRUE(delivery::split_text_with_shift_tables(text, "1", 0, SegmentLimits{}, plan,
                                                       &fixed_reference));
    ASSERT_TRUE(plan.split);
    ASSERT_GE(plan.segments.size(), 2u);
    const std::string shift = plan.segments[0].udh.substr(12);
    EXPECT_TRUE(shift == "240101" || shift == "250101" || shift == "240101250101" ||
                shift == "250101240101")
        << plan.segments[0].udh;
    std::string back;
    for (size_t i = 0; i < plan.segments.size(); ++i) {
        const Segment& s = plan.segments[i];
        EXPECT_EQ(s.udh, platform::strprintf("%02X0003A7%02X%02X", unsigned(5 + shift.size() / 2),
                                             unsigned(plan.segments.size()), unsigned(i + 1)) +
                             shift);
        std::string utf8;
        cs::GSM7ToUTF8String(s.udh, s.data, utf8);
        back += utf8;
    }
    EXPECT_EQ(back, text);

    // A Chinese character has no national table: the caller goes on with UCS-2.
    EXPECT_FALSE(delivery::split_text_with_shift_tables("\xE4\xB8\xAD", "1,2,3", 0, SegmentLimits{},
                                                        plan, &fixed_reference));
}

// --- binary --------------------------------------------------------------------------------

std::string hex_octets(size_t n, unsigned seed) {
    std::string hex;
    for (size_t i = 0; i < n; ++i)
        hex += platform::strprintf("%02X", unsigned((i * 7 + seed) & 0xFF));
    return hex;
}

TEST_F(SegmentationTest, BinaryWithPortHeaderSplitsWithConcatenationFirst) {
    const std::string data = hex_octets(200, 3);
    struct Case {
        bool ref16, repeat;
        std::vector<size_t> counts;
        const char* udh1;
        const char* udh2;
    } cases[] = {
        {false, true, {128, 72}, "0B0003A7020105040B8423F0", "0B0003A7020205040B8423F0"},
        {true, true, {127, 73}, "0C080400A7020105040B8423F0", "0C080400A7020205040B8423F0"},
        {false, false, {128, 72}, "0B0003A7020105040B8423F0", "050003A70202"},
        {true, false, {127, 73}, "0C080400A7020105040B8423F0", "06080400A70202"},
    };
    for (const Case& c : cases) {
        SegmentLimits l;
        l.concat_ref_16bit = c.ref16;
        l.repeat_udh_all_segments = c.repeat;
        SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(
            delivery::split_binary("0605040B8423F0", data, 0xF5, l, plan, error, &fixed_reference))
            << error;
        ASSERT_TRUE(plan.split);
        EXPECT_EQ(plan.dcs, 0xF5);
        EXPECT_EQ(unit_counts(plan), c.counts);
        EXPECT_EQ(plan.segments[0].udh, c.udh1);
        EXPECT_EQ(plan.segments[1].udh, c.udh2);
        EXPECT_EQ(plan.segments[0].data + plan.segments[1].data, data);
    }
}

TEST_F(SegmentationTest, BinaryThatFitsOrIsAlreadyASegmentStaysWhole) {
    struct Case {
        const char* udh;
        size_t octets;
        bool split;
    } cases[] = {
        {"0605040B8423F0", 133, false},  // 14 + 266 = 280 hex digits
        {"0605040B8423F0", 134, true},
        {"", 140, false},
        {"", 141, true},
        {"050003110201", 300, false},  // carries a concatenation element already
        {"0B0003110201050400000000", 300, false},
    };
    for (const Case& c : cases) {
        SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(delivery::split_binary(c.udh, hex_octets(c.octets, 1), 0x04, SegmentLimits{},
                                           plan, error, &fixed_reference))
            << error;
        EXPECT_EQ(plan.split, c.split) << c.udh << " " << c.octets;
        if (!c.split) {
            ASSERT_EQ(plan.segments.size(), 1u);
            EXPECT_EQ(plan.segments[0].udh, c.udh);
            EXPECT_EQ(plan.segments[0].data, hex_octets(c.octets, 1));
        }
    }
}

TEST_F(SegmentationTest, BinaryUcs2IsCutBetweenWholeCharacters) {
    // A 7-octet element makes B - U = 127 octets: rounded down to 63 units,
    // and the pair at units 63-64 moves on whole.
    std::string units;
    for (int i = 0; i < 62; ++i) units += "0041";
    units += "D83DDE00";
    for (int i = 0; i < 20; ++i) units += "0042";
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(delivery::split_binary("0722050000000000", units, 0x08, SegmentLimits{}, plan,
                                       error, &fixed_reference))
        << error;
    ASSERT_EQ(plan.segments.size(), 2u);
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{124, 44}));  // octets
    EXPECT_EQ(plan.segments[1].data.substr(0, 8), "D83DDE00");
    EXPECT_EQ(plan.segments[0].data + plan.segments[1].data, units);
    for (const Segment& s : plan.segments) EXPECT_EQ(s.data.size() % 4, 0u);
}

TEST_F(SegmentationTest, BinarySevenBitDataIsPackedBehindEachHeader) {
    std::string septets, hex;
    for (int i = 0; i < 200; ++i) {
        septets.push_back(char(0x41 + i % 26));
        hex += platform::strprintf("%02X", 0x41 + i % 26);
    }
    SegmentLimits l;
    l.repeat_udh_all_segments = false;
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(
        delivery::split_binary("0605040B8423F0", hex, 0x00, l, plan, error, &fixed_reference));
    // A 12-octet header takes 14 septet places: 146 septets per segment.
    EXPECT_EQ(unit_counts(plan), (std::vector<size_t>{146, 54}));
    EXPECT_EQ(cs::unpack_septets(plan.segments[0].data, 12), septets.substr(0, 146));
    EXPECT_EQ(plan.segments[1].udh, "050003A70202");
    EXPECT_EQ(cs::unpack_septets(plan.segments[1].data, 6), septets.substr(146));
    // Two fill bits, then A..J.
    EXPECT_EQ(plan.segments[0].data.substr(0, 18), "04854362D178442695");
}

TEST_F(SegmentationTest, BadBinaryInputIsRefused) {
    const std::string long_udh = "86" + std::string(2, '7') + "84" + std::string(132 * 2, '0');
    struct Case {
        const char* what;
        std::string udh, data;
    } cases[] = {
        {"odd data", "", std::string(301, '0')},
        {"non-hex data", "", "ZZ" + std::string(300, '0')},
        {"bad header", "0705040B8423F0", std::string(300, '0')},
        {"header leaves no room", long_udh, std::string(300, '0')},
    };
    for (const Case& c : cases) {
        SegmentPlan plan;
        std::string error;
        EXPECT_FALSE(delivery::split_binary(c.udh, c.data, 0x04, SegmentLimits{}, plan, error,
                                            &fixed_reference))
            << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    // More than 255 segments of data is refused, never cut.
    SegmentLimits tiny;
    tiny.binary_octets = 40;
    SegmentPlan plan;
    std::string error;
    EXPECT_FALSE(delivery::split_binary("", std::string(2 * 40 * 300, 'A'), 0x04, tiny, plan, error,
                                        &fixed_reference));
    EXPECT_NE(error.find("255"), std::string::npos);
    // Bad extra elements for text.
    EXPECT_FALSE(delivery::split_gsm_septets(std::string(300, 'a'), 0, SegmentLimits{}, plan, error,
                                             "2402", &fixed_reference));
}

// --- segment files -----------------------------------------------------------------------

store::SmsMessage sample_message() {
    store::SmsMessage m;
    m.phone_number = "+44:71/23*4";
    m.sender = "Sender\r\nSMSCRoute=evil";  // a line break must not start a key
    m.submit_user = "alice";
    m.route = "SMPP - one";
    m.smpp_options = "a=1";
    m.user_data = "ud";
    m.pid = 0x41;
    m.flags = store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested;
    return m;
}

TEST_F(SegmentationTest, SegmentRequestTextIsExact) {
    Segment s{"050003A70201", "C2E170381C0E8741", 8};
    EXPECT_EQ(delivery::segment_request_text(sample_message(), s, 0x11),
              "[SMS]\r\n"
              "PhoneNumber=+44:71/23*4\r\n"
              "Sender=Sender\r\n"
              "SubmitUser=alice\r\n"
              "SMSCRoute=SMPP - one\r\n"
              "SMPPOptions=a=1\r\n"
              "UserData=ud\r\n"
              "ReceiptRequested=Yes\r\n"
              "NonDelReceiptRequested=Yes\r\n"
              "Data=C2E170381C0E8741\r\n"
              "UDH=050003A70201\r\n"
              "pid=41\r\n"
              "dcs=11\r\n"
              "Binary=1\r\n");
}

TEST_F(SegmentationTest, QueuedSegmentsAreNamedAndLoadBack) {
    frame::mutable_settings().message_id_prefix = "GW";
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(delivery::split_text(std::string(400, 'q'), false, 0, SegmentLimits{}, plan, error,
                                     &fixed_reference));
    const store::SmsMessage base = sample_message();
    const delivery::QueuedSegments q = delivery::queue_segments(q_, base, plan);
    EXPECT_EQ(q.failed, 0u);
    ASSERT_EQ(q.paths.size(), 3u);
    EXPECT_EQ(q.message_number, 0x5F0000C3u);  // first id: the clock's seconds
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(q.paths[i],
                  q_ + platform::strprintf("SAR-GW+44!71!23!4-5f0000c3-3-%u.req", i + 1));
        platform::FileHandle h(::open(q.paths[i].c_str(), O_RDONLY));
        ASSERT_TRUE(h.valid());
        store::SmsMessage m;
        ASSERT_TRUE(store::LoadSMSMessage(h.fd(), m));
        EXPECT_EQ(m.phone_number, base.phone_number);
        EXPECT_EQ(m.sender, "Sender");
        EXPECT_EQ(m.route, "SMPP - one");
        EXPECT_EQ(m.submit_user, "alice");
        EXPECT_EQ(m.flags, base.flags);
        EXPECT_EQ(m.pid, 0x41);
        EXPECT_EQ(m.dcs, 0);
        EXPECT_TRUE(m.binary);
        EXPECT_EQ(m.udh, plan.segments[i].udh);
        EXPECT_EQ(m.data, plan.segments[i].data);
        delivery::SegmentName n;
        ASSERT_TRUE(
            delivery::parse_segment_name(std::filesystem::path(q.paths[i]).filename().string(), n));
        EXPECT_EQ(n.sequence, i + 1);
    }

    // A message that fits gets an ordinary request file name.
    ASSERT_TRUE(
        delivery::split_text("short", false, 0, SegmentLimits{}, plan, error, &fixed_reference));
    const delivery::QueuedSegments one = delivery::queue_segments(q_, base, plan);
    ASSERT_EQ(one.paths.size(), 1u);
    EXPECT_EQ(one.paths[0], q_ + "GW5F0000C4.req");
}

TEST_F(SegmentationTest, AnUnwritableSegmentIsSkippedAndCounted) {
    SegmentPlan plan;
    std::string error;
    ASSERT_TRUE(delivery::split_text(std::string(400, 'q'), false, 0, SegmentLimits{}, plan, error,
                                     &fixed_reference));
    // A directory squatting on the name of segment 2.
    const uint32_t next = 0x5F0000C3;
    std::filesystem::create_directories(q_ + platform::strprintf("SAR-123-%x-3-2.req", next) +
                                        "/x");
    store::SmsMessage base;
    base.phone_number = "123";
    const delivery::QueuedSegments q = delivery::queue_segments(q_, base, plan);
    EXPECT_EQ(q.message_number, next);
    EXPECT_EQ(q.failed, 1u);
    ASSERT_EQ(q.paths.size(), 2u);
    EXPECT_EQ(q.paths[1], q_ + platform::strprintf("SAR-123-%x-3-3.req", next));
}

TEST_F(SegmentationTest, ReferencesComeFromTheSequenceAndRepeatAfter256) {
    std::string error;
    SegmentPlan plan;
    std::vector<uint8_t> refs;
    for (int i = 0; i < 257; ++i) {
        ASSERT_TRUE(
            delivery::split_text(std::string(200, 'a'), false, 0, SegmentLimits{}, plan, error));
        refs.push_back(plan.reference);
        ASSERT_EQ(plan.segments[1].udh, platform::strprintf("050003%02X0202", plan.reference));
    }
    EXPECT_EQ(refs[0], 0xC3);  // the clock's low 8 bits
    for (int i = 1; i < 257; ++i) EXPECT_EQ(refs[i], uint8_t(refs[i - 1] + 1));
    EXPECT_EQ(refs[256], refs[0]);
}

// --- property: written, loaded, reassembled ------------------------------------------------

struct Reassembled {
    std::string text;  // UTF-8 (text forms) or data hex (binary)
    std::vector<std::string> udhs;
    bool ok = true;
    std::string why;
};

// Reads every request file of dir with the loader and puts the segments
// together in the order their concatenation elements give, as a handset would.
Reassembled reassemble(const std::string& dir, bool unicode, bool binary) {
    Reassembled r;
    std::map<unsigned, store::SmsMessage> parts;
    unsigned total = 0;
    for (const auto& e : platform::scan_dir(dir, "*.req", platform::ScanKind::FilesOnly)) {
        platform::FileHandle h(::open((dir + e.name).c_str(), O_RDONLY));
        store::SmsMessage m;
        if (!h.valid() || !store::LoadSMSMessage(h.fd(), m)) {
            r.ok = false;
            r.why = "unreadable " + e.name;
            return r;
        }
        unsigned seq = 1, count = 1;
        std::vector<delivery::UdhElement> elements;
        std::string error;
        if (!m.udh.empty() && delivery::parse_udh(m.udh, elements, error)) {
            for (const auto& el : elements) {
                if (el.id == 0x00 && el.data.size() == 3) {
                    count = uint8_t(el.data[1]);
                    seq = uint8_t(el.data[2]);
                } else if (el.id == 0x08 && el.data.size() == 4) {
                    count = uint8_t(el.data[2]);
                    seq = uint8_t(el.data[3]);
                }
            }
        }
        if (total != 0 && total != count) {
            r.ok = false;
            r.why = "totals differ";
        }
        total = count;
        parts[seq] = m;
    }
    if (parts.size() != total) {
        r.ok = false;
        r.why = platform::strprintf("%zu parts of %u", parts.size(), total);
    }
    for (const auto& [seq, m] : parts) {
        r.udhs.push_back(m.udh);
        if (binary) {
            r.text += m.data;
        } else if (unicode) {
            r.text += cs::ucs2_hex_to_utf8(m.data);
        } else {
            r.text += cs::gsm_to_utf8(cs::unpack_septets(m.data, m.udh.size() / 2));
        }
    }
    return r;
}

// Characters that survive the GSM alphabet there and back: the basic table
// (without the escape) and the extension table.
void gsm_alphabet(std::vector<std::string>& basic, std::vector<std::string>& extension) {
    for (int s = 0; s < 128; ++s) {
        if (s == cs::kGsmEscape) continue;
        const std::string c = cs::gsm_to_utf8(std::string(1, char(s)));
        if (cs::gsm_to_utf8(cs::utf8_to_gsm(c)) == c && cs::utf8_to_gsm(c).size() == 1)
            basic.push_back(c);
    }
    for (int code = 0; code < 128; ++code) {
        const std::string c = cs::gsm_to_utf8(std::string{char(0x1B), char(code)});
        if (c != "-" && cs::utf8_to_gsm(c).size() == 2 && cs::gsm_to_utf8(cs::utf8_to_gsm(c)) == c)
            extension.push_back(c);
    }
}

std::string encode_utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s.push_back(char(cp));
    } else if (cp < 0x800) {
        s.push_back(char(0xC0 | cp >> 6));
        s.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(char(0xE0 | cp >> 12));
        s.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        s.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(char(0xF0 | cp >> 18));
        s.push_back(char(0x80 | (cp >> 12 & 0x3F)));
        s.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        s.push_back(char(0x80 | (cp & 0x3F)));
    }
    return s;
}

TEST_F(SegmentationTest, PropertySegmentsReadBackToTheOriginal) {
    std::mt19937 rng(20140722);
    std::vector<std::string> basic, extension;
    gsm_alphabet(basic, extension);
    ASSERT_GE(basic.size(), 120u);
    ASSERT_EQ(extension.size(), 9u);
    auto pick = [&](size_t n) { return size_t(rng() % n); };

    int split_seen = 0, dir_no = 0;
    for (int form = 0; form < 4; ++form) {
        for (int round = 0; round < 60; ++round) {
            SegmentLimits l;
            l.concat_ref_16bit = rng() % 2;
            l.repeat_udh_all_segments = rng() % 2;
            const std::string dir = q_ + platform::strprintf("P%03d/", dir_no++);
            store::SmsMessage base;
            base.phone_number = "4479" + std::to_string(round);
            SegmentPlan plan;
            std::string error, original;
            const size_t length = 1 + pick(form == 2 ? 400 : 900);

            if (form == 0 || form == 1) {  // GSM, then GSM heavy with extension characters
                for (size_t i = 0; i + 1 < length; ++i) {
                    const bool ext = form == 1 ? pick(2) == 0 : pick(40) == 0;
                    original += ext ? extension[pick(extension.size())] : basic[pick(basic.size())];
                }
                // A trailing space or "@" on a septet-group boundary cannot be told
                // from the packer's fill, in one SMS as in a segment: end on a letter.
                original.push_back(char('a' + pick(26)));
                ASSERT_TRUE(delivery::split_text(original, false, 0, l, plan, error)) << error;
            } else if (form == 2) {  // Unicode with surrogate pairs
                static const std::pair<char32_t, char32_t> ranges[] = {
                    {0x20, 0x7E},     {0xA0, 0x17F},      {0x391, 0x3C9},
                    {0x4E00, 0x4FFF}, {0x1F600, 0x1F64F}, {0x20000, 0x200FF}};
                for (size_t i = 0; i < length; ++i) {
                    const auto [lo, hi] = ranges[pick(6)];
                    original += encode_utf8(lo + char32_t(pick(hi - lo + 1)));
                }
                ASSERT_TRUE(delivery::split_text(original, true, 8, l, plan, error)) << error;
            } else {  // binary, with or without a port header
                std::string data;
                for (size_t i = 0; i < length; ++i)
                    data += platform::strprintf("%02X", unsigned(rng() & 0xFF));
                const std::string udh = pick(2) ? "0605040B8423F0" : "";
                original = data;
                ASSERT_TRUE(delivery::split_binary(udh, data, 0xF5, l, plan, error)) << error;
                const auto q = delivery::queue_segments(dir, base, plan);
                ASSERT_EQ(q.failed, 0u);
                const Reassembled r = reassemble(dir, false, true);
                ASSERT_TRUE(r.ok) << r.why;
                EXPECT_EQ(r.text, original) << "round " << round;
                for (size_t i = 0; i < r.udhs.size(); ++i) {
                    const bool ports = !udh.empty() && (i == 0 || l.repeat_udh_all_segments);
                    EXPECT_EQ(r.udhs[i].find("05040B8423F0") != std::string::npos, ports)
                        << r.udhs[i];
                }
                split_seen += plan.split;
                continue;
            }
            const auto q = delivery::queue_segments(dir, base, plan);
            ASSERT_EQ(q.failed, 0u);
            const Reassembled r = reassemble(dir, form == 2, false);
            ASSERT_TRUE(r.ok) << r.why;
            split_seen += plan.split;

            std::string expected = original;
            if (form < 2) {
                // The last segment's seven spare bits hold the packer's space; a
                // reader keeps it when the segment is full length (150+ septets).
                const Segment& last = plan.segments.back();
                const size_t h = last.udh.size() / 2;
                const unsigned fill = unsigned((7 - (h * 8) % 7) % 7);
                if ((fill + 7 * last.units) % 8 == 1 && last.units + 1 >= 150) expected += " ";
            }
            EXPECT_EQ(r.text, expected)
                << "form " << form << " round " << round << " length " << length;
        }
    }
    EXPECT_GT(split_seen, 150);
}

}  // namespace

namespace {

// Segment counts of 7-bit text whose characters outside the basic plane
// count one septet per UTF-16 unit.
TEST(SegmentCounts, CharactersOutsideTheBasicPlaneCountPerUnit) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    struct Case {
        std::string text;
        size_t segments;
    } cases[] = {
        {std::string(158, 'a') + emoji, 1},  // 160 septets
        {std::string(159, 'a') + emoji, 2},  // 161
        {std::string(80, 'a') + emoji + std::string(80, 'b'), 2},
        {std::string(304, 'a') + emoji, 2},  // 306 = 2 x 153
        {std::string(305, 'a') + emoji, 3},
    };
    delivery::SegmentLimits limits;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        delivery::SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(
            delivery::split_text(c.text, false, 0, limits, plan, error, [] { return uint8_t(7); }));
        EXPECT_EQ(plan.segments.size(), c.segments);
        size_t units = 0;
        for (const delivery::Segment& seg : plan.segments) units += seg.units;
        EXPECT_EQ(units, c.text.size() - emoji.size() + 2);
    }
}

}  // namespace
