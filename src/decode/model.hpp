// The decode model: messages keyed by (identifier, extended flag), each with its signals.
// Built once by the DBC loader, then shared read-only by the decode steps.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvik {

enum class MuxKind : std::uint64_t { plain = 0, multiplexor = 1, multiplexed = 2 };

enum class SignalType : std::uint8_t {
  Int8 = 0, Int16 = 1, Int32 = 2, Int64 = 3,
  UInt8 = 4, UInt16 = 5, UInt32 = 6, UInt64 = 7,
  Float32 = 8, Float64 = 9,
  Timestamp = 10, Binary = 11, Utf8 = 12, Boolean = 13,
};

enum class ByteOrder : std::uint8_t { intel = 0, motorola = 1 };

using ValueTable = boost::unordered_flat_map<std::uint64_t, std::string>;

// How decoding turns the raw field into the value, chosen once per signal (decode/scaling.hpp).
enum class Conversion : std::uint8_t {
  exact,      // raw * int_factor + int_offset modulo 2^64, cut to the integer column's width
  scaled,     // the raw (or IEEE) value * factor + offset in a double, then cast to the column
  ieee_bits,  // an IEEE field with factor 1 and offset 0: its bits as they are, NaN payloads kept
};

struct SignalSpec {
  // What the per-frame step reads comes first, in 64 bytes: picking a signal and decoding it read
  // both ends of the record (two cache lines) while the names and value table sat between.
  MuxKind mux_kind = MuxKind::plain;
  std::uint64_t switch_value = 0;  // only for MuxKind::multiplexed
  double factor = 1.0;
  double offset = 0.0;
  std::uint32_t start_bit = 0;  // Motorola: position of the most significant bit
  std::uint32_t size = 0;       // bits
  ByteOrder byte_order = ByteOrder::intel;
  bool is_signed = false;
  bool is_float = false;
  SignalType signal_type = SignalType::UInt8;
  Conversion conversion = Conversion::exact;  // these three follow from the fields above
  std::uint64_t int_factor = 1;
  std::uint64_t int_offset = 0;
  std::string name;  // effective name: the long name when the DBC gives one
  std::string unit;
  ValueTable value_table;
};

// Switch values from `low` to `high`, both included.
struct SwitchRange {
  std::uint64_t low;
  std::uint64_t high;
  bool contains(std::uint64_t v) const { return low <= v && v <= high; }
  bool operator==(const SwitchRange&) const = default;
};

inline constexpr std::uint32_t kTopSwitch = 0xFFFFFFFFu;

// A signal that selects others under extended multiplexing.
struct MuxSwitch {
  std::uint32_t signal = 0;              // its index in MessageSpec::signals
  std::uint32_t parent = kTopSwitch;     // the switch that selects it, by index in `switches`
  std::uint32_t member = kTopSwitch;     // its own entry in `members` when it has a parent
  std::uint32_t depth = 0;               // number of switches above it
  std::uint32_t members_begin = 0;       // the signals it selects: members[begin, end)
  std::uint32_t members_end = 0;
  // Its sub-event suffixes start with its name and '=': another switch at the same place could
  // give the same names.
  bool named = false;
  // Switch values whose label would not name their sub-event uniquely: named by the decimal.
  boost::unordered_flat_set<std::uint64_t> decimal_suffixes;
};

// A multiplexed signal and the switch values that select it.
struct MuxMember {
  std::uint32_t signal = 0;
  std::uint32_t ranges_begin = 0;  // ranges[begin, end)
  std::uint32_t ranges_end = 0;
};

// Multiplexing beyond one multiplexor selecting by single values: several switches, switches
// nested in others, or value ranges (SG_MUL_VAL_). Empty for every other message, which keeps
// the single-multiplexor pick.
struct ExtendedMux {
  std::vector<MuxSwitch> switches;  // every parent before its children
  std::vector<MuxMember> members;   // grouped by switch in switch order, each in signal order
  std::vector<SwitchRange> ranges;

  bool empty() const { return switches.empty(); }
  bool selects(const MuxMember& m, std::uint64_t value) const {
    for (std::uint32_t r = m.ranges_begin; r < m.ranges_end; ++r) {
      if (ranges[r].contains(value)) return true;
    }
    return false;
  }
};

struct MessageSpec {
  std::optional<std::size_t> multiplexor_index;
  std::string name;
  std::vector<SignalSpec> signals;  // DBC order, duplicates removed
  std::uint32_t id = 0;             // without the extended marker bit
  bool is_extended = false;
  bool is_multiplexed = false;
  std::uint8_t size = 0;  // bytes, modulo 256
  // Switch values whose multiplexor label would not name their sub-event uniquely (empty,
  // repeated, or digits other than the value's own decimal): these are named by their decimal.
  boost::unordered_flat_set<std::uint64_t> decimal_suffixes;
  ExtendedMux extended_mux;
};

struct MessageKey {
  std::uint32_t id;
  bool is_extended;
  bool operator==(const MessageKey&) const = default;
};

// The hash of every map keyed by MessageKey: a multiplicative hash, folded so that the low byte
// (a flat map's slot tag) depends on the high half too; the top bits pick the group. Declared
// avalanching, so the maps take it as it is instead of mixing it again: the message index hashes
// a key for every frame. It is no full bit mixer, but on the identifier sets of real DBC files and
// on sequential, strided and J1939 ranges it spreads keys over groups and tags as evenly as a
// random hash. Distinct keys never collide: both steps are invertible.
struct MessageKeyHash {
  using is_avalanching = void;
  std::size_t operator()(const MessageKey& k) const noexcept {
    const std::uint64_t h =
        (static_cast<std::uint64_t>(k.id) << 1 | k.is_extended) * 0x9E3779B97F4A7C15ull;
    return h ^ h >> 32;
  }
};

using MessageMap =
    boost::unordered_flat_map<MessageKey, std::shared_ptr<const MessageSpec>, MessageKeyHash>;

}  // namespace orvik
