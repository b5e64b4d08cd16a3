// Skip queue passes, the queue-full hold, send pacing with the gateway-wide
// throttle, and the throttle resubmit list.
#include "links/core/send_control.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "delivery/route_cache.h"
#include "frame/debug_trace.h"
#include "frame/frame_fixture.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace {

class SendControlTest : public frame_test::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        frame::mutable_settings().debug = true;
        delivery::route_cache_clear();
        links::reset_global_throttle_for_tests();
    }
    void TearDown() override {
        delivery::route_cache_clear();
        FrameTest::TearDown();
    }

    std::string debug_log() { return frame_test::slurp(home_ + "LOGS/SMSDEBUG.LOG"); }
    bool logged(const std::string& line) { return debug_log().find(line) != std::string::npos; }
    void touch(const std::string& rel) {
        std::filesystem::create_directories(
            std::filesystem::path(home_ + "Q/" + rel).parent_path());
        std::ofstream(home_ + "Q/" + rel) << "[SMS]\r\n";
    }
};

// --- skip queue --------------------------------------------------------------------------

TEST_F(SendControlTest, SkipQueuePassCycle) {
    links::SkipQueue q;
    q.begin_pass();
    q.add("B.REQ");
    q.add("A.REQ");
    // Names added in this pass are not searchable before the pass ends.
    EXPECT_FALSE(q.contains("A.REQ"));
    EXPECT_EQ(q.searchable(), 0u);
    q.clean();
    EXPECT_EQ(q.count(), 2u);
    EXPECT_EQ(q.searchable(), 2u);

    q.begin_pass();
    EXPECT_TRUE(q.contains("A.REQ"));
    EXPECT_FALSE(q.contains("a.req"));  // exact, case-sensitive
    EXPECT_FALSE(q.contains("A.RE"));
    EXPECT_FALSE(q.contains("C.REQ"));
    q.add("C.REQ");
    q.clean();  // B.REQ was not seen again: it has left the queue
    EXPECT_EQ(q.count(), 2u);
    q.begin_pass();
    EXPECT_FALSE(q.contains("B.REQ"));
    EXPECT_TRUE(q.contains("C.REQ"));
    EXPECT_TRUE(q.contains("A.REQ"));

    // A pass that sees nothing empties the queue.
    q.begin_pass();
    q.clean();
    EXPECT_EQ(q.count(), 0u);
    EXPECT_EQ(q.searchable(), 0u);
    EXPECT_FALSE(q.contains("A.REQ"));
}

TEST_F(SendControlTest, SkipQueueNameLengths) {
    struct Case {
        size_t length;
        bool stored;
    };
    const Case cases[] = {{1, true}, {46, true}, {47, true}, {48, false}, {300, false}};
    for (const Case& c : cases) {
        links::SkipQueue q;
        const std::string name(c.length, 'N');
        q.add(name);
        q.clean();
        q.begin_pass();
        EXPECT_EQ(q.contains(name), c.stored) << c.length;
        EXPECT_EQ(q.count(), c.stored ? 1u : 0u) << c.length;
    }
}

TEST_F(SendControlTest, SkipQueueDuplicateAddKeptOnce) {
    links::SkipQueue q;
    q.add("X.REQ");
    q.add("X.REQ");
    q.clean();
    EXPECT_EQ(q.count(), 1u);
    q.begin_pass();
    EXPECT_TRUE(q.contains("X.REQ"));
}

TEST_F(SendControlTest, SkipQueueGrowsAndShrinksInSteps) {
    links::SkipQueue q;
    q.begin_pass();
    for (int i = 0; i < 1001; ++i) q.add("F" + std::to_string(100000 + i) + ".REQ");
    EXPECT_EQ(q.capacity(), 2000u);
    EXPECT_EQ(q.count(), 1001u);
    q.clean();
    EXPECT_EQ(q.capacity(), 2000u);  // 1001 + 1000 is not smaller

    q.begin_pass();
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(q.contains("F" + std::to_string(100000 + i) + ".REQ"));
    q.clean();
    EXPECT_EQ(q.count(), 10u);
    EXPECT_EQ(q.capacity(), 1010u);
    EXPECT_EQ(q.searchable(), 10u);

    const std::string log = debug_log();
    EXPECT_NE(log.find("SkipQAdd:  Debug:  SkipQSize = 1000, SkipQCount = 0\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("SkipQAdd:  Debug:  SkipQSize = 2000, SkipQCount = 1000\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("SkipQClean:  Debug:  SkipQSize = 1010, SkipQCount = 10\r\n"),
              std::string::npos);

    q.free();
    EXPECT_EQ(q.count(), 0u);
    EXPECT_EQ(q.capacity(), 0u);
    EXPECT_EQ(q.searchable(), 0u);
    EXPECT_TRUE(logged("SkipQFree:  Enter\r\n"));
    EXPECT_TRUE(logged("SkipQFree:  Exit\r\n"));
}

// Many passes over a changing queue against a plain set: whatever was added
// and is still in the queue must be found; nothing else may be.
TEST_F(SendControlTest, SkipQueueMatchesModelOverManyPasses) {
    std::mt19937 rng(12345);
    std::vector<std::string> universe;
    for (int i = 0; i < 400; ++i) universe.push_back("M" + std::to_string(rng() % 100000) + ".REQ");
    std::set<std::string> in_queue;     // files currently queued
    std::set<std::string> other_links;  // queued files this worker gave away
    std::set<std::string> searchable;   // expected searchable after the last clean
    links::SkipQueue q;
    for (int pass = 0; pass < 60; ++pass) {
        for (int k = 0; k < 20; ++k) in_queue.insert(universe[rng() % universe.size()]);
        for (int k = 0; k < 15 && !in_queue.empty(); ++k) {
            auto it = in_queue.begin();
            std::advance(it, rng() % in_queue.size());
            other_links.erase(*it);
            in_queue.erase(it);
        }
        q.begin_pass();
        std::set<std::string> kept;
        for (const std::string& f : in_queue) {
            const bool hit = q.contains(f);
            ASSERT_EQ(hit, searchable.count(f) == 1) << "pass " << pass << " " << f;
            if (hit) {
                kept.insert(f);
                continue;
            }
            if (other_links.count(f) || rng() % 3 == 0) {
                other_links.insert(f);
                q.add(f);
                kept.insert(f);
            }
        }
        q.clean();
        searchable = kept;
        ASSERT_EQ(q.count(), searchable.size()) << "pass " << pass;
    }
}

TEST_F(SendControlTest, SkipQueueEnabledSettings) {
    struct Case {
        bool experimental, old_logic, enabled;
    };
    const Case cases[] = {
        {false, false, false}, {true, false, true}, {true, true, false}, {false, true, false}};
    for (const Case& c : cases) {
        frame::mutable_settings().use_experimental_logic = c.experimental;
        frame::mutable_settings().old_routing_logic = c.old_logic;
        EXPECT_EQ(links::skip_queue_enabled(), c.enabled) << c.experimental << c.old_logic;
    }
}

// --- queue-full hold ---------------------------------------------------------------------

TEST_F(SendControlTest, QueueFullHoldKeyFormat) {
    EXPECT_EQ(links::queue_full_key("+447700900001", "SMPP - 10.0.0.1:2775"),
              "+447700900001**SMPP - 10.0.0.1:2775");
}

TEST_F(SendControlTest, QueueFullHoldOneMessagePerRecipient) {
    const std::string root = home_ + "Q/";
    const std::string link = "SMPP - a:1";
    touch("F1.REQ");
    touch("sub/F2.REQ");
    touch("F3.REQ");
    links::queue_full_hold("+4477", link, "F1.REQ");
    links::queue_full_hold("+4477", link, "sub/F2.REQ");  // the first hold stays
    EXPECT_EQ(delivery::route_cache_lookup("+4477**" + link), std::optional<std::string>("F1.REQ"));

    struct Case {
        const char* recipient;
        const char* link;
        const char* file;
        bool held;
    };
    const Case cases[] = {
        {"+4477", "SMPP - a:1", "sub/F2.REQ", true}, {"+4477", "SMPP - a:1", "F3.REQ", true},
        {"+4477", "SMPP - a:1", "F1.REQ", false},  // the held file itself may be retried
        {"+4477", "SMPP - b:1", "F3.REQ", false},  // other links are not held
        {"+4478", "SMPP - a:1", "F3.REQ", false},  // other recipients are not held
    };
    for (const Case& c : cases)
        EXPECT_EQ(links::queue_full_held(c.recipient, c.link, c.file, root), c.held)
            << c.recipient << " " << c.link << " " << c.file;

    // The held file leaves the queue: the entry goes and the next file is taken.
    std::filesystem::remove(root + "F1.REQ");
    EXPECT_FALSE(links::queue_full_held("+4477", link, "sub/F2.REQ", root));
    EXPECT_EQ(delivery::route_cache_lookup("+4477**" + link), std::nullopt);
    links::queue_full_hold("+4477", link, "sub/F2.REQ");
    EXPECT_TRUE(links::queue_full_held("+4477", link, "F3.REQ", root));
    // A root without its trailing slash works the same.
    EXPECT_TRUE(links::queue_full_held("+4477", link, "F3.REQ", home_ + "Q"));
}

TEST_F(SendControlTest, QueueFullHoldOnlyWithRmsgqfulByNumber) {
    frame::mutable_settings().rmsgqful_by_number = false;
    touch("F1.REQ");
    links::queue_full_hold("+4477", "L", "F1.REQ");
    EXPECT_EQ(delivery::route_cache_count(), 0u);
    frame::mutable_settings().rmsgqful_by_number = true;
    links::queue_full_hold("+4477", "L", "F1.REQ");
    frame::mutable_settings().rmsgqful_by_number = false;
    EXPECT_FALSE(links::queue_full_held("+4477", "L", "F2.REQ", home_ + "Q/"));
}

// --- send pacing -------------------------------------------------------------------------

TEST_F(SendControlTest, PacerKeepsTheInterval) {
    links::SendPacer p;
    p.set_interval_ms(30);
    int serviced = 0;
    auto service = [&] {
        ++serviced;
        return true;
    };
    const uint64_t start = platform::monotonic_ms();
    ASSERT_TRUE(p.wait(service, nullptr));
    EXPECT_EQ(serviced, 0);  // nothing to wait for before the first submit
    ASSERT_TRUE(p.wait(service, nullptr));
    ASSERT_TRUE(p.wait(service, nullptr));
    EXPECT_GE(platform::monotonic_ms() - start, 60u);
    EXPECT_GE(serviced, 2);  // the session is kept serviced while waiting
}

TEST_F(SendControlTest, PacerWithoutLimitDoesNotWait) {
    links::SendPacer p;
    int serviced = 0;
    auto service = [&] {
        ++serviced;
        return true;
    };
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(p.wait(service, nullptr));
    EXPECT_EQ(serviced, 0);
    // Empty functions are allowed (kinds without a session to service).
    p.set_interval_ms(5);
    EXPECT_TRUE(p.wait(nullptr, nullptr));
    EXPECT_TRUE(p.wait(nullptr, nullptr));
}

TEST_F(SendControlTest, PacerEndsWhenTheLinkIsLost) {
    links::SendPacer p;
    p.set_interval_ms(40);
    const uint64_t first = platform::monotonic_ms();
    ASSERT_TRUE(p.wait(nullptr, nullptr));
    int calls = 0;
    EXPECT_FALSE(p.wait([&] { return ++calls < 3; }, nullptr));
    EXPECT_EQ(calls, 3);
    // The failed wait recorded no submit: the interval still counts from the first.
    ASSERT_TRUE(p.wait(nullptr, nullptr));
    EXPECT_GE(platform::monotonic_ms() - first, 40u);
}

TEST_F(SendControlTest, PacerStopEndsLongWaits) {
    struct Case {
        uint32_t interval_ms;
        uint32_t throttle_ms;
    };
    const Case cases[] = {{60000, 0}, {0, 60000}};
    for (const Case& c : cases) {
        links::reset_global_throttle_for_tests();
        frame::mutable_settings().message_throttle_delay_ms = c.throttle_ms;
        links::SendPacer p;
        p.set_interval_ms(c.interval_ms);
        ASSERT_TRUE(p.wait(nullptr, nullptr));
        std::atomic<int> stops{0};
        auto fut = std::async(std::launch::async,
                              [&] { return p.wait(nullptr, [&] { return ++stops >= 4; }); });
        // Generous bound only to fail instead of hanging when stop is ignored.
        ASSERT_EQ(fut.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_FALSE(fut.get());
        EXPECT_EQ(stops.load(), 4);
    }
}

TEST_F(SendControlTest, GlobalThrottleSpansWorkers) {
    frame::mutable_settings().message_throttle_delay_ms = 25;
    constexpr int kPerThread = 4;
    std::atomic<int> serviced{0};
    const uint64_t start = platform::monotonic_ms();
    auto worker = [&] {
        links::SendPacer p;  // no own limit: only the gateway-wide delay applies
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_TRUE(p.wait(
                [&] {
                    ++serviced;
                    return true;
                },
                nullptr));
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    // 8 submits, at least 25 ms apart wherever they came from.
    EXPECT_GE(platform::monotonic_ms() - start, uint64_t(2 * kPerThread - 1) * 25);
    EXPECT_GT(serviced.load(), 0);
}

TEST_F(SendControlTest, GlobalThrottleAfterOwnInterval) {
    frame::mutable_settings().message_throttle_delay_ms = 50;
    links::SendPacer a, b;
    a.set_interval_ms(10);
    const uint64_t start = platform::monotonic_ms();
    ASSERT_TRUE(a.wait(nullptr, nullptr));
    ASSERT_TRUE(b.wait(nullptr, nullptr));  // another worker: held by the shared time
    EXPECT_GE(platform::monotonic_ms() - start, 50u);
    ASSERT_TRUE(a.wait(nullptr, nullptr));
    EXPECT_GE(platform::monotonic_ms() - start, 100u);
}

// --- throttle resubmit list ----------------------------------------------------------------

TEST_F(SendControlTest, ResubmitListCountsUpToFive) {
    links::ThrottleResubmitList l;
    const std::string f = home_ + "Q/T1.REQ";
    unsigned rounds = 0;
    // The worker's cycle: throttled, listed, taken first, throttled again.
    while (l.add(f, l.resubmits_of(f))) {
        ++rounds;
        auto taken = l.take_all();
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].first, f);
        EXPECT_EQ(taken[0].second, rounds);
        EXPECT_EQ(l.resubmits_of(f), rounds);
        ASSERT_LE(rounds, 10u);
    }
    EXPECT_EQ(rounds, links::ThrottleResubmitList::kMaxResubmits);
    EXPECT_EQ(l.size(), 0u);
    EXPECT_TRUE(logged("ThrottleResubmitQCoun Exceeded:  " + f + "\r\n"));
    EXPECT_TRUE(logged("AddToThrottleResubmitQ:  " + f + "\r\n"));
    EXPECT_TRUE(logged("CheckThrottleResubmitQ:  " + f + "\r\n"));
    EXPECT_TRUE(logged("isThrottleResubmit:  " + f + "\r\n"));

    // Sent at last: the count is dropped and a later throttling starts again.
    l.forget(f);
    EXPECT_EQ(l.resubmits_of(f), 0u);
    EXPECT_TRUE(l.add(f, 0));
}

TEST_F(SendControlTest, ResubmitListAddRules) {
    links::ThrottleResubmitList l;
    struct Step {
        const char* path;
        unsigned resubmits;
        bool added;
        size_t size_after;
    };
    const Step steps[] = {
        {"A.REQ", 0, true, 1},   {"A.REQ", 0, false, 1},  // listed already
        {"B.REQ", 4, true, 2},   {"C.REQ", 5, false, 2},  // 5 resubmits done
        {"D.REQ", 99, false, 2}, {"B.REQ", 0, false, 2},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(l.add(s.path, s.resubmits), s.added) << s.path << " " << s.resubmits;
        EXPECT_EQ(l.size(), s.size_after) << s.path;
    }
    auto taken = l.take_all();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], (std::pair<std::string, unsigned>("A.REQ", 1)));
    EXPECT_EQ(taken[1], (std::pair<std::string, unsigned>("B.REQ", 5)));
    // B.REQ has had its 5 resubmits even if a caller passes a smaller count.
    EXPECT_FALSE(l.add("B.REQ", 0));
    EXPECT_EQ(l.resubmits_of("C.REQ"), 0u);

    // A file that left the queue also leaves the pending list.
    EXPECT_TRUE(l.add("E.REQ", 0));
    l.forget("E.REQ");
    EXPECT_EQ(l.size(), 0u);
    EXPECT_TRUE(l.take_all().empty());
}

TEST_F(SendControlTest, ResubmitListConcurrentAdds) {
    links::ThrottleResubmitList l;
    constexpr int kThreads = 4, kFiles = 200;
    std::atomic<int> added{0};
    std::vector<std::pair<std::string, unsigned>> taken;
    std::mutex taken_mu;
    std::atomic<bool> adding{true};
    std::thread taker([&] {
        while (adding.load()) {
            auto t = l.take_all();
            std::lock_guard<std::mutex> lock(taken_mu);
            taken.insert(taken.end(), t.begin(), t.end());
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // Every thread reports every file once (the helpers of one link
            // may see the same file's answer).
            for (int i = 0; i < kFiles; ++i)
                if (l.add("F" + std::to_string(i) + ".REQ", 0)) ++added;
        });
    }
    for (auto& t : threads) t.join();
    adding = false;
    taker.join();
    auto rest = l.take_all();
    taken.insert(taken.end(), rest.begin(), rest.end());
    // Each file was listed at least once; re-listing after a take counts up.
    std::set<std::string> names;
    for (const auto& p : taken) {
        names.insert(p.first);
        EXPECT_GE(p.second, 1u);
        EXPECT_LE(p.second, links::ThrottleResubmitList::kMaxResubmits);
    }
    EXPECT_EQ(names.size(), size_t(kFiles));
    EXPECT_EQ(taken.size(), size_t(added.load()));
    for (int i = 0; i < kFiles; ++i) {
        unsigned n = l.resubmits_of("F" + std::to_string(i) + ".REQ");
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, links::ThrottleResubmitList::kMaxResubmits);
    }
}

TEST_F(SendControlTest, ResubmitListNoDuplicatesWithoutTakes) {
    links::ThrottleResubmitList l;
    constexpr int kThreads = 4, kFiles = 100;
    std::atomic<int> added{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kFiles; ++i)
                if (l.add("G" + std::to_string(i) + ".REQ", 0)) ++added;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(added.load(), kFiles);
    auto taken = l.take_all();
    ASSERT_EQ(taken.size(), size_t(kFiles));
    std::set<std::string> names;
    for (const auto& p : taken) {
        names.insert(p.first);
        EXPECT_EQ(p.second, 1u);
    }
    EXPECT_EQ(names.size(), size_t(kFiles));
}

}  // namespace
