// Binds the positional and keyword arguments of one call to a fixed parameter list.
//
// Every parameter is positional-or-keyword, with or without a default. Missing, repeated,
// unknown and surplus arguments raise TypeError in the wording CPython uses for functions
// written in Python (ceval's), with the function named as in its own messages:
//   Message() missing 1 required positional argument: 'arbitration_id'
//   Bus.recv() got an unexpected keyword argument 'timeot'
//   Bus.recv() got multiple values for argument 'timeout'
//   Bus.recv() takes from 1 to 2 positional arguments but 3 were given
// (methods count `self`, as CPython does). Builtins made with Argument Clinic word these
// differently ("missing required argument 'x' (pos 1)"); the function wording is the one users
// of python-can's pure-Python classes already see.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace orvik::py {

struct Param {
  const char* name;
  bool required = false;
};

// The arguments of one call in either calling convention, all borrowed from the caller.
struct CallArgs {
  PyObject* const* positional = nullptr;  // METH_FASTCALL: the values, keywords' after these
  PyObject* tuple = nullptr;               // tp_new: the positional tuple
  Py_ssize_t npositional = 0;
  PyObject* kwnames = nullptr;  // METH_FASTCALL: tuple of keyword names
  PyObject* kwargs = nullptr;   // tp_new: dict of keyword arguments, or null

  static CallArgs fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return {args, nullptr, nargs, kwnames, nullptr};
  }
  static CallArgs tuple_dict(PyObject* args, PyObject* kwargs);
};

inline constexpr std::size_t kMaxParams = 16;

// The values bound to each parameter, in parameter order; null where the argument was omitted.
class Bound {
 public:
  // `i` below the parameter count: only those slots are set.
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  const char* name(std::size_t i) const { return params_[i].name; }

 private:
  friend Bound bind(const char*, bool, std::span<const Param>, const CallArgs&);
  friend void bind_any(Bound&, const char*, bool, const CallArgs&);
  std::span<const Param> params_;
  // Not zeroed here: bind() clears the parameters' slots alone. Clearing all 16 made the
  // compiler emit `rep stos`, whose start-up cost was most of a short call's binding time.
  std::array<PyObject*, kMaxParams> values_;
};

// bind() for any call into `out`, whose parameter list is set: keywords, surplus and missing
// arguments, and their TypeErrors.
void bind_any(Bound& out, const char* fname, bool is_method, const CallArgs& args);

// Binds `args` to `params`, or raises TypeError (throws Raised). `fname` names the function in
// messages; `is_method` adds the implicit `self` to the positional counts of messages.
//
// Inline for the common call, positional arguments alone with every required one given: inlined
// where the parameter list is a constant, that is a few moves instead of the general binder's two
// walks over the list. Every other call goes to bind_any. One Bound, returned on every path, so
// that it is built in the caller's place and never copied.
inline Bound bind(const char* fname, bool is_method, std::span<const Param> params,
                  const CallArgs& args) {
  Bound out;
  out.params_ = params;
  bool bound = false;
  if (args.tuple == nullptr && args.kwnames == nullptr && args.kwargs == nullptr &&
      args.npositional >= 0 &&
      static_cast<std::size_t>(args.npositional) <= params.size() &&
      params.size() <= kMaxParams) {
    const auto given = static_cast<std::size_t>(args.npositional);
    bound = true;
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (i < given) {
        out.values_[i] = args.positional[i];
      } else {
        out.values_[i] = nullptr;
        bound = bound && !params[i].required;
      }
    }
  }
  if (!bound) bind_any(out, fname, is_method, args);
  return out;
}

}  // namespace orvik::py
