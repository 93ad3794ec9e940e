// Glue of the VirtualBus class: a named in-memory CAN channel shared by every handle on the name.
//
//   class VirtualBus:
//       def __init__(self, channel="vcan0", capacity=65536): ...   # capacity: first open only
//       def send(self, id, data, timestamp=None, is_extended=False, is_fd=False) -> None
//       def recv(self, timeout=None) -> Message | None
//       def send_periodic(self, msg, period) -> CyclicSendTask
//       channel: str                                                # read-only
//
// recv borrows exclusively for the whole wait, with the interpreter lock released; the rest
// borrow shared. A CanCodec or Notifier may take the receiver; the sender stays.
#include "python/virtual_bus.hpp"

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/cyclic_send_task.hpp"
#include "python/message.hpp"
#include "python/periodic_args.hpp"
#include "runtime/periodic.hpp"
#include "runtime/runtime.hpp"

namespace orvik::python {
namespace {

using py::Ref;
using Clock = std::chrono::steady_clock;

struct VirtualBusValue {
  std::string channel;
  std::optional<runtime::VirtualBusRx> rx;  // empty once a CanCodec or Notifier took it
  runtime::VirtualBusTx tx;
};
using Shared = py::Shared<VirtualBusValue>;
using Exclusive = py::Exclusive<VirtualBusValue>;

constexpr std::size_t kDefaultCapacity = 65536;

constexpr py::Param kNewParams[] = {{"channel"}, {"capacity"}};
Ref virtual_bus_new(PyTypeObject* type, const py::CallArgs& args) {
  const py::Bound a = py::bind("VirtualBus", false, kNewParams, args);
  std::string channel = py::arg_or(a, 0, py::to_str, std::string("vcan0"));
  const std::size_t capacity = py::arg_or(a, 1, py::to_usize, kDefaultCapacity);
  auto ends = runtime::virtual_bus::open(channel, capacity);
  if (!ends) py::raise(PyExc_ValueError, ends.error().message());  // every refusal is the capacity's
  // Should creating the object fail, the ends are released here, which may evict the channel.
  return py::create(type, VirtualBusValue{std::move(channel), std::move(ends->rx),
                                          std::move(ends->tx)});
}

constexpr py::Param kSendParams[] = {
    {"id", true}, {"data", true}, {"timestamp"}, {"is_extended"}, {"is_fd"}};
Ref virtual_bus_send(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("VirtualBus.send", true, kSendParams, args);
  py::refuse_inherited<VirtualBusValue>(self, "VirtualBus");
  const Shared bus(self);
  CanFrame frame;
  frame.arbitration_id = py::arg(a, 0, py::to_u32);
  frame.data = py::arg(a, 1, py::to_bytes<Payload>);
  frame.timestamp = py::arg(a, 2, py::optional(py::to_f64));
  frame.is_extended_id = py::arg_or(a, 3, py::to_flag, false);
  frame.is_fd = py::arg_or(a, 4, py::to_flag, false);
  frame.is_rx = true;
  frame.dlc = static_cast<std::uint8_t>(frame.data.size());  // length modulo 256
  bus->tx.send(frame);
  return Ref::borrow(Py_None);
}

// How long a wait goes with the lock released before it takes the lock back to run the handlers
// of signals that arrived meanwhile: Ctrl-C, or any handler that raises, ends it within this.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// The next frame, or nullopt once `deadline` has passed (none: wait however long it takes). The
// wait runs unlocked, slice by slice from `now`; a slice that ends empty consumes nothing. Lock
// held.
std::optional<Result<CanFrame>> wait_for_frame(runtime::VirtualBusRx& rx, Clock::time_point now,
                                               std::optional<Clock::time_point> deadline) {
  for (;; now = Clock::now()) {
    const Clock::time_point slice_end = now + kSignalCheckInterval;
    const bool last = deadline && *deadline <= slice_end;
    std::optional<Result<CanFrame>> received =
        py::allow_threads([&] { return rx.recv_blocking(last ? *deadline : slice_end); });
    if (received || last) return received;
    // Handlers run on the main thread only; elsewhere this returns at once.
    if (PyErr_CheckSignals() < 0) py::raise_current();
  }
}

constexpr py::Param kRecvParams[] = {{"timeout"}};
Ref virtual_bus_recv(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("VirtualBus.recv", true, kRecvParams, args);
  py::refuse_inherited<VirtualBusValue>(self, "VirtualBus");
  const Exclusive bus(self);
  const std::optional<double> timeout = py::arg(a, 0, py::optional(py::to_f64));
  if (!bus->rx) py::raise(PyExc_RuntimeError, "VirtualBus receiver taken by CanCodec");
  std::string channel = bus->channel;
  runtime::get();
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> deadline;
  if (timeout) deadline = runtime::deadline_after(to_timeout(*timeout), now);
  // The exclusive borrow keeps other threads off the receiver for the whole wait.
  const std::optional<Result<CanFrame>> received = wait_for_frame(*bus->rx, now, deadline);
  if (!received) return Ref::borrow(Py_None);
  if (!*received) py::raise(PyExc_RuntimeError, received->error().message());
  return message_from_frame(**received, std::move(channel));
}

constexpr py::Param kPeriodicParams[] = {{"msg", true}, {"period", true}};
Ref virtual_bus_send_periodic(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("VirtualBus.send_periodic", true, kPeriodicParams, args);
  py::refuse_inherited<VirtualBusValue>(self, "VirtualBus");
  const Shared bus(self);
  CanFrame frame = py::arg(a, 0, to_message_frame);
  const runtime::Duration period = to_period(py::arg(a, 1, py::to_f64));
  frame.timestamp.reset();
  frame.is_rx = false;
  frame.dlc = static_cast<std::uint8_t>(frame.data.size());
  runtime::Runtime& rt = runtime::get();
  return make_cyclic_send_task(
      runtime::start_periodic(bus->tx, std::move(frame), period, rt.executor()));
}

Ref get_channel(PyObject* self) {
  const Shared bus(self);
  return py::check(PyUnicode_FromStringAndSize(bus->channel.data(),
                                               static_cast<Py_ssize_t>(bus->channel.size())));
}

PyMethodDef kMethods[] = {
    py::method<virtual_bus_send>(
        "send",
        "send($self, id, data, timestamp=None, is_extended=False, is_fd=False)\n--\n\n"
        "Send a CAN frame to all listeners on this channel."),
    py::method<virtual_bus_recv>(
        "recv",
        "recv($self, timeout=None)\n--\n\n"
        "Receive a frame from any sender on this channel. Blocking with timeout."),
    py::method<virtual_bus_send_periodic>(
        "send_periodic",
        "send_periodic($self, msg, period)\n--\n\n"
        "Start transmitting ``msg`` every ``period`` seconds on this channel until stopped\n"
        "through the returned ``CyclicSendTask``."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"channel", &py::getter<get_channel>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "VirtualBus(channel=..., capacity=...)\n--\n\n"
    "Shared in-memory CAN bus for testing.\n\n"
    "All instances with the same ``channel`` name share one broadcast channel: every frame\n"
    "sent through any of them is received by all of them, the sender included.\n\n"
    "Args:\n"
    "    channel: channel name. Default: \"vcan0\".\n"
    "    capacity: broadcast buffer size in frames, honoured only when the channel name is\n"
    "        first opened. Default: 65536.\n";

const py::ClassSpec kSpec{
    .name = "builtins.VirtualBus",
    .doc = kDoc,
    .constructor = &py::constructor<virtual_bus_new>,
    .methods = kMethods,
    .getset = kGetSet,
};

}  // namespace

PyTypeObject* virtual_bus_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<VirtualBusValue>(kSpec);
  return type;
}

bool is_virtual_bus(PyObject* obj) { return py::is_instance(obj, virtual_bus_type()); }

std::optional<runtime::VirtualBusRx> take_virtual_bus_receiver(PyObject* bus) {
  py::refuse_inherited<VirtualBusValue>(bus, "VirtualBus");
  const Exclusive value(bus);
  return std::exchange(value->rx, std::nullopt);
}

}  // namespace orvik::python
