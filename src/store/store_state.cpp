// The store module's process-wide state and its reset for tests.
#include "store/store_state.h"

#include "store/message_id.h"

namespace store {

StoreState& store_state() {
    static StoreState s;
    return s;
}

bool first_report(const std::string& key) {
    StoreState& s = store_state();
    std::lock_guard<std::mutex> g(s.reported_lock);
    return s.reported.insert(key).second;
}

void reset_store_for_tests() {
    StoreState& s = store_state();
    {
        std::scoped_lock g(s.save_lock, s.ids.lock, s.sequence.lock);
        s.ids.counter_started = false;
        s.ids.counter_used = false;
        s.ids.counter = 0;
        s.ids.stored.reset();
        s.ids.covered_until.reset();
        s.ids.reserve_failed = false;
        s.ids.random_started = false;
        s.ids.random = 0;
        s.sequence.started = false;
        s.sequence.value = 0;
    }
    {
        std::lock_guard<std::mutex> g(s.retry_memo_lock);
        s.retry_memo.clear();
        s.retry_memo_size.store(0);
    }
    s.accounting.store(nullptr);
    s.failure_receipt.store(nullptr);
    s.route_validator.store(nullptr);
    s.bulk_pace_wait_ms.store(1000);
    {
        std::lock_guard<std::mutex> g(s.reported_lock);
        s.reported.clear();
    }
    std::lock_guard<std::mutex> g(s.delay_scan_lock);
    s.delay_last_scan_ms = 0;
    s.delay_last_root.clear();
}

void reset_message_ids_for_tests() {
    reset_store_for_tests();
}

}  // namespace store
