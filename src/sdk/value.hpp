// DecodedValue: one typed scalar of a row, as the decode steps produce it and the SDK logs it.
#pragma once

#include <bit>
#include <cstdint>

namespace orvik {

enum class ValueKind : std::uint8_t {
  Boolean, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float32, Float64,
};

// One typed scalar, or a typed null. `bits` holds the value at its own width, zero-extended:
// integers as two's complement, floats as their IEEE bit pattern, booleans as 0 or 1.
struct DecodedValue {
  ValueKind kind = ValueKind::UInt8;
  bool is_null = false;
  std::uint64_t bits = 0;

  static DecodedValue null_of(ValueKind k) { return {k, true, 0}; }
  static DecodedValue boolean(bool v) { return {ValueKind::Boolean, false, v ? 1u : 0u}; }
  static DecodedValue i8(std::int8_t v) { return {ValueKind::Int8, false, static_cast<std::uint8_t>(v)}; }
  static DecodedValue i16(std::int16_t v) { return {ValueKind::Int16, false, static_cast<std::uint16_t>(v)}; }
  static DecodedValue i32(std::int32_t v) { return {ValueKind::Int32, false, static_cast<std::uint32_t>(v)}; }
  static DecodedValue i64(std::int64_t v) { return {ValueKind::Int64, false, static_cast<std::uint64_t>(v)}; }
  static DecodedValue u8(std::uint8_t v) { return {ValueKind::UInt8, false, v}; }
  static DecodedValue u16(std::uint16_t v) { return {ValueKind::UInt16, false, v}; }
  static DecodedValue u32(std::uint32_t v) { return {ValueKind::UInt32, false, v}; }
  static DecodedValue u64(std::uint64_t v) { return {ValueKind::UInt64, false, v}; }
  static DecodedValue f32(float v) { return {ValueKind::Float32, false, std::bit_cast<std::uint32_t>(v)}; }
  static DecodedValue f64(double v) { return {ValueKind::Float64, false, std::bit_cast<std::uint64_t>(v)}; }

  bool is_signed_int() const {
    return kind == ValueKind::Int8 || kind == ValueKind::Int16 || kind == ValueKind::Int32 ||
           kind == ValueKind::Int64;
  }
  bool is_unsigned_int() const {
    return kind == ValueKind::UInt8 || kind == ValueKind::UInt16 || kind == ValueKind::UInt32 ||
           kind == ValueKind::UInt64;
  }
  bool is_float() const { return kind == ValueKind::Float32 || kind == ValueKind::Float64; }

  // Signed integers sign-extended from their width; unsigned and booleans as stored.
  std::int64_t as_i64() const {
    switch (kind) {
      case ValueKind::Int8: return static_cast<std::int8_t>(bits);
      case ValueKind::Int16: return static_cast<std::int16_t>(bits);
      case ValueKind::Int32: return static_cast<std::int32_t>(bits);
      default: return static_cast<std::int64_t>(bits);
    }
  }
  std::uint64_t as_u64() const { return bits; }

  bool operator==(const DecodedValue&) const = default;
};

}  // namespace orvik
