// The codec bus task end to end: frames sent on an in-memory channel, received by the task on the
// runtime, decoded and emitted as rows into the stand-in SDK (count-only mode).
#include <Python.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "pybase/py.hpp"
#include "runtime/codec_task.hpp"
#include "classic_dbc.hpp"
#include "standin_embed.hpp"

namespace {

using namespace orvik;
using bench::acquire_source;
using bench::kClassicDbc;
using bench::run_python;
using bench::standin_table;
using py::Ref;

constexpr std::size_t kChannelCapacity = 65536;
// Frames sent before waiting for the task; well inside the ring, so none is lost to lag.
constexpr std::size_t kBatch = 4096;


void BM_CodecTask_SendDecodeEmit(benchmark::State& state) {
  const sdk::SdkAbiTable* table = standin_table();
  run_python("orvik_sdk.reset(); orvik_sdk.count_only(True)");
  const std::string_view dbc = kClassicDbc;
  DecoderConfig config{DbcSource{DbcSource::Bytes{{dbc.begin(), dbc.end()}}}, "bench", false,
                       TimestampMode::Auto};
  auto core = DecoderCore::create(std::move(config), acquire_source(table, "bench"), std::nullopt);
  if (!core) {
    state.SkipWithError(core.error().chain().c_str());
    return;
  }
  auto ends = runtime::virtual_bus::open("bench-codec", kChannelCapacity);
  runtime::CancellationToken token;
  SharedCounters counters = core->metrics;
  runtime::VirtualBusRx rx = std::move(ends->rx).with_metrics(counters);
  runtime::spawn_codec_task(runtime::make_decode_pipeline(std::move(*core), token), std::move(rx),
                            runtime::get().executor());

  std::vector<CanFrame> input(64);
  std::mt19937_64 rng(1);
  for (CanFrame& f : input) {
    std::vector<std::uint8_t> data(8);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    f.set_payload(data);
    f.arbitration_id = 291;
  }

  // Each iteration sends one batch and waits until the task has decoded all of it, so the time
  // covers the whole road of every frame.
  std::uint64_t sent = 0;
  auto received = [&] { return counters->get(Counter::messages_received); };
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBatch; ++i) ends->tx.send(input[sent++ & 63]);
    while (received() < sent) std::this_thread::yield();
  }
  token.cancel();
  state.counters["decoded"] = static_cast<double>(counters->get(Counter::messages_decoded));
  state.counters["lost"] = static_cast<double>(counters->get(Counter::broadcast_overflows));
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_CodecTask_SendDecodeEmit)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
