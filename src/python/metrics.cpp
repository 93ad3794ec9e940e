// Glue of the Metrics class: a point-in-time copy of the eleven counters.
//
//   class Metrics:                     # no constructor: made by CanCodec/CanDecoder.metrics()
//       messages_received, messages_decoded, decode_errors, unknown_messages, kernel_drops,
//       buffer_overflows, batches_emitted, reconnections, broadcast_overflows, tx_errors,
//       tx_overflows: int              # read-only, 0..2**64-1
//       def __repr__(self) -> str      # Metrics(received=.., decoded=.., errors=.., ...)
#include "python/metrics.hpp"

#include <fmt/format.h>

#include <string>

#include "python/binding/classes.hpp"

namespace orvik::python {

namespace {

using py::Ref;

struct MetricsValue {
  CounterValues values;
};

template <Counter C>
Ref get_counter(PyObject* self) {
  const py::Shared<MetricsValue> m(self);
  return py::check(PyLong_FromUnsignedLongLong(m->values[static_cast<std::size_t>(C)]));
}

template <Counter C>
constexpr PyGetSetDef counter(const char* name) {
  return {name, &py::getter<get_counter<C>>, nullptr, nullptr, nullptr};
}

PyGetSetDef kGetSet[] = {
    counter<Counter::messages_received>("messages_received"),
    counter<Counter::messages_decoded>("messages_decoded"),
    counter<Counter::decode_errors>("decode_errors"),
    counter<Counter::unknown_messages>("unknown_messages"),
    counter<Counter::kernel_drops>("kernel_drops"),
    counter<Counter::buffer_overflows>("buffer_overflows"),
    counter<Counter::batches_emitted>("batches_emitted"),
    counter<Counter::reconnections>("reconnections"),
    counter<Counter::broadcast_overflows>("broadcast_overflows"),
    counter<Counter::tx_errors>("tx_errors"),
    counter<Counter::tx_overflows>("tx_overflows"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Ref metrics_repr(PyObject* self) {
  const py::Shared<MetricsValue> m(self);
  auto v = [&](Counter c) { return m->values[static_cast<std::size_t>(c)]; };
  // buffer_overflows and batches_emitted are left out; broadcast_overflows precedes reconnections.
  const std::string text = fmt::format(
      "Metrics(received={}, decoded={}, errors={}, unknown={}, kernel_drops={}, "
      "broadcast_overflows={}, reconnections={}, tx_errors={}, tx_overflows={})",
      v(Counter::messages_received), v(Counter::messages_decoded), v(Counter::decode_errors),
      v(Counter::unknown_messages), v(Counter::kernel_drops), v(Counter::broadcast_overflows),
      v(Counter::reconnections), v(Counter::tx_errors), v(Counter::tx_overflows));
  return py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

const py::ClassSpec kSpec{
    .name = "builtins.Metrics",
    .doc = "Point-in-time snapshot of codec metrics.",
    .getset = kGetSet,
    .repr = &py::unary<metrics_repr>,
};

}  // namespace

PyTypeObject* metrics_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<MetricsValue>(kSpec);
  return type;
}

Ref metrics_from_values(const CounterValues& values) {
  return py::create(metrics_type(), MetricsValue{values});
}

Ref metrics_snapshot(const MetricsCounters& counters) {
  return metrics_from_values(counters.snapshot());
}

}  // namespace orvik::python
