// Named events: one process-wide registry of weak references keyed by
// (kind, name); the events themselves are condition-variable auto-reset
// events owned by the handles that threads hold.
#include "support/events.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "support/support_state.h"

namespace support {

class InterfaceEvent {
  public:
    void set() {
        {
            std::lock_guard lk(mu_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    bool wait(unsigned timeout_ms) {
        std::unique_lock lk(mu_);
        auto ready = [this] { return signalled_; };
        if (timeout_ms == kEventWaitInfinite) {
            cv_.wait(lk, ready);
        } else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready)) {
            return false;
        }
        signalled_ = false;  // auto-reset: this waiter takes the signal
        return true;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

namespace {

using Key = std::pair<std::string, std::string>;
using Registry = SupportState::Events;

Registry& registry() {
    return support_state().events;
}

// Looks up under the registry lock; drops the entry when its event is gone.
EventHandle find_locked(Registry& r, std::string_view kind, std::string_view name) {
    auto it = r.by_name.find(Key(kind, name));
    if (it == r.by_name.end()) return nullptr;
    EventHandle ev = it->second.lock();
    if (!ev) r.by_name.erase(it);
    return ev;
}

}  // namespace

EventHandle CreateEventForInterface(std::string_view kind, std::string_view name) {
    if (kind.empty() && name.empty()) return nullptr;
    Registry& r = registry();
    std::lock_guard lk(r.lock);
    if (EventHandle ev = find_locked(r, kind, name)) return ev;
    // Sweep entries whose events died, so the map does not grow with every
    // link name ever used.
    for (auto it = r.by_name.begin(); it != r.by_name.end();)
        it = it->second.expired() ? r.by_name.erase(it) : std::next(it);
    auto ev = std::make_shared<InterfaceEvent>();
    r.by_name[Key(kind, name)] = ev;
    return ev;
}

EventHandle OpenEventForInterface(std::string_view kind, std::string_view name) {
    Registry& r = registry();
    std::lock_guard lk(r.lock);
    return find_locked(r, kind, name);
}

bool SetEventForInterface(std::string_view kind, std::string_view name) {
    EventHandle ev = OpenEventForInterface(kind, name);
    if (!ev) return false;
    ev->set();
    return true;
}

void SetInterfaceEvent(const EventHandle& ev) {
    if (ev) ev->set();
}

bool WaitForInterfaceEvent(const EventHandle& ev, unsigned timeout_ms) {
    return ev ? ev->wait(timeout_ms) : false;
}

}  // namespace support
