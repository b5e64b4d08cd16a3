// Bulk queue intake ("ThreadProcessBulkQ"): expands batch directories of
// message templates and recipient lists into ordinary request files, at a
// pace the outbound queue directories can absorb.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/queue_dirs.h"

namespace store {

// Most templates (segments) one batch may have.
inline constexpr unsigned kMaxBulkTemplates = 99;
// Passes over a batch's lists within one round.
inline constexpr unsigned kBulkPasses = 20;
// Placeholder in list file names replaced by the template number.
inline constexpr std::string_view kTemplateCounter = "@@CTR@@";

// One line of a recipient list:
// "<file name>=<phone number>[;<route>][;UserData=<text>]".
struct BulkRecipient {
    std::string file_name;  // may hold "@@CTR@@"
    std::string phone;
    std::string route;      // empty: none
    std::string user_data;  // empty: none
};

// Splits a list line. False for a line without "=", and for one that would
// make a bad request file: an empty or unsafe file name ('/', a leading
// '.', longer than a file name may be), an empty phone number, or control
// characters in any part.
bool parse_bulk_line(std::string_view line, BulkRecipient& out);

// The file name with every "@@CTR@@" replaced by k.
std::string expand_bulk_name(std::string_view name, unsigned k);

// The request file for one recipient: the template (line-terminated), then
// "PhoneNumber=", and "SMSCRoute=" / "UserData=" when given.
std::string bulk_request_text(std::string_view tmpl, const BulkRecipient& r);

// Start time of a "QDelay-YYYYMMDDhhmm.FLG" flag; nullopt without the 12
// digits.
std::optional<frame::ScheduledTime> parse_qdelay_flag(std::string_view name);

// Request files a target directory may hold before expansion waits: half of
// MaxQDirEntries (0 counts as 10000), or 2 when MaxQDirEntries is 3 or less.
uint32_t bulk_pace_limit(uint32_t max_q_dir_entries);

// What one look at a batch did.
enum class BatchResult {
    NoLists,        // no "R*.BLK" file (and none expanded while building): nothing to do
    Scheduled,      // its "QDelay" time lies ahead
    Busy,           // another bulk thread holds "LOCK.LCK"
    TemplateError,  // no template, or one that exists cannot be read: lists kept
    Expanded,       // lists consumed; the batch is still being built or lists remain
    Complete,       // expanded and removed
    Link,           // a symbolic link, not a batch: never followed, left alone (traced once)
};

// Expands one batch directory (path ending in '/'). Each list goes to one
// "####%04X" directory of the outbound queue; "<list>.POS" beside the list
// records that directory and how far the list got, so that after a crash
// the list resumes there. A batch whose lists were all expanded while its
// writer still held "BUILD.LCK" keeps "EXPANDED.FLG" until it is finished.
BatchResult process_bulk_batch(const std::string& batch_dir);

// One round over every batch of the bulk queue directory.
void process_bulk_queue_round();

// Body of "ThreadProcessBulkQ": rounds 1000 ms apart until shutdown.
void ThreadProcessBulkQ();

// Starts the three "ThreadProcessBulkQ" threads; false when one could not be
// started.
bool start_bulk_queue_threads();

// Pause between two counts of a full target directory (1000 ms; tests
// shorten it).
void set_bulk_pace_wait_ms(unsigned ms);

}  // namespace store
