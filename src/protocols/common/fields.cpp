#include "protocols/common/fields.h"

#include <algorithm>
#include <cstdint>

namespace protocols::common {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string to_hex(std::string_view octets) {
    std::string out;
    out.reserve(octets.size() * 2);
    for (char c : octets) {
        out += HEX_DIGITS[uint8_t(c) >> 4];
        out += HEX_DIGITS[uint8_t(c) & 0xF];
    }
    return out;
}

bool from_hex(std::string_view hex, std::string& octets) {
    octets.clear();
    if (hex.size() % 2) return false;
    octets.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        octets += char(hi << 4 | lo);
    }
    return true;
}

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int parse_number(std::string_view s) {
    if (!all_digits(s) || s.size() > 9) return -1;
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

}  // namespace protocols::common
