// Field text the engines share: hex octets (binary data, UDH, checksums) and
// plain decimal numbers.
#pragma once

#include <string>
#include <string_view>

namespace protocols::common {

inline constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Value of one hex digit (either case); -1 for anything else.
int hex_digit(char c);

// Two upper-case hex digits per octet.
std::string to_hex(std::string_view octets);

// Two hex digits per octet (either case); false on an odd length or a non-hex digit.
bool from_hex(std::string_view hex, std::string& octets);

// Non-empty and only the digits 0-9.
bool all_digits(std::string_view s);

// Non-negative decimal of at most 9 digits; -1 otherwise.
int parse_number(std::string_view s);

}  // namespace protocols::common
