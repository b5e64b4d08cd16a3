// Tests of the kind registry: the worker runs the cycle registered for its
// link's kind, the settings check traces under the kind's tag, every kind
// the gateway has is registered, and one reset reaches each kind once.
#include "links/core/link_kind.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links/core/worker_fixture.h"

namespace {

using namespace worker_test;

using LinkKindTest = WorkerTest;

// What the stand-in kind saw.
std::vector<std::string> g_cycles;
unsigned g_resets = 0;

void stand_in_cycle(links::WorkerState& w) {
    g_cycles.push_back(w.settings.name + " thread " + std::to_string(w.thread_number));
    w.end_thread = true;  // nothing more for this thread: the worker ends
}

void stand_in_reset() {
    ++g_resets;
}

// The stand-in serves HTTP links, which no kind serves yet; afterwards the
// entry goes back to one without a cycle and the real kinds register again.
class StandInKind : public LinkKindTest {
  protected:
    void SetUp() override {
        LinkKindTest::SetUp();
        g_cycles.clear();
        g_resets = 0;
        links::LinkKindEntry e;
        e.kind = links::LinkKind::Http;
        e.reload_tag = "CheckReloadStandInSet";
        e.run_cycle = stand_in_cycle;
        e.reset_for_tests = stand_in_reset;
        links::register_link_kind(e);
        e.kind = links::LinkKind::KelSmsModem;  // one kind, two prefixes
        links::register_link_kind(e);
    }
    void TearDown() override {
        links::register_link_kind(links::LinkKindEntry{links::LinkKind::Http});
        links::register_link_kind(links::LinkKindEntry{links::LinkKind::KelSmsModem});
        links::register_link_kinds();
        LinkKindTest::TearDown();
    }
};

TEST_F(StandInKind, WorkerRunsTheRegisteredCycle) {
    configure("[SMSGW]\r\nModem1=HTTP - h:80\r\nModem2=KelSMSModem - dev\r\n");
    links::link_worker_main("x,1,2", 1, 2);
    links::link_worker_main("x,2,1", 2, 1);
    EXPECT_EQ(g_cycles,
              (std::vector<std::string>{"HTTP - h:80 thread 2", "KelSMSModem - dev thread 1"}));
}

TEST_F(StandInKind, SettingsCheckTracesUnderTheKindsTag) {
    configure("[SMSGW]\r\nModem1=HTTP - h:80\r\n");
    auto w = worker(1);
    spit(home_ + "SMSGW.INI",
         "[SMSGW]\r\nModem1=HTTP - h:80\r\n[HTTP - h:80]\r\nSenderAddress=123\r\n");
    support::ini_drop_cache_for_tests();
    EXPECT_TRUE(links::detail::check_settings_change(*w));
    EXPECT_NE(debug_log().find("CheckReloadStandInSet"), std::string::npos);
}

TEST_F(StandInKind, OneResetReachesEachKindOnce) {
    links::reset_links_state_for_tests();
    EXPECT_EQ(g_resets, 1u);
}

TEST_F(LinkKindTest, EveryKindOfTheGatewayIsRegistered) {
    struct Case {
        links::LinkKind kind;
        const char* reload_tag;
        bool index0_worker;
    } cases[] = {
        {links::LinkKind::Smpp, "CheckReloadSmppSet", false},
        {links::LinkKind::Ucp, "CheckReloadUcpSet", false},
        {links::LinkKind::Cimd, "CheckReloadCimdSet", false},
        {links::LinkKind::SdkLink, "CheckReloadModemSet", true},
    };
    for (const Case& c : cases) {
        std::optional<links::LinkKindEntry> e = links::find_link_kind(c.kind);
        ASSERT_TRUE(e) << c.reload_tag;
        EXPECT_NE(e->run_cycle, nullptr) << c.reload_tag;
        EXPECT_EQ(e->reload_tag, c.reload_tag);
        EXPECT_EQ(e->run_index0_worker != nullptr, c.index0_worker) << c.reload_tag;
    }
}

}  // namespace
