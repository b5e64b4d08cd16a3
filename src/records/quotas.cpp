// Quotas, credits and queue limits of the accounts: in-memory counters and
// balances per account, written back by "ThreadFlushCounters".
#include "records/quotas.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/accounts.h"
#include "support/ini_profile.h"

namespace records {

namespace {

constexpr unsigned kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr unsigned kDaysOfMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr size_t kQuotaFileSize = kQuotaSlots * 4;  // 1464
constexpr unsigned kMaxFlushesLocal = 9;
constexpr unsigned kMaxFlushesShare = 4;
constexpr uint64_t kOwnLimitsMaxAgeMs = 59000;
constexpr unsigned kFlushIntervalMs = 500;
constexpr const char* kQueueRoutePrefix = "RT_-_";
constexpr const char* kQueueRouteEnd = "_-_";

bool leap(int year) {
    return year % 4 == 0;
}

bool is_local_system(std::string_view account) {
    return platform::iequals(account, kLocalSystemAccount);
}

bool on_share(const std::string& path) {
    return path.size() >= 2 &&
           ((path[0] == '\\' && path[1] == '\\') || (path[0] == '/' && path[1] == '/'));
}

unsigned max_flushes(const std::string& path) {
    return on_share(path) ? kMaxFlushesShare : kMaxFlushesLocal;
}

// --- quota files -----------------------------------------------------------------------

bool write_quota_image(QuotaEntry& e) {
    unsigned char b[kQuotaFileSize];
    for (size_t i = 0; i < kQuotaSlots; ++i) {
        uint32_t v = e.quota_counters[i];
        for (int k = 0; k < 4; ++k) b[i * 4 + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    if (platform::pwrite_all(e.quota_fd.fd(), b, sizeof b, 0)) return true;
    frame::debug_tracef("FlushUserQuota", "Error %d writing %s", errno, e.quota_path.c_str());
    return false;
}

void close_quota_file(QuotaEntry& e) {
    e.quota_fd.close();
    e.quota_changed = false;
    e.quota_flushes = 0;
    e.quota_year = 0;
}

// Under quota_lock: the file of `year` open with its counters loaded.
bool open_quota_file(QuotaEntry& e, int year) {
    if (e.quota_fd && e.quota_year == year) return true;
    if (e.quota_fd) {
        // A new year: the old file keeps its final counts.
        if (e.quota_changed) write_quota_image(e);
        close_quota_file(e);
    }
    std::string path = frame::user_dir(e.name) + std::to_string(year) + ".QTA";
    platform::FileHandle fd = platform::open_with_retry(path, O_RDWR | O_CREAT, 0644, 0);
    if (!fd) {
        frame::debug_tracef("OpenUserQuota", "Error %d opening %s", errno, path.c_str());
        return false;
    }
    unsigned char b[kQuotaFileSize] = {};
    // A short file counts as zero-filled beyond its end.
    platform::pread_all(fd.fd(), b, sizeof b, 0);
    for (size_t i = 0; i < kQuotaSlots; ++i) {
        e.quota_counters[i] =
            static_cast<uint32_t>(b[i * 4]) | static_cast<uint32_t>(b[i * 4 + 1]) << 8 |
            static_cast<uint32_t>(b[i * 4 + 2]) << 16 | static_cast<uint32_t>(b[i * 4 + 3]) << 24;
    }
    e.quota_fd = std::move(fd);
    e.quota_path = std::move(path);
    e.quota_year = year;
    e.quota_changed = false;
    e.quota_flushes = 0;
    return true;
}

// Under quota_lock: the account's own non-zero limits (0 = none), from the
// account store at most once a minute.
void own_limits(QuotaEntry& e, uint32_t& day, uint32_t& month) {
    uint64_t now = platform::monotonic_ms();
    if (e.own_limits_ms == 0 || now - e.own_limits_ms > kOwnLimitsMaxAgeMs) {
        e.own_limit_day = e.own_limit_month = 0;
        support::UserFile users;
        support::UserRecord rec;
        if (support::SMSOpenUserFile(users) && support::SMSFindUserRecord(users, e.name, rec)) {
            e.own_limit_day = rec.message_limit_per_day;
            e.own_limit_month = rec.message_limit_per_month;
        }
        e.own_limits_ms = now ? now : 1;
    }
    day = e.own_limit_day;
    month = e.own_limit_month;
}

// --- credit files ------------------------------------------------------------------------

std::string credit_path(std::string_view account) {
    return frame::user_dir(account) + kCreditFileName;
}

void close_credit_file(QuotaEntry& e) {
    e.credit_fd.close();
    e.credit_changed = false;
    e.credit_flushes = 0;
}

// Under credit_lock: false when the account has no usable credit file.
bool open_credit_file(QuotaEntry& e) {
    if (e.credit_fd) return true;
    std::string path = credit_path(e.name);
    if (!platform::file_exists(path)) return false;
    platform::FileHandle fd = platform::open_file(path, O_RDWR);
    if (!fd) {
        frame::debug_tracef("OpenUserCredits", "Error %d opening %s", errno, path.c_str());
        return false;
    }
    unsigned char b[9] = {};
    size_t n = platform::pread_all(fd.fd(), b, sizeof b, 0);
    int64_t balance = 0;
    if (n == 8) {
        uint64_t v = 0;
        for (int k = 7; k >= 0; --k) v = v << 8 | b[k];
        balance = static_cast<int64_t>(v);
    } else if (n == 4) {
        uint32_t v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                     static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
        balance = static_cast<int64_t>(static_cast<int32_t>(v)) * kCreditUnit;
    }
    e.credit_fd = std::move(fd);
    e.credit_path = std::move(path);
    e.credit_balance = balance < 0 ? 0 : balance;
    e.credit_eight_bytes = n == 8;
    e.credit_changed = false;
    e.credit_flushes = 0;
    return true;
}

// Under credit_lock: the balance as the 8-byte form at offset 0. A file of
// another length is rewritten whole so that it ends after the 8 bytes.
bool write_credit_balance(QuotaEntry& e) {
    unsigned char b[8];
    uint64_t v = static_cast<uint64_t>(e.credit_balance);
    for (int k = 0; k < 8; ++k) b[k] = static_cast<unsigned char>(v >> (8 * k));
    bool ok = e.credit_eight_bytes
                  ? platform::pwrite_all(e.credit_fd.fd(), b, sizeof b, 0)
                  : platform::rewrite_in_place(
                        e.credit_fd.fd(), std::string_view(reinterpret_cast<char*>(b), sizeof b));
    if (ok) {
        e.credit_eight_bytes = true;
        return true;
    }
    frame::debug_tracef("WriteUserCredits", "Error %d writing %s", errno, e.credit_path.c_str());
    return false;
}

int64_t saturating_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

}  // namespace

// --- state -----------------------------------------------------------------------------

QuotaState& quota_state() {
    // Never destroyed: detached threads may still flush at exit.
    static QuotaState* s = new QuotaState;
    return *s;
}

void reset_quotas_for_tests() {
    QuotaState& s = quota_state();
    {
        std::lock_guard<std::mutex> lock(s.entries_lock);
        s.entries.clear();
    }
    {
        std::lock_guard<std::mutex> lock(s.pool_lock);
        s.pool.clear();
    }
    s.pool_reused.store(0);
    s.route_validator.store(nullptr);
}

QuotaEntry* find_quota_entry(std::string_view account) {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.entries_lock);
    for (auto& e : s.entries)
        if (platform::iequals(e->name, account)) return e.get();
    return nullptr;
}

QuotaEntry* quota_entry(std::string_view account) {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.entries_lock);
    for (auto& e : s.entries)
        if (platform::iequals(e->name, account)) return e.get();
    s.entries.push_back(std::make_unique<QuotaEntry>(std::string(account)));
    return s.entries.back().get();
}

namespace {
std::vector<QuotaEntry*> entry_snapshot() {
    QuotaState& s = quota_state();
    std::lock_guard<std::mutex> lock(s.entries_lock);
    std::vector<QuotaEntry*> out;
    out.reserve(s.entries.size());
    for (auto& e : s.entries) out.push_back(e.get());
    return out;
}
}  // namespace

// --- calendar and texts ----------------------------------------------------------------

unsigned quota_slot(int year, int month, int day) {
    if (month < 1 || month > 12 || day < 1) return 0;
    unsigned slot = kDaysBeforeMonth[month - 1] + unsigned(day) - 1;
    if (leap(year) && month > 2) ++slot;
    return std::min<unsigned>(slot, kQuotaSlots - 1);
}

uint32_t quota_month_total(const std::array<uint32_t, kQuotaSlots>& counters, int year, int month) {
    if (month < 1 || month > 12) return 0;
    unsigned days = kDaysOfMonth[month - 1] + (month == 2 && leap(year) ? 1 : 0);
    unsigned first = quota_slot(year, month, 1);
    uint64_t sum = 0;
    for (unsigned i = 0; i < days && first + i < kQuotaSlots; ++i) sum += counters[first + i];
    return static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
}

int64_t parse_credit_text(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return kCreditUnit;
    bool negative = false;
    if (text[i] == '-') {
        negative = true;
        ++i;
    }
    int64_t whole = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (whole < std::numeric_limits<int64_t>::max() / 10 / kCreditUnit)
            whole = whole * 10 + (text[i] - '0');
        ++i;
    }
    int64_t value = whole * kCreditUnit;
    if (i < text.size() && text[i] == '.') {
        ++i;
        static constexpr int64_t kWeights[3] = {100, 10, 1};
        for (int d = 0; d < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++d, ++i)
            value += (text[i] - '0') * kWeights[d];
    }
    return negative ? -value : value;
}

std::string credit_text(int64_t thousandths) {
    bool negative = thousandths < 0;
    uint64_t v = negative ? 0 - static_cast<uint64_t>(thousandths) : uint64_t(thousandths);
    // Built with append: "literal" + std::string trips GCC 12's -Wrestrict.
    std::string out = negative ? "-" : "";
    out.append(std::to_string(v / kCreditUnit));
    unsigned frac = static_cast<unsigned>(v % kCreditUnit);
    if (frac) {
        char buf[8];
        std::snprintf(buf, sizeof buf, ".%03u", frac);
        std::string f = buf;
        while (f.back() == '0') f.pop_back();
        out += f;
    }
    return out;
}

// --- quotas --------------------------------------------------------------------------------

int QuotaTestAndCount(QuotaEntry* entry, std::string_view account, std::string& refusal,
                      uint32_t messages, bool check_only) {
    const frame::GlobalSettings& s = frame::settings();
    if (is_local_system(account) || s.disable_user_quota) return 1;
    QuotaEntry& e = entry ? *entry : *quota_entry(account);
    platform::LocalTime now = platform::local_now();
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(e.quota_lock);
        uint32_t day_limit = s.default_msg_limit_per_day;
        uint32_t month_limit = s.default_msg_limit_per_month;
        // An account's own limits replace the defaults only when both are set.
        if (day_limit && month_limit) {
            uint32_t own_day, own_month;
            own_limits(e, own_day, own_month);
            if (own_day) day_limit = own_day;
            if (own_month) month_limit = own_month;
        }
        if (check_only && !day_limit && !month_limit) return 1;
        // A file that cannot be opened applies no limit.
        if (!open_quota_file(e, now.year)) return 1;
        unsigned slot = quota_slot(now.year, now.month, now.day);
        uint64_t today = e.quota_counters[slot];
        uint64_t month = quota_month_total(e.quota_counters, now.year, now.month);
        if (day_limit && today + messages > day_limit) {
            refusal = platform::strprintf(
                "Account %.*s:  message quota exceeded.  Account can send no more than %u "
                "messages per day.",
                int(account.size()), account.data(), day_limit);
            refused = true;
        } else if (month_limit && month + messages > month_limit) {
            refusal = platform::strprintf(
                "Account %.*s:  message quota exceeded.  Account can send no more than %u "
                "messages per month.",
                int(account.size()), account.data(), month_limit);
            refused = true;
        } else if (!check_only && messages) {
            e.quota_counters[slot] =
                static_cast<uint32_t>(std::min<uint64_t>(today + messages, UINT32_MAX));
            e.quota_changed = true;
            // A caller without a cache entry of its own gets the file written now.
            if (!entry && write_quota_image(e)) e.quota_changed = false;
        }
    }
    if (refused) {
        frame::debug_trace("QuotaTestAndCount", refusal);
        frame::report_quota_event(account, refusal);
        return 0;
    }
    return 1;
}

void QuotaCount(QuotaEntry* entry, std::string_view account, uint32_t messages) {
    if (is_local_system(account) || frame::settings().disable_user_quota || !messages) return;
    QuotaEntry& e = entry ? *entry : *quota_entry(account);
    platform::LocalTime now = platform::local_now();
    std::lock_guard<std::mutex> lock(e.quota_lock);
    if (!open_quota_file(e, now.year)) return;
    uint32_t& slot = e.quota_counters[quota_slot(now.year, now.month, now.day)];
    slot = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(slot) + messages, UINT32_MAX));
    e.quota_changed = true;
    if (!entry && write_quota_image(e)) e.quota_changed = false;
}

// --- credits ---------------------------------------------------------------------------------

int64_t CreditOperation(QuotaEntry* entry, std::string_view account, std::string* refusal,
                        int64_t amount, CreditMode mode) {
    if (is_local_system(account)) return kNoCreditLimit;
    QuotaEntry& e = entry ? *entry : *quota_entry(account);
    int64_t result;
    bool alert = false;
    {
        std::lock_guard<std::mutex> lock(e.credit_lock);
        if (!open_credit_file(e)) return kNoCreditLimit;
        result = saturating_sub(e.credit_balance, amount);
        if (result < 0 && refusal) {
            *refusal = platform::strprintf("Account %.*s:  credit limit exceeded.",
                                           int(account.size()), account.data());
            alert = true;
        }
        if (mode == CreditMode::Debit || (mode == CreditMode::DebitIfCovered && result >= 0)) {
            e.credit_balance = result < 0 ? 0 : result;
            e.credit_changed = true;
            // Money is written at every change: a crash loses no charge. A
            // failed write stays marked changed for the flush to retry.
            if (write_credit_balance(e) && !entry) e.credit_changed = false;
        }
    }
    if (alert) {
        frame::debug_trace("CreditOperation", *refusal);
        frame::report_quota_event(account, *refusal);
    }
    return result;
}

int64_t CreditOperationUnits(QuotaEntry* entry, std::string_view account, std::string* refusal,
                             int64_t credits, CreditMode mode) {
    int64_t amount;
    if (__builtin_mul_overflow(credits, kCreditUnit, &amount))
        amount =
            credits < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    int64_t r = CreditOperation(entry, account, refusal, amount, mode);
    return r < 0 ? -1 : r / kCreditUnit;
}

bool credit_file_exists(std::string_view account) {
    return platform::file_exists(credit_path(account));
}

bool create_credit_file(std::string_view account) {
    std::string path = credit_path(account);
    if (platform::file_exists(path)) return true;
    platform::create_intermediate_dirs(path);
    return platform::create_new_file(path, "") || platform::file_exists(path);
}

bool remove_credit_file(std::string_view account) {
    QuotaEntry* e = find_quota_entry(account);
    if (e) {
        std::lock_guard<std::mutex> lock(e->credit_lock);
        close_credit_file(*e);
        return platform::remove_file(credit_path(account));
    }
    return platform::remove_file(credit_path(account));
}

// --- queue limits -------------------------------------------------------------------------------

int QueueLimitReached(QuotaEntry* entry, std::string& refusal) {
    const frame::GlobalSettings& s = frame::settings();
    if (s.outbound_queue_limit && s.outbound_queue_limit < frame::sms_queue_size()) {
        refusal = "Please try again later.  Outbound message queue exceeds configured limits.";
        return 1;
    }
    if (!s.user_outbound_queue_limit || !entry) return 0;
    uint32_t limit = s.user_outbound_queue_limit;
    std::string own = support::SMSIniGetProfileString("UserOutboundQueueLimit", entry->name, "");
    if (!platform::trim(own).empty()) limit = frame::parse_number(own);
    if (limit && (limit < entry->queue_count.load() || limit < entry->queue_running.load())) {
        refusal = "Please try again later.  User outbound message queue is too large.";
        return 1;
    }
    return 0;
}

std::string queue_dir_account(std::string_view subdir) {
    if (subdir.size() > 5 && platform::iequals(subdir.substr(0, 5), kQueueRoutePrefix)) {
        size_t end = subdir.find(kQueueRouteEnd, 5);
        if (end != std::string_view::npos) return std::string(subdir.substr(end + 3));
    }
    return std::string(subdir);
}

void count_user_queues(const std::string& queue_root) {
    std::vector<QuotaEntry*> entries = entry_snapshot();
    for (QuotaEntry* e : entries) e->queue_running.store(0);
    std::string root = platform::with_trailing_slash(queue_root);
    platform::for_each_dir_item(root, [&](const platform::DirItem& item) {
        if (!item.info.is_dir || frame::shutdown_requested()) return;
        QuotaEntry* e = find_quota_entry(queue_dir_account(item.name));
        if (!e) return;
        e->queue_running.fetch_add(frame::count_queue_files(root + item.name + "/", "*.REQ"));
    });
    for (QuotaEntry* e : entries) e->queue_count.store(e->queue_running.load());
}

// --- flushing and threads ----------------------------------------------------------------------

void flush_quota_files(bool closing_all) {
    for (QuotaEntry* e : entry_snapshot()) {
        {
            std::lock_guard<std::mutex> lock(e->quota_lock);
            if (e->quota_fd) {
                bool was_changed = e->quota_changed;
                if (was_changed && write_quota_image(*e)) {
                    e->quota_changed = false;
                    ++e->quota_flushes;
                }
                if (closing_all || (!was_changed || e->quota_flushes >= max_flushes(e->quota_path)))
                    if (!e->quota_changed) close_quota_file(*e);
            }
        }
        {
            std::lock_guard<std::mutex> lock(e->credit_lock);
            if (e->credit_fd) {
                bool was_changed = e->credit_changed;
                if (was_changed && write_credit_balance(*e)) {
                    e->credit_changed = false;
                    ++e->credit_flushes;
                }
                if (closing_all ||
                    (!was_changed || e->credit_flushes >= max_flushes(e->credit_path)))
                    if (!e->credit_changed) close_credit_file(*e);
            }
        }
    }
}

bool start_flush_counters_thread() {
    return frame::start_thread("ThreadFlushCounters", [] {
        while (!frame::sleep_unless_shutdown(kFlushIntervalMs)) flush_quota_files();
    });
}

bool start_user_qlimits_thread() {
    return frame::start_thread("ThreadProcessUserQLimits", [] {
        for (;;) {
            const frame::GlobalSettings& s = frame::settings();
            unsigned wait_s = 1;
            if (s.user_outbound_queue_limit) {
                count_user_queues(s.q_dir);
                wait_s = s.user_outbound_queue_limit_interval ? s.user_outbound_queue_limit_interval
                                                              : 30;
            }
            if (frame::sleep_unless_shutdown(wait_s * 1000)) break;
        }
    });
}

}  // namespace records
