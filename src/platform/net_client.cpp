// Client-side socket helpers of the outbound HTTP client.
#include "platform/net_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {

std::vector<ResolvedAddress> resolve_tcp_addresses(const std::string& host) {
    std::vector<ResolvedAddress> out;
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (struct addrinfo* a = list; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* where =
            a->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
            !::inet_ntop(a->ai_family, where, text, sizeof text))
            continue;
        bool seen = false;
        for (const ResolvedAddress& r : out) seen = seen || r.text == text;
        if (!seen) out.push_back({a->ai_family, text});
    }
    ::freeaddrinfo(list);
    return out;
}

Socket connect_address(const ResolvedAddress& address, unsigned port, unsigned timeout_ms,
                       int& err) {
    Socket s = tcp_socket(address.family);
    if (!s) {
        err = errno;
        return s;
    }
    if (!connect_socket(s.fd(), address.text, port, timeout_ms, err)) return Socket();
    set_nodelay(s.fd(), true);
    return s;
}

IdleState idle_connection_state(int fd) {
    if (fd < 0) return IdleState::Closed;
    int r = wait_readable(fd, 0);
    if (r == 0) return IdleState::Quiet;
    if (r < 0) return IdleState::Closed;
    int n = bytes_available(fd);
    return n > 0 ? IdleState::Pending : IdleState::Closed;
}

}  // namespace platform
