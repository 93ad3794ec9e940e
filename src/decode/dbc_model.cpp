// Decode model building: long names from BA_, value tables from VAL_, IEEE flags from SIG_VALTYPE_.
#include "decode/dbc_model.hpp"

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/log.hpp"
#include "decode/events.hpp"
#include "decode/scaling.hpp"

namespace orvik::dbc {

namespace {

// Signals are referred to by (BO_ identifier as written, SG_ name).
using SignalRef = std::pair<std::uint32_t, std::string>;
template <class T>
using BySignal = boost::unordered_flat_map<SignalRef, T, boost::hash<SignalRef>>;

// The name DBC editors give the container of signals assigned to no message: not a message.
constexpr std::string_view kPlaceholderMessage = "VECTOR__INDEPENDENT_SIG_MSG";

bool is_placeholder(const ParsedMessage& message) { return message.name == kPlaceholderMessage; }

void warn_signal(const std::string& message, const std::string& signal, std::string_view text) {
  log::event_with(
      log::Level::Warn, kLogTarget,
      [&] { return std::vector<log::Field>{{"message", message}, {"signal", signal}}; }, "{}",
      text);
}

// Every event schema starts with the row time under this name; a signal of the same name would
// make its message's schema hold the name twice and every row of it be refused.
bool clashes_with_time_column(const std::string& message, const std::string& signal) {
  if (signal != decode::kTimeColumn) return false;
  warn_signal(message, signal, "skipping SG_ entry named like the time_ns column");
  return true;
}

SignalType sized(std::uint32_t size, SignalType up_to_8, SignalType up_to_16,
                 SignalType up_to_32) {
  return size <= 8 ? up_to_8 : size <= 16 ? up_to_16 : up_to_32;
}

// The type by width, sign and the offset's sign alone, as the columns were first laid out.
SignalType listed_type(std::uint32_t size, bool is_signed, double factor, double offset) {
  if (factor == 1.0 && offset == 0.0 && size <= 32) {
    return is_signed ? sized(size, SignalType::Int8, SignalType::Int16, SignalType::Int32)
                     : sized(size, SignalType::UInt8, SignalType::UInt16, SignalType::UInt32);
  }
  const bool wide = size > 32;
  if (is_signed || offset < 0.0) return wide ? SignalType::Int64 : SignalType::Int32;
  return wide ? SignalType::UInt64 : SignalType::UInt32;
}

}  // namespace

TypeChoice choose_signal_type(std::uint32_t size, bool is_signed, double factor, double offset,
                              bool ieee) {
  const SignalType float_type = size <= 32 ? SignalType::Float32 : SignalType::Float64;
  if (ieee) return {true, float_type};
  // NaN != trunc(NaN), so a NaN factor or offset counts as fractional.
  if (factor != std::trunc(factor) || offset != std::trunc(offset)) return {false, float_type};
  // A column keeps its first type wherever that holds every value, as stored traces rely on it;
  // only where it would cut or clamp some does it widen to 64 bits, signed when a value lies
  // below 0.
  const SignalType listed = listed_type(size, is_signed, factor, offset);
  if (size > 64) return {false, listed};  // no value is ever decoded from such a field
  const auto range = decode::integer_value_range(size, is_signed, factor, offset);
  if (!range) return {false, SignalType::Float64};  // infinite, or beyond 64 bits
  if (decode::holds(listed, *range)) return {false, listed};
  const SignalType wide = range->lo < 0 ? SignalType::Int64 : SignalType::UInt64;
  return {false, decode::holds(wide, *range) ? wide : SignalType::Float64};
}

// Bit 31 marks an extended identifier. Some files write 29-bit identifiers without it; keeping
// only the low 16 bits of those would merge unrelated messages under one key and never match
// their frames, so anything above 16 bits is read as extended too.
MessageKey message_key(std::uint32_t dbc_id) {
  if (dbc_id & 0x80000000u || dbc_id > 0xFFFFu) return {dbc_id & 0x1FFFFFFFu, true};
  return {dbc_id, false};
}

namespace {

// What the statements after BO_ say about each signal, looked up while the signals are built.
struct SignalIndexes {
  BySignal<std::string> long_names;
  BySignal<std::vector<std::pair<std::uint64_t, std::string>>*> value_descriptions;
  BySignal<std::uint64_t> value_types;
  BySignal<const ParsedExtendedMux*> extended_mux;
};

SignalIndexes index_signal_statements(ParsedDbc& items) {
  SignalIndexes indexes;
  for (auto& attribute : items.attribute_values) {
    if (attribute.object != AttributeObject::signal || attribute.name != "SystemSignalLongSymbol") {
      continue;
    }
    if (auto* text = std::get_if<std::string>(&attribute.value)) {
      indexes.long_names.insert_or_assign(
          SignalRef{attribute.message_id, std::move(attribute.signal_name)}, std::move(*text));
    }
  }
  // The first VAL_ and the first SIG_VALTYPE_ of a signal count; later ones are ignored.
  for (auto& vd : items.value_descriptions) {
    indexes.value_descriptions.try_emplace(SignalRef{vd.message_id, vd.signal_name}, &vd.values);
  }
  for (const auto& vt : items.value_types) {
    indexes.value_types.try_emplace(SignalRef{vt.message_id, vt.signal_name}, vt.value);
  }
  // The first SG_MUL_VAL_ of a signal counts, as for VAL_.
  for (const auto& em : items.extended_mux) {
    indexes.extended_mux.try_emplace(SignalRef{em.message_id, em.signal_name}, &em);
  }
  return indexes;
}

// Sets the signal's multiplexing from its indicator; true when it selects sub-events.
bool read_mux_indicator(const ParsedSignal& sg, const std::string& message, SignalSpec& spec) {
  switch (sg.mux) {
    case MuxIndicator::none:
      return false;
    case MuxIndicator::bare:
      // A lone m selects nothing; what it evidently means is M, and read so the signals it
      // gates decode instead of being silently lost.
      warn_signal(message, sg.name, "bare m multiplex indicator read as the multiplexor M");
      [[fallthrough]];
    case MuxIndicator::multiplexor:
      spec.mux_kind = MuxKind::multiplexor;
      return true;
    case MuxIndicator::multiplexed_multiplexor:
      spec.mux_kind = MuxKind::multiplexed;
      spec.switch_value = sg.switch_value;
      return true;
    case MuxIndicator::multiplexed:
      spec.mux_kind = MuxKind::multiplexed;
      spec.switch_value = sg.switch_value;
      return false;
  }
  return false;
}

void choose_type(const ParsedSignal& sg, const SignalRef& ref, const std::string& message,
                 const SignalIndexes& indexes, SignalSpec& spec) {
  const auto vt = indexes.value_types.find(ref);
  const bool ieee = vt != indexes.value_types.end() && vt->second != 0;
  if (ieee && sg.size != 16 && sg.size != 32 && sg.size != 64) {
    log::event_with(
        log::Level::Warn, kLogTarget,
        [&] {
          return std::vector<log::Field>{
              {"message", message}, {"signal", ref.second}, {"size", std::uint64_t{sg.size}}};
        },
        "SIG_VALTYPE_ marks signal as IEEE float but size is not 16, 32, or 64; no canonical "
        "IEEE binary format exists at this width \u2014 frames carrying this signal will "
        "produce decode errors");
  }
  const TypeChoice type = choose_signal_type(sg.size, sg.is_signed, sg.factor, sg.offset, ieee);
  spec.is_float = type.is_float;
  spec.signal_type = type.signal_type;
}

// Which switch selects each multiplexed signal, by which values: its SG_MUL_VAL_ when that names a
// signal of the message, else the message's last multiplexor other than itself by the signal's own
// switch value.
struct Selection {
  std::uint32_t signal;
  std::uint32_t by;
  std::vector<SwitchRange> ranges;
};

std::vector<Selection> selections(const MessageSpec& message,
                                  std::optional<std::size_t> earlier_multiplexor,
                                  std::uint32_t parsed_id,
                                  const std::vector<std::string>& sg_names,
                                  const SignalIndexes& indexes) {
  boost::unordered_flat_map<std::string_view, std::uint32_t> by_sg_name;
  for (std::uint32_t i = 0; i < sg_names.size(); ++i) by_sg_name.emplace(sg_names[i], i);
  std::vector<Selection> out;
  SignalRef lookup{parsed_id, {}};
  for (std::uint32_t i = 0; i < message.signals.size(); ++i) {
    const SignalSpec& s = message.signals[i];
    if (s.mux_kind != MuxKind::multiplexed) continue;
    lookup.second = sg_names[i];
    if (const auto line = indexes.extended_mux.find(lookup); line != indexes.extended_mux.end()) {
      if (const auto by = by_sg_name.find(line->second->switch_name); by != by_sg_name.end()) {
        std::vector<SwitchRange> ranges;
        for (const auto& [low, high] : line->second->ranges) ranges.push_back({low, high});
        out.push_back({i, by->second, std::move(ranges)});
        continue;
      }
    }
    // A multiplexor never selects itself: an m1M that is the last one follows the one before it.
    // A message's only multiplexor, when it is an m1M, keeps the single-multiplexor pick.
    std::optional<std::size_t> by = message.multiplexor_index;
    if (by == i && earlier_multiplexor) by = earlier_multiplexor;
    if (by) out.push_back({i, static_cast<std::uint32_t>(*by), {{s.switch_value, s.switch_value}}});
  }
  return out;
}

// Deeper switches are left out with what they select: nested names and paths grow with the depth,
// and a DBC could chain thousands of switches.
constexpr std::uint32_t kMaxSwitchDepth = 32;

// Marks named each switch of `group` (switches selected by one switch) that one of its values
// could share with another of them: one sorted pass over their ranges, however many they are.
void name_overlapping(ExtendedMux& mux, std::span<const std::uint32_t> group) {
  struct Span {
    std::uint64_t low;
    std::uint64_t high;
    std::uint32_t sw;
  };
  std::vector<Span> spans;
  for (const std::uint32_t sw : group) {
    const MuxMember& m = mux.members[mux.switches[sw].member];
    for (std::uint32_t r = m.ranges_begin; r < m.ranges_end; ++r) {
      if (mux.ranges[r].low <= mux.ranges[r].high) {
        spans.push_back({mux.ranges[r].low, mux.ranges[r].high, sw});
      }
    }
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.low < b.low; });
  // A span meets another switch's span before it when the highest end among those reaches it,
  // and one after it when the lowest start among those does: the best two of distinct switches.
  struct Best {
    std::uint64_t value = 0;
    std::uint32_t sw = kTopSwitch;
  };
  const auto keep = [](Best (&best)[2], std::uint64_t value, std::uint32_t sw, auto better) {
    if (best[0].sw == sw) {
      if (better(value, best[0].value)) best[0].value = value;
    } else if (best[0].sw == kTopSwitch || better(value, best[0].value)) {
      best[1] = best[0];
      best[0] = {value, sw};
    } else if (best[1].sw == kTopSwitch || better(value, best[1].value)) {
      best[1] = {value, sw};
    }
  };
  const auto other = [](const Best (&best)[2], std::uint32_t sw) -> const Best& {
    return best[0].sw != sw ? best[0] : best[1];
  };
  Best before[2];
  for (const Span& s : spans) {
    const Best& b = other(before, s.sw);
    if (b.sw != kTopSwitch && b.value >= s.low) mux.switches[s.sw].named = true;
    keep(before, s.high, s.sw, std::greater<>());
  }
  Best after[2];
  for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
    const Best& a = other(after, s->sw);
    if (a.sw != kTopSwitch && a.value <= s->high) mux.switches[s->sw].named = true;
    keep(after, s->low, s->sw, std::less<>());
  }
}

// Extended multiplexing of a message, or nothing when its multiplexor alone selects every
// multiplexed signal by that signal's own switch value.
ExtendedMux extended_mux(const MessageSpec& message, const std::vector<Selection>& chosen) {
  ExtendedMux mux;
  const bool single = std::all_of(chosen.begin(), chosen.end(), [&](const Selection& c) {
    const std::uint64_t v = message.signals[c.signal].switch_value;
    return c.by == message.multiplexor_index && c.ranges == std::vector<SwitchRange>{{v, v}};
  });
  if (single) return mux;

  boost::unordered_flat_map<std::uint32_t, const Selection*> own;  // a signal's own selection
  boost::unordered_flat_map<std::uint32_t, std::vector<const Selection*>> selected_by;
  std::vector<std::uint32_t> switch_signals;
  for (const Selection& c : chosen) {
    own.emplace(c.signal, &c);
    selected_by[c.by].push_back(&c);
    switch_signals.push_back(c.by);
  }
  std::sort(switch_signals.begin(), switch_signals.end());
  switch_signals.erase(std::unique(switch_signals.begin(), switch_signals.end()),
                       switch_signals.end());
  // The switch above each switch; a chain that leads back to where it started is cut there, so a
  // switch that selects itself (an m1M read against itself) stands at the top. Each chain is
  // walked once: it stops at a switch an earlier walk passed.
  boost::unordered_flat_set<std::uint32_t> on_cycle;
  boost::unordered_flat_map<std::uint32_t, bool> walked;  // false while on the current walk
  std::vector<std::uint32_t> walk;
  for (const std::uint32_t signal : switch_signals) {
    walk.clear();
    for (std::uint32_t at = signal;;) {
      if (const auto seen = walked.find(at); seen != walked.end()) {
        if (!seen->second) {
          on_cycle.insert(std::find(walk.begin(), walk.end(), at), walk.end());
        }
        break;
      }
      walked.emplace(at, false);
      walk.push_back(at);
      const auto up = own.find(at);
      if (up == own.end()) break;
      at = up->second->by;
    }
    for (const std::uint32_t w : walk) walked[w] = true;
  }
  boost::unordered_flat_map<std::uint32_t, std::vector<std::uint32_t>> below;  // in signal order
  std::vector<std::uint32_t> tops;
  for (const std::uint32_t signal : switch_signals) {
    const auto first = own.find(signal);
    if (first == own.end() || on_cycle.contains(signal)) {
      tops.push_back(signal);
    } else {
      below[first->second->by].push_back(signal);
    }
  }

  // Depth-first from the top switches, each switch's children in signal order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // (signal, parent switch)
  for (auto s = tops.rbegin(); s != tops.rend(); ++s) stack.emplace_back(*s, kTopSwitch);
  boost::unordered_flat_map<std::uint32_t, std::uint32_t> member_of;  // signal -> its member
  bool too_deep = false;
  while (!stack.empty()) {
    const auto [signal, parent] = stack.back();
    stack.pop_back();
    const std::uint32_t depth = parent == kTopSwitch ? 0 : mux.switches[parent].depth + 1;
    if (depth >= kMaxSwitchDepth) {
      too_deep = true;
      continue;
    }
    const auto index = static_cast<std::uint32_t>(mux.switches.size());
    MuxSwitch& sw = mux.switches.emplace_back();
    sw.signal = signal;
    sw.parent = parent;
    sw.depth = depth;
    // A switch below the top has its own selection among its parent's members.
    if (parent != kTopSwitch) sw.member = member_of.at(signal);
    sw.members_begin = static_cast<std::uint32_t>(mux.members.size());
    for (const Selection* c : selected_by[signal]) {
      member_of.emplace(c->signal, static_cast<std::uint32_t>(mux.members.size()));
      mux.members.push_back({c->signal, static_cast<std::uint32_t>(mux.ranges.size()),
                             static_cast<std::uint32_t>(mux.ranges.size() + c->ranges.size())});
      mux.ranges.insert(mux.ranges.end(), c->ranges.begin(), c->ranges.end());
    }
    sw.members_end = static_cast<std::uint32_t>(mux.members.size());
    if (const auto children = below.find(signal); children != below.end()) {
      for (auto s = children->second.rbegin(); s != children->second.rend(); ++s) {
        stack.emplace_back(*s, index);
      }
    }
  }
  if (too_deep) {
    log::event(log::Level::Warn, kLogTarget,
               "message {}: multiplexors nested more than {} deep select nothing", message.name,
               kMaxSwitchDepth);
  }

  // Two switches at the top, or two selected by one value of the same switch, could name their
  // sub-events alike.
  boost::unordered_flat_map<std::uint32_t, std::vector<std::uint32_t>> siblings;
  for (std::uint32_t i = 0; i < mux.switches.size(); ++i) {
    if (mux.switches[i].parent != kTopSwitch) siblings[mux.switches[i].parent].push_back(i);
  }
  for (const auto& [parent, group] : siblings) name_overlapping(mux, group);
  const bool several_tops = tops.size() > 1;
  for (MuxSwitch& sw : mux.switches) {
    if (sw.parent == kTopSwitch) sw.named = several_tops;
    const auto used = std::span(mux.ranges).subspan(
        mux.members[sw.members_begin].ranges_begin,
        mux.members[sw.members_end - 1].ranges_end - mux.members[sw.members_begin].ranges_begin);
    sw.decimal_suffixes =
        decode::decimal_suffixes(message.signals[sw.signal].value_table, used, true);
  }
  return mux;
}

std::shared_ptr<MessageSpec> build_message(ParsedMessage& parsed, const SignalIndexes& indexes) {
  auto message = std::make_shared<MessageSpec>();
  const MessageKey key = message_key(parsed.id);
  message->name = std::move(parsed.name);
  message->id = key.id;
  message->is_extended = key.is_extended;
  message->size = static_cast<std::uint8_t>(parsed.size & 0xFF);
  message->signals.reserve(parsed.signals.size());
  boost::unordered_flat_set<std::string> seen;
  std::vector<std::string> sg_names;  // of the signals kept, as SG_MUL_VAL_ names them
  std::optional<std::size_t> earlier_multiplexor;  // the one before the last
  SignalRef lookup;
  lookup.first = parsed.id;

  for (auto& sg : parsed.signals) {
    SignalSpec spec;
    const bool is_multiplexor = read_mux_indicator(sg, message->name, spec);
    if (spec.mux_kind != MuxKind::plain) message->is_multiplexed = true;

    lookup.second = std::move(sg.name);
    choose_type(sg, lookup, message->name, indexes, spec);
    if (auto vd = indexes.value_descriptions.find(lookup);
        vd != indexes.value_descriptions.end()) {
      for (auto& [value, label] : *vd->second) spec.value_table.insert_or_assign(value, label);
    }

    auto long_name = indexes.long_names.find(lookup);
    spec.name = long_name != indexes.long_names.end() ? long_name->second : lookup.second;
    if (clashes_with_time_column(message->name, spec.name)) continue;
    if (!seen.insert(spec.name).second) {
      warn_signal(message->name, spec.name, "skipping duplicate SG_ entry");
      continue;
    }

    spec.unit = std::move(sg.unit);
    spec.factor = sg.factor;
    spec.offset = sg.offset;
    spec.start_bit = sg.start_bit;
    spec.size = sg.size;
    spec.byte_order = sg.byte_order;
    spec.is_signed = sg.is_signed;
    decode::plan_conversion(spec);
    if (is_multiplexor) {
      earlier_multiplexor = std::exchange(message->multiplexor_index, message->signals.size());
    }
    message->signals.push_back(std::move(spec));
    sg_names.push_back(std::move(lookup.second));
  }
  if (!message->is_multiplexed) return message;
  const std::vector<Selection> chosen =
      selections(*message, earlier_multiplexor, parsed.id, sg_names, indexes);
  std::vector<SwitchRange> used;
  for (const Selection& c : chosen) {
    if (c.by != message->multiplexor_index) continue;
    used.insert(used.end(), c.ranges.begin(), c.ranges.end());
  }
  if (message->multiplexor_index) {
    message->decimal_suffixes = decode::decimal_suffixes(
        message->signals[*message->multiplexor_index].value_table, used);
  }
  message->extended_mux = extended_mux(*message, chosen);
  return message;
}

}  // namespace

struct DecodeDbBuilder {
  static DecodeDb build(ParsedDbc&& items);
};

DecodeDb build_decode_db(ParsedDbc&& items) { return DecodeDbBuilder::build(std::move(items)); }

DecodeDb DecodeDbBuilder::build(ParsedDbc&& items) {
  const SignalIndexes indexes = index_signal_statements(items);
  DecodeDb db;
  for (auto& parsed : items.messages) {
    if (is_placeholder(parsed)) continue;
    const MessageKey key = message_key(parsed.id);
    db.messages_.insert_or_assign(key, build_message(parsed, indexes));
  }
  return db;
}

}  // namespace orvik::dbc
