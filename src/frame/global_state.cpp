// Process-wide state: shutdown flag, thread frame and running-thread count,
// duty and thread-starter registries, status block bytes, wake-up events.
#include "frame/global_state.h"

#include <chrono>
#include <map>
#include <thread>

#include "frame/crash_record.h"
#include "frame/debug_trace.h"
#include "frame/frame_state.h"
#include "platform/status_block.h"

namespace frame {

FrameState& frame_state() {
    // Never destroyed: detached threads may still signal its condition
    // variables or read it while the process runs its exit handlers.
    static FrameState* const state = new FrameState;
    return *state;
}

namespace {

void thread_entered() {
    std::lock_guard<std::mutex> lock(frame_state().count_m);
    ++frame_state().running;
}

void thread_left() {
    std::lock_guard<std::mutex> lock(frame_state().count_m);
    if (frame_state().running > 0) --frame_state().running;
    if (frame_state().running == 0) frame_state().count_cv.notify_all();
}

}  // namespace

bool shutdown_requested() {
    return frame_state().shutdown.load(std::memory_order_acquire);
}

void request_shutdown() {
    {
        std::lock_guard<std::mutex> lock(frame_state().shutdown_m);
        frame_state().shutdown.store(true, std::memory_order_release);
    }
    frame_state().shutdown_cv.notify_all();
}

bool sleep_unless_shutdown(unsigned ms) {
    std::unique_lock<std::mutex> lock(frame_state().shutdown_m);
    frame_state().shutdown_cv.wait_for(lock, std::chrono::milliseconds(ms),
                                       [] { return shutdown_requested(); });
    return shutdown_requested();
}

void register_duty(Duty when, std::string name, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(frame_state().reg_m);
    frame_state().duties[when].push_back({std::move(name), std::move(fn)});
}

void run_duties(Duty when) {
    std::vector<NamedDuty> list;
    {
        std::lock_guard<std::mutex> lock(frame_state().reg_m);
        auto it = frame_state().duties.find(when);
        if (it == frame_state().duties.end()) return;
        list = it->second;
    }
    for (const NamedDuty& d : list)
        if (d.fn) d.fn();
}

void reset_frame_state_for_tests() {
    FrameState& st = frame_state();
    st.shutdown.store(false);
    clear_registrations_for_tests();
    st.qcache_ready.store(false);
    st.status.store(nullptr);
    st.routing_reset.store(false);
    for (auto& p : st.ports) p.store(0);
    st.sms_queue.store(0);
    st.mms_queue.store(0);
    st.extra_http_args.clear();
    st.mms_ip_notify.store(false);
    reset_settings_for_tests();
    reset_debug_log_for_tests();
    st.rollover_wait_ms.store(1000);
    clear_thread_table();
    st.raw_io.store(nullptr);
    st.retry_wait.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(st.batch_lock);
        st.inbound_batch = {};
        st.user_batch = {};
        st.dated = {};
    }
    st.timing = {};
    {
        std::lock_guard<std::mutex> lock(st.worker_lock);
        st.link_worker = nullptr;
    }
    st.signal_thread_quit.store(false);
}

void clear_registrations_for_tests() {
    std::lock_guard<std::mutex> lock(frame_state().reg_m);
    frame_state().duties.clear();
    frame_state().starters.clear();
}

void register_thread_starter(ThreadSlot slot, std::function<bool()> starter) {
    std::lock_guard<std::mutex> lock(frame_state().reg_m);
    frame_state().starters[slot].push_back(std::move(starter));
}

bool run_thread_starters(ThreadSlot slot) {
    std::vector<std::function<bool()>> list;
    {
        std::lock_guard<std::mutex> lock(frame_state().reg_m);
        auto it = frame_state().starters.find(slot);
        if (it == frame_state().starters.end()) return true;
        list = it->second;
    }
    bool ok = true;
    for (auto& fn : list)
        if (fn && !fn()) ok = false;
    return ok;
}

bool has_thread_starter(ThreadSlot slot) {
    std::lock_guard<std::mutex> lock(frame_state().reg_m);
    auto it = frame_state().starters.find(slot);
    return it != frame_state().starters.end() && !it->second.empty();
}

void set_qcache_ready() {
    frame_state().qcache_ready.store(true, std::memory_order_release);
}
bool qcache_ready() {
    return frame_state().qcache_ready.load(std::memory_order_acquire);
}

bool start_thread(std::string description, std::function<void()> body) {
    thread_entered();
    try {
        std::thread t([description = std::move(description), body = std::move(body)]() mutable {
            {
                AltSignalStack alt_stack;
                AssignThreadNumber(description);
                // The body and what it captured go before the thread is
                // counted out, so whoever waits for the count to reach zero
                // does not race with their destructors.
                std::function<void()> run = std::move(body);
                if (run) run();
                run = nullptr;
                ReleaseThreadNumber();
            }
            thread_left();
        });
        t.detach();
        return true;
    } catch (...) {
        thread_left();
        return false;
    }
}

unsigned running_thread_count() {
    std::lock_guard<std::mutex> lock(frame_state().count_m);
    return frame_state().running;
}

void wait_for_threads(unsigned step_ms) {
    std::unique_lock<std::mutex> lock(frame_state().count_m);
    while (frame_state().running != 0)
        frame_state().count_cv.wait_for(lock, std::chrono::milliseconds(step_ms));
}

void attach_status_block(platform::StatusBlock* block) {
    frame_state().status.store(block, std::memory_order_release);
}

uint8_t status_byte(size_t index) {
    platform::StatusBlock* b = frame_state().status.load(std::memory_order_acquire);
    if (!b || !b->valid() || index >= platform::kStatusBlockSize) return 0;
    return b->get(index);
}

void set_status_byte(size_t index, uint8_t value) {
    platform::StatusBlock* b = frame_state().status.load(std::memory_order_acquire);
    if (!b || !b->valid() || index >= platform::kStatusBlockSize) return;
    b->set(index, value);
}

void WakeEvent::set() {
    {
        std::lock_guard<std::mutex> lock(m_);
        signalled_ = true;
    }
    cv_.notify_one();
}

bool WakeEvent::wait(unsigned timeout_ms) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                 [this] { return signalled_ || shutdown_requested(); });
    if (!signalled_) return false;
    signalled_ = false;
    return true;
}

void WakeEvent::release_waiters() {
    std::lock_guard<std::mutex> lock(m_);
    cv_.notify_all();
}

WakeEvent& inbound_sms_event() {
    static WakeEvent ev;
    return ev;
}

WakeEvent& inbound_receipt_event() {
    static WakeEvent ev;
    return ev;
}

void request_routing_db_reset() {
    frame_state().routing_reset.store(true, std::memory_order_release);
}
bool take_routing_db_reset() {
    return frame_state().routing_reset.exchange(false, std::memory_order_acq_rel);
}
void clear_routing_db_reset() {
    frame_state().routing_reset.store(false, std::memory_order_release);
}

void set_listener_port(Listener which, uint16_t port) {
    frame_state().ports[size_t(which)].store(port, std::memory_order_release);
}
uint16_t listener_port(Listener which) {
    return frame_state().ports[size_t(which)].load(std::memory_order_acquire);
}

unsigned sms_queue_size() {
    return frame_state().sms_queue.load(std::memory_order_relaxed);
}
unsigned mms_queue_size() {
    return frame_state().mms_queue.load(std::memory_order_relaxed);
}
void set_queue_sizes(unsigned sms, unsigned mms) {
    frame_state().sms_queue.store(sms, std::memory_order_relaxed);
    frame_state().mms_queue.store(mms, std::memory_order_relaxed);
}

const std::vector<std::string>& extra_http_args() {
    return frame_state().extra_http_args;
}
void set_extra_http_args(std::vector<std::string> names) {
    frame_state().extra_http_args = std::move(names);
}

std::vector<std::string> split_extra_http_args(std::string_view list) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || list[i] == ',' || list[i] == ';') {
            if (i > start) out.emplace_back(list.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

bool mms_ip_notify_active() {
    return frame_state().mms_ip_notify.load(std::memory_order_relaxed);
}
void set_mms_ip_notify_active(bool on) {
    frame_state().mms_ip_notify.store(on, std::memory_order_relaxed);
}

}  // namespace frame
