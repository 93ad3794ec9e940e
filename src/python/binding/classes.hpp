// Creating our Python classes, and the entry-point wrappers that put every slot and method
// behind the one error boundary.
//
// Every class is created from a spec: named "builtins.<Name>" (so `__module__` is "builtins" and
// `__qualname__` the bare name), not subclassable, without instance dict or weak references.
// Its docstring starts with "<Name>(<signature>)\n--\n\n" when it has a text signature.
#pragma once

#include <Python.h>

#include "pybase/py.hpp"
#include "python/binding/args.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/native.hpp"

namespace orvik::py {

struct ClassSpec {
  const char* name;  // "builtins.<Name>"; static, the type keeps pointing at it
  const char* doc;
  newfunc constructor = nullptr;  // null: calling the class raises "No constructor defined for {}"
  PyMethodDef* methods = nullptr;  // static, null-terminated
  PyGetSetDef* getset = nullptr;   // static, null-terminated
  reprfunc repr = nullptr;
  getattrofunc getattro = nullptr;
  // For a class whose value holds Python objects that can lead back to it: the class then takes
  // part in garbage collection. `traverse` visits the type and each held object; `clear` drops
  // them.
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

PyTypeObject* create_class(const ClassSpec& spec, Py_ssize_t basic_size, destructor dealloc);

template <class T>
PyTypeObject* create_class(const ClassSpec& spec) {
  return create_class(spec, sizeof(Native<T>), &dealloc<T>);
}

// --- entry-point wrappers: each turns a C++ function into a C slot behind guard() ---

template <Ref (*F)(PyTypeObject*, const CallArgs&)>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr,
                          [&] { return F(type, CallArgs::tuple_dict(args, kwargs)).release(); });
}

template <Ref (*F)(PyObject*, const CallArgs&)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  return guard<PyObject*>(
      nullptr, [&] { return F(self, CallArgs::fastcall(args, nargs, kwnames)).release(); });
}

template <Ref (*F)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject* /*unused*/) {
  return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}

template <Ref (*F)(PyObject*)>
PyObject* unary(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}

template <Ref (*F)(PyObject*)>
PyObject* getter(PyObject* self, void* /*closure*/) {
  return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}

// Deleting raises AttributeError "can't delete attribute"; F converts, then borrows.
template <void (*F)(PyObject*, PyObject*)>
int setter(PyObject* self, PyObject* value, void* /*closure*/) {
  return guard<int>(-1, [&] {
    if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
    F(self, value);
    return 0;
  });
}

template <Ref (*F)(PyObject*, PyObject*)>
PyObject* getattro(PyObject* self, PyObject* name) {
  return guard<PyObject*>(nullptr, [&] { return F(self, name).release(); });
}

template <Ref (*F)(PyObject*, const CallArgs&)>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<F>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <Ref (*F)(PyObject*)>
constexpr PyMethodDef method_noargs(const char* name, const char* doc) {
  return {name, &noargs<F>, METH_NOARGS, doc};
}

}  // namespace orvik::py
