// Per-frame signal decoding cost: a classic 8-byte frame and a 64-byte FD frame, with heap
// allocations per frame counted by replacing the global operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "decode/scaling.hpp"
#include "decode/signal.hpp"

#include "alloc_counter.hpp"

namespace {

using namespace orvik;

constexpr std::size_t kFrames = 64;  // a power of two: the frame index is masked, not divided

SignalSpec signal(std::uint32_t start, std::uint32_t size, ByteOrder order, bool is_signed,
                  double factor, double offset, SignalType type) {
  SignalSpec s;
  s.start_bit = start;
  s.size = size;
  s.byte_order = order;
  s.is_signed = is_signed;
  s.factor = factor;
  s.offset = offset;
  s.signal_type = type;
  decode::plan_conversion(s);
  return s;
}

// A typical powertrain-style frame: mixed byte orders, mostly scaled, a few identity fields.
MessageSpec classic_message() {
  MessageSpec m;
  m.name = "Classic";
  m.size = 8;
  const auto I = ByteOrder::intel;
  const auto M = ByteOrder::motorola;
  m.signals = {
      signal(0, 12, I, false, 0.25, 0, SignalType::Float32),
      signal(12, 4, I, false, 1, 0, SignalType::UInt8),
      signal(23, 16, M, true, 0.01, -10, SignalType::Float32),
      signal(32, 8, I, false, 1, -40, SignalType::Int32),
      signal(47, 7, M, false, 2, 0, SignalType::UInt32),
      signal(48, 2, I, false, 1, 0, SignalType::UInt8),
      signal(50, 6, I, true, 0.5, 0, SignalType::Float32),
      signal(63, 8, M, false, 0.1, 0, SignalType::Float64),
  };
  return m;
}

MessageSpec fd_message() {
  MessageSpec m;
  m.name = "Fd";
  m.size = 64;
  for (std::uint32_t i = 0; i < 32; ++i) {
    const bool motorola = i % 2;
    // 16-bit fields laid side by side; Motorola start bits name the MSB (bit 7 of the first byte).
    const std::uint32_t start = motorola ? i * 16 + 7 : i * 16;
    const bool scaled = i % 4 != 0;
    m.signals.push_back(signal(start, 16, motorola ? ByteOrder::motorola : ByteOrder::intel,
                               i % 3 == 0, scaled ? 0.1 : 1.0, scaled ? -5 : 0,
                               scaled ? SignalType::Float32
                                      : (i % 3 == 0 ? SignalType::Int16 : SignalType::UInt16)));
  }
  return m;
}

std::vector<std::vector<std::uint8_t>> payloads(std::size_t len) {
  std::mt19937_64 rng(1);
  std::vector<std::vector<std::uint8_t>> out(kFrames, std::vector<std::uint8_t>(len));
  for (auto& p : out)
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
  return out;
}

void decode_frames(benchmark::State& state, const MessageSpec& message, std::size_t len) {
  const auto frames = payloads(len);
  std::size_t i = 0;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    const auto& payload = frames[i++ & (kFrames - 1)];
    const auto refs = decode::base_signals(message);
    auto row = decode::decode_signals(refs, payload);
    benchmark::DoNotOptimize(row);
  }
  state.counters["allocs/frame"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
  state.counters["signals/frame"] = static_cast<double>(message.signals.size());
}

void BM_Decode_Classic8Signals(benchmark::State& state) {
  static const MessageSpec m = classic_message();
  decode_frames(state, m, 8);
}
BENCHMARK(BM_Decode_Classic8Signals);

void BM_Decode_Fd32Signals(benchmark::State& state) {
  static const MessageSpec m = fd_message();
  decode_frames(state, m, 64);
}
BENCHMARK(BM_Decode_Fd32Signals);

// The raw extraction alone, word path against the bit walk, over the classic layout.
template <bool kReference>
void BM_ExtractRaw(benchmark::State& state) {
  static const MessageSpec m = classic_message();
  const auto frames = payloads(8);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& payload = frames[i++ & (kFrames - 1)];
    for (const auto& s : m.signals) {
      auto raw = kReference
                     ? decode::detail::extract_raw_reference(payload, s.start_bit, s.size, s.byte_order)
                     : decode::detail::extract_raw(payload, s.start_bit, s.size, s.byte_order);
      benchmark::DoNotOptimize(raw);
    }
  }
}
BENCHMARK(BM_ExtractRaw<false>)->Name("BM_ExtractRaw_Word_8Signals");
BENCHMARK(BM_ExtractRaw<true>)->Name("BM_ExtractRaw_BitWalk_8Signals");

}  // namespace

BENCHMARK_MAIN();
