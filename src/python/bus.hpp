// The SocketCAN Bus class (surface only), and the run-time check for SocketCAN support.
#pragma once

#include <Python.h>

namespace orvik::python {

PyTypeObject* bus_type();

// True when this kernel can open a raw CAN socket; decided at run time, not by the build target.
bool socketcan_available();

}  // namespace orvik::python
