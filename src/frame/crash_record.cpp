// Fault handlers: the EXCEPT.LOG record and process end with status 177.
// Everything reached from the handler is async-signal-safe: fixed buffers,
// atomics, open/write/close, clock_gettime and _exit.
#include "frame/crash_record.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "frame/debug_trace.h"
#include "frame/settings.h"

namespace frame {

namespace {

constexpr size_t kPathMax = 4096;
char g_except_path[kPathMax] = {};
std::atomic<long> g_utc_offset{0};
std::atomic<int> g_latch{0};
std::atomic<int> g_record_done{0};

const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

// Minimal formatter into a fixed buffer; every step is bounded.
struct Buf {
    char data[1024];
    size_t len = 0;
    void put(const char* s) {
        while (*s && len < sizeof(data)) data[len++] = *s++;
    }
    void put_uint(unsigned long v, int width = 0) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = char('0' + v % 10);
            v /= 10;
        } while (v && n < int(sizeof(tmp)));
        while (n < width && n < int(sizeof(tmp))) tmp[n++] = '0';
        while (n > 0 && len < sizeof(data)) data[len++] = tmp[--n];
    }
};

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= size_t(w);
    }
}

struct Civil {
    int year, month, day, hour, minute, second;
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
Civil civil_from(long epoch_s) {
    long days = epoch_s / 86400;
    long secs = epoch_s % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    long z = days + 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long y = yoe + era * 400;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long mp = (5 * doy + 2) / 153;
    long d = doy - (153 * mp + 2) / 5 + 1;
    long m = mp < 10 ? mp + 3 : mp - 9;
    Civil c;
    c.year = int(y + (m <= 2));
    c.month = int(m);
    c.day = int(d);
    c.hour = int(secs / 3600);
    c.minute = int(secs % 3600 / 60);
    c.second = int(secs % 60);
    return c;
}

void trace_crash_line(unsigned thread_no, unsigned faulting_no, long epoch_s, long ms) {
    int fd = debug_log_fd_for_crash();
    if (fd < 0 || !settings().debug) return;
    Civil c = civil_from(epoch_s + g_utc_offset.load(std::memory_order_relaxed));
    Buf b;
    b.put_uint(unsigned(c.hour), 2);
    b.put(":");
    b.put_uint(unsigned(c.minute), 2);
    b.put(":");
    b.put_uint(unsigned(c.second), 2);
    b.put(":");
    b.put_uint(unsigned(ms), 3);
    b.put(" [");
    b.put_uint(thread_no);
    b.put("] UnhandledExceptionFilter:  Exception occurred in thread #");
    b.put_uint(faulting_no);
    b.put("\r\n");
    write_all(fd, b.data, b.len);
}

[[noreturn]] void crash(int sig) {
    (void)sig;
    if (g_latch.exchange(1) == 0) {
        char desc[kThreadDescriptionMax + 1];
        unsigned number = thread_entry_for_crash(int(::gettid()), desc, sizeof(desc));
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        int fd = ::open(g_except_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (g_except_path[0] && fd >= 0) {
            write_crash_record(fd, number, desc, long(ts.tv_sec),
                               g_utc_offset.load(std::memory_order_relaxed));
            ::close(fd);
        }
        trace_crash_line(number, number, long(ts.tv_sec), ts.tv_nsec / 1000000);
        g_record_done.store(1);
    } else {
        // Another thread is writing the record: let it finish (bounded)
        // so the file is not cut short, then end the same way.
        for (int i = 0; i < 200 && g_record_done.load() == 0; ++i) {
            struct timespec d {
                0, 10 * 1000 * 1000
            };
            ::nanosleep(&d, nullptr);
        }
    }
    ::_exit(kCrashExitStatus);
}

void on_fault_signal(int sig, siginfo_t*, void*) {
    crash(sig);
}

void on_terminate() {
    crash(SIGABRT);
}

}  // namespace

void write_crash_record(int fd, unsigned thread_no, const char* description, long epoch_s,
                        long utc_offset_s) {
    Civil c = civil_from(epoch_s + utc_offset_s);
    Buf b;
    b.put("Exception occurred in thread #");
    b.put_uint(thread_no);
    b.put("\r\nThread Description:  ");
    b.put(description ? description : "");
    b.put("\r\n");
    // Long date, then the short time without seconds.
    b.put(kMonths[(c.month - 1) % 12]);
    b.put(" ");
    b.put_uint(unsigned(c.day));
    b.put(", ");
    b.put_uint(unsigned(c.year));
    b.put(" @ ");
    b.put_uint(unsigned(c.hour), 2);
    b.put(":");
    b.put_uint(unsigned(c.minute), 2);
    b.put("\r\n-------\r\n");
    write_all(fd, b.data, b.len);
}

void refresh_crash_clock() {
    time_t t = ::time(nullptr);
    struct tm tm {};
    if (::localtime_r(&t, &tm)) g_utc_offset.store(tm.tm_gmtoff, std::memory_order_relaxed);
}

void install_crash_handlers(const std::string& private_dir) {
    std::string path = private_dir + "EXCEPT.LOG";
    size_t n = std::min(path.size(), kPathMax - 1);
    std::memcpy(g_except_path, path.data(), n);
    g_except_path[n] = '\0';
    refresh_crash_clock();

    struct sigaction sa {};
    sa.sa_sigaction = &on_fault_signal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(sig, &sa, nullptr);
    std::set_terminate(&on_terminate);
}

AltSignalStack::AltSignalStack() {
    const size_t size = 64 * 1024;
    stack_ = std::malloc(size);
    if (!stack_) return;
    stack_t ss{};
    ss.ss_sp = stack_;
    ss.ss_size = size;
    ss.ss_flags = 0;
    if (::sigaltstack(&ss, nullptr) != 0) {
        std::free(stack_);
        stack_ = nullptr;
    }
}

AltSignalStack::~AltSignalStack() {
    if (!stack_) return;
    stack_t ss{};
    ss.ss_flags = SS_DISABLE;
    ::sigaltstack(&ss, nullptr);
    std::free(stack_);
}

}  // namespace frame
