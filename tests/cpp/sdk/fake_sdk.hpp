// A fake SDK function table of the real layout that records every call and can be told to fail.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sdk/abi.hpp"

namespace orvik::sdk::fake {

struct EventRecord {
  void* handle;
  void* source;
  std::string name;
  std::vector<std::uint8_t> ipc;
};

struct ValueTableRecord {
  void* event;
  std::string field;
  std::size_t n;
  std::vector<std::uint64_t> keys;
  std::string labels;
  std::vector<std::uint32_t> offsets;
  bool keys_non_null;
  bool labels_non_null;
};

struct RowRecord {
  void* event;
  std::int64_t time_ns;
  std::vector<std::array<std::uint8_t, sizeof(AbiColumn)>> columns;  // byte for byte
};

// One process-wide fake, since the table slots are plain C functions without context.
struct FakeSdk {
  SdkAbiTable table{};

  // Failure injection: a non-zero status per slot name, or a null out-handle with status 0.
  std::map<std::string, std::int32_t> status;
  bool null_source = false;
  int fail_source_at = -1;       // index of the src_handle_from_py call that fails
  bool null_event = false;
  std::set<std::string> fail_event_names;  // evt_add_event fails for these names only
  int fail_value_table_at = -1;            // index of the add_value_table call that fails
  std::set<std::string> fail_row_events;   // log_at fails for rows of events with these names
  int fail_resolve_at = -1;      // index of the resolve_field call that fails, counting from 0
  std::int32_t resolve_status = 1;
  // What last_error hands out.
  std::string error_text = "sdk says no";
  bool error_null = false;
  bool error_zero_length = false;
  std::uint32_t first_field_handle = 10;

  // Recordings.
  std::vector<std::string> log;  // every call, in order, e.g. "release_event(2)"
  std::vector<void*> sources_from;  // the Python objects handed to src_handle_from_py
  std::vector<EventRecord> events;
  std::vector<std::string> resolved;
  std::vector<ValueTableRecord> value_tables;
  std::vector<RowRecord> rows;
  std::map<void*, int> releases;  // handle -> number of releases
  int last_error_calls = 0;

  // Handles are distinct addresses inside this arena; their index names them in the log. Room for
  // more events than one message registers up front (4,096).
  std::vector<char> arena = std::vector<char>(std::size_t{1} << 16);
  int next_handle = 1;

  void* new_handle() { return &arena[static_cast<std::size_t>(next_handle++)]; }
  int id_of(const void* handle) const {
    return static_cast<int>(static_cast<const char*>(handle) - arena.data());
  }
  std::int32_t status_of(const std::string& slot) const {
    auto it = status.find(slot);
    return it == status.end() ? 0 : it->second;
  }
  // The name an event was registered under; empty for an unknown handle.
  std::string event_name(const void* handle) const {
    for (const EventRecord& e : events) {
      if (e.handle == handle) return e.name;
    }
    return {};
  }
};

inline FakeSdk*& current() {
  static FakeSdk* fake = nullptr;
  return fake;
}

extern "C" {
inline std::int32_t fake_src_handle_from_py(_object* source, void** out) {
  FakeSdk& f = *current();
  const int index = static_cast<int>(f.sources_from.size());
  f.sources_from.push_back(source);
  std::int32_t s = f.status_of("src_handle_from_py");
  if (index == f.fail_source_at) s = 1;
  if (s != 0) {
    f.log.push_back("src_handle_from_py failed");
    return s;
  }
  if (f.null_source) return 0;
  *out = f.new_handle();
  f.log.push_back("src_handle_from_py -> " + std::to_string(f.id_of(*out)));
  return 0;
}

inline void fake_release_source(void* source) {
  FakeSdk& f = *current();
  f.releases[source]++;
  f.log.push_back("release_source(" + std::to_string(f.id_of(source)) + ")");
}

inline std::int32_t fake_evt_add_event(void* source, const std::uint8_t* name, std::size_t name_len,
                                       const std::uint8_t* ipc, std::size_t ipc_len, void** out) {
  FakeSdk& f = *current();
  std::int32_t s = f.status_of("evt_add_event");
  if (f.fail_event_names.count(std::string(reinterpret_cast<const char*>(name), name_len))) s = 1;
  if (s != 0) {
    f.log.push_back("evt_add_event failed");
    return s;
  }
  if (f.null_event) return 0;
  *out = f.new_handle();
  f.events.push_back({*out, source, std::string(reinterpret_cast<const char*>(name), name_len),
                      std::vector<std::uint8_t>(ipc, ipc + ipc_len)});
  f.log.push_back("evt_add_event -> " + std::to_string(f.id_of(*out)));
  return 0;
}

inline void fake_release_event(void* event) {
  FakeSdk& f = *current();
  f.releases[event]++;
  f.log.push_back("release_event(" + std::to_string(f.id_of(event)) + ")");
}

inline std::int32_t fake_resolve_field(void*, const std::uint8_t* name, std::size_t name_len,
                                       std::uint32_t* out) {
  FakeSdk& f = *current();
  const int index = static_cast<int>(f.resolved.size());
  f.resolved.emplace_back(reinterpret_cast<const char*>(name), name_len);
  if (index == f.fail_resolve_at) return f.resolve_status;
  *out = f.first_field_handle + static_cast<std::uint32_t>(index);
  return 0;
}

inline std::int32_t fake_add_value_table(void* event, const std::uint8_t* field,
                                         std::size_t field_len, const std::uint64_t* keys,
                                         std::size_t n, const std::uint8_t* labels,
                                         const std::uint32_t* offsets) {
  FakeSdk& f = *current();
  ValueTableRecord r{event, std::string(reinterpret_cast<const char*>(field), field_len), n,
                     std::vector<std::uint64_t>(keys, keys + n), {},
                     std::vector<std::uint32_t>(offsets, offsets + n + 1), keys != nullptr,
                     labels != nullptr};
  r.labels.assign(reinterpret_cast<const char*>(labels), offsets[n]);
  const int index = static_cast<int>(f.value_tables.size());
  f.value_tables.push_back(std::move(r));
  if (index == f.fail_value_table_at) return 1;
  return f.status_of("add_value_table");
}

inline std::int32_t fake_log_at(void* event, std::int64_t time_ns, const AbiColumn* columns,
                                std::size_t n) {
  FakeSdk& f = *current();
  RowRecord row{event, time_ns, {}};
  for (std::size_t i = 0; i < n; ++i) {
    std::array<std::uint8_t, sizeof(AbiColumn)> bytes;
    std::memcpy(bytes.data(), &columns[i], sizeof(AbiColumn));
    row.columns.push_back(bytes);
  }
  f.rows.push_back(std::move(row));
  if (!f.fail_row_events.empty() && f.fail_row_events.count(f.event_name(event))) return 1;
  return f.status_of("log_at");
}

inline void fake_last_error(const std::uint8_t** out_ptr, std::size_t* out_len) {
  FakeSdk& f = *current();
  f.last_error_calls++;
  if (f.error_null) return;
  *out_ptr = reinterpret_cast<const std::uint8_t*>(f.error_text.data());
  *out_len = f.error_zero_length ? 0 : f.error_text.size();
}
}

// Points the table's slots at the fake functions and makes `f` the current fake.
inline void install(FakeSdk& f) {
  f.table.abi_version = kAbiVersion;
  f.table.src_handle_from_py = fake_src_handle_from_py;
  f.table.release_source = fake_release_source;
  f.table.evt_add_event = fake_evt_add_event;
  f.table.release_event = fake_release_event;
  f.table.resolve_field = fake_resolve_field;
  f.table.add_value_table = fake_add_value_table;
  f.table.log_at = fake_log_at;
  f.table.last_error = fake_last_error;
  current() = &f;
}

// Clears recordings and injected failures, keeping the table at the same address.
inline void reset(FakeSdk& f) {
  f = FakeSdk{};
  install(f);
}

// Installs a fresh fake for one test and removes it afterwards.
class ScopedFake {
 public:
  ScopedFake() { install(fake_); }
  ~ScopedFake() { current() = nullptr; }
  ScopedFake(const ScopedFake&) = delete;
  ScopedFake& operator=(const ScopedFake&) = delete;

  FakeSdk* operator->() { return &fake_; }
  FakeSdk& operator*() { return fake_; }
  const SdkAbiTable* table() const { return &fake_.table; }

 private:
  FakeSdk fake_;
};

}  // namespace orvik::sdk::fake
