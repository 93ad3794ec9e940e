// Event names and Arrow schemas: one base event per message, one sub-event per multiplexor value,
// and the raw-frame event.
#pragma once

#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "decode/model.hpp"
#include "sdk/handles.hpp"

namespace orvik::decode {

inline constexpr std::string_view kRawEventName = "can_raw";
using sdk::kTimeColumn;

// "{id:04x}_{name}" for a standard identifier, "{id:08x}_{name}" for an extended one.
std::string event_key(const MessageSpec& message);
// The sub-event name: the event key, "/" and the suffix.
std::string event_path(const MessageSpec& message, std::string_view suffix);

// The sub-event suffix of a switch value: its label in the multiplexor's value table, else (or
// when the message marks the label as not unique) the value in decimal.
std::string mux_suffix(const MessageSpec& message, const SignalSpec& multiplexor,
                       std::uint64_t switch_value);
// The switch values among `used` whose label in `labels` cannot name their sub-event: an empty
// label, one that several used values share, or one of digits alone other than the value's own
// decimal (it reads as another value); `in_path` (a switch of extended multiplexing, whose suffix
// is one of a path) adds a label holding '/'. Depends on the model alone, so every registration
// path picks the same names.
boost::unordered_flat_set<std::uint64_t> decimal_suffixes(const ValueTable& labels,
                                                         std::span<const SwitchRange> used,
                                                         bool in_path = false);

// The sub-event name of switch `index` of a message with extended multiplexing, at the values
// `path` of the switches from the top one down to it: the event key, then per switch "/", its
// name and "=" when it is named so, and the label or decimal of its value.
std::string mux_path_name(const MessageSpec& message, std::size_t index,
                          std::span<const std::uint64_t> path);

// The column type of a signal.
std::shared_ptr<arrow::DataType> arrow_type(SignalType type);

// "time_ns" (non-null UTC nanosecond timestamp), then one nullable column per signal, in order.
// Each call builds a new schema.
std::shared_ptr<arrow::Schema> message_schema(std::span<const SignalSpec* const> signals);
// The "can_raw" columns: time_ns, arbitration_id, dlc, is_extended, is_fd, data.
std::shared_ptr<arrow::Schema> raw_frame_schema();

}  // namespace orvik::decode
