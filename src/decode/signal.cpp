// Signal decoding: raw bit extraction (word-based, with the bit walk as its reference), sign
// extension, IEEE widths, scaling and the cast to the signal's output type.
//
// Payload bit p is bit (p % 8) of byte (p / 8); bit 0 is a byte's least significant bit.
//
//               bit:  7  6  5  4  3  2  1  0
//     byte 0        | 7| 6| 5| 4| 3| 2| 1| 0|
//     byte 1        |15|14|13|12|11|10| 9| 8|
//     byte 2        |23|22|21|20|19|18|17|16|
//
// Intel (little-endian), start_bit 4, size 8: the start bit is the LSB; walk upward.
//     byte 0        | 3| 2| 1| 0| .| .| .| .|     raw bit i <- payload bit (4 + i)
//     byte 1        | .| .| .| .| 7| 6| 5| 4|     payload 21 43 -> raw 0x32
//
// Motorola (big-endian), start_bit 3, size 8: the start bit is the MSB; walk down the byte, then
// on to bit 7 of the next byte (p - 1, or p + 15 from bit 0 of a byte).
//     byte 0        | .| .| .| .| 7| 6| 5| 4|     raw bit 7 <- payload bit 3
//     byte 1        | 3| 2| 1| 0| .| .| .| .|     payload 0A B0 -> raw 0xAB
//
// Numbering a Motorola field in reading order, q = 8 * byte + (7 - bit), turns that walk into
// q, q + 1, q + 2, ...: the field is one contiguous big-endian run, which the word path uses.
#include "decode/signal.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/log.hpp"

namespace orvik::decode {

namespace {

constexpr std::string_view kTarget = "orvik_can_decode::codec";

// Fields wider than a word have no value: bits beyond 64 would have to be dropped or folded.
constexpr std::uint32_t kMaxFieldBits = 64;

std::uint64_t load8(const std::uint8_t* at, std::endian order) {
  std::uint64_t w;
  std::memcpy(&w, at, 8);
  return order == std::endian::native ? w : std::byteswap(w);
}

// 8 bytes from `at` (which lies inside the payload) as a word of the given byte order; bytes past
// the payload read as 0. A payload of 8 bytes or more takes one load, clamped to its last 8 bytes
// and shifted back into place.
template <std::endian Order>
[[gnu::always_inline]] inline std::uint64_t load_word(std::span<const std::uint8_t> payload,
                                                      std::size_t at) {
  const std::size_t len = payload.size();
  if (len >= 8) [[likely]] {
    const std::size_t from = std::min(at, len - 8);
    const unsigned skip = 8 * static_cast<unsigned>(at - from);  // at most 56
    const std::uint64_t w = load8(payload.data() + from, Order);
    return Order == std::endian::little ? w >> skip : w << skip;
  }
  std::uint64_t w = 0;
  for (std::size_t i = 0; at + i < len; ++i) {
    const unsigned bit = Order == std::endian::little ? 8 * i : 56 - 8 * i;
    w |= std::uint64_t{payload[at + i]} << bit;
  }
  return w;
}

// The word path, inlined into the per-signal decoder: the hot loop of every frame.
[[gnu::always_inline]] inline std::optional<std::uint64_t> extract_word(
    std::span<const std::uint8_t> payload, std::uint32_t start_bit, std::uint32_t size,
    ByteOrder order) {
  if (size - 1 >= kMaxFieldBits) [[unlikely]] {  // one test for size 0 and size above 64
    if (size == 0) return 0;
    return std::nullopt;
  }
  if (order == ByteOrder::intel) {
    const std::uint64_t first = start_bit / 8;
    const std::uint64_t last = (std::uint64_t{start_bit} + size - 1) / 8;
    if (last >= payload.size()) return std::nullopt;
    const unsigned shift = start_bit % 8;
    std::uint64_t v = load_word<std::endian::little>(payload, first) >> shift;
    if (shift + size > 64) v |= std::uint64_t{payload[first + 8]} << (64 - shift);
    return v & (~std::uint64_t{0} >> (64 - size));
  }
  // Reading-order position of the MSB; the field runs from there for `size` positions.
  const std::uint64_t q = std::uint64_t{start_bit / 8} * 8 + (7 - start_bit % 8);
  const std::uint64_t first = q / 8;
  const std::uint64_t last = (q + size - 1) / 8;
  if (last >= payload.size()) return std::nullopt;
  const unsigned lead = q % 8;  // bits of the first byte before the MSB
  std::uint64_t window = load_word<std::endian::big>(payload, first) << lead;
  if (lead + size > 64) window |= std::uint64_t{payload[first + 8]} >> (8 - lead);
  return window >> (64 - size);
}

// A decoded value or absent, kept in scalars: building std::optional<DecodedValue> piecewise in
// the hot loop costs a store-forwarding stall per signal.
struct Decoded {
  std::uint64_t bits;
  ValueKind kind;
  bool present;
};
constexpr Decoded kAbsent{0, ValueKind::UInt8, false};
Decoded got(DecodedValue v) { return {v.bits, v.kind, true}; }

[[gnu::always_inline]] inline Decoded cast_float(double v, SignalType type) {
  // Most scaled signals have fractional factors and at most 32 bits, so Float32: one compare
  // ahead of the jump table saves a few percent per frame.
  if (type == SignalType::Float32) [[likely]] return got(DecodedValue::f32(static_cast<float>(v)));
  switch (type) {
    case SignalType::Int8: return got(DecodedValue::i8(truncate_saturate<std::int8_t>(v)));
    case SignalType::Int16: return got(DecodedValue::i16(truncate_saturate<std::int16_t>(v)));
    case SignalType::Int32: return got(DecodedValue::i32(truncate_saturate<std::int32_t>(v)));
    case SignalType::Int64: return got(DecodedValue::i64(truncate_saturate<std::int64_t>(v)));
    case SignalType::UInt8: return got(DecodedValue::u8(truncate_saturate<std::uint8_t>(v)));
    case SignalType::UInt16: return got(DecodedValue::u16(truncate_saturate<std::uint16_t>(v)));
    case SignalType::UInt32: return got(DecodedValue::u32(truncate_saturate<std::uint32_t>(v)));
    case SignalType::UInt64: return got(DecodedValue::u64(truncate_saturate<std::uint64_t>(v)));
    case SignalType::Float32: return got(DecodedValue::f32(static_cast<float>(v)));
    case SignalType::Float64: return got(DecodedValue::f64(v));
    default: return kAbsent;  // no numeric form; a DBC never yields these types
  }
}

// An integer computed exactly, cut to the column's width (for the float columns of a hand-built
// model, rounded from its signed reading).
[[gnu::always_inline]] inline Decoded cast_identity(std::uint64_t raw, SignalType type) {
  const auto sraw = static_cast<std::int64_t>(raw);
  switch (type) {
    case SignalType::Int8: return got(DecodedValue::i8(static_cast<std::int8_t>(raw)));
    case SignalType::Int16: return got(DecodedValue::i16(static_cast<std::int16_t>(raw)));
    case SignalType::Int32: return got(DecodedValue::i32(static_cast<std::int32_t>(raw)));
    case SignalType::Int64: return got(DecodedValue::i64(sraw));
    case SignalType::UInt8: return got(DecodedValue::u8(static_cast<std::uint8_t>(raw)));
    case SignalType::UInt16: return got(DecodedValue::u16(static_cast<std::uint16_t>(raw)));
    case SignalType::UInt32: return got(DecodedValue::u32(static_cast<std::uint32_t>(raw)));
    case SignalType::UInt64: return got(DecodedValue::u64(raw));
    case SignalType::Float32: return got(DecodedValue::f32(static_cast<float>(sraw)));
    case SignalType::Float64: return got(DecodedValue::f64(static_cast<double>(sraw)));
    default: return kAbsent;
  }
}

// Kept as two statements so that no compiler fuses them into one rounding (FMA contraction).
double scale(double x, double factor, double offset) {
  const double scaled = x * factor;
  return scaled + offset;
}

}  // namespace

double detail::half_to_double(std::uint16_t bits) {
  const bool negative = bits & 0x8000u;
  const unsigned exponent = (bits >> 10) & 0x1Fu;
  const std::uint64_t mantissa = bits & 0x3FFu;
  std::uint64_t out = negative ? std::uint64_t{1} << 63 : 0;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in a double.
    const double magnitude = std::ldexp(static_cast<double>(mantissa), -24);
    return negative ? -magnitude : magnitude;
  }
  if (exponent == 0x1F) {
    out |= std::uint64_t{0x7FF} << 52 | mantissa << 42;  // infinity, or NaN with its payload
  } else {
    out |= std::uint64_t{exponent - 15 + 1023} << 52 | mantissa << 42;
  }
  return std::bit_cast<double>(out);
}

namespace {

// The float32 bits of an IEEE half, with a NaN's payload kept (converting it would quieten it).
std::uint64_t half_to_float_bits(std::uint64_t half) {
  const auto h = static_cast<std::uint16_t>(half);
  if ((h & 0x7C00u) != 0x7C00u) {
    return std::bit_cast<std::uint32_t>(static_cast<float>(detail::half_to_double(h)));
  }
  return std::uint64_t{h & 0x8000u} << 16 | 0x7F800000u | std::uint64_t{h & 0x3FFu} << 13;
}

[[gnu::always_inline]] inline Decoded decode_one(
    std::span<const std::uint8_t> payload, const SignalSpec& signal) {
  const auto extracted = extract_word(payload, signal.start_bit, signal.size, signal.byte_order);
  if (!extracted) return kAbsent;
  std::uint64_t raw = *extracted;
  if (signal.is_signed && signal.size - 1 < 63) {  // sizes 1..63; 0 and 64 need nothing
    // Sign extension without a branch on the (unpredictable) sign bit.
    const std::uint64_t sign = std::uint64_t{1} << (signal.size - 1);
    raw = (raw ^ sign) - sign;
  }

  if (signal.conversion == Conversion::exact) {
    return cast_identity(raw * signal.int_factor + signal.int_offset, signal.signal_type);
  }
  const bool keep_bits = signal.conversion == Conversion::ieee_bits;
  double x;
  if (signal.is_float) {
    switch (signal.size) {
      case 16:
        if (keep_bits) return got(DecodedValue{ValueKind::Float32, false, half_to_float_bits(raw)});
        x = detail::half_to_double(static_cast<std::uint16_t>(raw));
        break;
      case 32:
        if (keep_bits) return got(DecodedValue{ValueKind::Float32, false, raw & 0xFFFFFFFFu});
        x = std::bit_cast<float>(static_cast<std::uint32_t>(raw));
        break;
      case 64:
        if (keep_bits) return got(DecodedValue{ValueKind::Float64, false, raw});
        x = std::bit_cast<double>(raw);
        break;
      default: return kAbsent;  // no IEEE binary format at this width
    }
  } else {
    x = signal.is_signed ? static_cast<double>(static_cast<std::int64_t>(raw))
                         : static_cast<double>(raw);
  }
  return cast_float(scale(x, signal.factor, signal.offset), signal.signal_type);
}

}  // namespace

namespace detail {

std::optional<std::uint64_t> extract_raw_reference(std::span<const std::uint8_t> payload,
                                                   std::uint32_t start_bit, std::uint32_t size,
                                                   ByteOrder order) {
  if (size == 0) return 0;
  if (size > kMaxFieldBits) return std::nullopt;
  std::uint64_t raw = 0;
  std::uint64_t p = start_bit;  // 64-bit so that p + 15 cannot wrap
  for (std::uint32_t step = 0; step < size; ++step) {
    if (p / 8 >= payload.size()) return std::nullopt;
    const std::uint64_t bit = (payload[p / 8] >> (p % 8)) & 1u;
    if (order == ByteOrder::intel) {
      raw |= bit << step;
      p += 1;
    } else {
      raw |= bit << (size - 1 - step);
      p = p % 8 == 0 ? p + 15 : p - 1;
    }
  }
  return raw;
}

std::optional<std::uint64_t> extract_raw(std::span<const std::uint8_t> payload,
                                         std::uint32_t start_bit, std::uint32_t size,
                                         ByteOrder order) {
  return extract_word(payload, start_bit, size, order);
}

}  // namespace detail

std::optional<DecodedValue> decode_signal(std::span<const std::uint8_t> payload,
                                          const SignalSpec& signal) {
  const Decoded d = decode_one(payload, signal);
  if (!d.present) return std::nullopt;
  return DecodedValue{d.kind, false, d.bits};
}

SignalRefs base_signals(const MessageSpec& message) {
  // Full-size list without initialisation, cut to length at the end: push_back would store and
  // reload the length in memory for every signal of every frame.
  SignalRefs out(kMaxSignals, boost::container::default_init);
  std::size_t n = 0;
  for (const SignalSpec& s : message.signals) {
    if (s.mux_kind == MuxKind::multiplexed) continue;
    if (n == kMaxSignals) {
      log::event(log::Level::Warn, kTarget, "event {}: more than {} base signals; extras ignored",
                 message.name, kMaxSignals);
      break;
    }
    out[n++] = &s;
  }
  out.resize(n);
  return out;
}

namespace {

// The value a multiplexor selects by: signed values sign-extended, unsigned ones zero-extended;
// absent without a value or for a float one.
std::optional<std::uint64_t> selector_of(std::span<const std::uint8_t> payload,
                                         const SignalSpec& multiplexor) {
  const auto value = decode_signal(payload, multiplexor);
  if (!value || value->is_null) return std::nullopt;
  if (value->is_signed_int()) return static_cast<std::uint64_t>(value->as_i64());
  if (value->is_unsigned_int()) return value->as_u64();
  return std::nullopt;
}

void warn_cut(const MessageSpec& message, std::uint64_t selector) {
  log::event(log::Level::Warn, kTarget, "event {}/mux{}: more than {} signals; extras ignored",
             message.name, selector, kMaxSignals);
}

}  // namespace

void decode_switches(std::span<const std::uint8_t> payload, const MessageSpec& message,
                     std::span<SwitchState> states) {
  const ExtendedMux& mux = message.extended_mux;
  for (std::size_t i = 0; i < mux.switches.size(); ++i) {
    const MuxSwitch& sw = mux.switches[i];
    states[i].active = false;
    // Parents come first, so the parent's state is already read.
    if (sw.parent != kTopSwitch) {
      const SwitchState& parent = states[sw.parent];
      if (!parent.active || !mux.selects(mux.members[sw.member], parent.value)) continue;
    }
    if (const auto value = selector_of(payload, message.signals[sw.signal])) {
      states[i] = {*value, true};
    }
  }
}

SignalRefs switch_group(const MessageSpec& message, std::size_t index, std::uint64_t value) {
  const ExtendedMux& mux = message.extended_mux;
  const MuxSwitch& sw = mux.switches[index];
  SignalRefs out;
  for (std::uint32_t m = sw.members_begin; m < sw.members_end; ++m) {
    if (!mux.selects(mux.members[m], value)) continue;
    if (out.size() == kMaxSignals) {
      warn_cut(message, value);
      break;
    }
    out.push_back(&message.signals[mux.members[m].signal]);
  }
  return out;
}

std::optional<MuxSelection> decode_mux_signals(std::span<const std::uint8_t> payload,
                                               const MessageSpec& message) {
  if (!message.multiplexor_index || *message.multiplexor_index >= message.signals.size()) {
    return std::nullopt;
  }
  const SignalSpec& mux = message.signals[*message.multiplexor_index];
  const auto found = selector_of(payload, mux);
  if (!found) return std::nullopt;
  const std::uint64_t selector = *found;

  // As in base_signals: fill a full-size list, then cut it to length.
  std::optional<MuxSelection> selection(std::in_place, &mux, selector);
  SignalRefs& picked = selection->signals;
  picked.resize(kMaxSignals, boost::container::default_init);
  std::size_t n = 0;
  for (const SignalSpec& s : message.signals) {
    if (s.mux_kind != MuxKind::multiplexed || s.switch_value != selector) continue;
    if (n == kMaxSignals) {
      warn_cut(message, selector);
      break;
    }
    picked[n++] = &s;
  }
  picked.resize(n);
  if (n == 0) selection.reset();
  return selection;
}

std::optional<RowValues> decode_signals(const SignalRefs& signals,
                                        std::span<const std::uint8_t> payload) {
  // Built in place and returned by name (one return, so no copy of the row), one empty slot per
  // signal up front: appending per signal stored and reloaded the length in memory each time, a
  // chain through every signal of the row. An empty list falls through with no value, so it
  // gives no row.
  std::optional<RowValues> out(std::in_place, signals.size());
  RowValues& row = *out;
  bool any = false;
  for (std::size_t i = 0; i < signals.size(); ++i) {
    const Decoded d = decode_one(payload, *signals[i]);
    if (d.present) row[i].emplace(DecodedValue{d.kind, false, d.bits});
    any = any || d.present;
  }
  if (!any) out.reset();
  return out;
}

}  // namespace orvik::decode
