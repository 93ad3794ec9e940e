// The Notifier class: a VirtualBus fanned out to CanDecoder listeners and Python callables.
#pragma once

#include <Python.h>

namespace orvik::python {

PyTypeObject* notifier_type();

}  // namespace orvik::python
