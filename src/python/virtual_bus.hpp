// The VirtualBus class, and the taking of its receiver by the classes that consume a bus.
#pragma once

#include <Python.h>

#include <optional>

#include "runtime/virtual_bus.hpp"

namespace orvik::python {

PyTypeObject* virtual_bus_type();

bool is_virtual_bus(PyObject* obj);

// Moves the receiver out of `bus` (a VirtualBus) under an exclusive borrow held only for the
// move; its slot stays empty for good. nullopt when it was already taken. A bus borrowed
// elsewhere (a recv waiting on another thread) raises RuntimeError "Already borrowed" (throws
// py::Raised) and keeps its receiver. A bus made before a fork raises RuntimeError.
std::optional<runtime::VirtualBusRx> take_virtual_bus_receiver(PyObject* bus);

}  // namespace orvik::python
