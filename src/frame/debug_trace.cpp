// Debug trace with daily and size rollover, the thread table, the retrying
// file I/O wrappers and the counted allocator.
#include "frame/debug_trace.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "frame/frame_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"

namespace frame {

namespace {

// --- debug log ---------------------------------------------------------------

constexpr const char* kDebugLogName = "SMSDEBUG.LOG";
constexpr const char* kDebugBackupName = "SMSDEBUG.BAK";
constexpr uint64_t kMegabyte = 1048576;

void rollover_wait() {
    unsigned ms = frame_state().rollover_wait_ms.load(std::memory_order_relaxed);
    if (ms) platform::sleep_ms(ms);
}

bool same_local_day(time_t t, const platform::LocalTime& now) {
    platform::LocalTime lt = platform::to_local(t);
    return lt.year == now.year && lt.month == now.month && lt.day == now.day;
}

// Moves SMSDEBUG.LOG aside as SMSDEBUG.BAK; the pauses around the rename
// are kept so that the new file never inherits the old one's identity on
// file systems that cache names briefly.
void move_log_to_backup(const std::string& dir) {
    std::string log = dir + kDebugLogName;
    std::string bak = dir + kDebugBackupName;
    platform::remove_file(bak);
    rollover_wait();
    if (!platform::move_file(log, bak)) platform::remove_file(log);
    rollover_wait();
}

// Caller holds frame_state().log_lock.
void open_log(const platform::LocalTime& now) {
    std::string dir = support::GetDebugLogDirectory();
    std::string path = dir + kDebugLogName;
    bool fresh = true;
    if (auto mtime = platform::file_mtime(path)) {
        if (same_local_day(*mtime, now)) {
            fresh = false;
        } else {
            move_log_to_backup(dir);
        }
    }
    int fd = platform::open_file(path, O_WRONLY | O_CREAT | O_APPEND, 0644).release();
    if (fd >= 0 && fresh) platform::set_file_mtime_now(path);
    frame_state().log_fd = fd;
    frame_state().log_fd_for_crash.store(fd, std::memory_order_release);
    // Remembered even when the open failed: an unwritable directory leaves
    // the gateway running without a trace instead of retrying every line.
    frame_state().log_day = now.day;
}

// Caller holds frame_state().log_lock.
void close_log_locked() {
    if (frame_state().log_fd >= 0) {
        frame_state().log_fd_for_crash.store(-1, std::memory_order_release);
        platform::FileHandle(frame_state().log_fd).close();
        frame_state().log_fd = -1;
    }
}

// Caller holds frame_state().log_lock.
void rollover(const platform::LocalTime& now) {
    close_log_locked();
    move_log_to_backup(support::GetDebugLogDirectory());
    open_log(now);
}

void trace_sink(std::string_view name, std::string_view text) {
    debug_trace(name, text);
}

// --- thread table --------------------------------------------------------------

thread_local unsigned t_number = 0;

// --- retrying I/O ----------------------------------------------------------------

constexpr unsigned kMaxIoAttempts = 20;

long raw_io(int fd, void* buf, size_t len, bool is_write) {
    if (RawIoFn fn = frame_state().raw_io.load(std::memory_order_acquire))
        return fn(fd, buf, len, is_write);
    return is_write ? platform::write_some_fd(fd, buf, len) : platform::read_some_fd(fd, buf, len);
}

void retry_wait(unsigned ms) {
    if (auto fn = frame_state().retry_wait.load(std::memory_order_acquire)) {
        fn(ms);
        return;
    }
    platform::sleep_ms(ms);
}

// One read or write, retried while the system reports a transient shortage.
long io_with_retry(const char* op, int fd, void* buf, size_t len, bool is_write) {
    unsigned failures = 0;
    long r;
    for (;;) {
        errno = 0;
        r = raw_io(fd, buf, len, is_write);
        if (r >= 0) break;
        int e = errno;
        if (!platform::is_transient_errno(e)) break;
        ++failures;
        retry_wait(failures * 100);
        if (failures >= kMaxIoAttempts) break;
    }
    if (failures > 0) {
        if (r >= 0)
            debug_tracef(op, "Debug:  ERROR_NO_SYSTEM_RESOURCES triggered %u retry attempt%s",
                         failures, failures == 1 ? "" : "s");
        else
            debug_trace(op, "Debug:  ERROR_NO_SYSTEM_RESOURCES failed");
    }
    return r;
}

// --- allocator -----------------------------------------------------------------

constexpr size_t kBlockSlack = 64;
// The header keeps the block's size so that a resize can zero the new tail.
struct alignas(std::max_align_t) BlockHeader {
    size_t size;
};

}  // namespace

// --- debug trace -----------------------------------------------------------------

bool debug_on() {
    return settings().debug;
}

void debug_trace(std::string_view name, std::string_view text) {
    const GlobalSettings& s = settings();
    if (!s.debug) return;
    platform::LocalTime now = platform::local_now();
    std::string line =
        platform::strprintf("%02u:%02u:%02u:%03u [%u] ", unsigned(now.hour), unsigned(now.minute),
                            unsigned(now.second), unsigned(now.millisecond), thread_number());
    line.append(name);
    line.append(":  ");
    line.append(text);
    line.append("\r\n");
    {
        std::lock_guard<std::mutex> lock(frame_state().log_lock);
        uint64_t limit = uint64_t(s.debug_max_size_mb) * kMegabyte;
        if (frame_state().log_fd >= 0 && limit != 0) {
            std::optional<uint64_t> size = platform::fd_size(frame_state().log_fd);
            if (size && *size > limit) frame_state().log_day = 0;
        }
        if (now.day != frame_state().log_day) rollover(now);
        if (frame_state().log_fd >= 0)
            platform::write_all(frame_state().log_fd, line.data(), line.size());
    }
    if (s.debug_console) {
        std::fprintf(stderr, "%.*s: %.*s\n", int(name.size()), name.data(), int(text.size()),
                     text.data());
    }
}

void debug_tracef(std::string_view name, const char* fmt, ...) {
    if (!debug_on()) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = platform::vstrprintf(fmt, ap);
    va_end(ap);
    debug_trace(name, text);
}

void close_debug_log() {
    std::lock_guard<std::mutex> lock(frame_state().log_lock);
    close_log_locked();
}

void reset_debug_log_for_tests() {
    std::lock_guard<std::mutex> lock(frame_state().log_lock);
    close_log_locked();
    frame_state().log_day = 0;
}

void install_debug_trace() {
    platform::set_trace_sink(&trace_sink);
}

int debug_log_fd_for_crash() {
    return frame_state().log_fd_for_crash.load(std::memory_order_acquire);
}

void set_debug_rollover_wait_ms(unsigned ms) {
    frame_state().rollover_wait_ms.store(ms, std::memory_order_relaxed);
}

// --- thread table ----------------------------------------------------------------

unsigned AssignThreadNumber(std::string_view description) {
    unsigned number = 0;
    {
        std::lock_guard<std::mutex> lock(frame_state().thread_lock);
        for (unsigned i = 0; i < kThreadTableSize; ++i) {
            ThreadEntry& e = frame_state().threads[i];
            if (e.tid.load(std::memory_order_relaxed) != 0) continue;
            size_t n = std::min(description.size(), kThreadDescriptionMax);
            std::memcpy(e.description, description.data(), n);
            e.description[n] = '\0';
            e.tid.store(::gettid(), std::memory_order_release);
            number = i + 1;
            break;
        }
    }
    t_number = number;
    if (number && settings().debug2) debug_trace("AssignThreadNumber", description);
    return number;
}

unsigned thread_number() {
    return t_number;
}

unsigned ReleaseThreadNumber() {
    unsigned number = t_number;
    if (number == 0) return 0;
    std::string description;
    {
        std::lock_guard<std::mutex> lock(frame_state().thread_lock);
        ThreadEntry& e = frame_state().threads[number - 1];
        description = e.description;
        e.description[0] = '\0';
        e.tid.store(0, std::memory_order_release);
    }
    t_number = 0;
    if (settings().debug2) debug_trace("ReleaseThreadNumber", description);
    return number;
}

std::string thread_description(unsigned number) {
    if (number == 0 || number > kThreadTableSize) return {};
    std::lock_guard<std::mutex> lock(frame_state().thread_lock);
    const ThreadEntry& e = frame_state().threads[number - 1];
    if (e.tid.load(std::memory_order_relaxed) == 0) return {};
    return e.description;
}

void clear_thread_table() {
    std::lock_guard<std::mutex> lock(frame_state().thread_lock);
    for (ThreadEntry& e : frame_state().threads) {
        e.tid.store(0, std::memory_order_relaxed);
        e.description[0] = '\0';
    }
    t_number = 0;
}

unsigned thread_entry_for_crash(int tid, char* desc, size_t desc_size) {
    if (desc && desc_size) desc[0] = '\0';
    for (unsigned i = 0; i < kThreadTableSize; ++i) {
        if (frame_state().threads[i].tid.load(std::memory_order_acquire) != tid) continue;
        if (desc && desc_size) {
            size_t k = 0;
            const char* src = frame_state().threads[i].description;
            while (k + 1 < desc_size && k < kThreadDescriptionMax && src[k]) {
                desc[k] = src[k];
                ++k;
            }
            desc[k] = '\0';
        }
        return i + 1;
    }
    return 0;
}

// --- retrying I/O ----------------------------------------------------------------

long ReadFileWithRetry(int fd, void* buf, size_t len) {
    return io_with_retry("ReadFileWithRetry", fd, buf, len, false);
}

long WriteFileWithRetry(int fd, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    // A short write to a file means the rest is still owed; carry on until
    // everything is written or a real error stops us.
    while (done < len) {
        long n =
            io_with_retry("WriteFileWithRetry", fd, const_cast<char*>(p + done), len - done, true);
        if (n < 0) return -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return long(done);
}

long write_text(int fd, std::string_view text) {
    long n = WriteFileWithRetry(fd, text.data(), text.size());
    return n < 0 ? 0 : n;
}

long write_text_line(int fd, std::string_view text) {
    std::string copy(text);
    for (char& c : copy)
        if (c == '\r' || c == '\n') c = ' ';
    return write_text(fd, copy);
}

void set_raw_io_for_tests(RawIoFn fn) {
    frame_state().raw_io.store(fn, std::memory_order_release);
}

void set_retry_wait_for_tests(void (*fn)(unsigned ms)) {
    frame_state().retry_wait.store(fn, std::memory_order_release);
}

// --- allocator -----------------------------------------------------------------

void* GWmalloc(size_t size) {
    if (size > SIZE_MAX - kBlockSlack - sizeof(BlockHeader)) return nullptr;
    size_t total = sizeof(BlockHeader) + size + kBlockSlack;
    auto* h = static_cast<BlockHeader*>(std::calloc(1, total));
    if (!h) return nullptr;
    h->size = size + kBlockSlack;
    unsigned count = frame_state().blocks.fetch_add(1, std::memory_order_relaxed) + 1;
    if (settings().debug2) debug_tracef("GWmalloc", "Memory blocks = %u", count);
    return h + 1;
}

void* GWrealloc(void* block, size_t size) {
    if (!block) return nullptr;
    if (size > SIZE_MAX - kBlockSlack - sizeof(BlockHeader)) return nullptr;
    BlockHeader* old = static_cast<BlockHeader*>(block) - 1;
    size_t old_size = old->size;
    size_t new_size = size + kBlockSlack;
    auto* h = static_cast<BlockHeader*>(std::realloc(old, sizeof(BlockHeader) + new_size));
    if (!h) return nullptr;
    if (new_size > old_size)
        std::memset(reinterpret_cast<char*>(h + 1) + old_size, 0, new_size - old_size);
    h->size = new_size;
    return h + 1;
}

bool GWfree(void* block) {
    if (!block) {
        debug_trace("GWfree", "Error");
        return false;
    }
    std::free(static_cast<BlockHeader*>(block) - 1);
    unsigned cur = frame_state().blocks.load(std::memory_order_relaxed);
    while (cur > 0 &&
           !frame_state().blocks.compare_exchange_weak(cur, cur - 1, std::memory_order_relaxed)) {
    }
    if (settings().debug2)
        debug_tracef("GWfree", "Memory blocks = %u",
                     frame_state().blocks.load(std::memory_order_relaxed));
    return true;
}

unsigned allocated_block_count() {
    return frame_state().blocks.load(std::memory_order_relaxed);
}

}  // namespace frame
