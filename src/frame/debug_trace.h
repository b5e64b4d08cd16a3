// The debug trace (SMSDEBUG.LOG), the thread table that numbers its lines,
// the counted allocator's block count, and file I/O with transient-error
// retries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace frame {

// One trace line "HH:MM:SS:mmm [n] name:  text\r\n"; a no-op unless Debug is on.
void debug_trace(std::string_view name, std::string_view text);
void debug_tracef(std::string_view name, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
// True when Debug is on (callers skip building texts otherwise).
bool debug_on();
// Closes the debug log (shutdown). Later lines are dropped until the next day.
void close_debug_log();
// Routes the lower layers' platform::trace() calls into debug_trace.
void install_debug_trace();

// Thread table: 4096 entries; numbers are index + 1, 0 = not registered.
constexpr unsigned kThreadTableSize = 4096;
constexpr size_t kThreadDescriptionMax = 100;
unsigned AssignThreadNumber(std::string_view description);
unsigned thread_number();
unsigned ReleaseThreadNumber();
std::string thread_description(unsigned number);
// Clears every entry (start-up).
void clear_thread_table();
// Async-signal-safe lookup for the crash record: the number of the entry
// holding kernel thread id tid (0 if none); copies its description into
// desc (NUL-terminated, cut to desc_size - 1).
unsigned thread_entry_for_crash(int tid, char* desc, size_t desc_size);
// Descriptor of the open debug log or -1 (the crash record appends to it
// without taking the log's lock).
int debug_log_fd_for_crash();

// Retrying read/write: transient failures (EINTR/EAGAIN/ENOMEM/ENOBUFS) are
// retried up to 20 times with i*100 ms waits. Return bytes done, -1 on error.
long ReadFileWithRetry(int fd, void* buf, size_t len);
long WriteFileWithRetry(int fd, const void* buf, size_t len);
// Writes text; as one line replaces every CR and LF in a copy by a space.
// Both return the bytes written, or 0 on failure.
long write_text(int fd, std::string_view text);
long write_text_line(int fd, std::string_view text);

// Counted allocator: zero-filled blocks of size + 64 bytes; GWfree returns
// false (and traces) for a null block.
void* GWmalloc(size_t size);
void* GWrealloc(void* block, size_t size);
bool GWfree(void* block);
unsigned allocated_block_count();

// Test seams. The raw call behind the retry wrappers (nullptr restores
// read(2)/write(2)); the wait between retries (nullptr restores sleeping);
// the two pauses around the debug log's rename (1000 ms each by default).
using RawIoFn = long (*)(int fd, void* buf, size_t len, bool is_write);
void set_raw_io_for_tests(RawIoFn fn);
void set_retry_wait_for_tests(void (*fn)(unsigned ms));
void set_debug_rollover_wait_ms(unsigned ms);
// Closes the log and forgets its day, as at process start.
void reset_debug_log_for_tests();

}  // namespace frame
