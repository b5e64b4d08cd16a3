// A thread from start_thread is counted out only after what its body
// captured is destroyed, so a caller that waits for the count may tear down
// what those destructors use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "frame/global_state.h"

namespace {

struct SlowRelease {
    explicit SlowRelease(std::atomic<bool>* r) : released(r) {}
    ~SlowRelease() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released->store(true);
    }
    std::atomic<bool>* released;
};

TEST(ThreadCount, CapturedStateIsReleasedBeforeTheThreadIsCountedOut) {
    std::atomic<bool> released{false};
    // Only the thread holds it, so its last release is the thread's.
    ASSERT_TRUE(frame::start_thread(
        "SlowRelease", [held = std::make_shared<SlowRelease>(&released)] { (void)held; }));
    frame::wait_for_threads(5);
    EXPECT_TRUE(released.load());
}

}  // namespace
