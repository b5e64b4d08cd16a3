// Many writers at once: counters keep exact totals and log lines stay whole
// while the main loop's flush runs beside them.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "records_fixture.h"

namespace records_test {
namespace {

constexpr int kThreads = 8;
constexpr uint32_t kAddsPerThread = 100000;
constexpr int kLinesPerThread = 10000;

uint32_t slot_value(const std::string& bytes, int slot) {
    if (bytes.size() < size_t(slot) * 4 + 4) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[slot * 4 + i]);
    return v;
}

using ConcurrencyTest = RecordsTest;

TEST_F(ConcurrencyTest, CountersAndLogLinesUnderEightWriters) {
    std::atomic<bool> done{false};
    // The main loop's once-per-second flush, run continuously here.
    std::thread flusher([&] {
        for (int i = 0; i < 100000 && !done.load(); ++i) {
            records::flush_stat_counters();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            // A text with the characters that could break a line apart.
            const std::string text = "t" + std::to_string(t) + ", \"q\"\r\nend";
            for (uint32_t i = 0; i < kAddsPerThread; ++i) {
                records::add_counter(records::Counter::Sent);
                records::add_link_counter("SMPP - 127.0.0.1:2775", records::LinkCounter::Sent);
                if (i % 10 == 0) {
                    records::add_counter(records::Counter::OutQueueSize);
                    records::subtract_counter(records::Counter::OutQueueSize);
                }
                if (i < uint32_t(kLinesPerThread)) {
                    std::string id = "T" + std::to_string(t) + "-" + std::to_string(i);
                    records::write_outbound_log(id, "127.0.0.1", "+4712345678",
                                                "OK -- SMPP - 127.0.0.1:2775",
                                                {false, 0, 0, "", text}, "user", "", "", "");
                }
            }
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    flusher.join();
    records::flush_stat_counters();

    const uint32_t total = kThreads * kAddsPerThread;
    // 5 March 2024: slot 64.
    std::string sent = read_all(stats_dir() + "SMSSENT-2024.CTR");
    ASSERT_EQ(sent.size(), 1464u);
    EXPECT_EQ(slot_value(sent, 64), total);
    std::string link = read_all(private_dir() + "SMPP - 127.0.0.1-2775-2024.CTR");
    ASSERT_EQ(link.size(), 1464u);
    EXPECT_EQ(slot_value(link, 64), total);
    EXPECT_EQ(slot_value(read_all(stats_dir() + "SMSQSIZE.CTR"), 0), 0u);

    records::close_message_logs();
    const std::string log = read_all(log_dir() + "SMSOUT-20240305.LOG");
    std::set<std::string> ids;
    size_t pos = 0, lines = 0;
    const std::string head = "2024-03-05 12:34:56,";
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unterminated tail at " << pos;
        std::string line = log.substr(pos, end - pos);
        pos = end + 2;
        ++lines;
        ASSERT_EQ(line.rfind(head, 0), 0u) << line;
        size_t comma = line.find(',', head.size());
        ASSERT_NE(comma, std::string::npos) << line;
        std::string id = line.substr(head.size(), comma - head.size());
        std::string t = id.substr(1, id.find('-') - 1);
        EXPECT_EQ(line, head + id +
                            ",127.0.0.1,+4712345678,OK -- SMPP - 127.0.0.1:2775,SubmitUser=user;"
                            "Text=\"t" +
                            t + ", \"q\"\\r\\nend\"");
        EXPECT_TRUE(ids.insert(id).second) << "duplicate " << id;
    }
    EXPECT_EQ(lines, size_t(kThreads) * kLinesPerThread);
    EXPECT_EQ(ids.size(), size_t(kThreads) * kLinesPerThread);
}

}  // namespace
}  // namespace records_test
