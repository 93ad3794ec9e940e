// Resolving the Python trace source object: the given one, or the SDK's TraceSourceCache(name).
#include "sdk_py/bridge.hpp"

#include <fmt/format.h>

namespace orvik::sdk {

py::Ref resolve_trace_source(PyObject* given_or_null, std::string_view name) {
  if (given_or_null != nullptr && given_or_null != Py_None) return py::Ref::borrow(given_or_null);

  py::Ref module = py::Ref::steal(PyImport_ImportModule("orvik_sdk"));
  if (!module) {
    const std::string message = fmt::format(
        "orvik-sdk not importable \u2014 required by orvik-can; original error: {}",
        take_exception_text());
    py::Ref text = py::Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    return {};
  }
  // Attribute and call failures reach the caller as the SDK raised them.
  py::Ref cache_class = py::Ref::steal(PyObject_GetAttrString(module.get(), "TraceSourceCache"));
  if (!cache_class) return {};
  py::Ref source_name = py::Ref::steal(
      PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!source_name) return {};
  return py::Ref::steal(PyObject_CallFunctionObjArgs(cache_class.get(), source_name.get(), nullptr));
}

}  // namespace orvik::sdk
