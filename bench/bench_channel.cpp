// Broadcast channel throughput (frames/s), 1 and 4 receivers, on one thread and across threads;
// and a receiver that starts a ring behind a flat-out sender.
#include "decode/frame.hpp"
#include "runtime/broadcast.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using orvik::CanFrame;
namespace broadcast = orvik::runtime::broadcast;

CanFrame sample_frame() {
  CanFrame f;
  f.arbitration_id = 0x123;
  const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  f.set_payload(bytes);
  return f;
}

// Sends a batch, then every receiver drains it; counts frames through the channel.
void BM_SendRecvOneThread(benchmark::State& state) {
  const auto receivers = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kBatch = 256;
  auto ch = broadcast::channel<CanFrame>(65536);
  std::vector<broadcast::Receiver<CanFrame>> rx;
  rx.push_back(std::move(ch->receiver));
  while (rx.size() < receivers) rx.push_back(ch->sender.subscribe());
  const CanFrame frame = sample_frame();
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBatch; ++i) (void)ch->sender.send(frame);
    for (auto& r : rx) {
      for (std::size_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(r.try_take());
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_SendRecvOneThread)->ArgName("receivers")->Arg(1)->Arg(4);

// One sending thread, each receiver on its own thread, blocking receives; the sender keeps
// within the ring so that nothing is lost. Counts frames sent (each reaches every receiver).
void BM_SendRecvThreads(benchmark::State& state) {
  const auto receivers = static_cast<std::size_t>(state.range(0));
  constexpr std::uint64_t kFrames = 1 << 20;
  const CanFrame frame = sample_frame();
  for (auto _ : state) {
    // A channel that has gone round once, as a bus soon has: its first lap, which maps the
    // ring's pages, is not what this measures.
    state.PauseTiming();
    auto ch = broadcast::channel<CanFrame>(65536);
    for (std::size_t i = 0; i < ch->sender.capacity(); ++i) (void)ch->sender.send(frame);
    std::vector<broadcast::Receiver<CanFrame>> rx;
    while (rx.size() < receivers) rx.push_back(ch->sender.subscribe());
    { auto unread = std::move(ch->receiver); }
    state.ResumeTiming();
    std::vector<std::atomic<std::uint64_t>> progress(receivers);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < receivers; ++i) {
      threads.emplace_back([&, i] {
        std::uint64_t n = 0;
        while (rx[i].recv_blocking()->index() == 0) {
          if ((++n & 1023) == 0) progress[i].store(n, std::memory_order_relaxed);
        }
      });
    }
    for (std::uint64_t sent = 0; sent < kFrames; ++sent) {
      if ((sent & 1023) == 0) {
        for (;;) {
          std::uint64_t slowest = ~std::uint64_t{0};
          for (auto& p : progress) slowest = std::min(slowest, p.load(std::memory_order_relaxed));
          if (sent < slowest + 32768) break;
          std::this_thread::yield();
        }
      }
      (void)ch->sender.send(frame);
    }
    { auto closed = std::move(ch->sender); }
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_SendRecvThreads)
    ->ArgName("receivers")
    ->Arg(1)
    ->Arg(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Busy work of about `ns` nanoseconds: what a caller spends per frame outside the channel.
void work_for(std::chrono::nanoseconds ns) {
  const auto until = std::chrono::steady_clock::now() + ns;
  while (std::chrono::steady_clock::now() < until) {
  }
}

// A sender going flat out (200 ns of its own work per frame) and a receiver with less work per
// frame (the argument, in ns), that starts a full ring behind: alone it is the faster one, so it
// should catch up after the first lag, losing about the 1024 frames it started behind.
void BM_LaggedReceiverCatchesUp(benchmark::State& state) {
  constexpr std::uint64_t kCapacity = 65536;
  constexpr std::uint64_t kFrames = 2'000'000;
  const CanFrame frame = sample_frame();
  const std::chrono::nanoseconds reader_work(state.range(0));
  double received = 0, lost = 0, seconds = 0, episodes = 0;
  for (auto _ : state) {
    auto ch = broadcast::channel<CanFrame>(kCapacity);
    std::atomic<bool> start{false};
    std::uint64_t got = 0, missed = 0;
    std::chrono::steady_clock::time_point first_lag{}, last{};
    std::thread reader([&] {
      while (!start.load(std::memory_order_acquire)) std::this_thread::yield();
      for (;;) {
        auto r = ch->receiver.recv_blocking();
        if (r->index() == 2) break;
        if (r->index() == 1) {
          if (missed == 0) first_lag = std::chrono::steady_clock::now();
          ++episodes;
          missed += std::get<1>(*r).missed;
          continue;
        }
        ++got;
        work_for(reader_work);
      }
      last = std::chrono::steady_clock::now();
    });
    for (std::uint64_t sent = 0; sent < kFrames; ++sent) {
      if (sent == kCapacity + 1024) start.store(true, std::memory_order_release);
      work_for(std::chrono::nanoseconds(200));
      (void)ch->sender.send(frame);
    }
    { auto closed = std::move(ch->sender); }
    reader.join();
    received += static_cast<double>(got);
    lost += static_cast<double>(missed);
    seconds += std::chrono::duration<double>(last - first_lag).count();
  }
  state.counters["rx_per_s"] = received / seconds;
  state.counters["lost_pct"] = 100.0 * lost / (received + lost);
  state.counters["lag_episodes"] = episodes / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LaggedReceiverCatchesUp)
    ->ArgName("rx_work_ns")
    ->Arg(120)
    ->Arg(160)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
