// The notifier's reader and dispatcher tasks.
#include "runtime/notifier.hpp"

#include "common/log.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/select.hpp"

namespace orvik::runtime {

namespace {

boost::asio::awaitable<void> run_reader(VirtualBusRx rx, SharedCounters counters,
                                        CancellationToken token, bounded::Sender<CanFrame> queue) {
  Selector selector;
  const auto room = queue.room();
  for (;;) {
    auto event = co_await selector.select(token, rx);
    if (event.index() == 0) {
      rx.mark_shutdown();
      break;
    }
    auto& received = std::get<1>(event);
    if (!received) {
      log::event(log::Level::Error, kNotifierTarget, "Notifier recv error: {}",
                 received.error().message());
      break;
    }
    // A full queue holds the reader, not the frame: the bus is a broadcast ring on which a slow
    // receiver holds up no one, so frames left there are lost only when the ring laps them, and
    // the bus receiver counts that.
    auto offered = queue.try_send(std::move(*received));
    while (!offered && offered.error().reason == bounded::OfferError::full) {
      if ((co_await selector.select(token, room)).index() == 0) {
        rx.mark_shutdown();
        co_return;
      }
      offered = queue.try_send(std::move(offered.error().value));
    }
    // Refused as closed: the dispatcher has ended.
    if (!offered && counters) counters->add(Counter::buffer_overflows);
  }
}

boost::asio::awaitable<void> run_dispatcher(FrameListeners listeners, CancellationToken token,
                                            bounded::Receiver<CanFrame> queue,
                                            broadcast::Sender<CanFrame> callbacks) {
  Selector selector;
  for (;;) {
    auto event = co_await selector.select(token, queue);
    if (event.index() == 0) break;
    auto& frame = std::get<1>(event);
    if (!frame) break;  // the reader has ended and the queue is drained
    for (auto& listener : listeners) {
      // A listener that faults marks its own state; the others still get the frame.
      try {
        listener->on_frame(*frame);
      } catch (...) {
      }
    }
    (void)callbacks.send(std::move(*frame));  // no callback thread subscribed: dropped
  }
}

}  // namespace

Result<NotifierHandle> Notifier::start(VirtualBusRx rx, FrameListeners listeners,
                                       SharedCounters counters, std::size_t recv_buffer_size,
                                       const Executor& executor,
                                       std::size_t callback_receivers) {
  CancellationToken token;
  auto callbacks = broadcast::channel<CanFrame>(kCallbackChannelCapacity);
  if (!callbacks) return fail(std::move(callbacks.error()));
  broadcast::Sender<CanFrame> callback_sender = std::move(callbacks->sender);
  { auto initial = std::move(callbacks->receiver); }
  // Subscribed before the reader exists, so no frame it takes is broadcast to nobody.
  std::vector<broadcast::Receiver<CanFrame>> receivers;
  receivers.reserve(callback_receivers);
  while (receivers.size() < callback_receivers) receivers.push_back(callback_sender.subscribe());

  auto queue = bounded::channel<CanFrame>(recv_buffer_size);
  if (!queue) return fail(std::move(queue.error()));

  spawn(executor, run_reader(std::move(rx), counters, token, std::move(queue->sender)));
  spawn(executor, run_dispatcher(std::move(listeners), token, std::move(queue->receiver),
                                 callback_sender));
  counters.reset();
  return NotifierHandle(std::move(token), std::move(callback_sender), std::move(receivers));
}

}  // namespace orvik::runtime
