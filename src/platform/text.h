// Small text helpers shared by every module: bounded formatting and the
// case-insensitive comparisons the file and settings rules need.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace platform {

// snprintf into a std::string of whatever size the result needs.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap);

// ASCII case-insensitive equality / prefix test / ordering (<0, 0, >0).
bool iequals(std::string_view a, std::string_view b);
bool istarts_with(std::string_view s, std::string_view prefix);
bool iends_with(std::string_view s, std::string_view suffix);
int icompare(std::string_view a, std::string_view b);

std::string to_upper(std::string_view s);
std::string to_lower(std::string_view s);

// Value of a hexadecimal digit (either case), -1 for any other character.
int hex_digit_value(char c);

// s with every byte that does not begin or continue a well-formed UTF-8
// sequence (overlong two-byte forms included) replaced by '?'.
std::string sanitize_utf8(std::string_view s);

// Removes blanks (space, tab, CR, LF) from both ends.
std::string_view trim(std::string_view s);

// Cuts s to at most max_len bytes (a field of size N holds N-1 characters:
// callers pass N-1). Never splits inside a UTF-8 sequence.
std::string truncate_field(std::string_view s, size_t max_len);

// Position of needle in hay at or after from, compared without case; npos
// when absent or when needle is empty.
size_t ifind(std::string_view hay, std::string_view needle, size_t from = 0);

// URL encoding of the gateway's URLs: letters, digits, DEL and
// "$'()-./=@[]^_`{}|~" stay, every other byte becomes %XX (upper case).
std::string url_encode(std::string_view value);

}  // namespace platform
