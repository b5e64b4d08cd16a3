// Serial devices for modem links: opening a tty (or the pseudo-terminal a
// test stands in for a modem), its line settings, bounded reads and writes,
// the modem control lines, and the /dev/serial/by-id look-up of a device by
// name. Descriptors are plain ints; close them with serial_close.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Opens path read/write, non-blocking, without becoming its controlling
// terminal, and (exclusive) for this process alone (TIOCEXCL, given up
// again by serial_close). -1 and *err = errno on failure.
int serial_open(const std::string& path, int* err = nullptr, bool exclusive = true);
void serial_close(int fd);

// Raw 8N1 at baud (one of the standard rates; others fail), no flow control,
// modem control lines honoured; reads return what is there.
bool serial_configure(int fd, unsigned baud);

// Raises or drops DTR and RTS; false when the device has no such lines (a
// pseudo-terminal).
bool serial_set_lines(int fd, bool dtr, bool rts);

// Waits up to timeout_ms for input, then reads what is there: bytes read,
// 0 on time-out, -1 on error or end of file (the far end went away).
long serial_read(int fd, void* buf, size_t len, unsigned timeout_ms);

// Writes all of data within timeout_ms: bytes written (short on time-out),
// -1 on error.
long serial_write(int fd, const void* data, size_t len, unsigned timeout_ms);

// Discards pending input; the number of bytes dropped.
size_t serial_drain(int fd);

// The first entry of /dev/serial/by-id whose name contains name (ignoring
// case), as a full path; empty when none.
std::string find_serial_by_id(std::string_view name, const std::string& dir = "/dev/serial/by-id");

// A pseudo-terminal pair: the master for a simulator, the slave's path for
// the code under test. False when none could be made.
bool open_pty(int& master, std::string& slave_path);

}  // namespace platform
