// Virtual bus: sharing by name, capacity rules, eviction vs open, lag accounting, errors.
#include "runtime/virtual_bus.hpp"

#include "common/log.hpp"
#include "coro_test_util.hpp"
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace orvik::runtime {
namespace {

using namespace std::chrono_literals;

CanFrame frame(std::uint32_t id, std::initializer_list<std::uint8_t> bytes = {}) {
  CanFrame f;
  f.arbitration_id = id;
  f.set_payload(std::vector<std::uint8_t>(bytes));
  f.is_rx = true;
  return f;
}

std::uint32_t id_of(const std::optional<Result<CanFrame>>& r) {
  EXPECT_TRUE(r && *r);
  return r && *r ? (*r)->arbitration_id : 0xffffffff;
}

TEST(VirtualBus, OpensOnOneNameShareTheFirstChannelAndItsCapacity) {
  const std::size_t before = virtual_bus::channel_count();
  auto a = virtual_bus::open("vb-share", 8);
  auto b = virtual_bus::open("vb-share", 1000);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->tx.channel(), b->tx.channel());
  EXPECT_EQ(b->tx.channel()->capacity(), 8u);
  EXPECT_EQ(virtual_bus::channel_count(), before + 1);
  // Names are exact byte strings.
  auto upper = virtual_bus::open("VB-SHARE", 8);
  auto empty = virtual_bus::open("", 8);
  auto with_nul = virtual_bus::open(std::string_view("vb-share\0x", 10), 8);
  ASSERT_TRUE(upper && empty && with_nul);
  EXPECT_NE(upper->tx.channel(), a->tx.channel());
  EXPECT_NE(with_nul->tx.channel(), a->tx.channel());
  EXPECT_EQ(virtual_bus::channel_count(), before + 4);
}

TEST(VirtualBus, CapacityIsCheckedOnlyWhenANewChannelIsMade) {
  const std::size_t before = virtual_bus::channel_count();
  auto zero = virtual_bus::open("vb-cap", 0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().message(), "broadcast channel capacity cannot be zero");
  auto huge = virtual_bus::open("vb-cap", std::numeric_limits<std::size_t>::max());
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message(), "broadcast channel capacity exceeded `usize::MAX / 2`");
  EXPECT_EQ(virtual_bus::channel_count(), before);  // nothing registered, lock released
  auto live = virtual_bus::open("vb-cap", 4);
  ASSERT_TRUE(live);
  auto joined = virtual_bus::open("vb-cap", 0);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->tx.channel()->capacity(), 4u);
}

TEST(VirtualBus, EveryReceiverOnTheNameGetsFramesSentAfterItOpened) {
  auto a = virtual_bus::open("vb-fanout", 16);
  auto b = virtual_bus::open("vb-fanout", 16);
  a->tx.send(frame(1, {1, 2}));
  auto late = virtual_bus::open("vb-fanout", 16);
  b->tx.send(frame(2));
  EXPECT_EQ(id_of(a->rx.recv_blocking(Clock::now())), 1u);  // its own frame too
  EXPECT_EQ(id_of(a->rx.recv_blocking(Clock::now())), 2u);
  auto first = b->rx.recv_blocking(Clock::now());
  EXPECT_EQ(id_of(first), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>((*first)->data.begin(), (*first)->data.end()),
            (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ((*first)->dlc, 2);
  EXPECT_EQ(id_of(late->rx.recv_blocking(Clock::now())), 2u);
  EXPECT_FALSE(late->rx.recv_blocking(Clock::now()));
}

TEST(VirtualBus, LagIsCountedWhenCountersAreAttachedAndLoggedOnce) {
  log::ScopedCapture capture(log::Level::Warn);
  auto counters = std::make_shared<MetricsCounters>();
  auto ends = virtual_bus::open("vb-lag", 4);
  VirtualBusRx rx = std::move(ends->rx).with_metrics(counters);
  for (std::uint32_t id = 1; id <= 10; ++id) ends->tx.send(frame(id));
  EXPECT_EQ(id_of(rx.recv_blocking(Clock::now())), 7u);
  EXPECT_EQ(counters->get(Counter::broadcast_overflows), 6u);
  auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "orvik_can::can::virtual_bus");
  EXPECT_EQ(events[0].message, "VirtualBus 'vb-lag': skipped 6 frames (slow consumer)");
  for (std::uint32_t id : {8u, 9u, 10u}) EXPECT_EQ(id_of(rx.recv_blocking(Clock::now())), id);

  // Without counters the lag is logged but counted nowhere.
  auto plain = virtual_bus::open("vb-lag", 4);
  for (std::uint32_t id = 1; id <= 5; ++id) ends->tx.send(frame(id));
  EXPECT_EQ(id_of(plain->rx.recv_blocking(Clock::now())), 2u);
  EXPECT_EQ(capture->count("VirtualBus 'vb-lag': skipped 1 frames (slow consumer)"), 1u);
  EXPECT_EQ(counters->get(Counter::broadcast_overflows), 6u);
}

TEST(VirtualBus, LastReleaseEvictsAndTheNextOpenIsFresh) {
  const std::size_t before = virtual_bus::channel_count();
  {
    auto a = virtual_bus::open("vb-evict", 4);
    VirtualBusTx kept_tx = a->tx;
    { auto gone = std::move(a); }
    EXPECT_EQ(virtual_bus::channel_count(), before + 1);  // a sender alone keeps it
    kept_tx.send(frame(1));                                // no receiver: dropped quietly
  }
  EXPECT_EQ(virtual_bus::channel_count(), before);
  auto again = virtual_bus::open("vb-evict", 1000);
  EXPECT_EQ(again->tx.channel()->capacity(), 1024u);
  EXPECT_FALSE(again->rx.recv_blocking(Clock::now()));
}

TEST(VirtualBus, EvictionRacingAnOpenNeverLosesTheLiveChannel) {
  for (int round = 0; round < 300; ++round) {
    auto old_ends = virtual_bus::open("vb-race", 2);
    std::promise<Result<VirtualBusEnds>> opened;
    std::thread dropper([&] { auto gone = std::move(old_ends); });
    std::thread opener([&] { opened.set_value(virtual_bus::open("vb-race", 2)); });
    dropper.join();
    opener.join();
    auto fresh = opened.get_future().get();
    ASSERT_TRUE(fresh);
    auto again = virtual_bus::open("vb-race", 2);
    ASSERT_EQ(again->tx.channel(), fresh->tx.channel()) << round;
  }
}

TEST(VirtualBus, ReceiveErrors) {
  auto ends = virtual_bus::open("vb-errors", 4);
  ends->tx.send(frame(1));
  ends->rx.mark_shutdown();
  auto r = ends->rx.recv_blocking(Clock::now());
  ASSERT_TRUE(r && !*r);
  EXPECT_EQ(r->error().message(), "VirtualBus shut down");

  // A receiver whose sender has gone (not reachable through open) reports the close.
  auto other = broadcast::channel<CanFrame>(4);
  auto holder = broadcast::channel<CanFrame>(1);
  VirtualBusRx orphan(std::make_shared<VirtualChannel>("vb-orphan", std::move(holder->sender)),
                      std::move(other->receiver));
  { auto gone = std::move(other->sender); }
  r = orphan.recv_blocking(Clock::now());
  ASSERT_TRUE(r && !*r);
  EXPECT_EQ(r->error().message(), "VirtualBus channel closed");
}

TEST(VirtualBus, BlockingReceiveTimesOutOrIsWokenByAnotherHandle) {
  auto waiting = virtual_bus::open("vb-block", 16);
  auto other = virtual_bus::open("vb-block", 16);
  const auto start = Clock::now();
  EXPECT_FALSE(waiting->rx.recv_blocking(start + 30ms));
  EXPECT_GE(Clock::now() - start, 30ms);
  std::thread sender([&] {
    std::this_thread::sleep_for(5ms);
    other->tx.send(frame(0x123, {1, 2}));
  });
  EXPECT_EQ(id_of(waiting->rx.recv_blocking(std::nullopt)), 0x123u);
  sender.join();
}

TEST(VirtualBus, AsyncReceiveOnTheRuntime) {
  auto ends = virtual_bus::open("vb-async", 16);
  std::promise<Result<CanFrame>> got;
  spawn(get().executor(), [&]() -> boost::asio::awaitable<void> {
    got.set_value(co_await ends->rx.recv());
  });
  auto sender = virtual_bus::open("vb-async", 16);
  sender->tx.send(frame(77));
  auto r = got.get_future().get();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->arbitration_id, 77u);
}

}  // namespace
}  // namespace orvik::runtime
