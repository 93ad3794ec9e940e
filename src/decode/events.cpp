// Event naming and the Arrow schema of each event.
#include "decode/events.hpp"

#include <arrow/type.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <iterator>
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

namespace {

std::string suffix(const ValueTable& labels,
                   const boost::unordered_flat_set<std::uint64_t>& decimal, std::uint64_t value) {
  const auto label = labels.find(value);
  if (label == labels.end() || decimal.contains(value)) return fmt::format("{}", value);
  return label->second;
}

// A label of digits alone reads as a value in decimal: unless it is its own value's decimal, it
// would name that value's sub-event as another value's, whether that value is used or not.
bool spells_another_value(std::string_view label, std::uint64_t value) {
  return !label.empty() &&
         std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         label != fmt::format("{}", value);
}

}  // namespace

std::string mux_suffix(const MessageSpec& message, const SignalSpec& multiplexor,
                       std::uint64_t switch_value) {
  return suffix(multiplexor.value_table, message.decimal_suffixes, switch_value);
}

std::string mux_path_name(const MessageSpec& message, std::size_t index,
                          std::span<const std::uint64_t> path) {
  const ExtendedMux& mux = message.extended_mux;
  std::vector<std::string> parts(path.size());
  for (std::size_t at = index, k = path.size(); k-- > 0; at = mux.switches[at].parent) {
    const MuxSwitch& sw = mux.switches[at];
    const SignalSpec& signal = message.signals[sw.signal];
    parts[k] = suffix(signal.value_table, sw.decimal_suffixes, path[k]);
    if (sw.named) parts[k] = fmt::format("{}={}", signal.name, parts[k]);
  }
  return fmt::format("{}/{}", event_key(message), fmt::join(parts, "/"));
}

boost::unordered_flat_set<std::uint64_t> decimal_suffixes(const ValueTable& labels,
                                                         std::span<const SwitchRange> used,
                                                         bool in_path) {
  // Merged and sorted, so that a value's use is one binary search: a table of thousands of labels
  // against thousands of ranges stays fast.
  std::vector<SwitchRange> merged;
  for (const SwitchRange& r : used) {
    if (r.low <= r.high) merged.push_back(r);
  }
  std::sort(merged.begin(), merged.end(),
            [](const SwitchRange& a, const SwitchRange& b) { return a.low < b.low; });
  std::size_t n = 0;
  for (const SwitchRange& r : merged) {
    if (n > 0 && r.low <= merged[n - 1].high) {
      merged[n - 1].high = std::max(merged[n - 1].high, r.high);
    } else {
      merged[n++] = r;
    }
  }
  merged.resize(n);
  const auto is_used = [&](std::uint64_t v) {
    const auto after = std::upper_bound(merged.begin(), merged.end(), v,
                                        [](std::uint64_t x, const SwitchRange& r) {
                                          return x < r.low;
                                        });
    return after != merged.begin() && v <= std::prev(after)->high;
  };
  // Only used values get a sub-event, so only their names can collide.
  boost::unordered_flat_map<std::string_view, std::size_t> uses;  // label -> used values with it
  for (const auto& [value, label] : labels) {
    if (is_used(value)) ++uses[label];
  }
  boost::unordered_flat_set<std::uint64_t> decimal;
  for (const auto& [value, label] : labels) {
    // In a path a '/' would read as the end of the suffix: "a/b" is also "a", then "b" below it.
    const bool splits = in_path && label.find('/') != std::string::npos;
    if (is_used(value) &&
        (label.empty() || uses[label] > 1 || splits || spells_another_value(label, value))) {
      decimal.insert(value);
    }
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
