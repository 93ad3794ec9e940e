// Cost of the bridge's per-row path (column records + one table call) and of event registration.
#include <arrow/buffer.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "accepting_sdk.hpp"
#include "decode/events.hpp"
#include "decode/row_lists.hpp"
#include "sdk/handles.hpp"
#include "sdk/ipc.hpp"
#include "sdk/row.hpp"

namespace {

using namespace orvik;
using namespace orvik::sdk;

void BM_LogRow(benchmark::State& state) {
  static int event_handle;
  const auto columns = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint32_t> handles(columns);
  for (std::size_t i = 0; i < columns; ++i) handles[i] = static_cast<std::uint32_t>(i);
  SdkAbiEvent event(EventHandle(accepting_sdk(), &event_handle),
                    std::make_shared<const std::vector<std::uint32_t>>(std::move(handles)));
  RowValues row;
  for (std::size_t i = 0; i < columns; ++i) {
    row.push_back(i % 5 == 4 ? std::optional<DecodedValue>() : DecodedValue::f32(1.5f * i));
  }
  std::int64_t t = 0;
  for (auto _ : state) benchmark::DoNotOptimize(event.log_at(row, ++t));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogRow)->Arg(1)->Arg(8)->Arg(64);

std::vector<SignalSpec> signals(std::size_t n) {
  std::vector<SignalSpec> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i].name = "Signal_" + std::to_string(i);
    out[i].signal_type = SignalType::Float64;
  }
  return out;
}

void BM_EncodeSchema(benchmark::State& state) {
  auto specs = signals(static_cast<std::size_t>(state.range(0)));
  std::vector<const SignalSpec*> refs;
  for (const auto& s : specs) refs.push_back(&s);
  auto schema = decode::message_schema(refs);
  for (auto _ : state) benchmark::DoNotOptimize(encode_schema_stream(schema));
}
BENCHMARK(BM_EncodeSchema)->Arg(1)->Arg(8)->Arg(64);

void BM_AddEvent(benchmark::State& state) {
  static int source_handle;
  SourceHandle source(accepting_sdk(), &source_handle);
  auto specs = signals(static_cast<std::size_t>(state.range(0)));
  std::vector<const SignalSpec*> refs;
  for (const auto& s : specs) refs.push_back(&s);
  for (auto _ : state) {
    benchmark::DoNotOptimize(add_event(source, "0123_Status", decode::message_schema(refs)));
  }
}
BENCHMARK(BM_AddEvent)->Arg(8)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
