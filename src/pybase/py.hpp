// The one owned-reference type for PyObject*, and scoped guards for the interpreter lock.
// A plain PyObject* is always borrowed; ownership lives only in py::Ref.
#pragma once

#include <Python.h>

#include <utility>

namespace orvik::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (a call's result); null stays null.
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(const Ref& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference back to CPython (a function's return value).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  // A further new reference for CPython to own.
  PyObject* new_ref() const {
    Py_XINCREF(obj_);
    return obj_;
  }
  void reset() { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Holds the interpreter lock for the calling thread (re-entrant).
class GilGuard {
 public:
  GilGuard() : state_(PyGILState_Ensure()) {}
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// Releases the interpreter lock for a scope of pure C++ work; nothing inside may touch Python.
class GilRelease {
 public:
  GilRelease() : save_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(save_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* save_;
};

}  // namespace orvik::py
