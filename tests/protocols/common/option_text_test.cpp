// The option text: plain texts read and write as they always did, and any
// name or value survives a join and a parse without adding or ending an item.
#include <gtest/gtest.h>

#include <string>

#include "protocols/common/message.h"

namespace common = protocols::common;

TEST(OptionText, ValuesNeverAddOrEndAnItem) {
    struct Case {
        const char* what;
        common::Options items;
        const char* text;  // the joined form
    } cases[] = {
        {"plain", {{"a", "1"}, {"b", "2"}}, "a=1; b=2"},
        {"a path keeps its backslashes", {{"Dir", "C:\\sms\\in"}}, "Dir=C:\\sms\\in"},
        {"'=' inside a value", {{"x", "a=b"}}, "x=a=b"},
        {"a value carrying other items",
         {{"ServiceType", "WAP; RouteToLocalUser=admin; ResolveReceiptID=Yes"}},
         "ServiceType=WAP\\; RouteToLocalUser=admin\\; ResolveReceiptID=Yes"},
        {"'=' in a name", {{"a=b", "c"}}, "a\\=b=c"},
        {"blanks at the ends", {{" n", "v\t"}, {"", " "}}, "\\ n=v\\\t; =\\ "},
        {"backslashes before what they could protect",
         {{"k\\", "\\;\\"}, {"q", "a\\ b\\=c"}},
         "k\\\\=\\\\\\;\\\\; q=a\\\\ b\\\\=c"},
        {"empty value", {{"flag", ""}}, "flag="},
        // A record line turns control characters into blanks: at the ends
        // they are protected as blanks are.
        {"control characters at the ends", {{"c", "\x01x\x1f"}}, "c=\\\x01x\\\x1f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(common::join_option_text(c.items), c.text);
        EXPECT_EQ(common::parse_option_text(c.text), c.items);
    }
}

TEST(OptionText, HandWrittenTexts) {
    struct Case {
        const char* text;
        common::Options want;
    } cases[] = {
        {" ServiceType=CMT ;user_message_reference = 7;; LocalUser=bob;flag;x=a=b",
         {{"ServiceType", "CMT"},
          {"user_message_reference", "7"},
          {"LocalUser", "bob"},
          {"flag", ""},
          {"x", "a=b"}}},
        {"", {}},
        {" ; ;", {}},
        {"=", {{"", ""}}},
        {"a=1\\", {{"a", "1\\"}}},      // a lone backslash at the end is itself
        {"a=\\x\\", {{"a", "\\x\\"}}},  // and before anything it cannot protect
        {"a=x\\;y;b", {{"a", "x;y"}, {"b", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(common::parse_option_text(c.text), c.want);
    }
}
