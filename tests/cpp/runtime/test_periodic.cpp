// Periodic sends: frames, payload swaps, zero period, queue full/closed, real-clock timing.
#include "runtime/periodic.hpp"

#include "coro_test_util.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

namespace orvik::runtime {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

Duration millis(std::uint32_t ms) { return Duration{0, ms * 1000000u}; }

CanFrame template_frame() {
  CanFrame f;
  f.arbitration_id = 0x1abcde;
  f.is_extended_id = true;
  f.is_fd = true;
  f.bitrate_switch = true;
  f.is_rx = false;
  f.timestamp = 12.5;
  const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  f.set_payload(bytes);
  return f;
}

CanFrame next_frame(VirtualBusRx& rx) {
  auto r = rx.recv_blocking(Clock::now() + 10s);
  EXPECT_TRUE(r && *r);
  return r && *r ? **r : CanFrame{};
}

TEST(Periodic, VirtualBusFramesCarryTheTemplateAndTheCurrentPayload) {
  auto ends = virtual_bus::open("pd-frames", 1024);
  auto send = start_periodic(ends->tx, template_frame(), millis(2), get().executor());
  CanFrame first = next_frame(ends->rx);
  EXPECT_EQ(first.arbitration_id, 0x1abcdeu);
  EXPECT_TRUE(first.is_extended_id && first.is_fd && first.bitrate_switch);
  EXPECT_FALSE(first.is_rx || first.is_remote_frame || first.is_error_frame || first.error_state_indicator);
  EXPECT_EQ(first.timestamp, 12.5);
  EXPECT_EQ(first.dlc, 8);
  EXPECT_EQ(first.data.size(), 8u);

  const std::pair<std::size_t, std::uint8_t> sizes[] = {{3, 3}, {0, 0}, {300, 44}};
  for (auto [size, dlc] : sizes) {
    send.payload->replace(Payload(size, 0xab));
    // A tick that copied the old bytes may still be on its way.
    CanFrame f = next_frame(ends->rx);
    while (f.data.size() != size) f = next_frame(ends->rx);
    EXPECT_EQ(f.dlc, dlc);
    EXPECT_EQ(f.arbitration_id, 0x1abcdeu);
    EXPECT_TRUE(std::all_of(f.data.begin(), f.data.end(), [](auto b) { return b == 0xab; }));
  }
  send.token.cancel();
  ASSERT_TRUE(eventually([&] { return send.payload.use_count() == 1; }));  // the task has ended
}

TEST(Periodic, AZeroPeriodEndsTheTaskBeforeAnyFrame) {
  auto ends = virtual_bus::open("pd-zero", 16);
  auto send = start_periodic(ends->tx, template_frame(), Duration{}, get().executor());
  ASSERT_TRUE(eventually([&] { return send.payload.use_count() == 1; }));
  EXPECT_FALSE(ends->rx.recv_blocking(Clock::now()));
  EXPECT_FALSE(send.is_active());  // the ended task says so
}

TEST(Periodic, KeepsItsChannelAliveAfterEveryBusHandleIsGone) {
  const std::size_t before = virtual_bus::channel_count();
  std::optional<PeriodicSend> send;
  {
    auto ends = virtual_bus::open("pd-alive", 16);
    send = start_periodic(ends->tx, template_frame(), millis(5), get().executor());
  }
  EXPECT_EQ(virtual_bus::channel_count(), before + 1);
  {
    auto watcher = virtual_bus::open("pd-alive", 16);
    next_frame(watcher->rx);  // still sending
  }
  send->token.cancel();
  ASSERT_TRUE(eventually([&] { return virtual_bus::channel_count() == before; }));
}

TEST(Periodic, QueueDestinationLosesTicksWhenFullAndEndsWhenClosed) {
  auto queue = bounded::channel<CanFrame>(1);
  auto send = start_periodic(template_frame(), millis(1), queue->sender, get().executor());
  ASSERT_TRUE(eventually([&] { return queue->receiver.size() == 1; }));
  std::this_thread::sleep_for(20ms);  // many ticks find the queue full
  EXPECT_EQ(queue->receiver.size(), 1u);
  auto first = queue->receiver.try_take();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->timestamp, 12.5);  // the message's timestamp, at every tick
  EXPECT_EQ((*first)->dlc, 8);
  ASSERT_TRUE(eventually([&] { return queue->receiver.size() == 1; }));  // still running
  EXPECT_EQ(send.payload.use_count(), 2);

  EXPECT_TRUE(send.is_active());
  { auto closed = std::move(queue->receiver); }
  EXPECT_FALSE(send.is_active());  // at once: nothing more can be sent
  ASSERT_TRUE(eventually([&] { return send.payload.use_count() == 1; }));
  EXPECT_TRUE(send.token.is_cancelled());  // the task ended at its next tick
}

TEST(Periodic, FirstFrameAtOnceThenOnTheGridWithoutBursts) {
  // One worker of our own, so the test can hold the task up.
  boost::asio::io_context context(1);
  auto work = boost::asio::make_work_guard(context);
  std::thread worker([&] { context.run(); });
  auto ends = virtual_bus::open("pd-grid", 1024);
  constexpr auto kPeriod = 50ms;

  const auto start = Clock::now();
  auto send = start_periodic(ends->tx, template_frame(), millis(50), context.get_executor());
  std::vector<Clock::time_point> arrivals;
  for (int i = 0; i < 4; ++i) {
    next_frame(ends->rx);
    arrivals.push_back(Clock::now());
  }
  // Never early: tick k is due k periods after the timer was made, which is after `start`.
  for (std::size_t k = 0; k < arrivals.size(); ++k) EXPECT_GE(arrivals[k] - start, k * kPeriod) << k;
  EXPECT_LT(arrivals[0] - start, 1s);

  // Hold the worker for ten periods: afterwards one late frame, not a burst of the missed ones.
  std::promise<Clock::time_point> stall_end;
  boost::asio::post(context, [&] {
    std::this_thread::sleep_for(500ms);
    stall_end.set_value(Clock::now());
  });
  const auto resumed = stall_end.get_future().get();
  std::this_thread::sleep_for(200ms);
  send.token.cancel();
  const auto stopped = Clock::now();
  std::size_t after_stall = 0;
  while (auto r = ends->rx.recv_blocking(Clock::now())) ++after_stall;
  // Frames sent once the stall ended: one late frame plus one per period at most, where a burst
  // would add ten more.
  const auto periods = (stopped - resumed) / kPeriod;
  EXPECT_GE(after_stall, 1u);
  EXPECT_LE(after_stall, static_cast<std::size_t>(periods) + 4);

  work.reset();
  ASSERT_TRUE(eventually([&] { return send.payload.use_count() == 1; }));
  worker.join();
}

}  // namespace
}  // namespace orvik::runtime
