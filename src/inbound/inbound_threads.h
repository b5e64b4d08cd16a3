// The inbound threads ("ThreadProcessInboundSMS"): they take the messages
// and receipts the receive paths stored in the inbound store and route
// them: to local accounts, through long-message recombination, to the MMS
// side, and to the 2-way commands, keeping a file that could not be
// handled for a retry on the "2Way" schedule and archiving it as .BAD after
// the last one.
//
// How the threads share the work: every thread of a kind scans the same
// store in name (arrival) order and claims each file with an exclusive
// lock, so a file is handled by one thread only. Within one scan a thread
// handles at most kSenderShare files of any one sender and leaves the rest
// of that sender's files to the next scan, so that a storm of commands from
// one sender cannot hold back the others; every URL and program has its
// time-out, so no file holds a thread beyond it.
#pragma once

#include <string>
#include <string_view>

#include "frame/http_client.h"
#include "links/core/link_worker.h"
#include "store/request_codec.h"

namespace inbound {

enum class InboundKind : int {
    Extra = 0,     // an extra "*.IN" worker
    Primary = 1,   // the "*.IN" worker that also recombines long messages
    Receipts = 2,  // the "*.REC" worker
};

inline constexpr unsigned kSenderShare = 16;

// What became of one file.
enum class FileOutcome {
    Skipped,   // busy, unreadable, not due, or the sender's share is used up
    Routed,    // copied to a local account's queue
    Held,      // a segment held for recombination
    Consumed,  // every 2-way action done
    Archived,  // nothing consumed it: kept as .SMS (or archived as asked)
    MmsHandOff,
    Retry,  // an action or copy failed; retry record written
    Bad,    // retries exhausted: kept as .BAD
};

// Per-scan state of one thread.
struct ScanState {
    std::vector<std::pair<std::string, unsigned>> per_sender;
    frame::KeepAlive* keep_alive = nullptr;
};

// Handles one inbound file.
FileOutcome process_inbound_file(const std::string& path, InboundKind kind, ScanState& state);

// One scan of the inbound store for the kind's files; returns the files
// that were handled (not skipped). Kind Primary also recombines.
unsigned inbound_scan_pass(InboundKind kind, frame::KeepAlive* keep_alive = nullptr);

// Body of a "ThreadProcessInboundSMS" thread; returns at shutdown.
void ThreadProcessInboundSMS(InboundKind kind);

// Starts the primary and the receipt-record thread, and the further pairs
// 2WaySMSThreadCount asks for (empty: one more pair when [2Way-Keywords]
// has a Keyword1).
bool start_inbound_sms_threads();
unsigned inbound_thread_pairs();

// Registers the thread starter under frame::ThreadSlot::InboundSms.
void register_inbound_threads();

// Copies a record into a local account's queue as "<base>.req" ([SMS],
// RouteToLocalUser set). A copy that is already there (a retry after a
// crash) counts as made. False when it could not be written.
bool copy_to_user_queue(std::string_view user, const store::SmsMessage& msg,
                        std::string_view base_name);

// The account log line ("SMSReceive") and the outbound log line
// "OK -- LocalUser:<user>" of a message delivered to a local account.
void log_local_delivery(std::string_view user, const store::SmsMessage& msg,
                        std::string_view message_id);

// The copy for the 2-way commands of a message a local account took: into
// the inbound store with DuplicateMessageFor2Way=Yes ("Duplicating message
// (<tag>)"), as ".rec" for a receipt. False when it could not be written.
bool duplicate_for_two_way(const store::SmsMessage& msg, bool receipt, std::string_view tag);

// The queue pass's local delivery: a request whose recipient the inbound
// routing gives to a local account is copied into that account's queue
// (with DuplicateUserMessagesFor2Way, into the inbound store as well).
links::LocalDelivery deliver_locally(const std::string& request_path, const store::SmsMessage& msg);

}  // namespace inbound
