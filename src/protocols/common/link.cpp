#include "protocols/common/link.h"

#include <algorithm>
#include <optional>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/trace_sink.h"

namespace protocols::common {

bool connect_socket(int fd, std::string_view host, unsigned port, unsigned timeout_ms, int& err) {
    return platform::connect_socket(fd, std::string(host), port, timeout_ms, err);
}

ino_t socket_inode(int fd) {
    if (fd < 0) return 0;
    std::optional<platform::FileInfo> st = platform::stat_fd(fd);
    return st ? ino_t(st->inode) : 0;
}

void ReceiptMemory::remember(const std::string& smsc_id, std::string our_id,
                             std::string local_user) {
    uint64_t now = platform::monotonic_ms();
    std::lock_guard lk(mu_);
    entries_[smsc_id] = Entry{std::move(our_id), std::move(local_user), now};
    order_.emplace_back(smsc_id, now);
    while (!order_.empty() &&
           (order_.size() > MAX_ENTRIES || now - order_.front().second > MAX_AGE_MS)) {
        auto& [key, added] = order_.front();
        auto it = entries_.find(key);
        if (it != entries_.end() && it->second.added_ms == added) entries_.erase(it);
        order_.pop_front();
    }
}

void ReceiptMemory::clear() {
    std::lock_guard lk(mu_);
    entries_.clear();
    order_.clear();
}

void ReceiptMemory::resolve(DeliveryRecord& m, bool final_state) {
    std::string& smsc_id = m.smsc_message_id;
    std::string& message = m.message;
    Entry r;
    {
        std::lock_guard lk(mu_);
        auto it = entries_.find(smsc_id);
        if (it == entries_.end()) {
            m.options.emplace_back("ResolveReceiptID", "Yes");
            return;
        }
        r = it->second;
        if (final_state) entries_.erase(it);
    }
    // The text names the gateway's id as a resolved receipt does.
    std::string prefix = "id:" + smsc_id + " ";
    if (message.compare(0, prefix.size(), prefix) == 0)
        message = "id:" + r.our_id + " " + message.substr(prefix.size());
    smsc_id = r.our_id;
    if (!r.local_user.empty()) m.options.emplace_back("RouteToLocalUser", r.local_user);
}

void InboundGate::start(const InboundPolicy& policy) {
    policy_ = policy;
    logged_in_ = false;
    started_ms_ = last_unit_ms_ = platform::monotonic_ms();
}

namespace {
// Compares without stopping at the first difference.
bool same_secret(std::string_view a, std::string_view b) {
    unsigned diff = unsigned(a.size() ^ b.size());
    for (size_t i = 0; i < a.size(); ++i)
        diff |= uint8_t(a[i]) ^ uint8_t(b.empty() ? 0 : b[i % b.size()]);
    return diff == 0;
}
}  // namespace

bool InboundGate::login(std::string_view user, std::string_view password) {
    bool ok = !policy_.login_required ||
              (user == policy_.user && same_secret(password, policy_.password));
    if (ok) logged_in_ = true;
    return ok;
}

void InboundGate::unit_received() {
    last_unit_ms_ = platform::monotonic_ms();
}

const char* InboundGate::expired() const {
    uint64_t now = platform::monotonic_ms();
    if (!open() && policy_.login_s && now - started_ms_ >= uint64_t(policy_.login_s) * 1000)
        return "no login within the login time-out, closing";
    if (policy_.idle_s && now - last_unit_ms_ >= uint64_t(policy_.idle_s) * 1000)
        return "idle beyond the idle time-out, closing";
    return nullptr;
}

uint64_t GarbageTrace::now_ms() {
    return platform::monotonic_ms();
}

void GarbageTrace::refill(uint64_t now) {
    if (refilled_ms_ == 0 || now < refilled_ms_) {
        refilled_ms_ = now;
        return;
    }
    uint64_t gained = (now - refilled_ms_) / REFILL_MS;
    if (gained == 0) return;
    tokens_ = unsigned(std::min<uint64_t>(FULL_LINES, tokens_ + gained));
    refilled_ms_ += gained * REFILL_MS;
}

bool GarbageTrace::admit(size_t bytes, const char* tag, std::string_view label) {
    uint64_t now = now_ms();
    refill(now);
    if (tokens_ > 0 && held_lines_ == 0) {
        --tokens_;
        return true;
    }
    if (held_lines_ == 0) held_since_ms_ = now;
    ++held_lines_;
    held_bytes_ += bytes;
    if (held_bytes_ >= SUMMARY_BYTES || now - held_since_ms_ >= SUMMARY_MS) flush(tag, label);
    return false;
}

void GarbageTrace::flush(const char* tag, std::string_view label) {
    if (held_lines_ == 0) return;
    platform::tracef(tag, "%.*s: %llu more lines about %llu bytes of unreadable input not traced",
                     int(label.size()), label.data(), (unsigned long long)held_lines_,
                     (unsigned long long)held_bytes_);
    held_lines_ = held_bytes_ = 0;
}

void GarbageTrace::reset() {
    *this = GarbageTrace{};
}

long recv_nonblocking(int fd, char* buf, size_t len) {
    return platform::recv_nowait(fd, buf, len);
}

}  // namespace protocols::common
