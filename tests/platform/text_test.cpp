// Tests of the text helpers: case-insensitive comparisons, trimming,
// bounded formatting and UTF-8-safe truncation.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace platform;

TEST(Text, CaseInsensitiveComparisons) {
    struct Case {
        const char* a;
        const char* b;
        int order;  // sign of icompare
    } cases[] = {
        {"", "", 0},
        {"DelayQ", "DELAYQ", 0},
        {"abc", "ABD", -1},
        {"abd", "ABC", 1},
        {"ab", "abc", -1},
        {"abc", "AB", 1},
        {"[", "a", -1},               // '[' sorts below letters once letters fold down
        {"_", "A", -1},               // '_' (0x5F) below 'a' (0x61) after folding
        {"\xC3\xA9", "\xC3\x89", 1},  // bytes above ASCII are not folded
    };
    for (const auto& c : cases) {
        int r = icompare(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(iequals(c.a, c.b), c.order == 0) << c.a << " vs " << c.b;
        int back = icompare(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.order);
    }
    EXPECT_TRUE(istarts_with("SMPP - Link", "smpp - "));
    EXPECT_FALSE(istarts_with("SMP", "smpp"));
    EXPECT_TRUE(iends_with("x.REQ", ".req"));
    EXPECT_FALSE(iends_with("req", ".req"));
    EXPECT_EQ(to_upper("abc-XyZ\xC3\xA9"), "ABC-XYZ\xC3\xA9");
    EXPECT_EQ(to_lower("ABC-XyZ"), "abc-xyz");
}

TEST(Text, Trim) {
    EXPECT_EQ(trim(" \t\r\nabc d \n"), "abc d");
    EXPECT_EQ(trim(" \t "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\vx\v"), "\vx\v");  // only space, tab, CR and LF are blanks
}

TEST(Text, StrprintfAnyLength) {
    EXPECT_EQ(strprintf("%04u%02u%02u", 2014u, 7u, 22u), "20140722");
    std::string long_arg(1000, 'x');
    std::string s = strprintf("[%s]%d", long_arg.c_str(), 42);
    EXPECT_EQ(s, "[" + long_arg + "]42");
    EXPECT_EQ(strprintf("%s", ""), "");
    EXPECT_EQ(strprintf("%c%c", 'a', 0).size(), 2u);
}

TEST(Text, TruncateFieldKeepsUtf8Whole) {
    struct Case {
        std::string in;
        size_t max;
        std::string want;
    } cases[] = {
        {"hello", 10, "hello"},
        {"hello", 5, "hello"},
        {"hello", 4, "hell"},
        {"hello", 0, ""},
        {"a\xC3\xA9", 2, "a"},  // 2-byte sequence not split
        {"a\xC3\xA9", 3, "a\xC3\xA9"},
        {"a\xE2\x82\xAC", 3, "a"},  // euro sign
        {"a\xE2\x82\xAC", 2, "a"},
        {"\xF0\x9F\x98\x80z", 3, ""},  // 4-byte sequence
        {"\xF0\x9F\x98\x80z", 4, "\xF0\x9F\x98\x80"},
        {"x\xF0\x9F\x98\x80", 4, "x"},
        // Not UTF-8: a long run of continuation bytes is cut at the limit,
        // never emptied.
        {"\x80\x80\x80\x80\x80\x80", 4, "\x80\x80\x80\x80"},
        {"ab\x80\x80\x80\x80\x80", 5, "ab\x80\x80\x80"},
        // A complete character followed by a stray continuation byte.
        {"\xC3\xA9\xA9\xA9", 2, "\xC3\xA9"},
        {"a\x80\x80", 2, "a\x80"},
        // Latin-1 text (no continuation bytes) is cut at the limit.
        {"caf\xE9s", 4, "caf\xE9"},
    };
    for (const auto& c : cases) {
        std::string got = truncate_field(c.in, c.max);
        EXPECT_EQ(got, c.want) << "input of " << c.in.size() << " bytes, max " << c.max;
        EXPECT_LE(got.size(), c.max);
    }
}

TEST(Text, HexDigitValue) {
    const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'F', 15},
                                          {'f', 15}, {'g', -1}, {'G', -1}, {'/', -1},
                                          {':', -1}, {'@', -1}, {'`', -1}, {'\0', -1}};
    for (auto [c, v] : cases) EXPECT_EQ(platform::hex_digit_value(c), v) << int(c);
}

TEST(Text, UrlEncodeKeepsTheGatewaysSafeSet) {
    EXPECT_EQ(platform::url_encode("a Z9$'()-./=@[]^_`{}|~\x7f"), "a%20Z9$'()-./=@[]^_`{}|~\x7f");
    EXPECT_EQ(platform::url_encode("&+%?#\r\n\x80\xff"), "%26%2B%25%3F%23%0D%0A%80%FF");
    EXPECT_EQ(platform::url_encode(std::string("\0;", 2)), "%00%3B");
}
