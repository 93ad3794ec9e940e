// Python objects that hold one C++ value: layout, creation, destruction, borrowing, type checks.
//
// A method borrows its object for as long as it uses the value:
//   const py::Shared<MessageValue> m(self);      // getters, reads
//   py::Exclusive<BusValue> bus(self);           // a blocking call keeps it through the wait:
//   { py::GilRelease unlocked; wait(*bus); }     //   other threads' calls then fail to borrow
// Guards are declared before any GilRelease in the same scope, so they end with the lock held.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "pybase/py.hpp"
#include "python/binding/borrow.hpp"
#include "python/binding/convert.hpp"
#include "python/binding/errors.hpp"

namespace orvik::py {

template <class T>
struct Native {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;

  static Native* of(PyObject* obj) { return reinterpret_cast<Native*>(obj); }
};

// A shared view of the value of `obj`, which must be a Native<T>.
template <class T>
class Shared {
 public:
  explicit Shared(PyObject* obj) : guard_(Native<T>::of(obj)->borrow), value_(&Native<T>::of(obj)->value) {}
  const T& operator*() const { return *value_; }
  const T* operator->() const { return value_; }

 private:
  SharedGuard guard_;
  const T* value_;
};

template <class T>
class Exclusive {
 public:
  explicit Exclusive(PyObject* obj)
      : guard_(Native<T>::of(obj)->borrow), value_(&Native<T>::of(obj)->value) {}
  T& operator*() const { return *value_; }
  T* operator->() const { return value_; }

 private:
  ExclusiveGuard guard_;
  T* value_;
};

// Creates an object of `type` holding `value`. The class's constructor is not run: this is how
// classes without a Python constructor get their objects.
template <class T>
Ref create(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);  // zeroed, with a reference to the heap type
  if (obj == nullptr) raise_current();
  Native<T>* native = Native<T>::of(obj);
  new (&native->borrow) BorrowFlag();
  try {
    new (&native->value) T(std::move(value));
  } catch (...) {
    // The value was never built, so the object is freed without running its destructor.
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    throw;
  }
  return Ref::steal(obj);
}

template <class T>
void dealloc(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  Native<T>::of(obj)->value.~T();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types own a type reference
}

// True when `obj` is an instance of `type` (our classes cannot be subclassed).
inline bool is_instance(PyObject* obj, PyTypeObject* type) { return Py_TYPE(obj) == type; }

// Converter for an argument that must be an object of one of our classes: refused naming the
// class, then borrowed shared.
template <class T>
Shared<T> borrow_instance(PyObject* obj, PyTypeObject* type, const char* class_name) {
  if (!is_instance(obj, type)) raise_cannot_convert(obj, class_name);
  return Shared<T>(obj);
}

}  // namespace orvik::py
