// Tests of the worker around its sessions: backup activation, the reconnect
// schedule and reports, connection state reports, credit and quiet-hour
// stops, the settings change check and the recombined UDH.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/event_log.h"
#include "frame/global_state.h"
#include "links/core/worker_fixture.h"
#include "platform/text.h"

namespace {

using namespace worker_test;

using LinkWorkerTest = WorkerTest;

constexpr const char* kBackupIni =
    "[SMSGW]\r\nModem1=SMPP - main:1\r\nModem2=SMPP - spare:1\r\nModem3=SMPP - other:1\r\n"
    "Modem4=SMPP - second:1\r\n"
    "[SMPP - main:1]\r\nRouteName=GOLD\r\n"
    "[SMPP - spare:1]\r\nBackupForRoute=Modem - SMPP - main:1\r\n"
    "[SMPP - other:1]\r\nRouteName=GOLD\r\nBackupForRoute=SILVER\r\n"
    "[SMPP - second:1]\r\nRouteName=GOLD\r\n";

TEST_F(LinkWorkerTest, BackupTargetNamesALinkOrARoute) {
    configure(kBackupIni);
    links::detail::BackupTarget t = links::detail::resolve_backup_target("smpp - MAIN:1");
    EXPECT_EQ(t.link, "SMPP - main:1");
    EXPECT_EQ(t.route, "GOLD");
    t = links::detail::resolve_backup_target("GOLD");
    EXPECT_EQ(t.link, "");
    EXPECT_EQ(t.route, "GOLD");
    // The "Modem - " prefix is gone by the time the settings hold it.
    EXPECT_EQ(links::load_link_settings("SMPP - spare:1", 2).backup_for, "SMPP - main:1");
}

TEST_F(LinkWorkerTest, PrimaryFailingFollowsStatusFiles) {
    configure(kBackupIni);
    struct Case {
        const char* failing;  // link whose status file holds a failure
        const char* primary;
        bool want;
    } cases[] = {
        {"", "SMPP - main:1", false},
        {"SMPP - main:1", "SMPP - main:1", true},
        {"SMPP - main:1", "GOLD", true},
        {"SMPP - second:1", "GOLD", true},
        // A link that is itself a backup does not make its route failing.
        {"SMPP - other:1", "GOLD", false},
        {"SMPP - main:1", "SILVER", false},
        {"SMPP - main:1", "", false},
    };
    for (const Case& c : cases) {
        for (const char* l : {"SMPP - main:1", "SMPP - other:1", "SMPP - second:1"})
            links::clear_link_status(l);
        if (*c.failing) links::write_link_status(c.failing, "SMPP Failure -- General Socket Error");
        EXPECT_EQ(links::detail::primary_failing(c.primary), c.want)
            << c.failing << " / " << c.primary;
    }
    // An empty status file is no failure.
    links::clear_link_status("SMPP - second:1");
    spit(links::link_status_path("SMPP - main:1"), "");
    EXPECT_FALSE(links::detail::primary_failing("GOLD"));
}

TEST_F(LinkWorkerTest, ActiveBackupServesPrimaryAndStopsWhenItRecovers) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - main:1\r\nModem2=SMPP - spare:1\r\nModem3=SMPP - any:1\r\n"
        "[SMPP - main:1]\r\nRouteName=GOLD\r\nRoutePrefOnly=Yes\r\nRoute1=+44*\r\n"
        "[SMPP - spare:1]\r\nBackupForRoute=SMPP - main:1\r\nRoutePrefOnly=Yes\r\n");
    links::write_link_status("SMPP - main:1", "SMPP Failure -- General Socket Error");
    std::string routed = queue("00000001.req", message("+4411", "x"));
    std::string named = queue("00000002.req", message("+3311", "y", "SMSCRoute=GOLD\r\n"));
    std::string other = queue("00000003.req", message("+3312", "z"));
    auto w = worker(2);
    w->backup_active = true;
    w->primary_link = "SMPP - main:1";
    w->primary_route = "GOLD";
    {
        FakeSession s(*w);
        links::serve_queue(*w, s);
    }
    EXPECT_FALSE(exists(routed));
    EXPECT_FALSE(exists(named));
    EXPECT_TRUE(exists(other));

    // The primary is back: the next settings check ends the backup's session.
    links::clear_link_status("SMPP - main:1");
    w->restart = false;
    EXPECT_TRUE(links::detail::check_settings_change(*w));
    EXPECT_TRUE(w->restart.load());
}

TEST_F(LinkWorkerTest, ReconnectScheduleNumbers) {
    struct Case {
        const char* name;
        const char* ini;
        std::vector<uint32_t> counts;  // failure count before the wait
        std::vector<time_t> waits;
    } cases[] = {
        {"defaults", "", {0, 1, 2, 3, 14, 15, 40}, {20, 20, 40, 60, 280, 300, 300}},
        {"InitRetryDelay 10 x2 after 3",
         "InitRetryDelay=10\r\nInitRetryDelayMultiplier=2\r\n"
         "InitRetryDelayAfterAttempts=3\r\n",
         {1, 2, 3, 4},
         {0, 0, 20, 40}},
        {"own cap", "InitRetryDelayMax=45\r\n", {1, 2, 3}, {20, 40, 45}},
    };
    for (const Case& c : cases) {
        configure(std::string("[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\n") + c.ini);
        auto w = worker(1);
        for (size_t i = 0; i < c.counts.size(); ++i) {
            w->failure_count = c.counts[i];
            EXPECT_EQ(links::detail::next_attempt_time(*w, g_now) - g_now, c.waits[i])
                << c.name << " n=" << c.counts[i];
            EXPECT_GE(w->failure_count, 1u);
        }
    }
}

TEST_F(LinkWorkerTest, ConnectionFailureAndRecoveryReports) {
    configure("[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRouteName=GOLD\r\n");
    auto w = worker(1);
    links::connection_failure(*w, "SMPP Failure -- General Socket Error");
    links::connection_failure(*w, "SMPP Failure -- Unable to connect to SMPP server at a:1");
    EXPECT_EQ(w->failure_count, 2u);
    EXPECT_EQ(slurp(links::link_status_path("SMPP - a:1")),
              "SMPP Failure -- Unable to connect to SMPP server at a:1");
    std::string log = out_log();
    EXPECT_NE(log.find(",System,,,SMPP Failure -- General Socket Error,SMSCRouteName=GOLD"),
              std::string::npos)
        << log;
    EXPECT_EQ(links::detail::unavailable_text(w->settings),
              "Error initializing SMSC Interface 'GOLD' (SMPP - a:1).  Interface is not "
              "available.");
    EXPECT_EQ(links::detail::recovered_text(w->settings),
              "SMSC Interface 'GOLD' (SMPP - a:1) successfully initiaized.  Error condition "
              "resolved.");
    w->settings.route_name = "SMPP - a:1";
    EXPECT_EQ(links::detail::unavailable_text(w->settings),
              "Error initializing SMSC Interface 'SMPP - a:1'.  Interface is not available.");

    w->reported_unavailable = true;
    links::connection_up(*w, "SMPP");
    EXPECT_EQ(w->failure_count, 0u);
    EXPECT_FALSE(w->reported_unavailable);
    EXPECT_FALSE(platform::file_exists(links::link_status_path("SMPP - a:1")));
    std::vector<std::string> events = frame::read_event_log();
    ASSERT_FALSE(events.empty());
    EXPECT_NE(events.back().find("SMSC Interface 'SMPP - a:1' successfully initiaized."),
              std::string::npos);
    EXPECT_NE(debug_log().find("SMPP connection OK"), std::string::npos);
}

TEST_F(LinkWorkerTest, QuietHoursStopSendingAndConnecting) {
    // The fake clock stands at 12:34.
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nQuietHourStart=12\r\n"
        "QuietHourEnd=13\r\n");
    for (int k = 1; k <= 3; ++k) queue("0000000" + std::to_string(k) + ".req", message("+44", "x"));
    auto w = worker(1);
    FakeSession s(*w, 10);
    links::serve_queue(*w, s);
    EXPECT_EQ(s.submits.size(), 1u);
    EXPECT_TRUE(w->restart.load());

    EXPECT_FALSE(links::may_connect(*w));
    EXPECT_EQ(w->failure_count, 1u);
    EXPECT_EQ(slurp(links::link_status_path("SMPP - a:1")),
              "Quiet Hours configured between 12 and 13");

    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nQuietHourStart=13\r\n"
        "QuietHourEnd=12\r\n");
    w = worker(1);
    EXPECT_TRUE(links::may_connect(*w));  // 13 to 12 leaves 12:xx open
}

TEST_F(LinkWorkerTest, DailyCreditStopsAfterTheLimit) {
    configure("[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nCreditLimitDay=2\r\n");
    for (int k = 1; k <= 4; ++k) queue("0000000" + std::to_string(k) + ".req", message("+44", "x"));
    auto w = worker(1);
    FakeSession s(*w, 10);
    links::serve_queue(*w, s);
    EXPECT_EQ(s.submits.size(), 2u);
    EXPECT_TRUE(w->restart.load());
    EXPECT_FALSE(links::may_connect(*w));
    // Credit waits like three failures, so the interface counts as unavailable.
    EXPECT_EQ(w->failure_count, 3u);
    EXPECT_EQ(slurp(links::link_status_path("SMPP - a:1")),
              "Credit Exceeded -- Daily Limit is 2, sent 2");
}

TEST_F(LinkWorkerTest, SettingsChangeCheck) {
    configure("[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRetryMaxAttempts=5\r\n");
    auto w = worker(1);
    // Limits apply in place.
    spit(home_ + "SMSGW.INI",
         "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRetryMaxAttempts=7\r\n"
         "SMSCSendLimit=10\r\n");
    support::ini_drop_cache_for_tests();
    EXPECT_FALSE(links::detail::check_settings_change(*w));
    EXPECT_EQ(w->settings.retry.max_attempts, 7u);
    EXPECT_EQ(w->pacer.interval_ms(), 100u);
    EXPECT_FALSE(w->restart.load());
    // A connection setting needs a new session.
    spit(home_ + "SMSGW.INI",
         "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRetryMaxAttempts=7\r\n"
         "SMSCSendLimit=10\r\nPassword=new\r\n");
    support::ini_drop_cache_for_tests();
    EXPECT_TRUE(links::detail::check_settings_change(*w));
    EXPECT_TRUE(w->restart.load());
    // Another link at the same index asks for a rescan.
    w = worker(1);
    spit(home_ + "SMSGW.INI", "[SMSGW]\r\nModem1=SMPP - b:1\r\n");
    support::ini_drop_cache_for_tests();
    frame::clear_routing_db_reset();
    EXPECT_TRUE(links::detail::check_settings_change(*w));
    EXPECT_TRUE(frame::take_routing_db_reset());
    EXPECT_NE(debug_log().find(
                  "Connection settings have changed for SMPP - a:1, init required for SMPP - b:1."),
              std::string::npos);
}

TEST_F(LinkWorkerTest, WorkerEndsWhenItsSlotHasNoLink) {
    configure("[SMSGW]\r\nModem1=SMPP - a:1\r\n");
    // Index 2 holds nothing, index 0 is the virtual SMSC: both end at once.
    links::link_worker_main("x,2,1", 2, 1);
    links::link_worker_main("", 0, 0);
    std::string trace = debug_log();
    EXPECT_NE(trace.find("No link at Modem2, thread 1 ends"), std::string::npos) << trace;
    EXPECT_NE(trace.find("SDKLINK - VirtualSMSC is not enabled"), std::string::npos);
}

TEST(LinkWorkerUdh, ConcatenationElementsAreStripped) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"050003AA0301", ""},                              // only the 8-bit reference
        {"0B0003AA0301050400000000", "06050400000000"},    // port element kept
        {"0C080400010301050400000000", "06050400000000"},  // 16-bit reference
        {"0605040B8423F0", "0605040B8423F0"},              // nothing to strip
        {"0B080400010301050400000000", ""},                // length octet disagrees
        {"05000301", ""},                                  // shorter than announced
        {"0100", ""},                                      // element without length
        {"0400050301", ""},                                // element runs past the end
        {"", ""},
        {"0", ""},
        {"ZZ", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(links::detail::strip_concat_elements(c.in), c.out) << c.in;

    // Past 149 octets whole elements are dropped, never cut.
    std::string e1 = "70" + platform::strprintf("%02X", 74) + std::string(148, 'A');  // 76 octets
    std::string e2 = "71" + platform::strprintf("%02X", 76) + std::string(152, 'B');  // 78 octets
    std::string udh = platform::strprintf("%02X", 154) + "00030A0201" + e1 + e2;
    udh.replace(0, 2, platform::strprintf("%02X", 159));
    EXPECT_EQ(links::detail::strip_concat_elements(udh), platform::strprintf("%02X", 76) + e1);
}

}  // namespace
