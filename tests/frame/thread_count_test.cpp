// Threads started with start_thread are counted out only after everything
// their body captured is gone, so a caller that waits for the count to reach
// zero may tear down what those destructors use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "frame/global_state.h"

namespace {

// Sets its flag from its destructor, a little late, as a link object that
// closes a socket and writes a trace line on the way out would.
struct SlowRelease {
    explicit SlowRelease(std::atomic<bool>* r) : released(r) {}
    std::atomic<bool>* released;
    ~SlowRelease() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released->store(true);
    }
};

TEST(ThreadCount, CapturedStateIsReleasedBeforeTheThreadIsCountedOut) {
    ASSERT_EQ(frame::running_thread_count(), 0u);
    std::atomic<bool> released[3] = {};
    for (auto& r : released) {
        // Only the thread holds it, so its last release is the thread's.
        ASSERT_TRUE(frame::start_thread(
            "SlowRelease", [held = std::make_shared<SlowRelease>(&r)] { (void)held; }));
    }
    frame::wait_for_threads(5);
    EXPECT_EQ(frame::running_thread_count(), 0u);
    for (auto& r : released) EXPECT_TRUE(r.load());
}

}  // namespace
