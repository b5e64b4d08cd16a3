#include "platform/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.h"

namespace platform {

bool udp_send_datagram(const std::string& ip, uint16_t port, std::string_view data,
                       uint16_t local_port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1) return false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    Socket s(fd);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (local_port) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(local_port);
        from.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
    }
    ssize_t n = ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(data.size());
}

bool udp_receive_datagram(int fd, std::string& data, unsigned timeout_ms, uint16_t* peer_port) {
    if (wait_readable(fd, timeout_ms) <= 0) return false;
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    data.assign(buf, static_cast<size_t>(n));
    if (peer_port) *peer_port = ntohs(from.sin_port);
    return true;
}

}  // namespace platform
