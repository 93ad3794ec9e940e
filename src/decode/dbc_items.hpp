// The items read from a DBC text that the decode model is built from, in file order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "decode/model.hpp"

namespace orvik::dbc {

// The multiplexing mark of an SG_ line as written.
enum class MuxIndicator : std::uint8_t {
  none,
  multiplexor,              // M
  multiplexed,              // m<N>
  multiplexed_multiplexor,  // m<N>M
  bare,                     // a lone m without a value
};

struct ParsedSignal {
  std::string name;
  MuxIndicator mux = MuxIndicator::none;
  std::uint64_t switch_value = 0;
  std::uint32_t start_bit = 0;
  std::uint32_t size = 0;
  ByteOrder byte_order = ByteOrder::intel;
  bool is_signed = false;
  double factor = 1.0;
  double offset = 0.0;
  std::string unit;
};

struct ParsedMessage {
  std::uint32_t id = 0;  // as written, extended marker bit included
  std::string name;
  std::uint64_t size = 0;
  std::vector<ParsedSignal> signals;
};

enum class AttributeObject : std::uint8_t { network, node, message, signal, env_var };

// BA_: only signal objects keep their message identifier and signal name.
struct ParsedAttributeValue {
  std::string name;
  AttributeObject object = AttributeObject::network;
  std::uint32_t message_id = 0;
  std::string signal_name;
  std::variant<double, std::string> value;
};

// VAL_ for one signal: (raw value, label) pairs as written.
struct ParsedValueDescriptions {
  std::uint32_t message_id = 0;
  std::string signal_name;
  std::vector<std::pair<std::uint64_t, std::string>> values;
};

// SIG_VALTYPE_
struct ParsedValueType {
  std::uint32_t message_id = 0;
  std::string signal_name;
  std::uint64_t value = 0;
};

// SG_MUL_VAL_: the switch that selects a multiplexed signal, and the switch values that do.
struct ParsedExtendedMux {
  std::uint32_t message_id = 0;
  std::string signal_name;
  std::string switch_name;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // inclusive, as written
};

struct ParsedDbc {
  std::vector<ParsedMessage> messages;
  std::vector<ParsedAttributeValue> attribute_values;
  std::vector<ParsedValueDescriptions> value_descriptions;
  std::vector<ParsedValueType> value_types;
  std::vector<ParsedExtendedMux> extended_mux;
};

}  // namespace orvik::dbc
