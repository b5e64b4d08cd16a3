// Per-worker and gateway-wide controls around sending: the skip queue, the
// queue-full hold per recipient, the send-limit pacer with the gateway-wide
// throttle, and the list of throttled files to submit again first.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace links {

// --- skip queue ----------------------------------------------------------------------

// File names a worker has seen belong to other links, so that later passes
// pass them by without opening them. Owned by one worker thread (no lock).
// Only active with UseExperimentalLogic and without OldRoutingLogic; the
// caller tests skip_queue_enabled().
class SkipQueue {
  public:
    static constexpr size_t kMaxName = 47;  // longer names are not stored
    static constexpr size_t kGrowStep = 1000;

    // Start of a pass: every seen flag cleared.
    void begin_pass();
    // Binary search of the sorted part (exact, case-sensitive); a hit marks
    // the entry seen.
    bool contains(std::string_view name);
    // Appends (seen) unless too long; grows by kGrowStep when full, tracing
    // "Debug:  SkipQSize = %u, SkipQCount = %u" under "SkipQAdd". A failure
    // to grow empties the queue.
    void add(std::string_view name);
    // End of a pass without connection error ("SkipQClean"): drops entries
    // not seen, shrinks the capacity to count + kGrowStep when smaller
    // (same trace), sorts and makes every entry searchable.
    void clean();
    // Releases everything ("SkipQFree": "Enter", "Exit").
    void free();

    size_t count() const { return entries_.size(); }
    size_t capacity() const { return capacity_; }
    size_t searchable() const { return sorted_; }

  private:
    struct Entry {
        std::string name;
        bool seen = false;
    };
    std::vector<Entry> entries_;
    size_t capacity_ = 0;
    size_t sorted_ = 0;
};
// [SMSGW] UseExperimentalLogic and not OldRoutingLogic.
bool skip_queue_enabled();

// --- queue-full hold -----------------------------------------------------------------------

// Key recipient + "**" + link name in the route cache table, value the held
// file's path relative to the queue root. Only with RMSGQFULByNumber.
std::string queue_full_key(std::string_view recipient, std::string_view link_name);
// After a queue-full answer for this file (an existing entry is kept).
void queue_full_hold(std::string_view recipient, std::string_view link_name,
                     std::string_view relative_file);
// Before taking a message: true when another file, still in the queue
// (queue_root + its relative path exists), holds the recipient on this link;
// an entry whose file is gone is deleted (false).
bool queue_full_held(std::string_view recipient, std::string_view link_name,
                     std::string_view relative_file, const std::string& queue_root);

// --- send pacing -------------------------------------------------------------------------

// Waits before a submit until the link's send-limit interval has passed
// since this pacer's previous submit, then until MessageThrottleDelay ms
// have passed since the previous submit anywhere in the gateway (that test
// and the update of the shared time under one lock). While waiting, service()
// is called about every millisecond (SMPP links keep their session
// serviced; it returns false when the link was lost, which ends the wait
// early with false). Other kinds pass an empty function and just yield.
class SendPacer {
  public:
    void set_interval_ms(uint32_t ms) { interval_ms_ = ms; }
    uint32_t interval_ms() const { return interval_ms_; }
    bool wait(const std::function<bool()>& service, const std::function<bool()>& stop);

  private:
    uint32_t interval_ms_ = 0;
    uint64_t last_ms_ = 0;
    bool have_last_ = false;  // no interval before the first submit
};
// Tests: forget the gateway-wide last submit time.
void reset_global_throttle_for_tests();

// --- throttle resubmit list ----------------------------------------------------------------

// Files whose asynchronous submit was throttled, to be taken first in the
// next pass; each at most 5 times. Per link worker, guarded by its own lock
// (helpers add, the worker takes).
class ThrottleResubmitList {
  public:
    static constexpr unsigned kMaxResubmits = 5;
    // Adds path with count resubmits + 1 ("AddToThrottleResubmitQ"); false
    // when it was already resubmitted 5 times ("ThrottleResubmitQCoun
    // Exceeded" and the file name in the debug trace) or is already listed.
    bool add(const std::string& path, unsigned resubmits);
    // Takes the listed files in order ("CheckThrottleResubmitQ"); each with
    // its count.
    std::vector<std::pair<std::string, unsigned>> take_all();
    // "isThrottleResubmit": the count a file was listed with (0: none).
    unsigned resubmits_of(const std::string& path) const;
    // The file left the queue (sent or failed for good): its count is dropped.
    void forget(const std::string& path);
    size_t size() const;

  private:
    mutable std::mutex mu_;
    std::vector<std::pair<std::string, unsigned>> pending_;
    std::unordered_map<std::string, unsigned> counts_;  // every file ever listed, until sent
};

}  // namespace links
