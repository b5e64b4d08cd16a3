// The queue cache: listing a queue tree, empty user queue removal, readers
// during rescans, and the thread's start and end.
#include "links/core/queue_cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "frame/global_state.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

namespace fs = std::filesystem;

class QueueCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "smsgw-qcache-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        root_ = home_ + "Q/";
        fs::create_directories(root_);
        frame::mutable_settings() = frame::GlobalSettings{};
        links::queue_cache_clear();
    }
    void TearDown() override {
        links::queue_cache_clear();
        frame::mutable_settings() = frame::GlobalSettings{};
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    void file(const std::string& rel) {
        fs::create_directories(fs::path(root_ + rel).parent_path());
        std::ofstream(root_ + rel) << "[SMS]\r\nPhoneNumber=+1\r\n";
    }
    // A directory nobody has touched for a minute.
    void old_dir(const std::string& rel) {
        fs::create_directories(root_ + rel);
        ASSERT_TRUE(platform::set_file_mtime(root_ + rel, ::time(nullptr) - 60));
    }
    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    std::string home_;
    std::string root_;
};

using Names = std::vector<std::string>;

TEST_F(QueueCacheTest, ListsQueueTree) {
    file("A.REQ");
    file("b.req");
    file("note.TMP");
    file("####0001/C.REQ");
    file("####0001/D.REQ");
    file("####0001/E.LCK");
    file("RT_-_R1_-_/F.REQ");
    file("DELAYQ/20261231/2359/G.REQ");  // not due: only the top level is listed
    file("NOREQ/x.LCK");
    old_dir("NOREQ");
    old_dir("EMPTYOLD");
    fs::create_directories(root_ + "EMPTYNEW");
    fs::create_directories(root_ + ".hidden");

    EXPECT_FALSE(links::queue_cache_ready());
    links::queue_cache_scan(root_);
    EXPECT_TRUE(links::queue_cache_ready());
    EXPECT_TRUE(frame::qcache_ready());

    Names dirs = links::queue_cache_directories();
    ASSERT_FALSE(dirs.empty());
    EXPECT_EQ(dirs.front(), ".");  // the root comes first
    EXPECT_EQ(sorted(dirs), sorted(Names{".", "####0001", "RT_-_R1_-_"}));

    struct Case {
        const char* dir;
        Names files;
    };
    const Case cases[] = {
        {".", {"A.REQ", "b.req"}},
        {"####0001", {"C.REQ", "D.REQ"}},
        {"RT_-_R1_-_", {"F.REQ"}},
        {"DELAYQ", {}},
        {"NOREQ", {}},
        {"missing", {}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sorted(links::queue_cache_files(c.dir)), c.files) << c.dir;

    // Only a directory that is empty and idle is removed.
    EXPECT_FALSE(fs::exists(root_ + "EMPTYOLD"));
    EXPECT_TRUE(fs::exists(root_ + "EMPTYNEW"));
    EXPECT_TRUE(fs::exists(root_ + "NOREQ/x.LCK"));
    EXPECT_TRUE(fs::exists(root_ + "DELAYQ/20261231/2359/G.REQ"));
    EXPECT_TRUE(fs::exists(root_ + "####0001/E.LCK"));
}

// A symbolic link in the queue is neither a queue directory nor a message.
TEST_F(QueueCacheTest, SymbolicLinksAreNotServed) {
    file("a.req");
    file("sub/b.req");
    fs::create_directories(home_ + "elsewhere");
    std::ofstream(home_ + "elsewhere/x.req") << "[SMS]\r\n";
    fs::create_directory_symlink(home_ + "elsewhere", root_ + "linkdir");
    fs::create_symlink(home_ + "elsewhere/x.req", root_ + "l.req");
    fs::create_symlink(home_ + "elsewhere/x.req", root_ + "sub/l.req");
    links::queue_cache_scan(root_);
    EXPECT_EQ(sorted(links::queue_cache_directories()), (std::vector<std::string>{".", "sub"}));
    EXPECT_EQ(links::queue_cache_files("."), std::vector<std::string>{"a.req"});
    EXPECT_EQ(links::queue_cache_files("sub"), std::vector<std::string>{"b.req"});
    EXPECT_TRUE(links::queue_cache_files("linkdir").empty());
}

TEST_F(QueueCacheTest, RescanReplacesLists) {
    file("A.REQ");
    file("S1/B.REQ");
    links::queue_cache_scan(root_);
    EXPECT_EQ(sorted(links::queue_cache_directories()), (Names{".", "S1"}));

    fs::remove(root_ + "A.REQ");
    fs::remove(root_ + "S1/B.REQ");
    ASSERT_TRUE(platform::set_file_mtime(root_ + "S1", ::time(nullptr) - 60));
    file("S2/C.REQ");
    file("S2/D.REQ");
    links::queue_cache_scan(root_);
    EXPECT_EQ(links::queue_cache_directories(), (Names{"S2"}));
    EXPECT_EQ(sorted(links::queue_cache_files("S2")), (Names{"C.REQ", "D.REQ"}));
    EXPECT_TRUE(links::queue_cache_files(".").empty());
    EXPECT_TRUE(links::queue_cache_files("S1").empty());
    EXPECT_FALSE(fs::exists(root_ + "S1"));  // emptied user queue removed

    links::queue_cache_clear();
    EXPECT_FALSE(links::queue_cache_ready());
    EXPECT_TRUE(links::queue_cache_directories().empty());
    EXPECT_TRUE(links::queue_cache_files("S2").empty());
}

TEST_F(QueueCacheTest, MissingOrEmptyRootGivesEmptyLists) {
    for (const std::string& r : {root_ + "nope/", std::string(), root_}) {
        links::queue_cache_clear();
        links::queue_cache_scan(r);
        EXPECT_TRUE(links::queue_cache_ready()) << r;
        EXPECT_TRUE(links::queue_cache_directories().empty()) << r;
    }
    // Without the trailing slash the root is found all the same.
    file("A.REQ");
    links::queue_cache_scan(home_ + "Q");
    EXPECT_EQ(links::queue_cache_files("."), (Names{"A.REQ"}));
}

TEST_F(QueueCacheTest, RemoveEmptyUserQueueRules) {
    file("WITHFILE/A.REQ");
    ASSERT_TRUE(platform::set_file_mtime(root_ + "WITHFILE", ::time(nullptr) - 60));
    old_dir("DEEP/LEVEL");
    ASSERT_TRUE(platform::set_file_mtime(root_ + "DEEP", ::time(nullptr) - 60));
    old_dir("OLD1");
    old_dir("OLD2");
    fs::create_directories(root_ + "FRESH");
    fs::create_directories(root_ + "FUTURE");
    ASSERT_TRUE(platform::set_file_mtime(root_ + "FUTURE", ::time(nullptr) + 3600));
    file("PLAIN.REQ");

    struct Case {
        std::string path;
        bool removed;
    };
    const Case cases[] = {
        {root_ + "OLD1", true},       {root_ + "OLD2/", true},     {root_ + "FRESH", false},
        {root_ + "FUTURE", false},    {root_ + "WITHFILE", false}, {root_ + "DEEP", false},
        {root_ + "PLAIN.REQ", false}, {root_ + "missing", false},  {"", false},
    };
    for (const Case& c : cases) {
        const bool existed = !c.path.empty() && fs::exists(c.path);
        EXPECT_EQ(links::remove_empty_user_queue(c.path), c.removed) << c.path;
        EXPECT_EQ(!c.path.empty() && fs::exists(c.path), existed && !c.removed) << c.path;
    }
}

TEST_F(QueueCacheTest, ManyFilesKeepTheirDirectory) {
    const int kDirs = 5, kFiles = 150;
    for (int d = 0; d < kDirs; ++d)
        for (int f = 0; f < kFiles; ++f)
            file("D" + std::to_string(d) + "/F" + std::to_string(d) + "_" + std::to_string(f) +
                 ".REQ");
    links::queue_cache_scan(root_);
    ASSERT_EQ(links::queue_cache_directories().size(), size_t(kDirs));
    for (int d = 0; d < kDirs; ++d) {
        Names files = links::queue_cache_files("D" + std::to_string(d));
        ASSERT_EQ(files.size(), size_t(kFiles)) << d;
        const std::string prefix = "F" + std::to_string(d) + "_";
        for (const std::string& f : files) EXPECT_EQ(f.rfind(prefix, 0), 0u) << f;
    }
}

// Readers take copies while scans swap the lists underneath (run it under
// the sanitizers to see a missing lock).
TEST_F(QueueCacheTest, ReadersDuringRescans) {
    for (int d = 0; d < 4; ++d)
        for (int f = 0; f < 20; ++f)
            file("S" + std::to_string(d) + "/X" + std::to_string(f) + ".REQ");
    links::queue_cache_scan(root_);
    std::atomic<bool> run{true};
    std::atomic<long> seen{0};
    std::thread reader([&] {
        while (run.load()) {
            for (const std::string& d : links::queue_cache_directories()) {
                for (const std::string& f : links::queue_cache_files(d)) {
                    EXPECT_EQ(f.front(), 'X');
                    ++seen;
                }
            }
        }
    });
    // At least 30 rescans, and on until the reader has had a turn (a loaded
    // machine may not schedule it before the first 30 are done), at most 10 s.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 30 || (seen.load() == 0 && std::chrono::steady_clock::now() < until);
         ++i) {
        // Files come and go between scans.
        if (i % 2)
            file("S9/X" + std::to_string(i) + ".REQ");
        else
            fs::remove(root_ + "S9/X" + std::to_string(i - 1) + ".REQ");
        links::queue_cache_scan(root_);
    }
    run = false;
    reader.join();
    EXPECT_GT(seen.load(), 0);
}

TEST_F(QueueCacheTest, ThreadStartsOnlyWithUseQCache) {
    frame::mutable_settings().use_q_cache = false;
    const unsigned before = frame::running_thread_count();
    EXPECT_TRUE(links::start_queue_cache_thread());
    EXPECT_EQ(frame::running_thread_count(), before);
    EXPECT_FALSE(links::queue_cache_ready());
}

// The thread lists the queue until shutdown. Shutdown cannot be undone in a
// process, so this runs in a child.
TEST_F(QueueCacheTest, ThreadScansUntilShutdown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    file("A.REQ");
    file("S1/B.REQ");
    EXPECT_EXIT(
        {
            ::alarm(30);  // fail rather than hang
            frame::mutable_settings().use_q_cache = true;
            frame::mutable_settings().q_dir = root_;
            if (!links::start_queue_cache_thread()) std::_Exit(2);
            for (int i = 0; i < 1000 && !frame::qcache_ready(); ++i) platform::sleep_ms(10);
            if (!frame::qcache_ready()) std::_Exit(3);
            if (sorted(links::queue_cache_directories()) != Names{".", "S1"}) std::_Exit(4);
            // A file queued later shows up in a following round.
            file("S2/C.REQ");
            bool found = false;
            for (int i = 0; i < 1000 && !found; ++i) {
                found = links::queue_cache_files("S2") == Names{"C.REQ"};
                if (!found) platform::sleep_ms(10);
            }
            if (!found) std::_Exit(5);
            frame::request_shutdown();
            frame::wait_for_threads(10);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
