// Event naming and the Arrow schema of each event.
#include "decode/events.hpp"

#include <arrow/type.h>
#include <fmt/format.h>

#include <vector>

namespace orvik::codec {
namespace {

std::shared_ptr<arrow::Field> time_field() {
  return arrow::field(std::string(kTimeColumn), arrow::timestamp(arrow::TimeUnit::NANO, "UTC"),
                      /*nullable=*/false);
}

}  // namespace

std::string event_key(const MessageSpec& message) {
  if (message.is_extended) return fmt::format("{:08x}_{}", message.id, message.name);
  return fmt::format("{:04x}_{}", message.id, message.name);
}

std::string event_path(const MessageSpec& message, std::string_view suffix) {
  return fmt::format("{}/{}", event_key(message), suffix);
}

std::shared_ptr<arrow::DataType> arrow_type(SignalType type) {
  switch (type) {
    case SignalType::Int8: return arrow::int8();
    case SignalType::Int16: return arrow::int16();
    case SignalType::Int32: return arrow::int32();
    case SignalType::Int64: return arrow::int64();
    case SignalType::UInt8: return arrow::uint8();
    case SignalType::UInt16: return arrow::uint16();
    case SignalType::UInt32: return arrow::uint32();
    case SignalType::UInt64: return arrow::uint64();
    case SignalType::Float32: return arrow::float32();
    case SignalType::Float64: return arrow::float64();
    case SignalType::Timestamp: return arrow::timestamp(arrow::TimeUnit::NANO, "UTC");
    case SignalType::Binary: return arrow::binary();
    case SignalType::Utf8: return arrow::utf8();
    case SignalType::Boolean: return arrow::boolean();
  }
  return arrow::null();
}

std::shared_ptr<arrow::Schema> message_schema(std::span<const SignalSpec* const> signals) {
  arrow::FieldVector fields;
  fields.reserve(signals.size() + 1);
  fields.push_back(time_field());
  for (const SignalSpec* signal : signals) {
    fields.push_back(arrow::field(signal->name, arrow_type(signal->signal_type), /*nullable=*/true));
  }
  return arrow::schema(std::move(fields));
}

std::shared_ptr<arrow::Schema> raw_frame_schema() {
  return arrow::schema({
      time_field(),
      arrow::field("arbitration_id", arrow::uint32(), true),
      arrow::field("dlc", arrow::uint8(), true),
      arrow::field("is_extended", arrow::boolean(), true),
      arrow::field("is_fd", arrow::boolean(), true),
      arrow::field("data", arrow::binary(), true),
  });
}

}  // namespace orvik::codec
