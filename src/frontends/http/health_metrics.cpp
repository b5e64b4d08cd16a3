// Health and metrics answers.
#include "frontends/http/health_metrics.h"

#include <array>
#include <atomic>

#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "frontends/http/admin_auth.h"
#include "frontends/http/admin_pages.h"
#include "platform/text.h"
#include "records/counters.h"

namespace frontends::http {

namespace {

constexpr int kMaxStatus = 600;

std::array<std::atomic<uint64_t>, kMaxStatus>& status_counts() {
    static std::array<std::atomic<uint64_t>, kMaxStatus> counts{};
    return counts;
}

void metric(std::string& out, const char* name, const char* type, const char* help) {
    out += platform::strprintf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

bool send_plain(Connection& c, int status, const char* reason, std::string_view type,
                std::string_view body) {
    std::string head = platform::strprintf(
        "%s %d %s\r\n%sContent-Type: %.*s\r\nCache-Control: no-cache\r\nContent-Length: %u\r\n\r\n",
        http_version(c), status, reason, connection_header(c), static_cast<int>(type.size()),
        type.data(), static_cast<unsigned>(body.size()));
    return SendData(c, head, body);
}

}  // namespace

std::string metric_label(std::string_view value) {
    std::string out;
    for (char ch : value) {
        if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '"') {
            out += "\\\"";
        } else if (ch == '\n') {
            out += "\\n";
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

void count_http_status(int status) {
    if (status >= 100 && status < kMaxStatus)
        status_counts()[static_cast<size_t>(status)].fetch_add(1, std::memory_order_relaxed);
}

std::pair<int, std::string> health_state() {
    if (frame::shutdown_requested()) return {503, "Shutting down"};
    std::vector<LinkInfo> links = configured_links();
    if (links.empty()) return {503, "No links configured"};
    for (const LinkInfo& l : links)
        if (l.up) return {200, "OK: link " + l.name + " is up"};
    const LinkInfo& first = links.front();
    std::string why = first.error;
    for (char& ch : why)
        if (ch == '\r' || ch == '\n') ch = ' ';
    return {503, "No link is up (" + first.name + ": " + why + ")"};
}

std::string metrics_text() {
    using records::Counter;
    std::string out;
    metric(out, "smsgw_up", "gauge", "1 while the gateway answers.");
    out += "smsgw_up 1\n";

    metric(out, "smsgw_messages_today", "gauge",
           "Messages counted today by kind (the daily statistics counters).");
    struct Kind {
        const char* name;
        Counter counter;
    };
    for (const Kind& k : {Kind{"submitted", Counter::Submitted}, Kind{"sent", Counter::Sent},
                          Kind{"failed", Counter::Failed}, Kind{"retried", Counter::Retried},
                          Kind{"received", Counter::Received}})
        out += platform::strprintf("smsgw_messages_today{kind=\"%s\"} %u\n", k.name,
                                   records::counter_today(k.counter));

    std::vector<LinkInfo> links = configured_links();
    metric(out, "smsgw_link_messages_today", "gauge", "Messages counted today per link and kind.");
    struct LinkKind {
        const char* name;
        records::LinkCounter kind;
    };
    for (const LinkInfo& l : links) {
        std::string label = metric_label(l.name);
        for (const LinkKind& k : {LinkKind{"sent", records::LinkCounter::Sent},
                                  LinkKind{"failed", records::LinkCounter::Failed},
                                  LinkKind{"retried", records::LinkCounter::Retry},
                                  LinkKind{"received", records::LinkCounter::Received}})
            out += platform::strprintf("smsgw_link_messages_today{link=\"%s\",kind=\"%s\"} %u\n",
                                       label.c_str(), k.name,
                                       records::link_counter_today(l.name, k.kind));
    }
    metric(out, "smsgw_link_up", "gauge", "1 while the link has no failure recorded.");
    for (const LinkInfo& l : links)
        out += platform::strprintf("smsgw_link_up{link=\"%s\"} %d\n", metric_label(l.name).c_str(),
                                   l.up ? 1 : 0);

    metric(out, "smsgw_queue_size", "gauge", "Messages waiting per queue.");
    out += platform::strprintf("smsgw_queue_size{queue=\"outbound\"} %u\n", outbound_queue_size());
    out += platform::strprintf("smsgw_queue_size{queue=\"inbound\"} %u\n",
                               records::counter_today(Counter::InQueueSize));
    out += platform::strprintf("smsgw_queue_size{queue=\"receipts\"} %u\n",
                               records::counter_today(Counter::ReceiptQueueSize));
    out += platform::strprintf("smsgw_queue_size{queue=\"mms\"} %u\n",
                               frame::count_queue_files(frame::mms_queue_dir(), "*.REQ", 2));

    metric(out, "smsgw_smpp_sessions", "gauge", "Bound SMPP client sessions.");
    out += platform::strprintf("smsgw_smpp_sessions %u\n",
                               static_cast<unsigned>(active_smpp_sessions().size()));

    metric(out, "smsgw_http_responses_total", "counter",
           "HTTP answers since the gateway started, by status.");
    for (int s = 100; s < kMaxStatus; ++s) {
        uint64_t n = status_counts()[static_cast<size_t>(s)].load(std::memory_order_relaxed);
        if (n)
            out += platform::strprintf("smsgw_http_responses_total{status=\"%d\"} %llu\n", s,
                                       static_cast<unsigned long long>(n));
    }
    return out;
}

bool handle_health_metrics(Connection& c, Request& r) {
    if (!address_setting_allows("MonitorIPAddressList", c.peer))
        return send_plain(c, 403, "Forbidden", "text/plain", "Forbidden\n");
    std::string_view path = r.line.path;
    if (path.substr(0, path.find('?')) == "/health") {
        auto [status, reason] = health_state();
        return send_plain(c, status, status == 200 ? "OK" : "Service Unavailable", "text/plain",
                          reason + "\n");
    }
    return send_plain(c, 200, "OK", "text/plain; version=0.0.4", metrics_text());
}

void register_health_metrics_handler() {
    register_route_handler(Route::Health, &handle_health_metrics);
    set_status_counter(&count_http_status);
}

}  // namespace frontends::http
