// Signal decoding: bit layouts, sign extension, IEEE widths, the cast table, and the signal picks.
#include "decode/signal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "decode/scaling.hpp"

namespace orvik::decode {
namespace {

using Bytes = std::vector<std::uint8_t>;

SignalSpec make_signal(std::uint32_t start, std::uint32_t size, ByteOrder order, bool is_signed,
                       SignalType type, double factor = 1.0, double offset = 0.0,
                       bool is_float = false) {
  SignalSpec s;
  s.name = "s";
  s.start_bit = start;
  s.size = size;
  s.byte_order = order;
  s.is_signed = is_signed;
  s.signal_type = type;
  s.factor = factor;
  s.offset = offset;
  s.is_float = is_float;
  plan_conversion(s);
  return s;
}

constexpr auto I = ByteOrder::intel;
constexpr auto M = ByteOrder::motorola;

struct RawCase {
  const char* what;
  std::uint32_t start, size;
  ByteOrder order;
  Bytes payload;
  std::optional<std::uint64_t> raw;
};

TEST(ExtractRaw, LayoutsAndShortPayloads) {
  const std::vector<RawCase> cases = {
      {"intel byte", 0, 8, I, {0x12}, 0x12},
      {"intel across bytes", 4, 8, I, {0x21, 0x43}, 0x32},
      {"intel single bit", 9, 1, I, {0x00, 0x02}, 1},
      {"intel 64 aligned", 0, 64, I, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
      {"intel 64 across nine bytes", 4, 64, I, {0xF0, 0, 0, 0, 0, 0, 0, 0, 0x0A},
       0xA00000000000000Full},
      {"motorola word", 7, 16, M, {0x12, 0x34}, 0x1234},
      {"motorola across bytes", 3, 8, M, {0x0A, 0xB0}, 0xAB},
      {"motorola 64 aligned", 7, 64, M, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0102030405060708},
      {"motorola 64 across nine bytes", 3, 64, M, {0x0A, 0, 0, 0, 0, 0, 0, 0, 0xB0},
       0xA00000000000000Bull},
      {"motorola starting at bit 0", 0, 2, M, {0x01, 0x80}, 0x3},
      {"last bit in byte 8 of 8", 60, 8, I, Bytes(8, 0xFF), std::nullopt},
      {"motorola into byte 8 of 8", 63, 16, M, Bytes(8, 0xFF), std::nullopt},
      {"start beyond payload", 64, 1, I, Bytes(8, 0xFF), std::nullopt},
      {"size 0 reads nothing", 1000, 0, I, {}, 0},
      {"size 0 motorola", 5, 0, M, {}, 0},
      {"empty payload", 0, 1, M, {}, std::nullopt},
      {"wider than 64 bits", 0, 65, I, Bytes(16, 0xFF), std::nullopt},
      {"huge start bit", 0xFFFFFFFFu, 8, M, Bytes(8, 0xFF), std::nullopt},
      {"huge start and size", 0xFFFFFFF0u, 64, I, Bytes(8, 0xFF), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(detail::extract_raw_reference(c.payload, c.start, c.size, c.order), c.raw);
    EXPECT_EQ(detail::extract_raw(c.payload, c.start, c.size, c.order), c.raw);
  }
}

struct ValueCase {
  const char* what;
  SignalSpec signal;
  Bytes payload;
  std::optional<DecodedValue> expected;
};

std::uint64_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(DecodeSignal, TypesScalingAndCasts) {
  const Bytes ffff = {0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes b15 = {static_cast<std::uint8_t>(bits_of(1.5f)), static_cast<std::uint8_t>(bits_of(1.5f) >> 8),
                     static_cast<std::uint8_t>(bits_of(1.5f) >> 16),
                     static_cast<std::uint8_t>(bits_of(1.5f) >> 24)};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ValueCase> cases = {
      {"signed nibble", make_signal(0, 4, I, true, SignalType::Int8), {0x0F}, DecodedValue::i8(-1)},
      {"unsigned nibble", make_signal(0, 4, I, false, SignalType::UInt8), {0x0F}, DecodedValue::u8(15)},
      {"signed 12 scaled to float32", make_signal(0, 12, I, true, SignalType::Float32, 0.5),
       {0x00, 0x08}, DecodedValue::f32(-1024.0f)},
      {"scaled with negative offset", make_signal(0, 8, I, false, SignalType::Int32, 2, -100),
       {200}, DecodedValue::i32(300)},
      {"uint32 saturates", make_signal(0, 32, I, false, SignalType::UInt32, 2), ffff,
       DecodedValue::u32(4294967295u)},
      {"int32 saturates", make_signal(0, 32, I, true, SignalType::Int32, 4), {0, 0, 0, 0x40},
       DecodedValue::i32(2147483647)},
      {"uint32 clamps negatives to 0", make_signal(0, 8, I, false, SignalType::UInt32, -1), {5},
       DecodedValue::u32(0)},
      {"int8 clamps low", make_signal(0, 8, I, true, SignalType::Int8, 2), {0x80},
       DecodedValue::i8(-128)},
      {"uint16 clamps high", make_signal(0, 16, I, false, SignalType::UInt16, 3), {0xFF, 0xFF},
       DecodedValue::u16(65535)},
      {"truncates toward zero", make_signal(0, 8, I, true, SignalType::Int32, 3, 0.5), {0xFF},
       DecodedValue::i32(-2)},
      {"int64 saturates", make_signal(0, 64, I, false, SignalType::Int64, 2), Bytes(8, 0xFF),
       DecodedValue::i64(std::numeric_limits<std::int64_t>::max())},
      {"uint64 saturates", make_signal(0, 64, I, false, SignalType::UInt64, 2), Bytes(8, 0xFF),
       DecodedValue::u64(std::numeric_limits<std::uint64_t>::max())},
      {"NaN scale gives 0", make_signal(0, 8, I, false, SignalType::Int16, nan), {1},
       DecodedValue::i16(0)},
      {"identity uint16", make_signal(0, 16, I, false, SignalType::UInt16), {0xFF, 0xFF},
       DecodedValue::u16(65535)},
      {"identity int16", make_signal(0, 16, I, true, SignalType::Int16), {0xFF, 0xFF},
       DecodedValue::i16(-1)},
      {"identity keeps low bits", make_signal(0, 12, I, false, SignalType::UInt8), {0xAB, 0x0C},
       DecodedValue::u8(0xAB)},
      {"identity negative zero offset", make_signal(0, 8, I, true, SignalType::Int8, 1.0, -0.0),
       {0x80}, DecodedValue::i8(-128)},
      {"exact above 2^53", make_signal(0, 54, I, false, SignalType::UInt64, 1, 1),
       {1, 0, 0, 0, 0, 0, 0x20}, DecodedValue::u64(9007199254740994u)},
      {"exact signed 63 bits", make_signal(0, 63, I, true, SignalType::Int64, 2),
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F}, DecodedValue::i64(9223372036854775806)},
      {"exact negative factor", make_signal(0, 64, I, true, SignalType::Int64, -1, -1),
       {1, 0, 0, 0, 0, 0, 0, 0x80}, DecodedValue::i64(9223372036854775806)},
      {"identity uint64 exact", make_signal(0, 64, I, false, SignalType::UInt64), Bytes(8, 0xFF),
       DecodedValue::u64(std::numeric_limits<std::uint64_t>::max())},
      {"identity float64 from signed", make_signal(0, 8, I, true, SignalType::Float64), {0xFE},
       DecodedValue::f64(-2.0)},
      {"ieee32 scaled", make_signal(0, 32, I, false, SignalType::Float32, 2, 1, true), b15,
       DecodedValue::f32(4.0f)},
      {"ieee16 one", make_signal(0, 16, I, false, SignalType::Float32, 1, 0, true), {0x00, 0x3C},
       DecodedValue::f32(1.0f)},
      {"ieee16 signed field", make_signal(0, 16, I, true, SignalType::Float32, 1, 0, true),
       {0x00, 0xC0}, DecodedValue::f32(-2.0f)},
      {"ieee64 motorola", make_signal(7, 64, M, false, SignalType::Float64, 1, 0, true),
       {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, DecodedValue::f64(1.5)},
      {"ieee32 keeps negative zero", make_signal(0, 32, I, false, SignalType::Float32, 1, 0, true),
       {0, 0, 0, 0x80}, DecodedValue{ValueKind::Float32, false, 0x80000000u}},
      {"ieee32 keeps signalling NaN", make_signal(0, 32, I, false, SignalType::Float32, 1, 0, true),
       {1, 0, 0x80, 0x7F}, DecodedValue{ValueKind::Float32, false, 0x7F800001u}},
      {"ieee16 keeps signalling NaN", make_signal(0, 16, I, false, SignalType::Float32, 1, 0, true),
       {0x01, 0xFC}, DecodedValue{ValueKind::Float32, false, 0xFF802000u}},
      {"ieee64 keeps signalling NaN", make_signal(0, 64, I, true, SignalType::Float64, 1, -0.0, true),
       {1, 0, 0, 0, 0, 0, 0xF0, 0x7F}, DecodedValue{ValueKind::Float64, false, 0x7FF0000000000001u}},
      {"ieee into int type", make_signal(0, 32, I, false, SignalType::Int8, 1, 0, true), b15,
       DecodedValue::i8(1)},
      {"ieee 8 bits absent", make_signal(0, 8, I, false, SignalType::Float32, 1, 0, true), {1},
       std::nullopt},
      {"size 0 identity", make_signal(0, 0, I, false, SignalType::UInt8), {}, DecodedValue::u8(0)},
      {"size 0 scaled", make_signal(0, 0, I, false, SignalType::Float64, 2, 7.5), {},
       DecodedValue::f64(7.5)},
      {"short payload absent", make_signal(8, 8, I, false, SignalType::UInt8), {1}, std::nullopt},
      {"non-numeric type absent", make_signal(0, 1, I, false, SignalType::Boolean), {1},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode_signal(c.payload, c.signal), c.expected);
  }
}

TEST(DecodeSignal, HalfPrecisionWidensExactly) {
  EXPECT_EQ(detail::half_to_double(0x0001), std::ldexp(1.0, -24));  // smallest subnormal
  EXPECT_EQ(detail::half_to_double(0x7BFF), 65504.0);                // largest finite
  EXPECT_EQ(detail::half_to_double(0xFC00), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::signbit(detail::half_to_double(0x8000)));
  EXPECT_TRUE(std::isnan(detail::half_to_double(0x7E00)));
  EXPECT_EQ(detail::half_to_double(0x3555), 0.333251953125);
}

TEST(TruncateSaturate, Bounds) {
  EXPECT_EQ(truncate_saturate<std::int64_t>(9.3e18), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(truncate_saturate<std::int64_t>(-9.3e18), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(truncate_saturate<std::int64_t>(-9223372036854775808.0),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(truncate_saturate<std::uint64_t>(1.9e19), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(truncate_saturate<std::uint8_t>(-0.9), 0);
  EXPECT_EQ(truncate_saturate<std::int8_t>(127.99), 127);
  EXPECT_EQ(truncate_saturate<std::int8_t>(-128.99), -128);
  EXPECT_EQ(truncate_saturate<std::int32_t>(std::numeric_limits<double>::infinity()),
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(truncate_saturate<std::uint32_t>(std::nan("")), 0u);
}

SignalSpec mux_member(std::string name, std::uint64_t switch_value, std::uint32_t start) {
  SignalSpec s = make_signal(start, 8, I, false, SignalType::UInt8);
  s.name = std::move(name);
  s.mux_kind = MuxKind::multiplexed;
  s.switch_value = switch_value;
  return s;
}

MessageSpec mux_message() {
  MessageSpec m;
  m.name = "Muxed";
  m.size = 4;
  m.is_multiplexed = true;
  SignalSpec plain = make_signal(24, 8, I, false, SignalType::UInt8);
  plain.name = "plain";
  SignalSpec mux = make_signal(0, 8, I, false, SignalType::UInt8);
  mux.name = "mux";
  mux.mux_kind = MuxKind::multiplexor;
  m.signals = {plain, mux_member("a1", 1, 8), mux, mux_member("a3", 3, 8),
               mux_member("b1", 1, 16), mux_member("b3", 3, 16)};
  m.multiplexor_index = 2;
  return m;
}

std::vector<std::string> names(const SignalRefs& refs) {
  std::vector<std::string> out;
  for (const auto* s : refs) out.push_back(s->name);
  return out;
}

TEST(Picks, BaseSignalsKeepPlainAndMultiplexor) {
  const MessageSpec m = mux_message();
  EXPECT_EQ(names(base_signals(m)), (std::vector<std::string>{"plain", "mux"}));

  MessageSpec only_muxed;
  only_muxed.signals = {mux_member("x", 0, 0)};
  EXPECT_TRUE(base_signals(only_muxed).empty());
  EXPECT_EQ(decode_signals(base_signals(only_muxed), Bytes{1}), std::nullopt);
}

TEST(Picks, MuxSelectsTheGroupOfTheDecodedValue) {
  const MessageSpec m = mux_message();
  const auto sel = decode_mux_signals(Bytes{3, 10, 20, 30}, m);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->multiplexor, &m.signals[2]);
  EXPECT_EQ(sel->selector, 3u);
  EXPECT_EQ(names(sel->signals), (std::vector<std::string>{"a3", "b3"}));

  EXPECT_FALSE(decode_mux_signals(Bytes{2, 0, 0, 0}, m)) << "value with no signals";
  EXPECT_FALSE(decode_mux_signals(Bytes{}, m)) << "multiplexor beyond the payload";
  MessageSpec no_mux = m;
  no_mux.multiplexor_index.reset();
  EXPECT_FALSE(decode_mux_signals(Bytes{3, 0, 0, 0}, no_mux));
}

TEST(Picks, MuxSelectorIsTheScaledIntegerSignExtended) {
  MessageSpec m = mux_message();
  SignalSpec& mux = m.signals[2];
  mux.is_signed = true;
  mux.signal_type = SignalType::Int8;
  m.signals[3].switch_value = std::numeric_limits<std::uint64_t>::max();
  auto sel = decode_mux_signals(Bytes{0xFF, 0, 0, 0}, m);
  ASSERT_TRUE(sel);
  EXPECT_EQ(names(sel->signals), std::vector<std::string>{"a3"});

  mux.is_signed = false;
  mux.signal_type = SignalType::Int32;
  mux.factor = 2;
  mux.offset = -3;  // raw 3 -> 3
  plan_conversion(mux);
  m.signals[3].switch_value = 3;
  sel = decode_mux_signals(Bytes{3, 0, 0, 0}, m);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->selector, 3u);

  mux.signal_type = SignalType::Float32;  // a float multiplexor selects nothing
  plan_conversion(mux);
  EXPECT_FALSE(decode_mux_signals(Bytes{3, 0, 0, 0}, m));
}

TEST(Picks, ListsAreCutAt64WithOneWarningPerCall) {
  log::ScopedCapture capture(log::Level::Warn);
  MessageSpec m;
  m.name = "Wide";
  for (int i = 0; i < 70; ++i) {
    SignalSpec s = make_signal(i % 8, 1, I, false, SignalType::UInt8);
    s.name = "p" + std::to_string(i);
    m.signals.push_back(s);
  }
  for (int i = 0; i < 66; ++i) m.signals.push_back(mux_member("m" + std::to_string(i), 7, 8));
  SignalSpec mux = make_signal(0, 8, I, false, SignalType::UInt8);
  mux.mux_kind = MuxKind::multiplexor;
  m.signals.push_back(mux);
  m.multiplexor_index = m.signals.size() - 1;

  const auto base = base_signals(m);
  ASSERT_EQ(base.size(), 64u);
  EXPECT_EQ(base.front()->name, "p0");
  EXPECT_EQ(base.back()->name, "p63");
  base_signals(m);
  EXPECT_EQ(capture->count("event Wide: more than 64 base signals; extras ignored"), 2u);

  const auto sel = decode_mux_signals(Bytes{7, 0}, m);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->signals.size(), 64u);
  EXPECT_EQ(sel->signals.back()->name, "m63");
  const auto events = capture->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].message, "event Wide/mux7: more than 64 signals; extras ignored");
  EXPECT_EQ(events[2].target, "orvik_can_decode::codec");
  EXPECT_EQ(events[2].level, log::Level::Warn);
}

TEST(Picks, RowsKeepAbsentEntriesInPlace) {
  const SignalSpec inside = make_signal(0, 8, I, false, SignalType::UInt8);
  const SignalSpec beyond = make_signal(16, 8, I, false, SignalType::UInt8);
  const Bytes payload = {9, 0};

  EXPECT_EQ(decode_signals(SignalRefs{&beyond, &beyond}, payload), std::nullopt);
  const auto row = decode_signals(SignalRefs{&beyond, &inside}, payload);
  ASSERT_TRUE(row);
  ASSERT_EQ(row->size(), 2u);
  EXPECT_FALSE((*row)[0]);
  EXPECT_EQ((*row)[1], DecodedValue::u8(9));
  EXPECT_EQ(decode_signals(SignalRefs{}, payload), std::nullopt);
}

}  // namespace
}  // namespace orvik::decode
