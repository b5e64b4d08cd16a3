// TCP/UDP helpers over poll(2): connect with a time-out, listen, accept,
// bounded sends and receives. Every send uses MSG_NOSIGNAL.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/text.h"

namespace platform {

namespace {

void set_err(int* err, int e) {
    if (err) *err = e;
    errno = e;
}

// Milliseconds left of a budget that started at start; 0 when used up.
unsigned remaining(uint64_t start, unsigned timeout_ms) {
    uint64_t used = monotonic_ms() - start;
    return used >= timeout_ms ? 0u : unsigned(timeout_ms - used);
}

int poll_one(int fd, short events, unsigned timeout_ms) {
    const uint64_t start = monotonic_ms();
    for (;;) {
        struct pollfd p {};
        p.fd = fd;
        p.events = events;
        unsigned left = remaining(start, timeout_ms);
        int r = ::poll(&p, 1, left > unsigned(INT_MAX) ? INT_MAX : int(left));
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return r;
        }
        if (r == 0) {
            if (remaining(start, timeout_ms) == 0) return 0;
            continue;
        }
        if (errno != EINTR) return -1;
    }
}

// Text of an address; IPv4-mapped IPv6 addresses are shown dotted.
std::string address_text(const struct sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const struct sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const struct sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
            ::inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            ::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

uint16_t address_port(const struct sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const struct sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

struct AddrInfo {
    struct addrinfo* list = nullptr;
    ~AddrInfo() {
        if (list) ::freeaddrinfo(list);
    }
};

// Resolves host (empty: the wildcard address when passive) and port.
int resolve(const std::string& host, uint16_t port, int socktype, bool passive, AddrInfo& out) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    std::string service = strprintf("%u", unsigned(port));
    int r =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &out.list);
    if (r == 0) return 0;
    if (r == EAI_SYSTEM) return errno ? errno : EHOSTUNREACH;
    if (r == EAI_MEMORY) return ENOMEM;
    return EHOSTUNREACH;
}

// Listeners restart on a port that still has connections in TIME_WAIT. Not
// for datagrams: there it would let a second process share the port.
void reuse_for_stream(int fd, int socktype) {
    if (socktype != SOCK_STREAM) return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

// Binds a fresh socket to host:port; an empty host means all IPv4
// interfaces (the addresses callers compare against are dotted IPv4).
Socket bound_socket(const std::string& host, uint16_t port, int socktype, int* err) {
    if (host.empty()) {
        int fd = ::socket(AF_INET, socktype | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            set_err(err, errno);
            return {};
        }
        Socket s(fd);
        reuse_for_stream(fd, socktype);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
            set_err(err, errno);
            return {};
        }
        return s;
    }
    AddrInfo ai;
    int r = resolve(host, port, socktype, true, ai);
    if (r != 0) {
        set_err(err, r);
        return {};
    }
    int last = EADDRNOTAVAIL;
    for (struct addrinfo* p = ai.list; p; p = p->ai_next) {
        int fd = ::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, p->ai_protocol);
        if (fd < 0) {
            last = errno;
            continue;
        }
        Socket s(fd);
        reuse_for_stream(fd, socktype);
        if (::bind(fd, p->ai_addr, p->ai_addrlen) == 0) return s;
        last = errno;
    }
    set_err(err, last);
    return {};
}

}  // namespace

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.release();
    }
    return *this;
}

Socket::~Socket() {
    close();
}

void Socket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Socket::shutdown_both() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

Socket tcp_connect(const std::string& host, uint16_t port, unsigned timeout_ms, uint16_t local_port,
                   int* err) {
    const uint64_t start = monotonic_ms();
    if (host.empty() || port == 0) {
        set_err(err, EINVAL);
        return {};
    }
    AddrInfo ai;
    int r = resolve(host, port, SOCK_STREAM, false, ai);
    if (r != 0) {
        set_err(err, r);
        return {};
    }
    int last = ECONNREFUSED;
    for (struct addrinfo* p = ai.list; p; p = p->ai_next) {
        int fd =
            ::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, p->ai_protocol);
        if (fd < 0) {
            last = errno;
            continue;
        }
        Socket s(fd);
        if (local_port != 0) {
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            struct sockaddr_storage local {};
            socklen_t len;
            if (p->ai_family == AF_INET6) {
                auto* a6 = reinterpret_cast<struct sockaddr_in6*>(&local);
                a6->sin6_family = AF_INET6;
                a6->sin6_addr = in6addr_any;
                a6->sin6_port = htons(local_port);
                len = sizeof *a6;
            } else {
                auto* a4 = reinterpret_cast<struct sockaddr_in*>(&local);
                a4->sin_family = AF_INET;
                a4->sin_addr.s_addr = htonl(INADDR_ANY);
                a4->sin_port = htons(local_port);
                len = sizeof *a4;
            }
            if (::bind(fd, reinterpret_cast<struct sockaddr*>(&local), len) != 0) {
                last = errno;
                continue;
            }
        }
        int c = ::connect(fd, p->ai_addr, p->ai_addrlen);
        if (c != 0 && errno != EINPROGRESS && errno != EINTR) {
            last = errno;
            continue;
        }
        if (c != 0) {
            int w = poll_one(fd, POLLOUT, remaining(start, timeout_ms));
            if (w <= 0) {
                last = w == 0 ? ETIMEDOUT : errno;
                if (w == 0) break;  // the whole budget is spent
                continue;
            }
            int soerr = 0;
            socklen_t sl = sizeof soerr;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl) != 0) soerr = errno;
            if (soerr != 0) {
                last = soerr;
                continue;
            }
        }
        set_nonblocking(fd, false);
        if (err) *err = 0;
        return s;
    }
    set_err(err, last);
    return {};
}

Socket tcp_listen(const std::string& address, uint16_t port, int backlog, uint16_t* bound_port,
                  int* err) {
    Socket s = bound_socket(address, port, SOCK_STREAM, err);
    if (!s) return {};
    if (::listen(s.fd(), backlog > 0 ? backlog : SOMAXCONN) != 0) {
        set_err(err, errno);
        return {};
    }
    // Non-blocking so that a connection reset between poll and accept
    // cannot block the accepting thread.
    set_nonblocking(s.fd(), true);
    if (bound_port) *bound_port = local_port(s.fd());
    if (err) *err = 0;
    return s;
}

Socket tcp_accept(const Socket& listener, unsigned timeout_ms, std::string* peer_ip) {
    const uint64_t start = monotonic_ms();
    for (;;) {
        int w = poll_one(listener.fd(), POLLIN, remaining(start, timeout_ms));
        if (w <= 0) {
            if (w == 0) errno = ETIMEDOUT;
            return {};
        }
        struct sockaddr_storage ss {};
        socklen_t len = sizeof ss;
        int fd =
            ::accept4(listener.fd(), reinterpret_cast<struct sockaddr*>(&ss), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer_ip) *peer_ip = address_text(ss);
            return Socket(fd);
        }
        // Aborted before we took it, or a signal: wait for the next one.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ||
            errno == EPROTO) {
            if (remaining(start, timeout_ms) == 0) {
                errno = ETIMEDOUT;
                return {};
            }
            continue;
        }
        return {};
    }
}

Socket udp_bind(const std::string& address, uint16_t port, int* err) {
    Socket s = bound_socket(address, port, SOCK_DGRAM, err);
    if (s && err) *err = 0;
    return s;
}

int wait_readable(int fd, unsigned timeout_ms) {
    return poll_one(fd, POLLIN, timeout_ms);
}

int wait_writable(int fd, unsigned timeout_ms) {
    return poll_one(fd, POLLOUT, timeout_ms);
}

int bytes_available(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

long send_all(int fd, const void* data, size_t len, unsigned timeout_ms) {
    const uint64_t start = monotonic_ms();
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = ::send(fd, p + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int w = poll_one(fd, POLLOUT, remaining(start, timeout_ms));
        if (w <= 0) {
            if (w == 0) errno = ETIMEDOUT;
            return -1;
        }
    }
    return long(sent);
}

long recv_some(int fd, void* buf, size_t len, unsigned timeout_ms) {
    const uint64_t start = monotonic_ms();
    if (len == 0) return 0;
    for (;;) {
        int w = poll_one(fd, POLLIN, remaining(start, timeout_ms));
        if (w <= 0) {
            if (w == 0) errno = ETIMEDOUT;
            return -1;
        }
        ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (remaining(start, timeout_ms) == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        return -1;
    }
}

bool recv_exact(int fd, void* buf, size_t len, unsigned timeout_ms) {
    const uint64_t start = monotonic_ms();
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        long n = recv_some(fd, p + got, len - got, remaining(start, timeout_ms));
        if (n <= 0) {
            if (n == 0) errno = ECONNRESET;
            return false;
        }
        got += size_t(n);
    }
    return true;
}

long send_once(int fd, const void* data, size_t len) {
    ssize_t n;
    do n = ::send(fd, data, len, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return long(n);
}

long recv_once(int fd, void* buf, size_t len) {
    ssize_t n;
    do n = ::recv(fd, buf, len, 0);
    while (n < 0 && errno == EINTR);
    return long(n);
}

bool bind_local(int fd, int family, const std::string& address, unsigned port) {
    if (port > 65535) return false;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct addrinfo hints {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints,
                      &list) != 0 ||
        !list)
        return false;
    bool ok = false;
    for (struct addrinfo* a = list; a && !ok; a = a->ai_next)
        ok = ::bind(fd, a->ai_addr, a->ai_addrlen) == 0;
    ::freeaddrinfo(list);
    return ok;
}

bool get_nonblocking(int fd, bool* on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    *on = (flags & O_NONBLOCK) != 0;
    return true;
}

bool set_nonblocking(int fd, bool on) {
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    int want = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return want == fl || ::fcntl(fd, F_SETFL, want) == 0;
}

bool set_nodelay(int fd, bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0;
}

std::string peer_address(int fd) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return {};
    return address_text(ss);
}

std::string local_address(int fd) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return {};
    return address_text(ss);
}

uint16_t local_port(int fd) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return 0;
    return address_port(ss);
}


Socket tcp_socket(int family) {
    return Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool set_socket_buffers(int fd, int receive_bytes, int send_bytes) {
    bool ok = true;
    if (receive_bytes > 0)
        ok = ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes) == 0;
    if (send_bytes > 0)
        ok = ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes) == 0 && ok;
    return ok;
}

long recv_nowait(int fd, void* buf, size_t len) {
    ssize_t n;
    do n = ::recv(fd, buf, len, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return long(n);
}

void shutdown_socket(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool listen_on(int fd, int backlog) {
    return ::listen(fd, backlog > 0 ? backlog : SOMAXCONN) == 0;
}

bool connect_socket(int fd, const std::string& host, unsigned port, unsigned timeout_ms, int& err) {
    int domain = AF_INET;
    socklen_t dl = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &dl) != 0) {
        err = errno;
        return false;
    }
    struct addrinfo hints {};
    hints.ai_family = domain;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    std::string p = std::to_string(port);
    if (::getaddrinfo(host.c_str(), p.c_str(), &hints, &list) != 0 || !list) {
        err = EHOSTUNREACH;
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    err = ECONNREFUSED;
    uint64_t start = monotonic_ms();
    for (struct addrinfo* a = list; a && !ok; a = a->ai_next) {
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
            break;
        }
        if (errno != EINPROGRESS) {
            err = errno;
            continue;
        }
        uint64_t used = monotonic_ms() - start;
        if (used >= timeout_ms || wait_writable(fd, unsigned(timeout_ms - used)) <= 0) {
            err = ETIMEDOUT;
            break;  // a half-done connect leaves the socket unusable
        }
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (soerr == 0)
            ok = true;
        else
            err = soerr;
        break;
    }
    ::freeaddrinfo(list);
    ::fcntl(fd, F_SETFL, flags);
    return ok;
}

// --- server side of an accepted connection -------------------------------

std::string peer_address(int fd, uint16_t* port) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return {};
    if (port) *port = address_port(ss);
    return address_text(ss);
}

std::vector<std::string> local_ipv4_addresses(size_t max) {
    std::vector<std::string> out;
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (struct ifaddrs* i = list; i && out.size() < max; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char buf[INET_ADDRSTRLEN];
        auto* sin = reinterpret_cast<struct sockaddr_in*>(i->ifa_addr);
        if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) out.emplace_back(buf);
    }
    ::freeifaddrs(list);
    return out;
}

long send_nowait(int fd, const void* data, size_t len) {
    ssize_t n;
    do n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return long(n);
}

void shutdown_send(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void close_socket(int fd) {
    if (fd >= 0) ::close(fd);
}

int accept_connection(int listen_fd) {
    int fd;
    do fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool set_socket_timeouts(int fd, unsigned receive_ms, unsigned send_ms) {
    struct timeval rcv {};
    rcv.tv_sec = receive_ms / 1000;
    rcv.tv_usec = (receive_ms % 1000) * 1000;
    struct timeval snd {};
    snd.tv_sec = send_ms / 1000;
    snd.tv_usec = (send_ms % 1000) * 1000;
    bool ok = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) == 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd) == 0 && ok;
}

}  // namespace platform
