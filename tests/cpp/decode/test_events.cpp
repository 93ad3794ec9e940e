// Event names and the Arrow schemas of message and raw-frame events.
#include "decode/events.hpp"

#include <arrow/type.h>
#include <gtest/gtest.h>

#include <vector>

namespace orvik::decode {
namespace {

MessageSpec message(std::uint32_t id, bool extended, std::string name) {
  MessageSpec m;
  m.id = id;
  m.is_extended = extended;
  m.name = std::move(name);
  return m;
}

SignalSpec signal(std::string name, SignalType type) {
  SignalSpec s;
  s.name = std::move(name);
  s.signal_type = type;
  return s;
}

TEST(EventNames, KeyIsPaddedLowerHexAndName) {
  struct Case {
    std::uint32_t id;
    bool extended;
    const char* name;
    const char* key;
  };
  const Case cases[] = {
      {0x123, false, "Status", "0123_Status"},
      {0x7FF, false, "Status", "07ff_Status"},
      {0x0, false, "Zero", "0000_Zero"},
      {0xFFFF, false, "Wide", "ffff_Wide"},
      {0xABC, true, "Pedals", "00000abc_Pedals"},
      {0x100, true, "Pedals", "00000100_Pedals"},
      {0x1FFFFFFF, true, "Max", "1fffffff_Max"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(event_key(message(c.id, c.extended, c.name)), c.key);
  }
}

TEST(EventNames, PathAppendsSlashAndSuffix) {
  const MessageSpec mux = message(0x200, false, "Mux");
  EXPECT_EQ(event_path(mux, "3"), "0200_Mux/3");
  EXPECT_EQ(event_path(mux, "Page3"), "0200_Mux/Page3");
  EXPECT_EQ(event_path(mux, ""), "0200_Mux/");
  EXPECT_EQ(kRawEventName, "can_raw");
}

// Labels of used switch values only: a range marks every value in it as used.
TEST(EventNames, DecimalSuffixesForLabelsThatCannotNameAValue) {
  const ValueTable labels{{1, "Reserved"}, {2, "Reserved"}, {3, ""},    {4, "4"},
                          {5, "6"},        {6, "Six"},      {7, "Seven"}, {8, "1"},
                          {9, "Off"},      {20, "Off"},     {30, "31"}};
  const SwitchRange used[] = {{1, 8}, {9, 9}, {30, 30}};
  // Digits other than the value's own decimal read as another value, whatever that value's name
  // and whether it is used: 5 spells 6 (named Six), 8 spells 1, 30 spells the unused 31. 9 and 20
  // share a label, but 20 is unused.
  const auto decimal = decimal_suffixes(labels, used);
  EXPECT_EQ(decimal, (boost::unordered_flat_set<std::uint64_t>{1, 2, 3, 5, 8, 30}));
}

TEST(Schemas, EverySignalTypeMapsToItsColumnType) {
  const std::pair<SignalType, std::shared_ptr<arrow::DataType>> cases[] = {
      {SignalType::Int8, arrow::int8()},
      {SignalType::Int16, arrow::int16()},
      {SignalType::Int32, arrow::int32()},
      {SignalType::Int64, arrow::int64()},
      {SignalType::UInt8, arrow::uint8()},
      {SignalType::UInt16, arrow::uint16()},
      {SignalType::UInt32, arrow::uint32()},
      {SignalType::UInt64, arrow::uint64()},
      {SignalType::Float32, arrow::float32()},
      {SignalType::Float64, arrow::float64()},
      {SignalType::Timestamp, arrow::timestamp(arrow::TimeUnit::NANO, "UTC")},
      {SignalType::Binary, arrow::binary()},
      {SignalType::Utf8, arrow::utf8()},
      {SignalType::Boolean, arrow::boolean()},
  };
  for (const auto& [type, expected] : cases) {
    EXPECT_TRUE(arrow_type(type)->Equals(*expected)) << expected->ToString();
  }
}

TEST(Schemas, MessageSchemaIsTimeThenNullableSignalsInOrder) {
  std::vector<SignalSpec> signals = {signal("Vehicle Speed", SignalType::Float32),
                                     signal("Wide", SignalType::UInt64),
                                     signal("Flag", SignalType::Boolean)};
  std::vector<const SignalSpec*> refs;
  for (const auto& s : signals) refs.push_back(&s);
  auto schema = message_schema(refs);
  ASSERT_EQ(schema->num_fields(), 4);
  EXPECT_TRUE(schema->field(0)->Equals(
      arrow::field("time_ns", arrow::timestamp(arrow::TimeUnit::NANO, "UTC"), false)));
  EXPECT_EQ(schema->field(1)->name(), "Vehicle Speed");
  EXPECT_TRUE(schema->field(1)->type()->Equals(arrow::float32()));
  EXPECT_TRUE(schema->field(1)->nullable());
  EXPECT_TRUE(schema->field(2)->type()->Equals(arrow::uint64()));
  EXPECT_TRUE(schema->field(3)->type()->Equals(arrow::boolean()));
  EXPECT_EQ(schema->metadata(), nullptr);
  for (const auto& f : schema->fields()) EXPECT_EQ(f->metadata(), nullptr);

  auto empty = message_schema({});
  ASSERT_EQ(empty->num_fields(), 1);
  EXPECT_EQ(empty->field(0)->name(), "time_ns");
  // Each call builds its own schema.
  EXPECT_NE(message_schema(refs).get(), schema.get());
}

TEST(Schemas, RawFrameSchema) {
  auto expected = arrow::schema({
      arrow::field("time_ns", arrow::timestamp(arrow::TimeUnit::NANO, "UTC"), false),
      arrow::field("arbitration_id", arrow::uint32(), true),
      arrow::field("dlc", arrow::uint8(), true),
      arrow::field("is_extended", arrow::boolean(), true),
      arrow::field("is_fd", arrow::boolean(), true),
      arrow::field("data", arrow::binary(), true),
  });
  auto schema = raw_frame_schema();
  EXPECT_TRUE(schema->Equals(*expected, /*check_metadata=*/true)) << schema->ToString();
}

}  // namespace
}  // namespace orvik::decode
