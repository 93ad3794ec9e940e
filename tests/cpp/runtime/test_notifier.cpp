// Notifier engine: listener order, a full queue holding the reader, callback channel life, errors.
#include "runtime/notifier.hpp"

#include "common/log.hpp"
#include "coro_test_util.hpp"
#include "runtime/bounded_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace orvik::runtime {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

CanFrame frame(std::uint32_t id) {
  CanFrame f;
  f.arbitration_id = id;
  return f;
}

// Shared record of listener calls, in the order they happened.
struct Journal {
  std::mutex mutex;
  std::vector<std::string> entries;
  void add(std::string e) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(e));
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return entries;
  }
  std::size_t size() { return snapshot().size(); }
};

// Records frames; can hold the dispatcher inside a call until released; reports its release.
class Recorder : public FrameListener {
 public:
  Recorder(std::string name, std::shared_ptr<Journal> journal, std::shared_ptr<std::atomic<bool>> gone = nullptr)
      : name_(std::move(name)), journal_(std::move(journal)), gone_(std::move(gone)) {}
  ~Recorder() override {
    if (gone_) gone_->store(true);
  }
  void on_frame(const CanFrame& f) override {
    journal_->add(name_ + ":" + std::to_string(f.arbitration_id));
    if (f.arbitration_id == hold_on_) {
      std::unique_lock lock(gate_->mutex);
      gate_->cv.wait(lock, [&] { return gate_->open; });
    }
    if (f.arbitration_id == throw_on_) throw std::runtime_error("listener fault");
  }

  struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void release() {
      std::lock_guard lock(mutex);
      open = true;
      cv.notify_all();
    }
  };
  std::uint32_t hold_on_ = ~0u;
  std::uint32_t throw_on_ = ~0u;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();

 private:
  std::string name_;
  std::shared_ptr<Journal> journal_;
  std::shared_ptr<std::atomic<bool>> gone_;
};

Executor executor() { return get().executor(); }

// Cancels the token when a test leaves early, so that its tasks do not outlive it.
struct CancelOnExit {
  CancellationToken token;
  ~CancelOnExit() { token.cancel(); }
};

// Cancels and waits until the reader has released the bus receiver, so that no task of this
// test outlives it.
void stop(const NotifierHandle& handle, const VirtualBusTx& tx) {
  handle.token().cancel();
  ASSERT_TRUE(eventually([&] { return tx.channel().use_count() == 1; }));
}

TEST(Notifier, RefusesABadBufferSizeBeforeSpawningAndReleasesEverything) {
  for (std::size_t size : {std::size_t{0}, bounded::kMaxCapacity + 1}) {
    auto ends = virtual_bus::open("nt-refuse", 8);
    auto counters = std::make_shared<MetricsCounters>();
    auto gone = std::make_shared<std::atomic<bool>>(false);
    FrameListeners listeners;
    listeners.push_back(std::make_unique<Recorder>("a", std::make_shared<Journal>(), gone));
    auto handle = Notifier::start(std::move(ends->rx), std::move(listeners), counters, size, executor());
    ASSERT_FALSE(handle);
    if (size == 0) {
      EXPECT_EQ(handle.error().message(), "mpsc bounded channel requires buffer > 0");
    }
    EXPECT_TRUE(gone->load());
    EXPECT_EQ(counters.use_count(), 1);
    EXPECT_EQ(ends->tx.channel().use_count(), 1);  // the receiver went too
  }
}

TEST(Notifier, ListenersInOrderThenTheCallbackChannel) {
  auto journal = std::make_shared<Journal>();
  auto ends = virtual_bus::open("nt-order", 64);
  FrameListeners listeners;
  listeners.push_back(std::make_unique<Recorder>("a", journal));
  listeners.push_back(std::make_unique<Recorder>("b", journal));
  // Frames already waiting on the bus: the callback receiver asked for at the start sees them.
  for (std::uint32_t id = 1; id <= 3; ++id) ends->tx.send(frame(id));
  auto handle =
      Notifier::start(std::move(ends->rx), std::move(listeners), nullptr, 16, executor(), 1);
  ASSERT_TRUE(handle);
  CancelOnExit guard{handle->token()};
  auto receivers = handle->take_callback_receivers();
  ASSERT_EQ(receivers.size(), 1u);
  EXPECT_TRUE(handle->take_callback_receivers().empty());
  auto& callback = receivers[0];
  for (std::uint32_t id = 1; id <= 3; ++id) {
    auto r = recv_callback(callback);
    ASSERT_EQ(r.index(), 0u);
    EXPECT_EQ(std::get<0>(r).arbitration_id, id);
    // Both decoders were done with the frame before the callback saw it.
    auto seen = journal->snapshot();
    ASSERT_GE(seen.size(), 2 * id);
    EXPECT_EQ(seen[2 * id - 2], "a:" + std::to_string(id));
    EXPECT_EQ(seen[2 * id - 1], "b:" + std::to_string(id));
  }
  stop(*handle, ends->tx);
}

TEST(Notifier, AFullQueueHoldsTheReaderAndCancellationStillEndsIt) {
  for (bool cancel_while_held : {false, true}) {
    SCOPED_TRACE(cancel_while_held);
    auto journal = std::make_shared<Journal>();
    auto counters = std::make_shared<MetricsCounters>();
    auto ends = virtual_bus::open("nt-full", 64);
    // Waiting on the bus before the start: the reader takes them faster than the held
    // dispatcher, so a one-frame queue is full at once.
    for (std::uint32_t id = 1; id <= 6; ++id) ends->tx.send(frame(id));
    auto recorder = std::make_unique<Recorder>("a", journal);
    recorder->hold_on_ = 1;
    auto gate = recorder->gate_;
    FrameListeners listeners;
    listeners.push_back(std::move(recorder));
    auto handle = Notifier::start(std::move(ends->rx).with_metrics(counters), std::move(listeners),
                                  counters, 1, executor());
    ASSERT_TRUE(handle);
    CancelOnExit guard{handle->token()};
    ASSERT_TRUE(eventually([&] { return journal->size() == 1; }));  // dispatcher held in frame 1
    if (cancel_while_held) stop(*handle, ends->tx);  // the waiting reader ends all the same
    gate->release();
    if (!cancel_while_held) {
      ASSERT_TRUE(eventually([&] { return journal->size() == 6; }));
      EXPECT_EQ(journal->snapshot(),
                (std::vector<std::string>{"a:1", "a:2", "a:3", "a:4", "a:5", "a:6"}));
      stop(*handle, ends->tx);
    }
    EXPECT_EQ(counters->get(Counter::buffer_overflows), 0u);
    EXPECT_EQ(counters->get(Counter::broadcast_overflows), 0u);
  }
}

TEST(Notifier, CallbackReceiversSeeOnlyLaterFramesAndCloseAfterHandleAndDispatcherGo) {
  for (bool by_stop : {false, true}) {  // the handle dropped, or stopped and kept
    SCOPED_TRACE(by_stop);
    auto journal = std::make_shared<Journal>();
    auto gone = std::make_shared<std::atomic<bool>>(false);
    auto ends = virtual_bus::open("nt-callback", 64);
    FrameListeners listeners;
    listeners.push_back(std::make_unique<Recorder>("a", journal, gone));
    auto handle =
        Notifier::start(std::move(ends->rx), std::move(listeners), nullptr, 16, executor());
    ASSERT_TRUE(handle);
    CancelOnExit guard{handle->token()};
    ends->tx.send(frame(1));
    ends->tx.send(frame(2));
    // Frame 1 has been broadcast once the listener has seen frame 2.
    ASSERT_TRUE(eventually([&] { return journal->size() == 2; }));
    auto callback = handle->subscribe();
    ends->tx.send(frame(3));
    auto r = recv_callback(callback);
    ASSERT_EQ(r.index(), 0u);
    EXPECT_TRUE(std::get<0>(r).arbitration_id == 2 || std::get<0>(r).arbitration_id == 3);
    if (std::get<0>(r).arbitration_id == 2) {
      EXPECT_EQ(std::get<0>(recv_callback(callback)).arbitration_id, 3u);
    }

    const CancellationToken token = handle->token();
    token.cancel();
    ASSERT_TRUE(eventually([&] { return gone->load(); }));  // the dispatcher released its listeners
    EXPECT_FALSE(callback.try_take());                      // the handle still keeps it open
    // The reader ends on its own schedule and releases the receiver.
    ASSERT_TRUE(eventually([&] { return ends->tx.channel().use_count() == 1; }));
    if (by_stop) {
      handle->stop();
      handle->stop();
    } else {
      auto dropped = std::move(*handle);
    }
    EXPECT_EQ(recv_callback(callback).index(), 2u);
    EXPECT_TRUE(token.is_cancelled());
  }
}

TEST(Notifier, ReaderEndingOnAReceiveErrorLeavesQueuedFramesToBeDispatched) {
  log::ScopedCapture capture(log::Level::Error);
  auto journal = std::make_shared<Journal>();
  auto gone = std::make_shared<std::atomic<bool>>(false);
  auto bus = broadcast::channel<CanFrame>(16);
  auto holder = broadcast::channel<CanFrame>(1);
  VirtualBusRx rx(std::make_shared<VirtualChannel>("nt-error", std::move(holder->sender)), std::move(bus->receiver));
  auto recorder = std::make_unique<Recorder>("a", journal, gone);
  recorder->hold_on_ = 1;
  auto gate = recorder->gate_;
  FrameListeners listeners;
  listeners.push_back(std::move(recorder));
  auto handle = Notifier::start(std::move(rx), std::move(listeners), nullptr, 4, executor());
  ASSERT_TRUE(handle);
  CancelOnExit guard{handle->token()};
  bus->sender.send(frame(1));
  ASSERT_TRUE(eventually([&] { return journal->size() == 1; }));
  bus->sender.send(frame(2));
  bus->sender.send(frame(3));
  { auto closed = std::move(bus->sender); }
  ASSERT_TRUE(eventually([&] { return capture->count("Notifier recv error: VirtualBus channel closed") == 1; }));
  auto events = capture->events();
  EXPECT_EQ(events[0].target, "orvik_can::can::notifier");
  gate->release();
  ASSERT_TRUE(eventually([&] { return gone->load(); }));  // drained, then ended
  EXPECT_EQ(journal->snapshot(), (std::vector<std::string>{"a:1", "a:2", "a:3"}));
  EXPECT_FALSE(handle->token().is_cancelled());
}

TEST(Notifier, AFaultingListenerDoesNotStopTheOthersOrLaterFrames) {
  auto journal = std::make_shared<Journal>();
  auto ends = virtual_bus::open("nt-fault", 64);
  auto faulty = std::make_unique<Recorder>("a", journal);
  faulty->throw_on_ = 1;
  FrameListeners listeners;
  listeners.push_back(std::move(faulty));
  listeners.push_back(std::make_unique<Recorder>("b", journal));
  auto handle = Notifier::start(std::move(ends->rx), std::move(listeners), nullptr, 16, executor());
  ASSERT_TRUE(handle);
  CancelOnExit guard{handle->token()};
  ends->tx.send(frame(1));
  ends->tx.send(frame(2));
  ASSERT_TRUE(eventually([&] { return journal->size() == 4; }));
  EXPECT_EQ(journal->snapshot(), (std::vector<std::string>{"a:1", "b:1", "a:2", "b:2"}));
  stop(*handle, ends->tx);
}

TEST(Notifier, NoListenersReadsAndDiscards) {
  auto ends = virtual_bus::open("nt-empty", 4);
  auto counters = std::make_shared<MetricsCounters>();
  auto handle = Notifier::start(std::move(ends->rx).with_metrics(counters), {}, counters, 4, executor());
  ASSERT_TRUE(handle);
  CancelOnExit guard{handle->token()};
  auto callback = handle->subscribe();
  for (std::uint32_t id = 0; id < 3; ++id) ends->tx.send(frame(id));
  for (std::uint32_t id = 0; id < 3; ++id) EXPECT_EQ(std::get<0>(recv_callback(callback)).arbitration_id, id);
  stop(*handle, ends->tx);
  EXPECT_EQ(counters->get(Counter::buffer_overflows), 0u);
}

}  // namespace
}  // namespace orvik::runtime
