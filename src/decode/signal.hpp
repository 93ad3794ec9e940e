// Signal decoding: payload bytes -> typed values, plus the base and multiplexed signal picks.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "decode/model.hpp"
#include "decode/row_lists.hpp"

namespace orvik::decode {

// Lists longer than this are cut, with a warning.
inline constexpr std::size_t kMaxSignals = kMaxRowSignals;

// One signal's value; absent when the payload is too short, the signal is an IEEE float of a width
// other than 16/32/64 bits, it is wider than 64 bits, or its type has no numeric form.
std::optional<DecodedValue> decode_signal(std::span<const std::uint8_t> payload,
                                          const SignalSpec& signal);

// The plain signals and the multiplexor, in signal order, at most 64 (warns when cut).
SignalRefs base_signals(const MessageSpec& message);

// Reads the multiplexor and picks the signals its (scaled, integer) value selects, at most 64
// (warns when cut). Absent without a multiplexor, for a non-integer value, or when nothing matches.
// The pick of a message without extended multiplexing; the others read decode_switches.
std::optional<MuxSelection> decode_mux_signals(std::span<const std::uint8_t> payload,
                                               const MessageSpec& message);

// Reads the switches of a message with extended multiplexing into `states`, one per switch in
// the model's order. A switch is active when it has an integer value (as a multiplexor's value is
// read above) and, below the top, the switch that selects it is active with a value in its ranges.
void decode_switches(std::span<const std::uint8_t> payload, const MessageSpec& message,
                     std::span<SwitchState> states);

// The signals switch `index` selects at `value`, in signal order, at most 64 (warns when cut).
SignalRefs switch_group(const MessageSpec& message, std::size_t index, std::uint64_t value);

// One value per entry, absent entries kept in place; no row for an empty list or when every
// entry is absent.
std::optional<RowValues> decode_signals(const SignalRefs& signals,
                                        std::span<const std::uint8_t> payload);

// Float to integer: truncate toward zero, saturate at T's range, NaN gives 0. Used for timestamps,
// and where a hand-built model gives an integer column values it cannot hold.
template <class T>
T truncate_saturate(double v) {
  using Limits = std::numeric_limits<T>;
  static_assert(Limits::is_integer);
  if (std::isnan(v)) return 0;
  // 2^digits is the first value above T's maximum, exact as a double for every T.
  constexpr double above_max = [] {
    double p = 1.0;
    for (int i = 0; i < Limits::digits; ++i) p *= 2.0;
    return p;
  }();
  if (v >= above_max) return Limits::max();
  // Anything above min - 1 truncates into range. For 64-bit signed, min - 1 is not a double, but
  // no double lies strictly between it and min either.
  if constexpr (Limits::digits < 53) {
    if (v <= static_cast<double>(Limits::min()) - 1.0) return Limits::min();
  } else {
    if (v < static_cast<double>(Limits::min())) return Limits::min();
  }
  return static_cast<T>(v);  // the conversion itself truncates toward zero
}

namespace detail {

// The raw field, zero-extended; absent when a needed byte lies beyond the payload or size > 64.
// Word-based; must equal extract_raw_reference on every input.
std::optional<std::uint64_t> extract_raw(std::span<const std::uint8_t> payload,
                                         std::uint32_t start_bit, std::uint32_t size,
                                         ByteOrder order);

// The same, one bit at a time with a bounds test per bit: the definition the fast path follows.
std::optional<std::uint64_t> extract_raw_reference(std::span<const std::uint8_t> payload,
                                                   std::uint32_t start_bit, std::uint32_t size,
                                                   ByteOrder order);

// IEEE 754 binary16 bits widened exactly to a double.
double half_to_double(std::uint16_t bits);

}  // namespace detail
}  // namespace orvik::decode
