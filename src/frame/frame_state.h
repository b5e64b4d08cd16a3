// The frame's process-wide mutable state, gathered in one struct so that
// one reset (reset_frame_state_for_tests) puts all of it back as at process
// start. Internal to the frame module: other modules use the functions of
// global_state.h, settings.h, debug_trace.h and queue_dirs.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "platform/snapshot.h"

namespace platform {
class StatusBlock;
}

namespace frame {

struct NamedDuty {
    std::string name;
    std::function<void()> fn;
};

struct ThreadEntry {
    std::atomic<int> tid{0};
    char description[kThreadDescriptionMax + 1] = {};
};

struct FrameState {
    // Shutdown flag and the running-thread count.
    std::atomic<bool> shutdown{false};
    std::mutex shutdown_m;
    std::condition_variable shutdown_cv;
    std::mutex count_m;
    std::condition_variable count_cv;
    unsigned running = 0;

    // Duty and thread-starter registries.
    std::mutex reg_m;
    std::map<Duty, std::vector<NamedDuty>> duties;
    std::map<ThreadSlot, std::vector<std::function<bool()>>> starters;

    // Flags and figures other modules publish to the frame.
    std::atomic<bool> qcache_ready{false};
    std::atomic<platform::StatusBlock*> status{nullptr};
    std::atomic<bool> routing_reset{false};
    std::atomic<uint16_t> ports[4] = {};
    std::atomic<unsigned> sms_queue{0};
    std::atomic<unsigned> mms_queue{0};
    std::vector<std::string> extra_http_args;
    std::atomic<bool> mms_ip_notify{false};

    // Published settings. settings() hands out plain references that a
    // reader may keep across a reload, so every table published stays alive
    // for the life of the process; a reload only happens when an
    // administrator saves SMSGW.INI, and the few kilobytes kept per reload
    // are cheap compared with a string freed under a reader.
    std::mutex settings_publish_lock;
    platform::Snapshot<GlobalSettings> settings{std::make_shared<GlobalSettings>()};
    std::vector<std::shared_ptr<const GlobalSettings>> settings_kept;

    // Debug log and thread table.
    std::mutex log_lock;
    int log_fd = -1;  // under log_lock
    int log_day = 0;  // day of month the log was opened for; 0 forces a rollover
    std::atomic<int> log_fd_for_crash{-1};
    std::atomic<unsigned> rollover_wait_ms{1000};
    ThreadEntry threads[kThreadTableSize];
    std::mutex thread_lock;
    std::atomic<RawIoFn> raw_io{nullptr};
    std::atomic<void (*)(unsigned)> retry_wait{nullptr};
    std::atomic<unsigned> blocks{0};

    // Batch directories of the queue tree.
    std::mutex batch_lock;
    BatchCounter inbound_batch;
    BatchCounter user_batch;
    struct DatedCount {
        int year = 0, month = 0, day = 0;
        uint32_t placed = 0;
    } dated;

    // Service timing and the link worker.
    ServiceTiming timing;
    std::mutex worker_lock;
    LinkWorkerFn link_worker;
    std::atomic<bool> signal_thread_quit{false};

    // Serialises appends to EVENTS.LOG.
    std::mutex event_lock;
};

FrameState& frame_state();

}  // namespace frame
