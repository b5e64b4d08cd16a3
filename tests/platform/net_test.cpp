// Tests of the socket helpers on loopback: listen on port 0, connect,
// bounded sends and receives, time-outs and closed peers.
#include "platform/net.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"

using namespace platform;

namespace {

struct Pair {
    Socket listener, client, server;
    uint16_t port = 0;
};

Pair connected_pair() {
    Pair p;
    int err = -1;
    p.listener = tcp_listen("127.0.0.1", 0, 16, &p.port, &err);
    EXPECT_TRUE(p.listener.valid());
    EXPECT_EQ(err, 0);
    EXPECT_NE(p.port, 0);
    p.client = tcp_connect("127.0.0.1", p.port, 5000, 0, &err);
    EXPECT_TRUE(p.client.valid()) << std::strerror(err);
    std::string peer;
    p.server = tcp_accept(p.listener, 5000, &peer);
    EXPECT_TRUE(p.server.valid());
    EXPECT_EQ(peer, "127.0.0.1");
    return p;
}

}  // namespace

TEST(Net, ListenConnectAcceptAndAddresses) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    EXPECT_EQ(local_port(p.listener.fd()), p.port);
    EXPECT_EQ(local_address(p.server.fd()), "127.0.0.1");
    EXPECT_EQ(local_port(p.server.fd()), p.port);
    EXPECT_EQ(peer_address(p.client.fd()), "127.0.0.1");
    EXPECT_NE(local_port(p.client.fd()), 0);
    EXPECT_NE(local_port(p.client.fd()), p.port);
    EXPECT_TRUE(set_nodelay(p.client.fd(), true));
    EXPECT_EQ(peer_address(-1), "");
    EXPECT_EQ(local_port(-1), 0);
}

TEST(Net, ConnectByNameAndFromALocalPort) {
    uint16_t port = 0;
    Socket l = tcp_listen("", 0, 16, &port);
    ASSERT_TRUE(l.valid());
    Socket c = tcp_connect("localhost", port, 5000);
    ASSERT_TRUE(c.valid());
    std::string peer;
    Socket s = tcp_accept(l, 5000, &peer);
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(peer, "127.0.0.1");

    // Bind the client end to a chosen port: take a free one from a
    // throw-away listener first.
    uint16_t chosen = 0;
    {
        Socket probe = tcp_listen("127.0.0.1", 0, 1, &chosen);
        ASSERT_TRUE(probe.valid());
    }
    Socket c2 = tcp_connect("127.0.0.1", port, 5000, chosen);
    ASSERT_TRUE(c2.valid());
    EXPECT_EQ(local_port(c2.fd()), chosen);
}

TEST(Net, SendAllRecvExactLargeBuffer) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    std::vector<unsigned char> data(4 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);
    long sent = -2;
    std::thread writer([&] { sent = send_all(p.client.fd(), data.data(), data.size(), 20000); });
    std::vector<unsigned char> got(data.size());
    bool ok = recv_exact(p.server.fd(), got.data(), got.size(), 20000);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(sent, long(data.size()));
    EXPECT_TRUE(got == data);
}

TEST(Net, BytesAvailableAndRecvSome) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    EXPECT_EQ(bytes_available(p.server.fd()), 0);
    ASSERT_EQ(send_all(p.client.fd(), "0123456789", 10, 1000), 10);
    ASSERT_GT(wait_readable(p.server.fd(), 5000), 0);
    EXPECT_EQ(bytes_available(p.server.fd()), 10);
    char buf[4];
    EXPECT_EQ(recv_some(p.server.fd(), buf, sizeof buf, 1000), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(bytes_available(p.server.fd()), 6);
    EXPECT_EQ(recv_some(p.server.fd(), buf, 0, 1000), 0);
    EXPECT_EQ(bytes_available(-1), -1);
    EXPECT_GT(wait_writable(p.server.fd(), 1000), 0);
}

TEST(Net, TimeOuts) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    char buf[8];
    errno = 0;
    EXPECT_EQ(recv_some(p.server.fd(), buf, sizeof buf, 50), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(wait_readable(p.server.fd(), 30), 0);
    ASSERT_EQ(send_all(p.client.fd(), "abc", 3, 1000), 3);
    EXPECT_FALSE(recv_exact(p.server.fd(), buf, 5, 100)) << "only three of five bytes arrive";

    const uint64_t start = monotonic_ms();
    errno = 0;
    Socket none = tcp_accept(p.listener, 100);
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(monotonic_ms() - start, 100u);
}

TEST(Net, ClosedPeer) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    ASSERT_EQ(send_all(p.client.fd(), "xy", 2, 1000), 2);
    p.client.close();
    char buf[8];
    EXPECT_EQ(recv_some(p.server.fd(), buf, sizeof buf, 1000), 2);
    EXPECT_EQ(recv_some(p.server.fd(), buf, sizeof buf, 1000), 0) << "orderly close";
    EXPECT_FALSE(recv_exact(p.server.fd(), buf, 1, 1000));

    // Sending to the dead peer fails without SIGPIPE (which would end this
    // test program, since nothing here ignores it).
    std::vector<char> chunk(65536, 'z');
    long r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i)
        r = send_all(p.server.fd(), chunk.data(), chunk.size(), 1000);
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
}

TEST(Net, ConnectFailures) {
    uint16_t port = 0;
    {
        Socket l = tcp_listen("127.0.0.1", 0, 1, &port);
        ASSERT_TRUE(l.valid());
    }
    int err = 0;
    Socket c = tcp_connect("127.0.0.1", port, 2000, 0, &err);
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(err, ECONNREFUSED);
    c = tcp_connect("", port, 100, 0, &err);
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(err, EINVAL);
    c = tcp_connect("127.0.0.1", 0, 100, 0, &err);
    EXPECT_FALSE(c.valid());
}

TEST(Net, ListenOnBusyPortFails) {
    uint16_t port = 0;
    Socket a = tcp_listen("127.0.0.1", 0, 4, &port);
    ASSERT_TRUE(a.valid());
    int err = 0;
    Socket b = tcp_listen("127.0.0.1", port, 4, nullptr, &err);
    EXPECT_FALSE(b.valid());
    EXPECT_EQ(err, EADDRINUSE);
}

TEST(Net, ShutdownWakesABlockedReader) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    long r = -2;
    std::thread reader([&] {
        char buf[8];
        r = recv_some(p.server.fd(), buf, sizeof buf, 20000);
    });
    sleep_ms(50);
    const uint64_t start = monotonic_ms();
    p.server.shutdown_both();
    reader.join();
    EXPECT_EQ(r, 0);
    EXPECT_LT(monotonic_ms() - start, 10000u);
}

TEST(Net, UdpBind) {
    int err = -1;
    Socket u = udp_bind("127.0.0.1", 0, &err);
    ASSERT_TRUE(u.valid());
    EXPECT_EQ(err, 0);
    uint16_t port = local_port(u.fd());
    EXPECT_NE(port, 0);
    Socket dup = udp_bind("127.0.0.1", port, &err);
    EXPECT_FALSE(dup.valid());
    EXPECT_EQ(err, EADDRINUSE);
}

TEST(Net, NonBlockingToggle) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.server.valid());
    EXPECT_TRUE(set_nonblocking(p.server.fd(), true));
    char c;
    EXPECT_EQ(::recv(p.server.fd(), &c, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_TRUE(set_nonblocking(p.server.fd(), false));
    EXPECT_FALSE(set_nonblocking(-1, true));
}
