// Field resolution, value tables and event registration on SDK handles.
#include "sdk/handles.hpp"

#include <arrow/type.h>
#include <fmt/format.h>

#include <limits>
#include <string>

#include "sdk/table.hpp"

namespace orvik::sdk {
namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

SinkResult<std::uint32_t> resolve_field(const EventHandle& event, std::string_view name) {
  std::uint32_t field = 0;
  const std::int32_t status =
      event.table()->resolve_field(event.get(), bytes_of(name), name.size(), &field);
  if (status != 0) return sink_fail(last_error_string(event.table()));
  return field;
}

SinkResult<void> add_value_table(const EventHandle& event, std::string_view field,
                                 std::span<const ValueLabel> pairs) {
  std::vector<std::uint64_t> keys;
  keys.reserve(pairs.size());
  std::string labels;
  std::vector<std::uint32_t> offsets;
  offsets.reserve(pairs.size() + 1);
  offsets.push_back(0);
  for (const ValueLabel& pair : pairs) {
    keys.push_back(pair.key);
    labels.append(pair.label);
    // Offsets are 32-bit on the wire; refuse rather than wrap.
    if (labels.size() > std::numeric_limits<std::uint32_t>::max()) {
      return sink_fail(SinkError::call(
          fmt::format("value table labels of '{}' exceed 4 GiB", field)));
    }
    offsets.push_back(static_cast<std::uint32_t>(labels.size()));
  }
  // With no pairs the SDK must not read keys or labels, but still gets non-null pointers.
  static constexpr std::uint64_t kNoKey = 0;
  const std::uint64_t* key_ptr = keys.empty() ? &kNoKey : keys.data();
  const std::int32_t status = event.table()->add_value_table(
      event.get(), bytes_of(field), field.size(), key_ptr, pairs.size(),
      reinterpret_cast<const std::uint8_t*>(labels.c_str()), offsets.data());
  if (status != 0) return sink_fail(last_error_string(event.table()));
  return {};
}

Result<SdkAbiEvent> add_event(const SourceHandle& source, std::string_view name,
                              std::shared_ptr<arrow::Schema> schema) {
  auto event = evt_add_event(source, name, schema);
  if (!event) return fail(fmt::format("add_event('{}'): {}", name, event.error().display()));

  const int field_count = schema->num_fields();
  std::vector<std::uint32_t> handles;
  handles.reserve(field_count > 0 ? static_cast<std::size_t>(field_count - 1) : 0);
  for (const auto& field : schema->fields()) {
    if (field->name() == kTimeColumn) continue;
    auto handle = resolve_field(*event, field->name());
    // Returning drops `event`, which releases it in the SDK.
    if (!handle) {
      return fail(
          fmt::format("resolve_field('{}'): {}", field->name(), handle.error().display()));
    }
    handles.push_back(*handle);
  }
  return SdkAbiEvent(std::move(*event),
                     std::make_shared<const std::vector<std::uint32_t>>(std::move(handles)));
}

}  // namespace orvik::sdk
