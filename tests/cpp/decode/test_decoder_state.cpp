// The decoder mutex of a CanDecoder: steps under it, the failed mark, the idle wait, threads.
#include "decode/decoder_state.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "decode/core_fixture.hpp"

namespace orvik::testing {
namespace {

using Step = DecoderState::Step;

class DecoderStateTest : public CoreTest {
 protected:
  DecoderState& state() {
    if (!state_) {
      build();
      state_.emplace(std::move(*core_));
      core_.reset();
    }
    return *state_;
  }
  std::uint64_t counter(Counter c) { return state().counters()->get(c); }

  // Makes every row call throw, as an internal fault inside the per-frame step would.
  void fault_on_rows() {
    sdk_->table.log_at = [](void*, std::int64_t, const sdk::AbiColumn*, std::size_t) -> std::int32_t {
      throw std::runtime_error("fault inside the step");
    };
  }

  std::optional<DecoderState> state_;
};

const CanFrame kStatus = frame(0x123, {0x10, 0x27, 0x03, 0x05});

TEST_F(DecoderStateTest, ProcessRunsTheStepOnTheCore) {
  EXPECT_EQ(state().process(kStatus), Step::done);
  EXPECT_EQ(counter(Counter::messages_received), 1u);
  EXPECT_EQ(counter(Counter::messages_decoded), 1u);
  EXPECT_EQ(row_events(), std::vector<std::string>{"0123_Status"});
  EXPECT_EQ(state().counters(), state().lock().core().metrics);
}

TEST_F(DecoderStateTest, FaultInsideTheStepPoisonsForGood) {
  state();
  fault_on_rows();
  EXPECT_THROW(state().process(kStatus), std::runtime_error);
  EXPECT_TRUE(state().lock().poisoned());

  // Later steps do not touch the core, even once the fault is gone.
  sdk::fake::install(*sdk_);
  const std::size_t rows = sdk_->rows.size();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(state().process(kStatus), Step::poisoned);
  EXPECT_EQ(sdk_->rows.size(), rows);
  EXPECT_EQ(counter(Counter::messages_received), 1u);

  state().wait_idle();  // ignores the mark
  EXPECT_TRUE(state().lock().poisoned());
}

TEST_F(DecoderStateTest, OnlyAnExceptionLeavingTheHeldScopePoisons) {
  {
    auto held = state().lock();
    try {
      throw std::runtime_error("handled while held");
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_FALSE(state().lock().poisoned());

  // A lock taken and released inside a destructor during unrelated unwinding is clean.
  struct LocksOnUnwind {
    DecoderState* s;
    ~LocksOnUnwind() { auto held = s->lock(); }
  };
  try {
    LocksOnUnwind guard{&state()};
    throw std::logic_error("unrelated");
  } catch (const std::logic_error&) {
  }
  EXPECT_FALSE(state().lock().poisoned());
  EXPECT_EQ(state().process(kStatus), Step::done);

  // Any holder's fault counts, not only the step's: a listener holding the lock, say.
  try {
    auto held = state().lock();
    throw std::runtime_error("fault while held");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(state().lock().poisoned());
  EXPECT_EQ(state().process(kStatus), Step::poisoned);
}

TEST_F(DecoderStateTest, WaitIdleWaitsForTheHolder) {
  std::atomic<bool> returned{false};
  std::thread waiter;
  {
    auto held = state().lock();
    waiter = std::thread([&] {
      state_->wait_idle();
      returned = true;
    });
    // Whatever the scheduling, the waiter cannot return while the mutex is held here.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
  }
  waiter.join();
  EXPECT_TRUE(returned);
}

TEST_F(DecoderStateTest, StepsFromManyThreadsAllCount) {
  state();
  constexpr int kThreads = 4;
  constexpr int kFrames = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kFrames; ++i) ASSERT_EQ(state_->process(kStatus), Step::done);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter(Counter::messages_received), std::uint64_t{kThreads * kFrames});
  EXPECT_EQ(counter(Counter::messages_decoded), std::uint64_t{kThreads * kFrames});
  EXPECT_EQ(sdk_->rows.size(), std::size_t{kThreads * kFrames});
  EXPECT_EQ(sdk_->events.size(), 1u);  // registered once
}

}  // namespace
}  // namespace orvik::testing
