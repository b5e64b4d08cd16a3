// Shared by the protocol fuzz targets: feeding fuzz input to an engine as the
// byte stream of a connection, and choosing a test by the first input byte.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzz_feed {

// Writes data into one end of a socket pair, closes that end for writing and
// lets drive(fd) work the engine on the other end; then closes both.
template <class Drive>
void feed_stream(const uint8_t* data, size_t size, Drive&& drive) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    int buf = 256 * 1024;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    if (size) (void)!::write(sv[0], data, size);
    ::shutdown(sv[0], SHUT_WR);
    drive(sv[1]);
    ::close(sv[0]);
    ::close(sv[1]);
}

// data[0] % 3 picks decode(text), fields(text) or stream(bytes) for the rest.
template <class Decode, class Fields, class Stream>
int dispatch3(const uint8_t* data, size_t size, Decode&& decode, Fields&& fields,
              Stream&& stream) {
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            decode(text);
            break;
        case 1:
            fields(text);
            break;
        default:
            stream(data + 1, size - 1);
            break;
    }
    return 0;
}

}  // namespace fuzz_feed
