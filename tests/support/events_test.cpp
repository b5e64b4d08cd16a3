// Named auto-reset events: wake-up, time-out, auto-reset and lifetime.
#include "support/events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(EventsTest, SetByNameWakesAWaiter) {
    auto ev = support::CreateEventForInterface("SMSOut", "SMPP - wake");
    ASSERT_TRUE(ev);
    std::atomic<int> woke{-1};
    auto start = Clock::now();
    std::thread waiter([&] { woke = support::WaitForInterfaceEvent(ev, 10000) ? 1 : 0; });
    // The set may come before or after the waiter blocks; either way it wakes.
    EXPECT_TRUE(support::SetEventForInterface("SMSOut", "SMPP - wake"));
    waiter.join();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_LT(ms_since(start), 5000);
}

TEST(EventsTest, WaitTimesOutWithoutASet) {
    auto ev = support::CreateEventForInterface("SMSOut", "SMPP - idle");
    auto start = Clock::now();
    EXPECT_FALSE(support::WaitForInterfaceEvent(ev, 60));
    EXPECT_GE(ms_since(start), 55);
    EXPECT_FALSE(support::WaitForInterfaceEvent(ev, 0));
    EXPECT_FALSE(support::WaitForInterfaceEvent(nullptr, 10));
}

TEST(EventsTest, AutoResetReleasesOneWaiterPerSet) {
    auto ev = support::CreateEventForInterface("SmppSubmitAsync", "acct");
    // Two sets before any wait collapse into one signal.
    support::SetInterfaceEvent(ev);
    support::SetInterfaceEvent(ev);
    EXPECT_TRUE(support::WaitForInterfaceEvent(ev, 0));
    EXPECT_FALSE(support::WaitForInterfaceEvent(ev, 20));

    // One set with two waiters: exactly one wakes.
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            if (support::WaitForInterfaceEvent(ev, 300)) woke.fetch_add(1);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    support::SetInterfaceEvent(ev);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woke.load(), 1);
}

TEST(EventsTest, RegistryKeysAndLifetime) {
    EXPECT_EQ(support::OpenEventForInterface("SMSOut", "nobody"), nullptr);
    // A set with no creator does nothing, and is not remembered.
    EXPECT_FALSE(support::SetEventForInterface("SMSOut", "nobody"));
    auto late = support::CreateEventForInterface("SMSOut", "nobody");
    EXPECT_FALSE(support::WaitForInterfaceEvent(late, 20));

    auto a = support::CreateEventForInterface("SMSOut", "L1");
    EXPECT_EQ(support::CreateEventForInterface("SMSOut", "L1"), a);
    EXPECT_EQ(support::OpenEventForInterface("SMSOut", "L1"), a);
    // Kind and name are both part of the key, exactly as spelt.
    auto b = support::CreateEventForInterface("SmppReceiveAsync", "L1");
    EXPECT_NE(a, b);
    EXPECT_EQ(support::OpenEventForInterface("SMSOut", "l1"), nullptr);
    EXPECT_EQ(support::OpenEventForInterface("SMSOutL", "1"), nullptr);
    support::SetEventForInterface("SmppReceiveAsync", "L1");
    EXPECT_FALSE(support::WaitForInterfaceEvent(a, 0));
    EXPECT_TRUE(support::WaitForInterfaceEvent(b, 0));

    // The event ends with its last handle.
    std::weak_ptr<support::InterfaceEvent> weak = a;
    a.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(support::OpenEventForInterface("SMSOut", "L1"), nullptr);
    EXPECT_FALSE(support::SetEventForInterface("SMSOut", "L1"));
    EXPECT_EQ(support::CreateEventForInterface("", ""), nullptr);
}

}  // namespace
