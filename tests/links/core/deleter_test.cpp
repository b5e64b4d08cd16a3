// Deferred deletion of request files that left the queue: gone from the
// queue at once (no scan or claimer sees them), unlinked by the pool or
// inline, and what a crash leaves is swept.
#include "links/core/deleter.h"

#include "frame/global_state.h"
#include "worker_fixture.h"

namespace worker_test {
namespace {

class DeleterTest : public WorkerTest {};

TEST_F(DeleterTest, ClaimedFilesLeaveTheQueueAtOnceAndAreUnlinkedLater) {
    struct Case {
        unsigned threads;
        bool renamed;  // a "*.REQ.DEL" name may appear meanwhile
    };
    for (const Case& c : {Case{4, true}, Case{1, true}, Case{0, false}}) {
        SCOPED_TRACE(c.threads);
        frame::mutable_settings().queue_delete_threads = c.threads;
        const std::string q = home_ + "Q" + std::to_string(c.threads) + "/";
        constexpr int kFiles = 200;
        for (int i = 0; i < kFiles; ++i) spit(q + "M" + std::to_string(i) + ".REQ", "x");
        for (int i = 0; i < kFiles; ++i) {
            const std::string path = q + "M" + std::to_string(i) + ".REQ";
            platform::FileHandle held = platform::claim_file(path);
            ASSERT_TRUE(held.valid());
            ASSERT_TRUE(links::defer_delete(path));
            // A second claimer, or one that opened it before, finds nothing.
            EXPECT_FALSE(std::filesystem::exists(path));
            EXPECT_FALSE(platform::claim_file(path).valid());
            if (!c.renamed) {
                EXPECT_FALSE(std::filesystem::exists(path + ".DEL"));
            }
        }
        EXPECT_TRUE(platform::scan_dir(q, "*.REQ", platform::ScanKind::FilesOnly).empty());
        ASSERT_TRUE(links::drain_deferred_deletes(10000));
        EXPECT_EQ(links::deferred_delete_backlog(), 0u);
        EXPECT_TRUE(std::filesystem::is_empty(q));
    }
    // A file already gone counts as deleted.
    EXPECT_TRUE(links::defer_delete(home_ + "nowhere/none.REQ"));
    links::stop_deleters_for_tests();
    // The frame counts a thread out just after its body returned.
    for (int i = 0; i < 200 && frame::running_thread_count() != 0; ++i) platform::sleep_ms(10);
    EXPECT_EQ(frame::running_thread_count(), 0u);
}

TEST_F(DeleterTest, LeftoversAreSweptAndThePoolSizeIsCapped) {
    configure("[SMSGW]\nQueueDeleteThreads=2\n");
    const std::string q = home_ + "Q/";
    spit(q + "A1.REQ", "");
    spit(q + "A1.REQ.DEL", "left by a crash");
    spit(q + "RT_-_r_-_/B2.REQ.DEL", "");
    EXPECT_EQ(frame::settings().queue_delete_threads, 2u);
    // The start-up sweep hands every leftover to the pool, whatever its
    // depth, and leaves live files alone.
    EXPECT_EQ(links::sweep_deleted_requests(q), 2u);
    ASSERT_TRUE(links::drain_deferred_deletes(10000));
    EXPECT_TRUE(std::filesystem::exists(q + "A1.REQ"));
    EXPECT_FALSE(std::filesystem::exists(q + "A1.REQ.DEL"));
    EXPECT_FALSE(std::filesystem::exists(q + "RT_-_r_-_/B2.REQ.DEL"));
    configure("[SMSGW]\nQueueDeleteThreads=99\n");
    EXPECT_EQ(frame::settings().queue_delete_threads, 16u);
}

}  // namespace
}  // namespace worker_test
