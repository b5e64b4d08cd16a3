// The virtual SMSC: a small blocking HTTP/1.1 client that POSTs each message
// as a form to the endpoint [SDKLink] names for its recipient, the session
// the queue pass drives, and the index-0 worker loop around it.
#include "links/sdk/sdk_link.h"

#include <algorithm>
#include <cctype>

#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/text.h"
#include "support/events.h"
#include "support/ini_profile.h"

namespace links {

namespace {

// Answers larger than this are cut off: only the status and the first body
// line matter.
constexpr size_t kMaxResponseBytes = 64 * 1024;
// Longest SMSC id taken from the answer's first body line.
constexpr size_t kMaxSmscIdChars = 149;

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool parse_port(std::string_view s, uint16_t* port) {
    if (!all_digits(s) || s.size() > 5) return false;
    unsigned v = 0;
    for (char c : s) v = v * 10 + unsigned(c - '0');
    if (v == 0 || v > 65535) return false;
    *port = uint16_t(v);
    return true;
}

std::string_view strip_plus(std::string_view s, bool remove) {
    if (remove && !s.empty() && s.front() == '+') s.remove_prefix(1);
    return s;
}

std::string host_header(const SdkEndpoint& ep) {
    std::string h = ep.host.find(':') != std::string::npos ? "[" + ep.host + "]" : ep.host;
    return h + ":" + std::to_string(ep.port);
}

// The header block (without the status line) of a response, and the
// position of the body; npos when the headers did not end.
size_t header_end(std::string_view raw, size_t* body_start) {
    size_t crlf = raw.find("\r\n\r\n");
    size_t lf = raw.find("\n\n");
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) {
        *body_start = crlf + 4;
        return crlf;
    }
    if (lf != std::string_view::npos) {
        *body_start = lf + 2;
        return lf;
    }
    return std::string_view::npos;
}

// Value of a header (case-insensitive name) in the header block.
std::optional<std::string_view> header_value(std::string_view headers, std::string_view name) {
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t eol = headers.find('\n', pos);
        std::string_view line =
            headers.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? headers.size() : eol + 1;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (platform::iequals(platform::trim(line.substr(0, colon)), name))
            return platform::trim(line.substr(colon + 1));
    }
    return std::nullopt;
}

// Decodes as much of a chunked body as arrived.
std::string dechunk(std::string_view body) {
    std::string out;
    while (!body.empty()) {
        size_t eol = body.find('\n');
        if (eol == std::string_view::npos) break;
        std::string_view size_text = platform::trim(body.substr(0, eol));
        size_text = size_text.substr(0, size_text.find(';'));
        size_t size = 0;
        bool any = false;
        for (char c : size_text) {
            int d = std::isxdigit(static_cast<unsigned char>(c))
                        ? (std::isdigit(static_cast<unsigned char>(c))
                               ? c - '0'
                               : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                        : -1;
            if (d < 0 || size > kMaxResponseBytes) return out;
            size = size * 16 + size_t(d);
            any = true;
        }
        if (!any || size == 0) break;
        body.remove_prefix(eol + 1);
        size_t take = std::min(size, body.size());
        out.append(body.substr(0, take));
        body.remove_prefix(take);
        if (take < size) break;
        if (body.starts_with("\r\n"))
            body.remove_prefix(2);
        else if (body.starts_with("\n"))
            body.remove_prefix(1);
    }
    return out;
}

// True once everything the answer announced has arrived.
bool response_complete(std::string_view raw) {
    size_t body_start = 0;
    size_t end = header_end(raw, &body_start);
    if (end == std::string_view::npos) return false;
    std::string_view headers = raw.substr(0, end);
    std::string_view body = raw.substr(body_start);
    if (auto te = header_value(headers, "Transfer-Encoding");
        te && platform::iequals(*te, "chunked"))
        return body.ends_with("0\r\n\r\n") || body.ends_with("0\n\n");
    if (auto cl = header_value(headers, "Content-Length");
        cl && all_digits(*cl) && cl->size() < 10) {
        size_t n = 0;
        for (char c : *cl) n = n * 10 + size_t(c - '0');
        return body.size() >= n;
    }
    return false;  // read until the server closes
}

std::string http_error_text(unsigned status) {
    if (status == 401) return "HTTPSMSC:  Invalid user name or password";
    if (status == 403)
        return "HTTPSMSC:  Connection denied.  Possible invalid user name or password, or "
               "connection not allowed from this IP address.";
    return platform::strprintf("HTTPSMSC:  Connection failed, HTTP status code = %u.", status);
}

std::string no_response_text(const SdkEndpoint& ep) {
    return platform::strprintf("HTTPSMSC:  Invalid response from server %s:%u", ep.host.c_str(),
                               unsigned(ep.port));
}

}  // namespace

std::optional<SdkEndpoint> parse_sdk_endpoint(std::string_view value) {
    value = platform::trim(value);
    SdkEndpoint ep;
    std::string_view host = value, port;
    if (value.starts_with('[')) {  // "[v6 address]:port"
        size_t close = value.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = value.substr(1, close - 1);
        std::string_view rest = value.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = rest.substr(1);
            if (port.empty()) return std::nullopt;
        }
    } else if (size_t colon = value.rfind(':'); colon != std::string_view::npos) {
        host = value.substr(0, colon);
        port = value.substr(colon + 1);
        if (port.empty()) return std::nullopt;
    }
    host = platform::trim(host);
    if (host.empty()) return std::nullopt;
    for (char c : host) {
        // A host name never holds blanks, controls or URL delimiters.
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' ||
            c == 0x7f)
            return std::nullopt;
    }
    if (!port.empty() && !parse_port(platform::trim(port), &ep.port)) return std::nullopt;
    ep.host = std::string(host);
    return ep;
}

std::string form_encode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string sdk_request_body(const OutboundMessage& m, bool remove_plus) {
    std::string b;
    auto add = [&b](std::string_view key, std::string_view value) {
        if (!b.empty()) b += '&';
        b.append(key);
        b += '=';
        b += form_encode(value);
    };
    add("PhoneNumber", strip_plus(m.recipient, remove_plus));
    add("Sender", strip_plus(m.sender, remove_plus));
    if (m.binary) {
        add("Binary", "1");
        add("Data", m.data);
    } else {
        add("Text", m.data);
    }
    add("UDH", m.udh);
    add("PID", std::to_string(m.msg ? m.msg->pid : 0));
    add("DCS", std::to_string(m.msg ? m.msg->dcs : 0));
    add("MessageID", m.message_id);
    return b;
}

SdkHttpResult parse_sdk_http_response(std::string_view raw, const SdkEndpoint& ep) {
    SdkHttpResult r;
    size_t eol = raw.find('\n');
    std::string_view status_line = platform::trim(raw.substr(0, eol));
    // "HTTP/1.x NNN reason"
    if (eol == std::string_view::npos || !status_line.starts_with("HTTP/") ||
        status_line.size() < 12 || status_line[8] != ' ' || !all_digits(status_line.substr(9, 3)) ||
        (status_line.size() > 12 && status_line[12] != ' ')) {
        r.code = kSdkNoResponse;
        r.error_text = no_response_text(ep);
        return r;
    }
    r.status = unsigned(status_line[9] - '0') * 100 + unsigned(status_line[10] - '0') * 10 +
               unsigned(status_line[11] - '0');
    if (r.status < 200 || r.status > 299) {
        r.code = r.status;
        r.error_text = http_error_text(r.status);
        return r;
    }
    size_t body_start = 0;
    size_t end = header_end(raw, &body_start);
    if (end == std::string_view::npos) return r;  // accepted; the body never came
    std::string_view headers = raw.substr(0, end);
    std::string body(raw.substr(body_start));
    if (auto te = header_value(headers, "Transfer-Encoding");
        te && platform::iequals(*te, "chunked"))
        body = dechunk(body);
    std::string_view first = body;
    first = first.substr(0, first.find_first_of("\r\n"));
    first = platform::trim(first);
    r.first_line = std::string(first.substr(0, kMaxSmscIdChars));
    return r;
}

SdkHttpResult sdk_http_post(const SdkEndpoint& ep, std::string_view body, unsigned connect_ms,
                            unsigned response_ms, const std::function<bool()>& stop) {
    SdkHttpResult r;
    platform::Socket sock = platform::tcp_connect(ep.host, ep.port, connect_ms);
    if (!sock) {
        r.code = kSdkConnectFailed;
        r.error_text =
            platform::strprintf("HTTP Failure -- Unable to connect to HTTP server at %s:%u",
                                ep.host.c_str(), unsigned(ep.port));
        return r;
    }
    std::string req = "POST / HTTP/1.1\r\nHost: " + host_header(ep) +
                      "\r\nUser-Agent: " + frame::kProductBanner +
                      "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    req.append(body);
    if (platform::send_all(sock.fd(), req.data(), req.size(), response_ms) != long(req.size())) {
        r.code = kSdkNoResponse;
        r.error_text = no_response_text(ep);
        return r;
    }
    std::string raw;
    char buf[4096];
    const uint64_t deadline = platform::monotonic_ms() + response_ms;
    while (raw.size() < kMaxResponseBytes) {
        uint64_t now = platform::monotonic_ms();
        if (now >= deadline || (stop && stop())) break;
        unsigned slice = unsigned(std::min<uint64_t>(deadline - now, 1000));
        int ready = platform::wait_readable(sock.fd(), slice);
        if (ready < 0) break;
        if (ready == 0) continue;
        long n = platform::recv_some(sock.fd(), buf,
                                     std::min(sizeof buf, kMaxResponseBytes - raw.size()), slice);
        if (n <= 0) break;  // closed (the answer is complete) or broken
        raw.append(buf, size_t(n));
        if (response_complete(raw)) break;
    }
    return parse_sdk_http_response(raw, ep);
}

// --- the session ---------------------------------------------------------------------------

SdkLinkSession::SdkLinkSession(WorkerState& w) : w_(w) {
    remove_plus_ = frame::parse_bool(frame::link_string(w.settings.section, "RemovePlus", ""));
    if (w.settings.command_timeout_s > 0) response_ms = w.settings.command_timeout_s * 1000;
}

SubmitResult SdkLinkSession::submit(const OutboundMessage& m) {
    w_.pacer.wait({}, [this] { return must_stop(w_); });
    SubmitResult r;
    // Routing chose this link by the number as queued, before any prefix
    // conversion, so the endpoint is looked up by that number too.
    const std::string& lookup =
        m.msg && !m.msg->phone_number.empty() ? m.msg->phone_number : m.recipient;
    std::optional<std::string> value = delivery::sdk_link_endpoint(lookup);
    if (!value) {
        r.code = kSdkNoEndpoint;
        r.error_text = "No SDKLink endpoint for " + lookup;
        return r;
    }
    std::optional<SdkEndpoint> ep = parse_sdk_endpoint(*value);
    if (!ep) {
        r.code = kSdkBadEndpoint;
        r.error_text = "Invalid SDKLink endpoint '" + *value + "' for " + lookup;
        return r;
    }
    SdkHttpResult h = sdk_http_post(*ep, sdk_request_body(m, remove_plus_), connect_ms, response_ms,
                                    [this] { return frame::shutdown_requested(); });
    r.code = h.code;
    r.error_text = h.error_text;
    if (h.code == 0) r.smsc_id = h.first_line;
    return r;
}

void SdkLinkSession::yield(bool wait) {
    if (!wait) return;
    if (w_.link_event)
        support::WaitForInterfaceEvent(w_.link_event, 1000);
    else
        frame::sleep_unless_shutdown(1000);
}

store::ErrorClass SdkLinkSession::classify(int64_t code) const {
    if (code == kSdkNoEndpoint || code == kSdkBadEndpoint) return store::ErrorClass::Reject;
    if (code >= 400 && code <= 499) return store::ErrorClass::Reject;
    return store::ErrorClass::Retryable;
}

// --- the worker ------------------------------------------------------------------------------

void run_sdk_link_worker(WorkerState& w) {
    w.link_index = 0;
    // Only the entry routine starts this worker, and only with one of these
    // set; a call without them has nothing to serve.
    if (!frame::parse_bool(support::SMSIniGetProfileString("SMSGW", "SDKLinkEnabled", "")) &&
        !frame::parse_bool(
            support::SMSIniGetProfileString("SMSGW", "EnableLocalRoutingThread", ""))) {
        frame::debug_trace(kWorkerTrace,
                           "SDKLINK - VirtualSMSC is not enabled, local routing thread ends");
        return;
    }
    while (!frame::shutdown_requested()) {
        std::string name = link_name_at(0);
        frame::debug_trace(kWorkerTrace, name);
        w.restart = false;
        w.connection_error = false;
        {
            LinkSettings s = load_link_settings(name, unsigned(platform::local_now().weekday));
            std::lock_guard<std::mutex> lock(w.settings_mu);
            w.settings = std::move(s);
        }
        w.pacer.set_interval_ms(w.settings.send_limit_ms);
        w.link_event = support::CreateEventForInterface("SMSOut", w.settings.name);
        w.route_event = support::CreateEventForInterface("SMSOut", w.settings.route_name);
        connection_up(w, "SDKLink");
        SdkLinkSession session(w);
        serve_queue(w, session);
        // A restart (settings changed) begins a fresh session at once; any
        // other end waits a moment so a failing pass cannot spin.
        if (!w.restart && frame::sleep_unless_shutdown(1000)) break;
    }
    w.skip.free();
}

namespace {

// A "SDKLink - " link configured as Modem<i>: no connection of its own to
// bring up, it posts each message to its recipient's [SDKLink] endpoint.
void run_sdk_cycle(WorkerState& w) {
    connection_up(w, "SDKLink");
    SdkLinkSession session(w);
    serve_queue(w, session);
}

}  // namespace

void register_sdk_link_kind() {
    LinkKindEntry e;
    e.kind = LinkKind::SdkLink;
    e.run_cycle = run_sdk_cycle;
    e.run_index0_worker = run_sdk_link_worker;
    register_link_kind(e);
}

}  // namespace links
