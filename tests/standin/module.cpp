// The stand-in trace SDK `orvik_sdk`: a test double that records and checks what the codec sends.
//
// Importable from this folder (sys.path.insert(0, "tests/standin")); never installed. At import it
// publishes the capsule "orvik_sdk_abi_v1" in sys.modules: a version-1 function table that lives
// for the process.
//
//   TraceSourceCache(name) -> TraceSource      same object for the same name
//   src.name                                   the source name
//   src.Status                                 EventView of the first event registered on src
//                                              whose message name (after the first '_') is Status
//   src.Mux["Page3"], src["0200_Mux/Page3"]    a sub-event; src["can_raw"] any event by full name
//   src.Status.Speed                           namespace(name, event, value_table) of a field
//                                              (ordinary attributes such as .name win)
//   events()   [{"source", "name", "schema" (IPC bytes as received), "fields" (resolved, in
//               order), "value_tables" {field: {key: label}}}] in registration order
//   rows()     [(source, event, time_ns, {field: value})] in arrival order; int for tags 1-8,
//               float for 9/10, bool for 11, bytes for 14, None for 0
//   stats()    {"live_sources", "live_events", "sources_acquired", "sources_released",
//               "events_added", "events_released", "rows", "violations": [text]}
//   reset()                                   forget events, rows, violations, counters and modes;
//                                             live handles stay valid (and stay counted as live)
//   fail(slot, times=1, match=None, status=None)
//       the next `times` calls of the slot (negative: every call) fail, only those naming `match`
//       (source name for src_handle_from_py, event name for evt_add_event and log_at, field or
//       event name for resolve_field and add_value_table). Status alternates 1 and -1 unless
//       given. The error text is "injected {slot} failure for '{name}'".
//   null_handle(slot, times=1, match=None)    src_handle_from_py / evt_add_event give 0 and null
//   empty_error(on=True, null=False)          last_error gives length 0 (or a null pointer)
//   count_only(on=True)                       rows are only counted, unchecked: for benchmarks
//
// Conventions of the table behind the capsule:
// - The last error is per thread; its pointer stays valid until the next call on that thread.
//   Successful calls leave it alone.
// - Every call is checked. A broken contract is recorded as a violation text, never a crash, and
//   the call fails when it cannot be carried out (unknown or released handle, unreadable schema,
//   unknown field). Releasing a source before the events registered on it is accepted.
// - Field handles are `1000 * event serial + 7 + schema index`: distinct per event and never
//   0-based, so a consumer that mixes handles up is caught.
// - Table calls never take the interpreter lock, so they are safe from any thread. Calls that
//   must not be made with the lock (log_at) or without it (src_handle_from_py) are violations.
#include <Python.h>

#include <string>
#include <variant>

#include "recorder.hpp"
#include "pybase/py.hpp"
#include "slots.hpp"
#include "source_object.hpp"

namespace standin {
namespace {

using orvik::py::Ref;

// Sets a dict item from a new reference; false (with an error set) on failure.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* value_to_py(const Value& value) {
  struct Visitor {
    PyObject* operator()(std::monostate) const { return Py_NewRef(Py_None); }
    PyObject* operator()(int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    PyObject* operator()(bool v) const { return PyBool_FromLong(v); }
    PyObject* operator()(const Bytes& v) const {
      return PyBytes_FromStringAndSize(v.data.data(), static_cast<Py_ssize_t>(v.data.size()));
    }
  };
  return std::visit(Visitor{}, value);
}

PyObject* py_trace_source_cache(PyObject*, PyObject* name) { return trace_source_cache(name); }

PyObject* py_events(PyObject*, PyObject*) {
  auto events = recorder().events();
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& ev : events) {
    Ref item = Ref::steal(PyDict_New());
    Ref fields = Ref::steal(PyList_New(0));
    Ref tables = Ref::steal(PyDict_New());
    if (!item || !fields || !tables) return nullptr;
    for (const auto& f : ev.fields) {
      Ref name = Ref::steal(to_str(f));
      if (!name || PyList_Append(fields.get(), name.get()) < 0) return nullptr;
    }
    for (const auto& [field, table] : ev.value_tables) {
      Ref entries = Ref::steal(PyDict_New());
      Ref field_name = Ref::steal(to_str(field));
      if (!entries || !field_name) return nullptr;
      for (const auto& [key, label] : table) {
        Ref k = Ref::steal(PyLong_FromUnsignedLongLong(key));
        Ref v = Ref::steal(to_str(label));
        if (!k || !v || PyDict_SetItem(entries.get(), k.get(), v.get()) < 0) return nullptr;
      }
      if (PyDict_SetItem(tables.get(), field_name.get(), entries.get()) < 0) return nullptr;
    }
    if (!set_item(item.get(), "source", to_str(ev.source)) ||
        !set_item(item.get(), "name", to_str(ev.name)) ||
        !set_item(item.get(), "schema",
                  PyBytes_FromStringAndSize(ev.ipc.data(),
                                            static_cast<Py_ssize_t>(ev.ipc.size()))) ||
        !set_item(item.get(), "fields", fields.new_ref()) ||
        !set_item(item.get(), "value_tables", tables.new_ref()) ||
        PyList_Append(list.get(), item.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* py_rows(PyObject*, PyObject*) {
  auto rows = recorder().rows();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    Ref values = Ref::steal(PyDict_New());
    if (!values) return nullptr;
    for (const auto& [index, value] : row.values) {
      Ref key = Ref::steal(to_str(row.event->schema[index].name));
      Ref v = Ref::steal(value_to_py(value));
      if (!key || !v || PyDict_SetItem(values.get(), key.get(), v.get()) < 0) return nullptr;
    }
    Ref source = Ref::steal(to_str(row.event->source_name));
    Ref name = Ref::steal(to_str(row.event->name));
    Ref time = Ref::steal(PyLong_FromLongLong(row.time_ns));
    if (!source || !name || !time) return nullptr;
    PyObject* tuple = PyTuple_Pack(4, source.get(), name.get(), time.get(), values.get());
    if (!tuple) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

PyObject* py_stats(PyObject*, PyObject*) {
  Stats s = recorder().stats();
  Ref dict = Ref::steal(PyDict_New());
  Ref violations = Ref::steal(PyList_New(0));
  if (!dict || !violations) return nullptr;
  for (const auto& v : s.violations) {
    Ref text = Ref::steal(to_str(v));
    if (!text || PyList_Append(violations.get(), text.get()) < 0) return nullptr;
  }
  if (!set_item(dict.get(), "live_sources", PyLong_FromLongLong(s.live_sources)) ||
      !set_item(dict.get(), "live_events", PyLong_FromLongLong(s.live_events)) ||
      !set_item(dict.get(), "sources_acquired", PyLong_FromUnsignedLongLong(s.sources_acquired)) ||
      !set_item(dict.get(), "sources_released", PyLong_FromUnsignedLongLong(s.sources_released)) ||
      !set_item(dict.get(), "events_added", PyLong_FromUnsignedLongLong(s.events_added)) ||
      !set_item(dict.get(), "events_released", PyLong_FromUnsignedLongLong(s.events_released)) ||
      !set_item(dict.get(), "rows", PyLong_FromUnsignedLongLong(s.rows)) ||
      !set_item(dict.get(), "violations", violations.new_ref())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* py_reset(PyObject*, PyObject*) {
  recorder().reset();
  Py_RETURN_NONE;
}

// Parses the slot name and an optional match text shared by fail() and null_handle().
bool parse_target(const char* slot_text, PyObject* match_obj, Slot& slot,
                  std::optional<std::string>& match) {
  auto parsed = slot_from_name(slot_text);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "unknown slot '%s'", slot_text);
    return false;
  }
  slot = *parsed;
  if (match_obj != Py_None) {
    Py_ssize_t len = 0;
    const char* text =
        PyUnicode_Check(match_obj) ? PyUnicode_AsUTF8AndSize(match_obj, &len) : nullptr;
    if (!text) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "match must be a str or None");
      return false;
    }
    match = std::string(text, static_cast<size_t>(len));
  }
  return true;
}

PyObject* py_fail(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"slot", "times", "match", "status", nullptr};
  const char* slot_text = nullptr;
  long long times = 1;
  PyObject* match_obj = Py_None;
  PyObject* status_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|LOO:fail", const_cast<char**>(keywords),
                                   &slot_text, &times, &match_obj, &status_obj)) {
    return nullptr;
  }
  Slot slot;
  std::optional<std::string> match;
  if (!parse_target(slot_text, match_obj, slot, match)) return nullptr;
  if (times == 0) {
    PyErr_SetString(PyExc_ValueError, "times must be non-zero (negative: every call)");
    return nullptr;
  }
  std::optional<int32_t> status;
  if (status_obj != Py_None) {
    long v = PyLong_AsLong(status_obj);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (v == 0 || v < INT32_MIN || v > INT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "status must be a non-zero 32-bit integer");
      return nullptr;
    }
    status = static_cast<int32_t>(v);
  }
  recorder().inject(slot, false, times, std::move(match), status);
  Py_RETURN_NONE;
}

PyObject* py_null_handle(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"slot", "times", "match", nullptr};
  const char* slot_text = nullptr;
  long long times = 1;
  PyObject* match_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|LO:null_handle", const_cast<char**>(keywords),
                                   &slot_text, &times, &match_obj)) {
    return nullptr;
  }
  Slot slot;
  std::optional<std::string> match;
  if (!parse_target(slot_text, match_obj, slot, match)) return nullptr;
  if (slot != Slot::kSrcHandleFromPy && slot != Slot::kEvtAddEvent) {
    PyErr_Format(PyExc_ValueError, "slot '%s' returns no handle", slot_text);
    return nullptr;
  }
  if (times == 0) {
    PyErr_SetString(PyExc_ValueError, "times must be non-zero (negative: every call)");
    return nullptr;
  }
  recorder().inject(slot, true, times, std::move(match), std::nullopt);
  Py_RETURN_NONE;
}

PyObject* py_empty_error(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"on", "null", nullptr};
  int on = 1;
  int null = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|pp:empty_error", const_cast<char**>(keywords),
                                   &on, &null)) {
    return nullptr;
  }
  recorder().set_empty_error(!on ? EmptyError::kOff
                             : null ? EmptyError::kNullPointer
                                    : EmptyError::kEmptyText);
  Py_RETURN_NONE;
}

PyObject* py_count_only(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"on", nullptr};
  int on = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:count_only", const_cast<char**>(keywords),
                                   &on)) {
    return nullptr;
  }
  recorder().set_count_only(on != 0);
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"TraceSourceCache", py_trace_source_cache, METH_O,
     "TraceSourceCache(name)\n--\n\nThe trace source of that name (one object per name)."},
    {"events", py_events, METH_NOARGS, "events()\n--\n\nRegistered events, in order."},
    {"rows", py_rows, METH_NOARGS, "rows()\n--\n\nLogged rows, in order."},
    {"stats", py_stats, METH_NOARGS, "stats()\n--\n\nCounters and violations."},
    {"reset", py_reset, METH_NOARGS, "reset()\n--\n\nForget everything recorded."},
    {"fail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fail)),
     METH_VARARGS | METH_KEYWORDS,
     "fail(slot, times=1, match=None, status=None)\n--\n\nMake a slot fail."},
    {"null_handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_null_handle)),
     METH_VARARGS | METH_KEYWORDS,
     "null_handle(slot, times=1, match=None)\n--\n\nMake a slot succeed with a null handle."},
    {"empty_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_empty_error)),
     METH_VARARGS | METH_KEYWORDS,
     "empty_error(on=True, null=False)\n--\n\nLeave the last-error text empty."},
    {"count_only", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_count_only)),
     METH_VARARGS | METH_KEYWORDS, "count_only(on=True)\n--\n\nCount rows without storing them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvik_sdk", "Stand-in trace SDK for the orvik-can tests.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

bool publish_capsule() {
  Ref capsule = Ref::steal(
      PyCapsule_New(const_cast<AbiTable*>(abi_table()), kCapsuleName, nullptr));
  if (!capsule) return false;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  return PyDict_SetItemString(modules, kCapsuleName, capsule.get()) == 0;
}

}  // namespace
}  // namespace standin

PyMODINIT_FUNC PyInit_orvik_sdk(void) {
  using orvik::py::Ref;
  Ref module = Ref::steal(PyModule_Create(&standin::module_def));
  if (!module || !standin::init_source_types(module.get()) || !standin::publish_capsule()) {
    return nullptr;
  }
  return module.release();
}
