// The notifier engine: a bus reader and a dispatcher joined by a queue, feeding listeners.
#pragma once

#include "common/error.hpp"
#include "decode/frame.hpp"
#include "decode/metrics.hpp"
#include "runtime/broadcast.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/runtime.hpp"
#include "runtime/virtual_bus.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace orvik::runtime {

inline constexpr const char* kNotifierTarget = "orvik_can::can::notifier";
// Frames held for each callback thread before it starts to lose the oldest.
inline constexpr std::size_t kCallbackChannelCapacity = 1024;

// A native listener. on_frame runs on a runtime worker, so implementations must be safe to move
// between threads, and they handle their own failures.
class FrameListener {
 public:
  virtual ~FrameListener() = default;
  virtual void on_frame(const CanFrame& frame) = 0;
};

using FrameListeners = std::vector<std::unique_ptr<FrameListener>>;

// What the Python Notifier keeps: the token, and a sending end of the callback channel that keeps
// the channel open until stop() or the handle's end.
class NotifierHandle {
 public:
  NotifierHandle(CancellationToken token, broadcast::Sender<CanFrame> callback_sender,
                 std::vector<broadcast::Receiver<CanFrame>> callback_receivers)
      : token_(std::move(token)),
        callback_sender_(std::move(callback_sender)),
        callback_receivers_(std::move(callback_receivers)) {}

  const CancellationToken& token() const { return token_; }
  // A receiver that sees frames dispatched from now on. Not after stop().
  broadcast::Receiver<CanFrame> subscribe() const { return callback_sender_->subscribe(); }
  // The receivers subscribed before the tasks started, one per callback thread asked for: they
  // see every frame the reader takes. Moved out once.
  std::vector<broadcast::Receiver<CanFrame>> take_callback_receivers() {
    return std::exchange(callback_receivers_, {});
  }
  // Cancels the tasks and lets go of the callback channel, so that it closes once the dispatcher
  // has ended: each callback receiver then reads what is still held for it and sees the end.
  void stop() {
    token_.cancel();
    callback_sender_.reset();
  }

 private:
  CancellationToken token_;
  std::optional<broadcast::Sender<CanFrame>> callback_sender_;
  std::vector<broadcast::Receiver<CanFrame>> callback_receivers_;
};

class Notifier {
 public:
  // Subscribes `callback_receivers` receivers to the callback channel, spawns the reader and the
  // dispatcher on `executor` and returns at once. Fails, before anything is spawned, when the
  // frame queue refuses `recv_buffer_size`; everything passed in is then released.
  static Result<NotifierHandle> start(VirtualBusRx rx, FrameListeners listeners,
                                      SharedCounters counters, std::size_t recv_buffer_size,
                                      const Executor& executor,
                                      std::size_t callback_receivers = 0);
};

// Blocks a callback thread until its next frame, a lag report, or the channel's end. It holds no
// interpreter lock and runs no Python while it waits.
inline broadcast::RecvResult<CanFrame> recv_callback(broadcast::Receiver<CanFrame>& receiver) {
  return *receiver.recv_blocking();
}

// What recv_callback would return at once, or nullopt when it would have to wait. Never blocks.
inline std::optional<broadcast::RecvResult<CanFrame>> try_recv_callback(
    broadcast::Receiver<CanFrame>& receiver) {
  return receiver.try_take();
}

}  // namespace orvik::runtime
