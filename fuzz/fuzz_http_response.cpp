// Fuzz target for the HTTP response reader: fed in pieces or whole, the
// reader reaches the same end, never holds more than its cap, and the
// lengths it reports agree with the bytes it kept.
#include <cstdint>
#include <string>
#include <string_view>

#include "frame/http_response.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr size_t kCap = 8192;

frame::HttpResponseReader run(std::string_view in, bool head, unsigned step, bool close) {
    frame::HttpResponseReader r(kCap, head);
    if (step == 0) {
        r.feed(in);
    } else {
        for (size_t i = 0; i < in.size(); i += step) r.feed(in.substr(i, step));
    }
    if (close) r.finish();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    bool head = data[0] & 1;
    bool close = data[0] & 2;
    unsigned step = (data[0] >> 2) % 17 + 1;  // 1..17 bytes at a time
    std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

    frame::HttpResponseReader whole = run(in, head, 0, close);
    frame::HttpResponseReader pieces = run(in, head, step, close);
    using State = frame::HttpResponseReader::State;
    check(whole.state() == pieces.state());
    check(whole.raw().size() <= kCap + frame::kMaxResponseHeaderBlock);
    if (whole.state() != State::Complete) return 0;
    check(whole.raw() == pieces.raw());
    check(whole.status() == pieces.status() && whole.header_len() == pieces.header_len());
    check(whole.extra_bytes() == pieces.extra_bytes());
    check(whole.header_len() > 0 && whole.header_len() <= whole.raw().size());
    check(whole.raw().size() <= kCap);
    check(whole.status() < 100 || whole.status() > 199);
    if (whole.has_content_length() && !head && whole.status() != 204 && whole.status() != 304)
        check(whole.body_len() == whole.content_length());
    // Body bytes kept never exceed the bytes given after the header block.
    check(whole.raw().size() + whole.extra_bytes() <= in.size());
    std::string_view block(whole.raw().data(), whole.header_len());
    std::string ct = frame::response_header(block, "Content-Type");
    check(ct.size() <= block.size() && ct.find('\n') == std::string::npos);
    return 0;
}
