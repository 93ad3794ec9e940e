// The conversions shared by every send_periodic and recv: float seconds to runtime durations.
#pragma once

#include "runtime/duration.hpp"

namespace orvik::python {

// A `period` already converted to float. ValueError "send_periodic: 'period' must be a positive
// finite number of seconds" unless finite and above zero; ValueError with the conversion's text
// for 2^64 seconds or more; ValueError when it rounds to zero nanoseconds, which no timer ticks at.
runtime::Duration to_period(double period);

// A `timeout` already converted to float, rounded to the nearest nanosecond. ValueError with the
// conversion's text when negative, NaN, infinite or 2^64 seconds or more.
runtime::Duration to_timeout(double timeout);

}  // namespace orvik::python
