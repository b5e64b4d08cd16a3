// Process-wide state of quotas, credits, queue counts and the accounting
// keep-alive pool: one record, so that tests can put it back as at start.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/http_client.h"
#include "platform/files.h"

namespace records {

inline constexpr size_t kQuotaSlots = 366;

// One account's quota, credit and queue state. Entries are created on first
// use and never removed, so a pointer to one stays valid for the process.
struct QuotaEntry {
    explicit QuotaEntry(std::string n) : name(std::move(n)) {}
    QuotaEntry(const QuotaEntry&) = delete;
    QuotaEntry& operator=(const QuotaEntry&) = delete;

    const std::string name;  // spelling of the first use

    // Under quota_lock: the open yearly quota file and its counters.
    std::mutex quota_lock;
    platform::FileHandle quota_fd;
    std::string quota_path;
    int quota_year = 0;
    std::array<uint32_t, kQuotaSlots> quota_counters{};
    bool quota_changed = false;
    unsigned quota_flushes = 0;
    // The account's own limits, reloaded when older than a minute.
    uint32_t own_limit_day = 0, own_limit_month = 0;
    uint64_t own_limits_ms = 0;  // monotonic time of the load; 0 = never

    // Under credit_lock: the open credit file and the balance (thousandths).
    std::mutex credit_lock;
    platform::FileHandle credit_fd;
    std::string credit_path;
    int64_t credit_balance = 0;
    bool credit_eight_bytes = false;  // the file already has the 8-byte form
    bool credit_changed = false;
    unsigned credit_flushes = 0;

    // Outbound queue counts: the published count of the last complete walk
    // and the running count of the walk in progress.
    std::atomic<uint32_t> queue_count{0};
    std::atomic<uint32_t> queue_running{0};
};

// Validates a route named by an accounting answer (a Modem<n> value or a
// link's RouteName); installed by the entry routine.
using AccountingRouteValidator = bool (*)(std::string_view route);

struct QuotaState {
    std::mutex entries_lock;
    std::vector<std::unique_ptr<QuotaEntry>> entries;

    // Accounting keep-alive pool, oldest first.
    std::mutex pool_lock;
    std::deque<std::unique_ptr<frame::KeepAlive>> pool;
    std::atomic<uint64_t> pool_reused{0};  // connections taken from the pool

    std::atomic<AccountingRouteValidator> route_validator{nullptr};
};

QuotaState& quota_state();
// Tests only: closes every quota and credit file without writing, forgets
// every entry, empties the pool and removes the route validator. No other
// thread may be using the module.
void reset_quotas_for_tests();

}  // namespace records
