// Request reading helpers of the HTTP front end (no sockets).
#include "frontends/http/http_request.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstring>

#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"

namespace frontends::http {

namespace {

constexpr size_t kTransferEncodingExamined = 500;
constexpr size_t kCredentialMax = 250;
constexpr size_t kUserAgentMax = 100;
constexpr size_t kHostMax = 100;
constexpr size_t kAcceptMax = 1024;
constexpr size_t kUploadNameMax = 200;
constexpr size_t kMultipartTraceMax = 1024;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_control(unsigned char c) {
    return c < 0x20;
}

uint8_t byte_at(std::string_view s, size_t i) {
    return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

void trace_bad_chunk_char(std::string_view tag, std::string_view buf, size_t pos) {
    platform::tracef(tag, "Invalid character in chunked length field:  %02X %02X %02X",
                     byte_at(buf, pos), byte_at(buf, pos + 1), byte_at(buf, pos + 2));
}

// One chunk-size line at pos: the size and the offset after its LF.
enum class SizeLine { Ok, Incomplete, BadChar, Overflow };
SizeLine read_size_line(std::string_view buf, size_t pos, uint64_t* size, size_t* next) {
    if (pos >= buf.size()) return SizeLine::Incomplete;
    if (hex_value(buf[pos]) < 0) return SizeLine::BadChar;
    uint64_t v = 0;
    size_t p = pos;
    for (; p < buf.size() && hex_value(buf[p]) >= 0; ++p) {
        if (v > (UINT64_MAX >> 8)) return SizeLine::Overflow;
        v = v * 16 + static_cast<uint64_t>(hex_value(buf[p]));
    }
    size_t lf = buf.find('\n', p);
    if (lf == std::string_view::npos) return SizeLine::Incomplete;
    *size = v;
    *next = lf + 1;
    return SizeLine::Ok;
}

// End of the trailer section that starts at pos (the line after the zero
// chunk): npos while it has not ended.
size_t trailer_end(std::string_view buf, size_t pos) {
    if (pos + 2 > buf.size()) return std::string_view::npos;
    if (buf[pos] == '\r' && buf[pos + 1] == '\n') return pos + 2;
    size_t e = buf.find("\n\r\n", pos);
    return e == std::string_view::npos ? e : e + 3;
}

std::string_view request_line_of(std::string_view request) {
    size_t i = 0;
    while (i < request.size() && !is_control(static_cast<unsigned char>(request[i]))) ++i;
    return request.substr(0, i);
}

// The body as parameters see it: it ends at a NUL, as a text would.
std::string_view body_of(std::string_view request) {
    size_t hl = header_block_length(request);
    if (!hl) return std::string_view();
    std::string_view body = request.substr(hl);
    return body.substr(0, body.find('\0'));
}

// Decodes a raw parameter value (%XX, "+"), stops at a decoded NUL, cuts
// to max bytes.
std::string decode_value(std::string_view raw, size_t max) {
    std::string out;
    for (size_t i = 0; i < raw.size() && out.size() < max; ++i) {
        char c = raw[i];
        if (c == '%' && i + 2 < raw.size() + 0 && hex_value(raw[i + 1]) >= 0 &&
            hex_value(raw[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(raw[i + 1]) * 16 + hex_value(raw[i + 2]));
            i += 2;
            if (c == '\0') break;
        } else if (c == '+') {
            c = ' ';
        }
        out.push_back(c);
    }
    return out;
}

// Occurrences of "name=" (or of a name prefix) at parameter boundaries,
// in the request line first, then in the body.
struct Occurrence {
    size_t pos;  // of the name within its area
    std::string_view area;
    bool in_line;
};

bool at_boundary(std::string_view area, size_t pos, bool in_line) {
    if (pos == 0) return true;
    char b = area[pos - 1];
    if (b == '?' || b == '&') return true;
    return in_line && (b == '/' || b == '\\');
}

std::vector<Occurrence> occurrences(std::string_view request, std::string_view pattern,
                                    bool line_then_body_only_if_line_empty) {
    std::vector<Occurrence> found;
    std::string_view line = request_line_of(request);
    for (size_t p = platform::ifind(line, pattern); p != std::string_view::npos;
         p = platform::ifind(line, pattern, p + 1)) {
        if (at_boundary(line, p, true)) found.push_back({p, line, true});
    }
    if (line_then_body_only_if_line_empty && !found.empty()) return found;
    std::string_view body = body_of(request);
    for (size_t p = platform::ifind(body, pattern); p != std::string_view::npos;
         p = platform::ifind(body, pattern, p + 1)) {
        if (at_boundary(body, p, false)) found.push_back({p, body, false});
    }
    return found;
}

std::string_view raw_value(const Occurrence& o, size_t name_len) {
    size_t start = o.pos + name_len;
    size_t end = start;
    while (end < o.area.size()) {
        char c = o.area[end];
        if (c == '&' || c == '?' || (o.in_line && c == ' ')) break;
        ++end;
    }
    return o.area.substr(start, end - start);
}

void trim_value(std::string_view name, std::string& value) {
    bool keep = !frame::settings().remove_trailing_spaces &&
                (platform::iequals(name, "Text") || platform::iequals(name, "Data"));
    if (keep) return;
    while (!value.empty() && static_cast<unsigned char>(value.back()) <= 32) value.pop_back();
}

// strchr() finds the terminating NUL too, so a NUL byte is never "in" a set.
bool in_set(const char* set, unsigned char c) {
    return c != 0 && std::strchr(set, c) != nullptr;
}


std::string base64_decode(std::string_view in) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            break;  // "=" padding or anything else ends the text
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

bool is_token_char(unsigned char c) {
    return std::isalnum(c) || in_set("!#$%&'*+-.^_`|~", c);
}

// One attribute (name="..." or name=...) of a header value; the name must
// follow a start, ";" or a blank so that "name" never matches "filename".
std::optional<std::string> header_attribute(std::string_view value, std::string_view attr) {
    std::string pattern = std::string(attr) + "=";
    for (size_t p = platform::ifind(value, pattern); p != std::string_view::npos;
         p = platform::ifind(value, pattern, p + 1)) {
        if (p > 0 && value[p - 1] != ';' && !is_blank(value[p - 1])) continue;
        size_t s = p + pattern.size();
        if (s < value.size() && (value[s] == '"' || value[s] == '\'')) {
            char q = value[s];
            size_t e = value.find(q, s + 1);
            if (e == std::string_view::npos) e = value.size();
            return std::string(value.substr(s + 1, e - s - 1));
        }
        size_t e = s;
        while (e < value.size() && value[e] != ';' && !is_blank(value[e])) ++e;
        return std::string(value.substr(s, e - s));
    }
    return std::nullopt;
}

std::atomic<uint32_t> g_upload_seq{0};

// Creates a new file for an upload; the stored name is returned in name.
bool store_upload(const std::string& dir, const std::string& base, std::string_view data,
                  std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint32_t seq = g_upload_seq.fetch_add(1, std::memory_order_relaxed);
        char prefix[48];
        std::snprintf(prefix, sizeof prefix, "%08X%04X%04X-",
                      static_cast<unsigned>(platform::monotonic_ms() & 0xFFFFFFFFu),
                      static_cast<unsigned>(::getpid() & 0xFFFF), seq & 0xFFFF);
        std::string candidate = prefix + base;
        platform::FileHandle h = platform::open_file(
            dir + candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (!h.valid()) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (!platform::write_all(h.fd(), data.data(), data.size())) return false;
        name = candidate;
        return true;
    }
    return false;
}

struct Part {
    std::string_view headers;
    std::string_view content;
};

std::vector<Part> split_parts(std::string_view body, const std::string& delim) {
    std::vector<Part> parts;
    size_t p = body.find(delim);
    while (p != std::string_view::npos) {
        size_t s = p + delim.size();
        if (body.substr(s, 2) == "--") break;
        size_t lf = body.find('\n', s);
        if (lf == std::string_view::npos) break;
        s = lf + 1;
        size_t next = body.find("\r\n" + delim, s);
        size_t content_end = next;
        if (next == std::string_view::npos) {
            next = body.find("\n" + delim, s);
            if (next == std::string_view::npos) break;
            content_end = next;
            next += 1;
        } else {
            next += 2;
        }
        std::string_view whole = body.substr(s, content_end - s);
        size_t he = whole.find("\r\n\r\n");
        size_t skip = 4;
        if (he == std::string_view::npos) {
            he = whole.find("\n\n");
            skip = 2;
        }
        if (he != std::string_view::npos) {
            parts.push_back({whole.substr(0, he + skip / 2), whole.substr(he + skip)});
        }
        p = next;
    }
    return parts;
}

std::optional<std::string> part_header(std::string_view headers, std::string_view name) {
    // A part's header block has no request line: look at the very start too.
    std::string block;
    block.reserve(headers.size() + 3);
    block.push_back('\n');
    block.append(headers).append("\r\n");
    return GetHeader(block, name, 2048);
}

// Parses one address part of a pattern: -1 for "*", -2 when invalid.
int pattern_part(std::string_view part) {
    part = platform::trim(part);
    if (part == "*") return -1;
    if (part.empty() || part.size() > 3) return -2;
    int v = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return -2;
        v = v * 10 + (c - '0');
    }
    return v > 255 ? -2 : v;
}

bool parse_address(std::string_view addr, int out[4]) {
    addr = platform::trim(addr);
    int n = 0;
    size_t start = 0;
    while (true) {
        size_t dot = addr.find('.', start);
        std::string_view part =
            addr.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (n == 4) return false;
        int v = pattern_part(part);
        if (v < 0) return false;
        out[n++] = v;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return n == 4;
}

}  // namespace

// --- completeness -----------------------------------------

size_t header_block_length(std::string_view buf) {
    for (size_t i = buf.find('\n'); i != std::string_view::npos; i = buf.find('\n', i + 1)) {
        if (i + 1 < buf.size() && buf[i + 1] == '\n') return i + 2;
        if (i + 2 < buf.size() && buf[i + 1] == '\r' && buf[i + 2] == '\n') return i + 3;
    }
    return 0;
}

Completeness check_request(std::string_view buf, const RequestLimits& limits,
                           ChunkProgress* progress) {
    Completeness c;
    size_t hl = header_block_length(buf);
    if (hl == 0) {
        if (buf.size() > limits.max_header) c.state = RequestState::HeaderTooLarge;
        return c;
    }
    c.header_len = hl;
    if (hl > limits.max_header) {
        c.state = RequestState::HeaderTooLarge;
        return c;
    }
    std::string_view head = buf.substr(0, hl);
    std::optional<std::string> te =
        GetHeader(head, "Transfer-encoding", kTransferEncodingExamined + 1);
    c.chunked = te && platform::ifind(*te, "chunked") != std::string_view::npos;
    std::vector<std::string> lengths = GetHeaderValues(head, "Content-Length");
    if (c.chunked) {
        // Both framings at once is how requests are smuggled past proxies.
        if (!lengths.empty()) {
            c.state = RequestState::Bad;
            return c;
        }
        size_t end = 0;
        bool too_large = false;
        bool done = HttpChunkComplete(buf, hl, &end, limits.max_body, &too_large, progress);
        // Size lines and extensions count too: the raw body is bounded as well.
        if (!done && buf.size() - hl > 2 * limits.max_body + kDefaultMaxHeaderBytes)
            too_large = true;
        if (too_large) {
            c.state = RequestState::BodyTooLarge;
        } else if (done) {
            c.state = RequestState::Complete;
            c.request_len = end;
        }
        return c;
    }
    uint64_t length = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string_view v = platform::trim(lengths[i]);
        if (v.empty() || v.size() > 18) {
            c.state = v.size() > 18 && v.find_first_not_of("0123456789") == std::string_view::npos
                          ? RequestState::BodyTooLarge
                          : RequestState::Bad;
            return c;
        }
        uint64_t n = 0;
        for (char ch : v) {
            if (ch < '0' || ch > '9') {
                c.state = RequestState::Bad;
                return c;
            }
            n = n * 10 + static_cast<uint64_t>(ch - '0');
        }
        if (i > 0 && n != length) {
            c.state = RequestState::Bad;
            return c;
        }
        length = n;
    }
    if (length > limits.max_body) {
        c.state = RequestState::BodyTooLarge;
        return c;
    }
    c.request_len = hl + static_cast<size_t>(length);
    if (buf.size() >= c.request_len) c.state = RequestState::Complete;
    return c;
}

bool HttpChunkComplete(std::string_view buf, size_t header_len, size_t* end, size_t max_body,
                       bool* too_large, ChunkProgress* progress) {
    size_t pos = header_len;
    uint64_t total = 0;
    if (progress && progress->pos > header_len && progress->pos <= buf.size()) {
        pos = progress->pos;
        total = progress->total;
    }
    while (true) {
        uint64_t size = 0;
        size_t next = 0;
        switch (read_size_line(buf, pos, &size, &next)) {
            case SizeLine::Incomplete:
                return false;
            case SizeLine::BadChar:
                trace_bad_chunk_char("HttpChunkComplete", buf, pos);
                *end = buf.size();
                return true;
            case SizeLine::Overflow:
                if (too_large) *too_large = true;
                *end = buf.size();
                return true;
            case SizeLine::Ok:
                break;
        }
        pos = next;
        if (size == 0) {
            size_t e = trailer_end(buf, pos);
            if (e == std::string_view::npos) return false;
            *end = e;
            return true;
        }
        total += size;
        if (total > max_body) {
            if (too_large) *too_large = true;
            *end = buf.size();
            return true;
        }
        if (pos + size + 2 > buf.size()) return false;
        if (buf[pos + size] != '\r' || buf[pos + size + 1] != '\n') {
            platform::trace("HttpChunkComplete", "Invalid length in chunked HTTP response");
            *end = buf.size();
            return true;
        }
        pos += size + 2;
        if (progress) *progress = {pos, total};
    }
}

size_t HttpChunkStrip(std::string& buf, size_t header_len) {
    std::string_view in(buf);
    std::string out(in.substr(0, header_len));
    size_t pos = header_len;
    while (pos < in.size()) {
        uint64_t size = 0;
        size_t next = 0;
        SizeLine r = read_size_line(in, pos, &size, &next);
        if (r == SizeLine::BadChar) trace_bad_chunk_char("HttpChunkStrip", in, pos);
        if (r != SizeLine::Ok) {
            out.append(in.substr(pos));
            break;
        }
        pos = next;
        if (size == 0) break;
        if (size > in.size() - pos) {
            out.append(in.substr(pos));
            break;
        }
        out.append(in.substr(pos, size));
        pos += size;
        if (in.substr(pos, 2) != "\r\n") {
            platform::trace("HttpChunkStrip", "Invalid length in chunked HTTP response");
            out.append(in.substr(pos));
            break;
        }
        pos += 2;
    }
    buf.swap(out);
    return buf.size();
}

// --- headers ----------------------------------------------

std::vector<std::string> GetHeaderValues(std::string_view request, std::string_view name) {
    std::vector<std::string> values;
    size_t hl = header_block_length(request);
    std::string_view block = hl ? request.substr(0, hl) : request;
    for (size_t lf = block.find('\n'); lf != std::string_view::npos;
         lf = block.find('\n', lf + 1)) {
        std::string_view line = block.substr(lf + 1);
        if (line.size() <= name.size() || line[name.size()] != ':' ||
            !platform::iequals(line.substr(0, name.size()), name)) {
            continue;
        }
        size_t p = name.size() + 1;
        while (p < line.size() && is_blank(line[p])) ++p;
        size_t e = p;
        while (e < line.size() && !is_control(static_cast<unsigned char>(line[e]))) ++e;
        values.emplace_back(line.substr(p, e - p));
    }
    return values;
}

std::optional<std::string> GetHeader(std::string_view request, std::string_view name, size_t size) {
    std::vector<std::string> v = GetHeaderValues(request, name);
    if (v.empty()) return std::nullopt;
    std::string value = std::move(v.front());
    if (size && value.size() > size - 1) value.resize(size - 1);
    return value;
}

std::optional<BasicCredentials> GetAuthorizationBasic(std::string_view request) {
    std::optional<std::string> v = GetHeader(request, "Authorization", 1024);
    if (!v || !platform::istarts_with(*v, "Basic") || v->size() < 6 || !is_blank((*v)[5])) {
        return std::nullopt;
    }
    std::string_view b64 = platform::trim(std::string_view(*v).substr(6));
    if (b64.size() > kCredentialMax) b64 = b64.substr(0, kCredentialMax);
    std::string text = base64_decode(b64);
    BasicCredentials c;
    size_t colon = text.find(':');
    c.user = text.substr(0, colon);
    if (colon != std::string::npos) c.password = text.substr(colon + 1);
    c.user = platform::truncate_field(c.user, kCredentialMax);
    c.password = platform::truncate_field(c.password, kCredentialMax);
    return c;
}

std::string GetUserAgent(std::string_view request) {
    return GetHeader(request, "User-agent", kUserAgentMax + 1).value_or("");
}

std::string GetHost(std::string_view request) {
    std::string h = GetHeader(request, "Host", kHostMax + 1).value_or("");
    size_t b = h.find_first_of(" \t");
    if (b != std::string::npos) h.resize(b);
    return h;
}

std::string GetAccept(std::string_view request) {
    return GetHeader(request, "Accept", kAcceptMax + 1).value_or("");
}

bool parse_request_head(std::string_view request, RequestLine& line) {
    size_t hl = header_block_length(request);
    if (hl == 0) return false;
    std::string_view head = request.substr(0, hl);
    size_t eol = head.find('\n');
    std::string_view first = head.substr(0, eol);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    size_t sp1 = first.find(' ');
    if (sp1 == 0 || sp1 == std::string_view::npos) return false;
    size_t sp2 = first.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return false;
    std::string_view method = first.substr(0, sp1);
    std::string_view path = first.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view proto = first.substr(sp2 + 1);
    for (char c : method) {
        if (!is_token_char(static_cast<unsigned char>(c))) return false;
    }
    for (char c : path) {
        if (is_control(static_cast<unsigned char>(c)) || c == 127) return false;
    }
    if (proto.size() != 8 || !platform::istarts_with(proto, "HTTP/") ||
        !std::isdigit(static_cast<unsigned char>(proto[5])) || proto[6] != '.' ||
        !std::isdigit(static_cast<unsigned char>(proto[7]))) {
        return false;
    }
    // Header lines: a token name directly followed by a colon (no folded
    // lines, no blank before the colon: both are smuggling tricks).
    size_t p = eol + 1;
    while (p < hl) {
        size_t e = head.find('\n', p);
        std::string_view l = head.substr(p, e - p);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        p = e + 1;
        if (l.empty()) break;
        size_t colon = l.find(':');
        if (colon == 0 || colon == std::string_view::npos) return false;
        for (size_t i = 0; i < colon; ++i) {
            if (!is_token_char(static_cast<unsigned char>(l[i]))) return false;
        }
    }
    line.method = method;
    line.path = path;
    line.protocol = proto;
    return true;
}

// --- parameters -------------------------------------------

bool GetNthRequestParameter(std::string_view request, std::string_view name, unsigned n,
                            std::string& value, size_t size) {
    if (n == 0 || name.empty() || size == 0) return false;
    std::string pattern = std::string(name) + "=";
    std::vector<Occurrence> found = occurrences(request, pattern, false);
    if (found.size() < n) return false;
    value = decode_value(raw_value(found[n - 1], pattern.size()), size - 1);
    trim_value(name, value);
    return true;
}

bool GetRequestParameter(std::string_view request, std::string_view name, std::string& value,
                         size_t size) {
    if (name.empty() || size == 0) return false;
    std::string pattern = std::string(name) + "=";
    std::vector<Occurrence> found = occurrences(request, pattern, true);
    if (found.empty()) return false;
    value = decode_value(raw_value(found.front(), pattern.size()), size - 1);
    trim_value(name, value);
    return true;
}

bool FindParameterNameByPrefix(std::string_view request, std::string_view prefix, unsigned n,
                               std::string& name, size_t size) {
    if (n == 0 || prefix.empty() || size == 0) return false;
    std::vector<Occurrence> found = occurrences(request, prefix, false);
    unsigned seen = 0;
    for (const Occurrence& o : found) {
        size_t e = o.pos;
        while (e < o.area.size() && o.area[e] != '=' && o.area[e] != '?' && o.area[e] != '&' &&
               !(o.in_line && o.area[e] == ' ')) {
            ++e;
        }
        // Only a name followed by "=" is a parameter.
        if (e >= o.area.size() || o.area[e] != '=') continue;
        if (++seen == n) {
            name = std::string(o.area.substr(o.pos, std::min(e - o.pos, size - 1)));
            return true;
        }
    }
    return false;
}

// --- encoding ---------------------------------------------

std::string url_encode(std::string_view value) {
    return platform::url_encode(value);
}

void UrlEncodeReplace(std::string& text, std::string_view token, std::string_view value,
                      size_t size) {
    if (!token.empty()) {
        std::string enc = url_encode(value);
        std::string out;
        size_t from = 0;
        for (size_t p = platform::ifind(text, token); p != std::string_view::npos;
             p = platform::ifind(text, token, from)) {
            out.append(text, from, p - from);
            out.append(enc);
            from = p + token.size();
        }
        out.append(text, from, std::string::npos);
        text.swap(out);
    }
    if (size && text.size() > size - 1) text.resize(size - 1);
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() + 0 && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// --- multipart --------------------------------------------

std::string safe_upload_name(std::string_view client_name) {
    size_t slash = client_name.find_last_of("/\\");
    std::string_view base =
        slash == std::string_view::npos ? client_name : client_name.substr(slash + 1);
    std::string out;
    for (char c : base) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 127) out.push_back(c);
    }
    if (out.size() > kUploadNameMax) out = out.substr(out.size() - kUploadNameMax);
    size_t first = out.find_first_not_of(". ");
    if (first == std::string::npos) return "upload";
    out = out.substr(first, out.find_last_not_of(". ") - first + 1);
    return out;
}

bool ParseMultipart(std::string& request, const std::string& temp_dir) {
    size_t hl = header_block_length(request);
    if (hl == 0) return false;
    std::string ctype =
        GetHeader(std::string_view(request).substr(0, hl), "Content-Type", 2048).value_or("");
    std::optional<std::string> boundary = header_attribute(ctype, "boundary");
    if (!boundary || boundary->empty() || boundary->size() > 150) return false;
    std::string delim = "--" + *boundary;
    std::string_view body = std::string_view(request).substr(hl);
    std::vector<Part> parts = split_parts(body, delim);

    // First pass: the uploads, each under a name of its own.
    std::vector<std::string> stored(parts.size());
    bool dir_ready = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string disp = part_header(parts[i].headers, "Content-Disposition").value_or("");
        std::optional<std::string> fname = header_attribute(disp, "filename");
        if (!fname) continue;
        if (!dir_ready) dir_ready = platform::ensure_dir(temp_dir);
        std::string name;
        if (dir_ready && store_upload(platform::with_trailing_slash(temp_dir),
                                      safe_upload_name(*fname), parts[i].content, name)) {
            stored[i] = name;
        } else {
            platform::tracef("ParseMultipart", "Unable to store upload %s",
                             safe_upload_name(*fname).c_str());
        }
    }
    // Second pass: name=value pairs; names are encoded too, so a part name
    // can never add a parameter of its own.
    std::string pairs;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string disp = part_header(parts[i].headers, "Content-Disposition").value_or("");
        std::optional<std::string> name = header_attribute(disp, "name");
        if (!name) continue;
        bool is_file = header_attribute(disp, "filename").has_value();
        pairs += url_encode(*name);
        pairs += '=';
        pairs += url_encode(is_file ? std::string_view(stored[i]) : parts[i].content);
        pairs += '&';
    }
    request.resize(hl);
    request += pairs;
    platform::trace("ParseMultipart", std::string_view(pairs).substr(0, kMultipartTraceMax));
    return true;
}

// --- addresses --------------------------------------------

bool address_matches(std::string_view pattern, std::string_view address) {
    pattern = platform::trim(pattern);
    if (pattern.empty()) return false;
    int want[4] = {0, 0, 0, 0};
    int n = 0;
    size_t start = 0;
    while (true) {
        size_t dot = pattern.find('.', start);
        if (n == 4) return false;  // more than three dots
        std::string_view part =
            pattern.substr(start, dot == std::string_view::npos ? dot : dot - start);
        int v = pattern_part(part);
        if (v == -2) return false;
        want[n++] = v;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    int have[4];
    if (!parse_address(address, have)) return false;
    for (int i = 0; i < 4; ++i) {
        if (want[i] != -1 && want[i] != have[i]) return false;
    }
    return true;
}

bool address_list_matches(std::string_view list, std::string_view address) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t e = list.find_first_of(",;", start);
        std::string_view item = list.substr(start, e == std::string_view::npos ? e : e - start);
        if (address_matches(item, address)) return true;
        if (e == std::string_view::npos) break;
        start = e + 1;
    }
    return false;
}

bool address_allowed_by(std::string_view address, const std::vector<std::string>& allowed,
                        const std::vector<std::string>& blocked) {
    if (address == "127.0.0.1") return true;
    for (const std::string& b : blocked) {
        if (address_matches(b, address)) return false;
    }
    if (allowed.empty()) return true;
    for (const std::string& a : allowed) {
        if (address_matches(a, address)) return true;
    }
    return false;
}

// --- containers -------------------------------------------

void append(ResponseBuffer& r, std::string_view text) {
    r.bytes.append(text);
}

void appendf(ResponseBuffer& r, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    r.bytes += platform::vstrprintf(fmt, ap);
    va_end(ap);
}

void add(StringList& l, std::string_view s) {
    l.items.emplace_back(s);
    l.total_length += s.size();
}

size_t count(const StringList& l) {
    return l.items.size();
}

std::string_view item(const StringList& l, size_t index) {
    return index < l.items.size() ? std::string_view(l.items[index]) : std::string_view();
}

}  // namespace frontends::http
