// The debug trace (SMSDEBUG.LOG), the thread table that numbers its lines,
// the counted allocator's block count, and file I/O with transient-error
// retries.
#pragma once

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
// Closes the debug log (shutdown).
void close_debug_log();

// Thread table: 4096 entries; numbers are index + 1, 0 = not registered.
unsigned AssignThreadNumber(std::string_view description);
unsigned thread_number();
unsigned ReleaseThreadNumber();
std::string thread_description(unsigned number);

// Retrying read/write: transient failures (EINTR/EAGAIN/ENOMEM/ENOBUFS) are
// retried up to 20 times with i*100 ms waits. Return bytes done, -1 on error.
long ReadFileWithRetry(int fd, void* buf, size_t len);
long WriteFileWithRetry(int fd, const void* buf, size_t len);
// Writes text; as one line replaces every CR and LF in a copy by a space.
long write_text(int fd, std::string_view text);
long write_text_line(int fd, std::string_view text);

}  // namespace frame
