// Row logging: turning decoded values into column records and handing a row to the SDK.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/abi.hpp"
#include "sdk/handles.hpp"
#include "sdk/sink_error.hpp"
#include "sdk/value.hpp"

namespace orvik::sdk {

// The most column records one row carries.
inline constexpr std::size_t kMaxRowColumns = 64;

// The record for one present value under field handle `handle`; a typed null becomes tag Null.
AbiColumn make_column(std::uint32_t handle, const DecodedValue& value) noexcept;

// Hands one row of `n` records to the SDK in one call. Raw-frame rows come here directly.
SinkResult<void> log_at(const EventHandle& event, std::int64_t time_ns, const AbiColumn* columns,
                        std::size_t n);

}  // namespace orvik::sdk
