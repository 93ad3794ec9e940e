// What each table slot checks and records, and the control surface the Python module exposes.
#include "recorder.hpp"

#include <fmt/format.h>

#include <cstring>

#include "abi.hpp"

namespace standin {
namespace {

// The last failure of the calling thread. `pending` is set by a failing slot and cleared by
// last_error, so a consumer that skips the fetch or fetches without a failure is noticed.
struct ThreadError {
  std::string text;
  bool pending = false;
};
thread_local ThreadError t_error;

constexpr uint32_t kHandleSpacing = 1000;  // field handles of one event: base .. base + 999
constexpr uint32_t kHandleOffset = 7;      // so no event's handles start at 0
constexpr uint64_t kMaxLabelBytes = 1u << 24;
constexpr uintptr_t kHandleBase = uintptr_t{1} << 40;

// Structure only (lead and continuation bytes); enough to catch truncated or Latin-1 text.
bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t extra;
    if (c < 0x80) {
      extra = 0;
    } else if ((c >> 5) == 0x6) {
      extra = 1;
    } else if ((c >> 4) == 0xE) {
      extra = 2;
    } else if ((c >> 3) == 0x1E) {
      extra = 3;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string text_of(const uint8_t* p, size_t len) {
  return len == 0 ? std::string() : std::string(reinterpret_cast<const char*>(p), len);
}

template <typename T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

std::optional<Slot> slot_from_name(std::string_view name) {
  for (Slot s : {Slot::kSrcHandleFromPy, Slot::kEvtAddEvent, Slot::kResolveField,
                 Slot::kAddValueTable, Slot::kLogAt}) {
    if (slot_name(s) == name) return s;
  }
  return std::nullopt;
}

std::string_view slot_name(Slot slot) {
  switch (slot) {
    case Slot::kSrcHandleFromPy: return "src_handle_from_py";
    case Slot::kEvtAddEvent: return "evt_add_event";
    case Slot::kResolveField: return "resolve_field";
    case Slot::kAddValueTable: return "add_value_table";
    case Slot::kLogAt: return "log_at";
  }
  return "?";
}

Recorder& recorder() {
  static Recorder* instance = new Recorder();
  return *instance;
}

// ---------------------------------------------------------------- per-call bookkeeping

void Recorder::begin_call(std::string_view slot) {
  if (t_error.pending) {
    t_error.pending = false;
    std::lock_guard lock(mutex_);
    violate(fmt::format("{} called after a failed call on this thread without fetching last_error",
                        slot));
  }
}

int32_t Recorder::fail(int32_t status, std::string text) {
  t_error.text = std::move(text);
  t_error.pending = true;
  return status;
}

void Recorder::violate(std::string text) { violations_.push_back(std::move(text)); }

Recorder::Handle* Recorder::find(const void* handle) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  return it == handles_.end() ? nullptr : &it->second;
}

void* Recorder::add_handle(Handle h) {
  // Spaced and offset like real allocations, so a consumer that treats them as addresses still
  // sees plausible, distinct values.
  const uintptr_t value = kHandleBase + ++handle_serial_ * 16;
  handles_.emplace(value, std::move(h));
  return reinterpret_cast<void*>(value);
}

std::optional<Recorder::Injected> Recorder::take_injection(Slot slot, std::string_view a,
                                                           std::string_view b) {
  if (!armed_.load(std::memory_order_relaxed)) return std::nullopt;
  for (auto it = injections_.begin(); it != injections_.end(); ++it) {
    if (it->slot != slot || it->remaining == 0) continue;
    if (it->match && *it->match != a && *it->match != b) continue;
    Injected out{it->null_handle, 0};
    if (!it->null_handle) {
      // Alternate 1 and -1 unless a status was asked for: any non-zero status is a failure.
      out.status = it->status ? *it->status : (injected_count_ % 2 == 0 ? 1 : -1);
      ++injected_count_;
    }
    if (it->remaining > 0 && --it->remaining == 0) injections_.erase(it);
    armed_.store(!injections_.empty(), std::memory_order_relaxed);
    return out;
  }
  return std::nullopt;
}

int32_t Recorder::injected_failure(const Injected& inj, Slot slot, std::string_view what) {
  return fail(inj.status, fmt::format("injected {} failure for '{}'", slot_name(slot), what));
}

Recorder::Handle* Recorder::live_event(void* handle, std::string_view slot) {
  Handle* h = find(handle);
  if (h == nullptr || h->kind != Kind::kEvent) {
    violate(fmt::format("{}: unknown event handle {}", slot, handle));
    fail(-1, fmt::format("{}: unknown event handle", slot));
    return nullptr;
  }
  if (h->released) {
    violate(fmt::format("{}('{}'): the event was already released", slot, h->event_name));
    fail(-1, fmt::format("{}: event '{}' was released", slot, h->event_name));
    return nullptr;
  }
  return h;
}

// ---------------------------------------------------------------- sources

int32_t Recorder::refuse_source(std::string text, bool violation) {
  begin_call("src_handle_from_py");
  if (violation) {
    std::lock_guard lock(mutex_);
    violate(text);
  }
  return fail(1, std::move(text));
}

int32_t Recorder::acquire_source(SourceRec* source, void** out) {
  begin_call("src_handle_from_py");
  std::lock_guard lock(mutex_);
  if (out == nullptr) {
    violate("src_handle_from_py: null out_source");
    return fail(-1, "src_handle_from_py: null out_source");
  }
  if (*out != nullptr) {
    violate("src_handle_from_py: out_source was not set to null before the call");
  }
  if (auto inj = take_injection(Slot::kSrcHandleFromPy, source->name, source->name)) {
    if (inj->null_handle) {
      *out = nullptr;
      return 0;
    }
    return injected_failure(*inj, Slot::kSrcHandleFromPy, source->name);
  }
  *out = add_handle(Handle{Kind::kSource, source, nullptr, {}, false});
  ++live_sources_;
  ++sources_acquired_;
  return 0;
}

void Recorder::release_source(void* handle) {
  begin_call("release_source");
  std::lock_guard lock(mutex_);
  Handle* h = find(handle);
  if (h == nullptr) {
    violate(fmt::format("release_source: unknown handle {}", handle));
  } else if (h->kind != Kind::kSource) {
    violate(fmt::format("release_source given the event handle of '{}'", h->event_name));
  } else if (h->released) {
    violate(fmt::format("release_source('{}'): handle released twice", h->source->name));
  } else {
    h->released = true;
    --live_sources_;
    ++sources_released_;
  }
}

// ---------------------------------------------------------------- events

int32_t Recorder::add_event(void* source, const uint8_t* name, size_t name_len,
                            const uint8_t* ipc, size_t ipc_len, void** out) {
  begin_call("evt_add_event");
  std::lock_guard lock(mutex_);
  if (out == nullptr || (name == nullptr && name_len > 0) || (ipc == nullptr && ipc_len > 0)) {
    violate("evt_add_event: null pointer argument");
    return fail(-1, "evt_add_event: null pointer argument");
  }
  if (*out != nullptr) violate("evt_add_event: out_event was not set to null before the call");
  const std::string event_name = text_of(name, name_len);
  if (!valid_utf8(event_name)) violate("evt_add_event: event name is not valid UTF-8");

  Handle* src = find(source);
  if (src == nullptr || src->kind != Kind::kSource) {
    violate(fmt::format("evt_add_event('{}'): unknown source handle {}", event_name, source));
    return fail(-1, "evt_add_event: unknown source handle");
  }
  if (src->released) {
    violate(fmt::format("evt_add_event('{}'): source '{}' was already released", event_name,
                        src->source->name));
    return fail(-1, fmt::format("evt_add_event: source '{}' was released", src->source->name));
  }
  if (auto inj = take_injection(Slot::kEvtAddEvent, event_name, src->source->name)) {
    if (inj->null_handle) {
      *out = nullptr;
      return 0;
    }
    return injected_failure(*inj, Slot::kEvtAddEvent, event_name);
  }

  SchemaCheck schema = check_schema_stream(ipc, ipc_len);
  for (auto& problem : schema.problems) {
    violate(fmt::format("evt_add_event('{}'): {}", event_name, problem));
  }
  if (!schema.fatal.empty()) {
    violate(fmt::format("evt_add_event('{}'): {}", event_name, schema.fatal));
    return fail(-1, fmt::format("evt_add_event('{}'): {}", event_name, schema.fatal));
  }

  auto ev = std::make_shared<EventRec>();
  ev->source_name = src->source->name;
  ev->name = event_name;
  ev->ipc = text_of(ipc, ipc_len);
  ev->schema = std::move(schema.fields);
  ev->handle_base = static_cast<uint32_t>(++event_serial_ * kHandleSpacing + kHandleOffset);
  ev->resolved_mask.assign(ev->schema.size(), false);
  events_.push_back(ev);
  src->source->events.push_back(ev);

  *out = add_handle(Handle{Kind::kEvent, nullptr, ev, event_name, false});
  ++live_events_;
  ++events_added_;
  return 0;
}

void Recorder::release_event(void* handle) {
  begin_call("release_event");
  std::lock_guard lock(mutex_);
  Handle* h = find(handle);
  if (h == nullptr) {
    violate(fmt::format("release_event: unknown handle {}", handle));
  } else if (h->kind != Kind::kEvent) {
    violate(fmt::format("release_event given the source handle of '{}'", h->source->name));
  } else if (h->released) {
    violate(fmt::format("release_event('{}'): handle released twice", h->event_name));
  } else {
    // Releasing an event after its source is the consumer's normal teardown order: accepted.
    h->released = true;
    h->event->released = true;
    h->event.reset();
    --live_events_;
    ++events_released_;
  }
}

int32_t Recorder::resolve_field(void* event, const uint8_t* name, size_t name_len,
                                uint32_t* out) {
  begin_call("resolve_field");
  std::lock_guard lock(mutex_);
  Handle* h = live_event(event, "resolve_field");
  if (h == nullptr) return -1;
  EventRec* ev = h->event.get();
  if (out == nullptr || (name == nullptr && name_len > 0)) {
    violate(fmt::format("resolve_field('{}'): null pointer argument", ev->name));
    return fail(-1, "resolve_field: null pointer argument");
  }
  if (*out != 0) violate(fmt::format("resolve_field('{}'): out_field was not set to 0", ev->name));
  const std::string field = text_of(name, name_len);
  if (auto inj = take_injection(Slot::kResolveField, field, ev->name)) {
    return injected_failure(*inj, Slot::kResolveField, field);
  }
  size_t index = 0;
  while (index < ev->schema.size() && ev->schema[index].name != field) ++index;
  if (index == ev->schema.size()) {
    violate(fmt::format("resolve_field('{}'): no field named '{}' in the schema", ev->name, field));
    return fail(-1, fmt::format("no field named '{}' in event '{}'", field, ev->name));
  }
  if (field == "time_ns") {
    violate(fmt::format("resolve_field('{}'): the time column 'time_ns' was resolved", ev->name));
  }
  if (!ev->resolved_mask[index]) {
    ev->resolved_mask[index] = true;
    ev->resolved.push_back(field);
  }
  *out = ev->handle_base + static_cast<uint32_t>(index);
  return 0;
}

int32_t Recorder::add_value_table(void* event, const uint8_t* field, size_t field_len,
                                  const uint64_t* keys, size_t n, const uint8_t* labels,
                                  const uint32_t* offsets) {
  begin_call("add_value_table");
  std::lock_guard lock(mutex_);
  Handle* h = live_event(event, "add_value_table");
  if (h == nullptr) return -1;
  EventRec* ev = h->event.get();
  const std::string name = text_of(field, field_len);
  const std::string where = fmt::format("add_value_table('{}', '{}')", ev->name, name);
  if ((field == nullptr && field_len > 0) || offsets == nullptr) {
    violate(where + ": null field or offsets pointer");
    return fail(-1, where + ": null pointer argument");
  }
  if (keys == nullptr || labels == nullptr) {
    violate(where + ": null keys or labels pointer");
    if (n > 0) return fail(-1, where + ": null pointer argument");
  }
  if (auto inj = take_injection(Slot::kAddValueTable, name, ev->name)) {
    return injected_failure(*inj, Slot::kAddValueTable, name);
  }
  bool in_schema = false;
  for (const auto& f : ev->schema) in_schema = in_schema || f.name == name;
  if (!in_schema) {
    violate(where + ": no such field in the schema");
    return fail(-1, fmt::format("no field named '{}' in event '{}'", name, ev->name));
  }
  if (offsets[0] != 0) violate(fmt::format("{}: offsets[0] is {}, not 0", where, offsets[0]));
  for (size_t i = 0; i < n; ++i) {
    if (offsets[i + 1] < offsets[i]) {
      violate(fmt::format("{}: offsets decrease at entry {} ({} after {})", where, i + 1,
                          offsets[i + 1], offsets[i]));
      return fail(-1, where + ": inconsistent label offsets");
    }
  }
  if (offsets[n] > kMaxLabelBytes) {
    violate(fmt::format("{}: labels claim {} bytes", where, offsets[n]));
    return fail(-1, where + ": inconsistent label offsets");
  }
  ValueTable table;
  table.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    std::string label(reinterpret_cast<const char*>(labels) + offsets[i],
                      offsets[i + 1] - offsets[i]);
    if (!valid_utf8(label)) violate(fmt::format("{}: label {} is not valid UTF-8", where, i));
    table.emplace_back(keys[i], std::move(label));
  }
  for (auto& [existing, values] : ev->value_tables) {
    if (existing == name) {
      violate(where + ": value table added twice");
      values = std::move(table);
      return 0;
    }
  }
  ev->value_tables.emplace_back(name, std::move(table));
  return 0;
}

// ---------------------------------------------------------------- rows

int32_t Recorder::log_at(void* event, int64_t time_ns, const void* columns, size_t n,
                         bool gil_held) {
  begin_call("log_at");
  if (counts_only()) {
    std::atomic<uint64_t>& rows = thread_counter().rows;
    rows.store(rows.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return 0;
  }
  std::lock_guard lock(mutex_);
  if (gil_held) violate("log_at called with the interpreter lock held");
  Handle* h = live_event(event, "log_at");
  if (h == nullptr) return -1;
  EventRec* ev = h->event.get();
  if (auto inj = take_injection(Slot::kLogAt, ev->name, ev->source_name)) {
    return injected_failure(*inj, Slot::kLogAt, ev->name);
  }
  if (columns == nullptr && n > 0) {
    violate(fmt::format("log_at('{}'): null columns with n = {}", ev->name, n));
    return fail(-1, "log_at: null columns");
  }
  rows_count_.fetch_add(1, std::memory_order_relaxed);
  if (count_only_.load(std::memory_order_relaxed)) return 0;
  Row row{h->event, time_ns, {}};
  decode_columns(*ev, static_cast<const uint8_t*>(columns), n, row);
  rows_.push_back(std::move(row));
  return 0;
}

void Recorder::decode_columns(const EventRec& ev, const uint8_t* cols, size_t n, Row& row) {
  row.values.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* c = cols + i * kColumnSize;
    const auto where = [&] { return fmt::format("log_at('{}') column {}", ev.name, i); };
    const uint32_t handle = load<uint32_t>(c + kFieldOffset);
    const uint8_t tag = c[kTagOffset];
    const int width = tag_width(tag);
    if (c[5] != 0 || c[6] != 0 || c[7] != 0) violate(where() + ": nonzero bytes 5..7");
    if (load<uint32_t>(c + 20) != 0) violate(where() + ": nonzero bytes 20..23");
    if (tag != static_cast<uint8_t>(Tag::kBinary) && load<uint32_t>(c + kLengthOffset) != 0) {
      violate(where() + fmt::format(": length {} on a non-binary tag {}",
                                    load<uint32_t>(c + kLengthOffset), tag));
    }

    const uint32_t index = handle - ev.handle_base;
    if (handle < ev.handle_base || index >= ev.schema.size() || !ev.resolved_mask[index]) {
      violate(where() + fmt::format(": field handle {} was not resolved on this event", handle));
      continue;
    }
    if (width < 0) {
      violate(where() + fmt::format(": tag {} outside the known set", tag));
      continue;
    }
    for (int b = (tag == static_cast<uint8_t>(Tag::kBinary) ? 8 : width); b < 8; ++b) {
      if (c[kValueOffset + b] != 0) {
        violate(where() + fmt::format(": value byte {} beyond the width of tag {} is nonzero",
                                      kValueOffset + b, tag));
        break;
      }
    }
    const auto& spec = ev.schema[index];
    if (tag != 0 && spec.expected_tag >= 0 && spec.expected_tag != tag) {
      violate(where() + fmt::format(": tag {} on field '{}' whose column takes tag {}", tag,
                                    spec.name, spec.expected_tag));
    }
    for (const auto& [seen, _] : row.values) {
      if (seen == index) violate(where() + fmt::format(": field '{}' given twice", spec.name));
    }

    const uint8_t* v = c + kValueOffset;
    Value value;
    switch (static_cast<Tag>(tag)) {
      case Tag::kNull: break;
      case Tag::kI8: value = int64_t{load<int8_t>(v)}; break;
      case Tag::kI16: value = int64_t{load<int16_t>(v)}; break;
      case Tag::kI32: value = int64_t{load<int32_t>(v)}; break;
      case Tag::kI64: value = load<int64_t>(v); break;
      case Tag::kU8: value = uint64_t{v[0]}; break;
      case Tag::kU16: value = uint64_t{load<uint16_t>(v)}; break;
      case Tag::kU32: value = uint64_t{load<uint32_t>(v)}; break;
      case Tag::kU64: value = load<uint64_t>(v); break;
      case Tag::kF32: value = double{load<float>(v)}; break;
      case Tag::kF64: value = load<double>(v); break;
      case Tag::kBool:
        if (v[0] > 1) violate(where() + fmt::format(": boolean byte {}", v[0]));
        value = v[0] != 0;
        break;
      case Tag::kBinary: {
        const auto* data = reinterpret_cast<const char*>(load<uint64_t>(v));
        const uint32_t len = load<uint32_t>(c + kLengthOffset);
        if (data == nullptr && len > 0) {
          violate(where() + fmt::format(": null binary address with length {}", len));
          continue;
        }
        value = Bytes{len == 0 ? std::string() : std::string(data, len)};
        break;
      }
    }
    row.values.emplace_back(index, std::move(value));
  }
}

void Recorder::last_error(const uint8_t** out_ptr, size_t* out_len) {
  if (out_ptr == nullptr || out_len == nullptr) {
    std::lock_guard lock(mutex_);
    violate("last_error: null out pointer");
    return;
  }
  if (!t_error.pending) {
    std::lock_guard lock(mutex_);
    violate("last_error called although the previous call on this thread did not fail");
  }
  t_error.pending = false;
  switch (empty_error_.load()) {
    case EmptyError::kOff:
      *out_ptr = reinterpret_cast<const uint8_t*>(t_error.text.data());
      *out_len = t_error.text.size();
      break;
    case EmptyError::kEmptyText:
      *out_ptr = reinterpret_cast<const uint8_t*>(t_error.text.data());
      *out_len = 0;
      break;
    case EmptyError::kNullPointer:
      *out_ptr = nullptr;
      *out_len = t_error.text.size();
      break;
  }
}

void Recorder::unused_slot(int offset) {
  std::lock_guard lock(mutex_);
  violate(fmt::format("the unused slot at offset {} was called", offset));
}

// ---------------------------------------------------------------- Python-facing side

SourceRec* Recorder::source_named(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto& slot = sources_[name];
  if (!slot) slot = std::make_unique<SourceRec>(SourceRec{name, {}});
  return slot.get();
}

EventSnapshot Recorder::snapshot(const EventRec& ev) {
  return {ev.source_name, ev.name, ev.ipc, ev.resolved, ev.value_tables};
}

std::vector<EventSnapshot> Recorder::events() {
  std::lock_guard lock(mutex_);
  std::vector<EventSnapshot> out;
  out.reserve(events_.size());
  for (const auto& ev : events_) out.push_back(snapshot(*ev));
  return out;
}

std::vector<EventSnapshot> Recorder::events_of(const SourceRec* source) {
  std::lock_guard lock(mutex_);
  std::vector<EventSnapshot> out;
  for (const auto& ev : source->events) out.push_back(snapshot(*ev));
  return out;
}

std::vector<Row> Recorder::rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

Recorder::RowCounter& Recorder::thread_counter() {
  thread_local RowCounter* mine = nullptr;
  if (mine == nullptr) {
    std::lock_guard lock(mutex_);
    mine = &row_counters_.emplace_back();
  }
  return *mine;
}

uint64_t Recorder::counted_rows() {
  uint64_t total = rows_count_.load();
  for (const auto& c : row_counters_) total += c.rows.load(std::memory_order_relaxed);
  return total;
}

Stats Recorder::stats() {
  std::lock_guard lock(mutex_);
  return {live_sources_,     live_events_,    sources_acquired_, sources_released_,
          events_added_,     events_released_, counted_rows(),    violations_};
}

void Recorder::reset() {
  std::lock_guard lock(mutex_);
  // Live handles survive a reset: the consumer may still release them or log through them.
  // Released ones are forgotten; a later use of one is still refused, as an unknown handle.
  std::erase_if(handles_, [](const auto& entry) { return entry.second.released; });
  events_.clear();
  for (auto& [_, source] : sources_) source->events.clear();
  rows_.clear();
  violations_.clear();
  injections_.clear();
  armed_.store(false);
  injected_count_ = 0;
  sources_acquired_ = sources_released_ = events_added_ = events_released_ = 0;
  rows_count_.store(0);
  for (auto& c : row_counters_) c.rows.store(0);
  count_only_.store(false);
  empty_error_.store(EmptyError::kOff);
}

void Recorder::inject(Slot slot, bool null_handle, int64_t times, std::optional<std::string> match,
                      std::optional<int32_t> status) {
  std::lock_guard lock(mutex_);
  injections_.push_back({slot, null_handle, times, std::move(match), status});
  armed_.store(true);
}

}  // namespace standin
