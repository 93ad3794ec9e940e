// The per-frame step and the idle wait under the decoder mutex.
#include "decode/decoder_state.hpp"

#include "decode/process_frame.hpp"

namespace orvik {

DecoderState::Step DecoderState::process(const CanFrame& frame) {
  // The hot path: a plain lock and a handler that costs nothing unless a fault unwinds, in place
  // of Lock's two uncaught_exceptions() calls (thread-local reads) per frame.
  const std::lock_guard<std::mutex> held(mutex_);
  if (poisoned_) return Step::poisoned;
  try {
    process_frame(core_, frame);
  } catch (...) {
    poisoned_ = true;
    throw;
  }
  return Step::done;
}

void DecoderState::wait_idle() {
  const Lock held(*this);
}

}  // namespace orvik
