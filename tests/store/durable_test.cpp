// Tests of the durable queue: the group committer, the sync methods, and
// the commit call the front ends make before answering "accepted".
#include "store/durable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/settings.h"
#include "store/request_file.h"
#include "store/store_test_util.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace fs = std::filesystem;

namespace {

using namespace store_test;

// Records every batch it is asked to sync, then answers `result`.
struct SyncLog {
    std::mutex lock;
    std::vector<std::vector<std::string>> batches;
    std::atomic<int> result{0};
    unsigned delay_ms = 2;
    store::DurableSyncFn fn() {
        return [this](const std::vector<std::string>& p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            std::lock_guard<std::mutex> g(lock);
            batches.push_back(p);
            return result.load();
        };
    }
    std::multiset<std::string> synced() {
        std::lock_guard<std::mutex> g(lock);
        std::multiset<std::string> out;
        for (const auto& b : batches) out.insert(b.begin(), b.end());
        return out;
    }
};

TEST(GroupCommitter, ManyWaitersShareFewSyncsAndReturnOnlyOnceSynced) {
    struct Case {
        unsigned window_ms, threads, rounds, files_per_wait;
    };
    for (const Case c : {Case{5, 16, 20, 1}, Case{0, 32, 10, 3}, Case{2, 4, 50, 1}}) {
        SCOPED_TRACE(testing::Message() << c.window_ms << " ms, " << c.threads << " threads");
        SyncLog log;
        std::multiset<std::string> handed;
        std::atomic<int> early{0}, failed{0};
        {
            store::GroupCommitter committer(c.window_ms, log.fn());
            std::mutex handed_lock;
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < c.threads; ++t)
                threads.emplace_back([&, t] {
                    for (unsigned r = 0; r < c.rounds; ++r) {
                        std::vector<std::string> paths;
                        for (unsigned f = 0; f < c.files_per_wait; ++f)
                            paths.push_back("/q/" + std::to_string(t) + "-" + std::to_string(r) +
                                            "-" + std::to_string(f));
                        {
                            std::lock_guard<std::mutex> g(handed_lock);
                            handed.insert(paths.begin(), paths.end());
                        }
                        if (committer.wait(paths) != 0) ++failed;
                        // Back from wait: each of its files was in a finished sync.
                        const std::multiset<std::string> done = log.synced();
                        for (const std::string& p : paths)
                            if (done.count(p) != 1) ++early;
                    }
                });
            for (std::thread& t : threads) t.join();
            EXPECT_EQ(committer.syncs(), log.batches.size());
        }
        const size_t waits = size_t(c.threads) * c.rounds;
        EXPECT_EQ(failed.load(), 0);
        EXPECT_EQ(early.load(), 0);
        EXPECT_EQ(log.synced(), handed);  // every file once, none invented
        EXPECT_LE(log.batches.size() * 3, waits) << "batches: " << log.batches.size();
    }
}

TEST(GroupCommitter, ASyncErrorReachesEveryWaiterOfItsBatchOnly) {
    for (int err : {EIO, ENOSPC, EROFS}) {
        SCOPED_TRACE(err);
        SyncLog log;
        log.delay_ms = 0;
        store::GroupCommitter committer(20, log.fn());
        log.result = err;
        std::vector<int> results(12, -1);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] { results[i] = committer.wait({"/q/f" + std::to_string(i)}); });
        for (std::thread& t : threads) t.join();
        for (int r : results) EXPECT_EQ(r, err);
        // The failure does not stick: the next batch succeeds.
        log.result = 0;
        EXPECT_EQ(committer.wait({"/q/later"}), 0);
        EXPECT_EQ(committer.wait({}), 0);  // nothing to wait for: no sync
        EXPECT_EQ(log.batches.back(), std::vector<std::string>{"/q/later"});
    }
}

TEST(GroupCommitter, WindowKeepsTheBatchOpenForLaterWriters) {
    SyncLog log;
    log.delay_ms = 0;
    store::GroupCommitter committer(40, log.fn());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(committer.wait({"/q/a"}), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    // A writer 10 ms after the first still joins its batch.
    committer.set_commit_ms(150);
    std::thread first([&] { EXPECT_EQ(committer.wait({"/q/b"}), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(committer.wait({"/q/c"}), 0);
    first.join();
    ASSERT_EQ(log.batches.size(), 2u);
    EXPECT_EQ(std::set<std::string>(log.batches[1].begin(), log.batches[1].end()),
              (std::set<std::string>{"/q/b", "/q/c"}));
}

TEST(SyncPaths, BothMethodsOnRealFiles) {
    std::string tmpl = "/tmp/smsgw-durable-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::string dir = tmpl + "/Q/####0001/";
    fs::create_directories(dir);
    spit(dir + "a.req", "[SMS]\r\n");
    spit(dir + "b.req", "[SMS]\r\n");
    struct Case {
        store::SyncMethod method;
        std::vector<std::string> paths;
        int want;
    };
    const std::vector<Case> cases = {
        {store::SyncMethod::FileSystem, {dir + "a.req", dir + "b.req"}, 0},
        {store::SyncMethod::FilesAndDirs, {dir + "a.req", dir + "b.req"}, 0},
        // Already taken by a link worker: nothing left to sync.
        {store::SyncMethod::FilesAndDirs, {dir + "gone.req"}, 0},
        {store::SyncMethod::FileSystem, {dir + "gone.req"}, 0},
        // A directory that does not exist cannot hold a durable file.
        {store::SyncMethod::FileSystem, {tmpl + "/nodir/x.req"}, ENOENT},
        {store::SyncMethod::FilesAndDirs, {tmpl + "/nodir/x.req"}, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.paths.front());
        EXPECT_EQ(store::sync_paths(c.method, c.paths), c.want);
    }
    fs::remove_all(tmpl);
}

class DurableQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-durableq-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        frame::mutable_settings() = frame::GlobalSettings{};
        store::set_durable_sync_for_tests(log_.fn());
    }
    void TearDown() override {
        store::set_durable_sync_for_tests(nullptr);
        frame::mutable_settings() = frame::GlobalSettings{};
        std::error_code ec;
        fs::remove_all(home_, ec);
    }
    std::string home_;
    SyncLog log_;
};

TEST_F(DurableQueueTest, SettingsDefaultOffAndBounded) {
    struct Case {
        const char* ini;
        bool on;
        uint32_t ms;
    };
    for (const Case c : {Case{"", false, 5}, Case{"DurableQueue=Yes\r\n", true, 5},
                         Case{"DurableQueue=1\r\nDurableQueueCommitMs=0\r\n", true, 0},
                         Case{"DurableQueue=No\r\nDurableQueueCommitMs=99999\r\n", false, 1000}}) {
        SCOPED_TRACE(c.ini);
        spit(home_ + "SMSGW.INI", std::string("[SMSGW]\r\n") + c.ini);
        support::ini_drop_cache_for_tests();
        const frame::GlobalSettings s = frame::read_global_settings();
        EXPECT_EQ(s.durable_queue, c.on);
        EXPECT_EQ(s.durable_queue_commit_ms, c.ms);
    }
}

TEST_F(DurableQueueTest, FrontEndCommitSyncsOnlyInDurableModeAndRemovesOnFailure) {
    const std::string q = home_ + "Q/";
    // Off (the default): no sync at all, the files are accepted as written.
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) paths.push_back(*store::create_request_file(q, "req", "[SMS]\r\n"));
    EXPECT_TRUE(store::commit_request_files(paths));
    EXPECT_TRUE(store::create_request_file_durable(q, "req", "[SMS]\r\n").has_value());
    EXPECT_EQ(store::wait_durable(paths), 0);
    EXPECT_TRUE(log_.batches.empty());

    // On: one wait covers the whole submission.
    frame::mutable_settings().durable_queue = true;
    frame::mutable_settings().durable_queue_commit_ms = 0;
    EXPECT_TRUE(store::commit_request_files(paths));
    ASSERT_EQ(log_.batches.size(), 1u);
    EXPECT_EQ(log_.batches[0], paths);
    std::optional<std::string> one = store::create_request_file_durable(q, "req", "[SMS]\r\n");
    ASSERT_TRUE(one);
    EXPECT_EQ(log_.batches.back(), std::vector<std::string>{*one});

    // A failed sync is an error for the caller, and nothing of it stays queued.
    log_.result = EIO;
    EXPECT_FALSE(store::commit_request_files(paths));
    for (const std::string& p : paths) EXPECT_FALSE(fs::exists(p)) << p;
    const size_t before = log_.batches.size();
    EXPECT_FALSE(store::create_request_file_durable(q, "req", "[SMS]\r\nData=x\r\n"));
    ASSERT_EQ(log_.batches.size(), before + 1);
    EXPECT_FALSE(fs::exists(log_.batches.back().front()));
    EXPECT_TRUE(fs::exists(*one));  // an earlier, durable file is untouched
}

}  // namespace
