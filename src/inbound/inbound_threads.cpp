// The inbound threads and the routing of stored messages and receipts.
#include "inbound/inbound_threads.h"

#include <algorithm>
#include <mutex>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "inbound/inbound_routing.h"
#include "inbound/inbound_store.h"
#include "inbound/recombine.h"
#include "inbound/sms_reply.h"
#include "inbound/two_way.h"
#include "inbound/wap_push.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "protocols/common/message.h"
#include "radio/charset/charset.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/ini_profile.h"

namespace inbound {

namespace {

constexpr std::string_view kTrace = "ProcessInboundSMS";
constexpr std::string_view kRetrySchedule = "2Way";
constexpr size_t kUsaSegmentLength = 147;
constexpr unsigned kIdleWaitMs = 1000;

// Opening and deleting inbound files happen under this lock, so that a file
// one thread is finishing is never claimed by another.
std::mutex& store_lock() {
    static std::mutex mu;
    return mu;
}

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string file_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Characters of a UTF-8 text (continuation bytes not counted).
size_t characters(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

// The file leaves the inbound store: removed, and no longer counted in the
// inbound queue gauge its writer added it to.
void remove_claimed(const std::string& path, platform::FileHandle& fh) {
    {
        std::lock_guard lk(store_lock());
        platform::remove_file(path);
        fh.close();
    }
    records::subtract_counter(records::Counter::InQueueSize);
}

// Copies the claimed file's text to the same name with ext (file times
// kept) and removes the original.
bool archive(const std::string& path, platform::FileHandle& fh, std::string_view content,
             std::string_view ext) {
    const std::string to = path_with_extension(path, ext);
    std::optional<time_t> mtime = platform::file_mtime(path);
    if (!platform::replace_file(to, content)) {
        frame::debug_tracef(kTrace, "Unable to create %s", to.c_str());
        return false;
    }
    if (mtime) platform::set_file_mtime(to, *mtime);
    remove_claimed(path, fh);
    return true;
}

// The reply options: the subaddresses swapped, the options named in
// 2WayReplyCopySMPPOptions copied.
std::string reply_options(const store::SmsMessage& msg) {
    protocols::common::Options in = protocols::common::parse_option_text(msg.smpp_options);
    protocols::common::Options out;
    std::string copy = frame::ini_string("2WayReplyCopySMPPOptions", "");
    auto listed = [&](std::string_view name) {
        size_t pos = 0;
        while (pos <= copy.size()) {
            size_t end = copy.find_first_of(",;", pos);
            if (end == std::string::npos) end = copy.size();
            std::string_view item = platform::trim(std::string_view(copy).substr(pos, end - pos));
            if (!item.empty() && platform::iequals(item, name)) return true;
            pos = end + 1;
        }
        return false;
    };
    for (const auto& [n, v] : in) {
        std::string_view name = n;
        if (platform::istarts_with(name, "SMPPOption_")) name.remove_prefix(11);
        if (platform::iequals(name, "source_subaddress"))
            out.emplace_back("SMPPOption_dest_subaddress", v);
        else if (platform::iequals(name, "dest_subaddress"))
            out.emplace_back("SMPPOption_source_subaddress", v);
        else if (listed(name))
            out.emplace_back(n, v);
    }
    return protocols::common::join_option_text(out);
}

bool write_retry(const std::string& path, platform::FileHandle& fh, std::string_view content,
                 const store::SmsMessage& msg) {
    store::ErrorDetail d;
    d.retry_count = msg.retry_count + 1;
    d.last_retry_time = store::epoch_to_message_time(platform::now());
    d.first_attempt_time = msg.first_attempt_time;
    std::string text = store::set_error_detail(content, d);
    if (!platform::rewrite_in_place(fh.fd(), text, true)) {
        frame::debug_tracef(kTrace, "Unable to record the retry of %s", path.c_str());
        return false;
    }
    return true;
}

// An action or copy failed: a retry while the schedule allows, else .BAD.
FileOutcome retry_or_bad(const std::string& path, platform::FileHandle& fh,
                         std::string_view content, const store::SmsMessage& msg) {
    store::RetrySchedule s = store::read_retry_schedule(kRetrySchedule);
    time_t created = platform::file_mtime(path).value_or(platform::now());
    if (store::retry_allowed(s, store::ErrorClass::Retryable, msg.retry_count, created,
                             platform::now())) {
        frame::debug_tracef(kTrace, "Processing incomplete %s...", path.c_str());
        write_retry(path, fh, content, msg);
        return FileOutcome::Retry;
    }
    frame::debug_tracef(kTrace, "Retries exhausted for %s", path.c_str());
    archive(path, fh, content, "BAD");
    return FileOutcome::Bad;
}

bool sender_share_used(ScanState& st, std::string_view sender) {
    for (auto& [s, n] : st.per_sender)
        if (s == sender) return ++n > kSenderShare;
    st.per_sender.emplace_back(std::string(sender), 1);
    return false;
}

std::vector<std::string> scan_inbound(std::string_view pattern) {
    const std::string root = frame::sms_in_dir();
    std::vector<std::string> out;
    for (const auto& e : platform::scan_dir(root, pattern, platform::ScanKind::FilesOnly))
        out.push_back(root + e.name);
    // Batch subdirectories of a busy store ("%08X").
    for (const auto& d : platform::scan_dir(root, "????????", platform::ScanKind::DirsOnly)) {
        const std::string dir = root + d.name + "/";
        for (const auto& e : platform::scan_dir(dir, pattern, platform::ScanKind::FilesOnly))
            out.push_back(dir + e.name);
    }
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        return file_name(a) < file_name(b);
    });
    return out;
}

// Looks for name in the account's queue directory dir and, when dir is a
// batch level ("%08X/"), in every batch of its parent.
bool already_in_user_queue(const std::string& dir, const std::string& name) {
    if (platform::file_exists(dir + name)) return true;
    std::string parent = dir.substr(0, dir.size() - 1);
    size_t slash = parent.rfind('/');
    if (slash == std::string::npos || parent.size() - slash - 1 != 8) return false;
    parent.resize(slash + 1);
    if (platform::file_exists(parent + name)) return true;
    for (const auto& d : platform::scan_dir(parent, "????????", platform::ScanKind::DirsOnly))
        if (platform::file_exists(parent + d.name + "/" + name)) return true;
    return false;
}

}  // namespace

void log_local_delivery(std::string_view user, const store::SmsMessage& m,
                        std::string_view message_id) {
    records::LogContent c = store::log_content(m);
    records::write_account_log(user, "SMSReceive", m.phone_number, m.sender, message_id,
                               m.binary ? "Binary" : "Text", c, m.sender);
    const std::string status = "OK -- LocalUser:" + std::string(user);
    records::write_outbound_log(message_id, m.submitted_by, m.phone_number, status, c,
                                m.submit_user, "", m.sender, m.resolved_route);
    if (frame::settings().accounting_extended)
        if (store::AccountingHook hook = store::accounting_hook())
            hook(m, message_id, status, m.link_name);
}

bool duplicate_for_two_way(const store::SmsMessage& msg, bool receipt, std::string_view tag) {
    frame::debug_tracef(kTrace, "Duplicating message (%.*s)", int(tag.size()), tag.data());
    store::SmsMessage copy = msg;
    copy.retry_count = 0;
    copy.last_retry_time = {};
    copy.duplicate_for_2way = true;
    std::string text = store::format_request(copy, store::RecordLayout::Inbound);
    store::append_key(text, store::Key::DuplicateMessageFor2Way, "Yes");
    return !write_inbound_record(receipt ? "rec" : "in", text, kTrace).empty();
}

bool copy_to_user_queue(std::string_view user, const store::SmsMessage& msg,
                        std::string_view base) {
    store::SmsMessage copy = msg;
    copy.local_user_route = std::string(user);
    copy.retry_count = 0;
    copy.last_retry_time = {};
    copy.first_attempt_time = {};
    copy.duplicate_for_2way = false;
    const std::string dir = frame::user_queue_dir(user);
    const std::string name = std::string(base) + ".req";
    // A copy made before a crash may lie in an earlier batch directory of
    // the queue: it is not made twice.
    if (already_in_user_queue(dir, name)) return true;
    platform::ensure_dir(dir);
    const std::string path = dir + name;
    if (platform::create_new_file(path, store::format_request(copy))) return true;
    if (platform::file_exists(path)) return true;
    frame::debug_tracef(kTrace, "Unable to copy message to %s", path.c_str());
    return false;
}

FileOutcome process_inbound_file(const std::string& path, InboundKind kind, ScanState& st) {
    platform::FileHandle fh;
    {
        std::lock_guard lk(store_lock());
        fh = platform::claim_file(path);
    }
    if (!fh) return FileOutcome::Skipped;
    std::optional<std::string> content = platform::read_fd(fh.fd(), store::kMaxRequestFileBytes);
    if (!content) return FileOutcome::Skipped;
    store::SmsMessage msg;
    store::parse_sms_message(*content, msg);
    if (msg.sender.empty() && msg.phone_number.empty() && msg.data.empty() && msg.udh.empty()) {
        frame::debug_tracef(kTrace, "Processing complete (empty) %s...", path.c_str());
        remove_claimed(path, fh);
        return FileOutcome::Consumed;
    }
    if (msg.retry_count &&
        !store::message_retry_due(store::read_retry_schedule(kRetrySchedule), msg.retry_count,
                                  msg.last_retry_time, platform::now()))
        return FileOutcome::Skipped;
    if (sender_share_used(st, msg.sender)) return FileOutcome::Skipped;
    frame::debug_tracef(kTrace, "Processing %s...", path.c_str());

    const bool receipt = kind == InboundKind::Receipts || (msg.flags & store::kFlagReceipt);
    const UdhInfo udh = parse_udh_info(msg.udh);
    const bool wap = is_wap_push_for_mms(msg.udh, msg.link_name);
    const std::string base = base_name(path);

    // Local accounts first.
    if (!wap && !(msg.sender.empty() && msg.phone_number.empty()) && !msg.duplicate_for_2way) {
        std::string user =
            InboundRoutingLookup(msg.phone_number, msg.service_type, msg.local_user_route);
        // Nobody else claims it: the account named in the record keeps it
        // (a receipt goes back to the account that submitted the message).
        if (user.empty() && !platform::istarts_with(msg.local_user_route, kReRoutePrefix))
            user = msg.local_user_route;
        if (platform::iequals(user, "~SMSIN::BAD"))
            return archive(path, fh, *content, "BAD") ? FileOutcome::Archived
                                                      : FileOutcome::Skipped;
        if (platform::iequals(user, "~SMSIN::SMS"))
            return archive(path, fh, *content, "SMS") ? FileOutcome::Archived
                                                      : FileOutcome::Skipped;
        if (!user.empty() && !is_inbound_store_user(user)) {
            if (!copy_to_user_queue(user, msg, base)) return retry_or_bad(path, fh, *content, msg);
            log_local_delivery(user, msg, base);
            const bool dup = frame::ini_bool(
                receipt ? "DuplicateUserReceiptsFor2Way" : "DuplicateUserMessagesFor2Way", false);
            if (dup) duplicate_for_two_way(msg, receipt, "c");
            remove_claimed(path, fh);
            return FileOutcome::Routed;
        }
    }

    // Segments of long messages wait for their set.
    if (kind != InboundKind::Receipts) {
        const std::string dir = frame::sms_in_dir();
        if (udh.concat && frame::ini_bool("2WayLongMessageCombine", true)) {
            if (!hold_segment(dir, msg.sender, udh.reference, udh.total, udh.sequence, *content))
                return retry_or_bad(path, fh, *content, msg);
            remove_claimed(path, fh);
            return FileOutcome::Held;
        }
        if (msg.udh.empty() && !msg.binary && frame::ini_bool("USASegmentFix", false) &&
            (characters(msg.data) > kUsaSegmentLength || has_headerless_pieces(dir, msg.sender))) {
            if (unsigned seq = next_headerless_piece(dir, msg.sender)) {
                if (!hold_segment(dir, msg.sender, kHeaderlessReference, kHeaderlessTotal, seq,
                                  *content))
                    return retry_or_bad(path, fh, *content, msg);
                remove_claimed(path, fh);
                return FileOutcome::Held;
            }
        }
    }

    // WAP push for the MMS side.
    if (wap) {
        switch (process_wap_push(msg)) {
            case WapPushResult::Queued:
            case WapPushResult::Duplicate:
                remove_claimed(path, fh);
                return FileOutcome::MmsHandOff;
            case WapPushResult::Failed:
                return retry_or_bad(path, fh, *content, msg);
            case WapPushResult::NotProcessed:
                break;  // kept in the inbox below unless a command takes it
        }
    } else if (udh.port16) {
        frame::debug_tracef(kTrace, "UDH Dest Port = %u", udh.dest_port);
    }

    // The text as the commands see it.
    TwoWayMessage m;
    m.msg = msg;
    if (msg.binary && radio::charset::dcs_is_ucs2(msg.dcs)) {
        m.msg.data = radio::charset::ucs2_hex_to_utf8(msg.data);
        m.msg.binary = false;
    } else if (msg.binary && radio::charset::dcs_is_gsm7(msg.dcs) && !msg.udh.empty()) {
        std::string text;
        radio::charset::GSM7ToUTF8String(msg.udh, msg.data, text);
        m.msg.data = text;
        m.msg.binary = false;
    }
    m.message_id = file_name(path);
    m.route = msg.resolved_route;
    platform::LocalTime t =
        platform::to_local(platform::file_mtime(path).value_or(platform::now()));
    m.msg_date = platform::strprintf("%04d%02d%02d", t.year, t.month, t.day);
    m.msg_time = platform::strprintf("%02d%02d%02d", t.hour, t.minute, t.second);
    ReplyRoute rr;
    rr.smpp_options = reply_options(msg);
    if (frame::ini_bool("2WayReplySameServer", false)) rr.route = msg.resolved_route;

    unsigned done = 0;
    for (unsigned i = 0;; ++i) {
        TwoWayAction a;
        if (!GetProgramToExecute(m, i, a)) break;
        ActionResult r = execute_action(m, a, st.keep_alive);
        if (!r.ok) return retry_or_bad(path, fh, *content, msg);
        if (!platform::trim(r.reply).empty() && BuildSMSReply(m.msg, r.reply, rr).empty())
            return retry_or_bad(path, fh, *content, msg);
        ++done;
    }
    if (done) {
        frame::debug_tracef(kTrace, "Processing complete %s...", path.c_str());
        remove_claimed(path, fh);
        return FileOutcome::Consumed;
    }
    return archive(path, fh, *content, "SMS") ? FileOutcome::Archived : FileOutcome::Skipped;
}

unsigned inbound_scan_pass(InboundKind kind, frame::KeepAlive* keep_alive) {
    ScanState st;
    st.keep_alive = keep_alive;
    unsigned handled = 0;
    if (frame::debug_on()) frame::debug_trace(kTrace, "Begin scan loop");
    if (frame::ini_bool("ReceiveSMS", true)) {
        for (const std::string& p :
             scan_inbound(kind == InboundKind::Receipts ? "*.REC" : "*.IN")) {
            if (frame::shutdown_requested()) break;
            if (process_inbound_file(p, kind, st) != FileOutcome::Skipped) ++handled;
        }
        if (kind == InboundKind::Primary && frame::ini_bool("2WayLongMessageCombine", true))
            handled += RecombineSARMessages(frame::sms_in_dir(), platform::now(),
                                            frame::ini_number("2WayLongMessageWait", 120));
    }
    if (frame::debug_on()) frame::debug_trace(kTrace, "End scan loop");
    return handled;
}

void ThreadProcessInboundSMS(InboundKind kind) {
    frame::KeepAlive keep_alive;
    frame::WakeEvent& ev =
        kind == InboundKind::Receipts ? frame::inbound_receipt_event() : frame::inbound_sms_event();
    while (!frame::shutdown_requested()) {
        unsigned n = inbound_scan_pass(kind, &keep_alive);
        if (frame::shutdown_requested()) break;
        // Something was handled: look again at once (more may have come).
        if (n == 0) ev.wait(kIdleWaitMs);
    }
}

unsigned inbound_thread_pairs() {
    std::string v(platform::trim(frame::ini_string("2WaySMSThreadCount", "")));
    if (!v.empty()) return frame::parse_number(v);
    return support::SMSIniGetProfileString("2Way-Keywords", "Keyword1", "").empty() ? 0 : 2;
}

bool start_inbound_sms_threads() {
    bool ok = frame::start_thread("ThreadProcessInboundSMS",
                                  [] { ThreadProcessInboundSMS(InboundKind::Primary); });
    ok = frame::start_thread("ThreadProcessInboundSMS",
                             [] { ThreadProcessInboundSMS(InboundKind::Receipts); }) &&
         ok;
    for (unsigned i = 1; i < inbound_thread_pairs(); ++i) {
        ok = frame::start_thread("ThreadProcessInboundSMS",
                                 [] { ThreadProcessInboundSMS(InboundKind::Extra); }) &&
             ok;
        ok = frame::start_thread("ThreadProcessInboundSMS",
                                 [] { ThreadProcessInboundSMS(InboundKind::Receipts); }) &&
             ok;
    }
    return ok;
}

void register_inbound_threads() {
    frame::register_thread_starter(frame::ThreadSlot::InboundSms, [] {
        if (!start_inbound_sms_threads())
            frame::debug_trace(kTrace, "Unable to start every inbound thread");
        return true;
    });
}

links::LocalDelivery deliver_locally(const std::string& request_path,
                                     const store::SmsMessage& msg) {
    if (msg.phone_number.empty()) return links::LocalDelivery::NotLocal;
    std::string user =
        InboundRoutingLookup(msg.phone_number, msg.service_type, msg.local_user_route);
    if (user.empty()) return links::LocalDelivery::NotLocal;
    const std::string base = base_name(request_path);
    if (is_inbound_store_user(user)) {
        std::string text = store::format_request(msg, store::RecordLayout::Inbound);
        return write_inbound_record("in", text, kTrace).empty() ? links::LocalDelivery::Kept
                                                                : links::LocalDelivery::Delivered;
    }
    if (!copy_to_user_queue(user, msg, base)) return links::LocalDelivery::Kept;
    log_local_delivery(user, msg, base);
    if (frame::ini_bool("DuplicateUserMessagesFor2Way", false))
        duplicate_for_two_way(msg, false, "e");
    return links::LocalDelivery::Delivered;
}

}  // namespace inbound
