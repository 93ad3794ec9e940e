// Class creation from a spec, and the constructor slot of classes that have none.
#include "python/binding/classes.hpp"

#include <fmt/format.h>

#include <vector>

namespace orvik::py {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref name = check(PyType_GetName(type));
    Ref text = check(PyUnicode_FromFormat("No constructor defined for %U", name.get()));
    PyErr_SetObject(PyExc_TypeError, text.get());
    return nullptr;
  });
}

}  // namespace

PyTypeObject* create_class(const ClassSpec& spec, Py_ssize_t basic_size, destructor dealloc) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor != nullptr
                                                          ? spec.constructor
                                                          : &no_constructor)});
  if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  if (spec.getattro != nullptr) {
    slots.push_back({Py_tp_getattro, reinterpret_cast<void*>(spec.getattro)});
  }
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.traverse != nullptr) {
    flags |= Py_TPFLAGS_HAVE_GC;  // tp_alloc then tracks each object
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(spec.traverse)});
    if (spec.clear != nullptr) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(spec.clear)});
  }
  slots.push_back({0, nullptr});
  // No Py_TPFLAGS_BASETYPE (not subclassable); no dict or weaklist offset.
  PyType_Spec type_spec{spec.name, static_cast<int>(basic_size), 0, flags, slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) raise_current();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace orvik::py
