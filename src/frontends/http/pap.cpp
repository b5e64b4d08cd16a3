// Push access protocol requests.
#include "frontends/http/pap.h"

#include "delivery/routing.h"
#include "frontends/http/http_request.h"
#include "frontends/http/submit.h"
#include "frontends/http/submit_push.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "platform/udp.h"
#include "wbxml/wap_push.h"

namespace frontends::http {

namespace {

constexpr const char* kTag = "ParsePushRequest";
constexpr size_t kBoundaryMax = 150;
constexpr uint16_t kPushSourcePort = 9200;
constexpr uint16_t kPushPort = 2948;

// The value of an attribute of the first element named element at or after
// from; npos in *next when none.
std::string attribute_of(std::string_view doc, std::string_view element, std::string_view name,
                         size_t from, size_t* next) {
    *next = std::string_view::npos;
    std::string open = "<" + std::string(element);
    for (size_t at = platform::ifind(doc, open, from); at != std::string_view::npos;
         at = platform::ifind(doc, open, at + 1)) {
        size_t after = at + open.size();
        if (after < doc.size() && !(doc[after] == ' ' || doc[after] == '\t' || doc[after] == '\r' ||
                                    doc[after] == '\n' || doc[after] == '>' || doc[after] == '/'))
            continue;
        size_t end = doc.find('>', at);
        if (end == std::string_view::npos) return "";
        *next = end;
        std::string_view tag = doc.substr(at, end - at);
        for (size_t k = platform::ifind(tag, name); k != std::string_view::npos;
             k = platform::ifind(tag, name, k + 1)) {
            size_t eq = k + name.size();
            while (eq < tag.size() && tag[eq] == ' ') ++eq;
            if (eq >= tag.size() || tag[eq] != '=' || (k > 0 && tag[k - 1] != ' ' && tag[k - 1] != '\t' &&
                                                       tag[k - 1] != '\n' && tag[k - 1] != '\r'))
                continue;
            ++eq;
            while (eq < tag.size() && tag[eq] == ' ') ++eq;
            if (eq >= tag.size()) return "";
            char q = tag[eq];
            if (q != '"' && q != '\'') return "";
            size_t close = tag.find(q, eq + 1);
            if (close == std::string_view::npos) return "";
            return std::string(tag.substr(eq + 1, close - eq - 1));
        }
        return "";
    }
    return "";
}

// The value of a header line inside a MIME part's header block.
std::string part_header(std::string_view head, std::string_view name) {
    size_t pos = 0;
    while (pos < head.size()) {
        size_t nl = head.find('\n', pos);
        std::string_view line = head.substr(pos, nl == std::string_view::npos ? head.size() - pos : nl - pos);
        pos = nl == std::string_view::npos ? head.size() : nl + 1;
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && platform::iequals(platform::trim(line.substr(0, colon)), name))
            return std::string(platform::trim(line.substr(colon + 1)));
    }
    return "";
}

// Splits a part at its empty line into header block and body.
void split_part(std::string_view part, std::string_view& head, std::string_view& body) {
    size_t end = part.find("\r\n\r\n");
    size_t skip = 4;
    if (end == std::string_view::npos) {
        end = part.find("\n\n");
        skip = 2;
    }
    if (end == std::string_view::npos) {
        head = part;
        body = {};
        return;
    }
    head = part.substr(0, end);
    body = part.substr(end + skip);
}

std::string response(Connection& c, std::string_view status, std::string_view body) {
    std::string out = platform::strprintf("%s %.*s\r\n%sContent-Type: application/xml\r\n",
                                          http_version(c), int(status.size()), status.data(),
                                          connection_header(c));
    out += platform::strprintf("Content-Length: %u\r\n\r\n", unsigned(body.size()));
    out += body;
    return out;
}

bool answer(Connection& c, std::string_view status, std::string_view body) {
    if (!SendData(c, response(c, status, body))) c.keep_alive = false;
    return true;
}

bool refuse(Connection& c, std::string_view text) {
    platform::trace(kTag, text);
    return answer(c, "200 OK", pap_refusal_body(text));
}

}  // namespace

std::string pap_refusal_body(std::string_view text) {
    return "<pap>\r\n<badmessage-response code=\"2000\" desc=\"" + html_escape(text) +
           "\"/>\r\n</pap>\r\n";
}

std::string pap_success_body(std::string_view push_id) {
    return "<?xml version=\"1.0\"?>\r\n"
           "<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 1.0//EN\" "
           "\"http://www.wapforum.org/DTD/pap_1.0.dtd\">\r\n"
           "<pap>\r\n<push-response push-id=\"" +
           html_escape(push_id.empty() ? "unknown" : push_id) +
           "\">\r\n<response-result code=\"1001\" desc=\"Accepted for processing\"/>\r\n"
           "</push-response>\r\n</pap>\r\n";
}

std::string pap_recipient(std::string_view address) {
    address = platform::trim(address);
    if (address.size() >= 8 && platform::iequals(address.substr(0, 8), "wappush=")) address.remove_prefix(8);
    if (size_t at = address.find('@'); at != std::string_view::npos) address = address.substr(0, at);
    if (size_t t = platform::ifind(address, "/TYPE="); t != std::string_view::npos)
        address = address.substr(0, t);
    return std::string(platform::trim(address));
}

std::string parse_pap_request(std::string_view request, std::string_view body, PapRequest& out) {
    std::optional<std::string> ct = GetHeader(request, "Content-Type");
    if (!ct || platform::trim(*ct).empty())
        return "Unsupported or invalid Push Access Protocol (PAP) request - missing content type";
    std::string_view type = platform::trim(*ct);
    if (!platform::istarts_with(type, "multipart/"))
        return "Unsupported or invalid Push Access Protocol (PAP) request - request is not multipart";
    size_t b = platform::ifind(type, "boundary=");
    if (b == std::string_view::npos) return "Multipart MIME boundary invalid or missing";
    std::string_view bv = type.substr(b + 9);
    if (!bv.empty() && (bv.front() == '"' || bv.front() == '\'')) {
        size_t close = bv.find(bv.front(), 1);
        if (close == std::string_view::npos) return "Multipart MIME boundary invalid or missing";
        bv = bv.substr(1, close - 1);
    } else {
        bv = bv.substr(0, bv.find_first_of("; \t"));
    }
    if (bv.empty() || bv.size() > kBoundaryMax) return "Multipart MIME boundary invalid or missing";
    const std::string boundary = "--" + std::string(bv);

    size_t first = body.find(boundary);
    if (first == std::string_view::npos) return "Invalid MIME boundary";
    size_t control_start = body.find('\n', first);
    if (control_start == std::string_view::npos) return "Closing MIME boundary not found";
    size_t second = body.find(boundary, control_start);
    if (second == std::string_view::npos) return "Closing MIME boundary not found";
    std::string_view control = body.substr(control_start + 1, second - control_start - 1);
    if (body.substr(second + boundary.size(), 2) == "--") return "Push MIME content part not found";
    size_t content_start = body.find('\n', second);
    if (content_start == std::string_view::npos) return "Push MIME content part not found";

    size_t next = 0;
    out.push_id = attribute_of(control, "push-message", "push-id", 0, &next);
    for (size_t from = 0;;) {
        std::string v = attribute_of(control, "address", "address-value", from, &next);
        if (next == std::string_view::npos) break;
        if (!v.empty()) out.addresses.push_back(v);
        from = next;
    }

    std::string_view rest = body.substr(content_start + 1);
    std::string_view head, content;
    split_part(rest, head, content);
    out.content_type = part_header(head, "Content-Type");
    std::string length = part_header(head, "Content-length");
    size_t closing = content.find(boundary);
    if (!length.empty()) {
        size_t n = std::strtoul(length.c_str(), nullptr, 10);
        if (n > content.size()) return "Closing MIME boundary for push content part not found";
        content = content.substr(0, n);
    } else {
        if (closing == std::string_view::npos) return "Closing MIME boundary for push content part not found";
        content = content.substr(0, closing);
        if (content.size() >= 2 && content.substr(content.size() - 2) == "\r\n")
            content.remove_suffix(2);
        else if (!content.empty() && content.back() == '\n')
            content.remove_suffix(1);
    }
    out.content.assign(content);
    std::string app = part_header(head, "X-Wap-Application-ID");
    if (!app.empty()) out.application_id = app;
    for (std::string_view name : {"X-Wap-Initiator-URI", "Push-flag"}) {
        std::string v = part_header(head, name);
        if (!v.empty()) out.headers += std::string(name) + ": " + v + "\n";
    }
    return "";
}

bool handle_pap(Connection& c, Request& r) {
    const std::string_view request = r.bytes;
    std::string route;
    GetRequestParameter(request.substr(0, r.header_len), "SMSCRoute", route, 100);
    if (!route.empty() && !delivery::ValidateSMSCRoute(route)) {
        platform::trace(kTag, "Unknown smscRoute=" + route);
        route.clear();
    }
    PapRequest pap;
    std::string error = parse_pap_request(request.substr(0, r.header_len), r.body(), pap);
    if (!error.empty()) return refuse(c, error);

    SubmitSettings settings = submit_settings_now();
    SubmitContext ctx{c.account, c.forced_sender_address, c.peer};
    SubmitParams p;
    p.smsc_route = route;
    std::vector<std::string> ip_recipients;
    for (const std::string& a : pap.addresses) {
        std::string r1 = normalise_recipient(pap_recipient(a), settings, nullptr);
        if (r1.empty()) continue;
        (is_ipv4_address(r1) ? ip_recipients : p.recipients).push_back(r1);
    }
    if (p.recipients.empty() && ip_recipients.empty()) return refuse(c, "No valid push recipients");

    wbxml::PushRequest push;
    push.content_type = pap.content_type;
    push.content = pap.content;
    push.application_id = pap.application_id;
    push.headers = pap.headers;
    push.max_size = 140 * 100;
    std::string_view start = platform::trim(pap.content);
    push.kind = !start.empty() && start.front() == '<' ? wbxml::PushContentKind::Xml
                                                       : wbxml::PushContentKind::Text;
    std::string pdu;
    if (!wbxml::CreateWAPPushBinary(push, pdu, error)) {
        platform::trace(kTag, error);
        return refuse(c, "Invalid push content");
    }
    if (!p.recipients.empty()) {
        set_push_message(p, pdu);
        MessageShape shape;
        if (!shape_push_message(p, delivery::segment_limits_from_settings(), shape, error)) {
            platform::trace(kTag, error);
            return refuse(c, "Invalid push content");
        }
        shape.kind = "WAPPPG";
        QueuedSubmission q = queue_submission(c, p, ctx, shape);
        if (!q.queued) {
            platform::trace(kTag, q.refusal);
            return refuse(c, c.account.empty() ? q.refusal : "User account over quota:  " + c.account);
        }
    }
    for (const std::string& ip : ip_recipients)
        if (!platform::udp_send_datagram(ip, kPushPort, pdu, kPushSourcePort))
            platform::trace(kTag, "Push datagram to " + ip + " could not be sent");
    return answer(c, "202 Accepted", pap_success_body(pap.push_id));
}

void register_pap_handler() { register_route_handler(Route::Pap, &handle_pap); }

}  // namespace frontends::http
