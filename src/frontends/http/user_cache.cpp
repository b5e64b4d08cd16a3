// The per-account user cache: a list that only grows, under one lock.
#include "frontends/http/user_cache.h"

#include <memory>
#include <vector>

#include "frontends/http/http_state.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/trace_sink.h"

namespace frontends::http {

namespace {

HttpState::Users& users() {
    return http_state().users;
}

uint64_t now_ms() {
    uint64_t (*fn)() = users().clock.load(std::memory_order_acquire);
    return fn ? fn() : platform::monotonic_ms();
}

UserCacheEntry* find_locked(std::string_view name) {
    for (auto& e : users().entries) {
        if (platform::iequals(e->name, name)) return e.get();
    }
    return nullptr;
}

}  // namespace

UserCacheEntry* take_user_entry(std::string_view name) {
    std::lock_guard<std::mutex> lock(users().lock);
    UserCacheEntry* e = find_locked(name);
    if (!e) {
        users().entries.push_back(std::make_unique<UserCacheEntry>(std::string(name)));
        e = users().entries.back().get();
    }
    e->use_count.fetch_add(1, std::memory_order_relaxed);
    return e;
}

void release_user_entry(UserCacheEntry* entry) {
    if (!entry) return;
    int prev = entry->use_count.fetch_sub(1, std::memory_order_relaxed);
    if (prev <= 0) entry->use_count.fetch_add(1, std::memory_order_relaxed);  // never below 0
}

UserCacheEntry* find_user_entry(std::string_view name) {
    std::lock_guard<std::mutex> lock(users().lock);
    return find_locked(name);
}

void for_each_user_entry(const std::function<void(UserCacheEntry&)>& fn) {
    std::vector<UserCacheEntry*> snapshot;
    {
        std::lock_guard<std::mutex> lock(users().lock);
        for (auto& e : users().entries) snapshot.push_back(e.get());
    }
    for (UserCacheEntry* e : snapshot) fn(*e);
}

bool cached_user_record(UserCacheEntry& entry, support::UserRecord& out) {
    std::lock_guard<std::mutex> lock(entry.lock);
    uint64_t now = now_ms();
    if (entry.loaded_ms == 0 || now - entry.loaded_ms > kUserRecordMaxAgeMs) {
        if (entry.loaded_ms != 0) platform::trace("WebAuth", "Updating cached user info");
        support::UserFile file;
        support::UserRecord rec;
        bool found =
            support::SMSOpenUserFile(file) && support::SMSFindUserRecord(file, entry.name, rec);
        support::SMSCloseUserFile(file);
        entry.record = found ? rec : support::UserRecord{};
        entry.record_found = found;
        entry.loaded_ms = now ? now : 1;
    }
    out = entry.record;
    return entry.record_found;
}

void set_user_cache_clock_for_tests(uint64_t (*fn)()) {
    users().clock.store(fn, std::memory_order_release);
}

}  // namespace frontends::http
