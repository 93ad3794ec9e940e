// Owning SDK handles (sources, events) and the operations that register events on a source.
#pragma once

#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "sdk/abi.hpp"
#include "sdk/sink_error.hpp"
#include "sdk/value.hpp"

namespace orvik::sdk {

// One SDK trace source. Released through the table exactly once, when its owner drops it.
class SourceHandle {
 public:
  // Takes ownership of `source`, which must be non-null and come from `table`.
  SourceHandle(const SdkAbiTable* table, void* source) noexcept;
  SourceHandle(SourceHandle&& other) noexcept;
  SourceHandle& operator=(SourceHandle&& other) noexcept;
  SourceHandle(const SourceHandle&) = delete;
  SourceHandle& operator=(const SourceHandle&) = delete;
  ~SourceHandle();

  void* get() const { return source_; }
  const SdkAbiTable* table() const { return table_; }

 private:
  void release() noexcept;
  const SdkAbiTable* table_;
  void* source_;  // null only after a move
};

// One event registered on a source. Released through the table exactly once.
class EventHandle {
 public:
  // Takes ownership of `event`, which must be non-null and come from `table`.
  EventHandle(const SdkAbiTable* table, void* event) noexcept;
  EventHandle(EventHandle&& other) noexcept;
  EventHandle& operator=(EventHandle&& other) noexcept;
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  ~EventHandle();

  void* get() const { return event_; }
  const SdkAbiTable* table() const { return table_; }

 private:
  void release() noexcept;
  const SdkAbiTable* table_;
  void* event_;  // null only after a move
};

using FieldHandles = std::shared_ptr<const std::vector<std::uint32_t>>;
// A row as the decode steps hand it over: position i belongs to field handle i; empty = absent.
using RowView = std::span<const std::optional<DecodedValue>>;

// A registered event with the field handles of every schema column except "time_ns", in schema
// order. Rows are matched to the handles by position.
class SdkAbiEvent {
 public:
  SdkAbiEvent(EventHandle event, FieldHandles fields)
      : event_(std::move(event)), fields_(std::move(fields)) {}

  const EventHandle& event() const { return event_; }
  std::span<const std::uint32_t> field_handles() const { return *fields_; }
  const FieldHandles& shared_field_handles() const { return fields_; }

  // Logs one row: one SDK call, no heap allocation on success. At most 64 present values are
  // passed on; further ones are dropped.
  Status log_at(RowView row, std::int64_t time_ns) const;

 private:
  EventHandle event_;
  FieldHandles fields_;
};

// Encodes `schema` as an IPC stream and registers it on `source` under `name`.
SinkResult<EventHandle> evt_add_event(const SourceHandle& source, std::string_view name,
                                      const std::shared_ptr<arrow::Schema>& schema);

// The SDK's handle for the column `name` of `event`, taken as returned (0 included).
SinkResult<std::uint32_t> resolve_field(const EventHandle& event, std::string_view name);

// One (raw value, label) pair of a value table.
struct ValueLabel {
  std::uint64_t key;
  std::string_view label;
};

// Attaches a value table to the column `field` of `event`, pairs in the given order.
SinkResult<void> add_value_table(const EventHandle& event, std::string_view field,
                                 std::span<const ValueLabel> pairs);

// Registers the event and resolves a handle for every column except "time_ns". On failure
// nothing stays acquired.
Result<SdkAbiEvent> add_event(const SourceHandle& source, std::string_view name,
                              std::shared_ptr<arrow::Schema> schema);

}  // namespace orvik::sdk
