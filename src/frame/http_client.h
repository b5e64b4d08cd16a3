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
    int status = 0;            // numeric HTTP status, 0 when none was read
    std::string error;         // one-line reason on failure
    std::string_view body() const { return std::string_view(raw).substr(header_len); }
};

// 1 when a response was obtained and accepted, 0 otherwise (error says why).
int fetch_url(const UrlFetch& request, UrlResponse& response);

}  // namespace frame
