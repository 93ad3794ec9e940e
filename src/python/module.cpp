// Module initialisation of orvik_can._native: the classes, the module functions, sys.modules.
//
//   # orvik_can._native
//   Bus, CanCodec, CanDecoder, CyclicSendTask, Message, Metrics, Notifier, VirtualBus   # alphabetical
//   def is_initialized() -> bool     # has the trace SDK published its table in this process?
//   def virtual_bus_channel_count() -> int   # live in-memory channels, for diagnostics
//
// Single-phase initialisation, for one interpreter per process: the module object is built
// once, kept, and handed out again when the import runs again.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "pybase/py.hpp"
#include "python/binding/errors.hpp"
#include "python/bus.hpp"
#include "python/can_codec.hpp"
#include "python/can_decoder.hpp"
#include "python/cyclic_send_task.hpp"
#include "python/message.hpp"
#include "python/metrics.hpp"
#include "python/notifier.hpp"
#include "python/virtual_bus.hpp"
#include "runtime/virtual_bus.hpp"

namespace orvik::python {
namespace {

using py::Ref;

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// In alphabetical order; a new class is one more line.
constexpr ClassEntry kClasses[] = {
    {"Bus", &bus_type},
    {"CanCodec", &can_codec_type},
    {"CanDecoder", &can_decoder_type},
    {"CyclicSendTask", &cyclic_send_task_type},
    {"Message", &message_type},
    {"Metrics", &metrics_type},
    {"Notifier", &notifier_type},
    {"VirtualBus", &virtual_bus_type},
};

// True as soon as sys.modules holds any "orvik_sdk_abi_v1" entry but None; it does not look at
// the entry itself. Never raises.
PyObject* is_initialized(PyObject* /*module*/, PyObject* /*unused*/) {
  const bool found = py::guard<bool>(false, [] {
    Ref sys = py::check(PyImport_ImportModule("sys"));
    Ref modules = py::check(PyObject_GetAttrString(sys.get(), "modules"));
    Ref entry = py::check(PyObject_CallMethod(modules.get(), "get", "s", "orvik_sdk_abi_v1"));
    return entry.get() != Py_None;
  });
  PyErr_Clear();
  return PyBool_FromLong(found);
}

// Takes the registry lock briefly. A fault (the lock failing) is raised, never unwound.
PyObject* virtual_bus_channel_count(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return py::guard<PyObject*>(nullptr, [] {
    return PyLong_FromSize_t(runtime::virtual_bus::channel_count());
  });
}

PyMethodDef kFunctions[] = {
    {"is_initialized", &is_initialized, METH_NOARGS,
     "is_initialized()\n--\n\n"
     "True when the trace SDK has published its ABI table in this process, which in effect\n"
     "means that the orvik_sdk package has been imported."},
    {"virtual_bus_channel_count", &virtual_bus_channel_count, METH_NOARGS,
     "virtual_bus_channel_count()\n--\n\n"
     "Number of VirtualBus channels alive in the process-wide registry, for diagnostics.\n"
     "A channel is evicted when the last VirtualBus, receiver or periodic send on its name\n"
     "is gone."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "orvik-can: the CAN codec of the orvik family.",
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module (-1: none yet), and the module it got.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // kept for the process

void claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) py::raise_current();
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    py::raise(PyExc_ImportError,
              "orvik_can._native does not support sub-interpreters: its classes and state are "
              "shared by the whole process, so it can only be imported in one interpreter");
  }
}

Ref build_module() {
  Ref module = py::check(PyModule_Create(&kModule));
  for (const ClassEntry& entry : kClasses) {
    PyObject* type = reinterpret_cast<PyObject*>(entry.type());
    py::check_status(PyModule_AddObjectRef(module.get(), entry.name, type));
  }
  py::check_status(PyModule_AddFunctions(module.get(), kFunctions));
  watch_interpreter_exit();
  Ref sys = py::check(PyImport_ImportModule("sys"));
  Ref modules = py::check(PyObject_GetAttrString(sys.get(), "modules"));
  Ref key = py::check(PyUnicode_FromString("orvik_can._native"));
  py::check_status(PyObject_SetItem(modules.get(), key.get(), module.get()));
  return module;
}

}  // namespace
}  // namespace orvik::python

PyMODINIT_FUNC PyInit__native(void) {
  using namespace orvik;
  return py::guard<PyObject*>(nullptr, []() -> PyObject* {
    python::claim_interpreter();
    if (python::g_module != nullptr) return py::Ref::borrow(python::g_module).release();
    py::Ref module = python::build_module();
    python::g_module = module.new_ref();
    return module.release();
  });
}
