// Raw-to-value conversion planning, in 128-bit integers: a double cannot bound a 64-bit column.
#include "decode/scaling.hpp"

#include <cmath>
#include <utility>

namespace orvik::decode {

namespace {

constexpr double kTwoTo127 = 0x1p127;

bool whole(double v) { return std::isfinite(v) && v == std::trunc(v); }

// Every value of a `bits`-wide integer, signed or not (bits from 1 to 64).
ValueRange integer_bounds(std::uint32_t bits, bool is_signed) {
  const __int128 one = 1;
  return is_signed ? ValueRange{-(one << (bits - 1)), (one << (bits - 1)) - 1}
                   : ValueRange{0, (one << bits) - 1};
}

}  // namespace

std::optional<ValueRange> integer_value_range(std::uint32_t size, bool is_signed, double factor,
                                              double offset) {
  if (!whole(factor) || !whole(offset) || size > 64) return std::nullopt;
  // Raw 0 is in every range, so the offset is itself a value.
  if (std::fabs(offset) >= kTwoTo127) return std::nullopt;
  const auto o = static_cast<__int128>(offset);
  if (size == 0) return ValueRange{o, o};  // the raw is always 0, whatever the factor
  if (std::fabs(factor) >= kTwoTo127) return std::nullopt;
  const auto f = static_cast<__int128>(factor);
  const ValueRange raw = integer_bounds(size, is_signed);
  __int128 a;
  __int128 b;
  // A negative factor swaps the extremes.
  if (__builtin_mul_overflow(f, raw.lo, &a) || __builtin_mul_overflow(f, raw.hi, &b)) {
    return std::nullopt;
  }
  if (a > b) std::swap(a, b);
  if (__builtin_add_overflow(a, o, &a) || __builtin_add_overflow(b, o, &b)) return std::nullopt;
  return ValueRange{a, b};
}

bool holds(SignalType type, const ValueRange& range) {
  const auto within = [&](std::uint32_t bits, bool is_signed) {
    const ValueRange column = integer_bounds(bits, is_signed);
    return column.lo <= range.lo && range.hi <= column.hi;
  };
  switch (type) {
    case SignalType::Int8: return within(8, true);
    case SignalType::Int16: return within(16, true);
    case SignalType::Int32: return within(32, true);
    case SignalType::Int64: return within(64, true);
    case SignalType::UInt8: return within(8, false);
    case SignalType::UInt16: return within(16, false);
    case SignalType::UInt32: return within(32, false);
    case SignalType::UInt64: return within(64, false);
    default: return false;
  }
}

void plan_conversion(SignalSpec& signal) {
  signal.int_factor = 1;
  signal.int_offset = 0;
  const bool identity = signal.factor == 1.0 && signal.offset == 0.0;
  if (signal.is_float) {
    // Only where the column is the field's own format: widening half to float32 is exact, but a
    // 32-bit field in a float64 column would quieten a signalling NaN on the way.
    const bool own_format = signal.signal_type == (signal.size == 64 ? SignalType::Float64
                                                                      : SignalType::Float32);
    signal.conversion = identity && own_format ? Conversion::ieee_bits : Conversion::scaled;
    return;
  }
  // Identity keeps the raw cut to the column's width, as a column narrower than the field needs.
  const bool integer_column = holds(signal.signal_type, ValueRange{0, 0});
  if (identity && integer_column) {
    signal.conversion = Conversion::exact;
    return;
  }
  const auto range = integer_value_range(signal.size, signal.is_signed, signal.factor,
                                         signal.offset);
  if (!range || !holds(signal.signal_type, *range)) {
    // Only a hand-built model pairs an integer column with values it cannot hold.
    signal.conversion = Conversion::scaled;
    return;
  }
  // Every value fits the column's 64 bits, so arithmetic modulo 2^64 gives it exactly.
  signal.conversion = Conversion::exact;
  signal.int_factor = signal.size == 0 ? 0 : static_cast<std::uint64_t>(
                                                  static_cast<__int128>(signal.factor));
  signal.int_offset = static_cast<std::uint64_t>(static_cast<__int128>(signal.offset));
}

}  // namespace orvik::decode
