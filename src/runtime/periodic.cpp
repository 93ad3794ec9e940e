// The periodic-send task loop and its two destinations.
#include "runtime/periodic.hpp"

#include "runtime/interval.hpp"
#include "runtime/select.hpp"

namespace orvik::runtime {

namespace {

// Hands one frame on; false ends the task.
struct ToBus {
  VirtualBusTx tx;
  bool operator()(CanFrame&& frame) const {
    tx.send(frame);
    return true;
  }
};

struct ToQueue {
  bounded::Sender<CanFrame> queue;
  bool operator()(CanFrame&& frame) const {
    auto offered = queue.try_send(std::move(frame));
    return offered || offered.error().reason == bounded::OfferError::full;
  }
};

template <class Destination>
boost::asio::awaitable<void> run_periodic(CanFrame frame, Duration period,
                                          CancellationToken token,
                                          std::shared_ptr<PeriodicPayload> payload,
                                          Destination destination) {
  // However the task ends, its handle then reports it inactive.
  struct CancelOnExit {
    const CancellationToken& token;
    ~CancelOnExit() { token.cancel(); }
  } ended{token};
  // A timer cannot tick every zero nanoseconds: the task ends having sent nothing.
  if (period.is_zero()) co_return;
  frame.data.clear();  // every tick takes the current payload instead
  IntervalTimer timer(co_await boost::asio::this_coro::executor, period.saturating_nanos());
  Selector selector;
  for (;;) {
    auto event = co_await selector.select(token, timer);
    if (event.index() == 0) break;
    CanFrame out = frame;
    out.data = payload->copy();
    out.dlc = static_cast<std::uint8_t>(out.data.size());
    if (!destination(std::move(out))) break;
  }
}

}  // namespace

PeriodicSend start_periodic(const VirtualBusTx& tx, CanFrame frame, Duration period,
                            const Executor& executor) {
  PeriodicSend send{CancellationToken(), std::make_shared<PeriodicPayload>(frame.payload()),
                    std::nullopt};
  spawn(executor, run_periodic(std::move(frame), period, send.token, send.payload, ToBus{tx}));
  return send;
}

PeriodicSend start_periodic(CanFrame frame, Duration period, bounded::Sender<CanFrame> queue,
                            const Executor& executor) {
  PeriodicSend send{CancellationToken(), std::make_shared<PeriodicPayload>(frame.payload()),
                    queue};
  spawn(executor, run_periodic(std::move(frame), period, send.token, send.payload,
                               ToQueue{std::move(queue)}));
  return send;
}

}  // namespace orvik::runtime
