// The skip queue, the queue-full hold, the send-limit pacer with the
// gateway-wide throttle, and the throttle resubmit list.
#include "links/core/send_control.h"

#include <algorithm>
#include <new>

#include "delivery/route_cache.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/module_state.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace links {

// --- skip queue ----------------------------------------------------------------------

namespace {

void trace_skip_size(std::string_view tag, size_t capacity, size_t count) {
    if (!frame::debug_on()) return;
    frame::debug_tracef(tag, "Debug:  SkipQSize = %u, SkipQCount = %u", unsigned(capacity),
                        unsigned(count));
}

}  // namespace

void SkipQueue::begin_pass() {
    for (Entry& e : entries_) e.seen = false;
}

bool SkipQueue::contains(std::string_view name) {
    auto first = entries_.begin();
    auto last = first + static_cast<std::ptrdiff_t>(sorted_);
    auto it = std::lower_bound(first, last, name,
                               [](const Entry& e, std::string_view n) { return e.name < n; });
    if (it == last || it->name != name) return false;
    it->seen = true;
    return true;
}

void SkipQueue::add(std::string_view name) {
    if (name.size() > kMaxName) return;
    if (entries_.size() >= capacity_) {
        try {
            entries_.reserve(capacity_ + kGrowStep);
            capacity_ += kGrowStep;
        } catch (const std::bad_alloc&) {
            // Routing works without the skip queue, only slower.
            std::vector<Entry>().swap(entries_);
            capacity_ = 0;
            sorted_ = 0;
            return;
        }
        trace_skip_size("SkipQAdd", capacity_, entries_.size());
    }
    entries_.push_back(Entry{std::string(name), true});
}

void SkipQueue::clean() {
    // Files of other links that were not seen again have left the queue.
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.seen; }),
        entries_.end());
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    // A name added twice in one pass would only take room.
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const Entry& a, const Entry& b) { return a.name == b.name; }),
                   entries_.end());
    if (entries_.size() + kGrowStep < capacity_) {
        capacity_ = entries_.size() + kGrowStep;
        std::vector<Entry> shrunk;
        try {
            shrunk.reserve(capacity_);
            std::move(entries_.begin(), entries_.end(), std::back_inserter(shrunk));
            entries_.swap(shrunk);
        } catch (const std::bad_alloc&) {
            // Keeping the larger block is harmless.
        }
        trace_skip_size("SkipQClean", capacity_, entries_.size());
    }
    sorted_ = entries_.size();
}

void SkipQueue::free() {
    frame::debug_trace("SkipQFree", "Enter");
    std::vector<Entry>().swap(entries_);
    capacity_ = 0;
    sorted_ = 0;
    frame::debug_trace("SkipQFree", "Exit");
}

bool skip_queue_enabled() {
    const frame::GlobalSettings& s = frame::settings();
    return s.use_experimental_logic && !s.old_routing_logic;
}

// --- queue-full hold -----------------------------------------------------------------------

std::string queue_full_key(std::string_view recipient, std::string_view link_name) {
    std::string key;
    key.reserve(recipient.size() + 2 + link_name.size());
    key.append(recipient).append("**").append(link_name);
    return key;
}

void queue_full_hold(std::string_view recipient, std::string_view link_name,
                     std::string_view relative_file) {
    if (!frame::settings().rmsgqful_by_number || recipient.empty()) return;
    delivery::route_cache_insert(queue_full_key(recipient, link_name), relative_file);
}

bool queue_full_held(std::string_view recipient, std::string_view link_name,
                     std::string_view relative_file, const std::string& queue_root) {
    if (!frame::settings().rmsgqful_by_number || recipient.empty()) return false;
    const std::string key = queue_full_key(recipient, link_name);
    std::optional<std::string> held = delivery::route_cache_lookup(key);
    if (!held) return false;
    if (*held == relative_file) return false;  // this file is the one that waits
    if (platform::file_exists(platform::with_trailing_slash(queue_root) + *held)) return true;
    // The held message has left the queue: the next one for the recipient goes.
    delivery::route_cache_delete(key);
    return false;
}

// --- send pacing -------------------------------------------------------------------------

namespace {

detail::ModuleState::Throttle& throttle() {
    return detail::module_state().throttle;
}

// One round of waiting: false when the wait has to end without a submit.
bool wait_round(const std::function<bool()>& service, const std::function<bool()>& stop) {
    if (frame::shutdown_requested()) return false;
    if (stop && stop()) return false;
    if (service && !service()) return false;
    // Sleeping (not spinning) keeps a long limit from burning a core.
    platform::sleep_ms(1);
    return true;
}

}  // namespace

bool SendPacer::wait(const std::function<bool()>& service, const std::function<bool()>& stop) {
    if (interval_ms_ > 0 && have_last_) {
        while (platform::monotonic_ms() - last_ms_ < interval_ms_) {
            if (!wait_round(service, stop)) return false;
        }
    }
    const uint32_t delay = frame::settings().message_throttle_delay_ms;
    if (delay > 0) {
        for (;;) {
            {
                // Test and update together, so that two workers never both pass.
                detail::ModuleState::Throttle& t = throttle();
                std::lock_guard<std::mutex> lock(t.mu);
                const uint64_t now = platform::monotonic_ms();
                if (!t.have_last || now - t.last_ms >= delay) {
                    t.last_ms = now;
                    t.have_last = true;
                    break;
                }
            }
            if (!wait_round(service, stop)) return false;
        }
    }
    last_ms_ = platform::monotonic_ms();
    have_last_ = true;
    return true;
}

void reset_global_throttle_for_tests() {
    detail::ModuleState::Throttle& t = throttle();
    std::lock_guard<std::mutex> lock(t.mu);
    t.last_ms = 0;
    t.have_last = false;
}

// --- throttle resubmit list ----------------------------------------------------------------

bool ThrottleResubmitList::add(const std::string& path, unsigned resubmits) {
    std::lock_guard<std::mutex> lock(mu_);
    // The list's own count wins over a smaller one the caller lost track of,
    // so a file can never be resubmitted without end.
    auto known = counts_.find(path);
    if (known != counts_.end()) resubmits = std::max(resubmits, known->second);
    if (resubmits >= kMaxResubmits) {
        frame::debug_trace("ThrottleResubmitQCoun Exceeded", path);
        return false;
    }
    for (const auto& p : pending_) {
        if (p.first == path) return false;
    }
    pending_.emplace_back(path, resubmits + 1);
    counts_[path] = resubmits + 1;
    frame::debug_trace("AddToThrottleResubmitQ", path);
    return true;
}

std::vector<std::pair<std::string, unsigned>> ThrottleResubmitList::take_all() {
    std::vector<std::pair<std::string, unsigned>> taken;
    {
        std::lock_guard<std::mutex> lock(mu_);
        taken.swap(pending_);
    }
    if (frame::debug_on()) {
        for (const auto& p : taken) frame::debug_trace("CheckThrottleResubmitQ", p.first);
    }
    return taken;
}

unsigned ThrottleResubmitList::resubmits_of(const std::string& path) const {
    unsigned n = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = counts_.find(path);
        if (it != counts_.end()) n = it->second;
    }
    if (n) frame::debug_trace("isThrottleResubmit", path);
    return n;
}

void ThrottleResubmitList::forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    counts_.erase(path);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [&](const auto& p) { return p.first == path; }),
                   pending_.end());
}

size_t ThrottleResubmitList::size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pending_.size();
}

}  // namespace links
