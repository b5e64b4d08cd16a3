// The HTTP and HTTPS server: listener threads, one thread per connection,
// request reading, the IP rules, web authentication and the dispatch table.
#include "frontends/http/http_server.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "frontends/http/http_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace frontends::http {

namespace {

constexpr unsigned kAcceptWaitMs = 15000;
constexpr unsigned kPollSliceMs = 250;
constexpr unsigned kRetryMs = 5000;
constexpr unsigned kReadWaitMs = 10000;
constexpr unsigned kSendTimeoutMs = 30000;
constexpr unsigned kGracefulCloseMs = 5000;
constexpr unsigned kTlsHandshakeMs = 10000;
constexpr size_t kFileBlock = 16384;
constexpr size_t kRecvBlock = 16384;
constexpr int kBacklog = 100;
constexpr size_t kLocalAddressMax = 100;
constexpr size_t kPatternSize = 151;
constexpr size_t kPathTraceMax = 1024;
constexpr size_t kAttachPathMax = 1024;
constexpr size_t kIncompleteTraceMax = 2048;
constexpr size_t kCredentialSize = 251;
// Authentication back-off: the delay grows by a second per failure from one
// address up to this bound, and only this many threads wait at once (the
// others answer at once and close), so a flood cannot park every thread.
constexpr unsigned kMaxAuthDelayS = 10;
constexpr int kMaxAuthSleepers = 32;
constexpr size_t kMaxBackoffAddresses = 10000;
constexpr const char* kLocalServiceUser = "localsystem";
constexpr const char* kLocalSecretFile = "LOCALSYSTEM.KEY";

// --- settings ---------------------------------------------

unsigned web_port() {
    unsigned p = frame::ini_number("WebPort", kDefaultWebPort);
    return p == 0 || p > 65535 ? kDefaultWebPort : p;
}

unsigned web_port_ssl() {
    unsigned p = frame::ini_number("WebPortSSL", 0);
    return p > 65535 ? 0 : p;
}

unsigned modem_port() {
    unsigned p = frame::ini_number("KelsmsModemPort", kDefaultModemPort);
    return p == 0 || p > 65535 ? kDefaultModemPort : p;
}

unsigned number_or(std::string_view key, unsigned def) {
    std::string v = frame::ini_string(key);
    if (platform::trim(v).empty()) return def;
    return frame::parse_number(v);
}

std::string mmsc_host_name() {
    return support::MMSCIniGetProfileString("MMSC", "HostName", "", 256);
}

// --- shared state -----------------------------------------

HttpState& st() {
    return http_state();
}

void track_fd(int fd) {
    std::lock_guard<std::mutex> l(st().open.lock);
    st().open.fds.insert(fd);
}

void untrack_fd(int fd) {
    std::lock_guard<std::mutex> l(st().open.lock);
    st().open.fds.erase(fd);
}

void wake_open_connections() {
    std::lock_guard<std::mutex> l(st().open.lock);
    for (int fd : st().open.fds) platform::shutdown_socket(fd);
}

// The answer status counter of the metrics (none until one is set).
std::atomic<void (*)(int)>& status_counter() {
    static std::atomic<void (*)(int)> counter{nullptr};
    return counter;
}

RouteHandler route_handler(Route r) {
    std::lock_guard<std::mutex> l(st().routes.lock);
    auto it = st().routes.handlers.find(r);
    return it == st().routes.handlers.end() ? RouteHandler{} : it->second;
}

// The request settings, read again when older than a second.
constexpr uint64_t kSettingsMaxAgeMs = 1000;

std::shared_ptr<const HttpState::RequestSettings> request_settings() {
    HttpState::Settings& cache = st().settings;
    uint64_t now = platform::monotonic_ms();
    {
        std::lock_guard<std::mutex> l(cache.lock);
        if (cache.value && now - cache.value->read_ms < kSettingsMaxAgeMs) return cache.value;
    }
    auto fresh = std::make_shared<HttpState::RequestSettings>();
    fresh->web_port_ssl = web_port_ssl();
    fresh->web_auth = frame::ini_bool("WebAuth", true);
    fresh->web_menu = frame::ini_bool("WebMenu", true);
    fresh->php_enable = frame::ini_bool("PHPEnable", false);
    fresh->attach_dir = frame::sms_in_attachment_dir();
    fresh->attach_dir_fd = platform::open_directory(fresh->attach_dir);
    fresh->read_ms = now;
    std::lock_guard<std::mutex> l(cache.lock);
    cache.value = fresh;
    return fresh;
}

// --- small helpers ----------------------------------------

uint64_t now_ms() {
    return platform::monotonic_ms();
}

// The per-request trace lines are built only when someone reads them.
bool tracing() {
    return platform::trace_active() && frame::debug_on();
}

std::vector<std::string> local_addresses() {
    return platform::local_ipv4_addresses(kLocalAddressMax);
}

bool is_local_address(const std::string& addr) {
    if (addr == "127.0.0.1") return true;
    for (const std::string& a : local_addresses()) {
        if (a == addr) return true;
    }
    return false;
}

// IPAddress binds the listeners only when it is one of the host's own.
std::string bind_address() {
    std::string want = std::string(platform::trim(frame::ini_string("IPAddress", "", 100)));
    if (want.empty()) return "";
    for (const std::string& a : local_addresses()) {
        if (a == want) return want;
    }
    return "";
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

std::string pattern_key(const char* fmt, unsigned i) {
    return platform::strprintf(fmt, i);
}

PatternList read_patterns(const char* fmt) {
    PatternList out;
    for (unsigned i = 1;; ++i) {
        std::string v = support::SMSIniGetProfileString("IPRestrictions", pattern_key(fmt, i), "",
                                                        kPatternSize);
        if (v.empty()) break;
        out.push_back(std::move(v));
    }
    return out;
}

void reload_list(const char* fmt, std::shared_ptr<const PatternList>& slot, const char* tag) {
    PatternList fresh = read_patterns(fmt);
    std::lock_guard<std::mutex> l(st().lists.lock);
    if (*slot == fresh) return;
    platform::trace(tag, "Reload");
    slot = std::make_shared<const PatternList>(std::move(fresh));
}

// --- sockets ----------------------------------------------

// A plain IPv4 listening socket (-1 on failure, traced with the call that failed).
int open_listener(const std::string& address, unsigned port, const char* tag,
                  const char* open_error) {
    platform::Socket s = platform::tcp_socket(AF_INET);
    if (!s) {
        platform::trace(tag, open_error);
        return -1;
    }
    if (!platform::bind_local(s.fd(), AF_INET, address, port)) {
        platform::tracef(tag, "Error %lu from socket bind", static_cast<unsigned long>(errno));
        return -1;
    }
    if (!platform::listen_on(s.fd(), kBacklog)) {
        platform::tracef(tag, "Error %lu from socket listen", static_cast<unsigned long>(errno));
        return -1;
    }
    // A connection reset between the poll and the accept must not block
    // the listener thread.
    platform::set_nonblocking(s.fd(), true);
    return s.release();
}

void set_timeouts(int fd) {
    platform::set_socket_timeouts(fd, kReadWaitMs, kSendTimeoutMs);
}

std::string peer_of(int fd, uint16_t* port) {
    return platform::peer_address(fd, port);
}

// Waits for readability in short slices so that shutdown is seen quickly.
// >0 readable, 0 time-out or shutdown, <0 error.
int wait_readable_unless_shutdown(int fd, unsigned timeout_ms) {
    uint64_t end = now_ms() + timeout_ms;
    while (!frame::shutdown_requested()) {
        uint64_t now = now_ms();
        if (now >= end) return 0;
        unsigned slice = static_cast<unsigned>(std::min<uint64_t>(kPollSliceMs, end - now));
        int r = platform::wait_readable(fd, slice);
        if (r != 0) return r;
    }
    return 0;
}

// --- pages ------------------------------------------------

std::string forbidden_page(const Connection& c, std::string_view line) {
    std::string body = "<HTML><HEAD><TITLE>\r\nConnection not allowed\r\n</TITLE></HEAD><BODY>\r\n";
    body += line;
    body += "</BODY></HTML>\r\n";
    return platform::strprintf("%s 403 Forbidden\r\n%s", http_version(c), connection_header(c)) +
           "Content-Type: text/html\r\n" +
           platform::strprintf("Content-Length: %u\r\n\r\n", static_cast<unsigned>(body.size())) +
           body;
}

// Answers for requests that cannot be read; the connection closes after.
std::string error_page(const Connection& c, const char* status, const char* text) {
    std::string body = platform::strprintf(
        "<HTML><HEAD><TITLE>%s</TITLE></HEAD><BODY>%s</BODY></HTML>\r\n", status, text);
    return platform::strprintf(
               "%s %s\r\nConnection: close\r\nContent-Type: text/html\r\nContent-Length: "
               "%u\r\n\r\n",
               http_version(c), status, static_cast<unsigned>(body.size())) +
           body;
}

std::string not_found(const Connection& c) {
    return platform::strprintf("%s 404 Not Found\r\n%sContent-Length: 0\r\n\r\n", http_version(c),
                               connection_header(c));
}

std::string unknown_request_page(const Connection& c) {
    std::string body =
        "<HTML><HEAD><TITLE>\r\nUnknown request\r\n</TITLE></HEAD><BODY><H1>\r\nError:  No valid "
        "parameters specified, menu not enabled\r\n</H1>\r\n\r\n</BODY></HTML>\r\n";
    return platform::strprintf("%s %s\r\n%sContent-Type: text/html\r\n%s\r\n", http_version(c),
                               c.browser ? "200 OK" : "400 Bad Request", connection_header(c),
                               "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache") +
           platform::strprintf("Content-Length: %u\r\n\r\n", static_cast<unsigned>(body.size())) +
           body;
}

std::string auth_failed_page(const Connection& c) {
    std::string body =
        "<HTML>\r\n<HEAD>\r\n<TITLE>Authorization failed</TITLE>\r\n</HEAD>\r\n<BODY>\r\n<PRE>\r\n"
        "Invalid username and password, or your web browser does not support "
        "authentication.\r\n</PRE>\r\n</BODY>\r\n</HTML>\r\n";
    bool menu = request_settings()->web_menu;
    std::string out = platform::strprintf("%s %s\r\n%s", http_version(c),
                                          menu ? "401 Authorization Required" : "403 Forbidden",
                                          connection_header(c));
    if (!c.auth_by_params) {
        std::string realm = mmsc_host_name();
        if (realm.empty()) realm = frame::kProductName;
        // The realm comes from configuration; keep it to one quoted token.
        std::string safe;
        for (char ch : realm) {
            if (ch != '"' && ch != '\\' && static_cast<unsigned char>(ch) >= 0x20)
                safe.push_back(ch);
        }
        out += "WWW-Authenticate: Basic realm=\"" + safe + "\"\r\n";
    }
    out += "Content-Type: text/html\r\n";
    out += platform::strprintf("Content-Length: %u\r\n\r\n", static_cast<unsigned>(body.size()));
    return out + body;
}

// A Host value fit for a Location header: host name characters only.
std::string host_without_port(std::string_view host) {
    std::string h(host);
    if (!h.empty() && h[0] == '[') {
        size_t e = h.find(']');
        h = e == std::string::npos ? "" : h.substr(0, e + 1);
    } else {
        size_t colon = h.find(':');
        if (colon != std::string::npos) h.resize(colon);
    }
    for (char ch : h) {
        if (!std::isalnum(static_cast<unsigned char>(ch)) &&
            (ch == 0 || !std::strchr(".-_[]:", ch)))
            return "";
    }
    return h;
}

// The whole Host value (port included) when it is fit for a Location header.
std::string safe_host(std::string_view host) {
    for (char ch : host) {
        if (!std::isalnum(static_cast<unsigned char>(ch)) &&
            (ch == 0 || !std::strchr(".-_[]:", ch))) {
            return "";
        }
    }
    return std::string(host);
}

std::string redirect_to_tls(const Connection& c, std::string_view host, const char* path) {
    unsigned port = request_settings()->web_port_ssl;
    std::string out =
        platform::strprintf("%s 302 Redirect\r\n%sContent-length: 0\r\nLocation: https://",
                            http_version(c), connection_header(c));
    out += host_without_port(host);
    if (port != 443) out += platform::strprintf(":%u", port);
    out += path;
    out += "\r\n\r\n";
    return out;
}

// --- authentication ---------------------------------------

const std::string& dummy_hash() {
    static const std::string h = support::hash_account_password("not-an-account-password");
    return h;
}

// False when the delay was skipped because too many threads already wait
// (the caller then ends the connection).
bool auth_backoff(const std::string& peer) {
    unsigned count;
    {
        std::lock_guard<std::mutex> l(st().backoff.lock);
        auto& failures = st().backoff.failures;
        if (failures.size() >= kMaxBackoffAddresses) failures.clear();
        count = ++failures[peer];
    }
    if (st().auth_sleepers.fetch_add(1) >= kMaxAuthSleepers) {
        st().auth_sleepers.fetch_sub(1);
        return false;
    }
    frame::sleep_unless_shutdown(std::min(count, kMaxAuthDelayS) * 1000);
    st().auth_sleepers.fetch_sub(1);
    return true;
}

void auth_reset(const std::string& peer) {
    std::lock_guard<std::mutex> l(st().backoff.lock);
    st().backoff.failures.erase(peer);
}

bool authenticate(Connection& c, const Request& r) {
    c.user.clear();
    c.password.clear();
    c.auth_by_params = false;
    c.account.clear();
    std::optional<BasicCredentials> basic = GetAuthorizationBasic(r.bytes);
    if (basic && (!basic->user.empty() || !basic->password.empty())) {
        c.user = basic->user;
        c.password = basic->password;
    } else {
        // Only credentials actually given as parameters do without the
        // challenge: a browser that sent none must be asked for them.
        bool user = GetRequestParameter(r.bytes, "User", c.user, kCredentialSize);
        bool password = GetRequestParameter(r.bytes, "Password", c.password, kCredentialSize);
        c.auth_by_params = user || password;
    }
    if (!request_settings()->web_auth) {
        c.user.clear();
        c.password.clear();
        return true;
    }
    if (platform::iequals(c.user, kLocalServiceUser)) {
        if (is_local_address(c.peer) && constant_time_equal(c.password, local_service_secret())) {
            c.account = kLocalServiceUser;
            return true;
        }
        return false;
    }
    if (c.user.empty()) return false;
    UserCacheEntry* entry = take_user_entry(c.user);
    release_user_entry(entry);
    support::UserRecord rec;
    bool found = cached_user_record(*entry, rec);
    // An unknown account costs the same hash check as a wrong password.
    bool password_ok =
        support::verify_account_password(found ? rec.password_hash : dummy_hash(), c.password);
    if (!found || !password_ok || !rec.enable_web_login) return false;
    if (!platform::trim(rec.restrict_ip_address).empty() &&
        !address_list_matches(rec.restrict_ip_address, c.peer)) {
        return false;
    }
    c.account = rec.name;
    c.web_options = rec.web_options;
    c.admin_enabled = rec.admin_enabled;
    c.receive_enabled = rec.receive_enabled;
    c.forced_sender_address = rec.forced_sender_address;
    return true;
}

// --- static files -----------------------------------------

std::string extension_of(std::string_view name) {
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return "";
    return std::string(name.substr(dot));
}

bool send_attachment(Connection& c, const Request& r) {
    std::string_view rest = std::string_view(r.line.path).substr(std::strlen("/SMSAttachFile/"));
    if (rest.size() > kAttachPathMax) rest = rest.substr(0, kAttachPathMax);
    size_t q = rest.find('?');
    if (q != std::string_view::npos) rest = rest.substr(0, q);
    std::shared_ptr<const HttpState::RequestSettings> set = request_settings();
    std::string rel = clean_static_path(rest);
    platform::FileHandle h;
    platform::FileInfo info;
    if (!rel.empty() && set->attach_dir_fd)
        h = platform::open_beneath(set->attach_dir_fd.fd(), set->attach_dir, rel, &info);
    if (!h) return SendData(c, not_found(c));
    std::string header = platform::strprintf(
        "%s 200 OK\r\n%sContent-Type: %s\r\nContent-Length: %u\r\n\r\n", http_version(c),
        connection_header(c), content_type_for(rel).c_str(), static_cast<unsigned>(info.size));
    // The length sent is the one announced, whatever the file does meanwhile.
    return SendAFile(c, h.fd(), header, info.size);
}

// --- dispatch ---------------------------------------------

bool call_route(Route route, Connection& c, Request& r) {
    RouteHandler h = route_handler(route);
    if (h && h(c, r)) return true;
    return SendData(c, not_found(c));
}

bool has_param(const Request& r, std::string_view name) {
    std::string v;
    return GetRequestParameter(r.bytes, name, v, 2);
}

bool dispatch_authenticated(Connection& c, Request& r);

// One request; false when the connection must end.
bool process_request(Connection& c, Request& r) {
    const std::string& path = r.line.path;
    c.keep_alive = frame::settings().enable_keep_alive;
    c.http11 = platform::istarts_with(r.line.protocol, "HTTP/1.1");
    if (!c.http11) c.keep_alive = false;
    std::optional<std::string> conn = GetHeader(r.bytes, "Connection", 64);
    if (conn && platform::iequals(platform::trim(*conn), "close")) c.keep_alive = false;

    std::string host = GetHost(r.bytes);
    std::shared_ptr<const HttpState::RequestSettings> set = request_settings();
    if (!c.tls && st().tls_usable.load() && set->web_port_ssl != 0) {
        if (platform::istarts_with(path, "/ADMIN") && !host.empty()) {
            return SendData(c, redirect_to_tls(c, host, "/ADMIN")) && c.keep_alive;
        }
        if (frame::settings().ssl_redirect) {
            if (!host.empty()) return SendData(c, redirect_to_tls(c, host, "/")) && c.keep_alive;
            return SendData(c, forbidden_page(
                                   c, "ERROR:  SSL must be used to access this server\r\n")) &&
                   c.keep_alive;
        }
    }
    c.browser = GetUserAgent(r.bytes).find("Mozilla") != std::string::npos;
    if (!IsAddressAllowed(c.peer)) {
        platform::tracef("ProcessConnection", "Connection not allowed from %s...\n",
                         c.peer.c_str());
        return SendData(c, forbidden_page(
                               c, platform::strprintf("ERROR:  Connection not allowed from %s.\r\n",
                                                      c.peer.c_str()))) &&
               c.keep_alive;
    }

    bool ok;
    std::string_view bare = std::string_view(path).substr(0, path.find('?'));
    if (bare == "/health" || bare == "/metrics") {
        ok = call_route(Route::Health, c, r);
    } else if (platform::istarts_with(path, "/ADMIN")) {
        c.keep_alive = false;
        ok = call_route(Route::Admin, c, r);
    } else if (platform::istarts_with(path, "/PROVISION")) {
        c.keep_alive = false;
        ok = call_route(Route::Provision, c, r);
    } else if (platform::istarts_with(path, "/INBOUNDSMS/")) {
        ok = call_route(Route::InboundSms, c, r);
    } else if (platform::istarts_with(path, "/PHP/") && set->php_enable) {
        ok = call_route(Route::Php, c, r);
    } else if (platform::istarts_with(path, "/SMSAttachFile/")) {
        ok = send_attachment(c, r);
    } else if (!authenticate(c, r)) {
        if (!c.user.empty() && !auth_backoff(c.peer)) c.keep_alive = false;
        ok = SendData(c, auth_failed_page(c));
    } else {
        auth_reset(c.peer);
        ok = dispatch_authenticated(c, r);
    }
    return ok && c.keep_alive;
}

// Rows 7 to 13, after authentication passed.
bool dispatch_authenticated(Connection& c, Request& r) {
    const std::string& path = r.line.path;
    for (const char* p : {"/INBOX", "/USERACTIVITY", "/LOGFILE"}) {
        if (!platform::istarts_with(path, p)) continue;
        c.keep_alive = false;
        if (!c.account.empty()) return call_route(Route::Inbox, c, r);
        const char* to = p[1] == 'I'   ? "/ADMIN/INBOX"
                         : p[1] == 'U' ? "/ADMIN/ACTIVITY"
                                       : "/ADMIN/LOGFILES";
        return SendData(
            c, platform::strprintf(
                   "%s 302 Redirect\r\n%sContent-length: 0\r\nLocation: http://%s%s\r\n\r\n",
                   http_version(c), connection_header(c), safe_host(GetHost(r.bytes)).c_str(), to));
    }
    if (!c.account.empty()) {
        c.user_entry = take_user_entry(c.account);
        release_user_entry(c.user_entry);
    } else if (frame::settings().separate_user_queues) {
        c.user_entry = take_user_entry(kSystemEntryName);
        release_user_entry(c.user_entry);
    }
    if (tracing())
        platform::tracef("ProcessConnection", "Processing request %s",
                         path.substr(0, kPathTraceMax).c_str());
    if (platform::istarts_with(path, "/PAP") || platform::istarts_with(path, "/PPG")) {
        return call_route(Route::Pap, c, r);
    }
    if (platform::istarts_with(path, "/DLists")) return call_route(Route::DLists, c, r);
    if (platform::istarts_with(path, "/AddrBook")) return call_route(Route::AddrBook, c, r);
    if (r.bytes.find("multipart/form-data") != std::string::npos ||
        r.bytes.find("multipart\\form-data") != std::string::npos) {
        ParseMultipart(r.bytes, support::GetPrivateDataDirectory() + "TEMP/");
    }
    if (has_param(r, "Phone") || has_param(r, "PhoneNumber") || has_param(r, "ReceiptMessageId")) {
        return call_route(Route::Submit, c, r);
    }
    if (request_settings()->web_menu) return call_route(Route::WebMenu, c, r);
    return SendData(c, unknown_request_page(c));
}

}  // namespace

// --- public: versions -------------------------------------

const char* http_version(const Connection& c) {
    return c.http11 ? "HTTP/1.1" : "HTTP/1.0";
}

const char* connection_header(const Connection& c) {
    return c.keep_alive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
}

// --- reading ----------------------------------------------

ReadResult ProcessRead(Connection& c, Request& out, const RequestLimits& limits,
                       const ReadTimeouts& timeouts) {
    std::string buf;
    if (!c.pipeline.empty()) {
        if (tracing())
            platform::tracef("ProcessRead", "%u bytes read from HTTP proxy socket pipeline",
                             static_cast<unsigned>(c.pipeline.size()));
        buf.swap(c.pipeline);
        c.pipeline.clear();
    }
    uint64_t start = now_ms();
    uint64_t last_byte = start;
    uint64_t header_done = 0;
    Completeness comp;
    ChunkProgress progress;
    char block[kRecvBlock];
    while (!frame::shutdown_requested()) {
        // Blanks and line ends left between pipelined requests.
        size_t lead = 0;
        while (lead < buf.size() && static_cast<unsigned char>(buf[lead]) < '!') ++lead;
        if (lead) buf.erase(0, lead);
        comp = check_request(buf, limits, &progress);
        if (comp.state == RequestState::Complete) break;
        if (comp.state == RequestState::Bad) return ReadResult::Bad;
        if (comp.state == RequestState::HeaderTooLarge) return ReadResult::HeaderTooLarge;
        if (comp.state == RequestState::BodyTooLarge) return ReadResult::BodyTooLarge;
        uint64_t now = now_ms();
        if (comp.header_len && !header_done) header_done = now;
        if (now - last_byte >= timeouts.idle_ms) break;
        if (!buf.empty() && !header_done && now - start >= timeouts.header_ms)
            return ReadResult::TimedOut;
        if (header_done && now - header_done >= timeouts.body_ms) return ReadResult::TimedOut;

        bool pending = c.tls ? support::sslDataPending(c.tls) : c.timed_receive;
        if (!pending) {
            unsigned wait = static_cast<unsigned>(std::min<uint64_t>(kReadWaitMs, kPollSliceMs));
            int r = wait_readable_unless_shutdown(c.fd, wait);
            if (r < 0) {
                platform::tracef("ProcessRead", "Error %lu from Winsock:select",
                                 static_cast<unsigned long>(errno));
                break;
            }
            if (r == 0) continue;
        }
        long n;
        if (c.tls) {
            n = support::sslRecv(c.tls, block, sizeof block);
        } else {
            n = platform::recv_once(c.fd, block, sizeof block);
        }
        if (n == 0) {
            platform::trace("ProcessRead", "End of socket");
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            platform::tracef("ProcessRead", "Error %lu from Winsock:recv",
                             static_cast<unsigned long>(errno));
            break;
        }
        buf.append(block, static_cast<size_t>(n));
        last_byte = now_ms();
    }
    if (comp.state != RequestState::Complete) {
        if (!buf.empty()) {
            platform::tracef("ProcessRead", "Received %u bytes - incomplete HTTP request",
                             static_cast<unsigned>(buf.size()));
            platform::trace("ProcessRead", std::string_view(buf).substr(0, kIncompleteTraceMax));
        }
        return ReadResult::Closed;
    }
    if (buf.size() > comp.request_len) {
        c.pipeline = buf.substr(comp.request_len);
        buf.resize(comp.request_len);
        if (tracing())
            platform::tracef("ProcessRead", "%u bytes written to HTTP proxy socket pipeline",
                             static_cast<unsigned>(c.pipeline.size()));
    }
    if (comp.chunked) HttpChunkStrip(buf, comp.header_len);
    out.bytes.swap(buf);
    out.header_len = comp.header_len;
    if (!parse_request_head(out.bytes, out.line)) return ReadResult::Bad;
    return ReadResult::Request;
}

// --- sending ----------------------------------------------

int SendData(Connection& c, std::string_view bytes) {
    if (!c.status_counted && bytes.size() >= 12 && bytes.substr(0, 7) == "HTTP/1.") {
        c.status_counted = true;
        if (auto count = status_counter().load()) {
            int code = 0;
            for (size_t i = 9; i < 12 && bytes[i] >= '0' && bytes[i] <= '9'; ++i)
                code = code * 10 + (bytes[i] - '0');
            count(code);
        }
    }
    if (c.tls) {
        if (bytes.empty()) return 1;
        if (support::sslSend(c.tls, bytes.data(), bytes.size()) ==
            static_cast<long>(bytes.size())) {
            return 1;
        }
        platform::tracef("SendData", "Error on send data %u", static_cast<unsigned>(errno));
        return 0;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        long n = platform::send_once(c.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            platform::tracef("SendData", "Error on send data %u", static_cast<unsigned>(errno));
            return 0;
        }
        done += static_cast<size_t>(n);
        if (done < bytes.size()) {
            platform::tracef("SendData", "Debug:  Sent %u bytes of %u total",
                             static_cast<unsigned>(done), static_cast<unsigned>(bytes.size()));
        }
    }
    return 1;
}

int SendData(Connection& c, std::string_view header, std::string_view body) {
    std::string all;
    all.reserve(header.size() + body.size());
    all.append(header);
    all.append(body);
    return SendData(c, all);
}

int SendAFile(Connection& c, int fd, std::string_view header, uint64_t length) {
    // Positional reads: the file is sent from its start without a seek.
    std::string block(header);
    size_t head = block.size();
    // Only as much room as the file needs (a small file costs no 16 KiB fill).
    block.resize(head + static_cast<size_t>(std::min<uint64_t>(kFileBlock, length)));
    size_t fill = head;
    uint64_t left = length;
    uint64_t offset = 0;
    while (true) {
        long n = 0;
        if (left > 0) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(kFileBlock, left));
            n = platform::pread_some_fd(fd, block.data() + fill, want, offset);
            if (n < 0) {
                platform::tracef("SendAFile", "Error %08X (%u) sending response",
                                 static_cast<unsigned>(errno), static_cast<unsigned>(errno));
                return 0;
            }
            left -= static_cast<uint64_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        fill += static_cast<size_t>(n);
        if (fill > 0 && !SendData(c, std::string_view(block.data(), fill))) {
            platform::tracef("SendAFile", "Error %08X (%u) sending response",
                             static_cast<unsigned>(errno), static_cast<unsigned>(errno));
            return 0;
        }
        if (left == 0) return 1;
        if (n == 0) {
            if (length == UINT64_MAX) return 1;
            // The file shrank after its length was announced.
            platform::tracef("SendAFile", "File ended %llu bytes short of its length",
                             static_cast<unsigned long long>(left));
            return 0;
        }
        fill = 0;
        block.resize(kFileBlock);
    }
}

void CloseSocketGracefully(int fd) {
    if (fd < 0) return;
    platform::shutdown_send(fd);
    uint64_t end = now_ms() + kGracefulCloseMs;
    char sink[4096];
    while (!frame::shutdown_requested() && now_ms() < end) {
        int r =
            wait_readable_unless_shutdown(fd, static_cast<unsigned>(end - std::min(end, now_ms())));
        if (r <= 0) break;
        long n = platform::recv_nowait(fd, sink, sizeof sink);
        if (n == 0) break;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    }
    platform::close_socket(fd);
}

// --- IP rules ---------------------------------------------

int IsAddressAllowed(std::string_view address) {
    std::shared_ptr<const PatternList> allowed, blocked;
    {
        std::lock_guard<std::mutex> l(st().lists.lock);
        allowed = st().lists.allowed;
        blocked = st().lists.blocked;
    }
    return address_allowed_by(address, *allowed, *blocked) ? 1 : 0;
}

void LoadAllowedList() {
    reload_list("Allowed%u", st().lists.allowed, "LoadAllowedList");
}

void LoadBlockedList() {
    reload_list("Blocked%u", st().lists.blocked, "LoadBlockedList");
}

// --- registration -----------------------------------------

void register_route_handler(Route route, RouteHandler handler) {
    std::lock_guard<std::mutex> l(st().routes.lock);
    st().routes.handlers[route] = std::move(handler);
}

void set_status_counter(void (*count)(int status)) {
    status_counter().store(count);
}

void clear_route_handlers_for_tests() {
    std::lock_guard<std::mutex> l(st().routes.lock);
    st().routes.handlers.clear();
}

// --- the connection handler -------------------------------

void handle_connection(int fd, support::SslSessionPtr tls) {
    Connection c;
    c.fd = fd;
    c.tls = tls.get();
    c.peer = peer_of(fd, &c.peer_port);
    if (!tls) c.timed_receive = platform::set_socket_timeouts(fd, kPollSliceMs, kSendTimeoutMs);
    if (tracing())
        platform::tracef("ProcessConnection", "Processing connection from %s:%u...", c.peer.c_str(),
                         static_cast<unsigned>(c.peer_port));
    RequestLimits limits;
    limits.max_header = number_or("MaxHttpHeaderSize", kDefaultMaxHeaderBytes);
    limits.max_body = number_or("MaxHttpBodySize", kDefaultMaxBodyBytes);
    ReadTimeouts t;
    t.idle_ms = number_or("HttpIdleTimeout", kDefaultIdleTimeoutS) * 1000;
    t.header_ms = number_or("HttpHeaderTimeout", kDefaultHeaderTimeoutS) * 1000;
    t.body_ms = number_or("HttpBodyTimeout", kDefaultBodyTimeoutS) * 1000;
    bool more = true;
    while (more && !frame::shutdown_requested()) {
        Request r;
        ReadResult res = ProcessRead(c, r, limits, t);
        c.keep_alive = false;
        switch (res) {
            case ReadResult::Request:
                c.status_counted = false;
                more = process_request(c, r);
                break;
            case ReadResult::Closed:
                more = false;
                break;
            case ReadResult::Bad:
                platform::tracef("ProcessConnection", "Bad request from %s", c.peer.c_str());
                SendData(c, error_page(c, "400 Bad Request", "Bad request"));
                more = false;
                break;
            case ReadResult::HeaderTooLarge:
                platform::tracef("ProcessConnection", "Request header too large from %s",
                                 c.peer.c_str());
                SendData(c, error_page(c, "431 Request Header Fields Too Large",
                                       "Request header too large"));
                more = false;
                break;
            case ReadResult::BodyTooLarge:
                platform::tracef("ProcessConnection", "Request body too large from %s",
                                 c.peer.c_str());
                SendData(c, error_page(c, "413 Payload Too Large", "Request body too large"));
                more = false;
                break;
            case ReadResult::TimedOut:
                platform::tracef("ProcessConnection", "Request timed out from %s", c.peer.c_str());
                SendData(c, error_page(c, "408 Request Timeout", "Request timed out"));
                more = false;
                break;
        }
    }
    if (tls) support::sslFreeSession(tls);
    untrack_fd(fd);
    CloseSocketGracefully(fd);
    if (tracing()) platform::trace("ProcessConnection", "Request processing complete");
}

// --- static files (public helpers) ------------------------

std::string content_type_for(std::string_view file_name) {
    std::string ext = platform::to_lower(extension_of(file_name));
    if (ext.empty()) return "application/octet-stream";
    static const std::pair<const char*, const char*> kTypes[] = {
        {".mms", "application/vnd.wap.mms-message"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".wbmp", "image/vnd.wap.wbmp"},
        {".txt", "text/plain"},
        {".smil", "application/smil"},
        {".wml", "text/vnd.wap.wml"},
    };
    for (const auto& t : kTypes) {
        if (ext == t.first) return t.second;
    }
    std::string ini = support::GetRealProgramDirectory() + "MMSCTYPE.INI";
    std::string configured = support::ini_get(ini, "Extensions", ext, "", 200);
    if (configured.empty())
        configured = support::ini_get(ini, "Extensions", ext.substr(1), "", 200);
    auto clean = [](std::string_view v) {
        for (char ch : v) {
            if (!std::isalnum(static_cast<unsigned char>(ch)) &&
                (ch == 0 || !std::strchr("!#$&^_.+-/", ch)))
                return false;
        }
        return !v.empty();
    };
    if (clean(configured)) return configured;
    std::string bare = ext.substr(1);
    return clean(bare) ? "application/" + bare : "application/octet-stream";
}

std::string clean_static_path(std::string_view rest) {
    std::string p = percent_decode(rest);
    if (p.find('\0') != std::string::npos) return "";
    for (bool again = true; again;) {
        again = false;
        for (const char* dots : {"../", "..\\"}) {
            for (size_t i = p.find(dots); i != std::string::npos; i = p.find(dots)) {
                p.erase(i, 3);
                again = true;
            }
        }
    }
    std::replace(p.begin(), p.end(), '\\', '/');
    if (p.empty() || p[0] == '/') return "";
    // A trailing ".." (no slash after it) still climbs.
    size_t s = 0;
    while (s <= p.size()) {
        size_t e = p.find('/', s);
        std::string_view seg = std::string_view(p).substr(s, e == std::string::npos ? e : e - s);
        if (seg == "..") return "";
        if (e == std::string::npos) break;
        s = e + 1;
    }
    return p;
}

platform::FileHandle open_static_file(const std::string& dir, std::string_view rest) {
    std::string rel = clean_static_path(rest);
    if (rel.empty()) return {};
    platform::FileHandle dfd = platform::open_directory(dir);
    if (!dfd) return {};
    // Symbolic links and ".." that leave the directory fail.
    return platform::open_beneath(dfd.fd(), dir, rel);
}

// --- the local-service secret -----------------------------

std::string local_service_secret() {
    std::lock_guard<std::mutex> l(st().secret.lock);
    if (!st().secret.value.empty()) return st().secret.value;
    std::string path = support::GetPrivateDataDirectory() + kLocalSecretFile;
    if (platform::FileHandle h = platform::open_file(path, O_RDONLY | O_NOFOLLOW)) {
        platform::set_fd_mode(h.fd(), 0600);
        std::optional<std::string> text = platform::read_fd(h.fd(), 256);
        if (text) st().secret.value = std::string(platform::trim(*text));
        if (!st().secret.value.empty()) return st().secret.value;
    }
    unsigned char raw[24];
    if (!platform::random_bytes(raw, sizeof raw)) return "";
    std::string secret;
    static const char* hex = "0123456789abcdef";
    for (unsigned char b : raw) {
        secret.push_back(hex[b >> 4]);
        secret.push_back(hex[b & 15]);
    }
    platform::remove_file(path);
    platform::FileHandle h =
        platform::open_file(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!h || !platform::write_all(h.fd(), secret.data(), secret.size())) return "";
    st().secret.value = secret;
    return st().secret.value;
}

// --- listeners --------------------------------------------

namespace {

struct ListenerConfig {
    const char* tag;
    const char* open_error;
    const char* change_fmt;
    const char* fail_fmt;  // nullptr: no report
    const char* marker;
    bool needs_certificate;  // TLS: a missing certificate is generated first
    bool web_status;         // writes the status-block bytes
    bool has_listener_port;
    frame::Listener which;
    unsigned (*port)();
    void (*spawn)(int fd);
};

void refuse_busy(int fd, const std::string& peer) {
    platform::tracef("ThreadListenForConnections",
                     "Connection refused from %s, %u connections open", peer.c_str(),
                     st().connections.load());
    static const char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: text/html\r\n"
        "Content-Length: 72\r\n\r\n<HTML><HEAD><TITLE>503</TITLE></HEAD><BODY>Server "
        "busy</BODY></HTML>\r\n\r\n";
    platform::send_nowait(fd, kBusy, sizeof kBusy - 1);
    platform::shutdown_send(fd);
    platform::close_socket(fd);
}

// The idle connection queue of the thread pool: finished plain connection
// threads wait here for the listener's next socket.
constexpr size_t kMaxIdleThreads = 400;
constexpr unsigned kIdleWaitMs = 30000;

bool hand_to_idle_thread(int fd) {
    std::lock_guard<std::mutex> l(st().pool.lock);
    if (st().pool.idle.empty()) return false;
    std::shared_ptr<IdleSlot> slot = st().pool.idle.front();
    st().pool.idle.pop_front();
    slot->fd = fd;
    slot->cv.notify_one();
    return true;
}

// The next socket for a pooled thread, or -1 after the idle time-out, on
// shutdown or when the queue is full.
int wait_for_idle_socket() {
    auto slot = std::make_shared<IdleSlot>();
    std::unique_lock<std::mutex> l(st().pool.lock);
    if (st().pool.idle.size() >= kMaxIdleThreads || frame::shutdown_requested()) return -1;
    st().pool.idle.push_back(slot);
    slot->cv.wait_for(l, std::chrono::milliseconds(kIdleWaitMs),
                      [&] { return slot->fd >= 0 || frame::shutdown_requested(); });
    if (slot->fd < 0) {
        auto it = std::find(st().pool.idle.begin(), st().pool.idle.end(), slot);
        if (it != st().pool.idle.end()) st().pool.idle.erase(it);
    }
    return slot->fd;
}

void wake_idle_threads() {
    std::lock_guard<std::mutex> l(st().pool.lock);
    for (auto& slot : st().pool.idle) slot->cv.notify_all();
}

void run_tls_connection(int fd) {
    std::string err;
    support::SslSessionPtr s = support::sslAcceptSession(fd, err, kTlsHandshakeMs);
    if (!s) {
        platform::trace("ThreadProcessSSLConnection", err);
        untrack_fd(fd);
        platform::close_socket(fd);
    } else {
        handle_connection(fd, std::move(s));
    }
}

// Starts a connection thread unless the cap is reached; owns fd.
void start_connection(int fd, bool tls) {
    unsigned cap = number_or("MaxWebConnections", kDefaultMaxWebConnections);
    if (cap == 0) cap = kDefaultMaxWebConnections;
    std::string peer = peer_of(fd, nullptr);
    if (st().connections.fetch_add(1) >= cap) {
        st().connections.fetch_sub(1);
        if (tls) {
            platform::tracef("ThreadListenForSSLConnections",
                             "Connection refused from %s, %u connections open", peer.c_str(), cap);
            platform::close_socket(fd);
        } else {
            refuse_busy(fd, peer);
        }
        return;
    }
    set_timeouts(fd);
    track_fd(fd);
    bool pool = !tls && frame::settings().enable_thread_pool;
    if (pool && hand_to_idle_thread(fd)) return;
    auto body = [fd, tls, pool]() {
        if (tls) {
            run_tls_connection(fd);
            st().connections.fetch_sub(1);
            return;
        }
        for (int cur = fd; cur >= 0;) {
            handle_connection(cur, nullptr);
            st().connections.fetch_sub(1);
            cur = pool && !frame::shutdown_requested() ? wait_for_idle_socket() : -1;
        }
    };
    if (!frame::start_thread(tls ? "ThreadProcessSSLConnection" : "ThreadProcessConnection",
                             body)) {
        platform::trace(tls ? "ThreadListenForSSLConnections" : "ThreadListenForConnections",
                        "Error starting thread");
        st().connections.fetch_sub(1);
        untrack_fd(fd);
        CloseSocketGracefully(fd);
    }
}

void spawn_plain(int fd) {
    start_connection(fd, false);
}

void spawn_tls(int fd) {
    start_connection(fd, true);
}

void spawn_modem(int fd) {
    std::function<void(int)> h;
    {
        std::lock_guard<std::mutex> l(st().modem.lock);
        h = st().modem.handler;
    }
    if (!h) {
        // The networked-modem handler is not part of this build yet.
        platform::trace("ThreadListenForInboundConnections", "No networked modem handler");
        CloseSocketGracefully(fd);
        return;
    }
    if (!frame::start_thread("ThreadProcessInboundConnection", [fd, h]() { h(fd); })) {
        platform::trace("ThreadListenForInboundConnections", "Error starting thread");
        CloseSocketGracefully(fd);
    }
}

void run_listener(const ListenerConfig& cfg) {
    int fd = -1;
    unsigned open_port = 0;
    while (!frame::shutdown_requested()) {
        if (fd < 0) {
            unsigned port = cfg.port();
            if (port == 0) {
                frame::sleep_unless_shutdown(kRetryMs);
                continue;
            }
            if (cfg.needs_certificate && !support::sslServerCertExists()) {
                // First use of the TLS port: a self-signed certificate so that it can open.
                std::string err;
                if (!support::sslGenerateCertificate({}, support::CertKeyType::EcP256, &err)) {
                    platform::tracef(cfg.tag, "Unable to create a server certificate: %s",
                                     err.c_str());
                }
            }
            fd = open_listener(bind_address(), port, cfg.tag, cfg.open_error);
            if (fd < 0) {
                if (cfg.web_status) {
                    frame::set_status_byte(frame::kStatusHttpListening, 0);
                    frame::set_status_byte(frame::kStatusHttpPortFailed, 1);
                }
                if (cfg.fail_fmt) {
                    frame::report_event_once_a_day(
                        cfg.marker, frame::EventType::Error,
                        platform::strprintf(cfg.fail_fmt, frame::kProductBanner, port));
                }
                frame::sleep_unless_shutdown(kRetryMs);
                continue;
            }
            open_port = port;
            if (cfg.web_status) {
                frame::set_status_byte(frame::kStatusHttpPortFailed, 0);
                frame::set_status_byte(frame::kStatusHttpListening, 1);
            }
            if (cfg.has_listener_port) {
                frame::set_listener_port(cfg.which,
                                         static_cast<uint16_t>(platform::local_port(fd)));
            }
        }
        int r = wait_readable_unless_shutdown(fd, kAcceptWaitMs);
        if (r < 0) {
            platform::tracef(cfg.tag, "Error %lu from Winsock:select",
                             static_cast<unsigned long>(errno));
            platform::close_socket(fd);
            fd = -1;
            if (cfg.has_listener_port) frame::set_listener_port(cfg.which, 0);
            continue;
        }
        if (r > 0 && !frame::shutdown_requested()) {
            if (tracing()) platform::trace(cfg.tag, "Before accept");
            int c = platform::accept_connection(fd);
            if (tracing()) platform::trace(cfg.tag, "After accept");
            if (c >= 0) {
                if (frame::ini_bool("TCPNoDelay", true)) platform::set_nodelay(c, true);
                cfg.spawn(c);
            }
        }
        unsigned now_port = cfg.port();
        if (now_port != open_port) {
            platform::tracef(cfg.tag, cfg.change_fmt, open_port, now_port);
            platform::close_socket(fd);
            fd = -1;
            if (cfg.has_listener_port) frame::set_listener_port(cfg.which, 0);
        }
    }
    platform::close_socket(fd);
    if (cfg.has_listener_port) frame::set_listener_port(cfg.which, 0);
    if (cfg.web_status) frame::set_status_byte(frame::kStatusHttpListening, 0);
}

const ListenerConfig kWebListener = {
    "ThreadListenForConnections",
    "Error opening web socket",
    "Closing web port %u, opening web port %u",
    "%s not started, unable to allocate web port %u",
    "SOCKET.ERR",
    false,
    true,
    true,
    frame::Listener::Web,
    &web_port,
    &spawn_plain,
};

const ListenerConfig kSslListener = {
    "ThreadListenForSSLConnections",
    "Error opening web socket",
    "Closing SSL port %u, opening SSL port %u",
    "%s not started, unable to allocate SSL port %u",
    "SSLSOCKET.ERR",
    true,
    false,
    true,
    frame::Listener::WebSSL,
    &web_port_ssl,
    &spawn_tls,
};

bool kelsms_modem_defined() {
    for (unsigned i = 1; i < 1000; ++i) {
        std::string v = frame::ini_string(platform::strprintf("Modem%u", i));
        if (v.empty()) return false;
        if (platform::istarts_with(v, "KelSMSModem - ")) return true;
    }
    return false;
}

unsigned modem_listener_port() {
    unsigned p = modem_port();
    return p == web_port() ? 0 : p;
}

const ListenerConfig kModemListener = {
    "ThreadListenForInboundConnections",
    "Error opening Kelsms Modem web socket",
    "Closing Kelsms Modem port %u, opening port %u",
    nullptr,
    nullptr,
    false,
    false,
    false,
    frame::Listener::Web,
    &modem_listener_port,
    &spawn_modem,
};

void modem_listener_thread() {
    while (!frame::shutdown_requested() && !kelsms_modem_defined()) {
        frame::sleep_unless_shutdown(kRetryMs);
    }
    while (!frame::shutdown_requested() && modem_listener_port() == 0) {
        frame::sleep_unless_shutdown(kRetryMs);
    }
    if (!frame::shutdown_requested()) run_listener(kModemListener);
}

}  // namespace

void register_http_frontend() {
    frame::register_duty(frame::Duty::StartLibraries, "HttpTls", [] {
        st().tls_usable.store(support::sslInitLib() != 0);
        local_service_secret();
        dummy_hash();
    });
    frame::register_duty(frame::Duty::Reload, "LoadAllowedList", &LoadAllowedList);
    frame::register_duty(frame::Duty::Reload, "LoadBlockedList", &LoadBlockedList);
    frame::register_duty(frame::Duty::Stopping, "CloseWebConnections", [] {
        wake_open_connections();
        wake_idle_threads();
    });
    frame::register_thread_starter(frame::ThreadSlot::HttpListener, [] {
        return frame::start_thread("ThreadListenForConnections",
                                   [] { run_listener(kWebListener); });
    });
    frame::register_thread_starter(frame::ThreadSlot::HttpsListener, [] {
        if (!st().tls_usable.load()) return true;
        frame::start_thread("ThreadLsitenForSSLConnections", [] { run_listener(kSslListener); });
        return true;
    });
    frame::register_thread_starter(frame::ThreadSlot::ModemListener, [] {
        frame::start_thread("ThreadListenForInboundConnections", &modem_listener_thread);
        return true;
    });
}

void register_inbound_connection_handler(std::function<void(int fd)> handler) {
    std::lock_guard<std::mutex> l(st().modem.lock);
    st().modem.handler = std::move(handler);
}

}  // namespace frontends::http
