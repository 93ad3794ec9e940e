// Decode model building: types, identifiers, names, duplicates, tables, multiplexing, warnings.
#include "decode/dbc_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/log.hpp"
#include "decode/dbc.hpp"

namespace orvik::dbc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kIeeeWarning =
    "SIG_VALTYPE_ marks signal as IEEE float but size is not 16, 32, or 64; no canonical IEEE "
    "binary format exists at this width \xE2\x80\x94 frames carrying this signal will produce "
    "decode errors";
constexpr const char* kDuplicateWarning = "skipping duplicate SG_ entry";

std::string fixture(const char* name) {
  return std::string(ORVIK_SOURCE_DIR) + "/tests/fixtures/dbc/" + name;
}

DecodeDb load_fixture(const char* name) {
  auto db = DecodeDb::from_file(fixture(name));
  EXPECT_TRUE(db) << db.error().chain();
  return db ? std::move(*db) : DecodeDb();
}

const MessageSpec& message(const DecodeDb& db, std::uint32_t id, bool extended) {
  auto* found = db.find(id, extended);
  if (!found) throw std::runtime_error("no message " + std::to_string(id));
  return **found;
}

const SignalSpec& signal(const MessageSpec& m, std::string_view name) {
  for (const auto& s : m.signals) {
    if (s.name == name) return s;
  }
  throw std::runtime_error("no signal " + std::string(name));
}

std::string field_text(const log::Event& e, std::string_view name) {
  for (const auto& f : e.fields) {
    if (f.name == name) {
      if (auto* s = std::get_if<std::string>(&f.value)) return *s;
      if (auto* u = std::get_if<std::uint64_t>(&f.value)) return "u64:" + std::to_string(*u);
    }
  }
  return "<missing>";
}

struct TypeCase {
  const char* name;
  std::uint32_t size;
  bool is_signed;
  double factor;
  double offset;
  bool ieee;
  bool is_float;
  SignalType type;
};

class SignalTypeChoice : public testing::TestWithParam<TypeCase> {};

TEST_P(SignalTypeChoice, FirstMatchingRowDecides) {
  const auto& c = GetParam();
  const TypeChoice got = choose_signal_type(c.size, c.is_signed, c.factor, c.offset, c.ieee);
  EXPECT_EQ(got.is_float, c.is_float);
  EXPECT_EQ(got.signal_type, c.type);
}

using T = SignalType;
INSTANTIATE_TEST_SUITE_P(
    Rows, SignalTypeChoice,
    testing::Values(
        // IEEE flag: the width decides, for every size.
        TypeCase{"ieee_8_bits", 8, false, 1, 0, true, true, T::Float32},
        TypeCase{"ieee_32_bits", 32, true, 0.5, 3, true, true, T::Float32},
        TypeCase{"ieee_64_bits", 64, false, 1, 0, true, true, T::Float64},
        // Fractional factor.
        TypeCase{"fraction_16_bits", 16, false, 0.1, 0, false, false, T::Float32},
        TypeCase{"fraction_48_bits", 48, true, 0.1, 0, false, false, T::Float64},
        TypeCase{"nan_factor", 8, false, kNaN, 0, false, false, T::Float32},
        // Fractional offset: as a fractional factor.
        TypeCase{"half_offset", 8, false, 1, 0.5, false, false, T::Float32},
        TypeCase{"negative_fraction_offset_wide", 40, true, 2, -0.5, false, false, T::Float64},
        // Identity.
        TypeCase{"identity_u8", 8, false, 1, 0, false, false, T::UInt8},
        TypeCase{"identity_s4", 4, true, 1, 0, false, false, T::Int8},
        TypeCase{"identity_size_0", 0, false, 1, 0, false, false, T::UInt8},
        TypeCase{"identity_u12", 12, false, 1, 0, false, false, T::UInt16},
        TypeCase{"identity_s12", 12, true, 1, 0, false, false, T::Int16},
        TypeCase{"identity_u17", 17, false, 1, 0, false, false, T::UInt32},
        TypeCase{"identity_s32", 32, true, 1, 0, false, false, T::Int32},
        TypeCase{"identity_negative_zero_offset", 8, false, 1, -0.0, false, false, T::UInt8},
        // Scaled whole-number factors, and identity above 32 bits.
        TypeCase{"signed_scaled", 8, true, 2, 0, false, false, T::Int32},
        TypeCase{"signed_wide", 40, true, 1, 0, false, false, T::Int64},
        TypeCase{"unsigned_negative_offset", 8, false, 2, -40, false, false, T::Int32},
        TypeCase{"unsigned_scaled", 8, false, 2, 0, false, false, T::UInt32},
        TypeCase{"unsigned_wide_negative_offset", 40, false, 1, -1, false, false, T::Int64},
        TypeCase{"identity_u40", 40, false, 1, 0, false, false, T::UInt64},
        TypeCase{"wider_than_64", 72, false, 1, 0, false, false, T::UInt64},
        TypeCase{"factor_zero", 8, false, 0, 0, false, false, T::UInt32},
        TypeCase{"huge_factor_size_0", 0, false, 1e300, 0, false, false, T::UInt32},
        TypeCase{"signed_63_factor_2_fits", 63, true, 2, 0, false, false, T::Int64},
        // Where the first layout's type cannot hold every value: 64 bits, signed below 0.
        TypeCase{"negative_factor", 8, false, -1, 0, false, false, T::Int64},
        TypeCase{"negative_factor_offset", 12, false, -1, 2048, false, false, T::Int64},
        TypeCase{"unsigned_32_factor_100", 32, false, 100, 0, false, false, T::UInt64},
        TypeCase{"signed_32_factor_4", 32, true, 4, 0, false, false, T::Int64},
        TypeCase{"unsigned_32_offset_minus_1", 32, false, 1, -1, false, false, T::Int64},
        TypeCase{"offset_beyond_uint32", 8, false, 1, 5e9, false, false, T::UInt64},
        // ... and where no 64-bit type can: float64.
        TypeCase{"unsigned_64_factor_2", 64, false, 2, 0, false, false, T::Float64},
        TypeCase{"signed_64_factor_minus_1", 64, true, -1, 0, false, false, T::Float64},
        TypeCase{"offset_1e30", 8, false, 1, 1e30, false, false, T::Float64},
        TypeCase{"infinite_factor", 8, false, kInf, 0, false, false, T::Float64},
        TypeCase{"nan_offset", 8, false, 2, kNaN, false, false, T::Float32},
        TypeCase{"nan_offset_wide", 33, false, 1, kNaN, false, false, T::Float64}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MessageKey, Bit31OrMoreThanSixteenBitsMarksExtended) {
  EXPECT_EQ(message_key(0x80000100u), (MessageKey{0x100, true}));
  EXPECT_EQ(message_key(256), (MessageKey{0x100, false}));
  EXPECT_EQ(message_key(0xFFFFu), (MessageKey{0xFFFF, false}));
  EXPECT_EQ(message_key(0xFFFFFFFFu), (MessageKey{0x1FFFFFFF, true}));
  // 29-bit identifiers written without bit 31 keep every bit instead of colliding.
  EXPECT_EQ(message_key(0x18FF1234u), (MessageKey{0x18FF1234, true}));
  EXPECT_EQ(message_key(0x10630000u), (MessageKey{0x10630000, true}));
  EXPECT_EQ(message_key(0x40140639u), (MessageKey{0x00140639, true}));
}

TEST(DecodeModel, EmptyTextGivesEmptyModel) {
  auto db = DecodeDb::from_dbc_str("");
  ASSERT_TRUE(db);
  EXPECT_EQ(db->size(), 0u);
  EXPECT_EQ(DecodeDb().size(), 0u);
}

TEST(DecodeModel, IdentifiersSizesAndReplacement) {
  const DecodeDb db = load_fixture("identifiers.dbc");
  EXPECT_EQ(db.size(), 5u);
  EXPECT_EQ(message(db, 0x100, true).name, "ExtendedHundred");
  EXPECT_EQ(message(db, 0x100, false).name, "StandardHundred");
  EXPECT_TRUE(message(db, 0x100, true).is_extended);
  EXPECT_FALSE(message(db, 0x100, false).is_extended);
  EXPECT_EQ(message(db, 65837, true).name, "TwentyNineBitsWithoutFlag");
  EXPECT_EQ(db.find(0x12D, false), nullptr);
  EXPECT_EQ(message(db, 0x1FFFFFFF, true).name, "AllBits");

  // The later BO_ 300 replaces the earlier one; it has no signals and a size of 300 % 256.
  const MessageSpec& replaced = message(db, 300, false);
  EXPECT_EQ(replaced.name, "Replacement");
  EXPECT_TRUE(replaced.signals.empty());
  EXPECT_FALSE(replaced.multiplexor_index);
  EXPECT_FALSE(replaced.is_multiplexed);
  EXPECT_EQ(replaced.size, 44);
  EXPECT_EQ(db.find(300, true), nullptr);
}

TEST(DecodeModel, LongNamesFromSignalAttributesOnly) {
  log::ScopedCapture capture;
  const DecodeDb db = load_fixture("long_names.dbc");
  const MessageSpec& m = message(db, 300, false);
  EXPECT_EQ(m.name, "Status");  // a long name on the message changes nothing
  ASSERT_EQ(m.signals.size(), 3u);
  EXPECT_EQ(m.signals[0].name, "Vehicle Speed");
  EXPECT_EQ(m.signals[1].name, "Engine \"Main\" Speed");  // the later BA_ wins
  EXPECT_EQ(m.signals[2].name, "Short");  // numeric and wrongly-cased attributes are ignored
  EXPECT_EQ(m.signals[1].unit, "rpm");

  // EngSpd2 carries the same long name: dropped, and the warning names the long name.
  auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, kDuplicateWarning);
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "orvik_can_decode::dbc");
  EXPECT_EQ(field_text(events[0], "message"), "Status");
  EXPECT_EQ(field_text(events[0], "signal"), "Engine \"Main\" Speed");
}

TEST(DecodeModel, DuplicatesKeepTheFirstAndTheMultiplexorIndex) {
  log::ScopedCapture capture;
  const DecodeDb db = load_fixture("duplicate_signals.dbc");
  const MessageSpec& m = message(db, 600, false);
  ASSERT_EQ(m.signals.size(), 3u);
  EXPECT_EQ(m.signals[0].name, "Mux");
  EXPECT_EQ(m.signals[0].start_bit, 0u);
  EXPECT_EQ(m.signals[1].name, "Level");
  EXPECT_EQ(m.signals[1].start_bit, 8u);
  EXPECT_EQ(m.signals[2].name, "Bits8");
  EXPECT_EQ(m.multiplexor_index, 0u);  // the skipped second Mux does not move it
  EXPECT_TRUE(m.is_multiplexed);

  EXPECT_EQ(capture->count(kDuplicateWarning), 3u);
  // The IEEE check comes before the duplicate check, so both Bits8 lines warn.
  EXPECT_EQ(capture->count(kIeeeWarning), 2u);
  std::vector<std::string> duplicates;
  for (const auto& e : capture->events()) {
    if (e.message == kDuplicateWarning) duplicates.push_back(field_text(e, "signal"));
  }
  EXPECT_EQ(duplicates, (std::vector<std::string>{"Level", "Mux", "Bits8"}));
}

TEST(DecodeModel, SignalTypesAndTheIeeeWidthWarning) {
  log::ScopedCapture capture;
  const DecodeDb db = load_fixture("signal_types.dbc");
  const MessageSpec& m = message(db, 400, false);
  auto type_of = [&](const char* name) { return signal(m, name).signal_type; };
  EXPECT_EQ(type_of("U12"), T::UInt16);
  EXPECT_EQ(type_of("S12"), T::Int16);
  EXPECT_EQ(type_of("U40"), T::UInt64);
  EXPECT_EQ(type_of("Scaled"), T::Int32);
  EXPECT_EQ(type_of("ScaledPos"), T::UInt32);
  EXPECT_EQ(type_of("Frac16"), T::Float32);
  EXPECT_EQ(type_of("Frac48"), T::Float64);
  EXPECT_EQ(type_of("Ieee8"), T::Float32);
  EXPECT_EQ(type_of("Ieee64"), T::Float64);
  EXPECT_EQ(type_of("Ieee32"), T::Float32);
  EXPECT_EQ(type_of("NegFactor"), T::Int64);  // its values are negative
  EXPECT_EQ(type_of("Wide"), T::UInt64);
  EXPECT_EQ(signal(m, "Empty").size, 0u);
  EXPECT_EQ(signal(m, "Wide").size, 72u);
  EXPECT_TRUE(signal(m, "Ieee8").is_float);
  EXPECT_TRUE(signal(m, "Ieee32").is_float);
  EXPECT_FALSE(signal(m, "U12").is_float);  // SIG_VALTYPE_ 0
  EXPECT_FALSE(signal(m, "Frac16").is_float);

  auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, kIeeeWarning);
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "orvik_can_decode::dbc");
  ASSERT_EQ(events[0].fields.size(), 3u);
  EXPECT_EQ(events[0].fields[0].name, "message");
  EXPECT_EQ(field_text(events[0], "message"), "Types");
  EXPECT_EQ(field_text(events[0], "signal"), "Ieee8");
  EXPECT_EQ(field_text(events[0], "size"), "u64:8");
}

TEST(DecodeModel, ValueTablesFirstDescriptionLaterPairWins) {
  const DecodeDb db = load_fixture("value_tables.dbc");
  const MessageSpec& m = message(db, 500, false);
  const ValueTable& gear = signal(m, "Gear").value_table;
  EXPECT_EQ(gear.size(), 4u);
  EXPECT_EQ(gear.at(0xFFFFFFFFFFFFFFFFull), "Reverse");  // -1 as its two's-complement bits
  EXPECT_EQ(gear.at(0), "Neutral");                     // the second VAL_ is ignored
  EXPECT_EQ(gear.at(1), "Drive");                       // the later pair replaces "First"
  EXPECT_EQ(gear.at(0x8000000000000000ull), "Min");
  const ValueTable& lamp = signal(m, "Lamp").value_table;
  EXPECT_EQ(lamp.size(), 2u);
  EXPECT_EQ(lamp.at(1), "On");    // 1E+000
  EXPECT_EQ(lamp.at(0), "Zero");  // 0.0 and -0 are the same raw value
  EXPECT_EQ(signal(m, "Big").value_table.at(0xFFFFFFFFFFFFFFFFull), "Max");
}

TEST(DecodeModel, MultiplexingForms) {
  const DecodeDb db = load_fixture("mux_extended.dbc");
  const MessageSpec& m = message(db, 200, false);
  EXPECT_TRUE(m.is_multiplexed);
  ASSERT_EQ(m.signals.size(), 6u);
  EXPECT_EQ(signal(m, "Service").mux_kind, MuxKind::multiplexor);
  EXPECT_EQ(signal(m, "Sub").mux_kind, MuxKind::multiplexed);  // m1M
  EXPECT_EQ(signal(m, "Sub").switch_value, 1u);
  EXPECT_EQ(m.multiplexor_index, 1u);  // the last multiplexor stored wins
  EXPECT_EQ(signal(m, "Plain").mux_kind, MuxKind::plain);
  EXPECT_EQ(signal(m, "Value_a").switch_value, 0u);  // `m0:` touching the colon
  EXPECT_EQ(signal(m, "Value_b").switch_value, 2u);
  EXPECT_EQ(signal(m, "Deep").switch_value, 18446744073709551615u);
  EXPECT_EQ(signal(m, "Service").value_table.at(1), "Write");
  // Sub, the last multiplexor, follows Service (the one before it) instead of itself.
  ASSERT_EQ(m.extended_mux.switches.size(), 2u);
  EXPECT_EQ(m.extended_mux.switches[1].signal, 1u);
  EXPECT_EQ(m.extended_mux.switches[1].parent, 0u);

  // SG_MUL_VAL_: Sub is a switch below Top; R is selected by two ranges of Sel.
  const ExtendedMux& nested = message(db, 774, false).extended_mux;
  ASSERT_EQ(nested.switches.size(), 2u);
  EXPECT_EQ(nested.switches[0].signal, 0u);  // Top
  EXPECT_EQ(nested.switches[0].parent, kTopSwitch);
  EXPECT_EQ(nested.switches[1].signal, 1u);  // Sub, selected by Top at 1
  EXPECT_EQ(nested.switches[1].parent, 0u);
  EXPECT_EQ(nested.ranges[nested.members[nested.switches[1].member].ranges_begin],
            (SwitchRange{1, 1}));
  const ExtendedMux& ranged = message(db, 773, false).extended_mux;
  ASSERT_EQ(ranged.switches.size(), 1u);
  EXPECT_EQ(ranged.ranges, (std::vector<SwitchRange>{{1, 3}, {7, 7}, {1000, 1999}}));
  // One multiplexor selecting by single values keeps the single-multiplexor pick.
  auto plain = DecodeDb::from_dbc_str(
      "BO_ 1 M: 8 X\n SG_ S M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ A m2 : 8|8@1+ (1,0) [0|0] \"\" X\n"
      "SG_MUL_VAL_ 1 A S 2-2;\n");
  ASSERT_TRUE(plain);
  EXPECT_TRUE(message(*plain, 1, false).extended_mux.empty());
  // A chain of 40 switches keeps its top 32: paths and names grow with the depth.
  std::string signals = "BO_ 1 C: 8 X\n SG_ S0 M : 0|1@1+ (1,0) [0|0] \"\" X\n", lines;
  for (int i = 1; i < 40; ++i) {
    const std::string name = "S" + std::to_string(i), above = "S" + std::to_string(i - 1);
    signals += " SG_ " + name + " m0M : 0|1@1+ (1,0) [0|0] \"\" X\n";
    lines += "SG_MUL_VAL_ 1 " + name + " " + above + " 0-0;\n";
  }
  auto chain = DecodeDb::from_dbc_str(signals + lines);
  ASSERT_TRUE(chain);
  const ExtendedMux& deep = message(*chain, 1, false).extended_mux;
  ASSERT_EQ(deep.switches.size(), 32u);
  EXPECT_EQ(deep.switches.back().depth, 31u);
}

TEST(DecodeModel, BareLowercaseMIsReadAsTheMultiplexor) {
  log::ScopedCapture capture;
  auto db = DecodeDb::from_dbc_str(
      "BO_ 1 M: 8 X\n SG_ Code m : 0|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ A m0 : 8|8@1+ (1,0) [0|0] \"\" X\n"
      "BO_ 2 N: 8 X\n SG_ Code m : 0|8@1+ (1,0) [0|0] \"\" X\n");
  ASSERT_TRUE(db) << db.error().message();
  const MessageSpec& with_m0 = message(*db, 1, false);
  EXPECT_EQ(with_m0.signals[0].mux_kind, MuxKind::multiplexor);
  EXPECT_EQ(with_m0.multiplexor_index, 0u);  // so A is selected by Code == 0
  EXPECT_TRUE(with_m0.is_multiplexed);
  EXPECT_EQ(message(*db, 2, false).multiplexor_index, 0u);

  const auto events = capture->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "bare m multiplex indicator read as the multiplexor M");
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "orvik_can_decode::dbc");
  EXPECT_EQ(field_text(events[0], "message"), "M");
  EXPECT_EQ(field_text(events[0], "signal"), "Code");
  EXPECT_EQ(field_text(events[1], "message"), "N");
}

// Every event schema starts with the row time: a signal of that name would repeat it.
TEST(DecodeModel, SignalNamedLikeTheTimeColumnIsLeftOut) {
  log::ScopedCapture capture;
  auto db = DecodeDb::from_dbc_str(
      "BO_ 291 Log: 8 X\n SG_ time_ns : 0|32@1+ (1,0) [0|0] \"\" X\n"
      " SG_ Speed : 32|16@1+ (0.1,0) [0|0] \"\" X\n SG_ Time_ns : 48|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ Stamp : 56|8@1+ (1,0) [0|0] \"\" X\n"
      "BA_ \"SystemSignalLongSymbol\" SG_ 291 Stamp \"time_ns\";\n");
  ASSERT_TRUE(db) << db.error().message();
  const MessageSpec& log_message = message(*db, 291, false);
  ASSERT_EQ(log_message.signals.size(), 2u);
  EXPECT_EQ(log_message.signals[0].name, "Speed");
  EXPECT_EQ(log_message.signals[1].name, "Time_ns");  // names are case-sensitive

  // Named by the SG_ line, and by a long name.
  const auto events = capture->events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.message, "skipping SG_ entry named like the time_ns column");
    EXPECT_EQ(e.level, log::Level::Warn);
    EXPECT_EQ(field_text(e, "message"), "Log");
    EXPECT_EQ(field_text(e, "signal"), "time_ns");
  }
}

// The container DBC editors write for signals of no message, under either identifier they use.
TEST(DecodeModel, IndependentSignalPlaceholderIsNoMessage) {
  auto db = DecodeDb::from_dbc_str(
      "BO_ 2147483648 RealZero: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
      "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
      " SG_ Loose : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n"
      "BO_ 1073741824 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
      " SG_ Other : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n");
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(db->size(), 1u);
  EXPECT_EQ(message(*db, 0, true).name, "RealZero");  // not replaced by the placeholder
}

TEST(DecodeModel, EveryStatementFileKeepsWhatDecodingNeeds) {
  const DecodeDb db = load_fixture("every_statement.dbc");
  EXPECT_EQ(db.size(), 2u);
  const MessageSpec& engine = message(db, 100, false);
  ASSERT_EQ(engine.signals.size(), 5u);
  const SignalSpec& speed = signal(engine, "Speed");
  EXPECT_EQ(speed.factor, 0.1);
  EXPECT_EQ(speed.unit, "km/h");
  EXPECT_EQ(speed.byte_order, ByteOrder::intel);
  const SignalSpec& temp = signal(engine, "Temp");
  EXPECT_EQ(temp.byte_order, ByteOrder::motorola);
  EXPECT_EQ(temp.start_bit, 23u);
  EXPECT_TRUE(temp.is_signed);
  EXPECT_EQ(temp.signal_type, T::Int32);
  EXPECT_EQ(signal(engine, "Mode").value_table.at(1), "Run");
  EXPECT_EQ(signal(engine, "Detail").switch_value, 1u);
  EXPECT_TRUE(signal(engine, "Fuel").is_float);
  EXPECT_EQ(engine.multiplexor_index, 2u);
  const MessageSpec& body = message(db, 0x200, true);
  EXPECT_EQ(body.size, 64);
}

TEST(DecodeModel, LayoutWithoutHeaderCrlfAndLooseNumbers) {
  const DecodeDb db = load_fixture("no_header_crlf.dbc");
  EXPECT_EQ(db.size(), 2u);
  const SignalSpec& set = message(db, 1, false).signals.at(0);
  EXPECT_EQ(set.factor, 100.0);
  EXPECT_EQ(set.offset, 0.0);
  EXPECT_TRUE(std::signbit(set.offset));
  EXPECT_EQ(set.value_table.at(1), "on");  // VAL_ without its `;`
  const MessageSpec& radar = message(db, 2, false);
  EXPECT_EQ(radar.name, "Radar");
  EXPECT_EQ(radar.signals.at(0).factor, 0.25);
  EXPECT_EQ(radar.signals.at(0).offset, 3.0);
  EXPECT_EQ(radar.signals.at(0).value_table.at(1), "near");
}

}  // namespace
}  // namespace orvik::dbc
