// The conversions shared by every send_periodic and recv: float seconds to runtime durations.
#pragma once

#include <string_view>

#include "runtime/duration.hpp"

namespace orvik::python {

// A `period` already converted to float: ValueError "send_periodic: 'period' must be a positive
// finite number of seconds" unless finite and above zero; an internal fault for 2^64 seconds or
// more. A positive period that rounds to zero nanoseconds passes (its task ends at once).
runtime::Duration to_period(double period);

// Raises the internal-fault exception class with `text` (throws py::Raised).
[[noreturn]] void raise_internal_fault(std::string_view text);

}  // namespace orvik::python
