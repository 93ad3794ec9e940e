// The once-only table cell: the first publication wins, for every thread, forever.
#include "sdk/table.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace orvik::sdk {
namespace {

TEST(TableCell, ConcurrentPublishersAllGetTheFirstPointer) {
  ASSERT_EQ(cached_table(), nullptr) << "run in a fresh process: the cell is never cleared";
  static SdkAbiTable tables[8]{};
  std::vector<const SdkAbiTable*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { seen[i] = publish_table(&tables[i]); });
  }
  for (auto& t : threads) t.join();
  const SdkAbiTable* winner = cached_table();
  ASSERT_NE(winner, nullptr);
  for (const SdkAbiTable* s : seen) EXPECT_EQ(s, winner);
  EXPECT_EQ(publish_table(&tables[0] == winner ? &tables[1] : &tables[0]), winner);
}

}  // namespace
}  // namespace orvik::sdk
