// The delivery module's reset for tests: lock files waiting for deletion,
// the route cache and the routing tables all start empty again.
#include "delivery/delivery_state.h"

#include <string>

#include "delivery/long_message_locks.h"
#include "routing_fixture.h"

namespace routing_test {
namespace {

uint64_t frozen_clock() {
    return 0;
}

using DeliveryStateTest = RoutingTest;

TEST_F(DeliveryStateTest, ResetEmptiesLocksRouteCacheAndRoutingTables) {
    configure(
        "[SMSGW]\r\n"
        "Modem1=SMPP - a:1\r\n"
        "[SMPP - a:1]\r\n"
        "Route1=+44*\r\n");
    ASSERT_EQ(delivery::routing_tables()->links.size(), 1u);
    ASSERT_EQ(delivery::routing_tables()->routes.size(), 1u);
    delivery::set_lock_cleanup_clock_for_tests(&frozen_clock);
    delivery::register_long_message_lock(home_, "A1B2C3D4");
    ASSERT_TRUE(delivery::route_cache_insert("q/A.REQ", "SMPP - a:1"));
    ASSERT_EQ(delivery::long_message_lock_entries(), 1u);

    delivery::reset_delivery_for_tests();
    EXPECT_EQ(delivery::long_message_lock_entries(), 0u);
    EXPECT_FALSE(delivery::route_cache_lookup("q/A.REQ"));
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    EXPECT_TRUE(delivery::routing_tables()->links.empty());
    EXPECT_TRUE(delivery::routing_tables()->routes.empty());
}

}  // namespace
}  // namespace routing_test
