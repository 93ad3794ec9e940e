// Glue of the Bus class: python-can's SocketCAN bus interface, without SocketCAN I/O.
//
//   class Bus:
//       def __init__(self, channel, fd=False, recv_own_messages=False, rcvbuf_size=None,
//                    local_loopback=True, error_frames=True): ...   # always raises RuntimeError
//       def recv(self, timeout=None) -> Message | None
//       def send(self, msg, timeout=None) -> None
//       def send_periodic(self, msg, period) -> CyclicSendTask
//       def set_filters(self, filters) -> None        # [(can_id, can_mask), ...]
//       def shutdown(self) -> None
//       def fileno(self) -> int
//       def __enter__(self) -> Bus;  def __exit__(self, _exc_type, _exc_value, _traceback) -> None
//       state: str; fd_version: int; channel: str; is_active: bool     # read-only
//       def __repr__(self) -> str     # <Bus channel='can0', active=false>
//
// Opening a socket is not implemented, so the constructor refuses after converting its
// arguments and no Bus object exists; the members keep the behaviour of a system without
// SocketCAN: recv/send/shutdown/__exit__ borrow exclusively, the rest shared.
#include "python/bus.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <string>
#include <string_view>

#ifdef __linux__
#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/message.hpp"
#include "python/periodic_args.hpp"

namespace orvik::python {

bool socketcan_available() {
#ifdef __linux__
  const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (fd < 0) return false;
  ::close(fd);
  return true;
#else
  return false;
#endif
}

void raise_socketcan_refused(std::string_view who, std::string_view channel,
                             const char* linux_only) {
  if (!socketcan_available()) py::raise(PyExc_RuntimeError, linux_only);
  // The kernel has CAN sockets, but this build has no SocketCAN I/O to drive them.
  py::raise(PyExc_RuntimeError,
            fmt::format("{}: SocketCAN I/O is not supported by this build of orvik_can "
                        "(channel '{}'); use VirtualBus",
                        who, channel));
}

namespace {

using py::Ref;

struct BusValue {
  std::string channel;
};
using Shared = py::Shared<BusValue>;
using Exclusive = py::Exclusive<BusValue>;

constexpr const char* kLinuxOnly = "Bus is only available on Linux";

[[noreturn]] void raise_linux_only() { py::raise(PyExc_RuntimeError, kLinuxOnly); }

constexpr py::Param kNewParams[] = {{"channel", true}, {"fd"},
                                    {"recv_own_messages"}, {"rcvbuf_size"},
                                    {"local_loopback"},    {"error_frames"}};

Ref bus_new(PyTypeObject* /*type*/, const py::CallArgs& args) {
  const py::Bound a = py::bind("Bus", false, kNewParams, args);
  const std::string channel = py::arg(a, 0, py::to_str);
  py::arg_or(a, 1, py::to_flag, false);
  py::arg_or(a, 2, py::to_flag, false);
  py::arg(a, 3, py::optional(py::to_i32));
  py::arg_or(a, 4, py::to_flag, true);
  py::arg_or(a, 5, py::to_flag, true);
  raise_socketcan_refused("Bus", channel, "Bus is only available on Linux (SocketCAN)");
}

constexpr py::Param kTimeoutParams[] = {{"timeout"}};
Ref bus_recv(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("Bus.recv", true, kTimeoutParams, args);
  const Exclusive bus(self);
  py::arg(a, 0, py::optional(py::to_f64));
  raise_linux_only();
}

constexpr py::Param kSendParams[] = {{"msg", true}, {"timeout"}};
Ref bus_send(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("Bus.send", true, kSendParams, args);
  const Exclusive bus(self);
  py::arg(a, 0, to_message_frame);
  py::arg(a, 1, py::optional(py::to_f64));
  raise_linux_only();
}

constexpr py::Param kPeriodicParams[] = {{"msg", true}, {"period", true}};
Ref bus_send_periodic(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("Bus.send_periodic", true, kPeriodicParams, args);
  const Shared bus(self);
  py::arg(a, 0, to_message_frame);
  to_period(py::arg(a, 1, py::to_f64));
  raise_linux_only();
}

// One (can_id, can_mask) filter: a tuple of exactly two unsigned 32-bit integers.
void to_filter(PyObject* obj) {
  PyObject* tuple = py::to_tuple(obj);
  const Py_ssize_t n = PyTuple_Size(tuple);
  if (n != 2) {
    py::raise(PyExc_ValueError,
              fmt::format("expected tuple of length {}, but got tuple of length {}", 2, n));
  }
  py::to_u32(PyTuple_GetItem(tuple, 0));
  py::to_u32(PyTuple_GetItem(tuple, 1));
}

constexpr py::Param kFilterParams[] = {{"filters", true}};
Ref bus_set_filters(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("Bus.set_filters", true, kFilterParams, args);
  const Shared bus(self);
  py::arg(a, 0, [](PyObject* obj) {
    for (const Ref& item : py::to_sequence(obj)) to_filter(item.get());
    return 0;
  });
  raise_linux_only();
}

Ref bus_shutdown(PyObject* self) {
  const Exclusive bus(self);
  return Ref::borrow(Py_None);
}

Ref bus_fileno(PyObject* self) {
  const Shared bus(self);
  raise_linux_only();
}

Ref bus_enter(PyObject* self) {
  const Shared bus(self);
  return Ref::borrow(self);
}

constexpr py::Param kExitParams[] = {
    {"_exc_type", true}, {"_exc_value", true}, {"_traceback", true}};
Ref bus_exit(PyObject* self, const py::CallArgs& args) {
  py::bind("Bus.__exit__", true, kExitParams, args);
  const Exclusive bus(self);
  return Ref::borrow(Py_None);  // a pending exception propagates
}

Ref bus_repr(PyObject* self) {
  const Shared bus(self);
  const std::string text = fmt::format("<Bus channel='{}', active=false>", bus->channel);
  return py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref get_state(PyObject* self) {
  const Shared bus(self);
  raise_linux_only();
}
Ref get_fd_version(PyObject* self) {
  const Shared bus(self);
  raise_linux_only();
}
Ref get_channel(PyObject* self) {
  const Shared bus(self);
  return py::check(PyUnicode_FromStringAndSize(bus->channel.data(),
                                               static_cast<Py_ssize_t>(bus->channel.size())));
}
Ref get_is_active(PyObject* self) {
  const Shared bus(self);
  return Ref::borrow(Py_False);
}

PyMethodDef kMethods[] = {
    py::method<bus_recv>(
        "recv",
        "recv($self, timeout=None)\n--\n\n"
        "Receive one CAN message, blocking until a frame arrives or ``timeout`` seconds pass.\n"
        "``None`` blocks forever. Returns the ``Message``, or ``None`` on timeout."),
    py::method<bus_send>(
        "send",
        "send($self, msg, timeout=None)\n--\n\n"
        "Send one CAN message. ``timeout`` is how many seconds to wait for the kernel transmit\n"
        "queue to accept the frame when it is full; ``None`` (the default) makes one\n"
        "non-blocking write and raises when the queue is full."),
    py::method<bus_send_periodic>(
        "send_periodic",
        "send_periodic($self, msg, period)\n--\n\n"
        "Transmit ``msg`` every ``period`` seconds through the Linux kernel broadcast manager\n"
        "(steady-state CPU cost independent of the number of periodic sends). Returns a\n"
        "``CyclicSendTask`` with ``stop()``, ``modify_data()`` and ``is_active``. CAN 2.0\n"
        "payloads only (at most 8 bytes)."),
    py::method<bus_set_filters>("set_filters",
                                "set_filters($self, filters)\n--\n\n"
                                "Set CAN frame filters, each a tuple (can_id, can_mask)."),
    py::method_noargs<bus_shutdown>("shutdown", "shutdown($self)\n--\n\nShut down the bus."),
    py::method_noargs<bus_fileno>(
        "fileno",
        "fileno($self)\n--\n\n"
        "The underlying CAN socket's file descriptor, an escape hatch for socket options not\n"
        "exposed otherwise (for example tuning the receive buffer at run time). The bus owns\n"
        "the descriptor: do not close it."),
    py::method_noargs<bus_enter>("__enter__", "__enter__($self)\n--\n\n"),
    py::method<bus_exit>("__exit__", "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"state", &py::getter<get_state>, nullptr,
     "The bus state: \"ACTIVE\", \"ERROR\" or \"PASSIVE\", as python-can's ``BusState``.\n"
     "\"ERROR\" is reported while the bus is shut down or reconnecting.",
     nullptr},
    {"fd_version", &py::getter<get_fd_version>, nullptr,
     "A counter that grows by one whenever the socket descriptor is replaced (the initial open\n"
     "and each reconnect), so that Python-side socket wrappers can detect a stale duplicate.",
     nullptr},
    {"channel", &py::getter<get_channel>, nullptr, "The SocketCAN interface name.", nullptr},
    {"is_active", &py::getter<get_is_active>, nullptr, "Whether the bus is still connected.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Bus(channel, fd=False, recv_own_messages=False, rcvbuf_size=None, local_loopback=True, "
    "error_frames=True)\n--\n\n"
    "SocketCAN bus with python-can's ``Bus`` interface (Linux only).\n\n"
    "Supports ``recv()``, ``send()``, iteration and the context-manager protocol.\n\n"
    "Args:\n"
    "    channel: SocketCAN interface name, such as \"can0\" or \"vcan0\".\n"
    "    fd: enable CAN FD. Default: False.\n"
    "    recv_own_messages: receive own transmitted frames. Default: False.\n\n"
    "Example::\n\n"
    "    bus = Bus(\"vcan0\")\n"
    "    bus.send(Message(arbitration_id=0x123, data=[1, 2, 3]))\n"
    "    msg = bus.recv(timeout=1.0)\n"
    "    bus.shutdown()\n";

const py::ClassSpec kSpec{
    .name = "builtins.Bus",
    .doc = kDoc,
    .constructor = &py::constructor<bus_new>,
    .methods = kMethods,
    .getset = kGetSet,
    .repr = &py::unary<bus_repr>,
};

}  // namespace

std::string bus_channel(PyObject* bus) {
  const Shared value(bus);
  return value->channel;
}

PyTypeObject* bus_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<BusValue>(kSpec);
  return type;
}

}  // namespace orvik::python
