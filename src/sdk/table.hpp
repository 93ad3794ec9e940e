// The process-wide cell that caches the SDK table pointer, and the fetch of the SDK's last error.
#pragma once

#include "sdk/abi.hpp"
#include "sdk/sink_error.hpp"

namespace orvik::sdk {

// The cached table, or nullptr before the first successful discovery. One acquire load, no lock.
const SdkAbiTable* cached_table() noexcept;

// Fills the cell with `table` unless it already holds one, and returns what the cell holds after
// that, so concurrent first discoveries all agree on the one published first. Never cleared.
const SdkAbiTable* publish_table(const SdkAbiTable* table) noexcept;

// The SDK's text for the failure it just reported, as a Call error. Must run on the thread of
// the failing call, before any other call into the table.
SinkError last_error_string(const SdkAbiTable* table);

}  // namespace orvik::sdk
