// The socket side the test SMSC simulators share: listening on a loopback
// port, taking one connection or serving reconnects, a reader that cuts the
// byte stream at STX ... ETX, and waiting for what was received. Framing and
// answers stay with each simulator, in its own code, apart from the engine's.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"

namespace sim_server {

// Sim supplies `static Unit parse(const std::string& body)` (the bytes between
// STX and ETX) and `void answer(const Unit&)`. Sim's destructor calls
// shut_down() first, so that no reader runs into a half-destroyed Sim.
template <class Sim, class Unit>
struct Server {
    platform::Socket listener;
    uint16_t port = 0;
    platform::Socket conn;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::atomic<bool> closed{false};
    std::mutex mu, send_mu;
    std::condition_variable cv;
    std::vector<Unit> got;
    unsigned accepted = 0;  // connections taken by serve(), under mu
    std::thread acceptor;
    unsigned max_session_ms = 30000;  // a reader gives up after this long

    Server() { listener = platform::tcp_listen("127.0.0.1", 0, 8, &port); }
    ~Server() { shut_down(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void shut_down() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
        if (conn) conn.shutdown_both();
        if (reader.joinable()) reader.join();
    }

    void run(platform::Socket s) {
        conn = std::move(s);
        reader = std::thread([this] { read_loop(); });
    }
    bool accept() {
        platform::Socket s = platform::tcp_accept(listener, 3000);
        if (!s) return false;
        run(std::move(s));
        return true;
    }
    void send(const std::string& bytes) {
        std::lock_guard lk(send_mu);
        platform::send_all(conn.fd(), bytes.data(), bytes.size(), 2000);
    }
    void drop() {
        std::lock_guard lk(send_mu);
        conn.shutdown_both();
    }

    // Accepts connection after connection until destroyed, for a peer that
    // reconnects: a new connection replaces (and closes) the previous one.
    void serve() {
        acceptor = std::thread([this] {
            while (!stop) {
                platform::Socket s = platform::tcp_accept(listener, 100);
                if (!s) continue;
                if (reader.joinable()) {
                    drop();
                    reader.join();
                }
                closed = false;
                {
                    std::lock_guard lk(send_mu);
                    conn = std::move(s);
                }
                {
                    std::lock_guard lk(mu);
                    ++accepted;
                }
                cv.notify_all();
                reader = std::thread([this] { read_loop(); });
            }
        });
    }
    bool wait_accepted(unsigned n, unsigned ms = 3000) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return accepted >= n; });
    }

    void read_loop() {
        std::string buf;
        uint64_t start = platform::monotonic_ms();
        while (!stop && platform::monotonic_ms() - start < max_session_ms) {
            char tmp[4096];
            long n = platform::recv_some(conn.fd(), tmp, sizeof tmp, 100);
            if (n == 0) {
                closed = true;
                cv.notify_all();
                return;
            }
            if (n < 0) {
                if (platform::wait_readable(conn.fd(), 0) < 0) return;
                continue;
            }
            buf.append(tmp, size_t(n));
            for (;;) {
                size_t s = buf.find('\x02');
                size_t e = buf.find('\x03', s == std::string::npos ? 0 : s);
                if (s == std::string::npos || e == std::string::npos) break;
                Unit u = Sim::parse(buf.substr(s + 1, e - s - 1));
                buf.erase(0, e + 1);
                {
                    std::lock_guard lk(mu);
                    got.push_back(u);
                }
                cv.notify_all();
                static_cast<Sim*>(this)->answer(u);
            }
        }
    }

    // First received unit (from index `from`) that matches.
    bool wait_for(const std::function<bool(const Unit&)>& pred, Unit* out = nullptr,
                  unsigned ms = 3000, size_t from = 0) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            for (size_t i = from; i < got.size(); ++i)
                if (pred(got[i])) {
                    if (out) *out = got[i];
                    return true;
                }
            return false;
        });
    }
    bool wait_closed(unsigned ms = 3000) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return closed.load(); });
    }
    size_t count() {
        std::lock_guard lk(mu);
        return got.size();
    }
    size_t count_if(const std::function<bool(const Unit&)>& pred) {
        std::lock_guard lk(mu);
        size_t n = 0;
        for (const Unit& u : got) n += pred(u) ? 1 : 0;
        return n;
    }
    std::vector<Unit> received() {
        std::lock_guard lk(mu);
        return got;
    }
};

}  // namespace sim_server
