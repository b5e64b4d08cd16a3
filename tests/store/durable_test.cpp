// Tests of the durable queue: the group committer, the sync methods, and
// the commit call the front ends make before answering "accepted".
#include "store/durable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "frame/settings.h"
#include "platform/text.h"
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
    store::DurableSyncFn fn() {
        return [this](const std::vector<std::string>& p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

// Concurrent waiters, each back only once a finished sync held its files;
// a failed sync's error reaches every waiter in it.
TEST(GroupCommitter, ManyWaitersShareFewSyncsAndGetTheirResult) {
    struct Case {
        unsigned window_ms, threads, rounds, files_per_wait;
        int err;
    };
    for (const Case c : {Case{5, 16, 20, 1, 0}, Case{0, 32, 10, 3, 0}, Case{2, 8, 10, 1, EIO},
                         Case{0, 8, 10, 2, ENOSPC}}) {
        SCOPED_TRACE(testing::Message() << c.window_ms << " ms, " << c.threads << " threads");
        SyncLog log;
        log.result = c.err;
        std::multiset<std::string> handed;
        std::atomic<int> early{0}, wrong{0};
        store::GroupCommitter committer(c.window_ms, log.fn());
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < c.threads; ++t)
            threads.emplace_back([&, t] {
                for (unsigned r = 0; r < c.rounds; ++r) {
                    std::vector<std::string> paths;
                    for (unsigned f = 0; f < c.files_per_wait; ++f)
                        paths.push_back(platform::strprintf("/q/%u-%u-%u", t, r, f));
                    if (committer.wait(paths) != c.err) ++wrong;
                    const std::multiset<std::string> done = log.synced();
                    for (const std::string& p : paths) early += done.count(p) != 1;
                }
            });
        for (std::thread& t : threads) t.join();
        for (unsigned t = 0; t < c.threads; ++t)
            for (unsigned r = 0; r < c.rounds * c.files_per_wait; ++r)
                handed.insert(platform::strprintf("/q/%u-%u-%u", t, r / c.files_per_wait,
                                                  r % c.files_per_wait));
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(early.load(), 0);
        EXPECT_EQ(log.synced(), handed);  // every file once, none invented
        EXPECT_EQ(committer.syncs(), log.batches.size());
        EXPECT_LE(log.batches.size() * 3, size_t(c.threads) * c.rounds);
        // A failure does not stick; an empty wait syncs nothing.
        log.result = 0;
        EXPECT_EQ(committer.wait({"/q/later"}), 0);
        EXPECT_EQ(committer.wait({}), 0);
        EXPECT_EQ(log.batches.back(), std::vector<std::string>{"/q/later"});
    }
}

TEST(GroupCommitter, WindowKeepsTheBatchOpenForLaterWriters) {
    SyncLog log;
    store::GroupCommitter committer(0, log.fn());
    EXPECT_EQ(committer.wait({"/q/a"}), 0);
    committer.set_commit_ms(150);
    std::thread first([&] { EXPECT_EQ(committer.wait({"/q/b"}), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(committer.wait({"/q/c"}), 0);  // 10 ms later: same batch
    first.join();
    ASSERT_EQ(log.batches.size(), 2u);
    EXPECT_EQ(std::set<std::string>(log.batches[1].begin(), log.batches[1].end()),
              (std::set<std::string>{"/q/b", "/q/c"}));
}

TEST(SyncPaths, BothMethodsOnRealFiles) {
    std::string tmpl = "/tmp/smsgw-durable-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::string dir = tmpl + "/Q/####0001/";
    spit(dir + "a.req", "[SMS]\r\n");
    spit(dir + "b.req", "[SMS]\r\n");
    for (store::SyncMethod m : {store::SyncMethod::FileSystem, store::SyncMethod::FilesAndDirs}) {
        EXPECT_EQ(store::sync_paths(m, {dir + "a.req", dir + "b.req"}), 0);
        EXPECT_EQ(store::sync_paths(m, {dir + "gone.req"}), 0);  // taken by its consumer
        EXPECT_EQ(store::sync_paths(m, {tmpl + "/nodir/x.req"}), ENOENT);
    }
    fs::remove_all(tmpl);
}

// Settings from the INI file (default off), then the call front ends make.
TEST(DurableQueue, FrontEndCommitSyncsOnlyInDurableModeAndRemovesOnFailure) {
    std::string tmpl = "/tmp/smsgw-durableq-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::string home = tmpl + "/", q = home + "Q/";
    ::setenv("SMSGW_HOME", home.c_str(), 1);
    support::reset_support_for_tests();
    support::SMSIniSetFilename(home + "SMSGW.INI");
    SyncLog log;
    store::set_durable_sync_for_tests(log.fn());
    auto load = [&](const std::string& ini) {
        spit(home + "SMSGW.INI", "[SMSGW]\r\n" + ini);
        support::ini_drop_cache_for_tests();
        frame::load_global_settings();
    };
    load("DurableQueueCommitMs=99999\r\n");
    EXPECT_EQ(frame::settings().durable_queue_commit_ms, 1000u);
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) paths.push_back(*store::create_request_file(q, "req", "[SMS]\r\n"));
    // Off: accepted as written, no sync at all.
    EXPECT_TRUE(store::commit_request_files(paths));
    EXPECT_TRUE(store::create_request_file_durable(q, "req", "[SMS]\r\n"));
    EXPECT_TRUE(log.batches.empty());
    // On: one wait covers the whole submission.
    load("DurableQueue=Yes\r\nDurableQueueCommitMs=0\r\n");
    EXPECT_TRUE(store::commit_request_files(paths));
    ASSERT_EQ(log.batches.size(), 1u);
    EXPECT_EQ(log.batches[0], paths);
    std::optional<std::string> one = store::create_request_file_durable(q, "req", "[SMS]\r\n");
    ASSERT_TRUE(one);
    EXPECT_EQ(log.batches.back(), std::vector<std::string>{*one});
    // A failed sync is an error for the caller, and nothing of it stays queued.
    log.result = EIO;
    EXPECT_FALSE(store::commit_request_files(paths));
    for (const std::string& p : paths) EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_FALSE(store::create_request_file_durable(q, "req", "[SMS]\r\nData=x\r\n"));
    EXPECT_EQ(log.batches.size(), 4u);
    EXPECT_FALSE(fs::exists(log.batches.back().front()));
    EXPECT_TRUE(fs::exists(*one));  // an earlier, durable file is untouched
    store::set_durable_sync_for_tests(nullptr);
    frame::mutable_settings() = frame::GlobalSettings{};
    fs::remove_all(home);
}

}  // namespace
