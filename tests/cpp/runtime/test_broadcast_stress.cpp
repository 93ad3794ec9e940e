// Broadcast under load (8 senders, 4 receivers): no loss within capacity, exact lag beyond it.
// ORVIK_STRESS_FRAMES sets the frames per sender (default 20000; the full run uses 1000000).
#include "runtime/broadcast.hpp"

#include "decode/frame.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace orvik::runtime::broadcast {
namespace {

constexpr std::size_t kSenders = 8;
constexpr std::size_t kReceivers = 4;

std::uint64_t frames_per_sender() {
  if (const char* v = std::getenv("ORVIK_STRESS_FRAMES")) return std::strtoull(v, nullptr, 10);
  return 20000;
}

CanFrame make_frame(std::uint32_t sender, std::uint64_t seq) {
  CanFrame f;
  f.arbitration_id = sender;
  std::uint8_t bytes[8];
  std::memcpy(bytes, &seq, 8);
  f.set_payload(bytes);
  return f;
}

// What one receiver saw. Sequence numbers per sender must rise; gaps only with lag.
struct Tally {
  std::vector<std::int64_t> last = std::vector<std::int64_t>(kSenders, -1);
  std::uint64_t received = 0;
  std::uint64_t lagged = 0;
  std::uint64_t gaps = 0;
  bool out_of_order = false;
  bool corrupt = false;
  std::atomic<std::uint64_t> progress{0};  // frames taken, for the senders' pacing

  // False once the channel has closed.
  bool take(RecvResult<CanFrame>&& r) {
    if (r.index() == 2) return false;
    if (r.index() == 1) {
      lagged += std::get<1>(r).missed;
      return true;
    }
    const CanFrame& f = std::get<0>(r);
    std::uint64_t seq = 0;
    if (f.arbitration_id >= kSenders || f.data.size() != 8 || f.dlc != 8) {
      corrupt = true;
      return true;
    }
    std::memcpy(&seq, f.data.data(), 8);
    auto& last = this->last[f.arbitration_id];
    if (static_cast<std::int64_t>(seq) <= last) out_of_order = true;
    gaps += seq - static_cast<std::uint64_t>(last + 1);
    last = static_cast<std::int64_t>(seq);
    ++received;
    progress.store(received + lagged, std::memory_order_release);
    return true;
  }
};

void run_stress(std::size_t capacity, bool paced) {
  const std::uint64_t per_sender = frames_per_sender();
  const std::uint64_t total = per_sender * kSenders;
  auto ch = channel<CanFrame>(capacity);
  ASSERT_TRUE(ch);
  const std::uint64_t slots = ch->sender.capacity();

  std::vector<Receiver<CanFrame>> receivers;
  receivers.push_back(std::move(ch->receiver));
  while (receivers.size() < kReceivers) receivers.push_back(ch->sender.subscribe());
  std::vector<Tally> tallies(kReceivers);

  std::vector<std::thread> threads;
  for (std::size_t r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      while (tallies[r].take(*receivers[r].recv_blocking())) {
      }
    });
  }
  boost::asio::io_context context(2);
  for (std::size_t r = 2; r < kReceivers; ++r) {
    boost::asio::co_spawn(context, [&, r]() -> boost::asio::awaitable<void> {
      while (tallies[r].take(co_await receivers[r].recv())) {
      }
    }, [](std::exception_ptr) {});
  }
  for (int i = 0; i < 2; ++i) threads.emplace_back([&] { context.run(); });

  std::atomic<std::uint64_t> tickets{0};
  std::vector<std::thread> senders;
  for (std::uint32_t s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s, tx = ch->sender] {
      for (std::uint64_t seq = 0; seq < per_sender; ++seq) {
        if (paced) {
          // Send only while every receiver is within the ring of this ticket.
          const std::uint64_t ticket = tickets.fetch_add(1);
          for (;;) {
            std::uint64_t slowest = ~std::uint64_t{0};
            for (auto& t : tallies) slowest = std::min(slowest, t.progress.load(std::memory_order_acquire));
            if (ticket < slowest + slots) break;
            std::this_thread::yield();
          }
        }
        ASSERT_TRUE(tx.send(make_frame(s, seq)));
      }
    });
  }
  for (auto& t : senders) t.join();
  { auto last = std::move(ch->sender); }  // closes the channel
  for (auto& t : threads) t.join();

  for (std::size_t r = 0; r < kReceivers; ++r) {
    const Tally& t = tallies[r];
    SCOPED_TRACE(r);
    EXPECT_FALSE(t.corrupt);
    EXPECT_FALSE(t.out_of_order);
    EXPECT_EQ(t.received + t.lagged, total);
    if (paced) {
      EXPECT_EQ(t.received, total);
      EXPECT_EQ(t.lagged, 0u);
      for (auto last : t.last) EXPECT_EQ(last, static_cast<std::int64_t>(per_sender) - 1);
    }
  }
}

TEST(BroadcastStress, WithinCapacityNothingIsLostOrReordered) { run_stress(1024, true); }

TEST(BroadcastStress, BeyondCapacityLagCountsAddUpToTheLoss) { run_stress(64, false); }

}  // namespace
}  // namespace orvik::runtime::broadcast
