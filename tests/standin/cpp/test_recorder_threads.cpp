// Concurrent use of the stand-in's recorder without Python, so ThreadSanitizer can watch it.
#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/api.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "../abi.hpp"
#include "../recorder.hpp"

namespace standin {
namespace {

std::string schema_stream() {
  auto time = arrow::timestamp(arrow::TimeUnit::NANO, "UTC");
  auto schema = arrow::schema({arrow::field("time_ns", time, false),
                               arrow::field("Gear", arrow::uint8())});
  auto options = arrow::ipc::IpcWriteOptions::Defaults();
  options.alignment = 64;
  auto sink = arrow::io::BufferOutputStream::Create(512).ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema, options).ValueOrDie();
  EXPECT_TRUE(writer->Close().ok());
  auto buf = sink->Finish().ValueOrDie();
  return buf->ToString();
}

AbiColumn gear_column(uint32_t handle, uint8_t value) {
  AbiColumn c;
  std::memset(&c, 0, sizeof c);
  c.field = handle;
  c.tag = static_cast<uint8_t>(Tag::kU8);
  c.value = value;
  return c;
}

TEST(RecorderThreads, RowsFromManyThreadsWhileReadersSnapshot) {
  Recorder& rec = recorder();
  rec.reset();
  void* src = nullptr;
  ASSERT_EQ(rec.acquire_source(rec.source_named("can"), &src), 0);
  const std::string ipc = schema_stream();
  std::vector<void*> events;
  std::vector<uint32_t> handles;
  for (int e = 0; e < 4; ++e) {
    void* evt = nullptr;
    const std::string name = "012" + std::to_string(e) + "_Status";
    ASSERT_EQ(rec.add_event(src, reinterpret_cast<const uint8_t*>(name.data()), name.size(),
                            reinterpret_cast<const uint8_t*>(ipc.data()), ipc.size(), &evt),
              0);
    uint32_t handle = 0;
    ASSERT_EQ(rec.resolve_field(evt, reinterpret_cast<const uint8_t*>("Gear"), 4, &handle), 0);
    events.push_back(evt);
    handles.push_back(handle);
  }

  constexpr int kThreads = 8;
  constexpr int kRows = 5000;
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) {
        AbiColumn c = gear_column(handles[t % 4], static_cast<uint8_t>(i));
        ASSERT_EQ(rec.log_at(events[t % 4], i, &c, 1, false), 0);
      }
    });
  }
  pool.emplace_back([&] {
    for (int i = 0; i < 50; ++i) {
      (void)rec.stats();
      (void)rec.events();
      (void)rec.rows();
    }
  });
  for (auto& th : pool) th.join();

  Stats stats = rec.stats();
  EXPECT_EQ(stats.rows, uint64_t{kThreads * kRows});
  EXPECT_EQ(rec.rows().size(), size_t{kThreads * kRows});
  EXPECT_TRUE(stats.violations.empty()) << stats.violations.front();

  rec.set_count_only(true);
  std::vector<std::thread> counters;
  for (int t = 0; t < kThreads; ++t) {
    counters.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) rec.log_at(events[t % 4], i, nullptr, 0, false);
    });
  }
  for (auto& th : counters) th.join();
  EXPECT_EQ(rec.stats().rows, uint64_t{2 * kThreads * kRows});

  rec.release_source(src);
  for (void* evt : events) rec.release_event(evt);
  EXPECT_EQ(rec.stats().live_events, 0);
  EXPECT_TRUE(rec.stats().violations.empty());
}

}  // namespace
}  // namespace standin
