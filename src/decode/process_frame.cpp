// The per-frame step: row time, raw row, base row and the selected multiplexed row.
#include "decode/process_frame.hpp"

#include <cstdint>
#include <utility>

#include "common/log.hpp"
#include "decode/signal.hpp"
#include "sdk/row.hpp"

namespace orvik {
namespace {

constexpr std::string_view kTarget = "orvik_can_decode::codec";

// Failures show their outer message only; the event formats nothing unless DEBUG is enabled.
template <class... Args>
void debug(fmt::format_string<Args...> format, Args&&... args) {
  log::event(log::Level::Debug, kTarget, format, std::forward<Args>(args)...);
}

sdk::AbiColumn column(std::uint32_t handle, sdk::AbiValueTag tag, std::uint64_t value) {
  sdk::AbiColumn c;
  c.handle = handle;
  c.tag = tag;
  c.value = value;
  return c;
}

void log_raw_row(DecoderCore& core, const CanFrame& frame, std::int64_t time_ns) {
  const auto event = core.ensure_raw_event();
  if (!event) {
    debug("ensure_raw_event failed: {}", event.error().message());
    return;
  }
  const std::span<const std::uint32_t> fields = (*event)->field_handles();
  using Tag = sdk::AbiValueTag;
  sdk::AbiColumn records[5] = {
      column(fields[0], Tag::UInt32, frame.arbitration_id),
      column(fields[1], Tag::UInt8, frame.dlc),
      column(fields[2], Tag::Boolean, frame.is_extended_id ? 1 : 0),
      column(fields[3], Tag::Boolean, frame.is_fd ? 1 : 0),
      column(fields[4], Tag::Binary, reinterpret_cast<std::uintptr_t>(frame.data.data())),
  };
  records[4].length = static_cast<std::uint32_t>(frame.data.size());
  if (auto logged = sdk::log_at((*event)->event(), time_ns, records, 5); !logged) {
    if (log::enabled(log::Level::Debug, kTarget)) {
      const Error wrapped("raw-frame log_at", logged.error().to_error());
      debug("raw-frame emit failed: {}", wrapped.message());
    }
  }
}

// One row per active switch of a message with extended multiplexing whose value selects signals,
// parents before children.
void log_switch_rows(DecoderCore& core, const MessageSpec& message,
                     std::span<const std::uint8_t> payload, std::int64_t time_ns) {
  const std::span<SwitchState> states =
      std::span(core.switch_states).first(message.extended_mux.switches.size());
  decode::decode_switches(payload, message, states);
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (!states[i].active) continue;
    const SignalRefs group = decode::switch_group(message, i, states[i].value);
    if (group.empty()) continue;
    const auto event = core.ensure_mux_path_event(message, i, states, group);
    if (!event) {
      debug("ensure_mux_event failed: {}", event.error().message());
      continue;
    }
    const auto row = decode::decode_signals(group, payload);
    if (!row) {
      core.metrics->add(Counter::decode_errors);
      continue;
    }
    if (auto logged = (*event)->log_at(*row, time_ns); !logged) {
      debug("mux emit failed: {}", logged.error().message());
    }
  }
}

}  // namespace

void process_frame(DecoderCore& core, const CanFrame& frame) {
  if (frame.is_error_frame) return;
  MetricsCounters& counters = *core.metrics;
  // messages_received and messages_decoded are written here alone, and the core's owner runs one
  // step at a time, so they skip the locked add (a large part of a short step).
  counters.add_serialised(Counter::messages_received);

  // Every non-error frame is observed, known or not, so the first one settles Auto detection.
  const auto mapped = core.timestamps.observe(frame.timestamp);
  const std::int64_t time_ns = mapped ? *mapped : wall_clock_ns();

  if (core.config.log_raw_frames) log_raw_row(core, frame, time_ns);

  // The model's messages through the core's index: the same lookup, which also keeps the base
  // event at hand.
  const MessageKey key{frame.arbitration_id, frame.is_extended_id};
  const auto found = core.message_index.find(key);
  if (found == core.message_index.end()) {
    counters.add(Counter::unknown_messages);
    return;
  }
  // A plain reference: nothing below touches `db`, and the caller holds the core exclusively, so
  // the message outlives the step without the two atomic operations of a counted reference.
  MessageEntry& entry = found->second;
  const MessageSpec& message = *entry.message;
  const std::span<const std::uint8_t> payload = frame.payload();
  if (payload.size() < message.size) {
    counters.add(Counter::decode_errors);
    return;
  }

  const SignalRefs base = decode::base_signals(message);
  if (!base.empty()) {
    if (const auto event = core.ensure_base_event(entry, base); !event) {
      debug("ensure_base_event failed: {}", event.error().message());
    } else if (const auto row = decode::decode_signals(base, payload); !row) {
      counters.add(Counter::decode_errors);
    } else {
      if (auto logged = (*event)->log_at(*row, time_ns); !logged) {
        debug("base emit failed: {}", logged.error().message());
      }
      // Counted whether or not the SDK took the row.
      counters.add_serialised(Counter::messages_decoded);
    }
  }

  if (!message.is_multiplexed) return;
  if (!message.extended_mux.empty()) {
    log_switch_rows(core, message, payload, time_ns);
    return;
  }
  const auto selection = decode::decode_mux_signals(payload, message);
  if (!selection) return;
  const auto event = core.ensure_mux_event(message, *selection->multiplexor, selection->signals,
                                           selection->selector);
  if (!event) {
    debug("ensure_mux_event failed: {}", event.error().message());
    return;
  }
  const auto row = decode::decode_signals(selection->signals, payload);
  if (!row) {
    counters.add(Counter::decode_errors);
    return;
  }
  if (auto logged = (*event)->log_at(*row, time_ns); !logged) {
    debug("mux emit failed: {}", logged.error().message());
  }
}

}  // namespace orvik
