#include "platform/serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/text.h"

namespace platform {

namespace {

speed_t speed_of(unsigned baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B0;
    }
}

}  // namespace

int serial_open(const std::string& path, int* err, bool exclusive) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return -1;
    }
    if (exclusive) ::ioctl(fd, TIOCEXCL);
    return fd;
}

void serial_close(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool serial_configure(int fd, unsigned baud) {
    const speed_t sp = speed_of(baud);
    if (sp == B0) return false;
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool serial_set_lines(int fd, bool dtr, bool rts) {
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0) return false;
    bits = dtr ? bits | TIOCM_DTR : bits & ~TIOCM_DTR;
    bits = rts ? bits | TIOCM_RTS : bits & ~TIOCM_RTS;
    return ::ioctl(fd, TIOCMSET, &bits) == 0;
}

long serial_read(int fd, void* buf, size_t len, unsigned timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = ::poll(&p, 1, int(timeout_ms));
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    long n = ::read(fd, buf, len);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    if (n == 0) return -1;
    return n;
}

long serial_write(int fd, const void* data, size_t len, unsigned timeout_ms) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    const uint64_t end = monotonic_ms() + timeout_ms;
    while (done < len) {
        long n = ::write(fd, p + done, len - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
        const uint64_t now = monotonic_ms();
        if (now >= end) break;
        struct pollfd q = {fd, POLLOUT, 0};
        ::poll(&q, 1, int(end - now));
    }
    return long(done);
}

size_t serial_drain(int fd) {
    char buf[512];
    size_t total = 0;
    for (int i = 0; i < 64; ++i) {
        long n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        total += size_t(n);
    }
    return total;
}

std::string find_serial_by_id(std::string_view name, const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    const std::string want = to_upper(name);
    std::string found;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (to_upper(e->d_name).find(want) != std::string::npos) {
            if (found.empty() || std::strcmp(e->d_name, found.c_str()) < 0) found = e->d_name;
        }
    }
    ::closedir(d);
    return found.empty() ? std::string() : dir + "/" + found;
}

bool open_pty(int& master, std::string& slave_path) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        master = -1;
        return false;
    }
    slave_path = name;
    return true;
}

}  // namespace platform
