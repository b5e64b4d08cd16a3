// The HTTP front end's process-wide state and its reset for tests.
#include "frontends/http/http_state.h"

namespace frontends::http {

HttpState& http_state() {
    static HttpState s;
    return s;
}

void reset_http_state_for_tests() {
    HttpState& s = http_state();
    s.tls_usable.store(false);
    s.connections.store(0);
    s.auth_sleepers.store(0);
    {
        std::lock_guard<std::mutex> l(s.open.lock);
        s.open.fds.clear();
    }
    {
        std::lock_guard<std::mutex> l(s.routes.lock);
        s.routes.handlers.clear();
    }
    {
        std::lock_guard<std::mutex> l(s.lists.lock);
        s.lists.allowed = std::make_shared<PatternList>();
        s.lists.blocked = std::make_shared<PatternList>();
    }
    {
        std::lock_guard<std::mutex> l(s.backoff.lock);
        s.backoff.failures.clear();
    }
    {
        std::lock_guard<std::mutex> l(s.secret.lock);
        s.secret.value.clear();
    }
    {
        std::lock_guard<std::mutex> l(s.pool.lock);
        for (auto& slot : s.pool.idle) slot->cv.notify_all();
        s.pool.idle.clear();
    }
    {
        std::lock_guard<std::mutex> l(s.modem.lock);
        s.modem.handler = nullptr;
    }
    {
        std::lock_guard<std::mutex> l(s.users.lock);
        for (auto& e : s.users.entries) s.users.retired.push_back(std::move(e));
        s.users.entries.clear();
    }
    s.users.clock.store(nullptr);
    {
        std::lock_guard<std::mutex> l(s.settings.lock);
        s.settings.value.reset();
    }
}

}  // namespace frontends::http
