// Entry routine of the gateway: the modules above the frame hand their
// start-up steps, housekeeping duties and threads to the frame here, then
// the frame runs the service until it stops.
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/message_id.h"

namespace {

void wire_records() {
    using frame::Duty;
    frame::register_duty(Duty::StartStats, "InitStatCounters", [] {
        records::init_stat_counters(frame::settings().q_dir, frame::sms_in_dir());
    });
    frame::register_duty(Duty::StartLogs, "OpenOutLog", records::open_outbound_log);
    frame::register_duty(Duty::Hourly, "PruneMessageLogs", [] { records::prune_message_logs(); });
    frame::register_duty(Duty::Second, "FlushStatCounters", records::flush_stat_counters);
    frame::register_duty(Duty::Shutdown, "FlushStatCounters", records::flush_stat_counters);
    frame::register_duty(Duty::Close, "CloseMessageLogs", records::close_message_logs);
    frame::register_duty(Duty::Close, "CloseStatCounters", records::close_stat_counters);
}

}  // namespace

int main(int argc, char** argv) {
    wire_records();
    store::register_message_id_duties();
    frame::run_service(argc, argv);
}
