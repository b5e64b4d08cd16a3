// Daily statistics counters: the global counters and queue-size gauges in
// PRIVATE/STATS/, the per-link yearly counters in PRIVATE/, their periodic
// flush and the today / 7-day / 30-day reports.
//
// A counter file is exactly 1464 bytes: 366 little-endian uint32 slots, slot
// i holding day-of-year i + 1 (leap years are the years divisible by 4). A
// gauge file uses slot 0 only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace records {

inline constexpr size_t kCounterSlots = 366;
inline constexpr size_t kCounterFileSize = kCounterSlots * 4;  // 1464
using CounterImage = std::array<uint32_t, kCounterSlots>;

// The global counters, numbered as their files are known.
enum class Counter : int {
    Submitted = 0,         // "SMSSUBMIT-%u.CTR"
    Sent = 1,              // "SMSSENT-%u.CTR"
    Received = 2,          // "SMSRECEIVED-%u.CTR"
    Failed = 3,            // "SMSFAILED-%u.CTR"
    Retried = 4,           // "SMSRETRY-%u.CTR"
    MmsInModem = 5,        // "MMSIN-MODEM-%u.CTR"
    OutQueueSize = 6,      // gauge "SMSQSIZE.CTR"
    InQueueSize = 7,       // gauge "SMSINQSIZE.CTR"
    ReceiptQueueSize = 8,  // gauge "SMSRCPTQSIZE.CTR"
};
inline constexpr int kGlobalCounterCount = 9;
bool is_gauge(Counter c);

// Per-link counter kinds; the number is the kind of the file name.
enum class LinkCounter : int { Sent = 0, Received = 1, Retry = 2, Failed = 3 };

// MMS routes keep their counters under this prefix before the route name:
// add_link_counter(kMmsRoutePrefix + route, ...).
inline constexpr std::string_view kMmsRoutePrefix = "MMSCROUTE--";

// --- calendar --------------------------------------------------------------

// Day of year 1..366 with the counter files' rule: day + days before the
// month, + 1 after February when year % 4 == 0. 0 for a month outside 1..12.
unsigned day_of_year(int year, int month, int day);
bool counter_leap_year(int year);  // year % 4 == 0
unsigned days_in_month(int year, int month);

// --- file names -------------------------------------------------------------

// Full path of a global counter's file for a year (gauges ignore the year).
std::string global_counter_path(Counter c, int year);
// Full path of a link counter file: private data directory + the link name
// with ':', '/', '\' turned into '-', "-<year>", the kind suffix, ".CTR".
std::string link_counter_path(std::string_view link_name, LinkCounter kind, int year);

// --- global counters ---------------------------------------------------------

// Adds to today's slot (slot 0 of a gauge). A counter whose file cannot be
// opened is not counted. Sums saturate at 0xFFFFFFFF.
void add_counter(Counter c, uint32_t amount = 1);
// Subtracts from today's slot (slot 0 of a gauge), stopping at 0.
void subtract_counter(Counter c, uint32_t amount = 1);
// Today's value (a gauge's current value); 0 when the file cannot be opened.
uint32_t counter_today(Counter c);

// --- link counters ------------------------------------------------------------

void add_link_counter(std::string_view link_name, LinkCounter kind, uint32_t amount = 1);
uint32_t link_counter_today(std::string_view link_name, LinkCounter kind);
// The link's count since the last day-of-month start_day (the monthly credit
// period): today's count when start_day is today; otherwise from start_day of
// this month (start_day before today) or of the previous month, through
// today. start_day 0 counts as 1 and values above 31 as 31.
uint32_t link_period_sum(std::string_view link_name, LinkCounter kind, unsigned start_day);

// --- reports -----------------------------------------------------------------

struct CounterReport {
    uint32_t today = 0;
    uint32_t last7 = 0;   // the 7 days ending today
    uint32_t last30 = 0;  // the 30 days ending today
};
// A yearly counter known by its path around the year: path_before_year +
// "<year>" + path_after_year. Days missing at the start of the year come from
// the end of the previous year's file. Unflushed counts are included.
CounterReport report_counter(std::string_view path_before_year, std::string_view path_after_year);
// A gauge file: all three figures are slot 0.
CounterReport report_gauge(const std::string& path);
CounterReport report_global(Counter c);
CounterReport report_link(std::string_view link_name, LinkCounter kind);

// --- lifecycle -------------------------------------------------------------

// Start-up: deletes the three gauge files, closes every global counter, then
// counts the "*.REQ" files of the outbound queue tree (none whose name, or
// whose directory's name, begins with "MMSQ__") into the outbound queue gauge,
// the inbound directory's "*.IN" and "*.REC" files into the inbound gauge and
// its "*.RCT" files into the receipt gauge.
void init_stat_counters(const std::string& queue_root, const std::string& inbound_dir);
// Every second: writes each changed image whole at offset 0; closes link
// files unused and unchanged for more than 300 seconds.
void flush_stat_counters();
// Shutdown: flushes and closes every counter file.
void close_stat_counters();

// Reads a counter file image; a missing or short file reads as zeros (the
// file is left alone). For administration and tests.
CounterImage read_counter_file(const std::string& path);

}  // namespace records
