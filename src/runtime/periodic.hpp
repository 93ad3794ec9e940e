// Periodic sends: a detached task per send repeating a template frame with a replaceable payload.
#pragma once

#include "decode/frame.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/duration.hpp"
#include "runtime/runtime.hpp"
#include "runtime/virtual_bus.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <span>

namespace orvik::runtime {

// The payload of one periodic send, shared by its handle and its task. The lock is held only to
// copy or swap the bytes, never across a wait or a send.
class PeriodicPayload {
 public:
  explicit PeriodicPayload(std::span<const std::uint8_t> bytes)
      : bytes_(bytes.begin(), bytes.end()) {}

  Payload copy() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  // Takes effect at the next tick; a tick that already copied sends the old bytes.
  void replace(Payload bytes) {
    {
      std::lock_guard lock(mutex_);
      bytes_.swap(bytes);
    }
    // The old bytes are freed here, outside the lock.
  }

 private:
  mutable std::mutex mutex_;
  Payload bytes_;
};

// The handle's share of one periodic send. The task cancels the token itself when it ends for
// any other reason, so the token tells whether the task still runs.
struct PeriodicSend {
  CancellationToken token;
  std::shared_ptr<PeriodicPayload> payload;
  // A codec send's queue: once closed, the task can send nothing more, even before its next tick
  // finds out and ends it.
  std::optional<bounded::Sender<CanFrame>> queue;

  // True exactly while the task can still send.
  bool is_active() const { return !token.is_cancelled() && !(queue && queue->is_closed()); }
};

// Broadcasts `frame` with the current payload on `tx`'s channel every `period`, the first at once,
// until the token is cancelled. The task holds its own channel reference. A zero period ends the
// task at once, having sent nothing.
PeriodicSend start_periodic(const VirtualBusTx& tx, CanFrame frame, Duration period,
                            const Executor& executor);

// Offers `frame` with the current payload to a transmit queue every `period`. A full queue loses
// that tick; a closed queue ends the task.
PeriodicSend start_periodic(CanFrame frame, Duration period, bounded::Sender<CanFrame> queue,
                            const Executor& executor);

}  // namespace orvik::runtime
