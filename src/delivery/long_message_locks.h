// Sending the segments of a long message: segment file names, the order in
// which a link takes them, the lock files that keep one message on one link,
// and the deferred deletion of those lock files.
//
// Queue directories are paths ending in '/'; file names are bare names as a
// directory scan returns them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace delivery {

// The fields of "SAR-<prefix><recipient>-<message number>-<total>-<seq>.<ext>".
// The last three fields are read from the right, so a recipient or prefix
// that itself holds '-' still names its message correctly.
struct SegmentName {
    std::string base;  // "SAR-<prefix><recipient>-<message number>"
    uint32_t message_number = 0;
    uint32_t total = 0;     // 1..255
    uint32_t sequence = 0;  // 1..total
    std::string ext;        // the extension's own spelling, without '.'
};

// True when file_name is a segment file name (case-insensitive "SAR-" and a
// ".req" extension, message number in hex, total and sequence in decimal
// with 1 <= sequence <= total <= 255).
bool parse_segment_name(std::string_view file_name, SegmentName& name);

// The file name of another segment of the same message.
std::string sibling_segment_name(const SegmentName& name, uint32_t sequence);

// "SAR-<prefix><recipient>-<message number>.LCK"
std::string long_message_lock_name(const SegmentName& name);

// Order: true when an earlier segment (1 .. sequence-1) of the same message
// and total is still in queue_dir, so this one must wait. False for files
// that are not segments.
bool earlier_segment_queued(const std::string& queue_dir, std::string_view file_name);

// After a segment was sent: the first of its later segments (sequence+1 ..
// total) still in queue_dir, to be processed next without the order check.
// The name found goes to the debug trace.
std::optional<std::string> CheckAdditionalLongMessageSegments(const std::string& queue_dir,
                                                              std::string_view file_name);

// --- the long-message lock -------------------------------------------------------

inline constexpr std::string_view kPendingPrefix = "Pending:";

// A lock file held open by a link between claiming a message and the outcome
// of sending one of its segments.
class LongMessageLock {
  public:
    LongMessageLock() = default;
    LongMessageLock(LongMessageLock&& o) noexcept = default;
    LongMessageLock& operator=(LongMessageLock&& o) noexcept;
    LongMessageLock(const LongMessageLock&) = delete;
    LongMessageLock& operator=(const LongMessageLock&) = delete;
    // Without finish(), the lock is closed as after a failure.
    ~LongMessageLock();

    bool held() const { return file_.valid(); }
    const std::string& path() const { return path_; }

    // After the send: on success a "Pending:" claim (or an empty file)
    // becomes this link's name; on failure the content stays. Either way the
    // file is closed and registered for the deferred deletion. Call it before
    // the sent segment file is removed, so that no other link sees the
    // message without its owner.
    void finish(bool sent);

  private:
    friend bool AcquireLongMessageLock(const std::string&, std::string_view, std::string_view,
                                       LongMessageLock&);
    platform::FileHandle file_;
    bool exclusive_ = false;  // holds flock(LOCK_EX) until finish()
    std::string path_;
    std::string dir_;
    std::string base_;
    std::string link_;
};

// The lock rule for a segment about to be sent by link_name. True: go on
// (lock holds the lock file, or nothing when file_name is no segment or
// DisableLongMessageSMSCCheck is set). False: pass the segment by.
// The lock file is opened and, when nobody else is sending, locked with
// flock(LOCK_EX) until finish():
//   this link's name, or "Pending:" + it        -> go on
//   another link's name                         -> pass by
//   empty, or "Pending:" + another link         -> write "Pending:" + link, go on
// While another worker holds it, only a message that already carries this
// link's name (not a "Pending:" claim) goes on, so two links never send
// segments of one message at the same time.
bool AcquireLongMessageLock(const std::string& queue_dir, std::string_view file_name,
                            std::string_view link_name, LongMessageLock& lock);

// --- deferred deletion of lock files ----------------------------------------------

// Entries younger than this are left alone by the per-second round.
inline constexpr uint64_t kLockCleanupAgeMs = 15000;

// Registers a lock file for deletion once no segment of its message is left
// (done by finish(); a path already registered has its age reset).
void register_long_message_lock(const std::string& queue_dir, const std::string& base);

// One round: every entry older than 15 s (every entry with all) is examined.
// When no "<base>-*.REQ" file of its message remains, the lock file is
// deleted (unless a link holds it at that instant); an entry whose lock file
// is gone is dropped, any other has its age reset. Returns the entries left.
size_t CleanupLongMessageLocks(bool all);

// Hands the rounds to the main loop: every second, and for all entries at
// shutdown.
void register_long_message_lock_duties();

// Tests: entries registered, and a replaceable millisecond clock (nullptr
// restores the monotonic clock). reset_delivery_for_tests() (delivery_state.h)
// forgets every entry.
size_t long_message_lock_entries();
void set_lock_cleanup_clock_for_tests(uint64_t (*now_ms)());

}  // namespace delivery
