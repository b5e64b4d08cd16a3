// Route cache: the table, MessageRoutesAdd at submission and in a worker,
// the worker's cache test with backups, removal, wake-up events and the
// routing database life cycle.
#include <thread>

#include "frame/global_state.h"
#include "routing_fixture.h"
#include "support/events.h"

namespace {

using routing_test::RoutingTest;

const char* const kLinks =
    "[SMSGW]\r\n"
    "Debug=Yes\r\n"
    "Modem1=SMPP - 10.0.0.1:2775\r\n"
    "Modem2=SMPP - b:1\r\n"
    "Modem3=SMPP - c:1\r\n"
    "[SMPP - 10.0.0.1:2775]\r\n"
    "RouteName=ALPHA\r\n"
    "Route1=+44*\r\n"
    "[SMPP - b:1]\r\n"
    "Route1=+44*\r\n"
    "[SMPP - c:1]\r\n"
    "Route1=+33*\r\n"
    "RoutePrefOnly=Yes\r\n";

delivery::RouteQuery to(std::string_view recipient) {
    delivery::RouteQuery q;
    q.recipient = recipient;
    return q;
}

bool signalled(const support::EventHandle& ev) {
    return support::WaitForInterfaceEvent(ev, 0);
}

TEST_F(RoutingTest, TableKeepsTheFirstValue) {
    EXPECT_TRUE(delivery::route_cache_insert("k1", "v1"));
    EXPECT_FALSE(delivery::route_cache_insert("k1", "v2"));
    EXPECT_EQ(delivery::route_cache_lookup("k1"), std::optional<std::string>("v1"));
    EXPECT_EQ(delivery::route_cache_lookup("K1"), std::nullopt);  // keys are exact
    EXPECT_TRUE(delivery::route_cache_insert("+447700**SMPP - b:1", "Q1.REQ"));
    EXPECT_EQ(delivery::route_cache_count(), 2u);
    EXPECT_TRUE(delivery::route_cache_delete("k1"));
    EXPECT_FALSE(delivery::route_cache_delete("k1"));
    EXPECT_EQ(delivery::route_cache_lookup("k1"), std::nullopt);
    delivery::route_cache_clear();
    EXPECT_EQ(delivery::route_cache_count(), 0u);
}

TEST_F(RoutingTest, KeysAreRelativeToTheQueueRoot) {
    configure(kLinks);
    const std::string root = frame::settings().q_dir;
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(delivery::route_cache_key(root + "ABC.REQ"), "ABC.REQ");
    EXPECT_EQ(delivery::route_cache_key(root + "sub/ABC.REQ"), "sub/ABC.REQ");
    EXPECT_EQ(delivery::route_cache_key("sub/ABC.REQ"), "sub/ABC.REQ");
    EXPECT_EQ(delivery::route_cache_key("/elsewhere/ABC.REQ"), "/elsewhere/ABC.REQ");
}

TEST_F(RoutingTest, SubmissionStoresExplicitRouteAndWakesIt) {
    configure(kLinks);
    const std::string root = frame::settings().q_dir;
    auto ev = support::CreateEventForInterface("SMSOut", "ALPHA");
    EXPECT_TRUE(delivery::MessageRoutesAdd(root + "A1.REQ", "ALPHA", to("+331")));
    EXPECT_EQ(delivery::route_cache_lookup("A1.REQ"), std::optional<std::string>("*=ALPHA"));
    EXPECT_TRUE(signalled(ev));
    EXPECT_NE(debug_log().find("MessageRoutesAdd:  A1.REQ = *=ALPHA\r\n"), std::string::npos);
}

TEST_F(RoutingTest, SubmissionStoresCandidatesAndWakesEach) {
    configure(kLinks);
    const std::string root = frame::settings().q_dir;
    auto a = support::CreateEventForInterface("SMSOut", "SMPP - 10.0.0.1:2775");
    auto b = support::CreateEventForInterface("SMSOut", "SMPP - b:1");
    auto c = support::CreateEventForInterface("SMSOut", "SMPP - c:1");
    EXPECT_TRUE(delivery::MessageRoutesAdd(root + "A2.REQ", "", to("+441234")));
    EXPECT_EQ(delivery::route_cache_lookup("A2.REQ"),
              std::optional<std::string>("SMPP - 10.0.0.1:2775\tSMPP - b:1"));
    EXPECT_TRUE(signalled(a));
    EXPECT_TRUE(signalled(b));
    EXPECT_FALSE(signalled(c));
    // Nobody can take it: nothing stored.
    configure(
        "[SMSGW]\r\nModem1=SMPP - c:1\r\n[SMPP - c:1]\r\nRoute1=+33*\r\nRoutePrefOnly=Yes\r\n");
    EXPECT_FALSE(delivery::MessageRoutesAdd(root + "A3.REQ", "", to("+441234")));
    EXPECT_EQ(delivery::route_cache_lookup("A3.REQ"), std::nullopt);
}

TEST_F(RoutingTest, SubmissionSkipsWhatMustNotBeCached) {
    configure(kLinks);
    const std::string root = frame::settings().q_dir;
    EXPECT_FALSE(delivery::MessageRoutesAdd(root + "B1.REQ", "~~invalid~~", to("+441")));
    EXPECT_FALSE(delivery::MessageRoutesAdd(root + "B2.REQ", "localuser:bob", to("+441")));
    // Already in the queue of its own route.
    const std::string in_queue = root + "RT_-_SMPP - 10.0.0.1-2775_-_/B3.REQ";
    auto ev = support::CreateEventForInterface("SMSOut", "SMPP - 10.0.0.1:2775");
    EXPECT_FALSE(delivery::MessageRoutesAdd(in_queue, "SMPP - 10.0.0.1:2775", to("+441")));
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    // Another route's queue, or route queues off: cached.
    EXPECT_TRUE(delivery::MessageRoutesAdd(in_queue, "ALPHA", to("+441")));
    frame::mutable_settings().use_route_queues = false;
    const std::string other = root + "RT_-_SMPP - 10.0.0.1-2775_-_/B4.REQ";
    EXPECT_TRUE(delivery::MessageRoutesAdd(other, "SMPP - 10.0.0.1:2775", to("+441")));
    EXPECT_EQ(delivery::route_cache_lookup("RT_-_SMPP - 10.0.0.1-2775_-_/B4.REQ"),
              std::optional<std::string>("*=SMPP - 10.0.0.1:2775"));
    // Switched off.
    frame::mutable_settings().use_route_cache_on_submit = false;
    EXPECT_FALSE(delivery::MessageRoutesAdd(root + "B5.REQ", "ALPHA", to("+441")));
    EXPECT_EQ(delivery::route_cache_count(), 2u);
}

TEST_F(RoutingTest, WorkerAddsWithTheLoadedMessage) {
    configure(kLinks);
    store::SmsMessage msg;
    msg.phone_number = "+441234";
    EXPECT_TRUE(delivery::MessageRoutesAdd("W1.REQ", msg));
    EXPECT_EQ(delivery::route_cache_lookup("W1.REQ"),
              std::optional<std::string>("SMPP - 10.0.0.1:2775\tSMPP - b:1"));
    msg.route = "~~invalid~~";
    EXPECT_FALSE(delivery::MessageRoutesAdd("W2.REQ", msg));
    msg.route = "SMPP - c:1";
    EXPECT_TRUE(delivery::MessageRoutesAdd("W3.REQ", msg));
    EXPECT_EQ(delivery::route_cache_lookup("W3.REQ"), std::optional<std::string>("*=SMPP - c:1"));
    // An existing entry is kept.
    EXPECT_TRUE(delivery::MessageRoutesAdd("W1.REQ", msg));
    EXPECT_EQ(delivery::route_cache_lookup("W1.REQ"),
              std::optional<std::string>("SMPP - 10.0.0.1:2775\tSMPP - b:1"));
    frame::mutable_settings().use_route_cache = false;
    EXPECT_FALSE(delivery::MessageRoutesAdd("W4.REQ", msg));
    EXPECT_EQ(delivery::route_cache_lookup("W4.REQ"), std::nullopt);
}

TEST_F(RoutingTest, WorkerCacheTest) {
    configure(kLinks);
    const delivery::LinkIdentity a{"SMPP - 10.0.0.1:2775", "ALPHA", "", ""};
    const delivery::LinkIdentity b{"SMPP - b:1", "SMPP - b:1", "", ""};
    const delivery::LinkIdentity c{"SMPP - c:1", "SMPP - c:1", "", ""};
    const delivery::LinkIdentity backup_of_a{"SMPP - d:1", "SMPP - d:1", "SMPP - 10.0.0.1:2775",
                                             "ALPHA"};
    const delivery::LinkIdentity backup_of_route{"SMPP - d:1", "SMPP - d:1", "", "ALPHA"};

    auto test = [](const char* file, const delivery::LinkIdentity& id) {
        delivery::RouteCacheDecision d = delivery::route_cache_test(file, id);
        return std::string(d.take ? "take" : "pass") + (d.from_cache ? "+cache" : "");
    };
    // No entry: the worker decides itself.
    EXPECT_EQ(test("none.REQ", c), "take");

    delivery::route_cache_insert("E1.REQ", "*=alpha");
    EXPECT_EQ(test("E1.REQ", a), "take+cache");
    EXPECT_EQ(test("E1.REQ", b), "pass");
    EXPECT_EQ(test("E1.REQ", backup_of_a), "take+cache");
    EXPECT_EQ(test("E1.REQ", backup_of_route), "take+cache");

    delivery::route_cache_insert("E2.REQ", "SMPP - 10.0.0.1:2775\tSMPP - b:1");
    EXPECT_EQ(test("E2.REQ", a), "take+cache");
    EXPECT_EQ(test("E2.REQ", b), "take+cache");
    EXPECT_EQ(test("E2.REQ", c), "pass");
    EXPECT_EQ(test("E2.REQ", backup_of_route), "take+cache");  // a candidate's RouteName

    delivery::route_cache_insert("E3.REQ", "SMPP - b:1");
    EXPECT_EQ(test("E3.REQ", backup_of_route), "pass");

    // A full path finds the relative key.
    std::string full = frame::settings().q_dir + "E3.REQ";
    EXPECT_EQ(test(full.c_str(), b), "take+cache");

    EXPECT_TRUE(delivery::route_cache_remove_file(full));
    EXPECT_EQ(test("E3.REQ", c), "take");

    frame::mutable_settings().use_route_cache = false;
    EXPECT_EQ(test("E1.REQ", b), "take");
}

TEST_F(RoutingTest, SubmitThenWorkerSeesItsCandidates) {
    configure(kLinks);
    const std::string root = frame::settings().q_dir;
    ASSERT_TRUE(delivery::MessageRoutesAdd(root + "F1.REQ", "", to("+331")));  // pref-only c
    const delivery::LinkIdentity a{"SMPP - 10.0.0.1:2775", "ALPHA", "", ""};
    const delivery::LinkIdentity c{"SMPP - c:1", "SMPP - c:1", "", ""};
    EXPECT_FALSE(delivery::route_cache_test("F1.REQ", a).take);
    EXPECT_TRUE(delivery::route_cache_test("F1.REQ", c).from_cache);
}

TEST_F(RoutingTest, ConcurrentCacheUse) {
    configure(kLinks);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const delivery::LinkIdentity a{"SMPP - 10.0.0.1:2775", "ALPHA", "", ""};
            for (int i = 0; i < 2000; ++i) {
                std::string key = "T" + std::to_string(t) + "-" + std::to_string(i % 50) + ".REQ";
                delivery::route_cache_insert(key, "*=ALPHA");
                if (!delivery::route_cache_test(key, a).take) ADD_FAILURE() << key;
                if (i % 3 == 0) delivery::route_cache_remove_file(key);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_LE(delivery::route_cache_count(), 200u);
}

TEST_F(RoutingTest, ReloadWithChangedListsDropsCachedRoutes) {
    const std::string both = "SMPP - 10.0.0.1:2775\tSMPP - b:1";
    const std::string hold = "+4912**SMPP - b:1";
    struct Case {
        const char* what;
        const char* extra;  // added to the section of b:1
        bool dropped;       // W1.REQ's entry went with the reload
        const char* readded;
    } cases[] = {
        {"unchanged", "", false, nullptr},
        {"new block", "Route2=!+49*\r\n", true, "SMPP - 10.0.0.1:2775"},
        {"preference only", "RoutePrefOnly=Yes\r\n", true, "SMPP - 10.0.0.1:2775"},
    };
    frame::clear_registrations_for_tests();
    delivery::register_routing_duties();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        delivery::route_cache_clear();
        configure(kLinks);
        store::SmsMessage msg;
        msg.phone_number = "+4912";
        ASSERT_TRUE(delivery::MessageRoutesAdd("W1.REQ", msg));
        ASSERT_EQ(delivery::route_cache_lookup("W1.REQ"), std::optional<std::string>(both));
        delivery::route_cache_insert(hold, "Q1.REQ");  // a queue-full hold stays
        std::string ini = kLinks;
        const std::string section = "[SMPP - b:1]\r\n";
        ini.insert(ini.find(section) + section.size(), c.extra);
        routing_test::spit(home_ + "SMSGW.INI", ini);
        support::ini_drop_cache_for_tests();
        frame::run_duties(frame::Duty::Reload);
        EXPECT_EQ(delivery::route_cache_lookup("W1.REQ").has_value(), !c.dropped);
        EXPECT_EQ(delivery::route_cache_lookup(hold), std::optional<std::string>("Q1.REQ"));
        if (!c.readded) continue;
        EXPECT_TRUE(delivery::MessageRoutesAdd("W1.REQ", msg));
        EXPECT_EQ(delivery::route_cache_lookup("W1.REQ"), std::optional<std::string>(c.readded));
        // Deleting a file's entry forgets it as a routing entry too.
        EXPECT_TRUE(delivery::route_cache_remove_file("W1.REQ"));
        EXPECT_EQ(delivery::route_cache_clear_routes(), 0u);
    }
    frame::clear_registrations_for_tests();
}

TEST_F(RoutingTest, RoutingDutiesRunInTheMainLoopsOrder) {
    frame::clear_registrations_for_tests();
    delivery::register_routing_duties();
    routing_test::spit(home_ + "SMSGW.INI", kLinks);
    frame::load_global_settings();

    delivery::route_cache_insert("stale", "x");
    frame::run_duties(frame::Duty::StartRouting);
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    EXPECT_TRUE(delivery::routing_tables()->routes.empty());
    frame::run_duties(frame::Duty::Reload);
    EXPECT_EQ(delivery::routing_tables()->routes.size(), 3u);

    delivery::route_cache_insert("x", "y");
    delivery::route_cache_insert("z", "w");
    frame::run_duties(frame::Duty::RoutingDbReset);
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    delivery::route_cache_insert("x", "y");
    delivery::route_cache_insert("z", "w");

    std::weak_ptr<const delivery::RoutingTables> weak = delivery::routing_tables();
    frame::run_duties(frame::Duty::Shutdown);
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(delivery::routing_tables()->routes.empty());
    frame::run_duties(frame::Duty::Close);
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    EXPECT_NE(debug_log().find("main:  Routing DB Count = 2\r\n"), std::string::npos);
    frame::clear_registrations_for_tests();
}

}  // namespace
