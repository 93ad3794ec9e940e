// MetricsCounters: the eleven relaxed atomic counters of one codec or decoder.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace orvik {

enum class Counter : std::size_t {
  messages_received = 0,
  messages_decoded = 1,
  decode_errors = 2,
  unknown_messages = 3,
  kernel_drops = 4,
  buffer_overflows = 5,
  batches_emitted = 6,
  reconnections = 7,
  broadcast_overflows = 8,
  tx_errors = 9,
  tx_overflows = 10,
};
inline constexpr std::size_t kCounterCount = 11;

class MetricsCounters {
 public:
  void add(Counter c, std::uint64_t n = 1) {
    counters_[static_cast<std::size_t>(c)].fetch_add(n, std::memory_order_relaxed);
  }
  // add(c) for a counter that one thread at a time writes (its writers are serialised by a lock
  // or run on one thread): a plain load and store, without the locked read-modify-write.
  void add_serialised(Counter c) {
    std::atomic<std::uint64_t>& counter = counters_[static_cast<std::size_t>(c)];
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  std::uint64_t get(Counter c) const {
    return counters_[static_cast<std::size_t>(c)].load(std::memory_order_relaxed);
  }
  // Reads the counters one by one, in index order; not one atomic snapshot.
  std::array<std::uint64_t, kCounterCount> snapshot() const {
    std::array<std::uint64_t, kCounterCount> out{};
    for (std::size_t i = 0; i < kCounterCount; ++i) out[i] = counters_[i].load(std::memory_order_relaxed);
    return out;
  }

 private:
  std::array<std::atomic<std::uint64_t>, kCounterCount> counters_{};
};

using SharedCounters = std::shared_ptr<MetricsCounters>;

}  // namespace orvik
