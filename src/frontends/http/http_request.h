// Request reading helpers of the HTTP front end: the completeness test,
// chunked bodies, header and parameter lookup, URL encoding, multipart
// forms, address patterns and the response / string list containers. No
// sockets here, so that tests and fuzz targets drive them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace frontends::http {

// Caps on one request; both are settings ("MaxHttpHeaderSize",
// "MaxHttpBodySize") with these defaults.
inline constexpr size_t kDefaultMaxHeaderBytes = 64 * 1024;
inline constexpr size_t kDefaultMaxBodyBytes = 16 * 1024 * 1024;

struct RequestLimits {
    size_t max_header = kDefaultMaxHeaderBytes;
    size_t max_body = kDefaultMaxBodyBytes;
};

enum class RequestState {
    Incomplete,
    Complete,
    HeaderTooLarge,  // 431
    BodyTooLarge,    // 413
    Bad,             // 400: smuggling or an unusable Content-Length
};

struct Completeness {
    RequestState state = RequestState::Incomplete;
    size_t header_len = 0;   // bytes up to and including the empty line
    size_t request_len = 0;  // bytes of this request (the rest is pipelined)
    bool chunked = false;
};

// Length of the header block (through the LF of its empty line, which is
// "LF CR LF" or "LF LF"), 0 while it has not ended.
size_t header_block_length(std::string_view buf);

// Where the walk over a growing chunked body got to, so that each read
// only walks the new chunks (one per request being read).
struct ChunkProgress {
    size_t pos = 0;
    uint64_t total = 0;
};

// The request completeness test over the bytes held so far.
Completeness check_request(std::string_view buf, const RequestLimits& limits = {},
                           ChunkProgress* progress = nullptr);

// Walks the chunked body after header_len. Returns true when the body is
// complete (or broken: a broken body is handled with the bytes received);
// *end receives the length of the request including the body. *too_large
// is set when the chunk sizes add up to more than max_body.
bool HttpChunkComplete(std::string_view buf, size_t header_len, size_t* end,
                       size_t max_body = kDefaultMaxBodyBytes, bool* too_large = nullptr,
                       ChunkProgress* progress = nullptr);
// Decodes the chunked body in place; buf is cut to header + data. Returns
// the new length.
size_t HttpChunkStrip(std::string& buf, size_t header_len);

// --- header lookup ----------------------------------------

// Value of the header "name" (given without the colon), found only at line
// starts of the header block, case-insensitively; leading blanks skipped, the
// value ends at the first control character and is cut to size - 1.
std::optional<std::string> GetHeader(std::string_view request, std::string_view name,
                                     size_t size = 1024);
// Every value of a repeated header, in order.
std::vector<std::string> GetHeaderValues(std::string_view request, std::string_view name);
// Basic credentials of Authorization: (each cut to 250 characters).
struct BasicCredentials {
    std::string user, password;
};
std::optional<BasicCredentials> GetAuthorizationBasic(std::string_view request);
std::string GetUserAgent(std::string_view request);  // 100 characters
std::string GetHost(std::string_view request);       // 100 characters, ends at a blank
std::string GetAccept(std::string_view request);

// Request line: method, path, protocol. False when it is not
// "METHOD SP path SP HTTP/x.y" or a header line has no colon.
struct RequestLine {
    std::string method, path, protocol;
};
bool parse_request_head(std::string_view request, RequestLine& line);

// --- parameters -------------------------------------------

// The value of "name=" in the request line (after start, "/", "\", "?" or
// "&"), else in the body (after start, "?" or "&"); %XX and "+" decoded,
// cut to size - 1, a decoded NUL ends it; trailing bytes <= 32 removed
// unless keep_trailing (Text / Data with RemoveTrailingSpaces off).
bool GetRequestParameter(std::string_view request, std::string_view name, std::string& value,
                         size_t size);
bool GetNthRequestParameter(std::string_view request, std::string_view name, unsigned n,
                            std::string& value, size_t size);
// Name of the n-th (1-based) parameter whose name starts with prefix.
bool FindParameterNameByPrefix(std::string_view request, std::string_view prefix, unsigned n,
                               std::string& name, size_t size);

// --- encoding ---------------------------------------------

std::string url_encode(std::string_view value);
// Replaces every occurrence of token (any case) in text with the URL-encoded
// value; the result is cut to size - 1.
void UrlEncodeReplace(std::string& text, std::string_view token, std::string_view value,
                      size_t size);
// "&", "<", ">", '"' and "'" as entities, for values echoed in pages.
std::string html_escape(std::string_view text);
// %XX decoded (a lone "%" stays), "+" kept.
std::string percent_decode(std::string_view text);

// --- multipart forms --------------------------------------

// An uploaded file's name reduced to something safe in one directory: the
// last path component, no control characters, no leading dots; "upload"
// when nothing is left.
std::string safe_upload_name(std::string_view client_name);
// Writes every file part into temp_dir under a unique name ending in the
// safe base name, then replaces the body by "name=value&" pairs (the stored
// name for file parts). Returns false when the request has no usable
// boundary (the request is left alone).
bool ParseMultipart(std::string& request, const std::string& temp_dir);

// --- address patterns -------------------------------------

// Up to four dot-separated parts, each 0-255 or "*"; a missing part is 0;
// an invalid pattern matches nothing.
bool address_matches(std::string_view pattern, std::string_view address);
// A RestrictIPAddress list: patterns separated by "," or ";".
bool address_list_matches(std::string_view list, std::string_view address);
// The allow / block rule over given lists.
bool address_allowed_by(std::string_view address, const std::vector<std::string>& allowed,
                        const std::vector<std::string>& blocked);

// --- containers -------------------------------------------

// A response body under construction.
struct ResponseBuffer {
    std::string bytes;
};
void append(ResponseBuffer& r, std::string_view text);
void appendf(ResponseBuffer& r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Recipient lists, routes, charges and results.
struct StringList {
    std::vector<std::string> items;
    size_t total_length = 0;
};
void add(StringList& l, std::string_view s);
size_t count(const StringList& l);
std::string_view item(const StringList& l, size_t index);  // "" past the end

}  // namespace frontends::http
