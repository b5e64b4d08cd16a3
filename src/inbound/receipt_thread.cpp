// Resolving receipts: ".rct" -> ".rec" through the message-id tracking store.
#include "inbound/receipt_thread.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "records/accounting.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_codec.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/tracking.h"

namespace inbound {

namespace {

constexpr std::string_view kTraceName = "ThreadProcessInboundReceipts";
constexpr unsigned kScanWaitMs = 2000;
// A waiting receipt is tried again at least this often even when no new id
// was recorded (an id recorded by another process, a clock step).
constexpr uint64_t kWaitFallbackMs = 1000;
// Bounds of the pause between passes (a pass shorter than the lower bound
// is followed at once).
constexpr uint64_t kMinPassGapMs = 5;
constexpr uint64_t kMaxPassGapMs = 500;
// The first pause of a waiting receipt; it doubles with every try.
constexpr uint64_t kFirstBackOffMs = 25;

std::atomic<long> g_waiting{0};

bool is_batch_dir(std::string_view name) {
    if (name.size() != 8) return false;
    for (char c : name)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// The directory of path (with its '/').
std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// path with its extension replaced by ext (".rec", ".BAD").
std::string with_extension(const std::string& path, std::string_view ext) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    std::string base =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot)
                                                                                : path;
    return base + std::string(ext);
}

// GSM "@" travels as 0x00, which some links show as an inverted exclamation
// mark: the id in Windows-1252 with every 0xA1 read as "@".
std::string with_gsm_at_signs(std::string_view id) {
    std::string s = radio::charset::utf8_to_win1252(id);
    for (char& c : s)
        if (static_cast<unsigned char>(c) == 0xA1) c = '@';
    return s;
}

bool has_non_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// Looks the far end's id up: as it came, then with the "@" repair.
support::MatchResult match_receipt(const std::string& link, const std::string& id,
                                   support::TrackedMessage& found, support::IdForm& form,
                                   std::string& matched_id) {
    matched_id = id;
    support::MatchResult r = support::SMSCMessageIdMatch(link, id, found, form);
    if (r == support::MatchResult::NotFound && has_non_ascii(id)) {
        matched_id = with_gsm_at_signs(id);
        r = support::SMSCMessageIdMatch(link, matched_id, found, form);
    }
    return r;
}

}  // namespace

uint32_t account_received_receipt(const store::SmsMessage& r, std::string_view far_id) {
    if (!frame::settings().accounting_extended ||
        !records::accounting_callback_enabled("SMSIN"))
        return 0;
    records::AccountingMessage m;
    m.account = r.local_user_route;
    m.recipient = r.phone_number;
    m.sender = r.sender;
    m.binary = r.binary;
    m.pid = r.pid;
    m.dcs = r.dcs;
    m.udh = r.udh;
    m.message = r.data;
    m.smpp_options = r.smpp_options;
    m.service_type = r.service_type;
    records::AccountingNotice n;
    n.smsc_receipt_msg_id = r.receipt_message_id;
    n.smsc_receipt_msg_id_orig = std::string(far_id);
    n.smsc_name = r.link_name;
    return records::SMSAccountingCallback("SMSIN", m, n);
}

namespace {

// Writes the receipt record next to the ".rct" under the same base name
// (another name when that is taken). Empty when it could not be written.
std::string write_receipt_record(const std::string& rct_path, const store::SmsMessage& r) {
    const std::string content = store::format_request(r, store::RecordLayout::Inbound);
    std::string path = with_extension(rct_path, ".rec");
    if (platform::create_new_file(path, content)) return path;
    std::optional<std::string> other = store::create_request_file(dir_of(rct_path), "rec", content);
    return other ? *other : std::string();
}

// The ".rct" became a ".rec": gauges moved, the inbound threads woken.
void hand_on(const std::string& rct_path, platform::FileHandle& fd) {
    platform::remove_file(rct_path);
    fd.close();
    records::subtract_counter(records::Counter::ReceiptQueueSize);
    records::add_counter(records::Counter::InQueueSize);
    frame::inbound_receipt_event().set();
}

uint32_t match_wait_seconds() {
    std::string v(platform::trim(frame::ini_string("ReceiptMatchWait", "")));
    return v.empty() ? kDefaultReceiptMatchWait : frame::parse_number(v);
}

}  // namespace

// --- waits -------------------------------------------------------------------------

ReceiptWaits::~ReceiptWaits() {
    g_waiting.fetch_sub(long(files.size()));
}

void ReceiptWaits::forget(const std::string& path) {
    if (files.erase(path)) g_waiting.fetch_sub(1);
    scheduled.erase(path);
}

void ReceiptWaits::schedule(const std::string& path, uint64_t at_ms) {
    if (files.erase(path)) g_waiting.fetch_sub(1);
    scheduled[path] = at_ms;
}

void ReceiptWaits::keep(const std::string& path, uint64_t generation, uint64_t now_ms) {
    auto [it, added] = files.try_emplace(path);
    if (added) g_waiting.fetch_add(1);
    Wait& w = it->second;
    w.generation = generation;
    w.last_try_ms = now_ms;
    w.next_try_ms = now_ms + std::min<uint64_t>(kFirstBackOffMs << std::min(w.tries, 6u),
                                                kWaitFallbackMs);
    ++w.tries;
}

bool ReceiptWaits::due(const std::string& path, uint64_t generation, uint64_t now_ms) const {
    auto at = scheduled.find(path);
    if (at != scheduled.end()) return now_ms >= at->second;
    auto it = files.find(path);
    if (it == files.end()) return true;
    const Wait& w = it->second;
    if (now_ms < w.next_try_ms) return false;
    return w.generation != generation || now_ms >= w.last_try_ms + kWaitFallbackMs;
}

bool receipts_waiting() {
    return g_waiting.load(std::memory_order_relaxed) > 0;
}

// --- one receipt ---------------------------------------------------------------------

std::string tracking_link_for(const store::SmsMessage& rct) {
    if (platform::istarts_with(rct.link_name, "HTTP - ")) return "HTTP";
    return rct.resolved_route.empty() ? rct.link_name : rct.resolved_route;
}

std::string replace_receipt_text_id(std::string_view text, std::string_view our_id) {
    if (!platform::istarts_with(text, "id:")) return std::string(text);
    size_t end = 3;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '\r' &&
           text[end] != '\n')
        ++end;
    std::string out = "id:";
    out += our_id;
    out += text.substr(end);
    return out;
}

ReceiptOutcome process_receipt_file(const std::string& path, ReceiptWaits& waits) {
    platform::FileHandle fd = platform::claim_file(path);
    if (!fd) {
        if (!platform::file_exists(path)) waits.forget(path);
        return ReceiptOutcome::Skipped;
    }
    // A record already written for it (the ".rct" outlived a crash between
    // the two steps): only the leftover goes.
    if (platform::file_exists(with_extension(path, ".rec"))) {
        waits.forget(path);
        platform::remove_file(path);
        records::subtract_counter(records::Counter::ReceiptQueueSize);
        return ReceiptOutcome::Skipped;
    }
    std::optional<std::string> text = platform::read_fd(fd.fd(), store::kMaxRequestFileBytes);
    if (!text) return ReceiptOutcome::Skipped;
    store::SmsMessage rct;
    store::parse_sms_message(*text, rct);
    const time_t now = platform::now();
    if (!store::receipt_retry_due(rct.retry_count, rct.last_retry_time, now)) {
        const time_t due_at = store::message_time_to_epoch(rct.last_retry_time) +
                              time_t(rct.retry_count) * 60;
        waits.schedule(path, platform::monotonic_ms() +
                                 uint64_t(std::max<time_t>(due_at - now, 1)) * 1000);
        return ReceiptOutcome::Skipped;
    }
    frame::debug_tracef(kTraceName, "Processing %s...", path.c_str());

    const std::string far_id = rct.receipt_message_id;
    const std::string link = tracking_link_for(rct);
    support::TrackedMessage found;
    support::IdForm form = support::IdForm::Exact;
    std::string matched_id;
    support::MatchResult result = far_id.empty()
                                      ? support::MatchResult::NotFound
                                      : match_receipt(link, far_id, found, form, matched_id);
    const uint64_t generation = support::tracking_generation();

    store::SmsMessage r = rct;
    r.retry_count = 0;
    r.last_retry_time = store::MessageTime{};
    r.first_attempt_time = store::MessageTime{};
    ReceiptOutcome outcome = ReceiptOutcome::Matched;
    if (result == support::MatchResult::Found) {
        if (form != support::IdForm::Exact || matched_id != far_id)
            frame::debug_tracef(kTraceName, "Receipt message id %s matched %s (%s) for %s",
                                far_id.c_str(), found.smsc_id.c_str(),
                                std::string(support::id_form_name(form)).c_str(), link.c_str());
        r.receipt_message_id = found.message_id;
        // The receipt comes from the original recipient and goes back to the
        // original sender.
        if (!found.recipient.empty()) r.sender = found.recipient;
        if (!found.sender.empty()) r.phone_number = found.sender;
        if (!found.submit_user.empty()) r.local_user_route = found.submit_user;
        r.data = replace_receipt_text_id(r.data, found.message_id);
    } else {
        frame::debug_tracef(kTraceName, "Receipt message id = %s not in database for %s",
                            far_id.c_str(), link.c_str());
        // Waiting for its submit response to be recorded?
        const uint32_t wait_s = match_wait_seconds();
        if (rct.retry_count == 0 && wait_s > 0) {
            time_t arrived = platform::file_mtime(path).value_or(now);
            if (now < arrived + time_t(wait_s)) {
                waits.keep(path, generation, platform::monotonic_ms());
                return ReceiptOutcome::Waiting;
            }
        }
        if (rct.retry_count + 1 <= kReceiptMaxRetries) {
            store::ErrorDetail d;
            d.retry_count = rct.retry_count + 1;
            d.last_retry_time = store::epoch_to_message_time(now);
            waits.schedule(path, platform::monotonic_ms() + uint64_t(d.retry_count) * 60000);
            if (!platform::rewrite_in_place(fd.fd(), store::set_error_detail(*text, d))) {
                frame::debug_tracef(kTraceName, "Unable to update %s", path.c_str());
            }
            return ReceiptOutcome::Retry;
        }
        frame::debug_tracef(kTraceName, "Receipt message id = %s passed on unmatched for %s",
                            far_id.c_str(), link.c_str());
        outcome = ReceiptOutcome::Unmatched;
    }
    waits.forget(path);

    uint32_t refused = account_received_receipt(r, far_id);
    if (refused != 0) {
        frame::debug_tracef(kTraceName, "Receipt rejected by Accounting PreAuth: %s",
                            path.c_str());
        platform::remove_file(path);
        fd.close();
        records::subtract_counter(records::Counter::ReceiptQueueSize);
        return ReceiptOutcome::Refused;
    }
    std::string rec = write_receipt_record(path, r);
    if (rec.empty()) {
        frame::debug_tracef(kTraceName, "Unable to write the receipt record for %s",
                            path.c_str());
        return ReceiptOutcome::Skipped;
    }
    records::LogContent content;
    content.binary = r.binary;
    content.pid = r.pid;
    content.dcs = r.dcs;
    content.udh = r.udh;
    content.data = r.data;
    records::write_inbound_log(r.sender, r.link_name, r.phone_number, content,
                               r.receipt_message_id, far_id);
    hand_on(path, fd);
    return outcome;
}

// --- the thread ------------------------------------------------------------------------

unsigned process_receipt_files(ReceiptWaits& waits) {
    const std::string root = frame::sms_in_dir();
    std::vector<std::string> dirs{root};
    for (const platform::DirEntry& e : platform::scan_dir(root, "*", platform::ScanKind::DirsOnly))
        if (is_batch_dir(e.name)) dirs.push_back(root + e.name + "/");
    unsigned done = 0;
    const uint64_t generation = support::tracking_generation();
    for (const std::string& dir : dirs) {
        for (const platform::DirEntry& e :
             platform::scan_dir(dir, "*.RCT", platform::ScanKind::FilesOnly)) {
            if (frame::shutdown_requested()) return done;
            const std::string path = dir + e.name;
            if (!waits.due(path, generation, platform::monotonic_ms())) continue;
            ReceiptOutcome o = process_receipt_file(path, waits);
            if (o == ReceiptOutcome::Matched || o == ReceiptOutcome::Unmatched) ++done;
        }
    }
    return done;
}

void ThreadProcessInboundReceipts() {
    ReceiptWaits waits;
    uint64_t pass_ms = 0;
    while (!frame::shutdown_requested()) {
        // Every stored receipt sets the event: while receipts pour in, a
        // pass over a large store would otherwise follow each one. The
        // pause after a pass is as long as the pass was (within bounds), so
        // that scanning takes at most half of this thread's time.
        if (pass_ms >= kMinPassGapMs &&
            frame::sleep_unless_shutdown(unsigned(std::min(pass_ms, kMaxPassGapMs))))
            break;
        // Ids recorded moments ago go to disk before they are looked for.
        support::commit_tracking_groups();
        const uint64_t started = platform::monotonic_ms();
        frame::debug_trace(kTraceName, "Begin scan loop");
        process_receipt_files(waits);
        frame::debug_trace(kTraceName, "End scan loop");
        pass_ms = platform::monotonic_ms() - started;
        if (frame::shutdown_requested()) break;
        // New receipts and new ids set the event; a waiting receipt's
        // back-off ending does not.
        uint64_t wait_ms = kScanWaitMs;
        const uint64_t now_ms = platform::monotonic_ms();
        for (const auto& [path, w] : waits.files)
            wait_ms = std::min(wait_ms, w.next_try_ms > now_ms ? w.next_try_ms - now_ms : 1);
        frame::inbound_receipt_event().wait(unsigned(std::max<uint64_t>(wait_ms, 1)));
    }
}

bool start_receipt_threads() {
    if (!frame::ini_bool("EnableReceiptProcessing", true)) return true;
    unsigned count = frame::ini_number("2WaySMSThreadCount", 0) > 1 ? 2 : 1;
    for (unsigned i = 0; i < count; ++i)
        if (!frame::start_thread("ThreadProcessInboundReceipts", ThreadProcessInboundReceipts))
            return false;
    return true;
}

}  // namespace inbound
