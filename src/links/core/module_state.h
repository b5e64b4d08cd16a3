// The link worker core's process-wide mutable state, gathered in one struct
// so that tests can put all of it back with one call. Each part has its own
// lock; no code holds two of them at once. Private to core/.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "links/core/link_kind.h"
#include "links/core/link_worker.h"

namespace links::detail {

// One listing of the queue cache. Kept as names and ranges rather than as
// joined "name\t\t<index>" and "subdir\file" texts, so that a name holding a
// tab or a backslash cannot be cut or matched wrongly.
struct QueueListing {
    struct Directory {
        std::string name;  // "." for the root
        size_t first = 0;  // index of its first file in files
        size_t count = 0;
    };
    std::vector<Directory> dirs;
    std::vector<std::string> files;  // bare names, grouped by directory
};

struct ModuleState {
    // Written at start-up by the kinds' register functions.
    struct Kinds {
        std::mutex mu;
        std::map<LinkKind, LinkKindEntry> entries;
    } kinds;

    std::atomic<LocalDeliveryHook> local_delivery{nullptr};

    // Time of the previous submit anywhere in the gateway (MessageThrottleDelay).
    struct Throttle {
        std::mutex mu;
        uint64_t last_ms = 0;
        bool have_last = false;
    } throttle;

    // The queue cache thread's last listing.
    struct QueueCache {
        std::mutex mu;
        QueueListing listing;
        bool ready = false;
    } queue_cache;

    // Renamed request files waiting for a deleter thread to unlink them.
    struct Deleter {
        std::mutex mu;
        std::condition_variable work;  // a name was queued
        std::condition_variable idle;  // the backlog emptied or a thread left
        std::deque<std::string> pending;
        unsigned threads = 0;      // deleter threads running
        unsigned in_progress = 0;  // names taken but not yet unlinked
        uint64_t handed_over = 0;  // names queued since start
        bool stop = false;         // tests: every thread leaves once the backlog is done
        // Running average of what one unlink costs here (microseconds, times
        // 16): where unlinking is cheap (tmpfs, a cold cache) the worker
        // deletes itself, since a rename and a hand-off cost more than that.
        std::atomic<uint32_t> unlink_cost_x16{0};
    } deleter;
};

ModuleState& module_state();

}  // namespace links::detail
