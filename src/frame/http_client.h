// Outbound HTTP/1.1 client: every URL the gateway fetches itself (accounting
// callbacks, 2-way command URLs, receipt and MMS posts) goes through
// fetch_url, with RetrieveURL as the positional form the callers know.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "support/tls.h"

namespace frame {

// A connection the caller keeps between fetches (accounting pool, 2-way
// keep-alive). fetch_url tests it for readability before reuse and replaces
// it when the server closed it; the caller closes it by destroying it.
struct KeepAlive {
    platform::Socket socket;
    support::SslSessionPtr tls;  // null for plain HTTP
    std::string endpoint;        // "scheme://host:port[ via proxy]" it was opened for
};

struct UrlFetch {
    std::string url;            // "http://", "https://", "httppost://", "httpspost://" or none
    std::string proxy;          // "host:port" or empty
    std::string extra_headers;  // lines ending in CR LF, sent after the request line
    bool accept_any_status = false;
    unsigned timeout_s = 20;
    KeepAlive* keep_alive = nullptr;  // null: the connection closes after the fetch
};

struct UrlResponse {
    std::string raw;           // status line, headers, blank line, de-chunked body
    std::string content_type;  // empty unless the exchange succeeded
    size_t header_len = 0;
    size_t body_len = 0;
    int status = 0;     // numeric HTTP status, 0 when none was read
    std::string error;  // one-line reason on failure
    std::string_view body() const { return std::string_view(raw).substr(header_len); }
};

// 1 when a response was obtained and accepted, 0 otherwise (error says why).
// The time-out bounds the whole fetch: connecting, TLS, every redirect and
// the reading; the response is capped at HTTPClientMaxResponseKB.
int fetch_url(const UrlFetch& request, UrlResponse& response);

// Size of the content type buffer of RetrieveURL (at most 99 characters).
constexpr size_t kContentTypeSize = 100;
constexpr size_t kMaxUrlLength = 8192;
// Redirects followed before one more is refused.
constexpr unsigned kMaxRedirectDepth = 9;

// The positional form: *response receives a GWmalloc block (NUL-terminated
// raw response) that the caller frees with GWfree, or null on failure.
// keep_socket / keep_tls: the caller's keep-alive connection or null; when
// keep_tls is null a TLS connection is never handed back. content_type
// holds kContentTypeSize bytes; error (when not null) error_size bytes.
int RetrieveURL(const char* url, const char* proxy, const char* extra_headers, char** response,
                char* content_type, size_t* header_len, size_t* body_len, unsigned depth,
                bool accept_any_status, platform::Socket* keep_socket,
                support::SslSessionPtr* keep_tls, unsigned timeout_s, char* error,
                size_t error_size);

// Reads one response from a connected socket (tls null for plain) into a
// GWmalloc block (*buffer). The time-out restarts with every read that
// brings data. Returns the bytes in the block, or 0 on failure (*buffer
// null then).
size_t HttpResponseWait(int fd, support::SslSession* tls, char** buffer, bool head_request,
                        unsigned timeout_s);

// Connects s (opened here, of the address's family) to host:port; a "#n"
// suffix of the host is dropped and a name with several addresses starts
// at one chosen by the clock. 0 when connected, -1 otherwise.
int InetServerConnect(platform::Socket& s, const std::string& host, unsigned port,
                      unsigned timeout_ms = 30000);

// Port of the gateway's own web server ("kelsmslocal"): WebPort, or
// WebPortSSL for TLS (0 when that listener is off).
unsigned own_web_port(bool tls);

}  // namespace frame
