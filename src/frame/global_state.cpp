// Process-wide state: shutdown flag, thread frame and running-thread count,
// duty and thread-starter registries, status block bytes, wake-up events.
#include "frame/global_state.h"

#include <chrono>
#include <map>
#include <thread>

#include "frame/crash_record.h"
#include "frame/debug_trace.h"
#include "platform/status_block.h"

namespace frame {

namespace {

std::atomic<bool> g_shutdown{false};
std::mutex g_shutdown_m;
std::condition_variable g_shutdown_cv;

std::mutex g_count_m;
std::condition_variable g_count_cv;
unsigned g_running = 0;

struct NamedDuty {
    std::string name;
    std::function<void()> fn;
};
std::mutex g_reg_m;
std::map<Duty, std::vector<NamedDuty>> g_duties;
std::map<ThreadSlot, std::vector<std::function<bool()>>> g_starters;

std::atomic<bool> g_qcache_ready{false};
std::atomic<platform::StatusBlock*> g_status{nullptr};
std::atomic<bool> g_routing_reset{false};
std::atomic<uint16_t> g_ports[4];
std::atomic<unsigned> g_sms_queue{0};
std::atomic<unsigned> g_mms_queue{0};
std::vector<std::string> g_extra_http_args;
std::atomic<bool> g_mms_ip_notify{false};

void thread_entered() {
    std::lock_guard<std::mutex> lock(g_count_m);
    ++g_running;
}

void thread_left() {
    std::lock_guard<std::mutex> lock(g_count_m);
    if (g_running > 0) --g_running;
    if (g_running == 0) g_count_cv.notify_all();
}

}  // namespace

bool shutdown_requested() {
    return g_shutdown.load(std::memory_order_acquire);
}

void request_shutdown() {
    {
        std::lock_guard<std::mutex> lock(g_shutdown_m);
        g_shutdown.store(true, std::memory_order_release);
    }
    g_shutdown_cv.notify_all();
}

bool sleep_unless_shutdown(unsigned ms) {
    std::unique_lock<std::mutex> lock(g_shutdown_m);
    g_shutdown_cv.wait_for(lock, std::chrono::milliseconds(ms),
                           [] { return shutdown_requested(); });
    return shutdown_requested();
}

void register_duty(Duty when, std::string name, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(g_reg_m);
    g_duties[when].push_back({std::move(name), std::move(fn)});
}

void run_duties(Duty when) {
    std::vector<NamedDuty> list;
    {
        std::lock_guard<std::mutex> lock(g_reg_m);
        auto it = g_duties.find(when);
        if (it == g_duties.end()) return;
        list = it->second;
    }
    for (const NamedDuty& d : list)
        if (d.fn) d.fn();
}

void clear_registrations_for_tests() {
    std::lock_guard<std::mutex> lock(g_reg_m);
    g_duties.clear();
    g_starters.clear();
}

void register_thread_starter(ThreadSlot slot, std::function<bool()> starter) {
    std::lock_guard<std::mutex> lock(g_reg_m);
    g_starters[slot].push_back(std::move(starter));
}

bool run_thread_starters(ThreadSlot slot) {
    std::vector<std::function<bool()>> list;
    {
        std::lock_guard<std::mutex> lock(g_reg_m);
        auto it = g_starters.find(slot);
        if (it == g_starters.end()) return true;
        list = it->second;
    }
    bool ok = true;
    for (auto& fn : list)
        if (fn && !fn()) ok = false;
    return ok;
}

bool has_thread_starter(ThreadSlot slot) {
    std::lock_guard<std::mutex> lock(g_reg_m);
    auto it = g_starters.find(slot);
    return it != g_starters.end() && !it->second.empty();
}

void set_qcache_ready() {
    g_qcache_ready.store(true, std::memory_order_release);
}
bool qcache_ready() {
    return g_qcache_ready.load(std::memory_order_acquire);
}

bool start_thread(std::string description, std::function<void()> body) {
    thread_entered();
    try {
        std::thread t([description = std::move(description), body = std::move(body)]() {
            AltSignalStack alt_stack;
            AssignThreadNumber(description);
            if (body) body();
            ReleaseThreadNumber();
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
    std::lock_guard<std::mutex> lock(g_count_m);
    return g_running;
}

void wait_for_threads(unsigned step_ms) {
    std::unique_lock<std::mutex> lock(g_count_m);
    while (g_running != 0) g_count_cv.wait_for(lock, std::chrono::milliseconds(step_ms));
}

void attach_status_block(platform::StatusBlock* block) {
    g_status.store(block, std::memory_order_release);
}

uint8_t status_byte(size_t index) {
    platform::StatusBlock* b = g_status.load(std::memory_order_acquire);
    if (!b || !b->valid() || index >= platform::kStatusBlockSize) return 0;
    return b->get(index);
}

void set_status_byte(size_t index, uint8_t value) {
    platform::StatusBlock* b = g_status.load(std::memory_order_acquire);
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
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; }))
        return false;
    signalled_ = false;
    return true;
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
    g_routing_reset.store(true, std::memory_order_release);
}
bool take_routing_db_reset() {
    return g_routing_reset.exchange(false, std::memory_order_acq_rel);
}
void clear_routing_db_reset() {
    g_routing_reset.store(false, std::memory_order_release);
}

void set_listener_port(Listener which, uint16_t port) {
    g_ports[size_t(which)].store(port, std::memory_order_release);
}
uint16_t listener_port(Listener which) {
    return g_ports[size_t(which)].load(std::memory_order_acquire);
}

unsigned sms_queue_size() {
    return g_sms_queue.load(std::memory_order_relaxed);
}
unsigned mms_queue_size() {
    return g_mms_queue.load(std::memory_order_relaxed);
}
void set_queue_sizes(unsigned sms, unsigned mms) {
    g_sms_queue.store(sms, std::memory_order_relaxed);
    g_mms_queue.store(mms, std::memory_order_relaxed);
}

const std::vector<std::string>& extra_http_args() {
    return g_extra_http_args;
}
void set_extra_http_args(std::vector<std::string> names) {
    g_extra_http_args = std::move(names);
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
    return g_mms_ip_notify.load(std::memory_order_relaxed);
}
void set_mms_ip_notify_active(bool on) {
    g_mms_ip_notify.store(on, std::memory_order_relaxed);
}

}  // namespace frame
