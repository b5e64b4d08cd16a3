// Order, next-segment and lock rules for the segments of a long message, and
// the deferred deletion of the lock files.
#include "delivery/long_message_locks.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "delivery/delivery_state.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace delivery {

namespace {

constexpr std::string_view kLockTrace = "LongMessageLock";
constexpr size_t kMaxLockContent = 1024;

bool parse_decimal(std::string_view s, uint32_t& v) {
    if (s.empty() || s.size() > 3) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    return true;
}

bool parse_hex32(std::string_view s, uint32_t& v) {
    if (s.empty() || s.size() > 8) return false;
    v = 0;
    for (char c : s) {
        const int d = platform::hex_digit_value(c);
        if (d < 0) return false;
        v = v << 4 | uint32_t(d);
    }
    return true;
}

// False once the cleanup has unlinked (or replaced) the file behind fd.
bool still_linked(int fd, const std::string& path) {
    return platform::fd_is_path(fd, path);
}

// The content up to its NUL (the file is never shortened).
std::string read_content(int fd) {
    std::string text = platform::read_fd(fd, kMaxLockContent).value_or(std::string());
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

bool write_content(int fd, std::string_view text) {
    std::string buf(text);
    buf.push_back('\0');
    return platform::pwrite_all(fd, buf.data(), buf.size(), 0);
}

// --- cleanup registry -------------------------------------------------------------

using Entry = DeliveryState::LockEntry;

uint64_t now_ms() {
    auto fn = delivery_state().lock_clock.load();
    return fn ? fn() : platform::monotonic_ms();
}

bool segment_left(const std::string& dir, const std::string& base) {
    for (const platform::DirEntry& e :
         platform::scan_dir(dir, base + "-*.REQ", platform::ScanKind::FilesOnly)) {
        SegmentName n;
        if (parse_segment_name(e.name, n) && platform::iequals(n.base, base)) return true;
    }
    return false;
}

// Deletes the lock file unless a claimer holds it right now. True when the
// file is gone afterwards.
bool delete_lock_file(const std::string& path) {
    platform::FileHandle h = platform::open_file(path, O_RDWR);
    if (!h) return errno == ENOENT;
    if (!platform::try_lock_exclusive(h.fd())) return false;
    if (still_linked(h.fd(), path)) platform::remove_file(path);
    return !platform::file_exists(path);
}

}  // namespace

// --- names and order ----------------------------------------------------------------

bool parse_segment_name(std::string_view file_name, SegmentName& name) {
    if (!platform::istarts_with(file_name, "SAR-")) return false;
    const size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || !platform::iequals(file_name.substr(dot + 1), "req"))
        return false;
    const std::string_view stem = file_name.substr(0, dot);
    const size_t d3 = stem.rfind('-');
    if (d3 == std::string_view::npos || d3 < 4) return false;
    const size_t d2 = stem.rfind('-', d3 - 1);
    if (d2 == std::string_view::npos || d2 < 4) return false;
    const size_t d1 = stem.rfind('-', d2 - 1);
    if (d1 == std::string_view::npos || d1 < 3) return false;
    SegmentName n;
    if (!parse_hex32(stem.substr(d1 + 1, d2 - d1 - 1), n.message_number)) return false;
    if (!parse_decimal(stem.substr(d2 + 1, d3 - d2 - 1), n.total)) return false;
    if (!parse_decimal(stem.substr(d3 + 1), n.sequence)) return false;
    if (n.total == 0 || n.total > 255 || n.sequence == 0 || n.sequence > n.total) return false;
    n.base = std::string(stem.substr(0, d2));
    n.ext = std::string(file_name.substr(dot + 1));
    name = std::move(n);
    return true;
}

std::string sibling_segment_name(const SegmentName& name, uint32_t sequence) {
    return name.base + platform::strprintf("-%u-%u.", name.total, sequence) + name.ext;
}

std::string long_message_lock_name(const SegmentName& name) {
    return name.base + ".LCK";
}

bool earlier_segment_queued(const std::string& queue_dir, std::string_view file_name) {
    SegmentName n;
    if (!parse_segment_name(file_name, n)) return false;
    const std::string dir = platform::with_trailing_slash(queue_dir);
    for (uint32_t k = 1; k < n.sequence; ++k) {
        if (platform::file_exists(dir + sibling_segment_name(n, k))) return true;
    }
    return false;
}

std::optional<std::string> CheckAdditionalLongMessageSegments(const std::string& queue_dir,
                                                              std::string_view file_name) {
    SegmentName n;
    if (!parse_segment_name(file_name, n)) return std::nullopt;
    const std::string dir = platform::with_trailing_slash(queue_dir);
    for (uint32_t k = n.sequence + 1; k <= n.total; ++k) {
        std::string next = sibling_segment_name(n, k);
        if (platform::file_exists(dir + next)) {
            frame::debug_trace("CheckAdditionalLongMessageSegments", next);
            return next;
        }
    }
    return std::nullopt;
}

// --- the lock -------------------------------------------------------------------------

LongMessageLock& LongMessageLock::operator=(LongMessageLock&& o) noexcept {
    if (this != &o) {
        finish(false);
        file_ = std::move(o.file_);
        exclusive_ = o.exclusive_;
        path_ = std::move(o.path_);
        dir_ = std::move(o.dir_);
        base_ = std::move(o.base_);
        link_ = std::move(o.link_);
    }
    return *this;
}

LongMessageLock::~LongMessageLock() {
    finish(false);
}

void LongMessageLock::finish(bool sent) {
    if (!file_.valid()) return;
    if (sent) {
        // A worker that went on without the exclusive lock found the message
        // already named after its link; it updates only when it can lock.
        const bool locked = exclusive_ || platform::try_lock_exclusive(file_.fd());
        if (locked) {
            const std::string content = read_content(file_.fd());
            if (content.empty() || content.starts_with(kPendingPrefix)) {
                if (!write_content(file_.fd(), link_))
                    frame::debug_tracef(kLockTrace, "Error %d writing %s", errno, path_.c_str());
            }
        }
    }
    file_.close();  // drops the lock
    exclusive_ = false;
    register_long_message_lock(dir_, base_);
    path_.clear();
}

bool AcquireLongMessageLock(const std::string& queue_dir, std::string_view file_name,
                            std::string_view link_name, LongMessageLock& lock) {
    lock.finish(false);
    if (frame::ini_bool("DisableLongMessageSMSCCheck", false)) return true;
    SegmentName n;
    if (!parse_segment_name(file_name, n)) return true;
    const std::string dir = platform::with_trailing_slash(queue_dir);
    const std::string path = dir + long_message_lock_name(n);
    const std::string pending = std::string(kPendingPrefix) + std::string(link_name);

    // A few rounds: the cleanup may unlink the file between our open and lock.
    for (int round = 0; round < 5; ++round) {
        platform::FileHandle h = platform::open_file(path, O_RDWR | O_CREAT, 0644);
        if (!h) {
            frame::debug_tracef(kLockTrace, "Error %d opening %s", errno, path.c_str());
            return false;
        }
        const int fd = h.fd();
        bool exclusive = platform::try_lock_exclusive(fd);
        if (!exclusive && errno != EWOULDBLOCK) {
            frame::debug_tracef(kLockTrace, "Error %d locking %s", errno, path.c_str());
            return false;
        }
        if (!still_linked(fd, path)) continue;
        const std::string content = read_content(fd);
        bool go_on = false;
        if (!exclusive) {
            // Someone is between claim and outcome. Only a message that this
            // link has already sent a segment of goes on: an empty file or a
            // "Pending:" claim may be about to be overwritten by the holder.
            go_on = content == link_name;
        } else if (content == link_name || content == pending) {
            go_on = true;
        } else if (content.empty() || content.starts_with(kPendingPrefix)) {
            // Free, or claimed by a link that has not sent anything yet.
            go_on = write_content(fd, pending);
            if (!go_on) frame::debug_tracef(kLockTrace, "Error %d writing %s", errno, path.c_str());
        }
        if (!go_on) return false;
        lock.file_ = std::move(h);
        lock.exclusive_ = exclusive;
        lock.path_ = path;
        lock.dir_ = dir;
        lock.base_ = n.base;
        lock.link_ = std::string(link_name);
        return true;
    }
    return false;
}

// --- deferred deletion ------------------------------------------------------------------

void register_long_message_lock(const std::string& queue_dir, const std::string& base) {
    const std::string dir = platform::with_trailing_slash(queue_dir);
    std::string path = dir + base + ".LCK";
    const uint64_t now = now_ms();
    DeliveryState& r = delivery_state();
    std::lock_guard g(r.locks_lock);
    for (Entry& e : r.locks) {
        if (e.path == path) {
            e.since = now;
            return;
        }
    }
    r.locks.push_back(Entry{dir, base, std::move(path), now});
}

size_t CleanupLongMessageLocks(bool all) {
    DeliveryState& r = delivery_state();
    const uint64_t now = now_ms();
    std::vector<Entry> due;
    {
        std::lock_guard g(r.locks_lock);
        for (const Entry& e : r.locks) {
            if (all || now - e.since >= kLockCleanupAgeMs) due.push_back(e);
        }
    }
    if (due.empty()) {
        std::lock_guard g(r.locks_lock);
        return r.locks.size();
    }

    // File work outside the registry lock; links register while it runs.
    std::vector<bool> gone(due.size(), false);
    for (size_t i = 0; i < due.size(); ++i) {
        const Entry& e = due[i];
        if (!segment_left(e.dir, e.base))
            gone[i] = delete_lock_file(e.path);
        else
            gone[i] = !platform::file_exists(e.path);
    }

    const uint64_t later = now_ms();
    std::lock_guard g(r.locks_lock);
    for (size_t i = 0; i < due.size(); ++i) {
        for (auto it = r.locks.begin(); it != r.locks.end(); ++it) {
            if (it->path != due[i].path) continue;
            // Registered again meanwhile: a link used it, keep it.
            if (it->since != due[i].since) break;
            if (gone[i])
                r.locks.erase(it);
            else
                it->since = later;
            break;
        }
    }
    return r.locks.size();
}

void register_long_message_lock_duties() {
    frame::register_duty(frame::Duty::Second, "CleanupLongMessageLocks",
                         [] { CleanupLongMessageLocks(false); });
    frame::register_duty(frame::Duty::Shutdown, "CleanupLongMessageLocks",
                         [] { CleanupLongMessageLocks(true); });
}

size_t long_message_lock_entries() {
    DeliveryState& r = delivery_state();
    std::lock_guard g(r.locks_lock);
    return r.locks.size();
}

void set_lock_cleanup_clock_for_tests(uint64_t (*fn)()) {
    delivery_state().lock_clock.store(fn);
}

}  // namespace delivery
