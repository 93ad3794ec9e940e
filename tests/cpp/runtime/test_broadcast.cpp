// Broadcast ring: capacities, delivery after subscribing, lag counts, closing, non-consuming waits,
// and the zero-filled slots it starts from.
#include "runtime/broadcast.hpp"

#include "coro_test_util.hpp"
#include "decode/frame.hpp"
#include "runtime/cancellation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace orvik::runtime::broadcast {
namespace {

using namespace std::chrono_literals;

int value_of(const std::optional<RecvResult<int>>& r) {
  EXPECT_TRUE(r.has_value());
  EXPECT_EQ(r->index(), 0u);
  return r && r->index() == 0 ? std::get<0>(*r) : -1;
}

TEST(Broadcast, CapacityRoundsUpToAPowerOfTwo) {
  const std::pair<std::size_t, std::size_t> cases[] = {{1, 1}, {2, 2}, {3, 4}, {1000, 1024}, {65536, 65536}};
  for (auto [requested, slots] : cases) {
    auto ch = channel<int>(requested);
    ASSERT_TRUE(ch) << requested;
    EXPECT_EQ(ch->sender.capacity(), slots) << requested;
  }
}

TEST(Broadcast, RefusesZeroAndOverHalfTheWordRange) {
  auto zero = channel<int>(0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().message(), "broadcast channel capacity cannot be zero");
  for (std::size_t c : {kMaxCapacity + 1, std::numeric_limits<std::size_t>::max()}) {
    auto big = channel<int>(c);
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().message(), "broadcast channel capacity exceeded `usize::MAX / 2`");
  }
}

TEST(Broadcast, SendWithoutReceiverHandsTheValueBack) {
  auto ch = channel<int>(4);
  ASSERT_TRUE(ch);
  { auto first = std::move(ch->receiver); }
  auto refused = ch->sender.send(7);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), 7);
  auto rx = ch->sender.subscribe();
  EXPECT_TRUE(ch->sender.send(8));
  EXPECT_EQ(value_of(rx.try_take()), 8);
}

TEST(Broadcast, ReceiversSeeOnlyWhatIsSentAfterSubscribing) {
  auto ch = channel<int>(8);
  ch->sender.send(1);
  auto late = ch->sender.subscribe();
  ch->sender.send(2);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 1);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 2);
  EXPECT_EQ(value_of(late.try_take()), 2);
  EXPECT_FALSE(late.try_take());
  EXPECT_FALSE(ch->receiver.try_take());
}

TEST(Broadcast, LagReportsTheLossThenTheOldestHeld) {
  auto ch = channel<int>(4);
  for (int i = 1; i <= 10; ++i) ch->sender.send(i);
  auto r = ch->receiver.try_take();
  ASSERT_TRUE(r && r->index() == 1);
  EXPECT_EQ(std::get<1>(*r).missed, 6u);
  for (int expected : {7, 8, 9, 10}) EXPECT_EQ(value_of(ch->receiver.try_take()), expected);
  EXPECT_FALSE(ch->receiver.try_take());
  // A second lap of loss is reported again, as its own episode.
  for (int i = 11; i <= 16; ++i) ch->sender.send(i);
  r = ch->receiver.try_take();
  ASSERT_TRUE(r && r->index() == 1);
  EXPECT_EQ(std::get<1>(*r).missed, 2u);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 13);
  // After a lag the receiver copies the run still held (14 to 16), so those arrive even though
  // the ring overwrites them meanwhile: each value is delivered or counted, once, in order.
  for (int i = 17; i <= 22; ++i) ch->sender.send(i);
  for (int expected : {14, 15, 16}) EXPECT_EQ(value_of(ch->receiver.try_take()), expected);
  r = ch->receiver.try_take();
  ASSERT_TRUE(r && r->index() == 1);
  EXPECT_EQ(std::get<1>(*r).missed, 2u);
  for (int expected : {19, 20, 21, 22}) EXPECT_EQ(value_of(ch->receiver.try_take()), expected);
  EXPECT_FALSE(ch->receiver.try_take());
}

TEST(Broadcast, ClosesWhenTheLastSenderGoesAfterTheRestIsRead) {
  auto ch = channel<int>(4);
  auto second = std::make_unique<Sender<int>>(ch->sender);
  ch->sender.send(1);
  { auto gone = std::move(ch->sender); }
  second->send(2);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 1);
  second.reset();
  EXPECT_EQ(value_of(ch->receiver.try_take()), 2);
  for (int i = 0; i < 2; ++i) {
    auto r = ch->receiver.try_take();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index(), 2u);
  }
}

TEST(Broadcast, LagIsReportedBeforeClosed) {
  auto ch = channel<int>(2);
  for (int i = 0; i < 5; ++i) ch->sender.send(i);
  { auto gone = std::move(ch->sender); }
  auto r = ch->receiver.try_take();
  ASSERT_TRUE(r && r->index() == 1);
  EXPECT_EQ(std::get<1>(*r).missed, 3u);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 3);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 4);
  EXPECT_EQ(ch->receiver.try_take()->index(), 2u);
}

TEST(Broadcast, AbandonedWaitConsumesNothing) {
  boost::asio::io_context context;
  auto ch = channel<int>(4);
  CancellationToken token;
  auto outcome = testing::start(context, [&]() -> boost::asio::awaitable<std::size_t> {
    Selector selector;
    auto r = co_await selector.select(token, ch->receiver);
    co_return r.index();
  });
  context.poll();
  EXPECT_FALSE(outcome->done);  // parked on both sources
  token.cancel();
  context.run();
  ASSERT_TRUE(outcome->done);
  EXPECT_EQ(*outcome->value, 0u);
  ch->sender.send(5);
  EXPECT_EQ(value_of(ch->receiver.try_take()), 5);
}

TEST(Broadcast, AsyncReceiveIsWokenBySendFromAnotherThread) {
  boost::asio::io_context context;
  auto ch = channel<int>(4);
  auto outcome = testing::start(context, ch->receiver.recv());
  context.poll();
  ASSERT_FALSE(outcome->done);
  std::thread sender([&] { ch->sender.send(42); });
  context.restart();
  context.run();
  sender.join();
  ASSERT_TRUE(outcome->done);
  EXPECT_EQ(std::get<0>(*outcome->value), 42);
}

TEST(Broadcast, BlockingReceiveWakesOnSendAndTimesOutWhenIdle) {
  auto ch = channel<int>(4);
  EXPECT_FALSE(ch->receiver.recv_blocking(Clock::now()));
  EXPECT_FALSE(ch->receiver.recv_blocking(Clock::now() + 2ms));
  std::thread sender([&] { ch->sender.send(9); });
  auto r = ch->receiver.recv_blocking();  // no deadline
  sender.join();
  EXPECT_EQ(value_of(r), 9);
  // A value already there wins over a deadline already passed.
  ch->sender.send(10);
  EXPECT_EQ(value_of(ch->receiver.recv_blocking(Clock::now() - 1s)), 10);
}

TEST(Broadcast, EveryReceiverGetsItsOwnCopy) {
  auto ch = channel<std::string>(4);
  auto second = ch->sender.subscribe();
  ch->sender.send(std::string(100, 'x'));
  auto a = ch->receiver.try_take();
  auto b = second.try_take();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(std::get<0>(*a), std::string(100, 'x'));
  EXPECT_NE(std::get<0>(*a).data(), std::get<0>(*b).data());
}

TEST(Broadcast, ReleasesEveryValueItHolds) {
  // Slots get their value at their first send: a ring never filled and one that went round both
  // give back exactly what they hold when the channel goes.
  for (int sends : {0, 3, 11}) {
    auto value = std::make_shared<int>(0);
    {
      auto ch = channel<std::shared_ptr<int>>(8);
      for (int i = 0; i < sends; ++i) ch->sender.send(value);
      EXPECT_EQ(value.use_count(), 1 + std::min(sends, 8)) << sends;
    }
    EXPECT_EQ(value.use_count(), 1) << sends;
  }
}

TEST(Broadcast, ConstructingAnEmptyFrameSlotWritesOnlyZeroBytes) {
  // The ring takes its slots from zero-filled memory and never constructs them, so whatever
  // constructing an empty slot writes (lock, stamp, the optional's flag) must be zero bytes. The
  // frame's own bytes are not among them: the first send constructs the frame in place.
  using FrameSlot = detail::Slot<CanFrame>;
  using Bytes = std::array<unsigned char, sizeof(FrameSlot)>;
  const auto constructed_over = [](unsigned char fill) {
    alignas(FrameSlot) Bytes storage;
    storage.fill(fill);
    asm volatile("" : : "r"(storage.data()) : "memory");  // the filling reaches memory
    auto* slot = ::new (storage.data()) FrameSlot;
    asm volatile("" : : "r"(storage.data()) : "memory");  // and the bytes are read back from it
    Bytes seen;
    std::memcpy(seen.data(), storage.data(), seen.size());
    std::destroy_at(slot);
    return seen;
  };
  const Bytes a = constructed_over(0x5A), b = constructed_over(0xA5);
  for (std::size_t i = 0; i < a.size(); ++i) {
    // A byte that differs between the two fillings is one the construction left alone.
    if (a[i] == b[i]) {
      EXPECT_EQ(a[i], 0) << "byte " << i << " of " << a.size();
    }
  }
}

}  // namespace
}  // namespace orvik::runtime::broadcast
