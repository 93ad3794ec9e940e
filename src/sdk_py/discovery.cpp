// Finding the SDK table through its capsule in sys.modules, and turning Python exceptions into
// SinkError.
#include "sdk_py/bridge.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "sdk/table.hpp"

namespace orvik::sdk {
namespace {

// UTF-8 of a str object; unencodable characters (lone surrogates) become replacements.
std::optional<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  py::Ref bytes = py::Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  char* data = nullptr;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_qualname(PyObject* type) {
  py::Ref name = py::Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  if (!name) {
    PyErr_Clear();
    return "<unknown exception type>";
  }
  return utf8_of(name.get()).value_or("<unknown exception type>");
}

std::string capsule_text(const char* what) { return fmt::format(fmt::runtime(what), kCapsuleName); }

// Steps under the interpreter lock; references are dropped before the lock is given back.
SinkResult<const SdkAbiTable*> discover(bool lock_held) {
  // A thread that holds the lock may hold it through a sub-interpreter's thread state, which
  // PyGILState_Ensure does not know and would wait on forever; such callers say so.
  std::optional<py::GilGuard> gil;
  if (!lock_held) gil.emplace();
  py::Ref sys = py::Ref::steal(PyImport_ImportModule("sys"));
  if (!sys) return sink_fail(sink_error_from_python());
  py::Ref modules = py::Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
  if (!modules) return sink_fail(sink_error_from_python());
  py::Ref entry = py::Ref::steal(PyObject_CallMethod(modules.get(), "get", "s", kCapsuleName));
  if (!entry) return sink_fail(sink_error_from_python());

  if (entry.get() == Py_None) return sink_fail(SinkError::capsule_not_found(kCapsuleName));
  // Exactly the capsule type: a look-alike object could point anywhere.
  if (!PyCapsule_CheckExact(entry.get())) {
    return sink_fail(SinkError::python(capsule_text("sys.modules['{}'] exists but is not a PyCapsule")));
  }
  // Asking under the capsule's own name accepts whatever name the SDK gave it.
  const char* name = PyCapsule_GetName(entry.get());
  if (name == nullptr) PyErr_Clear();
  void* pointer = PyCapsule_GetPointer(entry.get(), name);
  if (pointer == nullptr) {
    PyErr_Clear();
    return sink_fail(SinkError::python(capsule_text("sys.modules['{}'] PyCapsule pointer is null")));
  }
  std::uint32_t version = 0;
  std::memcpy(&version, pointer, sizeof version);
  if (version != kAbiVersion) return sink_fail(SinkError::version_mismatch(version, kAbiVersion));
  return static_cast<const SdkAbiTable*>(pointer);
}

}  // namespace

std::string take_exception_text() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_trace = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_trace);
  if (raw_type == nullptr) return "<no exception>";
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_trace);
  py::Ref type = py::Ref::steal(raw_type);
  py::Ref value = py::Ref::steal(raw_value);
  py::Ref trace = py::Ref::steal(raw_trace);

  std::string text = type_qualname(
      value ? reinterpret_cast<PyObject*>(Py_TYPE(value.get())) : type.get());
  text += ": ";
  py::Ref str = py::Ref::steal(value ? PyObject_Str(value.get()) : nullptr);
  std::optional<std::string> rendered = str ? utf8_of(str.get()) : std::nullopt;
  if (!rendered) {
    PyErr_Clear();
    text += "<exception str() failed>";
  } else {
    text += *rendered;
  }
  return text;
}

SinkError sink_error_from_python() { return SinkError::python(take_exception_text()); }

SinkResult<const SdkAbiTable*> abi_table(bool lock_held) {
  if (const SdkAbiTable* table = cached_table()) return table;
  auto found = discover(lock_held);
  if (!found) return found;
  // Published after the lock is released; a concurrent first discovery may have won.
  return publish_table(*found);
}

SinkResult<SourceHandle> src_handle_from_py(PyObject* source) {
  auto table = abi_table(/*lock_held=*/true);
  if (!table) return sink_fail(std::move(table.error()));
  void* handle = nullptr;
  const std::int32_t status = (*table)->src_handle_from_py(source, &handle);
  if (status != 0) return sink_fail(last_error_string(*table));
  if (handle == nullptr) {
    return sink_fail(SinkError::call("src_handle_from_py returned null without an error"));
  }
  return SourceHandle(*table, handle);
}

Result<AcquiredSources> acquire_sources(PyObject* main, PyObject* raw_or_null) {
  auto main_handle = src_handle_from_py(main);
  if (!main_handle) {
    return fail(fmt::format("acquire source handle: {}", main_handle.error().display()));
  }
  std::optional<SourceHandle> raw;
  if (raw_or_null != nullptr) {
    auto raw_handle = src_handle_from_py(raw_or_null);
    // Returning drops the main handle, which releases it.
    if (!raw_handle) {
      return fail(fmt::format("acquire source handle: {}", raw_handle.error().display()));
    }
    raw.emplace(std::move(*raw_handle));
  }
  return AcquiredSources{std::move(*main_handle), std::move(raw)};
}

}  // namespace orvik::sdk
