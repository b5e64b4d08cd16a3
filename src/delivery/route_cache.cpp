// The route cache table and its routing entries.
#include "delivery/route_cache.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "delivery/delivery_state.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/events.h"

namespace delivery {

namespace {

constexpr const char* kTraceAdd = "MessageRoutesAdd";
constexpr std::string_view kWakeKind = "SMSOut";

using Cache = DeliveryState::RouteCache;

Cache& cache() {
    return delivery_state().route_cache;
}

// Is the file (relative key) in the queue of its own explicit route?
bool in_own_route_queue(std::string_view key, std::string_view route) {
    std::string dir = "RT_-_" + platform::clean_path_part(route) + "_-_";
    return platform::istarts_with(key, dir);
}

bool store_routes(const std::string& key, std::string_view route, const RouteQuery* q) {
    std::string value;
    if (!route.empty()) {
        support::SetEventForInterface(kWakeKind, route);
        value = std::string(kExplicitRoutePrefix) + std::string(route);
    } else {
        std::vector<std::string> links = CheckPreferredRouteMulti(*q);
        if (links.empty()) return false;
        for (const std::string& l : links) {
            support::SetEventForInterface(kWakeKind, l);
            if (!value.empty()) value += '\t';
            value += l;
        }
    }
    frame::debug_tracef(kTraceAdd, "%s = %s", key.c_str(), value.c_str());
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.lock);
    if (c.table.emplace(key, std::move(value)).second) c.route_keys.insert(key);
    return true;
}

bool add_routes(std::string_view path, std::string_view route, const RouteQuery& q) {
    if (platform::iequals(route, frame::kInvalidRouteName) || is_local_user_route(route))
        return false;
    std::string key = route_cache_key(path);
    if (!route.empty() && frame::settings().use_route_queues && in_own_route_queue(key, route)) {
        // Only workers of that route look into its queue; still wake them.
        support::SetEventForInterface(kWakeKind, route);
        return false;
    }
    return store_routes(key, route, &q);
}

}  // namespace

bool route_cache_insert(std::string_view key, std::string_view value) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.lock);
    return c.table.emplace(std::string(key), std::string(value)).second;
}

std::optional<std::string> route_cache_lookup(std::string_view key) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.lock);
    auto it = c.table.find(key);
    if (it == c.table.end()) return std::nullopt;
    return it->second;
}

bool route_cache_delete(std::string_view key) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.lock);
    auto it = c.table.find(key);
    if (it == c.table.end()) return false;
    c.table.erase(it);
    if (auto r = c.route_keys.find(key); r != c.route_keys.end()) c.route_keys.erase(r);
    return true;
}

size_t route_cache_count() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.lock);
    return c.table.size();
}

void route_cache_clear() {
    Cache& c = cache();
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> old;
    std::unordered_set<std::string, StringHash, std::equal_to<>> old_keys;
    {
        std::lock_guard<std::mutex> lock(c.lock);
        old.swap(c.table);
        old_keys.swap(c.route_keys);
    }
}

size_t route_cache_clear_routes() {
    Cache& c = cache();
    std::unordered_set<std::string, StringHash, std::equal_to<>> keys;
    std::lock_guard<std::mutex> lock(c.lock);
    keys.swap(c.route_keys);
    for (const std::string& k : keys) c.table.erase(k);
    return keys.size();
}

bool reload_routing() {
    if (!reload_routing_lists()) return false;
    // Cached candidates were chosen under the old lists: new blocks,
    // preferences and RoutePrefOnly must apply to queued files too.
    size_t n = route_cache_clear_routes();
    frame::debug_tracef(kTraceAdd, "Routing changed, %u cached routes dropped",
                        static_cast<unsigned>(n));
    return true;
}

std::string route_cache_key(std::string_view path) {
    const std::string& root = frame::settings().q_dir;
    if (!root.empty() && path.size() > root.size() && path.starts_with(root))
        return std::string(path.substr(root.size()));
    return std::string(path);
}

bool MessageRoutesAdd(std::string_view file_path, std::string_view route, const RouteQuery& q) {
    if (!frame::settings().use_route_cache_on_submit) return false;
    return add_routes(file_path, route, q);
}

bool MessageRoutesAdd(std::string_view file_name, const store::SmsMessage& msg) {
    if (!frame::settings().use_route_cache) return false;
    return add_routes(file_name, msg.route, route_query(msg));
}

RouteCacheDecision route_cache_test(std::string_view file_name, const LinkIdentity& link) {
    RouteCacheDecision d;
    if (!frame::settings().use_route_cache) return d;
    std::optional<std::string> value = route_cache_lookup(route_cache_key(file_name));
    if (!value) return d;
    std::string_view v(*value);
    if (v.starts_with(kExplicitRoutePrefix)) {
        d.take = route_names_link(v.substr(kExplicitRoutePrefix.size()), link);
    } else {
        d.take = false;
        while (!d.take) {
            size_t tab = v.find('\t');
            d.take = route_names_link(v.substr(0, tab), link);
            if (tab == std::string_view::npos) break;
            v.remove_prefix(tab + 1);
        }
    }
    d.from_cache = d.take;
    return d;
}

bool route_cache_remove_file(std::string_view file_name) {
    return route_cache_delete(route_cache_key(file_name));
}

void routing_db_create() {
    route_cache_clear();
}

void routing_db_reset() {
    route_cache_clear();
}

void routing_db_destroy() {
    frame::debug_tracef("main", "Routing DB Count = %u",
                        static_cast<unsigned>(route_cache_count()));
    route_cache_clear();
}

void register_routing_duties() {
    using frame::Duty;
    frame::register_duty(Duty::StartRouting, "CreateRoutingDb", routing_db_create);
    frame::register_duty(Duty::Reload, "LoadPreferredRouteList", [] { reload_routing(); });
    frame::register_duty(Duty::RoutingDbReset, "RoutingDbReset", routing_db_reset);
    frame::register_duty(Duty::Shutdown, "FreePreferredRouteList", release_routing_lists);
    frame::register_duty(Duty::Close, "DestroyRoutingDb", routing_db_destroy);
}

}  // namespace delivery
