#include "protocols/common/link.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/clock.h"

namespace protocols::common {

bool connect_socket(int fd, std::string_view host, unsigned port, unsigned timeout_ms, int& err) {
    int domain = AF_INET;
    socklen_t dl = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &dl) != 0) {
        err = errno;
        return false;
    }
    struct addrinfo hints {};
    hints.ai_family = domain;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    std::string h(host), p = std::to_string(port);
    if (::getaddrinfo(h.c_str(), p.c_str(), &hints, &list) != 0 || !list) {
        err = EHOSTUNREACH;
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = false;
    err = ECONNREFUSED;
    uint64_t start = platform::monotonic_ms();
    for (struct addrinfo* a = list; a && !ok; a = a->ai_next) {
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
            break;
        }
        if (errno != EINPROGRESS) {
            err = errno;
            continue;
        }
        uint64_t used = platform::monotonic_ms() - start;
        if (used >= timeout_ms || platform::wait_writable(fd, unsigned(timeout_ms - used)) <= 0) {
            err = ETIMEDOUT;
            break;  // a half-done connect leaves the socket unusable
        }
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (soerr == 0)
            ok = true;
        else
            err = soerr;
        break;
    }
    ::freeaddrinfo(list);
    ::fcntl(fd, F_SETFL, flags);
    return ok;
}

ino_t socket_inode(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return st.st_ino;
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
    for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i]) ^ uint8_t(b.empty() ? 0 : b[i % b.size()]);
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

void GarbageTrace::reset() {
    *this = GarbageTrace{};
}

long recv_nonblocking(int fd, char* buf, size_t len) {
    long n = ::recv(fd, buf, len, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR) n = ::recv(fd, buf, len, MSG_DONTWAIT);
    return n;
}

}  // namespace protocols::common
