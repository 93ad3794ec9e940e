// What the DBC grammar expected when it fails, keyed by rule, and the control that raises it.
#pragma once

#include <tao/pegtl.hpp>

#include <cstddef>
#include <string>
#include <type_traits>

#include "decode/dbc_grammar.hpp"

namespace orvik::dbc::grammar {

// The text that completes "expected ..." when the rule fails after its statement's keyword.
template <class Rule>
inline constexpr const char* expected = nullptr;

// clang-format off
template <> inline constexpr const char* expected<end_of_file> = "a DBC keyword (VERSION, NS_, BS_, BU_, BO_, CM_, BA_DEF_, BA_, VAL_, ...) or the end of the file";
template <> inline constexpr const char* expected<signal_outside_message> = "a BO_ message definition before its SG_ signals";
template <> inline constexpr const char* expected<string_close> = "a closing '\"' for the string that opens here";
template <> inline constexpr const char* expected<colon> = "':'";
template <> inline constexpr const char* expected<semicolon> = "';' at the end of the statement";
template <> inline constexpr const char* expected<comma> = "','";
template <> inline constexpr const char* expected<bar> = "'|'";
template <> inline constexpr const char* expected<at_sign> = "'@'";
template <> inline constexpr const char* expected<open_paren> = "'('";
template <> inline constexpr const char* expected<close_paren> = "')'";
template <> inline constexpr const char* expected<open_bracket> = "'['";
template <> inline constexpr const char* expected<close_bracket> = "']'";
template <> inline constexpr const char* expected<version_text> = "the version as a quoted string";
template <> inline constexpr const char* expected<message_id> = "a message identifier (an unsigned integer)";
template <> inline constexpr const char* expected<message_name> = "the message name";
template <> inline constexpr const char* expected<message_size> = "the message size in bytes (an unsigned integer)";
template <> inline constexpr const char* expected<transmitter> = "the name of the transmitting node";
template <> inline constexpr const char* expected<signal_name> = "a signal name";
template <> inline constexpr const char* expected<start_bit> = "the start bit (an unsigned integer)";
template <> inline constexpr const char* expected<signal_size> = "the size in bits (an unsigned integer)";
template <> inline constexpr const char* expected<byte_order> = "the byte order, 0 (Motorola) or 1 (Intel)";
template <> inline constexpr const char* expected<value_type> = "the value type, '+' (unsigned) or '-' (signed)";
template <> inline constexpr const char* expected<factor> = "the factor (a number)";
template <> inline constexpr const char* expected<offset> = "the offset (a number)";
template <> inline constexpr const char* expected<minimum> = "the minimum (a number)";
template <> inline constexpr const char* expected<maximum> = "the maximum (a number)";
template <> inline constexpr const char* expected<unit> = "the unit as a quoted string";
template <> inline constexpr const char* expected<value_table_name> = "the value table name";
template <> inline constexpr const char* expected<env_var_name> = "an environment variable name";
template <> inline constexpr const char* expected<env_var_type> = "the environment variable type (0, 1 or 2)";
template <> inline constexpr const char* expected<env_var_initial> = "the initial value (a number)";
template <> inline constexpr const char* expected<env_var_id> = "the environment variable identifier (an unsigned integer)";
template <> inline constexpr const char* expected<access_type> = "the access type (such as DUMMY_NODE_VECTOR0)";
template <> inline constexpr const char* expected<data_size> = "the data size (an unsigned integer)";
template <> inline constexpr const char* expected<signal_type_name> = "a signal type name";
template <> inline constexpr const char* expected<default_value> = "the default value (a number)";
template <> inline constexpr const char* expected<comment_text> = "the comment as a quoted string";
template <> inline constexpr const char* expected<attribute_name> = "the attribute name as a quoted string";
template <> inline constexpr const char* expected<attribute_type> = "the attribute type: INT, HEX or FLOAT with two numbers, STRING, or ENUM with quoted values";
template <> inline constexpr const char* expected<attribute_value> = "the attribute value (a number or a quoted string)";
template <> inline constexpr const char* expected<relation_object> = "a relation: BU_EV_REL_, BU_BO_REL_ or BU_SG_REL_ with its objects";
template <> inline constexpr const char* expected<value_descriptions_object> = "a message identifier and signal name, or an environment variable name";
template <> inline constexpr const char* expected<signal_group_name> = "the signal group name";
template <> inline constexpr const char* expected<repetitions> = "the repetition count (an unsigned integer)";
template <> inline constexpr const char* expected<extended_value_type> = "the value type: 0 (integer), 1 (32-bit IEEE float) or 2 (64-bit IEEE float)";
template <> inline constexpr const char* expected<switch_name> = "the name of the multiplexor switch";
template <> inline constexpr const char* expected<value_ranges> = "switch value ranges (low-high, ...)";
template <> inline constexpr const char* expected<kw::SGTYPE_> = "SGTYPE_";
// clang-format on

// The keyword of the statement a rule reads, for the error's `statement` detail.
template <class Rule>
inline constexpr const char* statement_name = nullptr;

// clang-format off
template <> inline constexpr const char* statement_name<version> = "VERSION";
template <> inline constexpr const char* statement_name<new_symbols> = "NS_";
template <> inline constexpr const char* statement_name<bit_timing> = "BS_";
template <> inline constexpr const char* statement_name<nodes> = "BU_";
template <> inline constexpr const char* statement_name<value_table> = "VAL_TABLE_";
template <> inline constexpr const char* statement_name<message_definition> = "BO_";
template <> inline constexpr const char* statement_name<signal> = "SG_";
template <> inline constexpr const char* statement_name<stray_signal> = "SG_";
template <> inline constexpr const char* statement_name<message_transmitters> = "BO_TX_BU_";
template <> inline constexpr const char* statement_name<environment_variable> = "EV_";
template <> inline constexpr const char* statement_name<environment_variable_data> = "ENVVAR_DATA_";
template <> inline constexpr const char* statement_name<signal_type> = "SGTYPE_";
template <> inline constexpr const char* statement_name<signal_type_values> = "SGTYPE_VAL_";
template <> inline constexpr const char* statement_name<signal_type_ref> = "SIG_TYPE_REF_";
template <> inline constexpr const char* statement_name<comment> = "CM_";
template <> inline constexpr const char* statement_name<attribute_definition> = "BA_DEF_";
template <> inline constexpr const char* statement_name<attribute_definition_rel> = "BA_DEF_REL_";
template <> inline constexpr const char* statement_name<attribute_definition_sgtype> = "BA_DEF_SGTYPE_";
template <> inline constexpr const char* statement_name<attribute_default> = "BA_DEF_DEF_";
template <> inline constexpr const char* statement_name<attribute_default_rel> = "BA_DEF_DEF_REL_";
template <> inline constexpr const char* statement_name<attribute_assignment> = "BA_";
template <> inline constexpr const char* statement_name<attribute_assignment_rel> = "BA_REL_";
template <> inline constexpr const char* statement_name<attribute_assignment_sgtype> = "BA_SGTYPE_";
template <> inline constexpr const char* statement_name<value_descriptions> = "VAL_";
template <> inline constexpr const char* statement_name<signal_group> = "SIG_GROUP_";
template <> inline constexpr const char* statement_name<signal_extended_value_type> = "SIG_VALTYPE_";
template <> inline constexpr const char* statement_name<extended_multiplexing> = "SG_MUL_VAL_";
template <> inline constexpr const char* statement_name<category_definition> = "CAT_DEF_";
template <> inline constexpr const char* statement_name<category> = "CAT_";
template <> inline constexpr const char* statement_name<filter> = "FILTER";
template <> inline constexpr const char* statement_name<signal_type_value_type> = "SIGTYPE_VALTYPE_";
// clang-format on

// Where the statement being read began; kept by the control so an error can name it.
struct StatementTrack {
  const char* name = nullptr;
  const char* begin = nullptr;
  const char* string_begin = nullptr;  // opening quote of the string being read
};

// A failure raised by the parse: where, and what was expected there.
struct RaisedFailure {
  const char* where;  // points into the input
  std::string expected;
  const char* kind;  // "Syntax" or "OutOfRange"
};

// Raises RaisedFailure when a rule under must<> fails, and keeps track of the statement being
// read (the state has a `track` member) so the failure can name it.
template <class Rule>
struct control : tao::pegtl::normal<Rule> {
  template <class ParseInput, class State>
  static void start(const ParseInput& in, State& st) {
    if constexpr (statement_name<Rule> != nullptr) {
      st.track.name = statement_name<Rule>;
      st.track.begin = in.current();
    }
    if constexpr (std::is_same_v<Rule, string_open>) st.track.string_begin = in.current();
  }
  template <class ParseInput, class State>
  static void success(const ParseInput&, State& st) {
    if constexpr (statement_name<Rule> != nullptr) st.track.name = nullptr;
  }
  template <class ParseInput, class State>
  static void failure(const ParseInput&, State& st) {
    if constexpr (statement_name<Rule> != nullptr) st.track.name = nullptr;
  }

  template <class ParseInput, class State>
  [[noreturn]] static void raise(const ParseInput& in, State& st) {
    if constexpr (std::is_same_v<Rule, string_close>) {
      // The end of the input is where it is noticed; the opening quote is where to look.
      throw RaisedFailure{st.track.string_begin, expected<Rule>, "Syntax"};
    } else if constexpr (expected<Rule> != nullptr) {
      throw RaisedFailure{in.current(), expected<Rule>, "Syntax"};
    } else {
      // Only rules that cannot fail lack a text; name the rule rather than guess.
      throw RaisedFailure{in.current(), std::string(tao::pegtl::demangle<Rule>()), "Syntax"};
    }
  }
};

}  // namespace orvik::dbc::grammar
