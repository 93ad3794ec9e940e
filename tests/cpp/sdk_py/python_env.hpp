// An embedded interpreter for the bridge's Python half, and small helpers to drive it from tests.
#pragma once

#include "pybase/py.hpp"

#include <gtest/gtest.h>

#include <string>

#include "sdk/fake_sdk.hpp"

namespace orvik::sdk::testing {

// Starts the interpreter once per process and leaves the lock released, as a worker would find it.
inline void ensure_python() {
  static const bool started = [] {
    Py_InitializeEx(0);
    PyEval_SaveThread();
    return true;
  }();
  (void)started;
}

// Runs statements in __main__; a failure is reported with its exception text. Needs the lock.
inline ::testing::AssertionResult run(const std::string& code) {
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  py::Ref compiled = py::Ref::steal(Py_CompileString(code.c_str(), "<test>", Py_file_input));
  py::Ref result =
      compiled ? py::Ref::steal(PyEval_EvalCode(compiled.get(), globals, globals)) : py::Ref();
  if (result) return ::testing::AssertionSuccess();
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  py::Ref t = py::Ref::steal(type), v = py::Ref::steal(value), tb = py::Ref::steal(trace);
  py::Ref text = py::Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
  PyErr_Clear();
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  return ::testing::AssertionFailure() << "python failed: " << (utf8 ? utf8 : "?");
}

// Evaluates an expression in __main__ (new reference, null on failure). Needs the lock.
inline py::Ref eval(const std::string& expr) {
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  py::Ref compiled = py::Ref::steal(Py_CompileString(expr.c_str(), "<test>", Py_eval_input));
  if (!compiled) return {};
  return py::Ref::steal(PyEval_EvalCode(compiled.get(), globals, globals));
}

inline bool eval_true(const std::string& expr) {
  py::Ref r = eval(expr);
  if (!r) {
    PyErr_Print();
    return false;
  }
  return PyObject_IsTrue(r.get()) == 1;
}

inline std::string str_of(PyObject* obj) {
  py::Ref s = py::Ref::steal(PyObject_Str(obj));
  if (!s) return "<str failed>";
  return PyUnicode_AsUTF8AndSize(s.get(), nullptr);
}

// Puts `value` (or removes the key, for null) at sys.modules["orvik_sdk_abi_v1"]. Needs the lock.
inline void set_capsule_entry(PyObject* value) {
  PyObject* modules = PyImport_GetModuleDict();
  if (value == nullptr) {
    if (PyDict_GetItemString(modules, kCapsuleName) != nullptr) {
      PyDict_DelItemString(modules, kCapsuleName);
    }
    return;
  }
  PyDict_SetItemString(modules, kCapsuleName, value);
}

// The one fake table of this process: once discovered it stays cached, so every test shares it.
inline fake::FakeSdk& shared_fake() {
  static fake::FakeSdk* f = [] {
    auto* made = new fake::FakeSdk;  // never freed: the cached table must outlive every test
    fake::install(*made);
    return made;
  }();
  return *f;
}

// Publishes the shared fake table's capsule and discovers it. Needs the lock.
inline const SdkAbiTable* publish_shared_fake(const char* capsule_name = kCapsuleName) {
  fake::FakeSdk& f = shared_fake();
  py::Ref capsule = py::Ref::steal(PyCapsule_New(&f.table, capsule_name, nullptr));
  set_capsule_entry(capsule.get());
  return &f.table;
}

class PythonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ensure_python(); }
  void SetUp() override { fake::reset(shared_fake()); }
};

}  // namespace orvik::sdk::testing
