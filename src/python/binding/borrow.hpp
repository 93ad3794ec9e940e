// The per-object borrow flag: many shared borrows or one exclusive borrow, checked at run time.
//
// Python code can reach an object again while a call on it is running (another thread, while the
// call has released the interpreter lock). The flag refuses the conflicting call with
// RuntimeError "Already mutably borrowed" (a shared borrow during an exclusive one) or
// "Already borrowed" (an exclusive borrow during any other). It is read and written only with
// the interpreter lock held, so it needs no atomics; an exclusive borrow may stay taken across a
// release of the lock (a blocking wait), which is what makes other threads see it.
#pragma once

#include <Python.h>

#include <utility>

#include "python/binding/errors.hpp"
#include "pybase/py.hpp"

namespace orvik::py {

class BorrowFlag {
 public:
  bool try_shared() {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() {
    if (state_ != 0) return false;
    state_ = kExclusive;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = 0; }

 private:
  static constexpr long kExclusive = -1;
  long state_ = 0;  // 0 free, n > 0 shared by n, -1 exclusive
};

// RAII guards; they must be destroyed with the interpreter lock held, or on a thread that CPython
// is ending during finalisation, where they leave the flag alone (pybase/py.hpp).
class SharedGuard {
 public:
  explicit SharedGuard(BorrowFlag& flag) : flag_(&flag) {
    if (!flag.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
  }
  SharedGuard(SharedGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
  SharedGuard& operator=(SharedGuard&&) = delete;
  ~SharedGuard() {
    if (flag_ != nullptr && may_touch_python()) flag_->release_shared();
  }

 private:
  BorrowFlag* flag_;
};

class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(BorrowFlag& flag) : flag_(&flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
  }
  ExclusiveGuard(ExclusiveGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
  ~ExclusiveGuard() {
    if (flag_ != nullptr && may_touch_python()) flag_->release_exclusive();
  }

 private:
  BorrowFlag* flag_;
};

}  // namespace orvik::py
