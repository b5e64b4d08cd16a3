// The [Inbound SMS Routing] choice: exclusions, service-type rules, the
// longest pattern, the preset account and the reload of the section.
#include "inbound/inbound_routing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "frame/queue_dirs.h"
#include "inbound/inbound_fixture.h"

using inbound::route_by_table;
using inbound::routing_line;
using inbound::RoutingTable;

namespace {

RoutingTable table(std::initializer_list<std::pair<const char*, const char*>> lines) {
    RoutingTable t;
    for (const auto& [u, l] : lines) t.push_back(routing_line(u, l));
    return t;
}

TEST(InboundRoutingTable, ChoosesAsTheSectionSays) {
    struct Case {
        const char* what;
        RoutingTable t;
        const char* recipient;
        const char* service_type;
        const char* user;
    } cases[] = {
        {"longer pattern wins", table({{"alice", "123*"}, {"bob", "1234*"}}), "12345", "", "bob"},
        {"longer pattern wins in any order", table({{"bob", "1234*"}, {"alice", "123*"}}), "12345",
         "", "bob"},
        {"equal length keeps the earlier line", table({{"alice", "12*"}, {"bob", "1?*"}}), "123",
         "", "alice"},
        {"shorter match only", table({{"alice", "123*"}, {"bob", "1234*"}}), "1239", "", "alice"},
        {"exclusion skips the line", table({{"carol", "!555*,*"}}), "5551234", "", ""},
        {"exclusion leaves the rest", table({{"carol", "!555*,*"}}), "4441234", "", "carol"},
        {"excluded line falls to the next", table({{"carol", "!555*,*"}, {"erin", "5*"}}),
         "5551234", "", "erin"},
        {"service type overrides an earlier recipient choice",
         table({{"alice", "123*"}, {"dave", "service_type=WAP"}}), "12345", "WAP", "dave"},
        {"service type rule without a match skips the line",
         table({{"alice", "123*"}, {"dave", "service_type=WAP"}}), "12345", "CMT", "alice"},
        {"service type and recipient on one line",
         table({{"alice", "1*"}, {"frank", "service_type=WAP,9*"}}), "12345", "WAP", ""},
        {"service type exclusion", table({{"gina", "!service_type=WAP,*"}}), "12345", "wap", ""},
        {"a later recipient match after the service line",
         table({{"dave", "service_type=WAP"}, {"bob", "1234*"}}), "12345", "WAP", "bob"},
        {"only the first service match discards",
         table({{"dave", "service_type=W*"}, {"hank", "service_type=WAP"}}), "1", "WAP", "dave"},
        {"nothing matches", table({{"alice", "9*"}}), "12345", "", ""},
        {"blanks around items", table({{"ivy", " 77* , !771* "}}), "7712", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(route_by_table(c.t, c.recipient, c.service_type), c.user) << c.what;
}

class InboundRoutingLookupTest : public inbound_test::InboundTest {
  protected:
    void SetUp() override {
        InboundTest::SetUp();
        inbound::reset_inbound_routing_cache();
    }
};

TEST_F(InboundRoutingLookupTest, PresetAccountKeptOnlyWithItsReceiveFlag) {
    set_ini("Inbound SMS Routing", "alice", "123*");
    EXPECT_EQ(inbound::InboundRoutingLookup("12345", "", "bob"), "alice");
    std::filesystem::create_directories(frame::user_dir("bob"));
    inbound_test::spit(frame::user_dir("bob") + "RECV.FLG", "");
    EXPECT_EQ(inbound::InboundRoutingLookup("12345", "", "bob"), "bob");
    EXPECT_EQ(inbound::InboundRoutingLookup("12345", "", "~SMSIN::BAD"), "~SMSIN::BAD");
    EXPECT_EQ(inbound::InboundRoutingLookup("999", "", ""), "");
}

}  // namespace
