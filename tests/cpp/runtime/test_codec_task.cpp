// The codec's bus task over the fake SDK and real in-memory channels: decode, transmit, stop, lag.
#include "runtime/codec_task.hpp"

#include "common/log.hpp"
#include "coro_test_util.hpp"
#include "decode/core_fixture.hpp"
#include "sdk/fake_sdk.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace orvik::runtime {
namespace {

using orvik::testing::dbc_bytes;
using orvik::testing::frame;
using orvik::testing::kDbc;

const std::vector<std::uint8_t> kStatus = {0x10, 0x27, 0x02, 0x05};

class CodecTask : public ::testing::Test {
 protected:
  DecodePipeline pipeline(bool log_raw = false) {
    DecoderConfig config{dbc_bytes(kDbc), "can", log_raw, TimestampMode::Absolute};
    sdk::SourceHandle main(sdk_.table(), sdk_->new_handle());
    std::optional<sdk::SourceHandle> raw;
    if (log_raw) raw.emplace(sdk_.table(), sdk_->new_handle());
    auto core = DecoderCore::create(std::move(config), std::move(main), std::move(raw));
    EXPECT_TRUE(core) << core.error().chain();
    counters_ = core->metrics;
    return make_decode_pipeline(std::move(*core), token_);
  }
  VirtualBusEnds open(const std::string& name, std::size_t capacity = 64) {
    auto ends = virtual_bus::open(name, capacity);
    EXPECT_TRUE(ends);
    return std::move(*ends);
  }
  // Runs every handler that is ready, including those made ready meanwhile.
  void drain() {
    context_.restart();
    while (context_.poll() > 0) {
    }
  }
  std::uint64_t count(Counter c) const { return counters_->get(c); }
  std::vector<std::string> row_events() {
    std::vector<std::string> out;
    for (const auto& r : sdk_->rows) out.push_back(sdk_->event_name(r.event));
    return out;
  }

  sdk::fake::ScopedFake sdk_;
  boost::asio::io_context context_;
  CancellationToken token_;
  SharedCounters counters_;
};

TEST_F(CodecTask, DecodesReceivedFramesSkipsErrorFramesAndStopsOnCancel) {
  log::ScopedCapture capture;
  auto bus = open("ct-decode");
  DecodePipeline p = pipeline();
  bounded::Sender<CanFrame> tx = p.tx;
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(bus.rx)));
  drain();
  EXPECT_FALSE(done->done);

  bus.tx.send(frame(0x123, kStatus));
  CanFrame error = frame(0x123, kStatus);
  error.is_error_frame = true;
  bus.tx.send(error);
  bus.tx.send(frame(0x7FF, {1}));
  drain();
  EXPECT_EQ(row_events(), std::vector<std::string>{"0123_Status"});
  EXPECT_EQ(count(Counter::messages_received), 2u);
  EXPECT_EQ(count(Counter::messages_decoded), 1u);
  EXPECT_EQ(count(Counter::unknown_messages), 1u);
  EXPECT_FALSE(tx.is_closed());

  token_.cancel();
  drain();
  ASSERT_TRUE(done->done);
  EXPECT_FALSE(done->fault);
  EXPECT_EQ(capture->count("CanCodec cancelled, shutting down"), 1u);
  auto offered = tx.try_send(frame(0x1, {}));
  ASSERT_FALSE(offered);
  EXPECT_EQ(offered.error().reason, bounded::OfferError::closed);
  EXPECT_EQ(count(Counter::decode_errors), 0u);
  EXPECT_EQ(count(Counter::tx_errors), 0u);
}

TEST_F(CodecTask, OwnTransmissionsGoOutWhole_ComeBackAndAreDecoded) {
  auto bus = open("ct-own");
  auto observer = open("ct-own");
  DecodePipeline p = pipeline();
  bounded::Sender<CanFrame> tx = p.tx;
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(bus.rx)));

  CanFrame sent = frame(0x123, kStatus, false, 2.25);
  sent.is_fd = sent.bitrate_switch = sent.error_state_indicator = sent.is_rx = true;
  ASSERT_TRUE(tx.try_send(sent));
  drain();
  EXPECT_EQ(row_events(), std::vector<std::string>{"0123_Status"});
  EXPECT_EQ(count(Counter::messages_received), 1u);
  EXPECT_EQ(sdk_->rows.at(0).time_ns, 2'250'000'000);

  auto copy = observer.rx.try_take();
  ASSERT_TRUE(copy && *copy);
  const CanFrame& got = **copy;
  EXPECT_EQ(got.timestamp, sent.timestamp);
  EXPECT_EQ(got.payload().size(), 4u);
  EXPECT_EQ(got.dlc, 4);
  EXPECT_TRUE(got.is_fd && got.bitrate_switch && got.error_state_indicator && got.is_rx);
  EXPECT_FALSE(got.is_extended_id || got.is_remote_frame || got.is_error_frame);
  token_.cancel();
  drain();
  EXPECT_TRUE(done->done);
}

TEST_F(CodecTask, FramesQueuedBeforeTheCancelAllGoOutAndLaterOffersAreRefused) {
  auto bus = open("ct-drain", 2048);
  auto observer = open("ct-drain");
  DecodePipeline p = pipeline();
  bounded::Sender<CanFrame> tx = p.tx;
  for (std::size_t i = 0; i < kTransmitQueueCapacity; ++i) {
    ASSERT_TRUE(tx.try_send(frame(static_cast<std::uint32_t>(i), {})));
  }
  auto refused = tx.try_send(frame(0x5, {}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().reason, bounded::OfferError::full);

  token_.cancel();
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(bus.rx)));
  drain();
  ASSERT_TRUE(done->done);
  // Cancellation wins the first poll at least one time in three, yet every accepted frame is
  // sent, in order.
  std::uint32_t sent = 0;
  while (auto r = observer.rx.try_take()) {
    ASSERT_TRUE(*r);
    EXPECT_EQ((*r)->arbitration_id, sent++);
  }
  EXPECT_EQ(sent, kTransmitQueueCapacity);
  EXPECT_TRUE(tx.is_closed());
}

TEST_F(CodecTask, LagIsCountedInBroadcastOverflowsAndTheTaskGoesOn) {
  auto bus = open("ct-lag", 4);
  DecodePipeline p = pipeline();
  VirtualBusRx rx = std::move(bus.rx).with_metrics(p.counters);
  for (int i = 0; i < 10; ++i) bus.tx.send(frame(0x123, kStatus));
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(rx)));
  drain();
  EXPECT_EQ(count(Counter::broadcast_overflows), 6u);
  EXPECT_EQ(count(Counter::messages_received), 4u);
  bus.tx.send(frame(0x123, kStatus));
  drain();
  EXPECT_EQ(count(Counter::messages_received), 5u);
  token_.cancel();
  drain();
  EXPECT_TRUE(done->done);
}

TEST_F(CodecTask, ReceiveErrorEndsTheTaskCountingADecodeError) {
  log::ScopedCapture capture;
  auto bus = open("ct-recv-error");
  DecodePipeline p = pipeline();
  bounded::Sender<CanFrame> tx = p.tx;
  bus.rx.mark_shutdown();
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(bus.rx)));
  drain();
  ASSERT_TRUE(done->done);
  EXPECT_EQ(capture->count("Bus recv error: VirtualBus shut down"), 1u);
  EXPECT_EQ(count(Counter::decode_errors), 1u);
  EXPECT_TRUE(tx.is_closed());
}

TEST_F(CodecTask, RunWithoutItsQueueEndIsAnInternalFault) {
  auto bus = open("ct-twice");
  DecodePipeline p = pipeline();
  p.rx.reset();
  auto done = testing::start(context_, run_codec_task(std::move(p), std::move(bus.rx)));
  drain();
  ASSERT_TRUE(done->done && done->fault);
  try {
    std::rethrow_exception(done->fault);
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "CanCodec::run called twice or after construction-time take");
  }
}

// A bus whose sends fail, and which notes, when released, what had been released before it.
struct ProbeBus {
  using value_type = Result<CanFrame>;
  VirtualBusRx rx;
  bounded::Sender<CanFrame>* queue;
  sdk::fake::FakeSdk* fake;
  std::vector<std::string>* journal;
  bool live = true;

  ProbeBus(VirtualBusRx r, bounded::Sender<CanFrame>* q, sdk::fake::FakeSdk* f,
           std::vector<std::string>* j)
      : rx(std::move(r)), queue(q), fake(f), journal(j) {}
  ProbeBus(ProbeBus&& o) noexcept
      : rx(std::move(o.rx)), queue(o.queue), fake(o.fake), journal(o.journal) {
    o.live = false;
  }
  ~ProbeBus() {
    if (!live) return;
    journal->push_back(queue->is_closed() ? "bus released after the queue closed"
                                          : "bus released with the queue open");
    journal->push_back("SDK releases before the bus: " + std::to_string(fake->releases.size()));
  }
  std::optional<Result<CanFrame>> try_take() { return rx.try_take(); }
  void add_waker(Waker& w) { rx.add_waker(w); }
  void remove_waker(Waker& w) { rx.remove_waker(w); }
  void mark_shutdown() { rx.mark_shutdown(); }
  Status send(const CanFrame&) { return fail("link down"); }
};

TEST_F(CodecTask, FailedSendIsLoggedAndCounted_ThenReleasesInOrder) {
  log::ScopedCapture capture;
  auto bus = open("ct-probe");
  DecodePipeline p = pipeline(/*log_raw=*/true);
  bounded::Sender<CanFrame> tx = p.tx;
  std::vector<std::string> journal;
  ProbeBus probe(std::move(bus.rx), &tx, &*sdk_, &journal);
  auto done = testing::start(context_, run_codec_loop(std::move(p), std::move(probe)));
  bus.tx.send(frame(0x123, kStatus));  // registers can_raw and 0123_Status on the way
  drain();
  ASSERT_TRUE(tx.try_send(frame(0xABC, {})));
  drain();
  EXPECT_EQ(capture->count("CanCodec bus.send failed for arbitration_id=0xabc: link down"), 1u);
  EXPECT_EQ(count(Counter::tx_errors), 1u);
  EXPECT_FALSE(done->done);

  sdk_->log.clear();
  token_.cancel();
  drain();
  ASSERT_TRUE(done->done);
  EXPECT_EQ(journal, (std::vector<std::string>{"bus released after the queue closed",
                                               "SDK releases before the bus: 0"}));
  // Sources (main 1, raw 2) before the events registered on them; the raw event last.
  std::vector<std::string> releases;
  for (const auto& line : sdk_->log) {
    if (line.rfind("release_", 0) == 0) releases.push_back(line);
  }
  ASSERT_EQ(releases.size(), 4u);
  EXPECT_EQ(releases[0], "release_source(1)");
  EXPECT_EQ(releases[1], "release_source(2)");
  EXPECT_EQ(releases[2].rfind("release_event(", 0), 0u);
  ASSERT_EQ(sdk_->events.at(0).name, "can_raw");
  const int raw_event = sdk_->id_of(sdk_->events.at(0).handle);
  EXPECT_EQ(releases[3], "release_event(" + std::to_string(raw_event) + ")");
}

// On the real multi-thread runtime: frames from another thread reach the decoder, and a cancel
// ends the task, closing the queue and releasing the channel, the SDK handles and the counters.
TEST_F(CodecTask, RunsDetachedOnTheRuntime) {
  constexpr int kFrames = 5000;
  auto bus = open("ct-runtime", 8192);
  DecodePipeline p = pipeline();
  bounded::Sender<CanFrame> tx = p.tx;
  std::weak_ptr<VirtualChannel> channel = bus.tx.channel();
  std::atomic<bool> ended{false};
  boost::asio::co_spawn(get().executor(), run_codec_task(std::move(p), std::move(bus.rx)),
                        [&](std::exception_ptr) { ended.store(true, std::memory_order_release); });
  for (int i = 0; i < kFrames; ++i) {
    bus.tx.send(frame(0x123, kStatus));
    if (i % 100 == 0) (void)tx.try_send(frame(0x123, kStatus));
  }
  EXPECT_TRUE(testing::eventually([&] {
    return count(Counter::messages_received) >= kFrames + 50 ||
           count(Counter::broadcast_overflows) > 0;
  }));
  token_.cancel();
  EXPECT_TRUE(testing::eventually([&] { return ended.load(std::memory_order_acquire); }));
  EXPECT_TRUE(tx.is_closed());
  bus.tx = VirtualBusTx(nullptr);
  EXPECT_TRUE(channel.expired());
  EXPECT_EQ(counters_.use_count(), 1);
  EXPECT_EQ(sdk_->releases.size(), 1u + sdk_->events.size());
}

}  // namespace
}  // namespace orvik::runtime
