// Fuzz target for HTTP request reading: the completeness test, chunk
// stripping and request-line parsing never read out of bounds, and every
// length they report stays within the bytes given.
#include <cstdint>
#include <string>
#include <string_view>

#include "frontends/http/http_request.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    using namespace frontends::http;
    RequestLimits limits{4096, 65536};
    Completeness c = check_request(in, limits);
    check(c.header_len <= size);
    if (c.state != RequestState::Complete) return 0;
    check(c.request_len >= c.header_len && c.request_len <= size);
    check(c.header_len <= limits.max_header);
    std::string req(in.substr(0, c.request_len));
    if (c.chunked) {
        size_t n = HttpChunkStrip(req, c.header_len);
        check(n == req.size() && n <= c.request_len && n >= c.header_len);
        check(req.compare(0, c.header_len, in.substr(0, c.header_len)) == 0);
    } else {
        check(req.size() - c.header_len <= limits.max_body);
    }
    RequestLine line;
    if (parse_request_head(req, line)) {
        check(!line.method.empty() && !line.path.empty() && line.protocol.size() == 8);
    }
    std::string host = GetHost(req);
    check(host.size() <= 100 && host.find_first_of(" \r\n") == std::string::npos);
    for (const std::string& v : GetHeaderValues(req, "Content-Length")) {
        check(v.find_first_of("\r\n") == std::string::npos);
    }
    if (auto b = GetAuthorizationBasic(req))
        check(b->user.size() <= 250 && b->password.size() <= 250);
    return 0;
}
