// The period rule of send_periodic and the internal-fault raise for failed duration conversions.
#include "python/periodic_args.hpp"

#include <cmath>

#include "python/binding/errors.hpp"

namespace orvik::python {

void raise_internal_fault(std::string_view text) {
  PyObject* type = py::internal_fault_type();
  if (type == nullptr) py::raise_current();  // creating the class failed and set that exception
  py::raise(type, text);
}

runtime::Duration to_period(double period) {
  if (!(std::isfinite(period) && period > 0.0)) {
    py::raise(PyExc_ValueError,
              "send_periodic: 'period' must be a positive finite number of seconds");
  }
  auto duration = runtime::Duration::from_secs_f64(period);
  if (!duration) raise_internal_fault(duration.error().message());
  return *duration;
}

}  // namespace orvik::python
