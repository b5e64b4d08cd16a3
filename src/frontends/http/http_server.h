// The gateway's HTTP and HTTPS server: listeners, connection threads,
// request reading and sending, the IP rules, web authentication and the
// dispatch of requests to the handlers that other front ends register.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "frontends/http/http_request.h"
#include "frontends/http/user_cache.h"
#include "platform/files.h"
#include "support/tls.h"

namespace frontends::http {

// Setting keys of this front end that are not in the global table, with
// their defaults.
inline constexpr unsigned kDefaultWebPort = 8800;
inline constexpr unsigned kDefaultModemPort = 8990;
inline constexpr unsigned kDefaultMaxWebConnections = 2000;  // "MaxWebConnections"
inline constexpr unsigned kDefaultIdleTimeoutS = 180;        // "HttpIdleTimeout"
inline constexpr unsigned kDefaultHeaderTimeoutS = 60;       // "HttpHeaderTimeout"
inline constexpr unsigned kDefaultBodyTimeoutS = 300;        // "HttpBodyTimeout"

// One connection and the state of its current request.
struct Connection {
    int fd = -1;
    support::SslSession* tls = nullptr;
    std::string peer;
    uint16_t peer_port = 0;
    bool keep_alive = true;
    bool http11 = true;
    bool browser = false;
    std::string pipeline;  // bytes after the current request
    // The plain socket's receive time-out is a short slice, so a read waits
    // by itself (no poll before each one) and still returns to see the
    // deadlines and shutdown.
    bool timed_receive = false;
    // Web credentials and what authentication learned of the account.
    std::string user, password;
    bool auth_by_params = false;
    std::string account;  // authenticated account name ("" = none)
    std::string web_options;
    bool admin_enabled = false;
    bool receive_enabled = false;
    std::string forced_sender_address;
    UserCacheEntry* user_entry = nullptr;  // not held (the HTTP handler only creates it)
    bool status_counted = false;           // the current answer's status was counted
};

// One complete request.
struct Request {
    std::string bytes;  // request line, headers and (decoded) body
    size_t header_len = 0;
    RequestLine line;
    std::string_view body() const { return std::string_view(bytes).substr(header_len); }
};

// "HTTP/1.1" or "HTTP/1.0" as the request asked, and the matching
// "Connection: ...\r\n" line.
const char* http_version(const Connection& c);
const char* connection_header(const Connection& c);

// --- reading and sending ----------------------------------

enum class ReadResult { Request, Closed, Bad, HeaderTooLarge, BodyTooLarge, TimedOut };
struct ReadTimeouts {
    unsigned idle_ms = kDefaultIdleTimeoutS * 1000;
    unsigned header_ms = kDefaultHeaderTimeoutS * 1000;
    unsigned body_ms = kDefaultBodyTimeoutS * 1000;
};
// Reads one complete request into out (pipelined excess kept in
// c.pipeline; a chunked body decoded). Closed: end of connection, an
// error or the inactivity limit (no answer is due); TimedOut: the header or
// body deadline passed (answered 408).
ReadResult ProcessRead(Connection& c, Request& out, const RequestLimits& limits,
                       const ReadTimeouts& timeouts);

// 1 when every byte was sent.
int SendData(Connection& c, std::string_view bytes);
int SendData(Connection& c, std::string_view header, std::string_view body);
// Header text, then the file from its start in blocks of 16,384 bytes, at
// most length bytes of it. A file that ends before length is sent short and
// answers 0 (the announced length was not met: the connection must end).
int SendAFile(Connection& c, int fd, std::string_view header, uint64_t length = UINT64_MAX);

// Shuts the sending side, drains until the peer closes, shutdown or 5 s,
// then closes the descriptor.
void CloseSocketGracefully(int fd);

// --- IP rules ---------------------------------------------

int IsAddressAllowed(std::string_view address);
// Reload [IPRestrictions] Allowed%u / Blocked%u when the INI differs.
void LoadAllowedList();
void LoadBlockedList();

// --- dispatch ---------------------------------------------

// Rows of the dispatch table that other front ends fill. A handler returns
// true when it answered; a row without a handler (or one that did not
// answer) is answered 404.
enum class Route {
    Health,      // "/health" and "/metrics" (no login)
    Admin,       // "/ADMIN" (closes)
    Provision,   // "/PROVISION" (closes)
    InboundSms,  // "/INBOUNDSMS/"
    Php,         // "/PHP/" when PHPEnable
    Inbox,       // "/INBOX", "/USERACTIVITY", "/LOGFILE" with an account (closes)
    Pap,         // "/PAP", "/PPG"
    DLists,      // "/DLists"
    AddrBook,    // "/AddrBook"
    Submit,      // any path with Phone, PhoneNumber or ReceiptMessageId
    WebMenu,     // any other path when WebMenu
};
using RouteHandler = std::function<bool(Connection&, Request&)>;
// Counts the status of every answer (the first send of each request).
void set_status_counter(void (*count)(int status));
void register_route_handler(Route route, RouteHandler handler);
void clear_route_handlers_for_tests();

// The connection handler: the request loop over one accepted socket (and
// TLS session); closes the socket before it returns.
void handle_connection(int fd, support::SslSessionPtr tls);

// The networked-modem handler behind "ThreadProcessInboundConnection"; it
// owns the socket it is given. Without one, modem connections are closed.
void register_inbound_connection_handler(std::function<void(int fd)> handler);

// Registers the listener threads and the list reloads with the frame.
void register_http_frontend();

// The local-service secret (created with mode 0600 in the private data
// directory at first use).
std::string local_service_secret();

// Content type of a served file name by its extension.
std::string content_type_for(std::string_view file_name);
// A request path made relative: percent escapes decoded, "../" and "..\\"
// removed, "\\" as "/"; "" when it still climbs, is absolute or holds a NUL.
std::string clean_static_path(std::string_view rest);
// That path opened below dir (never through a symlink that leaves dir);
// invalid unless it is a regular file there.
platform::FileHandle open_static_file(const std::string& dir, std::string_view rest);

}  // namespace frontends::http
