// The Metrics class: immutable snapshots of one MetricsCounters block, for the metrics() methods.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "decode/metrics.hpp"
#include "pybase/py.hpp"

namespace orvik::python {

using CounterValues = std::array<std::uint64_t, kCounterCount>;

PyTypeObject* metrics_type();

// A new Metrics holding `values`, in the order of the counters block.
py::Ref metrics_from_values(const CounterValues& values);
// Reads the counters one relaxed load at a time (not one atomic snapshot) into a new Metrics.
py::Ref metrics_snapshot(const MetricsCounters& counters);

}  // namespace orvik::python
