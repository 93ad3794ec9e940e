// The codec's bus task: one loop that receives, decodes and emits, transmits, and stops on cancel.
#pragma once

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

#include "common/error.hpp"
#include "common/log.hpp"
#include "decode/core.hpp"
#include "decode/frame.hpp"
#include "decode/metrics.hpp"
#include "decode/process_frame.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/virtual_bus.hpp"

namespace orvik::runtime {

inline constexpr const char* kCodecTarget = "orvik_can::can::codec";
inline constexpr std::size_t kTransmitQueueCapacity = 1024;

// The start state of a bus task: the decoder core it alone uses, a second reference to the
// core's counters, its token, and both ends of the transmit queue. The task keeps `tx` for its
// whole life, so the queue never runs out of senders while it runs.
struct DecodePipeline {
  DecoderCore core;
  SharedCounters counters;
  CancellationToken token;
  bounded::Sender<CanFrame> tx;
  std::optional<bounded::Receiver<CanFrame>> rx;  // taken out by the task when it starts

  DecodePipeline(DecoderCore core_, SharedCounters counters_, CancellationToken token_,
                 bounded::Queue<CanFrame> queue)
      : core(std::move(core_)),
        counters(std::move(counters_)),
        token(std::move(token_)),
        tx(std::move(queue.sender)),
        rx(std::move(queue.receiver)) {}
  DecodePipeline(DecodePipeline&&) noexcept = default;
  DecodePipeline(const DecodePipeline&) = delete;
  DecodePipeline& operator=(const DecodePipeline&) = delete;
  DecodePipeline& operator=(DecodePipeline&&) = delete;
  // Field by field in declaration order, so the core's SDK handles go first.
  ~DecodePipeline() { release(); }

  void release() {
    { DecoderCore gone = std::move(core); }
    counters.reset();
    { CancellationToken gone = std::move(token); }
    { bounded::Sender<CanFrame> gone = std::move(tx); }
    rx.reset();
  }
};

// The pipeline over `core` with a fresh transmit queue of kTransmitQueueCapacity frames.
DecodePipeline make_decode_pipeline(DecoderCore core, CancellationToken token);

// The bus task over an in-memory bus receiver. Detach it with spawn_codec_task; it ends only
// through its own loop and releases everything it owns on the worker thread that ends it.
boost::asio::awaitable<void> run_codec_task(DecodePipeline pipeline, VirtualBusRx bus);
void spawn_codec_task(DecodePipeline pipeline, VirtualBusRx bus, const Executor& executor);

// The loop over any bus: a WaitSource of Result<CanFrame> that can also be marked shut down and
// send a frame (Status). Written once for every kind of bus, so that buses whose send or receive
// can fail take the same branches.
template <class Bus>
boost::asio::awaitable<void> run_codec_loop(DecodePipeline pipeline, Bus bus) {
  if (!pipeline.rx) {
    throw std::logic_error("CanCodec::run called twice or after construction-time take");
  }
  bounded::Receiver<CanFrame> queue = std::move(*pipeline.rx);
  pipeline.rx.reset();

  // What one outcome asks of the loop.
  enum class Next { pass, leave, drop_queue };
  auto on_received = [&](Result<CanFrame>& received) {
    if (!received) {
      log::event(log::Level::Error, kCodecTarget, "Bus recv error: {}", received.error().message());
      pipeline.counters->add(Counter::decode_errors);
      return Next::leave;
    }
    // Error frames carry no message: nothing is counted and the timestamp mapper never sees
    // them.
    if (!received->is_error_frame) process_frame(pipeline.core, *received);
    return Next::pass;
  };
  auto on_transmit = [&](std::optional<CanFrame>& outgoing) {
    if (!outgoing) return Next::drop_queue;
    if (Status sent = bus.send(*outgoing); !sent) {
      log::event(log::Level::Warn, kCodecTarget,
                 "CanCodec bus.send failed for arbitration_id=0x{:x}: {}",
                 outgoing->arbitration_id, sent.error().message());
      pipeline.counters->add(Counter::tx_errors);
    }
    return Next::pass;
  };
  auto on_cancelled = [&] {
    log::event(log::Level::Info, kCodecTarget, "CanCodec cancelled, shutting down");
    // Offers are refused from here on, and every frame a sender got into the queue goes out:
    // a send that succeeded is a frame on the bus.
    queue.close();
    while (std::optional<std::optional<CanFrame>> outgoing = queue.try_take()) {
      if (on_transmit(*outgoing) == Next::drop_queue) break;
    }
    bus.mark_shutdown();
    return Next::leave;
  };

  Selector selector;
  // The task's own `tx` keeps the queue from running out of senders, so its end comes only once
  // the queue was closed ahead of a cancel (CanCodec.stop) and drained; from then on the queue is
  // left out instead of winning every pass.
  bool queue_open = true;
  for (;;) {
    Next next;
    if (queue_open) {
      auto event = selector.try_select(pipeline.token, bus, queue);
      if (!event) event.emplace(co_await selector.select(pipeline.token, bus, queue));
      switch (event->index()) {
        case 0: next = on_cancelled(); break;
        case 1: next = on_received(std::get<1>(*event)); break;
        default: next = on_transmit(std::get<2>(*event)); break;
      }
    } else {
      auto event = selector.try_select(pipeline.token, bus);
      if (!event) event.emplace(co_await selector.select(pipeline.token, bus));
      next = event->index() == 0 ? on_cancelled() : on_received(std::get<1>(*event));
    }
    if (next == Next::leave) break;
    if (next == Next::drop_queue) queue_open = false;
  }

  // The queue goes first (after a receive error it drops what it still holds), so senders learn
  // at once that the task is gone; then the bus; then the decoder state with its SDK handles.
  { bounded::Receiver<CanFrame> gone = std::move(queue); }
  { Bus gone = std::move(bus); }
  pipeline.release();
}

}  // namespace orvik::runtime
