// Token tables of the document compilers (internal to the wbxml module).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "wbxml/compiler.h"

namespace wbxml::detail {

struct TagToken {
    std::string_view name;
    uint8_t page;
    uint8_t token;
};

// How an attribute-start token takes the attribute's value.
enum class AttrForm : uint8_t {
    Any,      // the token, then the whole value
    Exact,    // the value equals `value`: the token alone
    Prefix,   // the value begins with `value`: the token, then the rest
    NoValue,  // the token alone, whatever the value (a fallback)
    Date,     // the token, then the value's digits as an opaque date
};

struct AttrToken {
    std::string_view name;
    std::string_view value;
    AttrForm form;
    uint8_t page;
    uint8_t token;
};

// A whole attribute value written as one token.
struct ValueToken {
    std::string_view value;
    uint8_t page;
    uint8_t token;
};

struct FamilyTable {
    Family family;
    std::string_view trace;
    std::span<const std::string_view> roots;  // searched in this order
    bool configured_header;  // version and charset from the settings
    uint8_t version;         // when not configured
    uint8_t public_id;
    std::span<const TagToken> tags;
    std::span<const AttrToken> attrs;
    std::span<const ValueToken> values;
    std::string_view binary_type;  // push content type of the compiled form
    std::string_view xml_type;     // the textual type it replaces
    bool push;                     // chosen by detect_push_document
};

const FamilyTable& family_table(Family f);

}  // namespace wbxml::detail
