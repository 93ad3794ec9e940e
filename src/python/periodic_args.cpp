// The period and timeout rules of send_periodic and recv.
#include "python/periodic_args.hpp"

#include <cmath>

#include "python/binding/errors.hpp"

namespace orvik::python {

runtime::Duration to_timeout(double timeout) {
  auto duration = runtime::Duration::from_secs_f64(timeout);
  if (!duration) py::raise(PyExc_ValueError, duration.error().message());
  return *duration;
}

runtime::Duration to_period(double period) {
  if (!(std::isfinite(period) && period > 0.0)) {
    py::raise(PyExc_ValueError,
              "send_periodic: 'period' must be a positive finite number of seconds");
  }
  const runtime::Duration duration = to_timeout(period);
  if (duration.is_zero()) {
    py::raise(PyExc_ValueError, "send_periodic: 'period' must round to at least one nanosecond");
  }
  return duration;
}

}  // namespace orvik::python
