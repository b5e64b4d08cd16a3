// The [Inbound SMS Routing] table and its lookup.
#include "inbound/inbound_routing.h"

#include <atomic>
#include <mutex>

#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/ini_profile.h"

namespace inbound {

namespace {

constexpr std::string_view kSection = "Inbound SMS Routing";
constexpr std::string_view kServiceType = "service_type=";
constexpr uint64_t kRecheckMs = 15000;

struct Cache {
    std::mutex mu;
    std::shared_ptr<const RoutingTable> table;
    platform::FileStamp stamp;
    std::string file;
    uint64_t checked_ms = 0;
    bool loaded = false;
};

Cache& cache() {
    static Cache c;
    return c;
}

std::shared_ptr<const RoutingTable> read_table(const std::string& file) {
    auto t = std::make_shared<RoutingTable>();
    for (const auto& [user, list] : support::ini_section(file, kSection)) {
        std::string_view u = platform::trim(user);
        if (u.empty()) continue;
        t->push_back(routing_line(u, list));
    }
    return t;
}

}  // namespace

RoutingLine routing_line(std::string_view user, std::string_view list) {
    RoutingLine line;
    line.user = std::string(user);
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view item = platform::trim(list.substr(pos, comma - pos));
        if (!item.empty()) line.items.emplace_back(item);
        pos = comma + 1;
    }
    return line;
}

std::string route_by_table(const RoutingTable& table, std::string_view recipient,
                           std::string_view service_type) {
    std::string chosen;
    size_t best = 0;  // length of the pattern that chose; 0 with a service-type choice
    bool have = false;
    bool service_seen = false;
    for (const RoutingLine& line : table) {
        bool excluded = false, has_service = false, service_match = false;
        std::vector<std::string_view> patterns;
        for (const std::string& item : line.items) {
            std::string_view it = item;
            if (it[0] == '!') {
                std::string_view rest = platform::trim(it.substr(1));
                if (platform::istarts_with(rest, kServiceType)) {
                    if (delivery::route_pattern_match(rest.substr(kServiceType.size()),
                                                      service_type))
                        excluded = true;
                } else if (delivery::route_pattern_match(rest, recipient)) {
                    excluded = true;
                }
            } else if (platform::istarts_with(it, kServiceType)) {
                has_service = true;
                if (delivery::route_pattern_match(it.substr(kServiceType.size()), service_type))
                    service_match = true;
            } else {
                patterns.push_back(it);
            }
        }
        if (excluded) continue;
        if (has_service && !service_match) continue;
        if (service_match && !service_seen) {
            // The first service-type rule that holds outranks every choice
            // made by recipient so far.
            service_seen = true;
            chosen.clear();
            have = false;
            best = 0;
        }
        for (std::string_view p : patterns) {
            if (!delivery::route_pattern_match(p, recipient)) continue;
            if (!have || p.size() > best) {
                chosen = line.user;
                best = p.size();
                have = true;
            }
        }
        if (service_match && patterns.empty() && !have) {
            chosen = line.user;
            best = 0;
            have = true;
        }
    }
    return chosen;
}

std::shared_ptr<const RoutingTable> inbound_routing_table() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    const std::string file = support::SMSIniGetFilename();
    const uint64_t now = platform::monotonic_ms();
    if (c.loaded && c.file == file && now - c.checked_ms < kRecheckMs) return c.table;
    platform::FileStamp stamp = platform::file_stamp(file);
    c.checked_ms = now;
    if (!c.loaded || c.file != file || !(stamp == c.stamp)) {
        c.table = read_table(file);
        c.stamp = stamp;
        c.file = file;
        c.loaded = true;
    }
    return c.table;
}

void reset_inbound_routing_cache() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    c.loaded = false;
    c.table.reset();
}

bool is_inbound_store_user(std::string_view user) {
    return platform::istarts_with(user, kInboundStoreUser);
}

std::string InboundRoutingLookup(std::string_view recipient, std::string_view service_type,
                                 std::string_view preset_user) {
    std::string_view preset = platform::trim(preset_user);
    if (!preset.empty()) {
        if (is_inbound_store_user(preset)) return std::string(preset);
        if (platform::file_exists(frame::user_dir(preset) + "RECV.FLG")) return std::string(preset);
    }
    std::shared_ptr<const RoutingTable> t = inbound_routing_table();
    if (t->empty()) return {};
    std::string user = route_by_table(*t, recipient, service_type);
    if (!user.empty() && frame::debug_on())
        frame::debug_tracef("InboundRoutingLookup", "Recipient %.*s routed to local user %s",
                            int(recipient.size()), recipient.data(), user.c_str());
    return user;
}

}  // namespace inbound
