// Tests of the character set conversions: UTF-8/UTF-16, the GSM alphabet and its packing,
// the Unicode decision, code pages, the number tables and the national shift tables.
#include "radio/charset/charset.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/trace_sink.h"

namespace radio::charset {
namespace {

using namespace std::string_literals;

// Collects trace lines while alive.
struct TraceCapture {
    static std::vector<std::pair<std::string, std::string>>& lines() {
        static std::vector<std::pair<std::string, std::string>> l;
        return l;
    }
    TraceCapture() {
        lines().clear();
        platform::set_trace_sink([](std::string_view name, std::string_view text) {
            lines().emplace_back(std::string(name), std::string(text));
        });
    }
    ~TraceCapture() { platform::set_trace_sink(nullptr); }
    bool has(std::string_view name, std::string_view text) const {
        for (const auto& [n, t] : lines())
            if (n == name && t == text) return true;
        return false;
    }
};

std::string utf8_of(char32_t cp) {
    std::u16string u;
    if (cp > 0xFFFF) {
        u.push_back(char16_t(0xD800 | ((cp - 0x10000) >> 10)));
        u.push_back(char16_t(0xDC00 | ((cp - 0x10000) & 0x3FF)));
    } else {
        u.push_back(char16_t(cp));
    }
    return utf16_to_utf8(u);
}

std::string hex_of(std::string_view bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// UTF-8 / UTF-16

TEST(Utf8Decode, WellFormedAndIllFormedInput) {
    struct Case {
        std::string in;
        std::u16string units;
    };
    const Case cases[] = {
        {"A", u"A"},
        {"\xC3\xA9", u"\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},  // highest code point
        {"\xC3", u"-"},                         // truncated at the end
        {"\xC3"
         "A",
         u"-A"},  // truncated: the next byte stays itself
        {"\xE2\x82", u"-"},
        {"\xE2\x82"
         "AB",
         u"-AB"},
        {"\xF0\x9F\x98", u"-"},
        {"\xC0\xAF", u"-"},          // overlong '/'
        {"\xC1\x81", u"-"},          // overlong 'A'
        {"\xC0\x80", u"-"},          // overlong NUL
        {"\xE0\x80\xAF", u"-"},      // overlong three-byte
        {"\xF0\x80\x80\xAF", u"-"},  // overlong four-byte
        {"\xED\xA0\x80", u"-"},      // encoded high surrogate
        {"\xED\xBF\xBF"
         "x",
         u"-x"},                     // encoded low surrogate
        {"\xF4\x90\x80\x80", u"-"},  // above U+10FFFF
        {"\xF5\x80\x80\x80", u"-"},
        {"\xF8\x88\x80\x80\x80", u"-"},  // five-byte form
        {"\xFC\x84\x80\x80\x80\x80", u"-"},
        {"\xFF", u"-"},
        {"\x80", u"\u0080"},  // a stray continuation byte stands for itself
        {"a\xBF"
         "b",
         u"a\u00BFb"},
        {"A\0B"s, u"A"},        // text ends at NUL
        {"\xC3\0\xA9"s, u"-"},  // NUL inside a sequence
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.in));
        EXPECT_EQ(utf8_to_utf16(c.in), c.units);
    }
}

TEST(Utf8Decode, CapacityCutsBeforeAPairItCannotHold) {
    EXPECT_EQ(utf8_to_utf16(std::string(9000, 'a')).size(), kUtf16Capacity - 1);
    const std::string text = std::string(kUtf16Capacity - 2, 'a') + "\xF0\x9F\x98\x80";
    const std::u16string u = utf8_to_utf16(text);
    EXPECT_EQ(u.size(), kUtf16Capacity - 2);
    EXPECT_EQ(u.back(), u'a');
    EXPECT_EQ(utf8_to_utf16("abc", 3), u"ab");
    EXPECT_EQ(utf8_to_utf16("abc", 0), u"");
}

TEST(Utf16Encode, PairsLoneSurrogatesAndTheSizeRule) {
    EXPECT_EQ(utf16_to_utf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf16_to_utf8(u"\xD800"
                            u"A"),
              "-A");
    EXPECT_EQ(utf16_to_utf8(u"\xDC00\xD800"), "--");
    EXPECT_EQ(utf16_to_utf8(u"\xD83D"), "-");
    EXPECT_EQ(utf16_to_utf8(u"\u07FF\u0800\uFFFF"), "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    std::u16string with_zero = u"ab";
    with_zero.push_back(0);
    with_zero += u"cd";
    EXPECT_EQ(utf16_to_utf8(with_zero), "ab");
    // Writing stops before a character once fewer than 7 bytes of the size remain.
    EXPECT_EQ(utf16_to_utf8(u"abcdefgh", 10), "abcd");
    EXPECT_EQ(utf16_to_utf8(u"abc", 6), "");
    EXPECT_EQ(utf16_to_utf8(u"\u20AC\u20AC\u20AC", 12), "\xE2\x82\xAC\xE2\x82\xAC");
}

TEST(Ucs2Hex, BothDirectionsWithSurrogatePairs) {
    EXPECT_EQ(utf8_to_ucs2_hex("A\xE2\x82\xAC\xF0\x9F\x98\x80"), "004120ACD83DDE00");
    EXPECT_EQ(utf8_to_ucs2_hex("\xC3"), "002D");
    struct Case {
        std::string hex;
        std::string utf8;
    };
    const Case cases[] = {
        {"00480069", "Hi"},
        {"D83DDE00", "\xF0\x9F\x98\x80"},
        {"d83dde0000e9", "\xF0\x9F\x98\x80\xC3\xA9"},  // lower-case digits
        {"D83D0041", "-A"},                            // lone high surrogate
        {"DE00", "-"},                                 // lone low surrogate
        {"0041ZZ420042", "A"},                         // stops at the first bad group
        {"004100000042", "A"},                         // a zero unit ends the text
        {"0041004", "A"},                              // a partial group is ignored
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(ucs2_hex_to_utf8(c.hex), c.utf8);
    }
    std::string many;
    for (int k = 0; k < 8001; ++k) many += "0041";
    EXPECT_EQ(ucs2_hex_to_utf8(many), std::string(kUcs2HexMaxUnits, 'A'));
}

// ---------------------------------------------------------------------------------------
// GSM alphabet

TEST(Gsm, EdgeCasesToSeptetsAndBack) {
    struct Case {
        std::string utf8;
        std::string septets;
        std::string back;
    };
    const Case cases[] = {
        {"@", "\x00"s, "@"},
        {"[", "\x1B\x3C", "["},
        {"\xE2\x82\xAC", "\x1B\x65", "\xE2\x82\xAC"},          // euro
        {"\xC3\xA1", "a", "a"},                                // a-acute has only a look-alike
        {"\xC3\xA7", "\x09", "\xC3\x87"},                      // c-cedilla reads back as capital
        {"\xE4\xB8\xAD", "?", "?"},                            // Chinese
        {"\xF0\x9F\x98\x80", "??", "??"},                      // one '?' per UTF-16 unit
        {"\xCE\x94\xCE\xA9", "\x10\x15", "\xCE\x94\xCE\xA9"},  // Delta, Omega
        {"\xCE\x91", "?", "?"},                                // Alpha is no GSM capital
        {"`", "\x27", "'"},
        {"\xC2\xBA", "0", "0"},  // masculine ordinal: digit zero
        {"\xC2\xA0", " ", " "},
        {"\xC3\x9E", "-", "-"},                    // thorn has no equivalent
        {"\xC2\x80", "\x1B\x65", "\xE2\x82\xAC"},  // C1 controls index the 1252 table
        {"\xC3", "-", "-"},                        // broken UTF-8
        {"a\nb\rc", "a\nb\rc", "a\nb\rc"},
        {"{|}~^\\", "\x1B\x28\x1B\x40\x1B\x29\x1B\x3D\x1B\x14\x1B\x2F", "{|}~^\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.utf8));
        const std::string septets = utf8_to_gsm(c.utf8);
        EXPECT_EQ(hex_of(septets), hex_of(c.septets));
        EXPECT_EQ(gsm_to_utf8(septets), c.back);
    }
}

TEST(Gsm, SeptetsToUtf8OddInput) {
    struct Case {
        std::string septets;
        std::string utf8;
    };
    const Case cases[] = {
        {"\x1B\x41", "-"},  // undefined extension code
        {"\x1B\x0A", "-"},  // page break
        {"A\x1B", "A-"},    // trailing escape
        {"\x1B\x1B"
         "A",
         "-A"},  // escape escape
        {"A\x80"
         "B\xFF",
         "AB"},  // high-bit septets are skipped
        {"\x1B\x90"
         "C",
         "-C"},
        {"\x00\x11\x24\x40\x60"s, "@_\xC2\xA4\xC2\xA1\xC2\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.septets));
        EXPECT_EQ(gsm_to_utf8(c.septets), c.utf8);
    }
    EXPECT_EQ(gsm_to_win1252("\x10\x1B\x65\x7F\x1B"), "-\x80\xE0-");
}

TEST(Gsm, AllBasicCharactersRoundTripAndAgreeWithTheAlphabet) {
    const char16_t* alphabet = gsm_default_table();
    for (int s = 0; s < 128; ++s) {
        if (s == kGsmEscape) continue;
        SCOPED_TRACE(s);
        const std::string septet(1, char(s));
        const std::string utf8 = gsm_to_utf8(septet);
        EXPECT_EQ(utf8, utf8_of(alphabet[s]));
        EXPECT_EQ(utf8_to_gsm(utf8), septet);
    }
}

TEST(Gsm, TheNineExtensionCharactersRoundTrip) {
    const std::pair<const char*, int> ext[] = {{"^", 0x14},  {"{", 0x28}, {"}", 0x29},
                                               {"\\", 0x2F}, {"[", 0x3C}, {"~", 0x3D},
                                               {"]", 0x3E},  {"|", 0x40}, {"\xE2\x82\xAC", 0x65}};
    const char16_t* table = gsm_default_extension_table();
    int defined = 0;
    for (int c = 0; c < 128; ++c) defined += table[c] != 0;
    EXPECT_EQ(defined, 9);
    for (const auto& [text, code] : ext) {
        SCOPED_TRACE(text);
        const std::string pair = {char(kGsmEscape), char(code)};
        EXPECT_EQ(utf8_to_gsm(text), pair);
        EXPECT_EQ(gsm_to_utf8(pair), text);
        EXPECT_EQ(utf8_of(table[code]), text);
    }
}

TEST(Gsm, Windows1252ToSeptets) {
    struct Case {
        std::string text;
        std::string septets;
    };
    const Case cases[] = {
        {"\x80", "\x1B\x65"},     {"\x98", "\x1B\x3D"},
        {"\xA6", "\x1B\x40"},     {"\x93\x94\xAB", "\"\"\""},
        {"\x85\x95\xB7", "..."},  {"\x8A\x9A\x8C\x9C", "SsOo"},
        {"\xE7\xC7", "\x09\x09"}, {"\xA4\x24", "\x24\x02"},
        {"\x81\xFE\x01", "---"},  {"A\0B"s, "A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.text));
        EXPECT_EQ(hex_of(win1252_to_gsm(c.text)), hex_of(c.septets));
    }
    // Every byte the table maps to a single septet reads back to a byte of its own class.
    EXPECT_EQ(gsm_to_win1252(win1252_to_gsm("Hello [world] \x80 \xDC")), "Hello [world] \x80 \xDC");
}

TEST(Gsm, LimitIsTestedBeforeEachCharacter) {
    EXPECT_EQ(utf8_to_gsm("ab[", 3), "ab\x1B\x3C");  // the pair begun at 2 of 3 stays whole
    EXPECT_EQ(utf8_to_gsm("abc[", 3), "abc");
    EXPECT_EQ(utf8_to_gsm("abcdef", 4), "abcd");
    EXPECT_EQ(win1252_to_gsm("ab\x80", 3), "ab\x1B\x65");
    EXPECT_EQ(utf8_to_gsm(std::string(9000, 'x')).size(), kUtf16Capacity - 1);
}

TEST(Gsm, SeptetCount) {
    EXPECT_EQ(utf8_septet_count("hello"), 5u);
    EXPECT_EQ(utf8_septet_count("[]\xE2\x82\xAC"), 6u);
    EXPECT_EQ(utf8_septet_count("\xE4\xB8\xAD\xF0\x9F\x98\x80"), 3u);
    EXPECT_EQ(utf8_septet_count(""), 0u);
    // The scratch holds 8191 characters; escape pairs count two each.
    EXPECT_EQ(utf8_septet_count(std::string(9000, '[')), 2 * (kUtf16Capacity - 1));
}

// ---------------------------------------------------------------------------------------
// Packing

struct PackCase {
    size_t udh;
    const char* lsb;
    const char* msb;
};
// "hellohello" behind headers of 0 to 7 octets.
const PackCase kHelloPacked[] = {
    {0, "E8329BFD4697D9EC37", "D19766CDFA32ECD9BC"},
    {1, "00BACC66BFD16536FB0D", "03465D9B37E8CBB366F0"},
    {2, "005D66B3DFE8329BFD06", "068CBB366FD19766CDE0"},
    {3, "802EB3D96F7499CD7E03", "0D19766CDFA32ECD9BC0"},
    {4, "4097D9EC37BACC66BF41", "1A32ECD9BF465D9B37A0"},  // seven spare bits: space fill
    {5, "A0CB6CF61B5D66B3DF", "3465D9B37E8CBB366F"},
    {6, "D06536FB8D2EB3D96F", "68CBB366FD19766CDE"},  // one fill bit
    {7, "E8329BFD4697D9EC37", "D19766CDFA32ECD9BC"},  // no fill bits
};

TEST(Packing, PublishedVectorsAndHeaderFill) {
    EXPECT_EQ(pack_septets("How are you?", 0), "C8F71D14969741F977FD07");
    for (const auto& c : kHelloPacked) {
        SCOPED_TRACE(c.udh);
        EXPECT_EQ(pack_septets("hellohello", c.udh), c.lsb);
        EXPECT_EQ(pack_septets_msb_first("hellohello", c.udh), c.msb);
        EXPECT_EQ(unpack_septets(c.lsb, c.udh), "hellohello");
    }
    EXPECT_EQ(pack_septets("", 0), "");
    EXPECT_EQ(pack_septets("", 3), "");
    EXPECT_EQ(pack_septets_msb_first("Hi", 0), "91A4");
}

TEST(Packing, SevenSpareBitsGetASpaceAndTheTrace) {
    TraceCapture trace;
    EXPECT_EQ(pack_septets("abcdefg", 0), "61F1985C369F41");
    EXPECT_TRUE(trace.has("Debug", "Padding with space"));
    EXPECT_EQ(pack_septets_msb_first("abcdefg", 0), "C38B1E4CB9B3A0");
    EXPECT_EQ(unpack_septets("61F1985C369F41", 0), "abcdefg");
    TraceCapture quiet;
    pack_septets("abcdefgh", 0);
    EXPECT_TRUE(TraceCapture::lines().empty());
}

TEST(Packing, UnpackFillRules) {
    // Eight septets ending in '@' without a header: the zero fill rule drops it; behind a
    // seven-octet header (the same phase) it stays.
    const std::string at_end = "abcdefg\x00"s;
    EXPECT_EQ(unpack_septets(pack_septets(at_end, 0), 0), "abcdefg");
    EXPECT_EQ(unpack_septets(pack_septets(at_end, 7), 7), at_end);
    // A caller that gives the septet count keeps the septet.
    EXPECT_EQ(unpack_septets(pack_septets(at_end, 0), 0, 8), at_end);
    EXPECT_EQ(unpack_septets(pack_septets("abcdefg ", 0), 0, 8), "abcdefg ");
    // 160 septets fill 140 octets: a trailing space there is text, not fill.
    std::string full(159, 'x');
    full += ' ';
    const std::string packed = pack_septets(full, 0);
    EXPECT_EQ(packed.size(), 280u);
    EXPECT_EQ(unpack_septets(packed, 0), full);
    EXPECT_EQ(unpack_septets(packed, 0).size(), 160u);
    // Below 150 septets it is the sender's fill.
    EXPECT_EQ(unpack_septets(pack_septets("abcdefg ", 0), 0), "abcdefg");
}

TEST(Packing, UnpackBadAndCutInput) {
    EXPECT_EQ(unpack_septets("E832ZZ9BFD", 0), "he");  // stops at a bad pair
    EXPECT_EQ(unpack_septets("e8329bfd4697d9ec37", 0), "hellohello");
    EXPECT_EQ(unpack_septets("E8329BFD4697D9EC3", 0), "hellohell");  // odd digit ignored
    EXPECT_EQ(unpack_septets("E8329BFD4697D9EC37", 0, 4), "hell");
    EXPECT_EQ(unpack_septets("", 5), "");
    EXPECT_EQ(unpack_septets("FF", 1), "");  // two bits after six fill bits: no septet
    EXPECT_EQ(unpack_septets("FFFF", 1).size(), 1u);
    EXPECT_EQ(unpack_to_win1252("C8F71D14969741F977FD07", 0), "How are you?");
    EXPECT_EQ(unpack_to_win1252(pack_septets("\x10\x1B\x65", 0), 0), "-\x80");
}

// ---------------------------------------------------------------------------------------
// DCS, the Unicode decision, the Greek look-alikes

TEST(Dcs, Classification) {
    struct Case {
        uint8_t dcs;
        bool gsm7;
        bool ucs2;
    };
    const Case cases[] = {
        {0x00, true, false},  {0x04, false, false}, {0x08, false, true},  {0x0C, true, false},
        {0x10, true, false},  {0x11, true, false},  {0x18, false, true},  {0x14, false, false},
        {0x3F, true, false},  {0x3B, false, true},  {0x40, false, false}, {0x48, false, true},
        {0x44, false, false}, {0x80, false, false}, {0xBF, false, false}, {0xC0, true, false},
        {0xD8, true, false},  {0xDF, true, false},  {0xE0, false, true},  {0xEF, false, true},
        {0xF0, true, false},  {0xF3, true, false},  {0xF4, false, false}, {0xFF, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.dcs));
        EXPECT_EQ(dcs_is_gsm7(c.dcs), c.gsm7);
        EXPECT_EQ(dcs_is_ucs2(c.dcs), c.ucs2);
    }
}

TEST(UnicodeDecision, SettingsTable) {
    struct Case {
        std::string text;
        UnicodeSettings settings;
        bool expected;
    };
    const UnicodeSettings none{};
    const UnicodeSettings iso{false, true, false};
    const UnicodeSettings ascii{false, false, true};
    const UnicodeSettings off{true, true, true};
    const Case cases[] = {
        {"Hello [world] \xE2\x82\xAC", none, false},
        {"\xC3\xA1", none, true},      // a-acute becomes 'a'
        {"\xC3\xA7", none, true},      // c-cedilla comes back capital
        {"\xE4\xB8\xAD", none, true},  // Chinese
        {"\xE4\xB8\xAD", off, false},  // DisableHttpUnicodeSMS
        {"\xCE\x94", none, false},     // Delta survives GSM
        {"\xCE\x94", iso, true},       // but not Windows-1252
        {"\xCE\x94", ascii, true},
        {"\xC3\xA9", iso, false},   // e-acute survives both
        {"\xC3\xA9", ascii, true},  // but is not ASCII
        {"plain", ascii, false},
        {"\xC3", none, true},  // broken UTF-8 comes back as '-'
        {"", none, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.text));
        EXPECT_EQ(UTF8StringRequiresUnicodeEncoding(c.text, c.settings), c.expected);
    }
}

TEST(UnicodeDecision, TracesTheLoss) {
    {
        TraceCapture trace;
        EXPECT_TRUE(UTF8StringRequiresUnicodeEncoding("x\xC3\xA1", {}));
        const auto& l = TraceCapture::lines();
        ASSERT_EQ(l.size(), 3u);
        EXPECT_EQ(l[0].first, "UTF8StringRequiresUnicodeEncoding");
        EXPECT_EQ(l[0].second, "Translate to/from GSM string results in loss of data");
        EXPECT_EQ(l[1].second, "x\xC3\xA1");
        EXPECT_EQ(l[2].second, "xa");
    }
    {
        TraceCapture trace;
        EXPECT_TRUE(UTF8StringRequiresUnicodeEncoding("\xC3\xA9", {false, false, true}));
        EXPECT_TRUE(trace.has("UTF8StringRequiresUnicodeEncoding",
                              "Unicode encoding forced by TestUnicodeSMSForASCII setting"));
    }
    {
        TraceCapture trace;
        EXPECT_TRUE(UTF8StringRequiresUnicodeEncoding("\xCE\xA3", {false, true, false}));
        EXPECT_TRUE(trace.has("UTF8StringRequiresUnicodeEncoding",
                              "Translate to/from iso-8859-1 string results in loss of data"));
        EXPECT_TRUE(trace.has("UTF8StringRequiresUnicodeEncoding", "?"));
    }
}

TEST(Greek, LookAlikesAndNoBreakSpace) {
    struct Case {
        std::string in;
        std::string out;
        bool changed;
    };
    const Case cases[] = {
        {"\xCE\x91\xCE\x92\xCE\x93", "AB\xCE\x93", true},  // Alpha Beta Gamma
        {"\xCE\x95\xCE\x96\xCE\x97\xCE\x99\xCE\x9A\xCE\x9C\xCE\x9D\xCE\x9F\xCE\xA1\xCE\xA4\xCE\xA5"
         "\xCE\xA7",
         "EZHIKMNOPTYX", true},
        {"a\xC2\xA0"
         "b",
         "a b", true},
        {"\xCE\x94\xCE\xA6 \xCE\xB1", "\xCE\x94\xCE\xA6 \xCE\xB1", false},  // no twins, small alpha
        {"plain", "plain", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_of(c.in));
        std::string text = c.in;
        EXPECT_EQ(TranslateGreekCharacters(text), c.changed);
        EXPECT_EQ(text, c.out);
    }
    // After the substitution the Latin twins no longer force UCS-2.
    std::string word = "\xCE\x9A\xCE\x91\xCE\x9B\xCE\x97";  // KALH with Lambda
    EXPECT_TRUE(TranslateGreekCharacters(word));
    EXPECT_FALSE(UTF8StringRequiresUnicodeEncoding(word, {}));
    // Re-encoding respects the buffer size.
    std::string bounded = "\xCE\x91" + std::string(20, 'x');
    EXPECT_TRUE(TranslateGreekCharacters(bounded, 10));
    EXPECT_EQ(bounded, "Axxx");
}

// ---------------------------------------------------------------------------------------
// Code pages

TEST(Win1252, BothDirections) {
    EXPECT_EQ(
        utf8_to_win1252("\xE2\x82\xAC\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D\xE2\x80\xA6"),
        "\x80\x91\x92\x93\x94\x85");
    EXPECT_EQ(utf8_to_win1252("\xE4\xB8\xAD\xF0\x9F\x98\x80"
                              "a"),
              "??a");
    EXPECT_EQ(utf8_to_win1252("\xC2\x80\xC2\x81"), "?\x81");  // U+0080 is not the euro
    EXPECT_EQ(utf8_to_win1252("abcdef", 4), "abc");
    EXPECT_EQ(win1252_to_utf8("\x80\x81\x9F\xFF"), "\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xBF");
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(char(b));
    EXPECT_EQ(utf8_to_win1252(win1252_to_utf8(all)), all);
}

TEST(CodePages, ThroughIconv) {
    struct Case {
        unsigned code_page;
        std::string utf8;
        std::string encoded;
    };
    const Case cases[] = {
        {1251, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "\xCF\xF0\xE8\xE2\xE5\xF2"},
        {932, "\xE6\x97\xA5\xE6\x9C\xAC", "\x93\xFA\x96\x7B"},
        {936, "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},
        {950, "\xE4\xB8\xAD\xE6\x96\x87", "\xA4\xA4\xA4\xE5"},
        {1253, "\xCE\xA3", "\xD3"},
        {65001, "\xE2\x82\xAC", "\xE2\x82\xAC"},
        {28605, "\xE2\x82\xAC", "\xA4"},  // iso-8859-15
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code_page);
        std::string text = c.utf8;
        EXPECT_TRUE(utf8_to_code_page(text, c.code_page));
        EXPECT_EQ(hex_of(text), hex_of(c.encoded));
        EXPECT_TRUE(code_page_to_utf8(text, c.code_page));
        EXPECT_EQ(text, c.utf8);
    }
}

TEST(CodePages, ReplacementsDigitsAndFailures) {
    std::string text =
        "a\xE4\xB8\xAD"
        "b";
    EXPECT_TRUE(utf8_to_code_page(text, 1251));
    EXPECT_EQ(text, "a?b");

    // Arabic-Indic digits become ASCII only for 1256.
    text = "\xD9\xA0\xD9\xA1\xD9\xA9 \xD8\xB3";
    EXPECT_TRUE(utf8_to_code_page(text, 1256));
    EXPECT_EQ(hex_of(text), hex_of("019 \xD3"));
    text = "\xD9\xA3";
    EXPECT_TRUE(utf8_to_code_page(text, 1252));
    EXPECT_EQ(text, "?");
    text = "\xD9\xA3";
    EXPECT_TRUE(utf8_to_code_page(text, 1253));
    EXPECT_EQ(text, "?");

    {
        TraceCapture trace;
        text = "unchanged";
        EXPECT_FALSE(utf8_to_code_page(text, 99999));
        EXPECT_EQ(text, "unchanged");
        ASSERT_EQ(TraceCapture::lines().size(), 1u);
        EXPECT_EQ(TraceCapture::lines()[0].first, "UTF8ToLocalString");
        EXPECT_EQ(TraceCapture::lines()[0].second, "Error 22 from WideCharToMultiByte");
    }
    {
        TraceCapture trace;
        text = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
        EXPECT_FALSE(utf8_to_code_page(text, 1251, 4));  // keeps what fitted
        EXPECT_EQ(text, "\xCF\xF0\xE8");
        EXPECT_TRUE(trace.has("UTF8ToLocalString", "Error 7 from WideCharToMultiByte"));
    }
    // A lone lead byte and a truncated character read as '?'.
    text =
        "a\xFF"
        "b";
    EXPECT_TRUE(code_page_to_utf8(text, 936));
    EXPECT_EQ(text, "a?b");
    text = "a\x93";
    EXPECT_TRUE(code_page_to_utf8(text, 932));
    EXPECT_EQ(text, "a?");
    // Characters beyond the basic plane come out as one four-byte sequence.
    text = "\x90\x30\x81\x30";
    EXPECT_TRUE(code_page_to_utf8(text, 54936));
    EXPECT_EQ(text, "\xF0\x90\x80\x80");
    // Stateful encodings are flushed back to ASCII.
    text =
        "\xE6\x97\xA5"
        "a";
    EXPECT_TRUE(utf8_to_code_page(text, 50220));
    EXPECT_EQ(hex_of(text), hex_of("\x1B$BF|\x1B(Ba"));
    EXPECT_TRUE(code_page_to_utf8(text, 50220));
    EXPECT_EQ(text,
              "\xE6\x97\xA5"
              "a");
    // A text that ends in a shifted state does not leave the next conversion shifted.
    text = "\x1B$BF|";
    EXPECT_TRUE(code_page_to_utf8(text, 50220));
    EXPECT_EQ(text, "\xE6\x97\xA5");
    text = "F|";
    EXPECT_TRUE(code_page_to_utf8(text, 50220));
    EXPECT_EQ(text, "F|");
    text = "x";
    EXPECT_FALSE(code_page_to_utf8(text, 99999));
    EXPECT_EQ(text, "x");
}

TEST(CharsetNames, BuiltInRowsThenTheDatabase) {
    const std::pair<const char*, unsigned> cases[] = {
        {"big-5", 950},
        {"BIG5", 950},
        {"iso-8859-2", 1250},
        {"ISO-8859-9", 1254},
        {"us-ascii", 1252},
        {"Shift_JIS", 932},
        {"shift-jis", 932},
        {"gb2312-80", 936},
        {"latin1", 1252},
        {"Latin2", 1250},
        {"utf-8", 65001},
        {"UTF8", 65001},
        {"koi8-r", 20866},
        {"csKOI8R", 20866},
        {"windows-1251", 1251},
        {"euc-kr", 949},
        {"korean", 949},
        {"iso-8859-15", 28605},
        {"gb18030", 54936},
        {"x-euc-jp", 51932},
        {"nonexistent", 0},
        {"", 0},
        {"iso", 0},
        {"[Charset]", 0},
        {"iso-8859-1=1252", 0},
    };
    for (const auto& [name, cp] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(charset_to_code_page(name), cp);
    }
    EXPECT_EQ(code_page_iconv_name(1252), "CP1252");
    EXPECT_EQ(code_page_iconv_name(28592), "ISO-8859-2");
    EXPECT_EQ(code_page_iconv_name(65001), "UTF-8");
}

TEST(NumberTables, MibEnums) {
    const std::pair<unsigned, const char*> table[] = {
        {3, "us-ascii"},           {4, "iso-8859-1"},  {5, "iso-8859-2"}, {6, "iso-8859-3"},
        {7, "iso-8859-4"},         {8, "iso-8859-5"},  {9, "iso-8859-6"}, {10, "iso-8859-7"},
        {11, "iso-8859-8"},        {12, "iso-8859-9"}, {17, "shift_JIS"}, {106, "utf-8"},
        {1000, "iso-10646-ucs-2"}, {2025, "gb2312"},   {2026, "big5"},
    };
    for (const auto& [number, name] : table) {
        EXPECT_EQ(mibenum_to_name(number), name);
        EXPECT_EQ(name_to_mibenum(name), number);
    }
    EXPECT_EQ(name_to_mibenum("SHIFT_jis"), 17u);
    EXPECT_EQ(name_to_mibenum("UTF-8"), 106u);
    EXPECT_EQ(name_to_mibenum("koi8-r"), 0u);
    EXPECT_EQ(mibenum_to_name(0), "unknown");
    EXPECT_EQ(mibenum_to_name(2027), "unknown");
}

TEST(NumberTables, ContentTypes) {
    const std::pair<const char*, unsigned> table[] = {
        {"*/*", 0},
        {"text/plain", 3},
        {"text/vnd.wap.wml", 8},
        {"multipart/byteranges", 0x0E},
        {"image/png", 0x20},
        {"application/vnd.wap.wbxml", 0x29},
        {"text/vnd.wap.si", 0x2D},
        {"application/vnd.wap.sic", 0x2E},
        {"application/vnd.wap.slc", 0x30},
        {"application/vnd.wap.coc", 0x32},
        {"application/vnd.wap.multipart.related", 0x33},
        {"application/vnd.wap.connectivity-wbxml", 0x36},
        {"application/vnd.wap.mms-message", 0x3E},
        {"application/vnd.syncml.notification", 0x44},
        {"application/vnd.wv.csp.cir", 70},
    };
    for (const auto& [name, number] : table) {
        EXPECT_EQ(content_type_to_number(name), number);
        EXPECT_EQ(number_to_content_type(number), name);
        EXPECT_EQ(number_to_content_type(number | 0x80), name);
    }
    EXPECT_EQ(content_type_to_number("APPLICATION/VND.WAP.MMS-MESSAGE"), 0x3Eu);
    // 71-78 are encoded but not decoded by name.
    const std::pair<const char*, unsigned> encoded_only[] = {
        {"application/vnd.oma.dd+xml", 71},
        {"application/vnd.oma.drm.message", 72},
        {"application/vnd.oma.drm.content", 73},
        {"application/vnd.oma.drm.rights+xml", 74},
        {"application/vnd.oma.drm.rights+wbxml", 75},
        {"application/vnd.wv.csp+xml", 76},
        {"application/vnd.wv.csp+wbxml", 77},
        {"application/vnd.syncml.ds.notification", 78},
    };
    for (const auto& [name, number] : encoded_only) {
        EXPECT_EQ(content_type_to_number(name), number);
        EXPECT_EQ(number_to_content_type(number), "application/unknown");
    }
    EXPECT_EQ(content_type_to_number("application/x-unknown"), 255u);
    EXPECT_EQ(number_to_content_type(127), "application/unknown");
}

// ---------------------------------------------------------------------------------------
// National language shift tables

// Every character of every national table encodes with its language and reads back; a
// character found only in the national table sits at its own position.
TEST(ShiftTables, EveryCharacterOfEveryTableRoundTrips) {
    const char16_t* basic = gsm_default_table();
    const char16_t* ext = gsm_default_extension_table();
    auto in = [](const char16_t* table, char16_t c) {
        if (!table) return false;
        for (int k = 0; k < 128; ++k)
            if (table[k] == c) return true;
        return false;
    };
    int checked = 0;
    for (unsigned lang = 1; lang <= kMaxNationalLanguage; ++lang) {
        const char16_t* locking = national_locking_table(lang);
        const char16_t* single = national_single_table(lang);
        ASSERT_TRUE(single) << lang;
        ASSERT_EQ(locking == nullptr, lang == 2) << lang;  // Spanish has no locking table
        for (const char16_t* table : {locking, single}) {
            if (!table) continue;
            const bool is_locking = table == locking;
            for (int pos = 0; pos < 128; ++pos) {
                const char16_t c = table[pos];
                if (c == 0) continue;
                SCOPED_TRACE(::testing::Message()
                             << "language " << lang << (is_locking ? " locking " : " single ")
                             << std::hex << pos);
                const std::string text = utf8_of(c);
                std::string septets;
                const int bits = UTF8ToShiftTableString(lang, text, septets);
                ASSERT_NE(bits, 0);
                EXPECT_EQ(gsm_to_utf8_national(septets, (bits & kLockingShiftUsed) ? lang : 0,
                                               (bits & kSingleShiftUsed) ? lang : 0),
                          text);
                // Characters the default alphabet lacks are the ones the table adds.
                if (!in(basic, c) && !in(ext, c)) {
                    if (is_locking && !in(single, c)) {
                        EXPECT_EQ(bits & kLockingShiftUsed, kLockingShiftUsed);
                        EXPECT_EQ(septets, std::string(1, char(pos)));
                    }
                    if (!is_locking && !in(locking, c)) {
                        EXPECT_EQ(bits & kSingleShiftUsed, kSingleShiftUsed);
                        EXPECT_EQ(septets[0], char(kGsmEscape));
                    }
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1500);
}

TEST(ShiftTables, KnownPositions) {
    struct Case {
        unsigned lang;
        std::string text;
        int bits;
        std::string septets;
    };
    const Case cases[] = {
        // Turkish: locking is cheaper for one letter; a character missing from the locking
        // table forces the single shift.
        {1, "\xC5\x9F", kLockingShiftUsed, "\x1D"},  // s-cedilla
        {1, "\xC4\x9F\xC4\xB1\xC4\xB0", kLockingShiftUsed,
         "\x0C\x07\x40"},                                           // g-breve, dotless i, I-dot
        {1, "\xC5\x9F\xC3\xA8", kSingleShiftUsed, "\x1B\x73\x04"},  // s-cedilla, e-grave
        {1, "\xC3\xA7", kLockingShiftUsed, "\x60"},
        {2, "\xC3\xA1\xC3\x93", kSingleShiftUsed, "\x1B\x61\x1B\x4F"},  // Spanish a-acute, O-acute
        {2, "\xC3\xA7", kSingleShiftUsed, "\x1B\x09"},
        {3, "\xC3\xA3", kLockingShiftUsed, "\x7B"},  // Portuguese a-tilde
        {3, "\xC3\xA3\xC3\xA8", kSingleShiftUsed, "\x1B\x7B\x04"},
        {3, "\xE2\x88\x9E", kLockingShiftUsed, "\x15"},  // infinity
        // Hindi: NAMASTE in the locking table; capitals need the single shift as well.
        {6, "\xE0\xA4\xA8\xE0\xA4\xAE", kLockingShiftUsed, "\x2F\x42"},
        {6, "\xE0\xA4\xA8OK", kLockingShiftUsed | kSingleShiftUsed, "\x2F\x1B\x4F\x1B\x4B"},
        {6, "\xE0\xA5\xA7", kSingleShiftUsed, "\x1B\x1D"},         // Devanagari digit one
        {6, "*", kSingleShiftUsed, "*"},                           // default alphabet suffices
        {13, "\xD8\xA7\xD8\xA8", kLockingShiftUsed, "\x00\x02"s},  // Urdu alef, beh
        {11, "\xE0\xAE\x95", kLockingShiftUsed, "\x15"},           // Tamil ka
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lang << " " << hex_of(c.text));
        std::string septets;
        EXPECT_EQ(UTF8ToShiftTableString(c.lang, c.text, septets), c.bits);
        EXPECT_EQ(hex_of(septets), hex_of(c.septets));
    }
}

TEST(ShiftTables, TextsThatDoNotFit) {
    std::string septets = "stale";
    EXPECT_EQ(UTF8ToShiftTableString(1, "\xE4\xB8\xAD", septets), 0);  // Chinese in Turkish
    EXPECT_TRUE(septets.empty());
    EXPECT_EQ(UTF8ToShiftTableString(6, "\xE0\xA4\xA8\xC4\x9F", septets), 0);  // Hindi + g-breve
    EXPECT_EQ(UTF8ToShiftTableString(0, "abc", septets), 0);
    EXPECT_EQ(UTF8ToShiftTableString(14, "abc", septets), 0);
    EXPECT_EQ(UTF8ToShiftTableString(255, "abc", septets), 0);
    EXPECT_EQ(UTF8ToShiftTableString(1, "\xC5\x9F\xC5\x9F\xC5\x9F", septets, 2),
              0);  // over the limit
    EXPECT_EQ(UTF8ToShiftTableString(1, "\xC5\x9F\xC5\x9F\xC5\x9F", septets, 3), kLockingShiftUsed);
}

TEST(ShiftTables, SubmissionStepAndReceivedText) {
    struct Case {
        std::string text;
        std::string setting;
        std::string udh_in;
        int bits;
        unsigned lang;
        std::string udh_out;
    };
    const Case cases[] = {
        {"\xC5\x9F"
         "ey",
         "1", "", kLockingShiftUsed, 1, "03250101"},
        {"\xC5\x9F"
         "ey",
         "14, 1", "", kLockingShiftUsed, 1, "03250101"},  // 14 has no tables
        {"\xC5\x9F"
         "ey",
         "abc,0,256, 1 ", "", kLockingShiftUsed, 1, "03250101"},
        {"\xC3\xA1", "1,2", "050003AA0201", kSingleShiftUsed, 2, "080003AA0201240102"},
        {"\xE0\xA4\xA8 OK", "6", "", kLockingShiftUsed | kSingleShiftUsed, 6, "06240106250106"},
        {"\xE4\xB8\xAD", "1,2,3,6", "", 0, 0, ""},
        {"\xC5\x9F", "", "", 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        ShiftTableEncoding out;
        EXPECT_EQ(encode_with_shift_tables(c.text, c.setting, c.udh_in, out), c.bits);
        EXPECT_EQ(out.language, c.lang);
        EXPECT_EQ(out.udh_hex, c.udh_out);
        if (!c.bits) continue;
        std::string back;
        EXPECT_EQ(GSM7ToUTF8String(out.udh_hex, out.packed_hex, back), c.bits);
        EXPECT_EQ(back, c.text);
    }
    TraceCapture trace;
    ShiftTableEncoding out;
    encode_with_shift_tables("\xC3\xA1\xC3\xA8", "1,2", "", out, "SendSMS");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"SendSMS", "Before UTF8ToShiftTableString"}, {"SendSMS", "After UTF8ToShiftTableString"},
        {"SendSMS", "Before UTF8ToShiftTableString"}, {"SendSMS", "After UTF8ToShiftTableString"},
        {"SendSMS", "Using single shift table"},
    };
    EXPECT_EQ(TraceCapture::lines(), expected);
    EXPECT_EQ(out.packed_hex, pack_septets("\x1B\x61\x04", 4));
}

TEST(ShiftTables, ReceivedTextHeaders) {
    struct Case {
        std::string udh;
        std::string septets;
        int bits;
        std::string utf8;
    };
    const Case cases[] = {
        {"", "\x1B\x73\x0C", 0, "-\xC3\xB8"},                 // no header: default alphabet
        {"03240101", "\x1B\x73\x0C", 2, "\xC5\x9F\xC3\xB8"},  // Turkish single shift only
        {"03250101", "\x1B\x73\x0C", 1, "-\xC4\x9F"},         // Turkish locking only
        {"06240101250101", "\x1B\x73\x0C", 3, "\xC5\x9F\xC4\x9F"},
        {"0324016325010E", "\x1B\x73\x0C", 0, "-\xC3\xB8"},  // unknown languages ignored
        {"0325010225", "\x0C", 0, "\xC3\xB8"},  // Spanish has no locking table; truncated element
        {"0524", "\x0C", 0, "\xC3\xB8"},        // header shorter than it says
        {"ZZ", "A", 0, "A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.udh);
        std::string utf8;
        EXPECT_EQ(GSM7ToUTF8String(c.udh, pack_septets(c.septets, c.udh.size() / 2), utf8), c.bits);
        EXPECT_EQ(utf8, c.utf8);
    }
    // Undefined positions of a national table read as the replacement.
    EXPECT_EQ(gsm_to_utf8_national("\x1B\x41", 0, 1), "-");
    EXPECT_EQ(gsm_to_utf8_national("\x1B\x0A\x1B", 6, 6), "--");
}

}  // namespace
}  // namespace radio::charset
