// Retry bookkeeping of failed messages, the error queue, moves to another
// route, the reconnect schedule of links and the hourly retention sweep.
#include "store/retry.h"

#include <cerrno>

#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/store_state.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace store {

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kLockRetainSeconds = 120 * 60;
constexpr uint32_t kDefaultSmppDataRetainDays = 15;
constexpr uint32_t kDefaultErrorQRetainDays = 3;
constexpr uint32_t kDefaultAttachTimeoutMinutes = 120;
constexpr int kMaxSweepDepth = 32;
// Link start delays without InitRetryDelay grow by this much per failure.
constexpr uint32_t kInitRetryStep = 20;

// A retry parameter: the link's section, then [SMSGW]; empty in both gives
// the default, a value without digits reads as 0.
uint32_t retry_param(const std::string& section, std::string_view key, uint32_t def) {
    std::string v(platform::trim(frame::link_string(section, key, "")));
    if (v.empty()) return def;
    return frame::parse_number(v);
}

std::string section_of(std::string_view link_name) {
    return link_name.empty() ? std::string() : frame::link_section_name(link_name);
}

std::string error_or_default(std::string_view e) {
    return e.empty() ? "ERROR" : std::string(e);
}

void log_outcome(const FailedMessage& m, std::string_view status) {
    const SmsMessage& msg = *m.msg;
    std::string id = message_id_of(m.path);
    records::write_outbound_log(id, msg.submitted_by, msg.phone_number, status, log_content(msg),
                                msg.submit_user, "", msg.sender, m.route_name);
    if (AccountingHook hook = store_state().accounting.load()) hook(msg, id, status, m.link_name);
}

std::string base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool is_all_pattern(std::string_view pattern) {
    return pattern == "*" || pattern == "*.*";
}

unsigned sweep(const std::string& dir, std::string_view pattern, time_t cutoff, bool remove_dirs,
               int depth) {
    if (depth > kMaxSweepDepth) return 0;
    std::vector<std::pair<std::string, bool>> entries;
    platform::for_each_dir_item(dir, [&](const platform::DirItem& e) {
        if (e.info.is_dir) {
            entries.emplace_back(e.name, true);
        } else if (e.info.is_regular && e.info.mtime < cutoff &&
                   platform::wildcard_match(pattern, e.name) &&
                   !platform::iequals(e.name, "HTTPSMSIN.DB")) {
            entries.emplace_back(e.name, false);
        }
    });
    unsigned deleted = 0;
    for (const auto& [name, is_dir] : entries) {
        std::string full = dir + name;
        if (is_dir) {
            std::string sub = full + "/";
            deleted += sweep(sub, pattern, cutoff, remove_dirs, depth + 1);
            if (remove_dirs) platform::remove_dir(full);  // fails while anything is left
            continue;
        }
        // A file its holder keeps locked is in use: it stays, as an open
        // file without delete sharing would.
        if (!platform::file_exists(full)) continue;
        if (platform::remove_if_stale(full)) {
            frame::debug_trace("DeleteFilesOlderThan", full);
            ++deleted;
        }
    }
    return deleted;
}

std::string child_dir(const std::string& parent, std::string_view name) {
    if (auto found = platform::find_name_nocase(parent, name)) return parent + *found + "/";
    return parent + std::string(name) + "/";
}

}  // namespace

// --- parameters --------------------------------------------------------------------

RetrySchedule read_retry_schedule(std::string_view link_name) {
    const std::string sec = section_of(link_name);
    RetrySchedule s;
    s.retry_delay = retry_param(sec, "RetryDelay", s.retry_delay);
    s.multiplier = retry_param(sec, "RetryDelayMultiplier", s.multiplier);
    s.after_attempts = retry_param(sec, "RetryDelayAfterAttempts", s.after_attempts);
    s.delay_max = retry_param(sec, "RetryDelayMax", s.delay_max);
    s.max_attempts = retry_param(sec, "RetryMaxAttempts", s.max_attempts);
    s.max_age_minutes = retry_param(sec, "RetryMaxAge", s.max_age_minutes);
    return s;
}

InitRetrySchedule read_init_retry_schedule(std::string_view link_name) {
    const std::string sec = section_of(link_name);
    InitRetrySchedule s;
    std::string d(platform::trim(frame::link_string(sec, "InitRetryDelay", "")));
    s.delay_set = !d.empty();
    s.delay = s.delay_set ? frame::parse_number(d) : 0;
    s.multiplier = retry_param(sec, "InitRetryDelayMultiplier", s.multiplier);
    s.after_attempts = retry_param(sec, "InitRetryDelayAfterAttempts", s.after_attempts);
    s.delay_max = retry_param(sec, "InitRetryDelayMax", s.delay_max);
    return s;
}

// --- times -------------------------------------------------------------------------

time_t message_time_to_epoch(const MessageTime& t) {
    struct tm tm {};
    tm.tm_year = int(t.year) - 1900;
    tm.tm_mon = int(t.month) - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return ::mktime(&tm);
}

MessageTime epoch_to_message_time(time_t t) {
    platform::LocalTime lt = platform::to_local(t);
    MessageTime m;
    m.year = uint16_t(lt.year);
    m.month = uint16_t(lt.month);
    m.day_of_week = uint16_t(lt.weekday);
    m.day = uint16_t(lt.day);
    m.hour = uint16_t(lt.hour);
    m.minute = uint16_t(lt.minute);
    m.second = uint16_t(lt.second);
    m.millisecond = 0;
    return m;
}

// --- message retry due -------------------------------------------------------------

uint64_t retry_delay_seconds(const RetrySchedule& s, uint32_t n) {
    if (n == 0) return 0;
    uint32_t a = s.after_attempts >= 1 ? s.after_attempts - 1 : 0;
    if (n <= a) return 0;
    uint64_t d = s.multiplier != 0 ? uint64_t(s.multiplier) * (n - a) * s.retry_delay
                                   : uint64_t(s.retry_delay);
    if (s.delay_max != 0 && s.delay_max < d) d = s.delay_max;
    return d;
}

bool message_retry_due(const RetrySchedule& s, uint32_t n, const MessageTime& last, time_t now) {
    if (n == 0 || last.year == 0) return true;
    time_t t = message_time_to_epoch(last);
    if (t == time_t(-1)) return true;
    uint64_t d = retry_delay_seconds(s, n);
    // Beyond any real time stamp: never due (and no overflow).
    if (d > uint64_t(INT32_MAX) * 64) return false;
    return now >= t + time_t(d);
}

bool message_retry_due(std::string_view link_name, uint32_t n, const MessageTime& last) {
    if (n == 0 || last.year == 0) return true;
    return message_retry_due(read_retry_schedule(link_name), n, last, platform::now());
}

bool retry_allowed(const RetrySchedule& s, ErrorClass cls, uint32_t n, time_t created, time_t now,
                   bool age_limit) {
    if (cls == ErrorClass::Reject) return false;
    if (age_limit && created + time_t(s.max_age_minutes) * 60 < now) return false;
    if (cls == ErrorClass::AlwaysRetry) return true;
    if (cls == ErrorClass::Final) return false;
    return uint64_t(n) + 1 <= s.max_attempts;
}

// --- hooks -------------------------------------------------------------------------

void set_accounting_hook(AccountingHook fn) {
    store_state().accounting.store(fn);
}

AccountingHook accounting_hook() {
    return store_state().accounting.load();
}
void set_failure_receipt_hook(FailureReceiptHook fn) {
    store_state().failure_receipt.store(fn);
}
void set_route_validator(RouteValidator fn) {
    store_state().route_validator.store(fn);
}

bool default_route_validator(std::string_view route) {
    return frame::link_or_route_exists(route);
}

// --- recording a failure -----------------------------------------------------------

std::string message_id_of(std::string_view path) {
    std::string name = base_name(path);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

records::LogContent log_content(const SmsMessage& m) {
    records::LogContent c;
    c.binary = m.binary;
    c.pid = m.pid;
    c.dcs = m.dcs;
    c.udh = m.udh;
    c.data = m.data;
    return c;
}

std::string error_detail_text(std::string_view content, uint32_t n, const MessageTime& when,
                              std::string_view error_text, std::string_view link_name,
                              size_t* cut) {
    ErrorDetail d;
    d.retry_count = n;
    d.last_retry_time = when;
    d.last_error_info = error_or_default(error_text) + " -- " + std::string(link_name);
    return set_error_detail(content, d, cut);
}

namespace {

constexpr size_t kMaxRememberedRetries = 10000;
constexpr time_t kRememberSeconds = 2 * kSecondsPerDay;

using FileKey = std::pair<uint64_t, uint64_t>;

std::optional<std::pair<FileKey, uint64_t>> key_of(int fd) {
    std::optional<platform::FileInfo> st = platform::stat_fd(fd);
    if (!st) return std::nullopt;
    return std::make_pair(FileKey{st->device, st->inode}, st->size);
}

void forget_retry(int fd) {
    StoreState& s = store_state();
    if (s.retry_memo_size.load() == 0) return;
    auto key = key_of(fd);
    if (!key) return;
    std::lock_guard<std::mutex> g(s.retry_memo_lock);
    s.retry_memo.erase(key->first);
    s.retry_memo_size.store(s.retry_memo.size());
}

void remember_retry(int fd, uint32_t file_count, uint32_t count, const MessageTime& when) {
    auto key = key_of(fd);
    if (!key) return;
    StoreState& s = store_state();
    const time_t now = platform::now();
    std::lock_guard<std::mutex> g(s.retry_memo_lock);
    // Files that went away leave their entries behind: bounded by age and count.
    for (auto it = s.retry_memo.begin(); it != s.retry_memo.end();)
        it = now - it->second.noted > kRememberSeconds ? s.retry_memo.erase(it) : std::next(it);
    if (s.retry_memo.size() >= kMaxRememberedRetries) s.retry_memo.clear();
    auto found = s.retry_memo.find(key->first);
    StoreState::RememberedRetry r;
    // A second failure in a row: the file still holds the older count.
    r.file_count = found != s.retry_memo.end() ? found->second.file_count : file_count;
    r.size = key->second;
    r.count = count;
    r.last = when;
    r.noted = now;
    s.retry_memo[key->first] = r;
    s.retry_memo_size.store(s.retry_memo.size());
}

}  // namespace

void apply_remembered_retry(int fd, SmsMessage& msg) {
    StoreState& s = store_state();
    if (s.retry_memo_size.load() == 0) return;
    auto key = key_of(fd);
    if (!key) return;
    std::lock_guard<std::mutex> g(s.retry_memo_lock);
    auto it = s.retry_memo.find(key->first);
    if (it == s.retry_memo.end()) return;
    if (it->second.file_count != msg.retry_count || it->second.size != key->second) {
        // Rewritten since, or another file on the same inode.
        s.retry_memo.erase(it);
        s.retry_memo_size.store(s.retry_memo.size());
        return;
    }
    msg.retry_count = it->second.count;
    msg.last_retry_time = it->second.last;
}

bool record_failed_attempt(const FailedMessage& m) {
    if (m.msg == nullptr) return false;
    const uint32_t n = m.msg->retry_count;
    if (n == 0) {
        records::add_counter(records::Counter::Retried);
        records::add_link_counter(m.link_name, records::LinkCounter::Retry);
    }
    bool ok = false;
    const MessageTime when = epoch_to_message_time(platform::now());
    if (std::optional<std::string> content = platform::read_fd(m.fd, kMaxRequestFileBytes)) {
        size_t cut = 0;
        std::string text = error_detail_text(*content, n + 1, when, m.error_text, m.link_name, &cut);
        ok = platform::rewrite_from(m.fd, text, cut, true);
    }
    if (ok) {
        forget_retry(m.fd);
    } else {
        frame::debug_tracef("RecordRetry", "Error %d rewriting %s", errno, m.path.c_str());
        remember_retry(m.fd, n, n + 1, when);
        frame::debug_tracef("RecordRetry", "RetryCount=%u of %s kept in memory", n + 1,
                            m.path.c_str());
    }
    log_outcome(m, "Retry Pending - " + error_or_default(m.error_text) + " -- " + m.link_name);
    return ok;
}

// --- failing a message -------------------------------------------------------------

bool error_queue_enabled(std::string_view retain_days) {
    std::string_view v = platform::trim(retain_days);
    return !(!v.empty() && v[0] == '0' && frame::parse_number(v) == 0);
}

std::string error_copy_path(std::string_view path) {
    size_t slash = path.rfind('/');
    size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < name_start) return std::string(path) + ".ERR";
    return std::string(path.substr(0, dot)) + ".ERR";
}

std::string copy_to_error_queue(int fd, const std::string& path) {
    if (!error_queue_enabled(frame::ini_string("ErrorQRetainDays", ""))) return {};
    std::optional<std::string> content = platform::read_fd(fd, kMaxRequestFileBytes);
    if (!content) {
        frame::debug_tracef("ErrorQueue", "Error %d reading %s", errno, path.c_str());
        return {};
    }
    std::string err = error_copy_path(path);
    if (!platform::replace_file(err, *content)) {
        frame::debug_tracef("ErrorQueue", "Error %d writing %s", errno, err.c_str());
        return {};
    }
    return err;
}

std::string rerouted_text(std::string_view content, std::string_view route) {
    return set_key(without_error_detail(content), Key::SmscRoute, route);
}

std::string route_queue_path(const std::string& path, std::string_view route) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return path;
    // Only directory levels count, never the file name.
    size_t level = path.rfind("/RT_-_", slash - 1);
    if (level == std::string::npos) return path;
    size_t name_start = level + 6;
    size_t level_end = path.find('/', name_start);
    if (level_end == std::string::npos) return path;
    std::string_view part(path.data() + name_start, level_end - name_start);
    size_t close = part.rfind("_-_");
    if (close == std::string_view::npos) return path;
    return path.substr(0, name_start) + platform::clean_path_part(route) +
           path.substr(name_start + close);
}

std::string move_to_route(int fd, const std::string& path, std::string_view route) {
    std::optional<std::string> content = platform::read_fd(fd, kMaxRequestFileBytes);
    if (!content) return {};
    std::string text = rerouted_text(*content, route);
    // The message starts a new life on the other route: its age restarts.
    if (!platform::rewrite_in_place(fd, text, false)) return {};
    platform::set_fd_mtime(fd, platform::now());
    std::string target = route_queue_path(path, route);
    if (target == path) return path;
    // Copy first, remove after: a crash in between leaves two copies, never none.
    if (!platform::create_intermediate_dirs(target) || !platform::replace_file(target, text)) {
        frame::debug_tracef("ReRouteOnError", "Error %d writing %s", errno, target.c_str());
        return {};
    }
    platform::set_file_mtime(target, platform::now());
    platform::remove_file(path);
    return target;
}

FailResult fail_message(const FailedMessage& m) {
    if (m.msg == nullptr) return FailResult::Failed;
    const SmsMessage& msg = *m.msg;
    FailResult result = FailResult::Failed;

    std::optional<std::string> reroute =
        support::ini_find(support::SMSIniGetFilename(), section_of(m.link_name), "ReRouteOnError");
    std::string route(reroute ? platform::trim(*reroute) : std::string_view());
    RouteValidator validate = store_state().route_validator.load();
    if (!validate) validate = &default_route_validator;
    // Moving a message to the route it already has would reset its age and
    // keep it failing forever.
    bool same_route = platform::iequals(route, msg.route) ||
                      (!m.route_name.empty() && platform::iequals(route, m.route_name));
    if (!route.empty() && !same_route && validate(route)) {
        frame::debug_tracef("ThreadProcessModem", "ReRouteOnError=%s", route.c_str());
        if (!move_to_route(m.fd, m.path, route).empty()) return FailResult::Rerouted;
        result = FailResult::RerouteFailed;
    }

    // The copy first: when it cannot be made the message stays queued, and
    // a later pass must not find it already logged, reported and counted.
    if (error_queue_enabled(frame::ini_string("ErrorQRetainDays", "")) &&
        copy_to_error_queue(m.fd, m.path).empty()) {
        frame::debug_tracef("ErrorQueue", "No error queue copy of %s, message kept",
                            m.path.c_str());
        return FailResult::CopyFailed;
    }
    const std::string err = error_or_default(m.error_text);
    log_outcome(m, err + " -- " + m.link_name);
    frame::report_event(
        frame::EventType::Warning,
        platform::strprintf("SMS message could not be sent to %s (%s), %s",
                            msg.phone_number.c_str(), m.link_name.c_str(), err.c_str()));
    if (msg.flags & (kFlagReceiptRequested | kFlagNonDeliveryReceiptRequested)) {
        if (FailureReceiptHook hook = store_state().failure_receipt.load()) hook(m.path, msg, m.link_name, err, m.error_code);
    }
    records::add_counter(records::Counter::Failed);
    records::add_link_counter(m.link_name, records::LinkCounter::Failed);
    if (!platform::istarts_with(base_name(m.path), "MMSQ__"))
        records::subtract_counter(records::Counter::OutQueueSize);
    return result;
}

// --- link start and receipt retries ------------------------------------------------

time_t link_start_retry_time(const InitRetrySchedule& s, uint32_t n, time_t now) {
    if (n == 0) return now;
    uint64_t d;
    if (!s.delay_set) {
        d = uint64_t(kInitRetryStep) * n;
    } else {
        uint32_t a = s.after_attempts >= 1 ? s.after_attempts - 1 : 0;
        if (n <= a) return now;
        d = (s.multiplier != 0 ? uint64_t(n - a) * s.multiplier : 1) * uint64_t(s.delay);
    }
    // 0 means no cap; without it a reconnect storm would follow a failure.
    if (s.delay_max != 0 && d > s.delay_max) d = s.delay_max;
    return now + time_t(d);
}

time_t link_start_retry_time(std::string_view link_name, uint32_t n) {
    time_t now = platform::now();
    if (n == 0) return now;
    return link_start_retry_time(read_init_retry_schedule(link_name), n, now);
}

bool receipt_retry_due(uint32_t n, const MessageTime& last, time_t now) {
    if (n == 0 || last.year == 0) return true;
    time_t t = message_time_to_epoch(last);
    if (t == time_t(-1)) return true;
    return now >= t + time_t(n) * 60;
}

// --- hourly sweep ------------------------------------------------------------------

unsigned DeleteFilesOlderThan(const std::string& dir, std::string_view pattern, time_t cutoff) {
    if (dir.empty()) return 0;
    std::string base = platform::with_trailing_slash(dir);
    if (!platform::dir_exists(base)) return 0;
    bool remove_dirs = is_all_pattern(pattern);
    unsigned n = sweep(base, pattern, cutoff, remove_dirs, 0);
    if (remove_dirs) platform::remove_dir(base);
    return n;
}

void hourly_sweep() {
    const time_t now = platform::now();
    const std::string priv = support::GetPrivateDataDirectory();
    const std::string data = support::GetProgramDataDirectory();

    DeleteFilesOlderThan(child_dir(child_dir(priv, "SMPPDATA"), "ActiveUsers"), "*.FLG", now);

    uint32_t smpp_days = frame::ini_number("SMPPDataRetainDays", kDefaultSmppDataRetainDays);
    if (smpp_days == 0) smpp_days = kDefaultSmppDataRetainDays;
    const time_t smpp_cut = now - time_t(smpp_days) * kSecondsPerDay;
    DeleteFilesOlderThan(child_dir(data, "SMPPDATA"), "*", smpp_cut);
    std::string tracking = frame::tracking_dir_setting();
    while (tracking.size() > 1 && tracking.back() == '/') tracking.pop_back();
    if (!tracking.empty()) DeleteFilesOlderThan(tracking, "*", smpp_cut);
    DeleteFilesOlderThan(child_dir(priv, "MMSINQ"), "*.D2?", smpp_cut);

    const frame::GlobalSettings& s = frame::settings();
    const std::string q = s.q_dir.empty() ? frame::default_queue_root() : s.q_dir;
    std::string err_days(platform::trim(frame::ini_string("ErrorQRetainDays", "")));
    uint32_t days = err_days.empty() ? kDefaultErrorQRetainDays : frame::parse_number(err_days);
    DeleteFilesOlderThan(q, "*.ERR", now - time_t(days) * kSecondsPerDay);
    DeleteFilesOlderThan(q, "*.LCK", now - kLockRetainSeconds);
    DeleteFilesOlderThan(child_dir(priv, "TEMP"), "*", now - kLockRetainSeconds);
    DeleteFilesOlderThan(priv, "*.TMP", now - kLockRetainSeconds);

    std::string attach_min(platform::trim(frame::ini_string("SMSAttachFileTimeout", "")));
    uint32_t minutes =
        attach_min.empty() ? kDefaultAttachTimeoutMinutes : frame::parse_number(attach_min);
    DeleteFilesOlderThan(frame::sms_in_attachment_dir(), "*", now - time_t(minutes) * 60);
}

}  // namespace store
