// Cost of the per-frame step with rows going into the stand-in SDK (count-only mode), with heap
// allocations per frame counted by replacing the global operator new.
#include <Python.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "decode/process_frame.hpp"
#include "pybase/py.hpp"
#include "classic_dbc.hpp"
#include "standin_embed.hpp"

#include "alloc_counter.hpp"

namespace {

using namespace orvik;
using bench::acquire_source;
using bench::kClassicDbc;
using bench::run_python;
using bench::standin_table;
using py::Ref;

constexpr std::size_t kFrames = 64;  // a power of two: the frame index is masked, not divided

// 32 16-bit fields side by side in a 64-byte FD frame, alternating byte order.
std::string fd_dbc() {
  std::string text = "VERSION \"\"\n\nBU_: ECU\n\nBO_ 1234 Fd: 64 ECU\n";
  for (int i = 0; i < 32; ++i) {
    const bool motorola = i % 2;
    const bool scaled = i % 4 != 0;
    text += fmt::format(" SG_ F{} : {}|16@{}{} ({},{}) [0|0] \"\" ECU\n", i,
                        motorola ? i * 16 + 7 : i * 16, motorola ? 0 : 1, i % 3 == 0 ? '-' : '+',
                        scaled ? "0.1" : "1", scaled ? "-5" : "0");
  }
  return text;
}


// A switch nested in another, and a range: every frame gives a base row and two sub-event rows.
constexpr const char* kNestedDbc = R"(BO_ 774 Nested: 8 ECU
 SG_ Top M : 0|4@1+ (1,0) [0|0] "" ECU
 SG_ Sub m1M : 4|4@1+ (1,0) [0|0] "" ECU
 SG_ T1 m1 : 8|8@1+ (1,0) [0|0] "" ECU
 SG_ T2 m2 : 8|8@1+ (1,0) [0|0] "" ECU
 SG_ S2 m2 : 16|16@1+ (0.1,0) [0|0] "" ECU
 SG_ Plain : 32|32@1- (1,0) [0|0] "" ECU
SG_MUL_VAL_ 774 Sub Top 1-1;
SG_MUL_VAL_ 774 T1 Top 1-1;
SG_MUL_VAL_ 774 T2 Top 2-2;
SG_MUL_VAL_ 774 S2 Sub 0-15;
)";

std::vector<CanFrame> frames(std::uint32_t id, std::size_t length) {
  std::mt19937_64 rng(1);
  std::vector<CanFrame> out(kFrames);
  double t = 1.0e9;  // near the wall clock, as a bus that stamps absolute times
  for (CanFrame& f : out) {
    std::vector<std::uint8_t> data(length);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    f.set_payload(data);
    f.arbitration_id = id;
    f.is_fd = length > 8;
    f.timestamp = t += 0.001;
  }
  return out;
}

void process_frames(benchmark::State& state, const std::string& dbc, std::uint32_t id,
                    std::size_t length, bool log_raw = false, std::uint8_t first_byte = 0,
                    std::size_t rows_per_frame = 1) {
  const sdk::SdkAbiTable* table = standin_table();
  DecoderConfig config{DbcSource{DbcSource::Bytes{{dbc.begin(), dbc.end()}}}, "bench", log_raw,
                       TimestampMode::Auto};
  auto core = DecoderCore::create(
      std::move(config), acquire_source(table, "bench"),
      log_raw ? std::optional(acquire_source(table, "bench_raw")) : std::nullopt);
  if (!core) {
    state.SkipWithError(core.error().chain().c_str());
    return;
  }
  auto input = frames(id, length);
  if (first_byte != 0) {
    for (CanFrame& f : input) f.data[0] = first_byte;
  }

  // Checked rows first: the stand-in verifies every record, and nothing may count as a violation.
  run_python("orvik_sdk.reset(); orvik_sdk.count_only(False)");
  for (const CanFrame& f : input) process_frame(*core, f);
  run_python(fmt::format(
      "s = orvik_sdk.stats()\n"
      "assert s['rows'] == {}, s\n"
      "assert not s['violations'], s['violations']\n"
      "orvik_sdk.count_only(True)",
      kFrames * (rows_per_frame + (log_raw ? 1 : 0))));

  std::size_t i = 0;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) process_frame(*core, input[i++ & (kFrames - 1)]);
  state.counters["allocs/frame"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
  state.counters["decoded"] =
      static_cast<double>(core->metrics->get(Counter::messages_decoded));
  state.SetItemsProcessed(state.iterations());
}

void BM_ProcessFrame_Classic8Signals(benchmark::State& state) {
  process_frames(state, kClassicDbc, 291, 8);
}
BENCHMARK(BM_ProcessFrame_Classic8Signals);

// The same frames, each also logged as a raw row on a second source.
void BM_ProcessFrame_Classic8SignalsWithRaw(benchmark::State& state) {
  process_frames(state, kClassicDbc, 291, 8, true);
}
BENCHMARK(BM_ProcessFrame_Classic8SignalsWithRaw);

void BM_ProcessFrame_Fd32Signals(benchmark::State& state) {
  process_frames(state, fd_dbc(), 1234, 64);
}
BENCHMARK(BM_ProcessFrame_Fd32Signals);

// Top 1 selects Sub, which selects S2 by a range.
void BM_ProcessFrame_NestedMux(benchmark::State& state) {
  process_frames(state, kNestedDbc, 774, 8, false, 0x21, 3);
}
BENCHMARK(BM_ProcessFrame_NestedMux);

}  // namespace

BENCHMARK_MAIN();
