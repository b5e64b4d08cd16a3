// Tests of the clocks: the replaceable wall clock behind now() and
// local_now(), local-time conversion and the monotonic timer.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace platform;

namespace {

time_t fake_clock(int* millis) {
    if (millis) *millis = 123;
    return 1406030400;  // 2014-07-22 12:00:00 UTC
}

time_t bad_millis_clock(int* millis) {
    if (millis) *millis = 5000;
    return 1406030400;
}

// Sets TZ for the scope of a test and restores it afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(Clock, FakeWallClockDrivesNowAndLocalNow) {
    ScopedTz tz("UTC0");
    set_wall_clock(&fake_clock);
    EXPECT_EQ(now(), 1406030400);
    LocalTime lt = local_now();
    EXPECT_EQ(lt.year, 2014);
    EXPECT_EQ(lt.month, 7);
    EXPECT_EQ(lt.day, 22);
    EXPECT_EQ(lt.hour, 12);
    EXPECT_EQ(lt.minute, 0);
    EXPECT_EQ(lt.second, 0);
    EXPECT_EQ(lt.millisecond, 123);
    EXPECT_EQ(lt.weekday, 2);  // Tuesday
    EXPECT_EQ(lt.yday, 202);
    EXPECT_EQ(lt.utc_offset_s, 0);

    set_wall_clock(&bad_millis_clock);
    EXPECT_EQ(local_now().millisecond, 0) << "out-of-range milliseconds are not passed on";

    set_wall_clock(nullptr);
    time_t real = ::time(nullptr);
    EXPECT_LE(std::labs(long(now() - real)), 2L);
}

TEST(Clock, ToLocalUsesTheZoneOffset) {
    struct Case {
        const char* tz;
        time_t t;
        int year, month, day, hour, minute;
        long offset;
    } cases[] = {
        {"UTC0", 0, 1970, 1, 1, 0, 0, 0},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1406030400, 2014, 7, 22, 14, 0, 7200},  // summer
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1388534400, 2014, 1, 1, 1, 0, 3600},    // winter
        {"<-0330>3:30", 1406030400, 2014, 7, 22, 8, 30, -12600},
        {"UTC0", 951782400, 2000, 2, 29, 0, 0, 0},  // leap day
    };
    for (const auto& c : cases) {
        ScopedTz tz(c.tz);
        LocalTime lt = to_local(c.t);
        EXPECT_EQ(lt.year, c.year) << c.tz;
        EXPECT_EQ(lt.month, c.month) << c.tz;
        EXPECT_EQ(lt.day, c.day) << c.tz;
        EXPECT_EQ(lt.hour, c.hour) << c.tz;
        EXPECT_EQ(lt.minute, c.minute) << c.tz;
        EXPECT_EQ(lt.utc_offset_s, c.offset) << c.tz;
        EXPECT_EQ(lt.millisecond, 0);
    }
}

TEST(Clock, MonotonicAdvancesAcrossSleeps) {
    uint64_t a = monotonic_ms();
    sleep_ms(0);
    sleep_ms(20);
    uint64_t b = monotonic_ms();
    EXPECT_GE(b - a, 20u);
    EXPECT_GE(monotonic_ms(), b);
}
