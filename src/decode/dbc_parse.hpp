// Parsing a DBC text into its items, with a diagnostic that names the line, column and expectation.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/text.hpp"
#include "decode/dbc_items.hpp"

namespace orvik::dbc {

// Why a DBC text did not parse. `kind` is Syntax, OutOfRange or InvalidUtf8; line and column
// count from 1, the column in characters.
struct ParseFailure {
  std::string kind;
  std::size_t line = 0;
  std::size_t column = 0;
  std::string statement;  // keyword of the statement being read; empty between statements
  std::string expected;
  std::string found;  // the text at the failure, at most a short piece of one line

  // Syntax { line: 3, column: 7, statement: "SG_", expected: "...", found: "..." }
  std::string debug() const;
};

std::expected<ParsedDbc, ParseFailure> parse_dbc(std::string_view text);

// Line and column of a byte offset in a text, both from 1, the column in characters.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_at(std::string_view text, std::size_t offset);

// The UTF-8 validation error: how many bytes make up the invalid sequence and where it starts, or
// that the text ends inside one.
std::string utf8_message(const Utf8Error& bad);

// "DBC parse error: {:?}" with the failure's debug rendering.
Error dbc_parse_error(const ParseFailure& failure);

}  // namespace orvik::dbc
