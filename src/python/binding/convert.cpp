// The argument converters and their refusal texts.
#include "python/binding/convert.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace orvik::py {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

std::string utf8_or_empty(PyObject* str) {
  if (str == nullptr || !PyUnicode_Check(str)) return {};
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(s, static_cast<std::size_t>(n));
}

// numpy's boolean scalar type is named "bool_" (numpy 1.x) or "bool" (numpy 2.x).
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !module) {
    clear_ordinary_exception();  // a metaclass may run code here, and raise KeyboardInterrupt
    return false;
  }
  const std::string n = utf8_or_empty(name.get());
  return (n == "bool_" || n == "bool") && utf8_or_empty(module.get()) == "numpy";
}

}  // namespace

void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref etype = Ref::steal(type);
  Ref evalue = Ref::steal(value);
  Ref etb = Ref::steal(tb);
  if (etype.get() != PyExc_TypeError) {  // subclasses of TypeError pass unchanged
    PyErr_Restore(etype.release(), evalue.release(), etb.release());
    return;
  }
  Ref reason = Ref::steal(PyObject_Str(evalue.get()));
  if (!reason) return;  // that failure is now the pending exception
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, reason.get()));
  if (!text) return;
  Ref renamed = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!renamed) return;
  PyObject* cause = PyException_GetCause(evalue.get());  // new reference or null
  if (cause != nullptr) PyException_SetCause(renamed.get(), cause);  // steals it
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return utf8_or_empty(name.get());
}

void raise_cannot_convert(PyObject* obj, const char* kind) {
  raise(PyExc_TypeError,
        fmt::format("'{}' object cannot be converted to '{}'", type_name(obj), kind));
}

namespace {

// Runs `convert` on the int itself, or on its __index__ for anything else (a float refused with
// TypeError). An int (or subclass) is its own index: it is passed borrowed, without the new
// reference and its release that a Ref would cost every integer argument.
template <class Convert>
auto with_index(PyObject* obj, Convert convert) {
  if (PyLong_CheckExact(obj) || PyLong_Check(obj)) return convert(obj);  // exact: no call
  const Ref index = check(PyNumber_Index(obj));
  return convert(index.get());
}

std::int64_t i64_of(PyObject* index) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (v == -1 && PyErr_Occurred()) raise_current();
  if (overflow != 0) raise(PyExc_OverflowError, kOutOfRange);
  return v;
}

std::uint64_t u64_of(PyObject* index) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (v == -1 && PyErr_Occurred()) raise_current();
  if (overflow == 0) {
    if (v < 0) raise(PyExc_OverflowError, kOutOfRange);
    return static_cast<std::uint64_t>(v);
  }
  if (overflow < 0) raise(PyExc_OverflowError, kOutOfRange);
  const unsigned long long u = PyLong_AsUnsignedLongLong(index);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
    PyErr_Clear();
    raise(PyExc_OverflowError, kOutOfRange);
  }
  return u;
}

}  // namespace

std::int64_t to_i64(PyObject* obj) { return with_index(obj, i64_of); }

std::uint64_t to_u64(PyObject* obj) { return with_index(obj, u64_of); }

double to_f64(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) raise_current();
  return v;
}

bool to_flag_other(PyObject* obj) {
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);  // numpy's __bool__
    if (truth < 0) raise_current();
    return truth != 0;
  }
  raise_cannot_convert(obj, "PyBool");
}

std::string to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) raise_current();  // e.g. lone surrogates: the interpreter's UnicodeEncodeError
  return std::string(s, static_cast<std::size_t>(n));
}

void check_bytes_source(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
}

std::size_t size_hint(PyObject* obj) {
  constexpr Py_ssize_t kMaxReserve = 1 << 16;  // beyond this the vector grows as items arrive
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    clear_ordinary_exception();
    return 0;
  }
  return static_cast<std::size_t>(std::min(n, kMaxReserve));
}

bool view_buffer_bytes(PyObject* obj, const char** data, Py_ssize_t* size) {
  if (view_bytes(obj, data, size)) return true;
  if (PyByteArray_Check(obj)) {
    *data = PyByteArray_AsString(obj);
    *size = PyByteArray_Size(obj);
    return true;
  }
  return false;
}

std::vector<Ref> to_sequence(PyObject* obj) {
  check_bytes_source(obj);
  std::vector<Ref> out;
  Ref iter = check(PyObject_GetIter(obj));
  out.reserve(size_hint(obj));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(std::move(item));
  if (PyErr_Occurred()) raise_current();
  return out;
}

PyObject* to_tuple(PyObject* obj) {
  if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
  return obj;
}

}  // namespace orvik::py
