// The route cache: one process-wide table from text key to text value under
// its own lock. For routing the key is a queued file name relative to the
// outbound queue root and the value "*=" + explicit route or the candidate
// links joined by tabs, so that workers skip messages of other links without
// loading them. The queue-full holds live in the same table.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "delivery/routing.h"
#include "store/request_file.h"

namespace delivery {

// --- the table ------------------------------------------------------------------

// Inserts key -> value; an existing key keeps its old value (false).
bool route_cache_insert(std::string_view key, std::string_view value);
std::optional<std::string> route_cache_lookup(std::string_view key);
// True when the key was present.
bool route_cache_delete(std::string_view key);
size_t route_cache_count();
// Empties the table (creation at start-up, the routing database reset).
void route_cache_clear();
// Removes the routing entries and keeps the queue-full holds; returns how
// many were removed.
size_t route_cache_clear_routes();

// --- routing entries ----------------------------------------------------------------

// Cache key of a queued file: its path relative to the outbound queue root
// (a path outside the root, or already relative, stays as it is).
std::string route_cache_key(std::string_view path);

// Value prefix of an explicit route.
inline constexpr std::string_view kExplicitRoutePrefix = "*=";

// At submission (only with UseRouteCacheOnSubmit): nothing for the invalid
// route, "localuser:" routes and a file already in its route's queue (with
// UseRouteQueues); otherwise signals "SMSOut" + route and stores "*=" +
// route, or signals "SMSOut" + each candidate of CheckPreferredRouteMulti
// and stores them tab-joined (nothing when there is none). True when stored.
bool MessageRoutesAdd(std::string_view file_path, std::string_view route, const RouteQuery& q);
// In a worker (only with UseRouteCache), for a message this link will not
// take: the same with the loaded message's fields.
bool MessageRoutesAdd(std::string_view file_name, const store::SmsMessage& msg);

// A worker's test (only with UseRouteCache; no entry means take): take when
// the explicit route or any candidate names this link (route_names_link).
// from_cache: the cache chose this link, so CheckPreferredRoute is skipped.
struct RouteCacheDecision {
    bool take = true;
    bool from_cache = false;
};
RouteCacheDecision route_cache_test(std::string_view file_name, const LinkIdentity& link);

// After the message was sent, failed, re-routed or delivered locally.
bool route_cache_remove_file(std::string_view file_name);

// --- life cycle (main loop duties) ----------------------------------------------

// Start-up: an empty cache.
void routing_db_create();
// The reset-routing-database flag: links were added, so every cached
// candidate list may be missing one.
void routing_db_reset();
// Shutdown: traces "Routing DB Count = %u" (Debug on) and empties the cache.
void routing_db_destroy();

// A configuration reload: reload_routing_lists(), and when it published new
// lists the cached routing entries are dropped. True when published.
bool reload_routing();

// Hands the routing duties to the main loop: the cache at start-up
// (StartRouting), the preferred route and sender lists at start-up and on
// every configuration reload (Reload), the cache reset when links were added
// (RoutingDbReset), freeing the lists once every thread has left (Shutdown)
// and the cache at the end (Close).
void register_routing_duties();

}  // namespace delivery
