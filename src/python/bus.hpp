// The SocketCAN Bus class (surface only), and the run-time check for SocketCAN support.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace orvik::python {

PyTypeObject* bus_type();

// True when this kernel can open a raw CAN socket; decided at run time, not by the build target.
bool socketcan_available();

// The one refusal of a SocketCAN interface, for `who` ("Bus", "CanCodec", "Notifier"), which
// raises RuntimeError: `linux_only`, the caller's own text, where the kernel has no CAN sockets;
// where it has them, that this build has no SocketCAN I/O for `channel`.
[[noreturn]] void raise_socketcan_refused(std::string_view who, std::string_view channel,
                                          const char* linux_only);

// The interface name of a Bus object.
std::string bus_channel(PyObject* bus);

}  // namespace orvik::python
