// Inline row lists the decode steps pass between them: a row's signals, its values, a mux pick.
#pragma once

#include <boost/container/static_vector.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "decode/model.hpp"
#include "sdk/value.hpp"

namespace orvik {

inline constexpr std::size_t kMaxRowSignals = 64;

using SignalRefs = boost::container::static_vector<const SignalSpec*, kMaxRowSignals>;
using RowValues = boost::container::static_vector<std::optional<DecodedValue>, kMaxRowSignals>;

// One switch of a message with extended multiplexing, as read from one frame.
struct SwitchState {
  std::uint64_t value = 0;
  bool active = false;  // it has an integer value and every switch above it selects it
};

struct MuxSelection {
  const SignalSpec* multiplexor = nullptr;
  std::uint64_t selector = 0;
  SignalRefs signals;
};

}  // namespace orvik
