// Raw-to-value conversion, planned once per signal: the exact range of its values, whether an
// integer column holds them, and which conversion the per-frame step applies.
#pragma once

#include <cstdint>
#include <optional>

#include "decode/model.hpp"

namespace orvik::decode {

// The lowest and highest of raw * factor + offset over a signal's whole raw range, exact.
struct ValueRange {
  __int128 lo;
  __int128 hi;
};

// Absent when factor or offset is not a whole finite number, the field is wider than 64 bits, or
// a bound lies beyond 128 bits (then no integer column can hold the values anyway).
std::optional<ValueRange> integer_value_range(std::uint32_t size, bool is_signed, double factor,
                                              double offset);

// True when `type` is an integer type that holds every value of `range`.
bool holds(SignalType type, const ValueRange& range);

// Sets `conversion`, `int_factor` and `int_offset` from the signal's other fields. The loader
// calls it for every signal; a SignalSpec built by hand needs it after its fields are set.
void plan_conversion(SignalSpec& signal);

}  // namespace orvik::decode
