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

struct MuxSelection {
  const SignalSpec* multiplexor = nullptr;
  std::uint64_t selector = 0;
  SignalRefs signals;
};

}  // namespace orvik
