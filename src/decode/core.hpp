// DecoderCore: one decoder's model, timestamp state, SDK sources, registered events and counters,
// with the steps that register events on first use or all at once.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "decode/dbc.hpp"
#include "decode/metrics.hpp"
#include "decode/model.hpp"
#include "decode/row_lists.hpp"
#include "decode/timestamp.hpp"
#include "sdk/handles.hpp"

namespace orvik {

// Where a decoder's DBC comes from.
struct DbcSource {
  struct File {
    std::string path;
  };
  struct Bytes {
    std::vector<std::uint8_t> data;  // UTF-8 text, checked when the core is built
  };
  struct None {};

  std::variant<File, Bytes, None> source = None{};
};

// The constructors' settings, kept whole in the core.
struct DecoderConfig {
  DbcSource dbc;
  std::string source_name;
  bool log_raw_frames = false;
  TimestampMode timestamp_mode = TimestampMode::Auto;
};

// Cache key of a multiplexed event: one per message and switch value.
struct MuxEventKey {
  std::uint32_t id;
  bool is_extended;
  std::uint64_t switch_value;
  bool operator==(const MuxEventKey&) const = default;
};

struct MuxEventKeyHash {
  std::size_t operator()(const MuxEventKey& k) const noexcept {
    const std::uint64_t message = static_cast<std::uint64_t>(k.id) << 1 | k.is_extended;
    return (message * 0x9E3779B97F4A7C15ull) ^ (k.switch_value * 0xC2B2AE3D27D4EB4Full);
  }
};

// Cache key of a sub-event under extended multiplexing: its message, its switch, and the values
// of the switches from the top one down to it. Looked up through MuxPathView, without a copy.
struct MuxPathKey {
  std::uint32_t id;
  bool is_extended;
  std::uint32_t switch_index;
  std::vector<std::uint64_t> path;
};
struct MuxPathView {
  std::uint32_t id;
  bool is_extended;
  std::uint32_t switch_index;
  std::span<const std::uint64_t> path;
};

struct MuxPathHash {
  using is_transparent = void;
  std::size_t operator()(const MuxPathView& k) const noexcept {
    std::uint64_t h = (static_cast<std::uint64_t>(k.id) << 1 | k.is_extended) ^
                      static_cast<std::uint64_t>(k.switch_index) << 33;
    for (const std::uint64_t v : k.path) h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    return h ^ h >> 29;
  }
  std::size_t operator()(const MuxPathKey& k) const noexcept {
    return (*this)(MuxPathView{k.id, k.is_extended, k.switch_index, k.path});
  }
};
struct MuxPathEqual {
  using is_transparent = void;
  static MuxPathView view(const MuxPathView& k) { return k; }
  static MuxPathView view(const MuxPathKey& k) {
    return {k.id, k.is_extended, k.switch_index, k.path};
  }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    const MuxPathView x = view(a), y = view(b);
    return x.id == y.id && x.is_extended == y.is_extended && x.switch_index == y.switch_index &&
           std::equal(x.path.begin(), x.path.end(), y.path.begin(), y.path.end());
  }
};

using BaseEventMap = boost::unordered_flat_map<MessageKey, sdk::SdkAbiEvent, MessageKeyHash>;

// What the per-frame step finds for a frame in one probe: its message, and the message's base
// event once the step has used it (a pointer into `base_events`, which is sized for every message
// of the model at construction and so never moves its events).
struct MessageEntry {
  const MessageSpec* message;
  const sdk::SdkAbiEvent* base_event = nullptr;
};
using MessageIndex = boost::unordered_flat_map<MessageKey, MessageEntry, MessageKeyHash>;
using MuxEventMap = boost::unordered_flat_map<MuxEventKey, sdk::SdkAbiEvent, MuxEventKeyHash>;
using MuxPathEventMap =
    boost::unordered_flat_map<MuxPathKey, sdk::SdkAbiEvent, MuxPathHash, MuxPathEqual>;

// A signal list as registration takes it: the per-frame picks (at most 64) or a full up-front
// group (no limit).
using SignalList = std::span<const SignalSpec* const>;

// Used by one thread at a time: its owner provides the exclusion.
struct DecoderCore {
  TimestampMapper timestamps;
  dbc::DecodeDb db;
  DecoderConfig config;
  sdk::SourceHandle src;
  std::optional<sdk::SourceHandle> raw_src;
  BaseEventMap base_events;
  MuxEventMap mux_events;
  std::optional<sdk::SdkAbiEvent> raw_event;
  SharedCounters metrics;
  // Every message of `db`, for the per-frame lookup; holds no handles.
  MessageIndex message_index;
  // Sub-events of messages with extended multiplexing, registered so far.
  MuxPathEventMap mux_path_events;
  // Room for one frame's switch states and one sub-event's path, sized for the model's largest
  // message, so the per-frame step allocates nothing for them.
  std::vector<SwitchState> switch_states;
  std::vector<std::uint64_t> switch_path;

  // Builds the decode model from `config.dbc` and takes ownership of the sources. On failure
  // both sources have been released (raw first) before the error returns.
  static Result<DecoderCore> create(DecoderConfig config, sdk::SourceHandle src,
                                    std::optional<sdk::SourceHandle> raw_src);

  DecoderCore(DecoderCore&&) noexcept = default;
  // Member-wise, in declaration order: the same order as the destructor's releases.
  DecoderCore& operator=(DecoderCore&&) noexcept = default;
  DecoderCore(const DecoderCore&) = delete;
  DecoderCore& operator=(const DecoderCore&) = delete;
  // Releases the model, the config, the sources, then the events, then the counters, so every
  // source goes before the events registered on it.
  ~DecoderCore();

  // "can_raw" on `raw_src`, registered once. Only for a core that logs raw frames.
  Result<const sdk::SdkAbiEvent*> ensure_raw_event();
  // The base event of `message` with `signals` as columns, registered on first need.
  Result<const sdk::SdkAbiEvent*> ensure_base_event(const MessageSpec& message, SignalList signals);
  // The same for the message of `entry`, remembered in the entry: the per-frame step's form,
  // without a second lookup per frame. Inline, so that once remembered it costs one test.
  Result<const sdk::SdkAbiEvent*> ensure_base_event(MessageEntry& entry, SignalList signals) {
    if (entry.base_event != nullptr) return entry.base_event;
    return remember_base_event(entry, signals);
  }
  // The event of `message` for one switch value, registered on first need.
  Result<const sdk::SdkAbiEvent*> ensure_mux_event(const MessageSpec& message,
                                                   const SignalSpec& multiplexor,
                                                   SignalList signals, std::uint64_t switch_value);
  // The sub-event of switch `index` of a message with extended multiplexing, at the values the
  // switches above it and itself have in `states`, registered on first need.
  Result<const sdk::SdkAbiEvent*> ensure_mux_path_event(const MessageSpec& message,
                                                        std::size_t index,
                                                        std::span<const SwitchState> states,
                                                        SignalList signals);
  // Registers "can_raw" (when logged) and every event of the model; stops at the first error,
  // keeping what registered before it.
  Status emit_schemas();

 private:
  DecoderCore(DecoderConfig config, dbc::DecodeDb db, sdk::SourceHandle src,
              std::optional<sdk::SourceHandle> raw_src);
  Result<const sdk::SdkAbiEvent*> remember_base_event(MessageEntry& entry, SignalList signals);
  Result<const sdk::SdkAbiEvent*> ensure_path_event(const MessageSpec& message, std::size_t index,
                                                    std::span<const std::uint64_t> path,
                                                    SignalList signals);
  // `left`: how many more sub-events the model may register up front.
  Status emit_switch_schemas(const MessageSpec& message, std::size_t index,
                             std::vector<std::uint64_t>& path, std::size_t& left);
};

// Registers `name` on `source` with one column per signal, then attaches every non-empty value
// table; a refused value table is logged and skipped, never failing the registration.
Result<sdk::SdkAbiEvent> register_event(const sdk::SourceHandle& source, std::string_view name,
                                        SignalList signals);

}  // namespace orvik
