// Link-thread start, housekeeping helpers, queue alerts and the process
// state registries.
#include "frame/service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <mutex>
#include <set>

#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame_fixture.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/sqlite_store.h"
#include "support/tracking.h"

namespace {

using frame_test::FrameTest;
using frame_test::spit;

TEST_F(FrameTest, LinkThreadCounts) {
    struct Case {
        const char* section_keys;
        unsigned count;
    } cases[] = {
        {"", 1},
        {"TransmitterCount=3\n", 3},
        {"ReceiverCount=4\nTransmitterCount=2\n", 4},
        {"TransmitterCount=0\nReceiverCount=0\n", 1},
        {"TransmitterCount=x\nReceiverCount=\n", 1},
        {"TransmitterCount=1\nThreadCount=5\n", 5},
        {"TransmitterCount=2\nThreadCount=5\n", 2},
        {"ThreadCount=0\n", 1},
        {"ThreadCount=abc\n", 1},
        {"TransmitterCount=1\nReceiverCount=3\n", 3},
    };
    for (const Case& c : cases) {
        load(std::string("[SMSGW]\n[SMPP - h:1]\n") + c.section_keys);
        EXPECT_EQ(frame::link_thread_count("SMPP - h:1"), c.count) << c.section_keys;
    }
    load("[SMSGW]\nThreadCount=3\n[Modem - COM1:]\n");
    EXPECT_EQ(frame::link_thread_count("Modem - COM1:"), 3u) << "falls back to [SMSGW]";
}

struct Started {
    std::string arg;
    unsigned link, thread;
    bool operator<(const Started& o) const {
        return std::tie(link, thread) < std::tie(o.link, o.thread);
    }
};
std::mutex g_started_m;
std::set<Started> g_started;
std::atomic<bool> g_release_workers{false};

void recording_worker(const std::string& arg, unsigned link, unsigned thread) {
    {
        std::lock_guard<std::mutex> lock(g_started_m);
        g_started.insert({arg, link, thread});
    }
    while (!g_release_workers) platform::sleep_ms(5);
}

size_t started_count() {
    std::lock_guard<std::mutex> lock(g_started_m);
    return g_started.size();
}

TEST_F(FrameTest, LinkThreadsStartOncePerFreeSlot) {
    g_started.clear();
    g_release_workers = false;
    frame::set_link_worker(&recording_worker);
    load("[SMSGW]\nModem1=SMPP - a:1\nModem3=UCP - b:2\n[SMPP - a:1]\nTransmitterCount=2\n");
    std::string stats = frame::stats_dir();
    // A live holder of slot 1-2: its worker must not be started twice.
    auto held = platform::Marker::acquire(stats + "ROUTE-1-2.LCK");
    ASSERT_TRUE(held.has_value());
    // A stale marker left by a dead worker does not block its slot.
    spit(stats + "ROUTE-3-1.LCK", "");

    frame::clear_routing_db_reset();
    EXPECT_EQ(frame::start_link_threads(true), 2u);  // over the gap at Modem2
    EXPECT_FALSE(frame::take_routing_db_reset()) << "start-up does not reset routing";
    for (int i = 0; i < 1000 && started_count() < 2; ++i) platform::sleep_ms(5);
    {
        std::lock_guard<std::mutex> lock(g_started_m);
        ASSERT_EQ(g_started.size(), 2u);
        EXPECT_EQ(g_started.begin()->arg, stats + "ROUTE-1-1.LCK,1,1");
        EXPECT_EQ(std::next(g_started.begin())->arg, stats + "ROUTE-3-1.LCK,3,1");
    }
    EXPECT_TRUE(platform::marker_alive(stats + "ROUTE-1-1.LCK"));

    // A rescan stops at the gap and finds every slot of link 1 taken.
    EXPECT_EQ(frame::start_link_threads(false), 0u);
    held->release();
    EXPECT_EQ(frame::start_link_threads(false), 1u);  // slot 1-2 now free
    EXPECT_FALSE(frame::take_routing_db_reset()) << "not a link's first thread";
    load(
        "[SMSGW]\nModem1=SMPP - a:1\nModem2=HTTP - c\nModem3=UCP - b:2\n"
        "[SMPP - a:1]\nTransmitterCount=2\n");
    EXPECT_EQ(frame::start_link_threads(false), 1u);  // the new link 2
    EXPECT_TRUE(frame::take_routing_db_reset());

    g_release_workers = true;
    frame::wait_for_threads(10);
    EXPECT_FALSE(std::filesystem::exists(stats + "ROUTE-1-1.LCK")) << "released with the worker";
    frame::set_link_worker(nullptr);
}

void age(const std::string& path, time_t t) {
    struct utimbuf u {
        t, t
    };
    ASSERT_EQ(::utime(path.c_str(), &u), 0);
}

TEST_F(FrameTest, StaleLocksAreRemovedThroughoutTheQueueTree) {
    std::string q = home_ + "Q/";
    time_t now = 1700000000;
    spit(q + "old.LCK", "");
    spit(q + "fresh.LCK", "");
    spit(q + "RT_-_x_-_/deep/old2.lck", "");
    spit(q + "old.REQ", "");
    spit(q + "held.LCK", "");
    age(q + "old.LCK", now - 301);
    age(q + "fresh.LCK", now - 299);
    age(q + "RT_-_x_-_/deep/old2.lck", now - 4000);
    age(q + "old.REQ", now - 4000);
    auto holder = platform::Marker::acquire(q + "held.LCK");
    ASSERT_TRUE(holder.has_value());
    age(q + "held.LCK", now - 4000);
    EXPECT_EQ(frame::remove_stale_locks(q, now, 300), 2u);
    EXPECT_FALSE(std::filesystem::exists(q + "old.LCK"));
    EXPECT_FALSE(std::filesystem::exists(q + "RT_-_x_-_/deep/old2.lck"));
    EXPECT_TRUE(std::filesystem::exists(q + "fresh.LCK"));
    EXPECT_TRUE(std::filesystem::exists(q + "old.REQ"));
    EXPECT_TRUE(std::filesystem::exists(q + "held.LCK"));
    EXPECT_EQ(frame::remove_stale_locks(home_ + "missing/", now, 300), 0u);
}

// Another process's connection that keeps a tracking file locked for as
// long as it lives (exclusive locking mode holds the lock after the write).
struct LockedDatabase {
    explicit LockedDatabase(const std::string& path) {
        ok = db.open(path, false, false) &&
             db.exec(
                 "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                 " INSERT INTO message_ids(link, smsc_id, message_id) VALUES('L','b','GWb');");
    }
    support::sqlite::Database db;
    bool ok = false;
};

TEST_F(FrameTest, IntegrityCheckRepairsOnlyDamagedDatabases) {
    const std::string dir = home_ + "track/";
    struct Case {
        frame::IntegrityMode mode;
        const char* name;
    } cases[] = {{frame::IntegrityMode::Startup, "start-up"},
                 {frame::IntegrityMode::Background, "background"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir);
        support::set_tracking_directory(dir);
        ASSERT_NE(support::SMSCMessageIdAdd("L", "a", "GWa", "u", "s", "r"), 0);
        support::sqlSMSCMessageIdCloseAll();
        const std::string live = support::tracking_today_path();
        const std::string sound = dir + "20200102.DB";
        std::filesystem::copy_file(live, sound);
        spit(dir + "20200101.DB", std::string(8192, 'x'));  // not a database at all
        spit(dir + "sub/20200101.DB", "SQLite format 3" + std::string(8192, '\x07'));

        std::vector<std::string> unchecked;
        {
            LockedDatabase holder(live);
            ASSERT_TRUE(holder.ok);
            unchecked = frame::CheckDatabaseIntegrity(c.mode);
        }
        // The busy file stays where it is, to be checked again later.
        ASSERT_EQ(unchecked, std::vector<std::string>{live});
        EXPECT_TRUE(std::filesystem::exists(live));
        EXPECT_TRUE(std::filesystem::exists(sound));
        std::set<std::string> damaged;
        for (const char* sub : {"", "sub/"})
            for (const auto& e : std::filesystem::directory_iterator(dir + sub))
                if (e.path().extension() == ".damaged")
                    damaged.insert(sub + e.path().filename().string().substr(0, 11));
        if (c.mode == frame::IntegrityMode::Background)
            EXPECT_EQ(damaged, (std::set<std::string>{"20200101.DB", "sub/20200101.DB"}));
        else
            EXPECT_TRUE(damaged.empty()) << "start-up checks only today's file";

        // Once the lock is gone the retry finds it sound and its ids match.
        EXPECT_TRUE(frame::check_database_files(unchecked).empty());
        EXPECT_TRUE(std::filesystem::exists(live));
        std::string id, user, sender, recipient;
        EXPECT_NE(support::SMSCMessageIdGet2("L", "a", id, user, sender, recipient), 0);
        EXPECT_EQ(id, "GWa");
        support::sqlSMSCMessageIdCloseAll();
    }
    support::set_tracking_directory("");
}

TEST_F(FrameTest, QueueCountsGoOneLevelDown) {
    std::string q = home_ + "Q/";
    spit(q + "a.REQ", "");
    spit(q + "b.req", "");
    spit(q + "c.TMP", "");
    spit(q + "RT_-_x_-_/d.REQ", "");
    spit(q + "RT_-_x_-_/deeper/e.REQ", "");
    spit(q + "###0001/f.REQ", "");
    EXPECT_EQ(frame::count_queue_files(q, "*.REQ", 1), 4u);
    EXPECT_EQ(frame::count_queue_files(q, "*.REQ", 0), 2u);
    std::string mq = home_ + "MMSQ/";
    spit(mq + "20140722/14/0000001Aa.MMS", "");
    spit(mq + "20140722/15/0000001Ba.MMS", "");
    EXPECT_EQ(frame::count_queue_files(mq, "*.MMS", 2), 2u);
    EXPECT_EQ(frame::count_queue_files(home_ + "none", "*.REQ", 1), 0u);
}

TEST(QueueAlerts, RaiseOncePerHourAndResolve) {
    frame::QueueAlertState st;
    std::vector<std::pair<int, std::string>> out;
    auto emit = [&](int type, const std::string& text) { out.emplace_back(type, text); };
    time_t t = 1000000;
    frame::evaluate_queue_alerts(st, 10, 0, 10, t, emit);  // not above the threshold
    EXPECT_TRUE(out.empty());
    frame::evaluate_queue_alerts(st, 11, 0, 10, t, emit);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], std::make_pair(2, std::string("Message Queue Size Alert:  11 messages are in "
                                                    "the outbound SMS queue")));
    // The MMS queue shares the last-alert time: no alert within the hour.
    frame::evaluate_queue_alerts(st, 12, 50, 10, t + 60, emit);
    EXPECT_EQ(out.size(), 1u);
    frame::evaluate_queue_alerts(st, 12, 50, 10, t + 3600, emit);
    ASSERT_EQ(out.size(), 2u) << "the SMS alert takes the shared slot for this round";
    EXPECT_EQ(out[1].second,
              "Message Queue Size Alert:  12 messages are in the outbound SMS queue");
    frame::evaluate_queue_alerts(st, 3, 50, 10, t + 3700, emit);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2],
              std::make_pair(0, std::string("Resolved:  Message Queue Size no longer exceeds "
                                            "threshold (3 messages in outbound SMS queue)")));
    frame::evaluate_queue_alerts(st, 3, 50, 10, t + 7200, emit);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3], std::make_pair(2, std::string("Message Queue Size Alert:  50 messages are in "
                                                    "the outbound MMS queue")));
    frame::evaluate_queue_alerts(st, 3, 0, 10, t + 3800, emit);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[4].second,
              "Resolved:  Message Queue Size no longer exceeds threshold (0 messages in outbound "
              "MMS queue)");
    frame::evaluate_queue_alerts(st, 3, 0, 10, t + 3900, emit);
    EXPECT_EQ(out.size(), 5u) << "resolved only once";
    frame::evaluate_queue_alerts(st, 1000, 1000, 0, t + 99999, emit);
    EXPECT_EQ(out.size(), 5u) << "threshold 0 means no alerts";
}

TEST(GlobalState, ExtraHttpArgsSplitAtCommasAndSemicolons) {
    EXPECT_EQ(frame::split_extra_http_args("a,b;c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(frame::split_extra_http_args(",,a;;"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(frame::split_extra_http_args("").empty());
}

TEST(GlobalState, DutiesRunInRegistrationOrderPerKind) {
    frame::clear_registrations_for_tests();
    std::vector<std::string> ran;
    frame::register_duty(frame::Duty::Minute, "b", [&] { ran.push_back("b"); });
    frame::register_duty(frame::Duty::Hourly, "h", [&] { ran.push_back("h"); });
    frame::register_duty(frame::Duty::Minute, "a", [&] { ran.push_back("a"); });
    frame::run_duties(frame::Duty::Minute);
    frame::run_duties(frame::Duty::Close);
    EXPECT_EQ(ran, (std::vector<std::string>{"b", "a"}));
    frame::register_thread_starter(frame::ThreadSlot::BulkQ, [] { return true; });
    frame::register_thread_starter(frame::ThreadSlot::BulkQ, [] { return false; });
    EXPECT_FALSE(frame::run_thread_starters(frame::ThreadSlot::BulkQ));
    EXPECT_TRUE(frame::run_thread_starters(frame::ThreadSlot::DelayQ));
    EXPECT_FALSE(frame::has_thread_starter(frame::ThreadSlot::DelayQ));
    frame::clear_registrations_for_tests();
}

TEST(GlobalState, ThreadFrameCountsAndNumbersItsThreads) {
    std::atomic<bool> go{false};
    std::atomic<unsigned> number{0};
    std::string description;
    ASSERT_TRUE(frame::start_thread("ThreadCounted", [&] {
        number = frame::thread_number();
        description = frame::thread_description(number);
        while (!go) platform::sleep_ms(1);
    }));
    EXPECT_GE(frame::running_thread_count(), 1u);
    go = true;
    frame::wait_for_threads(5);
    EXPECT_EQ(frame::running_thread_count(), 0u);
    EXPECT_NE(number.load(), 0u);
    EXPECT_EQ(description, "ThreadCounted");
}

TEST(GlobalState, WakeEventsAreAutoReset) {
    frame::WakeEvent ev;
    EXPECT_FALSE(ev.wait(1));
    ev.set();
    ev.set();
    EXPECT_TRUE(ev.wait(1));
    EXPECT_FALSE(ev.wait(1)) << "one set releases one wait";
    std::thread t([&] {
        platform::sleep_ms(20);
        ev.set();
    });
    EXPECT_TRUE(ev.wait(5000));
    t.join();
}

// At shutdown every thread waiting on an event looks at the flag at once,
// not only the one a set() would wake (shutdown stayed a second longer).
TEST(GlobalState, ShutdownReleasesEveryWaiterOfAnEvent) {
    frame::WakeEvent ev;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { released += ev.wait(10000) ? 0 : 1; });
    platform::sleep_ms(50);
    auto start = std::chrono::steady_clock::now();
    frame::request_shutdown();
    ev.release_waiters();
    for (auto& w : waiters) w.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(ev.wait(10000)) << "no wait once shutdown is requested";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
