// Entry routine of the gateway: the modules above the frame hand their
// start-up steps, housekeeping duties and threads to the frame here, then
// the frame runs the service until it stops.
#include "delivery/long_message_locks.h"
#include "delivery/route_cache.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "frontends/http/admin_cli.h"
#include "frontends/http/admin_pages.h"
#include "frontends/http/http_server.h"
#include "frontends/http/pap.h"
#include "frontends/http/submit.h"
#include "frontends/smpp/smpp_server.h"
#include "inbound/inbound_store.h"
#include "inbound/inbound_threads.h"
#include "inbound/receipt_thread.h"
#include "links/core/link_worker.h"
#include "links/core/queue_cache.h"
#include "links/kinds.h"
#include "records/accounting.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "records/quotas.h"
#include "store/bulk_queue.h"
#include "store/delay_queue.h"
#include "store/message_id.h"
#include "store/retry.h"
#include "support/tracking.h"

namespace {

void wire_records() {
    using frame::Duty;
    frame::register_duty(Duty::StartStats, "InitStatCounters", [] {
        records::init_stat_counters(frame::settings().q_dir, frame::sms_in_dir());
    });
    frame::register_duty(Duty::StartLogs, "OpenOutLog", records::open_outbound_log);
    frame::register_duty(Duty::Hourly, "PruneMessageLogs", [] { records::prune_message_logs(); });
    frame::register_duty(Duty::Second, "FlushStatCounters", records::flush_stat_counters);
    frame::register_duty(Duty::Shutdown, "FlushQuotaFiles",
                         [] { records::flush_quota_files(true); });
    frame::register_duty(Duty::Shutdown, "FlushStatCounters", records::flush_stat_counters);
    frame::register_thread_starter(frame::ThreadSlot::FlushCounters,
                                   records::start_flush_counters_thread);
    frame::register_thread_starter(frame::ThreadSlot::UserQLimits,
                                   records::start_user_qlimits_thread);
    frame::register_duty(Duty::Close, "CloseMessageLogs", records::close_message_logs);
    frame::register_duty(Duty::Close, "CloseStatCounters", records::close_stat_counters);
}

// "SMSOut" for every outcome a link logs (sent, retry pending, failed).
void account_outcome(const store::SmsMessage& msg, std::string_view message_id,
                     std::string_view status, std::string_view link_name) {
    if (!records::accounting_callback_enabled("SMSOut")) return;
    records::AccountingMessage m = inbound::accounting_message(msg, msg.submit_user);
    m.acct_info = msg.acct_info;
    records::AccountingNotice n;
    n.message_id = message_id;
    n.status = status;
    n.user_data = msg.user_data;
    records::SMSAccountingCallbackForLink("SMSOut", m, std::move(n), link_name);
}

void wire_store() {
    store::set_accounting_hook(&account_outcome);
    records::quota_state().route_validator.store(&store::default_route_validator);
    store::register_message_id_duties();
    frame::register_thread_starter(frame::ThreadSlot::BulkQ, store::start_bulk_queue_threads);
    frame::register_thread_starter(frame::ThreadSlot::DelayQ, store::start_delay_queue_thread);
    // Runs after the log pruning registered above, as the hourly round wants.
    frame::register_duty(frame::Duty::Hourly, "DeleteFilesOlderThan", store::hourly_sweep);
}

}  // namespace

int main(int argc, char** argv) {
    if (int rc = frontends::http::run_admin_tool(argc, argv); rc >= 0) return rc;
    wire_records();
    wire_store();
    frame::register_duty(frame::Duty::Hourly, "CloseExpiredTrackingFiles",
                         [] { support::close_expired_tracking_files(); });
    frame::register_duty(frame::Duty::Second, "CommitTrackingGroups",
                         [] { support::commit_tracking_groups(); });
    frame::register_duty(frame::Duty::Reload, "TrackingGroupCommit", [] {
        support::set_tracking_group_commit_ms(frame::ini_number("MessageIDTrackingGroupMs", 0));
    });
    delivery::register_long_message_lock_duties();
    delivery::register_routing_duties();
    links::register_link_kinds();
    links::register_link_workers();
    inbound::register_inbound_threads();
    links::set_local_delivery_hook(&inbound::deliver_locally);
    frontends::http::register_http_frontend();
    frontends::http::register_submit_handler();
    frontends::http::register_pap_handler();
    frontends::smpp::register_smpp_frontend();
    frontends::http::register_admin_handlers();
    frame::register_thread_starter(frame::ThreadSlot::QCache, links::start_queue_cache_thread);
    frame::register_thread_starter(frame::ThreadSlot::InboundSms, inbound::start_receipt_threads);
    frame::run_service(argc, argv);
}
