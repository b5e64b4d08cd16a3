// Publication of immutable snapshots: a writer builds a new value and
// publishes it in one store; readers take no lock of their own and keep the
// generation they loaded alive for as long as they hold it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace platform {

template <typename T>
class Snapshot {
  public:
    using Ptr = std::shared_ptr<const T>;

    Snapshot() : current_(std::make_shared<const T>()) {}
    explicit Snapshot(Ptr initial) : current_(std::move(initial)) {}
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // The current generation; never null unless null was published.
    Ptr load() const { return current_.load(std::memory_order_acquire); }

    // Readers that loaded the previous generation keep it until they let
    // go; it is freed with the last of them. Returns the previous one.
    Ptr publish(Ptr next) {
        Ptr old = current_.exchange(std::move(next), std::memory_order_acq_rel);
        version_.fetch_add(1, std::memory_order_release);
        return old;
    }

    // Moves on at every publish: a reader that caches a generation (per
    // thread, say) compares this before trusting its copy.
    uint64_t version() const { return version_.load(std::memory_order_acquire); }

  private:
    std::atomic<Ptr> current_;
    std::atomic<uint64_t> version_{0};
};

}  // namespace platform
