// TCP/UDP socket helpers over poll(2). Sockets are plain descriptors owned by
// Socket; sends use MSG_NOSIGNAL so a dead peer never raises SIGPIPE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& o) noexcept : fd_(o.release()) {}
    Socket& operator=(Socket&& o) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void close();
    // shutdown(SHUT_RDWR): wakes a thread blocked on the socket.
    void shutdown_both();

  private:
    int fd_ = -1;
};

// Connects to host:port (getaddrinfo; IPv4 and IPv6) within timeout_ms.
// local_port non-zero binds the local end first. *err receives errno.
Socket tcp_connect(const std::string& host, uint16_t port, unsigned timeout_ms,
                   uint16_t local_port = 0, int* err = nullptr);

// Listening socket on address (empty = all interfaces) and port (0 = any);
// SO_REUSEADDR set. *bound_port receives the port actually bound.
Socket tcp_listen(const std::string& address, uint16_t port, int backlog = 128,
                  uint16_t* bound_port = nullptr, int* err = nullptr);

// Waits at most timeout_ms for a connection; invalid on time-out or error.
// peer_ip receives the dotted address of the peer.
Socket tcp_accept(const Socket& listener, unsigned timeout_ms, std::string* peer_ip = nullptr);

Socket udp_bind(const std::string& address, uint16_t port, int* err = nullptr);

// poll(2) for readability / writability; >0 ready, 0 time-out, <0 error.
int wait_readable(int fd, unsigned timeout_ms);
int wait_writable(int fd, unsigned timeout_ms);

// Bytes waiting to be read (ioctl FIONREAD); -1 on error.
int bytes_available(int fd);

// send with MSG_NOSIGNAL, looping until all is sent or an error / time-out.
// Returns bytes sent (len on success), -1 on error.
long send_all(int fd, const void* data, size_t len, unsigned timeout_ms);
// One recv; returns bytes, 0 on orderly close, -1 on error / time-out.
long recv_some(int fd, void* buf, size_t len, unsigned timeout_ms);
// recv exactly len bytes within timeout_ms overall; false otherwise.
bool recv_exact(int fd, void* buf, size_t len, unsigned timeout_ms);

// One send (MSG_NOSIGNAL) / recv without waiting, retried on EINTR: bytes,
// or -1 with errno (EAGAIN on a non-blocking socket with nothing to do).
long send_once(int fd, const void* data, size_t len);
long recv_once(int fd, void* buf, size_t len);
// Binds fd to address (any when empty) and port before a connect or a
// listen; the first of the resolved addresses that binds wins. SO_REUSEADDR
// lets a fixed local port be taken again while the previous connection is
// in TIME_WAIT. False for a port above 65535.
bool bind_local(int fd, int family, const std::string& address, unsigned port);
// O_NONBLOCK of fd into *on; false (errno set) for a bad descriptor.
bool get_nonblocking(int fd, bool* on);
bool set_nonblocking(int fd, bool on);
bool set_nodelay(int fd, bool on);

// Dotted text of the local / peer address of a connected socket.
std::string peer_address(int fd);
std::string local_address(int fd);
uint16_t local_port(int fd);


// A blocking TCP stream socket of family (AF_INET, AF_INET6), close-on-exec;
// invalid (errno set) on failure.
Socket tcp_socket(int family);
// SO_RCVBUF and SO_SNDBUF of fd; a size of 0 leaves that buffer alone.
// False when a size was refused.
bool set_socket_buffers(int fd, int receive_bytes, int send_bytes);

// One recv with MSG_DONTWAIT (the socket's own mode untouched), retried on
// EINTR: bytes, 0 on orderly close, or -1 with errno (EAGAIN: nothing there).
long recv_nowait(int fd, void* buf, size_t len);
// shutdown(SHUT_RDWR) of a socket the caller does not own as a Socket.
void shutdown_socket(int fd);

// listen(2) on a socket bound before; false (errno set) on failure.
bool listen_on(int fd, int backlog);

// Connects an existing socket (its family decides the address looked up)
// to host:port within timeout_ms; the socket's blocking mode is kept. False
// with err set (ETIMEDOUT, EHOSTUNREACH when the name does not resolve, or
// the connect error).
bool connect_socket(int fd, const std::string& host, unsigned port, unsigned timeout_ms, int& err);

// --- server side of an accepted connection -------------------------------

// Dotted peer address of a connected socket and, when port is given, its
// port; empty (port untouched) on error.
std::string peer_address(int fd, uint16_t* port);
// The IPv4 addresses of the host's interfaces (getifaddrs), at most max.
std::vector<std::string> local_ipv4_addresses(size_t max);
// One send that never waits (MSG_DONTWAIT | MSG_NOSIGNAL): bytes or -1.
long send_nowait(int fd, const void* data, size_t len);
// shutdown(SHUT_WR): the peer reads end of stream, reads still work.
void shutdown_send(int fd);
// close(2) of a socket the caller does not own as a Socket.
void close_socket(int fd);
// One accept4 (close-on-exec, EINTR retried) on a listening socket: the
// new descriptor, or -1 with errno (EAGAIN when none is waiting on a
// non-blocking listener).
int accept_connection(int listen_fd);
// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds (0: no limit).
bool set_socket_timeouts(int fd, unsigned receive_ms, unsigned send_ms);

}  // namespace platform
