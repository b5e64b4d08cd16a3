// Tests of segment names, the order and next-segment rules, the long-message
// lock files (also under racing link workers) and their deferred deletion.
#include "delivery/long_message_locks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery/delivery_state.h"
#include "delivery/segmentation.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "store/message_id.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

using delivery::LongMessageLock;
using delivery::SegmentName;

std::atomic<uint64_t> g_now{1000000};
uint64_t fake_clock() {
    return g_now.load();
}

class LongMessageLocksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-lml-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::ini_drop_cache_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        store::reset_message_ids_for_tests();
        delivery::reset_delivery_for_tests();
        g_now = 1000000;
        delivery::set_lock_cleanup_clock_for_tests(&fake_clock);
        q_ = home_ + "Q/";
        std::filesystem::create_directories(q_);
    }
    void TearDown() override {
        delivery::set_lock_cleanup_clock_for_tests(nullptr);
        delivery::reset_delivery_for_tests();
        frame::clear_registrations_for_tests();
        support::ini_drop_cache_for_tests();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void touch(const std::string& name, const std::string& content = "[SMS]\r\n") {
        std::ofstream(q_ + name, std::ios::binary) << content;
    }
    std::string read(const std::string& name) {
        return platform::read_file(q_ + name).value_or("<missing>");
    }
    // What a reader sees: the text up to the first NUL.
    std::string content(const std::string& name) {
        std::string s = read(name);
        return s.substr(0, s.find('\0'));
    }
    void write_ini(const std::string& text) {
        std::ofstream(home_ + "SMSGW.INI", std::ios::binary) << text;
        support::ini_drop_cache_for_tests();
    }

    std::string home_;
    std::string q_;
};

// --- names ------------------------------------------------------------------------

TEST_F(LongMessageLocksTest, SegmentNamesParseFromTheRight) {
    struct Case {
        const char* name;
        bool ok;
        const char* base;
        uint32_t number, total, seq;
        const char* lock;
    } cases[] = {
        {"SAR-+4471234-5f3a-3-2.req", true, "SAR-+4471234-5f3a", 0x5f3a, 3, 2,
         "SAR-+4471234-5f3a.LCK"},
        {"sar-GW4471234-ABCDEF01-255-255.REQ", true, "sar-GW4471234-ABCDEF01", 0xabcdef01, 255, 255,
         "sar-GW4471234-ABCDEF01.LCK"},
        // A recipient with dashes still names its own message.
        {"SAR-44-12-34-a-2-1.req", true, "SAR-44-12-34-a", 0xa, 2, 1, "SAR-44-12-34-a.LCK"},
        {"SAR--7-1-1.req", true, "SAR--7", 7, 1, 1, "SAR--7.LCK"},
        {"SAR-x-1-2-0.req", false, "", 0, 0, 0, ""},          // sequence 0
        {"SAR-x-1-2-3.req", false, "", 0, 0, 0, ""},          // sequence above total
        {"SAR-x-1-256-1.req", false, "", 0, 0, 0, ""},        // total above 255
        {"SAR-x-zz-2-1.req", false, "", 0, 0, 0, ""},         // number not hex
        {"SAR-x-123456789-2-1.req", false, "", 0, 0, 0, ""},  // number above 32 bits
        {"SAR-x-1-2-1.in", false, "", 0, 0, 0, ""},
        {"SAR-x-1-2-1", false, "", 0, 0, 0, ""},
        {"SAR-1-2.req", false, "", 0, 0, 0, ""},
        {"SAR--2-1.req", false, "", 0, 0, 0, ""},
        {"5F0000C3.req", false, "", 0, 0, 0, ""},
        {"", false, "", 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SegmentName n;
        ASSERT_EQ(delivery::parse_segment_name(c.name, n), c.ok) << c.name;
        if (!c.ok) continue;
        EXPECT_EQ(n.base, c.base);
        EXPECT_EQ(n.message_number, c.number);
        EXPECT_EQ(n.total, c.total);
        EXPECT_EQ(n.sequence, c.seq);
        EXPECT_EQ(delivery::long_message_lock_name(n), c.lock);
        EXPECT_EQ(delivery::sibling_segment_name(n, n.sequence), c.name);
    }
}

// --- order and next segment ----------------------------------------------------------

TEST_F(LongMessageLocksTest, LaterSegmentWaitsWhileAnEarlierOneIsQueued) {
    touch("SAR-447-5f-3-1.req");
    touch("SAR-447-5f-3-2.req");
    touch("SAR-447-5f-3-3.req");
    touch("SAR-447-60-3-1.req");  // another message to the same recipient
    touch("SAR-447-5f-4-1.req");  // same number, other total: not the same message
    EXPECT_FALSE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-1.req"));
    EXPECT_TRUE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-2.req"));
    EXPECT_TRUE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-3.req"));
    std::filesystem::remove(q_ + "SAR-447-5f-3-1.req");
    EXPECT_FALSE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-2.req"));
    EXPECT_TRUE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-3.req"));
    std::filesystem::remove(q_ + "SAR-447-5f-3-2.req");
    EXPECT_FALSE(delivery::earlier_segment_queued(q_, "SAR-447-5f-3-3.req"));
    EXPECT_FALSE(delivery::earlier_segment_queued(q_, "5F0000C3.req"));
    EXPECT_FALSE(delivery::earlier_segment_queued(q_ + "missing/", "SAR-447-5f-3-3.req"));
}

TEST_F(LongMessageLocksTest, NextSegmentIsTheFirstLaterOneStillQueued) {
    touch("SAR-447-5f-4-3.req");
    touch("SAR-447-5f-4-4.req");
    touch("SAR-447-60-4-2.req");
    EXPECT_EQ(delivery::CheckAdditionalLongMessageSegments(q_, "SAR-447-5f-4-1.req"),
              "SAR-447-5f-4-3.req");
    EXPECT_EQ(delivery::CheckAdditionalLongMessageSegments(q_, "SAR-447-5f-4-3.req"),
              "SAR-447-5f-4-4.req");
    EXPECT_EQ(delivery::CheckAdditionalLongMessageSegments(q_, "SAR-447-5f-4-4.req"), std::nullopt);
    EXPECT_EQ(delivery::CheckAdditionalLongMessageSegments(q_, "ABC.req"), std::nullopt);
}

// --- lock rules ----------------------------------------------------------------------------

TEST_F(LongMessageLocksTest, LockRulesForOneLink) {
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::string before;  // "" = no lock file yet
        bool go_on;
        std::string after_claim;
        std::string after_sent;    // after finish(true)
        std::string after_failed;  // after finish(false)
    } cases[] = {
        {"no lock file", "", true, "Pending:A\0"s, "A\0nding:A\0"s, "Pending:A\0"s},
        {"empty file", "\x01"s /* marker: create empty */, true, "Pending:A\0"s, "A\0nding:A\0"s,
         "Pending:A\0"s},
        {"own name", "A\0"s, true, "A\0"s, "A\0"s, "A\0"s},
        {"own claim", "Pending:A\0"s, true, "Pending:A\0"s, "A\0nding:A\0"s, "Pending:A\0"s},
        {"other link owns it", "B\0"s, false, "B\0"s, "", ""},
        {"other link's claim", "Pending:B\0"s, true, "Pending:A\0"s, "A\0nding:A\0"s,
         "Pending:A\0"s},
        // Never shortened: readers stop at the first NUL.
        {"longer claim", "Pending:LinkB\0"s, true, "Pending:A\0nkB\0"s, "A\0nding:A\0nkB\0"s,
         "Pending:A\0nkB\0"s},
        {"name without NUL", "A"s, true, "A"s, "A"s, "A"s},
        {"prefix of own name", "AB\0"s, false, "AB\0"s, "", ""},
    };
    for (bool sent : {true, false}) {
        for (const Case& c : cases) {
            const std::string lock_name = "SAR-447-5f.LCK";
            std::filesystem::remove(q_ + lock_name);
            if (c.before == "\x01")
                touch(lock_name, "");
            else if (!c.before.empty())
                touch(lock_name, c.before);
            LongMessageLock lock;
            const bool go = delivery::AcquireLongMessageLock(q_, "SAR-447-5f-2-1.req", "A", lock);
            ASSERT_EQ(go, c.go_on) << c.what;
            EXPECT_EQ(read(lock_name), c.after_claim) << c.what;
            EXPECT_EQ(lock.held(), go) << c.what;
            if (!go) continue;
            lock.finish(sent);
            EXPECT_FALSE(lock.held());
            EXPECT_EQ(read(lock_name), sent ? c.after_sent : c.after_failed) << c.what << sent;
        }
    }
}

TEST_F(LongMessageLocksTest, WhileAnotherWorkerSendsOnlyTheOwnerGoesOn) {
    touch("SAR-447-5f.LCK", "");
    LongMessageLock a;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-1.req", "A", a));
    // Nobody overrides a "Pending:" claim while its holder is sending, not
    // even another worker of the same link.
    LongMessageLock b, a2;
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "B", b));
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "A", a2));
    EXPECT_EQ(content("SAR-447-5f.LCK"), "Pending:A");

    // A's send failed: its claim stays but no longer blocks B.
    a.finish(false);
    EXPECT_EQ(content("SAR-447-5f.LCK"), "Pending:A");
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-1.req", "B", b));
    b.finish(true);
    EXPECT_EQ(content("SAR-447-5f.LCK"), "B");
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "A", a));

    // Once the message carries B's name, B's workers go on even while one of
    // them holds the lock; others still do not.
    LongMessageLock b1, b2;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "B", b1));
    EXPECT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-3.req", "B", b2));
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-3.req", "A", a));
    b2.finish(true);
    b1.finish(true);
    EXPECT_EQ(content("SAR-447-5f.LCK"), "B");
}

TEST_F(LongMessageLocksTest, AnEmptyLockHeldByItsCreatorIsNotFree) {
    // The creator has the file but has not written its claim yet.
    touch("SAR-447-5f.LCK", "");
    platform::FileHandle creator(::open((q_ + "SAR-447-5f.LCK").c_str(), O_RDWR));
    ASSERT_EQ(::flock(creator.fd(), LOCK_EX | LOCK_NB), 0);
    LongMessageLock b;
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "B", b));
    EXPECT_EQ(read("SAR-447-5f.LCK"), "");
}

TEST_F(LongMessageLocksTest, NonSegmentsAndDisabledCheckNeedNoLock) {
    LongMessageLock lock;
    EXPECT_TRUE(delivery::AcquireLongMessageLock(q_, "5F0000C3.req", "A", lock));
    EXPECT_FALSE(lock.held());

    touch("SAR-447-5f.LCK", std::string("B\0", 2));
    write_ini("[SMSGW]\r\nDisableLongMessageSMSCCheck=Yes\r\n");
    EXPECT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "A", lock));
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-448-60-3-2.req", "A", lock));
    EXPECT_FALSE(platform::file_exists(q_ + "SAR-448-60.LCK"));

    write_ini("[SMSGW]\r\nDisableLongMessageSMSCCheck=No\r\n");
    EXPECT_FALSE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-2.req", "A", lock));
}

TEST_F(LongMessageLocksTest, DestroyingAnUnfinishedLockKeepsTheClaimAndRegistersIt) {
    {
        LongMessageLock lock;
        ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-1.req", "A", lock));
    }
    EXPECT_EQ(content("SAR-447-5f.LCK"), "Pending:A");
    EXPECT_EQ(delivery::long_message_lock_entries(), 1u);
    LongMessageLock b;
    EXPECT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-3-1.req", "B", b));
}

// --- deferred deletion ----------------------------------------------------------------------

TEST_F(LongMessageLocksTest, CleanupWaitsFifteenSecondsAndForTheLastSegment) {
    touch("SAR-447-5f-2-2.req");
    touch("SAR-447-5f-a1-2-1.req");  // recipient "447-5f": matches the pattern, not ours
    LongMessageLock lock;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-447-5f-2-1.req", "A", lock));
    lock.finish(true);
    ASSERT_EQ(delivery::long_message_lock_entries(), 1u);

    g_now += delivery::kLockCleanupAgeMs - 1;
    EXPECT_EQ(delivery::CleanupLongMessageLocks(false), 1u);
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-447-5f.LCK"));

    g_now += 1;  // 15 s: examined, a segment remains, age reset
    EXPECT_EQ(delivery::CleanupLongMessageLocks(false), 1u);
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-447-5f.LCK"));

    std::filesystem::remove(q_ + "SAR-447-5f-2-2.req");
    g_now += delivery::kLockCleanupAgeMs - 1;  // the reset age is not yet 15 s again
    EXPECT_EQ(delivery::CleanupLongMessageLocks(false), 1u);
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-447-5f.LCK"));
    g_now += 1;
    EXPECT_EQ(delivery::CleanupLongMessageLocks(false), 0u);
    EXPECT_FALSE(platform::file_exists(q_ + "SAR-447-5f.LCK"));
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-447-5f-a1-2-1.req"));
}

TEST_F(LongMessageLocksTest, ShutdownExaminesEveryEntryRegardlessOfAge) {
    LongMessageLock a, b;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-1-a-2-1.req", "A", a));
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-2-b-2-1.req", "A", b));
    a.finish(true);
    b.finish(true);
    touch("SAR-2-b-2-2.REQ");  // any case of the extension counts
    EXPECT_EQ(delivery::CleanupLongMessageLocks(true), 1u);
    EXPECT_FALSE(platform::file_exists(q_ + "SAR-1-a.LCK"));
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-2-b.LCK"));
}

TEST_F(LongMessageLocksTest, CleanupLeavesALockThatALinkHoldsAndDropsAVanishedOne) {
    LongMessageLock a;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-1-a-2-1.req", "A", a));
    delivery::register_long_message_lock(q_, "SAR-1-a");
    EXPECT_EQ(delivery::CleanupLongMessageLocks(true), 1u);  // a holds it
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-1-a.LCK"));
    a.finish(true);

    std::filesystem::remove(q_ + "SAR-1-a.LCK");
    EXPECT_EQ(delivery::CleanupLongMessageLocks(true), 0u);  // gone: dropped

    // Registering the same lock twice keeps one entry.
    delivery::register_long_message_lock(q_, "SAR-3-c");
    delivery::register_long_message_lock(q_, "SAR-3-c");
    EXPECT_EQ(delivery::long_message_lock_entries(), 1u);
}

TEST_F(LongMessageLocksTest, DutiesRunTheCleanupEverySecondAndAtShutdown) {
    frame::clear_registrations_for_tests();
    delivery::register_long_message_lock_duties();
    LongMessageLock a;
    ASSERT_TRUE(delivery::AcquireLongMessageLock(q_, "SAR-1-a-2-1.req", "A", a));
    a.finish(true);
    frame::run_duties(frame::Duty::Second);
    EXPECT_TRUE(platform::file_exists(q_ + "SAR-1-a.LCK"));  // younger than 15 s
    frame::run_duties(frame::Duty::Shutdown);
    EXPECT_FALSE(platform::file_exists(q_ + "SAR-1-a.LCK"));
    EXPECT_EQ(delivery::long_message_lock_entries(), 0u);
}

// --- racing workers ----------------------------------------------------------------------------

// Links A, B and C claim one message's lock over and over from several
// threads. No two links may ever be inside a claim at once, and once a link
// has sent a segment no other link gets the message.
TEST_F(LongMessageLocksTest, RacingLinksNeverShareAMessage) {
    const char* links[] = {"A", "B", "C"};
    for (int round = 0; round < 20; ++round) {
        const std::string file = platform::strprintf("SAR-447-%x-5-1.req", round);
        std::atomic<int> inside[3] = {0, 0, 0};
        std::atomic<int> owner{-1};
        std::atomic<bool> violation{false};
        std::string why;
        std::mutex why_lock;
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                const int me = t % 3;
                for (int i = 0; i < 200; ++i) {
                    LongMessageLock lock;
                    if (!delivery::AcquireLongMessageLock(q_, file, links[me], lock)) continue;
                    ++inside[me];
                    for (int other = 0; other < 3; ++other) {
                        if (other != me && inside[other].load() > 0) {
                            violation = true;
                            std::lock_guard g(why_lock);
                            why = platform::strprintf("%s and %s at once", links[me], links[other]);
                        }
                    }
                    const int o = owner.load();
                    if (o >= 0 && o != me) {
                        violation = true;
                        std::lock_guard g(why_lock);
                        why = platform::strprintf("%s took a message %s had sent", links[me],
                                                  links[o]);
                    }
                    // Every tenth send fails; the others commit the link.
                    const bool sent = (i % 10) != 9;
                    if (sent) {
                        int expected = -1;
                        owner.compare_exchange_strong(expected, me);
                    }
                    --inside[me];
                    lock.finish(sent);
                }
            });
        }
        for (auto& th : threads) th.join();
        ASSERT_FALSE(violation.load()) << why;
        ASSERT_GE(owner.load(), 0);
    }
}

// Full workers over a queue: order check, claim, lock, send, next segment.
// Two links with two threads each; some sends fail and are retried later.
TEST_F(LongMessageLocksTest, WorkersOfTwoLinksKeepEachMessageOnOneLinkAndInOrder) {
    constexpr int kMessages = 12;
    constexpr int kSegments = 4;
    store::SmsMessage base;
    for (int m = 0; m < kMessages; ++m) {
        base.phone_number = "4479" + std::to_string(m);
        delivery::SegmentPlan plan;
        std::string error;
        ASSERT_TRUE(delivery::split_text(std::string(153 * kSegments, 'a'), false, 0,
                                         delivery::SegmentLimits{}, plan, error));
        ASSERT_EQ(plan.segments.size(), size_t(kSegments));
        ASSERT_EQ(delivery::queue_segments(q_, base, plan).paths.size(), size_t(kSegments));
    }

    std::mutex log_lock;
    std::map<std::string, std::vector<std::pair<uint32_t, std::string>>>
        sent;  // base -> (seq, link)
    std::atomic<int> attempts{0};

    auto worker = [&](const std::string& link) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int pass = 0; pass < 2000 && std::chrono::steady_clock::now() < deadline; ++pass) {
            const auto files = platform::scan_dir(q_, "*.REQ", platform::ScanKind::FilesOnly);
            if (files.empty()) return;
            for (const auto& f : files) {
                if (delivery::earlier_segment_queued(q_, f.name)) continue;
                std::optional<std::string> next = f.name;
                while (next) {
                    const std::string name = *next;
                    next.reset();
                    platform::FileHandle claim = platform::claim_file(q_ + name);
                    if (!claim.valid()) break;
                    LongMessageLock lock;
                    if (!delivery::AcquireLongMessageLock(q_, name, link, lock)) break;
                    const bool ok = (++attempts % 7) != 0;  // some sends fail
                    if (ok) {
                        SegmentName n;
                        delivery::parse_segment_name(name, n);
                        std::lock_guard g(log_lock);
                        sent[n.base].emplace_back(n.sequence, link);
                    }
                    lock.finish(ok);  // before the file goes
                    if (!ok) break;
                    platform::remove_file(q_ + name);
                    claim.close();
                    next = delivery::CheckAdditionalLongMessageSegments(q_, name);
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (const char* link : {"SMPP - one", "SMPP - one", "UCP - two", "UCP - two"})
        threads.emplace_back(worker, std::string(link));
    for (auto& t : threads) t.join();

    EXPECT_TRUE(platform::scan_dir(q_, "*.REQ").empty());
    ASSERT_EQ(sent.size(), size_t(kMessages));
    std::set<std::string> links_used;
    for (const auto& [b, log] : sent) {
        ASSERT_EQ(log.size(), size_t(kSegments)) << b;
        for (int i = 0; i < kSegments; ++i) {
            EXPECT_EQ(log[i].first, uint32_t(i + 1)) << b;  // in order, each once
            EXPECT_EQ(log[i].second, log[0].second) << b;   // one link
        }
        links_used.insert(log[0].second);
    }
    // Every lock file goes once the queue is empty.
    EXPECT_EQ(delivery::CleanupLongMessageLocks(true), 0u);
    EXPECT_TRUE(platform::scan_dir(q_, "*.LCK").empty());
}

}  // namespace
