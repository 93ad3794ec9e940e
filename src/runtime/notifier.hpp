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
// the channel open while the handle lives.
class NotifierHandle {
 public:
  NotifierHandle(CancellationToken token, broadcast::Sender<CanFrame> callback_sender)
      : token_(std::move(token)), callback_sender_(std::move(callback_sender)) {}

  const CancellationToken& token() const { return token_; }
  // A receiver for one callback thread; it sees frames dispatched from now on.
  broadcast::Receiver<CanFrame> subscribe() const { return callback_sender_.subscribe(); }

 private:
  CancellationToken token_;
  broadcast::Sender<CanFrame> callback_sender_;
};

class Notifier {
 public:
  // Spawns the reader and the dispatcher on `executor` and returns at once. Fails, before
  // anything is spawned, when the frame queue refuses `recv_buffer_size`; everything passed in
  // is then released.
  static Result<NotifierHandle> start(VirtualBusRx rx, FrameListeners listeners,
                                      SharedCounters counters, std::size_t recv_buffer_size,
                                      const Executor& executor);
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
