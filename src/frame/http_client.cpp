// Outbound HTTP/1.1 client over the platform sockets and the TLS support:
// URL forms, proxies (CONNECT for TLS), redirects, caller-owned keep-alive
// connections and the response reader with its size cap.
#include "frame/http_client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/http_response.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/net_client.h"
#include "platform/text.h"

namespace frame {
namespace {

constexpr const char* kTag = "RetrieveURL";
constexpr const char* kWaitTag = "HttpResponseWait";
constexpr const char* kConnectTag = "InetServerConnect";
constexpr size_t kMaxProxyText = 57;
constexpr unsigned kProxyConnectTimeoutMs = 30000;
constexpr unsigned kWaitSliceMs = 1000;  // shutdown is noticed within this
constexpr size_t kTracedPartialMax = 2048;
constexpr unsigned kDefaultWebPortNumber = 8800;

bool istarts(std::string_view text, std::string_view prefix) {
    return platform::istarts_with(text, prefix);
}

// Copies text into a caller's buffer of size bytes, NUL-terminated.
void copy_out(char* out, size_t size, std::string_view text) {
    if (!out || size == 0) return;
    size_t n = std::min(size - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

std::string base64(std::string_view in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v =
            (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += k[v >> 18];
        out += k[(v >> 12) & 63];
        out += k[(v >> 6) & 63];
        out += k[v & 63];
    }
    if (i < in.size()) {
        unsigned v =
            (unsigned char)in[i] << 16 | (i + 1 < in.size() ? (unsigned char)in[i + 1] << 8 : 0);
        out += k[v >> 18];
        out += k[(v >> 12) & 63];
        out += i + 1 < in.size() ? k[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

struct ParsedUrl {
    std::string scheme;  // lower case: http, https, httppost, httpspost
    bool tls = false;
    bool post = false;
    bool local = false;  // "kelsmslocal"
    std::string credential, user, password;
    std::string host;
    unsigned port = 0;
    std::string path;  // after the first '/', query included
};

// The URL as the trace shows it: the password replaced by "****".
std::string masked(std::string_view url) {
    size_t s = url.find("://");
    size_t from = s == std::string_view::npos ? 0 : s + 3;
    size_t slash = url.find('/', from);
    size_t at = url.rfind('@', slash == std::string_view::npos ? url.size() : slash);
    if (at == std::string_view::npos || at < from) return std::string(url);
    size_t colon = url.find(':', from);
    if (colon == std::string_view::npos || colon > at) return std::string(url);
    return std::string(url.substr(0, colon + 1)) + "****" + std::string(url.substr(at));
}

// Splits url into its parts; false (why set) for a scheme the client does
// not speak or a bad port.
bool parse_url(std::string url, ParsedUrl& u, std::string& why) {
    size_t sep = url.find("://");
    if (sep == std::string::npos) {
        url = "http://" + url;
        sep = 4;
    }
    u.scheme = platform::to_lower(url.substr(0, sep));
    if (u.scheme == "https") {
        u.tls = support::sslInitLib() != 0;
    } else if (u.scheme == "httppost" || u.scheme == "httpspost") {
        u.post = true;  // both post forms go out plain
    } else if (u.scheme != "http") {
        why = "Unsupported URL scheme in " + masked(url);
        return false;
    }
    std::string rest = url.substr(sep + 3);
    size_t end = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, end);
    if (end != std::string::npos)
        u.path = rest[end] == '/' ? rest.substr(end + 1) : rest.substr(end);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        u.credential = authority.substr(0, at);
        size_t c = u.credential.find(':');
        u.user = u.credential.substr(0, c);
        if (c != std::string::npos) u.password = u.credential.substr(c + 1);
        authority = authority.substr(at + 1);
    }
    std::string port_text;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) {
            why = "Invalid host in " + masked(url);
            return false;
        }
        u.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':')
            port_text = authority.substr(close + 2);
    } else {
        size_t colon = authority.find(':');
        u.host = authority.substr(0, colon);
        if (colon != std::string::npos) port_text = authority.substr(colon + 1);
    }
    unsigned port = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9' || port > 65535) {
            why = "Invalid port in " + masked(url);
            return false;
        }
        port = port * 10 + unsigned(c - '0');
    }
    if (port > 65535) {
        why = "Invalid port in " + masked(url);
        return false;
    }
    if (u.host.empty()) {
        why = "No host in " + masked(url);
        return false;
    }
    u.port = port ? port : (u.tls ? 443 : 80);
    if (platform::iequals(u.host, "kelsmslocal")) {
        u.local = true;
        u.host = "127.0.0.1";
        u.port = own_web_port(u.tls);
        if (u.port == 0) {
            why = "The gateway's HTTPS port (WebPortSSL) is off";
            return false;
        }
    }
    return true;
}

struct Proxy {
    std::string host;
    unsigned port = 80;
};

bool parse_proxy(std::string_view text, Proxy& p) {
    text = text.substr(0, kMaxProxyText);
    size_t colon = text.rfind(':');
    p.host = std::string(text.substr(0, colon));
    p.port = colon == std::string_view::npos ? 0 : parse_number(text.substr(colon + 1));
    if (p.port == 0 || p.port > 65535) p.port = 80;
    return !p.host.empty();
}

uint64_t now_ms() {
    return platform::monotonic_ms();
}

unsigned left_ms(uint64_t deadline) {
    uint64_t n = now_ms();
    return n >= deadline ? 0 : unsigned(deadline - n);
}

size_t response_cap() {
    return size_t(settings().http_client_max_response_kb) * 1024;
}

// One connection in use by a fetch.
struct Connection {
    platform::Socket socket;
    support::SslSessionPtr tls;
    void close() {
        if (tls) support::sslFreeSession(tls);
        socket.close();
    }
};

enum class ReadEnd { Complete, Failed, Nothing };

// Reads one response into r until it is complete, the peer closes, the
// idle time-out passes since the last data, the deadline passes or the
// service shuts down.
ReadEnd read_response(int fd, support::SslSession* tls, HttpResponseReader& r, unsigned idle_ms,
                      uint64_t deadline) {
    std::vector<char> buf(16384);
    uint64_t last = now_ms();
    std::string why;
    while (r.state() == HttpResponseReader::State::NeedMore) {
        if (shutdown_requested()) {
            why = "Service shutting down";
            break;
        }
        uint64_t n = now_ms();
        if (n >= deadline || n - last >= idle_ms) {
            why = "Time-out waiting for the response";
            break;
        }
        unsigned slice =
            unsigned(std::min<uint64_t>({kWaitSliceMs, deadline - n, idle_ms - (n - last)}));
        if (!(tls && support::sslDataPending(tls))) {
            int w = platform::wait_readable(fd, slice);
            if (w < 0) {
                debug_trace(kWaitTag, "error from select");
                why = "error from select";
                break;
            }
            if (w == 0) continue;
        }
        long got;
        if (tls) {
            got = support::sslRecv(tls, buf.data(), buf.size());
        } else {
            int avail = platform::bytes_available(fd);
            if (avail < 0) {
                debug_trace(kWaitTag, "error from ioctlsocket");
                why = "error from ioctlsocket";
                break;
            }
            got = avail == 0 ? 0
                             : platform::recv_nowait(fd, buf.data(),
                                                     std::min<size_t>(size_t(avail), buf.size()));
        }
        if (got == 0) {
            debug_trace(kWaitTag, "ioctlsocket indicates end of request");
            r.finish();
            break;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            why = platform::strprintf("Receive failed: %s", std::strerror(errno));
            break;
        }
        last = now_ms();
        r.feed(std::string_view(buf.data(), size_t(got)));
    }
    if (r.interim_count() > 0) debug_trace(kWaitTag, "100 Continue");
    if (!r.chunk_note().empty()) debug_trace("HttpChunkComplete", r.chunk_note());
    if (r.state() == HttpResponseReader::State::Complete) {
        debug_trace(kWaitTag, r.note());
        return ReadEnd::Complete;
    }
    if (r.received() == 0) {
        if (!why.empty()) debug_trace(kWaitTag, why);
        return ReadEnd::Nothing;
    }
    if (!r.error().empty()) debug_trace(kWaitTag, r.error());
    if (!why.empty()) debug_trace(kWaitTag, why);
    debug_tracef(kWaitTag, "Expected %zu bytes, got %zu bytes",
                 r.header_len() + (r.has_content_length() ? r.content_length() : 0),
                 r.raw().size());
    if (debug_on()) debug_trace(kWaitTag, std::string_view(r.raw()).substr(0, kTracedPartialMax));
    return ReadEnd::Failed;
}

bool host_in_list(std::string_view list, std::string_view host) {
    size_t i = 0;
    while (i < list.size()) {
        size_t j = list.find_first_of(",; \t", i);
        if (j == std::string_view::npos) j = list.size();
        if (j > i && platform::iequals(list.substr(i, j - i), host)) return true;
        i = j + 1;
    }
    return false;
}

struct Fetch {
    const UrlFetch& req;
    UrlResponse& resp;
    uint64_t deadline;
};

int fail(UrlResponse& resp, std::string text) {
    debug_trace(kTag, text);
    resp.raw.clear();
    resp.content_type.clear();
    resp.header_len = resp.body_len = 0;
    resp.error = std::move(text);
    return 0;
}

// Opens a new connection to the host (or its proxy), with the tunnel and
// the TLS session when TLS was asked for. 0 on failure (resp.error set).
int open_connection(Connection& c, const ParsedUrl& u, const Proxy* proxy, uint64_t deadline,
                    UrlResponse& resp) {
    const std::string& target = proxy ? proxy->host : u.host;
    unsigned port = proxy ? proxy->port : u.port;
    if (InetServerConnect(c.socket, target, port, std::max(1u, left_ms(deadline))) != 0)
        return fail(resp, "HTTP Connection failed for " + target);
    platform::set_nonblocking(c.socket.fd(), true);
    if (!u.tls) return 1;
    if (proxy) {
        std::string connect =
            platform::strprintf("CONNECT %s:%u HTTP/1.1\r\n\r\n", u.host.c_str(), u.port);
        debug_trace(kTag, connect);
        HttpResponseReader r(kMaxResponseHeaderBlock, true);
        unsigned wait = std::min(kProxyConnectTimeoutMs, std::max(1u, left_ms(deadline)));
        if (platform::send_all(c.socket.fd(), connect.data(), connect.size(), wait) !=
                long(connect.size()) ||
            read_response(c.socket.fd(), nullptr, r, wait, now_ms() + wait) != ReadEnd::Complete ||
            r.status() == 0 || r.status() >= 300 || r.extra_bytes() != 0) {
            c.close();
            return fail(resp, "Proxy Server rejected SSL/TLS connection attempt");
        }
    }
    const GlobalSettings& s = settings();
    std::string err;
    unsigned wait = std::max(1u, left_ms(deadline));
    if (s.http_client_verify_certificates && !u.local &&
        !host_in_list(s.http_client_no_verify_hosts, u.host)) {
        support::SslVerify v{s.http_client_ca_file, u.host};
        c.tls = support::sslInitSession(c.socket.fd(), err, v, wait);
    } else {
        c.tls = support::sslInitSession(c.socket.fd(), err, wait);
    }
    if (!c.tls) {
        c.close();
        return fail(resp, "SSL/TLS Error - " + err);
    }
    debug_trace(kTag, "Using SSL");
    return 1;
}

std::string build_request(const ParsedUrl& u, const Proxy* proxy, const UrlFetch& req,
                          std::string& traced) {
    std::string path = u.path, query;
    if (u.post) {
        size_t q = path.find('?');
        if (q != std::string::npos) {
            query = path.substr(q + 1);
            path.resize(q);
        }
    }
    bool v6 = u.host.find(':') != std::string::npos;
    std::string host = v6 ? "[" + u.host + "]" : u.host;
    std::string out = u.post ? "POST " : "GET ";
    if (proxy && !u.tls) {
        out += "http://" + host;
        if (u.port != 80) out += platform::strprintf(":%u", u.port);
    }
    out += "/" + path + " HTTP/1.1\r\n";
    out += req.extra_headers;
    if (req.extra_headers.find("User-Agent:") == std::string::npos)
        out += std::string("User-Agent: ") + kProductBanner + "\r\n";
    if (req.extra_headers.find("Accept:") == std::string::npos) out += "Accept: */*\r\n";
    if (!req.keep_alive) out += "Connection: close\r\n";
    size_t auth_at = out.size();
    if (!u.credential.empty()) out += "Authorization: Basic " + base64(u.credential) + "\r\n";
    size_t auth_end = out.size();
    out += "Host: " + host;
    if (u.port != (u.tls ? 443u : 80u)) out += platform::strprintf(":%u", u.port);
    out += "\r\n";
    if (u.post) {
        out += "Content-Type: application/x-www-form-urlencoded\r\n";
        out += platform::strprintf("Content-Length: %zu\r\n", query.size());
    }
    out += "\r\n";
    traced = out;
    if (auth_end > auth_at)
        traced.replace(auth_at, auth_end - auth_at, "Authorization: Basic ****\r\n");
    out += query;
    return out;
}

bool send_request(Connection& c, const std::string& text, uint64_t deadline) {
    if (c.tls) return support::sslSend(c.tls.get(), text.data(), text.size()) == long(text.size());
    return platform::send_all(c.socket.fd(), text.data(), text.size(),
                              std::max(1u, left_ms(deadline))) == long(text.size());
}

// The scheme of a Location value ("ftp" of "ftp://x", "mailto" of
// "mailto:a"), empty when it is relative.
std::string location_scheme(std::string_view loc) {
    size_t i = 0;
    while (i < loc.size() &&
           (std::isalnum((unsigned char)loc[i]) || loc[i] == '+' || loc[i] == '-' || loc[i] == '.'))
        ++i;
    if (i == 0 || i >= loc.size() || loc[i] != ':' || !std::isalpha((unsigned char)loc[0]))
        return {};
    if (loc.substr(i, 3) != "://" && i + 1 < loc.size() && std::isdigit((unsigned char)loc[i + 1]))
        return {};
    return platform::to_lower(loc.substr(0, i));
}

// The absolute URL a Location value names, relative to the URL fetched.
std::string resolve_location(const ParsedUrl& base, const std::string& loc) {
    std::string scheme = base.tls ? "https" : "http";
    std::string host = base.host.find(':') != std::string::npos ? "[" + base.host + "]" : base.host;
    std::string origin = scheme + "://" + host + platform::strprintf(":%u", base.port);
    if (loc.substr(0, 2) == "//") return scheme + ":" + loc;
    if (!loc.empty() && loc[0] == '/') return origin + loc;
    std::string dir = base.path.substr(0, base.path.find_first_of("?#"));
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "" : dir.substr(0, slash + 1);
    if (!loc.empty() && loc[0] == '?')
        return origin + "/" + base.path.substr(0, base.path.find('?')) + loc;
    return origin + "/" + dir + loc;
}

int fetch_at(const std::string& url_in, const UrlFetch& req, UrlResponse& resp, unsigned depth,
             KeepAlive* keep, uint64_t deadline);

int classify(const ParsedUrl& u, const UrlFetch& req, UrlResponse& resp, unsigned depth,
             uint64_t deadline) {
    std::string_view block(resp.raw.data(), resp.header_len);
    size_t sp = block.find(' ');
    char first = sp != std::string_view::npos && sp + 1 < block.size() ? block[sp + 1] : 0;
    auto accepted = [&](const char* what) {
        debug_trace(kTag, what);
        resp.content_type = response_header(block, "Content-Type").substr(0, kContentTypeSize - 1);
        resp.error.clear();
        return 1;
    };
    if (first == '2') return accepted("got success response");
    if (first == '3' && has_response_header(block, "Location")) {
        debug_trace(kTag, "got redirection response");
        std::string loc = response_header(block, "Location");
        size_t cut = 0;
        while (cut < loc.size() && (unsigned char)loc[cut] >= '!') ++cut;
        loc.resize(cut);
        std::string code = platform::strprintf("HTTP Response Error Code %d", resp.status);
        std::string scheme = location_scheme(loc);
        if (!scheme.empty() && scheme != "http" && scheme != "https" && scheme != "httppost" &&
            scheme != "httpspost") {
            debug_trace(kTag, "Redirect to a URL that is not HTTP: " + masked(loc));
            return fail(resp, code);
        }
        if (scheme.empty()) loc = resolve_location(u, loc);
        ParsedUrl next;
        std::string why;
        if (!parse_url(loc, next, why)) {
            debug_trace(kTag, why);
            return fail(resp, code);
        }
        if (!u.credential.empty() && next.credential.empty()) {
            if (!platform::iequals(next.host, u.host)) {
                debug_trace(kTag, "Old Host " + u.host);
                debug_trace(kTag, "New Host " + next.host);
            } else if (u.tls && !next.tls) {
                debug_trace(kTag,
                            "Not re-using Authorization header on redirect from https to http");
            } else {
                debug_trace(kTag, "Re-using Authorization header on redirect request");
                size_t s = loc.find("://") + 3;
                loc.insert(s, platform::strprintf("%s:%s@", u.user.c_str(), u.password.c_str()));
            }
        }
        if (depth >= kMaxRedirectDepth) {
            debug_tracef(kTag, "Too many redirects, not following %s", masked(loc).c_str());
            return fail(resp, code);
        }
        return fetch_at(loc, req, resp, depth + 1, nullptr, deadline);
    }
    if (first >= '0' && first <= '9' && req.accept_any_status)
        return accepted("got http error response");
    return fail(resp, first >= '0' && first <= '9'
                          ? platform::strprintf("HTTP Response Error Code %d", resp.status)
                          : std::string("HTTP Response Error Code unknown"));
}

int fetch_at(const std::string& url_in, const UrlFetch& req, UrlResponse& resp, unsigned depth,
             KeepAlive* keep, uint64_t deadline) {
    std::string url = url_in.substr(0, kMaxUrlLength);
    while (!url.empty() && (unsigned char)url.back() <= 32) url.pop_back();
    debug_trace(kTag, "Retrieving " + masked(url));
    resp = UrlResponse{};
    ParsedUrl u;
    std::string why;
    if (!parse_url(url, u, why)) {
        debug_trace(kTag, why);
        return fail(resp, "HTTP Connection failed for " + masked(url));
    }
    Proxy proxy_store;
    const Proxy* proxy = nullptr;
    if (!req.proxy.empty() && !istarts(u.host, "127.0.0.") && parse_proxy(req.proxy, proxy_store))
        proxy = &proxy_store;
    std::string endpoint =
        platform::strprintf("%s://%s:%u", u.tls ? "https" : "http", u.host.c_str(), u.port);
    if (proxy) endpoint += platform::strprintf(" via %s:%u", proxy->host.c_str(), proxy->port);

    Connection c;
    bool reused = false;
    if (keep && keep->socket.valid()) {
        platform::IdleState st = platform::idle_connection_state(keep->socket.fd());
        bool same = keep->endpoint.empty() || keep->endpoint == endpoint;
        // Bytes nobody asked for on a plain connection would be read as the
        // answer; with TLS they are protocol records (tickets, alerts).
        if (same && (st == platform::IdleState::Quiet ||
                     (st == platform::IdleState::Pending && keep->tls))) {
            debug_trace(kTag, "Using keep-alive socket");
            c.socket = std::move(keep->socket);
            c.tls = std::move(keep->tls);
            platform::set_nonblocking(c.socket.fd(), true);
            reused = true;
        } else {
            if (!same) debug_trace(kTag, "Keep-alive socket is for " + keep->endpoint);
            if (keep->tls) support::sslFreeSession(keep->tls);
            keep->socket.close();
            debug_trace(kTag, "Keep-alive socket failed, opening new connection");
        }
        keep->endpoint.clear();
    }

    std::string traced;
    std::string request = build_request(u, proxy, req, traced);
    unsigned idle_ms = (req.timeout_s ? req.timeout_s : 20) * 1000;
    HttpResponseReader reader(response_cap());
    for (;;) {
        if (!c.socket.valid() && !open_connection(c, u, proxy, deadline, resp)) return 0;
        debug_trace(kTag, traced);
        ReadEnd end = ReadEnd::Nothing;
        if (send_request(c, request, deadline))
            end = read_response(c.socket.fd(), c.tls.get(), reader, idle_ms, deadline);
        if (end == ReadEnd::Complete) break;
        c.close();
        if (end == ReadEnd::Nothing && reused && left_ms(deadline) > 0) {
            debug_trace(kTag, "Keep-alive failed, opening new connection");
            reused = false;
            reader = HttpResponseReader(response_cap());
            continue;
        }
        return fail(resp, "HTTP timeout error or invalid server response");
    }

    bool framed = reader.chunked() || reader.has_content_length() || reader.status() == 204 ||
                  reader.status() == 304;
    resp.status = reader.status();
    resp.header_len = reader.header_len();
    resp.body_len = reader.body_len();
    resp.raw = reader.take_raw();
    std::string_view block(resp.raw.data(), resp.header_len);
    if (keep && resp.raw.compare(0, 8, "HTTP/1.1") == 0 &&
        !istarts(response_header(block, "Connection"), "close") && framed &&
        reader.extra_bytes() == 0) {
        debug_trace(kTag, "Saving keep-alive socket");
        keep->socket = std::move(c.socket);
        keep->tls = std::move(c.tls);
        keep->endpoint = endpoint;
    }
    c.close();
    return classify(u, req, resp, depth, deadline);
}

}  // namespace

unsigned own_web_port(bool tls) {
    if (tls) {
        unsigned p = ini_number("WebPortSSL", 0);
        return p > 65535 ? 0 : p;
    }
    unsigned p = ini_number("WebPort", kDefaultWebPortNumber);
    return p == 0 || p > 65535 ? kDefaultWebPortNumber : p;
}

int fetch_url(const UrlFetch& request, UrlResponse& response) {
    unsigned timeout_s = request.timeout_s ? request.timeout_s : 20;
    uint64_t deadline = now_ms() + uint64_t(timeout_s) * 1000;
    return fetch_at(request.url, request, response, 0, request.keep_alive, deadline);
}

int InetServerConnect(platform::Socket& s, const std::string& host_in, unsigned port,
                      unsigned timeout_ms) {
    s.close();
    std::string host = host_in;
    size_t hash = host.rfind('#');
    if (hash != std::string::npos && hash + 1 < host.size() &&
        host.find_first_not_of("0123456789", hash + 1) == std::string::npos)
        host.resize(hash);
    // A numeric address resolves to itself; a name may give several.
    std::vector<platform::ResolvedAddress> list = platform::resolve_tcp_addresses(host);
    if (list.empty()) {
        debug_trace(kConnectTag, "Cannot resolve " + host);
        return -1;
    }
    uint64_t deadline = now_ms() + timeout_ms;
    size_t first = list.size() > 1 ? size_t(now_ms() % list.size()) : 0;
    for (size_t k = 0; k < list.size(); ++k) {
        const platform::ResolvedAddress& a = list[(first + k) % list.size()];
        unsigned left = left_ms(deadline);
        if (left == 0) break;
        int err = 0;
        platform::Socket t = platform::connect_address(a, port, left, err);
        if (t) {
            s = std::move(t);
            debug_tracef(kConnectTag, "Connected to %s (%s:%u)", host.c_str(),
                         platform::peer_address(s.fd()).c_str(), port);
            return 0;
        }
        debug_tracef(kConnectTag, "Connect to %s (%s:%u) failed: %s", host.c_str(), a.text.c_str(),
                     port, std::strerror(err));
    }
    return -1;
}

size_t HttpResponseWait(int fd, support::SslSession* tls, char** buffer, bool head_request,
                        unsigned timeout_s) {
    if (!buffer) return 0;
    *buffer = nullptr;
    HttpResponseReader r(response_cap(), head_request);
    unsigned idle_ms = (timeout_s ? timeout_s : 20) * 1000;
    // The time-out restarts with data; the size cap bounds how long that lasts.
    if (read_response(fd, tls, r, idle_ms, UINT64_MAX) != ReadEnd::Complete) return 0;
    const std::string& raw = r.raw();
    char* block = static_cast<char*>(GWmalloc(raw.size() + 1));
    if (!block) return 0;
    std::memcpy(block, raw.data(), raw.size());
    block[raw.size()] = 0;
    *buffer = block;
    return raw.size();
}

int RetrieveURL(const char* url, const char* proxy, const char* extra_headers, char** response,
                char* content_type, size_t* header_len, size_t* body_len, unsigned depth,
                bool accept_any_status, platform::Socket* keep_socket,
                support::SslSessionPtr* keep_tls, unsigned timeout_s, char* error,
                size_t error_size) {
    if (response) *response = nullptr;
    if (content_type) content_type[0] = 0;
    if (error && error_size) error[0] = 0;
    UrlFetch req;
    req.url = url ? url : "";
    req.proxy = proxy ? proxy : "";
    req.extra_headers = extra_headers ? extra_headers : "";
    req.accept_any_status = accept_any_status;
    req.timeout_s = timeout_s;
    KeepAlive ka;
    if (keep_socket) {
        ka.socket = std::move(*keep_socket);
        if (keep_tls) ka.tls = std::move(*keep_tls);
        req.keep_alive = &ka;
    }
    UrlResponse resp;
    uint64_t deadline = now_ms() + uint64_t(timeout_s ? timeout_s : 20) * 1000;
    int ok = fetch_at(req.url, req, resp, depth, req.keep_alive, deadline);
    if (keep_socket) {
        if (ka.tls && !keep_tls) {
            support::sslFreeSession(ka.tls);
            ka.socket.close();
        }
        *keep_socket = std::move(ka.socket);
        if (keep_tls) *keep_tls = std::move(ka.tls);
    }
    if (!ok) {
        if (error && error_size) copy_out(error, error_size, resp.error);
        return 0;
    }
    if (response) {
        char* block = static_cast<char*>(GWmalloc(resp.raw.size() + 1));
        if (!block) return 0;
        std::memcpy(block, resp.raw.data(), resp.raw.size());
        block[resp.raw.size()] = 0;
        *response = block;
    }
    if (content_type) copy_out(content_type, kContentTypeSize, resp.content_type);
    if (header_len) *header_len = resp.header_len;
    if (body_len) *body_len = resp.body_len;
    return 1;
}

}  // namespace frame
