// Embeds the interpreter and the stand-in trace SDK for benchmarks whose rows go into it.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pybase/py.hpp"
#include "sdk/handles.hpp"

namespace orvik::bench {

using py::Ref;

// Runs Python statements with the lock held; aborts the benchmark on failure.
inline void run_python(const std::string& code) {
  PyGILState_STATE gil = PyGILState_Ensure();
  if (PyRun_SimpleString(code.c_str()) != 0) {
    std::fprintf(stderr, "python failed: %s\n", code.c_str());
    std::abort();
  }
  PyGILState_Release(gil);
}

// Starts the interpreter, imports the stand-in from its source folder and returns its table. The
// interpreter lock is left released, as a worker thread finds it.
inline const sdk::SdkAbiTable* standin_table() {
  static const sdk::SdkAbiTable* table = [] {
    Py_InitializeEx(0);
    PyRun_SimpleString("import sys; sys.path.insert(0, '" ORVIK_STANDIN_DIR "'); import orvik_sdk");
    PyObject* capsule = PyDict_GetItemString(PyImport_GetModuleDict(), "orvik_sdk_abi_v1");
    const auto* found = capsule ? static_cast<const sdk::SdkAbiTable*>(
                                      PyCapsule_GetPointer(capsule, "orvik_sdk_abi_v1"))
                                : nullptr;
    if (found == nullptr) {
      PyErr_Print();
      std::fprintf(stderr, "stand-in SDK unavailable from %s\n", ORVIK_STANDIN_DIR);
      std::abort();
    }
    PyEval_SaveThread();
    return found;
  }();
  return table;
}

// A source for `name`, acquired with the lock held as construction does it.
inline sdk::SourceHandle acquire_source(const sdk::SdkAbiTable* table, const char* name) {
  PyGILState_STATE gil = PyGILState_Ensure();
  Ref module = Ref::steal(PyImport_ImportModule("orvik_sdk"));
  Ref obj = module ? Ref::steal(PyObject_CallMethod(module.get(), "TraceSourceCache", "s", name))
                   : Ref();
  void* source = nullptr;
  if (!obj || table->src_handle_from_py(obj.get(), &source) != 0 || source == nullptr) {
    PyErr_Print();
    std::abort();
  }
  obj.reset();
  module.reset();
  PyGILState_Release(gil);
  return sdk::SourceHandle(table, source);
}

}  // namespace orvik::bench
