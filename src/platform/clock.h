// Monotonic millisecond clock and a replaceable local-time source.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Milliseconds from CLOCK_MONOTONIC (the design's millisecond timer).
uint64_t monotonic_ms();
// The same clock in microseconds (short durations: system call costs).
uint64_t monotonic_us();

// Wall clock in seconds since the epoch (time(2), or the test override).
time_t now();

// Broken-down local time of now() with milliseconds.
struct LocalTime {
    int year = 0, month = 0, day = 0;  // month 1..12, day 1..31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int weekday = 0;      // 0 = Sunday
    int yday = 0;         // 0..365
    long utc_offset_s = 0;  // seconds east of UTC (daylight saving included)
};
LocalTime local_now();
LocalTime to_local(time_t t);

// Tests replace the wall clock (nullptr restores the real one). The function
// returns seconds since the epoch and milliseconds within the second.
using WallClockFn = time_t (*)(int* millis);
void set_wall_clock(WallClockFn fn);

// Sleeps; sleep_ms(0) yields.
void sleep_ms(unsigned ms);

}  // namespace platform
