// The stand-in SDK's state: live handles, registered events, rows, violations, injected failures.
// Nothing here touches Python, because the table is entered from threads that do not hold the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "schema_check.hpp"

namespace standin {

// Slots whose failure can be injected.
enum class Slot { kSrcHandleFromPy, kEvtAddEvent, kResolveField, kAddValueTable, kLogAt };
std::optional<Slot> slot_from_name(std::string_view name);
std::string_view slot_name(Slot slot);

// A decoded column value: null, signed, unsigned, float, bool, or bytes.
struct Bytes {
  std::string data;
};
using Value = std::variant<std::monostate, int64_t, uint64_t, double, bool, Bytes>;

using ValueTable = std::vector<std::pair<uint64_t, std::string>>;

struct EventRec {
  std::string source_name;
  std::string name;
  std::string ipc;
  std::vector<FieldSpec> schema;  // immutable after registration
  uint32_t handle_base = 0;
  // Mutable under the recorder's mutex:
  std::vector<bool> resolved_mask;  // by schema index
  std::vector<std::string> resolved;
  std::vector<std::pair<std::string, ValueTable>> value_tables;
  bool released = false;
};

struct SourceRec {
  std::string name;
  std::vector<std::shared_ptr<EventRec>> events;  // registered since the last reset
};

struct Row {
  std::shared_ptr<const EventRec> event;
  int64_t time_ns;
  std::vector<std::pair<uint32_t, Value>> values;  // schema index, value
};

struct EventSnapshot {
  std::string source;
  std::string name;
  std::string ipc;
  std::vector<std::string> fields;
  std::vector<std::pair<std::string, ValueTable>> value_tables;
};

struct Stats {
  int64_t live_sources = 0;
  int64_t live_events = 0;
  uint64_t sources_acquired = 0;
  uint64_t sources_released = 0;
  uint64_t events_added = 0;
  uint64_t events_released = 0;
  uint64_t rows = 0;
  std::vector<std::string> violations;
};

enum class EmptyError { kOff, kEmptyText, kNullPointer };

class Recorder {
 public:
  // --- table slots (src_handle_from_py is split: the module checks the object, then calls this)
  int32_t acquire_source(SourceRec* source, void** out);
  // A refused object: fails the call, and records a violation when the consumer is at fault.
  int32_t refuse_source(std::string text, bool violation);
  void release_source(void* handle);
  int32_t add_event(void* source, const uint8_t* name, size_t name_len, const uint8_t* ipc,
                    size_t ipc_len, void** out);
  void release_event(void* handle);
  int32_t resolve_field(void* event, const uint8_t* name, size_t name_len, uint32_t* out);
  int32_t add_value_table(void* event, const uint8_t* field, size_t field_len,
                          const uint64_t* keys, size_t n, const uint8_t* labels,
                          const uint32_t* offsets);
  int32_t log_at(void* event, int64_t time_ns, const void* columns, size_t n, bool gil_held);
  // True when log_at only counts its rows, without checking them (nor `gil_held`).
  bool counts_only() const {
    return count_only_.load(std::memory_order_relaxed) && !armed_.load(std::memory_order_relaxed);
  }
  void last_error(const uint8_t** out_ptr, size_t* out_len);
  void unused_slot(int offset);

  // --- Python-facing control and inspection (callers hold the interpreter lock, not the mutex)
  SourceRec* source_named(const std::string& name);
  std::vector<EventSnapshot> events();
  std::vector<EventSnapshot> events_of(const SourceRec* source);
  std::vector<Row> rows();
  Stats stats();
  void reset();
  void inject(Slot slot, bool null_handle, int64_t times, std::optional<std::string> match,
              std::optional<int32_t> status);
  void set_empty_error(EmptyError mode) { empty_error_.store(mode); }
  void set_count_only(bool on) { count_only_.store(on); }

 private:
  enum class Kind { kSource, kEvent };
  // A released event handle keeps only its name, for the messages of later misuse; its record
  // goes with the last listing or row that still refers to it (until the next reset).
  struct Handle {
    Kind kind;
    SourceRec* source = nullptr;
    std::shared_ptr<EventRec> event;
    std::string event_name;
    bool released = false;
  };
  // Rows counted in count-only mode by one thread, on a line of its own: buses on different
  // workers never write to a shared counter. Only that thread writes it, so a plain load and
  // store count it without a locked instruction; readers still see whole values.
  struct alignas(64) RowCounter {
    std::atomic<uint64_t> rows{0};
  };
  struct Injection {
    Slot slot;
    bool null_handle;
    int64_t remaining;  // negative: every matching call
    std::optional<std::string> match;
    std::optional<int32_t> status;
  };
  struct Injected {
    bool null_handle;
    int32_t status;
  };

  void begin_call(std::string_view slot);
  int32_t fail(int32_t status, std::string text);
  void violate(std::string text);  // mutex held
  Handle* find(const void* handle);  // mutex held
  std::optional<Injected> take_injection(Slot slot, std::string_view a, std::string_view b);
  int32_t injected_failure(const Injected& inj, Slot slot, std::string_view what);
  Handle* live_event(void* handle, std::string_view slot);  // mutex held; null after failing
  void decode_columns(const EventRec& ev, const uint8_t* cols, size_t n, Row& row);
  static EventSnapshot snapshot(const EventRec& ev);
  RowCounter& thread_counter();
  uint64_t counted_rows();  // mutex held

  std::mutex mutex_;
  // Handle values are serial numbers, never addresses, so no value is handed out twice in the
  // process. A released handle stays known until the next reset, to catch a second release.
  void* add_handle(Handle h);  // mutex held
  std::unordered_map<uintptr_t, Handle> handles_;
  uintptr_t handle_serial_ = 0;
  std::unordered_map<std::string, std::unique_ptr<SourceRec>> sources_;
  std::vector<std::shared_ptr<EventRec>> events_;
  std::vector<Row> rows_;
  std::vector<std::string> violations_;
  std::vector<Injection> injections_;
  uint64_t event_serial_ = 0;
  uint64_t injected_count_ = 0;
  int64_t live_sources_ = 0;
  int64_t live_events_ = 0;
  uint64_t sources_acquired_ = 0;
  uint64_t sources_released_ = 0;
  uint64_t events_added_ = 0;
  uint64_t events_released_ = 0;
  std::atomic<uint64_t> rows_count_{0};
  std::deque<RowCounter> row_counters_;  // one per thread that counted; never shrinks
  std::atomic<bool> armed_{false};
  std::atomic<bool> count_only_{false};
  std::atomic<EmptyError> empty_error_{EmptyError::kOff};
};

// The one recorder of the process; created on first use and never destroyed, because worker
// threads may still release handles while the interpreter shuts down.
Recorder& recorder();

}  // namespace standin
