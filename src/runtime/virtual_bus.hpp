// The in-memory CAN bus: named broadcast channels shared through a registry of weak references.
#pragma once

#include "common/error.hpp"
#include "decode/frame.hpp"
#include "decode/metrics.hpp"
#include "runtime/broadcast.hpp"
#include "runtime/waker.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvik::runtime {

inline constexpr const char* kVirtualBusTarget = "orvik_can::can::virtual_bus";

// One named channel. It holds the channel's only sender, so the channel closes exactly when the
// last strong reference goes; that release also evicts the registry entry unless a newer channel
// has taken the name meanwhile.
class VirtualChannel {
 public:
  VirtualChannel(std::string name, broadcast::Sender<CanFrame> sender)
      : name_(std::move(name)), sender_(std::move(sender)) {}
  ~VirtualChannel();
  VirtualChannel(const VirtualChannel&) = delete;
  VirtualChannel& operator=(const VirtualChannel&) = delete;

  const std::string& name() const { return name_; }
  // Slots in the ring.
  std::size_t capacity() const { return sender_.capacity(); }
  // Broadcasts a copy; with no receiver the copy is dropped.
  void send(const CanFrame& frame) const { (void)sender_.send(CanFrame(frame)); }
  broadcast::Receiver<CanFrame> subscribe() const { return sender_.subscribe(); }

 private:
  std::string name_;
  broadcast::Sender<CanFrame> sender_;
};

// The receiving side of one bus handle: a strong channel reference, its own receiver, optional
// counters for lag, and a shutdown flag. One owner at a time; also a WaitSource.
class VirtualBusRx {
 public:
  using value_type = Result<CanFrame>;

  VirtualBusRx(std::shared_ptr<VirtualChannel> channel, broadcast::Receiver<CanFrame> receiver)
      : receiver_(std::move(receiver)), channel_(std::move(channel)) {}
  VirtualBusRx(VirtualBusRx&&) noexcept = default;
  VirtualBusRx& operator=(VirtualBusRx&&) noexcept = default;

  // The same receiver with its counters replaced.
  VirtualBusRx with_metrics(SharedCounters counters) && {
    counters_ = std::move(counters);
    return std::move(*this);
  }
  void mark_shutdown() { shutdown_ = true; }
  const std::shared_ptr<VirtualChannel>& channel() const { return channel_; }
  const SharedCounters& counters() const { return counters_; }

  // The next frame, "VirtualBus shut down" or "VirtualBus channel closed". Lag is counted and
  // logged here and never reaches the caller.
  boost::asio::awaitable<Result<CanFrame>> recv();
  // The same from a plain thread; nullopt when the deadline passed first.
  std::optional<Result<CanFrame>> recv_blocking(std::optional<Clock::time_point> deadline);

  std::optional<Result<CanFrame>> try_take();
  void add_waker(Waker& waker) { receiver_.add_waker(waker); }
  void remove_waker(Waker& waker) { receiver_.remove_waker(waker); }

 private:
  // Released in reverse: the channel reference first, then the subscription, then the counters.
  SharedCounters counters_;
  broadcast::Receiver<CanFrame> receiver_;
  std::shared_ptr<VirtualChannel> channel_;
  bool shutdown_ = false;
};

// The sending side: a strong channel reference. Copies share the channel.
class VirtualBusTx {
 public:
  explicit VirtualBusTx(std::shared_ptr<VirtualChannel> channel) : channel_(std::move(channel)) {}
  // Never fails: a frame that finds no receiver is dropped.
  void send(const CanFrame& frame) const { channel_->send(frame); }
  const std::shared_ptr<VirtualChannel>& channel() const { return channel_; }

 private:
  std::shared_ptr<VirtualChannel> channel_;
};

struct VirtualBusEnds {
  VirtualBusRx rx;
  VirtualBusTx tx;
};

namespace virtual_bus {

// Joins the live channel of that name (its capacity wins, `capacity` is ignored) or creates one
// with `capacity` frames. Fails only when a new channel refuses the capacity; nothing is then
// registered.
Result<VirtualBusEnds> open(std::string_view name, std::size_t capacity);

// Registered channels that still have a strong holder.
std::size_t channel_count();

}  // namespace virtual_bus
}  // namespace orvik::runtime
