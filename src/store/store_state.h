// Process-wide mutable state of the store module in one struct, so that
// tests can put all of it back to what a fresh process starts with.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "store/retry.h"

namespace store {

struct StoreState {
    // Message ids: the counter and the pseudo-random sequence share one lock.
    struct Ids {
        std::mutex lock;
        bool counter_started = false;
        bool counter_used = false;       // since start: an unused counter is never saved
        uint32_t counter = 0;            // last id handed out
        std::optional<uint32_t> stored;  // value UID.DAT holds, as far as we know
        // First id not covered by what UID.DAT durably holds: a restart after
        // a crash resumes at the stored value + the restart gap, so ids from
        // there on need a new reservation first. Unset: nothing written yet.
        std::optional<uint32_t> covered_until;
        bool reserve_failed = false;     // the last reservation write failed (traced once)
        bool random_started = false;
        uint32_t random = 0;
    } ids;
    // Saves must not overtake each other (the 30-second round and shutdown can
    // meet), or an older value could be written last.
    std::mutex save_lock;
    // The 8-bit sequence number of concatenation references.
    struct Sequence {
        std::mutex lock;
        bool started = false;
        uint8_t value = 0;
    } sequence;

    // Retry records that could not be written into their request files
    // (disk full ...), by device and inode: the back-off goes on from them
    // until a rewrite succeeds. file_count and size tell the same, unchanged
    // file from a later one that reuses the inode.
    struct RememberedRetry {
        uint32_t file_count = 0;  // the retry count the file itself holds
        uint64_t size = 0;
        uint32_t count = 0;       // the count it should hold
        MessageTime last{};
        time_t noted = 0;
    };
    std::mutex retry_memo_lock;
    std::map<std::pair<uint64_t, uint64_t>, RememberedRetry> retry_memo;
    std::atomic<size_t> retry_memo_size{0};

    // Hooks of later modules; nullptr: the defaults.
    std::atomic<AccountingHook> accounting{nullptr};
    std::atomic<FailureReceiptHook> failure_receipt{nullptr};
    std::atomic<RouteValidator> route_validator{nullptr};

    // Bulk queue: the pause between two counts of a full target directory,
    // and the batches whose template problem was already traced (one line per
    // batch, not one per round and thread).
    std::atomic<unsigned> bulk_pace_wait_ms{1000};
    std::mutex reported_lock;
    std::set<std::string> reported;

    // Delay queue: when the queue root was last listed for an unusual
    // spelling of the delay directory.
    std::mutex delay_scan_lock;
    uint64_t delay_last_scan_ms = 0;
    std::string delay_last_root;
};

StoreState& store_state();

// True the first time key is given (kept in the reported set): for trace
// lines a thread would otherwise write on every round.
bool first_report(const std::string& key);

// Puts all of the module's state back to that of a fresh process: message
// ids and sequence as if restarted, default hooks, bulk pacing and reports,
// delay directory rescans (tests only).
void reset_store_for_tests();

}  // namespace store
