// The GSM 7-bit default alphabet: conversion tables, septet packing, the Unicode decision,
// the Greek look-alike substitution and the data coding scheme classification.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "platform/text.h"
#include "platform/trace_sink.h"
#include "radio/charset/charset.h"

namespace radio::charset {

namespace {

// GSM septet to Windows-1252 / Latin-1. Greek capitals and the escape have no Latin form.
constexpr std::array<uint8_t, 128> kGsmToLatin = {
    0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC, 0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,
    0x2D, 0x5F, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0x2D, 0xC6, 0xE6, 0xDF, 0xC9,
    0x20, 0x21, 0x22, 0x23, 0xA4, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0xA1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xC4, 0xD6, 0xD1, 0xDC, 0xA7,
    0xBF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xE4, 0xF6, 0xF1, 0xFC, 0xE0,
};

// GSM extension code (after the escape) to Windows-1252; the euro is the 1252 byte 0x80.
// The page break 0x0A and every reserved code read as '-'.
constexpr std::array<uint8_t, 128> make_extension_to_latin() {
    std::array<uint8_t, 128> t{};
    for (auto& v : t) v = '-';
    t[0x14] = '^';
    t[0x28] = '{';
    t[0x29] = '}';
    t[0x2F] = '\\';
    t[0x3C] = '[';
    t[0x3D] = '~';
    t[0x3E] = ']';
    t[0x40] = '|';
    t[0x65] = 0x80;
    return t;
}
constexpr std::array<uint8_t, 128> kExtensionToLatin = make_extension_to_latin();

// Windows-1252 byte to septets: a value below 0x100 is one septet, 0x1Bxx the escape pair.
// Look-alikes stand in where the GSM alphabet lacks a character.
constexpr uint16_t esc(uint8_t code) {
    return uint16_t(0x1B00 | code);
}
constexpr std::array<uint16_t, 256> make_latin_to_gsm() {
    std::array<uint16_t, 256> t{};
    for (auto& v : t) v = '-';
    auto same = [&](unsigned from, unsigned to) {
        for (unsigned b = from; b <= to; ++b) t[b] = uint16_t(b);
    };
    auto set = [&](std::initializer_list<unsigned> bytes, uint16_t value) {
        for (unsigned b : bytes) t[b] = value;
    };
    auto range = [&](unsigned from, unsigned to, uint16_t value) {
        for (unsigned b = from; b <= to; ++b) t[b] = value;
    };
    same(0x0A, 0x0A);
    same(0x0D, 0x0D);
    same(0x20, 0x23);
    same(0x25, 0x3F);
    same(0x41, 0x5A);
    same(0x61, 0x7A);
    t[0x24] = 0x02;
    t[0x40] = 0x00;
    t[0x5B] = esc(0x3C);
    t[0x5C] = esc(0x2F);
    t[0x5D] = esc(0x3E);
    t[0x5E] = esc(0x14);
    t[0x5F] = 0x11;
    t[0x60] = 0x27;
    t[0x7B] = esc(0x28);
    t[0x7C] = esc(0x40);
    t[0x7D] = esc(0x29);
    t[0x7E] = esc(0x3D);
    t[0x80] = esc(0x65);
    set({0x82, 0x8B, 0x91, 0x92, 0x9B, 0xB4}, 0x27);
    set({0x84, 0x93, 0x94, 0xAB, 0xBB}, 0x22);
    set({0x85, 0x95, 0xB7}, 0x2E);
    t[0x83] = 0x66;
    t[0x86] = 0x74;
    t[0x8A] = 0x53;
    t[0x9A] = 0x73;
    t[0x8C] = 0x4F;
    t[0x9C] = 0x6F;
    t[0x8E] = 0x5A;
    t[0x9E] = 0x7A;
    t[0x98] = esc(0x3D);
    set({0x9F, 0xDD}, 0x59);
    t[0xA0] = 0x20;
    t[0xA1] = 0x40;
    set({0xA2, 0xA9}, 0x63);
    t[0xA3] = 0x01;
    t[0xA4] = 0x24;
    t[0xA5] = 0x03;
    t[0xA6] = esc(0x40);
    t[0xA7] = 0x5F;
    t[0xAA] = 0x61;
    t[0xAE] = 0x52;
    t[0xB0] = 0x6F;
    t[0xB2] = 0x32;
    t[0xB3] = 0x33;
    t[0xB9] = 0x31;
    t[0xBA] = 0x30;  // masculine ordinal: the digit zero, as the look-alike
    t[0xB5] = 0x75;
    t[0xBF] = 0x60;
    range(0xC0, 0xC3, 0x41);
    t[0xC4] = 0x5B;
    t[0xC5] = 0x0E;
    t[0xC6] = 0x1C;
    t[0xC7] = 0x09;
    set({0xC8, 0xCA, 0xCB}, 0x45);
    t[0xC9] = 0x1F;
    range(0xCC, 0xCF, 0x49);
    t[0xD0] = 0x44;
    t[0xD1] = 0x5D;
    range(0xD2, 0xD5, 0x4F);
    t[0xD6] = 0x5C;
    t[0xD7] = 0x78;
    t[0xD8] = 0x0B;
    range(0xD9, 0xDB, 0x55);
    t[0xDC] = 0x5E;
    t[0xDF] = 0x1E;
    t[0xE0] = 0x7F;
    range(0xE1, 0xE3, 0x61);
    t[0xE4] = 0x7B;
    t[0xE5] = 0x0F;
    t[0xE6] = 0x1D;
    t[0xE7] = 0x09;  // the alphabet has only the capital C-cedilla
    t[0xE8] = 0x04;
    t[0xE9] = 0x05;
    set({0xEA, 0xEB}, 0x65);
    t[0xEC] = 0x07;
    range(0xED, 0xEF, 0x69);
    t[0xF0] = 0x64;
    t[0xF1] = 0x7D;
    t[0xF2] = 0x08;
    range(0xF3, 0xF5, 0x6F);
    t[0xF6] = 0x7C;
    t[0xF8] = 0x0C;
    t[0xF9] = 0x06;
    set({0xFA, 0xFB}, 0x75);
    t[0xFC] = 0x7E;
    set({0xFD, 0xFF}, 0x79);
    return t;
}
constexpr std::array<uint16_t, 256> kLatinToGsm = make_latin_to_gsm();

// The Greek capitals of the GSM alphabet (septets 0x10, 0x12-0x1A).
struct GreekCapital {
    char16_t code_point;
    uint8_t septet;
};
constexpr GreekCapital kGreekCapitals[] = {
    {0x0394, 0x10}, {0x03A6, 0x12}, {0x0393, 0x13}, {0x039B, 0x14}, {0x03A9, 0x15},
    {0x03A0, 0x16}, {0x03A8, 0x17}, {0x03A3, 0x18}, {0x0398, 0x19}, {0x039E, 0x1A},
};

int greek_septet(char32_t cp) {
    if (cp < 0x0393 || cp > 0x03A9) return -1;
    for (const auto& g : kGreekCapitals)
        if (g.code_point == cp) return g.septet;
    return -1;
}

char16_t greek_code_point(uint8_t septet) {
    for (const auto& g : kGreekCapitals)
        if (g.septet == septet) return g.code_point;
    return 0;
}

void append_latin_as_utf8(std::string& out, uint8_t latin) {
    if (latin < 0x80) {
        out.push_back(char(latin));
    } else {
        out.push_back(char(0xC0 | (latin >> 6)));
        out.push_back(char(0x80 | (latin & 0x3F)));
    }
}

// Appends the septets of one Latin-1 / Windows-1252 position.
template <class Out>
void put_latin(Out& out, unsigned byte) {
    const uint16_t e = kLatinToGsm[byte];
    if (e > 0xFF) {
        out.push(kGsmEscape);
        out.push(uint8_t(e & 0xFF));
    } else {
        out.push(uint8_t(e));
    }
}

struct StringOut {
    std::string& s;
    void push(uint8_t v) { s.push_back(char(v)); }
    size_t size() const { return s.size(); }
};
struct CountOut {
    size_t n = 0;
    void push(uint8_t) { ++n; }
    size_t size() const { return n; }
};

template <class Out>
void utf8_to_gsm_into(std::string_view utf8, size_t limit, Out& out) {
    size_t units = 0;  // the UTF-16 scratch the text is decoded into holds 8191 units
    size_t i = 0;
    while (i < utf8.size() && utf8[i] != '\0') {
        if (limit && out.size() >= limit) break;
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {  // ASCII needs no decoding
            if (++units > kUtf16Capacity - 1) break;
            put_latin(out, byte);
            ++i;
            continue;
        }
        const char32_t cp = next_code_point(utf8, i);
        units += cp > 0xFFFF ? 2 : 1;
        if (units > kUtf16Capacity - 1) break;
        if (cp <= 0xFF) {
            put_latin(out, unsigned(cp));
        } else if (const int g = greek_septet(cp); g >= 0) {
            out.push(uint8_t(g));
        } else if (cp == 0x20AC) {
            out.push(kGsmEscape);
            out.push(0x65);
        } else {
            // One '?' per UTF-16 unit: a character outside the basic plane
            // is a surrogate pair and takes two.
            out.push(uint8_t(kUnmappable));
            if (cp > 0xFFFF && !(limit && out.size() >= limit)) out.push(uint8_t(kUnmappable));
        }
    }
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_hex_octet(std::string& out, unsigned octet) {
    out.push_back(kHexDigits[(octet >> 4) & 0xF]);
    out.push_back(kHexDigits[octet & 0xF]);
}

// Fill bits that align the first septet after a header of udh_octets octets.
unsigned fill_bits(size_t udh_octets) {
    return unsigned((7 - udh_octets % 7) % 7);
}

void trace_padding() {
    platform::trace("Debug", "Padding with space");
}

std::string_view until_nul(std::string_view s) {
    const size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace

std::string utf8_to_gsm(std::string_view utf8, size_t limit) {
    std::string septets;
    septets.reserve(std::min(utf8.size() + 1, kUtf16Capacity * 2));
    StringOut out{septets};
    utf8_to_gsm_into(utf8, limit, out);
    return septets;
}

size_t utf8_septet_count(std::string_view utf8) {
    CountOut out;
    utf8_to_gsm_into(utf8, kSeptetCountLimit, out);
    return out.n;
}

std::string win1252_to_gsm(std::string_view text, size_t limit) {
    std::string septets;
    septets.reserve(text.size() + 1);
    StringOut out{septets};
    for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        if (limit && septets.size() >= limit) break;
        put_latin(out, static_cast<unsigned char>(text[i]));
    }
    return septets;
}

// Walks unpacked septets: basic(s) for a septet of the default table,
// extension(code) for an escape pair. Septets with the top bit set are not
// GSM and are skipped; a trailing escape has nothing to extend and reads as
// the replacement.
template <class Basic, class Extension>
std::string walk_septets(std::string_view septets, size_t reserve, Basic basic,
                         Extension extension) {
    std::string out;
    out.reserve(reserve);
    for (size_t k = 0; k < septets.size(); ++k) {
        const auto s = static_cast<uint8_t>(septets[k]);
        if (s & 0x80) continue;
        if (s == kGsmEscape) {
            if (k + 1 >= septets.size()) {
                out.push_back(kGsmReplacement);
                break;
            }
            const auto code = static_cast<uint8_t>(septets[++k]);
            extension(out, code < 0x80 ? kExtensionToLatin[code] : uint8_t('-'));
        } else {
            basic(out, s);
        }
    }
    return out;
}

std::string gsm_to_utf8(std::string_view septets) {
    return walk_septets(
        septets, septets.size() + septets.size() / 4,
        [](std::string& out, uint8_t s) {
            if (const char16_t g = greek_code_point(s); g != 0) {
                out.push_back(char(0xC0 | (g >> 6)));
                out.push_back(char(0x80 | (g & 0x3F)));
            } else {
                append_latin_as_utf8(out, kGsmToLatin[s]);
            }
        },
        [](std::string& out, uint8_t latin) {
            if (latin == 0x80)
                out.append("\xE2\x82\xAC");
            else
                out.push_back(char(latin));
        });
}

std::string gsm_to_win1252(std::string_view septets) {
    return walk_septets(
        septets, septets.size(),
        [](std::string& out, uint8_t s) { out.push_back(char(kGsmToLatin[s])); },
        [](std::string& out, uint8_t latin) { out.push_back(char(latin)); });
}

std::string pack_septets(std::string_view septets, size_t udh_octets) {
    std::string hex;
    if (septets.empty()) return hex;
    const unsigned fill = fill_bits(udh_octets);  // zero fill bits lead
    const size_t bits_total = fill + 7 * septets.size();
    const bool pad = bits_total % 8 == 1;
    hex.resize((bits_total + (pad ? 7 : 0) + 7) / 8 * 2);
    char* out = hex.data();
    uint32_t acc = 0;
    unsigned bits = fill;
    auto put = [&](uint8_t septet) {
        acc |= uint32_t(septet & 0x7F) << bits;
        bits += 7;
        if (bits >= 8) {
            *out++ = kHexDigits[(acc >> 4) & 0xF];
            *out++ = kHexDigits[acc & 0xF];
            acc >>= 8;
            bits -= 8;
        }
    };
    for (char c : septets) put(uint8_t(c));
    if (pad) {
        // Seven spare bits would read as an extra "@": fill them with a space instead.
        trace_padding();
        put(' ');
    } else if (bits > 0) {
        *out++ = kHexDigits[(acc >> 4) & 0xF];
        *out++ = kHexDigits[acc & 0xF];
    }
    return hex;
}

std::string pack_septets_msb_first(std::string_view septets, size_t udh_octets) {
    std::string hex;
    if (septets.empty()) return hex;
    hex.reserve((septets.size() * 7 / 8 + 2) * 2);
    uint32_t acc = 0;
    unsigned bits = fill_bits(udh_octets);
    auto put = [&](uint8_t septet) {
        acc = (acc << 7) | (septet & 0x7F);
        bits += 7;
        while (bits >= 8) {
            append_hex_octet(hex, (acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
        acc &= (1u << bits) - 1;
    };
    for (char c : septets) put(uint8_t(c));
    if (bits == 1) {
        trace_padding();
        put(' ');
    } else if (bits > 0) {
        append_hex_octet(hex, (acc << (8 - bits)) & 0xFF);
    }
    return hex;
}

std::string unpack_septets(std::string_view hex, size_t udh_octets, size_t limit) {
    std::string septets;
    septets.reserve(hex.size() / 2 * 8 / 7 + 1);
    auto full = [&] { return limit != 0 && septets.size() >= limit; };
    uint32_t acc = 0;
    unsigned bits = 0;
    unsigned skip = fill_bits(udh_octets);
    for (size_t i = 0; i + 2 <= hex.size() && !full(); i += 2) {
        const int hi = platform::hex_digit_value(hex[i]);
        const int lo = platform::hex_digit_value(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        acc |= uint32_t(hi << 4 | lo) << bits;
        bits += 8;
        if (skip) {  // the header's fill bits sit at the bottom of the first octet
            acc >>= skip;
            bits -= skip;
            skip = 0;
        }
        while (bits >= 7 && !full()) {
            septets.push_back(char(acc & 0x7F));
            acc >>= 7;
            bits -= 7;
        }
    }
    // A last octet that completed a whole group carries a septet that may be only the
    // sender's fill. A caller's limit that was reached says the septet is wanted.
    if (bits == 0 && !septets.empty() && !full()) {
        if (udh_octets == 0 && septets.back() == '\0') septets.pop_back();
        if (!septets.empty() && septets.size() < kSpaceDropBound && septets.back() == ' ')
            septets.pop_back();
    }
    return septets;
}

std::string unpack_to_win1252(std::string_view hex, size_t udh_octets) {
    return gsm_to_win1252(unpack_septets(hex, udh_octets, kUnpackScratchSeptets));
}

bool dcs_is_gsm7(uint8_t dcs) {
    if (dcs < 0x40) return (dcs & 0x0C) == 0x00 || (dcs & 0x0C) == 0x0C;
    if (dcs >= 0xC0 && dcs <= 0xDF) return true;
    if (dcs >= 0xF0) return (dcs & 0x04) == 0;
    return false;
}

bool dcs_is_ucs2(uint8_t dcs) {
    if (dcs < 0x40) return (dcs & 0x0C) == 0x08;
    return (dcs >= 0xE0 && dcs <= 0xEF) || dcs == 0x48;
}

bool UTF8StringRequiresUnicodeEncoding(std::string_view utf8, const UnicodeSettings& settings) {
    static constexpr std::string_view kTag = "UTF8StringRequiresUnicodeEncoding";
    if (settings.disable_http_unicode_sms) return false;
    const std::string_view text = until_nul(utf8);

    const std::string back = gsm_to_utf8(utf8_to_gsm(text, kUnicodeCheckLimit));
    if (back != text) {
        platform::trace(kTag, "Translate to/from GSM string results in loss of data");
        platform::trace(kTag, text);
        platform::trace(kTag, back);
        return true;
    }
    if (!settings.test_for_iso88591 && !settings.test_for_ascii) return false;

    const std::string latin = utf8_to_win1252(text);
    if (settings.test_for_ascii) {
        for (char c : latin) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                platform::trace(kTag, "Unicode encoding forced by TestUnicodeSMSForASCII setting");
                platform::trace(kTag, text);
                platform::trace(kTag, latin);
                return true;
            }
        }
    }
    const std::string latin_back = win1252_to_utf8(latin);
    if (latin_back != text) {
        platform::trace(kTag, "Translate to/from iso-8859-1 string results in loss of data");
        platform::trace(kTag, text);
        platform::trace(kTag, latin_back);
        return true;
    }
    return false;
}

bool TranslateGreekCharacters(std::string& utf8, size_t size) {
    // Greek capitals drawn like Latin letters, and the no-break space.
    static constexpr std::pair<char16_t, char16_t> kTwins[] = {
        {0x0391, 'A'}, {0x0392, 'B'}, {0x0395, 'E'}, {0x0396, 'Z'}, {0x0397, 'H'},
        {0x0399, 'I'}, {0x039A, 'K'}, {0x039C, 'M'}, {0x039D, 'N'}, {0x039F, 'O'},
        {0x03A1, 'P'}, {0x03A4, 'T'}, {0x03A5, 'Y'}, {0x03A7, 'X'}, {0x00A0, ' '},
    };
    std::u16string units = utf8_to_utf16(utf8);
    bool changed = false;
    for (char16_t& u : units) {
        for (const auto& [greek, latin] : kTwins) {
            if (u == greek) {
                u = latin;
                changed = true;
                break;
            }
        }
    }
    if (changed) utf8 = utf16_to_utf8(units, size);
    return changed;
}

}  // namespace radio::charset
