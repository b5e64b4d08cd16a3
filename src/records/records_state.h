// Process-wide mutable state of the records module in one struct, so that
// tests can put all of it back to what a fresh process starts with. Internal
// to the module: other modules use the functions of counters.h and
// message_log.h.
#pragma once

#include <atomic>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "records/counters.h"

namespace records {

struct RecordsState {
    // Global counters and gauges: one open file and image each.
    struct GlobalCounter {
        std::mutex m;
        platform::FileHandle fd;
        int year = 0;  // year of the open file (yearly counters)
        std::string path;
        CounterImage image{};
        bool changed = false;
    };
    GlobalCounter globals[kGlobalCounterCount];
    // The year the global files are open for; its change closes them all.
    std::mutex year_lock;
    std::atomic<int> open_year{0};
    // Serialises writers of images (flush, close, start-up), so that an older
    // copy of an image is never written after a newer one.
    std::mutex flush_lock;

    // Link counter files by path.
    struct LinkFile {
        std::string path;
        platform::FileHandle fd;
        time_t last_change = 0;
        unsigned use = 0;  // flush writes in progress
        bool changed = false;
        CounterImage image{};
    };
    std::mutex link_lock;
    std::map<std::string, std::unique_ptr<LinkFile>> links;

    // The daily message logs and the account log last written.
    struct DailyLog {
        explicit DailyLog(const char* p) : prefix(p) {}
        const char* prefix;
        std::mutex m;
        platform::FileHandle fd;
        int year = 0, month = 0, day = 0;
    };
    DailyLog out_log{"SMSOUT-"};
    DailyLog in_log{"SMSIN-"};
    DailyLog web_log{"SMSWEB-"};
    struct AccountLog {
        std::mutex m;
        platform::FileHandle fd;
        std::string path;
    } account_log;
};

RecordsState& records_state();

// Puts all of the module's state back to that of a fresh process: every
// counter and log file closed without writing what it still held in
// memory, no open year (tests only).
void reset_records_for_tests();

}  // namespace records
