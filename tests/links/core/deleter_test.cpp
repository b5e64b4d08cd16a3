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
        uint32_t unlink_us;  // what unlinking costs here, as measured so far
        bool renamed;        // renamed and handed to the pool, not unlinked at once
    };
    // Files on a slow disk go to the pool; cheap unlinks (tmpfs) and a pool
    // of 0 threads stay with the worker.
    for (const Case& c :
         {Case{4, 5000, true}, Case{1, 5000, true}, Case{0, 5000, false}, Case{4, 3, false}}) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.unlink_us << " us");
        frame::mutable_settings().queue_delete_threads = c.threads;
        links::set_unlink_cost_for_tests(c.unlink_us);
        const std::string q =
            home_ + "Q" + std::to_string(c.threads) + "-" + std::to_string(c.unlink_us) + "/";
        constexpr int kFiles = 200;
        const uint64_t handed_before = links::deferred_delete_total();
        for (int i = 0; i < kFiles; ++i) spit(q + "M" + std::to_string(i) + ".REQ", "x");
        for (int i = 0; i < kFiles; ++i) {
            const std::string path = q + "M" + std::to_string(i) + ".REQ";
            platform::FileHandle held = platform::claim_file(path);
            ASSERT_TRUE(held.valid());
            // The measured cost moves with every unlink: keep the case's.
            links::set_unlink_cost_for_tests(c.unlink_us);
            ASSERT_TRUE(links::defer_delete(path));
            // A second claimer, or one that opened it before, finds nothing.
            EXPECT_FALSE(std::filesystem::exists(path));
            EXPECT_FALSE(platform::claim_file(path).valid());
        }
        EXPECT_EQ(links::deferred_delete_total() - handed_before, c.renamed ? kFiles : 0u);
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
