// Building the decode model from parsed DBC items: names, identifiers, multiplexing, types, tables.
#pragma once

#include <cstdint>

#include "decode/dbc.hpp"
#include "decode/dbc_items.hpp"
#include "decode/model.hpp"

namespace orvik::dbc {

inline constexpr const char* kLogTarget = "orvik_can_decode::dbc";

struct TypeChoice {
  bool is_float;
  SignalType signal_type;
};

// The output type of a signal from its width, signedness, scaling and IEEE flag.
TypeChoice choose_signal_type(std::uint32_t size, bool is_signed, double factor, double offset,
                              bool ieee);

// The map key of a BO_ identifier: bit 31 marks an extended identifier (low 29 bits kept);
// otherwise it is standard and keeps its low 16 bits.
MessageKey message_key(std::uint32_t dbc_id);

// Builds the model; logs the IEEE-width and duplicate-name warnings. Never fails.
DecodeDb build_decode_db(ParsedDbc&& items);

}  // namespace orvik::dbc
