// The argument binder: positional first, then keywords by name, then the missing-argument check.
#include "python/binding/args.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <vector>

#include "python/binding/errors.hpp"

namespace orvik::py {

CallArgs CallArgs::tuple_dict(PyObject* args, PyObject* kwargs) {
  CallArgs out;
  out.tuple = args;
  out.npositional = args == nullptr ? 0 : PyTuple_Size(args);
  out.kwargs = kwargs;
  return out;
}

namespace {

PyObject* positional_at(const CallArgs& args, Py_ssize_t i) {
  // The limited API has no array view of a tuple's items.
  if (args.tuple != nullptr) return PyTuple_GetItem(args.tuple, i);
  return args.positional[i];
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

[[noreturn]] void raise_type_error(const std::string& text) { raise(PyExc_TypeError, text); }

std::string utf8(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) raise_current();
  return std::string(s, static_cast<std::size_t>(n));
}

// The parameter names as interned str objects, keyed by the address of their C string (every
// parameter list is static). Keyword names in compiled call sites are interned, so most keywords
// match by identity without comparing text. Touched only with the interpreter lock held.
PyObject* interned_name(const char* name) {
  struct Slot {
    const char* name;
    PyObject* str;
  };
  static constexpr std::size_t kSlots = 256;  // well above every parameter name in the module
  static Slot slots[kSlots] = {};
  std::size_t i = (reinterpret_cast<std::uintptr_t>(name) >> 3) % kSlots;
  for (std::size_t probes = 0; probes < kSlots; ++probes, i = (i + 1) % kSlots) {
    Slot& slot = slots[i];
    if (slot.name == name) return slot.str;
    if (slot.name != nullptr) continue;
    PyObject* str = PyUnicode_InternFromString(name);
    if (str == nullptr) {  // only the identity shortcut is lost
      PyErr_Clear();
      return nullptr;
    }
    slot = {name, str};  // kept for the process
    return str;
  }
  return nullptr;  // full: compare by text
}

// The index of the parameter named `key`, or -1.
Py_ssize_t find_param(std::span<const Param> params, PyObject* key) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(params.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (interned_name(params[i].name) == key) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) return i;
  }
  return -1;
}

}  // namespace

void bind_any(Bound& out, const char* fname, bool is_method, const CallArgs& args) {
  const std::span<const Param> params = out.params_;
  const Py_ssize_t nparams = static_cast<Py_ssize_t>(params.size());
  if (params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for Bound");

  for (Py_ssize_t i = 0; i < nparams; ++i) {
    out.values_[i] = i < args.npositional ? positional_at(args, i) : nullptr;
  }

  auto bind_keyword = [&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) raise_type_error(fmt::format("{}() keywords must be strings", fname));
    const Py_ssize_t i = find_param(params, key);
    if (i >= 0) {
      if (out.values_[i] != nullptr) {
        raise_type_error(fmt::format("{}() got multiple values for argument '{}'", fname,
                                     params[i].name));
      }
      out.values_[i] = value;
      return;
    }
    raise_type_error(
        fmt::format("{}() got an unexpected keyword argument '{}'", fname, utf8(key)));
  };
  if (args.kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(args.kwargs, &pos, &key, &value)) bind_keyword(key, value);
  } else if (args.kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(args.kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      bind_keyword(PyTuple_GetItem(args.kwnames, k), args.positional[args.npositional + k]);
    }
  }

  const Py_ssize_t self = is_method ? 1 : 0;
  if (args.npositional > nparams) {
    Py_ssize_t required = 0;
    for (const Param& p : params) required += p.required ? 1 : 0;
    const Py_ssize_t most = nparams + self;
    const Py_ssize_t least = required + self;
    const std::string takes =
        least == most ? fmt::format("{}", most) : fmt::format("from {} to {}", least, most);
    const Py_ssize_t given = args.npositional + self;
    // CPython picks the plural from the largest count, even in "from 0 to 1 ... argument".
    raise_type_error(fmt::format("{}() takes {} positional argument{} but {} {} given", fname,
                                 takes, most == 1 ? "" : "s", given, given == 1 ? "was" : "were"));
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (params[i].required && out.values_[i] == nullptr) missing.push_back(params[i].name);
  }
  if (!missing.empty()) {
    raise_type_error(fmt::format("{}() missing {} required positional argument{}: {}", fname,
                                 missing.size(), missing.size() == 1 ? "" : "s",
                                 name_list(missing)));
  }
}

}  // namespace orvik::py
