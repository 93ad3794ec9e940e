// The Notifier class: a VirtualBus fanned out to CanDecoder listeners and Python callables.
#pragma once

#include <Python.h>

namespace orvik::python {

PyTypeObject* notifier_type();

// Lock held. Has the exit of the interpreter importing the module shut Notifier callbacks out
// before it finalises: registered at import, so that its atexit function comes after any the
// program registers later, Notifiers made in those included. Once per process.
void watch_interpreter_exit();

}  // namespace orvik::python
