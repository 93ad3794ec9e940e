// Bounded queue: capacity limits, full versus closed offers, end of stream, and waking a waiter.
#include "runtime/bounded_queue.hpp"

#include "coro_test_util.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace orvik::runtime::bounded {
namespace {

TEST(BoundedQueue, RefusesZeroAndOverTheLargestCapacity) {
  auto zero = channel<int>(0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().message(), "mpsc bounded channel requires buffer > 0");
  auto over = channel<int>(kMaxCapacity + 1);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().message(),
            "mpsc bounded channel capacity 2305843009213693952 exceeds the largest capacity 2305843009213693951");
  // The largest capacity is accepted without reserving anything for it.
  auto largest = channel<int>(kMaxCapacity);
  ASSERT_TRUE(largest);
  EXPECT_TRUE(largest->sender.try_send(1));
}

TEST(BoundedQueue, HoldsExactlyItsCapacityInOrder) {
  for (std::size_t capacity : {1u, 3u, 1000u}) {
    auto q = channel<int>(capacity);
    for (std::size_t i = 0; i < capacity; ++i) ASSERT_TRUE(q->sender.try_send(static_cast<int>(i)));
    auto full = q->sender.try_send(-1);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().reason, OfferError::full);
    EXPECT_EQ(full.error().value, -1);
    for (std::size_t i = 0; i < capacity; ++i) {
      auto v = q->receiver.try_take();
      ASSERT_TRUE(v && *v);
      EXPECT_EQ(**v, static_cast<int>(i));
    }
    EXPECT_FALSE(q->receiver.try_take());  // empty, still open
    EXPECT_TRUE(q->sender.try_send(7));     // room again
  }
}

TEST(BoundedQueue, ClosedWhenTheReceiverGoesAndItsItemsAreDropped) {
  auto q = channel<std::shared_ptr<int>>(4);
  auto item = std::make_shared<int>(1);
  ASSERT_TRUE(q->sender.try_send(item));
  EXPECT_EQ(item.use_count(), 2);
  { auto gone = std::move(q->receiver); }
  EXPECT_EQ(item.use_count(), 1);
  EXPECT_TRUE(q->sender.is_closed());
  auto refused = q->sender.try_send(item);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().reason, OfferError::closed);
  EXPECT_EQ(refused.error().value, item);
}

TEST(BoundedQueue, CloseRefusesOffersAtOnceAndTheReceiverStillTakesWhatWasQueued) {
  for (bool by_receiver : {false, true}) {
    auto q = channel<int>(4);
    Sender<int> other = q->sender;
    ASSERT_TRUE(q->sender.try_send(1));
    ASSERT_TRUE(other.try_send(2));
    if (by_receiver) {
      q->receiver.close();
    } else {
      q->sender.close();
    }
    EXPECT_TRUE(other.is_closed());
    auto refused = other.try_send(3);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().reason, OfferError::closed);
    EXPECT_EQ(**q->receiver.try_take(), 1);
    EXPECT_EQ(**q->receiver.try_take(), 2);
    auto end = q->receiver.try_take();  // senders are left, but the queue is closed and drained
    ASSERT_TRUE(end);
    EXPECT_FALSE(*end);
  }
}

TEST(BoundedQueue, EndsForTheReceiverOnlyAfterEverySenderAndItemIsGone) {
  auto q = channel<int>(4);
  {
    Sender<int> second = q->sender;
    second.try_send(1);
    { auto first = std::move(q->sender); }
    EXPECT_EQ(**q->receiver.try_take(), 1);
    EXPECT_FALSE(q->receiver.try_take());  // a sender is left
    second.try_send(2);
  }
  EXPECT_EQ(**q->receiver.try_take(), 2);
  auto end = q->receiver.try_take();
  ASSERT_TRUE(end);
  EXPECT_FALSE(*end);
}

TEST(BoundedQueue, WaitingReceiverIsWokenByAnOfferFromAnotherThread) {
  boost::asio::io_context context;
  auto q = channel<int>(2);
  auto outcome = testing::start(context, q->receiver.recv());
  context.poll();
  ASSERT_FALSE(outcome->done);
  std::thread producer([&] { q->sender.try_send(5); });
  context.restart();
  context.run();
  producer.join();
  ASSERT_TRUE(outcome->done);
  EXPECT_EQ(**outcome->value, 5);
}

}  // namespace
}  // namespace orvik::runtime::bounded
