// The CyclicSendTask class: the Python handle that stops or re-feeds one periodic send.
#pragma once

#include <Python.h>

#include "pybase/py.hpp"
#include "runtime/periodic.hpp"

namespace orvik::python {

PyTypeObject* cyclic_send_task_type();

// A new CyclicSendTask owning `send`: destroying it cancels the send.
py::Ref make_cyclic_send_task(runtime::PeriodicSend send);

}  // namespace orvik::python
