// Tests of the message-id counter and its UID.DAT persistence, the
// pseudo-random sequence and the 8-bit sequence number.
#include "store/message_id.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/global_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "store/store_state.h"
#include "support/directories.h"
#include "support/support_state.h"

namespace {

using namespace std::string_literals;

std::atomic<time_t> g_now{0};
time_t test_clock(int* millis) {
    if (millis) *millis = 0;
    return g_now.load();
}

std::string le_bytes(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

class MessageIdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-uid-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        g_now = 1700000000;
        platform::set_wall_clock(&test_clock);
        store::reset_store_for_tests();
        uid_ = support::GetPrivateDataDirectory() + "UID.DAT";
    }
    void TearDown() override {
        platform::set_wall_clock(nullptr);
        store::reset_store_for_tests();
        frame::clear_registrations_for_tests();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void put_uid(std::string_view bytes) {
        std::ofstream(uid_, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string uid() {
        auto s = platform::read_file(uid_);
        return s ? *s : std::string("<missing>");
    }
    // A process restart: only UID.DAT survives.
    void restart() { store::reset_store_for_tests(); }

    std::string home_;
    std::string uid_;
};

TEST_F(MessageIdTest, StartValue) {
    struct Case {
        const char* name;
        std::optional<std::string> file;
        uint32_t first;
    };
    const std::vector<Case> cases = {
        {"no file: the clock", std::nullopt, 1700000000u},
        {"stored value + 1000", le_bytes(0x01020304), 0x01020304u + 1000},
        {"little-endian order", "\x01\x00\x00\x80"s, 0x80000001u + 1000},
        {"extra bytes ignored", le_bytes(7) + "junk", 1007u},
        {"short file: the clock", "\x01\x02\x03"s, 1700000000u},
        {"empty file: the clock", ""s, 1700000000u},
        {"wraps at 2^32", le_bytes(0xFFFFFF00u), 0xFFFFFF00u + 1000u},  // = 0x2E8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(uid_);
        if (c.file) put_uid(*c.file);
        restart();
        EXPECT_EQ(store::next_message_id(), c.first);
        EXPECT_EQ(store::next_message_id(), c.first + 1);
    }
}

TEST_F(MessageIdTest, SaveWritesLittleEndianOnlyWhenUsedAndChanged) {
    // Unused counter: nothing written.
    EXPECT_TRUE(store::save_message_id());
    EXPECT_FALSE(platform::file_exists(uid_));

    // Unused after a start that found a stored value: file left alone.
    put_uid(le_bytes(5) + "tail");
    restart();
    EXPECT_TRUE(store::save_message_id());
    EXPECT_EQ(uid(), le_bytes(5) + "tail");

    EXPECT_EQ(store::next_message_id(), 1005u);
    EXPECT_EQ(store::next_message_id(), 1006u);
    EXPECT_TRUE(store::save_message_id());
    EXPECT_EQ(uid(), le_bytes(1006));

    // Unchanged since the last save: not rewritten.
    std::filesystem::remove(uid_);
    EXPECT_TRUE(store::save_message_id());
    EXPECT_FALSE(platform::file_exists(uid_));
    store::next_message_id();
    EXPECT_TRUE(store::save_message_id());
    EXPECT_EQ(uid(), le_bytes(1007));
    for (const auto& e : std::filesystem::directory_iterator(support::GetPrivateDataDirectory()))
        EXPECT_EQ(e.path().filename().string(), "UID.DAT");  // no temporaries left
}

TEST_F(MessageIdTest, NoRepeatsAcrossRestarts) {
    std::set<uint32_t> ids;
    std::optional<uint32_t> saved;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        uint32_t id = store::next_message_id();
        if (saved) {
            EXPECT_EQ(id, *saved + 1000);
        }
        EXPECT_TRUE(ids.insert(id).second);
        for (int i = 0; i < 399; ++i) EXPECT_TRUE(ids.insert(id = store::next_message_id()).second);
        ASSERT_TRUE(store::save_message_id());
        saved = id;
        // Up to 999 ids after the last save are skipped by the restart, never reused.
        for (int i = 0; i < 999; ++i) EXPECT_TRUE(ids.insert(store::next_message_id()).second);
        restart();
    }
    EXPECT_EQ(ids.size(), 3u * 1399u);
}

// A crash loses the periodic and shutdown saves: whatever UID.DAT holds then
// must still be past every id handed out, however many there were.
TEST_F(MessageIdTest, CrashNeverRepeatsIds) {
    struct Case {
        const char* name;
        int before_save;  // ids, then a periodic save (0: no save)
        int after_save;   // ids handed out after it, up to the crash
    };
    const std::vector<Case> cases = {
        {"crash before any save", 0, 5000},
        {"crash past the restart gap after a save", 400, 1500},
        {"crash exactly at the gap", 1, 1000},
        {"crash beyond one reservation", 0, 25000},
        {"save, then more than a reservation", 12000, 21000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(uid_);
        restart();
        std::set<uint32_t> ids;
        uint32_t last = 0;
        for (int i = 0; i < c.before_save; ++i) ids.insert(last = store::next_message_id());
        if (c.before_save) {
            ASSERT_TRUE(store::save_message_id());
        }
        for (int i = 0; i < c.after_save; ++i) ids.insert(last = store::next_message_id());
        restart();  // the crash: no save
        const uint32_t first = store::next_message_id();
        EXPECT_EQ(ids.count(first), 0u);
        EXPECT_GT(first, last);
        // Skips at most one reservation and the restart gap.
        EXPECT_LE(first - last, store::kMessageIdReserve + store::kMessageIdRestartGap + 1);
        for (int i = 0; i < 2000; ++i) EXPECT_EQ(ids.count(store::next_message_id()), 0u);
    }
}

// A reservation write costs a sync: it happens once per reserved block, not
// per id, and a clean stop still leaves the last id (dense restarts).
TEST_F(MessageIdTest, ReservesInBlocksAndSavesTheLastId) {
    put_uid(le_bytes(5));
    restart();
    EXPECT_EQ(store::next_message_id(), 1005u);
    const uint32_t reserved = 1005u + store::kMessageIdReserve;
    EXPECT_EQ(uid(), le_bytes(reserved));
    std::filesystem::remove(uid_);
    // Ids up to the reservation + the restart gap need no write.
    for (uint32_t id = 1006; id < reserved + store::kMessageIdRestartGap; ++id)
        ASSERT_EQ(store::next_message_id(), id);
    EXPECT_FALSE(platform::file_exists(uid_));
    const uint32_t next = store::next_message_id();  // the first one not covered
    EXPECT_EQ(uid(), le_bytes(next + store::kMessageIdReserve));
    ASSERT_TRUE(store::save_message_id());
    EXPECT_EQ(uid(), le_bytes(next));
    restart();
    EXPECT_EQ(store::next_message_id(), next + store::kMessageIdRestartGap);
}

TEST_F(MessageIdTest, ConcurrentIdsAreUnique) {
    constexpr int kThreads = 4, kEach = 20000;
    std::vector<std::vector<uint32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                got[t].push_back(store::next_message_id());
                if (i % 5000 == 0) store::save_message_id();
            }
        });
    for (auto& t : threads) t.join();
    std::set<uint32_t> all;
    for (auto& v : got) all.insert(v.begin(), v.end());
    ASSERT_EQ(all.size(), size_t(kThreads * kEach));
    EXPECT_EQ(*all.rbegin() - *all.begin(), uint32_t(kThreads * kEach - 1));
    ASSERT_TRUE(store::save_message_id());
    EXPECT_EQ(uid(), le_bytes(*all.rbegin()));
}

TEST_F(MessageIdTest, PseudoRandomSequence) {
    g_now = 0x12345678;
    uint32_t x = 0x12345678;
    for (int i = 0; i < 5; ++i) {
        x = x * 1345u + 9876543u;
        EXPECT_EQ(store::next_random_id(), x);
    }
    // The random sequence never moves the message-id counter.
    EXPECT_EQ(store::next_message_id(), 0x12345678u);
}

TEST_F(MessageIdTest, SequenceNumberStartsAtClockAndWraps) {
    g_now = 0x123456FE;
    EXPECT_EQ(store::next_sequence_number(), 0xFE);
    EXPECT_EQ(store::next_sequence_number(), 0xFF);
    EXPECT_EQ(store::next_sequence_number(), 0x00);
    std::set<int> seen;
    for (int i = 0; i < 256; ++i) seen.insert(store::next_sequence_number());
    EXPECT_EQ(seen.size(), 256u);
    EXPECT_EQ(store::next_sequence_number(), 0x01);  // 256 later: the same value again
}

TEST_F(MessageIdTest, DutiesSaveOnTheRoundAndAtShutdown) {
    frame::clear_registrations_for_tests();
    store::register_message_id_duties();
    store::next_message_id();
    frame::run_duties(frame::Duty::ThirtySeconds);
    EXPECT_EQ(uid(), le_bytes(1700000000u));
    store::next_message_id();
    frame::run_duties(frame::Duty::Shutdown);
    EXPECT_EQ(uid(), le_bytes(1700000001u));
}

}  // namespace
