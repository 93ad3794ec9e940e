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

#include "runtime/codec_task.hpp"
#include "sdk/py.hpp"

namespace {

using namespace orvik;
using py::Ref;

constexpr const char* kDbc = R"(VERSION ""

BU_: ECU

BO_ 291 Classic: 8 ECU
 SG_ S0 : 0|12@1+ (0.25,0) [0|0] "" ECU
 SG_ S1 : 12|4@1+ (1,0) [0|0] "" ECU
 SG_ S2 : 23|16@0- (0.01,-10) [0|0] "" ECU
 SG_ S3 : 32|8@1+ (1,-40) [0|0] "" ECU
 SG_ S4 : 47|7@0+ (2,0) [0|0] "" ECU
 SG_ S5 : 48|2@1+ (1,0) [0|0] "" ECU
 SG_ S6 : 50|6@1- (0.5,0) [0|0] "" ECU
 SG_ S7 : 63|8@0+ (0.1,0) [0|0] "" ECU
)";

constexpr std::size_t kChannelCapacity = 65536;
// The sender stays at most this far ahead of the task, so no frame is lost to lag.
constexpr std::uint64_t kWindow = kChannelCapacity / 2;

void run_python(const std::string& code) {
  PyGILState_STATE gil = PyGILState_Ensure();
  if (PyRun_SimpleString(code.c_str()) != 0) std::abort();
  PyGILState_Release(gil);
}

const sdk::SdkAbiTable* standin_table() {
  static const sdk::SdkAbiTable* table = [] {
    Py_InitializeEx(0);
    PyRun_SimpleString("import sys; sys.path.insert(0, '" ORVIK_STANDIN_DIR "'); import orvik_sdk");
    PyObject* capsule = PyDict_GetItemString(PyImport_GetModuleDict(), "orvik_sdk_abi_v1");
    const auto* found = capsule ? static_cast<const sdk::SdkAbiTable*>(
                                      PyCapsule_GetPointer(capsule, "orvik_sdk_abi_v1"))
                                : nullptr;
    if (found == nullptr) {
      PyErr_Print();
      std::abort();
    }
    PyEval_SaveThread();  // workers log rows without the lock
    return found;
  }();
  return table;
}

sdk::SourceHandle acquire_source(const sdk::SdkAbiTable* table, const char* name) {
  PyGILState_STATE gil = PyGILState_Ensure();
  Ref module = Ref::steal(PyImport_ImportModule("orvik_sdk"));
  Ref obj = module ? Ref::steal(PyObject_CallMethod(module.get(), "TraceSourceCache", "s", name))
                   : Ref();
  void* source = nullptr;
  if (!obj || table->src_handle_from_py(obj.get(), &source) != 0 || source == nullptr) {
    PyErr_Print();
    std::abort();
  }
  obj.reset();
  module.reset();
  PyGILState_Release(gil);
  return sdk::SourceHandle(table, source);
}

void BM_CodecTask_SendDecodeEmit(benchmark::State& state) {
  const sdk::SdkAbiTable* table = standin_table();
  run_python("orvik_sdk.reset(); orvik_sdk.count_only(True)");
  DecoderConfig config{DbcSource{DbcSource::Bytes{{kDbc, kDbc + std::strlen(kDbc)}}}, "bench",
                       false, TimestampMode::Auto};
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

  std::uint64_t sent = 0;
  auto received = [&] { return counters->get(Counter::messages_received); };
  for (auto _ : state) {
    ends->tx.send(input[sent & 63]);
    if ((++sent & 1023) == 0) {
      while (sent - received() > kWindow) std::this_thread::yield();
    }
  }
  while (received() < sent) std::this_thread::yield();
  state.PauseTiming();
  token.cancel();
  state.counters["decoded"] = static_cast<double>(counters->get(Counter::messages_decoded));
  state.counters["lost"] = static_cast<double>(counters->get(Counter::broadcast_overflows));
  state.SetItemsProcessed(state.iterations());
  state.ResumeTiming();
}
BENCHMARK(BM_CodecTask_SendDecodeEmit)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
