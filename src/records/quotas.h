// Per-account message quotas (yearly "%d.QTA" files), prepaid credits
// ("SMS.CTR"), outbound queue limits, "ThreadProcessUserQLimits" and
// "ThreadFlushCounters". The submission front ends check before they write
// request files and update after:
//
//   QuotaEntry* e = quota_entry(account);              // once per session/request
//   if (!QuotaTestAndCount(e, account, why, n, true)) refuse(why);
//   if (CreditOperation(e, account, &why, charge, CreditMode::Check) < 0) refuse(why);
//   if (QueueLimitReached(e, why)) refuse(why);
//   ... write the files ...
//   QuotaTestAndCount(e, account, why, written, false);
//   CreditOperation(e, account, nullptr, charge_written, CreditMode::Debit);
//
// The SMPP server debits with CreditMode::DebitIfCovered before it writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/quota_state.h"

namespace records {

inline constexpr int64_t kCreditUnit = 1000;        // thousandths per credit
inline constexpr int64_t kNoCreditLimit = 1000000;  // result without a credit file
inline constexpr const char* kLocalSystemAccount = "localsystem";
inline constexpr const char* kCreditFileName = "SMS.CTR";

// --- calendar and texts ---------------------------------------------------------

// Slot of a date in a quota file: days before the month + day - 1, + 1 in a
// leap year (year % 4 == 0) from March on. 0..365.
unsigned quota_slot(int year, int month, int day);
// Sum of the slots of every day of the month.
uint32_t quota_month_total(const std::array<uint32_t, kQuotaSlots>& counters, int year, int month);
// Credit text to thousandths: leading blanks skipped, optional "-", whole
// part, "." and up to three digits (more are ignored); "" is 1 credit.
int64_t parse_credit_text(std::string_view text);
// "%d", then "." and the fraction without trailing zeros (1500 -> "1.5").
std::string credit_text(int64_t thousandths);

// --- per-account state -----------------------------------------------------------

// The account's entry (name compared without case), created on first use.
QuotaEntry* quota_entry(std::string_view account);
// The entry when one exists, else nullptr.
QuotaEntry* find_quota_entry(std::string_view account);

// --- quotas ------------------------------------------------------------------------

// 1 allowed, 0 refused (refusal holds the text and the once-a-day warning
// has been raised). With check_only nothing is counted. entry may be null:
// the file is then opened, updated and closed at once.
int QuotaTestAndCount(QuotaEntry* entry, std::string_view account, std::string& refusal,
                      uint32_t messages, bool check_only);

// Counts messages already written (the update after a check): never
// refuses, so that no file that was written goes uncounted.
void QuotaCount(QuotaEntry* entry, std::string_view account, uint32_t messages);

// --- credits -------------------------------------------------------------------------

enum class CreditMode : int {
    Check = 1,           // nothing stored
    Debit = 2,           // always stored, a negative result as 0 (negative amount: adds)
    DebitIfCovered = 3,  // stored only when the result is not negative
};
// Balance minus amount (thousandths); kNoCreditLimit for "localsystem" and
// accounts without a credit file (or one that cannot be opened). A negative
// result with refusal given sets the text and raises the warning. Every
// stored change is written to the file before the call returns.
int64_t CreditOperation(QuotaEntry* entry, std::string_view account, std::string* refusal,
                        int64_t amount, CreditMode mode);
// Whole credits: -1 when the result is negative, else the result in whole
// credits (fraction dropped).
int64_t CreditOperationUnits(QuotaEntry* entry, std::string_view account, std::string* refusal,
                             int64_t credits, CreditMode mode);
bool credit_file_exists(std::string_view account);
// An empty "SMS.CTR" (reads as 0) unless one exists.
bool create_credit_file(std::string_view account);
bool remove_credit_file(std::string_view account);

// --- queue limits ----------------------------------------------------------------------

// 1 when the submission must wait (refusal holds the text), else 0. entry
// null: only the global limit applies.
int QueueLimitReached(QuotaEntry* entry, std::string& refusal);
// Account of an outbound queue subdirectory name: after "RT_-_<route>_-_"
// when present, else the name itself.
std::string queue_dir_account(std::string_view subdir);
// One walk of the outbound queue: every entry's running count cleared, the
// "*.REQ" files of each account's subdirectories added, then published.
void count_user_queues(const std::string& queue_root);

// --- flushing and threads ----------------------------------------------------------------

// Writes every changed quota and credit file and closes idle ones (at the
// first flush that finds a file unchanged, or after 9 flushes, 4 for an
// account directory on a share). closing_all: write and close everything.
void flush_quota_files(bool closing_all = false);
// Starters for the frame: "ThreadFlushCounters" (every 500 ms) and
// "ThreadProcessUserQLimits".
bool start_flush_counters_thread();
bool start_user_qlimits_thread();

}  // namespace records
