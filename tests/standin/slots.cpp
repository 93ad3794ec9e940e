// The table's slot functions: thin entries that forward to the recorder.
#include "slots.hpp"

#include <fmt/format.h>

#include "recorder.hpp"
#include "source_object.hpp"

namespace standin {
namespace {

// True when the calling thread holds the interpreter lock; false once the interpreter is gone.
bool holds_gil() { return Py_IsInitialized() && PyGILState_Check(); }

int32_t src_handle_from_py(PyObject* obj, void** out_source) {
  // Without the lock the object must not be touched at all, not even its type.
  if (!holds_gil()) {
    return recorder().refuse_source("src_handle_from_py called without the interpreter lock", true);
  }
  if (obj == nullptr) {
    return recorder().refuse_source("src_handle_from_py: null source object", true);
  }
  SourceRec* source = source_of(obj);
  if (source == nullptr) {
    return recorder().refuse_source(
        fmt::format("src_handle_from_py: expected a source from TraceSourceCache, got '{}'",
                    Py_TYPE(obj)->tp_name),
        false);
  }
  return recorder().acquire_source(source, out_source);
}

void release_source(void* source) { recorder().release_source(source); }

int32_t evt_add_event(void* source, const uint8_t* name, size_t name_len, const uint8_t* ipc,
                      size_t ipc_len, void** out_event) {
  return recorder().add_event(source, name, name_len, ipc, ipc_len, out_event);
}

void release_event(void* event) { recorder().release_event(event); }

int32_t resolve_field(void* event, const uint8_t* name, size_t name_len, uint32_t* out_field) {
  return recorder().resolve_field(event, name, name_len, out_field);
}

int32_t add_value_table(void* event, const uint8_t* field, size_t field_len, const uint64_t* keys,
                        size_t n, const uint8_t* labels, const uint32_t* offsets) {
  return recorder().add_value_table(event, field, field_len, keys, n, labels, offsets);
}

int32_t log_at(void* event, int64_t time_ns, const void* columns, size_t n) {
  Recorder& r = recorder();
  // A counted row is not checked, so it skips the lock test: two calls into the interpreter
  // that would weigh on the benchmarks that count rows.
  return r.log_at(event, time_ns, columns, n, !r.counts_only() && holds_gil());
}

int32_t last_error(const uint8_t** out_ptr, size_t* out_len) {
  recorder().last_error(out_ptr, out_len);
  return 0;
}

template <int Offset>
int32_t unused() {
  recorder().unused_slot(Offset);
  return -1;
}

constexpr AbiTable kTable = {
    kAbiVersion,     0,           unused<8>,     unused<16>,      unused<24>,
    src_handle_from_py, release_source, evt_add_event, release_event, resolve_field,
    add_value_table, unused<80>, log_at,        last_error,
};

}  // namespace

const AbiTable* abi_table() { return &kTable; }

}  // namespace standin
