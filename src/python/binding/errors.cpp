// Exception raising helpers, the internal-fault class and the translation of C++ failures.
#include "python/binding/errors.hpp"

#include <exception>
#include <new>
#include <string>

namespace orvik::py {

void raise(PyObject* type, std::string_view message) {
  PyErr_SetString(type, std::string(message).c_str());
  throw Raised{};
}

namespace {

// `type(message)` as an object; a message that is not valid UTF-8 keeps its other characters.
Ref exception(PyObject* type, std::string_view message) {
  Ref text = check(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  return check(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
}

// The exception for `error` with its causes chained below it.
Ref exception_chain(PyObject* type, const Error& error) {
  Ref exc = exception(type, error.message());
  if (const Error* cause = error.cause()) {
    // Takes over the reference to the cause.
    PyException_SetCause(exc.get(), exception_chain(PyExc_RuntimeError, *cause).release());
  }
  return exc;
}

}  // namespace

void raise(PyObject* type, const Error& error) {
  const Ref exc = exception_chain(type, error);
  PyErr_SetObject(type, exc.get());
  throw Raised{};
}

void clear_ordinary_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
  PyErr_Clear();
}

PyObject* internal_fault_type() {
  // Created on first use and kept for the process; the interpreter lock guards the check.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "orvik_can._native.PanicException",
        "An internal fault of orvik_can, raised instead of crashing the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_fault(std::string_view text) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) raise_current();  // creating the class failed and set that exception
  raise(type, text);
}

namespace {

void set_internal_fault(const char* what) noexcept {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // creating the class failed and set that exception
  PyErr_SetString(type, what);
}

}  // namespace

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const Raised&) {
    if (!PyErr_Occurred()) set_internal_fault("failure reported without a Python exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_fault(e.what());
  } catch (...) {
    set_internal_fault("unknown internal fault");
  }
}

}  // namespace orvik::py
