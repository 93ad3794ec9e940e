// Building a decoder core and registering its events with the trace SDK.
#include "decode/core.hpp"

#include <fmt/format.h>

#include <limits>
#include <utility>

#include "common/log.hpp"
#include "common/text.hpp"
#include "decode/dbc_parse.hpp"
#include "decode/events.hpp"
#include "decode/signal.hpp"

namespace orvik {
namespace {

constexpr std::string_view kTarget = "orvik_can_decode::codec";

Result<dbc::DecodeDb> load_model(const DbcSource& dbc) {
  if (const auto* file = std::get_if<DbcSource::File>(&dbc.source)) {
    return with_context(dbc::DecodeDb::from_file(file->path),
                        "Failed to load DBC database from file");
  }
  if (const auto* bytes = std::get_if<DbcSource::Bytes>(&dbc.source)) {
    const std::string_view text(reinterpret_cast<const char*>(bytes->data.data()),
                                bytes->data.size());
    if (const auto bad = utf8_error(text)) {
      return fail(Error("DBC bytes are not valid UTF-8", Error(dbc::utf8_message(*bad))));
    }
    return with_context(dbc::DecodeDb::from_dbc_str(text), "Failed to parse DBC from bytes");
  }
  return dbc::DecodeDb();
}

using SwitchGroups = std::vector<std::pair<std::uint64_t, std::vector<const SignalSpec*>>>;

// The multiplexed signals of `message` grouped by switch value in one pass: each group in signal
// order, the groups in the order their values first appear. Up front the whole group becomes
// columns: the 64-signal cap belongs to per-frame picks.
SwitchGroups switch_groups(const MessageSpec& message) {
  SwitchGroups groups;
  boost::unordered_flat_map<std::uint64_t, std::size_t> index;  // switch value -> its group
  for (const SignalSpec& signal : message.signals) {
    if (signal.mux_kind != MuxKind::multiplexed) continue;
    const auto [at, added] = index.try_emplace(signal.switch_value, groups.size());
    if (added) groups.emplace_back(signal.switch_value, std::vector<const SignalSpec*>{});
    groups[at->second].second.push_back(&signal);
  }
  return groups;
}

// Up front, a range of switch values registers at most this many of its values, from its low
// end, and the model at most kUpFrontPathEvents sub-events in all (nested ranges multiply, and a
// small DBC can hold many messages); the others register on first use.
constexpr std::uint64_t kUpFrontRangeValues = 256;
constexpr std::size_t kUpFrontPathEvents = 4096;

// The lowest `limit` values switch `sw` registers up front, ascending. Its ranges are merged in
// order rather than spelled out: one SG_MUL_VAL_ line can hold thousands of them.
std::vector<std::uint64_t> listed_values(const ExtendedMux& mux, const MuxSwitch& sw,
                                         std::size_t limit) {
  std::vector<SwitchRange> spans;  // each range cut to its first kUpFrontRangeValues values
  for (std::uint32_t m = sw.members_begin; m < sw.members_end; ++m) {
    for (std::uint32_t r = mux.members[m].ranges_begin; r < mux.members[m].ranges_end; ++r) {
      const SwitchRange range = mux.ranges[r];
      if (range.low > range.high) continue;
      spans.push_back({range.low, range.high - range.low < kUpFrontRangeValues
                                      ? range.high
                                      : range.low + (kUpFrontRangeValues - 1)});
    }
  }
  std::sort(spans.begin(), spans.end(),
            [](const SwitchRange& a, const SwitchRange& b) { return a.low < b.low; });
  std::vector<std::uint64_t> values;
  std::uint64_t next = 0;  // every value below it is taken or in no span
  for (const SwitchRange& span : spans) {
    if (values.size() == limit) break;
    if (span.high < next) continue;
    for (std::uint64_t v = std::max(span.low, next); values.size() < limit; ++v) {
      values.push_back(v);
      if (v == span.high) break;
    }
    if (span.high == std::numeric_limits<std::uint64_t>::max()) break;
    next = span.high + 1;
  }
  return values;
}

}  // namespace

DecoderCore::DecoderCore(DecoderConfig config_in, dbc::DecodeDb db_in, sdk::SourceHandle src_in,
                         std::optional<sdk::SourceHandle> raw_src_in)
    : timestamps(config_in.timestamp_mode),
      db(std::move(db_in)),
      config(std::move(config_in)),
      src(std::move(src_in)),
      raw_src(std::move(raw_src_in)),
      metrics(std::make_shared<MetricsCounters>()) {
  // Room for a base event of every message, so that registering one never moves the others
  // that message_index points at.
  base_events.reserve(db.size());
  message_index.reserve(db.size());
  std::size_t switches = 0, depth = 0;
  for (const auto& [key, message] : db.messages()) {
    message_index.emplace(key, MessageEntry{message.get()});
    for (const MuxSwitch& sw : message->extended_mux.switches) {
      switches = std::max(switches, message->extended_mux.switches.size());
      depth = std::max<std::size_t>(depth, sw.depth + 1);
    }
  }
  switch_states.resize(switches);
  switch_path.resize(depth);
}

Result<DecoderCore> DecoderCore::create(DecoderConfig config, sdk::SourceHandle src,
                                        std::optional<sdk::SourceHandle> raw_src) {
  auto model = load_model(config.dbc);
  std::optional<Error> error;
  if (!model) {
    error = std::move(model.error());
  } else if (config.log_raw_frames && !raw_src) {
    error = Error("log_raw_frames=true requires a raw_src sink");
  }
  if (error) {
    // Parameters die in an order the language leaves open; release them in the documented one.
    model = dbc::DecodeDb();
    raw_src.reset();
    { const sdk::SourceHandle released = std::move(src); }
    return fail(std::move(*error));
  }
  return DecoderCore(std::move(config), std::move(*model), std::move(src), std::move(raw_src));
}

DecoderCore::~DecoderCore() {
  // Explicit, because the fields keep their documented order while the releases follow another.
  db = dbc::DecodeDb();
  config = DecoderConfig();
  { const sdk::SourceHandle released = std::move(src); }
  raw_src.reset();
  base_events.clear();
  mux_events.clear();
  mux_path_events.clear();
  raw_event.reset();
  metrics.reset();
  message_index.clear();
}

Result<sdk::SdkAbiEvent> register_event(const sdk::SourceHandle& source, std::string_view name,
                                        SignalList signals) {
  auto event = sdk::add_event(source, name, decode::message_schema(signals));
  if (!event) return fail(std::move(event.error()).context(fmt::format("add_event('{}')", name)));

  std::vector<sdk::ValueLabel> pairs;
  for (const SignalSpec* signal : signals) {
    if (signal->value_table.empty()) continue;
    pairs.clear();
    for (const auto& [key, label] : signal->value_table) pairs.push_back({key, label});
    auto added = sdk::add_value_table(event->event(), signal->name, pairs);
    if (!added && log::enabled(log::Level::Debug, kTarget)) {
      const Error wrapped = added.error().to_error().context(
          fmt::format("evt.add_value_table('{}')", signal->name));
      log::event(log::Level::Debug, kTarget, "add_value_table({}.{}) failed: {}", name,
                 signal->name, wrapped.message());
    }
  }
  return event;
}

Result<const sdk::SdkAbiEvent*> DecoderCore::ensure_raw_event() {
  if (raw_event) return &*raw_event;
  if (!raw_src) {
    return fail(Error("add_event('can_raw')", Error("no raw source was acquired")));
  }
  auto event = sdk::add_event(*raw_src, decode::kRawEventName, decode::raw_frame_schema());
  if (!event) return fail(std::move(event.error()).context("add_event('can_raw')"));
  raw_event.emplace(std::move(*event));
  return &*raw_event;
}

Result<const sdk::SdkAbiEvent*> DecoderCore::ensure_base_event(const MessageSpec& message,
                                                               SignalList signals) {
  const MessageKey key{message.id, message.is_extended};
  if (const auto it = base_events.find(key); it != base_events.end()) return &it->second;
  auto event = register_event(src, decode::event_key(message), signals);
  if (!event) return fail(std::move(event.error()));
  const std::size_t buckets = base_events.bucket_count();
  const sdk::SdkAbiEvent* added = &base_events.emplace(key, std::move(*event)).first->second;
  // Only an event beyond the room made at construction can move the others; the index then
  // forgets where they were and finds them again.
  if (base_events.bucket_count() != buckets) {
    for (auto& [message_key, entry] : message_index) entry.base_event = nullptr;
  }
  return added;
}

Result<const sdk::SdkAbiEvent*> DecoderCore::remember_base_event(MessageEntry& entry,
                                                                 SignalList signals) {
  const auto event = ensure_base_event(*entry.message, signals);
  if (event) entry.base_event = *event;
  return event;
}

Result<const sdk::SdkAbiEvent*> DecoderCore::ensure_mux_event(const MessageSpec& message,
                                                              const SignalSpec& multiplexor,
                                                              SignalList signals,
                                                              std::uint64_t switch_value) {
  const MuxEventKey key{message.id, message.is_extended, switch_value};
  if (const auto it = mux_events.find(key); it != mux_events.end()) return &it->second;
  const std::string suffix = decode::mux_suffix(message, multiplexor, switch_value);
  auto event = register_event(src, decode::event_path(message, suffix), signals);
  if (!event) return fail(std::move(event.error()));
  return &mux_events.emplace(key, std::move(*event)).first->second;
}

Result<const sdk::SdkAbiEvent*> DecoderCore::ensure_mux_path_event(
    const MessageSpec& message, std::size_t index, std::span<const SwitchState> states,
    SignalList signals) {
  const std::vector<MuxSwitch>& switches = message.extended_mux.switches;
  const std::size_t length = switches[index].depth + 1;
  for (std::size_t at = index, k = length; k-- > 0; at = switches[at].parent) {
    switch_path[k] = states[at].value;
  }
  return ensure_path_event(message, index, std::span(switch_path).first(length), signals);
}

Result<const sdk::SdkAbiEvent*> DecoderCore::ensure_path_event(const MessageSpec& message,
                                                               std::size_t index,
                                                               std::span<const std::uint64_t> path,
                                                               SignalList signals) {
  const auto sw = static_cast<std::uint32_t>(index);
  const MuxPathView key{message.id, message.is_extended, sw, path};
  if (const auto it = mux_path_events.find(key); it != mux_path_events.end()) return &it->second;
  auto event = register_event(src, decode::mux_path_name(message, index, path), signals);
  if (!event) return fail(std::move(event.error()));
  MuxPathKey owned{message.id, message.is_extended, sw, {path.begin(), path.end()}};
  return &mux_path_events.emplace(std::move(owned), std::move(*event)).first->second;
}

// Registers the sub-events of switch `index` for every value it lists, below the values `path` of
// the switches above it, then those of the switches each value selects.
Status DecoderCore::emit_switch_schemas(const MessageSpec& message, std::size_t index,
                                        std::vector<std::uint64_t>& path, std::size_t& left) {
  const ExtendedMux& mux = message.extended_mux;
  const MuxSwitch& sw = mux.switches[index];
  for (const std::uint64_t value : listed_values(mux, sw, left)) {
    if (left == 0) break;
    --left;
    path.push_back(value);
    std::vector<const SignalSpec*> group;
    for (std::uint32_t m = sw.members_begin; m < sw.members_end; ++m) {
      const MuxMember& member = mux.members[m];
      if (mux.selects(member, value)) group.push_back(&message.signals[member.signal]);
    }
    if (auto event = ensure_path_event(message, index, path, group); !event) {
      return fail(std::move(event.error()));
    }
    for (std::size_t c = 0; c < mux.switches.size(); ++c) {
      const MuxSwitch& child = mux.switches[c];
      if (child.parent != index || !mux.selects(mux.members[child.member], value)) continue;
      if (auto done = emit_switch_schemas(message, c, path, left); !done) return done;
    }
    path.pop_back();
  }
  return {};
}

Status DecoderCore::emit_schemas() {
  if (config.log_raw_frames) {
    if (auto raw = ensure_raw_event(); !raw) return fail(std::move(raw.error()));
  }
  std::size_t left = kUpFrontPathEvents;  // sub-events of extended multiplexing
  for (const auto& [key, shared_message] : db.messages()) {
    const MessageSpec& message = *shared_message;
    const SignalRefs base = decode::base_signals(message);
    if (!base.empty()) {
      if (auto event = ensure_base_event(message, base); !event) {
        return fail(std::move(event.error()));
      }
    }
    if (!message.extended_mux.empty()) {
      std::vector<std::uint64_t> path;
      for (std::size_t i = 0; i < message.extended_mux.switches.size(); ++i) {
        if (message.extended_mux.switches[i].parent != kTopSwitch) continue;
        if (auto done = emit_switch_schemas(message, i, path, left); !done) return done;
      }
      continue;
    }
    if (!message.is_multiplexed || !message.multiplexor_index ||
        *message.multiplexor_index >= message.signals.size()) {
      continue;
    }
    const SignalSpec& multiplexor = message.signals[*message.multiplexor_index];
    for (const auto& [value, group] : switch_groups(message)) {
      if (auto event = ensure_mux_event(message, multiplexor, group, value); !event) {
        return fail(std::move(event.error()));
      }
    }
  }
  return {};
}

}  // namespace orvik
