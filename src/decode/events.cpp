// Event naming and the Arrow schema of each event.
#include "decode/events.hpp"

#include <arrow/type.h>
#include <fmt/format.h>

#include <string_view>
#include <vector>

namespace orvik::decode {
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

std::string mux_suffix(const MessageSpec& message, const SignalSpec& multiplexor,
                       std::uint64_t switch_value) {
  const auto label = multiplexor.value_table.find(switch_value);
  if (label == multiplexor.value_table.end() || message.decimal_suffixes.contains(switch_value)) {
    return fmt::format("{}", switch_value);
  }
  return label->second;
}

boost::unordered_flat_set<std::uint64_t> decimal_suffixes(const MessageSpec& message) {
  boost::unordered_flat_set<std::uint64_t> decimal;
  if (!message.multiplexor_index || *message.multiplexor_index >= message.signals.size()) {
    return decimal;
  }
  const ValueTable& labels = message.signals[*message.multiplexor_index].value_table;
  if (labels.empty()) return decimal;

  // Only values that some signal uses get a sub-event, so only their names can collide.
  boost::unordered_flat_set<std::uint64_t> values;
  boost::unordered_flat_map<std::string_view, std::size_t> uses;  // label -> values carrying it
  for (const SignalSpec& s : message.signals) {
    if (s.mux_kind != MuxKind::multiplexed || !values.insert(s.switch_value).second) continue;
    if (const auto l = labels.find(s.switch_value); l != labels.end()) ++uses[l->second];
  }
  std::vector<std::uint64_t> by_decimal;  // values named by their decimal, still to check against
  boost::unordered_flat_map<std::string_view, std::uint64_t> by_label;  // label -> its value
  for (const std::uint64_t value : values) {
    const auto l = labels.find(value);
    if (l == labels.end()) {
      by_decimal.push_back(value);
    } else if (l->second.empty() || uses[l->second] > 1) {
      decimal.insert(value);
      by_decimal.push_back(value);
    } else {
      by_label.emplace(l->second, value);
    }
  }
  // A label that spells the decimal suffix of a value named by its decimal gives way, and its own
  // value is then named by its decimal too: repeat until no label clashes. The result is the least
  // such set, whatever the order of the values.
  while (!by_decimal.empty()) {
    const std::uint64_t value = by_decimal.back();
    by_decimal.pop_back();
    const auto clash = by_label.find(fmt::format("{}", value));
    if (clash == by_label.end() || clash->second == value) continue;
    decimal.insert(clash->second);
    by_decimal.push_back(clash->second);
    by_label.erase(clash);
  }
  return decimal;
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

}  // namespace orvik::decode
