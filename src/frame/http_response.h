// Incremental reader of one HTTP/1.x response: status line, header block,
// a body framed by Content-Length, chunked coding or the peer's close, and
// interim 1xx responses dropped. Shared by the outbound client and the HTTP
// SMSC links; it never touches a socket, so it is fed whatever arrives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace frame {

// Largest header block accepted (a server sending endless headers fails here).
constexpr size_t kMaxResponseHeaderBlock = 64 * 1024;

class HttpResponseReader {
  public:
    enum class State { NeedMore, Complete, Failed };

    // max_total caps header block plus body; is_head: the response has no body.
    explicit HttpResponseReader(size_t max_total, bool is_head = false)
        : max_total_(max_total), head_(is_head) {}

    // Takes the next bytes received. Returns Complete once the response is
    // whole (later bytes are not taken: see extra_bytes()), Failed on bad or
    // oversized input (error() says why).
    State feed(std::string_view data);
    // The peer closed the connection: Complete when the body was framed by
    // the close, Failed otherwise.
    State finish();

    State state() const { return state_; }
    // Status line, headers, blank line and the body (de-chunked).
    const std::string& raw() const { return raw_; }
    std::string take_raw() { return std::move(raw_); }
    size_t header_len() const { return header_len_; }
    size_t body_len() const { return raw_.size() - header_len_; }
    // Digits after "HTTP/" and the first blank; 0 when the line is not HTTP.
    int status() const { return status_; }
    bool headers_complete() const { return header_len_ != 0; }
    bool chunked() const { return chunked_; }
    bool has_content_length() const { return has_length_; }
    size_t content_length() const { return content_length_; }
    // Bytes received in all (raw wire bytes, interim responses included).
    size_t received() const { return received_; }
    // Bytes that arrived after the response was complete (the connection is
    // not clean for another request when this is non-zero).
    size_t extra_bytes() const { return extra_; }
    // What made the response complete ("Chunked response Ok", "Ok", ...) or
    // why it failed.
    const std::string& note() const { return note_; }
    const std::string& error() const { return error_; }
    // Trace lines of the chunk decoder (tag "HttpChunkComplete").
    const std::string& chunk_note() const { return chunk_note_; }
    // Number of interim (1xx) responses dropped.
    unsigned interim_count() const { return interim_; }

  private:
    State fail(std::string why);
    State complete(const char* why);
    bool parse_headers();
    State take_body(std::string_view data);
    State take_chunked(std::string_view data);

    enum class Chunk { Size, Extension, SizeLf, Data, DataCr, DataLf, Trailer, TrailerLf };

    size_t max_total_;
    bool head_;
    State state_ = State::NeedMore;
    std::string raw_;
    size_t header_len_ = 0;
    size_t scan_from_ = 0;  // where the search for the header end resumes
    int status_ = 0;
    bool chunked_ = false;
    bool has_length_ = false;
    size_t content_length_ = 0;
    size_t received_ = 0;
    size_t extra_ = 0;
    unsigned interim_ = 0;
    std::string note_, error_, chunk_note_;

    Chunk chunk_state_ = Chunk::Size;
    size_t chunk_left_ = 0;
    unsigned chunk_digits_ = 0;
    bool trailer_line_empty_ = true;
};

// Value of the first header called name (case-insensitive, without the
// colon) in a header block, blanks around it removed; empty when absent.
std::string response_header(std::string_view header_block, std::string_view name);
// True when the header is present at all.
bool has_response_header(std::string_view header_block, std::string_view name);

}  // namespace frame
