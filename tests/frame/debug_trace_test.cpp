// Debug trace lines and rollover, the thread table, the retrying I/O
// wrappers and the counted allocator.
#include "frame/debug_trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "frame_fixture.h"
#include "platform/trace_sink.h"

namespace {

using frame_test::FrameTest;
using frame_test::slurp;
using frame_test::spit;

class TraceTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        frame::mutable_settings().debug = true;
        log_ = home_ + "LOGS/SMSDEBUG.LOG";
        bak_ = home_ + "LOGS/SMSDEBUG.BAK";
    }
    std::string log_, bak_;
};

TEST_F(TraceTest, LineFormat) {
    frame::debug_trace("ThreadProcessBulkQ", "Waiting on q directory");
    frame::debug_tracef("Fmt", "%u-%s", 7u, "x");
    std::string text = slurp(log_);
    std::regex re(
        "\\d\\d:[0-5]\\d:[0-5]\\d:\\d{3} \\[0\\] ThreadProcessBulkQ:  Waiting on q directory\r\n"
        "\\d\\d:[0-5]\\d:[0-5]\\d:\\d{3} \\[0\\] Fmt:  7-x\r\n");
    EXPECT_TRUE(std::regex_match(text, re)) << text;
}

TEST_F(TraceTest, ThreadNumberAppearsInTheLine) {
    std::thread t([] {
        frame::AssignThreadNumber("ThreadUnderTest");
        frame::debug_trace("Worker", "numbered");
        frame::ReleaseThreadNumber();
        frame::debug_trace("Worker", "released");
    });
    t.join();
    std::string text = slurp(log_);
    EXPECT_NE(text.find(" [1] Worker:  numbered\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" [0] Worker:  released\r\n"), std::string::npos) << text;
}

TEST_F(TraceTest, DebugOffCreatesNoFile) {
    frame::mutable_settings().debug = false;
    frame::debug_trace("X", "nothing");
    EXPECT_FALSE(std::filesystem::exists(log_));
    EXPECT_FALSE(frame::debug_on());
}

TEST_F(TraceTest, FirstLineMovesTheOldLogToBackupReplacingTheOlderOne) {
    spit(log_, "old log\r\n");
    spit(bak_, "older backup\r\n");
    frame::debug_trace("A", "first");
    EXPECT_EQ(slurp(bak_), "old log\r\n");
    std::string text = slurp(log_);
    EXPECT_EQ(text.find("old"), std::string::npos);
    EXPECT_NE(text.find("A:  first\r\n"), std::string::npos);
    // Later lines of the same day append.
    frame::debug_trace("A", "second");
    EXPECT_EQ(slurp(bak_), "old log\r\n");
    EXPECT_NE(slurp(log_).find("A:  second\r\n"), std::string::npos);
}

TEST_F(TraceTest, SizeLimitRollsOverOnTheLineAfterTheFilePassesIt) {
    frame::mutable_settings().debug_max_size_mb = 1;
    frame::debug_trace("A", "start");
    {
        std::string filler(1048576 - 200, 'x');
        std::ofstream(log_, std::ios::app | std::ios::binary) << filler;
    }
    frame::debug_trace("A", "still below");  // not larger than the limit yet
    EXPECT_FALSE(std::filesystem::exists(bak_));
    std::string big(300, 'y');
    frame::debug_trace("A", big);  // this line takes the file past the limit
    EXPECT_FALSE(std::filesystem::exists(bak_));
    frame::debug_trace("A", "fresh");
    ASSERT_TRUE(std::filesystem::exists(bak_));
    EXPECT_GT(std::filesystem::file_size(bak_), 1048576u);
    std::string text = slurp(log_);
    EXPECT_NE(text.find("A:  fresh\r\n"), std::string::npos);
    EXPECT_LT(text.size(), 100u);
}

TEST_F(TraceTest, NoSizeLimitWhenZero) {
    frame::mutable_settings().debug_max_size_mb = 0;
    frame::debug_trace("A", "start");
    std::ofstream(log_, std::ios::app | std::ios::binary) << std::string(1048576 + 10, 'x');
    frame::debug_trace("A", "next");
    EXPECT_FALSE(std::filesystem::exists(bak_));
}

TEST_F(TraceTest, UnwritableDirectoryIsSilentlySkipped) {
    std::filesystem::remove_all(home_ + "LOGS");
    spit(home_ + "LOGS", "a file");
    frame::debug_trace("A", "lost");
    frame::debug_trace("A", "lost too");
    EXPECT_EQ(slurp(home_ + "LOGS"), "a file");
}

TEST_F(TraceTest, ConsoleEchoGoesToStandardError) {
    frame::mutable_settings().debug_console = true;
    testing::internal::CaptureStderr();
    frame::debug_trace("Name", "text");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Name: text\n");
}

TEST_F(TraceTest, LowerLayersTraceThroughTheInstalledSink) {
    frame::install_debug_trace();
    platform::trace("Lower", "via sink");
    platform::set_trace_sink(nullptr);
    EXPECT_NE(slurp(log_).find("Lower:  via sink\r\n"), std::string::npos);
}

TEST_F(TraceTest, ConcurrentLinesNeverInterleave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                frame::debug_tracef("T", "%d:%d:%s", t, i, std::string(50, char('a' + t)).c_str());
        });
    for (auto& th : threads) th.join();
    std::string text = slurp(log_);
    std::regex re("\\d\\d:\\d\\d:\\d\\d:\\d{3} \\[0\\] T:  (\\d):\\d+:([a-d]{50})");
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::smatch m;
        std::string line = text.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(line, m, re)) << line;
        EXPECT_EQ(m[2].str(), std::string(50, char('a' + std::stoi(m[1]))));
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 800u);
}

TEST(ThreadTable, AssignReleaseAndExhaustion) {
    frame::clear_thread_table();
    EXPECT_EQ(frame::thread_number(), 0u);
    EXPECT_EQ(frame::ReleaseThreadNumber(), 0u);
    unsigned n = frame::AssignThreadNumber(std::string(150, 'd'));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(frame::thread_number(), 1u);
    EXPECT_EQ(frame::thread_description(1), std::string(100, 'd'));
    char desc[16];
    EXPECT_EQ(frame::thread_entry_for_crash(::gettid(), desc, sizeof(desc)), 1u);
    EXPECT_STREQ(desc, std::string(15, 'd').c_str());
    EXPECT_EQ(frame::ReleaseThreadNumber(), 1u);
    EXPECT_EQ(frame::thread_number(), 0u);
    EXPECT_EQ(frame::thread_description(1), "");

    // Fill every entry from other threads that stay registered.
    std::vector<std::thread> holders;
    std::atomic<bool> release{false};
    std::atomic<unsigned> registered{0};
    for (unsigned i = 0; i < 8; ++i) {
        holders.emplace_back([&] {
            EXPECT_NE(frame::AssignThreadNumber("holder"), 0u);
            ++registered;
            while (!release) std::this_thread::yield();
            frame::ReleaseThreadNumber();
        });
    }
    while (registered < 8) std::this_thread::yield();
    // The rest of the table is taken by this thread's repeated assignments.
    unsigned got = 0, count = 0;
    while ((got = frame::AssignThreadNumber("filler")) != 0) ++count;
    EXPECT_EQ(count, frame::kThreadTableSize - 8);
    release = true;
    for (auto& h : holders) h.join();
    frame::clear_thread_table();
    EXPECT_EQ(frame::AssignThreadNumber("again"), 1u);
    frame::clear_thread_table();
}

// Scripted raw I/O: fails with the listed errno values first, then succeeds.
std::vector<int> g_script;
size_t g_calls = 0;
std::vector<unsigned> g_waits;
long scripted_io(int, void*, size_t len, bool) {
    size_t i = g_calls++;
    if (i < g_script.size()) {
        errno = g_script[i];
        return -1;
    }
    return long(len);
}
void record_wait(unsigned ms) {
    g_waits.push_back(ms);
}

class RetryTest : public TraceTest {
  protected:
    void SetUp() override {
        TraceTest::SetUp();
        g_script.clear();
        g_calls = 0;
        g_waits.clear();
        frame::set_raw_io_for_tests(&scripted_io);
        frame::set_retry_wait_for_tests(&record_wait);
    }
    void TearDown() override {
        frame::set_raw_io_for_tests(nullptr);
        frame::set_retry_wait_for_tests(nullptr);
        TraceTest::TearDown();
    }
};

TEST_F(RetryTest, TransientFailuresAreRetriedWithGrowingWaits) {
    struct Case {
        std::vector<int> errors;
        bool write;
        long result;
        std::vector<unsigned> waits;
        const char* trace;  // nullptr: no trace line
    } cases[] = {
        {{}, true, 10, {}, nullptr},
        {{ENOBUFS},
         true,
         10,
         {100},
         "WriteFileWithRetry:  Debug:  ERROR_NO_SYSTEM_RESOURCES triggered 1 retry attempt\r\n"},
        {{EAGAIN, ENOMEM},
         false,
         10,
         {100, 200},
         "ReadFileWithRetry:  Debug:  ERROR_NO_SYSTEM_RESOURCES triggered 2 retry attempts\r\n"},
        {{EIO}, true, -1, {}, nullptr},
        {{EINTR, EIO},
         false,
         -1,
         {100},
         "ReadFileWithRetry:  Debug:  ERROR_NO_SYSTEM_RESOURCES failed\r\n"},
    };
    for (const Case& c : cases) {
        frame::reset_debug_log_for_tests();
        std::filesystem::remove(log_);
        g_script = c.errors;
        g_calls = 0;
        g_waits.clear();
        char buf[10] = {};
        long r = c.write ? frame::WriteFileWithRetry(99, buf, sizeof(buf))
                         : frame::ReadFileWithRetry(99, buf, sizeof(buf));
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(g_waits, c.waits);
        std::string text = slurp(log_);
        if (c.trace) {
            EXPECT_NE(text.find(c.trace), std::string::npos) << text;
        } else {
            EXPECT_EQ(text.find("ERROR_NO_SYSTEM_RESOURCES"), std::string::npos) << text;
        }
    }
}

TEST_F(RetryTest, GivesUpAfterTwentyAttemptsTakingTheLastWait) {
    g_script.assign(25, EAGAIN);
    char buf[4];
    EXPECT_EQ(frame::WriteFileWithRetry(99, buf, sizeof(buf)), -1);
    EXPECT_EQ(g_calls, 20u);
    ASSERT_EQ(g_waits.size(), 20u);
    EXPECT_EQ(g_waits.front(), 100u);
    EXPECT_EQ(g_waits.back(), 2000u);
    EXPECT_NE(slurp(log_).find("WriteFileWithRetry:  Debug:  ERROR_NO_SYSTEM_RESOURCES failed\r\n"),
              std::string::npos);
}

TEST_F(FrameTest, WriteTextAndOneLineVariant) {
    std::string path = home_ + "out.txt";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(frame::write_text(fd, "a\r\nb"), 4);
    EXPECT_EQ(frame::write_text_line(fd, "c\rd\ne"), 5);
    EXPECT_EQ(frame::write_text(fd, ""), 0);
    ::close(fd);
    EXPECT_EQ(slurp(path), "a\r\nbc d e");
    EXPECT_EQ(frame::write_text(-1, "x"), 0);
}

TEST_F(FrameTest, CountedAllocator) {
    unsigned before = frame::allocated_block_count();
    auto* p = static_cast<unsigned char*>(frame::GWmalloc(10));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(frame::allocated_block_count(), before + 1);
    for (int i = 0; i < 10 + 64; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 0xAA, 74);
    p = static_cast<unsigned char*>(frame::GWrealloc(p, 1000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 0xAA);
    EXPECT_EQ(p[73], 0xAA);
    for (int i = 74; i < 1000 + 64; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(frame::allocated_block_count(), before + 1);
    EXPECT_TRUE(frame::GWfree(p));
    EXPECT_EQ(frame::allocated_block_count(), before);
    EXPECT_FALSE(frame::GWfree(nullptr));
    EXPECT_EQ(frame::GWmalloc(SIZE_MAX - 10), nullptr);
}

TEST_F(TraceTest, AllocatorTracesBlockCountsWithDebug2) {
    frame::mutable_settings().debug2 = true;
    void* p = frame::GWmalloc(1);
    frame::GWfree(p);
    frame::GWfree(nullptr);
    std::string text = slurp(log_);
    EXPECT_NE(text.find("GWmalloc:  Memory blocks = "), std::string::npos);
    EXPECT_NE(text.find("GWfree:  Memory blocks = "), std::string::npos);
    EXPECT_NE(text.find("GWfree:  Error\r\n"), std::string::npos);
}

}  // namespace
