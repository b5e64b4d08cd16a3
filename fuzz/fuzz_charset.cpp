// Fuzz target for the character set conversions: arbitrary bytes go through UTF-8 -> GSM ->
// UTF-8, UTF-8 -> UCS-2 hex -> UTF-8, septet packing and unpacking, the national shift
// tables, Windows-1252 and the code pages. Beyond not faulting, each path must keep its
// own round-trip promise and produce well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "radio/charset/charset.h"

namespace {

using namespace radio::charset;

void check(bool ok) {
    if (!ok) std::abort();
}

// Strict UTF-8 check, written apart from the decoder under test.
bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t min;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, min = 0x80, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, min = 0x800, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (size_t k = 1; k <= n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

std::string_view until_nul(std::string_view s) {
    const size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

bool is_extension_code(uint8_t c) {
    switch (c) {
        case 0x14:
        case 0x28:
        case 0x29:
        case 0x2F:
        case 0x3C:
        case 0x3D:
        case 0x3E:
        case 0x40:
        case 0x65:
            return true;
        default:
            return false;
    }
}

void gsm_round_trip(std::string_view text) {
    const std::string septets = utf8_to_gsm(text);
    for (size_t k = 0; k < septets.size(); ++k) {
        const auto s = static_cast<uint8_t>(septets[k]);
        check(s < 0x80);
        if (s == kGsmEscape) {
            check(k + 1 < septets.size() && is_extension_code(uint8_t(septets[k + 1])));
            ++k;
        }
    }
    const std::string utf8 = gsm_to_utf8(septets);
    check(valid_utf8(utf8));
    // What came out of GSM goes back to the same septets.
    check(utf8_to_gsm(utf8) == septets);
    check(utf8_septet_count(text) == utf8_to_gsm(text, kSeptetCountLimit).size());
    check(gsm_to_win1252(septets).size() <= septets.size());
}

void ucs2_round_trip(std::string_view text) {
    const std::string hex = utf8_to_ucs2_hex(text);
    check(hex.size() % 4 == 0);
    const std::string utf8 = ucs2_hex_to_utf8(hex);
    check(valid_utf8(utf8));
    if (hex.size() / 4 <= kUcs2HexMaxUnits) {
        check(utf8_to_ucs2_hex(utf8) == hex);
        const std::string_view original = until_nul(text);
        if (valid_utf8(original) && original.size() < kUtf16Capacity / 2) check(utf8 == original);
    }
}

void packing_round_trip(std::string_view bytes) {
    if (bytes.empty()) return;
    const size_t udh = static_cast<uint8_t>(bytes[0]) % 8;
    std::string septets(bytes.substr(1));
    for (char& c : septets) c = char(c & 0x7F);
    const std::string packed = pack_septets(septets, udh);
    const std::string msb = pack_septets_msb_first(septets, udh);
    const size_t n = septets.size();
    const size_t fill = (7 - udh % 7) % 7;
    size_t bits = n ? fill + 7 * n : 0;
    const bool padded = bits % 8 == 1;
    if (padded) bits += 7;
    check(packed.size() == (bits + 7) / 8 * 2);
    check(msb.size() == packed.size());

    std::string expected = septets;
    if (padded) {
        if (n + 1 >= kSpaceDropBound) expected.push_back(' ');
    } else if (n && bits % 8 == 0) {
        if (udh == 0 && expected.back() == '\0') expected.pop_back();
        if (!expected.empty() && expected.size() < kSpaceDropBound && expected.back() == ' ')
            expected.pop_back();
    }
    check(unpack_septets(packed, udh) == expected);
    // With the septet count given, nothing is taken for fill.
    if (n) check(unpack_septets(packed, udh, n) == septets);
}

void unpack_anything(std::string_view bytes) {
    const size_t udh = bytes.size() % 9;
    const std::string septets = unpack_septets(bytes, udh);
    for (char c : septets) check(static_cast<uint8_t>(c) < 0x80);
    check(septets.size() <= bytes.size() / 2 * 8 / 7 + 1);
    check(unpack_to_win1252(bytes, udh).size() <= septets.size() + 1);
}

void national_round_trip(std::string_view bytes) {
    if (bytes.empty()) return;
    const unsigned language = static_cast<uint8_t>(bytes[0]) % (kMaxNationalLanguage + 2);
    const std::string_view text = bytes.substr(1);
    const std::string normal = utf16_to_utf8(utf8_to_utf16(text));
    std::string septets;
    const int bits = UTF8ToShiftTableString(language, text, septets);
    check(bits >= 0 && bits <= 3);
    if (bits) {
        check(gsm_to_utf8_national(septets, (bits & kLockingShiftUsed) ? language : 0,
                                   (bits & kSingleShiftUsed) ? language : 0) == normal);
        ShiftTableEncoding enc;
        check(encode_with_shift_tables(text, std::to_string(language), "", enc) == bits);
        std::string back;
        check(GSM7ToUTF8String(enc.udh_hex, enc.packed_hex, back) == bits);
        // A whole last group may lose a trailing space (taken for fill), or keep the fill
        // space beyond the 150-septet bound.
        check(back == normal || back + " " == normal || back == normal + " ");
    }
    // Arbitrary headers and data: any result must be well formed.
    const size_t half = text.size() / 2;
    std::string utf8;
    const int got = GSM7ToUTF8String(text.substr(0, half), text.substr(half), utf8);
    check(got >= 0 && got <= 3);
    check(valid_utf8(utf8));
    check(valid_utf8(gsm_to_utf8_national(text, language, language)));
}

void code_pages(std::string_view text) {
    std::string latin(until_nul(text).substr(0, kUtf16Capacity - 1));
    check(utf8_to_win1252(win1252_to_utf8(latin)) == latin);

    std::string local(text);
    code_page_to_utf8(local, 932);
    check(valid_utf8(local));
    std::string wide(text);
    utf8_to_code_page(wide, 936, 4096);
    check(wide.size() < 4096);

    std::string greek(until_nul(text));
    if (TranslateGreekCharacters(greek)) check(valid_utf8(greek));
    UTF8StringRequiresUnicodeEncoding(text, {false, true, true});
    charset_to_code_page(text);
    content_type_to_number(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    gsm_round_trip(bytes);
    ucs2_round_trip(bytes);
    packing_round_trip(bytes);
    unpack_anything(bytes);
    national_round_trip(bytes);
    code_pages(bytes);
    return 0;
}
