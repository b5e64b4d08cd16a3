// A Node.js script driven over pipes: JSON commands go to its stdin, one
// event per line comes back on its stdout as "name<TAB>key=value<TAB>..."
// with URI-encoded values. Shared by the interoperability tests and the
// system tests, which run the npm "smpp" package as the far end.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

namespace nodepeer {

// Where the npm packages are installed (scripts/setup).
inline std::string node_modules_dir() {
    return std::string(SMSGW_SOURCE_DIR) + "/tests/interop/node_modules";
}
inline std::string interop_dir() {
    return std::string(SMSGW_SOURCE_DIR) + "/tests/interop/";
}

struct Event {
    std::string name;
    std::map<std::string, std::string> f;
    const std::string& operator[](const std::string& k) const {
        static const std::string none = "<absent>";
        auto it = f.find(k);
        return it == f.end() ? none : it->second;
    }
    bool has(const std::string& k) const { return f.count(k) != 0; }
};

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%XX" sequences decoded; a malformed one is kept as it is.
inline std::string uri_decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 3 <= s.size() && hex_digit(s[i + 1]) >= 0 &&
            hex_digit(s[i + 2]) >= 0) {
            out.push_back(char(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// A node script with its event stream.
class NodePeer {
  public:
    // dir: where the scripts live (ends in '/').
    explicit NodePeer(std::string dir = interop_dir()) : dir_(std::move(dir)) {}
    NodePeer(const NodePeer&) = delete;
    NodePeer& operator=(const NodePeer&) = delete;

    bool start(const std::string& script, std::vector<std::string> args = {}) {
        if (::access((node_modules_dir() + "/smpp/package.json").c_str(), R_OK) != 0) {
            ADD_FAILURE()
                << "npm package smpp missing: run scripts/setup (npm install in tests/interop)";
            return false;
        }
        std::vector<std::string> argv = {"node", dir_ + script};
        for (auto& a : args) argv.push_back(a);
        platform::SpawnOptions opt;
        opt.stderr_to_stdout = false;
        opt.extra_env.push_back("NODE_PATH=" + node_modules_dir());
        auto c = platform::spawn_piped(argv, opt);
        if (!c) {
            ADD_FAILURE() << "cannot start node";
            return false;
        }
        child_ = *c;
        return true;
    }
    ~NodePeer() {
        if (child_.pid > 0) {
            send(R"({"cmd":"exit"})");
            platform::wait_child(child_, 3000);
        }
    }
    void send(const std::string& json) {
        std::string line = json + "\n";
        (void)!::write(child_.stdin_fd, line.data(), line.size());
    }
    // Waits for the next event called name (earlier others are kept).
    bool wait(const std::string& name, Event& out, unsigned timeout_ms = 5000,
              const std::function<void()>& meanwhile = nullptr) {
        return wait_if(
            name, [](const Event&) { return true; }, out, timeout_ms, meanwhile);
    }
    // Waits for the next event called name that pred accepts; it is removed
    // from the kept events, the others stay.
    bool wait_if(const std::string& name, const std::function<bool(const Event&)>& pred, Event& out,
                 unsigned timeout_ms = 5000, const std::function<void()>& meanwhile = nullptr) {
        uint64_t start = platform::monotonic_ms();
        for (;;) {
            for (size_t i = 0; i < events_.size(); ++i)
                if (events_[i].name == name && pred(events_[i])) {
                    out = events_[i];
                    events_.erase(events_.begin() + long(i));
                    return true;
                }
            uint64_t used = platform::monotonic_ms() - start;
            if (used >= timeout_ms) return false;
            if (meanwhile) meanwhile();
            read_some(meanwhile ? 1 : unsigned(std::min<uint64_t>(timeout_ms - used, 100)));
        }
    }
    size_t count(const std::string& name) {
        pump();
        size_t n = 0;
        for (auto& e : events_) n += e.name == name;
        return n;
    }
    // Reads whatever the script has written so far.
    void pump() {
        for (int i = 0; i < 10000; ++i)
            if (!read_some(0)) break;
    }
    // The kept events (after pump()); take_all removes those called name
    // (reading first), take_kept all of them (without reading).
    const std::vector<Event>& events() const { return events_; }
    std::vector<Event> take_kept() { return std::exchange(events_, {}); }
    std::vector<Event> take_all(const std::string& name) {
        pump();
        std::vector<Event> out;
        std::vector<Event> rest;
        for (auto& e : events_) (e.name == name ? out : rest).push_back(std::move(e));
        events_ = std::move(rest);
        return out;
    }

  private:
    // True when something was read.
    bool read_some(unsigned ms) {
        struct pollfd p {
            child_.stdout_fd, POLLIN, 0
        };
        if (::poll(&p, 1, int(ms)) <= 0) return false;
        char buf[65536];
        long n = ::read(child_.stdout_fd, buf, sizeof buf);
        if (n <= 0) return false;
        buf_.append(buf, size_t(n));
        size_t nl;
        size_t pos0 = 0;
        while ((nl = buf_.find('\n', pos0)) != std::string::npos) {
            parse_line(std::string_view(buf_).substr(pos0, nl - pos0));
            pos0 = nl + 1;
        }
        buf_.erase(0, pos0);
        return true;
    }
    void parse_line(std::string_view line) {
        Event e;
        size_t pos = 0;
        bool first = true;
        while (pos <= line.size()) {
            size_t tab = line.find('\t', pos);
            std::string_view part = line.substr(
                pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos);
            if (first)
                e.name = std::string(part);
            else if (auto eq = part.find('='); eq != std::string_view::npos)
                e.f[std::string(part.substr(0, eq))] = uri_decode(part.substr(eq + 1));
            first = false;
            if (tab == std::string_view::npos) break;
            pos = tab + 1;
        }
        events_.push_back(std::move(e));
    }

    std::string dir_;
    platform::ChildProcess child_;
    std::string buf_;
    std::vector<Event> events_;
};

}  // namespace nodepeer
