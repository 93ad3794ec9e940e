// Event names and Arrow schemas: one base event per message, one sub-event per multiplexor value,
// and the raw-frame event.
#pragma once

#include <arrow/type_fwd.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "decode/model.hpp"

namespace orvik::codec {

inline constexpr std::string_view kRawEventName = "can_raw";
inline constexpr std::string_view kTimeColumn = "time_ns";

// "{id:04x}_{name}" for a standard identifier, "{id:08x}_{name}" for an extended one.
std::string event_key(const MessageSpec& message);
// The sub-event name: the event key, "/" and the suffix.
std::string event_path(const MessageSpec& message, std::string_view suffix);

// The column type of a signal.
std::shared_ptr<arrow::DataType> arrow_type(SignalType type);

// "time_ns" (non-null UTC nanosecond timestamp), then one nullable column per signal, in order.
// Each call builds a new schema.
std::shared_ptr<arrow::Schema> message_schema(std::span<const SignalSpec* const> signals);
// The "can_raw" columns: time_ns, arbitration_id, dlc, is_extended, is_fd, data.
std::shared_ptr<arrow::Schema> raw_frame_schema();

}  // namespace orvik::codec
