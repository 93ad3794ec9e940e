// The Notifier listener of a CanDecoder: decodes under the mutex, keeps faults to itself, skips
// a decoder with the failed mark.
#include "python/decoder_listener.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "decode/core_fixture.hpp"

namespace orvik::testing {
namespace {

using python::CanDecoderListener;

class DecoderListenerTest : public CoreTest {
 protected:
  SharedDecoder make_state() {
    build();
    auto state = std::make_shared<DecoderState>(std::move(*core_));
    core_.reset();
    return state;
  }
  static std::uint64_t received(const SharedDecoder& s) {
    return s->counters()->get(Counter::messages_received);
  }
};

const CanFrame kStatus = frame(0x123, {0x10, 0x27, 0x03, 0x05});

TEST_F(DecoderListenerTest, FaultStaysInTheListenerAndItsDecoderIsSkippedForGood) {
  auto faulty = make_state();
  auto healthy = make_state();
  CanDecoderListener first(faulty);
  CanDecoderListener second(healthy);

  first.on_frame(kStatus);
  second.on_frame(kStatus);
  EXPECT_EQ(received(faulty), 1u);
  EXPECT_EQ(row_events().size(), 2u);

  sdk_->table.log_at = [](void*, std::int64_t, const sdk::AbiColumn*, std::size_t) -> std::int32_t {
    throw std::runtime_error("fault inside the step");
  };
  EXPECT_NO_THROW(first.on_frame(kStatus));
  EXPECT_TRUE(faulty->lock().poisoned());
  EXPECT_FALSE(healthy->lock().poisoned());

  // Later frames skip the marked decoder silently, also once the fault is gone; the other
  // listener goes on.
  sdk::fake::install(*sdk_);
  const std::size_t rows = sdk_->rows.size();
  const std::uint64_t before = received(faulty);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(first.on_frame(kStatus));
    second.on_frame(kStatus);
  }
  EXPECT_EQ(received(faulty), before);
  EXPECT_EQ(received(healthy), 4u);
  EXPECT_EQ(sdk_->rows.size(), rows + 3);
}

}  // namespace
}  // namespace orvik::testing
