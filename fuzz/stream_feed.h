// Shared by the protocol fuzz targets: feeding fuzz input to an engine as the
// byte stream of a connection, and choosing a test by the first input byte.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <string>
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


// How a stream input reaches the engine. The first byte picks the shape:
//   %4 == 0: the rest as it is, in large reads;
//   %4 == 1: the rest one byte per read (the first kBytewise bytes), so a
//            unit is completed by many reads;
//   %4 == 2: the rest expanded (see expand) to a stream of up to ~128 KiB,
//            large reads, which reaches the longest units;
//   %4 == 3: expanded and fed in small pieces.
struct Shaped {
    std::string bytes;
    size_t piece = 0;     // bytes per read after the byte-wise head
    size_t bytewise = 0;  // leading bytes fed one per read
};

inline constexpr size_t kBytewise = 4096;
inline constexpr size_t kMaxSteps = 20000;

// Three parameter bytes, then the text: text[0, at) + text[at, at + width)
// repeated up to `target` bytes + text[at + width, end). Parameters: target
// 256 * b0 * 2 (+ the text), at = b1 % (size + 1), width = 1 + b2 % 16.
inline std::string expand(std::string_view in) {
    if (in.size() < 4) return std::string(in);
    size_t target = size_t(uint8_t(in[0])) * 512;
    std::string_view text = in.substr(3);
    size_t at = uint8_t(in[1]) % (text.size() + 1);
    size_t width = std::min<size_t>(1 + uint8_t(in[2]) % 16, text.size() - at);
    std::string out(text.substr(0, at));
    if (width) {
        out.reserve(target + text.size());
        while (out.size() < target) out.append(text.substr(at, width));
    }
    out.append(text.substr(at + width));
    return out;
}

inline Shaped shape(const uint8_t* data, size_t size) {
    Shaped s;
    if (size == 0) return s;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0:
            s.bytes = rest;
            s.piece = 64 * 1024;
            break;
        case 1:
            s.bytes = rest;
            s.bytewise = kBytewise;
            s.piece = 1024;
            break;
        case 2:
            s.bytes = expand(rest);
            s.piece = 64 * 1024;
            break;
        default:
            s.bytes = expand(rest);
            s.piece = 1 + data[0] / 4 % 64;
            break;
    }
    // Bounded in reads: pieces grow as far as the stream needs.
    size_t head = std::min(s.bytewise, s.bytes.size());
    s.piece = std::max(s.piece, (s.bytes.size() - head) / kMaxSteps + 1);
    return s;
}

// Feeds a shaped stream to the engine on the other end of a socket pair:
// after each piece step(fd) works the engine, and what it answered is read
// and dropped so that its writes never stall. Then the feeding end is closed
// for writing, finish(fd) runs and both ends are closed.
template <class Step, class Finish>
void feed_shaped(const Shaped& in, Step&& step, Finish&& finish) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    auto drain = [&] {
        char sink[16 * 1024];
        for (int i = 0; i < 64 && ::recv(sv[0], sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    };
    size_t at = 0;
    int stalled = 0;
    for (size_t round = 0; at < in.bytes.size() && round < kBytewise + kMaxSteps + 64; ++round) {
        size_t n = at < in.bytewise ? 1 : std::min(in.piece, in.bytes.size() - at);
        long w = ::send(sv[0], in.bytes.data() + at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0) at += size_t(w);
        step(sv[1]);
        drain();
        // A closed or no longer reading engine ends the feed.
        if (w <= 0 && ((errno != EAGAIN && errno != EWOULDBLOCK) || ++stalled > 2)) break;
        if (w > 0) stalled = 0;
    }
    ::shutdown(sv[0], SHUT_WR);
    finish(sv[1]);
    drain();
    ::close(sv[0]);
    ::close(sv[1]);
}

}  // namespace fuzz_feed
