// Actions that turn matched DBC rules into the parsed items the model is built from.
#pragma once

#include <tao/pegtl.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "decode/dbc_errors.hpp"
#include "decode/dbc_grammar.hpp"
#include "decode/dbc_items.hpp"

namespace orvik::dbc::grammar {

// Everything the actions write: the finished items and the statement being read.
struct ParseState {
  StatementTrack track;
  ParsedDbc items;

  // Scratch of the statement being read; each statement's own action moves it into `items`.
  std::uint32_t id = 0;
  std::string signal_name;
  ParsedSignal signal;
  ParsedAttributeValue attribute;
  bool values_for_signal = false;
  std::vector<std::pair<std::uint64_t, std::string>> values;
  std::uint64_t value_type = 0;
  ParsedExtendedMux extended_mux;
};

namespace detail {

[[noreturn]] inline void out_of_range(const char* where, const char* what) {
  throw RaisedFailure{where, what, "OutOfRange"};
}

template <class Input>
std::uint64_t to_u64(const Input& in, const char* what) {
  const std::string_view text = in.string_view();
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) out_of_range(in.begin(), what);
  return value;
}

template <class Input>
std::uint32_t to_u32(const Input& in, const char* what) {
  const std::uint64_t value = to_u64(in, what);
  if (value > std::numeric_limits<std::uint32_t>::max()) out_of_range(in.begin(), what);
  return static_cast<std::uint32_t>(value);
}

// A decimal number as the grammar's `number` rule writes it. Magnitudes beyond the double range
// become infinity and those below it zero, as a correctly rounding reader gives them.
inline double to_double(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  double value = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Decimal exponent of the leading significant digit decides overflow against underflow.
    long long exponent = 0;
    const auto e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
      std::string_view digits = text.substr(e + 1);
      const bool neg_exp = !digits.empty() && digits.front() == '-';
      if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
      }
      for (char c : digits) {
        exponent = exponent * 10 + (c - '0');
        if (exponent > 100000) break;  // far past either limit
      }
      if (neg_exp) exponent = -exponent;
    }
    const std::string_view mantissa = text.substr(0, e);
    const auto first = mantissa.find_first_not_of("0.");
    const auto point = mantissa.find('.');
    const auto point_pos = point == std::string_view::npos ? mantissa.size() : point;
    if (first != std::string_view::npos) {
      exponent += first < point_pos ? static_cast<long long>(point_pos - first)
                                    : -static_cast<long long>(first - point_pos - 1);
    }
    value = exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

// The text between the quotes with \" and \\ resolved; any other backslash stays as written.
inline std::string unquote(std::string_view quoted) {
  const std::string_view body = quoted.substr(1, quoted.size() - 2);
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\' && i + 1 < body.size() && (body[i + 1] == '"' || body[i + 1] == '\\')) {
      ++i;
    }
    out.push_back(body[i]);
  }
  return out;
}

// A VAL_ value as a table key. Raw values are whole numbers, so a fraction can never be looked
// up and is refused; negative values are keyed by their two's-complement bits, which is what a
// sign-extended raw value of the same number reads as.
template <class Input>
std::uint64_t to_value_key(const Input& in) {
  constexpr const char* what = "a whole-number value from -2^63 to 2^64-1";
  std::string_view text = in.string_view();
  if (text.find_first_of(".eE") == std::string_view::npos) {
    const bool negative = text.front() == '-';
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || (negative && magnitude > (std::uint64_t{1} << 63))) {
      out_of_range(in.begin(), what);
    }
    return negative ? ~magnitude + 1 : magnitude;
  }
  const double value = to_double(text);
  if (!(value == std::trunc(value)) || value < -0x1p63 || value >= 0x1p64) {
    out_of_range(in.begin(), what);
  }
  return value < 0 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                   : static_cast<std::uint64_t>(value);
}

}  // namespace detail

template <class Rule>
struct action : tao::pegtl::nothing<Rule> {};

template <>
struct action<message_id> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.id = detail::to_u32(in, "a message identifier of at most 32 bits");
  }
};

template <>
struct action<signal_name> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal_name = in.string();
  }
};

template <>
struct action<message_name> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    auto& message = st.items.messages.emplace_back();
    message.id = st.id;
    message.name = in.string();
  }
};

template <>
struct action<message_size> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.items.messages.back().size = detail::to_u64(in, "a message size of at most 64 bits");
  }
};

template <>
struct action<multiplexed_multiplexor> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.mux = MuxIndicator::multiplexed_multiplexor;
    const std::string_view text = in.string_view();  // m<N>M
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data() + 1, text.data() + text.size() - 1, value);
    if (ec != std::errc()) detail::out_of_range(in.begin(), "a switch value of at most 64 bits");
    st.signal.switch_value = value;
  }
};

template <>
struct action<multiplexed> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.mux = MuxIndicator::multiplexed;
    const std::string_view text = in.string_view();  // m<N>
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), value);
    if (ec != std::errc()) detail::out_of_range(in.begin(), "a switch value of at most 64 bits");
    st.signal.switch_value = value;
  }
};

template <>
struct action<multiplexor> {
  static void apply0(ParseState& st) { st.signal.mux = MuxIndicator::multiplexor; }
};

template <>
struct action<bare_multiplexed> {
  static void apply0(ParseState& st) { st.signal.mux = MuxIndicator::bare; }
};

template <>
struct action<start_bit> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.start_bit = detail::to_u32(in, "a start bit of at most 32 bits");
  }
};

template <>
struct action<signal_size> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.size = detail::to_u32(in, "a signal size of at most 32 bits");
  }
};

template <>
struct action<byte_order> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.byte_order = *in.begin() == '1' ? ByteOrder::intel : ByteOrder::motorola;
  }
};

template <>
struct action<value_type> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.is_signed = *in.begin() == '-';
  }
};

template <>
struct action<factor> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.factor = detail::to_double(in.string_view());
  }
};

template <>
struct action<offset> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.offset = detail::to_double(in.string_view());
  }
};

template <>
struct action<unit> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.signal.unit = detail::unquote(in.string_view());
  }
};

template <>
struct action<signal> {
  static void apply0(ParseState& st) {
    st.signal.name = std::move(st.signal_name);
    st.items.messages.back().signals.push_back(std::exchange(st.signal, ParsedSignal{}));
  }
};

template <>
struct action<attribute_name> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.attribute.name = detail::unquote(in.string_view());
  }
};

template <>
struct action<node_object> {
  static void apply0(ParseState& st) { st.attribute.object = AttributeObject::node; }
};

template <>
struct action<message_object> {
  static void apply0(ParseState& st) { st.attribute.object = AttributeObject::message; }
};

template <>
struct action<signal_object> {
  static void apply0(ParseState& st) {
    st.attribute.object = AttributeObject::signal;
    st.attribute.message_id = st.id;
    st.attribute.signal_name = st.signal_name;
  }
};

template <>
struct action<env_var_object> {
  static void apply0(ParseState& st) { st.attribute.object = AttributeObject::env_var; }
};

template <>
struct action<attribute_number> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.attribute.value = detail::to_double(in.string_view());
  }
};

template <>
struct action<attribute_text> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.attribute.value = detail::unquote(in.string_view());
  }
};

template <>
struct action<attribute_assignment> {
  static void apply0(ParseState& st) {
    st.items.attribute_values.push_back(std::exchange(st.attribute, ParsedAttributeValue{}));
  }
};

template <>
struct action<value_number> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.values.emplace_back(detail::to_value_key(in), std::string());
  }
};

template <>
struct action<value_label> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.values.back().second = detail::unquote(in.string_view());
  }
};

template <>
struct action<signal_reference> {
  static void apply0(ParseState& st) { st.values_for_signal = true; }
};

template <>
struct action<value_descriptions> {
  static void apply0(ParseState& st) {
    if (st.values_for_signal) {
      st.items.value_descriptions.push_back(
          ParsedValueDescriptions{st.id, std::move(st.signal_name), std::move(st.values)});
    }
    st.values.clear();
    st.values_for_signal = false;
  }
};

// Value tables of their own are read and dropped: signals refer to them only through VAL_.
template <>
struct action<value_table> {
  static void apply0(ParseState& st) { st.values.clear(); }
};

template <>
struct action<signal_type_values> {
  static void apply0(ParseState& st) { st.values.clear(); }
};

template <>
struct action<extended_value_type> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.value_type = detail::to_u64(in, "a value type of at most 64 bits");
  }
};

template <>
struct action<signal_extended_value_type> {
  static void apply0(ParseState& st) {
    st.items.value_types.push_back(
        ParsedValueType{st.id, std::move(st.signal_name), st.value_type});
  }
};

template <>
struct action<switch_name> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.extended_mux.switch_name = in.string();
  }
};

template <>
struct action<range_low> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    const std::uint64_t low = detail::to_u64(in, "a switch value of at most 64 bits");
    st.extended_mux.ranges.emplace_back(low, low);
  }
};

template <>
struct action<range_high> {
  template <class Input>
  static void apply(const Input& in, ParseState& st) {
    st.extended_mux.ranges.back().second =
        detail::to_u64(in, "a switch value of at most 64 bits");
  }
};

template <>
struct action<extended_multiplexing> {
  static void apply0(ParseState& st) {
    st.extended_mux.message_id = st.id;
    st.extended_mux.signal_name = std::move(st.signal_name);
    st.items.extended_mux.push_back(std::exchange(st.extended_mux, ParsedExtendedMux{}));
  }
};

}  // namespace orvik::dbc::grammar
