// Incremental HTTP/1.x response reader: framing, de-chunking and size caps.
#include "frame/http_response.h"

#include <cstdio>

namespace frame {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool iequal_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

bool icontains(std::string_view text, std::string_view word) {
    for (size_t i = 0; i + word.size() <= text.size(); ++i)
        if (iequal_prefix(text.substr(i), word)) return true;
    return false;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A chunk-size line or a trailer line longer than this is not a real one.
constexpr size_t kMaxChunkLine = 4096;

// Finds the value of header name; npos when absent.
size_t find_header(std::string_view block, std::string_view name, size_t& value_len) {
    size_t pos = block.find('\n');  // the status line is not a header
    while (pos != std::string_view::npos && pos + 1 < block.size()) {
        size_t line = pos + 1;
        size_t end = block.find('\n', line);
        std::string_view text =
            block.substr(line, end == std::string_view::npos ? std::string_view::npos : end - line);
        if (iequal_prefix(text, name) && text.size() > name.size() && text[name.size()] == ':') {
            size_t v = name.size() + 1;
            while (v < text.size() && (text[v] == ' ' || text[v] == '\t')) ++v;
            size_t e = text.size();
            while (e > v && (text[e - 1] == '\r' || text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
            value_len = e - v;
            return line + v;
        }
        pos = end;
    }
    return std::string_view::npos;
}

}  // namespace

std::string response_header(std::string_view header_block, std::string_view name) {
    size_t len = 0;
    size_t at = find_header(header_block, name, len);
    return at == std::string_view::npos ? std::string() : std::string(header_block.substr(at, len));
}

bool has_response_header(std::string_view header_block, std::string_view name) {
    size_t len = 0;
    return find_header(header_block, name, len) != std::string_view::npos;
}

HttpResponseReader::State HttpResponseReader::fail(std::string why) {
    error_ = std::move(why);
    state_ = State::Failed;
    return state_;
}

HttpResponseReader::State HttpResponseReader::complete(const char* why) {
    note_ = why;
    state_ = State::Complete;
    return state_;
}

bool HttpResponseReader::parse_headers() {
    std::string_view block(raw_.data(), header_len_);
    status_ = 0;
    if (block.substr(0, 5) == "HTTP/") {
        size_t sp = block.find(' ');
        size_t eol = block.find('\n');
        if (sp != std::string_view::npos && sp < eol) {
            int v = 0;
            for (size_t i = sp + 1;
                 i < block.size() && block[i] >= '0' && block[i] <= '9' && v < 100000; ++i)
                v = v * 10 + (block[i] - '0');
            status_ = v;
        }
    }
    chunked_ = icontains(response_header(block, "Transfer-encoding"), "chunked");
    has_length_ = false;
    content_length_ = 0;
    if (!chunked_ && has_response_header(block, "Content-Length")) {
        std::string v = response_header(block, "Content-Length");
        if (v.empty()) return fail("Invalid Content-Length: (empty)"), false;
        size_t n = 0;
        for (char c : v) {
            if (c < '0' || c > '9' || n > max_total_)
                return fail("Invalid Content-Length: " + v), false;
            n = n * 10 + size_t(c - '0');
        }
        if (n > max_total_ || header_len_ + n > max_total_) {
            char buf[120];
            std::snprintf(buf, sizeof buf,
                          "Content-Length %zu exceeds the response limit of %zu bytes", n,
                          max_total_);
            return fail(buf), false;
        }
        has_length_ = true;
        content_length_ = n;
    }
    return true;
}

HttpResponseReader::State HttpResponseReader::feed(std::string_view data) {
    if (state_ == State::Complete) {
        extra_ += data.size();
        return state_;
    }
    if (state_ == State::Failed) return state_;
    received_ += data.size();
    if (headers_complete()) return take_body(data);

    raw_.append(data);
    for (;;) {
        size_t from = scan_from_ > 0 ? scan_from_ - 1 : 0;
        size_t end = std::string::npos;
        for (size_t lf = raw_.find('\n', from); lf != std::string::npos;
             lf = raw_.find('\n', lf + 1)) {
            if (lf + 1 < raw_.size() && raw_[lf + 1] == '\n') {
                end = lf + 2;
                break;
            }
            if (lf + 2 < raw_.size() && raw_[lf + 1] == '\r' && raw_[lf + 2] == '\n') {
                end = lf + 3;
                break;
            }
            if (lf + 2 >= raw_.size()) break;  // undecided until more arrives
        }
        if (end == std::string::npos) {
            scan_from_ = raw_.size() >= 2 ? raw_.size() - 2 : 0;
            if (raw_.size() > kMaxResponseHeaderBlock || raw_.size() > max_total_) {
                char buf[100];
                std::snprintf(buf, sizeof buf, "Response header block longer than %zu bytes",
                              raw_.size() > max_total_ ? max_total_ : kMaxResponseHeaderBlock);
                return fail(buf);
            }
            return state_;
        }
        if (end > kMaxResponseHeaderBlock) {
            char buf[100];
            std::snprintf(buf, sizeof buf, "Response header block longer than %zu bytes",
                          kMaxResponseHeaderBlock);
            return fail(buf);
        }
        header_len_ = end;
        std::string rest = raw_.substr(end);
        raw_.resize(end);
        if (!parse_headers()) return state_;
        if (status_ >= 100 && status_ <= 199) {
            // Interim response: forget it, what follows is the real one.
            ++interim_;
            raw_ = std::move(rest);
            header_len_ = 0;
            scan_from_ = 0;
            status_ = 0;
            chunked_ = has_length_ = false;
            content_length_ = 0;
            continue;
        }
        if (head_) {
            extra_ += rest.size();
            return complete(has_length_ && content_length_ == 0 ? "Ok" : "HEAD Ok");
        }
        if (status_ == 204 || status_ == 304) {
            extra_ += rest.size();
            return complete("204 or 304 Response Ok");
        }
        return take_body(rest);
    }
}

HttpResponseReader::State HttpResponseReader::take_body(std::string_view data) {
    if (chunked_) return take_chunked(data);
    if (has_length_) {
        size_t need = content_length_ - body_len();
        size_t take = data.size() < need ? data.size() : need;
        raw_.append(data.substr(0, take));
        extra_ += data.size() - take;
        if (body_len() == content_length_) return complete("Ok");
        return state_;
    }
    if (raw_.size() + data.size() > max_total_) {
        char buf[100];
        std::snprintf(buf, sizeof buf, "Response longer than %zu bytes", max_total_);
        return fail(buf);
    }
    raw_.append(data);
    return state_;
}

HttpResponseReader::State HttpResponseReader::take_chunked(std::string_view data) {
    size_t i = 0;
    while (i < data.size()) {
        char c = data[i];
        switch (chunk_state_) {
            case Chunk::Size: {
                int v = hex_value(c);
                if (v >= 0) {
                    chunk_left_ = chunk_left_ * 16 + size_t(v);
                    ++chunk_digits_;
                    if (chunk_left_ > max_total_)
                        return fail("Invalid length in chunked HTTP response");
                    ++i;
                    break;
                }
                if (chunk_digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                    chunk_state_ = Chunk::Extension;
                    ++i;
                    break;
                }
                if (chunk_digits_ > 0 && (c == '\r' || c == '\n')) {
                    chunk_state_ = c == '\r' ? Chunk::SizeLf : Chunk::Extension;
                    if (c == '\n') continue;  // handled as the line end below
                    ++i;
                    break;
                }
                char buf[100];
                unsigned b[3] = {0, 0, 0};
                for (size_t k = 0; k < 3 && i + k < data.size(); ++k)
                    b[k] = (unsigned char)data[i + k];
                std::snprintf(buf, sizeof buf,
                              "Invalid character in chunked length field:  %02X %02X %02X", b[0],
                              b[1], b[2]);
                chunk_note_ = buf;
                return fail(buf);
            }
            case Chunk::Extension:
            case Chunk::SizeLf:
                if (c == '\n') {
                    ++i;
                    chunk_digits_ = 0;
                    trailer_line_empty_ = true;
                    chunk_state_ = chunk_left_ == 0 ? Chunk::Trailer : Chunk::Data;
                    break;
                }
                if (chunk_state_ == Chunk::SizeLf)
                    return fail("Invalid length in chunked HTTP response");
                if (++chunk_digits_ > kMaxChunkLine)
                    return fail("Invalid length in chunked HTTP response");
                ++i;
                break;
            case Chunk::Data: {
                size_t take = data.size() - i < chunk_left_ ? data.size() - i : chunk_left_;
                if (raw_.size() + take > max_total_) {
                    char buf[100];
                    std::snprintf(buf, sizeof buf, "Response longer than %zu bytes", max_total_);
                    return fail(buf);
                }
                raw_.append(data.substr(i, take));
                i += take;
                chunk_left_ -= take;
                if (chunk_left_ == 0) chunk_state_ = Chunk::DataCr;
                break;
            }
            case Chunk::DataCr:
            case Chunk::DataLf:
                if (c != (chunk_state_ == Chunk::DataCr ? '\r' : '\n')) {
                    chunk_note_ = "Invalid length in chunked HTTP response";
                    return fail(chunk_note_);
                }
                chunk_state_ = chunk_state_ == Chunk::DataCr ? Chunk::DataLf : Chunk::Size;
                ++i;
                break;
            case Chunk::Trailer:
            case Chunk::TrailerLf:
                ++i;
                if (c == '\n') {
                    if (trailer_line_empty_) {
                        extra_ += data.size() - i;
                        if (data.size() > i)
                            chunk_note_ = "Invalid length in chunked HTTP response";
                        return complete("Chunked response Ok");
                    }
                    trailer_line_empty_ = true;
                    chunk_digits_ = 0;
                    chunk_state_ = Chunk::Trailer;
                } else if (chunk_state_ == Chunk::TrailerLf) {
                    return fail("Invalid length in chunked HTTP response");
                } else if (c == '\r') {
                    chunk_state_ = Chunk::TrailerLf;
                } else {
                    trailer_line_empty_ = false;
                    if (++chunk_digits_ > kMaxChunkLine)
                        return fail("Invalid length in chunked HTTP response");
                }
                break;
        }
    }
    return state_;
}

HttpResponseReader::State HttpResponseReader::finish() {
    if (state_ != State::NeedMore) return state_;
    if (headers_complete() && !has_length_ && !chunked_) return complete("Ok");
    char buf[100];
    std::snprintf(buf, sizeof buf, "Expected %zu bytes, got %zu bytes",
                  header_len_ + (has_length_ ? content_length_ : 0), raw_.size());
    return fail(buf);
}

}  // namespace frame
