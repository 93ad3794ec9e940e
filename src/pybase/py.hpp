// The one owned-reference type for PyObject*, and the ways to hold and release the interpreter
// lock. A plain PyObject* is always borrowed; ownership lives only in py::Ref.
//
// During finalisation CPython ends any other thread that asks for the lock by unwinding it
// (pthread_exit, a forced unwind): out of PyEval_RestoreThread, PyGILState_Ensure, or any Python
// code that gives the lock up for a moment. That unwind must pass through our frames: nothing
// catches it without rethrowing, no noexcept frame stands in its way, and no destructor it runs
// touches Python, since the thread holds no lock and the finalising thread may be using the very
// objects. Such destructors ask may_touch_python() and leak instead.
#pragma once

#include <Python.h>
#include <dlfcn.h>

#include <atomic>
#include <exception>
#include <thread>
#include <type_traits>
#include <utility>

namespace orvik::py {

// The thread that runs the interpreter's exit, noted by the module's atexit function (none until
// then). Once finalisation has begun, it alone may hold the lock.
inline std::atomic<std::thread::id> exiting_thread{};
inline void note_exiting_thread() {
  exiting_thread.store(std::this_thread::get_id(), std::memory_order_release);
}

// False on a thread that CPython is ending during finalisation. Py_IsInitialized() turns false as
// finalisation begins; only from then on is the lock itself asked about: by the thread noted
// above, or else through PyGILState_Check, public but outside the limited API. That one says yes on
// every thread once finalisation has deleted the thread-state key, so it serves only a process
// whose exit ran no atexit function of ours. Where it is missing, nothing is touched.
inline bool may_touch_python() {
  if (Py_IsInitialized() != 0) return true;
  const std::thread::id exiting = exiting_thread.load(std::memory_order_acquire);
  if (exiting != std::thread::id()) return exiting == std::this_thread::get_id();
  static const auto holds_lock =
      reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "PyGILState_Check"));
  return holds_lock != nullptr && holds_lock() != 0;
}

// Inside a catch (...) handler: whether what unwinds is CPython ending this thread rather than a
// C++ exception. That unwind carries no C++ object, so it has no exception_ptr; a handler for
// abi::__forced_unwind& would bind a reference to no object, which UBSan stops.
inline bool ending_thread() { return !std::current_exception(); }

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
  ~Ref() {
    if (obj_ != nullptr && may_touch_python()) Py_DECREF(obj_);
  }

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
  ~GilGuard() {
    if (may_touch_python()) PyGILState_Release(state_);
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `work`, which must not touch Python, with the interpreter lock released, and returns its
// result once the lock is back. Not a guard whose destructor takes the lock back: the re-take is
// where finalisation ends this thread, and that unwind cannot leave a destructor (noexcept, or run
// while another exception unwinds). So on an exception from `work` the lock is taken back in the
// handler, before the exception goes on.
template <class F>
std::invoke_result_t<F&&> allow_threads(F&& work) {
  PyThreadState* const saved = PyEval_SaveThread();
  const auto run = [&]() -> std::invoke_result_t<F&&> {
    try {
      return std::forward<F>(work)();
    } catch (...) {
      // Something in `work` asked for the lock and is being ended: never take it here.
      if (!ending_thread()) PyEval_RestoreThread(saved);
      throw;
    }
  };
  if constexpr (std::is_void_v<std::invoke_result_t<F&&>>) {
    run();
    PyEval_RestoreThread(saved);
  } else {
    std::invoke_result_t<F&&> result = run();
    PyEval_RestoreThread(saved);
    return result;
  }
}

}  // namespace orvik::py
