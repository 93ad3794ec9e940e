// Owning SDK handles (sources, events) and the operations that register events on a source.
#pragma once

#include <arrow/type_fwd.h>

#include <cassert>
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

// The row-time column every event schema starts with; it has no field handle of its own.
inline constexpr std::string_view kTimeColumn = "time_ns";

// One SDK object, a trace source or an event, released through the table's `Release` slot
// exactly once, when its owner drops it.
template <auto Release>
class SdkHandle {
 public:
  // Takes ownership of `object`, which must be non-null and come from `table`.
  SdkHandle(const SdkAbiTable* table, void* object) noexcept : table_(table), object_(object) {
    assert(table != nullptr && object != nullptr);
  }
  SdkHandle(SdkHandle&& other) noexcept
      : table_(other.table_), object_(std::exchange(other.object_, nullptr)) {}
  SdkHandle& operator=(SdkHandle&& other) noexcept {
    if (this != &other) {
      release();
      table_ = other.table_;
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  SdkHandle(const SdkHandle&) = delete;
  SdkHandle& operator=(const SdkHandle&) = delete;
  ~SdkHandle() { release(); }

  void* get() const { return object_; }
  const SdkAbiTable* table() const { return table_; }

 private:
  void release() noexcept {
    // Only a moved-from handle is empty; a live one always releases.
    if (object_ != nullptr) (table_->*Release)(std::exchange(object_, nullptr));
  }
  const SdkAbiTable* table_;
  void* object_;  // null only after a move
};

using SourceHandle = SdkHandle<&SdkAbiTable::release_source>;
using EventHandle = SdkHandle<&SdkAbiTable::release_event>;

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
