// Monotonic millisecond clock and the replaceable wall clock behind now().
#include "platform/clock.h"

#include <sched.h>

#include <atomic>
#include <cerrno>

namespace platform {

namespace {

time_t real_wall_clock(int* millis) {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    if (millis) *millis = int(ts.tv_nsec / 1000000);
    return ts.tv_sec;
}

std::atomic<WallClockFn> g_wall_clock{&real_wall_clock};

time_t wall_now(int* millis) {
    int ms = 0;
    time_t t = g_wall_clock.load(std::memory_order_acquire)(&ms);
    if (ms < 0 || ms > 999) ms = 0;
    if (millis) *millis = ms;
    return t;
}

}  // namespace

uint64_t monotonic_ms() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

uint64_t monotonic_us() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

time_t now() {
    return wall_now(nullptr);
}

LocalTime to_local(time_t t) {
    struct tm tm {};
    LocalTime lt;
    if (!::localtime_r(&t, &tm)) return lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.weekday = tm.tm_wday;
    lt.yday = tm.tm_yday;
    lt.utc_offset_s = tm.tm_gmtoff;
    return lt;
}

LocalTime local_now() {
    int ms = 0;
    time_t t = wall_now(&ms);
    LocalTime lt = to_local(t);
    lt.millisecond = ms;
    return lt;
}

void set_wall_clock(WallClockFn fn) {
    g_wall_clock.store(fn ? fn : &real_wall_clock, std::memory_order_release);
}

void sleep_ms(unsigned ms) {
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    struct timespec req {};
    req.tv_sec = time_t(ms / 1000);
    req.tv_nsec = long(ms % 1000) * 1000000L;
    struct timespec rem {};
    while (::nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace platform
