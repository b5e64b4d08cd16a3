// The records module's reset for tests: open counter files are dropped
// without writing what memory still held; what was flushed stays.
#include "records/records_state.h"

#include <string>

#include "records/counters.h"
#include "records_fixture.h"

namespace records_test {
namespace {

using records::Counter;
using records::LinkCounter;

using RecordsStateTest = RecordsTest;

TEST_F(RecordsStateTest, ResetDropsUnwrittenCountsAndKeepsFlushedOnes) {
    records::add_counter(Counter::Sent, 4);
    records::add_link_counter("SMPP - A", LinkCounter::Sent, 2);
    records::flush_stat_counters();
    records::add_counter(Counter::Sent, 3);
    records::add_link_counter("SMPP - A", LinkCounter::Sent, 5);
    EXPECT_EQ(records::counter_today(Counter::Sent), 7u);
    EXPECT_EQ(records::link_counter_today("SMPP - A", LinkCounter::Sent), 7u);

    records::reset_records_for_tests();
    EXPECT_EQ(records::counter_today(Counter::Sent), 4u);
    EXPECT_EQ(records::link_counter_today("SMPP - A", LinkCounter::Sent), 2u);
}

}  // namespace
}  // namespace records_test
