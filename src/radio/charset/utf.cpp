// UTF-8 / UTF-16 codecs and the UCS-2 hex form of message text.
#include <algorithm>

#include "platform/text.h"
#include "radio/charset/charset.h"

namespace radio::charset {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

char32_t next_code_point(std::string_view s, size_t& i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    const unsigned char lead = p[i++];
    if (lead < 0xC0) return lead;  // ASCII, NUL, or a stray continuation byte as itself

    int trail;
    char32_t value;
    char32_t minimum;
    if (lead < 0xE0) {
        trail = 1, value = lead & 0x1F, minimum = 0x80;
    } else if (lead < 0xF0) {
        trail = 2, value = lead & 0x0F, minimum = 0x800;
    } else if (lead < 0xF8) {
        trail = 3, value = lead & 0x07, minimum = 0x10000;
    } else if (lead < 0xFC) {
        trail = 4, value = lead & 0x03, minimum = 0x200000;
    } else {
        trail = 5, value = lead & 0x01, minimum = 0x4000000;
    }
    for (int k = 0; k < trail; ++k) {
        // A sequence cut short by the end, a NUL or a non-continuation byte: the byte
        // that broke it is decoded on its own next time.
        if (i >= n || (p[i] & 0xC0) != 0x80) return char32_t(kGsmReplacement);
        value = (value << 6) | (p[i++] & 0x3F);
    }
    // Overlong forms could smuggle ASCII (and NUL) past checks; surrogates and values
    // beyond U+10FFFF have no UTF-16 form.
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return char32_t(kGsmReplacement);
    return value;
}

std::u16string utf8_to_utf16(std::string_view utf8, size_t capacity) {
    std::u16string out;
    const size_t max_units = capacity ? capacity - 1 : 0;
    out.reserve(std::min(utf8.size(), max_units));
    size_t i = 0;
    while (i < utf8.size() && out.size() < max_units) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte == 0) break;
        if (byte < 0x80) {  // ASCII needs no decoding
            out.push_back(char16_t(byte));
            ++i;
            continue;
        }
        char32_t cp = next_code_point(utf8, i);
        if (cp > 0xFFFF) {
            if (out.size() + 2 > max_units) break;
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 | (cp >> 10)));
            out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view units, size_t size) {
    std::string out;
    out.reserve(std::min(units.size() * 3, size == kNoLimit ? units.size() * 3 : size));
    for (size_t k = 0; k < units.size();) {
        const char16_t u = units[k];
        if (u == 0) break;
        if (size != kNoLimit && (size < out.size() + 7)) break;
        char32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 &&
            units[k + 1] <= 0xDFFF) {
            cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[k + 1]) - 0xDC00);
            k += 2;
        } else {
            if (u >= 0xD800 && u <= 0xDFFF) cp = char32_t(kGsmReplacement);
            ++k;
        }
        append_utf8(out, cp);
    }
    return out;
}

std::string utf8_to_ucs2_hex(std::string_view utf8) {
    const std::u16string units = utf8_to_utf16(utf8);
    std::string out(units.size() * 4, '0');
    for (size_t k = 0; k < units.size(); ++k) {
        const char16_t u = units[k];
        out[k * 4] = kHexDigits[(u >> 12) & 0xF];
        out[k * 4 + 1] = kHexDigits[(u >> 8) & 0xF];
        out[k * 4 + 2] = kHexDigits[(u >> 4) & 0xF];
        out[k * 4 + 3] = kHexDigits[u & 0xF];
    }
    return out;
}

std::string ucs2_hex_to_utf8(std::string_view hex, size_t size) {
    std::u16string units;
    units.reserve(std::min(hex.size() / 4, kUcs2HexMaxUnits));
    for (size_t i = 0; i + 4 <= hex.size() && units.size() < kUcs2HexMaxUnits; i += 4) {
        unsigned value = 0;
        bool ok = true;
        for (size_t k = 0; k < 4; ++k) {
            const int d = platform::hex_digit_value(hex[i + k]);
            if (d < 0) {
                ok = false;
                break;
            }
            value = (value << 4) | unsigned(d);
        }
        if (!ok || value == 0) break;
        units.push_back(char16_t(value));
    }
    return utf16_to_utf8(units, size);
}

}  // namespace radio::charset
