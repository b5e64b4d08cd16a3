// A small UCP/EMI SMSC for tests. It frames, checks and answers with its own
// code (written from the published frame layout), never with the engine's
// codec, so that a fault in the engine's encoder cannot hide itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"

namespace ucp_sim {

// ---- the simulator's own framing ---------------------------------------------------

inline std::string sim_frame(int trn, char kind, int ot, const std::vector<std::string>& fields) {
    std::string data;
    for (const std::string& f : fields) data += f + "/";
    char head[32];
    std::snprintf(head, sizeof head, "%02d/%05zu/%c/%02d/", trn, size_t(14 + data.size() + 2), kind,
                  ot);
    std::string body = head + data;
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    return "\x02" + body + cs + "\x03";
}

struct SimFrame {
    std::string body;
    int trn = -1;
    char kind = 0;
    int ot = -1;
    std::vector<std::string> fields;  // data fields only
    bool checksum_ok = false, length_ok = false;
};

inline SimFrame sim_parse(const std::string& body) {
    SimFrame f;
    f.body = body;
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = body.find('/', start);
        parts.push_back(
            body.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() < 5) return f;
    f.trn = std::atoi(parts[0].c_str());
    f.kind = parts[2].empty() ? 0 : parts[2][0];
    f.ot = std::atoi(parts[3].c_str());
    f.fields.assign(parts.begin() + 4, parts.end() - 1);
    f.length_ok = std::atoi(parts[1].c_str()) == int(body.size());
    unsigned sum = 0;
    for (size_t i = 0; i < body.size() - parts.back().size(); ++i)
        sum += static_cast<unsigned char>(body[i]);
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    f.checksum_ok = parts.back() == cs;
    return f;
}

inline std::string ira_hex(const std::string& s) {
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out;
}

// 33 fields of a 50-series operation, set by position.
inline std::vector<std::string> fields50(std::initializer_list<std::pair<int, std::string>> set) {
    std::vector<std::string> f(33);
    for (auto& [i, v] : set) f[size_t(i)] = v;
    return f;
}

// ---- the simulator ------------------------------------------------------------------

struct Smsc {
    platform::Socket listener;
    uint16_t port = 0;
    platform::Socket conn;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::atomic<bool> closed{false};
    std::mutex mu, send_mu;
    std::condition_variable cv;
    std::vector<SimFrame> got;
    unsigned accepted = 0;  // connections taken by serve(), under mu
    std::thread acceptor;
    unsigned max_session_ms = 30000;  // a reader gives up after this long

    // behaviour
    std::string user = "user", password = "secret";
    // Behaviour switches may change while the reader runs.
    std::atomic<int> submit_nack{0};  // error code for every 51
    std::atomic<int> alert_nack{0};
    std::atomic<bool> silent{false};  // answers nothing
    std::string scts = "010203040506";
    std::function<std::string(const SimFrame&)> submit_reply;  // replaces the answer to every 51

    Smsc() { listener = platform::tcp_listen("127.0.0.1", 0, 8, &port); }
    ~Smsc() {
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

    void answer(const SimFrame& f) {
        if (silent || f.kind != 'O') return;
        auto ack = [&](std::vector<std::string> fields) {
            send(sim_frame(f.trn, 'R', f.ot, fields));
        };
        switch (f.ot) {
            case 60:
                if (f.fields.size() == 12 && f.fields[0] == user &&
                    f.fields[4] == ira_hex(password))
                    ack({"A", ""});
                else
                    ack({"N", "07", ""});
                break;
            case 51:
                if (submit_reply)
                    send(submit_reply(f));
                else if (submit_nack)
                    ack({"N", std::to_string(100 + submit_nack).substr(1), ""});
                else
                    ack({"A", "", (f.fields.empty() ? "" : f.fields[0]) + ":" + scts});
                break;
            case 31:
                if (alert_nack)
                    ack({"N", std::to_string(100 + alert_nack).substr(1), ""});
                else
                    ack({"A", ""});
                break;
            default:
                break;
        }
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
                SimFrame f = sim_parse(buf.substr(s + 1, e - s - 1));
                buf.erase(0, e + 1);
                {
                    std::lock_guard lk(mu);
                    got.push_back(f);
                }
                cv.notify_all();
                answer(f);
            }
        }
    }

    // First received frame (from index `from`) that matches.
    bool wait_for(const std::function<bool(const SimFrame&)>& pred, SimFrame* out = nullptr,
                  unsigned ms = 3000, size_t from = 0) {
        std::unique_lock lk(mu);
        bool ok = cv.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            for (size_t i = from; i < got.size(); ++i)
                if (pred(got[i])) {
                    if (out) *out = got[i];
                    return true;
                }
            return false;
        });
        return ok;
    }
    bool wait_closed(unsigned ms = 3000) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return closed.load(); });
    }
    size_t count() {
        std::lock_guard lk(mu);
        return got.size();
    }
    size_t count_if(const std::function<bool(const SimFrame&)>& pred) {
        std::lock_guard lk(mu);
        size_t n = 0;
        for (const SimFrame& f : got) n += pred(f) ? 1 : 0;
        return n;
    }
    std::vector<SimFrame> frames() {
        std::lock_guard lk(mu);
        return got;
    }
};

}  // namespace ucp_sim
