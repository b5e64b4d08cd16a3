// "ThreadProcessInboundReceipts": turns the receipts whose far-end id still
// has to be resolved (".rct" files of the inbound store) into receipt
// records (".rec") that name the gateway's own message id, the submitting
// account and the original addresses; the inbound threads route those on.
//
// A receipt whose id is not (yet) in the tracking store waits: a fast SMSC
// may report a message before its submit response has been recorded. For
// ReceiptMatchWait seconds after its arrival it is tried again once new ids
// were recorded (backing off from 25 ms to 1 s between tries, and at least
// every second); after that it follows the
// receipt retry schedule (due after n minutes at retry count n) and, once
// its retry count exceeds 3, is passed on unmatched with the far end's id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/request_codec.h"

namespace inbound {

// Seconds a receipt waits for its submit response before the retry schedule
// takes over ([SMSGW] ReceiptMatchWait).
inline constexpr uint32_t kDefaultReceiptMatchWait = 60;
// Retry count beyond which an unmatched receipt is passed on unmatched.
inline constexpr uint32_t kReceiptMaxRetries = 3;

// What became of one ".rct" file.
enum class ReceiptOutcome {
    Matched,     // ".rec" with the gateway's id written, ".rct" removed
    Unmatched,   // retries used up: ".rec" with the far end's id written
    Waiting,     // not found yet, inside the wait: left as it is
    Retry,       // not found: retry count and time written into the file
    Refused,     // the "SMSIN" accounting refused it: removed
    Skipped,     // held by another thread, gone, or its retry time has not come
};

// The receipts one thread keeps waiting (no file is re-read until the
// tracking store has a new id or the fallback time has passed).
struct ReceiptWaits {
    struct Wait {
        uint64_t generation = 0;   // of the tracking store at the last try
        uint64_t last_try_ms = 0;
        uint64_t next_try_ms = 0;  // back-off: not before this, however much changed
        unsigned tries = 0;
    };
    // Whether the receipt at path is worth another look now.
    bool due(const std::string& path, uint64_t generation, uint64_t now_ms) const;
    std::unordered_map<std::string, Wait> files;
    // Receipts on the retry schedule: not read again before this time
    // (monotonic ms); a rewrite of the file by someone else is seen then.
    std::unordered_map<std::string, uint64_t> scheduled;
    ~ReceiptWaits();
    void schedule(const std::string& path, uint64_t at_ms);
    void forget(const std::string& path);
    void keep(const std::string& path, uint64_t generation, uint64_t now_ms);
};

// True while some receipt waits for its id (the registration of a new id
// then wakes the receipt threads).
bool receipts_waiting();

// The tracking store's link name for a receipt that arrived on link_name:
// "HTTP" for HTTP SMSC links, else the link's RouteName (the name the link
// worker registered its ids under).
std::string tracking_link_for(const store::SmsMessage& rct);

// The receipt text with the id after a leading "id:" replaced by our_id;
// other texts unchanged.
std::string replace_receipt_text_id(std::string_view text, std::string_view our_id);

// The "SMSIN" notification of a received receipt r (its sender, recipient,
// text, link and resolved id; far_id the id as the far end gave it), made
// with AccountingExtended only. Non-zero refuses the receipt.
uint32_t account_received_receipt(const store::SmsMessage& r, std::string_view far_id);

// Processes one ".rct" file (claimed for the time of the work).
ReceiptOutcome process_receipt_file(const std::string& path, ReceiptWaits& waits);

// One pass over the inbound store (and its batch subdirectories): every
// ".rct" file. Returns the number of files matched or passed on.
unsigned process_receipt_files(ReceiptWaits& waits);

// The thread body: passes until shutdown, waiting on the receipt event (at
// most 2000 ms) between them.
void ThreadProcessInboundReceipts();

// Thread starter: one receipt thread when EnableReceiptProcessing is on
// (default Yes), a second one when 2WaySMSThreadCount is above 1.
bool start_receipt_threads();

}  // namespace inbound
