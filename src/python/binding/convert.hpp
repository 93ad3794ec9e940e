// One converter per kind of argument, with the reasons Python callers see when one refuses.
//
// A converter takes a borrowed object and returns a C++ value, or sets a Python exception and
// throws Raised. `argument()` runs one under a parameter (or attribute) name, so that a
// TypeError reads "argument '{name}': {reason}"; any other failure (OverflowError, ...) passes
// unchanged.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pybase/py.hpp"
#include "python/binding/args.hpp"
#include "python/binding/errors.hpp"

namespace orvik::py {

// Re-raises a pending exact TypeError as "argument '{name}': {reason}", keeping its cause.
void name_type_error(const char* name);

template <class Conv>
auto argument(const char* name, PyObject* obj, Conv&& conv) -> decltype(conv(obj)) {
  try {
    return std::forward<Conv>(conv)(obj);
  } catch (const Raised&) {
    name_type_error(name);
    throw;
  }
}

// The value bound to parameter `i`, converted under the parameter's name; `fallback` when the
// argument was omitted.
template <class Conv>
auto arg(const Bound& a, std::size_t i, Conv&& conv) -> decltype(conv(a[i])) {
  return argument(a.name(i), a[i], std::forward<Conv>(conv));
}
template <class Conv, class T>
T arg_or(const Bound& a, std::size_t i, Conv&& conv, T fallback) {
  if (a[i] == nullptr) return fallback;
  return argument(a.name(i), a[i], std::forward<Conv>(conv));
}

// The value's type name as Python shows it (its __qualname__).
std::string type_name(PyObject* obj);
// TypeError "'{type}' object cannot be converted to '{kind}'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* kind);

// Integers: anything with __index__, refused outside the C++ type's range with OverflowError
// "out of range integral type conversion attempted". Floats are refused (TypeError).
std::int64_t to_i64(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
template <std::integral Int>
Int to_int(PyObject* obj) {
  if constexpr (std::same_as<Int, std::uint64_t> ||
                (std::unsigned_integral<Int> && sizeof(Int) == 8)) {
    return static_cast<Int>(to_u64(obj));
  } else {
    const std::int64_t v = to_i64(obj);
    if (!std::in_range<Int>(v)) {
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<Int>(v);
  }
}
inline std::uint8_t to_u8(PyObject* obj) { return to_int<std::uint8_t>(obj); }
inline std::uint32_t to_u32(PyObject* obj) { return to_int<std::uint32_t>(obj); }
inline std::int32_t to_i32(PyObject* obj) { return to_int<std::int32_t>(obj); }
inline std::size_t to_usize(PyObject* obj) { return to_int<std::size_t>(obj); }

// A 64-bit float from a float, an int or anything with __float__ (the interpreter's reasons).
double to_f64(PyObject* obj);

// A flag: exactly True or False, or a numpy boolean scalar through its __bool__; anything else,
// ints and None included, is refused naming 'PyBool'. True and False are tested inline: they are
// nearly every flag, and a per-frame call passes several.
bool to_flag_other(PyObject* obj);
inline bool to_flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  return to_flag_other(obj);
}

// A str (or subclass) as UTF-8; anything else is refused naming 'PyString'.
std::string to_str(PyObject* obj);

// A byte payload: bytes, bytearray, or any sequence of ints 0..255; a str is refused with
// "Can't extract `str` to `Vec`", a non-sequence naming 'Sequence'.
template <class Bytes = std::vector<std::uint8_t>>
Bytes to_bytes(PyObject* obj);
// The same conversion into an existing container, replacing its contents: a payload copied
// straight into its final place. On failure `out` holds an unspecified part of the items.
template <class Bytes>
void assign_bytes(PyObject* obj, Bytes& out);

// The items of any sequence but a str, as owned references.
std::vector<Ref> to_sequence(PyObject* obj);

// A tuple (or subclass), borrowed; anything else is refused naming 'PyTuple'.
PyObject* to_tuple(PyObject* obj);

// None (or an omitted argument) as std::nullopt, anything else through `conv`.
template <class Conv>
auto optional(Conv conv) {
  return [conv](PyObject* obj) -> std::optional<decltype(conv(obj))> {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return conv(obj);
  };
}

// --- implementation of the template above ---

void check_bytes_source(PyObject* obj);  // refuses str and non-sequences
// len(obj) as a capacity to reserve: 0 when it fails with an Exception, capped because __len__
// may lie.
std::size_t size_hint(PyObject* obj);
// The contents of a bytes (or subclass), borrowed; false for anything else.
// view_bytes is inline: it is the payload's common case, once per frame.
inline bool view_bytes(PyObject* obj, const char** data, Py_ssize_t* size) {
  // The exact type first: a pointer compare, where the subclass test is a call under the
  // limited API.
  if (!PyBytes_CheckExact(obj) && !PyBytes_Check(obj)) return false;
  char* p = nullptr;
  if (PyBytes_AsStringAndSize(obj, &p, size) < 0) raise_current();
  *data = p;
  return true;
}
// The same, or the contents of a bytearray.
bool view_buffer_bytes(PyObject* obj, const char** data, Py_ssize_t* size);

template <class Bytes>
void assign_bytes(PyObject* obj, Bytes& out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  // bytes first: the common case needs neither the str check nor the sequence check.
  bool viewed = view_bytes(obj, &data, &size);
  if (!viewed) {
    check_bytes_source(obj);
    viewed = view_buffer_bytes(obj, &data, &size);
  }
  if (viewed) {
    out.assign(reinterpret_cast<const std::uint8_t*>(data),
               reinterpret_cast<const std::uint8_t*>(data) + size);
    return;
  }
  out.clear();
  Ref iter = check(PyObject_GetIter(obj));
  out.reserve(size_hint(obj));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(to_u8(item.get()));
  if (PyErr_Occurred()) raise_current();
}

template <class Bytes>
Bytes to_bytes(PyObject* obj) {
  Bytes out;
  assign_bytes(obj, out);
  return out;
}

}  // namespace orvik::py
