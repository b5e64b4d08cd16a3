// Outcome of a submit (success bookkeeping, or classification into retry
// and permanent failure) and the connection state reports the protocol
// cycles make. finish_message runs on asynchronous helper threads too: it
// touches only the claimed message, thread-safe modules and the worker's
// atomics, and takes settings_mu for the limits that change in place.
#include "links/core/outcome.h"

#include <cstdint>
#include <string>

#include "delivery/route_cache.h"
#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/settings.h"
#include "inbound/receipts.h"
#include "links/core/deleter.h"
#include "links/core/link_kind.h"
#include "links/core/worker_internal.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "records/message_log.h"

namespace links {

namespace {

constexpr uint32_t kReceiptAsked =
    store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested;

const std::string& message_id(ClaimedMessage& m) {
    if (m.out.message_id.empty()) m.out.message_id = store::message_id_of(m.path);
    return m.out.message_id;
}

// The error queue holds a copy of the file (or is switched off), so the
// request file may go.
bool error_copy_done(const ClaimedMessage& m) {
    if (!store::error_queue_enabled(frame::ini_string("ErrorQRetainDays", ""))) return true;
    return platform::file_exists(store::error_copy_path(m.path));
}

void succeeded(WorkerState& w, ClaimedMessage& m, const SubmitResult& r) {
    const LinkSettings& s = w.settings;
    const store::SmsMessage& msg = m.msg;
    w.last_activity_ms.store(platform::monotonic_ms(), std::memory_order_relaxed);

    records::add_link_counter(s.name, records::LinkCounter::Sent);
    records::add_counter(records::Counter::Sent);
    detail::count_left_queue(m);

    const std::string status = "OK -- " + s.name;
    const std::string& sender = m.out.sender.empty() ? msg.sender : m.out.sender;
    records::write_outbound_log(message_id(m), msg.submitted_by, msg.phone_number, status,
                                store::log_content(msg), msg.submit_user, r.smsc_id, sender,
                                s.route_name);
    if (frame::settings().accounting_extended)
        if (store::AccountingHook hook = store::accounting_hook())
            hook(msg, message_id(m), status, s.name);
    if (msg.flags & kReceiptAsked) {
        inbound::register_smsc_message_id(s.route_name, r.smsc_id, m.path, msg);
        if (s.delivery_report_enroute && (msg.flags & store::kFlagReceiptRequested))
            inbound::make_intermediate_receipt(m.path, msg, s.name, m.created);
    }
    detail::delete_claimed(m, true);
    w.sent_since_start.fetch_add(1, std::memory_order_relaxed);
    w.sent_this_pass.fetch_add(1, std::memory_order_relaxed);
}

void failed(WorkerState& w, LinkSession& session, ClaimedMessage& m, const SubmitResult& r) {
    const LinkSettings& s = w.settings;
    const store::SmsMessage& msg = m.msg;
    frame::debug_tracef(kWorkerTrace, "Error:  %s", r.error_text.c_str());

    store::RetrySchedule retry;
    {
        std::lock_guard<std::mutex> lock(w.settings_mu);
        retry = s.retry;
    }
    const store::ErrorClass cls =
        r.not_encodable ? store::ErrorClass::Final : session.classify(r.code);
    const bool age_limit = s.address.kind != LinkKind::Modem && s.address.kind != LinkKind::IpModem;

    store::FailedMessage fm;
    fm.fd = m.file.fd();
    fm.path = m.path;
    fm.msg = &msg;
    fm.link_name = s.name;
    fm.route_name = s.route_name;
    fm.error_text = r.error_text;
    fm.error_code = uint32_t(r.code);

    if (store::retry_allowed(retry, cls, msg.retry_count, m.created, platform::now(), age_limit)) {
        if (!store::record_failed_attempt(fm))
            frame::debug_tracef(kWorkerTrace, "Error %d recording the retry of %s", errno,
                                m.path.c_str());
        m.lock.finish(false);
        m.file.close();
    } else {
        store::FailResult fr = store::fail_message(fm);
        if (fr == store::FailResult::Rerouted) {
            // Moved (or rewritten) for its new route: the old cache entry is wrong now.
            m.lock.finish(false);
            delivery::route_cache_delete(m.cache_key);
            m.file.close();
        } else if (fr != store::FailResult::CopyFailed) {
            detail::delete_claimed(m, false);
        } else {
            // Without its error-queue copy the message would be gone for good.
            frame::debug_tracef(kWorkerTrace, "Error queue copy of %s failed, message kept",
                                m.path.c_str());
            m.lock.finish(false);
            m.file.close();
        }
    }
    if (session.queue_full(r.code)) queue_full_hold(msg.phone_number, s.name, m.cache_key);
}

}  // namespace

namespace detail {

std::string_view queue_subdir_of(const ClaimedMessage& m, std::string_view queue_root) {
    std::string_view dir = m.queue_dir;
    if (queue_root.empty() || !dir.starts_with(queue_root)) return {};
    dir.remove_prefix(queue_root.size());
    while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    return dir;
}

void count_left_queue(const ClaimedMessage& m) {
    if (platform::istarts_with(m.name, "MMSQ__")) return;
    if (platform::istarts_with(queue_subdir_of(m, frame::settings().q_dir), "MMSQ__")) return;
    records::subtract_counter(records::Counter::OutQueueSize);
}

void delete_claimed(ClaimedMessage& m, bool sent) {
    // The lock names its link before the segment disappears, so that no
    // other link sees the rest of the message without its owner.
    m.lock.finish(sent);
    // Out of the queue while the claim is still held: nobody can claim a
    // dying file. The slow unlink itself happens off this thread.
    if (!defer_delete(m.path))
        frame::debug_tracef(kWorkerTrace, "Error %d deleting %s", errno, m.path.c_str());
    m.file.close();
    delivery::route_cache_delete(m.cache_key);
}

void fail_unroutable(WorkerState& w, ClaimedMessage& m) {
    const store::SmsMessage& msg = m.msg;
    const std::string err(kNoRouteError);
    frame::debug_trace(kWorkerTrace, err);
    // Without its error-queue copy the message stays queued, untouched.
    std::string copy = store::copy_to_error_queue(m.file.fd(), m.path);
    if (copy.empty() && !error_copy_done(m)) {
        frame::debug_tracef(kWorkerTrace, "Error queue copy of %s failed, message kept",
                            m.path.c_str());
        return;
    }
    records::write_outbound_log(message_id(m), msg.submitted_by, msg.phone_number,
                                err + " -- SYSTEM", store::log_content(msg), msg.submit_user, "",
                                msg.sender, "SYSTEM");
    frame::report_event(frame::EventType::Warning,
                        platform::strprintf("SMS message could not be sent to %s, %s",
                                            msg.phone_number.c_str(), err.c_str()));
    if (msg.flags & kReceiptAsked)
        inbound::make_rejection_receipt(m.path, msg, "SYSTEM", kNoRouteReceiptStatus, m.created);
    records::add_counter(records::Counter::Failed);
    count_left_queue(m);
    delete_claimed(m, false);
    (void)w;
}

}  // namespace detail

void finish_message(WorkerState& w, LinkSession& session, ClaimedMessage& m,
                    const SubmitResult& r) {
    if (r.code == 0)
        succeeded(w, m, r);
    else
        failed(w, session, m, r);
}

void connection_failure(WorkerState& w, std::string_view text, uint32_t set_count) {
    const std::string t(text);
    records::write_outbound_log("System", "", "", t, records::LogContent{}, "", "", "",
                                w.settings.route_name);
    frame::debug_trace(kWorkerTrace, t);
    write_link_status(w.settings.name, t);
    w.failure_count = set_count != 0 ? set_count : w.failure_count + 1;
}

void connection_up(WorkerState& w, std::string_view what) {
    frame::debug_tracef(kWorkerTrace, "%.*s connection OK", int(what.size()), what.data());
    frame::debug_trace(kWorkerTrace, w.settings.name);
    clear_link_status(w.settings.name);
    if (w.reported_unavailable) {
        w.reported_unavailable = false;
        frame::report_event(frame::EventType::Success, detail::recovered_text(w.settings));
    }
    w.failure_count = 0;
    w.connection_error = false;
    w.last_activity_ms.store(platform::monotonic_ms(), std::memory_order_relaxed);
}

bool may_connect(WorkerState& w) {
    LinkSettings s;
    {
        std::lock_guard<std::mutex> lock(w.settings_mu);
        s.name = w.settings.name;
        s.credit = w.settings.credit;
        s.quiet = w.settings.quiet;
    }
    if (s.credit.day != 0 || s.credit.month != 0) {
        if (std::optional<std::string> t = credit_exceeded(s.name, s.credit)) {
            connection_failure(w, *t, 3);
            return false;
        }
    }
    const unsigned hour = unsigned(platform::local_now().hour);
    if (s.quiet.quiet_at(hour)) {
        connection_failure(w,
                           platform::strprintf("Quiet Hours configured between %u and %u",
                                               s.quiet.start, s.quiet.end),
                           1);
        return false;
    }
    return true;
}

}  // namespace links
