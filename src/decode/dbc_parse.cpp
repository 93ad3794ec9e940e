// Runs the DBC grammar over a text and turns a raised failure into a ParseFailure.
#include "decode/dbc_parse.hpp"

#include <fmt/format.h>

#include <tao/pegtl.hpp>

#include "common/text.hpp"
#include "decode/dbc_actions.hpp"
#include "decode/dbc_errors.hpp"
#include "decode/dbc_grammar.hpp"

namespace orvik::dbc {

namespace {

constexpr std::size_t kFoundBytes = 24;

ParseFailure make_failure(std::string_view text, std::size_t at, std::string kind,
                          const char* statement, std::string expected) {
  ParseFailure f;
  f.kind = std::move(kind);
  f.statement = statement ? statement : "";
  f.expected = std::move(expected);
  const TextPosition position = position_at(text, at);
  f.line = position.line;
  f.column = position.column;

  if (at >= text.size()) {
    f.found = "end of input";
  } else {
    std::size_t end = at;
    while (end < text.size() && end - at < kFoundBytes && text[end] != '\n' && text[end] != '\r') {
      ++end;
    }
    // Whole characters only.
    while (end < text.size() && end > at && is_utf8_continuation(text[end])) --end;
    f.found = text.substr(at, end - at);
    if (f.found.empty()) f.found = "end of line";
  }
  return f;
}

}  // namespace

TextPosition position_at(std::string_view text, std::size_t offset) {
  TextPosition position;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++position.line;
      line_start = i + 1;
    }
  }
  for (std::size_t i = line_start; i < offset; ++i) {
    position.column += !is_utf8_continuation(text[i]);
  }
  return position;
}

std::string utf8_message(const Utf8Error& bad) {
  if (!bad.length) return fmt::format("incomplete utf-8 byte sequence from index {}", bad.offset);
  return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *bad.length, bad.offset);
}

std::string ParseFailure::debug() const {
  std::string out = fmt::format("{} {{ line: {}, column: {}", kind, line, column);
  if (!statement.empty()) out += fmt::format(", statement: {}", debug_quoted(statement));
  out += fmt::format(", expected: {}, found: {} }}", debug_quoted(expected), debug_quoted(found));
  return out;
}

std::expected<ParsedDbc, ParseFailure> parse_dbc(std::string_view text) {
  if (const auto bad = utf8_error(text)) {
    return std::unexpected(
        make_failure(text, bad->offset, "InvalidUtf8", nullptr, "valid UTF-8 text"));
  }
  namespace pegtl = tao::pegtl;
  pegtl::memory_input<pegtl::tracking_mode::lazy, pegtl::eol::lf_crlf> in(text.data(), text.size(),
                                                                          "dbc");
  grammar::ParseState state;
  try {
    pegtl::parse<grammar::dbc_file, grammar::action, grammar::control>(in, state);
  } catch (const grammar::RaisedFailure& raised) {
    return std::unexpected(make_failure(text, static_cast<std::size_t>(raised.where - text.data()),
                                        raised.kind, state.track.name, raised.expected));
  }
  return std::move(state.items);
}

}  // namespace orvik::dbc
