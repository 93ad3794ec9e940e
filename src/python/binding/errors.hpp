// Raising Python exceptions from C++ glue, and the one boundary that turns any failure into one.
#pragma once

#include <Python.h>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "pybase/py.hpp"

namespace orvik::py {

// Thrown by glue code once a Python exception is set. It never leaves src/python: the entry-point
// boundary below catches it and returns the failure value, so each glue function reads as one
// straight line of converts and calls.
struct Raised {};

// Sets `type(message)` as the current exception and throws Raised.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Sets `type(error.message())` as the current exception, each cause below it chained as the
// `__cause__` of the level above (a RuntimeError per level, innermost last), and throws Raised.
// The exception's own text stays the outermost message; the causes say why.
[[noreturn]] void raise(PyObject* type, const Error& error);
// A CPython call failed and set the exception.
[[noreturn]] inline void raise_current() { throw Raised{}; }

// Checks the result of a CPython call that returns a new reference (null on failure).
inline Ref check(PyObject* result) {
  if (result == nullptr) raise_current();
  return Ref::steal(result);
}
// Checks a CPython status (-1 on failure).
inline void check_status(int status) {
  if (status < 0) raise_current();
}

// For a failure that only means "no value": clears the pending exception when it is an
// Exception. KeyboardInterrupt, SystemExit and other BaseExceptions stay set and throw Raised.
void clear_ordinary_exception();

// The exception class for internal faults: C++ exceptions that reach an entry point. It derives
// from BaseException, so a bare `except Exception` does not swallow a bug by accident. Only for
// faults no argument can cause: a bad argument raises ValueError or TypeError.
PyObject* internal_fault_type();
// Sets an internal fault carrying `text` and throws Raised.
[[noreturn]] void raise_internal_fault(std::string_view text);

// Turns the exception being handled (call only inside a catch block) into the Python exception:
// Raised keeps the one already set, std::bad_alloc becomes MemoryError, any other C++ exception
// becomes an internal fault carrying its text.
void translate_current_exception() noexcept;

// The error boundary of every entry point: runs `body` and returns `failure` with a Python
// exception set when anything goes wrong. Nothing unwinds into the interpreter but the forced
// unwind by which CPython ends a thread during finalisation, which must go on (pybase/py.hpp); so
// neither this nor the entry points that call it are noexcept.
template <class R, class F>
R guard(R failure, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    if (ending_thread()) throw;
    translate_current_exception();
    return failure;
  }
}

}  // namespace orvik::py
