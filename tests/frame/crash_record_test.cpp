// The crash record: exact bytes, and the whole path from a fault in a
// registered thread to EXCEPT.LOG and exit status 177 (in a death test).
#include "frame/crash_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame_fixture.h"

namespace {

using frame_test::FrameTest;
using frame_test::slurp;

TEST_F(FrameTest, CrashRecordBytes) {
    std::string path = home_ + "rec.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    // 2014-07-22 14:03:07 UTC shown two hours east.
    frame::write_crash_record(fd, 12, "ThreadProcessBulkQ", 1406037787, 7200);
    frame::write_crash_record(fd, 0, "", 1420070399, 0);         // 2014-12-31 23:59:59
    frame::write_crash_record(fd, 3, "Leap", 951782400, -3600);  // 2000-02-29 00:00 UTC
    ::close(fd);
    EXPECT_EQ(slurp(path),
              "Exception occurred in thread #12\r\nThread Description:  ThreadProcessBulkQ\r\n"
              "July 22, 2014 @ 16:03\r\n-------\r\n"
              "Exception occurred in thread #0\r\nThread Description:  \r\n"
              "December 31, 2014 @ 23:59\r\n-------\r\n"
              "Exception occurred in thread #3\r\nThread Description:  Leap\r\n"
              "February 28, 2000 @ 23:00\r\n-------\r\n");
}

TEST_F(FrameTest, FaultInARegisteredThreadEndsTheProcessWith177) {
    std::string private_dir = home_ + "PRIVATE/";
    std::filesystem::create_directories(private_dir);
    EXPECT_EXIT(
        {
            frame::install_crash_handlers(private_dir);
            frame::start_thread("ThreadThatFaults", [] { ::raise(SIGSEGV); });
            for (;;) ::pause();
        },
        ::testing::ExitedWithCode(frame::kCrashExitStatus), "");
    std::string rec = slurp(private_dir + "EXCEPT.LOG");
    EXPECT_EQ(rec.find("Exception occurred in thread #"), 0u) << rec;
    EXPECT_NE(rec.find("\r\nThread Description:  ThreadThatFaults\r\n"), std::string::npos) << rec;
    EXPECT_EQ(rec.size() - rec.rfind("-------\r\n"), 9u);
}

TEST_F(FrameTest, TerminateAlsoWritesTheRecord) {
    std::string private_dir = home_ + "PRIVATE/";
    std::filesystem::create_directories(private_dir);
    EXPECT_EXIT(
        {
            frame::install_crash_handlers(private_dir);
            frame::start_thread("ThreadThatThrows", [] { throw 42; });
            for (;;) ::pause();
        },
        ::testing::ExitedWithCode(frame::kCrashExitStatus), "");
    EXPECT_NE(slurp(private_dir + "EXCEPT.LOG").find("Thread Description:  ThreadThatThrows\r\n"),
              std::string::npos);
}

TEST_F(FrameTest, SecondFaultWritesNothingMore) {
    std::string private_dir = home_ + "PRIVATE/";
    std::filesystem::create_directories(private_dir);
    EXPECT_EXIT(
        {
            frame::install_crash_handlers(private_dir);
            for (int i = 0; i < 4; ++i)
                frame::start_thread("ThreadThatFaults", [] { ::raise(SIGBUS); });
            for (;;) ::pause();
        },
        ::testing::ExitedWithCode(frame::kCrashExitStatus), "");
    std::string rec = slurp(private_dir + "EXCEPT.LOG");
    size_t n = 0;
    for (size_t p = rec.find("Exception occurred"); p != std::string::npos;
         p = rec.find("Exception occurred", p + 1))
        ++n;
    EXPECT_EQ(n, 1u) << rec;
}

}  // namespace
