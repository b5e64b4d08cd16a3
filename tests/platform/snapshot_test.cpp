// Snapshot publication: readers racing publishers see whole generations in
// order, and a generation lives exactly as long as its last reader.
#include "platform/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Gen {
    uint64_t n = 0;
    std::vector<uint64_t> copies;  // every element equals n in a whole generation
};

TEST(Snapshot, ReadersDuringPublishesSeeWholeGenerationsInOrder) {
    platform::Snapshot<Gen> snap;
    constexpr uint64_t kPublishes = 20000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, backwards{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            uint64_t last = 0;
            while (!done.load()) {
                std::shared_ptr<const Gen> g = snap.load();
                for (uint64_t c : g->copies)
                    if (c != g->n) ++torn;
                if (g->n < last) ++backwards;
                last = g->n;
            }
        });
    for (uint64_t n = 1; n <= kPublishes; ++n) {
        auto g = std::make_shared<Gen>();
        g->n = n;
        g->copies.assign(16, n);
        snap.publish(std::move(g));
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_EQ(snap.load()->n, kPublishes);
    EXPECT_EQ(snap.version(), kPublishes);
}

TEST(Snapshot, OldGenerationFreedAfterItsLastReader) {
    platform::Snapshot<Gen> snap(std::make_shared<const Gen>(Gen{1, {}}));
    std::shared_ptr<const Gen> reader1 = snap.load();
    std::shared_ptr<const Gen> reader2 = snap.load();
    std::weak_ptr<const Gen> first = reader1;

    std::shared_ptr<const Gen> returned = snap.publish(std::make_shared<const Gen>(Gen{2, {}}));
    EXPECT_EQ(returned.get(), reader1.get());
    returned.reset();
    EXPECT_EQ(snap.load()->n, 2u);
    EXPECT_EQ(reader1->n, 1u);  // a reader keeps what it loaded

    reader1.reset();
    EXPECT_FALSE(first.expired());
    reader2.reset();
    EXPECT_TRUE(first.expired());
}

}  // namespace
