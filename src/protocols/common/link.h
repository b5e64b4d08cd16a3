// Pieces of an SMSC link every engine shares: connecting the caller's socket,
// the receipt memory, the adapters' session
// lookup by socket and the non-blocking read loop.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/net.h"
#include "protocols/common/message.h"

namespace protocols::common {

// Connects the caller's socket (already bound to its local port, if any) to
// host:port within timeout_ms, trying each address of the socket's family.
// The socket keeps its blocking mode. On failure err holds the errno.
bool connect_socket(int fd, std::string_view host, unsigned port, unsigned timeout_ms, int& err);

// The inode behind a descriptor; 0 when it is not open. Tells a reused
// descriptor number from the socket a session was made for.
ino_t socket_inode(int fd);

// Receipts of submits that carried the gateway's id: the SMSC's id -> the
// gateway's id and submitting user, so that a status report arrives already
// resolved. Bounded in count and age; the link worker's own tracking covers
// what falls out.
class ReceiptMemory {
  public:
    void remember(const std::string& smsc_id, std::string our_id, std::string local_user);

    // Rewrites a received report for a remembered id to the gateway's id
    // (smsc_message_id and the "id:" at the start of the message) and adds
    // the option "RouteToLocalUser" when the user is known, or
    // "ResolveReceiptID=Yes" for an id not remembered. A final state forgets it.
    void resolve(DeliveryRecord& m, bool final_state);

    void clear();

  private:
    struct Entry {
        std::string our_id, local_user;
        uint64_t added_ms = 0;
    };
    static constexpr size_t MAX_ENTRIES = 100000;
    static constexpr uint64_t MAX_AGE_MS = 3ull * 24 * 3600 * 1000;
    std::mutex mu_;
    std::unordered_map<std::string, Entry> entries_;
    std::deque<std::pair<std::string, uint64_t>> order_;
};

// The adapters' lookup of sessions by socket number. S has a member `ino`
// (socket_inode at creation).
template <class S>
class SessionTable {
  public:
    void put(int fd, std::shared_ptr<S> s) {
        std::lock_guard lk(mu_);
        map_[fd] = std::move(s);
    }
    // The session of fd's current socket; one left over from an earlier
    // socket with the same number is dropped. ino is socket_inode(fd).
    std::shared_ptr<S> find(int fd, ino_t ino) {
        std::lock_guard lk(mu_);
        auto it = map_.find(fd);
        if (it == map_.end()) return nullptr;
        if (it->second->ino == ino && ino != 0) return it->second;
        map_.erase(it);
        return nullptr;
    }
    void erase(int fd) {
        std::lock_guard lk(mu_);
        map_.erase(fd);
    }
    void clear() {
        std::lock_guard lk(mu_);
        map_.clear();
    }

  private:
    std::mutex mu_;
    std::unordered_map<int, std::shared_ptr<S>> map_;
};

// What a connection the SMSC opened to the gateway must show: the link's
// credentials in its login (when the link has a user name), the login within
// login_s of the connection and some complete unit at least every idle_s
// (0 switches a deadline off). Idle sockets and half-sent units would
// otherwise hold the listener's connections for good.
struct InboundPolicy {
    bool login_required = false;
    std::string user, password;
    unsigned login_s = 30, idle_s = 600;
};

class InboundGate {
  public:
    void start(const InboundPolicy& policy);
    // The login's user and password against the link's; a match opens the
    // gate. Without a required login every login is taken.
    bool login(std::string_view user, std::string_view password);
    // Deliveries and reports are taken only once this holds.
    bool open() const { return !policy_.login_required || logged_in_; }
    bool logged_in() const { return logged_in_; }
    // A complete unit arrived.
    void unit_received();
    // Why the connection is to be closed now, or nullptr.
    const char* expired() const;

  private:
    InboundPolicy policy_;
    bool logged_in_ = false;
    uint64_t started_ms_ = 0, last_unit_ms_ = 0;
};

// Bounds what a peer's garbage (bytes outside a unit, units cut short or
// unreadable) can write to the trace of one connection. The first lines are
// written in full; beyond them one more full line is allowed per REFILL_MS,
// the rest is only counted and reported by a summary line once SUMMARY_BYTES
// of held-back input or SUMMARY_MS have passed, and before the next unit
// that reads.
class GarbageTrace {
  public:
    static constexpr unsigned FULL_LINES = 20;
    static constexpr uint64_t REFILL_MS = 1000;
    static constexpr uint64_t SUMMARY_BYTES = 1024 * 1024;
    static constexpr uint64_t SUMMARY_MS = 10000;

    // A garbage event of `bytes` input bytes on the connection `label`:
    // true when its line is to be written under tag. Otherwise it is
    // counted, and the summary line is traced when one is due.
    bool admit(size_t bytes, const char* tag, std::string_view label);
    // Traces what is held back, if anything (a unit that reads follows).
    void flush(const char* tag, std::string_view label);
    void reset();

  private:
    static uint64_t now_ms();
    void refill(uint64_t now);
    unsigned tokens_ = FULL_LINES;
    uint64_t refilled_ms_ = 0, held_since_ms_ = 0;
    uint64_t held_lines_ = 0, held_bytes_ = 0;
};

// One receive on a non-blocking socket, retried on EINTR.
long recv_nonblocking(int fd, char* buf, size_t len);

// Waits up to wait_ms for input (0: no wait), then reads at most `rounds`
// chunks without blocking, appending each to rbuf and calling
// process() -> false once the stream is unusable. fail(why) is called for a
// closed connection (after a last process()) or a socket error. Stops at a
// short read, an empty socket or once broken is set.
template <size_t CHUNK, class Process, class Fail>
void read_pump(int fd, unsigned wait_ms, int rounds, const std::atomic<bool>& broken,
               std::string& rbuf, Process&& process, Fail&& fail) {
    if (broken) return;
    if (wait_ms) {
        int r = platform::wait_readable(fd, wait_ms);
        if (r == 0) return;
        if (r < 0) {
            fail("poll failed");
            return;
        }
    }
    char buf[CHUNK];
    for (int round = 0; round < rounds && !broken; ++round) {
        long n = recv_nonblocking(fd, buf, sizeof buf);
        if (n == 0) {
            process();
            fail("connection closed by peer");
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) fail("receive failed");
            return;
        }
        rbuf.append(buf, size_t(n));
        if (!process()) return;
        if (size_t(n) < sizeof buf) return;
    }
}

// Handles every STX ... ETX unit at the start of rbuf with the protocol's
// scanner, whose result has state (NeedMore, Garbage, MissingEtx, Oversized
// or the protocol's complete-unit state), skip and length: body(the unit
// between STX and ETX, missing_etx) for each unit, dropped(n) for bytes
// outside a unit, oversized() for a unit too long ever to end (the buffer is
// then emptied). Returns false once the stream is out of step or broken.
//
// resume belongs with rbuf: the scanner, called as scan(rest, resume), goes
// on where its last NeedMore on the same unit stopped (0 to start afresh).
template <class ScanFn, class Body, class Dropped, class Oversized>
bool consume_stx_units(std::string& rbuf, size_t& resume, const std::atomic<bool>& broken,
                       ScanFn&& scan, Body&& body, Dropped&& dropped, Oversized&& oversized) {
    using State = decltype(scan(std::string_view{}, size_t{}).state);
    size_t pos = 0;
    size_t next_resume = 0;
    while (pos < rbuf.size() && !broken) {
        std::string_view rest(rbuf.data() + pos, rbuf.size() - pos);
        auto sc = scan(rest, pos == 0 ? resume : 0);
        if (sc.state == State::NeedMore) {
            next_resume = sc.resume;
            break;
        }
        if (sc.state == State::Garbage) {
            dropped(sc.skip);
            pos += sc.skip;
            continue;
        }
        if (sc.state == State::Oversized) {
            oversized();
            rbuf.clear();
            resume = 0;
            return false;
        }
        const bool missing_etx = sc.state == State::MissingEtx;
        body(rest.substr(1, sc.length - (missing_etx ? 1 : 2)), missing_etx);
        pos += sc.length;
    }
    rbuf.erase(0, pos);
    resume = next_resume;
    return !broken;
}

// The same with a scanner called as scan(rest), starting afresh each time.
template <class ScanFn, class Body, class Dropped, class Oversized>
bool consume_stx_units(std::string& rbuf, const std::atomic<bool>& broken, ScanFn&& scan,
                       Body&& body, Dropped&& dropped, Oversized&& oversized) {
    size_t resume = 0;
    return consume_stx_units(
        rbuf, resume, broken, [&](std::string_view rest, size_t) { return scan(rest); },
        std::forward<Body>(body), std::forward<Dropped>(dropped),
        std::forward<Oversized>(oversized));
}

}  // namespace protocols::common
