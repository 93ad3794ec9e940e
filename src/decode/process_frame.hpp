// The per-frame step: count a frame, log it raw, decode it and emit one row per event.
#pragma once

#include "decode/core.hpp"
#include "decode/frame.hpp"

namespace orvik {

// Never fails outward: every outcome is counted in the core's counters or logged at DEBUG.
// Once the frame's events are registered it allocates nothing on the heap.
void process_frame(DecoderCore& core, const CanFrame& frame);

}  // namespace orvik
