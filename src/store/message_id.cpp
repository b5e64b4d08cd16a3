// Message-id counter with its UID.DAT persistence, the pseudo-random
// sequence and the 8-bit sequence number.
#include "store/message_id.h"

#include <cerrno>
#include <mutex>
#include <optional>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "store/store_state.h"
#include "support/directories.h"

namespace store {

namespace {

StoreState::Ids& id_state() {
    return store_state().ids;
}

std::mutex& save_lock() {
    return store_state().save_lock;
}

StoreState::Sequence& sequence_state() {
    return store_state().sequence;
}

std::optional<uint32_t> read_stored_counter() {
    auto bytes = platform::read_file(message_id_file_path(), 4);
    if (!bytes || bytes->size() < 4) return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes->data());
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

}  // namespace

std::string message_id_file_path() {
    return support::GetPrivateDataDirectory() + kMessageIdFileName;
}

namespace {

// Writes value to UID.DAT, synced, and records what it now covers. The
// caller holds the id lock, so no id is handed out against a value that is
// not on disk yet and no two writes of the file cross.
bool write_counter_locked(StoreState::Ids& s, uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    // Replaced as a whole: a torn write would leave fewer than 4 bytes and the
    // next start would fall back to the clock, which may repeat ids.
    if (!platform::replace_file_synced(message_id_file_path(),
                                       std::string_view(reinterpret_cast<const char*>(bytes), 4)))
        return false;
    s.stored = value;
    s.covered_until = value + kMessageIdRestartGap;
    return true;
}

// True when id lies at or beyond limit, counting around the 2^32 wrap.
bool at_or_beyond(uint32_t id, uint32_t limit) {
    return int32_t(id - limit) >= 0;
}

}  // namespace

uint32_t next_message_id() {
    StoreState::Ids& s = id_state();
    std::lock_guard<std::mutex> g(s.lock);
    uint32_t id;
    if (!s.counter_started) {
        s.stored = read_stored_counter();
        id = s.stored ? *s.stored + kMessageIdRestartGap : uint32_t(platform::now());
        s.counter_started = true;
    } else {
        id = s.counter + 1;
    }
    if (!s.covered_until || at_or_beyond(id, *s.covered_until)) {
        const int saved_errno = errno;
        if (write_counter_locked(s, id + kMessageIdReserve)) {
            s.reserve_failed = false;
        } else {
            // The id is still handed out (callers cannot wait for a disk), but
            // a crash before the next good write may repeat it; each later id
            // tries again.
            if (!s.reserve_failed)
                frame::debug_tracef("SaveMessageID", "Error %d reserving ids in %s", errno,
                                    message_id_file_path().c_str());
            s.reserve_failed = true;
        }
        errno = saved_errno;
    }
    s.counter = id;
    s.counter_used = true;
    return id;
}

bool save_message_id() {
    std::lock_guard<std::mutex> sg(save_lock());
    StoreState::Ids& s = id_state();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.counter_used) return true;
    if (s.stored && *s.stored == s.counter) return true;
    // The last id handed out: below no id of this run, so a restart after
    // this save cannot repeat one, and ids stay dense across a clean stop.
    if (!write_counter_locked(s, s.counter)) {
        frame::debug_tracef("SaveMessageID", "Error %d writing %s", errno,
                            message_id_file_path().c_str());
        return false;
    }
    return true;
}

uint32_t next_random_id() {
    StoreState::Ids& s = id_state();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.random_started) {
        s.random = uint32_t(platform::now());
        s.random_started = true;
    }
    s.random = s.random * 1345u + 9876543u;
    return s.random;
}

uint8_t next_sequence_number() {
    StoreState::Sequence& s = sequence_state();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started) {
        s.value = uint8_t(platform::now() & 0xFF);
        s.started = true;
    } else {
        ++s.value;
    }
    return s.value;
}

void register_message_id_duties() {
    frame::register_duty(frame::Duty::ThirtySeconds, "SaveMessageID", [] { save_message_id(); });
    frame::register_duty(frame::Duty::Shutdown, "SaveMessageID", [] { save_message_id(); });
}

}  // namespace store
