// The native Notifier listener made from a CanDecoder: the per-frame step under its decoder mutex.
// Python-free, since it runs on runtime workers.
#pragma once

#include <utility>

#include "decode/decoder_state.hpp"
#include "runtime/notifier.hpp"

namespace orvik::python {

class CanDecoderListener final : public runtime::FrameListener {
 public:
  explicit CanDecoderListener(SharedDecoder decoder) : decoder_(std::move(decoder)) {}

  // A decoder whose mutex carries the failed mark is skipped without a word. A fault in the step
  // sets that mark and stays here: the other listeners and later frames go on.
  void on_frame(const CanFrame& frame) override {
    try {
      (void)decoder_->process(frame);
    } catch (...) {
    }
  }

 private:
  SharedDecoder decoder_;
};

}  // namespace orvik::python
