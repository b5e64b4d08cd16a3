// Text coding of short-message data: the link's character set for the
// default alphabet, ASCII, Latin-1 and UCS-2 (big-endian, surrogate pairs for
// characters outside the basic plane).
#include "protocols/smpp/message.h"
#include "radio/charset/charset.h"

namespace protocols::smpp {

namespace cs = radio::charset;

static std::string utf8_to_ascii(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        char32_t c = cs::next_code_point(utf8, i);
        if (c == 0) break;
        out.push_back(c < 0x80 ? char(c) : '?');
    }
    return out;
}

static std::string ascii_to_utf8(std::string_view octets) {
    std::string out(octets);
    for (char& c : out)
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') c = '?';
    return out;
}

static std::string utf8_to_ucs2(std::string_view utf8) {
    std::u16string units = cs::utf8_to_utf16(utf8, 0x8000);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out.push_back(char(u >> 8));
        out.push_back(char(u & 0xFF));
    }
    return out;
}

static std::string ucs2_to_utf8(std::string_view octets) {
    std::u16string units;
    units.reserve(octets.size() / 2);
    for (size_t i = 0; i + 1 < octets.size(); i += 2) {
        char16_t u = char16_t((static_cast<unsigned char>(octets[i]) << 8) |
                              static_cast<unsigned char>(octets[i + 1]));
        // A NUL unit would end the text early: it carries nothing.
        if (u != 0) units.push_back(u);
    }
    return cs::utf16_to_utf8(units);
}

std::string encode_text(std::string_view utf8, Coding coding, Charset charset) {
    switch (coding) {
        case Coding::Default:
            switch (charset) {
                case Charset::Gsm:
                    return cs::utf8_to_gsm(utf8);
                case Charset::Latin1:
                    return cs::utf8_to_win1252(utf8);
                case Charset::Ascii:
                    return utf8_to_ascii(utf8);
            }
            break;
        case Coding::Ascii:
            return utf8_to_ascii(utf8);
        case Coding::Latin1:
            return cs::utf8_to_win1252(utf8);
        case Coding::Ucs2:
            return utf8_to_ucs2(utf8);
        case Coding::Octets:
            break;
    }
    return std::string(utf8.substr(0, utf8.find('\0')));
}

std::string decode_text(std::string_view octets, Coding coding, Charset charset) {
    switch (coding) {
        case Coding::Default:
            switch (charset) {
                case Charset::Gsm:
                    return cs::gsm_to_utf8(octets);
                case Charset::Latin1:
                    return cs::win1252_to_utf8(octets);
                case Charset::Ascii:
                    return ascii_to_utf8(octets);
            }
            break;
        case Coding::Ascii:
            return ascii_to_utf8(octets);
        case Coding::Latin1:
            return cs::win1252_to_utf8(octets);
        case Coding::Ucs2:
            return ucs2_to_utf8(octets);
        case Coding::Octets:
            break;
    }
    return std::string(octets);
}

std::string unpack_default_alphabet(std::string_view packed_hex, size_t udh_octets,
                                    Charset charset) {
    std::string septets = cs::unpack_septets(packed_hex, udh_octets);
    if (charset == Charset::Gsm) return septets;
    return encode_text(cs::gsm_to_utf8(septets), Coding::Default, charset);
}

std::string decode_national_text(std::string_view septets, unsigned locking_language,
                                 unsigned single_language) {
    return cs::gsm_to_utf8_national(septets, locking_language, single_language);
}

}  // namespace protocols::smpp
