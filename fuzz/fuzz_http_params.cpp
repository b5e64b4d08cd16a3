// Fuzz target for parameter lookup, URL encoding and address patterns:
// values stay within the caller's size, encoded text holds only the
// characters the encoder keeps, and nothing reads out of bounds.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "frontends/http/http_request.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool encoded_char_ok(unsigned char c) {
    return std::isalnum(c) || (c != 0 && std::strchr("$'()-./=@[]^_`{}|~%", c) != nullptr) ||
           c == 127;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace frontends::http;
    if (size < 2) return 0;
    // First byte: length of the name; second: the caller's buffer size.
    size_t name_len = std::min<size_t>(data[0] % 16, size - 2);
    size_t buf = data[1] + 1u;
    std::string_view name(reinterpret_cast<const char*>(data) + 2, name_len);
    std::string_view req(reinterpret_cast<const char*>(data) + 2 + name_len, size - 2 - name_len);
    std::string value;
    if (GetRequestParameter(req, name, value, buf)) {
        check(value.size() < buf && value.find('\0') == std::string::npos);
    }
    for (unsigned n = 1; n <= 3; ++n) {
        if (GetNthRequestParameter(req, name, n, value, buf)) check(value.size() < buf);
        std::string found;
        if (FindParameterNameByPrefix(req, name, n, found, buf)) {
            check(found.size() < buf && found.find_first_of("=&?") == std::string::npos);
        }
    }
    std::string enc = url_encode(req);
    for (char c : enc) check(encoded_char_ok(static_cast<unsigned char>(c)));
    std::string text(req.substr(0, 64));
    UrlEncodeReplace(text, name, req, buf);
    check(text.size() < buf);
    std::string esc = html_escape(req);
    check(esc.find_first_of("<>\"") == std::string::npos);
    address_matches(name, req.substr(0, 20));
    address_list_matches(req, "10.1.2.3");
    std::string safe = safe_upload_name(req);
    check(!safe.empty() && safe.find_first_of("/\\") == std::string::npos && safe[0] != '.');
    return 0;
}
