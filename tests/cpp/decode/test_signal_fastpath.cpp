// The word-based raw extraction against the bit-by-bit walk on random layouts and payloads.
#include "decode/signal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace orvik::decode {
namespace {

TEST(ExtractRawFastPath, EqualsReferenceOnRandomLayouts) {
  std::mt19937_64 rng(0x5EED);
  std::vector<std::uint8_t> payload;
  std::size_t absent = 0, present = 0;
  for (ByteOrder order : {ByteOrder::intel, ByteOrder::motorola}) {
    for (std::uint32_t size = 0; size <= 66; ++size) {
      for (int round = 0; round < 3000; ++round) {
        // Mostly payloads around the field's reach, so that short payloads are common.
        const std::size_t len = rng() % 20;
        payload.resize(len);
        for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
        const auto start = static_cast<std::uint32_t>(rng() % (len * 8 + 16));
        const auto fast = detail::extract_raw(payload, start, size, order);
        const auto ref = detail::extract_raw_reference(payload, start, size, order);
        ASSERT_EQ(fast, ref) << "order " << int(order) << " start " << start << " size " << size
                             << " len " << len;
        (ref ? present : absent) += 1;
      }
    }
  }
  // Both outcomes must be well represented, or the comparison proves little.
  EXPECT_GT(present, 100000u);
  EXPECT_GT(absent, 100000u);
}

TEST(ExtractRawFastPath, EveryStartOfA64ByteFrame) {
  std::mt19937_64 rng(7);
  std::vector<std::uint8_t> payload(64);
  for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
  for (ByteOrder order : {ByteOrder::intel, ByteOrder::motorola}) {
    for (std::uint32_t size = 1; size <= 64; ++size) {
      for (std::uint32_t start = 0; start < 64 * 8 + 8; ++start) {
        ASSERT_EQ(detail::extract_raw(payload, start, size, order),
                  detail::extract_raw_reference(payload, start, size, order))
            << "order " << int(order) << " start " << start << " size " << size;
      }
    }
  }
}

}  // namespace
}  // namespace orvik::decode
