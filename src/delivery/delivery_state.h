// Process-wide mutable state of the delivery module in one struct, so that
// tests can put all of it back to what a fresh process starts with. Internal
// to the module: other modules use the functions of routing.h,
// route_cache.h and long_message_locks.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "delivery/routing.h"
#include "platform/snapshot.h"

namespace delivery {

struct DeliveryState {
    // Lock files of long messages waiting for deferred deletion, and the
    // clock that ages them (nullptr: the monotonic clock).
    struct LockEntry {
        std::string dir;
        std::string base;
        std::string path;
        uint64_t since = 0;
    };
    std::mutex locks_lock;
    std::vector<LockEntry> locks;
    std::atomic<uint64_t (*)()> lock_clock{nullptr};

    // The route cache: decisions and queue-full holds by file key.
    struct RouteCache {
        std::mutex lock;
        std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> table;
        // The keys of table that hold routing decisions (the others are
        // queue-full holds): what a change of the routing lists invalidates.
        std::unordered_set<std::string, StringHash, std::equal_to<>> route_keys;
    } route_cache;

    // Readers load the published tables without a lock and keep that
    // generation alive with their copy; a reload publishes in one store.
    std::mutex reload_lock;
    platform::Snapshot<RoutingTables> routing;
};

DeliveryState& delivery_state();

// Puts all of the module's state back to that of a fresh process: no lock
// file waiting and the monotonic clock, an empty route cache, empty routing
// tables (tests only).
void reset_delivery_for_tests();

}  // namespace delivery
