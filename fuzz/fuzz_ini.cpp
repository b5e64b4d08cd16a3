// Fuzz target for the INI text parser: arbitrary bytes must parse without a
// fault, and what comes out must obey the parser's own rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/ini_profile.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto doc = support::ini_parse_text(text);
    size_t total = 0;
    for (const auto& [section, keys] : doc) {
        check(section.find_first_of("]\n") == std::string::npos);
        check(section.empty() || (!blank(section.front()) && !blank(section.back())));
        for (const auto& [key, value] : keys) {
            check(!key.empty() && !blank(key.front()) && !blank(key.back()));
            check(key.find_first_of("=\n") == std::string::npos && key.front() != ';' &&
                  key.front() != '[');
            check(value.find('\n') == std::string::npos);
            total += key.size() + value.size();
        }
    }
    check(total <= size);
    return 0;
}
