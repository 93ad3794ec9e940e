// Benchmarks of DBC loading: the whole shared corpus, its largest file, and a generated big file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decode/dbc.hpp"

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

}  // namespace

BENCHMARK_MAIN();
