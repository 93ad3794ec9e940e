// Cancellation token: cancel once, shared by clones, awaited by coroutines and plain threads.
#include "runtime/cancellation.hpp"

#include "coro_test_util.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace orvik::runtime {
namespace {

TEST(CancellationToken, ClonesShareOneCancelThatStays) {
  CancellationToken token;
  CancellationToken clone = token;
  CancellationToken other;
  EXPECT_FALSE(token.is_cancelled());
  clone.cancel();
  clone.cancel();  // harmless
  EXPECT_TRUE(token.is_cancelled());
  EXPECT_FALSE(other.is_cancelled());
  EXPECT_TRUE(token.try_take());
  EXPECT_TRUE(token.try_take());  // never consumed
}

TEST(CancellationToken, WaitingCoroutineIsWokenFromAnotherThread) {
  boost::asio::io_context context;
  CancellationToken token;
  auto outcome = testing::start(context, token.cancelled());
  context.poll();
  ASSERT_FALSE(outcome->done);
  std::thread canceller([clone = token] { clone.cancel(); });
  context.restart();
  context.run();
  canceller.join();
  EXPECT_TRUE(outcome->done);
}

TEST(CancellationToken, AlreadyCancelledCompletesAtOnceAndBlockingWaitsWake) {
  boost::asio::io_context context;
  CancellationToken token;
  token.cancel();
  testing::run_to_end(context, token.cancelled());

  CancellationToken later;
  std::thread canceller([later] { later.cancel(); });
  auto r = select_blocking(std::nullopt, later);
  canceller.join();
  EXPECT_TRUE(r);
}

}  // namespace
}  // namespace orvik::runtime
