// The per-account user cache of the front ends: one entry per account name
// (case-insensitive), created on first use and kept until the process ends.
// It holds the account record copy used by web authentication (reloaded
// when older than 59 s) and the state that quotas, credits, queue limits
// and the SMPP server keep per account.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "support/accounts.h"

namespace frontends::http {

inline constexpr const char* kSystemEntryName = "**system**";
inline constexpr uint64_t kUserRecordMaxAgeMs = 59000;
inline constexpr size_t kQuotaDays = 366;

struct UserCacheEntry {
    explicit UserCacheEntry(std::string n) : name(std::move(n)) {}
    UserCacheEntry(const UserCacheEntry&) = delete;
    UserCacheEntry& operator=(const UserCacheEntry&) = delete;

    const std::string name;         // spelling of the first use
    std::atomic<int> use_count{0};  // front ends holding the entry

    // The three locks of the entry: the record copy and SMPP counts; the
    // quota file; the credit file.
    std::mutex lock;
    std::mutex quota_lock;
    std::mutex credit_lock;

    // Under lock: the account record copy for web authentication.
    support::UserRecord record;
    bool record_found = false;
    uint64_t loaded_ms = 0;  // monotonic time of the load; 0 = never

    // Under quota_lock: the open quota file and its day counters.
    int quota_fd = -1;  // owned by the quota code, which closes it
    std::string quota_path;
    std::array<uint32_t, kQuotaDays> quota_counters{};
    bool quota_changed = false;
    unsigned quota_flushes = 0;

    // Under credit_lock: the open credit file and the balance.
    int credit_fd = -1;  // owned by the credit code, which closes it
    std::string credit_path;
    int64_t credit_balance = 0;
    bool credit_changed = false;
    unsigned credit_flushes = 0;

    // Outbound queue counts of the account: the published count of the last
    // complete walk and the running count of the walk in progress.
    std::atomic<uint32_t> queue_count{0};
    std::atomic<uint32_t> queue_running{0};

    // Under lock: SMPP server sessions of the account.
    unsigned smpp_sessions = 0;
    unsigned ms_per_message = 0;     // delivery pace from ThrottleSpeed
    uint64_t delivered_count = 0;    // messages delivered to the client
    uint32_t queue_file_number = 0;  // running number for queue file names
};

// The entry of name (created when missing), its use count incremented.
UserCacheEntry* take_user_entry(std::string_view name);
void release_user_entry(UserCacheEntry* entry);
// The entry without taking it; nullptr when none exists.
UserCacheEntry* find_user_entry(std::string_view name);
// Every entry in creation order (the flush and queue-count threads).
void for_each_user_entry(const std::function<void(UserCacheEntry&)>& fn);

// Copy of the account record from entry (reloaded from the account store
// when never loaded or older than 59 s; "Updating cached user info" is
// traced on a refresh). False when the account does not exist.
bool cached_user_record(UserCacheEntry& entry, support::UserRecord& out);

// Tests: the clock the cache ages by (nullptr restores the monotonic one).
void set_user_cache_clock_for_tests(uint64_t (*now_ms)());

}  // namespace frontends::http
