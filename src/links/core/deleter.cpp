#include "links/core/deleter.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "links/core/module_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace links {

namespace {

constexpr const char* kTrace = "ThreadDeleteSentFiles";
// A thread with nothing to do for this long leaves; the next file starts one.
constexpr unsigned kIdleExitMs = 1000;
// Names waiting in memory at most; beyond it the worker unlinks itself, which
// slows it to the disk's pace instead of growing without bound.
constexpr size_t kBacklogCap = 100000;
// At shutdown the pool keeps unlinking this long; what is left stays as
// "*.REQ.DEL" files for the next start's sweep.
constexpr uint64_t kShutdownDrainMs = 3000;

// Unlinks path and folds what it cost into the running average (1/16 weight).
// False (errno set) when the file could not be removed; ENOENT counts as done.
bool timed_unlink(const std::string& path) {
    std::atomic<uint32_t>& avg = detail::module_state().deleter.unlink_cost_x16;
    const uint64_t start = platform::monotonic_us();
    const bool ok = platform::remove_file(path) || errno == ENOENT;
    const int saved = errno;
    const uint64_t cost = std::min<uint64_t>(platform::monotonic_us() - start, 1000000);
    uint32_t old = avg.load(std::memory_order_relaxed);
    // Lost updates between threads only blur the average.
    avg.store(uint32_t(old - old / 16 + cost), std::memory_order_relaxed);
    errno = saved;
    return ok;
}

void unlink_now(const std::string& path) {
    if (!timed_unlink(path))
        frame::debug_tracef(kTrace, "Error %d deleting %s", errno, path.c_str());
}

void deleter_body() {
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    uint64_t stop_by = 0;
    std::unique_lock<std::mutex> lock(d.mu);
    for (;;) {
        if (d.pending.empty()) {
            d.idle.notify_all();
            if (frame::shutdown_requested() || d.stop) break;
            if (!d.work.wait_for(lock, std::chrono::milliseconds(kIdleExitMs),
                                 [&] { return !d.pending.empty() || d.stop; }))
                break;
            continue;
        }
        if (frame::shutdown_requested()) {
            uint64_t now = platform::monotonic_ms();
            if (stop_by == 0) stop_by = now + kShutdownDrainMs;
            if (now >= stop_by) break;
        }
        std::string path = std::move(d.pending.front());
        d.pending.pop_front();
        ++d.in_progress;
        lock.unlock();
        unlink_now(path);
        lock.lock();
        --d.in_progress;
    }
    --d.threads;
    d.idle.notify_all();
}

// Hands a name to the pool; true when a thread must be started for it.
bool enqueue(detail::ModuleState::Deleter& d, std::string dead, unsigned wanted) {
    std::lock_guard<std::mutex> lock(d.mu);
    d.pending.push_back(std::move(dead));
    ++d.handed_over;
    if (d.threads < wanted && d.pending.size() > d.in_progress) {
        ++d.threads;
        return true;
    }
    return false;
}

void start_deleter(detail::ModuleState::Deleter& d) {
    if (frame::start_thread(kTrace, deleter_body)) return;
    std::lock_guard<std::mutex> lock(d.mu);
    --d.threads;
    // The name waits for the next file's thread, or for the next start.
    frame::debug_tracef(kTrace, "Error starting a deleter thread");
}

}  // namespace

bool defer_delete(const std::string& path) {
    const frame::GlobalSettings& s = frame::settings();
    const unsigned wanted = s.queue_delete_threads;
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    // Unlinks cheaper than the limit (on average) are done by the worker
    // itself: a rename costs a few microseconds, and a hand-off to another
    // thread makes the two contend for the directory.
    const uint64_t limit_x16 = uint64_t(s.queue_delete_inline_below_us) * 16;
    bool inline_delete = wanted == 0 || frame::shutdown_requested() ||
                         d.unlink_cost_x16.load(std::memory_order_relaxed) < limit_x16;
    if (!inline_delete) {
        std::lock_guard<std::mutex> lock(d.mu);
        inline_delete = d.pending.size() >= kBacklogCap;
    }
    if (!inline_delete) {
        std::string dead = path + std::string(frame::kDeletedRequestSuffix);
        if (platform::move_file(path, dead)) {
            bool start = enqueue(d, std::move(dead), wanted);
            d.work.notify_one();
            if (start) start_deleter(d);
            return true;
        }
        if (errno == ENOENT) return true;
        // Rename refused (odd file system, permissions): delete in place.
    }
    if (timed_unlink(path)) return true;
    frame::debug_tracef(kTrace, "Error %d deleting %s", errno, path.c_str());
    return false;
}

unsigned sweep_deleted_requests(const std::string& root) {
    constexpr int kDepth = 8;  // root, DELAYQ/day/time, route, batch and below
    const std::string pattern = "*.REQ" + std::string(frame::kDeletedRequestSuffix);
    const unsigned wanted = frame::settings().queue_delete_threads;
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    unsigned found = 0;
    std::vector<std::pair<std::string, int>> dirs{{platform::with_trailing_slash(root), 0}};
    while (!dirs.empty()) {
        auto [dir, depth] = dirs.back();
        dirs.pop_back();
        for (const auto& e : platform::scan_dir(dir, "*")) {
            std::string path = dir + e.name;
            if (e.is_dir) {
                if (depth + 1 < kDepth) dirs.emplace_back(path + "/", depth + 1);
                continue;
            }
            if (!platform::wildcard_match(pattern, e.name)) continue;
            ++found;
            if (wanted == 0) {
                unlink_now(path);
            } else if (enqueue(d, std::move(path), wanted)) {
                start_deleter(d);
            }
        }
    }
    d.work.notify_all();
    if (found) frame::debug_tracef(kTrace, "%u request files left for deletion", found);
    return found;
}

size_t deferred_delete_backlog() {
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.pending.size() + d.in_progress;
}

uint64_t deferred_delete_total() {
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.handed_over;
}

bool drain_deferred_deletes(unsigned timeout_ms) {
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    std::unique_lock<std::mutex> lock(d.mu);
    return d.idle.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return d.pending.empty() && d.in_progress == 0;
    });
}

void stop_deleters_for_tests() {
    detail::ModuleState::Deleter& d = detail::module_state().deleter;
    std::unique_lock<std::mutex> lock(d.mu);
    d.stop = true;
    d.work.notify_all();
    d.idle.wait(lock, [&] { return d.threads == 0; });
    d.stop = false;
    d.unlink_cost_x16.store(0);
}

void set_unlink_cost_for_tests(uint32_t microseconds) {
    detail::module_state().deleter.unlink_cost_x16.store(microseconds * 16);
}

}  // namespace links
