// The crash record: fault signals and std::terminate in any thread append a
// few lines to EXCEPT.LOG (async-signal-safe writes only) and end the
// process with status 177.
#pragma once

#include <string>

namespace frame {

constexpr int kCrashExitStatus = 177;  // 45233 modulo 256

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and the
// terminate handler; EXCEPT.LOG goes into private_dir (ends in '/').
void install_crash_handlers(const std::string& private_dir);

// Refreshes the UTC offset the record's date uses (the handler cannot call
// localtime). The main loop calls it every pass.
void refresh_crash_clock();

// A per-thread alternate signal stack, so that a stack overflow still gets
// its record. Every thread frame holds one.
class AltSignalStack {
  public:
    AltSignalStack();
    ~AltSignalStack();
    AltSignalStack(const AltSignalStack&) = delete;
    AltSignalStack& operator=(const AltSignalStack&) = delete;

  private:
    void* stack_ = nullptr;
};

// The record itself (for tests: writes the lines for thread number n and
// description into fd, exactly as the handler does, time from epoch_s).
void write_crash_record(int fd, unsigned thread_no, const char* description, long epoch_s,
                        long utc_offset_s);

}  // namespace frame
