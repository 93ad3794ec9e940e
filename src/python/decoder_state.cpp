// The per-frame step and the idle wait under the decoder mutex.
#include "python/decoder_state.hpp"

#include "decode/process_frame.hpp"

namespace orvik::python {

DecoderState::Step DecoderState::process(const CanFrame& frame) {
  const Lock held(*this);
  if (held.poisoned()) return Step::poisoned;
  process_frame(held.core(), frame);
  return Step::done;
}

void DecoderState::wait_idle() {
  const Lock held(*this);
}

}  // namespace orvik::python
