// The records module's process-wide state and its reset for tests.
#include "records/records_state.h"

namespace records {

RecordsState& records_state() {
    static RecordsState s;
    return s;
}

void reset_records_for_tests() {
    RecordsState& s = records_state();
    {
        std::lock_guard<std::mutex> fl(s.flush_lock);
        std::lock_guard<std::mutex> yl(s.year_lock);
        for (RecordsState::GlobalCounter& g : s.globals) {
            std::lock_guard<std::mutex> l(g.m);
            g.fd.close();
            g.year = 0;
            g.path.clear();
            g.image = CounterImage{};
            g.changed = false;
        }
        std::lock_guard<std::mutex> l(s.link_lock);
        s.links.clear();
        s.open_year.store(0, std::memory_order_release);
    }
    for (RecordsState::DailyLog* log : {&s.out_log, &s.in_log, &s.web_log}) {
        std::lock_guard<std::mutex> l(log->m);
        log->fd.close();
        log->year = log->month = log->day = 0;
    }
    std::lock_guard<std::mutex> l(s.account_log.m);
    s.account_log.fd.close();
    s.account_log.path.clear();
}

}  // namespace records
