// The delivery module's process-wide state and its reset for tests.
#include "delivery/delivery_state.h"

namespace delivery {

DeliveryState& delivery_state() {
    static DeliveryState s;
    return s;
}

void reset_delivery_for_tests() {
    DeliveryState& s = delivery_state();
    {
        std::lock_guard<std::mutex> g(s.locks_lock);
        s.locks.clear();
    }
    s.lock_clock.store(nullptr);
    {
        std::lock_guard<std::mutex> g(s.route_cache.lock);
        s.route_cache.table.clear();
        s.route_cache.route_keys.clear();
    }
    std::lock_guard<std::mutex> g(s.reload_lock);
    s.routing.publish(std::make_shared<const RoutingTables>());
}

}  // namespace delivery
