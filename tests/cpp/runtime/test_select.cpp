// Random-start select: uniform first source, losers keep items, budget, blocking deadline.
#include "runtime/select.hpp"

#include "coro_test_util.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/cancellation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace orvik::runtime {
namespace {

using namespace std::chrono_literals;

TEST(Select, FirstSourceIsDrawnUniformlyWhenAllAreReady) {
  // Cancelled tokens stay ready, so every select reports its first source.
  std::array<CancellationToken, 3> tokens;
  for (auto& t : tokens) t.cancel();
  constexpr int kTrials = 6000;
  std::array<int, 2> two{};
  std::array<int, 3> three{};
  for (int i = 0; i < kTrials; ++i) {
    ++two[select_blocking(std::nullopt, tokens[0], tokens[1])->index()];
    ++three[select_blocking(std::nullopt, tokens[0], tokens[1], tokens[2])->index()];
  }
  // Seven standard deviations either side.
  for (int n : two) EXPECT_NEAR(n, kTrials / 2, 7 * 39);
  for (int n : three) EXPECT_NEAR(n, kTrials / 3, 7 * 37);
}

TEST(Select, ALosingSourceKeepsItsItem) {
  boost::asio::io_context context;
  CancellationToken cancelled;
  cancelled.cancel();
  auto q = bounded::channel<int>(4);
  q->sender.try_send(11);
  int token_wins = 0;
  std::optional<int> taken;
  testing::run_to_end(context, [&]() -> boost::asio::awaitable<void> {
    Selector selector;
    while (!taken) {
      auto r = co_await selector.select(cancelled, q->receiver);
      if (r.index() == 0) {
        ++token_wins;
        EXPECT_EQ(q->receiver.size(), 1u);
      } else {
        taken = *std::get<1>(r);
      }
    }
  });
  EXPECT_EQ(taken, 11);
  EXPECT_EQ(q->receiver.size(), 0u);
}

TEST(Select, ABusyLoopYieldsAfterItsBudgetOnlyWhenNoWorkerIsFree) {
  // A yield while a worker is free buys nothing and sends the task round the shared queue, where
  // the worker taking it over can hold up one that just took a timer. `declared` workers run the
  // context; with `blocked`, one of them is held inside a task. The loop polls both ways: select
  // alone, and the non-suspending try first.
  struct Case {
    std::size_t declared;
    bool blocked;
    int seen_at;  // the pass at which the loop saw the other task run; -1: only after it ended
  };
  const int budget = Selector::kBudget;
  const Case cases[] = {{0, false, budget}, {2, true, budget}, {2, false, -1}};
  for (const Case& c : cases) {
    for (bool try_first : {false, true}) {
      boost::asio::io_context context;
      if (c.declared > 0) BusyWorkers::of(context.get_executor()).declare_workers(c.declared);
      CancellationToken ready;
      ready.cancel();
      std::atomic<bool> inside = false;
      std::atomic<bool> release = false;
      std::thread holder;
      if (c.blocked) {
        testing::start(context, [&]() -> boost::asio::awaitable<void> {
          Selector selector;
          co_await selector.select(ready);
          inside = true;
          while (!release) std::this_thread::yield();
        });
        holder = std::thread([&] { context.run(); });
        EXPECT_TRUE(testing::eventually([&] { return inside.load(); }));
      }
      bool other_ran = false;
      int seen_at = -1;
      testing::start(context, [&]() -> boost::asio::awaitable<void> {
        Selector selector;
        for (int i = 0; i < 1000 && seen_at < 0; ++i) {
          auto event = try_first ? selector.try_select(ready) : std::nullopt;
          if (!event) event.emplace(co_await selector.select(ready));
          if (other_ran) seen_at = i;
        }
        release = true;
      });
      testing::start(context, [&]() -> boost::asio::awaitable<void> {
        other_ran = true;
        co_return;
      });
      context.run();
      if (holder.joinable()) holder.join();
      EXPECT_EQ(seen_at, c.seen_at) << "declared=" << c.declared << " blocked=" << c.blocked
                                    << " try_first=" << try_first;
    }
  }
}

TEST(Select, BlockingFormTimesOutAndIsWokenFromAnotherThread) {
  CancellationToken token;
  auto q = bounded::channel<int>(1);
  const auto start = Clock::now();
  EXPECT_FALSE(select_blocking(start + 20ms, token, q->receiver));
  EXPECT_GE(Clock::now() - start, 20ms);

  std::thread producer([tx = q->sender] { tx.try_send(3); });
  auto r = select_blocking(std::nullopt, token, q->receiver);
  producer.join();
  ASSERT_TRUE(r);
  ASSERT_EQ(r->index(), 1u);
  EXPECT_EQ(*std::get<1>(*r), 3);
}

TEST(Select, WaitingSelectWakesForWhicheverSourceBecomesReady) {
  boost::asio::io_context context;
  CancellationToken token;
  auto q = bounded::channel<int>(1);
  auto waiting = [&]() -> boost::asio::awaitable<std::size_t> {
    Selector selector;
    auto r = co_await selector.select(token, q->receiver);
    co_return r.index();
  };
  auto first = testing::start(context, waiting());
  context.poll();
  ASSERT_FALSE(first->done);
  q->sender.try_send(1);
  context.restart();
  context.run();
  EXPECT_EQ(*first->value, 1u);

  auto second = testing::start(context, waiting());
  context.restart();
  context.poll();
  ASSERT_FALSE(second->done);
  token.cancel();
  context.restart();
  context.run();
  EXPECT_EQ(*second->value, 0u);
}

}  // namespace
}  // namespace orvik::runtime
