// Process-wide mutable state of the HTTP front end in one struct, so that
// tests can put all of it back to what a fresh process starts with.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "frontends/http/http_server.h"
#include "frontends/http/user_cache.h"

namespace frontends::http {

using PatternList = std::vector<std::string>;

// One pooled connection thread waiting for the listener's next socket.
struct IdleSlot {
    std::condition_variable cv;
    int fd = -1;
};

struct HttpState {
    // The TLS library started (the HTTPS listener runs only then).
    std::atomic<bool> tls_usable{false};
    // Connection threads running (plain and TLS), against MaxWebConnections.
    std::atomic<unsigned> connections{0};
    // Threads sleeping in the authentication back-off.
    std::atomic<int> auth_sleepers{0};

    // Open connection descriptors: shutdown wakes them all at once.
    struct Open {
        std::mutex lock;
        std::set<int> fds;
    } open;

    // Dispatch rows filled by other front ends.
    struct Routes {
        std::mutex lock;
        std::map<Route, RouteHandler> handlers;
    } routes;

    // IP restriction lists, replaced as a whole; readers hold their copy.
    struct Lists {
        std::mutex lock;
        std::shared_ptr<const PatternList> allowed = std::make_shared<PatternList>();
        std::shared_ptr<const PatternList> blocked = std::make_shared<PatternList>();
    } lists;

    // Per-address count of failed logins in a row.
    struct Backoff {
        std::mutex lock;
        std::map<std::string, unsigned> failures;
    } backoff;

    // The local-service secret once read or created.
    struct Secret {
        std::mutex lock;
        std::string value;
    } secret;

    // Idle queue of the thread pool.
    struct Pool {
        std::mutex lock;
        std::deque<std::shared_ptr<IdleSlot>> idle;
    } pool;

    // The networked-modem connection handler.
    struct Modem {
        std::mutex lock;
        std::function<void(int)> handler;
    } modem;

    // The user cache: entries are never freed, so pointers handed out stay
    // valid; a reset moves them to retired instead.
    struct Users {
        std::mutex lock;
        std::vector<std::unique_ptr<UserCacheEntry>> entries;
        std::vector<std::unique_ptr<UserCacheEntry>> retired;
        std::atomic<uint64_t (*)()> clock{nullptr};
    } users;

    // What a request needs from the settings, read again at most once a
    // second instead of on every request (each read checks SMSGW.INI).
    struct RequestSettings {
        unsigned web_port_ssl = 0;
        bool web_auth = true;
        bool web_menu = true;
        bool php_enable = false;
        std::string attach_dir;
        // The attachment directory, opened with the settings (invalid when
        // it is missing then).
        platform::FileHandle attach_dir_fd;
        uint64_t read_ms = 0;
    };
    struct Settings {
        std::mutex lock;
        std::shared_ptr<const RequestSettings> value;
    } settings;
};

HttpState& http_state();

// Puts the module's state back to that of a fresh process: no routes, empty
// IP lists, no back-off, the secret and user records read again, no modem
// handler, the real clock, counters at zero (tests only, with no connection
// open).
void reset_http_state_for_tests();

}  // namespace frontends::http
