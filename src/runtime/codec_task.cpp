// The codec's bus task over an in-memory bus, and the pipeline it starts from.
#include "runtime/codec_task.hpp"

#include <cassert>

namespace orvik::runtime {

namespace {

// An in-memory bus as the loop sees it: the receiver, and sends through the channel reference the
// receiver already holds. Neither ever fails while the loop holds the receiver.
class VirtualBusPort {
 public:
  using value_type = Result<CanFrame>;

  explicit VirtualBusPort(VirtualBusRx rx) : rx_(std::move(rx)) {}

  std::optional<Result<CanFrame>> try_take() { return rx_.try_take(); }
  void add_waker(Waker& waker) { rx_.add_waker(waker); }
  void remove_waker(Waker& waker) { rx_.remove_waker(waker); }
  void mark_shutdown() { rx_.mark_shutdown(); }
  Status send(const CanFrame& frame) {
    rx_.channel()->send(frame);
    return {};
  }

 private:
  VirtualBusRx rx_;
};

}  // namespace

DecodePipeline make_decode_pipeline(DecoderCore core, CancellationToken token) {
  SharedCounters counters = core.metrics;
  auto queue = bounded::channel<CanFrame>(kTransmitQueueCapacity);
  assert(queue);  // a fixed capacity the queue always accepts
  return DecodePipeline(std::move(core), std::move(counters), std::move(token),
                        std::move(*queue));
}

boost::asio::awaitable<void> run_codec_task(DecodePipeline pipeline, VirtualBusRx bus) {
  return run_codec_loop(std::move(pipeline), VirtualBusPort(std::move(bus)));
}

void spawn_codec_task(DecodePipeline pipeline, VirtualBusRx bus, const Executor& executor) {
  spawn(executor, run_codec_task(std::move(pipeline), std::move(bus)));
}

}  // namespace orvik::runtime
