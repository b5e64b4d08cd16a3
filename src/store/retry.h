// Retry schedule and error queue: when a failed message is due again, how a
// failed attempt is recorded in its request file, how a message is failed
// into the error queue or moved to another route, the link start retry
// schedule, the receipt-file retry test and the hourly file-retention sweep.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "records/message_log.h"
#include "store/request_file.h"

namespace store {

// --- parameters ---------------------------------------------------------------

// Message retry parameters of one link. Each is read from the link's section,
// then [SMSGW]; empty in both gives the default; present but not a number
// reads as 0.
struct RetrySchedule {
    uint32_t retry_delay = 30;        // RetryDelay, seconds
    uint32_t multiplier = 1;          // RetryDelayMultiplier, 0 = constant delay
    uint32_t after_attempts = 2;      // RetryDelayAfterAttempts
    uint32_t delay_max = 0;           // RetryDelayMax, seconds, 0 = no cap
    uint32_t max_attempts = 20;       // RetryMaxAttempts
    uint32_t max_age_minutes = 1440;  // RetryMaxAge
};
RetrySchedule read_retry_schedule(std::string_view link_name);

// Link start (reconnect) parameters of one link, same lookup rules.
struct InitRetrySchedule {
    bool delay_set = false;       // InitRetryDelay is non-empty somewhere
    uint32_t delay = 0;           // InitRetryDelay, seconds
    uint32_t multiplier = 1;      // InitRetryDelayMultiplier
    uint32_t after_attempts = 1;  // InitRetryDelayAfterAttempts
    uint32_t delay_max = 300;     // InitRetryDelayMax, seconds
};
InitRetrySchedule read_init_retry_schedule(std::string_view link_name);

// --- message retry due ----------------------------------------------------------

// Seconds to wait after the n-th failure (n >= 1); 0 for n = 0.
uint64_t retry_delay_seconds(const RetrySchedule& s, uint32_t n);

// A message with retry count n whose last failure was at local time last is
// due at now: at once for n = 0 or a last time of year 0, else at or after
// last + retry_delay_seconds(n).
bool message_retry_due(const RetrySchedule& s, uint32_t n, const MessageTime& last, time_t now);
// The same with the link's settings and the current time.
bool message_retry_due(std::string_view link_name, uint32_t n, const MessageTime& last);

// --- retry decision -------------------------------------------------------------

// How the link's error classification sees a failure.
enum class ErrorClass {
    Retryable,    // retried while attempts remain
    AlwaysRetry,  // queue full / throttled: retried whatever the count, until RetryMaxAge
    Final,        // permanent at once (bad source or destination address ...)
    Reject,       // one of the link's reject codes: permanent at once
};

// True when a failure of class cls for a message with retry count n, whose
// file was created at `created`, may be retried at `now`. age_limit false
// skips the RetryMaxAge test (modem links have none).
bool retry_allowed(const RetrySchedule& s, ErrorClass cls, uint32_t n, time_t created, time_t now,
                   bool age_limit = true);

// --- hooks filled by later modules ---------------------------------------------------

// The accounting callback made for every outcome ("SMSOut"): the message,
// its id (request file name without extension), the status text that was
// logged and the link name.
using AccountingHook = void (*)(const SmsMessage& msg, std::string_view message_id,
                                std::string_view status, std::string_view link_name);
// Generates the failure receipt of a message that asked for one; error_code
// is the link's status (0 when none is known).
using FailureReceiptHook = void (*)(const std::string& request_path, const SmsMessage& msg,
                                    std::string_view link_name, std::string_view error_text,
                                    uint32_t error_code);
// Route validation (a Modem<n> value or a link's RouteName); the default
// walks the Modem<n> entries of [SMSGW] without tracing.
using RouteValidator = bool (*)(std::string_view route);

// nullptr restores the default (no-op hooks, the built-in validator).
void set_accounting_hook(AccountingHook fn);
void set_failure_receipt_hook(FailureReceiptHook fn);
void set_route_validator(RouteValidator fn);
// The installed accounting hook (nullptr when none); link workers call it
// for the outcomes they log themselves.
AccountingHook accounting_hook();
bool default_route_validator(std::string_view route);

// --- recording a failure -----------------------------------------------------------

// One failed delivery of a claimed request file.
struct FailedMessage {
    int fd = -1;                      // the claimed file, open read/write
    std::string path;                 // its full path
    const SmsMessage* msg = nullptr;  // the loaded record
    std::string link_name;            // the link that tried
    std::string route_name;           // that link's route name (message log)
    std::string error_text;           // empty is logged as "ERROR"
    uint32_t error_code = 0;          // the link's status, for the failure receipt
};

// Request file name without directory and extension (the message id).
std::string message_id_of(std::string_view path);

// The content items of a message's log line; the views point into msg.
records::LogContent log_content(const SmsMessage& msg);

// The request file text with its [ErrorDetail] section replaced by a new one
// for retry count n (set_error_detail): RetryCount n, LastRetryTime when and
// LastErrorInfo "<error text or ERROR> -- <link name>". Returns the offset
// where the old and new texts differ in *cut (the unchanged prefix length).
std::string error_detail_text(std::string_view content, uint32_t n, const MessageTime& when,
                              std::string_view error_text, std::string_view link_name,
                              size_t* cut = nullptr);

// Records a retryable failure: counts the first retry of the message
// ("SMSRETRY" and the link's retry counter), rewrites the [ErrorDetail]
// section with RetryCount n + 1 (keeping the file's age), writes the
// "Retry Pending - ..." log line and makes the accounting callback. False
// when the file could not be rewritten.
bool record_failed_attempt(const FailedMessage& m);

// When the rewrite fails the new count and time are kept in memory for the
// file (traced), and LoadSMSMessage hands them out for it, so the message
// still backs off and its attempts still count.
// Puts a retry record kept in memory for the file open on fd into msg, when
// there is one and the file is still as it was when the record was kept.
void apply_remembered_retry(int fd, SmsMessage& msg);

// What fail_message did.
enum class FailResult {
    Rerouted,       // moved to the link's ReRouteOnError route; the caller closes it
    Failed,         // logged, reported, copied to the error queue; the caller deletes it
    RerouteFailed,  // ReRouteOnError named a valid route but the move failed; then failed
    CopyFailed,     // the error-queue copy could not be made: nothing logged, reported or
                    // counted; the caller keeps the file for a later pass
};

// Fails a message for good: moves it to the link's ReRouteOnError route when
// that route is valid, else copies it to the error queue and, once the copy
// exists (or the error queue is off), logs, reports, asks for a failure
// receipt and counts it. The request file itself is left to the caller.
FailResult fail_message(const FailedMessage& m);

// Copies the open request file (from its start) to the same path with the
// extension ".ERR" unless ErrorQRetainDays turns the error queue off.
// Returns the copy's path, or empty when none was made.
std::string copy_to_error_queue(int fd, const std::string& path);
// True when ErrorQRetainDays (text) keeps error copies: not when it starts
// with "0" and reads as 0.
bool error_queue_enabled(std::string_view retain_days);
// path with its extension replaced by ".ERR" (appended when the file name
// has no '.').
std::string error_copy_path(std::string_view path);

// Moves the claimed request file to route: rewrites it without its
// [ErrorDetail] section and with "SMSCRoute=<route>", gives it a fresh age,
// and when it lies in a route queue directory ("RT_-_<route>_-_") puts it
// into the new route's queue directory. Returns the file's new path (empty
// on failure).
std::string move_to_route(int fd, const std::string& path, std::string_view route);
// The text of a moved message: without its [ErrorDetail] section, every
// SMSCRoute line replaced by one "SMSCRoute=<route>" at the end.
std::string rerouted_text(std::string_view content, std::string_view route);
// path with the route part of its "RT_-_<route>_-_" level replaced; path
// itself when it lies in no route queue directory.
std::string route_queue_path(const std::string& path, std::string_view route);

// --- link start and receipt retries ----------------------------------------------------

// Time (seconds) at which link start attempt number n + 1 may begin after
// n failed attempts.
time_t link_start_retry_time(const InitRetrySchedule& s, uint32_t n, time_t now);
time_t link_start_retry_time(std::string_view link_name, uint32_t n);

// A receipt file with retry count n and last retry time last is due at now
// when n = 0 or now >= last + n minutes.
bool receipt_retry_due(uint32_t n, const MessageTime& last, time_t now);

// --- hourly sweep -------------------------------------------------------------------------

// Deletes files matching pattern below dir (subdirectories too) whose
// modification time is before cutoff; files held by a live holder and
// "HTTPSMSIN.DB" stay. With pattern "*" or "*.*" emptied subdirectories
// and the emptied dir itself are removed too. Each deletion is traced as
// "DeleteFilesOlderThan". Returns the number of files deleted.
unsigned DeleteFilesOlderThan(const std::string& dir, std::string_view pattern, time_t cutoff);

// The hourly retention sweep over the queue and data directories.
void hourly_sweep();

// Local time <-> seconds since the epoch for the [ErrorDetail] stamps.
time_t message_time_to_epoch(const MessageTime& t);
MessageTime epoch_to_message_time(time_t t);

}  // namespace store
