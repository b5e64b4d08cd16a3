// Process-wide state owned by the entry routine: the shutdown flag, the
// running-thread count and the duties other modules hand to the main loop.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace frame {

// Set once by the stop signals, the main loop or shutdown; never cleared.
bool shutdown_requested();
void request_shutdown();

// Duties the main loop runs; modules above the frame register them before
// the service starts (the entry routine does the wiring).
enum class Duty {
    Hourly,         // on the first pass and when the hour changes
    Minute,         // on the first pass and when the minute changes
    Reload,         // after a change of SMSGW.INI was seen (after the pause)
    Second,         // every pass of the once-per-second loop
    ThirtySeconds,  // the "ThreadScanAlerts" round (message-id counter save)
    Shutdown,       // shutdown step 5: flushes after every thread has left
    Close,          // shutdown steps 9-11: closing files
};
void register_duty(Duty when, std::string name, std::function<void()> fn);
void run_duties(Duty when);

}  // namespace frame
