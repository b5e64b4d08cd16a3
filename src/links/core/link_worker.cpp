// The link worker's outer loop ("ThreadProcessModem"): link name and
// settings, backup waiting, dispatch to the registered kind's connection
// cycle and the reconnect wait; the backup and settings checks the queue
// pass shares.
#include "links/core/link_worker.h"

#include <atomic>

#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "inbound/receipts.h"
#include "links/core/deleter.h"
#include "links/core/module_state.h"
#include "links/core/worker_internal.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "support/ini_profile.h"

namespace links {

namespace {

std::string link_route_name(const std::string& link) {
    std::string r =
        support::SMSIniGetProfileString(frame::link_section_name(link), "RouteName", "");
    std::string_view t = platform::trim(r);
    return t.empty() ? link : std::string(t);
}

std::string link_backup_for(const std::string& link) {
    return support::SMSIniGetProfileString(frame::link_section_name(link), "BackupForRoute", "");
}

// Modem1, Modem2 ... up to the first empty one.
template <typename Fn>
void for_each_link(Fn&& fn) {
    for (unsigned i = 1;; ++i) {
        std::string name = link_name_at(i);
        if (name.empty()) break;
        if (fn(name)) break;
    }
}

unsigned today_of_week() {
    return unsigned(platform::local_now().weekday);
}

bool backup_idle(const WorkerState& w) {
    return w.backup_active &&
           !detail::primary_failing(w.primary_link.empty() ? w.primary_route : w.primary_link);
}

}  // namespace

LocalDelivery detail::try_local_delivery(const std::string& path, const store::SmsMessage& msg) {
    LocalDeliveryHook hook = detail::module_state().local_delivery.load();
    return hook ? hook(path, msg) : LocalDelivery::NotLocal;
}

void set_local_delivery_hook(LocalDeliveryHook fn) {
    detail::module_state().local_delivery.store(fn);
}

delivery::LinkIdentity WorkerState::identity() const {
    delivery::LinkIdentity id;
    id.link_name = settings.name;
    id.route_name = settings.route_name;
    if (backup_active) {
        id.primary_link = primary_link;
        id.primary_route = primary_route;
    }
    return id;
}

bool must_stop(const WorkerState& w) {
    return w.restart.load(std::memory_order_relaxed) || frame::shutdown_requested();
}

namespace detail {

BackupTarget resolve_backup_target(std::string_view backup_for) {
    BackupTarget t;
    t.value = std::string(backup_for);
    for_each_link([&](const std::string& name) {
        if (!platform::iequals(name, backup_for)) return false;
        t.link = name;
        return true;
    });
    t.route = t.link.empty() ? t.value : link_route_name(t.link);
    return t;
}

bool primary_failing(std::string_view primary) {
    if (primary.empty()) return false;
    if (link_is_failing(primary)) return true;
    bool failing = false;
    for_each_link([&](const std::string& name) {
        if (!platform::trim(link_backup_for(name)).empty()) return false;
        if (!platform::iequals(link_route_name(name), primary)) return false;
        failing = link_is_failing(name);
        return failing;
    });
    return failing;
}

time_t next_attempt_time(WorkerState& w, time_t now) {
    if (w.failure_count < 1) w.failure_count = 1;
    return store::link_start_retry_time(store::read_init_retry_schedule(w.settings.name),
                                        w.failure_count, now);
}

namespace {
std::string interface_name(const LinkSettings& s) {
    std::string t = "'" + s.route_name + "'";
    if (!platform::iequals(s.route_name, s.name)) t += " (" + s.name + ")";
    return t;
}
}  // namespace

std::string unavailable_text(const LinkSettings& s) {
    return "Error initializing SMSC Interface " + interface_name(s) +
           ".  Interface is not available.";
}

std::string recovered_text(const LinkSettings& s) {
    return "SMSC Interface " + interface_name(s) +
           " successfully initiaized.  Error condition resolved.";
}

std::string credit_or_quiet_text(const LinkSettings& s, unsigned hour) {
    if (s.credit.day != 0 || s.credit.month != 0) {
        if (std::optional<std::string> t = credit_exceeded(s.name, s.credit)) return *t;
    }
    if (s.quiet.quiet_at(hour))
        return platform::strprintf("Quiet Hours configured between %u and %u", s.quiet.start,
                                   s.quiet.end);
    return {};
}

bool check_settings_change(WorkerState& w) {
    const std::optional<LinkKindEntry> kind = find_link_kind(w.settings.address.kind);
    const std::string tag(kind ? kind->reload_tag : LinkKindEntry{}.reload_tag);
    std::string current = link_name_at(w.link_index);
    if (current != w.settings.name) {
        frame::debug_tracef(tag, "Connection settings have changed for %s, init required for %s.",
                            w.settings.name.c_str(), current.c_str());
        frame::request_routing_db_reset();
        w.restart = true;
        return true;
    }
    LinkSettings fresh = load_link_settings(w.settings.name, today_of_week());
    if (w.settings.needs_reconnect(fresh)) {
        frame::debug_trace(tag, "Connection settings have changed, requiring a reconnection");
        w.restart = true;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(w.settings_mu);
        w.settings.quiet = fresh.quiet;
        w.settings.credit = fresh.credit;
        w.settings.retry = fresh.retry;
        w.settings.send_limit_ms = fresh.send_limit_ms;
        w.settings.send_limit_text = fresh.send_limit_text;
    }
    w.pacer.set_interval_ms(fresh.send_limit_ms);
    if (backup_idle(w)) {
        frame::debug_tracef(kWorkerTrace, "Route %s is no longer needed as a backup for %s",
                            w.settings.name.c_str(), w.primary_route.c_str());
        w.restart = true;
        return true;
    }
    return false;
}

}  // namespace detail

namespace {

// Backup-waiting: true once the primary is failing, false on shutdown.
bool wait_for_primary(WorkerState& w) {
    detail::BackupTarget t = detail::resolve_backup_target(w.settings.backup_for);
    w.primary_link = t.link;
    w.primary_route = t.route;
    frame::debug_tracef(kWorkerTrace, "Route %s is a backup for %s", w.settings.name.c_str(),
                        t.value.c_str());
    while (!detail::primary_failing(t.value)) {
        if (frame::sleep_unless_shutdown(2000)) return false;
        if (link_name_at(w.link_index) != w.settings.name) return false;
    }
    frame::debug_tracef(kWorkerTrace, "Activating backup route %s for %s", w.settings.name.c_str(),
                        t.value.c_str());
    w.backup_active = true;
    return true;
}

void reconnect_wait(WorkerState& w) {
    if (frame::shutdown_requested()) return;
    w.next_attempt = detail::next_attempt_time(w, platform::now());
    if (w.failure_count > 2 && !w.reported_unavailable) {
        w.reported_unavailable = true;
        frame::report_event(frame::EventType::Error, detail::unavailable_text(w.settings));
    }
    if (w.restart) return;  // settings or backup state changed: connect again at once
    while (platform::now() < w.next_attempt) {
        if (frame::sleep_unless_shutdown(1000) || w.restart) return;
        if (link_name_at(w.link_index) != w.settings.name) return;
        // Retry and send limits apply at once, even while the link is down.
        store::RetrySchedule retry = store::read_retry_schedule(w.settings.name);
        std::string limit = frame::link_string(w.settings.section, "SMSCSendLimit", "");
        uint32_t limit_ms = parse_send_limit_ms(limit);
        {
            std::lock_guard<std::mutex> lock(w.settings_mu);
            w.settings.retry = retry;
            w.settings.send_limit_text = limit;
            w.settings.send_limit_ms = limit_ms;
        }
        w.pacer.set_interval_ms(limit_ms);
        if (backup_idle(w)) return;
    }
}

void run_cycle(WorkerState& w) {
    const std::optional<LinkKindEntry> kind = find_link_kind(w.settings.address.kind);
    if (kind && kind->run_cycle) {
        kind->run_cycle(w);
        return;
    }
    // A kind without a connection cycle waits like a first failed attempt
    // so the thread does not spin (and the interface is not reported as
    // failing).
    frame::debug_tracef(kWorkerTrace, "Link kind of %s is not supported yet",
                        w.settings.name.c_str());
    w.failure_count = 1;
}

}  // namespace

void link_worker_main(const std::string& arg, unsigned link, unsigned thread) {
    frame::debug_tracef(kWorkerTrace, "Link %u thread %u:  %s", link, thread, arg.c_str());
    if (link == 0) {
        // Index 0 is no Modem<i> entry: its kind runs the whole worker.
        const std::string name = link_name_at(0);
        const std::optional<LinkKindEntry> kind = find_link_kind(parse_link_name(name).kind);
        if (!kind || !kind->run_index0_worker) {
            frame::debug_tracef(kWorkerTrace, "Link kind of %s is not supported yet", name.c_str());
            return;
        }
        WorkerState w0;
        kind->run_index0_worker(w0);
        return;
    }
    WorkerState w;
    w.link_index = link;
    w.thread_number = thread;
    while (!frame::shutdown_requested()) {
        std::string name = link_name_at(link);
        if (name.empty()) {
            frame::debug_tracef(kWorkerTrace, "No link at Modem%u, thread %u ends", link, thread);
            break;
        }
        frame::debug_trace(kWorkerTrace, name);
        w.restart = false;
        w.connection_error = false;
        w.backup_active = false;
        w.primary_link.clear();
        w.primary_route.clear();
        {
            LinkSettings s = load_link_settings(name, today_of_week());
            std::lock_guard<std::mutex> lock(w.settings_mu);
            w.settings = std::move(s);
        }
        w.pacer.set_interval_ms(w.settings.send_limit_ms);
        w.link_event = support::CreateEventForInterface("SMSOut", w.settings.name);
        w.route_event = support::CreateEventForInterface("SMSOut", w.settings.route_name);

        if (!w.settings.backup_for.empty()) {
            if (!wait_for_primary(w)) continue;  // shutdown, or the link changed
        }
        run_cycle(w);
        if (w.end_thread) break;
        reconnect_wait(w);
    }
    w.skip.free();
}

void register_link_workers() {
    frame::set_link_worker(&link_worker_main);
    inbound::install_failure_receipt_hook();
    // What the previous run renamed for deletion but did not unlink.
    frame::register_duty(frame::Duty::StartRouting, "DeletedRequestSweep", [] {
        const std::string& q = frame::settings().q_dir;
        sweep_deleted_requests(q.empty() ? frame::default_queue_root() : q);
    });
}

}  // namespace links
