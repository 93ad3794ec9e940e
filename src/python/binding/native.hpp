// Python objects that hold one C++ value: layout, creation, destruction, borrowing, type checks.
//
// A method borrows its object for as long as it uses the value:
//   const py::Shared<MessageValue> m(self);      // getters, reads
//   py::Exclusive<BusValue> bus(self);           // a blocking call keeps it through the wait:
//   py::allow_threads([&] { wait(*bus); });      //   other threads' calls then fail to borrow
// Guards end with the lock held, as allow_threads takes it back before it returns.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "pybase/py.hpp"
#include "python/binding/borrow.hpp"
#include "python/binding/convert.hpp"
#include "python/binding/errors.hpp"
#include "runtime/fork.hpp"

namespace orvik::py {

template <class T>
struct Native {
  PyObject_HEAD
  BorrowFlag borrow;
  std::uint64_t generation;  // the fork generation the value belongs to (runtime/fork.hpp)
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

// Stops the collector from visiting an object whose value is gone or was never built.
inline void untrack_if_collected(PyObject* obj) {
  if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(obj);
}

// Creates an object of `type` holding `value`. The class's constructor is not run: this is how
// classes without a Python constructor get their objects.
template <class T>
Ref create(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);  // zeroed, with a reference to the heap type
  if (obj == nullptr) raise_current();
  Native<T>* native = Native<T>::of(obj);
  new (&native->borrow) BorrowFlag();
  native->generation = runtime::fork_generation();
  try {
    new (&native->value) T(std::move(value));
  } catch (...) {
    // The value was never built, so the object is freed without running its destructor.
    untrack_if_collected(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    throw;
  }
  return Ref::steal(obj);
}

template <class T>
void dealloc(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  untrack_if_collected(obj);
  Native<T>* native = Native<T>::of(obj);
  // A value of the parent process is abandoned in a fork child, never destroyed: its destructor
  // could wait on a lock that a thread of the parent held when the process forked.
  if (native->generation == runtime::fork_generation()) native->value.~T();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types own a type reference
}

// True when `obj` (a Native<T>) was made before a fork, in a process this one was forked from.
template <class T>
bool inherited(PyObject* obj) {
  return Native<T>::of(obj)->generation != runtime::fork_generation();
}

// Refuses an object made before a fork with RuntimeError: its background work, its locks and
// the runtime it used belong to the parent process.
template <class T>
void refuse_inherited(PyObject* obj, const char* class_name) {
  if (inherited<T>(obj)) {
    raise(PyExc_RuntimeError,
          std::string(class_name) +
              " was created before fork() and cannot be used in the child process");
  }
}

// Makes an object made before a fork this process's own: it is used and destroyed here from now
// on. For values that no background work of the parent can have been in the middle of.
template <class T>
void adopt(PyObject* obj) {
  Native<T>::of(obj)->generation = runtime::fork_generation();
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
