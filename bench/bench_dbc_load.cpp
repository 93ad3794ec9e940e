// Benchmarks of DBC loading: the whole shared corpus, its largest file, and a generated big file;
// and of up-front event registration for a message with many switch values.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "accepting_sdk.hpp"
#include "decode/core.hpp"
#include "decode/dbc.hpp"
#include "sdk/abi.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpus_texts() {
  std::vector<fs::path> paths;
  const fs::path dir = fs::path(ORVIK_SOURCE_DIR) / ".." / "shared" / "corpus";
  if (fs::is_directory(dir)) {
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (e.path().extension() == ".dbc") paths.push_back(e.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> texts;
  for (const auto& p : paths) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    texts.push_back(s.str());
  }
  return texts;
}

// Parse and build every corpus file from memory (no file reads inside the loop).
void BM_LoadWholeCorpus(benchmark::State& state) {
  const auto texts = corpus_texts();
  if (texts.empty()) {
    state.SkipWithError("corpus folder absent");
    return;
  }
  std::size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  for (auto _ : state) {
    for (const auto& t : texts) {
      auto db = orvik::dbc::DecodeDb::from_dbc_str(t);
      benchmark::DoNotOptimize(db);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
  state.counters["files"] = static_cast<double>(texts.size());
}
BENCHMARK(BM_LoadWholeCorpus)->Unit(benchmark::kMillisecond);

void BM_LoadLargestCorpusFile(benchmark::State& state) {
  const auto texts = corpus_texts();
  if (texts.empty()) {
    state.SkipWithError("corpus folder absent");
    return;
  }
  const auto& largest = *std::max_element(
      texts.begin(), texts.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
  for (auto _ : state) {
    auto db = orvik::dbc::DecodeDb::from_dbc_str(largest);
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(largest.size() * state.iterations()));
}
BENCHMARK(BM_LoadLargestCorpusFile)->Unit(benchmark::kMillisecond);

// 2000 messages of 16 signals, each with a value table: a large generated database.
void BM_LoadGenerated(benchmark::State& state) {
  std::string text = "VERSION \"\"\nBU_: A\n";
  for (int m = 0; m < 2000; ++m) {
    const std::string id = std::to_string(0x80000000u + m);
    text += "BO_ " + id + " Msg" + std::to_string(m) + ": 64 A\n";
    for (int s = 0; s < 16; ++s) {
      text += " SG_ S" + std::to_string(s) + " : " + std::to_string(s * 16) +
              "|16@1- (0.01,-40) [-100|100] \"unit\" A\n";
    }
    text += "VAL_ " + id + " S0 0 \"off\" 1 \"on\" 2 \"error\" ;\n";
  }
  for (auto _ : state) {
    auto db = orvik::dbc::DecodeDb::from_dbc_str(text);
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size() * state.iterations()));
}
BENCHMARK(BM_LoadGenerated)->Unit(benchmark::kMillisecond);

// One message whose multiplexor selects a different signal for each of `range(0)` values: the
// up-front registration of its sub-events (the DBC is parsed outside the timing).
void BM_EmitSchemasManySwitchValues(benchmark::State& state) {
  const auto values = state.range(0);
  std::string text = "BO_ 1 Wide: 8 A\n SG_ Sel M : 0|32@1+ (1,0) [0|0] \"\" A\n";
  for (std::int64_t v = 0; v < values; ++v) {
    text += " SG_ S" + std::to_string(v) + " m" + std::to_string(v) +
            " : 32|8@1+ (1,0) [0|0] \"\" A\n";
  }
  const orvik::DbcSource dbc{orvik::DbcSource::Bytes{{text.begin(), text.end()}}};
  const orvik::sdk::SdkAbiTable* sdk = accepting_sdk();
  for (auto _ : state) {
    state.PauseTiming();
    auto core = orvik::DecoderCore::create(
        orvik::DecoderConfig{dbc, "can", false, orvik::TimestampMode::Auto},
        orvik::sdk::SourceHandle(sdk, accepted_handle()), std::nullopt);
    if (!core) {
      state.SkipWithError("the generated DBC did not load");
      return;
    }
    state.ResumeTiming();
    const auto done = core->emit_schemas();
    benchmark::DoNotOptimize(done);
    state.PauseTiming();
    core = orvik::fail("released");  // drops the core outside the timing
    state.ResumeTiming();
  }
  state.counters["events"] = static_cast<double>(values + 1);
}
BENCHMARK(BM_EmitSchemasManySwitchValues)
    ->Arg(5000)
    ->Arg(20000)
    ->Arg(80000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
